// Variable names: the one syntax for names in operands and references, and
// the name list collected from the operands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Longest name kept; the name buffer holds it and its terminating NUL.
constexpr size_t NAME_LIMIT = 4095;

struct NameList {
    uint64_t count;
    char **items;
};

// The names given as operands, in order, duplicates kept. No operand at
// all: no limit. Operands that name nothing: nothing is allowed.
extern NameList name_list;

// The name that text denotes ("$NAME", "${NAME}" or bare "NAME"): what
// follows a leading "$" and a "{" right after it, up to the first "}", cut
// to NAME_LIMIT bytes, copied into the name buffer, which the next call
// overwrites.
const char *extract_name(const char *text);

// Whether any operand (even one that names nothing), name or prefix was
// given: only with none is every name allowed.
extern bool name_list_given;

void name_list_add(const char *name);
// Fields between commas and white space, each a name.
void name_list_add_operand(char *operand);
// Names that begin with prefix are allowed too; "" allows every name.
void name_list_add_prefix(const char *prefix);
// Under -s only shell names are ever replaced: a field of operand whose name
// is neither empty nor a shell name ("nginx.conf.in", "a-b") can limit
// nothing, and is a slip. Returns whether there is one, the first one as
// written in *field and *length. The operand is left as it is.
bool name_operand_refused(const char *operand, const char **field, size_t *length);
// Whether a prefix given allows name: a hash and a binary search in the run
// of prefixes that share the name's first bytes, however many there are.
bool name_prefix_allows(const char *name, size_t length);
// Prefixes compared with a name so far, for the tests that bound a lookup.
uint64_t name_prefix_comparisons();
// Whether name is allowed: no list, a listed name, or a prefix. The filter
// asks the environment's table instead, where listed names are marked.
bool name_list_contains(const char *name);
void name_list_print();
void name_list_release();
