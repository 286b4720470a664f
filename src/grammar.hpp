// The two grammars of a reference, side by side: the plain rule (read_plain)
// and the shell's (read_shell, -s), each reading the bytes at a "$" into the
// same Reference for the one decision to take.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "names.hpp"
#include "scan.hpp"

// A reference's name is decided by at most "${" and NAME_LIMIT bytes, so no
// more than this is ever carried from one block to the next.
constexpr size_t NAME_WINDOW = 2 + NAME_LIMIT;

// What a grammar found at a "$". The plain rule finds only variables.
enum class Kind : uint8_t {
    variable, // $NAME, ${NAME}
    form,     // ${NAME OP WORD}, ${#NAME} and the forms it cannot read (op '@'), -s only
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
    // A form's operator: '-', '=', '+' or '?' (with colon), or one that reads
    // the value: '#' or '%' (a prefix or suffix off), '/' (replacement), '^'
    // or ',' (case), ':' (a substring, OFFSET[:LENGTH] in the word), 'n'
    // (${#NAME}), or '@' for a form that fillvars does not read.
    char op;
    bool colon; // ":" before it: an empty variable counts as unset
    // '#', '%', '^', ',': the operator doubled ("##": the longest prefix, "^^":
    // every character, the word a PATTERN they must match); '/':
    // after "/", the '/' of "//", the '#' or '%' of an anchor, or 0.
    char mode;
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

// Where forms cannot close: a form whose "}" is not found within its bound
// tells the forms nested in its word that theirs is not before the point the
// search reached either, so that "${A:-${A:-${A:-..." that never closes is
// walked in linear time, not FORM_LIMIT bytes a "$". The search goes on as
// one scan, the frontier, with the "${" it passed that are still open: each
// byte is looked at once however many forms ask. Only a form whose search
// failed starts one, so the walk of other text never touches it. It holds
// pointers into the bytes walked: forgotten before other bytes are
// (shell_memo_forget).
struct ShellMemo {
    const char *start;    // the "$" of the form that started it
    const char *frontier; // scanned up to here; null: nothing known
    bool line_end;        // the frontier is at a line feed: the open forms never close
    size_t bottom, top;   // the "${" still open, in open[bottom..top), in order
    const char *open[FORM_LIMIT];
};

inline ShellMemo shell_memo = {};

static inline void shell_memo_forget() {
    shell_memo.frontier = nullptr;
}

// The search of shell_memo for the form at dollar, whose close, if any, is
// before limit: as form_close. Returns dollar, a pointer no answer can be,
// where the memo knows nothing of this form (it closes before the frontier).
[[gnu::noinline]] inline static const char *memo_close(const char *dollar, const char *word,
                                                       const char *limit) {
    ShellMemo *m = &shell_memo;
    if (m->frontier == nullptr || dollar < m->start || dollar >= m->frontier) {
        m->start = dollar;
        m->frontier = word;
        m->line_end = false;
        m->bottom = 0;
        m->top = 1;
        m->open[0] = dollar;
    }
    // The walk asks in order: what is before dollar is asked no more.
    while (m->bottom < m->top && m->open[m->bottom] < dollar)
        m->bottom++;
    if (m->bottom == m->top || m->open[m->bottom] != dollar)
        return dollar;
    if (m->frontier >= limit)
        return limit;
    if (m->line_end)
        return nullptr;
    for (const char *q = m->frontier; q < limit; q++) {
        if (*q == '\n') {
            m->frontier = q;
            m->line_end = true;
            return nullptr;
        }
        if (*q == '$') {
            if (q + 1 == limit) {
                m->frontier = q;
                return limit;
            }
            if (q[1] == '{') {
                if (m->top == FORM_LIMIT) {
                    // What is open lies within FORM_LIMIT bytes: half the room at most.
                    std::copy(m->open + m->bottom, m->open + m->top, m->open);
                    m->top -= m->bottom;
                    m->bottom = 0;
                }
                m->open[m->top++] = q++;
            }
        } else if (*q == '}' && m->top > m->bottom) {
            if (--m->top == m->bottom) {
                m->frontier = q + 1;
                return q;
            }
        }
    }
    m->frontier = limit;
    return limit;
}

// The search of form_close from word, without the memo: the "}", or limit
// where limit came first, null where a line feed did.
[[gnu::always_inline]] inline static const char *scan_close(const char *word, const char *limit) {
    size_t open = 0;
    for (const char *q = word; q < limit; q++) {
        if (*q == '\n')
            return nullptr;
        if (*q == '$' && q + 1 < limit && q[1] == '{') {
            open++;
            q++;
        } else if (*q == '}') {
            if (open == 0)
                return q;
            open--;
        }
    }
    return limit;
}

// form_close where the memo may know the form, or the search failed: the
// memo answers, or searches and keeps what it found for the forms in the word.
[[gnu::noinline]] inline static const char *memo_form_close(const char *dollar, const char *word,
                                                            const char *limit) {
    const char *known = memo_close(dollar, word, limit);
    if (known != dollar)
        return known;
    const char *close = scan_close(word, limit);
    if (close != nullptr && close != limit)
        return close;
    known = memo_close(dollar, word, limit);
    return known == dollar ? close : known;
}

// The "}" that closes the form at dollar, whose word starts at word: the
// first that closes no "${" of the word, before limit and a line end.
// Returns limit where limit came first, null where a line feed did.
[[gnu::always_inline]] inline static const char *form_close(const char *dollar, const char *word,
                                                            const char *limit) {
    if (reinterpret_cast<uintptr_t>(dollar) >= reinterpret_cast<uintptr_t>(shell_memo.frontier)) {
        const char *close = scan_close(word, limit);
        if (close != nullptr && close != limit)
            return close;
    }
    return memo_form_close(dollar, word, limit);
}

// A decimal integer without a leading zero at *p, "-" first where sign
// allows; moves *p past it. Saturates far past any value's length.
static inline bool read_integer(const char **p, const char *end, bool sign, long long *number) {
    const char *q = *p;
    bool minus = sign && q < end && *q == '-';
    q += minus;
    if (q == end || *q < '0' || *q > '9' ||
        (*q == '0' && q + 1 < end && q[1] >= '0' && q[1] <= '9'))
        return false;
    long long n = 0;
    for (; q < end && *q >= '0' && *q <= '9'; q++)
        n = n < 1000000000000000LL ? n * 10 + (*q - '0') : n;
    *number = minus ? -n : n;
    *p = q;
    return true;
}

// One number of a substring: N, or after spaces -N or N, or (-N) or (N).
// The first after ":" may not be a bare -N: that is the ":-" form.
static inline bool read_bound(const char **p, const char *end, bool bare_minus, long long *number) {
    const char *q = *p;
    if (q < end && *q == '(') {
        q++;
        if (!read_integer(&q, end, true, number) || q == end || *q != ')')
            return false;
        *p = q + 1;
        return true;
    }
    bool spaced = q < end && *q == ' ';
    while (q < end && *q == ' ')
        q++;
    if (!read_integer(&q, end, spaced || bare_minus, number))
        return false;
    *p = q;
    return true;
}

// The word of ${NAME:OFFSET} or ${NAME:OFFSET:LENGTH}, p..end: whether it is
// one that fillvars reads, and its numbers.
static inline bool read_substring(const char *p, const char *end, long long *offset,
                                  bool *has_length, long long *length) {
    if (!read_bound(&p, end, false, offset))
        return false;
    *has_length = p < end && *p == ':';
    if (*has_length && (!read_bound(&++p, end, true, length)))
        return false;
    return p == end;
}

// A NUL in a form's word makes it a form that fillvars does not read: it is
// reported, not taken for text, so that -u and "?" are not passed over.
static inline bool word_holds_nul(const char *p, const char *end) {
    return std::memchr(p, '\0', static_cast<size_t>(end - p)) != nullptr;
}

static inline bool is_form_byte(char c) {
    return c == ':' || c == '-' || c == '=' || c == '+' || c == '?' || c == '#' || c == '%' ||
           c == '/' || c == '^' || c == ',' || c == '@';
}

// A form that reads a value, or one that fillvars does not read, at dollar:
// at is the byte after NAME, one of the bytes that make a form (else the
// "$" is text). Out of line: the common forms are read before it.
inline static bool read_other_form(const char *dollar, const char *at, const char *limit, bool cut,
                                   Reference *ref) {
    if (!is_form_byte(*at))
        return read_dollar(dollar, 1, ref);
    const char *close = form_close(dollar, at + 1, limit);
    if (close == nullptr || close == limit)
        return (close == nullptr || !cut) && read_dollar(dollar, 1, ref);
    ref->kind = Kind::form;
    ref->end = close + 1;
    ref->colon = false;
    ref->mode = 0;
    ref->op = word_holds_nul(at + 1, close) ? '@' : *at;
    ref->word = at + 1;
    char after = at[1];
    switch (ref->op) {
    case '#':
    case '%':
        if (after == *at) {
            ref->mode = after;
            ref->word++;
        }
        return true;
    case '/':
        if (after == '/' || after == '#' || after == '%') {
            ref->mode = after;
            ref->word++;
        }
        return true;
    case '^':
    case ',':
        if (after == *at) {
            ref->mode = after;
            ref->word++;
        }
        return true;
    case ':': {
        long long offset = 0, length = 0;
        bool has_length = false;
        if (read_substring(at + 1, close, &offset, &has_length, &length))
            return true;
        break;
    }
    default:
        break;
    }
    // Not a form fillvars reads: reported, with no word to expand or list.
    ref->op = '@';
    ref->word = close;
    return true;
}

// "${#" at dollar: ${#NAME} (op 'n'), or a form that fillvars does not read
// when NAME is followed by a byte that makes one; else the "$" is text.
inline static bool read_length(const char *dollar, const char *end, bool at_end, Reference *ref) {
    const char *name = dollar + 3;
    if (!starts_shell_name(*name))
        return (name < end || at_end) && read_dollar(dollar, 1, ref);
    const char *q = find_shell_end(name);
    const char *limit = static_cast<size_t>(end - dollar) > FORM_LIMIT ? dollar + FORM_LIMIT : end;
    bool cut = static_cast<size_t>(end - dollar) < FORM_LIMIT && !at_end;
    if (q >= limit)
        return !cut && read_dollar(dollar, 1, ref);
    ref->name = name;
    ref->name_length = static_cast<size_t>(q - name);
    if (*q != '}') {
        if (!read_other_form(dollar, q, limit, cut, ref))
            return false;
        if (ref->kind == Kind::form)
            ref->op = '@', ref->word = ref->end - 1;
        return true;
    }
    ref->kind = Kind::form;
    ref->op = 'n';
    ref->colon = false;
    ref->mode = 0;
    ref->word = q;
    ref->end = q + 1;
    return true;
}

// What read_other_form and read_length give: the reference, and whether
// it was whole. They take the reference by value and give it back: one
// whose address went to a call would be kept in memory by the walk, in
// every reference.
struct FormRead {
    Reference ref;
    bool whole;
};

[[gnu::noinline]] inline static FormRead read_other_form_copy(const char *dollar, const char *at,
                                                              const char *limit, bool cut,
                                                              Reference ref) {
    bool whole = read_other_form(dollar, at, limit, cut, &ref);
    return {ref, whole};
}

[[gnu::noinline]] inline static FormRead read_length_form(const char *dollar, const char *end,
                                                          bool at_end, Reference ref) {
    bool whole = read_length(dollar, end, at_end, &ref);
    return {ref, whole};
}

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
        if (braced && *name == '#') {
            FormRead read = read_length_form(dollar, end, at_end, *ref);
            *ref = read.ref;
            return read.whole;
        }
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
    if (*q != '-' && *q != '=' && *q != '+' && *q != '?') {
        FormRead read = read_other_form_copy(dollar, q - ref->colon, limit, cut, *ref);
        *ref = read.ref;
        return read.whole;
    }
    ref->op = *q;
    ref->word = ++q;
    const char *close = form_close(dollar, q, limit);
    if (close == nullptr || close == limit)
        return (close == nullptr || !cut) && read_dollar(dollar, 1, ref);
    ref->kind = Kind::form;
    ref->end = close + 1;
    if (word_holds_nul(q, close))
        ref->op = '@', ref->word = close;
    return true;
}
