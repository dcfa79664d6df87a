#pragma once

#include <string>

// The command that the settings file's onchange key names, run after a run
// replaced its peer file: typically the PBX's reload, so that it happens
// only when a file changed.

// Runs `command` with /bin/sh -c, standard input from /dev/null, the run's
// standard output and error and no other descriptor, and the caller's
// environment with PEERLOOM_FILE set to `file` and PEERLOOM_MODE to `mode`.
// The command has a session of its own, without a terminal. Waits for it at
// most `wait_seconds`, then kills its process group, which holds all it
// started but what left the group. Returns true when it exited
// with status 0; otherwise prints "peerloom: onchange COMMAND: REASON" on
// standard error and returns false. A signal that would end the run while it
// waits goes to the command's group as well, and ends the run once the
// command is gone, within the same time; what is left of the group is
// killed then.
bool run_onchange(const std::string &command, const std::string &file, char mode, int wait_seconds);
