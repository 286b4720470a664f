// Variable names: extraction into the name buffer and the name list that the
// operands fill.
#include "names.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "io.hpp"
#include "name_table.hpp"
#include "scan.hpp"

NameList name_list = {0, nullptr};

// Set by the first operand, even one that names nothing, and by the first
// name: an empty variable passed as the list must not turn into "replace
// everything".
bool name_list_given = false;

static char name_buffer[NAME_LIMIT + 1];

// Prefixes that allow every name they begin (-p); not names, so not listed.
// Before a lookup they are sorted and those that begin with another are
// dropped: then at most one can begin a name, the last one not after it.
// Past a few, a hash table of the name's first bytes (as many as the shortest
// prefix has) gives the run of prefixes that share them, and a binary search
// in the run the one: 20,000 prefixes of one length cost a name what one does.
static NameList prefixes = {0, nullptr};
static bool prefixes_ready = true;
static uint64_t prefix_comparisons = 0;

// The run of sorted prefixes [start, end) whose first run_bytes bytes are the
// same, run_bytes being the length of the shortest prefix; end == 0 marks a
// free place.
struct PrefixRun {
    uint64_t start;
    uint64_t end;
};
static PrefixRun *prefix_runs = nullptr;
static size_t prefix_runs_mask = 0;
static unsigned prefix_runs_shift = 0;
static size_t run_bytes = 0;

const char *extract_name(const char *text) {
    if (text[0] == '$')
        text += text[1] == '{' ? 2 : 1;
    size_t length = std::min<size_t>(std::strcspn(text, "}"), NAME_LIMIT);
    std::memcpy(name_buffer, text, length);
    name_buffer[length] = '\0';
    return name_buffer;
}

// Doubled at each power of two: an allocator that copies at every realloc
// (the sanitizers' does) made 20,000 -p's copy gigabytes.
static void list_append(NameList *list, const char *name) {
    if ((list->count & (list->count - 1)) == 0) {
        void *grown =
            reallocarray(list->items, std::max<uint64_t>(2 * list->count, 1), sizeof *list->items);
        if (grown == nullptr)
            fail("reallocarray");
        list->items = static_cast<char **>(grown);
    }
    // Only a made copy is counted, so the list never holds a missing entry.
    char *copy = strdup(name);
    if (copy == nullptr)
        fail("strdup");
    list->items[list->count++] = copy;
}

static void list_free(NameList *list) {
    for (uint64_t i = 0; i < list->count; i++)
        std::free(list->items[i]);
    std::free(list->items);
    *list = {0, nullptr};
}

void name_list_add(const char *name) {
    name_list_given = true;
    list_append(&name_list, name);
}

// White space separates names too: "$PORT $HOST" is two names, as a user
// writing them in shell format means, and no reference can name "PORT $HOST".
static const char separators[] = ", \t\r\n";

void name_list_add_operand(char *operand) {
    name_list_given = true;
    for (char *field = std::strtok(operand, separators); field != nullptr;
         field = std::strtok(nullptr, separators))
        name_list_add(extract_name(field));
}

// The field's name found as extract_name finds it, from the field alone.
static bool shell_name_or_none(const char *field, size_t length) {
    size_t skip = 0;
    if (length > 0 && field[0] == '$')
        skip = length > 1 && field[1] == '{' ? 2 : 1;
    const char *name = field + skip;
    const char *brace = static_cast<const char *>(std::memchr(name, '}', length - skip));
    size_t name_length = brace != nullptr ? static_cast<size_t>(brace - name) : length - skip;
    name_length = std::min(name_length, NAME_LIMIT);
    if (name_length == 0)
        return true;
    if (!starts_shell_name(name[0]))
        return false;
    for (size_t i = 1; i < name_length; i++) {
        if (shell_stops.has[static_cast<unsigned char>(name[i])])
            return false;
    }
    return true;
}

bool name_operand_refused(const char *operand, const char **field, size_t *length) {
    for (const char *p = operand + std::strspn(operand, separators); *p != '\0';
         p += std::strspn(p, separators)) {
        size_t n = std::strcspn(p, separators);
        if (!shell_name_or_none(p, n)) {
            *field = p;
            *length = n;
            return true;
        }
        p += n;
    }
    return false;
}

void name_list_add_prefix(const char *prefix) {
    name_list_given = true;
    list_append(&prefixes, prefix);
    prefixes_ready = false;
}

static bool begins_with(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The run whose first run_bytes bytes are those of bytes: its place, free if
// none. The slot is taken from the hash's top bits, which every byte reaches.
static PrefixRun *find_run(const char *bytes) {
    for (size_t i = hash_name(bytes, run_bytes).hash >> prefix_runs_shift;; i++) {
        PrefixRun *run = &prefix_runs[i & prefix_runs_mask];
        if (run->end == 0 || std::memcmp(prefixes.items[run->start], bytes, run_bytes) == 0)
            return run;
    }
}

// A prefix and its first eight bytes as one number, high byte first and
// zeros past its end, which orders prefixes as their bytes do.
struct SortKey {
    uint64_t head;
    char *prefix;
};

// Sorted by their bytes: a number compared for most, strcmp for those whose
// first eight bytes are the same.
static void sort_prefixes() {
    SortKey *keys = static_cast<SortKey *>(
        reallocarray(nullptr, std::max<uint64_t>(prefixes.count, 1), sizeof *keys));
    if (keys == nullptr)
        fail("reallocarray");
    for (uint64_t i = 0; i < prefixes.count; i++) {
        const char *p = prefixes.items[i];
        uint64_t head = 0;
        for (size_t k = 0; k < 8 && p[k] != '\0'; k++)
            head |= static_cast<uint64_t>(static_cast<unsigned char>(p[k])) << (56 - 8 * k);
        keys[i] = {head, prefixes.items[i]};
    }
    std::sort(keys, keys + prefixes.count, [](const SortKey &a, const SortKey &b) {
        return a.head != b.head ? a.head < b.head : std::strcmp(a.prefix, b.prefix) < 0;
    });
    for (uint64_t i = 0; i < prefixes.count; i++)
        prefixes.items[i] = keys[i].prefix;
    std::free(keys);
}

static void prepare_prefixes() {
    sort_prefixes();
    // Sorted, a prefix comes right before the run of those that begin with it.
    uint64_t kept = 0;
    for (uint64_t i = 0; i < prefixes.count; i++) {
        if (kept > 0 && begins_with(prefixes.items[i], prefixes.items[kept - 1])) {
            std::free(prefixes.items[i]);
            continue;
        }
        prefixes.items[kept++] = prefixes.items[i];
    }
    // The room stays: list_append doubles it at the powers of two still.
    prefixes.count = kept;
    run_bytes = NAME_LIMIT;
    for (uint64_t i = 0; i < prefixes.count; i++)
        run_bytes = std::min(run_bytes, std::strlen(prefixes.items[i]));
    // A few are searched whole, faster than a name is hashed.
    std::free(prefix_runs);
    prefix_runs = nullptr;
    prefixes_ready = true;
    if (prefixes.count <= 16)
        return;
    // At most half full; sorted, the prefixes of a run are next to each other.
    size_t places = 2;
    prefix_runs_shift = 63;
    while (places < 2 * prefixes.count) {
        places *= 2;
        prefix_runs_shift--;
    }
    prefix_runs = static_cast<PrefixRun *>(std::calloc(places, sizeof *prefix_runs));
    if (prefix_runs == nullptr)
        fail("calloc");
    prefix_runs_mask = places - 1;
    for (uint64_t i = 0; i < prefixes.count; i++) {
        PrefixRun *run = find_run(prefixes.items[i]);
        if (run->end == 0)
            run->start = i;
        run->end = i + 1;
    }
}

bool name_prefix_allows(const char *name, size_t length) {
    if (!prefixes_ready)
        prepare_prefixes();
    // The prefix that begins name, if any, is the last one of its run (or
    // of all) not after it. Every prefix between two bounds shares with name
    // the bytes that both bounds share with it, so each comparison starts
    // past them.
    uint64_t low = 0;
    uint64_t high = prefixes.count;
    size_t low_common = 0;
    size_t high_common = 0;
    if (prefix_runs != nullptr) {
        if (length < run_bytes)
            return false;
        const PrefixRun *run = find_run(name);
        low = run->start;
        high = run->end;
        low_common = high_common = run_bytes;
    }
    while (low < high) {
        prefix_comparisons++;
        uint64_t middle = low + (high - low) / 2;
        const char *prefix = prefixes.items[middle];
        size_t i = std::min(low_common, high_common);
        while (prefix[i] != '\0' && i < length && prefix[i] == name[i])
            i++;
        if (prefix[i] == '\0')
            return true;
        if (i == length ||
            static_cast<unsigned char>(prefix[i]) > static_cast<unsigned char>(name[i])) {
            high = middle;
            high_common = i;
        } else {
            low = middle + 1;
            low_common = i;
        }
    }
    return false;
}

uint64_t name_prefix_comparisons() {
    return prefix_comparisons;
}

bool name_list_contains(const char *name) {
    if (!name_list_given)
        return true;
    for (uint64_t i = 0; i < name_list.count; i++) {
        if (std::strcmp(name_list.items[i], name) == 0)
            return true;
    }
    return name_prefix_allows(name, std::strlen(name));
}

void name_list_print() {
    if (name_list.count == 0) {
        static const char message[] = "fillvars: no variables defined\n";
        write_waiting(STDERR_FILENO, message, sizeof message - 1);
        std::exit(1);
    }
    // Through the filter's own output, which waits on a non-blocking
    // descriptor where stdio would fail.
    char data[4096];
    Output out = {STDOUT_FILENO, data, data, data + sizeof data};
    for (uint64_t i = 0; i < name_list.count; i++) {
        output_write(&out, name_list.items[i], std::strlen(name_list.items[i]));
        output_write(&out, "\n", 1);
    }
    output_flush(&out);
}

void name_list_release() {
    list_free(&name_list);
    list_free(&prefixes);
    std::free(prefix_runs);
    prefix_runs = nullptr;
    prefixes_ready = true;
    name_list_given = false;
}
