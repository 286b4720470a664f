// The filter's I/O: whole writes, reads and writes that wait on a
// non-blocking descriptor instead of failing, and the output buffer.
#pragma once

#include <cstddef>
#include <cstring>

// size bytes starting on a page boundary, released with std::free. Ends the
// run with "malloc" when there is no memory.
char *page_aligned_alloc(size_t size);

// Room reserved before each read target, a whole number of pages, so that
// carried bytes (up to carry) fit in front of a read that starts on a page.
size_t page_rounded(size_t carry);

// Reads up to size bytes; 0 at end of input. Waits while a non-blocking
// descriptor has nothing to read; ends the run with "read" on an error.
size_t read_some(int fd, char *data, size_t size);

// Writes all of data, waiting while a non-blocking descriptor is full; ends
// the run with "write" on an error.
void write_all(int fd, const char *data, size_t length);

struct Output {
    int fd;
    char *data;
    size_t length;
    size_t capacity;
};

void output_flush(Output *out);

// Takes runs too long to be worth copying, or that do not fit, straight to
// the descriptor.
void output_write_long(Output *out, const char *data, size_t length);

// Runs this long go out straight from the input: text without references is
// then never copied.
constexpr size_t DIRECT_WRITE = 16 * 1024;

// Inline: the walk calls it for every run and every value.
inline void output_write(Output *out, const char *data, size_t length) {
    if (length >= DIRECT_WRITE || length > out->capacity - out->length) {
        output_write_long(out, data, length);
        return;
    }
    std::memcpy(out->data + out->length, data, length);
    out->length += length;
}
