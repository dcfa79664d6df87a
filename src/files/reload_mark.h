#pragma once

#include <string>

#include "util/console.h"

// The mark that keeps a peer file's onchange command due. A run that is
// about to replace its file makes it in the configuration directory before
// the rename, and only a command that succeeded removes it: a reload that
// failed, timed out, died with its run or never started (a run killed
// between the rename and the command, a directory whose sync failed) is run
// again by every later run of that file, changed file or not, until it
// succeeds.
//
// The mark of NAME is ".NAME.peerloom-reload-due", empty and private to the
// running user, made beside the lock. Only a plain file of the running
// user's counts: anyone else could at most make a run reload the PBX.

// Whether the mark of `name` stands in the directory `dir`.
bool reload_mark_stands(int dir, const std::string &name);

// Makes the mark, and syncs the directory so that it outlives a power cut
// that the new file outlives. `dir_shown` is the directory as the console
// names it.
bool set_reload_mark(int dir, const std::string &dir_shown, const std::string &name,
                     failure_cause &cause);

// Removes the mark, once the command has succeeded.
bool clear_reload_mark(int dir, const std::string &dir_shown, const std::string &name,
                       failure_cause &cause);
