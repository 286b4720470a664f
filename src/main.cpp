// The entry point of fillvars, which copies standard input to standard output
// replacing references to environment variables ($NAME or ${NAME}): the
// options, the run modes (listing, references, filtering) and the exit status.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "env_file.hpp"
#include "escape.hpp"
#include "input_file.hpp"
#include "io.hpp"
#include "names.hpp"
#include "output_file.hpp"
#include "substitute.hpp"

// One row a line: tests/man_test.sh reads the table.
// clang-format off
static const struct option options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"variables", no_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, 'V'},
    {"nounset", no_argument, nullptr, 'u'},
    {"keep", no_argument, nullptr, 'k'},
    {"braced", no_argument, nullptr, 'b'},
    {"prefix", required_argument, nullptr, 'p'},
    {"noempty", no_argument, nullptr, 'e'},
    {"shell", no_argument, nullptr, 's'},
    {"output", required_argument, nullptr, 'o'},
    {"references", no_argument, nullptr, 'r'},
    {"env-file", required_argument, nullptr, 'f'},
    {"input", required_argument, nullptr, 'i'},
    {"escape", required_argument, nullptr, 'E'},
    {nullptr, 0, nullptr, 0},
};
// clang-format on

// Every way out passes here: output that could not be written is a failure,
// whatever the run was going to return.
static void close_stdout() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "fillvars: write: %s\n", std::strerror(errno));
        _exit(1);
    }
}

// Usage and version end the run where they are met: what the options before
// them collected (prefixes, -f files) is given back first.
static void release_options() {
    name_list_release();
    env_files_release();
}

[[noreturn]] static void show_usage() {
    // Through the waiting write, as listing and the filter are: a
    // non-blocking standard output that is full for a moment is no failure.
    static const char usage[] = "usage: fillvars [OPTIONS] [VARIABLE-NAMES...]\n"
                                "       VARIABLE-NAMES can be specified in shell format or bare.\n";
    write_all(STDOUT_FILENO, usage, sizeof usage - 1);
    release_options();
    std::exit(0);
}

[[noreturn]] static void show_version() {
    static const char version[] = "fillvars 0.1\n";
    write_all(STDOUT_FILENO, version, sizeof version - 1);
    release_options();
    std::exit(0);
}

// Under -s an operand that cannot be a name is mostly the template, named
// where it is not read: the first such field is reported, before any input
// is read.
static bool operands_are_names(int count, char **operands) {
    for (int i = 0; i < count; i++) {
        const char *field;
        size_t length;
        if (name_operand_refused(operands[i], &field, &length)) {
            static const char why[] =
                "\" is not a name: the template is read from standard input, or from -i FILE";
            MessagePart parts[] = {
                {"\"", 1, false}, {field, length, true}, {why, sizeof why - 1, false}};
            write_message(parts, sizeof parts / sizeof *parts);
            return false;
        }
    }
    return true;
}

// -E's FORMAT, checked once the options are read: a bad one, or a second
// -E, ends the run before any input is read, in every mode.
static bool escape_format_taken(const char *given, int count, EscapeFormat *format) {
    if (count > 1) {
        static const char twice[] = "-E given twice: a run has one escape format";
        const MessagePart parts[] = {{twice, sizeof twice - 1, false}};
        write_message(parts, 1);
        return false;
    }
    if (count == 0 || escape_format_parse(given, format))
        return true;
    static const char lead[] = "unknown escape format \"", known[] = "\": json, xml, url or sh";
    const MessagePart parts[] = {{lead, sizeof lead - 1, false},
                                 {given, std::strlen(given), true},
                                 {known, sizeof known - 1, false}};
    write_message(parts, 3);
    return false;
}

int main(int argc, char *argv[]) {
    std::atexit(close_stdout);
    bool listing = false;
    Rules rules = {};
    const char *output = nullptr;
    const char *input = nullptr;
    int inputs = 0;
    bool input_missing = false;
    const char *escape = nullptr;
    int escapes = 0;
    int option;
    while ((option = getopt_long(argc, argv, "hvVukbp:eso:rf:i:E:", options, nullptr)) != -1) {
        switch (option) {
        case 'h':
            show_usage();
        case 'V':
            show_version();
        case 'v':
            listing = true;
            break;
        case 'u':
            rules.nounset = true;
            break;
        case 'e':
            rules.noempty = true;
            break;
        case 'k':
            rules.keep = true;
            break;
        case 'b':
            rules.braced = true;
            break;
        case 'p':
            name_list_add_prefix(optarg);
            break;
        case 's':
            rules.shell = true;
            break;
        case 'r':
            rules.references = true;
            break;
        case 'f':
            env_file_add(optarg);
            break;
        case 'E':
            escape = optarg;
            escapes++;
            break;
        case 'o':
            // "-" is standard output, as without the option.
            output = std::strcmp(optarg, "-") == 0 ? nullptr : optarg;
            break;
        case 'i':
            input = optarg;
            inputs++;
            break;
        default:
            // getopt_long has reported it; the run goes on without it. Not
            // so for -i without its FILE: reading standard input instead
            // would render the empty input of a job that gives none.
            if (optopt == 'i')
                input_missing = true;
            break;
        }
    }
    if (input_missing || inputs > 1) {
        if (!input_missing) {
            static const char twice[] = "fillvars: -i given twice: the template is one file\n";
            write_waiting(STDERR_FILENO, twice, sizeof twice - 1);
        }
        release_options();
        return 1;
    }
    if (rules.shell && !operands_are_names(argc - optind, argv + optind)) {
        release_options();
        return 1;
    }
    for (int i = optind; i < argc; i++)
        name_list_add_operand(argv[i]);
    if (!escape_format_taken(escape, escapes, &rules.escape)) {
        release_options();
        return 1;
    }
    // -v reads no input: with -r too, it lists the operands.
    if (listing) {
        name_list_print();
        return 0;
    }
    // Before any input is read and before -o creates anything: a bad file
    // ends the run with nothing written.
    int in = input_file_open(input);
    if (!env_files_load(rules, in)) {
        env_files_release();
        return 1;
    }
    int out = output == nullptr ? STDOUT_FILENO : output_file_open(output);
    // Reports (-u, -e, the "?" forms) fail the run: an output file is then left as it was
    // (one written in place keeps what was written).
    uint64_t reported = substitute_stream(in, out, BLOCK_SIZE, rules);
    name_list_release();
    env_files_release();
    if (reported > 0)
        return 1;
    if (output != nullptr)
        output_file_commit();
    return 0;
}
