// Variable names: extraction into the name buffer, the name list that the
// operands fill, and the hash tables that make lookups constant-time.
#include "names.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "fail.hpp"
#include "io.hpp"

NameList name_list = {0, nullptr};

// Set by the first operand, even one that names nothing, and by the first
// name: an empty variable passed as the list must not turn into "replace
// everything".
bool name_list_given = false;

static char name_buffer[NAME_LIMIT + 1];

// Prefixes that allow every name they begin (-p); not names, so not listed.
static NameList prefixes = {0, nullptr};

const char *extract_name(const char *text) {
    if (text[0] == '$')
        text += text[1] == '{' ? 2 : 1;
    size_t length = std::min<size_t>(std::strcspn(text, "}"), NAME_LIMIT);
    std::memcpy(name_buffer, text, length);
    name_buffer[length] = '\0';
    return name_buffer;
}

static void list_append(NameList *list, const char *name) {
    void *grown = reallocarray(list->items, list->count + 1, sizeof *list->items);
    if (grown == nullptr)
        fail("reallocarray");
    list->items = static_cast<char **>(grown);
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
void name_list_add_operand(char *operand) {
    name_list_given = true;
    const char *separators = ", \t\r\n";
    for (char *field = std::strtok(operand, separators); field != nullptr;
         field = std::strtok(nullptr, separators))
        name_list_add(extract_name(field));
}

void name_list_add_prefix(const char *prefix) {
    name_list_given = true;
    list_append(&prefixes, prefix);
}

bool name_prefix_allows(const char *name, size_t length) {
    for (uint64_t i = 0; i < prefixes.count; i++) {
        size_t n = std::strlen(prefixes.items[i]);
        if (n <= length && std::memcmp(prefixes.items[i], name, n) == 0)
            return true;
    }
    return false;
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
    name_list_given = false;
}

void name_table_build(NameTable *table, size_t expected) {
    size_t capacity = 16;
    unsigned bits = 4;
    for (; capacity < expected * 2; bits++)
        capacity *= 2;
    table->slots = static_cast<NameSlot *>(std::calloc(capacity, sizeof *table->slots));
    if (table->slots == nullptr)
        fail("calloc");
    for (size_t i = 0; i < capacity; i++)
        table->slots[i].length = EMPTY_SLOT;
    table->mask = capacity - 1;
    table->shift = 64 - bits;
    table->used = 0;
}

void name_table_put(NameTable *table, const char *key, size_t length, const char *value) {
    NameSlot *slot = name_table_slot(table, key, length);
    if (slot->value == nullptr) {
        slot->value = value;
        slot->value_length = std::strlen(value);
    }
}

NameSlot *name_table_slot(NameTable *table, const char *key, size_t length) {
    NameHash h = hash_name(key, length);
    NameSlot *slot = name_table_probe(table, key, length, h, true);
    if (slot->length != EMPTY_SLOT)
        return slot;
    if (2 * (table->used + 1) > table->mask + 1) {
        NameTable grown;
        name_table_build(&grown, table->used + 1);
        for (size_t i = 0; i <= table->mask; i++) {
            const NameSlot &old = table->slots[i];
            if (old.length != EMPTY_SLOT)
                *name_table_probe(&grown, old.key, old.length, hash_name(old.key, old.length),
                                  true) = old;
        }
        grown.used = table->used;
        name_table_free(table);
        *table = grown;
        slot = name_table_probe(table, key, length, h, true);
    }
    NameKey k = key_of(key, length, h);
    *slot = {k.head, k.tail, key, nullptr, 0, static_cast<uint32_t>(length), false, false};
    table->used++;
    return slot;
}

const NameSlot *name_table_find_long(const NameTable *table, const char *key, size_t length) {
    return name_table_find_long_inline(table, key, length);
}

void name_table_free(NameTable *table) {
    std::free(table->slots);
    *table = {};
}
