#pragma once

#include <string>
#include <sys/stat.h>
#include <vector>

#include "files/unique_fd.h"
#include "util/console.h"

// Finds where a file is to be written without trusting any path twice.
//
// A path is walked one component at a time from a descriptor of the
// directory it starts in, each component opened with O_PATH | O_NOFOLLOW in
// the directory opened just before it. A symbolic link on the way is
// followed, by reading the very link that was opened, only when it belongs
// to the running user or to root: one planted by anyone else who may write
// a directory on the way could otherwise point a run by root at any file of
// the system. Since every step starts from a descriptor already held, a
// directory renamed or swapped for a link after it was looked at changes
// nothing: the directory found is the one the file is created and renamed
// in.
//
// The file found must be one that the run may replace: a plain file this
// user could write, or nothing yet; not a mount point; and, in a sticky
// directory, one of the running user's own, whoever runs the program, so
// that a file planted there is never handed back to its owner full of
// secrets.

// Opens the directory `path` names, with links followed under the rule
// above. `shown` gets the path with those links resolved, as the console
// names the directory.
bool open_directory_path(const std::string &path, unique_fd &dir, std::string &shown,
                         failure_cause &cause);

// A file to be replaced, as the walk found it.
struct target_file {
    unique_fd dir;         // the directory that holds it, open for reading
    std::string dir_shown; // that directory as the console names it
    std::string name;      // its name in there
    std::string shown;     // the file as the console names it
    bool exists = false;   // whether there is a file to replace
    struct stat st = {};   // its status, when there is
};

// Walks `name` from `dir`, which the console calls `dir_shown`, to the file
// it leads to, and checks that the file may be replaced.
bool find_target(int dir, const std::string &dir_shown, const std::string &name,
                 target_file &target, failure_cause &cause);

// A directory that a walk went through, as it was when the walk opened it.
struct walked_directory {
    std::string shown; // as the console names it
    struct stat st;
};

// Opens the plain file `path` names for reading, with links followed under
// the rule above, and checks that the descriptor is the file the walk found.
// Anything else (a directory, a FIFO, a device) is refused unopened: opening
// a FIFO would wait for a writer, and a device may act on being opened.
// `through` gets every directory the walk went through, in order, the one it
// started from first, so that the caller can tell who could have put the
// file there.
bool open_for_reading(const std::string &path, unique_fd &file, failure_cause &cause,
                      std::vector<walked_directory> &through);
