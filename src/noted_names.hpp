// The names that -r has listed: each kept once, its bytes in an arena, found
// again through a table of its own.
#pragma once

#include <cstddef>

#include "io.hpp"
#include "name_table.hpp"

// Notes name (length bytes, which may be the input's, that the next read
// overwrites): true when it is new, and is now kept; false when it was noted
// before. Ends the run with "malloc" when there is no memory.
bool noted_names_add(const char *name, size_t length);

// The most bytes that the names and the table held at once since the last
// release: the table's growth holds the old slots and the new together.
size_t noted_names_peak_bytes();

// Frees every name and the table, unless they are held.
void noted_names_release();

// While held, a release keeps every name: -r over a folder of templates lists
// each name once across them all. Letting go releases them.
void noted_names_hold(bool across);

// Writes name and a line feed to out, unless it was noted before. A name
// the environment's table holds (slot) is marked seen there too, so that
// its later references need no other lookup; one put in the table after it
// was noted (by an assignment) is still found noted. Inline: -r's walk calls
// it once a name, which a call would make 0.6 instructions a reference dearer.
inline void noted_names_write(Output *out, const NameSlot *slot, const char *name, size_t length) {
    if (slot != nullptr) {
        if (slot->seen)
            return;
        // The walk's lookups give const slots; the mark is only the listing's.
        const_cast<NameSlot *>(slot)->seen = true;
    }
    if (!noted_names_add(name, length))
        return;
    output_write(out, name, length);
    output_write(out, "\n", 1);
}
