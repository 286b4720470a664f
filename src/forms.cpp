// The forms of -s that make something of a variable's value: its length, a
// prefix or suffix off by a pattern, a substring, a replacement, its case.
#include "forms.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "pattern.hpp"
#include "reports.hpp"

// A memory output: data..next, grown as written.
static Output memory() {
    return {-1, nullptr, nullptr, nullptr};
}

static size_t held(const Output &out) {
    return static_cast<size_t>(out.next - out.data);
}

// The word p..end as a pattern: its own bytes as they stand (a backslash and
// the byte after it go together, so "\$" is a "$"), and what its references
// give with each backslash doubled, so that a value's "*", "?" and "[" act
// and its backslashes are bytes.
static Pattern *expand_pattern(const char *p, const char *end) {
    Output text = memory();
    while (p < end) {
        if (*p == '\\' && p + 1 < end) {
            output_write(&text, p, 2);
            p += 2;
        } else if (*p == '$') {
            const char *after = reference_end(p, end);
            Output value = memory();
            expand_text(&value, p, after);
            for (const char *v = value.data; v < value.next; v++) {
                if (*v == '\\')
                    output_write(&text, "\\", 1);
                output_write(&text, v, 1);
            }
            std::free(value.data);
            p = after;
        } else {
            const char *q = p + 1;
            while (q < end && *q != '\\' && *q != '$')
                q++;
            output_write(&text, p, static_cast<size_t>(q - p));
            p = q;
        }
    }
    Pattern *pattern = pattern_read(text.data, held(text));
    std::free(text.data);
    return pattern;
}

// Where a replacement's PATTERN ends: the first "/" that no backslash
// escapes and no reference holds; end where there is none.
static const char *pattern_end(const char *p, const char *end) {
    while (p < end) {
        if (*p == '\\' && p + 1 < end)
            p += 2;
        else if (*p == '$')
            p = std::max(p + 1, reference_end(p, end));
        else if (*p == '/')
            return p;
        else
            p++;
    }
    return end;
}

// ${NAME/PATTERN/STRING} and its kinds (mode: '/', '#', '%' or 0).
static void emit_replacement(Output *out, const Reference &ref, const char *value, size_t n) {
    const char *close = ref.end - 1;
    // After "//" a "/" is the pattern's first byte, never the end of it.
    bool first = ref.mode == '/' && ref.word < close && *ref.word == '/';
    const char *slash = pattern_end(ref.word + first, close);
    Pattern *pattern = expand_pattern(ref.word, slash);
    Output string = memory();
    if (slash < close)
        expand_text(&string, slash + 1, close);
    size_t done = 0;
    size_t length = 0;
    if (ref.mode == '#') {
        long taken = pattern_prefix(pattern, value, n, true);
        if (taken >= 0) {
            output_write(out, string.data, held(string));
            done = static_cast<size_t>(taken);
        }
    } else if (ref.mode == '%') {
        long taken = pattern_suffix(pattern, value, n, true);
        if (taken >= 0) {
            output_write(out, value, n - static_cast<size_t>(taken));
            output_write(out, string.data, held(string));
            done = n;
        }
    } else if (!pattern_empty(pattern)) {
        // The first match, or each: a match may be empty only where the value is.
        do {
            long at = pattern_find(pattern, value, n, done, &length);
            if (at < 0)
                break;
            output_write(out, value + done, static_cast<size_t>(at) - done);
            output_write(out, string.data, held(string));
            done = static_cast<size_t>(at) + length;
        } while (ref.mode == '/' && done < n && length > 0);
    }
    output_write(out, value + done, n - done);
    std::free(string.data);
    pattern_free(pattern);
}

// ${NAME#PATTERN} and its kin: the value without the shortest or longest
// prefix ('#') or suffix ('%') that PATTERN matches. Its word is expanded
// only for a value that is not empty, as the shell does.
static void emit_trimmed(Output *out, const Reference &ref, const char *value, size_t n) {
    if (n == 0)
        return;
    Pattern *pattern = expand_pattern(ref.word, ref.end - 1);
    bool longest = ref.mode != 0;
    if (ref.op == '#') {
        long taken = pattern_prefix(pattern, value, n, longest);
        size_t off = taken < 0 ? 0 : static_cast<size_t>(taken);
        output_write(out, value + off, n - off);
    } else {
        long taken = pattern_suffix(pattern, value, n, longest);
        output_write(out, value, n - (taken < 0 ? 0 : static_cast<size_t>(taken)));
    }
    pattern_free(pattern);
}

// ${NAME:OFFSET} and ${NAME:OFFSET:LENGTH}, by bytes; a negative OFFSET
// counts from the end, a negative LENGTH ends that many bytes before it.
static void emit_substring(Output *out, const char *dollar, const Reference &ref, const char *value,
                           size_t n) {
    long long offset = 0, length = 0;
    bool has_length = false;
    read_substring(ref.word, ref.end - 1, &offset, &has_length, &length);
    long long size = static_cast<long long>(n);
    long long from = offset < 0 ? size + offset : offset;
    if (from < 0 || from > size)
        return;
    long long to = size;
    if (has_length) {
        to = length >= 0 ? std::min(size, from + length) : size + length;
        if (to < from) {
            report_name(dollar, ref.name, ref.name_length, ": substring ends before it starts\n");
            return;
        }
    }
    output_write(out, value + from, static_cast<size_t>(to - from));
}

// ${NAME^}, ${NAME^^}, ${NAME,}, ${NAME,,}: ASCII letters only, as in the C locale.
static void emit_case(Output *out, const Reference &ref, const char *value, size_t n) {
    bool upper = ref.op == '^';
    size_t changed = ref.mode != 0 ? n : std::min<size_t>(n, 1);
    char piece[256];
    for (size_t done = 0; done < changed;) {
        size_t k = std::min(sizeof piece, changed - done);
        for (size_t i = 0; i < k; i++) {
            char c = value[done + i];
            if (upper && c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 'a' + 'A');
            else if (!upper && c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            piece[i] = c;
        }
        output_write(out, piece, k);
        done += k;
    }
    output_write(out, value + changed, n - changed);
}

void emit_value_form(Output *out, const char *dollar, const Reference &ref, const char *value,
                     size_t length, bool nounset, bool noempty, bool keep) {
    const size_t whole = static_cast<size_t>(ref.end - dollar);
    if (ref.op == '@') {
        report_begin(dollar, dollar, whole);
        const char what[] = ": not a form fillvars reads\n";
        report_text(what, sizeof what - 1);
        output_write(out, dollar, whole);
        return;
    }
    if (value == nullptr) {
        if (nounset)
            report_name(dollar, ref.name, ref.name_length, " is not set\n");
        if (keep)
            output_write(out, dollar, whole);
        else if (ref.op == 'n')
            output_write(out, "0", 1);
        return;
    }
    if (length == 0 && noempty)
        report_name(dollar, ref.name, ref.name_length, " is empty\n");
    switch (ref.op) {
    case 'n': {
        char digits[64];
        int k = std::snprintf(digits, sizeof digits, "%zu", length);
        output_write(out, digits, static_cast<size_t>(k));
        break;
    }
    case '#':
    case '%':
        emit_trimmed(out, ref, value, length);
        break;
    case '/':
        emit_replacement(out, ref, value, length);
        break;
    case ':':
        emit_substring(out, dollar, ref, value, length);
        break;
    default:
        emit_case(out, ref, value, length);
        break;
    }
}
