// The escapers of -E, a value at a time, and the notes on where values lie
// in a word expanded into memory.
#include "escape.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "name_table.hpp"
#include "names.hpp"
#include "reports.hpp"
#include "utf8.hpp"

EscapeFormat escape_every_other = EscapeFormat::none;
bool escape_listed = false;

// The listed names (-E FORMAT:NAMES), each with its format in value_length;
// the keys are copies, freed with the table.
static NameTable listed = {};

// Lists given so far: a name's slot notes which one it came from, as a name
// may repeat within a list but not be in two.
static size_t lists = 0;

// The formats of the lists, and those the run uses, one bit each: the
// escaping walk runs with any but none.
static unsigned formats_listed = 0;
static unsigned formats_used = 0;

// The bytes that may need more than a copy, a table a format.
static bool escape_care[5][256] = {};

PlainNote plain_notes[PLAIN_NOTES] = {};

static const struct {
    const char *name;
    const char *report; // what a report says of a value it cannot hold
    EscapeFormat format;
} formats[] = {{"json", ": a value JSON cannot hold\n", EscapeFormat::json},
               {"xml", ": a value XML cannot hold\n", EscapeFormat::xml},
               {"url", nullptr, EscapeFormat::url},
               {"sh", nullptr, EscapeFormat::sh}};

bool escape_format_parse(const char *name, size_t length, EscapeFormat *parsed) {
    for (const auto &known : formats) {
        if (std::strlen(known.name) == length && std::memcmp(name, known.name, length) == 0) {
            *parsed = known.format;
            return true;
        }
    }
    return false;
}

// White space separates names as it does in operands.
static const char separators[] = ", \t\r\n";

bool escape_names_add(EscapeFormat format, const char *names, const char **refused) {
    if (listed.slots == nullptr)
        name_table_build(&listed, 8);
    size_t list = ++lists;
    // Checked whole first: a refused list leaves no name of it behind.
    for (int pass = 0; pass < 2; pass++) {
        for (const char *p = names + std::strspn(names, separators); *p != '\0';
             p += std::strspn(p, separators)) {
            size_t n = std::strcspn(p, separators);
            char field[NAME_LIMIT + 4];
            size_t k = std::min(n, sizeof field - 1);
            std::memcpy(field, p, k);
            field[k] = '\0';
            p += n;
            const char *name = extract_name(field);
            size_t length = std::strlen(name);
            const NameSlot *slot = name_table_find(&listed, name, length);
            if (pass == 0 && slot != nullptr && slot->value_length >> 8 != list) {
                *refused = name;
                return false;
            }
            if (pass == 0 || slot != nullptr)
                continue;
            char *key = static_cast<char *>(std::malloc(length + 1));
            if (key == nullptr)
                fail("malloc");
            std::memcpy(key, name, length + 1);
            NameSlot *put = name_table_slot(&listed, key, length);
            put->value = key;
            put->value_length = list << 8 | static_cast<size_t>(format);
            formats_listed |= 1u << static_cast<unsigned>(format);
        }
    }
    return true;
}

EscapeFormat escape_listed_format(const char *name, size_t length) {
    const NameSlot *slot = name_table_find(&listed, name, length);
    return slot != nullptr ? static_cast<EscapeFormat>(slot->value_length & 0xff)
                           : escape_every_other;
}

bool escape_given() {
    return (formats_used & ~1u) != 0;
}

bool escape_may_leave_out() {
    return (formats_used & (1u << static_cast<unsigned>(EscapeFormat::json) |
                            1u << static_cast<unsigned>(EscapeFormat::xml))) != 0;
}

void escape_report(const char *dollar, const char *name, size_t length, EscapeFormat format) {
    for (const auto &known : formats) {
        if (known.format == format && known.report != nullptr)
            report_name(dollar, name, length, known.report);
    }
}

void escape_release() {
    if (listed.slots != nullptr) {
        for (size_t i = 0; i <= listed.mask; i++) {
            if (listed.slots[i].length != EMPTY_SLOT)
                std::free(const_cast<char *>(listed.slots[i].key));
        }
        name_table_free(&listed);
    }
    escape_listed = false;
    lists = 0;
    escape_every_other = EscapeFormat::none;
    formats_listed = 0;
    formats_used = 0;
}

static bool url_plain(int c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// Whether c may need more than a copy: a byte escaped, or any byte past
// ASCII for JSON and XML, which check that the value is UTF-8.
static bool needs_care(EscapeFormat f, int c) {
    switch (f) {
    case EscapeFormat::json:
        return c < 0x20 || c >= 0x7f || c == '"' || c == '\\' || c == '<' || c == '>' || c == '&' ||
               c == '\'' || c == '`' || c == '$';
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

void escape_start(EscapeFormat every_other, bool with_lists) {
    escape_every_other = every_other;
    escape_listed = with_lists && formats_listed != 0;
    formats_used = (with_lists ? formats_listed : 0) | 1u << static_cast<unsigned>(every_other);
    if (!escape_given())
        return;
    for (unsigned f = 0; f < 5; f++) {
        for (int c = 0; c < 256; c++)
            escape_care[f][c] = needs_care(static_cast<EscapeFormat>(f), c);
    }
    // The last run's values may have been freed, and their addresses taken again.
    std::memset(plain_notes, 0, sizeof plain_notes);
}

bool value_is_plain_noting(EscapeFormat format, const char *data, size_t length, PlainNote *note) {
    const bool *care = escape_care[static_cast<unsigned>(format)];
    bool plain = true;
    for (size_t i = 0; i < length && plain; i++)
        plain = !care[static_cast<unsigned char>(data[i])];
    *note = {data, length << 4 | static_cast<size_t>(format) << 1 | static_cast<size_t>(plain)};
    return plain;
}

static const char lower_hex[] = "0123456789abcdef";
static const char upper_hex[] = "0123456789ABCDEF";

// Most bytes that one step of an escaper writes: "\u00xx" or "&quot;".
constexpr size_t STEP_MOST = 6;

// Each escaper writes what it makes of the value from p on into to, up to
// to_end, a whole sequence at a time, and returns where it stopped in the
// value; next is where its output ends. Each writes a run of bytes that need
// no escaping in one copy.

// \uXXXX for a code point up to U+FFFF, lower-case.
static char *escape_json_hex(char *to, uint32_t code) {
    to[0] = '\\';
    to[1] = 'u';
    for (int i = 0; i < 4; i++)
        to[2 + i] = lower_hex[code >> (12 - 4 * i) & 15];
    return to + 6;
}

static char *copy_bytes(char *to, const unsigned char *p, size_t n) {
    std::memcpy(to, p, n);
    return to + n;
}

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
        return escape_json_hex(to, code);
    }
}

// JSON: a character it cannot hold (bytes that are no UTF-8, a surrogate,
// an overlong form) is left out, and dropped says so.
static const unsigned char *escape_json(const unsigned char *p, const unsigned char *end,
                                        char **next, char *to_end, bool *dropped) {
    const bool *care = escape_care[static_cast<unsigned>(EscapeFormat::json)];
    char *to = *next;
    while (p < end && to_end - to >= static_cast<ptrdiff_t>(STEP_MOST)) {
        unsigned char c = *p;
        if (!care[c]) {
            *to++ = static_cast<char>(c);
            p++;
            continue;
        }
        if (c < 0x80) {
            // Those that end a string or a script block, or open a
            // template's substitution, as \u00xx: read back alike in every
            // quote of JavaScript and in JSON.
            bool named = c < 0x20 || c == '"' || c == '\\';
            to = named ? escape_json_byte(to, c) : escape_json_hex(to, c);
            p++;
            continue;
        }
        uint32_t code;
        size_t n = utf8_decode(p, static_cast<size_t>(end - p), &code);
        if (n == 0) {
            *dropped = true;
            p++;
        } else if (code <= 0x9f || code == 0x2028 || code == 0x2029 || code == 0xfffe ||
                   code == 0xffff) {
            // The C1 controls, the line ends of JavaScript, and the two
            // noncharacters that YAML refuses raw.
            to = escape_json_hex(to, code);
            p += n;
        } else {
            to = copy_bytes(to, p, n);
            p += n;
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
        uint32_t code;
        size_t n = c < 0x20 ? 0 : utf8_decode(p, static_cast<size_t>(end - p), &code);
        // U+FFFE and U+FFFF are UTF-8 but no XML character.
        if (n == 3 && code >= 0xfffe) {
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
    const bool *care = escape_care[static_cast<unsigned>(EscapeFormat::url)];
    char *to = *next;
    while (p < end && to_end - to >= static_cast<ptrdiff_t>(STEP_MOST)) {
        unsigned char c = *p++;
        if (!care[c]) {
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

// Escapes data whole into out: false when bytes were left out.
static bool escape_into(Output *out, EscapeFormat format, const char *data, size_t length) {
    const unsigned char *(*escape)(const unsigned char *, const unsigned char *, char **, char *,
                                   bool *) = format == EscapeFormat::json  ? escape_json
                                             : format == EscapeFormat::xml ? escape_xml
                                             : format == EscapeFormat::url ? escape_url
                                                                           : escape_sh;
    // Escaped a piece at a time through a small buffer: the value is never
    // copied whole, and an Output in memory grows by output_write alone.
    char piece[1024];
    const unsigned char *p = reinterpret_cast<const unsigned char *>(data);
    const unsigned char *end = p + length;
    bool dropped = false;
    while (p < end) {
        char *next = piece;
        p = escape(p, end, &next, piece + sizeof piece, &dropped);
        output_write(out, piece, static_cast<size_t>(next - piece));
    }
    return !dropped;
}

bool write_value(Output *out, EscapeFormat format, const char *data, size_t length,
                 const char *dollar, const char *name, size_t name_length) {
    if (format == EscapeFormat::none) {
        output_write(out, data, length);
        return true;
    }
    if (noted.word != out)
        return escape_into(out, format, data, length);
    // Into a word: as it stands, with its place and where it came from.
    size_t at = static_cast<size_t>(out->next - out->data);
    output_write(out, data, length);
    if (noted.count == noted.room) {
        noted.room = noted.room == 0 ? 8 : 2 * noted.room;
        auto *grown =
            static_cast<ValueSpan *>(std::realloc(noted.spans, noted.room * sizeof(ValueSpan)));
        if (grown == nullptr)
            fail("realloc");
        noted.spans = grown;
    }
    noted.spans[noted.count++] = {at, length, dollar, name, name_length, format, false};
    return true;
}

ValueSpans values_noted_begin(const Output *word) {
    ValueSpans before = noted;
    noted = {word, nullptr, 0, 0};
    return before;
}

ValueSpans values_noted_end(ValueSpans before) {
    ValueSpans spans = noted;
    noted = before;
    return spans;
}

void write_noted(Output *out, const char *text, size_t length, ValueSpans *spans) {
    size_t done = 0;
    for (size_t i = 0; i < spans->count; i++) {
        ValueSpan *span = &spans->spans[i];
        output_write(out, text + done, span->at - done);
        if (!write_value(out, span->format, text + span->at, span->length, span->dollar, span->name,
                         span->name_length) &&
            !span->reported) {
            escape_report(span->dollar, span->name, span->name_length, span->format);
            // Once a reference: the other pieces of a form's value, and
            // this word's next writes, say nothing more.
            for (size_t j = i; j < spans->count; j++)
                spans->spans[j].reported |= spans->spans[j].dollar == span->dollar;
        }
        done = span->at + span->length;
    }
    output_write(out, text + done, length - done);
}

void value_spans_free(ValueSpans *spans) {
    std::free(spans->spans);
    *spans = {};
}
