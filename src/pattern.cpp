// The shell's pattern notation, read into items and matched by the set of
// items reached, held as one bit an item and moved a word of 64 at a time, so
// that no pattern and no text makes a match slower than the text's length
// times the pattern's words.
#include "pattern.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "io.hpp"
#include "utf8.hpp"

#if defined(__SSE2__) && !defined(FILLVARS_PORTABLE)
#include <emmintrin.h>
#define PATTERN_SSE2 1
#else
#define PATTERN_SSE2 0
#endif

struct ByteBits {
    uint64_t bits[4];
};

// A bracket expression: its members below 256 as bits, and where its text
// stands in the pattern's. As characters, those past 255 are its ranges,
// sorted and merged, and its classes: a test costs a search, not a walk of
// a text that a value may have made long.
struct Bracket {
    ByteBits low;
    size_t at, length;
    bool complement;
    uint32_t *ranges; // first and last code point of each
    size_t range_count;
    wctype_t *classes; // distinct
    size_t class_count;
};

// The first distinct brackets, up to this many, are held as the mask of the
// items that use them: a pattern that repeats a class costs a word of work a
// step, not a test an item. Further ones are tested item by item.
constexpr size_t MASKED = 8;

// The pattern's items read one way (as bytes or as characters, first to last
// or last to first). State bit k is "the first k items matched"; bit count is
// a match.
struct Program {
    bool characters;
    size_t count;      // items
    size_t words;      // of the state: count + 1 bits
    uint8_t *bytes;    // each literal item's byte, as bytes (64 * words)
    uint32_t *codes;   // or its code point, as characters
    uint64_t *literal; // the items that are one byte or character
    uint64_t *any;     // "?"
    uint64_t *star;    // "*"; never two in a row
    size_t set_count;  // distinct brackets, by their text
    Bracket *sets;
    size_t masked;        // sets held as masks: the first, up to MASKED
    uint64_t *set_masks;  // masked * words
    size_t bracket_count; // the brackets of the other sets, one by one
    size_t *bracket_item; // their items, ascending
    uint32_t *bracket_set;
    uint64_t *state, *next; // the items reached, before and after a symbol
    size_t lo, hi;          // the words of state that may hold a bit
};

struct Pattern {
    char *text;
    size_t length;
    bool characters;         // asked for, and the text is valid UTF-8
    Program *programs[2][2]; // [characters][backwards], read when first needed
    // pattern_find's pass: where a match starts, for one value.
    const char *starts_of;
    size_t starts_length;
    bool starts_characters;
    uint64_t *starts;
};

// calloc that ends the run when there is no memory.
static void *allocate(size_t count, size_t size) {
    void *p = std::calloc(count == 0 ? 1 : count, size);
    if (p == nullptr)
        fail("calloc");
    return p;
}

static void add_byte(ByteBits *set, unsigned char c) {
    set->bits[c >> 6] |= uint64_t{1} << (c & 63);
}

static bool has_byte(const ByteBits *set, unsigned char c) {
    return (set->bits[c >> 6] >> (c & 63)) & 1;
}

static bool valid_utf8(const char *s, size_t n) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    for (size_t i = 0; i < n;) {
        if (p[i] < 0x80) {
            i++;
            continue;
        }
        uint32_t code;
        size_t k = utf8_decode(p + i, n - i, &code);
        if (k == 0)
            return false;
        i += k;
    }
    return true;
}

// The byte, or the character of valid UTF-8, at s[at] (at < n): its length.
static size_t symbol_after(const char *s, size_t n, size_t at, bool characters, uint32_t *code) {
    unsigned char c = static_cast<unsigned char>(s[at]);
    if (characters && c >= 0x80) {
        size_t k = utf8_decode(reinterpret_cast<const unsigned char *>(s) + at, n - at, code);
        if (k != 0)
            return k;
    }
    *code = c;
    return 1;
}

// The same for the symbol that ends at s[at - 1] (at > 0), in valid UTF-8.
static size_t symbol_before(const char *s, size_t at, bool characters, uint32_t *code) {
    size_t start = at - 1;
    if (characters)
        while (start > 0 && at - start < 4 && (static_cast<unsigned char>(s[start]) & 0xc0) == 0x80)
            start--;
    return symbol_after(s, at, start, characters, code);
}

// The POSIX classes: in the C locale as bytes, by the locale's own as
// characters.
static bool in_class(const char *name, size_t length, uint32_t c, bool characters) {
    // The shell's own class, which the C library does not name.
    if (length == 5 && std::memcmp(name, "ascii", 5) == 0)
        return c < 128;
    if (characters) {
        char z[16];
        if (length >= sizeof z)
            return false;
        std::memcpy(z, name, length);
        z[length] = '\0';
        wctype_t type = wctype(z);
        return type != 0 && iswctype(static_cast<wint_t>(c), type);
    }
    auto is = [&](const char *n) {
        return std::strlen(n) == length && std::memcmp(n, name, length) == 0;
    };
    bool upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z', digit = c >= '0' && c <= '9';
    bool graph = c > ' ' && c < 127;
    if (is("alpha"))
        return upper || lower;
    if (is("digit"))
        return digit;
    if (is("alnum"))
        return upper || lower || digit;
    if (is("upper"))
        return upper;
    if (is("lower"))
        return lower;
    if (is("space"))
        return c == ' ' || (c >= '\t' && c <= '\r');
    if (is("blank"))
        return c == ' ' || c == '\t';
    if (is("punct"))
        return graph && !upper && !lower && !digit;
    if (is("xdigit"))
        return digit || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (is("cntrl"))
        return c < ' ' || c == 127;
    if (is("graph"))
        return graph;
    if (is("print"))
        return graph || c == ' ';
    return false;
}

// What reading a pattern's brackets remembers, so that no text makes it
// walk the same bytes again and again: where the search for a class's ":]"
// last ended, and the member positions from which a walk already ran off the
// end (a walk from there fails the same way).
struct BracketMemo {
    size_t searched_from, found; // found: the ":]" at or after searched_from, or length
    uint64_t *unclosed;          // a bit a byte of the text, or none kept
};

static size_t class_close(const char *text, size_t length, size_t from, BracketMemo *memo) {
    if (memo != nullptr && memo->searched_from <= from && (memo->found >= from))
        return memo->found;
    size_t q = from;
    while (q + 1 < length && !(text[q] == ':' && text[q + 1] == ']'))
        q++;
    size_t found = q + 1 < length ? q : length;
    if (memo != nullptr) {
        memo->searched_from = from;
        memo->found = found;
    }
    return found;
}

// The locale's class of that name, 0 where it has none.
static wctype_t class_type(const char *name, size_t length) {
    char z[16];
    if (length >= sizeof z)
        return 0;
    std::memcpy(z, name, length);
    z[length] = '\0';
    return wctype(z);
}

// Walks the bracket expression at text[at] == "[": with low, puts its members
// below 256 there; with wide, its members past 255 (room for one range a
// byte of its text and one class every four). Returns the
// index just past its "]", or 0 where it does not close (the "[" is then
// literal).
static size_t walk_bracket(const char *text, size_t length, size_t at, bool characters,
                           BracketMemo *memo, ByteBits *low, Bracket *wide) {
    size_t i = at + 1;
    bool complement = i < length && (text[i] == '!' || text[i] == '^');
    i += complement;
    ByteBits members{};
    for (bool first = true;; first = false) {
        if (i >= length)
            break;
        if (!first && memo != nullptr && memo->unclosed != nullptr) {
            uint64_t bit = uint64_t{1} << (i & 63);
            if (memo->unclosed[i >> 6] & bit) {
                i = length;
                break;
            }
            memo->unclosed[i >> 6] |= bit;
        }
        if (text[i] == ']' && !first)
            break;
        if (text[i] == '[' && i + 1 < length && text[i + 1] == ':') {
            size_t close = class_close(text, length, i + 2, memo);
            if (close < length) {
                // An unknown class matches nothing.
                const char *name = text + i + 2;
                size_t name_length = close - (i + 2);
                if (low != nullptr) {
                    for (uint32_t b = 0; b < 256; b++)
                        if (in_class(name, name_length, b, characters))
                            add_byte(&members, static_cast<unsigned char>(b));
                }
                if (wide != nullptr) {
                    wctype_t type = class_type(name, name_length);
                    size_t c = 0;
                    while (c < wide->class_count && wide->classes[c] != type)
                        c++;
                    if (type != 0 && c == wide->class_count)
                        wide->classes[wide->class_count++] = type;
                }
                i = close + 2;
                continue;
            }
        }
        if (text[i] == '\\' && i + 1 < length)
            i++;
        uint32_t first_code, last_code;
        i += symbol_after(text, length, i, characters, &first_code);
        last_code = first_code;
        if (i + 1 < length && text[i] == '-' && text[i + 1] != ']') {
            size_t h = i + 1;
            if (text[h] == '\\' && h + 1 < length)
                h++;
            i = h + symbol_after(text, length, h, characters, &last_code);
        }
        if (low != nullptr)
            for (uint32_t b = first_code; b <= last_code && b < 256; b++)
                add_byte(&members, static_cast<unsigned char>(b));
        if (wide != nullptr && last_code >= 256 && first_code <= last_code) {
            wide->ranges[2 * wide->range_count] = std::max<uint32_t>(first_code, 256);
            wide->ranges[2 * wide->range_count++ + 1] = last_code;
        }
    }
    if (i >= length)
        return 0;
    if (low != nullptr)
        for (int w = 0; w < 4; w++)
            low->bits[w] = complement ? ~members.bits[w] : members.bits[w];
    if (wide != nullptr)
        wide->complement = complement;
    return i + 1;
}

// Reads the members past 255 of a bracket that closes, for set_takes.
static void read_wide(const char *text, size_t length, Bracket *set) {
    set->ranges = static_cast<uint32_t *>(allocate(2 * set->length, sizeof(uint32_t)));
    set->classes = static_cast<wctype_t *>(allocate(set->length / 4 + 1, sizeof(wctype_t)));
    // The memo keeps a bracket full of "[:" from searching for ":]" again
    // and again.
    BracketMemo memo = {length + 1, length, nullptr};
    walk_bracket(text, length, set->at, true, &memo, nullptr, set);
    // Sorted by first code point, overlapping ones merged.
    struct Range {
        uint32_t first, last;
    };
    Range *ranges = reinterpret_cast<Range *>(set->ranges);
    std::sort(ranges, ranges + set->range_count,
              [](const Range &a, const Range &b) { return a.first < b.first; });
    size_t kept = 0;
    for (size_t r = 0; r < set->range_count; r++) {
        if (kept > 0 && ranges[r].first <= ranges[kept - 1].last)
            ranges[kept - 1].last = std::max(ranges[kept - 1].last, ranges[r].last);
        else
            ranges[kept++] = ranges[r];
    }
    set->range_count = kept;
}

// Whether set j of p takes code.
static bool set_takes(const Pattern *pattern, const Program *p, size_t j, uint32_t code) {
    const Bracket &bracket = p->sets[j];
    (void)pattern;
    if (code < 256)
        return has_byte(&bracket.low, static_cast<unsigned char>(code));
    // The last range that starts at or before code.
    size_t lo = 0, hi = bracket.range_count;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (bracket.ranges[2 * mid] <= code)
            lo = mid + 1;
        else
            hi = mid;
    }
    bool hit = lo > 0 && code <= bracket.ranges[2 * (lo - 1) + 1];
    for (size_t c = 0; c < bracket.class_count && !hit; c++)
        hit = iswctype(static_cast<wint_t>(code), bracket.classes[c]);
    return hit != bracket.complement;
}

enum class Kind : uint8_t { literal, any, star, bracket };

// Reads the pattern's items in order, calling put for each; returns how
// many there are.
template <typename Put>
static size_t read_items(const Pattern *pattern, bool characters, uint64_t *unclosed, Put put) {
    const char *text = pattern->text;
    size_t length = pattern->length;
    BracketMemo memo = {length + 1, length, unclosed};
    size_t count = 0;
    bool after_star = false;
    for (size_t i = 0; i < length;) {
        char c = text[i];
        ByteBits low{};
        if (c == '*') {
            i++;
            // Stars in a row are one.
            if (!after_star)
                put(count++, Kind::star, 0, &low, 0, 0);
            after_star = true;
            continue;
        }
        after_star = false;
        if (c == '?') {
            put(count++, Kind::any, 0, &low, 0, 0);
            i++;
            continue;
        }
        if (c == '[') {
            size_t past = walk_bracket(text, length, i, characters, &memo, &low, nullptr);
            if (past != 0) {
                put(count++, Kind::bracket, 0, &low, i, past - i);
                i = past;
                continue;
            }
        }
        if (c == '\\' && i + 1 < length)
            i++;
        uint32_t code;
        i += symbol_after(text, length, i, characters, &code);
        put(count++, Kind::literal, code, &low, 0, 0);
    }
    return count;
}

// data cut to count elements (none: given back); as it was where realloc
// will not.
template <typename T> static T *shrunk(T *data, size_t count) {
    if (count == 0) {
        std::free(data);
        return nullptr;
    }
    void *cut = std::realloc(data, count * sizeof(T));
    return cut == nullptr ? data : static_cast<T *>(cut);
}

static uint64_t text_hash(const char *text, size_t length) {
    uint64_t hash = 0xcbf29ce484222325u;
    for (size_t i = 0; i < length; i++)
        hash = (hash ^ static_cast<unsigned char>(text[i])) * 0x100000001b3u;
    return hash;
}

// Item k of p, a bracket aside.
static void put_item(Program *p, size_t k, Kind kind, uint32_t code) {
    uint64_t bit = uint64_t{1} << (k & 63);
    if (kind == Kind::literal) {
        p->literal[k >> 6] |= bit;
        if (p->characters)
            p->codes[k] = code;
        else
            p->bytes[k] = static_cast<uint8_t>(code);
    } else if (kind == Kind::any) {
        p->any[k >> 6] |= bit;
    } else if (kind == Kind::star) {
        p->star[k >> 6] |= bit;
    }
}

static Program *compile(const Pattern *pattern, bool characters, bool backwards) {
    // A short pattern's bit a byte fits on the stack.
    uint64_t unclosed_here[64];
    size_t words_of_text = pattern->length / 64 + 1;
    uint64_t *unclosed = words_of_text <= 64
                             ? unclosed_here
                             : static_cast<uint64_t *>(allocate(words_of_text, sizeof(uint64_t)));
    std::memset(unclosed, 0, words_of_text * sizeof(uint64_t));
    size_t brackets = 0;
    size_t count = read_items(pattern, characters, unclosed,
                              [&](size_t, Kind kind, uint32_t, const ByteBits *, size_t, size_t) {
                                  brackets += kind == Kind::bracket;
                              });
    // The program, its literal, any, star, state and next bits, and its
    // literal units, in one block.
    size_t words = count / 64 + 1;
    size_t head = (sizeof(Program) + 7) / 8;
    size_t unit = characters ? sizeof(uint32_t) : 1;
    uint64_t *block = static_cast<uint64_t *>(
        allocate(head + 5 * words + (64 * words * unit) / 8, sizeof(uint64_t)));
    Program *p = reinterpret_cast<Program *>(block);
    p->characters = characters;
    p->count = count;
    p->words = words;
    uint64_t *bits = block + head;
    p->literal = bits;
    p->any = bits + words;
    p->star = bits + 2 * words;
    p->state = bits + 3 * words;
    p->next = bits + 4 * words;
    if (characters)
        p->codes = reinterpret_cast<uint32_t *>(bits + 5 * words);
    else
        p->bytes = reinterpret_cast<uint8_t *>(bits + 5 * words);
    std::memset(unclosed, 0, words_of_text * sizeof(uint64_t));
    if (brackets == 0) {
        read_items(pattern, characters, unclosed,
                   [&](size_t k, Kind kind, uint32_t code, const ByteBits *, size_t, size_t) {
                       put_item(p, backwards ? count - 1 - k : k, kind, code);
                   });
        if (unclosed != unclosed_here)
            std::free(unclosed);
        return p;
    }
    p->sets = static_cast<Bracket *>(allocate(brackets, sizeof(Bracket)));
    p->set_masks =
        static_cast<uint64_t *>(allocate(std::min(brackets, MASKED) * p->words, sizeof(uint64_t)));
    p->bracket_item = static_cast<size_t *>(allocate(brackets, sizeof(size_t)));
    p->bracket_set = static_cast<uint32_t *>(allocate(brackets, sizeof(uint32_t)));
    // Each distinct bracket text once: its set's index + 1, 0 where free.
    size_t slots = 1;
    while (slots < 2 * brackets)
        slots *= 2;
    uint32_t *table = static_cast<uint32_t *>(allocate(slots, sizeof(uint32_t)));
    const char *text = pattern->text;
    read_items(
        pattern, characters, unclosed,
        [&](size_t k, Kind kind, uint32_t code, const ByteBits *low, size_t at, size_t length) {
            if (backwards)
                k = count - 1 - k;
            if (kind != Kind::bracket) {
                put_item(p, k, kind, code);
                return;
            }
            uint64_t bit = uint64_t{1} << (k & 63);
            size_t slot = text_hash(text + at, length) & (slots - 1);
            for (;; slot = (slot + 1) & (slots - 1)) {
                uint32_t held = table[slot];
                if (held == 0) {
                    p->sets[p->set_count] = {*low, at, length, false, nullptr, 0, nullptr, 0};
                    if (characters)
                        read_wide(text, pattern->length, &p->sets[p->set_count]);
                    table[slot] = static_cast<uint32_t>(++p->set_count);
                    break;
                }
                const Bracket &set = p->sets[held - 1];
                if (set.length == length && std::memcmp(text + set.at, text + at, length) == 0)
                    break;
            }
            size_t j = table[slot] - 1;
            if (j < MASKED) {
                p->masked = std::max(p->masked, j + 1);
                p->set_masks[j * p->words + (k >> 6)] |= bit;
            } else {
                p->bracket_item[p->bracket_count] = k;
                p->bracket_set[p->bracket_count++] = static_cast<uint32_t>(j);
            }
        });
    // Read last to first, the brackets came in descending order.
    if (backwards) {
        std::reverse(p->bracket_item, p->bracket_item + p->bracket_count);
        std::reverse(p->bracket_set, p->bracket_set + p->bracket_count);
    }
    std::free(table);
    if (unclosed != unclosed_here)
        std::free(unclosed);
    // Room was taken for every bracket a set and an item of its own.
    p->sets = shrunk(p->sets, p->set_count);
    p->bracket_item = shrunk(p->bracket_item, p->bracket_count);
    p->bracket_set = shrunk(p->bracket_set, p->bracket_count);
    return p;
}

static void program_free(Program *p) {
    if (p == nullptr)
        return;
    for (size_t j = 0; j < p->set_count; j++) {
        std::free(p->sets[j].ranges);
        std::free(p->sets[j].classes);
    }
    std::free(p->sets);
    std::free(p->set_masks);
    std::free(p->bracket_item);
    std::free(p->bracket_set);
    std::free(p);
}

static Program *program(Pattern *pattern, bool characters, bool backwards) {
    Program *&p = pattern->programs[characters][backwards];
    if (p == nullptr)
        p = compile(pattern, characters, backwards);
    return p;
}

// Which of the first units (up to 64) from units equal code, as bits; the
// rest of their group of 16 bytes is read too.
[[gnu::always_inline]] inline static uint64_t equal_bits(const uint8_t *units, uint32_t code,
                                                         size_t first) {
    uint64_t bits = 0;
#if PATTERN_SSE2
    __m128i key = _mm_set1_epi8(static_cast<char>(code));
    for (size_t k = 0; 16 * k < first; k++) {
        __m128i got = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + 16 * k));
        uint32_t mask = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(got, key)));
        bits |= uint64_t{mask} << (16 * k);
    }
#else
    for (size_t k = 0; k < first; k++)
        bits |= uint64_t{units[k] == code} << k;
#endif
    return bits;
}

[[gnu::always_inline]] inline static uint64_t equal_bits(const uint32_t *units, uint32_t code,
                                                         size_t first) {
    uint64_t bits = 0;
#if PATTERN_SSE2
    __m128i key = _mm_set1_epi32(static_cast<int>(code));
    for (size_t k = 0; 4 * k < first; k++) {
        __m128i got = _mm_loadu_si128(reinterpret_cast<const __m128i *>(units + 4 * k));
        uint32_t mask =
            static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(got, key))));
        bits |= uint64_t{mask} << (4 * k);
    }
#else
    for (size_t k = 0; k < first; k++)
        bits |= uint64_t{units[k] == code} << k;
#endif
    return bits;
}

// The items of word w that take code (stars aside: they keep their own bit),
// given which masked sets take it. *b is the first bracket not yet passed.
static uint64_t takes(const Pattern *pattern, const Program *p, size_t w, uint32_t code,
                      const bool *member, size_t *b) {
    size_t first = std::min<size_t>(64, p->count - std::min(p->count, 64 * w));
    uint64_t eq = p->characters ? equal_bits(p->codes + 64 * w, code, first)
                                : equal_bits(p->bytes + 64 * w, code, first);
    uint64_t bits = (eq & p->literal[w]) | p->any[w];
    for (size_t j = 0; j < p->masked; j++)
        if (member[j])
            bits |= p->set_masks[j * p->words + w];
    while (*b < p->bracket_count && p->bracket_item[*b] < 64 * w)
        ++*b;
    for (; *b < p->bracket_count && p->bracket_item[*b] < 64 * (w + 1); ++*b)
        if (set_takes(pattern, p, p->bracket_set[*b], code))
            bits |= uint64_t{1} << (p->bracket_item[*b] & 63);
    return bits;
}

// Empties the state, then reaches the first item (and past it, a star).
static void start(Program *p) {
    for (size_t w = p->lo; w <= p->hi && w < p->words; w++)
        p->state[w] = 0;
    p->state[0] = 1 | ((p->star[0] & 1) << 1);
    p->lo = p->hi = 0;
}

// The same without emptying it: a match may also begin here.
static void join(Program *p) {
    p->state[0] |= 1 | ((p->star[0] & 1) << 1);
    p->lo = 0;
}

static bool matched(const Program *p) {
    return (p->state[p->count >> 6] >> (p->count & 63)) & 1;
}

// Moves the state over one symbol; false when no item is left reached.
static bool step(const Pattern *pattern, Program *p, uint32_t code) {
    if (p->words == 1 && p->masked == 0 && p->bracket_count == 0) {
        // Most patterns: one word, in place.
        uint64_t eq = p->characters ? equal_bits(p->codes, code, p->count)
                                    : equal_bits(p->bytes, code, p->count);
        uint64_t d = p->state[0], star = p->star[0];
        uint64_t x = ((d & ((eq & p->literal[0]) | p->any[0])) << 1) | (d & star);
        x |= (x & star) << 1;
        p->state[0] = x;
        return x != 0;
    }
    size_t top = std::min(p->hi + 1, p->words - 1);
    uint64_t *now = p->state, *next = p->next;
    uint64_t carry = 0, star_carry = 0;
    size_t b = static_cast<size_t>(
        std::lower_bound(p->bracket_item, p->bracket_item + p->bracket_count, 64 * p->lo) -
        p->bracket_item);
    bool member[MASKED];
    for (size_t j = 0; j < p->masked; j++)
        member[j] = set_takes(pattern, p, j, code);
    size_t lo = p->words, hi = 0;
    for (size_t w = p->lo; w <= top; w++) {
        uint64_t d = now[w];
        uint64_t moved = d == 0 ? 0 : d & takes(pattern, p, w, code, member, &b);
        uint64_t x = (moved << 1) | carry | (d & p->star[w]) | star_carry;
        carry = moved >> 63;
        // A star may match nothing: what reaches it reaches the item after.
        uint64_t e = x & p->star[w];
        x |= e << 1;
        star_carry = e >> 63;
        next[w] = x;
        if (x != 0) {
            lo = std::min(lo, w);
            hi = w;
        }
    }
    for (size_t w = p->lo; w <= p->hi; w++)
        now[w] = 0;
    p->state = next;
    p->next = now;
    if (lo == p->words) {
        p->lo = p->hi = 0;
        return false;
    }
    p->lo = lo;
    p->hi = hi;
    return true;
}

// Whether the value is read as characters with this pattern.
static bool as_characters(const Pattern *pattern, const char *s, size_t n) {
    return pattern->characters && valid_utf8(s, n);
}

// The bytes that the shortest (longest) match anchored at the start of s
// (at its end, backwards) takes, from at; -1 where none does.
static long anchored(Pattern *pattern, bool characters, bool backwards, const char *s, size_t n,
                     size_t at, bool longest) {
    Program *p = program(pattern, characters, backwards);
    start(p);
    long best = -1;
    for (size_t taken = 0;;) {
        if (matched(p)) {
            best = static_cast<long>(taken);
            if (!longest)
                break;
        }
        size_t left = backwards ? n - taken : n - at - taken;
        if (left == 0)
            break;
        uint32_t code;
        size_t k = backwards ? symbol_before(s, n - taken, characters, &code)
                             : symbol_after(s, n, at + taken, characters, &code);
        taken += k;
        if (!step(pattern, p, code))
            break;
    }
    return best;
}

Pattern *pattern_read(const char *text, size_t length, bool characters) {
    // The text kept behind the pattern, in one block.
    Pattern *p = static_cast<Pattern *>(allocate(sizeof(Pattern) + length + 1, 1));
    p->text = reinterpret_cast<char *>(p + 1);
    if (length > 0)
        std::memcpy(p->text, text, length);
    p->length = length;
    p->characters = characters && valid_utf8(text, length);
    return p;
}

void pattern_free(Pattern *pattern) {
    if (pattern == nullptr)
        return;
    for (auto &pair : pattern->programs)
        for (Program *p : pair)
            program_free(p);
    std::free(pattern->starts);
    std::free(pattern);
}

bool pattern_empty(const Pattern *pattern) {
    // Every byte of a pattern is part of an item.
    return pattern->length == 0;
}

long pattern_prefix(Pattern *pattern, const char *s, size_t n, bool longest) {
    return anchored(pattern, as_characters(pattern, s, n), false, s, n, 0, longest);
}

long pattern_suffix(Pattern *pattern, const char *s, size_t n, bool longest) {
    return anchored(pattern, as_characters(pattern, s, n), true, s, n, 0, longest);
}

bool pattern_whole(Pattern *pattern, const char *s, size_t n) {
    return anchored(pattern, as_characters(pattern, s, n), false, s, n, 0, true) ==
           static_cast<long>(n);
}

// Marks every place of s where a match starts: the pattern read last to
// first, over s from its end, with a match joining at every place. One pass,
// whatever the number of matches.
static void find_starts(Pattern *pattern, bool characters, const char *s, size_t n) {
    std::free(pattern->starts);
    uint64_t *starts = static_cast<uint64_t *>(allocate(n / 64 + 1, sizeof(uint64_t)));
    Program *p = program(pattern, characters, true);
    start(p);
    for (size_t at = n;;) {
        if (matched(p))
            starts[at >> 6] |= uint64_t{1} << (at & 63);
        if (at == 0)
            break;
        uint32_t code;
        at -= symbol_before(s, at, characters, &code);
        step(pattern, p, code);
        join(p);
    }
    pattern->starts = starts;
    pattern->starts_of = s;
    pattern->starts_length = n;
    pattern->starts_characters = characters;
}

long pattern_find(Pattern *pattern, const char *s, size_t n, size_t from, size_t *length) {
    // A search from the start is a new one: the bytes at s may have changed.
    if (from == 0 || pattern->starts == nullptr || pattern->starts_of != s ||
        pattern->starts_length != n)
        find_starts(pattern, as_characters(pattern, s, n), s, n);
    bool characters = pattern->starts_characters;
    const uint64_t *starts = pattern->starts;
    for (size_t w = from >> 6; w <= n >> 6; w++) {
        uint64_t bits = starts[w];
        if (w == from >> 6)
            bits &= ~uint64_t{0} << (from & 63);
        if (bits == 0)
            continue;
        size_t at = 64 * w + static_cast<size_t>(__builtin_ctzll(bits));
        long taken = anchored(pattern, characters, false, s, n, at, true);
        if (taken < 0)
            return -1; // cannot be: a match starts here
        *length = static_cast<size_t>(taken);
        return static_cast<long>(at);
    }
    return -1;
}
