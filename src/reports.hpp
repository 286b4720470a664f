// Reports of -u, -e and the "?" forms: "fillvars: line N: "NAME"..." on
// standard error, gathered with the line of each reference's "$".
#pragma once

#include <cstddef>
#include <cstdint>

// A new run's reports: none yet, line 1. Lines are counted only where
// reports can arise (counting: -u, -e or -s).
void reports_start(bool counting);

// The walk is at start, the first byte of a new block, whose line feeds are
// not counted yet; the carried bytes before it hold none.
void reports_at(const char *start);

// Counts the line feeds from where the count is up to p, in the same block.
void count_lines_to(const char *p);

// The template being read, which reports from it name ("fillvars:
// FILE:LINE: "NAME""); null: standard input, named by the line alone
// ("fillvars: line N: "NAME""). Kept until set again.
void reports_template(const char *path);

// Reports name line of path ("fillvars: FILE:LINE: "NAME""), where the
// value of a -f file that they come from starts, instead of the line of
// their "$"; a null path names lines again.
void reports_in_file(const char *path, uint64_t line);

// The variable whose -f value the reports come from: they name it, and no
// byte of the value ("fillvars: FILE:LINE: NAME: its value refers to...").
void reports_defining(const char *name, size_t length);

// Whether the reports come from a -f file's value: a report then shows no
// byte of the value but a name.
bool reports_from_file();

// "fillvars: line N: "NAME"" for the reference at dollar, and counts it;
// report_text and report_escaped add what follows it.
void report_begin(const char *dollar, const char *name, size_t length);

// A whole report: report_begin and the fixed text what (" is not set\n").
void report_name(const char *dollar, const char *name, size_t length, const char *what);

// Fixed texts of a report, all short.
void report_text(const char *text, size_t length);

// Text from the input, escaped (escape_text) so that it cannot act on a
// terminal; of any length.
void report_escaped(const char *text, size_t length);

// Writes the reports gathered so far to standard error.
void reports_flush();

// How many reports the run made.
uint64_t reports_count();
