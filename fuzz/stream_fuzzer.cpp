// Fuzzes the stream filter in memory. The input is split into a block size
// and how much a read gives (first byte), arguments and environment entries
// (lines, up to the first and second byte 0x01) and the standard input text
// (the rest), and each run is checked against properties that must hold for
// any input. An argument line "-k", "-b", "-e", "-u", "-s" or "-r" is that
// option, "-pTEXT" a prefix; any other is an operand.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "env_file.hpp"
#include "escape.hpp"
#include "input_file.hpp"
#include "io.hpp"
#include "model.hpp"
#include "names.hpp"
#include "substitute.hpp"

extern char **environ;

// The filter's descriptors stand for memory: the link wraps read and write
// (-Wl,--wrap=read,--wrap=write), and the wrappers below serve the input from
// memory and catch what is written to the output and to standard error while
// a run is on. Any other descriptor goes to the system as before. A
// descriptor read costs a system call per block, and the small blocks that cut
// references everywhere made those calls most of the time a run took.
static int in_fd = -1;
static int out_fd = -1;
// A -f file, named by its /proc path.
static int env_fd = -1;
static std::string env_path;
static bool catching = false;
static std::string_view unread;
// The most bytes a read gives, as a pipe gives what was written so far; 0:
// as much as there is, as a regular file does.
static size_t read_most = 0;
static std::string *caught_out = nullptr;
static std::string *caught_err = nullptr;

extern "C" ssize_t __real_read(int fd, void *data, size_t size);
extern "C" ssize_t __real_write(int fd, const void *data, size_t size);

// Reads as from a regular file, or in pieces as from a pipe (read_most).
extern "C" ssize_t __wrap_read(int fd, void *data, size_t size) {
    if (!catching || fd != in_fd)
        return __real_read(fd, data, size);
    size_t n = std::min(size, unread.size());
    if (read_most != 0)
        n = std::min(n, read_most);
    std::memcpy(data, unread.data(), n);
    unread.remove_prefix(n);
    return static_cast<ssize_t>(n);
}

extern "C" ssize_t __wrap_write(int fd, const void *data, size_t size) {
    std::string *to = !catching             ? nullptr
                      : fd == out_fd        ? caught_out
                      : fd == STDERR_FILENO ? caught_err
                                            : nullptr;
    if (to == nullptr)
        return __real_write(fd, data, size);
    to->append(static_cast<const char *>(data), size);
    return static_cast<ssize_t>(size);
}

[[noreturn]] static void fail_property(const char *what, std::string_view in,
                                       std::string_view expected, std::string_view got) {
    std::fprintf(stderr, "property failed: %s\ninput %zu bytes, expected %zu, got %zu\n", what,
                 in.size(), expected.size(), got.size());
    size_t i = 0;
    while (i < expected.size() && i < got.size() && expected[i] == got[i])
        i++;
    std::fprintf(stderr, "first difference at byte %zu\n", i);
    std::abort();
}

// What a run wrote and returned.
struct Run {
    std::string out;
    std::string err;
    uint64_t count;
};

static Rules rules_of(const ModelOptions &options, EscapeFormat escape) {
    return {options.nounset, options.noempty,    options.keep, options.braced,
            options.shell,   options.references, escape,       false};
}

// One run of substitute_stream with the given list, environment, block size
// and options, its output and standard error caught; the process-wide state is
// reset after it. The input is in from when it is given (a real descriptor,
// read by the system), otherwise served from memory.
static Run filter(std::string_view in, const std::vector<std::string> &operands,
                  const std::vector<std::string> &env, size_t block_size,
                  const ModelOptions &options = {}, int from = -1,
                  EscapeFormat escape = EscapeFormat::none,
                  const std::vector<std::pair<EscapeFormat, std::string>> &lists = {}) {
    for (const auto &names : lists) {
        const char *refused;
        if (!escape_names_add(names.first, names.second.c_str(), &refused))
            std::abort();
    }
    std::vector<std::string> copies(operands);
    for (std::string &operand : copies)
        name_list_add_operand(operand.data());
    for (const std::string &prefix : options.prefixes)
        name_list_add_prefix(prefix.c_str());
    std::vector<std::string> entries(env);
    std::vector<char *> environment;
    for (std::string &entry : entries)
        environment.push_back(entry.data());
    environment.push_back(nullptr);
    char **saved = environ;
    environ = environment.data();

    Run run;
    unread = from < 0 ? in : std::string_view();
    caught_out = &run.out;
    caught_err = &run.err;
    catching = true;
    run.count =
        substitute_stream(from < 0 ? in_fd : from, out_fd, block_size, rules_of(options, escape));
    catching = false;
    if (!unread.empty())
        fail_property("the whole input is read", in, in, in.substr(0, in.size() - unread.size()));

    environ = saved;
    name_list_release();
    escape_release();
    return run;
}

static std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find_first_of(std::string_view("\n\0", 2), i);
        if (end == std::string_view::npos)
            end = text.size();
        lines.emplace_back(text.substr(i, end - i));
        i = end + 1;
    }
    return lines;
}

// Short reads must not end the input nor lose what they cut.
static size_t pick_read_most(uint8_t byte) {
    static const size_t pieces[] = {0, 1, 5, 64, 1000, 4096};
    return byte < 240 ? pieces[byte / 40] : 0;
}

static size_t pick_block_size(uint8_t byte) {
    // Small blocks cut references everywhere; those near the 4097-byte
    // window exercise the carry of a long reference.
    static const size_t large[] = {4095, 4096, 4097, 4098, 4099, 8191, 8193, BLOCK_SIZE};
    if (byte < 248)
        return 1 + byte % 40;
    return large[byte - 248];
}

// A name that is a substring of nothing in the input, so no reference names it.
static std::string absent_name(std::string_view in) {
    for (unsigned n = 0;; n++) {
        std::string name = "Q" + std::to_string(n);
        if (in.find(name) == std::string_view::npos)
            return name;
    }
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Descriptors of their own, so that no other use of them is caught.
    in_fd = memfd_create("fillvars-in", 0);
    out_fd = memfd_create("fillvars-out", 0);
    env_fd = memfd_create("fillvars-env", 0);
    env_path = "/proc/self/fd/" + std::to_string(env_fd);
    return in_fd < 0 || out_fd < 0 || env_fd < 0;
}

// Loads text as the one -f file of the next runs (env_files_release ends
// it), with env as the environment that its values see, the runs' own.
static void load_env_file(std::string_view in, const std::string &text,
                          const std::vector<std::string> &env) {
    if (ftruncate(env_fd, 0) != 0 ||
        pwrite(env_fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        std::abort();
    // Kept to the next load: the index that the load builds, which the next
    // run takes, holds the names where the environment holds them.
    static std::vector<std::string> entries;
    static std::vector<char *> environment;
    entries = env;
    environment.clear();
    for (std::string &entry : entries)
        environment.push_back(entry.data());
    environment.push_back(nullptr);
    char **saved = environ;
    environ = environment.data();
    env_file_add(env_path.c_str());
    bool loaded = env_files_load();
    environ = saved;
    if (!loaded)
        fail_property("a file written from the environment loads", in, text, "");
}

// The environment's entries whose names a -f file can hold, each name's first.
static std::vector<std::string> shell_entries(const std::vector<std::string> &env) {
    std::vector<std::string> kept;
    for (const std::string &entry : env) {
        size_t equals = entry.find('=');
        bool name =
            equals != std::string::npos && equals > 0 && !(entry[0] >= '0' && entry[0] <= '9');
        for (size_t i = 0; name && i < equals; i++) {
            char c = entry[i];
            name = c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                   (c >= '0' && c <= '9');
        }
        bool first = true;
        for (const std::string &other : kept)
            first = first && other.compare(0, equals + 1, entry, 0, equals + 1) != 0;
        if (name && first)
            kept.push_back(entry);
    }
    return kept;
}

// The entries as a -f file: NAME="VALUE", escaped so that the value comes
// back, "$" too.
static std::string as_env_file(const std::vector<std::string> &entries) {
    std::string file;
    for (const std::string &entry : entries) {
        size_t equals = entry.find('=');
        file += entry.substr(0, equals) + "=\"";
        for (char c : entry.substr(equals + 1)) {
            if (c == '\\' || c == '"' || c == '$')
                file += '\\';
            if (c == '\r')
                file += "\\r";
            else
                file += c;
        }
        file += "\"\n";
    }
    return file;
}

// The input with each reference (by the plain rule) replaced by what
// replacement makes of its text.
template <typename Replacement>
static std::string rewrite_references(std::string_view in, Replacement replacement) {
    std::string out;
    for (size_t i = 0; i < in.size();) {
        if (in[i] != '$') {
            out += in[i++];
            continue;
        }
        size_t end = model_reference_end(in, i);
        out += replacement(in.substr(i, end - i));
        i = end;
    }
    return out;
}

// The length of the UTF-8 character at i by its code point (0: none
// there); *code is the code point.
static size_t utf8_char(std::string_view s, size_t i, uint32_t *code) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 1 : c >> 5 == 6 ? 2 : c >> 4 == 14 ? 3 : c >> 3 == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size())
        return 0;
    uint32_t v = n == 1 ? c : c & (0x7f >> n);
    for (size_t k = 1; k < n; k++) {
        unsigned char next = static_cast<unsigned char>(s[i + k]);
        if (next >> 6 != 2)
            return 0;
        v = v << 6 | (next & 0x3f);
    }
    static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < least[n] || v > 0x10ffff || (v >= 0xd800 && v <= 0xdfff))
        return 0;
    *code = v;
    return n;
}

// -E's formats written again from their tables, by code point, to hold the
// escapers to.
static std::string model_escape_value(EscapeFormat format, std::string_view value) {
    std::string out;
    char hex[16];
    for (size_t i = 0; i < value.size();) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        uint32_t code = 0;
        size_t n = utf8_char(value, i, &code);
        if (format == EscapeFormat::url) {
            bool plain = std::isalnum(c) != 0 || std::strchr("-._~", c) != nullptr;
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += plain && c != 0 ? std::string(1, static_cast<char>(c)) : std::string(hex);
            i++;
        } else if (format == EscapeFormat::sh) {
            out += c == '\'' ? std::string("'\\''") : std::string(1, static_cast<char>(c));
            i++;
        } else if (format == EscapeFormat::json) {
            const char *named = code == '"'    ? "\\\""
                                : code == '\\' ? "\\\\"
                                : code == '\b' ? "\\b"
                                : code == '\f' ? "\\f"
                                : code == '\n' ? "\\n"
                                : code == '\r' ? "\\r"
                                : code == '\t' ? "\\t"
                                               : nullptr;
            bool coded = n > 0 && (code < 0x20 || (code >= 0x7f && code <= 0x9f) ||
                                   code == 0x2028 || code == 0x2029 || code == 0xfffe ||
                                   code == 0xffff || std::strchr("<>&'`$", c) != nullptr);
            std::snprintf(hex, sizeof hex, "\\u%04x", code);
            out += n == 0             ? std::string()
                   : named != nullptr ? std::string(named)
                   : coded            ? std::string(hex)
                                      : std::string(value.substr(i, n));
            i += n == 0 ? 1 : n;
        } else {
            const char *named = code == '&'    ? "&amp;"
                                : code == '<'  ? "&lt;"
                                : code == '>'  ? "&gt;"
                                : code == '"'  ? "&quot;"
                                : code == '\'' ? "&#39;"
                                : code == '\t' ? "&#9;"
                                : code == '\n' ? "&#10;"
                                : code == '\r' ? "&#13;"
                                               : nullptr;
            bool held = n > 0 && code >= 0x20 && code != 0xfffe && code != 0xffff;
            out += n > 0 && named != nullptr ? std::string(named)
                   : held                    ? std::string(value.substr(i, n))
                                             : std::string();
            i += n == 0 ? 1 : n;
        }
    }
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    size_t block_size = pick_block_size(data[0]);
    read_most = pick_read_most(data[0]);
    std::string_view rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::vector<std::string> operands, env;
    size_t first = rest.find('\x01');
    size_t second = first == std::string_view::npos ? first : rest.find('\x01', first + 1);
    if (second != std::string_view::npos) {
        operands = split_lines(rest.substr(0, first));
        env = split_lines(rest.substr(first + 1, second - first - 1));
        rest.remove_prefix(second + 1);
    }
    std::string_view in = rest;

    // Option lines out of the arguments; the rest are operands.
    ModelOptions options = {};
    std::vector<std::string> plain_operands;
    for (const std::string &argument : operands) {
        if (argument == "-k")
            options.keep = true;
        else if (argument == "-b")
            options.braced = true;
        else if (argument == "-e")
            options.noempty = true;
        else if (argument == "-u")
            options.nounset = true;
        else if (argument == "-s")
            options.shell = true;
        else if (argument == "-r")
            options.references = true;
        else if (argument.compare(0, 2, "-p") == 0)
            options.prefixes.push_back(argument.substr(2, argument.find('\0') - 2));
        else
            plain_operands.push_back(argument);
    }
    operands = plain_operands;
    std::vector<std::string> list;
    for (const std::string &operand : operands)
        model_add_operand(list, operand);
    bool given = !operands.empty();

    // Without options, the rule as it always was, at the chosen block size
    // and at the default one. model_filter knows no option: it is the proof
    // that options (-E among them) change nothing for a run that does not
    // use them.
    std::string expected = model_filter(in, list, given, env);
    Run plain = filter(in, operands, env, block_size);
    if (plain.out != expected)
        fail_property("output follows the reference rule", in, expected, plain.out);
    if (!plain.err.empty() || plain.count != 0)
        fail_property("without options nothing is reported", in, "", plain.err);
    if (block_size != BLOCK_SIZE) {
        std::string whole = filter(in, operands, env, BLOCK_SIZE).out;
        if (whole != plain.out)
            fail_property("block size does not change the output", in, plain.out, whole);
    }

    // -i FILE: the template in a file, read through the descriptor that -i
    // opens, gives what standard input gives.
    int memory = memfd_create("template", MFD_CLOEXEC);
    if (memory < 0 || !write_waiting(memory, in.data(), in.size()))
        std::abort();
    std::string path = "/proc/self/fd/" + std::to_string(memory);
    int template_fd = input_file_open(path.c_str());
    Run from_template = filter(in, operands, env, block_size, {}, template_fd);
    close(template_fd);
    close(memory);
    on_read_failure = nullptr;
    if (from_template.out != plain.out || !from_template.err.empty())
        fail_property("-i FILE gives what standard input gives", in, plain.out, from_template.out);

    // -u changes nothing in the output, and reports what the model finds.
    ModelOptions nounset = {};
    nounset.nounset = true;
    Run checked = filter(in, operands, env, block_size, nounset);
    if (checked.out != plain.out)
        fail_property("-u leaves the output as it is", in, plain.out, checked.out);
    std::string expected_reports = model_unset_reports(in, list, given, env);
    if (checked.err != expected_reports)
        fail_property("-u reports what the model finds", in, expected_reports, checked.err);
    if ((checked.count > 0) != !expected_reports.empty())
        fail_property("-u fails exactly when something is reported", in, expected_reports,
                      checked.err);

    // The options the input asks for, against the model, at two block sizes;
    // the status says whether anything was reported. Under -r the output is
    // the names the model considers; the reports are those of the run without
    // it under -u or -e, and there are none without them.
    // Without option lines, or with -u alone, that run was made above.
    ModelRun model = model_run(in, list, given, env, options);
    if (options.references) {
        model.out = model_references(in, list, given, env, options);
        if (!options.nounset && !options.noempty)
            model.err.clear();
    }
    bool no_options = !options.keep && !options.braced && !options.noempty && !options.shell &&
                      !options.references && options.prefixes.empty();
    Run optioned = !no_options       ? filter(in, operands, env, block_size, options)
                   : options.nounset ? checked
                                     : plain;
    if (optioned.out != model.out)
        fail_property("options: output follows the model", in, model.out, optioned.out);
    if (optioned.err != model.err)
        fail_property("options: reports follow the model", in, model.err, optioned.err);
    if ((optioned.count > 0) != !model.err.empty())
        fail_property("options: status follows the reports", in, model.err, optioned.err);
    if (block_size != BLOCK_SIZE && !(no_options && !options.nounset)) {
        Run whole = filter(in, operands, env, BLOCK_SIZE, options);
        if (whole.out != optioned.out)
            fail_property("options: block size does not change the output", in, optioned.out,
                          whole.out);
        if (whole.err != optioned.err)
            fail_property("options: block size does not change the reports", in, optioned.err,
                          whole.err);
    }

    // -r with the same options lists the names the model considers, and
    // reports as the run without it did under -u or -e; without them it only
    // lists, reporting nothing.
    if (!options.references) {
        ModelOptions listing = options;
        listing.references = true;
        Run listed = filter(in, operands, env, block_size, listing);
        std::string names = model_references(in, list, given, env, options);
        if (listed.out != names)
            fail_property("-r lists the names the model considers", in, names, listed.out);
        bool checks = options.nounset || options.noempty;
        if (checks && (listed.err != optioned.err || (listed.count > 0) != (optioned.count > 0)))
            fail_property("-r -u, -r -e report as the run without -r", in, optioned.err,
                          listed.err);
        if (!checks && (!listed.err.empty() || listed.count != 0))
            fail_property("-r without -u or -e reports nothing", in, "", listed.err);
    }

    // -E by the plain rule: each value is written as the format escapes it,
    // as if the environment held the escaped values, and the template's own
    // text as it stands. Not where a value holds "=", which getenv compares
    // when it looks for a name holding one. A value that JSON or XML cannot
    // hold is also reported, which the run with escaped values does not do.
    // -r ignores -E.
    bool values_hold_equals = false;
    for (const std::string &entry : env) {
        size_t equals = entry.find('=');
        values_hold_equals =
            values_hold_equals ||
            (equals != std::string::npos && entry.find('=', equals + 1) != std::string::npos);
    }
    for (EscapeFormat format :
         {EscapeFormat::json, EscapeFormat::xml, EscapeFormat::url, EscapeFormat::sh}) {
        if (options.shell || values_hold_equals)
            break;
        std::vector<std::string> escaped_env;
        for (const std::string &entry : env) {
            size_t equals = entry.find('=');
            escaped_env.push_back(equals == std::string::npos
                                      ? entry
                                      : entry.substr(0, equals + 1) +
                                            model_escape_value(format, entry.substr(equals + 1)));
        }
        Run want = filter(in, operands, escaped_env, block_size, options);
        Run escaped = filter(in, operands, env, block_size, options, -1, format);
        if (escaped.out != want.out)
            fail_property("-E writes each value escaped", in, want.out, escaped.out);
        if (format != EscapeFormat::xml && format != EscapeFormat::json && escaped.err != want.err)
            fail_property("-E reports as the run with escaped values", in, want.err, escaped.err);
    }
    // -E FORMAT:NAMES: the listed names' values in their format, every other
    // name's in -E FORMAT's or as it stands. A name is listed by its length,
    // so that every entry for it is escaped alike; the names that no list
    // holds, without -E FORMAT, are written byte for byte as without -E.
    for (bool every_other : {false, true}) {
        if (options.shell || values_hold_equals)
            break;
        std::string names;
        std::vector<std::string> escaped_env;
        for (const std::string &entry : env) {
            size_t equals = entry.find('=');
            if (equals == std::string::npos || equals == 0) {
                escaped_env.push_back(entry);
                continue;
            }
            std::string name = entry.substr(0, equals);
            bool listed = name.size() % 2 == 0 &&
                          name.find_first_of(", \t\r\n$}{") == std::string::npos &&
                          name.find('\0') == std::string::npos && name.size() <= NAME_LIMIT;
            if (listed)
                names += name + ",";
            EscapeFormat format = listed        ? EscapeFormat::sh
                                  : every_other ? EscapeFormat::url
                                                : EscapeFormat::none;
            escaped_env.push_back(format == EscapeFormat::none
                                      ? entry
                                      : name + "=" +
                                            model_escape_value(format, entry.substr(equals + 1)));
        }
        Run want = filter(in, operands, escaped_env, block_size, options);
        Run escaped = filter(in, operands, env, block_size, options, -1,
                             every_other ? EscapeFormat::url : EscapeFormat::none,
                             {{EscapeFormat::sh, names}});
        if (escaped.out != want.out || escaped.err != want.err)
            fail_property("-E FORMAT:NAMES writes each value in its name's format", in, want.out,
                          escaped.out);
    }
    if (options.references) {
        Run listed = filter(in, operands, env, block_size, options, -1, EscapeFormat::xml);
        if (listed.out != optioned.out || listed.err != optioned.err)
            fail_property("-r ignores -E", in, optioned.out, listed.out);
    }

    // -s without a limit (no operand, prefix or -b): "$$" is one "$", as it
    // always was, where a limit makes it an escape only of what is replaced.
    if (!(options.shell && !given && options.prefixes.empty() && !options.braced)) {
        ModelOptions shell = {};
        shell.shell = true;
        ModelRun unlimited = model_run(in, {}, false, env, shell);
        Run got_shell = filter(in, {}, env, block_size, shell);
        if (got_shell.out != unlimited.out)
            fail_property("-s without a limit follows the model", in, unlimited.out, got_shell.out);
    }

    // A template with none of the forms that read the value (${#NAME},
    // ${NAME#P}, ${NAME:1}, ${NAME/P/S}, ${NAME^}... or one not read) runs as
    // it did before they came: the grammar without them gives the same run.
    if (options.shell && !model_has_value_forms(in)) {
        model_value_forms = false;
        ModelRun before = model_run(in, list, given, env, options);
        if (options.references) {
            before.out = model_references(in, list, given, env, options);
            if (!options.nounset && !options.noempty)
                before.err.clear();
        }
        model_value_forms = true;
        if (optioned.out != before.out || optioned.err != before.err)
            fail_property("-s: a run without the value forms is unchanged", in, before.out,
                          optioned.out);
    }

    // -f: a file of variables acts as the environment's entries would, after
    // its own: the same entries given by a file instead give the same run,
    // and a file that sets only names the environment sets changes nothing.
    std::vector<std::string> settable = shell_entries(env);
    Run direct = filter(in, operands, settable, block_size, options);
    load_env_file(in, as_env_file(settable), {});
    Run from_file = filter(in, operands, {}, block_size, options);
    env_files_release();
    if (from_file.out != direct.out || from_file.err != direct.err)
        fail_property("-f: a file's variables act as the environment's", in, direct.out,
                      from_file.out);
    std::vector<std::string> overridden;
    for (const std::string &entry : settable)
        overridden.push_back(entry.substr(0, entry.find('=')) + "=from the file $X");
    load_env_file(in, as_env_file(overridden), env);
    Run shadowed = filter(in, operands, env, block_size, options);
    env_files_release();
    if (shadowed.out != optioned.out || shadowed.err != optioned.err)
        fail_property("-f: the environment's own entries win", in, optioned.out, shadowed.out);

    // -k with nothing set: every reference stays, so the input comes back
    // (not under -s, where "$$" and the forms have their own say, nor -r).
    ModelOptions keep = options;
    keep.keep = true;
    keep.shell = false;
    keep.references = false;
    Run kept = filter(in, operands, {}, block_size, keep);
    if (kept.out != in)
        fail_property("-k with nothing set leaves the input unchanged", in, in, kept.out);

    // -b leaves every bare reference, and takes braced ones as before.
    ModelOptions braced = {};
    braced.braced = true;
    expected = rewrite_references(in, [](std::string_view reference) {
        return reference.size() < 2 || reference[1] != '{' ? std::string(reference) : "";
    });
    Run bare = filter(in, {}, {}, block_size, braced);
    if (bare.out != expected)
        fail_property("-b removes only braced references", in, expected, bare.out);

    // A prefix that no name begins with allows nothing, as operands that name
    // nothing do: the input comes back.
    ModelOptions absent = {};
    absent.prefixes.push_back(absent_name(in));
    Run limited = filter(in, {}, env, block_size, absent);
    if (limited.out != in)
        fail_property("an absent prefix leaves the input unchanged", in, in, limited.out);

    // Only an absent name listed: nothing is replaced, the input comes back.
    std::string got = filter(in, {absent_name(in)}, env, block_size).out;
    if (got != in)
        fail_property("an absent listed name leaves the input unchanged", in, in, got);

    // Operands that name nothing allow nothing: the input comes back.
    got = filter(in, {",", "", " \t"}, env, block_size).out;
    if (got != in)
        fail_property("operands naming nothing leave the input unchanged", in, in, got);

    // Under -s too, without the model: a limit that allows nothing replaces
    // nothing, so every "$$" stays whole and the input comes back; -r lists
    // nothing, and nothing is reported.
    ModelOptions shell_absent = absent;
    shell_absent.shell = true;
    shell_absent.nounset = true;
    Run shell_kept = filter(in, {}, env, block_size, shell_absent);
    if (shell_kept.out != in || !shell_kept.err.empty())
        fail_property("-s: an absent prefix leaves the input unchanged", in, in, shell_kept.out);
    shell_absent.prefixes.clear();
    shell_kept = filter(in, {",", "", " \t"}, env, block_size, shell_absent);
    if (shell_kept.out != in || !shell_kept.err.empty())
        fail_property("-s: operands naming nothing leave the input unchanged", in, in,
                      shell_kept.out);
    shell_absent.references = true;
    shell_kept = filter(in, {absent_name(in)}, env, block_size, shell_absent);
    if (!shell_kept.out.empty() || !shell_kept.err.empty())
        fail_property("-s -r: an absent listed name lists nothing", in, "", shell_kept.out);

    // No list, no environment: every reference disappears, nothing else does.
    expected = rewrite_references(in, [](std::string_view) { return std::string(); });
    got = filter(in, {}, {}, block_size).out;
    if (got != expected)
        fail_property("with nothing set every reference is removed", in, expected, got);

    // A value made of reference syntax is written as it stands, not scanned.
    const std::string value = "$V${V}}{$$ {V}$\t$V\n${";
    expected = rewrite_references(in, [&](std::string_view reference) {
        return model_name(reference) == "V" ? value : std::string();
    });
    got = filter(in, {}, {"V=" + value}, block_size).out;
    if (got != expected)
        fail_property("a value is written verbatim", in, expected, got);
    return 0;
}
