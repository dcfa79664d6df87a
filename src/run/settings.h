#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "db/database.h"
#include "peers/peer_file.h"

// What the settings file says; a key missing from it leaves its slot empty.
struct db_settings {
    std::string dbserverip; // the database servers, comma-separated, to try in order
    std::string dbuser;     // user name on that server
    std::string dbpasswd;   // that user's password
    std::string dbname;     // database that holds the user tables
    std::string dbtls;      // "off", "on" or "verify": how the connection is secured
    std::string dbcafile;   // certificates to verify the server's against
    std::string driver;     // "sip" or "pjsip": the form of the peer files
    std::string onchange;   // a command to run after a peer file was replaced
    std::string maxdrop;    // how many of a file's peers a run may remove: N or N%
};

struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using settings_stream = std::unique_ptr<std::FILE, file_closer>;

// The settings file's path.
std::string settings_path();

// Reads the settings file into `settings` and hands back the open stream, or
// prints why the file cannot be used and returns null. Only a plain file is
// read. A file that anyone may change is refused unread: it names the
// database the PBX trusts. One that sets onchange is refused unless it and
// every directory on the way to it belong to this user or root and no one
// else may write them: its command runs with this user's rights, and whoever
// may write a directory on the way may put another file in its place. An
// onchange line that holds a NUL byte, or that the reader cut, is refused
// too: its command would run cut short.
//
// A line that looks like a setting but that no key takes, a typo or an
// indented key, draws a warning that names the key it is closest to; the
// run goes on.
settings_stream read_settings(db_settings &settings);

// Cuts the value out of one settings line (text after the first '=') into
// `dest`. A line without '=' leaves `dest` as it was and returns false.
bool getstring(const char *line, std::string &dest);

// The words of the settings that choose between behaviours, in any letter
// case; an empty or missing one keeps the first. These print which word is
// unknown and return false.
bool choose_driver(const db_settings &settings, peer_form &form);
bool choose_dbtls(const db_settings &settings, tls_mode &tls);

// maxdrop: decimal digits, or digits and '%' for a percentage of at most
// 100; empty or missing sets no limit. Prints what is wrong with any other
// value and returns false.
bool choose_maxdrop(const db_settings &settings, drop_limit &limit);
