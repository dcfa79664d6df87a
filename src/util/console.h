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

// "peerloom: STEP PATH: REASON" on standard error, REASON being the system's
// text for the error; nothing when no step failed.
void report_cause(const failure_cause &cause);
