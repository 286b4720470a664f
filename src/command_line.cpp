// The option table and the reading of an original command line (-h, -v, -V,
// operands and options the parser does not know), as the three-option filter
// read it.
#include "command_line.hpp"

#include <cstdlib>
#include <cstring>

#include "io.hpp"

// One row a line: tests/man_test.sh reads the table.
// clang-format off
const struct option all_options[] = {
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
    {"suffix", required_argument, nullptr, SUFFIX_OPTION},
    {nullptr, 0, nullptr, 0},
};
// clang-format on
const char all_short_options[] = "hvVukbp:eso:rf:i:E:";

// The three options the program began with: on an original line they are
// read by this table alone, so that a long name abbreviated, or an unknown
// one, gets the diagnostic it always got.
static const struct option original_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"variables", no_argument, nullptr, 'v'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// Whether getopt_long's answer names one of the later options: met, missing
// its argument or given one it does not take ('?' with the option in
// optopt). An unknown short option is never one of them; an unknown or
// ambiguous long one leaves optopt 0.
static bool names_later_option(int option) {
    int which = option == '?' ? optopt : option;
    return which == SUFFIX_OPTION ||
           (which > 0 && which < 256 && std::strchr("ukbpesorfiE", which) != nullptr);
}

// The whole line is looked at, silently, on a copy of argv: getopt_long
// permutes the vector it reads.
static bool line_is_extended(int argc, char **argv) {
    char **copy = static_cast<char **>(std::malloc((static_cast<size_t>(argc) + 1) * sizeof *copy));
    if (copy == nullptr)
        fail("malloc");
    std::memcpy(copy, argv, (static_cast<size_t>(argc) + 1) * sizeof *copy);
    int saved_opterr = opterr;
    opterr = 0;
    optind = 0;
    bool extended = false;
    int option;
    while (!extended &&
           (option = getopt_long(argc, copy, all_short_options, all_options, nullptr)) != -1)
        extended = names_later_option(option);
    opterr = saved_opterr;
    optind = 0;
    std::free(copy);
    return extended;
}

bool read_original_line(int argc, char **argv, OriginalAsk *ask) {
    if (line_is_extended(argc, argv))
        return false;
    *ask = OriginalAsk::filter;
    int option;
    while ((option = getopt_long(argc, argv, "hvV", original_options, nullptr)) != -1) {
        if (option == 'h') {
            *ask = OriginalAsk::usage;
            return true;
        }
        if (option == 'V') {
            *ask = OriginalAsk::version;
            return true;
        }
        // Anything else the parser has reported; the run goes on without it.
        if (option == 'v')
            *ask = OriginalAsk::listing;
    }
    return true;
}
