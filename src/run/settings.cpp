#include "run/settings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <numeric>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "files/target_path.h"
#include "run/build_config.h"
#include "util/console.h"

namespace
{

struct settings_key {
    const char *word;
    std::string db_settings::*slot;
};

// No key is a leading part of another, so a line counts for one key at most.
const settings_key settings_keys[] = {
    {"dbserverip", &db_settings::dbserverip}, {"dbuser", &db_settings::dbuser},
    {"dbpasswd", &db_settings::dbpasswd},     {"dbname", &db_settings::dbname},
    {"dbtls", &db_settings::dbtls},           {"dbcafile", &db_settings::dbcafile},
    {"driver", &db_settings::driver},         {"onchange", &db_settings::onchange},
    {"maxdrop", &db_settings::maxdrop},
};

// A line counts for a key when it starts, in its first column, with the key
// in any letter case; "dbnamex = ..." therefore counts as dbname.
bool starts_with_key(const char *line, const char *key)
{
    return strncasecmp(line, key, std::strlen(key)) == 0;
}

settings_stream not_open(const std::string &path, const char *step, int error)
{
    std::printf("File: %s is not open ,fail.\n", path.c_str());
    report_cause({step, path, error});
    return nullptr;
}

// fgets, and how many bytes it read, NUL bytes among them: with the buffer
// filled with anything but NUL first, the last NUL in it is the one that
// ends what was read.
bool read_piece(std::FILE *in, char (&piece)[100], std::size_t &length)
{
    std::memset(piece, '\n', sizeof piece);
    if (std::fgets(piece, sizeof piece, in) == nullptr)
        return false;
    length = static_cast<std::size_t>(
        static_cast<const char *>(memrchr(piece, '\0', sizeof piece)) - piece);
    return true;
}

// How many letters must be added, removed or changed to make `a` into `b`,
// in any letter case.
std::size_t edit_distance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    std::iota(row.begin(), row.end(), 0);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
            std::size_t changed = diagonal + (same ? 0 : 1);
            diagonal = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, changed});
        }
    }
    return row[b.size()];
}

const char *closest_key(std::string_view word)
{
    const settings_key *closest = &settings_keys[0];
    for (const settings_key &key : settings_keys)
        if (edit_distance(word, key.word) < edit_distance(word, closest->word))
            closest = &key;
    return closest->word;
}

// Line `line` of the file, `piece` its first piece, was taken by no key. If
// it looks like a setting (it holds '=', and its first character that is
// not a blank is neither ';' nor '#', which start a comment) a misspelt or
// indented key would pass unseen: this names the key it is closest to.
void warn_unread(const std::string &path, std::size_t line, const char *piece)
{
    const char *equals = std::strchr(piece, '=');
    if (equals == nullptr)
        return;
    std::string_view key(piece, static_cast<std::size_t>(equals - piece));
    std::size_t start = std::min(key.find_first_not_of(" \t"), key.size());
    if (piece[start] == ';' || piece[start] == '#')
        return;
    key.remove_prefix(start);
    key = key.substr(0, key.find_last_not_of(" \t") + 1);
    bool indented = start > 0;
    complain("peerloom: %s line %zu: %s key \"%.*s\" ignored; did you mean \"%s\"%s?\n",
             path.c_str(), line, indented ? "indented" : "unknown", static_cast<int>(key.size()),
             key.data(), closest_key(key), indented ? " at the start of the line" : "");
}

// Why the command of the last onchange line would run cut short.
enum class onchange_flaw { none, cut, nul };

// Whether the line of `unended`, an onchange piece that filled the buffer,
// ends with `next`, the piece after it: when `next` is a bare line ending
// with which the line says what the piece said, it was not cut.
bool ends_there(const std::string &unended, std::string_view next, const std::string &value)
{
    if (next != "\n" && next != "\r\n")
        return false;
    std::string whole;
    getstring((unended + std::string(next)).c_str(), whole);
    return whole == value;
}

// The file is read in pieces of at most 99 characters; each piece of a
// longer line is tested as a line of its own, but only a line's first piece
// may draw a warning, which counts the file's lines as they are. `flaw`
// tells what would cut the command of the last onchange line short.
// Returns false on a read error.
bool read_lines(std::FILE *in, const std::string &path, db_settings &settings, onchange_flaw &flaw)
{
    char piece[100];
    std::size_t length = 0, line = 0;
    bool starts_line = true;
    std::string unended; // an onchange piece whose line may go on past it
    while (read_piece(in, piece, length)) {
        if (!unended.empty()) {
            bool whole = ends_there(unended, {piece, length}, settings.onchange);
            flaw = whole ? onchange_flaw::none : onchange_flaw::cut;
            unended.clear();
        }
        line += starts_line;
        const settings_key *taken = nullptr;
        for (const settings_key &key : settings_keys)
            if (starts_with_key(piece, key.word))
                taken = &key;
        if (taken == nullptr) {
            if (starts_line)
                warn_unread(path, line, piece);
        } else if (taken->slot == &db_settings::onchange &&
                   std::memchr(piece, '\0', length) != nullptr) {
            flaw = onchange_flaw::nul;
        } else if (getstring(piece, settings.*taken->slot) &&
                   taken->slot == &db_settings::onchange) {
            flaw = onchange_flaw::none;
            if (piece[length - 1] != '\n')
                unended.assign(piece, length);
        }
        starts_line = piece[length - 1] == '\n';
    }
    return !std::ferror(in);
}

bool unknown_value(const char *key, const std::string &value, const char *hint)
{
    std::string path = settings_path();
    std::printf("Unknown %s \"%s\" in %s: use %s.\n", key, value.c_str(), path.c_str(), hint);
    std::string why = std::string("unknown ") + key + " \"" + value + "\"";
    report_cause({"read", path, 0, why.c_str()});
    return false;
}

template <typename T> struct word_choice {
    const char *word;
    T value;
};

// Finds `value` among `choices` ignoring letter case; an empty value takes
// the first choice. Otherwise prints what is unknown and what would do.
template <typename T, std::size_t N>
bool choose(const std::string &value, const word_choice<T> (&choices)[N], const char *key,
            const char *hint, T &chosen)
{
    if (value.empty()) {
        chosen = choices[0].value;
        return true;
    }
    for (const word_choice<T> &choice : choices) {
        if (strcasecmp(value.c_str(), choice.word) == 0) {
            chosen = choice.value;
            return true;
        }
    }
    return unknown_value(key, value, hint);
}

// Decimal digits that fit an unsigned long.
bool read_count(std::string_view digits, unsigned long &count)
{
    if (digits.empty())
        return false;
    count = 0;
    for (char c : digits) {
        unsigned long digit = static_cast<unsigned long>(c - '0');
        if (c < '0' || c > '9' || count > (ULONG_MAX - digit) / 10)
            return false;
        count = count * 10 + digit;
    }
    return true;
}

bool ours_or_roots(const struct stat &st)
{
    return st.st_uid == geteuid() || st.st_uid == 0;
}

// Why the settings file, or a directory on the way to it, as `st` describes
// it, lets someone else choose a command for this user to run; null when it
// does not. Of a file or a directory with an ACL, the group bits are the
// ACL's mask, which bounds what every named user and group may do. In a
// sticky directory (/tmp, say) others may add names but neither rename nor
// remove one of this user's or root's, so it may stand on the way; the file
// must then have one name, or another user could have linked one of root's
// files there under that of the settings file.
const char *onchange_forbidden(const struct stat &st)
{
    if (!ours_or_roots(st))
        return "owned by another user";
    if (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX))
        return nullptr;
    if (st.st_mode & S_IWGRP)
        return "writable by its group";
    if (st.st_mode & S_IWOTH)
        return "writable by everyone";
    if (!S_ISDIR(st.st_mode) && st.st_nlink != 1)
        return "a file of more than one name";
    return nullptr;
}

// What makes `dir` fit to lead to a file that sets onchange.
std::string onchange_fix(const walked_directory &dir)
{
    std::string fix = ours_or_roots(dir.st) ? "" : "chown root " + dir.shown;
    mode_t writable = dir.st.st_mode & (S_IWGRP | S_IWOTH);
    if (writable != 0)
        fix += std::string(fix.empty() ? "" : " and ") + "chmod " +
               (writable == S_IWGRP   ? "g-w "
                : writable == S_IWOTH ? "o-w "
                                      : "go-w ") +
               dir.shown;
    return fix;
}

// Whether the settings file at `path`, as `st` describes it and reached
// through `through`, may name a command for this user to run; otherwise
// says what lets someone else change it.
bool may_set_onchange(const std::string &path, const struct stat &st,
                      const std::vector<walked_directory> &through)
{
    if (const char *why = onchange_forbidden(st)) {
        std::printf("File: %s sets onchange, so it must be yours or root's and writable by no "
                    "one else.\n",
                    path.c_str());
        report_cause({"fstat", path, 0, why});
        return false;
    }
    for (const walked_directory &dir : through) {
        if (const char *why = onchange_forbidden(dir.st)) {
            std::printf("Directory: %s is on the way to %s, which sets onchange, so it must be "
                        "yours or root's and writable by no one else; run %s.\n",
                        dir.shown.c_str(), path.c_str(), onchange_fix(dir).c_str());
            report_cause({"fstat", dir.shown, 0, why});
            return false;
        }
    }
    return true;
}

} // namespace

std::string settings_path()
{
    return std::string(config_dir) + "/peerloom.ini";
}

bool getstring(const char *line, std::string &dest)
{
    const char *equals = std::strchr(line, '=');
    if (equals == nullptr)
        return false;
    std::string_view value(equals + 1);

    // One blank after '=' is the separator; any further blank is the value's.
    if (!value.empty() && std::isspace(static_cast<unsigned char>(value.front())))
        value.remove_prefix(1);

    // A CR before the last character ends the value there, whatever that
    // last character is; otherwise only a final LF is cut.
    std::size_t n = value.size();
    if (n >= 2 && value[n - 2] == '\r')
        value.remove_suffix(2);
    else if (n >= 1 && value[n - 1] == '\n')
        value.remove_suffix(1);

    dest.assign(value);
    return true;
}

settings_stream read_settings(db_settings &settings)
{
    std::string path = settings_path();
    // A link on the way is followed only when it belongs to this user or to
    // root: the file names the database the PBX trusts, and the command
    // onchange runs. Close-on-exec: that command must not inherit the
    // password.
    unique_fd fd;
    failure_cause cause;
    std::vector<walked_directory> through;
    if (!open_for_reading(path, fd, cause, through)) {
        std::printf("File: %s is not open ,fail.\n", path.c_str());
        report_cause(cause);
        return nullptr;
    }
    settings_stream in(fdopen(fd.get(), "re"));
    if (!in)
        return not_open(path, "fdopen", errno);
    fd.release();

    // The open file is checked, not the path, so that what is checked is
    // what is read.
    struct stat st;
    if (fstat(fileno(in.get()), &st) != 0)
        return not_open(path, "fstat", errno);
    if (st.st_mode & S_IWOTH) {
        std::printf("File: %s is writable by everyone; run chmod o-w %s.\n", path.c_str(),
                    path.c_str());
        report_cause({"fstat", path, 0, "writable by everyone"});
        return nullptr;
    }
    onchange_flaw flaw = onchange_flaw::none;
    if (!read_lines(in.get(), path, settings, flaw))
        return not_open(path, "read", errno);
    if (flaw == onchange_flaw::cut && !settings.onchange.empty()) {
        std::printf("File: %s has an onchange line longer than 99 characters.\n", path.c_str());
        report_cause({"read", path, 0, "onchange cut short"});
        return nullptr;
    }
    if (flaw == onchange_flaw::nul) {
        std::printf("File: %s has a NUL byte in its onchange line.\n", path.c_str());
        report_cause({"read", path, 0, "NUL byte in onchange"});
        return nullptr;
    }
    if (!settings.onchange.empty() && !may_set_onchange(path, st, through))
        return nullptr;
    if (st.st_mode & S_IROTH)
        complain("peerloom: warning: %s is readable by everyone, and it holds the database "
                 "password; run chmod o-r %s\n",
                 path.c_str(), path.c_str());
    return in;
}

bool choose_driver(const db_settings &settings, peer_form &form)
{
    static const word_choice<peer_form> forms[] = {{"sip", peer_form::sip},
                                                   {"pjsip", peer_form::pjsip}};
    return choose(settings.driver, forms, "driver", "sip or pjsip", form);
}

bool choose_dbtls(const db_settings &settings, tls_mode &tls)
{
    static const word_choice<tls_mode> modes[] = {
        {"off", tls_mode::off}, {"on", tls_mode::on}, {"verify", tls_mode::verify}};
    return choose(settings.dbtls, modes, "dbtls", "off, on or verify", tls);
}

bool choose_maxdrop(const db_settings &settings, drop_limit &limit)
{
    drop_limit chosen;
    std::string_view value = settings.maxdrop;
    if (!value.empty()) {
        chosen.set = true;
        chosen.percent = value.back() == '%';
        if (chosen.percent)
            value.remove_suffix(1);
        if (!read_count(value, chosen.most) || (chosen.percent && chosen.most > 100))
            return unknown_value("maxdrop", settings.maxdrop,
                                 "a number, or a percentage up to 100%");
    }
    limit = chosen;
    return true;
}
