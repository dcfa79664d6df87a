#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "conf/section_names.h"
#include "peers/name_set.h"
#include "peers/rules.h"
#include "util/console.h"

// The names that no row may take, compared as the form's PBX compares them.
// chan_sip finds a peer by the first 79 bytes of its name in any letter
// case, and layers a second section of one name onto the first; PJSIP's
// sorcery keeps one object of a type and a name, compared whole and byte
// for byte, and rejects the whole configuration for a second. The PBX reads
// the three peer files, and the file that includes them (sip.conf or
// pjsip.conf) with all that one includes, as one configuration: so no row
// may take the name of an earlier row, nor that of a section of any of
// those files.
// Why the form's PBX would not take `name` as the row's as it stands, or
// null. PJSIP needs a name that it keeps whole and that a phone can send
// unescaped; chan_sip one without blanks at its ends, which a phone could
// not send, of at most the 79 bytes it keeps, and other than those of its
// own settings sections, general and authentication, which it skips.
const char *name_hazard(peer_form form, std::string_view name);

class taken_names
{
  public:
    explicit taken_names(peer_form form)
        : form_(form), names_(form == peer_form::sip), current_(form == peer_form::sip)
    {
    }

    // Reads the section names of the other peer files at `peer_files` and of
    // the file at `including` with those it includes, all in `config_dir`.
    // `own_file` is the file being replaced, whose names are the rows':
    // where an include leads to it, it is not read. Returns false, with the
    // file in failed_file() and the failing call in cause(), when one exists
    // but cannot be read. A run calls this while the server works on its
    // query.
    bool read_files(const std::string &config_dir, const std::string &own_file,
                    const std::vector<std::string> &peer_files, const std::string &including);

    // Reads the names of the peers of `own_file`, the file being replaced,
    // so that the run can tell how many of them no row keeps. After
    // read_files(); returns false as it does.
    bool read_current_peers(const std::string &own_file);

    // How many peers the file being replaced holds, and how many of them no
    // row taken so far keeps.
    std::size_t current_peers() const { return current_peers_; }
    std::size_t peers_removed() const { return current_peers_ - kept_peers_; }

    // The file among those read that has a section named webrtc, in any
    // letter case, template or not; empty when none has. The PBX would take
    // the first such section for the template that mode 2's sections
    // inherit from.
    const std::string &webrtc_holder() const { return webrtc_holder_; }

    const std::string &failed_file() const { return failed_file_; }
    const failure_cause &cause() const { return cause_; }

    // Who had a name before a row took it.
    struct holder {
        const char *hazard = nullptr; // why the row may not take it; null when it is the row's now
        std::string_view file;        // the file that has it, when that is why
    };
    // Takes `name` for row `row` (counted from 1). The name's text must
    // outlive this: it is not copied.
    holder take(std::string_view name, std::uint32_t row);

    // Makes room for `rows` rows to take their names.
    void expect_rows(std::size_t rows) { names_.reserve(rows); }

  private:
    std::string_view keep(std::string_view name);
    std::string_view compared(std::string_view name) const;
    bool read_file(const std::string &path, bool is_peer_file);

    peer_form form_;
    name_set names_; // where each was met first: a row, or (from the top down) a file
    struct source {
        std::string path;
        bool is_peer_file;
    };
    std::vector<source> files_;                 // the files that hold names, counted by names_
    std::vector<std::unique_ptr<char[]>> kept_; // copies of names, in blocks
    std::size_t used_ = 0;                      // bytes used of kept_.back()
    std::string config_dir_;
    file_set seen_;    // the files read, and the one being replaced
    name_set current_; // the peers of the file being replaced, marked from 1
    std::size_t current_peers_ = 0;
    std::size_t kept_peers_ = 0;
    std::string webrtc_holder_;
    std::string failed_file_;
    failure_cause cause_;
};

// How the rows of a result are named.
struct row_naming {
    std::size_t column;       // the first header column, or no_column
    std::string_view keyword; // the chain's header keyword, which the console names without one
    taken_names &taken;       // the names no row may take
};
