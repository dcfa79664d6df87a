#pragma once

#include <string>

// Standard output is fully buffered when it goes to a file or a pipe, and
// standard error is not: everything written to standard error goes through
// here, after standard output has been flushed, so that a log that takes
// both streams shows the lines in the order they happened.

// printf to standard error.
void complain(const char *format, ...) __attribute__((format(printf, 1, 2)));

// A system call that failed, what it worked on, and why.
struct failure_cause {
    const char *step = nullptr;   // the call: "open", "write", "rename", ...; null for none
    std::string path;             // the file or directory it worked on
    int error = 0;                // errno, or 0 when `reason` says it
    const char *reason = nullptr; // the cause in words, where no errno names it
};

// Records a failed step in `cause` and returns false, for the functions that
// say whether they succeeded and leave the reporting to their caller.
// `error` is best saved before anything else runs: building a path may
// change errno.
inline bool record_failure(failure_cause &cause, const char *step, const std::string &path,
                           int error, const char *reason = nullptr)
{
    cause = {step, path, error, reason};
    return false;
}

// "peerloom: STEP PATH: REASON" on standard error, REASON being the system's
// text for the error; nothing when no step failed.
void report_cause(const failure_cause &cause);
