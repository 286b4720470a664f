// The filter's I/O: whole writes, reads and writes that wait on a
// non-blocking descriptor instead of failing, the output buffer, the escaping
// that every message shares, and the one way a run ends on an error.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Called with the descriptor when read_some fails, before its own message:
// -i's, which ends the run with a message that names FILE.
inline void (*on_read_failure)(int fd) = nullptr;

// Writes all of data, waiting while a non-blocking descriptor is full; false
// on an error, with errno set.
bool write_waiting(int fd, const char *data, size_t length);

// The same, ending the run with "write" on an error.
void write_all(int fd, const char *data, size_t length);

// Called with the descriptor when write_all fails, before its own message:
// -o's, which may end the run with a message that names FILE.
inline void (*on_write_failure)(int fd) = nullptr;

// Most bytes that escape_text writes for each byte of text.
constexpr size_t ESCAPE_GROWTH = 4;

// Text from the input or the command line, made safe to quote in a message
// and valid UTF-8: backslashes and double quotes backslashed, control bytes
// (0x00-0x1f, 0x7f) and every byte of no well-formed UTF-8 sequence (a lone
// 0x80-0xff, the 8-bit C1 controls among them) as \xHH, and the characters a
// terminal obeys or shows as nothing (the C1 controls, Unicode's format
// characters such as U+200B, U+202E and U+FEFF, U+2028 and U+2029) as \uHHHH
// (\UHHHHHHHH past U+FFFF). Writes at most ESCAPE_GROWTH * length bytes to
// to; returns where it stopped.
char *escape_text(char *to, const char *text, size_t length);

// A piece of a message: fixed text as it stands, or text from a file or the
// command line, escaped (escape_text).
struct MessagePart {
    const char *text;
    size_t length;
    bool escaped;
};

// Writes "fillvars: ", the parts and a line feed to standard error, waiting
// while a non-blocking one is full.
void write_message(const MessagePart *parts, size_t count);

// What must go out before any output to a descriptor and before a failure's
// message: the filter's pending reports, which a run ended at that write (by
// SIGPIPE or a failure) would otherwise lose.
inline void (*before_output)() = nullptr;

// Ends the run on an error: a message naming the failed operation with the
// system's error text, then status 1 through exit() so that buffered output
// is still flushed.
[[noreturn]] void fail(const char *operation);

// Output to a descriptor; with fd -1, to memory that grows only when what is
// written does not fit (std::free data when done); with fd DISCARD and no
// buffer, nowhere: every write is dropped, and nothing is held.
struct Output {
    int fd;
    char *data;  // the buffer
    char *next;  // where the next byte goes
    char *limit; // one past the buffer
};

// The fd of an Output that drops what it is given.
constexpr int DISCARD = -2;

void output_flush(Output *out);

// Takes runs too long to be worth copying, or that do not fit, straight to
// the descriptor.
void output_write_long(Output *out, const char *data, size_t length);

// Runs this long go out straight from the input: text without references is
// then never copied.
constexpr size_t DIRECT_WRITE = 16 * 1024;

// Copies up to 16 bytes without a call: two overlapping pieces that cover
// them, touching no byte outside.
[[gnu::always_inline]] inline void copy_short(char *to, const char *from, size_t length) {
    if (length >= 8) {
        uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + length - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + length - 8, &tail, 8);
    } else if (length >= 4) {
        uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + length - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + length - 4, &tail, 4);
    } else if (length > 0) {
        to[0] = from[0];
        to[length / 2] = from[length / 2];
        to[length - 1] = from[length - 1];
    }
}

// Copies 16 to 64 bytes without a call: 16-byte pieces that overlap.
[[gnu::always_inline]] inline void copy_medium(char *to, const char *from, size_t length) {
    char head[16], tail[16];
    std::memcpy(head, from, 16);
    std::memcpy(tail, from + length - 16, 16);
    if (length > 32) {
        char second[16], third[16];
        std::memcpy(second, from + 16, 16);
        std::memcpy(third, from + length - 32, 16);
        std::memcpy(to + 16, second, 16);
        std::memcpy(to + length - 32, third, 16);
    }
    std::memcpy(to, head, 16);
    std::memcpy(to + length - 16, tail, 16);
}

// Copies 64 to 128 bytes without a call: two pieces of 64 that overlap, the
// runs between references every hundred bytes or so.
[[gnu::always_inline]] inline void copy_pair(char *to, const char *from, size_t length) {
    std::memcpy(to, from, 64);
    std::memcpy(to + length - 64, from + length - 64, 64);
}

// place_write_padded may read and write this many bytes from where it starts,
// whatever the length.
constexpr size_t COPY_PAST = 64;

// Inline: most of what is written is short.
[[gnu::always_inline]] inline void output_write(Output *out, const char *data, size_t length) {
    char *next = out->next;
    if (length >= DIRECT_WRITE || length > static_cast<size_t>(out->limit - next)) {
        output_write_long(out, data, length);
        return;
    }
    if (length <= 16)
        copy_short(next, data, length);
    else if (length <= 64)
        copy_medium(next, data, length);
    else if (length <= 128)
        copy_pair(next, data, length);
    else
        std::memcpy(next, data, length);
    out->next = next + length;
}

// Where a loop writes in an Output, held apart from it: the compiler keeps it
// in registers, where it would reload the Output's own after every copy (the
// bytes copied could, for all it knows, be the Output's). Code that takes the
// Output itself runs between place_out and place_back.
struct Place {
    Output *out;
    char *next;
    char *roomy; // below it, COPY_PAST bytes and one more fit before the limit
};

inline Output *place_out(Place *at) {
    at->out->next = at->next;
    return at->out;
}

inline void place_back(Place *at) {
    Output *out = at->out;
    at->next = out->next;
    // An Output to memory that has no buffer yet has no room at all.
    at->roomy = out->limit - out->data > static_cast<ptrdiff_t>(COPY_PAST) ? out->limit - COPY_PAST
                                                                           : out->data;
}

// output_write at a Place, the short texts without a call.
[[gnu::always_inline]] inline void place_write(Place *at, const char *data, size_t length) {
    if (length > 16 || at->next >= at->roomy) {
        output_write(place_out(at), data, length);
        place_back(at);
        return;
    }
    copy_short(at->next, data, length);
    at->next += length;
}

// output_write at a Place for data that has COPY_PAST readable bytes from its
// start, into an Output with COPY_PAST bytes of room past its limit (those of
// the filter): up to COPY_PAST bytes go as one fixed copy, which compilers
// make a few wide moves, without a branch on their length.
[[gnu::always_inline]] inline void place_write_padded(Place *at, const char *data, size_t length) {
    if (length > COPY_PAST || at->next >= at->roomy) {
        // Up to 128 bytes of the data's own as copy_pair, where they fit below
        // the limit (and so in an Output without room past it, or with no
        // buffer, never).
        if (length <= 128 && at->roomy - at->next > static_cast<ptrdiff_t>(COPY_PAST)) {
            copy_pair(at->next, data, length);
            at->next += length;
            return;
        }
        output_write(place_out(at), data, length);
        place_back(at);
        return;
    }
    std::memcpy(at->next, data, COPY_PAST);
    at->next += length;
}
