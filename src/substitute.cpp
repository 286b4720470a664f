// Substitution. The input is read in blocks and walked a block at a time:
// find_dollar finds each "$", the text between references goes out as whole
// runs, and only a reference cut by the end of a block is carried into the
// next.
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

// With -u, each allowed reference to an unset variable is reported with its
// line. Lines are counted only then, lazily: up to the "$" of a report, and
// up to where the walk leaves a block.
struct UnsetReports {
    bool on;
    uint64_t line; // 1 + the line feeds before counted
    const char *counted;
    uint64_t count;
};

static UnsetReports unset = {};

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
    if (!unset.on)
        return;
    unset.line += count_feeds(unset.counted, p);
    unset.counted = p;
}

// Reports are gathered and written with the output before each read, so a
// template full of unset names costs one write a block, not one a name.
constexpr size_t REPORT_LIMIT = 64 + 4 * NAME_LIMIT;
static char report_buffer[4 * REPORT_LIMIT];
static size_t report_length = 0;

// Standard error may be a non-blocking pipe too. A report that cannot be
// written at all is lost, but the status still says that there was one.
static void reports_flush() {
    write_waiting(STDERR_FILENO, report_buffer, report_length);
    report_length = 0;
}

// One line a report, the name escaped: it comes from the input and must not
// reach a terminal as a control sequence.
static void report_unset(const char *dollar, const char *name, size_t length) {
    count_lines_to(dollar);
    unset.count++;
    if (sizeof report_buffer - report_length < REPORT_LIMIT)
        reports_flush();
    char *start = report_buffer + report_length;
    int n = std::snprintf(start, 64, "fillvars: line %llu: \"",
                          static_cast<unsigned long long>(unset.line));
    char *m = start + n;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '\\' || c == '"') {
            *m++ = '\\';
            *m++ = static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            *m++ = '\\';
            *m++ = 'x';
            *m++ = "0123456789abcdef"[c >> 4];
            *m++ = "0123456789abcdef"[c & 15];
        } else {
            *m++ = static_cast<char>(c);
        }
    }
    const char tail[] = "\" is not set\n";
    std::memcpy(m, tail, sizeof tail - 1);
    m += sizeof tail - 1;
    report_length = static_cast<size_t>(m - report_buffer);
}

// A name that the environment index does not hold. It may still be set: no
// indexed name holds "=", but getenv matches such a name in its own way
// (against a name and the start of its value), so it is left to getenv.
// Otherwise it is unset, which -u reports. Out of line: most names are found.
[[gnu::noinline]] static void emit_unindexed(Output *out, const char *name, size_t length,
                                             const char *text) {
    if (values_hold_equals && std::memchr(name, '=', length) != nullptr) {
        char copy[NAME_LIMIT + 1];
        std::memcpy(copy, name, length);
        copy[length] = '\0';
        const char *value = std::getenv(copy);
        if (value != nullptr) {
            output_write(out, value, std::strlen(value));
            return;
        }
    }
    if (unset.on)
        report_unset(text, name, length);
}

// Writes the replacement of one reference, text[0, length) naming
// name[0, name_length): the value, nothing for an unset variable, or the text
// itself when the name is not allowed. Returns whether it was replaced.
// Inlined into the walk, where a call per reference would cost a good part
// of the reference.
[[gnu::always_inline]] inline static bool
emit_reference(Output *out, const char *name, size_t name_length, const char *text, size_t length) {
    if (!name_list_contains(name, name_length)) {
        output_write(out, text, length);
        return false;
    }
    const NameSlot *slot = name_table_find(&environment, name, name_length);
    if (slot != nullptr)
        output_write(out, slot->value, slot->value_length);
    else
        emit_unindexed(out, name, name_length, text);
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
static size_t substitute_block(Output *out, char *start, char *end, bool at_end, Cut *cut) {
    // A NUL stops every scan; the zeros after it are for find_dollar's word.
    std::memset(end, 0, 8);
    char *p = start;
    unset.counted = start;
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
        // One scan finds the name and the first byte that ends the reference.
        size_t name_length;
        const char *text_end;
        const char *name = find_name(dollar, stops, &name_length, &text_end);
        char *stop = dollar + (text_end - dollar);
        bool braced = dollar[1] == '{';
        if (stop == end && !at_end) {
            size_t have = static_cast<size_t>(end - dollar);
            if (have < NAME_WINDOW) {
                // The carried bytes hold no line feed: they are read again.
                count_lines_to(dollar);
                return have;
            }
            bool replaced = emit_reference(out, name, name_length, dollar, have);
            cut->tail = replaced ? Tail::skip : Tail::copy;
            cut->braced = braced;
            count_lines_to(end);
            return 0;
        }
        if (*stop == '}' && braced)
            stop++;
        emit_reference(out, name, name_length, dollar, static_cast<size_t>(stop - dollar));
        p = stop;
    }
    count_lines_to(end);
    return 0;
}

uint64_t substitute_stream(int in, int out_fd, size_t block_size, bool nounset) {
    index_environment();
    unset = {nounset, 1, nullptr, 0};
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
        kept = substitute_block(&out, start, end, at_end, &cut);
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
    return unset.count;
}
