#include "peers/peer_file.h"

#include <cstdio>
#include <sys/stat.h>

#include "db/database.h"
#include "files/output_file.h"
#include "peers/names.h"
#include "peers/row_walk.h"
#include "util/console.h"

namespace
{

const peer_mode *const all_modes[] = {&extension_mode, &horncell_mode, &webrtc_mode};

// The other two peer files of the directory: the PBX reads the three files
// as one configuration.
std::vector<std::string> other_files(const peer_mode &mode, const output_settings &where)
{
    std::vector<std::string> paths;
    for (const peer_mode *other : all_modes)
        if (other != &mode)
            paths.push_back(where.dir + "/" + other->file_name);
    return paths;
}

// The file of the PBX's configuration that includes the peer files.
const char *including_file(peer_form form)
{
    return form == peer_form::pjsip ? "pjsip.conf" : "sip.conf";
}

// Whether the run would remove more of the current file's peers than the
// settings allow; says so when it would. A table that lost its rows, or a
// server that serves an empty copy of it, must not empty the PBX.
// Whether another file has a section that the PBX would take for the
// template that the mode's sections inherit from, "(webrtc)": it takes the
// first section of that name, in any letter case, template or not. Says so
// when one has.
bool takes_the_template(const taken_names &taken, const std::string &path)
{
    const std::string &other = taken.webrtc_holder();
    if (other.empty())
        return false;
    std::printf("A section named webrtc in %s would stand for the template of %s,%s is left "
                "unchanged.\n",
                other.c_str(), path.c_str(), path.c_str());
    report_cause({"read", other, 0,
                  "a section named webrtc, which the WebRTC peers would inherit from; rename it"});
    return true;
}

bool removes_too_many(const drop_limit &limit, const taken_names &taken, const std::string &path)
{
    unsigned long had = taken.current_peers(), removed = taken.peers_removed();
    bool too_many = limit.percent ? removed * 100 > limit.most * had : removed > limit.most;
    if (!limit.set || !too_many)
        return false;
    std::string allowed = std::to_string(limit.most) + (limit.percent ? "%" : "");
    std::printf("This run would remove %lu of the %lu peers in %s, more than maxdrop = %s "
                "allows,%s is left unchanged.\n",
                removed, had, path.c_str(), allowed.c_str(), path.c_str());
    std::string why =
        std::to_string(removed) + " of " + std::to_string(had) +
        " peers would go; check the table, and if they are to go, raise maxdrop for one run";
    report_cause({"maxdrop", path, 0, why.c_str()});
    return true;
}

// The file is written as it always was, with the permissions the old one had
// or that the umask gives a new one; a file of secrets that every user of
// the host may read is worth a word, with what mends it.
void warn_if_everyone_reads(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IROTH))
        complain("peerloom: warning: %s holds secrets and everyone may read it; run chmod o-r "
                 "%s\n",
                 path.c_str(), path.c_str());
}

// How a run's regeneration of its file ended.
enum class regeneration {
    replaced,  // the new file is in place
    unchanged, // the old file held the new content already
    kept,      // refused or failed, the old file left as it was, the lock held
    busy,      // another run holds the directory
};

// Reads the mode's table and writes the file, as write_peer_file says.
regeneration regenerate(const peer_mode &mode, const output_settings &where, output_file &out)
{
    // The directory is locked before the query: a run that starts later
    // then reads its table later too, and its file is the one that stays.
    output_file::opening opened = out.open();
    if (opened == output_file::opening::busy) {
        std::printf("Another run is still writing %s; it is left unchanged.\n", out.path().c_str());
        report_cause(out.cause());
        return regeneration::busy;
    }

    // The run reads the names of the other peer files and of the file that
    // includes them, as they stand while it holds the directory, while the
    // server works on the query.
    taken_names taken(where.form);
    bool others_read = true;
    auto read_others = [&] {
        if (opened == output_file::opening::ready)
            others_read = taken.read_files(where.dir, out.path(), other_files(mode, where),
                                           where.dir + "/" + including_file(where.form)) &&
                          (!where.maxdrop.set || taken.read_current_peers(out.path()));
    };
    if (run_query(mode.sql, read_others) != 0 || store_result() != 0)
        return regeneration::kept;
    if (mode.reports_row_count)
        report_row_count();

    // Whether the file can be created is known before the query, and said
    // after it, where the console has always said it.
    if (opened != output_file::opening::ready) {
        std::printf(mode.open_failure, out.path().c_str());
        report_cause(out.cause());
        return regeneration::kept;
    }
    if (!others_read) {
        std::printf("Cannot read the names in %s,%s is left unchanged.\n",
                    taken.failed_file().c_str(), out.path().c_str());
        report_cause(taken.cause());
        return regeneration::kept;
    }
    if (*mode.preamble != '\0' && takes_the_template(taken, out.path()))
        return regeneration::kept;
    out.put(where.form == peer_form::pjsip ? mode.pjsip_preamble : mode.preamble);
    bool credentials = false;
    if (translate_rows(out, mode.chain, mode.shape, where.form, taken, credentials) != 0 ||
        removes_too_many(where.maxdrop, taken, out.path()))
        return regeneration::kept;
    file_outcome outcome = out.commit(static_cast<bool>(where.then));
    if (outcome == file_outcome::failed)
        return regeneration::kept;
    if (credentials)
        warn_if_everyone_reads(out.path());
    return outcome == file_outcome::replaced ? regeneration::replaced : regeneration::unchanged;
}

// Runs the onchange command after a replacement, or in any later run that
// holds the directory while an earlier one's command is still due, changed
// file or not, refused or not: the file on disk is one a run wrote whole,
// which the PBX has not yet read. The mark goes only once the command
// succeeded.
bool reload(const output_settings &where, output_file &out, regeneration end)
{
    if (!where.then || end == regeneration::busy ||
        (end != regeneration::replaced && !out.reload_due()))
        return true;
    if (!where.then(out.path()))
        return false;
    if (!out.clear_reload_mark())
        report_cause(out.cause());
    return true;
}

} // namespace

int write_peer_file(const peer_mode &mode, const output_settings &where)
{
    output_file out(where.dir, mode.file_name, where.lock_wait_seconds);
    regeneration end = regenerate(mode, where, out);
    bool reloaded = reload(where, out, end);
    bool written = end == regeneration::replaced || end == regeneration::unchanged;
    return written && reloaded ? 0 : -1;
}
