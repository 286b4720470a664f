// The option table and the reading of an original command line: one of -h,
// -v, -V, operands, "--" and options the parser does not know.
#pragma once

#include <getopt.h>

// The value of --suffix, a long option alone.
constexpr int SUFFIX_OPTION = 256;

// Every option, in getopt_long's form, and the short ones as its string.
extern const struct option all_options[];
extern const char all_short_options[];

enum class OriginalAsk { filter, listing, usage, version };

// Whether the line uses none of the options beyond -h, -v and -V (known,
// missing its argument or given one it does not take). If so, the line is
// read as the three-option filter read it: getopt_long's own diagnostic for
// each option it does not know, which is then ignored, the first -h or -V
// ending the reading; *ask is what the line asks for and optind is the first
// operand. If not, nothing is written and optind is left to start afresh.
bool read_original_line(int argc, char **argv, OriginalAsk *ask);
