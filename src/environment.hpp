// The environment's index: the variables of the environment and of -f files
// in one table, built once a run, which the filter asks for each reference.
#pragma once

#include <cstddef>

#include "name_table.hpp"

// The table itself, for the lookup inlined into the walk. Hidden: the
// library is built position-independent, and a symbol that could come from
// elsewhere would cost the walk a load of its address.
[[gnu::visibility("hidden")]] extern NameTable environment;

// A variable that the -f files set, as their load leaves it.
struct FileVariable {
    const char *name;
    size_t name_length;
    const char *value;
    size_t value_length;
};

// The variables that the -f files set (count of them), each name once, which
// must outlive the indexes: every index from now on puts them in after the
// environment's own. The files hold no name that the environment sets, but
// for one whose empty value an assignment in a value (${N:=word}) replaced,
// which the files' value then overrides. (nullptr, 0) forgets them.
void environment_files(const FileVariable *variables, size_t count);

// Indexes the environment, then the variables of the -f files (the one way
// they reach an index): the first entry for a name wins, as with getenv, so
// the environment's own win. The listed names are marked (listed), put in
// without a value where not set.
void environment_index();

// The slot for name, put in without a value when it is not there, with a
// copy of the name: name's bytes may be the input's. Valid until the next
// call that may put a name in.
NameSlot *environment_slot(const char *name, size_t length);

// "NAME becomes VALUE" (the "=" forms of -s): later references see the copy.
void environment_assign(const char *name, size_t length, const char *value, size_t value_length);

// NAME=VALUE of a -f file while the files load (the index then holds the
// environment and what the files set so far): the environment's own value
// stays, and a file's replaces the one before it. copied: value is a copy
// from malloc, with COPY_PAST bytes of room, that the table then holds (and
// frees when it is replaced); name and any other value must outlive the index.
void environment_define(const char *name, size_t length, const char *value, size_t value_length,
                        bool copied);

// Whether some value holds "=": only then may getenv find a name holding
// one, which the index does not hold.
bool environment_values_hold_equals();

// What getenv finds for a name holding "=" (against a name and the start of
// its value, "N=" in "N==eq"), among the environment's entries and then the
// files' as if they were the environment's; null where nothing is found or
// the name holds no "=".
const char *environment_getenv(const char *name, size_t length, size_t *value_length);

// Frees the index and everything put in it.
void environment_release();
