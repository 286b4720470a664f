// fillvars: copies standard input to standard output, replacing references to
// environment variables ($NAME or ${NAME}), optionally only for the names
// given as operands.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "names.hpp"
#include "output_file.hpp"
#include "substitute.hpp"

static const struct option options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"variables", no_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, 'V'},
    {"nounset", no_argument, nullptr, 'u'},
    {"output", required_argument, nullptr, 'o'}, // FILE, or "-" for standard output
    {nullptr, 0, nullptr, 0},
};

// Every way out passes here: output that could not be written is a failure,
// whatever the run was going to return.
static void close_stdout() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "fillvars: write: %s\n", std::strerror(errno));
        _exit(1);
    }
}

[[noreturn]] static void show_usage() {
    std::fputs("usage: fillvars [OPTIONS] [VARIABLE-NAMES...]\n"
               "       VARIABLE-NAMES can be specified in shell format or bare.\n",
               stdout);
    std::exit(0);
}

[[noreturn]] static void show_version() {
    std::fputs("fillvars 0.1\n", stdout);
    std::exit(0);
}

int main(int argc, char *argv[]) {
    std::atexit(close_stdout);
    bool listing = false;
    bool nounset = false;
    const char *output = nullptr;
    int option;
    while ((option = getopt_long(argc, argv, "hvVuo:", options, nullptr)) != -1) {
        switch (option) {
        case 'h':
            show_usage();
        case 'V':
            show_version();
        case 'v':
            listing = true;
            break;
        case 'u':
            nounset = true;
            break;
        case 'o':
            // "-" is standard output, as without the option.
            output = std::strcmp(optarg, "-") == 0 ? nullptr : optarg;
            break;
        default:
            // getopt_long has reported it; the run goes on without it.
            break;
        }
    }
    for (int i = optind; i < argc; i++)
        name_list_add_operand(argv[i]);
    if (listing) {
        name_list_print();
        return 0;
    }
    int out = output == nullptr ? STDOUT_FILENO : output_file_open(output);
    uint64_t unset = substitute_stream(STDIN_FILENO, out, BLOCK_SIZE, nounset);
    name_list_release();
    if (unset > 0)
        return 1;
    if (output != nullptr)
        output_file_commit();
    return 0;
}
