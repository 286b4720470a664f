// The environment's index: every variable of the environment, then those of
// -f files, in one table with their values; the names that assignments put
// in, with the memory they take; and getenv's way with names that hold "=".
#include "environment.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "io.hpp"
#include "names.hpp"

extern char **environ;

NameTable environment = {};

// getenv finds a name holding "=" only in an entry whose value holds one too
// ("N=" in "N==eq"); without such an entry those names need no search.
static bool values_hold_equals = false;

// The values, copied once into one block with room after the last, so that
// each is written by place_write_padded.
static char *values = nullptr;

// Memory that assignments took, names new to the environment and values.
static char **assigned = nullptr;
static size_t assigned_count = 0;
static size_t assigned_room = 0;

// What the -f files set, as their load left it.
static const FileVariable *files = nullptr;
static size_t files_count = 0;

// The listed names are marked in the same table, put in without a value
// where they are not set: one lookup tells whether a reference is allowed
// and what it becomes.
static void mark_listed() {
    for (uint64_t i = 0; i < name_list.count; i++)
        name_table_slot(&environment, name_list.items[i], std::strlen(name_list.items[i]))->listed =
            true;
}

void environment_files(const FileVariable *variables, size_t count) {
    files = variables;
    files_count = count;
}

// The environment first: the first entry for a name wins, as with getenv.
// Entries without "=" or with an empty name are never found by it.
void environment_index() {
    values_hold_equals = false;
    size_t count = files_count;
    size_t bytes = COPY_PAST;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; entry++) {
        count++;
        bytes += std::strlen(*entry) + 1;
    }
    values = static_cast<char *>(std::calloc(bytes, 1));
    if (values == nullptr)
        fail("calloc");
    char *next = values;
    // Room for four times the names, up to a table that stays in a cache:
    // the fewer names share a run of slots, the fewer lookups go on past the
    // first slot, which the CPU cannot foresee.
    name_table_build(&environment, std::max<size_t>(count, std::min<size_t>(4 * count, 4096)));
    for (char **entry = environ; entry != nullptr && *entry != nullptr; entry++) {
        const char *equals = std::strchr(*entry, '=');
        if (equals == nullptr)
            continue;
        size_t length = std::strlen(equals + 1);
        std::memcpy(next, equals + 1, length + 1);
        if (equals != *entry) {
            NameSlot *slot =
                name_table_slot(&environment, *entry, static_cast<size_t>(equals - *entry));
            if (slot->value == nullptr) {
                slot->value = next;
                slot->value_length = length;
                slot->own = true;
            }
        }
        next += length + 1;
        if (std::strchr(equals + 1, '=') != nullptr)
            values_hold_equals = true;
    }
    for (size_t i = 0; i < files_count; i++) {
        const FileVariable &v = files[i];
        NameSlot *slot = name_table_slot(&environment, v.name, v.name_length);
        slot->value = v.value;
        slot->value_length = v.value_length;
        if (std::memchr(v.value, '=', v.value_length) != nullptr)
            values_hold_equals = true;
    }
    mark_listed();
}

// With room after it, as the environment's values have.
static char *keep_copy(const char *bytes, size_t length) {
    // Doubled: a form may assign a name for every few bytes of input.
    if (assigned_count == assigned_room) {
        assigned_room = std::max<size_t>(16, 2 * assigned_room);
        void *grown = reallocarray(assigned, assigned_room, sizeof *assigned);
        if (grown == nullptr)
            fail("malloc");
        assigned = static_cast<char **>(grown);
    }
    char *copy = static_cast<char *>(std::calloc(length + COPY_PAST, 1));
    if (copy == nullptr)
        fail("malloc");
    std::memcpy(copy, bytes, length);
    assigned[assigned_count++] = copy;
    return copy;
}

// "NAME becomes WORD": later references in the run see the new value. A name
// is only assigned while it is unset or empty, so once it holds a value that
// is not empty no later form copies another; forms nested in one word may
// each assign it first (${N:=${N:=x}}), as deep as forms nest.
void environment_assign(const char *name, size_t length, const char *value, size_t value_length) {
    NameSlot *slot = environment_slot(name, length);
    if (slot->copied)
        std::free(const_cast<char *>(slot->value));
    slot->copied = false;
    // No longer the environment's own value: while -f files load, the
    // assignment holds for them and for the template.
    slot->own = false;
    static const char no_value[COPY_PAST] = {};
    slot->value = value_length == 0 ? no_value : keep_copy(value, value_length);
    slot->value_length = value_length;
}

void environment_define(const char *name, size_t length, const char *value, size_t value_length,
                        bool copied) {
    NameSlot *slot = name_table_slot(&environment, name, length);
    if (slot->own) {
        if (copied)
            std::free(const_cast<char *>(value));
        return;
    }
    if (slot->copied)
        std::free(const_cast<char *>(slot->value));
    slot->value = value;
    slot->value_length = value_length;
    slot->copied = copied;
}

NameSlot *environment_slot(const char *name, size_t length) {
    NameSlot *slot = name_table_slot(&environment, name, length);
    // Put in just now: its bytes are the input's, which the next read overwrites.
    if (slot->key == name)
        slot->key = keep_copy(name, length);
    return slot;
}

// What getenv would find for name (length bytes, holding "=") among the
// variables that only -f files set, were they in the environment: "N=a" is
// the rest of N's value after "a=". Null where there is nothing.
static const char *getenv_from_files(char *name, size_t length, size_t *value_length) {
    char *equals = static_cast<char *>(std::memchr(name, '=', length));
    size_t key = static_cast<size_t>(equals - name);
    size_t rest = length - key - 1;
    // A name in the environment was getenv's to find.
    *equals = '\0';
    bool in_environment = std::getenv(name) != nullptr;
    *equals = '=';
    const NameSlot *slot = in_environment ? nullptr : name_table_find(&environment, name, key);
    if (slot == nullptr || slot->value == nullptr || slot->value_length <= rest ||
        std::memcmp(slot->value, equals + 1, rest) != 0 || slot->value[rest] != '=')
        return nullptr;
    *value_length = slot->value_length - rest - 1;
    return slot->value + rest + 1;
}

const char *environment_getenv(const char *name, size_t length, size_t *value_length) {
    if (!values_hold_equals || std::memchr(name, '=', length) == nullptr)
        return nullptr;
    char copy[NAME_LIMIT + 1];
    std::memcpy(copy, name, length);
    copy[length] = '\0';
    const char *value = std::getenv(copy);
    if (value != nullptr) {
        *value_length = std::strlen(value);
        return value;
    }
    return getenv_from_files(copy, length, value_length);
}

bool environment_values_hold_equals() {
    return values_hold_equals;
}

void environment_release() {
    name_table_free(&environment);
    std::free(values);
    values = nullptr;
    for (size_t i = 0; i < assigned_count; i++)
        std::free(assigned[i]);
    std::free(assigned);
    assigned = nullptr;
    assigned_count = 0;
    assigned_room = 0;
}
