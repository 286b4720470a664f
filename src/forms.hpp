// The forms of -s that read a variable's value and make something of it:
// ${#NAME}, a prefix or suffix off, a substring, a replacement, a case.
#pragma once

#include <cstddef>

#include "grammar.hpp"
#include "io.hpp"

// Writes what the form ref at dollar (op '#', '%', ':', '/', '^', ',' or
// 'n') gives for a set variable's value; its words are expanded as they are
// needed. A substring that ends before it starts is reported.
void emit_value_form(Output *out, const char *dollar, const Reference &ref, const char *value,
                     size_t length);

// From the walk (substitute.cpp): the references in p..end expanded into out,
// and where the reference at dollar, read within p..end, ends.
void expand_text(Output *out, const char *p, const char *end);
const char *reference_end(const char *dollar, const char *end);
