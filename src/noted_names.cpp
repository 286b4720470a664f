// The names that -r has listed, kept once each: their bytes go one after
// another into large chunks, and a table of 16-byte slots, at most three
// quarters full, finds them again. Ten million names then cost their bytes
// and 22 to 43 bytes each (64 while the table grows), where a slot of the
// environment's table and a copy of each name took about 300.
#include "noted_names.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "io.hpp"
#include "name_table.hpp"

struct NotedSlot {
    const char *name; // null: empty
    uint32_t length;  // no name comes near 4 GiB
    uint32_t check;   // bits of the hash that the slot's index does not use
};

static NotedSlot *slots = nullptr;
static size_t mask = 0;
static unsigned shift = 0;
static size_t used = 0;

// The chunks, each starting with the address of the one before: the first
// of a page, each twice the one before up to a MiB, so that a template of a
// few names maps no more than it needs.
constexpr size_t FIRST_CHUNK = 4096;
constexpr size_t LARGEST_CHUNK = 1 << 20;
static size_t chunk_size = FIRST_CHUNK;
static char *chunks = nullptr;
static char *arena_next = nullptr;
static char *arena_end = nullptr;

static size_t held = 0;
static size_t peak = 0;

static void hold(size_t bytes) {
    held += bytes;
    if (held > peak)
        peak = held;
}

static void *allocate(size_t count, size_t size) {
    void *memory = std::calloc(count, size);
    if (memory == nullptr)
        fail("malloc");
    hold(count * size);
    return memory;
}

// A copy of name in the arena; a new chunk where the current one has no room
// left (what is left of it stays unused: at most a name's length).
static const char *keep(const char *name, size_t length) {
    if (arena_next == nullptr || static_cast<size_t>(arena_end - arena_next) < length) {
        size_t size = std::max(chunk_size, sizeof(char *) + length);
        chunk_size = std::min(2 * chunk_size, LARGEST_CHUNK);
        char *chunk = static_cast<char *>(std::malloc(size));
        if (chunk == nullptr)
            fail("malloc");
        hold(size);
        std::memcpy(chunk, &chunks, sizeof chunks);
        chunks = chunk;
        arena_next = chunk + sizeof(char *);
        arena_end = chunk + size;
    }
    const char *copy = arena_next;
    if (length > 0)
        std::memcpy(arena_next, name, length);
    arena_next += length;
    return copy;
}

// The slot that holds the name, or the empty slot where it goes.
static NotedSlot *probe(NotedSlot *table, size_t table_mask, unsigned table_shift, const char *name,
                        size_t length, uint64_t hash) {
    uint32_t check = static_cast<uint32_t>(hash >> 8);
    for (size_t i = static_cast<size_t>(hash >> table_shift);; i = (i + 1) & table_mask) {
        NotedSlot *slot = &table[i];
        if (slot->name == nullptr || (slot->check == check && slot->length == length &&
                                      std::memcmp(slot->name, name, length) == 0))
            return slot;
    }
}

// Twice the slots, the names moved over without their bytes.
static void grow() {
    size_t capacity = slots == nullptr ? 64 : 2 * (mask + 1);
    unsigned bits = 0;
    while ((size_t{1} << bits) < capacity)
        bits++;
    NotedSlot *grown = static_cast<NotedSlot *>(allocate(capacity, sizeof *grown));
    size_t grown_mask = capacity - 1;
    unsigned grown_shift = 64 - bits;
    for (size_t i = 0; slots != nullptr && i <= mask; i++) {
        if (slots[i].name != nullptr)
            *probe(grown, grown_mask, grown_shift, slots[i].name, slots[i].length,
                   hash_name(slots[i].name, slots[i].length).hash) = slots[i];
    }
    if (slots != nullptr) {
        std::free(slots);
        held -= (mask + 1) * sizeof *slots;
    }
    slots = grown;
    mask = grown_mask;
    shift = grown_shift;
}

bool noted_names_add(const char *name, size_t length) {
    if (slots == nullptr)
        grow();
    uint64_t hash = hash_name(name, length).hash;
    NotedSlot *slot = probe(slots, mask, shift, name, length, hash);
    if (slot->name != nullptr)
        return false;
    if (4 * (used + 1) > 3 * (mask + 1)) {
        grow();
        slot = probe(slots, mask, shift, name, length, hash);
    }
    *slot = {keep(name, length), static_cast<uint32_t>(length), static_cast<uint32_t>(hash >> 8)};
    used++;
    return true;
}

size_t noted_names_peak_bytes() {
    return peak;
}

static bool held_across = false;

void noted_names_hold(bool across) {
    held_across = across;
    if (!across)
        noted_names_release();
}

void noted_names_release() {
    if (held_across)
        return;
    while (chunks != nullptr) {
        char *before;
        std::memcpy(&before, chunks, sizeof before);
        std::free(chunks);
        chunks = before;
    }
    std::free(slots);
    slots = nullptr;
    mask = 0;
    shift = 0;
    used = 0;
    arena_next = nullptr;
    arena_end = nullptr;
    chunk_size = FIRST_CHUNK;
    held = 0;
    peak = 0;
}
