// The forms of -s that read a variable's value and make something of it:
// ${#NAME}, a prefix or suffix off, a substring, a replacement, a case.
#pragma once

#include <cstddef>

#include "grammar.hpp"
#include "io.hpp"

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

// Also from it: the report of a value that -E's format cannot hold, which
// lost bytes where it was written.
void report_unheld(const char *dollar, const char *name, size_t length);
