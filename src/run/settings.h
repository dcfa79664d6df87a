#pragma once

#include <cstdio>
#include <memory>
#include <string>

// How to reach the database; a key missing from the settings file leaves its slot empty.
struct db_settings {
    std::string dbserverip; // host name or address of the database server
    std::string dbuser;     // user name on that server
    std::string dbpasswd;   // that user's password
    std::string dbname;     // database that holds the user tables
};

struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using settings_stream = std::unique_ptr<std::FILE, file_closer>;

// Reads the settings file into `settings` and hands back the open stream, or
// prints why the file cannot be opened and returns null.
settings_stream read_settings(db_settings &settings);

// Cuts the value out of one settings line (text after the first '=') into
// `dest`. A line without '=' leaves `dest` as it was and returns false.
bool getstring(const char *line, std::string &dest);
