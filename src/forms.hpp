// The forms of -s that read a variable's value and make something of it:
// ${#NAME}, a prefix or suffix off, a substring, a replacement, a case.
#pragma once

#include <cstddef>

#include "grammar.hpp"
#include "io.hpp"
#include "name_table.hpp"

// Writes what the form ref at dollar (op '#', '%', ':', '/', '^', ',', 'n',
// or '@' for one not read) gives for a value (null: the variable is not
// set); its words are expanded as they are needed. The variable is read as
// ${NAME} reads it: nounset (-u) reports it unset, noempty (-e) empty, and
// keep (-k) writes the form of an unset one as it stands. A form not read, or
// a substring that ends before it starts, is reported.
void emit_value_form(Output *out, const char *dollar, const Reference &ref, const char *value,
                     size_t length, bool nounset, bool noempty, bool keep);

// From the walk (substitute.cpp): the references in p..end expanded into out,
// and where the reference at dollar, read within p..end, ends.
void expand_text(Output *out, const char *p, const char *end);
const char *reference_end(const char *dollar, const char *end);

// The value of the reference at dollar to name, through write_value.
void emit_value(Output *out, const char *dollar, const char *name, size_t length, const char *value,
                size_t value_length);

// What a form gives, by whether its variable is set and empty. The reference
// by value, as for emit_unindexed: it stays in registers in the walk. slot is
// what the environment holds for its name (null: nothing).
void emit_form(Output *out, const char *dollar, Reference ref, const NameSlot *slot);
