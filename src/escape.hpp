// Escaping of values for the file they land in (-E): JSON strings, XML text
// and attributes, URL components and single-quoted shell strings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io.hpp"

enum class EscapeFormat : unsigned char { none, json, xml, url, sh };

// The format named by the length bytes at name ("json", "xml", "url", "sh",
// whole); false for any other.
bool escape_format_parse(const char *name, size_t length, EscapeFormat *format);

// -E FORMAT:NAMES: the listed names' values are escaped by format. Returns
// false, having listed none of them, for the first name that a list before
// holds, which is then in *name (a NUL-ended copy, valid until the next call).
bool escape_names_add(EscapeFormat format, const char *names, const char **name);

// The run's formats: that of the names listed (with lists), and
// every_other for the rest; every value written from now on is escaped by
// its name's. Until then, and after escape_start(none, false), none.
void escape_start(EscapeFormat every_other, bool with_lists);

// Whether some name has a format, and whether one of them is a format that
// leaves bytes out (json, xml).
bool escape_given();
bool escape_may_leave_out();

// Forgets the lists and the formats.
void escape_release();

[[gnu::visibility("hidden")]] extern EscapeFormat escape_every_other;
[[gnu::visibility("hidden")]] extern bool escape_listed;

EscapeFormat escape_listed_format(const char *name, size_t length);

// The format of the values of the variable name.
[[gnu::always_inline]] inline EscapeFormat escape_format_of(const char *name, size_t length) {
    if (!escape_listed)
        return escape_every_other;
    return escape_listed_format(name, length);
}

// Writes a value to out, escaped by format (as it stands by none). Every
// site that writes bytes of a value, or bytes derived from one, writes them
// through here. Returns false when the value held bytes that the format
// cannot hold (JSON's: bytes that are not UTF-8; XML's: those and its
// forbidden controls, U+FFFE and U+FFFF), which were left out: the caller
// reports it (escape_report). Into a word that values_noted_begin notes, the
// value goes as it stands, noted with where it came from (dollar, name).
bool write_value(Output *out, EscapeFormat format, const char *data, size_t length,
                 const char *dollar, const char *name, size_t name_length);

// "fillvars: line N: "NAME": a value JSON cannot hold".
void escape_report(const char *dollar, const char *name, size_t length, EscapeFormat format);

// The words of the "=", ":=" and "?" forms are expanded into memory before
// they are used whole: there each value goes in as it stands and its place
// is noted, so that the word can be stored as it stands and written with
// only its values escaped.
struct ValueSpan {
    size_t at, length; // in the word
    const char *dollar, *name;
    size_t name_length;
    EscapeFormat format;
    bool reported; // whether write_noted reported it
};

struct ValueSpans {
    const Output *word; // the Output whose values are noted
    ValueSpan *spans;
    size_t count;
    size_t room;
};

// Notes the values written to word from now on; returns what was noted
// before, for values_noted_end.
ValueSpans values_noted_begin(const Output *word);

// Ends the noting that values_noted_begin started: returns its spans (to be
// given to value_spans_free) and notes again what was noted before.
ValueSpans values_noted_end(ValueSpans before);

// Writes text (a word expanded into memory) to out, the noted values in it
// through write_value. Only what is written is checked: a value that its
// format cannot hold is reported here, once a reference.
void write_noted(Output *out, const char *text, size_t length, ValueSpans *spans);

void value_spans_free(ValueSpans *spans);

// Whether each value of the run is written as it stands, noted the first
// time that the value is written: a value's bytes never change while a run
// lasts (the index's, the -f files' and the copies that assignments make are
// freed at its end), so its address and length tell it. A slot is taken by
// the low bits of the address, which differ for values that lie close.
struct PlainNote {
    const char *value;
    size_t key; // length << 4 | format << 1 | whether it is plain
};

constexpr size_t PLAIN_NOTES = 1024;

[[gnu::visibility("hidden")]] extern PlainNote plain_notes[PLAIN_NOTES];

// Looks at the value's bytes and notes what it found in note.
bool value_is_plain_noting(EscapeFormat format, const char *data, size_t length, PlainNote *note);

// Whether the value at data is written as it stands by format.
[[gnu::always_inline]] inline bool value_is_plain(EscapeFormat format, const char *data,
                                                  size_t length) {
    PlainNote *note = &plain_notes[reinterpret_cast<uintptr_t>(data) & (PLAIN_NOTES - 1)];
    if (note->value == data && note->key >> 1 == (length << 3 | static_cast<size_t>(format)))
        return note->key & 1;
    return value_is_plain_noting(format, data, length, note);
}

// write_value at a Place for a value of the index (COPY_PAST readable bytes
// after it): one that needs no escaping goes as place_write_padded takes it.
[[gnu::always_inline]] inline bool place_write_value(Place *at, EscapeFormat format,
                                                     const char *data, size_t length,
                                                     const char *dollar, const char *name,
                                                     size_t name_length) {
    if (value_is_plain(format, data, length)) {
        place_write_padded(at, data, length);
        return true;
    }
    bool held = write_value(place_out(at), format, data, length, dollar, name, name_length);
    place_back(at);
    return held;
}
