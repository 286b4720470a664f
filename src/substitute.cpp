// Substitution: the walk and the one decision. The input is read in blocks
// and walked a block at a time: the scans find each "$", the text between
// references goes out as whole runs, and only a reference cut by the end of
// a block is carried into the next. A grammar reads each reference into a
// Reference; emit_reference alone decides what it becomes.
#include "substitute.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "buffers.hpp"
#include "environment.hpp"
#include "escape.hpp"
#include "forms.hpp"
#include "grammar.hpp"
#include "io.hpp"
#include "name_table.hpp"
#include "names.hpp"
#include "noted_names.hpp"
#include "reports.hpp"
#include "scan.hpp"

// What happens to the rest of a reference longer than NAME_WINDOW that the
// end of a block cut: its name was decided, so it is only copied or dropped.
// A braced one takes its closing "}" with it.
enum class Tail { none, copy, skip };

struct Cut {
    Tail tail;
    bool braced;
};

// What the run asked is read in place, in run_asked (run.hpp), which
// whoever starts a run sets whole for its length. At a fixed address the
// walk tests a field with one load, as it did the statics before it: read
// through a pointer the walk took 2.7 instructions a reference more under -b,
// and copied into its locals 1.3 more without options (registers the loop
// needs).

// Whether the run leaves ref as it stands, by its name (whose slot is slot)
// and whether it opened with "${": the name is not allowed (there is a list,
// the name is not listed and no prefix allows it), or -b is given and it is
// bare. emit_reference makes the same test in its own words: through this
// function its walks took two instructions a reference more.
static bool passes_over(const NameSlot *slot, const Reference &ref) {
    return (run_asked.names_limit && !(slot != nullptr && slot->listed) &&
            !name_prefix_allows(ref.name, ref.name_length)) ||
           (run_asked.rules.braced && !ref.braced);
}

// Under -k, whether the run replaces the allowed reference ref (its slot
// slot) rather than keeping it: its variable is set, or it is a form that
// gives its word when the variable is not.
static bool replaced_when_kept(const NameSlot *slot, const Reference &ref) {
    if (ref.kind == Kind::form &&
        (ref.op == '-' || ref.op == '=' || ref.op == '+' || ref.op == '?'))
        return true;
    if (slot != nullptr && slot->value != nullptr)
        return true;
    size_t length = 0;
    return environment_getenv(ref.name, ref.name_length, &length) != nullptr;
}

// "$$" where a limit is in force, or under -k: one "$" only in front of a
// reference or form that the run replaces, which is then text; any other
// "$$" (a shell's, a Makefile's, PL/pgSQL's) is written as it stands, and the
// walk goes on after it. Either way a Kind::text. Out of line: rare, and
// under a limit or -k only.
[[gnu::noinline]] static Escape read_escape(const char *dollar, const char *end, bool at_end) {
    Reference after{};
    after.kind = Kind::dollar;
    // In "$$$" the "$" and "$$" after the first "$" are no reference. A
    // reference after "$$" is read as one at a "$" would be, by the scan.
    bool whole =
        dollar[2] == '$' || read_shell<false>(nullptr, dollar + 1, end, at_end, nullptr, &after);
    bool escape = false;
    if (after.kind == Kind::variable || after.kind == Kind::form) {
        const NameSlot *slot = name_table_find(&environment, after.name, after.name_length);
        escape =
            !passes_over(slot, after) && (!run_asked.rules.keep || replaced_when_kept(slot, after));
    }
    return {escape ? after.end : dollar + 2, escape, after.braced, whole};
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
    size_t value_length = 0;
    if (const char *value = environment_getenv(name, length, &value_length)) {
        if (value_length == 0 && run_asked.rules.noempty)
            report_name(dollar, name, length, " is empty\n");
        emit_value(out, dollar, name, length, value, value_length);
        return true;
    }
    if (run_asked.rules.nounset)
        report_name(dollar, name, length, " is not set\n");
    if (!run_asked.rules.keep)
        return true;
    output_write(out, dollar, static_cast<size_t>(end - dollar));
    return false;
}

// Under -r the walk writes the names that it considers instead of the text,
// each once (noted_names). With -u or -e (checking) it also checks as a run
// without -r: what a form or an unset name would write goes to discarded,
// which drops it, and they still report and assign as they would. Without
// them nothing is evaluated, so listing a template's names never fails on a
// value.
static Output discarded = {DISCARD, nullptr, nullptr, nullptr};

// The names that the run would consider in a form's word, used or not, those
// in the words of its forms too, in order.
static void list_word(Output *out, const char *p, const char *end) {
    while (const char *dollar =
               static_cast<const char *>(std::memchr(p, '$', static_cast<size_t>(end - p)))) {
        Reference ref;
        read_shell<true>(nullptr, dollar, end, true, run_asked.limited ? read_escape : nullptr,
                         &ref);
        if (ref.kind == Kind::variable || ref.kind == Kind::form) {
            const NameSlot *slot = name_table_find(&environment, ref.name, ref.name_length);
            if (!passes_over(slot, ref)) {
                noted_names_write(out, slot, ref.name, ref.name_length);
                if (ref.kind == Kind::form)
                    list_word(out, ref.word, ref.end - 1);
            }
        }
        p = ref.end;
    }
}

// Notes an allowed reference's name, and a form's word (null for a variable).
[[gnu::noinline]] static void note_reference(Output *out, const NameSlot *slot, const char *name,
                                             size_t length, const char *word,
                                             const char *word_end) {
    noted_names_write(out, slot, name, length);
    if (word != nullptr)
        list_word(out, word, word_end);
}

// The one decision: what the reference at dollar becomes. A "$" for "$$"
// and a lone "$" under -s, or the text that read_escape chose; its text as it
// stands when the run does not replace it (passes_over); a form's choice
// (emit_form); else the variable's value, or, when it is not set, nothing
// (its text under -k). Returns whether it was replaced. Inlined into the walk,
// where a call per reference would cost a good part of the reference; a walk
// without -b, -e or a list (with_options) has none of their tests, nor one of
// the plain rule has the shell's kinds. The walk of -r (listing) notes the
// name and writes nothing else; it evaluates only when checking. That of
// -E (escaping) writes values through its escaper.
template <bool shell, bool with_options, bool listing, bool escaping>
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
    if ((with_options && run_asked.names_limit && !(slot != nullptr && slot->listed) &&
         !name_prefix_allows(ref.name, ref.name_length)) ||
        (with_options && run_asked.rules.braced && !ref.braced)) {
        if (!listing)
            place_write(at, dollar, static_cast<size_t>(ref.end - dollar));
        return false;
    }
    if (listing) {
        bool form = shell && ref.kind == Kind::form;
        // A name seen before in the table needs no call, but a form's word does.
        if (slot == nullptr || !slot->seen || form) {
            note_reference(place_out(at), slot, ref.name, ref.name_length,
                           form ? ref.word : nullptr, ref.end - 1);
            place_back(at);
        }
        if (!run_asked.checking)
            return true;
    }
    if (shell && ref.kind == Kind::form) {
        emit_form(listing ? &discarded : place_out(at), dollar, ref, slot);
        if (!listing)
            place_back(at);
        return true;
    }
    // Only listed or noted names are in the table without a value.
    if (slot == nullptr || (with_options && run_asked.unvalued_slots && slot->value == nullptr)) {
        if (!run_asked.unindexed_matter)
            return true;
        bool replaced = emit_unindexed(listing ? &discarded : place_out(at), dollar, ref.name,
                                       ref.name_length, ref.end);
        if (!listing)
            place_back(at);
        return replaced;
    }
    if (with_options && slot->value_length == 0 && run_asked.rules.noempty)
        report_name(dollar, ref.name, ref.name_length, " is empty\n");
    if (escaping) {
        EscapeFormat format = escape_format_of(ref.name, ref.name_length);
        if (!place_write_value(at, format, slot->value, slot->value_length, dollar, ref.name,
                               ref.name_length))
            escape_report(dollar, ref.name, ref.name_length, format);
    } else if (!listing) {
        place_write_padded(at, slot->value, slot->value_length);
    }
    return true;
}

// Walks p..end: text is copied, references go to emit_reference. SCAN_PAST
// bytes past end must be readable, and a byte that ends a name must come at
// or before it. Returns where a reference cut by end begins, to be walked
// again with more input; end when there is none.
// Each walk is built for its rule (shell: -s), with or without the tests of
// -b, -e and a list (with_options), and by a window or not: a block's walk
// goes by one, which needs the zeros after a block's end and the room before
// its start; a form's word, with neither, is scanned. The walk of -r
// (listing, with the options' tests) writes no text; that of -E (escaping)
// escapes values.
template <bool shell, bool with_options, bool by_window, bool listing, bool escaping>
[[gnu::noinline]] static const char *walk(Output *out, const char *p, const char *end, bool at_end,
                                          Cut *cut) {
    // The reader of "$$" is the same for the whole walk: chosen once.
    EscapeReader escape_reader = run_asked.limited ? read_escape : nullptr;
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
        bool whole =
            shell ? read_shell<with_options>(at_hand, dollar, end, at_end, escape_reader, &ref)
                  : read_plain(at_hand, dollar, end, at_end, &ref);
        if (!whole) {
            if (static_cast<size_t>(end - dollar) >= NAME_WINDOW) {
                // Its name is decided: what is left of it is only copied or dropped.
                ref.end = end;
                bool replaced =
                    emit_reference<shell, with_options, listing, escaping>(&at, dollar, ref);
                cut->tail = replaced || listing ? Tail::skip : Tail::copy;
                cut->braced = ref.braced;
                dollar = end;
            }
            place_out(&at);
            return dollar;
        }
        emit_reference<shell, with_options, listing, escaping>(&at, dollar, ref);
        p = ref.end;
    }
}

// Walks start..end, SCAN_PAST bytes past which are writable, with
// BEFORE_START bytes before start. Returns how many bytes at the end are a
// cut reference, to be walked again with the next block.
template <bool shell, bool with_options, bool listing, bool escaping>
static size_t substitute_block(Output *out, char *start, char *end, bool at_end, Cut *cut) {
    // A NUL stops every scan; the zeros after it are for find_dollar's word,
    // the scans that read past it and the window, which finds no "$" there.
    std::memset(end, 0, SCAN_PAST);
    const char *p = start;
    reports_at(start);
    shell_memo_forget();
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
    const char *rest = walk<shell, with_options, true, listing, escaping>(out, p, end, at_end, cut);
    count_lines_to(rest);
    return static_cast<size_t>(end - rest);
}

void expand_text(Output *out, const char *p, const char *end) {
    Cut none = {Tail::none, false};
    if (run_asked.escaping_values)
        walk<true, true, false, false, true>(out, p, end, true, &none);
    else
        walk<true, true, false, false, false>(out, p, end, true, &none);
}

const char *reference_end(const char *dollar, const char *end) {
    Reference ref;
    read_shell<true>(nullptr, dollar, end, true, run_asked.limited ? read_escape : nullptr, &ref);
    return ref.end;
}

uint64_t substitute_stream(int in, int out_fd, size_t block_size, Rules asked) {
    environment_index();
    RunAsked run = {};
    run.rules = asked;
    run.unindexed_matter = environment_values_hold_equals() || asked.nounset || asked.keep;
    run.names_limit = name_list_given;
    run.limited = name_list_given || asked.braced || asked.keep;
    run.unvalued_slots = name_list_given;
    run.checking = asked.nounset || asked.noempty;
    // -r lists names and writes no value: it has nothing to escape.
    escape_start(asked.references ? EscapeFormat::none : asked.escape, !asked.references);
    run.escaping_values = escape_given();
    run.expand = expand_text;
    run.reference_end = reference_end;
    run_asked = run;
    bool escaping_values = run.escaping_values;
    // Only -s, these options (-k under -s, for its "$$"), a list, -r and -E
    // change the walk itself.
    bool with_options =
        asked.braced || asked.noempty || name_list_given || (asked.shell && asked.keep);
    size_t (*walk_block)(Output *, char *, char *, bool, Cut *) =
        asked.references ? (asked.shell ? substitute_block<true, true, true, false>
                                        : substitute_block<false, true, true, false>)
        : escaping_values
            ? (asked.shell ? (with_options ? substitute_block<true, true, false, true>
                                           : substitute_block<true, false, false, true>)
                           : (with_options ? substitute_block<false, true, false, true>
                                           : substitute_block<false, false, false, true>))
        : asked.shell ? (with_options ? substitute_block<true, true, false, false>
                                      : substitute_block<true, false, false, false>)
                      : (with_options ? substitute_block<false, true, false, false>
                                      : substitute_block<false, false, false, false>);
    // Lines are counted where reports can arise: -E's for JSON and XML too.
    reports_start(asked.nounset || asked.noempty || (asked.shell && !asked.references) ||
                  (escaping_values && escape_may_leave_out()));
    // Reports go out before each write of the output: a failing output ends
    // the run, and they must not be lost.
    before_output = reports_flush;
    Buffers buffers = buffers_take(block_size);
    char *target = buffers.target;
    Output out = {out_fd, buffers.output, buffers.output, buffers.output + block_size};
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
    shell_memo_forget();
    buffers_give_back(buffers);
    environment_release();
    noted_names_release();
    run_asked = {};
    escape_start(EscapeFormat::none, false);
    return reports_count();
}
