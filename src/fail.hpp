// The one way a run ends on an error: a message naming the failed operation
// with the system's error text, then status 1 through exit() so that buffered
// output is still flushed.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] inline void fail(const char *operation) {
    int error = errno;
    std::fprintf(stderr, "fillvars: %s: %s\n", operation, std::strerror(error));
    std::exit(1);
}
