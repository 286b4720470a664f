// Escaping of values for the file they land in (-E): JSON strings, XML text
// and attributes, URL components and single-quoted shell strings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "io.hpp"

enum class EscapeFormat : unsigned char { none, json, xml, url, sh };

// The format that name names ("json", "xml", "url", "sh"); false for any other.
bool escape_format_parse(const char *name, EscapeFormat *format);

// The run's format: every value written from now on is escaped by it.
void escape_start(EscapeFormat format);

// Writes a value to out, escaped by the run's format (as it stands without
// one). Every site that writes bytes of a value, or bytes derived from one,
// writes them through here. Returns false when the value held bytes that the
// format cannot hold (XML's forbidden controls, bytes that are not UTF-8,
// U+FFFE and U+FFFF), which were left out: the caller reports it.
bool write_value(Output *out, const char *data, size_t length);

// The words of the "=", ":=" and "?" forms are expanded into memory before
// they are used whole: there each value goes in as it stands and its place
// is noted, so that the word can be stored as it stands and written with
// only its values escaped.
struct ValueSpans {
    const Output *word; // the Output whose values are noted
    bool written;       // whether its values will be written, and so checked
    size_t *at;         // offset and length of each value, in pairs
    size_t count;       // pairs
    size_t room;
};

// Notes the values written to word from now on; returns what was noted
// before, for values_noted_end. A word that will be written (written) has
// its values checked as they go in, so that a value that the format cannot
// hold is reported at its reference; one only matched or reported, not.
ValueSpans values_noted_begin(const Output *word, bool written);

// Ends the noting that values_noted_begin started: returns its spans (to be
// given to value_spans_free) and notes again what was noted before.
ValueSpans values_noted_end(ValueSpans before);

// Writes text (a word expanded into memory) to out, the noted values in it
// through write_value.
void write_noted(Output *out, const char *text, size_t length, const ValueSpans &spans);

void value_spans_free(ValueSpans *spans);

// Whether each value of the run is written as it stands, noted the first
// time that the value is written: a value's bytes never change while a run
// lasts (the index's, the -f files' and the copies that assignments make are
// freed at its end), so its address and length tell it. A slot is taken by
// the low bits of the address, which differ for values that lie close.
struct PlainNote {
    const char *value;
    size_t length; // and whether it is plain, in the lowest bit
};

constexpr size_t PLAIN_NOTES = 1024;

[[gnu::visibility("hidden")]] extern PlainNote plain_notes[PLAIN_NOTES];

// Looks at the value's bytes and notes what it found in note.
bool value_is_plain_noting(const char *data, size_t length, PlainNote *note);

// Whether the value at data is written as it stands by the run's format.
[[gnu::always_inline]] inline bool value_is_plain(const char *data, size_t length) {
    PlainNote *note = &plain_notes[reinterpret_cast<uintptr_t>(data) & (PLAIN_NOTES - 1)];
    if (note->value == data && note->length >> 1 == length)
        return note->length & 1;
    return value_is_plain_noting(data, length, note);
}

// write_value at a Place for a value of the index (COPY_PAST readable bytes
// after it): one that needs no escaping goes as place_write_padded takes it.
[[gnu::always_inline]] inline bool place_write_value(Place *at, const char *data, size_t length) {
    if (value_is_plain(data, length)) {
        place_write_padded(at, data, length);
        return true;
    }
    bool held = write_value(place_out(at), data, length);
    place_back(at);
    return held;
}
