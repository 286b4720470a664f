// Escaping of values for the file they land in (-x): JSON strings, XML text
// and attributes, URL components and single-quoted shell strings.
#pragma once

#include <cstddef>

#include "io.hpp"
#include "scan.hpp"

enum class EscapeFormat : unsigned char { none, json, xml, url, sh };

// The format that name names ("json", "xml", "url", "sh"); false for any other.
bool escape_format_parse(const char *name, EscapeFormat *format);

// The run's format: every value written from now on is escaped by it.
void escape_start(EscapeFormat format);

// Writes a value to out, escaped by the run's format (as it stands without
// one). Every site that writes bytes of a value, or bytes derived from one,
// writes them through here. Returns false when the value held bytes that the
// format cannot hold (XML's forbidden controls, bytes that are not UTF-8,
// U+FFFE and U+FFFF), which were left out: the caller reports it.
bool write_value(Output *out, const char *data, size_t length);

// The words of the "=", ":=" and "?" forms are expanded into memory before
// they are used whole: there each value goes in as it stands and its place
// is noted, so that the word can be stored as it stands and written with
// only its values escaped.
struct ValueSpans {
    const Output *word; // the Output whose values are noted
    size_t *at;         // offset and length of each value, in pairs
    size_t count;       // pairs
    size_t room;
};

// Notes the values written to word from now on; returns what was noted
// before, for values_noted_end.
ValueSpans values_noted_begin(const Output *word);

// Ends the noting that values_noted_begin started: returns its spans (to be
// given to value_spans_free) and notes again what was noted before.
ValueSpans values_noted_end(ValueSpans before);

// Writes text (a word expanded into memory) to out, the noted values in it
// through write_value.
void write_noted(Output *out, const char *text, size_t length, const ValueSpans &spans);

void value_spans_free(ValueSpans *spans);

// The bytes that may need more than a copy in the run's format, as a table
// and, for the SSE2 test, as two ranges and eight single bytes, the second
// range taken over the byte with or_mask set; inverted, the bytes that never do.
struct EscapeBytes {
    bool has[256];
#if FILLVARS_SSE2
    __m128i low_shift, low_limit, or_mask, high_shift, high_limit, invert;
    __m128i single[8];
#endif
};

[[gnu::visibility("hidden")]] extern EscapeBytes escape_bytes;

// Whether the value at data is written as it stands by the run's format, for
// a value with SCAN_PAST readable bytes after it (those of the index).
inline bool value_is_plain(const char *data, size_t length) {
#if FILLVARS_SSE2
    const EscapeBytes &b = escape_bytes;
    for (size_t at = 0;; at += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + at));
        __m128i low = _mm_cmplt_epi8(_mm_add_epi8(v, b.low_shift), b.low_limit);
        __m128i high =
            _mm_cmplt_epi8(_mm_add_epi8(_mm_or_si128(v, b.or_mask), b.high_shift), b.high_limit);
        __m128i hit = _mm_or_si128(low, high);
        for (const __m128i &single : b.single)
            hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, single));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_xor_si128(hit, b.invert)));
        size_t left = length - at;
        if (left <= 16)
            return (mask & ((1u << left) - 1)) == 0;
        if (mask != 0)
            return false;
    }
#else
    for (size_t i = 0; i < length; i++) {
        if (escape_bytes.has[static_cast<unsigned char>(data[i])])
            return false;
    }
    return true;
#endif
}

// write_value at a Place for a value of the index (SCAN_PAST readable bytes
// after it): one that needs no escaping goes as place_write_padded would take it.
[[gnu::always_inline]] inline bool place_write_value(Place *at, const char *data, size_t length) {
    if (value_is_plain(data, length)) {
        place_write_padded(at, data, length);
        return true;
    }
    bool held = write_value(place_out(at), data, length);
    place_back(at);
    return held;
}
