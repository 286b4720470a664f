// The shell's pattern notation, read into steps and matched by following
// every step that could be reached at once, so that no text makes it slow.
#include "pattern.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

enum class Step : uint8_t { byte, any, star, set };

struct Item {
    Step step;
    uint8_t byte; // Step::byte
    uint32_t set; // Step::set: index into sets
};

struct ByteBits {
    uint64_t bits[4];
};

struct Pattern {
    size_t count;     // steps
    Item *items;      // forwards
    Item *backwards;  // the same steps last to first, for suffixes
    ByteBits *sets;   // the brackets' members
    uint8_t *reached; // two rows of count + 1: the steps reached before and after a byte
};

static void add_byte(ByteBits *set, unsigned char c) {
    set->bits[c >> 6] |= uint64_t{1} << (c & 63);
}

static bool has_byte(const ByteBits *set, unsigned char c) {
    return (set->bits[c >> 6] >> (c & 63)) & 1;
}

// The POSIX classes, in the C locale.
static bool in_class(const char *name, size_t length, int c) {
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

// Reads the bracket expression at text[at] == "[" into set; returns the index
// just past its "]", or 0 where it does not close (the "[" is then literal).
static size_t read_bracket(const char *text, size_t length, size_t at, ByteBits *set) {
    size_t i = at + 1;
    bool complement = i < length && (text[i] == '!' || text[i] == '^');
    i += complement;
    ByteBits members{};
    for (bool first = true;; first = false) {
        if (i >= length)
            return 0;
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ']' && !first)
            break;
        if (c == '[' && i + 1 < length && text[i + 1] == ':') {
            const char *name = text + i + 2;
            const char *close = nullptr;
            for (const char *q = name; q + 1 < text + length; q++)
                if (q[0] == ':' && q[1] == ']') {
                    close = q;
                    break;
                }
            if (close != nullptr) {
                // An unknown class matches nothing.
                for (int b = 0; b < 256; b++)
                    if (in_class(name, static_cast<size_t>(close - name), b))
                        add_byte(&members, static_cast<unsigned char>(b));
                i = static_cast<size_t>(close - text) + 2;
                continue;
            }
        }
        if (c == '\\' && i + 1 < length)
            c = static_cast<unsigned char>(text[++i]);
        i++;
        unsigned char high = c;
        if (i + 1 < length && text[i] == '-' && text[i + 1] != ']') {
            size_t h = i + 1;
            if (text[h] == '\\' && h + 1 < length)
                h++;
            high = static_cast<unsigned char>(text[h]);
            i = h + 1;
        }
        for (int b = c; b <= high; b++)
            add_byte(&members, static_cast<unsigned char>(b));
    }
    for (int w = 0; w < 4; w++)
        set->bits[w] = complement ? ~members.bits[w] : members.bits[w];
    return i + 1;
}

Pattern *pattern_read(const char *text, size_t length) {
    // At most a step a byte; a bracket takes at least two.
    Pattern *p = static_cast<Pattern *>(std::calloc(1, sizeof(Pattern)));
    Item *items = static_cast<Item *>(std::calloc(2 * length + 1, sizeof(Item)));
    ByteBits *sets = static_cast<ByteBits *>(std::calloc(length / 2 + 1, sizeof(ByteBits)));
    p->reached = static_cast<uint8_t *>(std::calloc(2 * (length + 1), 1));
    if (p == nullptr || items == nullptr || sets == nullptr || p->reached == nullptr)
        std::abort();
    size_t count = 0, set_count = 0;
    for (size_t i = 0; i < length;) {
        char c = text[i];
        Item item{Step::byte, static_cast<uint8_t>(c), 0};
        if (c == '*') {
            i++;
            // Stars in a row are one.
            if (count > 0 && items[count - 1].step == Step::star)
                continue;
            item.step = Step::star;
        } else if (c == '?') {
            item.step = Step::any;
            i++;
        } else if (c == '[') {
            size_t past = read_bracket(text, length, i, &sets[set_count]);
            if (past != 0) {
                item = {Step::set, 0, static_cast<uint32_t>(set_count++)};
                i = past;
            } else {
                i++;
            }
        } else if (c == '\\' && i + 1 < length) {
            item.byte = static_cast<uint8_t>(text[i + 1]);
            i += 2;
        } else {
            i++;
        }
        items[count++] = item;
    }
    p->count = count;
    p->items = items;
    p->backwards = items + length;
    for (size_t k = 0; k < count; k++)
        p->backwards[k] = items[count - 1 - k];
    p->sets = sets;
    return p;
}

void pattern_free(Pattern *pattern) {
    if (pattern == nullptr)
        return;
    std::free(pattern->items);
    std::free(pattern->sets);
    std::free(pattern->reached);
    std::free(pattern);
}

bool pattern_empty(const Pattern *pattern) {
    return pattern->count == 0;
}

// A star may match nothing: what reaches it reaches the step after it too.
static void spread(const Item *items, size_t count, uint8_t *row) {
    for (size_t k = 0; k < count; k++)
        if (row[k] && items[k].step == Step::star)
            row[k + 1] = 1;
}

// Follows the steps over the n bytes from s (from its end backwards where
// backwards), and returns how many bytes the shortest (longest) match took,
// or -1.
static long run(const Pattern *p, bool backwards, const char *s, size_t n, bool longest) {
    const Item *items = backwards ? p->backwards : p->items;
    size_t count = p->count;
    uint8_t *now = p->reached, *next = p->reached + count + 1;
    std::memset(now, 0, count + 1);
    now[0] = 1;
    spread(items, count, now);
    long best = -1;
    for (size_t taken = 0;; taken++) {
        if (now[count]) {
            best = static_cast<long>(taken);
            if (!longest)
                return best;
        }
        if (taken == n)
            return best;
        unsigned char c = static_cast<unsigned char>(backwards ? s[n - 1 - taken] : s[taken]);
        std::memset(next, 0, count + 1);
        bool any = false;
        for (size_t k = 0; k < count; k++) {
            if (!now[k])
                continue;
            const Item &item = items[k];
            bool takes = false;
            switch (item.step) {
            case Step::star:
                next[k] = 1;
                any = true;
                continue;
            case Step::any:
                takes = true;
                break;
            case Step::byte:
                takes = item.byte == c;
                break;
            case Step::set:
                takes = has_byte(&p->sets[item.set], c);
                break;
            }
            if (takes) {
                next[k + 1] = 1;
                any = true;
            }
        }
        if (!any)
            return best;
        spread(items, count, next);
        uint8_t *swap = now;
        now = next;
        next = swap;
    }
}

long pattern_prefix(const Pattern *pattern, const char *s, size_t n, bool longest) {
    return run(pattern, false, s, n, longest);
}

long pattern_suffix(const Pattern *pattern, const char *s, size_t n, bool longest) {
    return run(pattern, true, s, n, longest);
}

// Whether item takes byte c.
static bool takes(const Pattern *p, const Item &item, unsigned char c) {
    switch (item.step) {
    case Step::any:
        return true;
    case Step::byte:
        return item.byte == c;
    case Step::set:
        return has_byte(&p->sets[item.set], c);
    case Step::star:
        break;
    }
    return false;
}

// The leftmost longest match in one pass over s from from: every step
// reached holds the earliest start that reaches it (a later one there has
// the same future, and loses), a new start joins at each byte until a match
// is found, and the pass ends when no step holds a start as early as the
// match's. Time: the bytes passed times the steps.
long pattern_find(const Pattern *pattern, const char *s, size_t n, size_t from, size_t *length) {
    constexpr size_t none = ~size_t{0};
    size_t count = pattern->count;
    const Item *items = pattern->items;
    // The start held at each step, before and after a byte.
    size_t *now = static_cast<size_t *>(std::malloc(2 * (count + 1) * sizeof(size_t)));
    if (now == nullptr)
        std::abort();
    size_t *next = now + count + 1;
    for (size_t k = 0; k <= count; k++)
        now[k] = none;
    size_t best = none, best_end = 0;
    for (size_t at = from;; at++) {
        if (best == none && now[0] == none)
            now[0] = at;
        // A star may match nothing: its start reaches the step after it.
        for (size_t k = 0; k < count; k++)
            if (now[k] != none && items[k].step == Step::star &&
                (now[k + 1] == none || now[k] < now[k + 1]))
                now[k + 1] = now[k];
        if (now[count] != none && (best == none || now[count] <= best)) {
            best = now[count];
            best_end = at;
        }
        bool live = false;
        for (size_t k = 0; k < count; k++)
            live = live || (now[k] != none && (best == none || now[k] <= best));
        if (at == n || (!live && best != none))
            break;
        unsigned char c = static_cast<unsigned char>(s[at]);
        for (size_t k = 0; k <= count; k++)
            next[k] = none;
        for (size_t k = 0; k < count; k++) {
            size_t start = now[k];
            if (start == none || (best != none && start > best))
                continue;
            size_t to = items[k].step == Step::star   ? k
                        : takes(pattern, items[k], c) ? k + 1
                                                      : none;
            if (to != none && (next[to] == none || start < next[to]))
                next[to] = start;
        }
        size_t *swap = now;
        now = next;
        next = swap;
    }
    std::free(now < next ? now : next);
    if (best == none)
        return -1;
    *length = best_end - best;
    return static_cast<long>(best);
}
