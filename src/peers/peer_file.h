#pragma once

#include <functional>
#include <string>

#include "files/output_file.h"
#include "peers/rules.h"

// Everything that sets one peer file apart from the others.
struct peer_mode {
    const char *sql;        // the query that reads the table
    const char *file_name;  // the file written in the configuration directory
    bool reports_row_count; // prints "Recieved N rows"
    // printf format of the message for a file that cannot be created; it is
    // given the output path.
    const char *open_failure;
    const char *preamble;       // written before the first section
    const char *pjsip_preamble; // the same in the PJSIP form
    rule_chain chain;
    variant shape;
};

// What runs once a run replaced its file, given the file's path, while the
// run still holds the directory, so that runs of the directory take turns
// for it too. True when it went well; false after it has said why.
using after_replacing = std::function<bool(const std::string &file)>;

// How many of the current file's peers a run may remove: at most `most`, or
// at most `most` percent of them when `percent`; any number when not `set`.
struct drop_limit {
    bool set = false;
    unsigned long most = 0;
    bool percent = false;
};

// Where and how the modes write their files; the entry point fills it in.
struct output_settings {
    std::string dir;       // the configuration directory
    peer_form form;        // chan_sip peers or PJSIP objects
    int lock_wait_seconds; // how long to wait for another run writing there
    after_replacing then;  // run after a replacement, when set
};

// Reads the mode's table and regenerates its file: replaces it, or leaves it
// alone when it already holds the new content. Returns 0, or -1 after a
// failure that it has reported: the old file is then left as it was, unless
// only what runs after the replacement failed.
int write_peer_file(const peer_mode &mode, const output_settings &where);

// The three modes' tables and files.
extern const peer_mode extension_mode;
extern const peer_mode horncell_mode;
extern const peer_mode webrtc_mode;

// The three modes; each returns 0 or -1.
int write_extension_file(const output_settings &where);
int write_horncell_file(const output_settings &where);
int write_webrtc_file(const output_settings &where);
