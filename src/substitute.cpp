// Substitution. The input is read in blocks and walked a block at a time:
// find_dollar finds each "$", the text between references goes out as whole
// runs, and only a reference cut by the end of a block is carried into the
// next. A grammar reads each reference into a Reference; emit_reference
// alone decides what it becomes.
#include "substitute.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "io.hpp"
#include "names.hpp"

extern char **environ;

// A reference's name is decided by at most "${" and NAME_LIMIT bytes, so no
// more than this is ever carried from one block to the next.
constexpr size_t NAME_WINDOW = 2 + NAME_LIMIT;

// What happens to the rest of a reference longer than NAME_WINDOW that the
// end of a block cut: its name was decided, so it is only copied or dropped.
// A braced one takes its closing "}" with it.
enum class Tail { none, copy, skip };

struct Cut {
    Tail tail;
    bool braced;
};

// The bytes that end a reference: "}" (which belongs to it only when it
// opened with "${"), the delimiters and NUL (which never do).
constexpr ByteSet stops = byte_set(" \t\r\n}", 6);

static NameTable environment = {};

// getenv finds a name holding "=" only in an entry whose value holds one too
// ("N=" in "N==eq"); without such an entry those names need no search.
static bool values_hold_equals = false;

static Rules rules = {};

// Reports (-u, -e) name the line of their "$". Lines are counted only when
// reports are asked for, lazily: up to the "$" of a report, and up to where
// the walk leaves a block.
struct Reports {
    bool on;
    uint64_t line; // 1 + the line feeds before counted
    const char *counted;
    uint64_t count;
};

static Reports reports = {};

// Indexes the environment once; the first entry for a name wins, as with
// getenv. Entries without "=" or with an empty name are never found by it.
static void index_environment() {
    values_hold_equals = false;
    size_t count = 0;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; entry++)
        count++;
    name_table_build(&environment, count);
    for (char **entry = environ; entry != nullptr && *entry != nullptr; entry++) {
        const char *equals = std::strchr(*entry, '=');
        if (equals != nullptr && equals != *entry)
            name_table_put(&environment, *entry, static_cast<size_t>(equals - *entry), equals + 1);
        if (equals != nullptr && std::strchr(equals + 1, '=') != nullptr)
            values_hold_equals = true;
    }
}

// Counted in runs of 240 bytes (15 vectors of 16) into a byte-wide sum, which
// the compiler turns into wide compares and adds.
static uint64_t count_feeds(const char *p, const char *end) {
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

static void count_lines_to(const char *p) {
    if (!reports.on)
        return;
    reports.line += count_feeds(reports.counted, p);
    reports.counted = p;
}

// Reports are gathered and written with the output before each read, so a
// template full of unset names costs one write a block, not one a name.
static char report_buffer[64 * 1024];
static size_t report_length = 0;

// Standard error may be a non-blocking pipe too. A report that cannot be
// written at all is lost, but the status still says that there was one.
static void reports_flush() {
    write_waiting(STDERR_FILENO, report_buffer, report_length);
    report_length = 0;
}

// Room for n more bytes of a report; a report of any length goes out in pieces.
static char *report_room(size_t n) {
    if (sizeof report_buffer - report_length < n)
        reports_flush();
    return report_buffer + report_length;
}

static void report_text(const char *text, size_t length) {
    for (size_t i = 0; i < length; i++) {
        *report_room(1) = text[i];
        report_length++;
    }
}

// Names come from the input and must not reach a terminal as a control
// sequence: C0 controls and DEL as \xHH, the C1 controls (U+0080 to U+009F,
// which some terminals obey) as \u00HH; backslash and quote are escaped too.
static void report_escaped(const char *text, size_t length) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char *m = report_room(6);
        if (c == 0xc2 && i + 1 < length &&
            (static_cast<unsigned char>(text[i + 1]) & 0xe0) == 0x80) {
            unsigned char low = static_cast<unsigned char>(text[++i]);
            std::memcpy(m, "\\u00", 4);
            m[4] = hex[low >> 4];
            m[5] = hex[low & 15];
            report_length += 6;
        } else if (c == '\\' || c == '"') {
            m[0] = '\\';
            m[1] = static_cast<char>(c);
            report_length += 2;
        } else if (c < 0x20 || c == 0x7f) {
            std::memcpy(m, "\\x", 2);
            m[2] = hex[c >> 4];
            m[3] = hex[c & 15];
            report_length += 4;
        } else {
            m[0] = static_cast<char>(c);
            report_length++;
        }
    }
}

// "fillvars: line N: "NAME"" and what follows it, for the reference at dollar.
static void report_begin(const char *dollar, const char *name, size_t length) {
    count_lines_to(dollar);
    reports.count++;
    char *m = report_room(64);
    report_length += static_cast<size_t>(std::snprintf(
        m, 64, "fillvars: line %llu: \"", static_cast<unsigned long long>(reports.line)));
    report_escaped(name, length);
    report_text("\"", 1);
}

static void report_name(const char *dollar, const char *name, size_t length, const char *what) {
    report_begin(dollar, name, length);
    report_text(what, std::strlen(what));
}

// A reference as a grammar reads it, from its "$" to end.
struct Reference {
    const char *name;
    size_t name_length; // at most NAME_LIMIT: a longer name is cut
    const char *end;    // one past its last byte
    bool braced;        // it opened with "${"
};

// Reads the reference at dollar: it runs to the first byte of stops, and
// takes a "}" there only when it opened with "${". Needs a stop byte at or
// before the end of the data. Returns false when that end cut it and more
// input may follow.
[[gnu::always_inline]] inline static bool read_plain(const char *dollar, const char *end,
                                                     bool at_end, Reference *ref) {
    // One scan finds the name and the first byte that ends the reference.
    const char *stop;
    ref->name = find_name(dollar, stops, &ref->name_length, &stop);
    ref->braced = dollar[1] == '{';
    if (stop == end && !at_end)
        return false;
    ref->end = stop + (*stop == '}' && ref->braced);
    return true;
}

// An allowed reference to a variable that the environment index does not
// hold. It may still be set: no indexed name holds "=", but getenv matches
// such a name in its own way (against a name and the start of its value), so
// it is left to getenv. Otherwise it is unset: -u reports it, -k keeps it.
// Returns whether the reference was replaced. Out of line: most names are found.
// Takes the reference by value: its address taken, the walk would keep it in
// memory for every reference.
[[gnu::noinline]] static bool emit_unindexed(Output *out, const char *dollar, Reference ref) {
    if (values_hold_equals && std::memchr(ref.name, '=', ref.name_length) != nullptr) {
        char copy[NAME_LIMIT + 1];
        std::memcpy(copy, ref.name, ref.name_length);
        copy[ref.name_length] = '\0';
        const char *value = std::getenv(copy);
        if (value != nullptr) {
            if (*value == '\0' && rules.noempty)
                report_name(dollar, ref.name, ref.name_length, " is empty\n");
            output_write(out, value, std::strlen(value));
            return true;
        }
    }
    if (rules.nounset)
        report_name(dollar, ref.name, ref.name_length, " is not set\n");
    if (!rules.keep)
        return true;
    output_write(out, dollar, static_cast<size_t>(ref.end - dollar));
    return false;
}

// The one decision: what the reference at dollar becomes. Its text as it
// stands when its name is not allowed, or under -b when it is bare; else the
// variable's value, or, when it is not set, nothing (its text under -k).
// Returns whether it was replaced. Inlined into the walk, where a call per
// reference would cost a good part of the reference; the walk without
// options skips the tests that only options need.
template <bool with_options>
[[gnu::always_inline]] inline static bool emit_reference(Output *out, const char *dollar,
                                                         const Reference &ref) {
    if (!name_list_contains(ref.name, ref.name_length) ||
        (with_options && rules.braced && !ref.braced)) {
        output_write(out, dollar, static_cast<size_t>(ref.end - dollar));
        return false;
    }
    const NameSlot *slot = name_table_find(&environment, ref.name, ref.name_length);
    if (slot == nullptr)
        return emit_unindexed(out, dollar, ref);
    if (with_options && slot->value_length == 0 && rules.noempty)
        report_name(dollar, ref.name, ref.name_length, " is empty\n");
    output_write(out, slot->value, slot->value_length);
    return true;
}

// Eight bytes as a number whose low byte is the first, whatever the CPU's
// byte order, so that the lowest flagged byte below is the first in memory.
static uint64_t load_word(const char *p) {
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
static uint64_t zero_bytes(uint64_t word) {
    return (word - ONES) & ~word & (ONES << 7);
}

// Needs a stop byte at or before the end of the data: the NUL that
// substitute_block puts after it.
static char *find_stop(char *p) {
    while (!stops.has[static_cast<unsigned char>(*p)])
        p++;
    return p;
}

// The next "$" in p..end, or null; eight bytes after end must be readable,
// and hold no "$". In reference-dense text it is a few bytes on, nearer than
// a call to memchr pays for: look at the next word first.
static char *find_dollar(char *p, char *end) {
    if (*p == '$')
        return p;
    uint64_t zero = zero_bytes(load_word(p) ^ (ONES * '$'));
    if (zero != 0) {
        char *dollar = p + __builtin_ctzll(zero) / 8;
        return dollar < end ? dollar : nullptr;
    }
    p += 8;
    if (p >= end)
        return nullptr;
    return static_cast<char *>(std::memchr(p, '$', static_cast<size_t>(end - p)));
}

// Walks start..end, eight bytes past which are writable. Returns how many bytes
// at the end are a cut reference, to be walked again with the next block.
template <bool with_options>
static size_t substitute_block(Output *out, char *start, char *end, bool at_end, Cut *cut) {
    // A NUL stops every scan; the zeros after it are for find_dollar's word.
    std::memset(end, 0, 8);
    char *p = start;
    reports.counted = start;
    if (cut->tail != Tail::none) {
        char *stop = find_stop(p);
        bool found = stop < end;
        if (found && *stop == '}' && cut->braced)
            stop++;
        if (cut->tail == Tail::copy)
            output_write(out, p, static_cast<size_t>(stop - p));
        if (!found) {
            count_lines_to(end);
            return 0;
        }
        cut->tail = Tail::none;
        p = stop;
    }
    while (p < end) {
        char *dollar = find_dollar(p, end);
        if (dollar == nullptr) {
            output_write(out, p, static_cast<size_t>(end - p));
            count_lines_to(end);
            return 0;
        }
        output_write(out, p, static_cast<size_t>(dollar - p));
        Reference ref;
        if (!read_plain(dollar, end, at_end, &ref)) {
            size_t have = static_cast<size_t>(end - dollar);
            if (have < NAME_WINDOW) {
                // The carried bytes hold no line feed: they are read again.
                count_lines_to(dollar);
                return have;
            }
            // Its name is decided: what is left of it is only copied or dropped.
            ref.end = end;
            cut->tail = emit_reference<with_options>(out, dollar, ref) ? Tail::skip : Tail::copy;
            cut->braced = ref.braced;
            count_lines_to(end);
            return 0;
        }
        emit_reference<with_options>(out, dollar, ref);
        p = dollar + (ref.end - dollar);
    }
    count_lines_to(end);
    return 0;
}

uint64_t substitute_stream(int in, int out_fd, size_t block_size, Rules asked) {
    index_environment();
    rules = asked;
    // Only these options change the walk itself; without them it is built
    // without their tests.
    bool with_options = asked.braced || asked.noempty;
    reports = {asked.nounset || asked.noempty, 1, nullptr, 0};
    // Page-aligned reads and output: on some CPUs the kernel copies far slower to unaligned memory.
    size_t front = page_rounded(NAME_WINDOW);
    char *buffer = page_aligned_alloc(front + block_size + 8);
    char *target = buffer + front;
    char *out_data = page_aligned_alloc(block_size);
    Output out = {out_fd, out_data, out_data, out_data + block_size};
    Cut cut = {Tail::none, false};
    size_t kept = 0;
    for (;;) {
        // Hand over what is done before waiting, so a terminal sees each line.
        // Reports first: a failing output ends the run, and they must not be lost.
        reports_flush();
        output_flush(&out);
        size_t n = read_some(in, target, block_size);
        bool at_end = n == 0;
        char *start = target - kept;
        char *end = target + n;
        kept = with_options ? substitute_block<true>(&out, start, end, at_end, &cut)
                            : substitute_block<false>(&out, start, end, at_end, &cut);
        // The cut reference goes just before the next read target.
        std::memmove(target - kept, end - kept, kept);
        if (at_end)
            break;
    }
    reports_flush();
    output_flush(&out);
    std::free(out.data);
    std::free(buffer);
    name_table_free(&environment);
    return reports.count;
}
