// Substitution. The input is read in blocks and walked a block at a time:
// find_dollar finds each "$", the text between references goes out as whole
// runs, and only a reference cut by the end of a block is carried into the
// next. A grammar reads each reference into a Reference; emit_reference
// alone decides what it becomes.
#include "substitute.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
// SSE2 where the CPU has it (every x86-64 CPU), unless the build asks for
// the portable code that other CPUs run (FILLVARS_PORTABLE), to test it here.
#if defined(__SSE2__) && !defined(FILLVARS_PORTABLE)
#define FILLVARS_SSE2 1
#include <emmintrin.h>
#else
#define FILLVARS_SSE2 0
#endif

#include "env_file.hpp"
#include "io.hpp"
#include "name_table.hpp"
#include "names.hpp"

extern char **environ;

// A reference's name is decided by at most "${" and NAME_LIMIT bytes, so no
// more than this is ever carried from one block to the next.
constexpr size_t NAME_WINDOW = 2 + NAME_LIMIT;

// How far before a block's start a window's base may point (never read): the
// buffer has room for it before the carried bytes.
constexpr size_t BEFORE_START = 32;

// What happens to the rest of a reference longer than NAME_WINDOW that the
// end of a block cut: its name was decided, so it is only copied or dropped.
// A braced one takes its closing "}" with it.
enum class Tail { none, copy, skip };

struct Cut {
    Tail tail;
    bool braced;
};

// A set of bytes, as a table.
struct ByteSet {
    bool has[256];
};

template <typename Test> constexpr ByteSet byte_set(Test has) {
    ByteSet set{};
    for (int c = 0; c < 256; c++)
        set.has[c] = has(c);
    return set;
}

// The bytes that end a reference: "}" (which belongs to it only when it
// opened with "${"), the delimiters and NUL (which never do).
constexpr ByteSet stops = byte_set(
    [](int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '}' || c == '\0'; });

static NameTable environment = {};

// getenv finds a name holding "=" only in an entry whose value holds one too
// ("N=" in "N==eq"); without such an entry those names need no search.
static bool values_hold_equals = false;

// Whether a reference to a name the index does not hold may become more than
// nothing: a name getenv may still find, a report (-u) or its text (-k).
static bool unindexed_matter = false;

static Rules rules = {};

// A limit is in force (operands, -p or -b): under -s a "$$" then escapes
// only what the run replaces.
static bool limited = false;

// Whether the table may hold a name without a value: a listed name, or under
// -r a noted one, that is not set. Without either, every slot has a value.
static bool unvalued_slots = false;

// Reports (-u, -e, the "?" forms of -s) name the line of their "$". Lines
// are counted only when reports can arise, lazily: up to the "$" of a
// report, and up to where the walk leaves a block.
struct Reports {
    uint64_t line; // 1 + the line feeds before counted
    const char *counted;
    uint64_t count;
};

static Reports reports = {};

// The values, copied once into one block with room after the last, so that
// each is written by place_write_padded.
static char *values = nullptr;

// Indexes the environment once; the first entry for a name wins, as with
// getenv. Entries without "=" or with an empty name are never found by it.
// The variables of -f files go in after it, so that the environment's own win.
static void index_environment() {
    values_hold_equals = false;
    size_t count = env_files_count();
    size_t bytes = COPY_PAST;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; entry++) {
        count++;
        bytes += std::strlen(*entry) + 1;
    }
    values = static_cast<char *>(std::calloc(bytes, 1));
    if (values == nullptr)
        fail("calloc");
    char *next = values;
    // Room for four times the names, up to a table that stays in a cache:
    // the fewer names share a run of slots, the fewer lookups go on past the
    // first slot, which the CPU cannot foresee.
    name_table_build(&environment, std::max<size_t>(count, std::min<size_t>(4 * count, 4096)));
    for (char **entry = environ; entry != nullptr && *entry != nullptr; entry++) {
        const char *equals = std::strchr(*entry, '=');
        if (equals == nullptr)
            continue;
        size_t length = std::strlen(equals + 1);
        std::memcpy(next, equals + 1, length + 1);
        if (equals != *entry)
            name_table_put(&environment, *entry, static_cast<size_t>(equals - *entry), next);
        next += length + 1;
        if (std::strchr(equals + 1, '=') != nullptr)
            values_hold_equals = true;
    }
    if (env_files_index(&environment))
        values_hold_equals = true;
    // Listed names are marked in the same table, put in without a value
    // where they are not set: one lookup tells whether a reference is
    // allowed and what it becomes.
    for (uint64_t i = 0; i < name_list.count; i++)
        name_table_slot(&environment, name_list.items[i], std::strlen(name_list.items[i]))->listed =
            true;
}

#if FILLVARS_SSE2
// Sixteen bytes a compare, four compares a step, into byte-wide sums that
// are added up before they can overflow. Every x86-64 CPU has SSE2.
static uint64_t count_feeds(const char *p, const char *end) {
    const __m128i feed = _mm_set1_epi8('\n');
    uint64_t feeds = 0;
    while (end - p >= 64) {
        size_t steps = std::min<size_t>(63, static_cast<size_t>(end - p) / 64);
        __m128i sums = _mm_setzero_si128();
        for (size_t i = 0; i < steps; i++, p += 64) {
            const __m128i *v = reinterpret_cast<const __m128i *>(p);
            __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128(v), feed);
            __m128i b = _mm_cmpeq_epi8(_mm_loadu_si128(v + 1), feed);
            __m128i c = _mm_cmpeq_epi8(_mm_loadu_si128(v + 2), feed);
            __m128i d = _mm_cmpeq_epi8(_mm_loadu_si128(v + 3), feed);
            // Each compare is 0 or -1 a byte: at most -4 a step, 63 steps.
            sums = _mm_sub_epi8(sums, _mm_add_epi8(_mm_add_epi8(a, b), _mm_add_epi8(c, d)));
        }
        __m128i wide = _mm_sad_epu8(sums, _mm_setzero_si128());
        feeds += static_cast<uint64_t>(_mm_cvtsi128_si32(wide)) +
                 static_cast<uint64_t>(_mm_extract_epi16(wide, 4));
    }
    for (; p < end; p++)
        feeds += *p == '\n';
    return feeds;
}
#else
// Counted in runs of 240 bytes into a byte-wide sum, which compilers turn
// into wide compares and adds where the CPU has them.
static uint64_t count_feeds(const char *p, const char *end) {
    uint64_t feeds = 0;
    while (p < end) {
        size_t run = std::min<size_t>(240, static_cast<size_t>(end - p));
        uint8_t in_run = 0;
        for (size_t i = 0; i < run; i++)
            in_run += p[i] == '\n';
        feeds += in_run;
        p += run;
    }
    return feeds;
}
#endif

// A form's word is walked before the form is reported, so a report may come
// from before where the count is: on the same line, as a form holds no line feed.
static void count_lines_to(const char *p) {
    if (!(rules.nounset || rules.noempty || rules.shell) || p <= reports.counted)
        return;
    reports.line += count_feeds(reports.counted, p);
    reports.counted = p;
}

// Reports are gathered and written with the output before each read, so a
// template full of unset names costs one write a block, not one a name.
static char report_buffer[64 * 1024];
static size_t report_length = 0;

// Standard error may be a non-blocking pipe too. A report that cannot be
// written at all is lost, but the status still says that there was one.
static void reports_flush() {
    write_waiting(STDERR_FILENO, report_buffer, report_length);
    report_length = 0;
}

// Room for n more bytes of a report; a report of any length goes out in pieces.
static char *report_room(size_t n) {
    if (sizeof report_buffer - report_length < n)
        reports_flush();
    return report_buffer + report_length;
}

// Fixed texts of a report, all short.
static void report_text(const char *text, size_t length) {
    std::memcpy(report_room(length), text, length);
    report_length += length;
}

// Names and words come from the input: escaped (escape_text), so that they
// cannot act on a terminal. A long text goes in pieces, a C2 byte always in
// the same piece as the byte after it. A piece that would end in a C2 ends
// before it instead: taking the next byte in would not do, as that byte may
// be a C2 too, whose own pair the cut would then split.
static void report_escaped(const char *text, size_t length) {
    while (length > 0) {
        size_t n = std::min<size_t>(length, 1024);
        if (n < length && static_cast<unsigned char>(text[n - 1]) == 0xc2)
            n--;
        char *m = report_room(ESCAPE_GROWTH * n);
        report_length = static_cast<size_t>(escape_text(m, text, n) - report_buffer);
        text += n;
        length -= n;
    }
}

// "fillvars: line N: "NAME"" and what follows it, for the reference at dollar.
static void report_begin(const char *dollar, const char *name, size_t length) {
    count_lines_to(dollar);
    reports.count++;
    char *m = report_room(64);
    report_length += static_cast<size_t>(std::snprintf(
        m, 64, "fillvars: line %llu: \"", static_cast<unsigned long long>(reports.line)));
    report_escaped(name, length);
    report_text("\"", 1);
}

static void report_name(const char *dollar, const char *name, size_t length, const char *what) {
    report_begin(dollar, name, length);
    report_text(what, std::strlen(what));
}

// The shell's names: a letter or "_", then letters, digits and "_". Every
// other byte, NUL included, ends one.
constexpr bool shell_letter(int c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

constexpr ByteSet shell_starts = byte_set(shell_letter);
[[maybe_unused]] constexpr ByteSet shell_stops =
    byte_set([](int c) { return !shell_letter(c) && !(c >= '0' && c <= '9'); });

static bool starts_shell_name(char c) {
    return shell_starts.has[static_cast<unsigned char>(c)];
}

// Reading past the data: every scan below stops at a byte of its set at or
// before the end of the data (the NUL that substitute_block puts there is in
// both sets), and may read up to SCAN_PAST bytes beyond that byte.
constexpr size_t SCAN_PAST = COPY_PAST;

#if FILLVARS_SSE2
// The first byte at or after p that ends a name by the plain rule (a stop),
// sixteen bytes a step: a name is mostly one step. Every stop is a "}" or a
// byte up to 0x20, which few other bytes of text are: those are looked at
// one by one. Every x86-64 CPU has SSE2.
static const char *find_plain_end(const char *p, bool *brace_there) {
    const __m128i space = _mm_set1_epi8(' '), brace = _mm_set1_epi8('}');
    for (;;) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i low = _mm_cmpeq_epi8(_mm_max_epu8(v, space), space);
        unsigned braces = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, brace)));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(low)) | braces;
        if (mask == 0) {
            p += 16;
            continue;
        }
        unsigned at = static_cast<unsigned>(__builtin_ctz(mask));
        p += at;
        if (stops.has[static_cast<unsigned char>(*p)]) {
            *brace_there = (braces >> at) & 1;
            return p;
        }
        p++;
    }
}

// Whether each byte lies in lo..hi, with SSE2's signed compares: shifted so
// that the range starts at -128.
static __m128i bytes_within(__m128i v, char lo, char hi) {
    __m128i shifted = _mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(-128 - lo)));
    return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + (hi - lo) + 1)));
}

// 0xff for each byte of v that is a letter, a digit or "_".
static __m128i shell_name_bytes(__m128i v) {
    __m128i letter = bytes_within(_mm_or_si128(v, _mm_set1_epi8(0x20)), 'a', 'z');
    return _mm_or_si128(_mm_or_si128(letter, bytes_within(v, '0', '9')),
                        _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
}

// The first byte at or after p that is not a letter, a digit or "_".
static const char *find_shell_end(const char *p) {
    for (;; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(shell_name_bytes(v))) ^ 0xffffu;
        if (mask != 0)
            return p + __builtin_ctz(mask);
    }
}
#else
static const char *find_plain_end(const char *p, bool *brace_there) {
    while (!stops.has[static_cast<unsigned char>(*p)])
        p++;
    *brace_there = *p == '}';
    return p;
}

static const char *find_shell_end(const char *p) {
    while (!shell_stops.has[static_cast<unsigned char>(*p)])
        p++;
    return p;
}
#endif

#if FILLVARS_SSE2
// A bit for each of the WINDOW bytes from base that is a "$", and for each
// that may end a name by the walk's rule: by the plain rule a byte up to ' '
// or a "}", a candidate only, checked against stops; by the shell's, any byte
// that is not a letter, a digit or "_". A block's walk goes from one
// reference to the next by these bits: it loads the bytes a window at a time,
// and does not wait on a load for each reference. The window slides on half
// its length at a time.
constexpr size_t WINDOW = 64;
constexpr size_t HALF = WINDOW / 2;
static_assert(SCAN_PAST >= WINDOW, "a window may reach WINDOW - 1 bytes past the end of the data");
static_assert(HALF <= BEFORE_START, "a window's base may point HALF bytes before a block");

struct Window {
    const char *base;
    uint64_t dollars;
    uint64_t stops;
};

// The bits of the HALF bytes at p, into the top half of w's, which are 0.
template <bool shell>
[[gnu::always_inline]] inline static void window_fill_top(Window *w, const char *p) {
    const __m128i space = _mm_set1_epi8(' '), brace = _mm_set1_epi8('}'),
                  dollar = _mm_set1_epi8('$');
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
    auto top = [](__m128i low, __m128i high) {
        return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(low)) |
                                     static_cast<unsigned>(_mm_movemask_epi8(high)) << 16)
               << HALF;
    };
    auto stop = [&](__m128i v) {
        return _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, space), space),
                            _mm_cmpeq_epi8(v, brace));
    };
    w->dollars |= top(_mm_cmpeq_epi8(a, dollar), _mm_cmpeq_epi8(b, dollar));
    if (shell)
        w->stops |= ~top(shell_name_bytes(a), shell_name_bytes(b)) & ~uint64_t{0} << HALF;
    else
        w->stops |= top(stop(a), stop(b));
}

// On by HALF bytes: the top half becomes the bottom one.
template <bool shell> [[gnu::always_inline]] inline static void window_slide(Window *w) {
    w->base += HALF;
    w->dollars >>= HALF;
    w->stops >>= HALF;
    window_fill_top<shell>(w, w->base + HALF);
}

// A window whose top half starts at p; the bytes before p are of no interest.
// Its base is never read: a block has room before its start (BEFORE_START).
template <bool shell>
[[gnu::always_inline]] inline static void window_at(Window *w, const char *p) {
    *w = {p - HALF, 0, 0};
    window_fill_top<shell>(w, p);
}

// The first bit of stops at or after p, for p less than WINDOW bytes past
// base; null where there is none in the window.
[[gnu::always_inline]] inline static const char *window_stop(const Window *w, const char *p) {
    uint64_t after = w->stops >> (p - w->base);
    return after != 0 ? p + __builtin_ctzll(after) : nullptr;
}

// find_plain_end by the window; by the scan where the name runs past it, or
// a byte up to ' ' in it is no stop.
[[gnu::always_inline]] inline static const char *
window_find_plain_end(const Window *w, const char *p, bool *brace_there) {
    const char *stop = window_stop(w, p);
    if (stop != nullptr) {
        unsigned char c = static_cast<unsigned char>(*stop);
        if (stops.has[c]) {
            *brace_there = c == '}';
            return stop;
        }
    }
    return find_plain_end(p, brace_there);
}

// find_shell_end by the window; by the scan where the name runs past it.
[[gnu::always_inline]] inline static const char *window_find_shell_end(const Window *w,
                                                                       const char *p) {
    const char *stop = window_stop(w, p);
    return stop != nullptr ? stop : find_shell_end(p);
}
#else
// Elsewhere there is no window: every name is scanned for.
struct Window {};

static const char *window_find_plain_end(const Window *, const char *p, bool *brace_there) {
    return find_plain_end(p, brace_there);
}

static const char *window_find_shell_end(const Window *, const char *p) {
    return find_shell_end(p);
}
#endif

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

static bool read_dollar(const char *dollar, size_t length, Reference *ref) {
    ref->kind = Kind::dollar;
    ref->end = dollar + length;
    return true;
}

// Reads the reference at dollar by the shell's rules (-s): "$$" is one "$";
// $NAME runs to the end of the name; ${NAME} and the forms ${NAME OP WORD}
// close within FORM_LIMIT bytes on their line, the first "}" that closes no
// "${" of the word closing a form. Anything else leaves the "$" as text.
// Needs a byte that ends a name at or before end. Returns false when end cut
// it and more input may follow.
// What read_escape found at a "$$": the text up to end, from the second "$"
// (escape) or the first. Small enough to come back in registers: a Reference
// whose address went to a call would be kept in memory by the walk.
struct Escape {
    const char *end;
    bool escape;
    bool braced; // of the reference after the "$$"
    bool whole;  // as read_shell returns
};

static Escape read_escape(const char *dollar, const char *end, bool at_end);

// The walks with the options' tests (with_options) read a "$$" by read_escape
// where a limit is in force.
template <bool with_options>
[[gnu::always_inline]] inline static bool read_shell(const Window *window, const char *dollar,
                                                     const char *end, bool at_end, Reference *ref) {
    // The byte at end, a NUL or a word's "}", is neither "$" nor "{" and
    // starts no name: the end of the data is tested only where nothing starts.
    const char *p = dollar + 1;
    if (*p == '$') {
        if (with_options && limited) {
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

// Whether the run leaves ref as it stands, by its name (whose slot is slot)
// and whether it opened with "${": the name is not allowed (there is a list,
// the name is not listed and no prefix allows it), or -b is given and it is
// bare. emit_reference makes the same test in its own words: through this
// function its walks took two instructions a reference more.
static bool passes_over(const NameSlot *slot, const Reference &ref) {
    return (name_list_given && !(slot != nullptr && slot->listed) &&
            !name_prefix_allows(ref.name, ref.name_length)) ||
           (rules.braced && !ref.braced);
}

// "$$" where a limit is in force: one "$" only in front of a reference or
// form that the run replaces, which is then text; any other "$$" (a shell's,
// a Makefile's, PL/pgSQL's) is written as it stands, and the walk goes on
// after it. Either way a Kind::text. Out of line: rare, and under a limit only.
[[gnu::noinline]] static Escape read_escape(const char *dollar, const char *end, bool at_end) {
    Reference after{};
    after.kind = Kind::dollar;
    // In "$$$" the "$" and "$$" after the first "$" are no reference. A
    // reference after "$$" is read as one at a "$" would be, by the scan.
    bool whole = dollar[2] == '$' || read_shell<false>(nullptr, dollar + 1, end, at_end, &after);
    bool escape = (after.kind == Kind::variable || after.kind == Kind::form) &&
                  !passes_over(name_table_find(&environment, after.name, after.name_length), after);
    return {escape ? after.end : dollar + 2, escape, after.braced, whole};
}

// What getenv would find for name (length bytes, holding "=") among the
// variables that only -f files set, were they in the environment: "N=a" is
// the rest of N's value after "a=". Null where there is nothing.
static const char *getenv_from_files(char *name, size_t length, size_t *value_length) {
    char *equals = static_cast<char *>(std::memchr(name, '=', length));
    size_t key = static_cast<size_t>(equals - name);
    size_t rest = length - key - 1;
    // A name in the environment was getenv's to find.
    *equals = '\0';
    bool in_environment = std::getenv(name) != nullptr;
    *equals = '=';
    const NameSlot *slot = in_environment ? nullptr : name_table_find(&environment, name, key);
    if (slot == nullptr || slot->value == nullptr || slot->value_length <= rest ||
        std::memcmp(slot->value, equals + 1, rest) != 0 || slot->value[rest] != '=')
        return nullptr;
    *value_length = slot->value_length - rest - 1;
    return slot->value + rest + 1;
}

// An allowed reference to a variable that the environment index does not
// hold. It may still be set: no indexed name holds "=", but getenv matches
// such a name in its own way (against a name and the start of its value), so
// it is left to getenv. Otherwise it is unset: -u reports it, -k keeps it.
// Returns whether the reference was replaced. Out of line: most names are found.
// Takes what it needs of the reference by value: with its address taken, the
// walk would keep the reference in memory.
[[gnu::noinline]] static bool emit_unindexed(Output *out, const char *dollar, const char *name,
                                             size_t length, const char *end) {
    if (values_hold_equals && std::memchr(name, '=', length) != nullptr) {
        char copy[NAME_LIMIT + 1];
        std::memcpy(copy, name, length);
        copy[length] = '\0';
        const char *value = std::getenv(copy);
        size_t value_length = value != nullptr ? std::strlen(value) : 0;
        if (value == nullptr)
            value = getenv_from_files(copy, length, &value_length);
        if (value != nullptr) {
            if (value_length == 0 && rules.noempty)
                report_name(dollar, name, length, " is empty\n");
            output_write(out, value, value_length);
            return true;
        }
    }
    if (rules.nounset)
        report_name(dollar, name, length, " is not set\n");
    if (!rules.keep)
        return true;
    output_write(out, dollar, static_cast<size_t>(end - dollar));
    return false;
}

// The reference by value, as for emit_unindexed: it stays in registers in the
// walk. slot is what the environment holds for its name (null: nothing).
[[gnu::noinline]] static void emit_form(Output *out, const char *dollar, Reference ref,
                                        const NameSlot *slot);

// Under -r the walk writes the names that it considers instead of the text,
// each once: marked seen in the environment's table, where a name that is not
// set is put in without a value. What a form or an unset name would write
// goes to discarded and is dropped; they still report and assign as they would.
static Output discarded = {-1, nullptr, nullptr, nullptr};

static char *keep_copy(const char *bytes, size_t length);

// Writes name and a line feed to out, unless it was seen before.
static void note_name(Output *out, const char *name, size_t length) {
    NameSlot *slot = name_table_slot(&environment, name, length);
    if (slot->seen)
        return;
    // Put in just now: its bytes are the block's, which the next read overwrites.
    if (slot->key == name)
        slot->key = keep_copy(name, length);
    slot->seen = true;
    output_write(out, name, length);
    output_write(out, "\n", 1);
}

// The names that the run would consider in a form's word, used or not, those
// in the words of its forms too, in order.
static void list_word(Output *out, const char *p, const char *end) {
    while (const char *dollar =
               static_cast<const char *>(std::memchr(p, '$', static_cast<size_t>(end - p)))) {
        Reference ref;
        read_shell<true>(nullptr, dollar, end, true, &ref);
        if (ref.kind == Kind::variable || ref.kind == Kind::form) {
            const NameSlot *slot = name_table_find(&environment, ref.name, ref.name_length);
            if (!passes_over(slot, ref)) {
                note_name(out, ref.name, ref.name_length);
                if (ref.kind == Kind::form)
                    list_word(out, ref.word, ref.end - 1);
            }
        }
        p = ref.end;
    }
}

// Notes an allowed reference's name, and a form's word (null for a
// variable); returns the name's slot, where the table holds it now.
[[gnu::noinline]] static const NameSlot *note_reference(Output *out, const char *name,
                                                        size_t length, const char *word,
                                                        const char *word_end) {
    note_name(out, name, length);
    if (word != nullptr)
        list_word(out, word, word_end);
    return name_table_find(&environment, name, length);
}

// The one decision: what the reference at dollar becomes. A "$" for "$$"
// and a lone "$" under -s, or the text that read_escape chose; its text as it
// stands when the run does not replace it (passes_over); a form's choice
// (emit_form); else the variable's value, or, when it is not set, nothing
// (its text under -k). Returns whether it was replaced. Inlined into the walk,
// where a call per reference would cost a good part of the reference; a walk
// without -b, -e or a list (with_options) has none of their tests, nor one of
// the plain rule has the shell's kinds. The walk of -r (listing) notes the
// name and writes nothing else.
template <bool shell, bool with_options, bool listing>
[[gnu::always_inline]] inline static bool emit_reference(Place *at, const char *dollar,
                                                         const Reference &ref) {
    if (shell && ref.kind == Kind::dollar) {
        if (!listing)
            place_write(at, "$", 1);
        return true;
    }
    if (shell && with_options && ref.kind == Kind::text) {
        if (!listing)
            place_write(at, ref.name, static_cast<size_t>(ref.end - ref.name));
        return false;
    }
    // The walks without options, those most runs take, have the long names'
    // lookup inline too; with them the code would grow past what pays.
    const NameSlot *slot = name_table_find(&environment, ref.name, ref.name_length, !with_options);
    // Allowed: with no list, when the name is listed, or by a prefix; under -b, braced.
    if ((with_options && name_list_given && !(slot != nullptr && slot->listed) &&
         !name_prefix_allows(ref.name, ref.name_length)) ||
        (with_options && rules.braced && !ref.braced)) {
        if (!listing)
            place_write(at, dollar, static_cast<size_t>(ref.end - dollar));
        return false;
    }
    if (listing && (slot == nullptr || !slot->seen || (shell && ref.kind == Kind::form))) {
        bool form = shell && ref.kind == Kind::form;
        slot = note_reference(place_out(at), ref.name, ref.name_length, form ? ref.word : nullptr,
                              ref.end - 1);
        place_back(at);
    }
    if (shell && ref.kind == Kind::form) {
        emit_form(listing ? &discarded : place_out(at), dollar, ref, slot);
        if (listing)
            discarded.next = discarded.data;
        else
            place_back(at);
        return true;
    }
    // Only listed or noted names are in the table without a value.
    if (slot == nullptr || (with_options && unvalued_slots && slot->value == nullptr)) {
        if (!unindexed_matter)
            return true;
        bool replaced = emit_unindexed(listing ? &discarded : place_out(at), dollar, ref.name,
                                       ref.name_length, ref.end);
        if (listing)
            discarded.next = discarded.data;
        else
            place_back(at);
        return replaced;
    }
    if (with_options && slot->value_length == 0 && rules.noempty)
        report_name(dollar, ref.name, ref.name_length, " is empty\n");
    if (!listing)
        place_write_padded(at, slot->value, slot->value_length);
    return true;
}

#if !FILLVARS_SSE2
// Elsewhere the next "$" is first looked for a word at a time.

// Eight bytes as a number whose low byte is the first, whatever the CPU's
// byte order, so that the lowest flagged byte below is the first in memory.
static uint64_t load_word(const char *p) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

constexpr uint64_t ONES = 0x0101010101010101ull;

// The top bit of each byte of word that is zero, and maybe of bytes above
// such a byte; the lowest one flagged is always right.
static uint64_t zero_bytes(uint64_t word) {
    return (word - ONES) & ~word & (ONES << 7);
}
#endif

// The next "$" in p..end, or null; SCAN_PAST bytes after end must be
// readable. In reference-dense text it is a few bytes on, nearer than a call
// to memchr pays for: look at the next sixteen bytes (SSE2) or eight (a word)
// first.
static const char *find_dollar(const char *p, const char *end) {
#if FILLVARS_SSE2
    const size_t step = 16;
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), _mm_set1_epi8('$'))));
    if (mask != 0) {
        const char *dollar = p + __builtin_ctz(mask);
        return dollar < end ? dollar : nullptr;
    }
#else
    const size_t step = 8;
    uint64_t zero = zero_bytes(load_word(p) ^ (ONES * '$'));
    if (zero != 0) {
        const char *dollar = p + __builtin_ctzll(zero) / 8;
        return dollar < end ? dollar : nullptr;
    }
#endif
    p += step;
    if (p >= end)
        return nullptr;
    return static_cast<const char *>(std::memchr(p, '$', static_cast<size_t>(end - p)));
}

#if FILLVARS_SSE2
// find_dollar by the window, from p, where the reference before ended: a "$"
// in the bottom half is taken, one in the top half slides the window on so
// that it is in the bottom; past the window, find_dollar looks. A "$" it finds
// within HALF bytes of p starts a window in whose top half it is; one further
// on, an empty window, so that its name is scanned for. So a "$" returned lies
// at most HALF bytes past the window's base, or WINDOW - 3 bytes (the empty
// window): a name after it starts less than WINDOW bytes past base, as
// window_stop needs.
// The window slides only onto a "$" found before end, so it never reaches
// past the zeros after end: any "$" in it is before end, untested.
template <bool shell>
[[gnu::always_inline]] inline static const char *window_find_dollar(Window *w, const char *p,
                                                                    const char *end) {
    size_t off = static_cast<size_t>(p - w->base);
    if (off < HALF) {
        uint32_t ahead = static_cast<uint32_t>(w->dollars) >> off;
        if (ahead != 0)
            return p + __builtin_ctz(ahead);
        off = HALF;
    }
    if (off < WINDOW && (w->dollars >> off) != 0) {
        const char *dollar = w->base + off + __builtin_ctzll(w->dollars >> off);
        window_slide<shell>(w);
        return dollar;
    }
    // None in the window: find_dollar looks on.
    const char *dollar = find_dollar(p, end);
    // A window pays where references come close together.
    if (dollar != nullptr) {
        if (dollar - p < static_cast<ptrdiff_t>(HALF))
            window_at<shell>(w, dollar);
        else
            *w = {dollar - (WINDOW - 3), 0, 0};
    }
    return dollar;
}
#else
template <bool shell> static void window_at(Window *, const char *) {}

template <bool shell>
static const char *window_find_dollar(Window *, const char *p, const char *end) {
    return find_dollar(p, end);
}
#endif

// Walks p..end: text is copied, references go to emit_reference. SCAN_PAST
// bytes past end must be readable, and a byte that ends a name must come at
// or before it. Returns where a reference cut by end begins, to be walked
// again with more input; end when there is none.
// Each walk is built for its rule (shell: -s), with or without the tests of
// -b, -e and a list (with_options), and by a window or not: a block's walk
// goes by one, which needs the zeros after a block's end and the room before
// its start; a form's word, with neither, is scanned. The walk of -r
// (listing, with the options' tests) writes no text.
template <bool shell, bool with_options, bool by_window, bool listing>
[[gnu::noinline]] static const char *walk(Output *out, const char *p, const char *end, bool at_end,
                                          Cut *cut) {
    Place at = {out, nullptr, nullptr};
    place_back(&at);
    Window window{};
    if constexpr (by_window)
        window_at<shell>(&window, p);
    // No test of p against end: find_dollar answers that too, as a reference
    // never ends past end.
    for (;;) {
        const char *dollar =
            by_window ? window_find_dollar<shell>(&window, p, end) : find_dollar(p, end);
        if (dollar == nullptr) {
            Output *out_now = place_out(&at);
            if (!listing)
                output_write(out_now, p, static_cast<size_t>(end - p));
            return end;
        }
        if (!listing)
            place_write_padded(&at, p, static_cast<size_t>(dollar - p));
        Reference ref;
        // Past the call of note_reference the compiler cannot tell that a
        // form's parts were read: the -r walk clears them.
        if constexpr (listing)
            ref = {};
        const Window *at_hand = by_window ? &window : nullptr;
        bool whole = shell ? read_shell<with_options>(at_hand, dollar, end, at_end, &ref)
                           : read_plain(at_hand, dollar, end, at_end, &ref);
        if (!whole) {
            if (static_cast<size_t>(end - dollar) >= NAME_WINDOW) {
                // Its name is decided: what is left of it is only copied or dropped.
                ref.end = end;
                bool replaced = emit_reference<shell, with_options, listing>(&at, dollar, ref);
                cut->tail = replaced || listing ? Tail::skip : Tail::copy;
                cut->braced = ref.braced;
                dollar = end;
            }
            place_out(&at);
            return dollar;
        }
        emit_reference<shell, with_options, listing>(&at, dollar, ref);
        p = ref.end;
    }
}

// Walks start..end, SCAN_PAST bytes past which are writable, with
// BEFORE_START bytes before start. Returns how many bytes at the end are a
// cut reference, to be walked again with the next block.
template <bool shell, bool with_options, bool listing>
static size_t substitute_block(Output *out, char *start, char *end, bool at_end, Cut *cut) {
    // A NUL stops every scan; the zeros after it are for find_dollar's word,
    // the scans that read past it and the window, which finds no "$" there.
    std::memset(end, 0, SCAN_PAST);
    const char *p = start;
    reports.counted = start;
    if (cut->tail != Tail::none) {
        bool brace_there;
        const char *stop = shell ? find_shell_end(p) : find_plain_end(p, &brace_there);
        bool found = stop < end;
        if (found && *stop == '}' && cut->braced)
            stop++;
        if (cut->tail == Tail::copy)
            output_write(out, p, static_cast<size_t>(stop - p));
        if (!found) {
            count_lines_to(end);
            return 0;
        }
        cut->tail = Tail::none;
        p = stop;
    }
    // The carried bytes hold no line feed: they are read again.
    const char *rest = walk<shell, with_options, true, listing>(out, p, end, at_end, cut);
    count_lines_to(rest);
    return static_cast<size_t>(end - rest);
}

// A form's word, expanded by the same rules into out.
static void expand_word(Output *out, const Reference &ref) {
    Cut none = {Tail::none, false};
    walk<true, true, false, false>(out, ref.word, ref.end - 1, true, &none);
}

// Memory that assignments took, names new to the environment and values,
// and the names that -r noted.
static char **assigned = nullptr;
static size_t assigned_count = 0;
static size_t assigned_room = 0;

// With room after it, as the environment's values have.
static char *keep_copy(const char *bytes, size_t length) {
    // Doubled: -r may note a name for every few bytes of input.
    if (assigned_count == assigned_room) {
        assigned_room = std::max<size_t>(16, 2 * assigned_room);
        void *grown = reallocarray(assigned, assigned_room, sizeof *assigned);
        if (grown == nullptr)
            fail("malloc");
        assigned = static_cast<char **>(grown);
    }
    char *copy = static_cast<char *>(std::calloc(length + COPY_PAST, 1));
    if (copy == nullptr)
        fail("malloc");
    std::memcpy(copy, bytes, length);
    assigned[assigned_count++] = copy;
    return copy;
}

// "NAME becomes WORD": later references in the run see the new value. A name
// is only assigned while it is unset or empty, so once it holds a value that
// is not empty no later form copies another; forms nested in one word may
// each assign it first (${N:=${N:=x}}), as deep as forms nest.
static void assign(const char *name, size_t length, const char *value, size_t value_length) {
    NameSlot *slot = name_table_slot(&environment, name, length);
    if (slot->key == name)
        slot->key = keep_copy(name, length);
    static const char no_value[COPY_PAST] = {};
    slot->value = value_length == 0 ? no_value : keep_copy(value, value_length);
    slot->value_length = value_length;
}

// What a form gives, by whether its variable is set and empty: its value,
// its word expanded, or nothing; ":=" and "=" also assign the word, and
// ":?" and "?" report it instead of writing it. The word's own reports come
// before the form's.
[[gnu::noinline]] static void emit_form(Output *out, const char *dollar, Reference ref,
                                        const NameSlot *slot) {
    bool set = slot != nullptr && slot->value != nullptr;
    bool empty = set && slot->value_length == 0;
    bool use_word = ref.op == '+' ? set && !(ref.colon && empty) : !set || (ref.colon && empty);
    if (!use_word) {
        if (set && ref.op != '+')
            output_write(out, slot->value, slot->value_length);
        return;
    }
    if (ref.op == '-' || ref.op == '+') {
        expand_word(out, ref);
        return;
    }
    // The word is needed whole: expanded into memory first.
    Output word = {-1, nullptr, nullptr, nullptr};
    expand_word(&word, ref);
    size_t length = static_cast<size_t>(word.next - word.data);
    if (ref.op == '=') {
        output_write(out, word.data, length);
        assign(ref.name, ref.name_length, word.data, length);
    } else if (length == 0) {
        report_name(dollar, ref.name, ref.name_length, set ? " is empty\n" : " is not set\n");
    } else {
        report_begin(dollar, ref.name, ref.name_length);
        report_text(": ", 2);
        report_escaped(word.data, length);
        report_text("\n", 1);
    }
    std::free(word.data);
}

// At the usual block size, with pages of 4096 bytes, the buffers are static:
// a small input then costs no mapping of memory and no giving it back, about
// a hundredth of what filling a small template takes. AddressSanitizer puts
// no guard after a global aligned past its own alignment, so under it the
// buffers are always allocated, where a read one byte past them is caught.
#if defined(__SANITIZE_ADDRESS__)
#define FILLVARS_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FILLVARS_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef FILLVARS_ADDRESS_SANITIZER
constexpr bool STATIC_BUFFERS = false;
#else
constexpr bool STATIC_BUFFERS = true;
#endif
constexpr size_t STATIC_PAGE = 4096;
constexpr size_t STATIC_FRONT =
    (BEFORE_START + NAME_WINDOW + STATIC_PAGE - 1) / STATIC_PAGE * STATIC_PAGE;
alignas(STATIC_PAGE) static char static_input[STATIC_FRONT + BLOCK_SIZE + SCAN_PAST];
alignas(STATIC_PAGE) static char static_output[BLOCK_SIZE + COPY_PAST];

uint64_t substitute_stream(int in, int out_fd, size_t block_size, Rules asked) {
    index_environment();
    rules = asked;
    unindexed_matter = values_hold_equals || asked.nounset || asked.keep;
    limited = name_list_given || asked.braced;
    unvalued_slots = name_list_given || asked.references;
    // Only -s, these options, a list and -r change the walk itself.
    bool with_options = asked.braced || asked.noempty || name_list_given;
    size_t (*walk_block)(Output *, char *, char *, bool, Cut *) =
        asked.references ? (asked.shell ? substitute_block<true, true, true>
                                        : substitute_block<false, true, true>)
        : asked.shell    ? (with_options ? substitute_block<true, true, false>
                                         : substitute_block<true, false, false>)
                         : (with_options ? substitute_block<false, true, false>
                                         : substitute_block<false, false, false>);
    reports = {1, nullptr, 0};
    // Reports go out before each write of the output: a failing output ends
    // the run, and they must not be lost.
    before_output = reports_flush;
    // Page-aligned reads and output: on some CPUs the kernel copies far slower to unaligned memory.
    // Before the read target: the carried bytes, and room before them.
    size_t front = page_rounded(BEFORE_START + NAME_WINDOW);
    bool fixed = STATIC_BUFFERS && block_size == BLOCK_SIZE && front == STATIC_FRONT;
    char *buffer = fixed ? static_input : page_aligned_alloc(front + block_size + SCAN_PAST);
    char *target = buffer + front;
    char *out_data = fixed ? static_output : page_aligned_alloc(block_size + COPY_PAST);
    Output out = {out_fd, out_data, out_data, out_data + block_size};
    Cut cut = {Tail::none, false};
    size_t kept = 0;
    for (;;) {
        // Hand over what is done before waiting, so a terminal sees each line.
        output_flush(&out);
        size_t n = read_some(in, target, block_size);
        bool at_end = n == 0;
        char *start = target - kept;
        char *end = target + n;
        kept = walk_block(&out, start, end, at_end, &cut);
        // The cut reference goes just before the next read target.
        std::memmove(target - kept, end - kept, kept);
        if (at_end)
            break;
    }
    output_flush(&out);
    before_output = nullptr;
    if (!fixed) {
        std::free(out.data);
        std::free(buffer);
    }
    name_table_free(&environment);
    std::free(values);
    values = nullptr;
    for (size_t i = 0; i < assigned_count; i++)
        std::free(assigned[i]);
    std::free(assigned);
    assigned = nullptr;
    assigned_count = 0;
    assigned_room = 0;
    std::free(discarded.data);
    discarded = {-1, nullptr, nullptr, nullptr};
    return reports.count;
}
