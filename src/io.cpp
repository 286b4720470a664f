#include "io.hpp"

#include <cerrno>
#include <unistd.h>

#include "fail.hpp"

void write_all(int fd, const char *data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("write");
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
}

void output_flush(Output *out) {
    write_all(out->fd, out->data, out->length);
    out->length = 0;
}

void output_write_long(Output *out, const char *data, size_t length) {
    output_flush(out);
    if (length >= DIRECT_WRITE || length >= out->capacity) {
        write_all(out->fd, data, length);
        return;
    }
    std::memcpy(out->data, data, length);
    out->length = length;
}
