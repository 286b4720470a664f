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

struct Output;

// A value of a -f file, expanded into out (memory) by the walk of a template
// under -s, with the reports of -u and -e as rules ask, each naming line of
// path; while the files load (the environment's index holds what they set so
// far). Operands, -p, -b and -k limit the template only: nothing limits a
// value. Returns how many reports it made.
uint64_t substitute_value(Output *out, const char *value, size_t length, Rules asked,
                          const char *path, uint64_t line);
