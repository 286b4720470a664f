// The shell's pattern notation ("*", "?", brackets, backslash), matched
// against bytes as bytes, in time proportional to the text times the pattern.
#pragma once

#include <cstddef>

// A pattern read into steps, for any number of matches.
struct Pattern;

// Reads text (length bytes) as a pattern: "*", "?", "[...]" with ranges, "!"
// or "^" for the complement, a "]" first as a member and the POSIX classes; a
// backslash makes the next byte literal (a last one is itself); a "[" that
// does not close is literal. Never fails; pattern_free gives it back.
Pattern *pattern_read(const char *text, size_t length);
void pattern_free(Pattern *pattern);

// Whether pattern matches the empty string only (it has no steps).
bool pattern_empty(const Pattern *pattern);

// The length of the shortest (longest) prefix of s that pattern matches, or
// -1 where none does.
long pattern_prefix(const Pattern *pattern, const char *s, size_t n, bool longest);

// The same for suffixes: the length of the shortest (longest) one, or -1.
long pattern_suffix(const Pattern *pattern, const char *s, size_t n, bool longest);

// Where the first longest match of pattern in s starts, at or after from, with
// its length in *length; -1 where there is none.
long pattern_find(const Pattern *pattern, const char *s, size_t n, size_t from, size_t *length);
