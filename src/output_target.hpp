// What -o FILE names, found out before any input is read: a descriptor to
// write in place, or the file to replace, with every reason that it cannot
// or may not be replaced reported in words a user can act on.
#pragma once

#include <cstddef>
#include <sys/stat.h>

struct OutputTarget {
    int fd;          // >= 0: FILE is written through this descriptor, not replaced
    char *path;      // otherwise the file to replace: FILE with its links followed
    size_t folder;   // how much of path is its folder, with the last '/'
    int folder_fd;   // that folder, held open: every later step goes through it
    bool syncable;   // whether folder_fd may be synced (one that cannot be read is not)
    bool existed;    // whether path exists
    struct stat old; // the file at path, when it exists
};

// Checks FILE and ends the run with a message if it cannot or may not be
// written: the target is then never touched.
OutputTarget output_target(const char *file);

// Ends the run with status 1 and "fillvars: FILE: WORDS", where WORDS is
// words, then folder escaped as FILE is, then more, then ": " and the
// system's text for error unless it is 0. Null pieces are left out; with
// none at all, the message is "fillvars: FILE: ERROR".
[[noreturn]] void fail_output(const char *file, const char *words, const char *folder = nullptr,
                              const char *more = nullptr, int error = 0);

// The first length bytes of text as a string of their own, ending the run
// with "malloc" where there is no memory. Free it with std::free.
char *copy_of(const char *text, size_t length);

// path's folder as a name of its own: "." for none, "/" for the root. Free it
// with std::free.
char *folder_name(const char *path, size_t folder);

// fd, or a copy of it above 2 if it is 0, 1 or 2 (closed then): with one of
// them closed, a file opened here would take its place, and a closed input
// would read as an empty one. -1 stays -1.
int above_standard(int fd);
