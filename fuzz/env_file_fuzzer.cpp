// Fuzzes the reading of -f files: the input is a file's bytes. A file either
// loads with nothing said, or is refused with one message of the program's
// form; a file with a NUL byte is always refused; and the variables of a file
// that loads, written out again quoted (with LF or CR LF line ends, comments
// and "export"), load as the same variables.
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
        NameTable table;
        name_table_build(&table, env_files_count());
        env_files_index(&table);
        for (size_t i = 0; i <= table.mask; i++) {
            const NameSlot &slot = table.slots[i];
            if (slot.length != EMPTY_SLOT)
                (*variables)[std::string(slot.key, slot.length)] =
                    std::string(slot.value, slot.value_length);
        }
        name_table_free(&table);
    }
    env_files_release();
    return message;
}

static bool ends_with(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// NAME="VALUE" with the escapes the format reads: a CR as \r, so that one
// before a line feed is kept.
static std::string quoted(const std::string &name, const std::string &value) {
    std::string line = name + "=\"";
    for (char c : value) {
        if (c == '\\' || c == '"')
            line += '\\';
        if (c == '\r')
            line += "\\r";
        else
            line += c;
    }
    return line + "\"";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char *>(data), size);
    std::map<std::string, std::string> variables;
    std::string message = load(bytes, &variables);
    if (bytes.find('\0') != std::string_view::npos)
        check(!message.empty(), "a file with a NUL byte is refused", bytes);
    if (!message.empty()) {
        std::string_view m = message;
        bool known = ends_with(m, ": no \"=\"\n") || ends_with(m, ": not a name\n") ||
                     ends_with(m, ": unclosed quote\n") ||
                     ends_with(m, ": text after the closing quote\n") ||
                     ends_with(m, ": a NUL byte\n");
        check(m.compare(0, 10 + path.size() + 1, "fillvars: " + path + ":") == 0 && known &&
                  m.find('\n') == m.size() - 1,
              "a refusal is one line: the file, its line and what is wrong", m);
        return 0;
    }
    for (const auto &variable : variables) {
        const std::string &name = variable.first;
        bool good =
            !name.empty() && (name[0] == '_' || std::isalpha(static_cast<unsigned char>(name[0])));
        for (char c : name)
            good = good && (c == '_' || std::isalnum(static_cast<unsigned char>(c)));
        check(good, "every name is a shell name", name);
    }
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
