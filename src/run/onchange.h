#pragma once

#include <string>

// The command that the settings file's onchange key names, run after a run
// replaced its peer file: typically the PBX's reload, so that it happens
// only when a file changed.

// Runs `command` with /bin/sh -c, standard input from /dev/null, the run's
// standard output and error, and the caller's environment with
// PEERLOOM_FILE set to `file` and PEERLOOM_MODE to `mode`. Waits for it at
// most `wait_seconds`, then kills it and all it started. Returns true when
// it exited with status 0; otherwise prints "peerloom: onchange COMMAND:
// REASON" on standard error and returns false. A signal that would end the
// run while it waits ends the command too.
bool run_onchange(const std::string &command, const std::string &file, char mode, int wait_seconds);
