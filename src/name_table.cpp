// The hash table of names: building it, putting keys in, growing it.
#include "name_table.hpp"

#include <cstdlib>

#include "io.hpp"

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
    *slot = {k.head, k.tail, key,   nullptr, 0, static_cast<uint32_t>(length),
             false,  false,  false, false};
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
