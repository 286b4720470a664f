// Variables from files (-f FILE): each file read whole with read(2), parsed in
// place a line at a time, its values expanded by the walk of -s where they
// hold a "$", and each name kept once with the last value a line gave it.
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

#include "environment.hpp"
#include "grammar.hpp"
#include "io.hpp"
#include "names.hpp"
#include "reports.hpp"
#include "run.hpp"
#include "scan.hpp"
#include "substitute.hpp"

// A file's bytes, with COPY_PAST zeros after its end.
struct FileData {
    char *data;
    size_t size;
};

static const char **paths = nullptr;
static size_t path_count = 0;
static FileData *files = nullptr;
static size_t file_count = 0;
// One NAME=VALUE that the files set, each name once.
static FileVariable *variables = nullptr;
static size_t variable_count = 0;
// Copies of names and values that are not in a file's bytes: values that an
// expansion made, and what a value's "${N:=word}" assigned.
static char **copies = nullptr;
static size_t copy_count = 0;

void env_file_add(const char *path) {
    void *grown = reallocarray(paths, path_count + 1, sizeof *paths);
    if (grown == nullptr)
        fail("reallocarray");
    paths = static_cast<const char **>(grown);
    paths[path_count++] = path;
}

// "fillvars: FILE", then middle and after. Returns false, for the callers.
static bool refuse(const char *path, const char *middle, const char *after) {
    MessagePart parts[] = {{path, std::strlen(path), true},
                           {middle, std::strlen(middle), false},
                           {after, std::strlen(after), false}};
    write_message(parts, sizeof parts / sizeof *parts);
    return false;
}

// The file being read: for messages, and where its bytes end.
struct Where {
    const char *path;
    const char *end;
};

// "fillvars: FILE:N: NAME: what", or without "NAME: " when there is no name.
// No byte of a value ever goes into a message: the name and the fault say
// where it is.
static bool refuse_at(const Where &file, uint64_t number, const char *name, size_t name_length,
                      const char *what) {
    char line[32];
    std::snprintf(line, sizeof line, ":%llu: ", static_cast<unsigned long long>(number));
    MessagePart parts[] = {{file.path, std::strlen(file.path), true},
                           {line, std::strlen(line), false},
                           {name, name != nullptr ? name_length : 0, true},
                           {": ", name != nullptr ? size_t{2} : 0, false},
                           {what, std::strlen(what), false}};
    write_message(parts, sizeof parts / sizeof *parts);
    return false;
}

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

static bool blank(char c) {
    return c == ' ' || c == '\t';
}

// The length of the white space character that ends at end, after start:
// an ASCII one (tab, VT, FF, CR, space), or one of Unicode's in UTF-8 (NEL,
// NO-BREAK SPACE and the other spaces), as Compose trims a value; 0 where
// there is none. By characters in any locale: a .env file is UTF-8, and the
// byte 0xA0 alone may end another character (U+00E0 is "\xc3\xa0").
static size_t space_before(const char *start, const char *end) {
    size_t n = static_cast<size_t>(end - start);
    auto ends = [&](const char *bytes, size_t k) {
        return n >= k && std::memcmp(end - k, bytes, k) == 0;
    };
    unsigned char last = static_cast<unsigned char>(end[-1]);
    if (last == ' ' || (last >= '\t' && last <= '\r'))
        return 1;
    if (last < 0x80)
        return 0;
    if (ends("\xc2\x85", 2) || ends("\xc2\xa0", 2))
        return 2;
    if (n < 3)
        return 0;
    static const char *const wide[] = {"\xe1\x9a\x80", "\xe2\x80\xa8", "\xe2\x80\xa9",
                                       "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80"};
    for (const char *space : wide)
        if (ends(space, 3))
            return 3;
    // U+2000 to U+200A.
    return end[-3] == '\xe2' && end[-2] == '\x80' && last <= 0x8a ? 3 : 0;
}

static bool holds_nul(const char *p, const char *stop) {
    return std::memchr(p, '\0', static_cast<size_t>(stop - p)) != nullptr;
}

// Doubled: a file may hold a copy for most of its lines.
static void keep_copy(char *copy) {
    if ((copy_count & (copy_count - 1)) == 0) {
        void *grown = reallocarray(copies, std::max<size_t>(2 * copy_count, 1), sizeof *copies);
        if (grown == nullptr)
            fail("reallocarray");
        copies = static_cast<char **>(grown);
    }
    copies[copy_count++] = copy;
}

// The parse of one file, a line at a time.
struct Parse {
    Where file;
    char *p;         // the start of the line at hand
    uint64_t number; // its number
    Rules rules;     // -u and -e, for the values
    uint64_t reports;
};

// The name of the variable at hand, for messages.
struct Name {
    const char *bytes;
    size_t length;
};

// The closing quote of the value that opens at open: in "..." a "\" takes
// the byte after it along when that is a '"' or a "\"; in '...' the two
// bytes \' are a quote that does not close, and \\ two bytes that stand.
// Leaves at->p at the line of the closing quote, or returns null when the
// file breaks the format (reported).
static char *find_close(Parse *at, char *open, Name name) {
    const char *end = at->file.end;
    uint64_t open_number = at->number;
    for (char *r = open + 1; r < end; r++) {
        if (*r == *open)
            return r;
        if (*r == '\0') {
            refuse_at(at->file, at->number, name.bytes, name.length, "a NUL byte in the value");
            return nullptr;
        }
        if (*r == '\n') {
            at->number++;
            at->p = r + 1;
        } else if (*r == '\\' && r + 1 < end && (r[1] == *open || r[1] == '\\')) {
            r++;
        }
    }
    refuse_at(at->file, open_number, name.bytes, name.length, "unclosed quote");
    return nullptr;
}

// Writes the value between the quotes at open and close in place, from
// open + 1, and returns its length: '...' with \' as ', "..." with its
// escapes, where \$ becomes "$$", the walk's one "$"; a CR before a line
// feed is no part of it. The name before it stays as it was.
static size_t unquote(char *open, const char *close) {
    char *to = open + 1;
    for (const char *r = open + 1; r < close; r++) {
        char c = *r;
        if (c == '\r' && r[1] == '\n')
            continue;
        if (c == '\\' && *open == '\'') {
            if (r[1] == '\'') {
                c = '\'';
                r++;
            } else if (r[1] == '\\') {
                *to++ = *r++;
            }
        } else if (c == '\\') {
            static const char from[] = "nrt\\\"$", into[] = "\n\r\t\\\"$";
            const char *escape = static_cast<const char *>(std::memchr(from, r[1], 6));
            if (escape != nullptr) {
                c = into[escape - from];
                if (c == '$')
                    *to++ = '$';
                r++;
            }
        }
        *to++ = c;
    }
    return static_cast<size_t>(to - (open + 1));
}

// A value of a -f file, expanded into out (memory) by the walk of a template
// under -s, with the reports of -u and -e as rules ask, each naming line of
// path; while the files load (the environment's index holds what they set so
// far). Operands, -p, -b and -k limit the template only: nothing limits a
// value. Returns how many reports it made.
static uint64_t substitute_value(Output *out, const char *value, size_t length, Rules asked,
                                 const char *path, uint64_t line) {
    // A value is stored as it stands: -E escapes it where it is written.
    // Operands, -p, -b and -k limit the template only.
    RunAsked run = {};
    run.rules = {asked.nounset, asked.noempty,      false,           false, true,
                 false,         EscapeFormat::none, asked.characters};
    run.unindexed_matter = environment_values_hold_equals() || asked.nounset;
    run.unvalued_slots = true;
    run.expand = expand_text;
    run.reference_end = reference_end;
    run_asked = run;
    reports_start(false);
    reports_in_file(path, line);
    before_output = reports_flush;
    // The walk's scans read past the end, and stop at the NUL there.
    char *copy = static_cast<char *>(std::malloc(length + 1 + SCAN_PAST));
    if (copy == nullptr)
        fail("malloc");
    std::memcpy(copy, value, length);
    std::memset(copy + length, 0, 1 + SCAN_PAST);
    // The memo of unclosed forms holds pointers into the bytes walked.
    shell_memo_forget();
    expand_text(out, copy, copy + length);
    shell_memo_forget();
    std::free(copy);
    reports_flush();
    before_output = nullptr;
    reports_in_file(nullptr, 0);
    run_asked = {};
    return reports_count();
}

// Sets the variable to its value: expanded by -s's walk when it holds a "$"
// (reports name line, where the value starts), else where it stands.
static void define(Parse *at, Name name, const char *value, size_t length, uint64_t line) {
    // -r without -u or -e only lists the template's names: nothing is
    // evaluated, and no value is written.
    bool listing_only = at->rules.references && !at->rules.nounset && !at->rules.noempty;
    if (listing_only || std::memchr(value, '$', length) == nullptr) {
        environment_define(name.bytes, name.length, value, length, false);
        return;
    }
    Output out = {-1, nullptr, nullptr, nullptr};
    reports_defining(name.bytes, name.length);
    at->reports += substitute_value(&out, value, length, at->rules, at->file.path, line);
    reports_defining(nullptr, 0);
    size_t made = static_cast<size_t>(out.next - out.data);
    if (made == 0) {
        std::free(out.data);
        environment_define(name.bytes, name.length, value, 0, false);
        return;
    }
    // Room past the end for the filter's copies, the rest given back.
    char *kept = static_cast<char *>(std::realloc(out.data, made + COPY_PAST));
    if (kept == nullptr)
        kept = out.data;
    environment_define(name.bytes, name.length, kept, made, true);
}

// Reads the line at at->p, and the lines a quoted value runs on to; leaves
// at->p at the next line. False when the file breaks the format (reported).
static bool read_line(Parse *at) {
    char *line = at->p;
    Line whole = line_from(line, at->file.end);
    char *stop = line + whole.length;
    uint64_t first = at->number;
    char *p = line;
    while (p < stop && blank(*p))
        p++;
    if (p == stop || *p == '#') {
        if (holds_nul(p, stop))
            return refuse_at(at->file, first, nullptr, 0, "a NUL byte in a comment");
        at->p = whole.next;
        at->number++;
        return true;
    }
    // "export" before a name; "export" alone, or before "=", is the name.
    if (stop - p > 6 && std::memcmp(p, "export", 6) == 0 && blank(p[6])) {
        char *q = p + 6;
        while (q < stop && blank(*q))
            q++;
        if (q < stop && starts_shell_name(*q))
            p = q;
    }
    if (!starts_shell_name(*p))
        return refuse_at(at->file, first, nullptr, 0,
                         "not a name: it must start with a letter or \"_\"");
    char *name_end = p + 1;
    while (name_end < stop && !shell_stops.has[static_cast<unsigned char>(*name_end)])
        name_end++;
    // A name is shown only whole: a line such as DB-PASSWORD=x shows nothing.
    static const char yaml[] = "\"NAME: VALUE\" is YAML; a .env line is NAME=VALUE";
    if (name_end < stop && *name_end == ':')
        return refuse_at(at->file, first, nullptr, 0, yaml);
    if (name_end < stop && !blank(*name_end) && *name_end != '=')
        return refuse_at(at->file, first, nullptr, 0,
                         "not a name: it holds only letters, digits and \"_\"");
    Name name = {p, static_cast<size_t>(name_end - p)};
    char *q = name_end;
    while (q < stop && blank(*q))
        q++;
    if (q == stop || *q == '#') {
        // A name alone takes the environment's value, which wins anyway.
        if (holds_nul(q, stop))
            return refuse_at(at->file, first, name.bytes, name.length, "a NUL byte in a comment");
        at->p = whole.next;
        at->number++;
        return true;
    }
    // Such a line shows nothing of itself: it is mostly a value's second
    // line, and the first word of it may be a passphrase's.
    if (*q == ':')
        return refuse_at(at->file, first, nullptr, 0, yaml);
    if (*q != '=')
        return refuse_at(at->file, first, nullptr, 0,
                         "not a NAME=VALUE line (a value on several lines must be quoted)");

    char *value = q + 1;
    while (value < stop && blank(*value))
        value++;
    if (value < stop && (*value == '\'' || *value == '"')) {
        char *close = find_close(at, value, name);
        if (close == nullptr)
            return false;
        // The rest of the line the closing quote is on: white space, a comment.
        char *after = close + 1;
        Line rest = line_from(after, at->file.end);
        stop = after + rest.length;
        whole.next = rest.next;
        if (holds_nul(after, stop))
            return refuse_at(at->file, at->number, name.bytes, name.length,
                             "a NUL byte after the closing quote");
        while (after < stop && blank(*after))
            after++;
        if (after < stop && *after != '#')
            return refuse_at(at->file, at->number, name.bytes, name.length,
                             *value == '\''
                                 ? "text after the closing quote (a '...' value holds a ' as \\')"
                                 : "text after the closing quote (a \"...\" value holds a \" as "
                                   "\\\")");
        size_t length = unquote(value, close);
        if (*value == '\'')
            environment_define(name.bytes, name.length, value + 1, length, false);
        else
            define(at, name, value + 1, length, first);
    } else {
        // To the end of the line, or to a "#" after white space that
        // follows the value (so "A= #c" is "#c"); trimmed of white space.
        char *cut = value < stop ? value + 1 : stop;
        while (cut < stop && !(*cut == '#' && blank(cut[-1])))
            cut++;
        if (holds_nul(cut, stop))
            return refuse_at(at->file, first, name.bytes, name.length, "a NUL byte in a comment");
        for (size_t k; cut > value && (k = space_before(value, cut)) > 0;)
            cut -= k;
        if (holds_nul(value, cut))
            return refuse_at(at->file, first, name.bytes, name.length, "a NUL byte in the value");
        define(at, name, value, static_cast<size_t>(cut - value), first);
    }
    at->p = whole.next;
    at->number++;
    return true;
}

// The descriptor the template is read from: standard input, or -i's FILE.
static int template_fd = STDIN_FILENO;

// Whether the file open at fd is the one the template is read from. A
// character device (a terminal, /dev/null) may be read by both.
static bool is_template(int fd, const struct stat &input) {
    struct stat status;
    return fstat(fd, &status) == 0 && status.st_dev == input.st_dev &&
           status.st_ino == input.st_ino && !S_ISCHR(status.st_mode);
}

// The whole of the file at path, or up to the block that holds its first NUL,
// with COPY_PAST zeros after its end: the filter copies values by
// place_write_padded. Null when it cannot be read or is standard input
// (reported).
static char *read_file(const char *path, size_t *size) {
    // Taken before the file is opened: with standard input closed, the file
    // would be descriptor 0 itself.
    struct stat input;
    bool have_input = fstat(template_fd, &input) == 0;
    int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        refuse(path, ": ", std::strerror(errno));
        return nullptr;
    }
    if (have_input && is_template(fd, input)) {
        close(fd);
        const char *why = template_fd == STDIN_FILENO
                              ? ": standard input is the template, not a file of variables"
                              : ": it is the template (-i), not a file of variables";
        MessagePart parts[] = {
            {"-f ", 3, false}, {path, std::strlen(path), true}, {why, std::strlen(why), false}};
        write_message(parts, sizeof parts / sizeof *parts);
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
            refuse(path, ": ", std::strerror(error));
            return nullptr;
        }
        if (n == 0)
            break;
        used += static_cast<size_t>(n);
        // No line may hold a NUL, so the parse refuses the file at the first
        // one: what follows it need not be read (/dev/zero has no end).
        if (std::memchr(data + used - n, '\0', static_cast<size_t>(n)) != nullptr)
            break;
    }
    close(fd);
    std::memset(data + used, 0, COPY_PAST);
    *size = used;
    return data;
}

// Reads and parses the file at path into the environment's index; adds the
// reports of its values to *reports.
static bool load(const char *path, Rules rules, uint64_t *reports) {
    // Standard input holds the text to fill; with -i FILE it may hold the
    // variables, but only by a name that says so.
    if (std::strcmp(path, "-") == 0)
        return template_fd == STDIN_FILENO
                   ? refuse("", "-f -: standard input is the template, not a file of variables", "")
                   : refuse("",
                            "-f -: \"-\" names no file here: -f /dev/stdin reads the "
                            "variables from standard input",
                            "");
    if (path[0] == '\0')
        return refuse("", "-f: empty file name", "");
    size_t size;
    char *data = read_file(path, &size);
    if (data == nullptr)
        return false;
    void *grown = reallocarray(files, file_count + 1, sizeof *files);
    if (grown == nullptr)
        fail("reallocarray");
    files = static_cast<FileData *>(grown);
    files[file_count++] = {data, size};
    Parse at = {{path, data + size}, data, 1, rules, 0};
    // A byte order mark, which some editors put first, is no part of a name.
    if (size >= 3 && std::memcmp(data, "\xef\xbb\xbf", 3) == 0)
        at.p += 3;
    bool good = true;
    while (good && at.p < at.file.end)
        good = read_line(&at);
    *reports += at.reports;
    return good;
}

static bool in_files(const char *p) {
    for (size_t i = 0; i < file_count; i++) {
        if (p >= files[i].data && p <= files[i].data + files[i].size)
            return true;
    }
    return false;
}

// bytes, kept where they are when a file holds them, else copied.
static const char *kept(const char *bytes, size_t length) {
    if (in_files(bytes))
        return bytes;
    char *copy = static_cast<char *>(std::calloc(length + COPY_PAST, 1));
    if (copy == nullptr)
        fail("calloc");
    std::memcpy(copy, bytes, length);
    keep_copy(copy);
    return copy;
}

// What the files set, and what their values assigned, each name once, taken
// from the load's index: its copies become the files', for the runs, each
// of which builds an index of its own.
static void take_variables() {
    size_t count = 0;
    for (size_t i = 0; i <= environment.mask; i++) {
        const NameSlot &slot = environment.slots[i];
        count += slot.length != EMPTY_SLOT && !slot.own && slot.value != nullptr;
    }
    variables =
        static_cast<FileVariable *>(std::calloc(std::max<size_t>(count, 1), sizeof *variables));
    if (variables == nullptr)
        fail("calloc");
    for (size_t i = 0; i <= environment.mask; i++) {
        NameSlot &slot = environment.slots[i];
        if (slot.length == EMPTY_SLOT || slot.own || slot.value == nullptr)
            continue;
        FileVariable &v = variables[variable_count++];
        v.name = kept(slot.key, slot.length);
        v.name_length = slot.length;
        v.value_length = slot.value_length;
        if (slot.copied) {
            v.value = slot.value;
            keep_copy(const_cast<char *>(slot.value));
            slot.copied = false;
        } else {
            v.value = kept(slot.value, slot.value_length);
        }
    }
}

bool env_files_load(Rules rules, int template_in) {
    if (path_count == 0)
        return true;
    template_fd = template_in;
    // Values see the environment and what earlier lines set, in the load's
    // own index; the runs' indexes take what the files set from the list
    // that take_variables makes of it.
    environment_release();
    environment_files(nullptr, 0);
    environment_index();
    uint64_t reports = 0;
    bool good = true;
    for (size_t i = 0; good && i < path_count; i++)
        good = load(paths[i], rules, &reports);
    take_variables();
    environment_release();
    if (!good || reports > 0)
        return false;
    environment_files(variables, variable_count);
    return true;
}

const FileVariable *env_files_variables(size_t *count) {
    *count = variable_count;
    return variables;
}

void env_files_release() {
    environment_files(nullptr, 0);
    environment_release();
    for (size_t i = 0; i < file_count; i++)
        std::free(files[i].data);
    for (size_t i = 0; i < copy_count; i++)
        std::free(copies[i]);
    std::free(files);
    std::free(copies);
    std::free(variables);
    std::free(paths);
    files = nullptr;
    copies = nullptr;
    variables = nullptr;
    paths = nullptr;
    file_count = copy_count = variable_count = path_count = 0;
}
