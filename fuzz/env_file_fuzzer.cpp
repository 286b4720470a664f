// Fuzzes the reading of -f files: the input is a file's bytes. A file either
// loads with nothing said, or is refused with messages of the program's form
// that hold no byte of a value (a fault names the file, the line, and the
// variable by a name that starts a line; only a "?" form's report shows its
// word); a file with a NUL byte is always refused; and the variables of a file
// that loads, written out again quoted (with LF or CR LF line ends, comments
// and "export"), load as the same variables.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

#include "env_file.hpp"
#include "environment.hpp"
#include "names.hpp"

// The file is a memfd, named by its /proc path; what the load writes to
// standard error is caught (the link wraps write: -Wl,--wrap=write).
static int file_fd = -1;
static std::string path;
static std::string *caught = nullptr;

extern "C" ssize_t __real_write(int fd, const void *data, size_t size);

extern "C" ssize_t __wrap_write(int fd, const void *data, size_t size) {
    if (caught == nullptr || fd != STDERR_FILENO)
        return __real_write(fd, data, size);
    caught->append(static_cast<const char *>(data), size);
    return static_cast<ssize_t>(size);
}

static void check(bool ok, const char *what, std::string_view detail) {
    if (!ok) {
        std::fprintf(stderr, "property failed: %s\n%.*s\n", what, static_cast<int>(detail.size()),
                     detail.data());
        std::abort();
    }
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    file_fd = memfd_create("fillvars-env", 0);
    path = "/proc/self/fd/" + std::to_string(file_fd);
    return file_fd < 0;
}

// Loads bytes as the one -f file: the message, empty when it loaded, and
// its variables as the filter would see them.
static std::string load(std::string_view bytes, std::map<std::string, std::string> *variables) {
    if (ftruncate(file_fd, 0) != 0 ||
        pwrite(file_fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    std::string message;
    caught = &message;
    env_file_add(path.c_str());
    bool loaded = env_files_load();
    caught = nullptr;
    check(loaded == message.empty(), "a file is refused exactly when a message says so", message);
    variables->clear();
    if (loaded) {
        size_t count = 0;
        const FileVariable *set = env_files_variables(&count);
        for (size_t i = 0; i < count; i++)
            (*variables)[std::string(set[i].name, set[i].name_length)] =
                std::string(set[i].value, set[i].value_length);
    }
    env_files_release();
    return message;
}

// NAME="VALUE" with the escapes the format reads: a CR as \r, so that one
// before a line feed is kept, and "$" as \$, which is not expanded.
static std::string quoted(const std::string &name, const std::string &value) {
    std::string line = name + "=\"";
    for (char c : value) {
        if (c == '\\' || c == '"' || c == '$')
            line += '\\';
        if (c == '\r')
            line += "\\r";
        else
            line += c;
    }
    return line + "\"";
}

static bool is_name(std::string_view name) {
    bool good =
        !name.empty() && (name[0] == '_' || std::isalpha(static_cast<unsigned char>(name[0])));
    for (char c : name)
        good = good && (c == '_' || std::isalnum(static_cast<unsigned char>(c)));
    return good;
}

// Whether name starts a line of the file, at or before the line numbered
// line (1 is the first), after white space and "export".
static bool starts_a_line(std::string_view bytes, std::string_view name, unsigned long line) {
    size_t at = 0;
    for (unsigned long n = 1; n <= line && at <= bytes.size(); n++) {
        size_t end = std::min(bytes.find('\n', at), bytes.size());
        std::string_view text = bytes.substr(at, end - at);
        if (n == 1 && text.substr(0, 3) == "\xef\xbb\xbf")
            text.remove_prefix(3);
        while (!text.empty() && (text[0] == ' ' || text[0] == '\t'))
            text.remove_prefix(1);
        for (int pass = 0; pass < 2; pass++) {
            if (text.substr(0, name.size()) == name &&
                (text.size() == name.size() ||
                 std::string_view(" \t=\r#", 5).find(text[name.size()]) != std::string_view::npos))
                return true;
            if (text.substr(0, 7) != "export " && text.substr(0, 7) != "export\t")
                break;
            text.remove_prefix(6);
            while (!text.empty() && (text[0] == ' ' || text[0] == '\t'))
                text.remove_prefix(1);
        }
        at = end + 1;
    }
    return false;
}

// One line of a refusal: "fillvars: FILE:LINE: " then a fault, alone or
// after the name of the variable, or a report from a variable's value, after
// its name: what is wrong with it, or a "?" form's word, which the file asked
// to show. No byte of a value otherwise.
static void check_refusal(std::string_view bytes, std::string_view m) {
    static const char *const faults[] = {
        "not a NAME=VALUE line (a value on several lines must be quoted)",
        "\"NAME: VALUE\" is YAML; a .env line is NAME=VALUE",
        "not a name: it must start with a letter or \"_\"",
        "not a name: it holds only letters, digits and \"_\"",
        "unclosed quote",
        "text after the closing quote (a '...' value holds a ' as \\')",
        "text after the closing quote (a \"...\" value holds a \" as \\\")",
        "a NUL byte in the value",
        "a NUL byte in a comment",
        "a NUL byte after the closing quote",
        "its value refers to a variable that is not set (a \"$\" meant as text is written "
        "\"$$\", or the value quoted '...')",
        "its value refers to a variable that is empty (a \"$\" meant as text is written \"$$\", "
        "or the value quoted '...')",
        "its value holds a form fillvars does not read (a \"$\" meant as text is written "
        "\"$$\", or the value quoted '...')",
        "its value holds a substring that ends before it starts",
    };
    std::string lead = "fillvars: " + path + ":";
    check(m.substr(0, lead.size()) == lead, "a refusal names the file", m);
    std::string_view rest = m.substr(lead.size());
    size_t colon = rest.find(": ");
    check(colon != std::string_view::npos, "a refusal names the line", m);
    unsigned long line = std::strtoul(std::string(rest.substr(0, colon)).c_str(), nullptr, 10);
    rest.remove_prefix(colon + 2);
    for (const char *fault : faults) {
        if (rest == fault)
            return;
    }
    size_t after_name = rest.find(": ");
    check(after_name != std::string_view::npos, "a refusal is a known fault", m);
    std::string_view name = rest.substr(0, after_name);
    std::string_view what = rest.substr(after_name + 2);
    check(is_name(name) && starts_a_line(bytes, name, line),
          "a fault names the variable by a name that starts a line", m);
    for (const char *fault : faults) {
        if (what == fault)
            return;
    }
    // Anything else is a "?" form's word.
    check(bytes.find('?') != std::string_view::npos,
          "a report from a value is a known fault or a \"?\" form's word", m);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char *>(data), size);
    std::map<std::string, std::string> variables;
    std::string message = load(bytes, &variables);
    if (bytes.find('\0') != std::string_view::npos)
        check(!message.empty(), "a file with a NUL byte is refused", bytes);
    if (!message.empty()) {
        check(message.back() == '\n', "a refusal ends its last line", message);
        for (size_t at = 0; at < message.size();) {
            size_t end = message.find('\n', at);
            check_refusal(bytes, std::string_view(message).substr(at, end - at));
            at = end + 1;
        }
        return 0;
    }
    for (const auto &variable : variables)
        check(is_name(variable.first), "every name is a shell name", variable.first);
    // Written out again: quoted, with a comment, "export" and blank lines,
    // with LF and with CR LF line ends.
    for (const char *end : {"\n", "\r\n"}) {
        std::string file = std::string("# written again") + end;
        bool turn = false;
        for (const auto &variable : variables) {
            file += (turn ? "export " : "  ") + quoted(variable.first, variable.second) + " # c" +
                    end + end;
            turn = !turn;
        }
        std::map<std::string, std::string> again;
        std::string refused = load(file, &again);
        check(refused.empty(), "a file written again loads", refused);
        check(again == variables, "a file written again loads the same variables", file);
    }
    return 0;
}
