// The escapers of -E, a value at a time, and the notes on where values lie
// in a word expanded into memory.
#include "escape.hpp"

#include <cstdlib>
#include <cstring>

static EscapeFormat escape_format = EscapeFormat::none;

// The bytes that may need more than a copy in the run's format.
static bool escape_care[256] = {};

PlainNote plain_notes[PLAIN_NOTES] = {};

bool escape_format_parse(const char *name, EscapeFormat *parsed) {
    static const struct {
        const char *name;
        EscapeFormat format;
    } formats[] = {{"json", EscapeFormat::json},
                   {"xml", EscapeFormat::xml},
                   {"url", EscapeFormat::url},
                   {"sh", EscapeFormat::sh}};
    for (const auto &known : formats) {
        if (std::strcmp(name, known.name) == 0) {
            *parsed = known.format;
            return true;
        }
    }
    return false;
}

static bool url_plain(int c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// Whether c may need more than a copy: a byte escaped, or one that starts a
// sequence that may be (C2 for the C1 controls, E2 for U+2028 and U+2029),
// or any byte past ASCII for XML, which checks that the value is UTF-8.
static bool needs_care(EscapeFormat f, int c) {
    switch (f) {
    case EscapeFormat::json:
        return c < 0x20 || c == '"' || c == '\\' || c == '<' || c == '>' || c == '&' || c == 0x7f ||
               c == 0xc2 || c == 0xe2;
    case EscapeFormat::xml:
        return c < 0x20 || c >= 0x80 || c == '&' || c == '<' || c == '>' || c == '"' || c == '\'';
    case EscapeFormat::url:
        return !url_plain(c);
    case EscapeFormat::sh:
        return c == '\'';
    case EscapeFormat::none:
        break;
    }
    return false;
}

void escape_start(EscapeFormat f) {
    escape_format = f;
    if (f == EscapeFormat::none)
        return;
    for (int c = 0; c < 256; c++)
        escape_care[c] = needs_care(f, c);
    // The last run's values may have been freed, and their addresses taken again.
    std::memset(plain_notes, 0, sizeof plain_notes);
}

bool value_is_plain_noting(const char *data, size_t length, PlainNote *note) {
    bool plain = true;
    for (size_t i = 0; i < length && plain; i++)
        plain = !escape_care[static_cast<unsigned char>(data[i])];
    *note = {data, length << 1 | static_cast<size_t>(plain)};
    return plain;
}

// The length of the UTF-8 sequence at p (before end), 0 when p does not
// start one: overlong forms, surrogates and code points past U+10FFFF are none.
static size_t utf8_length(const unsigned char *p, const unsigned char *end) {
    unsigned char c = p[0];
    size_t left = static_cast<size_t>(end - p);
    auto follows = [&](size_t i, unsigned char lo, unsigned char hi) {
        return i < left && p[i] >= lo && p[i] <= hi;
    };
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf)
        return follows(1, 0x80, 0xbf) ? 2 : 0;
    if (c >= 0xe0 && c <= 0xef) {
        unsigned char lo = c == 0xe0 ? 0xa0 : 0x80, hi = c == 0xed ? 0x9f : 0xbf;
        return follows(1, lo, hi) && follows(2, 0x80, 0xbf) ? 3 : 0;
    }
    if (c >= 0xf0 && c <= 0xf4) {
        unsigned char lo = c == 0xf0 ? 0x90 : 0x80, hi = c == 0xf4 ? 0x8f : 0xbf;
        return follows(1, lo, hi) && follows(2, 0x80, 0xbf) && follows(3, 0x80, 0xbf) ? 4 : 0;
    }
    return 0;
}

static const char lower_hex[] = "0123456789abcdef";
static const char upper_hex[] = "0123456789ABCDEF";

// Most bytes that one step of an escaper writes: "\u00xx" or "&quot;".
constexpr size_t STEP_MOST = 6;

// Each escaper writes what it makes of the value from p on into to, up to
// to_end, a whole sequence at a time, and returns where it stopped in the
// value; next is where its output ends. Each writes a run of bytes that need
// no escaping in one copy.

static char *escape_json_byte(char *to, unsigned code) {
    switch (code) {
    case '"':
    case '\\':
        to[0] = '\\';
        to[1] = static_cast<char>(code);
        return to + 2;
    case '\b':
        return static_cast<char *>(std::memcpy(to, "\\b", 2)) + 2;
    case '\f':
        return static_cast<char *>(std::memcpy(to, "\\f", 2)) + 2;
    case '\n':
        return static_cast<char *>(std::memcpy(to, "\\n", 2)) + 2;
    case '\r':
        return static_cast<char *>(std::memcpy(to, "\\r", 2)) + 2;
    case '\t':
        return static_cast<char *>(std::memcpy(to, "\\t", 2)) + 2;
    default:
        std::memcpy(to, "\\u00", 4);
        to[4] = lower_hex[code >> 4];
        to[5] = lower_hex[code & 15];
        return to + 6;
    }
}

static const unsigned char *escape_json(const unsigned char *p, const unsigned char *end,
                                        char **next, char *to_end, bool *) {
    char *to = *next;
    while (p < end && to_end - to >= static_cast<ptrdiff_t>(STEP_MOST)) {
        unsigned char c = *p;
        if (!escape_care[c]) {
            *to++ = static_cast<char>(c);
            p++;
        } else if (c == '<' || c == '>' || c == '&') {
            std::memcpy(to, c == '<' ? "\\u003c" : c == '>' ? "\\u003e" : "\\u0026", 6);
            to += 6;
            p++;
        } else if (c == 0xc2 && end - p >= 2 && p[1] >= 0x80 && p[1] <= 0x9f) {
            to = escape_json_byte(to, p[1]);
            p += 2;
        } else if (c == 0xe2 && end - p >= 3 && p[1] == 0x80 && (p[2] == 0xa8 || p[2] == 0xa9)) {
            std::memcpy(to, p[2] == 0xa8 ? "\\u2028" : "\\u2029", 6);
            to += 6;
            p += 3;
        } else if (c >= 0x80) {
            // A C2 or E2 that starts no sequence escaped: as it stands.
            *to++ = static_cast<char>(c);
            p++;
        } else {
            to = escape_json_byte(to, c);
            p++;
        }
    }
    *next = to;
    return p;
}

// XML: a byte it cannot hold is left out, and dropped says so.
static const unsigned char *escape_xml(const unsigned char *p, const unsigned char *end,
                                       char **next, char *to_end, bool *dropped) {
    char *to = *next;
    while (p < end && to_end - to >= static_cast<ptrdiff_t>(STEP_MOST)) {
        unsigned char c = *p;
        const char *entity = nullptr;
        switch (c) {
        case '&':
            entity = "&amp;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        case '"':
            entity = "&quot;";
            break;
        case '\'':
            entity = "&#39;";
            break;
        case '\t':
            entity = "&#9;";
            break;
        case '\n':
            entity = "&#10;";
            break;
        case '\r':
            entity = "&#13;";
            break;
        default:
            break;
        }
        if (entity != nullptr) {
            size_t n = std::strlen(entity);
            std::memcpy(to, entity, n);
            to += n;
            p++;
            continue;
        }
        size_t n = c < 0x20 ? 0 : utf8_length(p, end);
        // U+FFFE and U+FFFF are UTF-8 but no XML character.
        if (n == 3 && c == 0xef && p[1] == 0xbf && p[2] >= 0xbe) {
            *dropped = true;
            p += 3;
        } else if (n == 0) {
            *dropped = true;
            p++;
        } else {
            std::memcpy(to, p, n);
            to += n;
            p += n;
        }
    }
    *next = to;
    return p;
}

static const unsigned char *escape_url(const unsigned char *p, const unsigned char *end,
                                       char **next, char *to_end, bool *) {
    char *to = *next;
    while (p < end && to_end - to >= static_cast<ptrdiff_t>(STEP_MOST)) {
        unsigned char c = *p++;
        if (!escape_care[c]) {
            *to++ = static_cast<char>(c);
            continue;
        }
        to[0] = '%';
        to[1] = upper_hex[c >> 4];
        to[2] = upper_hex[c & 15];
        to += 3;
    }
    *next = to;
    return p;
}

static const unsigned char *escape_sh(const unsigned char *p, const unsigned char *end, char **next,
                                      char *to_end, bool *) {
    char *to = *next;
    while (p < end && to_end - to >= static_cast<ptrdiff_t>(STEP_MOST)) {
        unsigned char c = *p++;
        if (c != '\'') {
            *to++ = static_cast<char>(c);
            continue;
        }
        std::memcpy(to, "'\\''", 4);
        to += 4;
    }
    *next = to;
    return p;
}

// The value written into out where noted, as it stands, its place noted.
static ValueSpans noted = {};

bool write_value(Output *out, const char *data, size_t length) {
    if (escape_format == EscapeFormat::none) {
        output_write(out, data, length);
        return true;
    }
    const unsigned char *(*escape)(const unsigned char *, const unsigned char *, char **, char *,
                                   bool *) = escape_format == EscapeFormat::json  ? escape_json
                                             : escape_format == EscapeFormat::xml ? escape_xml
                                             : escape_format == EscapeFormat::url ? escape_url
                                                                                  : escape_sh;
    // Escaped a piece at a time through a small buffer: the value is never
    // copied whole, and an Output in memory grows by output_write alone.
    char piece[1024];
    const unsigned char *p = reinterpret_cast<const unsigned char *>(data);
    const unsigned char *end = p + length;
    bool dropped = false;
    if (noted.word == out) {
        // Into a word: as it stands, with its place, and checked as it will be written.
        size_t at = static_cast<size_t>(out->next - out->data);
        output_write(out, data, length);
        if (noted.count == noted.room) {
            noted.room = noted.room == 0 ? 8 : 2 * noted.room;
            size_t *grown =
                static_cast<size_t *>(std::realloc(noted.at, 2 * noted.room * sizeof(size_t)));
            if (grown == nullptr)
                fail("realloc");
            noted.at = grown;
        }
        noted.at[2 * noted.count] = at;
        noted.at[2 * noted.count + 1] = length;
        noted.count++;
        if (escape_format != EscapeFormat::xml || !noted.written)
            return true;
        while (p < end) {
            char *next = piece;
            p = escape(p, end, &next, piece + sizeof piece, &dropped);
        }
        return !dropped;
    }
    while (p < end) {
        char *next = piece;
        p = escape(p, end, &next, piece + sizeof piece, &dropped);
        output_write(out, piece, static_cast<size_t>(next - piece));
    }
    return !dropped;
}

ValueSpans values_noted_begin(const Output *word, bool written) {
    ValueSpans before = noted;
    noted = {word, written, nullptr, 0, 0};
    return before;
}

ValueSpans values_noted_end(ValueSpans before) {
    ValueSpans spans = noted;
    noted = before;
    return spans;
}

void write_noted(Output *out, const char *text, size_t length, const ValueSpans &spans) {
    size_t done = 0;
    for (size_t i = 0; i < spans.count; i++) {
        size_t at = spans.at[2 * i], n = spans.at[2 * i + 1];
        output_write(out, text + done, at - done);
        // A value that XML cannot hold was reported where it was met.
        write_value(out, text + at, n);
        done = at + n;
    }
    output_write(out, text + done, length - done);
}

void value_spans_free(ValueSpans *spans) {
    std::free(spans->at);
    *spans = {};
}
