// Variable names: extraction into the name buffer, the name list that the
// operands fill, and the hash tables that make lookups constant-time.
#include "names.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "fail.hpp"
#include "io.hpp"

NameList name_list = {0, nullptr};

static char name_buffer[NAME_LIMIT + 1];

// The list as a set, rebuilt when the list has grown since it was last built.
static NameTable name_set = {};
static uint64_t name_set_count = 0;

// Copies at most size - 1 bytes of src and always terminates dst.
static void copy_bounded(char *dst, const char *src, size_t size) {
    size_t n = 0;
    while (n + 1 < size && src[n] != '\0') {
        dst[n] = src[n];
        n++;
    }
    dst[n] = '\0';
}

const char *find_name(const char *text, size_t length, size_t *name_length) {
    if (length > 0 && text[0] == '$') {
        text++;
        length--;
        if (length > 0 && text[0] == '{') {
            text++;
            length--;
        }
    }
    if (length > NAME_LIMIT)
        length = NAME_LIMIT;
    const void *brace = std::memchr(text, '}', length);
    *name_length =
        brace == nullptr ? length : static_cast<size_t>(static_cast<const char *>(brace) - text);
    return text;
}

const char *extract_name(const char *text) {
    size_t name_length;
    const char *name = find_name(text, strnlen(text, 2 + NAME_LIMIT), &name_length);
    copy_bounded(name_buffer, name, name_length + 1);
    return name_buffer;
}

void name_list_add(const char *name) {
    void *grown = reallocarray(name_list.items, name_list.count + 1, sizeof *name_list.items);
    if (grown == nullptr)
        fail("reallocarray");
    name_list.items = static_cast<char **>(grown);
    // Only a made copy is counted, so the list never holds a missing entry.
    char *copy = strdup(name);
    if (copy == nullptr)
        fail("strdup");
    name_list.items[name_list.count++] = copy;
}

void name_list_add_operand(char *operand) {
    for (char *field = std::strtok(operand, ","); field != nullptr;
         field = std::strtok(nullptr, ","))
        name_list_add(extract_name(field));
}

bool name_list_contains(const char *name) {
    return name_list_contains(name, std::strlen(name));
}

bool name_list_contains(const char *name, size_t length) {
    if (name_list.count == 0)
        return true;
    if (name_set_count != name_list.count) {
        name_table_free(&name_set);
        name_table_build(&name_set, name_list.count);
        for (uint64_t i = 0; i < name_list.count; i++)
            name_table_put(&name_set, name_list.items[i], std::strlen(name_list.items[i]), "");
        name_set_count = name_list.count;
    }
    return name_table_find(&name_set, name, length) != nullptr;
}

void name_list_print() {
    if (name_list.count == 0) {
        std::fputs("fillvars: no variables defined\n", stderr);
        std::exit(1);
    }
    // Through the filter's own output, which waits on a non-blocking
    // descriptor where stdio would fail.
    char data[4096];
    Output out = {STDOUT_FILENO, data, 0, sizeof data};
    for (uint64_t i = 0; i < name_list.count; i++) {
        output_write(&out, name_list.items[i], std::strlen(name_list.items[i]));
        output_write(&out, "\n", 1);
    }
    output_flush(&out);
}

void name_list_release() {
    for (uint64_t i = 0; i < name_list.count; i++)
        std::free(name_list.items[i]);
    std::free(name_list.items);
    name_list = {0, nullptr};
    name_table_free(&name_set);
    name_set_count = 0;
}

// Eight bytes at a time, one multiply each. The slot is taken from the top
// bits of the result, which every byte of the key reaches.
static uint64_t hash_name(const char *key, size_t length) {
    const uint64_t odd = 0x9e3779b97f4a7c15ull;
    uint64_t h = length;
    for (; length >= 8; key += 8, length -= 8) {
        uint64_t word;
        std::memcpy(&word, key, sizeof word);
        h = (h ^ word) * odd;
    }
    uint64_t tail = 0;
    for (size_t i = 0; i < length; i++)
        tail |= static_cast<uint64_t>(static_cast<unsigned char>(key[i])) << (8 * i);
    return (h ^ tail) * odd;
}

void name_table_build(NameTable *table, size_t expected) {
    size_t capacity = 16;
    unsigned bits = 4;
    for (; capacity < expected * 2; bits++)
        capacity *= 2;
    table->slots = static_cast<NameSlot *>(std::calloc(capacity, sizeof *table->slots));
    if (table->slots == nullptr)
        fail("calloc");
    table->mask = capacity - 1;
    table->shift = 64 - bits;
}

static NameSlot *probe(const NameTable *table, const char *key, size_t length) {
    size_t i = static_cast<size_t>(hash_name(key, length) >> table->shift);
    for (;;) {
        NameSlot *slot = &table->slots[i];
        if (slot->key == nullptr ||
            (slot->length == length && std::memcmp(slot->key, key, length) == 0))
            return slot;
        i = (i + 1) & table->mask;
    }
}

void name_table_put(NameTable *table, const char *key, size_t length, const char *value) {
    NameSlot *slot = probe(table, key, length);
    if (slot->key == nullptr)
        *slot = {key, length, value, std::strlen(value)};
}

const NameSlot *name_table_find(const NameTable *table, const char *key, size_t length) {
    const NameSlot *slot = probe(table, key, length);
    return slot->key == nullptr ? nullptr : slot;
}

void name_table_free(NameTable *table) {
    std::free(table->slots);
    *table = {};
}
