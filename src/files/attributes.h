#pragma once

#include <string>
#include <sys/stat.h>

#include "util/console.h"

// What the new file takes over from the one it replaces: owner and group,
// permissions, and the access ACL, so that whoever could read the old file
// (a named user of an ACL included) can read the new one, and nobody else.
// A new file gets the permissions that creating it in place would have given
// it. Where the file system has no ACLs there is none to take over.

// The file being replaced, as keep_attributes reads it.
struct old_file {
    int fd;                   // open for reading or writing; -1 when there is none
    const struct stat &st;    // its status
    const std::string &shown; // the file as the console names it
};

// Gives `to`, the temporary file the console calls `to_shown`, the
// attributes of `from`, or, when there is none, those of a file created in
// place.
bool keep_attributes(const old_file &from, int to, const std::string &to_shown,
                     failure_cause &cause);
