// What -o FILE names and whether it may be replaced, checked before any input
// is read, with the messages for each refusal.
#include "output_target.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "io.hpp"

// A fixed text of a message, or a name escaped; null is left out.
static MessagePart part(const char *text, bool escaped = false) {
    return {text, text == nullptr ? 0 : std::strlen(text), escaped};
}

void fail_output(const char *file, const char *words, const char *folder, const char *more,
                 int error) {
    // The filter's pending reports go first, as for every failure.
    if (before_output != nullptr)
        before_output();
    bool worded = words != nullptr || folder != nullptr || more != nullptr;
    MessagePart parts[] = {part(file, true),
                           part(": "),
                           part(words),
                           part(folder, true),
                           part(more),
                           part(error != 0 && worded ? ": " : nullptr),
                           part(error != 0 ? std::strerror(error) : nullptr)};
    write_message(parts, sizeof parts / sizeof *parts);
    std::exit(1);
}

// Where a path's last component starts.
static size_t folder_length(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
}

char *copy_of(const char *text, size_t length) {
    char *copy = static_cast<char *>(std::malloc(length + 1));
    if (copy == nullptr)
        fail("malloc");
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

char *folder_name(const char *path, size_t folder) {
    if (folder == 0)
        return copy_of(".", 1);
    return copy_of(path, folder == 1 ? 1 : folder - 1);
}

// A folder where others may make and remove files: anyone (sticky or not,
// as a 0777 folder), or a group whose members' files the sticky bit keeps
// apart (1770), as in /tmp.
static bool shared_folder(const struct stat *folder) {
    return (folder->st_mode & S_IWOTH) != 0 ||
           ((folder->st_mode & S_ISVTX) != 0 && (folder->st_mode & S_IWGRP) != 0);
}

static bool on_proc(const char *folder) {
    struct statfs system;
    return statfs(folder, &system) == 0 && system.f_type == PROC_SUPER_MAGIC;
}

// The number of the descriptor of this process that a link in /proc names
// (/proc/self/fd/1, reached as /dev/stdout or /dev/fd/1, say), or -1. Only
// the number as the system writes it names one: "01", "+1" or "1x" are
// names that the folder does not hold.
static int own_descriptor(const char *folder, const char *base) {
    size_t digits = std::strspn(base, "0123456789");
    if (digits == 0 || base[digits] != '\0' || digits > 10 || (base[0] == '0' && digits > 1))
        return -1;
    long number = std::strtol(base, nullptr, 10);
    if (number > INT_MAX)
        return -1;
    char *real = realpath(folder, nullptr);
    if (real == nullptr)
        return -1;
    char process[64], thread[80];
    std::snprintf(process, sizeof process, "/proc/%ld/fd", static_cast<long>(getpid()));
    std::snprintf(thread, sizeof thread, "/proc/%ld/task/%ld/fd", static_cast<long>(getpid()),
                  static_cast<long>(getpid()));
    bool own = std::strcmp(real, process) == 0 || std::strcmp(real, thread) == 0;
    std::free(real);
    return own ? static_cast<int>(number) : -1;
}

int above_standard(int fd) {
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int error = errno;
    close(fd);
    errno = error;
    return moved;
}

// FILE names a descriptor through /proc: renaming over the file behind it
// would lose what that descriptor's owner wrote (a log opened with >>, the
// text around the run in a { ...; } > file). One of this process's own is
// written through, sharing its offset as standard output does; any other is
// opened in place, as the shell's > would.
// Returns the descriptor to write, or -1 with errno set, or with *refused
// set to the words that say why it may not be written.
static int through_descriptor(const char *link, const char *folder, const char *base,
                              const char **refused) {
    *refused = nullptr;
    int own = own_descriptor(folder, base);
    if (own < 0)
        return above_standard(open(link, O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC));
    int flags = fcntl(own, F_GETFL);
    if (flags < 0)
        return -1;
    if ((flags & O_ACCMODE) == O_RDONLY) {
        *refused = "names a descriptor open only for reading";
        return -1;
    }
    return fcntl(own, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
}

// A link that another user left in a shared folder is not followed unless the
// folder is theirs, as the kernel's own protection for such links does: it
// could lead the run to a file of the runner's choosing.
static void check_link(const char *file, const char *path, const struct stat *link) {
    char *folder = folder_name(path, folder_length(path));
    struct stat holder;
    bool foreign = stat(folder, &holder) == 0 && shared_folder(&holder) &&
                   link->st_uid != holder.st_uid && link->st_uid != geteuid();
    if (foreign)
        fail_output(file, "is a link of another user in ", folder,
                    ", which others may write to: it is not followed");
    std::free(folder);
}

// FILE with its symbolic links followed to the file they lead to, which need
// not exist yet: the links stay, and what they point to is replaced. A link
// in /proc is a descriptor, written in place.
static OutputTarget follow_links(const char *file) {
    OutputTarget target = {};
    target.fd = -1;
    char *current = copy_of(file, std::strlen(file));
    for (int hops = 0;; hops++) {
        bool found = lstat(current, &target.old) == 0;
        // A missing file, or a folder that is missing or not a folder: the
        // checks of the folder say which.
        if (!found && errno != ENOENT && errno != ENOTDIR)
            fail_output(file, nullptr, nullptr, nullptr, errno);
        if (found && !S_ISLNK(target.old.st_mode)) {
            target.existed = true;
            break;
        }
        // A link in /proc, or a descriptor there that is not open.
        size_t folder = folder_length(current);
        char *folder_path = folder_name(current, folder);
        if (on_proc(folder_path)) {
            const char *refused = nullptr;
            target.fd = through_descriptor(current, folder_path, current + folder, &refused);
            int error = errno;
            std::free(folder_path);
            std::free(current);
            if (target.fd < 0)
                fail_output(file, refused, nullptr, nullptr, refused == nullptr ? error : 0);
            target.folder_fd = -1;
            return target;
        }
        std::free(folder_path);
        if (!found)
            break;
        check_link(file, current, &target.old);
        if (hops == 40)
            fail_output(file, nullptr, nullptr, nullptr, ELOOP);
        char link[PATH_MAX];
        ssize_t n = readlink(current, link, sizeof link);
        if (n < 0)
            fail_output(file, nullptr, nullptr, nullptr, errno);
        if (static_cast<size_t>(n) == sizeof link)
            fail_output(file, nullptr, nullptr, nullptr, ENAMETOOLONG);
        // A relative link is read from the folder that holds it.
        if (link[0] == '/')
            folder = 0;
        char *next = static_cast<char *>(std::malloc(folder + static_cast<size_t>(n) + 1));
        if (next == nullptr)
            fail("malloc");
        std::memcpy(next, current, folder);
        std::memcpy(next + folder, link, static_cast<size_t>(n));
        next[folder + static_cast<size_t>(n)] = '\0';
        std::free(current);
        current = next;
    }
    target.path = current;
    target.folder = folder_length(current);
    return target;
}

// The flag (chattr +i or +a) that forbids a rename over a file or a new name
// in a folder, which the rename would meet only once the input is read: its
// words (" is ..."), or null. name is in the folder held by folder; "" is
// that folder itself.
static const char *frozen(int folder, const char *name) {
#ifdef STATX_ATTR_IMMUTABLE
    struct statx about;
    int flags = *name == '\0' ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
    if (statx(folder, name, flags, STATX_TYPE, &about) != 0)
        return nullptr;
    uint64_t set = about.stx_attributes & about.stx_attributes_mask;
    if (set & STATX_ATTR_IMMUTABLE)
        return " is immutable (chattr +i)";
    if (set & STATX_ATTR_APPEND)
        return " is append-only (chattr +a)";
#else
    (void)folder;
    (void)name;
#endif
    return nullptr;
}

// The folder, opened once: the temporary file, the rename, the removal and
// the sync all go through this descriptor, so that a path that changes its
// meaning meanwhile (a link switched to another release, a folder renamed)
// cannot split the run between two folders. One that may be searched but not
// read (mode 0733) is held as a place, which may not be synced.
static void open_folder(const char *file, OutputTarget *target) {
    char *folder = folder_name(target->path, target->folder);
    target->syncable = true;
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) {
        target->syncable = false;
        fd = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0) {
        if (errno == ENOENT)
            fail_output(file, "the folder ", folder, " does not exist");
        if (errno == ENOTDIR)
            fail_output(file, nullptr, folder, " is not a folder");
        fail_output(file, "cannot create a file in ", folder, nullptr, errno);
    }
    target->folder_fd = above_standard(fd);
    if (target->folder_fd < 0)
        fail_output(file, nullptr, nullptr, nullptr, errno);
    std::free(folder);
}

OutputTarget output_target(const char *file) {
    if (file[0] == '\0') {
        static const char message[] = "fillvars: -o: empty file name\n";
        write_waiting(STDERR_FILENO, message, sizeof message - 1);
        std::exit(1);
    }
    OutputTarget target = follow_links(file);
    if (target.fd >= 0)
        return target;
    const char *base = target.path + target.folder;
    if (*base == '\0' || std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0 ||
        (target.existed && S_ISDIR(target.old.st_mode)))
        fail_output(file, "names a folder, not a file");
    open_folder(file, &target);
    // From here on FILE is the name in that folder.
    target.existed = fstatat(target.folder_fd, base, &target.old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!target.existed && errno != ENOENT)
        fail_output(file, nullptr, nullptr, nullptr, errno);
    if (target.existed && S_ISDIR(target.old.st_mode))
        fail_output(file, "names a folder, not a file");
    if (target.existed && S_ISLNK(target.old.st_mode))
        fail_output(file, "changed while it was checked: run again");
    char *folder = folder_name(target.path, target.folder);
    struct stat holder;
    if (fstat(target.folder_fd, &holder) != 0)
        fail_output(file, "cannot create a file in ", folder, nullptr, errno);
    // Replaced, another user's file in a shared folder would be handed back
    // to them with what this run wrote (and they may swap it meanwhile);
    // their FIFO would hand it over at once.
    if (target.existed && target.old.st_uid != geteuid() && shared_folder(&holder))
        fail_output(file, "belongs to another user, in ", folder,
                    ", which others may write to: remove it, or write it as its owner");
    // A device, a FIFO or a socket cannot be replaced whole: it is written
    // as standard output would be.
    if (target.existed && !S_ISREG(target.old.st_mode)) {
        std::free(folder);
        target.fd = above_standard(
            openat(target.folder_fd, base, O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
        if (target.fd < 0)
            fail_output(file, nullptr, nullptr, nullptr, errno);
        close(target.folder_fd);
        target.folder_fd = -1;
        std::free(target.path);
        target.path = nullptr;
        return target;
    }
    if (const char *flag = frozen(target.folder_fd, ""))
        fail_output(file, "cannot be replaced: its folder ", folder, flag);
    std::free(folder);
    if (target.existed) {
        if (const char *flag = frozen(target.folder_fd, base))
            fail_output(file, "cannot be replaced: it", nullptr, flag);
    }
    return target;
}
