// Fuzzes operand intake and name extraction: the input is a list of operands,
// one a line; the name list they build, what -v lists, the name each line
// denotes, the membership answers and the fields that -s refuses must match
// the model. Its bytes also pick an original command line (-h, -v, -V,
// abbreviated or grouped, "--", unknown options, operands), which must read
// as the three-option filter's rules say.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "command_line.hpp"
#include "model.hpp"
#include "names.hpp"

// What -v writes to standard output is caught: the link wraps write
// (-Wl,--wrap=write), and while the listing is on, this takes it.
static std::string *listing = nullptr;

extern "C" ssize_t __real_write(int fd, const void *data, size_t size);

extern "C" ssize_t __wrap_write(int fd, const void *data, size_t size) {
    if (listing == nullptr || fd != STDOUT_FILENO)
        return __real_write(fd, data, size);
    listing->append(static_cast<const char *>(data), size);
    return static_cast<ssize_t>(size);
}

// Under -s: the first field of operand whose name (model_name) is neither
// empty nor a shell name, or a view with no data.
static std::string_view model_non_name_field(std::string_view operand) {
    size_t i = 0;
    while (i <= operand.size()) {
        size_t end = operand.find_first_of(", \t\r\n", i);
        if (end == std::string_view::npos)
            end = operand.size();
        std::string name = model_name(operand.substr(i, end - i));
        bool shell = name.empty() || !(std::isdigit(static_cast<unsigned char>(name[0])));
        for (char c : name) {
            if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                  (c >= '0' && c <= '9')))
                shell = false;
        }
        if (end > i && !shell)
            return operand.substr(i, end - i);
        i = end + 1;
    }
    return {};
}

static void check(bool ok, const char *what, std::string_view detail) {
    if (!ok) {
        std::fprintf(stderr, "property failed: %s (%zu bytes)\n", what, detail.size());
        std::abort();
    }
}

// The words of an original command line: its options in every spelling, the
// options it never knew (letters and long names, some that only later
// options begin with), "--" and operands.
static const char *const words[] = {
    "-h",       "-v",         "-V",     "-vh",        "-Vv",           "-vx",     "-xV",
    "-zqv",     "-hx",        "-Z",     "--help",     "--he",          "--h",     "--variables",
    "--var",    "--version",  "--vers", "--ve",       "--v",           "--bogus", "--no",
    "--colour", "--help=yes", "--he=1", "--version=", "--variables=x", "--",      "A",
    "B,C",      "-",          "",       "$D",         "${E}",          "-1",      "-?"};

// What the three-option filter made of a line, by its rules: every option
// in order up to the first -h or -V, each unknown one reported; the
// operands are the rest, in order, and all that follows "--".
struct OriginalModel {
    OriginalAsk ask = OriginalAsk::filter;
    std::vector<std::string> operands;
    std::string err;
};

static OriginalModel model_original_line(const std::vector<std::string> &args,
                                         const std::string &program) {
    static const char *const longs[] = {"help", "variables", "version"};
    static const char letters[] = "hvV";
    OriginalModel m;
    bool options = true;
    for (const std::string &arg : args) {
        if (!options || arg.size() < 2 || arg[0] != '-') {
            m.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options = false;
            continue;
        }
        char found = 0;
        if (arg[1] == '-') {
            std::string name = arg.substr(2, arg.find('=') - 2);
            bool argument = arg.find('=') != std::string::npos;
            std::vector<int> matches;
            for (int i = 0; i < 3; i++) {
                if (name == longs[i]) {
                    matches = {i};
                    break;
                }
                if (std::string(longs[i]).compare(0, name.size(), name) == 0)
                    matches.push_back(i);
            }
            if (matches.empty())
                m.err += program + ": unrecognized option '" + arg + "'\n";
            else if (matches.size() > 1) {
                m.err += program + ": option '" + arg + "' is ambiguous; possibilities:";
                for (int i : matches)
                    m.err += std::string(" '--") + longs[i] + "'";
                m.err += "\n";
            } else if (argument)
                m.err +=
                    program + ": option '--" + longs[matches[0]] + "' doesn't allow an argument\n";
            else
                found = letters[matches[0]];
        } else {
            for (size_t i = 1; i < arg.size() && found != 'h' && found != 'V'; i++) {
                found = std::strchr(letters, arg[i]) != nullptr ? arg[i] : 0;
                if (found == 0)
                    m.err += program + ": invalid option -- '" + arg[i] + "'\n";
                if (found == 'v')
                    m.ask = OriginalAsk::listing;
            }
        }
        if (found == 'v')
            m.ask = OriginalAsk::listing;
        if (found == 'h' || found == 'V') {
            m.ask = found == 'h' ? OriginalAsk::usage : OriginalAsk::version;
            m.operands.clear();
            return m;
        }
    }
    return m;
}

// Reads args as the program does, its standard error caught.
static bool read_line(std::vector<std::string> args, OriginalAsk *ask,
                      std::vector<std::string> *operands, std::string *err) {
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int caught = memfd_create("err", 0);
    check(caught >= 0, "memfd_create", "");
    int saved = dup(STDERR_FILENO);
    dup2(caught, STDERR_FILENO);
    bool original = read_original_line(static_cast<int>(args.size()), argv.data(), ask);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    err->assign(static_cast<size_t>(lseek(caught, 0, SEEK_CUR)), '\0');
    check(pread(caught, err->data(), err->size(), 0) == static_cast<ssize_t>(err->size()), "pread",
          "");
    close(caught);
    operands->clear();
    for (int i = optind; original && i < static_cast<int>(args.size()); i++)
        operands->push_back(argv[static_cast<size_t>(i)]);
    return original;
}

// An original line, picked by the input's first bytes, reads as the model
// says; with -s added it is no longer original, and nothing is written.
static void check_original_line(std::string_view input) {
    const std::string program = "fillvars-fuzz";
    std::vector<std::string> args = {program};
    for (size_t i = 0; i < input.size() && i < 16; i++)
        args.push_back(
            words[static_cast<unsigned char>(input[i]) % (sizeof words / sizeof *words)]);
    OriginalModel want =
        model_original_line(std::vector<std::string>(args.begin() + 1, args.end()), program);
    OriginalAsk ask;
    std::vector<std::string> operands;
    std::string err;
    check(read_line(args, &ask, &operands, &err), "a line of -h -v -V is original", err);
    check(ask == want.ask, "an original line asks what the original rules say", err);
    check(err == want.err, "the parser's diagnostics, as the original rules give them", err);
    if (ask == OriginalAsk::filter || ask == OriginalAsk::listing)
        check(operands == want.operands, "the operands of an original line", err);
    // Before any "--", after which it would be an operand.
    size_t end = std::find(args.begin(), args.end(), "--") - args.begin();
    args.insert(args.begin() + static_cast<long>(1 + input.size() % end), "-s");
    check(!read_line(args, &ask, &operands, &err) && err.empty(),
          "-s makes a line extended, told silently", err);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> lines;
    for (size_t i = 0; i <= input.size();) {
        size_t end = input.find('\n', i);
        if (end == std::string_view::npos)
            end = input.size();
        lines.emplace_back(input.substr(i, end - i));
        i = end + 1;
    }

    std::vector<std::string> expected;
    for (const std::string &line : lines) {
        // The operand is a C string: it ends at its first NUL, if any.
        std::string operand(line.c_str());
        // -s's check: the first field whose name is neither empty nor a
        // shell name, and the operand left as it was for the list.
        std::string_view wrong = model_non_name_field(operand);
        const char *field = nullptr;
        size_t length = 0;
        bool refused = name_operand_refused(operand.c_str(), &field, &length);
        check(refused == (wrong.data() != nullptr), "-s refuses a field that is not a name",
              operand);
        if (refused)
            check(field == operand.c_str() + (wrong.data() - operand.data()) &&
                      length == wrong.size(),
                  "-s names the first field that is not a name", operand);
        check(operand == line.c_str(), "-s's check leaves the operand", operand);
        model_add_operand(expected, operand);
        name_list_add_operand(operand.data());
    }
    check(name_list.count == expected.size(), "list length", input);
    for (size_t i = 0; i < expected.size(); i++)
        check(name_list.items[i] == expected[i], "list entry", expected[i]);

    // -v: the names one a line, as read. With none it ends the run instead.
    if (!expected.empty()) {
        std::string listed, want;
        for (const std::string &name : expected)
            want += name + "\n";
        listing = &listed;
        name_list_print();
        listing = nullptr;
        check(listed == want, "-v lists the names", listed);
    }

    // Each line, whole, as extraction sees it and as a membership query. Every
    // input is at least one operand, so the list always limits: a name is in
    // it or not (model_contains with an operand given). A set, since a search
    // of the list for each line made long inputs quadratic.
    std::unordered_set<std::string> listed(expected.begin(), expected.end());
    for (const std::string &line : lines) {
        std::string text(line.c_str());
        std::string name = model_name(text);
        check(extract_name(text.c_str()) == name, "extracted name", text);
        check(name_list_contains(name.c_str()) == (listed.count(name) > 0), "membership", name);
    }
    for (const std::string &name : expected)
        check(name_list_contains(name.c_str()), "listed name is contained", name);

    name_list_release();
    check(name_list.count == 0 && name_list.items == nullptr, "release empties the list", input);
    check(name_list_contains("anything"), "empty list allows every name", input);

    check_original_line(input);
    return 0;
}
