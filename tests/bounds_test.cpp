// Under AddressSanitizer: a read one byte past the filter's buffers is
// reported, at the usual block size too, where they would otherwise be static.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "io.hpp"
#include "scan.hpp"
#include "substitute.hpp"

// The link wraps read and write (-Wl,--wrap=read,--wrap=write): the filter's
// calls on the watched descriptors come here, where the buffer they are given
// is known to start a block, and the byte just past it can be read.
extern "C" ssize_t __real_read(int fd, void *data, size_t size);
extern "C" ssize_t __real_write(int fd, const void *data, size_t size);

namespace {

// The walk may read SCAN_PAST bytes past the data of a block, and the output
// buffer has COPY_PAST past its block for the copies: each buffer ends there.

// Which byte at a buffer's end the wrappers read: its last one (-1), the
// first one past it (0), or none.
const int NONE = 1;
int watched_in = -1;
int watched_out = -1;
size_t block = 0;
int input_at = NONE;
int output_at = NONE;

void read_byte(const char *at) {
    volatile char byte = *at;
    (void)byte;
}

} // namespace

// The input is "x", then its end; the read target is where the block starts.
extern "C" ssize_t __wrap_read(int fd, void *data, size_t size) {
    if (fd != watched_in)
        return __real_read(fd, data, size);
    char *target = static_cast<char *>(data);
    if (input_at != NONE)
        read_byte(target + size + SCAN_PAST + input_at);
    watched_in = -1;
    *target = 'x';
    return 1;
}

// The output's first write starts at its buffer.
extern "C" ssize_t __wrap_write(int fd, const void *data, size_t size) {
    if (fd == watched_out && output_at != NONE)
        read_byte(static_cast<const char *>(data) + block + COPY_PAST + output_at);
    return __real_write(fd, data, size);
}

namespace {

void run(size_t block_size, int input, int output) {
    int in = open("/dev/null", O_RDONLY);
    int out = open("/dev/null", O_WRONLY);
    watched_in = in;
    watched_out = out;
    block = block_size;
    input_at = input;
    output_at = output;
    substitute_stream(in, out, block_size);
    watched_in = watched_out = -1;
    close(in);
    close(out);
}

TEST(BoundsDeathTest, ReadOneBytePastABufferIsReported) {
    for (size_t block_size : {BLOCK_SIZE, size_t{4096}}) {
        SCOPED_TRACE("block size " + std::to_string(block_size));
        // Each buffer's last byte may be read: the run ends as usual.
        run(block_size, -1, -1);
        EXPECT_DEATH(run(block_size, 0, NONE), "AddressSanitizer: .*buffer-overflow");
        EXPECT_DEATH(run(block_size, NONE, 0), "AddressSanitizer: .*buffer-overflow");
    }
}

} // namespace
