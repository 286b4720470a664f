// The filter's I/O: reads and writes that wait, the output buffer, the
// escaping of messages, and fail().
#include "io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <unistd.h>

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

// Waits until fd is ready for events; false if poll itself fails.
static bool wait_for(int fd, short events) {
    struct pollfd entry = {fd, events, 0};
    while (poll(&entry, 1, -1) < 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

static bool would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

size_t read_some(int fd, char *data, size_t size) {
    for (;;) {
        ssize_t n = read(fd, data, size);
        if (n >= 0)
            return static_cast<size_t>(n);
        // A failing wait is reported as the read it was waiting for.
        if (errno == EINTR || (would_block(errno) && wait_for(fd, POLLIN)))
            continue;
        if (on_read_failure != nullptr)
            on_read_failure(fd);
        fail("read");
    }
}

bool write_waiting(int fd, const char *data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR || (would_block(errno) && wait_for(fd, POLLOUT)))
                continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void fail(const char *operation) {
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

void write_all(int fd, const char *data, size_t length) {
    if (write_waiting(fd, data, length))
        return;
    if (on_write_failure != nullptr)
        on_write_failure(fd);
    fail("write");
}

// The length of the well-formed UTF-8 sequence at p (left bytes there, at
// least 1) and its code point; 0 when the byte at p starts none.
static size_t utf8_sequence(const unsigned char *p, size_t left, uint32_t *code) {
    unsigned char c = p[0];
    size_t length;
    // The second byte's range, narrower after some leads: no overlong
    // forms, no surrogates, nothing past U+10FFFF.
    unsigned char low = 0x80, high = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
        *code = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        *code = c & 0x0f;
        low = c == 0xe0 ? 0xa0 : 0x80;
        high = c == 0xed ? 0x9f : 0xbf;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        *code = c & 0x07;
        low = c == 0xf0 ? 0x90 : 0x80;
        high = c == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high)
        return 0;
    for (size_t i = 1; i < length; i++) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
        *code = *code << 6 | (p[i] & 0x3f);
    }
    return length;
}

// Characters that a terminal shows as nothing or that reorder what follows:
// Unicode's format characters (category Cf, as of Unicode 15) and the line
// and paragraph separators U+2028 and U+2029; and the C1 controls.
static bool invisible(uint32_t code) {
    static const uint32_t ranges[][2] = {
        {0x80, 0x9f},       {0xad, 0xad},       {0x600, 0x605},     {0x61c, 0x61c},
        {0x6dd, 0x6dd},     {0x70f, 0x70f},     {0x890, 0x891},     {0x8e2, 0x8e2},
        {0x180e, 0x180e},   {0x200b, 0x200f},   {0x2028, 0x202e},   {0x2060, 0x2064},
        {0x2066, 0x206f},   {0xfeff, 0xfeff},   {0xfff9, 0xfffb},   {0x110bd, 0x110bd},
        {0x110cd, 0x110cd}, {0x13430, 0x1343f}, {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a},
        {0xe0001, 0xe0001}, {0xe0020, 0xe007f}};
    for (const auto &range : ranges) {
        if (code < range[0])
            return false;
        if (code <= range[1])
            return true;
    }
    return false;
}

char *escape_text(char *to, const char *text, size_t length) {
    static const char hex[] = "0123456789abcdef";
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    for (size_t i = 0; i < length; i++) {
        unsigned char c = p[i];
        if (c == '\\' || c == '"') {
            *to++ = '\\';
            *to++ = static_cast<char>(c);
            continue;
        }
        if (c >= 0x20 && c < 0x7f) {
            *to++ = static_cast<char>(c);
            continue;
        }
        uint32_t code = 0;
        size_t n = c < 0x80 ? 0 : utf8_sequence(p + i, length - i, &code);
        if (n > 0 && !invisible(code)) {
            std::memcpy(to, p + i, n);
            to += n;
            i += n - 1;
        } else if (n > 0) {
            // At most ten bytes for four, six for two or three.
            int digits = code > 0xffff ? 8 : 4;
            *to++ = '\\';
            *to++ = digits == 8 ? 'U' : 'u';
            for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
                *to++ = hex[(code >> shift) & 15];
            i += n - 1;
        } else {
            // A control, or a byte of no well-formed sequence.
            std::memcpy(to, "\\x", 2);
            to[2] = hex[c >> 4];
            to[3] = hex[c & 15];
            to += 4;
        }
    }
    return to;
}

void write_message(const MessagePart *parts, size_t count) {
    static const char lead[] = "fillvars: ";
    size_t size = sizeof lead;
    for (size_t i = 0; i < count; i++)
        size += parts[i].escaped ? ESCAPE_GROWTH * parts[i].length : parts[i].length;
    char *message = static_cast<char *>(std::malloc(size));
    if (message == nullptr)
        fail("malloc");
    std::memcpy(message, lead, sizeof lead - 1);
    char *end = message + sizeof lead - 1;
    for (size_t i = 0; i < count; i++) {
        if (parts[i].escaped) {
            end = escape_text(end, parts[i].text, parts[i].length);
        } else if (parts[i].length > 0) {
            std::memcpy(end, parts[i].text, parts[i].length);
            end += parts[i].length;
        }
    }
    *end++ = '\n';
    write_waiting(STDERR_FILENO, message, static_cast<size_t>(end - message));
    std::free(message);
}

void output_flush(Output *out) {
    if (before_output != nullptr)
        before_output();
    write_all(out->fd, out->data, static_cast<size_t>(out->next - out->data));
    out->next = out->data;
}

// Output to memory grows when the data does not fit, to twice its size or
// to what it must hold: as much as was written, not one doubling a write.
static void output_grow(Output *out, const char *data, size_t length) {
    size_t used = static_cast<size_t>(out->next - out->data);
    size_t size = static_cast<size_t>(out->limit - out->data);
    if (length > size - used) {
        size_t wanted = std::max(2 * size, used + length);
        // Room past the limit for place_write_padded.
        char *grown = static_cast<char *>(std::realloc(out->data, wanted + COPY_PAST));
        if (grown == nullptr)
            fail("realloc");
        *out = {out->fd, grown, grown + used, grown + wanted};
    }
    std::memcpy(out->next, data, length);
    out->next += length;
}

void output_write_long(Output *out, const char *data, size_t length) {
    if (out->fd < 0) {
        if (out->fd != DISCARD)
            output_grow(out, data, length);
        return;
    }
    output_flush(out);
    if (length >= DIRECT_WRITE || length >= static_cast<size_t>(out->limit - out->data)) {
        write_all(out->fd, data, length);
        return;
    }
    std::memcpy(out->data, data, length);
    out->next = out->data + length;
}
