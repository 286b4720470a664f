// The forms of -s: those of a word by whether the variable is set (a
// default, an assignment, a report), and those that make something of its
// value (its length, a prefix or suffix off, a substring, a replacement, its
// case).
#include "forms.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "environment.hpp"
#include "escape.hpp"
#include "pattern.hpp"
#include "reports.hpp"
#include "run.hpp"
#include "utf8.hpp"

// A memory output: data..next, grown as written.
static Output memory() {
    return {-1, nullptr, nullptr, nullptr};
}

static size_t held(const Output &out) {
    return static_cast<size_t>(out.next - out.data);
}

// The form being written: its value's format and where it is, and whether
// bytes of its value that the format cannot hold were left out
// (emit_value_form reports it once a form).
static struct {
    EscapeFormat format;
    const char *dollar, *name;
    size_t name_length;
    bool unheld;
} form = {};

// What a form makes of its value goes out as a value: through write_value,
// escaped by its variable's format.
static void write_derived(Output *out, const char *data, size_t length) {
    if (!write_value(out, form.format, data, length, form.dollar, form.name, form.name_length))
        form.unheld = true;
}

// A word expanded into memory with its values as they stand, their places
// noted (escape.hpp): a pattern matches values, not their escapes, and a
// replacement's STRING is written with only its values escaped.
static ValueSpans expand_noted(Output *out, const char *p, const char *end) {
    ValueSpans outer = values_noted_begin(out);
    run_asked.expand(out, p, end);
    return values_noted_end(outer);
}

// The word p..end as a pattern: its own bytes as they stand (a backslash and
// the byte after it go together, so "\$" is a "$"), and what its references
// give with each backslash doubled, so that a value's "*", "?" and "[" act
// and its backslashes are bytes.
static Output expand_pattern_text(const char *p, const char *end) {
    Output text = memory();
    while (p < end) {
        if (*p == '\\' && p + 1 < end) {
            output_write(&text, p, 2);
            p += 2;
        } else if (*p == '$') {
            const char *after = run_asked.reference_end(p, end);
            Output value = memory();
            ValueSpans spans = expand_noted(&value, p, after);
            value_spans_free(&spans);
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
    return text;
}

static Pattern *expand_pattern(const char *p, const char *end) {
    Output text = expand_pattern_text(p, end);
    Pattern *pattern = pattern_read(text.data, held(text), run_asked.rules.characters);
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
            p = std::max(p + 1, run_asked.reference_end(p, end));
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
    // A pattern that starts with "#" or "%" once its values are in is
    // anchored, as one written so.
    Output text = expand_pattern_text(ref.word, slash);
    char mode = ref.mode;
    size_t anchor = 0;
    if (mode == 0 && held(text) > 0 && (text.data[0] == '#' || text.data[0] == '%'))
        mode = text.data[anchor++];
    Pattern *pattern =
        pattern_read(text.data + anchor, held(text) - anchor, run_asked.rules.characters);
    std::free(text.data);
    Output string = memory();
    ValueSpans spans = {};
    if (slash < close)
        spans = expand_noted(&string, slash + 1, close);
    size_t done = 0;
    size_t length = 0;
    if (mode == '#') {
        long taken = pattern_prefix(pattern, value, n, true);
        if (taken >= 0) {
            write_noted(out, string.data, held(string), &spans);
            done = static_cast<size_t>(taken);
        }
    } else if (mode == '%') {
        long taken = pattern_suffix(pattern, value, n, true);
        if (taken >= 0) {
            write_derived(out, value, n - static_cast<size_t>(taken));
            write_noted(out, string.data, held(string), &spans);
            done = n;
        }
    } else if (!pattern_empty(pattern)) {
        // The first match, or each: a match may be empty only where the value is.
        do {
            long at = pattern_find(pattern, value, n, done, &length);
            if (at < 0)
                break;
            write_derived(out, value + done, static_cast<size_t>(at) - done);
            write_noted(out, string.data, held(string), &spans);
            done = static_cast<size_t>(at) + length;
        } while (mode == '/' && done < n && length > 0);
    }
    write_derived(out, value + done, n - done);
    std::free(string.data);
    value_spans_free(&spans);
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
        write_derived(out, value + off, n - off);
    } else {
        long taken = pattern_suffix(pattern, value, n, longest);
        write_derived(out, value, n - (taken < 0 ? 0 : static_cast<size_t>(taken)));
    }
    pattern_free(pattern);
}

// The bytes of the character at p, of the n > 0 bytes left: one where the
// run's characters are bytes, or where p starts no UTF-8 character.
static size_t character_at(const char *p, size_t n, bool characters) {
    uint32_t code;
    size_t k = characters ? utf8_decode(reinterpret_cast<const unsigned char *>(p), n, &code) : 1;
    return k == 0 ? 1 : k;
}

// Where the character count characters into s (n bytes) starts.
static size_t skip_characters(const char *s, size_t n, size_t count, bool characters) {
    if (!characters)
        return std::min(n, count);
    size_t at = 0;
    for (; count > 0 && at < n; count--)
        at += character_at(s + at, n - at, true);
    return at;
}

static size_t count_characters(const char *s, size_t n, bool characters) {
    if (!characters)
        return n;
    size_t count = 0;
    for (size_t at = 0; at < n; count++)
        at += character_at(s + at, n - at, true);
    return count;
}

// ${NAME:OFFSET} and ${NAME:OFFSET:LENGTH}, by characters; a negative OFFSET
// counts from the end, a negative LENGTH ends that many characters before it.
static void emit_substring(Output *out, const char *dollar, const Reference &ref, const char *value,
                           size_t n, bool characters) {
    long long offset = 0, length = 0;
    bool has_length = false;
    read_substring(ref.word, ref.end - 1, &offset, &has_length, &length);
    long long size = static_cast<long long>(count_characters(value, n, characters));
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
    size_t start = skip_characters(value, n, static_cast<size_t>(from), characters);
    size_t stop = start + skip_characters(value + start, n - start, static_cast<size_t>(to - from),
                                          characters);
    write_derived(out, value + start, stop - start);
}

// The character of k bytes at p in the other case, into to (room for 4
// bytes); returns its length. ASCII letters only where characters are
// bytes, as in the C locale; otherwise by towupper and towlower, where a
// byte that starts no character keeps its case.
static size_t change_case(const char *p, size_t k, bool upper, bool characters, char *to) {
    uint32_t code = static_cast<unsigned char>(p[0]);
    if (characters && code >= 0x80 &&
        utf8_decode(reinterpret_cast<const unsigned char *>(p), k, &code) == 0) {
        to[0] = p[0];
        return 1;
    }
    if (!characters || code < 0x80) {
        char c = p[0];
        if (upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (!upper && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        to[0] = c;
        return 1;
    }
    wint_t changed =
        upper ? std::towupper(static_cast<wint_t>(code)) : std::towlower(static_cast<wint_t>(code));
    return utf8_encode(static_cast<uint32_t>(changed), to);
}

// ${NAME^}, ${NAME^^}, ${NAME,}, ${NAME,,}, and with a PATTERN: the first
// character, or each, in the other case, where it matches PATTERN whole (a
// PATTERN that expands to nothing matches every character).
static void emit_case(Output *out, const Reference &ref, const char *value, size_t n,
                      bool characters) {
    bool upper = ref.op == '^';
    Pattern *pattern = nullptr;
    if (ref.word < ref.end - 1) {
        pattern = expand_pattern(ref.word, ref.end - 1);
        if (pattern_empty(pattern)) {
            pattern_free(pattern);
            pattern = nullptr;
        }
    }
    char piece[256];
    size_t used = 0;
    size_t done = 0;
    while (done < n && (ref.mode != 0 || done == 0)) {
        size_t k = character_at(value + done, n - done, characters);
        if (used + 4 > sizeof piece) {
            write_derived(out, piece, used);
            used = 0;
        }
        if (pattern != nullptr && !pattern_whole(pattern, value + done, k)) {
            std::memcpy(piece + used, value + done, k);
            used += k;
        } else {
            used += change_case(value + done, k, upper, characters, piece + used);
        }
        done += k;
    }
    write_derived(out, piece, used);
    write_derived(out, value + done, n - done);
    pattern_free(pattern);
}

// What emit_value_form writes for a set variable.
static void emit_of_value(Output *out, const char *dollar, const Reference &ref, const char *value,
                          size_t length, bool characters) {
    switch (ref.op) {
    case 'n': {
        char digits[64];
        int k = std::snprintf(digits, sizeof digits, "%zu",
                              count_characters(value, length, characters));
        write_derived(out, digits, static_cast<size_t>(k));
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
        emit_substring(out, dollar, ref, value, length, characters);
        break;
    default:
        emit_case(out, ref, value, length, characters);
        break;
    }
}

void emit_value_form(Output *out, const char *dollar, const Reference &ref, const char *value,
                     size_t length, bool nounset, bool noempty, bool keep) {
    const size_t whole = static_cast<size_t>(ref.end - dollar);
    if (ref.op == '@') {
        // In a -f file the form is a piece of a value: the report names the
        // variable being defined instead.
        const char what[] = ": not a form fillvars reads\n";
        if (reports_from_file()) {
            report_name(dollar, ref.name, ref.name_length, what);
        } else {
            report_begin(dollar, dollar, whole);
            report_text(what, sizeof what - 1);
        }
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
    // A form in the words of this one reports for itself.
    auto outer = form;
    form = {escape_format_of(ref.name, ref.name_length), dollar, ref.name, ref.name_length, false};
    emit_of_value(out, dollar, ref, value, length, run_asked.rules.characters);
    if (form.unheld)
        escape_report(dollar, ref.name, ref.name_length, form.format);
    form = outer;
}

// The value of the reference at dollar to name, through write_value, in its
// name's format.
void emit_value(Output *out, const char *dollar, const char *name, size_t length, const char *value,
                size_t value_length) {
    EscapeFormat format = escape_format_of(name, length);
    if (!write_value(out, format, value, value_length, dollar, name, length))
        escape_report(dollar, name, length, format);
}

// A form's word, expanded by the run's walk into out.
static void expand_word(Output *out, const Reference &ref) {
    run_asked.expand(out, ref.word, ref.end - 1);
}

// What a form gives, by whether its variable is set and empty: its value,
// its word expanded, or nothing; ":=" and "=" also assign the word, and
// ":?" and "?" report it instead of writing it. The word's own reports come
// before the form's.
[[gnu::noinline]] void emit_form(Output *out, const char *dollar, Reference ref,
                                 const NameSlot *slot) {
    bool set = slot != nullptr && slot->value != nullptr;
    if (ref.op != '-' && ref.op != '=' && ref.op != '+' && ref.op != '?') {
        emit_value_form(out, dollar, ref, set ? slot->value : nullptr, set ? slot->value_length : 0,
                        run_asked.rules.nounset, run_asked.rules.noempty, run_asked.rules.keep);
        return;
    }
    bool empty = set && slot->value_length == 0;
    bool use_word = ref.op == '+' ? set && !(ref.colon && empty) : !set || (ref.colon && empty);
    if (!use_word) {
        if (set && ref.op != '+')
            emit_value(out, dollar, ref.name, ref.name_length, slot->value, slot->value_length);
        return;
    }
    if (ref.op == '-' || ref.op == '+') {
        expand_word(out, ref);
        return;
    }
    // The word is needed whole: expanded into memory first. Under -E its
    // values go in as they stand, their places noted: it is stored and
    // reported as it stands, and written with its values escaped.
    Output word = {-1, nullptr, nullptr, nullptr};
    ValueSpans outer = {};
    if (run_asked.escaping_values)
        outer = values_noted_begin(&word);
    expand_word(&word, ref);
    ValueSpans spans = {};
    if (run_asked.escaping_values)
        spans = values_noted_end(outer);
    size_t length = static_cast<size_t>(word.next - word.data);
    if (ref.op == '=') {
        write_noted(out, word.data, length, &spans);
        environment_assign(ref.name, ref.name_length, word.data, length);
    } else if (length == 0) {
        report_name(dollar, ref.name, ref.name_length, set ? " is empty\n" : " is not set\n");
    } else {
        report_begin(dollar, ref.name, ref.name_length);
        report_text(": ", 2);
        report_escaped(word.data, length);
        report_text("\n", 1);
    }
    std::free(word.data);
    value_spans_free(&spans);
}
