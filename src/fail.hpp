// The one way a run ends on an error: a message naming the failed operation
// with the system's error text, then status 1 through exit() so that buffered
// output is still flushed.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// What must still be written before a failure's message: the filter's
// pending reports, which a write of the output failing in the middle of a
// block would otherwise lose.
inline void (*before_failing)() = nullptr;

[[noreturn]] inline void fail(const char *operation) {
    int error = errno;
    if (before_failing != nullptr)
        before_failing();
    std::fprintf(stderr, "fillvars: %s: %s\n", operation, std::strerror(error));
    std::exit(1);
}
