// The stream filter driven in memory: input and output are memfds, the
// environment is set by each case, and the block size is the test's to choose.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "names.hpp"
#include "substitute.hpp"

using namespace std::string_literals;

extern char **environ;

namespace {

struct StreamCase {
    const char *label;
    std::vector<std::string> operands;
    std::vector<std::pair<std::string, std::string>> env;
    std::string input;
    std::string expected;
};

// Shows bytes so that a CR, a NUL or a byte past ASCII is visible.
std::string escaped(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        char hex[5];
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                out += static_cast<char>(c);
            } else {
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            }
        }
    }
    if (out.size() > 400)
        out = out.substr(0, 200) + "...(" + std::to_string(bytes.size()) + " bytes)..." +
              out.substr(out.size() - 200);
    return out;
}

std::string run_filter(const std::string &input, size_t block_size) {
    int in = memfd_create("in", 0);
    int out = memfd_create("out", 0);
    if (in < 0 || out < 0) {
        ADD_FAILURE() << "memfd_create failed";
        return "";
    }
    EXPECT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    lseek(in, 0, SEEK_SET);
    substitute_stream(in, out, block_size);
    std::string result;
    lseek(out, 0, SEEK_SET);
    char chunk[65536];
    ssize_t n;
    while ((n = read(out, chunk, sizeof chunk)) > 0)
        result.append(chunk, static_cast<size_t>(n));
    close(in);
    close(out);
    return result;
}

class SubstituteTest : public ::testing::Test {
  protected:
    void TearDown() override {
        name_list_release();
        clearenv();
    }

    static void prepare(const StreamCase &c) {
        name_list_release();
        clearenv();
        for (const auto &var : c.env)
            setenv(var.first.c_str(), var.second.c_str(), 1);
        for (const std::string &operand : c.operands) {
            std::vector<char> copy(operand.begin(), operand.end());
            copy.push_back('\0');
            name_list_add_operand(copy.data());
        }
    }
};

const std::string long_name(NAME_LIMIT, 'N');
const std::string too_long = long_name + "MORE";
const std::string filler(5000, 'f');

std::vector<StreamCase> stream_cases() {
    return {
        {"empty input", {}, {}, "", ""},
        {"no references", {}, {{"A", "1"}}, "plain text\nline two\n", "plain text\nline two\n"},
        {"last line without LF", {}, {}, "one\ntwo", "one\ntwo"},
        {"bare reference", {}, {{"USER", "alice"}}, "Hello $USER\n", "Hello alice\n"},
        {"braced reference", {}, {{"USER", "alice"}}, "Hello ${USER}\n", "Hello alice\n"},
        {"unset disappears", {}, {}, "x $NOPE y\n", "x  y\n"},
        {"set but empty", {}, {{"E", ""}}, "x${E}y\n", "xy\n"},
        {"only listed names",
         {"HOME"},
         {{"HOME", "/h"}, {"USER", "u"}},
         "$USER $HOME\n",
         "$USER /h\n"},
        {"unlisted braced kept whole",
         {"HOME"},
         {{"HOME", "/h"}, {"USER", "u"}},
         "${USER}x\n",
         "${USER}x\n"},
        {"unlisted unset kept", {"HOME"}, {}, "$NOPE ${NOPE\n", "$NOPE ${NOPE\n"},
        {"slash is part of the name", {}, {{"HOME", "/h"}}, "$HOME/bin\n", "\n"},
        {"slash-name set", {}, {{"HOME/bin", "hb"}}, "$HOME/bin\n", "hb\n"},
        {"text after brace", {}, {{"HOME", "/h"}}, "${HOME}/bin\n", "/h/bin\n"},
        {"adjacent braced", {}, {{"A", "1"}, {"B", "2"}}, "${A}${B}\n", "12\n"},
        {"semicolon after brace", {}, {{"PORT", "80"}}, "listen ${PORT};\n", "listen 80;\n"},
        {"brace ends a bare reference, kept", {}, {{"A", "1"}}, "$A}x\n", "1}x\n"},
        {"JSON value", {"PORT"}, {{"PORT", "8080"}}, "{\"port\": $PORT}\n", "{\"port\": 8080}\n"},
        {"bare then brace, twice", {}, {{"A", "1"}, {"B", "2"}}, "$A}$B}", "1}2}"},
        {"empty names, braced and bare", {}, {{"A", "1"}, {"B", "2"}}, "a${}b $}c", "ab }c"},
        {"open brace inside a bare name", {}, {{"A{B", "w"}}, "$A{B}c", "w}c"},
        {"unlisted bare, brace kept",
         {"HOME"},
         {{"HOME", "/h"}, {"USER", "u"}},
         "$USER}$HOME}",
         "$USER}/h}"},
        {"stray closing brace", {}, {{"A", "1"}}, "${A}}\n", "1}\n"},
        {"dollar brace alone", {}, {}, "a$}b\n", "a}b\n"},
        {"open brace then space", {}, {}, "a${ b\n", "a b\n"},
        {"space inside braces", {}, {{"A", "1"}}, "${A B}\n", "1 B}\n"},
        {"punctuation is part of the name",
         {},
         {{"USER", "alice"}, {"USER!", "bang"}},
         "$USER! $USER\n",
         "bang alice\n"},
        {"second dollar does not end", {}, {{"A", "1"}, {"B", "2"}}, "$A$B\n", "\n"},
        {"dollar-name set", {}, {{"A$B", "ab"}}, "$A$B\n", "ab\n"},
        {"lone dollar, no operands", {}, {}, "a $ b\n", "a  b\n"},
        {"lone dollar, unlisted", {"A"}, {}, "a $ b\n", "a $ b\n"},
        {"empty operand replaces nothing",
         {""},
         {{"A", "1"}, {"B", "2"}},
         "$A ${B} $host",
         "$A ${B} $host"},
        {"operands of commas replace nothing", {",,", ""}, {{"A", "1"}}, "$A $", "$A $"},
        {"empty name listed", {"$"}, {{"A", "1"}}, "a $ b $A\n", "a  b $A\n"},
        {"tab ends", {}, {{"A", "1"}}, "$A\tx\n", "1\tx\n"},
        {"CR ends", {}, {{"A", "1"}}, "$A\rx\n", "1\rx\n"},
        {"CRLF", {}, {{"A", "1"}}, "a=$A\r\nb=${A}\r\n", "a=1\r\nb=1\r\n"},
        {"NUL passes", {}, {}, "x\0y\n"s, "x\0y\n"s},
        {"NUL ends a reference",
         {},
         {{"A", "1"}},
         "$A\0$A\n"s,
         "1\0"
         "1\n"s},
        {"NUL after dollar", {}, {}, "a$\0b\n"s, "a\0b\n"s},
        {"NUL inside braces", {}, {{"A", "1"}}, "${A\0}\n"s, "1\0}\n"s},
        {"dollar at EOF", {}, {}, "end $", "end "},
        {"dollar at EOF, unlisted", {"A"}, {}, "end $", "end $"},
        {"reference at EOF", {}, {{"HOME", "/h"}}, "home $HOME", "home /h"},
        {"open brace at EOF", {}, {{"ABC", "v"}}, "x ${ABC", "x v"},
        {"open brace at EOF, unlisted", {"X"}, {{"ABC", "v"}}, "x ${ABC", "x ${ABC"},
        {"value not rescanned",
         {},
         {{"A", "$B ${B} }{$"}, {"B", "no"}},
         "$A [${A}]\n",
         "$B ${B} }{$ [$B ${B} }{$]\n"},
        {"value with delimiters", {}, {{"A", "x\ty\r\nz"}}, "${A}.\n", "x\ty\r\nz.\n"},
        {"value bytes", {}, {{"A", "\x01\xff\x7f"}}, "<${A}>", "<\x01\xff\x7f>"},
        {"many references",
         {"A,B"},
         {{"A", "1"}, {"B", "22"}, {"C", "3"}},
         "$A$A ${A}${B}${C} $C $B\t${B}\n$A",
         "$A$A 122${C} $C 22\t22\n1"},
        {"name at the limit", {}, {{long_name, "v"}}, "<${" + long_name + "}>\n", "<v>\n"},
        {"bare name at the limit", {}, {{long_name, "v"}}, "$" + long_name + " x\n", "v x\n"},
        {"name cut at the limit", {}, {{long_name, "v"}}, "$" + too_long + " x\n", "v x\n"},
        {"long reference listed, rest skipped",
         {long_name},
         {{long_name, "v"}},
         "a ${" + too_long + filler + "}tail\n",
         "a vtail\n"},
        {"long reference listed, no brace",
         {},
         {{long_name, "v"}},
         "a $" + too_long + filler + " b\n",
         "a v b\n"},
        {"long bare reference, brace kept",
         {},
         {{long_name, "v"}},
         "a $" + too_long + filler + "}tail\n",
         "a v}tail\n"},
        {"long bare reference unlisted, brace kept",
         {"X"},
         {},
         "a $" + too_long + filler + "}tail\n",
         "a $" + too_long + filler + "}tail\n"},
        {"long reference listed, at EOF", {}, {{long_name, "v"}}, "a $" + too_long + filler, "a v"},
        {"long reference unlisted, unchanged",
         {"X"},
         {{long_name, "v"}},
         "a ${" + too_long + filler + "}tail $" + too_long + " b\n",
         "a ${" + too_long + filler + "}tail $" + too_long + " b\n"},
        {"long reference unlisted, at EOF",
         {"X"},
         {},
         "a $" + too_long + filler,
         "a $" + too_long + filler},
        {"long reference unset", {}, {}, "a ${" + filler + "}b $" + filler + "\n", "a b \n"},
    };
}

TEST_F(SubstituteTest, Table) {
    for (const StreamCase &c : stream_cases()) {
        SCOPED_TRACE(c.label);
        prepare(c);
        std::string output = run_filter(c.input, BLOCK_SIZE);
        EXPECT_EQ(output, c.expected)
            << "  input:    " << escaped(c.input) << "\n  expected: " << escaped(c.expected)
            << "\n  actual:   " << escaped(output);
    }
}

// Where the block edges fall must not matter: every block size from one byte
// to past the whole input gives the same bytes as the default.
TEST_F(SubstituteTest, BlockEdgeIndependence) {
    for (const StreamCase &c : stream_cases()) {
        SCOPED_TRACE(c.label);
        prepare(c);
        std::string reference = run_filter(c.input, BLOCK_SIZE);
        ASSERT_EQ(reference, c.expected) << "  default block size: " << escaped(reference);
        for (size_t block = 1; block <= c.input.size() + 2; block++) {
            std::string output = run_filter(c.input, block);
            if (output != reference) {
                ADD_FAILURE() << "block size " << block << "\n  input:    " << escaped(c.input)
                              << "\n  expected: " << escaped(reference)
                              << "\n  actual:   " << escaped(output);
                break;
            }
        }
    }
}

// A reference in every position of a line, so some block edge cuts each byte
// of "${A}" and of the bare form.
TEST_F(SubstituteTest, BlockEdgesAcrossEveryOffset) {
    prepare({"", {}, {{"A", "1"}, {"AB", "2"}}, "", ""});
    for (size_t pad = 0; pad < 8; pad++) {
        std::string lead(pad, '.');
        std::string input = lead + "${A}|$AB ${AB}x$A\r\n" + lead + "${A";
        std::string expected = lead + "1|2 2x1\r\n" + lead + "1";
        for (size_t block = 1; block <= input.size() + 1; block++) {
            std::string output = run_filter(input, block);
            ASSERT_EQ(output, expected)
                << "block size " << block << "\n  input:  " << escaped(input)
                << "\n  actual: " << escaped(output);
        }
    }
}

// getenv finds the first entry for a name; so must the lookup.
TEST_F(SubstituteTest, FirstEnvironmentEntryWins) {
    static char first[] = "A=first";
    static char second[] = "A=second";
    static char other[] = "B=b";
    static char *entries[] = {first, other, second, nullptr};
    environ = entries;
    EXPECT_EQ(run_filter("$A $B\n", BLOCK_SIZE), "first b\n");
    environ = nullptr;
}

} // namespace
