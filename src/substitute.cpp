// Substitution. The input is read in blocks and walked a block at a time:
// memchr finds each "$", the text between references goes out as whole runs,
// and only a reference cut by the end of a block is carried into the next.
#include "substitute.hpp"

#include <cstdlib>
#include <cstring>

#include "io.hpp"
#include "names.hpp"

extern char **environ;

// A reference's name is decided by at most "${" and NAME_LIMIT bytes, so no
// more than this is ever carried from one block to the next.
constexpr size_t NAME_WINDOW = 2 + NAME_LIMIT;

// What happens to the rest of a reference longer than NAME_WINDOW that the
// end of a block cut: its name was decided, so it is only copied or dropped.
enum class Tail { none, copy, skip };

struct StopSet {
    bool at[256];
};

// The bytes that end a reference: "}" (which belongs to it), the delimiters
// and NUL (which do not).
static constexpr StopSet make_stops() {
    StopSet set{};
    for (const char *c = " \t\r\n}"; *c != '\0'; c++)
        set.at[static_cast<unsigned char>(*c)] = true;
    set.at[0] = true;
    return set;
}

static constexpr StopSet stops = make_stops();

static NameTable environment = {};

// Indexes the environment once; the first entry for a name wins, as with
// getenv. Entries without "=" or with an empty name are never found by it.
static void index_environment() {
    size_t count = 0;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; entry++)
        count++;
    name_table_build(&environment, count);
    for (char **entry = environ; entry != nullptr && *entry != nullptr; entry++) {
        const char *equals = std::strchr(*entry, '=');
        if (equals != nullptr && equals != *entry)
            name_table_put(&environment, *entry, static_cast<size_t>(equals - *entry), equals + 1);
    }
}

// Finds the value of the variable name[0, length); false when it is not set.
static bool lookup(const char *name, size_t length, const char **value, size_t *value_length) {
    const NameSlot *slot = name_table_find(&environment, name, length);
    if (slot != nullptr) {
        *value = slot->value;
        *value_length = slot->value_length;
        return true;
    }
    // No indexed name holds "=", but getenv matches such a name in its own
    // way (against a name and the start of its value): leave it to getenv.
    if (std::memchr(name, '=', length) == nullptr)
        return false;
    char copy[NAME_LIMIT + 1];
    std::memcpy(copy, name, length);
    copy[length] = '\0';
    *value = std::getenv(copy);
    if (*value == nullptr)
        return false;
    *value_length = std::strlen(*value);
    return true;
}

// Writes the replacement of one reference, text[0, length) naming
// name[0, name_length): the value, nothing for an unset variable, or the text
// itself when the name is not allowed. Returns whether it was replaced.
static bool emit_reference(Output *out, const char *name, size_t name_length, const char *text,
                           size_t length) {
    if (!name_list_contains(name, name_length)) {
        output_write(out, text, length);
        return false;
    }
    const char *value;
    size_t value_length;
    if (lookup(name, name_length, &value, &value_length))
        output_write(out, value, value_length);
    return true;
}

static bool replace_reference(Output *out, const char *text, const char *text_end) {
    size_t length = static_cast<size_t>(text_end - text);
    size_t name_length;
    const char *name = find_name(text, length, &name_length);
    return emit_reference(out, name, name_length, text, length);
}

// Needs a stop byte at or before the end of the data: the NUL that
// substitute_block puts after it.
static char *find_stop(char *p) {
    while (!stops.at[static_cast<unsigned char>(*p)])
        p++;
    return p;
}

// Walks start..end, one byte past which is writable. Returns how many bytes
// of a cut reference it moved to the front of start to be read on.
static size_t substitute_block(Output *out, char *start, char *end, bool at_end, Tail *tail) {
    *end = '\0';
    char *p = start;
    if (*tail != Tail::none) {
        char *stop = find_stop(p);
        bool found = stop < end;
        if (found && *stop == '}')
            stop++;
        if (*tail == Tail::copy)
            output_write(out, p, static_cast<size_t>(stop - p));
        if (!found)
            return 0;
        *tail = Tail::none;
        p = stop;
    }
    while (p < end) {
        char *dollar = static_cast<char *>(std::memchr(p, '$', static_cast<size_t>(end - p)));
        if (dollar == nullptr) {
            output_write(out, p, static_cast<size_t>(end - p));
            return 0;
        }
        output_write(out, p, static_cast<size_t>(dollar - p));
        char *stop = find_stop(dollar + 1);
        if (stop == end && !at_end) {
            size_t have = static_cast<size_t>(end - dollar);
            if (have < NAME_WINDOW) {
                std::memmove(start, dollar, have);
                return have;
            }
            *tail = replace_reference(out, dollar, end) ? Tail::skip : Tail::copy;
            return 0;
        }
        if (stop < end && *stop == '}')
            stop++;
        replace_reference(out, dollar, stop);
        p = stop;
    }
    return 0;
}

void substitute_stream(int in, int out_fd, size_t block_size) {
    index_environment();
    // Page-aligned reads and output: on some CPUs the kernel copies far slower to unaligned memory.
    size_t front = page_rounded(NAME_WINDOW);
    char *buffer = page_aligned_alloc(front + block_size + 1);
    char *target = buffer + front;
    Output out = {out_fd, page_aligned_alloc(block_size), 0, block_size};
    Tail tail = Tail::none;
    size_t kept = 0;
    for (;;) {
        // Hand over what is done before waiting, so a terminal sees each line.
        output_flush(&out);
        size_t n = read_some(in, target, block_size);
        bool at_end = n == 0;
        char *start = target - kept;
        kept = substitute_block(&out, start, target + n, at_end, &tail);
        // The cut reference goes just before the next read target.
        std::memmove(target - kept, start, kept);
        if (at_end)
            break;
    }
    output_flush(&out);
    std::free(out.data);
    std::free(buffer);
    name_table_free(&environment);
}
