// Variables from files (-f FILE): each file read whole with read(2), parsed in
// place, its values left where they are in its buffer.
#include "env_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io.hpp"
#include "names.hpp"
#include "scan.hpp"

// One NAME=VALUE of a file; both point into the file's buffer.
struct EnvVariable {
    const char *name;
    size_t name_length;
    const char *value;
    size_t value_length;
};

static const char **paths = nullptr;
static size_t path_count = 0;
static char **buffers = nullptr;
static size_t buffer_count = 0;
static EnvVariable *variables = nullptr;
static size_t variable_count = 0;
static size_t variable_room = 0;

void env_file_add(const char *path) {
    void *grown = reallocarray(paths, path_count + 1, sizeof *paths);
    if (grown == nullptr)
        fail("reallocarray");
    paths = static_cast<const char **>(grown);
    paths[path_count++] = path;
}

// "fillvars: FILE", then middle, text escaped as FILE is, and after. Returns
// false, for the callers.
static bool refuse(const char *path, const char *middle, const char *text, size_t length,
                   const char *after) {
    MessagePart parts[] = {{path, std::strlen(path), true},
                           {middle, std::strlen(middle), false},
                           {text, length, true},
                           {after, std::strlen(after), false}};
    write_message(parts, sizeof parts / sizeof *parts);
    return false;
}

// The longest part of a line that a message shows, as for a name.
constexpr size_t SHOWN_LIMIT = NAME_LIMIT;

// The file being read: for messages, and where its bytes end.
struct Where {
    const char *path;
    const char *end;
};

// The line from p: its bytes up to its end (a line feed, CR LF, or the end
// of the file), and where the next line starts.
struct Line {
    size_t length;
    char *next;
};

static Line line_from(char *p, const char *end) {
    size_t rest = static_cast<size_t>(end - p);
    char *feed = static_cast<char *>(std::memchr(p, '\n', rest));
    size_t length = feed != nullptr ? static_cast<size_t>(feed - p) : rest;
    Line line = {length, p + length + (feed != nullptr)};
    if (length > 0 && p[length - 1] == '\r')
        line.length--;
    return line;
}

// "fillvars: FILE:N: "LINE": what", the line cut to SHOWN_LIMIT bytes.
static bool refuse_line(const Where &file, uint64_t number, char *line, const char *what) {
    char middle[32], after[64];
    std::snprintf(middle, sizeof middle, ":%llu: \"", static_cast<unsigned long long>(number));
    std::snprintf(after, sizeof after, "\": %s", what);
    size_t length = std::min(line_from(line, file.end).length, SHOWN_LIMIT);
    return refuse(file.path, middle, line, length, after);
}

static bool blank(char c) {
    return c == ' ' || c == '\t';
}

static bool shell_name(const char *p, size_t length) {
    if (length == 0 || !starts_shell_name(p[0]))
        return false;
    for (size_t i = 1; i < length; i++) {
        if (shell_stops.has[static_cast<unsigned char>(p[i])])
            return false;
    }
    return true;
}

static void keep_variable(const char *name, size_t name_length, const char *value,
                          size_t value_length) {
    if (variable_count == variable_room) {
        variable_room = std::max<size_t>(64, 2 * variable_room);
        void *grown = reallocarray(variables, variable_room, sizeof *variables);
        if (grown == nullptr)
            fail("reallocarray");
        variables = static_cast<EnvVariable *>(grown);
    }
    variables[variable_count++] = {name, name_length, value, value_length};
}

// The parse of one file, a line at a time.
struct Parse {
    Where file;
    char *p;         // the start of the line at hand
    uint64_t number; // its number
};

// The closing quote of the value that opens at open: a "\" in "..." takes
// the byte after it along. Leaves at->p at the line of the closing quote, or
// returns null when the file breaks the format (reported).
static char *find_close(Parse *at, char *open) {
    const char *end = at->file.end;
    char *open_line = at->p;
    uint64_t open_number = at->number;
    for (char *r = open + 1; r < end; r++) {
        if (*r == *open)
            return r;
        if (*r == '\0') {
            refuse_line(at->file, at->number, at->p, "a NUL byte");
            return nullptr;
        }
        if (*r == '\n') {
            at->number++;
            at->p = r + 1;
        } else if (*r == '\\' && *open == '"' && r + 1 < end && (r[1] == '"' || r[1] == '\\')) {
            r++;
        }
    }
    refuse_line(at->file, open_number, open_line, "unclosed quote");
    return nullptr;
}

// Writes the value between the quotes at open and close in place, from
// open + 1: '...' as it stands, "..." with its escapes; a CR before a line
// feed is no part of it. Returns its length. Only once the file is known to
// be good: a message shows the lines as they were.
static size_t unquote(char *open, const char *close) {
    char *to = open + 1;
    for (const char *r = open + 1; r < close; r++) {
        char c = *r;
        if (c == '\r' && r[1] == '\n')
            continue;
        if (c == '\\' && *open == '"') {
            static const char from[] = "nrt\\\"$", into[] = "\n\r\t\\\"$";
            const char *escape = static_cast<const char *>(std::memchr(from, r[1], 6));
            if (escape != nullptr) {
                c = into[escape - from];
                r++;
            }
        }
        *to++ = c;
    }
    return static_cast<size_t>(to - (open + 1));
}

// Reads the line at at->p, and the lines a quoted value runs on to; leaves
// at->p at the next line. False when the file breaks the format (reported).
static bool read_line(Parse *at) {
    char *line = at->p;
    Line whole = line_from(line, at->file.end);
    char *stop = line + whole.length;
    if (std::memchr(line, '\0', whole.length) != nullptr)
        return refuse_line(at->file, at->number, line, "a NUL byte");
    char *p = line;
    while (p < stop && blank(*p))
        p++;
    if (p == stop || *p == '#') {
        at->p = whole.next;
        at->number++;
        return true;
    }
    char *equals = static_cast<char *>(std::memchr(p, '=', static_cast<size_t>(stop - p)));
    if (equals == nullptr)
        return refuse_line(at->file, at->number, line, "no \"=\"");
    const char *key_end = equals;
    while (key_end > p && blank(key_end[-1]))
        key_end--;
    if (key_end - p > 6 && std::memcmp(p, "export", 6) == 0 && blank(p[6])) {
        p += 6;
        while (blank(*p))
            p++;
    }
    size_t name_length = static_cast<size_t>(key_end - p);
    if (!shell_name(p, name_length))
        return refuse_line(at->file, at->number, line, "not a name");
    const char *name = p;

    char *value = equals + 1;
    while (value < stop && blank(*value))
        value++;
    if (value < stop && (*value == '\'' || *value == '"')) {
        char *close = find_close(at, value);
        if (close == nullptr)
            return false;
        // The rest of the line the closing quote is on: white space, a comment.
        char *after = close + 1;
        line = at->p;
        Line rest = line_from(after, at->file.end);
        stop = after + rest.length;
        whole.next = rest.next;
        if (std::memchr(after, '\0', rest.length) != nullptr)
            return refuse_line(at->file, at->number, line, "a NUL byte");
        while (after < stop && blank(*after))
            after++;
        if (after < stop && *after != '#')
            return refuse_line(at->file, at->number, line, "text after the closing quote");
        keep_variable(name, name_length, value + 1, unquote(value, close));
    } else {
        // To the end of the line, or to a "#" after white space; trimmed.
        char *cut = equals + 1;
        while (cut < stop && !(*cut == '#' && blank(cut[-1])))
            cut++;
        while (cut > value && blank(cut[-1]))
            cut--;
        keep_variable(name, name_length, value, static_cast<size_t>(cut - value));
    }
    at->p = whole.next;
    at->number++;
    return true;
}

// The whole of the file at path, with COPY_PAST zeros after its end: the
// filter copies values by place_write_padded. Null when it cannot be read
// (reported).
static char *read_file(const char *path, size_t *size) {
    int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        refuse(path, ": ", "", 0, std::strerror(errno));
        return nullptr;
    }
    // The size a regular file has now, and one more byte to see its end;
    // another file, or one that grows, takes as much as it gives.
    struct stat status;
    size_t room = 64 * 1024;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0)
        room = static_cast<size_t>(status.st_size) + 1;
    char *data = nullptr;
    size_t used = 0;
    for (;;) {
        if (data == nullptr || used == room) {
            if (data != nullptr)
                room *= 2;
            char *grown = static_cast<char *>(std::realloc(data, room + COPY_PAST));
            if (grown == nullptr)
                fail("realloc");
            data = grown;
        }
        ssize_t n = read(fd, data + used, room - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            close(fd);
            std::free(data);
            refuse(path, ": ", "", 0, std::strerror(error));
            return nullptr;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
    }
    close(fd);
    std::memset(data + used, 0, COPY_PAST);
    *size = used;
    return data;
}

static bool load(const char *path) {
    // Standard input holds the text to fill.
    if (std::strcmp(path, "-") == 0)
        return refuse("", "-f -: standard input is the template, not a file of variables", "", 0,
                      "");
    if (path[0] == '\0')
        return refuse("", "-f: empty file name", "", 0, "");
    size_t size;
    char *data = read_file(path, &size);
    if (data == nullptr)
        return false;
    void *grown = reallocarray(buffers, buffer_count + 1, sizeof *buffers);
    if (grown == nullptr)
        fail("reallocarray");
    buffers = static_cast<char **>(grown);
    buffers[buffer_count++] = data;
    Parse at = {{path, data + size}, data, 1};
    // A byte order mark, which some editors put first, is no part of a name.
    if (size >= 3 && std::memcmp(data, "\xef\xbb\xbf", 3) == 0)
        at.p += 3;
    while (at.p < at.file.end) {
        if (!read_line(&at))
            return false;
    }
    return true;
}

bool env_files_load() {
    for (size_t i = 0; i < path_count; i++) {
        if (!load(paths[i]))
            return false;
    }
    return true;
}

size_t env_files_count() {
    return variable_count;
}

bool env_files_index(NameTable *table) {
    bool equals = false;
    for (size_t i = variable_count; i-- > 0;) {
        const EnvVariable &v = variables[i];
        NameSlot *slot = name_table_slot(table, v.name, v.name_length);
        if (slot->value != nullptr)
            continue;
        slot->value = v.value;
        slot->value_length = v.value_length;
        if (std::memchr(v.value, '=', v.value_length) != nullptr)
            equals = true;
    }
    return equals;
}

void env_files_release() {
    for (size_t i = 0; i < buffer_count; i++)
        std::free(buffers[i]);
    std::free(buffers);
    std::free(variables);
    std::free(paths);
    buffers = nullptr;
    variables = nullptr;
    paths = nullptr;
    buffer_count = variable_count = variable_room = path_count = 0;
}
