// Variables from files (-f FILE): the files named, read whole and parsed into
// NAME=VALUE pairs that the environment index takes after the environment's
// own entries.
#pragma once

#include <cstddef>

#include "name_table.hpp"

// Names a file to read; env_files_load reads them all, in this order.
void env_file_add(const char *path);

// Reads and parses every file named. A file that cannot be read, "-" (standard
// input holds the text), or one that breaks the format is reported on standard
// error ("fillvars: FILE:LINE: "TEXT": what is wrong") and the load stops:
// returns false, and the run is to end with status 1 before any input is read.
bool env_files_load();

// How many variables the files hold, repeats included.
size_t env_files_count();

// Puts every variable of the files into table, as name_table_put does: a name
// already there (the environment's own) keeps its value, and of the files' a
// later line, in a later file, wins over an earlier one. Returns whether a
// value that went in holds "=".
bool env_files_index(NameTable *table);

// Frees the files and forgets them.
void env_files_release();
