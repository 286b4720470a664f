// Reports of -u, -e and the "?" forms: gathered in a buffer with the line of
// each reference, escaped, and written before the output that follows them.
#include "reports.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "io.hpp"
#include "scan.hpp"

#if FILLVARS_SSE2 && defined(__x86_64__)
#define FILLVARS_AVX2 1
#include <immintrin.h>
#else
#define FILLVARS_AVX2 0
#endif

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

#if FILLVARS_AVX2
// count_feeds 32 bytes a compare, where the CPU has AVX2: under -s lines are
// counted through all the text, which is most of what a run over text
// without "$" does, as a report in any later block names its line.
[[gnu::target("avx2")]] static uint64_t count_feeds_wide(const char *p, const char *end) {
    const __m256i feed = _mm256_set1_epi8('\n');
    const __m256i zero = _mm256_setzero_si256();
    uint64_t feeds = 0;
    while (end - p >= 128) {
        size_t steps = std::min<size_t>(63, static_cast<size_t>(end - p) / 128);
        __m256i sums = zero;
        for (size_t i = 0; i < steps; i++, p += 128) {
            const __m256i *v = reinterpret_cast<const __m256i *>(p);
            __m256i a = _mm256_cmpeq_epi8(_mm256_loadu_si256(v), feed);
            __m256i b = _mm256_cmpeq_epi8(_mm256_loadu_si256(v + 1), feed);
            __m256i c = _mm256_cmpeq_epi8(_mm256_loadu_si256(v + 2), feed);
            __m256i d = _mm256_cmpeq_epi8(_mm256_loadu_si256(v + 3), feed);
            // Each compare is 0 or -1 a byte: at most -4 a step, 63 steps.
            sums = _mm256_sub_epi8(sums,
                                   _mm256_add_epi8(_mm256_add_epi8(a, b), _mm256_add_epi8(c, d)));
        }
        __m256i wide = _mm256_sad_epu8(sums, zero);
        feeds += static_cast<uint64_t>(_mm256_extract_epi64(wide, 0)) +
                 static_cast<uint64_t>(_mm256_extract_epi64(wide, 1)) +
                 static_cast<uint64_t>(_mm256_extract_epi64(wide, 2)) +
                 static_cast<uint64_t>(_mm256_extract_epi64(wide, 3));
    }
    return feeds + count_feeds(p, end);
}

static const bool wide_feeds = __builtin_cpu_supports("avx2");
#endif

static uint64_t count_lines(const char *p, const char *end) {
#if FILLVARS_AVX2
    if (wide_feeds)
        return count_feeds_wide(p, end);
#endif
    return count_feeds(p, end);
}

// A form's word is walked before the form is reported, so a report may come
// from before where the count is: on the same line, as a form holds no line feed.
void count_lines_to(const char *p) {
    if (!reports.counting || p <= reports.counted)
        return;
    reports.line += count_lines(reports.counted, p);
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

// The template being read, when it is a named file.
static const char *template_path = nullptr;

void reports_template(const char *path) {
    template_path = path;
}

// The -f file whose value the reports come from, and its line.
static const char *file_path = nullptr;
static uint64_t file_line = 0;

void reports_in_file(const char *path, uint64_t line) {
    file_path = path;
    file_line = line;
}

// The variable whose value that is.
static const char *defined_name = nullptr;
static size_t defined_length = 0;

void reports_defining(const char *name, size_t length) {
    defined_name = name;
    defined_length = length;
}

// What a report from a -f value says in place of what the template's says
// after the name: the value's own words are never shown, and a "$" that was
// meant as text is the likely cause.
static const char *value_what(const char *what) {
    static const char *const pairs[][2] = {
        {" is not set\n", ": its value refers to a variable that is not set (a \"$\" meant as text "
                          "is written \"$$\", or the value quoted '...')\n"},
        {" is empty\n", ": its value refers to a variable that is empty (a \"$\" meant as text is "
                        "written \"$$\", or the value quoted '...')\n"},
        {": not a form fillvars reads\n",
         ": its value holds a form fillvars does not read (a \"$\" meant as text is written "
         "\"$$\", or the value quoted '...')\n"},
        {": substring ends before it starts\n",
         ": its value holds a substring that ends before it starts\n"},
    };
    for (const auto &pair : pairs) {
        if (std::strcmp(what, pair[0]) == 0)
            return pair[1];
    }
    return what;
}

bool reports_from_file() {
    return file_path != nullptr;
}

void report_begin(const char *dollar, const char *name, size_t length) {
    reports.count++;
    if (file_path != nullptr) {
        // "FILE:LINE: NAME", the variable being defined; what follows says
        // what is wrong, or is a "?" form's word.
        report_text("fillvars: ", 10);
        report_escaped(file_path, std::strlen(file_path));
        char *m = report_room(32);
        report_length += static_cast<size_t>(
            std::snprintf(m, 32, ":%llu: ", static_cast<unsigned long long>(file_line)));
        report_escaped(defined_name, defined_name != nullptr ? defined_length : 0);
        return;
    } else if (template_path != nullptr) {
        count_lines_to(dollar);
        report_text("fillvars: ", 10);
        report_escaped(template_path, std::strlen(template_path));
        char *m = report_room(32);
        report_length += static_cast<size_t>(
            std::snprintf(m, 32, ":%llu: \"", static_cast<unsigned long long>(reports.line)));
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
    if (file_path != nullptr)
        what = value_what(what);
    report_text(what, std::strlen(what));
}
