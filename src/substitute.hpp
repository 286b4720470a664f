// Substitution: the filter from an input descriptor to an output descriptor.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes read at a time, and the size of the output buffer.
constexpr size_t BLOCK_SIZE = 128 * 1024;

// Copies in to out up to end of input, replacing each reference to a variable
// that the name list allows. A read or write error ends the run with status 1.
// block_size (at least 1) only changes how the input is cut, never the output.
// With nounset, each allowed reference to an unset variable is also reported
// on standard error with its line; returns how many were.
uint64_t substitute_stream(int in, int out, size_t block_size = BLOCK_SIZE, bool nounset = false);
