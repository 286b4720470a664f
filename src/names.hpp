// Variable names: the one syntax for names in operands and references, the
// name list collected from the operands, and a small hash table of names.
#pragma once

#include <cstddef>
#include <cstdint>

// Longest name kept; the name buffer holds it and its terminating NUL.
constexpr size_t NAME_LIMIT = 4095;

struct NameList {
    uint64_t count;
    char **items;
};

// The names given as operands, in order, duplicates kept. No operand at
// all: no limit. Operands that name nothing: nothing is allowed.
extern NameList name_list;

// Finds in place the name that text[0, length) denotes ("$NAME", "${NAME}"
// or bare "NAME"): what follows a leading "$" and a "{" right after it, cut
// to NAME_LIMIT bytes, up to the first "}". Sets its length; returns its start.
const char *find_name(const char *text, size_t length, size_t *name_length);

// The same name for a NUL-terminated text, copied into the name buffer,
// which the next call overwrites.
const char *extract_name(const char *text);

void name_list_add(const char *name);
void name_list_add_operand(char *operand);
bool name_list_contains(const char *name);
bool name_list_contains(const char *name, size_t length);
void name_list_print();
void name_list_release();

// Open-addressing table from names to values; the first value put for a name
// stays, as getenv finds the first entry of the environment.
struct NameSlot {
    const char *key;
    size_t length;
    const char *value;
    size_t value_length;
};

struct NameTable {
    NameSlot *slots;
    size_t mask;
    unsigned shift;
};

void name_table_build(NameTable *table, size_t expected);
void name_table_put(NameTable *table, const char *key, size_t length, const char *value);
const NameSlot *name_table_find(const NameTable *table, const char *key, size_t length);
void name_table_free(NameTable *table);
