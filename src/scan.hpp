// The byte scans under the walk: the byte classes, the next "$", where a
// name ends, the window of bits that a block's walk moves by, and the count
// of line feeds; SSE2 and the portable code side by side, all inline.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
// SSE2 where the CPU has it (every x86-64 CPU), unless the build asks for
// the portable code that other CPUs run (FILLVARS_PORTABLE), to test it here.
#if defined(__SSE2__) && !defined(FILLVARS_PORTABLE)
#define FILLVARS_SSE2 1
#include <emmintrin.h>
#else
#define FILLVARS_SSE2 0
#endif

#include "io.hpp"

// How far before a block's start a window's base may point (never read): the
// buffer has room for it before the carried bytes.
constexpr size_t BEFORE_START = 32;

// A set of bytes, as a table.
struct ByteSet {
    bool has[256];
};

template <typename Test> constexpr ByteSet byte_set(Test has) {
    ByteSet set{};
    for (int c = 0; c < 256; c++)
        set.has[c] = has(c);
    return set;
}

// The bytes that end a reference: "}" (which belongs to it only when it
// opened with "${"), the delimiters and NUL (which never do).
constexpr ByteSet stops = byte_set(
    [](int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '}' || c == '\0'; });

// The shell's names: a letter or "_", then letters, digits and "_". Every
// other byte, NUL included, ends one.
constexpr bool shell_letter(int c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

constexpr ByteSet shell_starts = byte_set(shell_letter);
[[maybe_unused]] constexpr ByteSet shell_stops =
    byte_set([](int c) { return !shell_letter(c) && !(c >= '0' && c <= '9'); });

static inline bool starts_shell_name(char c) {
    return shell_starts.has[static_cast<unsigned char>(c)];
}

// Reading past the data: every scan below stops at a byte of its set at or
// before the end of the data (the NUL that substitute_block puts there is in
// both sets), and may read up to SCAN_PAST bytes beyond that byte.
constexpr size_t SCAN_PAST = COPY_PAST;

#if FILLVARS_SSE2
// The first byte at or after p that ends a name by the plain rule (a stop),
// sixteen bytes a step: a name is mostly one step. Every stop is a "}" or a
// byte up to 0x20, which few other bytes of text are: those are looked at
// one by one. Every x86-64 CPU has SSE2.
static inline const char *find_plain_end(const char *p, bool *brace_there) {
    const __m128i space = _mm_set1_epi8(' '), brace = _mm_set1_epi8('}');
    for (;;) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i low = _mm_cmpeq_epi8(_mm_max_epu8(v, space), space);
        unsigned braces = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, brace)));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(low)) | braces;
        if (mask == 0) {
            p += 16;
            continue;
        }
        unsigned at = static_cast<unsigned>(__builtin_ctz(mask));
        p += at;
        if (stops.has[static_cast<unsigned char>(*p)]) {
            *brace_there = (braces >> at) & 1;
            return p;
        }
        p++;
    }
}

// Whether each byte lies in lo..hi, with SSE2's signed compares: shifted so
// that the range starts at -128.
static inline __m128i bytes_within(__m128i v, char lo, char hi) {
    __m128i shifted = _mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(-128 - lo)));
    return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + (hi - lo) + 1)));
}

// 0xff for each byte of v that is a letter, a digit or "_".
static inline __m128i shell_name_bytes(__m128i v) {
    __m128i letter = bytes_within(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 'z');
    return _mm_or_si128(_mm_or_si128(letter, bytes_within(v, '0', '9')),
                        _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
}

// The first byte at or after p that is not a letter, a digit or "_".
static inline const char *find_shell_end(const char *p) {
    for (;; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(shell_name_bytes(v))) ^ 0xffffu;
        if (mask != 0)
            return p + __builtin_ctz(mask);
    }
}
#else
static inline const char *find_plain_end(const char *p, bool *brace_there) {
    while (!stops.has[static_cast<unsigned char>(*p)])
        p++;
    *brace_there = *p == '}';
    return p;
}

static inline const char *find_shell_end(const char *p) {
    while (!shell_stops.has[static_cast<unsigned char>(*p)])
        p++;
    return p;
}
#endif

#if !FILLVARS_SSE2
// Elsewhere the next "$" is first looked for a word at a time.

// Eight bytes as a number whose low byte is the first, whatever the CPU's
// byte order, so that the lowest flagged byte below is the first in memory.
static inline uint64_t load_word(const char *p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

constexpr uint64_t ONES = 0x0101010101010101ull;

// The top bit of each byte of word that is zero, and maybe of bytes above
// such a byte; the lowest one flagged is always right.
static inline uint64_t zero_bytes(uint64_t word) {
    return (word - ONES) & ~word & (ONES << 7);
}
#endif

// The next "$" in p..end, or null; SCAN_PAST bytes after end must be
// readable. In reference-dense text it is a few bytes on, nearer than a call
// to memchr pays for: look at the next sixteen bytes (SSE2) or eight (a word)
// first.
static inline const char *find_dollar(const char *p, const char *end) {
#if FILLVARS_SSE2
    const size_t step = 16;
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), _mm_set1_epi8('$'))));
    if (mask != 0) {
        const char *dollar = p + __builtin_ctz(mask);
        return dollar < end ? dollar : nullptr;
    }
#else
    const size_t step = 8;
    uint64_t zero = zero_bytes(load_word(p) ^ (ONES * '$'));
    if (zero != 0) {
        const char *dollar = p + __builtin_ctzll(zero) / 8;
        return dollar < end ? dollar : nullptr;
    }
#endif
    p += step;
    if (p >= end)
        return nullptr;
    return static_cast<const char *>(std::memchr(p, '$', static_cast<size_t>(end - p)));
}

#if FILLVARS_SSE2
// A bit for each of the WINDOW bytes from base that is a "$", and for each
// that may end a name by the walk's rule: by the plain rule a byte up to ' '
// or a "}", a candidate only, checked against stops; by the shell's, any byte
// that is not a letter, a digit or "_". A block's walk goes from one
// reference to the next by these bits: it loads the bytes a window at a time,
// and does not wait on a load for each reference. The window slides on half
// its length at a time.
constexpr size_t WINDOW = 64;
constexpr size_t HALF = WINDOW / 2;
static_assert(SCAN_PAST >= WINDOW, "a window may reach WINDOW - 1 bytes past the end of the data");
static_assert(HALF <= BEFORE_START, "a window's base may point HALF bytes before a block");

struct Window {
    const char *base;
    uint64_t dollars;
    uint64_t stops;
};

// The bits of the HALF bytes at p, into the top half of w's, which are 0.
template <bool shell>
[[gnu::always_inline]] inline static void window_fill_top(Window *w, const char *p) {
    const __m128i space = _mm_set1_epi8(' '), brace = _mm_set1_epi8('}'),
                  dollar = _mm_set1_epi8('$');
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
    auto top = [](__m128i low, __m128i high) {
        return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(low)) |
                                     static_cast<unsigned>(_mm_movemask_epi8(high)) << 16)
               << HALF;
    };
    auto stop = [&](__m128i v) {
        return _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, space), space),
                            _mm_cmpeq_epi8(v, brace));
    };
    w->dollars |= top(_mm_cmpeq_epi8(a, dollar), _mm_cmpeq_epi8(b, dollar));
    if (shell)
        w->stops |= ~top(shell_name_bytes(a), shell_name_bytes(b)) & ~uint64_t{0} << HALF;
    else
        w->stops |= top(stop(a), stop(b));
}

// On by HALF bytes: the top half becomes the bottom one.
template <bool shell> [[gnu::always_inline]] inline static void window_slide(Window *w) {
    w->base += HALF;
    w->dollars >>= HALF;
    w->stops >>= HALF;
    window_fill_top<shell>(w, w->base + HALF);
}

// A window whose top half starts at p; the bytes before p are of no interest.
// Its base is never read: a block has room before its start (BEFORE_START).
template <bool shell>
[[gnu::always_inline]] inline static void window_at(Window *w, const char *p) {
    *w = {p - HALF, 0, 0};
    window_fill_top<shell>(w, p);
}

// The first bit of stops at or after p, for p less than WINDOW bytes past
// base; null where there is none in the window.
[[gnu::always_inline]] inline static const char *window_stop(const Window *w, const char *p) {
    uint64_t after = w->stops >> (p - w->base);
    return after != 0 ? p + __builtin_ctzll(after) : nullptr;
}

// find_plain_end by the window; by the scan where the name runs past it, or
// a byte up to ' ' in it is no stop.
[[gnu::always_inline]] inline static const char *
window_find_plain_end(const Window *w, const char *p, bool *brace_there) {
    const char *stop = window_stop(w, p);
    if (stop != nullptr) {
        unsigned char c = static_cast<unsigned char>(*stop);
        if (stops.has[c]) {
            *brace_there = c == '}';
            return stop;
        }
    }
    return find_plain_end(p, brace_there);
}

// find_shell_end by the window; by the scan where the name runs past it.
[[gnu::always_inline]] inline static const char *window_find_shell_end(const Window *w,
                                                                       const char *p) {
    const char *stop = window_stop(w, p);
    return stop != nullptr ? stop : find_shell_end(p);
}
#else
// Elsewhere there is no window: every name is scanned for.
struct Window {};

static inline const char *window_find_plain_end(const Window *, const char *p, bool *brace_there) {
    return find_plain_end(p, brace_there);
}

static inline const char *window_find_shell_end(const Window *, const char *p) {
    return find_shell_end(p);
}
#endif

#if FILLVARS_SSE2
// find_dollar by the window, from p, where the reference before ended: a "$"
// in the bottom half is taken, one in the top half slides the window on so
// that it is in the bottom; past the window, find_dollar looks. A "$" it finds
// within HALF bytes of p starts a window in whose top half it is; one further
// on, an empty window, so that its name is scanned for. So a "$" returned lies
// at most HALF bytes past the window's base, or WINDOW - 3 bytes (the empty
// window): a name after it starts less than WINDOW bytes past base, as
// window_stop needs.
// The window slides only onto a "$" found before end, so it never reaches
// past the zeros after end: any "$" in it is before end, untested.
template <bool shell>
[[gnu::always_inline]] inline static const char *window_find_dollar(Window *w, const char *p,
                                                                    const char *end) {
    size_t off = static_cast<size_t>(p - w->base);
    if (off < HALF) {
        uint32_t ahead = static_cast<uint32_t>(w->dollars) >> off;
        if (ahead != 0)
            return p + __builtin_ctz(ahead);
        off = HALF;
    }
    if (off < WINDOW && (w->dollars >> off) != 0) {
        const char *dollar = w->base + off + __builtin_ctzll(w->dollars >> off);
        window_slide<shell>(w);
        return dollar;
    }
    // None in the window: find_dollar looks on.
    const char *dollar = find_dollar(p, end);
    // A window pays where references come close together.
    if (dollar != nullptr) {
        if (dollar - p < static_cast<ptrdiff_t>(HALF))
            window_at<shell>(w, dollar);
        else
            *w = {dollar - (WINDOW - 3), 0, 0};
    }
    return dollar;
}
#else
template <bool shell> static inline void window_at(Window *, const char *) {}

template <bool shell>
static inline const char *window_find_dollar(Window *, const char *p, const char *end) {
    return find_dollar(p, end);
}
#endif

#if FILLVARS_SSE2
// Sixteen bytes a compare, four compares a step, into byte-wide sums that
// are added up before they can overflow. Every x86-64 CPU has SSE2.
static inline uint64_t count_feeds(const char *p, const char *end) {
    const __m128i feed = _mm_set1_epi8('\n');
    uint64_t feeds = 0;
    while (end - p >= 64) {
        size_t steps = std::min<size_t>(63, static_cast<size_t>(end - p) / 64);
        __m128i sums = _mm_setzero_si128();
        for (size_t i = 0; i < steps; i++, p += 64) {
            const __m128i *v = reinterpret_cast<const __m128i *>(p);
            __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128(v), feed);
            __m128i b = _mm_cmpeq_epi8(_mm_loadu_si128(v + 1), feed);
            __m128i c = _mm_cmpeq_epi8(_mm_loadu_si128(v + 2), feed);
            __m128i d = _mm_cmpeq_epi8(_mm_loadu_si128(v + 3), feed);
            // Each compare is 0 or -1 a byte: at most -4 a step, 63 steps.
            sums = _mm_sub_epi8(sums, _mm_add_epi8(_mm_add_epi8(a, b), _mm_add_epi8(c, d)));
        }
        __m128i wide = _mm_sad_epu8(sums, _mm_setzero_si128());
        feeds += static_cast<uint64_t>(_mm_cvtsi128_si32(wide)) +
                 static_cast<uint64_t>(_mm_extract_epi16(wide, 4));
    }
    for (; p < end; p++)
        feeds += *p == '\n';
    return feeds;
}
#else
// Counted in runs of 240 bytes into a byte-wide sum, which compilers turn
// into wide compares and adds where the CPU has them.
static inline uint64_t count_feeds(const char *p, const char *end) {
    uint64_t feeds = 0;
    while (p < end) {
        size_t run = std::min<size_t>(240, static_cast<size_t>(end - p));
        uint8_t in_run = 0;
        for (size_t i = 0; i < run; i++)
            in_run += p[i] == '\n';
        feeds += in_run;
        p += run;
    }
    return feeds;
}
#endif
