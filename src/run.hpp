// What a run asked: the options' rules and what follows from them, in one
// struct that whoever starts a run builds (the template's, or a -f value's).
#pragma once

#include "escape.hpp"

struct Output;

// What the options ask of each reference. All false is the plain rule.
struct Rules {
    bool nounset;        // -u: report each allowed reference to an unset variable
    bool noempty;        // -e: report each allowed reference to an empty variable
    bool keep;           // -k: write an allowed reference to an unset variable as it stands
    bool braced;         // -b: replace only references that open with "${"
    bool shell;          // -s: read references by the shell's rules, with its forms
    bool references;     // -r: write the names of the references considered, not the text
    EscapeFormat escape; // -E: how each value is written (none: as it stands)
    bool characters;     // a UTF-8 locale: the value forms (-s, -f's values) work on characters
};

struct RunAsked {
    Rules rules;
    // Whether a reference to a name the index does not hold may become more
    // than nothing: a name getenv may still find, a report (-u) or its text (-k).
    bool unindexed_matter;
    // Operands or -p limit the names replaced: the template's, never a -f value's.
    bool names_limit;
    // A limit is in force (operands, -p or -b), or -k keeps what is unset:
    // under -s a "$$" then escapes only what the run replaces.
    bool limited;
    // Whether the table may hold a name without a value: a listed name that
    // is not set (or, while -f files load, one put in before its value).
    bool unvalued_slots;
    // -r with -u or -e: the listing also checks as a run without -r would.
    bool checking;
    // Whether values are escaped as they are written (-E, but not under -r).
    bool escaping_values;
    // The walk, for the forms below it: a form's word is expanded into out
    // by the run's walk, and a reference in it ends where the walk reads it to.
    void (*expand)(Output *out, const char *p, const char *end);
    const char *(*reference_end)(const char *dollar, const char *end);
};

// What the run going on asked, all zero between runs: set whole by whoever
// starts one (the template's run, a -f value's expansion), for its length.
// Runs do not nest: the -f values are expanded before the template is read.
[[gnu::visibility("hidden")]] extern RunAsked run_asked;
