// The one way a run ends on an error: a message naming the failed operation
// with the system's error text, then status 1 through exit() so that buffered
// output is still flushed.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "io.hpp"

[[noreturn]] inline void fail(const char *operation) {
    int error = errno;
    // The filter's pending reports, which an allocation or a write failing in
    // the middle of a block would otherwise lose.
    if (before_output != nullptr)
        before_output();
    // Written as reports are, waiting on a non-blocking standard error: the
    // reports just written may have filled it.
    char message[512];
    int length = std::snprintf(message, sizeof message, "fillvars: %s: %s\n", operation,
                               std::strerror(error));
    if (length > 0)
        write_waiting(STDERR_FILENO, message,
                      std::min(static_cast<size_t>(length), sizeof message - 1));
    std::exit(1);
}
