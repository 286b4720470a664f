// Fuzzes operand intake and name extraction: the input is a list of operands,
// one a line; the name list they build, what -v lists, the name each line
// denotes, the membership answers and the fields that -s refuses must match
// the model.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

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
    return 0;
}
