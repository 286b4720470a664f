// Reports of -u, -e and the "?" forms: gathered in a buffer with the line of
// each reference, escaped, and written before the output that follows them.
#include "reports.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "io.hpp"
#include "scan.hpp"

// Reports (-u, -e, the "?" forms of -s) name the line of their "$". Lines
// are counted only when reports can arise, lazily: up to the "$" of a
// report, and up to where the walk leaves a block.
struct Reports {
    bool counting; // whether reports can arise: -u, -e or -s
    uint64_t line; // 1 + the line feeds before counted
    const char *counted;
    uint64_t count;
};

static Reports reports = {};

// Reports are gathered and written with the output before each read, so a
// template full of unset names costs one write a block, not one a name.
static char report_buffer[64 * 1024];
static size_t report_length = 0;

void reports_start(bool counting) {
    reports = {counting, 1, nullptr, 0};
}

void reports_at(const char *start) {
    reports.counted = start;
}

uint64_t reports_count() {
    return reports.count;
}

// A form's word is walked before the form is reported, so a report may come
// from before where the count is: on the same line, as a form holds no line feed.
void count_lines_to(const char *p) {
    if (!reports.counting || p <= reports.counted)
        return;
    reports.line += count_feeds(reports.counted, p);
    reports.counted = p;
}

// Standard error may be a non-blocking pipe too. A report that cannot be
// written at all is lost, but the status still says that there was one.
void reports_flush() {
    write_waiting(STDERR_FILENO, report_buffer, report_length);
    report_length = 0;
}

// Room for n more bytes of a report; a report of any length goes out in pieces.
static char *report_room(size_t n) {
    if (sizeof report_buffer - report_length < n)
        reports_flush();
    return report_buffer + report_length;
}

void report_text(const char *text, size_t length) {
    std::memcpy(report_room(length), text, length);
    report_length += length;
}

// Names and words come from the input: escaped (escape_text), so that they
// cannot act on a terminal. A long text goes in pieces, each cut before a
// byte that continues a UTF-8 sequence: the cut never splits a character,
// which each piece would then escape as bytes of no sequence.
void report_escaped(const char *text, size_t length) {
    while (length > 0) {
        size_t n = std::min<size_t>(length, 1024);
        for (size_t back = 0; n < length && back < 3 && n > 1 &&
                              (static_cast<unsigned char>(text[n]) & 0xc0) == 0x80;
             back++)
            n--;
        char *m = report_room(ESCAPE_GROWTH * n);
        report_length = static_cast<size_t>(escape_text(m, text, n) - report_buffer);
        text += n;
        length -= n;
    }
}

// The -f file whose value the reports come from, and its line.
static const char *file_path = nullptr;
static uint64_t file_line = 0;

void reports_in_file(const char *path, uint64_t line) {
    file_path = path;
    file_line = line;
}

void report_begin(const char *dollar, const char *name, size_t length) {
    reports.count++;
    if (file_path != nullptr) {
        report_text("fillvars: ", 10);
        report_escaped(file_path, std::strlen(file_path));
        char *m = report_room(32);
        report_length += static_cast<size_t>(
            std::snprintf(m, 32, ":%llu: \"", static_cast<unsigned long long>(file_line)));
    } else {
        count_lines_to(dollar);
        char *m = report_room(64);
        report_length += static_cast<size_t>(std::snprintf(
            m, 64, "fillvars: line %llu: \"", static_cast<unsigned long long>(reports.line)));
    }
    report_escaped(name, length);
    report_text("\"", 1);
}

void report_name(const char *dollar, const char *name, size_t length, const char *what) {
    report_begin(dollar, name, length);
    report_text(what, std::strlen(what));
}
