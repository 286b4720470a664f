// Variables from files (-f FILE): the files named, read whole and parsed into
// NAME=VALUE pairs, their values expanded, that the environment index takes
// after the environment's own entries.
#pragma once

#include <cstddef>
#include <unistd.h>

#include "run.hpp"

struct FileVariable;

// Names a file to read; env_files_load reads them all, in this order.
void env_file_add(const char *path);

// Reads and parses every file named, in order, and expands their values
// where they hold a "$", by the rules of -s: a value sees the environment,
// then what the lines above it and earlier files set; -u and -e (in rules)
// report in values too, naming the file and line; -r without them evaluates
// nothing, and keeps values as they stand. A file that cannot be
// read, "-" or the file that template_in reads (the template: standard
// input, or -i's FILE), or one that breaks the format is reported on standard
// error ("fillvars: FILE:LINE: NAME: what is wrong", never a byte of a value)
// and the load stops. Returns false on such a fault or when a value made a
// report: the run is to end with status 1 before any input is read. The
// environment must not change between the load and the runs.
bool env_files_load(Rules rules = {}, int template_in = STDIN_FILENO);

// The variables that the files set, each name once (count of them), as the
// indexes of the runs take them.
const FileVariable *env_files_variables(size_t *count);

// Frees the files and forgets them.
void env_files_release();
