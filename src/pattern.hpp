// The shell's pattern notation ("*", "?", brackets, backslash), matched
// against bytes, or against UTF-8 characters where asked, in time
// proportional to the text times the pattern's words of 64 items.
#pragma once

#include <cstddef>

// A pattern read into items, for any number of matches.
struct Pattern;

// Reads text (length bytes) as a pattern: "*", "?", "[...]" with ranges, "!"
// or "^" for the complement, a "]" first as a member and the POSIX classes; a
// backslash makes the next byte (character) literal (a last one is itself);
// a "[" that does not close is literal. With characters (the locale is
// UTF-8), "?", "*" and brackets take characters: ranges by code point,
// classes by the locale's own; where the pattern or a value holds a byte of
// no valid UTF-8 character, that match is byte by byte, the whole of it.
// Never fails but for memory, which ends the run; pattern_free gives it back.
Pattern *pattern_read(const char *text, size_t length, bool characters);
void pattern_free(Pattern *pattern);

// Whether pattern matches the empty string only (it has no items).
bool pattern_empty(const Pattern *pattern);

// The length of the shortest (longest) prefix of s that pattern matches, or
// -1 where none does.
long pattern_prefix(Pattern *pattern, const char *s, size_t n, bool longest);

// The same for suffixes: the length of the shortest (longest) one, or -1.
long pattern_suffix(Pattern *pattern, const char *s, size_t n, bool longest);

// Where the first longest match of pattern in s starts, at or after from, with
// its length in *length; -1 where there is none. A search from 0 finds where
// every match starts in one pass, which the calls after it on the same s and
// n share: replacing each match costs one pass over s, not one a match.
long pattern_find(Pattern *pattern, const char *s, size_t n, size_t from, size_t *length);

// Whether pattern matches the whole of s (for a case form, the bytes of one
// character).
bool pattern_whole(Pattern *pattern, const char *s, size_t n);
