// Fuzzes the stream filter in memory. The input is split into a block size
// (first byte), operands and environment entries (lines, up to the first and
// second byte 0x01) and the standard input text (the rest), and each run is
// checked against properties that must hold for any input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "model.hpp"
#include "names.hpp"
#include "substitute.hpp"

extern char **environ;

static int in_fd = -1;
static int out_fd = -1;
static int err_fd = -1;

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

static void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "property failed: %s\n", what);
        std::abort();
    }
}

static std::string read_back(int fd) {
    off_t size = lseek(fd, 0, SEEK_END);
    std::string data(static_cast<size_t>(size), '\0');
    check(pread(fd, data.data(), data.size(), 0) == size, "pread");
    return data;
}

// What a run with -u wrote on standard error, and what it returned.
struct Reports {
    std::string text;
    uint64_t count;
};

// One run of substitute_stream with the given list, environment and block
// size, over memory descriptors; the process-wide state is reset after it.
// With reports, it runs as with -u and standard error is caught there.
static std::string filter(std::string_view in, const std::vector<std::string> &operands,
                          const std::vector<std::string> &env, size_t block_size,
                          Reports *reports = nullptr) {
    check(ftruncate(in_fd, 0) == 0 && ftruncate(out_fd, 0) == 0, "ftruncate");
    check(pwrite(in_fd, in.data(), in.size(), 0) == static_cast<ssize_t>(in.size()), "pwrite");
    check(lseek(in_fd, 0, SEEK_SET) == 0 && lseek(out_fd, 0, SEEK_SET) == 0, "lseek");

    std::vector<std::string> copies(operands);
    for (std::string &operand : copies)
        name_list_add_operand(operand.data());
    std::vector<std::string> entries(env);
    std::vector<char *> environment;
    for (std::string &entry : entries)
        environment.push_back(entry.data());
    environment.push_back(nullptr);
    char **saved = environ;
    environ = environment.data();

    if (reports == nullptr) {
        substitute_stream(in_fd, out_fd, block_size);
    } else {
        check(ftruncate(err_fd, 0) == 0 && lseek(err_fd, 0, SEEK_SET) == 0, "reset stderr");
        int saved_err = dup(STDERR_FILENO);
        check(saved_err >= 0 && dup2(err_fd, STDERR_FILENO) >= 0, "catch stderr");
        reports->count = substitute_stream(in_fd, out_fd, block_size, true);
        check(dup2(saved_err, STDERR_FILENO) >= 0 && close(saved_err) == 0, "restore stderr");
        reports->text = read_back(err_fd);
    }

    environ = saved;
    name_list_release();
    return read_back(out_fd);
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
    in_fd = memfd_create("fillvars-in", 0);
    out_fd = memfd_create("fillvars-out", 0);
    err_fd = memfd_create("fillvars-err", 0);
    return in_fd < 0 || out_fd < 0 || err_fd < 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    size_t block_size = pick_block_size(data[0]);
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

    // The full rule, at the chosen block size and at the default one.
    std::vector<std::string> list;
    for (const std::string &operand : operands)
        model_add_operand(list, operand);
    std::string expected = model_filter(in, list, !operands.empty(), env);
    std::string got = filter(in, operands, env, block_size);
    if (got != expected)
        fail_property("output follows the reference rule", in, expected, got);
    if (filter(in, operands, env, BLOCK_SIZE) != got)
        fail_property("block size does not change the output", in, got,
                      filter(in, operands, env, BLOCK_SIZE));

    // -u changes nothing in the output, and reports what the model finds.
    Reports reports;
    std::string checked = filter(in, operands, env, block_size, &reports);
    if (checked != got)
        fail_property("-u leaves the output as it is", in, got, checked);
    std::string expected_reports = model_unset_reports(in, list, !operands.empty(), env);
    if (reports.text != expected_reports)
        fail_property("-u reports what the model finds", in, expected_reports, reports.text);
    if ((reports.count > 0) != !expected_reports.empty())
        fail_property("-u fails exactly when something is reported", in, expected_reports,
                      reports.text);

    // Only an absent name listed: nothing is replaced, the input comes back.
    got = filter(in, {absent_name(in)}, env, block_size);
    if (got != in)
        fail_property("an absent listed name leaves the input unchanged", in, in, got);

    // Operands that name nothing allow nothing: the input comes back.
    got = filter(in, {",", ""}, env, block_size);
    if (got != in)
        fail_property("operands naming nothing leave the input unchanged", in, in, got);

    // No list, no environment: every reference disappears, nothing else does.
    expected.clear();
    for (size_t i = 0; i < in.size();) {
        if (in[i] != '$') {
            expected += in[i++];
            continue;
        }
        i = model_reference_end(in, i);
    }
    got = filter(in, {}, {}, block_size);
    if (got != expected)
        fail_property("with nothing set every reference is removed", in, expected, got);

    // A value made of reference syntax is written as it stands, not scanned.
    const std::string value = "$V${V}}{$$ {V}$\t$V\n${";
    expected.clear();
    for (size_t i = 0; i < in.size();) {
        if (in[i] != '$') {
            expected += in[i++];
            continue;
        }
        size_t end = model_reference_end(in, i);
        if (model_name(in.substr(i, end - i)) == "V")
            expected += value;
        i = end;
    }
    got = filter(in, {}, {"V=" + value}, block_size);
    if (got != expected)
        fail_property("a value is written verbatim", in, expected, got);
    return 0;
}
