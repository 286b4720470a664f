#include "io.hpp"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "fail.hpp"

static size_t page_size() {
    static size_t size = 0;
    if (size == 0) {
        long reported = sysconf(_SC_PAGESIZE);
        size = reported > 0 ? static_cast<size_t>(reported) : 4096;
    }
    return size;
}

char *page_aligned_alloc(size_t size) {
    void *data = nullptr;
    int error = posix_memalign(&data, page_size(), size);
    if (error != 0) {
        errno = error;
        fail("malloc");
    }
    return static_cast<char *>(data);
}

size_t page_rounded(size_t carry) {
    size_t page = page_size();
    return (carry + page - 1) / page * page;
}

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
