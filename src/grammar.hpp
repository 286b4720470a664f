// The two grammars of a reference, side by side: the plain rule (read_plain)
// and the shell's (read_shell, -s), each reading the bytes at a "$" into the
// same Reference for the one decision to take.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "names.hpp"
#include "scan.hpp"

// A reference's name is decided by at most "${" and NAME_LIMIT bytes, so no
// more than this is ever carried from one block to the next.
constexpr size_t NAME_WINDOW = 2 + NAME_LIMIT;

// What a grammar found at a "$". The plain rule finds only variables.
enum class Kind : uint8_t {
    variable, // $NAME, ${NAME}
    form,     // ${NAME OP WORD}, -s only
    dollar,   // written as one "$": "$$", or a "$" that starts nothing (-s only)
    text,     // written as it stands from name to end: "$$" under a limit (read_escape)
};

// A reference as a grammar reads it, from its "$" to end.
struct Reference {
    const char *name;
    size_t name_length; // at most NAME_LIMIT: a longer name is cut
    const char *end;    // one past its last byte
    bool braced;        // it opened with "${"
    Kind kind;
    char op;          // a form's operator: '-', '=', '+' or '?'
    bool colon;       // ":" before it: an empty variable counts as unset
    const char *word; // a form's word, up to its closing "}" at end - 1
};

// Reads the reference at dollar: it runs to the first byte of stops, and
// takes a "}" there only when it opened with "${". Its name is the one that
// extract_name gives an operand, found by the scan that finds the end, or by
// the window where the walk has one. Returns false when the end of the data
// cut it and more input may follow.
[[gnu::always_inline]] inline static bool read_plain(const Window *window, const char *dollar,
                                                     const char *end, bool at_end, Reference *ref) {
    ref->braced = dollar[1] == '{';
    ref->name = dollar + 1 + ref->braced;
    // Found from just after the "$": a "{" is no stop, and the search need
    // not wait for the test of it.
    bool brace_there;
    const char *stop = window != nullptr ? window_find_plain_end(window, dollar + 1, &brace_there)
                                         : find_plain_end(dollar + 1, &brace_there);
    ref->name_length = std::min<size_t>(static_cast<size_t>(stop - ref->name), NAME_LIMIT);
    ref->kind = Kind::variable;
    if (stop == end && !at_end)
        return false;
    ref->end = stop + (brace_there && ref->braced);
    return true;
}

// A braced reference or form, "}" included, is whole within this many bytes
// of its "$", so a carried window always holds one.
constexpr size_t FORM_LIMIT = 4096;

static inline bool read_dollar(const char *dollar, size_t length, Reference *ref) {
    ref->kind = Kind::dollar;
    ref->end = dollar + length;
    return true;
}

// What a "$$" under a limit is, found by the decision (which knows what the
// run replaces): the text up to end, from the second "$" (escape) or the
// first. Small enough to come back in registers: a Reference whose address
// went to a call would be kept in memory by the walk.
struct Escape {
    const char *end;
    bool escape;
    bool braced; // of the reference after the "$$"
    bool whole;  // as read_shell returns
};

// Reads what follows a "$$" where a limit is in force (dollar at the first "$").
using EscapeReader = Escape (*)(const char *dollar, const char *end, bool at_end);

// Reads the reference at dollar by the shell's rules (-s): "$$" is one "$";
// $NAME runs to the end of the name; ${NAME} and the forms ${NAME OP WORD}
// close within FORM_LIMIT bytes on their line, the first "}" that closes no
// "${" of the word closing a form. Anything else leaves the "$" as text.
// Where a limit is in force, the walks with the options' tests
// (with_options) hand a "$$" to read_escape instead, when it is not null.
// Needs a byte that ends a name at or before end. Returns false when end cut
// it and more input may follow.
template <bool with_options>
[[gnu::always_inline]] inline static bool read_shell(const Window *window, const char *dollar,
                                                     const char *end, bool at_end,
                                                     EscapeReader read_escape, Reference *ref) {
    // The byte at end, a NUL or a word's "}", is neither "$" nor "{" and
    // starts no name: the end of the data is tested only where nothing starts.
    const char *p = dollar + 1;
    if (*p == '$') {
        if (with_options && read_escape != nullptr) {
            Escape escape = read_escape(dollar, end, at_end);
            ref->kind = Kind::text;
            ref->name = dollar + escape.escape;
            ref->end = escape.end;
            // Cut with its name decided only when bare: what is left of it is copied.
            ref->braced = escape.braced;
            return escape.whole;
        }
        return read_dollar(dollar, 2, ref);
    }
    // A name, bare or after "{": found by one scan for both.
    bool braced = *p == '{';
    const char *name = p + braced;
    ref->braced = braced;
    if (!starts_shell_name(*name)) {
        // What starts no name: a "$" unless the data ends after "$" or "${".
        if (name == end)
            return at_end && read_dollar(dollar, 1, ref);
        return read_dollar(dollar, 1, ref);
    }
    const char *q = window != nullptr ? window_find_shell_end(window, name) : find_shell_end(name);
    ref->kind = Kind::variable;
    ref->name = name;
    if (!braced) {
        ref->name_length = std::min<size_t>(static_cast<size_t>(q - name), NAME_LIMIT);
        ref->end = q;
        return q < end || at_end;
    }
    // The name ran to the first byte that ends it: there is one at or
    // before end. Then, where the bytes at hand run out: the end of the data,
    // or the limit past which the closing "}" could not be.
    ref->name_length = static_cast<size_t>(q - name);
    // A "}" at end closes the word being walked; a block's walk, the one
    // with a window, has a NUL there.
    if (*q == '}' && (window != nullptr || q < end) &&
        static_cast<size_t>(q - dollar) < FORM_LIMIT) {
        // ${NAME}, the common case.
        ref->end = q + 1;
        return true;
    }
    const char *limit = static_cast<size_t>(end - dollar) > FORM_LIMIT ? dollar + FORM_LIMIT : end;
    // With FORM_LIMIT bytes at hand the "}" would be among them: nothing is
    // cut. read_escape relies on it, as its "$" is one byte into NAME_WINDOW.
    bool cut = static_cast<size_t>(end - dollar) < FORM_LIMIT && !at_end;
    if (q >= limit)
        return !cut && read_dollar(dollar, 1, ref);
    ref->colon = *q == ':';
    q += ref->colon;
    if (q == limit)
        return !cut && read_dollar(dollar, 1, ref);
    if (*q != '-' && *q != '=' && *q != '+' && *q != '?')
        return read_dollar(dollar, 1, ref);
    ref->op = *q;
    ref->word = ++q;
    size_t open = 0;
    for (; q < limit; q++) {
        if (*q == '\n' || *q == '\0')
            return read_dollar(dollar, 1, ref);
        if (*q == '$' && q + 1 < limit && q[1] == '{') {
            open++;
            q++;
        } else if (*q == '}') {
            if (open == 0) {
                ref->kind = Kind::form;
                ref->end = q + 1;
                return true;
            }
            open--;
        }
    }
    return !cut && read_dollar(dollar, 1, ref);
}
