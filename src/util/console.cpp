#include "util/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void complain(const char *format, ...)
{
    std::fflush(stdout);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

void report_cause(const failure_cause &cause)
{
    if (cause.step == nullptr)
        return;
    const char *reason = cause.reason != nullptr ? cause.reason : std::strerror(cause.error);
    complain("peerloom: %s %s: %s\n", cause.step, cause.path.c_str(), reason);
}
