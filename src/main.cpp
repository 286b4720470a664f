// The entry point of fillvars, which copies standard input to standard output
// replacing references to environment variables ($NAME or ${NAME}): the
// options, the run modes (listing, references, filtering) and the exit status.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "charset.hpp"
#include "command_line.hpp"
#include "env_file.hpp"
#include "escape.hpp"
#include "input_file.hpp"
#include "io.hpp"
#include "names.hpp"
#include "output_file.hpp"
#include "reports.hpp"
#include "substitute.hpp"
#include "template_folder.hpp"

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
// -E's arguments, read once the options are: -h and -V after a bad one
// still win. One of argv's each, so argc of them at most.
static const char **escape_args = nullptr;
static int escape_count = 0;

static void release_options() {
    name_list_release();
    env_files_release();
    escape_release();
    std::free(escape_args);
    escape_args = nullptr;
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

// -E FORMAT and -E FORMAT:NAMES, checked once the options are read: a
// format it does not know, a second -E FORMAT or a name in two lists ends
// the run before any input is read, in every mode.
static bool escape_option_taken(const char *given, bool *every_other_given, EscapeFormat *format) {
    const char *colon = std::strchr(given, ':');
    size_t length = colon != nullptr ? static_cast<size_t>(colon - given) : std::strlen(given);
    EscapeFormat parsed;
    if (!escape_format_parse(given, length, &parsed)) {
        static const char lead[] = "unknown escape format \"", known[] = "\": json, xml, url or sh";
        const MessagePart parts[] = {{lead, sizeof lead - 1, false},
                                     {given, length, true},
                                     {known, sizeof known - 1, false}};
        write_message(parts, 3);
        return false;
    }
    if (colon == nullptr) {
        if (*every_other_given) {
            static const char twice[] =
                "-E FORMAT given twice: the names that no list holds have one format";
            const MessagePart parts[] = {{twice, sizeof twice - 1, false}};
            write_message(parts, 1);
            return false;
        }
        *every_other_given = true;
        *format = parsed;
        return true;
    }
    const char *name;
    if (escape_names_add(parsed, colon + 1, &name))
        return true;
    static const char lead[] = "\"", why[] = "\" is in two lists of -E: a name has one format";
    const MessagePart parts[] = {{lead, sizeof lead - 1, false},
                                 {name, std::strlen(name), true},
                                 {why, sizeof why - 1, false}};
    write_message(parts, 3);
    return false;
}

// Under -s a prefix holding a byte no shell name holds allows nothing: a
// slip, refused as such operands are.
static bool prefix_is_shell(const char *prefix) {
    for (const char *p = prefix; *p != '\0'; p++) {
        char c = *p;
        if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

static void refuse_prefix(const char *prefix, const char *why) {
    static const char lead[] = "-p \"";
    const MessagePart parts[] = {{lead, sizeof lead - 1, false},
                                 {prefix, std::strlen(prefix), true},
                                 {why, std::strlen(why), false}};
    write_message(parts, 3);
}

// "-p=APP_" is the long options' "=" on a short one: the prefix would be
// "=APP_", which no name begins with.
static void refuse_prefix_equals(const char *prefix) {
    static const char lead[] = "-p \"", mid[] = "\": write -p ", tail[] = " or --prefix=";
    size_t length = std::strlen(prefix);
    const MessagePart parts[] = {{lead, sizeof lead - 1, false}, {prefix, length, true},
                                 {mid, sizeof mid - 1, false},   {prefix + 1, length - 1, true},
                                 {tail, sizeof tail - 1, false}, {prefix + 1, length - 1, true}};
    write_message(parts, 6);
}

// What an extended command line gives, besides the rules.
struct Extended {
    const char *output;
    const char *input;
    int inputs;
    bool listing;
    const char *suffix;
    bool env_files; // -f was given
};

// An extended line is read whole before anything is done: a slip in it (an
// unknown option, an argument to an option that takes none, an option
// without its argument) is getopt_long's diagnostic, then an error, with
// nothing read or written. -h and -V then win over the rest, as on any line.
static bool read_extended_line(int argc, char **argv, Rules *rules, Extended *line) {
    *line = {};
    char asked = 0;
    const char *slip = nullptr;
    const char *odd_prefix = nullptr;
    bool refused = false;
    int option;
    while ((option = getopt_long(argc, argv, all_short_options, all_options, nullptr)) != -1) {
        switch (option) {
        case 'h':
        case 'V':
            if (asked == 0)
                asked = static_cast<char>(option);
            break;
        case 'v':
            line->listing = true;
            break;
        case 'u':
            rules->nounset = true;
            break;
        case 'e':
            rules->noempty = true;
            break;
        case 'k':
            rules->keep = true;
            break;
        case 'b':
            rules->braced = true;
            break;
        case 'p':
            if (optarg[0] == '=') {
                refuse_prefix_equals(optarg);
                refused = true;
            } else if (odd_prefix == nullptr && !prefix_is_shell(optarg))
                odd_prefix = optarg;
            name_list_add_prefix(optarg);
            break;
        case 's':
            rules->shell = true;
            break;
        case 'r':
            rules->references = true;
            break;
        case 'f':
            env_file_add(optarg);
            line->env_files = true;
            break;
        case 'E':
            if (escape_args == nullptr) {
                escape_args = static_cast<const char **>(std::malloc(sizeof(char *) * argc));
                if (escape_args == nullptr)
                    fail("malloc");
            }
            escape_args[escape_count++] = optarg;
            break;
        case 'o':
            // "-" is standard output, as without the option.
            line->output = std::strcmp(optarg, "-") == 0 ? nullptr : optarg;
            break;
        case 'i':
            line->input = optarg;
            line->inputs++;
            break;
        case SUFFIX_OPTION:
            line->suffix = optarg;
            break;
        default:
            // getopt_long has reported it. An option that takes an
            // argument, in optopt, was met without it; any other is unknown,
            // ambiguous or given an argument it takes none of.
            if (slip == nullptr)
                slip = optopt == SUFFIX_OPTION || (optopt > 0 && optopt < 256 &&
                                                   std::strchr("pofiE", optopt) != nullptr)
                           ? "fillvars: an option is missing its argument: nothing was done\n"
                           : "fillvars: an option was not understood: nothing was done\n";
            break;
        }
    }
    if (slip != nullptr) {
        write_waiting(STDERR_FILENO, slip, std::strlen(slip));
        return false;
    }
    if (refused)
        return false;
    if (asked == 'h')
        show_usage();
    if (asked == 'V')
        show_version();
    if (line->inputs > 1) {
        static const char twice[] = "fillvars: -i given twice: the template is one file\n";
        write_waiting(STDERR_FILENO, twice, sizeof twice - 1);
        return false;
    }
    if (rules->shell && !operands_are_names(argc - optind, argv + optind))
        return false;
    if (rules->shell && odd_prefix != nullptr) {
        refuse_prefix(odd_prefix, "\": under -s a name holds only letters, digits and \"_\"");
        return false;
    }
    return true;
}

int main(int argc, char *argv[]) {
    std::atexit(close_stdout);
    Rules rules = {};
    Extended line = {};
    OriginalAsk ask;
    if (read_original_line(argc, argv, &ask)) {
        if (ask == OriginalAsk::usage)
            show_usage();
        if (ask == OriginalAsk::version)
            show_version();
        line.listing = ask == OriginalAsk::listing;
    } else if (!read_extended_line(argc, argv, &rules, &line)) {
        release_options();
        return 1;
    }
    for (int i = optind; i < argc; i++)
        name_list_add_operand(argv[i]);
    bool every_other_given = false;
    for (int i = 0; i < escape_count; i++) {
        if (!escape_option_taken(escape_args[i], &every_other_given, &rules.escape)) {
            release_options();
            return 1;
        }
    }
    // Only the value forms of -s, in the template or in -f's values, read the
    // locale: other runs are bytes in any.
    rules.characters = (rules.shell || line.env_files) && charset_from_environment();
    // -v reads no input: with -r too, it lists the operands.
    if (line.listing) {
        name_list_print();
        return 0;
    }
    const char *input = line.input;
    const char *output = line.output;
    if (template_folder_given(input)) {
        int status = template_folder_run(input, output, line.suffix, rules);
        release_options();
        return status;
    }
    if (line.suffix != nullptr) {
        static const char alone[] = "--suffix picks the templates of a folder: -i names none";
        const MessagePart parts[] = {{alone, sizeof alone - 1, false}};
        write_message(parts, 1);
        release_options();
        return 1;
    }
    // Before any input is read and before -o creates anything: a bad file
    // ends the run with nothing written.
    int in = input_file_open(input);
    // Reports from a named template name it, as a -f file's do.
    if (in != STDIN_FILENO)
        reports_template(input);
    if (!env_files_load(rules, in)) {
        release_options();
        return 1;
    }
    int out = output == nullptr ? STDOUT_FILENO : output_file_open(output);
    // Reports (-u, -e, the "?" forms) fail the run: an output file is then left as it was
    // (one written in place keeps what was written).
    uint64_t reported = substitute_stream(in, out, BLOCK_SIZE, rules);
    release_options();
    if (reported > 0)
        return 1;
    if (output != nullptr)
        output_file_commit();
    return 0;
}
