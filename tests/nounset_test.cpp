// Reports of unset variables (-u) at every place a block edge can fall: the
// line numbers must not depend on how the input is cut, and the output must
// be the same as without the reports.
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

namespace {

struct Filtered {
    std::string out;
    std::string err;
    uint64_t reported;
};

std::string read_all(int fd) {
    std::string data;
    lseek(fd, 0, SEEK_SET);
    char chunk[65536];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        data.append(chunk, static_cast<size_t>(n));
    return data;
}

// Runs the filter in memory with standard error caught in a memfd.
Filtered run_filter(const std::string &input, size_t block_size, bool nounset) {
    int in = memfd_create("in", 0);
    int out = memfd_create("out", 0);
    int err = memfd_create("err", 0);
    EXPECT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    lseek(in, 0, SEEK_SET);
    std::fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(err, STDERR_FILENO);
    uint64_t reported = substitute_stream(in, out, block_size, nounset);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    Filtered run = {read_all(out), read_all(err), reported};
    close(in);
    close(out);
    close(err);
    return run;
}

struct UnsetCase {
    const char *label;
    std::vector<std::string> operands;
    std::vector<std::pair<std::string, std::string>> env;
    std::string input;
    std::string reports;
};

std::string report(int line, const std::string &name) {
    return "fillvars: line " + std::to_string(line) + ": \"" + name + "\" is not set\n";
}

const std::string pad(5000, 'p');
const std::string long_name = "L" + std::string(9000, 'n');

std::vector<UnsetCase> unset_cases() {
    return {
        {"set, empty and unset",
         {},
         {{"A", "1"}, {"E", ""}},
         "$A ${E} $U\n${U}x\n",
         report(1, "U") + report(2, "U")},
        {"unlisted names are not reported",
         {"U"},
         {},
         "$V ${U}\n$V $U\n",
         report(1, "U") + report(2, "U")},
        {"empty name", {}, {}, "a $ b\n${}\n$", report(1, "") + report(2, "") + report(3, "")},
        {"escaped names",
         {},
         {},
         "${a\"b} ${c\\d}\n${e\x1b[31m} ${\x7f\x01}",
         report(1, "a\\\"b") + report(1, "c\\\\d") + report(2, "e\\x1b[31m") +
             report(2, "\\x7f\\x01")},
        {"CR is not a line feed",
         {},
         {},
         "a\r\n$U\r\r$V\r\n\r\n$W",
         report(2, "U") + report(2, "V") + report(4, "W")},
        {"many lines, then one far along",
         {},
         {{"A", "1"}},
         std::string(300, '\n') + "$A $U\n" + pad + "\n\n$V",
         report(301, "U") + report(304, "V")},
        {"longer than the carried window",
         {},
         {},
         "\n\n$" + long_name + " $U\n${" + long_name + "}$U\n",
         report(3, long_name.substr(0, 4095)) + report(3, "U") +
             report(4, long_name.substr(0, 4095)) + report(4, "U")},
        {"longer than the carried window, not reported",
         {"U"},
         {},
         "\n\n$" + long_name + " $U\n${" + long_name + "}$U\n",
         report(3, "U") + report(4, "U")},
    };
}

// The block sizes that cut the inputs above in every way that matters: small
// ones, those around the carried window, and the whole input.
std::vector<size_t> block_sizes(size_t length) {
    std::vector<size_t> sizes;
    for (size_t size = 1; size <= 24; size++)
        sizes.push_back(size);
    for (size_t size = 4093; size <= 4101; size++)
        sizes.push_back(size);
    sizes.push_back(length);
    sizes.push_back(length + 1);
    sizes.push_back(BLOCK_SIZE);
    return sizes;
}

TEST(NounsetTest, ReportsDoNotDependOnBlockEdges) {
    for (const UnsetCase &c : unset_cases()) {
        SCOPED_TRACE(c.label);
        clearenv();
        for (const auto &var : c.env)
            setenv(var.first.c_str(), var.second.c_str(), 1);
        for (const std::string &operand : c.operands) {
            std::vector<char> copy(operand.begin(), operand.end());
            copy.push_back('\0');
            name_list_add_operand(copy.data());
        }
        Filtered plain = run_filter(c.input, BLOCK_SIZE, false);
        EXPECT_EQ(plain.err, "");
        EXPECT_EQ(plain.reported, 0u);
        size_t expected_count = 0;
        for (char ch : c.reports)
            expected_count += ch == '\n';
        for (size_t size : block_sizes(c.input.size())) {
            Filtered checked = run_filter(c.input, size, true);
            ASSERT_EQ(checked.out, plain.out) << "block size " << size;
            ASSERT_EQ(checked.err, c.reports) << "block size " << size;
            ASSERT_EQ(checked.reported, expected_count) << "block size " << size;
        }
        name_list_release();
    }
    clearenv();
}

} // namespace
