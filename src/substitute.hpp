// Substitution: the filter from an input descriptor to an output descriptor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "buffers.hpp"
#include "escape.hpp"
#include "run.hpp"

// Copies in to out up to end of input, replacing each reference to a variable
// that the name list allows. A read or write error ends the run with status 1.
// block_size (at least 1) only changes how the input is cut, never the output.
// Reports (from -u, -e and the "?" forms) go to standard error with their line; returns how
// many there were. Under -r the output is the names that the run considers, each once,
// in the order they first appear, one a line; with -u or -e the reports are those of a
// run without -r, and without them nothing is evaluated or reported.
uint64_t substitute_stream(int in, int out, size_t block_size = BLOCK_SIZE, Rules rules = {});

// From a run started (run_asked set): the references in p..end expanded
// into out by the walk of -s, and where the reference at dollar, read within
// p..end, ends. A -f value's expansion, and a form's words, go through them.
void expand_text(Output *out, const char *p, const char *end);
const char *reference_end(const char *dollar, const char *end);
