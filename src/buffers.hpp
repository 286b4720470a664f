// The filter's two buffers, page-aligned: the input's, with room before the
// read target for the bytes carried from block to block, and the output's.
#pragma once

#include <cstddef>

// Bytes read at a time, and the size of the output buffer.
constexpr size_t BLOCK_SIZE = 128 * 1024;

// target is where each read goes: the carried bytes (NAME_WINDOW) and
// BEFORE_START fit before it, block_size and SCAN_PAST bytes from it. output
// holds block_size bytes and COPY_PAST more.
struct Buffers {
    char *target;
    char *output;
    bool fixed; // static, not to be freed
};

Buffers buffers_take(size_t block_size);
void buffers_give_back(const Buffers &buffers);
