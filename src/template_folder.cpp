// A folder of templates: its templates listed in byte order of their paths,
// their outputs planned and checked before anything is written, and the run
// over them all, whose outputs output_set replaces together.
#include "template_folder.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "env_file.hpp"
#include "input_file.hpp"
#include "io.hpp"
#include "names.hpp"
#include "noted_names.hpp"
#include "output_set.hpp"
#include "output_target.hpp"
#include "reports.hpp"

struct Template {
    char *path;   // under the template folder
    char *output; // under the output folder: path without the suffix
    mode_t mode;
};

static Template *templates = nullptr;
static size_t template_count = 0;
static size_t template_room = 0;

static const char *input_given; // -i as given
static char *input_real;        // the template folder with its links followed
static const char *suffix = nullptr;
static size_t suffix_length = 0;
static bool output_holds_input = false; // the template folder is inside -o's

// The folders being walked, from the template folder down: a link back to
// one of them is a loop.
struct Visiting {
    dev_t device;
    ino_t inode;
    const Visiting *up;
};

// folder/name; folder alone for an empty name.
static char *joined(const char *folder, const char *name) {
    size_t folder_length = std::strlen(folder), name_length = std::strlen(name);
    if (name_length == 0)
        return copy_of(folder, folder_length);
    bool slash = folder_length > 0 && folder[folder_length - 1] != '/';
    char *path = static_cast<char *>(std::malloc(folder_length + slash + name_length + 1));
    if (path == nullptr)
        fail("malloc");
    std::memcpy(path, folder, folder_length);
    path[folder_length] = '/';
    std::memcpy(path + folder_length + slash, name, name_length + 1);
    return path;
}

// "fillvars: " and the parts: fixed words, and paths escaped.
[[noreturn]] static void refuse(const char *first, const char *words, const char *second = nullptr,
                                const char *more = nullptr) {
    MessagePart parts[] = {{first, std::strlen(first), true},
                           {words, std::strlen(words), false},
                           {second, second == nullptr ? 0 : std::strlen(second), true},
                           {more, more == nullptr ? 0 : std::strlen(more), false}};
    write_message(parts, sizeof parts / sizeof *parts);
    std::exit(1);
}

// Whether a path with its links followed is in the template folder.
static bool inside(const char *real) {
    size_t length = std::strlen(input_real);
    if (length == 1)
        return true;
    return std::strncmp(real, input_real, length) == 0 &&
           (real[length] == '\0' || real[length] == '/');
}

// Whether the file named name is a template, under --suffix.
static bool wanted(const char *path, const char *name) {
    size_t length = std::strlen(name);
    if (suffix == nullptr || length < suffix_length ||
        std::memcmp(name + length - suffix_length, suffix, suffix_length) != 0)
        return suffix == nullptr;
    if (length == suffix_length)
        refuse(path, ": its name is the suffix alone, which leaves its output no name");
    return true;
}

static void add_template(char *path, mode_t mode) {
    if (template_count == template_room) {
        size_t room = template_room == 0 ? 64 : template_room * 2;
        Template *more = static_cast<Template *>(std::realloc(templates, room * sizeof *more));
        if (more == nullptr)
            fail("realloc");
        templates = more;
        template_room = room;
    }
    size_t length = std::strlen(path) - (suffix == nullptr ? 0 : suffix_length);
    templates[template_count++] = {path, copy_of(path, length), mode};
}

// Lists the templates of the folder path (under the template folder; "" for
// the folder itself). Links are followed, to files and folders in the
// template folder only.
static void walk(const char *path, const Visiting *up) {
    char *folder = joined(input_given, path);
    DIR *entries = opendir(folder);
    if (entries == nullptr)
        fail_output(folder, nullptr, nullptr, nullptr, errno);
    for (;;) {
        errno = 0;
        struct dirent *entry = readdir(entries);
        if (entry == nullptr) {
            if (errno != 0)
                fail_output(folder, nullptr, nullptr, nullptr, errno);
            break;
        }
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        char *relative = joined(path, name);
        char *given = joined(input_given, relative);
        struct stat status;
        if (lstat(given, &status) != 0)
            fail_output(given, nullptr, nullptr, nullptr, errno);
        if (S_ISLNK(status.st_mode)) {
            char *real = realpath(given, nullptr);
            if (real == nullptr)
                fail_output(given, nullptr, nullptr, nullptr, errno);
            if (!inside(real))
                refuse(given, ": a link out of the template folder, ", input_given,
                       ": only what the folder holds is rendered");
            std::free(real);
            if (stat(given, &status) != 0)
                fail_output(given, nullptr, nullptr, nullptr, errno);
        }
        if (S_ISDIR(status.st_mode)) {
            for (const Visiting *v = up; v != nullptr; v = v->up) {
                if (v->device == status.st_dev && v->inode == status.st_ino)
                    refuse(given, ": a link to a folder that holds it: a loop");
            }
            Visiting here = {status.st_dev, status.st_ino, up};
            walk(relative, &here);
            std::free(relative);
        } else if (S_ISREG(status.st_mode) && wanted(given, name)) {
            add_template(relative, status.st_mode);
        } else {
            std::free(relative);
        }
        std::free(given);
    }
    closedir(entries);
    std::free(folder);
}

static int by_path(const void *a, const void *b) {
    return std::strcmp(static_cast<const Template *>(a)->path,
                       static_cast<const Template *>(b)->path);
}

static int by_output(const void *a, const void *b) {
    return std::strcmp((*static_cast<const Template *const *>(a))->output,
                       (*static_cast<const Template *const *>(b))->output);
}

// Two templates whose outputs clash: one is a file where the other needs a
// folder ("a.conf" from a.conf.template, and "a.conf/x" from a.conf/x.template).
static void check_clashes() {
    Template **sorted = static_cast<Template **>(std::malloc(template_count * sizeof *sorted));
    if (sorted == nullptr)
        fail("malloc");
    for (size_t i = 0; i < template_count; i++)
        sorted[i] = &templates[i];
    std::qsort(sorted, template_count, sizeof *sorted, by_output);
    for (size_t i = 0; i < template_count; i++) {
        const char *name = sorted[i]->output;
        for (const char *slash = std::strchr(name, '/'); slash != nullptr;
             slash = std::strchr(slash + 1, '/')) {
            char *folder = copy_of(name, static_cast<size_t>(slash - name));
            Template key = {nullptr, folder, 0}, *wanted_key = &key;
            Template **found = static_cast<Template **>(
                std::bsearch(&wanted_key, sorted, template_count, sizeof *sorted, by_output));
            std::free(folder);
            if (found != nullptr) {
                char *file = joined(input_given, (*found)->path);
                char *clashing = joined(input_given, sorted[i]->path);
                std::free(sorted);
                refuse(file, ": its output is a folder of outputs too, for ", clashing,
                       ": rename one of them");
            }
        }
    }
    std::free(sorted);
}

// -o's folder may not be the template folder or inside it: the next run
// would render the outputs as templates. It need not exist yet: the part
// that does is followed.
static void check_output_folder(const char *output) {
    struct stat status;
    if (stat(output, &status) == 0 && !S_ISDIR(status.st_mode))
        refuse(output, ": -o names a file, and -i a folder: -o names the folder of the outputs");
    // Room for ".", should nothing of it exist.
    size_t length = std::strlen(output);
    char *existing = static_cast<char *>(std::malloc(length + 2));
    if (existing == nullptr)
        fail("malloc");
    std::memcpy(existing, output, length + 1);
    size_t kept = length; // how much of output exists
    char *found = nullptr;
    while ((found = realpath(existing, nullptr)) == nullptr && errno == ENOENT) {
        char *slash = std::strrchr(existing, '/');
        if (std::strcmp(existing, ".") == 0 || std::strcmp(existing, "/") == 0)
            break;
        if (slash == nullptr)
            std::strcpy(existing, ".");
        else if (slash == existing)
            existing[1] = '\0';
        else
            *slash = '\0';
        kept = std::strcmp(existing, ".") == 0 ? 0 : std::strlen(existing);
    }
    if (found == nullptr)
        fail_output(output, nullptr, nullptr, nullptr, errno);
    // The rest is made as mkdir -p makes it, folders and no links: "." and
    // ".." in it are taken as written ("new/../t" is t).
    const char *rest = output + kept;
    char *real = static_cast<char *>(std::malloc(std::strlen(found) + std::strlen(rest) + 2));
    if (real == nullptr)
        fail("malloc");
    std::strcpy(real, found);
    std::free(found);
    while (*rest != '\0') {
        size_t part = std::strcspn(rest, "/");
        if (part == 2 && rest[0] == '.' && rest[1] == '.') {
            char *slash = std::strrchr(real, '/');
            slash[slash == real ? 1 : 0] = '\0';
        } else if (part > 0 && !(part == 1 && rest[0] == '.')) {
            size_t end = std::strlen(real);
            if (end > 1)
                real[end++] = '/';
            std::memcpy(real + end, rest, part);
            real[end + part] = '\0';
        }
        rest += part + (rest[part] == '/');
    }
    bool same = std::strcmp(real, input_real) == 0;
    bool in = inside(real);
    // The template folder inside the output folder: an output may then be
    // one of the templates, which the run would replace.
    size_t real_length = std::strlen(real);
    output_holds_input = real_length == 1 || (std::strncmp(input_real, real, real_length) == 0 &&
                                              input_real[real_length] == '/');
    // Given back before a refusal too: a run that ends holds nothing.
    std::free(real);
    std::free(existing);
    if (same)
        refuse(output, ": is the template folder: the outputs go in a folder of their own");
    if (in)
        refuse(output, ": is inside the template folder ", input_given,
               ": the next run would take its outputs for templates");
}

// Each output's place: the folders on its way are folders or missing, and
// no folder stands where the output goes.
static void check_places(const char *output) {
    for (size_t i = 0; i < template_count; i++) {
        char *path = joined(output, templates[i].output);
        size_t start = std::strlen(path) - std::strlen(templates[i].output);
        struct stat status;
        bool missing = false;
        for (char *slash = std::strchr(path + start, '/'); slash != nullptr && !missing;
             slash = std::strchr(slash + 1, '/')) {
            *slash = '\0';
            missing = stat(path, &status) != 0;
            if (!missing && !S_ISDIR(status.st_mode)) {
                char *file = copy_of(path, std::strlen(path));
                *slash = '/';
                refuse(file, ": is a file where the output ", path, " needs a folder");
            }
            *slash = '/';
        }
        if (!missing && stat(path, &status) == 0) {
            if (S_ISDIR(status.st_mode))
                fail_output(path, "names a folder, not a file");
            if (!S_ISREG(status.st_mode))
                fail_output(path, "is not a regular file: the outputs of a folder are replaced "
                                  "whole");
            char *real = output_holds_input ? realpath(path, nullptr) : nullptr;
            bool template_itself = real != nullptr && inside(real);
            std::free(real);
            if (template_itself)
                refuse(path, ": is a template of ", input_given,
                       ", which its output would replace");
        }
        std::free(path);
    }
}

// With -o holding the template folder, an output may land in it (-o . for
// -i t maps t/t/a to t/a). Its folders are made by now: the one it goes in
// tells, and a run that ends here removes them.
static void check_outside(const char *path) {
    const char *slash = std::strrchr(path, '/');
    char *folder =
        slash == nullptr ? copy_of(".", 1) : copy_of(path, static_cast<size_t>(slash - path) + 1);
    char *real = realpath(folder, nullptr);
    int error = errno;
    std::free(folder);
    if (real == nullptr)
        fail_output(path, nullptr, nullptr, nullptr, error);
    bool in = inside(real);
    std::free(real);
    if (in)
        refuse(path, ": is in the template folder ", input_given,
               ": the next run would take it for a template");
}

// Makes the folders that the outputs go in, each with the mode of the
// template folder it stands for.
static void make_folders(const char *output) {
    output_set_make_folder(output, 0777);
    for (size_t i = 0; i < template_count; i++) {
        const char *name = templates[i].output;
        for (const char *slash = std::strchr(name, '/'); slash != nullptr;
             slash = std::strchr(slash + 1, '/')) {
            char *folder = copy_of(name, static_cast<size_t>(slash - name));
            char *made = joined(output, folder);
            struct stat status;
            if (stat(made, &status) != 0) {
                char *from = joined(input_given, folder);
                if (stat(from, &status) != 0)
                    fail_output(from, nullptr, nullptr, nullptr, errno);
                output_set_make_folder(made, status.st_mode & 0777);
                std::free(from);
            }
            std::free(made);
            std::free(folder);
        }
    }
}

static void release_templates() {
    for (size_t i = 0; i < template_count; i++) {
        std::free(templates[i].path);
        std::free(templates[i].output);
    }
    std::free(templates);
    templates = nullptr;
    template_count = template_room = 0;
    std::free(input_real);
    input_real = nullptr;
}

bool template_folder_given(const char *path) {
    struct stat status;
    return path != nullptr && std::strcmp(path, "-") != 0 && stat(path, &status) == 0 &&
           S_ISDIR(status.st_mode);
}

int template_folder_run(const char *input, const char *output, const char *given_suffix,
                        Rules rules) {
    if (output != nullptr && output[0] == '\0') {
        static const char empty[] = "-o: empty file name";
        const MessagePart parts[] = {{empty, sizeof empty - 1, false}};
        write_message(parts, 1);
        std::exit(1);
    }
    if (output == nullptr && !rules.references)
        refuse(input, ": is a folder of templates: -o names the folder of their outputs");
    input_given = input;
    suffix = given_suffix;
    suffix_length = suffix == nullptr ? 0 : std::strlen(suffix);
    input_real = realpath(input, nullptr);
    if (input_real == nullptr)
        fail_output(input, nullptr, nullptr, nullptr, errno);
    if (output != nullptr)
        check_output_folder(output);
    struct stat status;
    if (stat(input, &status) != 0)
        fail_output(input, nullptr, nullptr, nullptr, errno);
    Visiting top = {status.st_dev, status.st_ino, nullptr};
    walk("", &top);
    if (template_count == 0) {
        if (suffix != nullptr)
            refuse(input, ": holds no file whose name ends in ", suffix, ": no template to render");
        refuse(input, ": holds no file: no template to render");
    }
    std::qsort(templates, template_count, sizeof *templates, by_path);
    if (output != nullptr) {
        check_clashes();
        check_places(output);
    }
    // Standard input is no template here: it may hold the variables, as
    // /dev/stdin ("-" names no file, as under -i FILE).
    if (!env_files_load(rules, -1)) {
        env_files_release();
        release_templates();
        return 1;
    }
    char **paths = nullptr;
    if (output != nullptr) {
        paths = static_cast<char **>(std::malloc(template_count * sizeof *paths));
        if (paths == nullptr)
            fail("malloc");
        output_set_start(template_count, template_count);
        make_folders(output);
        for (size_t i = 0; i < template_count; i++) {
            paths[i] = joined(output, templates[i].output);
            if (output_holds_input)
                check_outside(paths[i]);
            output_set_add(paths[i], templates[i].mode);
        }
        output_set_check_distinct();
    } else {
        // -r: each name once, across every template.
        noted_names_hold(true);
    }
    uint64_t reported = 0;
    for (size_t i = 0; i < template_count; i++) {
        char *template_path = joined(input, templates[i].path);
        int in = input_file_open(template_path);
        int out = output == nullptr ? STDOUT_FILENO : output_set_open(i);
        reports_template(template_path);
        reported += substitute_stream(in, out, BLOCK_SIZE, rules);
        reports_template(nullptr);
        close(in);
        if (output != nullptr)
            output_set_close(i);
        std::free(template_path);
    }
    name_list_release();
    env_files_release();
    if (output == nullptr)
        noted_names_hold(false);
    else if (reported > 0)
        output_set_abandon();
    else
        output_set_commit();
    for (size_t i = 0; paths != nullptr && i < template_count; i++)
        std::free(paths[i]);
    std::free(paths);
    if (reported > 0 && output != nullptr)
        refuse(output, ": no output changed: the reports above name the templates that failed");
    release_templates();
    return reported > 0 ? 1 : 0;
}
