// The forms of -s, what each gives: by whether its variable is set, a value or
// a word (default, assignment, report); from its value, ${#NAME}, a prefix or
// suffix off, a substring, a replacement, a case. Their words are expanded
// by the run's walk, which run_asked hands down (run.hpp).
#pragma once

#include <cstddef>

#include "grammar.hpp"
#include "io.hpp"
#include "name_table.hpp"

// Writes what the form ref at dollar (op '#', '%', ':', '/', '^', ',', 'n',
// or '@' for one not read) gives for a value (null: the variable is not
// set); its words are expanded as they are needed. The variable is read as
// ${NAME} reads it: nounset (-u) reports it unset, noempty (-e) empty, and
// keep (-k) writes the form of an unset one as it stands. In a UTF-8 locale
// (the run's rules.characters), lengths, substrings and case go by UTF-8
// characters, a byte that starts none counting as one; else by bytes. A form
// not read, or a substring that ends before it starts, is reported.
void emit_value_form(Output *out, const char *dollar, const Reference &ref, const char *value,
                     size_t length, bool nounset, bool noempty, bool keep);

// The value of the reference at dollar to name, through write_value, in its
// name's format.
void emit_value(Output *out, const char *dollar, const char *name, size_t length, const char *value,
                size_t value_length);

// What the form ref at dollar gives: the forms of a word (-, =, +, ? with
// or without ":") here, the others by emit_value_form. The reference by
// value: it stays in registers in the walk. slot is what the environment
// holds for its name (null: nothing).
void emit_form(Output *out, const char *dollar, Reference ref, const NameSlot *slot);
