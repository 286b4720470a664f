// The hash table of names: open addressing from a name's bytes to its value,
// with the hashing and the inline lookup that the filter does per reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Open-addressing table from names to values; the first value put for a name
// stays, as getenv finds the first entry of the environment.
struct NameSlot {
    uint64_t head; // see NameKey
    uint64_t tail;
    const char *key;
    const char *value; // null: the name is in the table without a value
    size_t value_length;
    uint32_t length; // 48 bytes a slot: no name comes near 4 GiB
    bool listed;     // the caller's marks
    bool seen;
    bool own;    // the environment's own entry, which no -f file overrides
    bool copied; // value is a copy that the load of -f files made, theirs to free
};

struct NameTable {
    NameSlot *slots;
    size_t mask;
    unsigned shift;
    size_t used;
};

void name_table_build(NameTable *table, size_t expected);
void name_table_put(NameTable *table, const char *key, size_t length, const char *value);
// The slot for key, put in with key itself and no value when it is not
// there yet; the table grows to stay at most half full. The slot is valid
// until the next call that may put a key in.
NameSlot *name_table_slot(NameTable *table, const char *key, size_t length);
void name_table_free(NameTable *table);

// The bytes p[0, n) for n < 8 as one number, reading no byte outside them:
// two overlapping loads, or three single bytes. Different bytes of the same
// length give different numbers.
[[gnu::always_inline]] inline uint64_t load_short(const char *p, size_t n) {
    if (n >= 4) {
        uint32_t low, high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + n - 4, 4);
        return static_cast<uint64_t>(high) << 32 | low;
    }
    if (n == 0)
        return 0;
    return static_cast<uint64_t>(static_cast<unsigned char>(p[0])) << 16 |
           static_cast<uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
           static_cast<unsigned char>(p[n - 1]);
}

// A key's hash and a number that tells keys apart where they share a slot.
// Eight bytes at a time, one multiply each; the slot is taken from the top
// bits of the result, which every byte of the key reaches. A key shorter than
// eight bytes is its own check.
struct NameHash {
    uint64_t hash;
    uint64_t check;
};

inline uint64_t load_8(const char *p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

// The hash of a key of more than 16 bytes: a word at a time, then the rest.
inline uint64_t hash_long(const char *key, size_t length) {
    const uint64_t odd = 0x9e3779b97f4a7c15ull;
    if (length < 24) {
        // The loop below for the long names most are: two words and the rest.
        uint64_t h = ((length ^ load_8(key)) * odd ^ load_8(key + 8)) * odd;
        return (h ^ load_short(key + 16, length - 16)) * odd;
    }
    uint64_t h = length;
    for (; length >= 8; key += 8, length -= 8)
        h = (h ^ load_8(key)) * odd;
    return (h ^ load_short(key, length)) * odd;
}

[[gnu::always_inline]] inline NameHash hash_name(const char *key, size_t length) {
    const uint64_t odd = 0x9e3779b97f4a7c15ull;
    if (length < 8) {
        // Keys alike but for their length ("a", "aaa") share a slot chain;
        // the length, compared too, tells them apart.
        uint64_t bytes = load_short(key, length);
        return {bytes * odd, bytes};
    }
    if (length <= 16) {
        // Most names: two words that overlap, and no loop.
        uint64_t h = ((load_8(key) ^ length) * odd ^ load_8(key + length - 8)) * odd;
        return {h, h};
    }
    uint64_t h = hash_long(key, length);
    return {h, h};
}

// memcmp for keys of more than 16 bytes, without a call: up to 24 bytes as
// three words at once, longer ones a word at a time; the last word overlaps
// the one before.
inline bool same_bytes(const char *a, const char *b, size_t n) {
    if (n <= 24)
        return ((load_8(a) ^ load_8(b)) | (load_8(a + 8) ^ load_8(b + 8)) |
                (load_8(a + n - 8) ^ load_8(b + n - 8))) == 0;
    size_t at = 0;
    while (at + 8 < n && load_8(a + at) == load_8(b + at))
        at += 8;
    return at + 8 >= n && load_8(a + n - 8) == load_8(b + n - 8);
}

// What a slot holds of its key to compare first. With the length, a key of
// up to 16 bytes is told apart by it alone, without reading its bytes again:
// one number below 8 bytes, its first and last eight (which overlap) up to
// 16. A longer key holds its hash, and its bytes are compared after.
struct NameKey {
    uint64_t head;
    uint64_t tail;
};

inline NameKey key_of(const char *key, size_t length, NameHash h) {
    if (length >= 8 && length <= 16)
        return {load_8(key), load_8(key + length - 8)};
    return {h.check, 0};
}

// An empty slot's length: no key's, so that a slot that matches holds the key.
constexpr uint32_t EMPTY_SLOT = UINT32_MAX;

// The slot that holds key; when there is none, the empty slot where it would
// go (for_put) or null.
inline NameSlot *name_table_probe(const NameTable *table, const char *key, size_t length,
                                  NameHash h, bool for_put) {
    NameKey k = key_of(key, length, h);
    size_t i = static_cast<size_t>(h.hash >> table->shift);
    for (;;) {
        NameSlot *slot = &table->slots[i];
        // Most lookups end at the first slot.
        if (slot->head == k.head && slot->tail == k.tail &&
            slot->length == static_cast<uint32_t>(length) &&
            (length <= 16 || same_bytes(slot->key, key, length)))
            return slot;
        if (slot->length == EMPTY_SLOT)
            return for_put ? slot : nullptr;
        i = (i + 1) & table->mask;
    }
}

// A long key's slot holds its hash (key_of): no tail to compare.
inline const NameSlot *name_table_find_long_inline(const NameTable *table, const char *key,
                                                   size_t length) {
    uint64_t h = hash_long(key, length);
    for (size_t i = static_cast<size_t>(h >> table->shift);; i = (i + 1) & table->mask) {
        const NameSlot *slot = &table->slots[i];
        if (slot->head == h && slot->length == static_cast<uint32_t>(length) &&
            same_bytes(slot->key, key, length))
            return slot;
        if (slot->length == EMPTY_SLOT)
            return nullptr;
    }
}

// The same out of line, so that the code inlined where names are looked up
// can be only that of the short keys most names are.
const NameSlot *name_table_find_long(const NameTable *table, const char *key, size_t length);

// Long keys inline too where a caller asks (inline_long): its loop then has
// no call, for more code.
[[gnu::always_inline]] inline const NameSlot *
name_table_find(const NameTable *table, const char *key, size_t length, bool inline_long = false) {
    if (length > 16)
        return inline_long ? name_table_find_long_inline(table, key, length)
                           : name_table_find_long(table, key, length);
    return name_table_probe(table, key, length, hash_name(key, length), false);
}
