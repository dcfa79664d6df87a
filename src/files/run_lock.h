#pragma once

#include <string>

#include "files/unique_fd.h"
#include "util/console.h"

// Runs that write into one configuration directory take turns: each holds
// an exclusive flock on the directory's .peerloom.lock from before its query
// until its new file is in place, so that a run that starts later also reads
// its table later, and its file is the one that stays. The lock belongs to
// the configuration directory, not to whatever directory a link leads the
// file to, so that runs of every mode take turns whatever their links.
//
// Only the running user can take the lock: the file is made with mode 0600
// and O_NOFOLLOW, and one that is a link, not a plain file, another user's,
// open to others by its mode or ACL, or linked under a second name is
// refused. Anyone who could read a locked file could otherwise
// hold off every run, and keep a revoked secret in the PBX's files for as
// long as they liked. The kernel drops the lock of a run that dies, so the
// file can stay between runs; it is the one file the program adds to the
// directory.

enum class lock_state {
    held,   // the lock is this run's until `lock` is closed
    failed, // the lock file cannot be made or used; the cause says why
    busy,   // another run held the lock for all of the wait
};

// Takes the lock of `dir`, which the console calls `dir_shown`, waiting at
// most `wait_seconds` for another run to let it go.
lock_state take_run_lock(int dir, const std::string &dir_shown, int wait_seconds, unique_fd &lock,
                         failure_cause &cause);
