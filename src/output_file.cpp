#include "output_file.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io.hpp"

// The signals whose default action ends the run and that come from outside
// it: a user, a timer, a limit on CPU time or on the size of the temporary
// file. Any of them would otherwise leave that file behind.
static const int ending_signals[] = {SIGHUP,  SIGINT,  SIGPIPE, SIGTERM, SIGXFSZ,
                                     SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU};

struct Replacement {
    const char *given; // FILE as given, for messages
    char *target;      // the file to replace: FILE with its symbolic links followed
    int fd;
    bool direct; // FILE is not a regular file, and is written as it stands
    bool existed;
    struct stat old; // the file replaced, when it existed
    mode_t new_mode; // a new file's: 0666 less the umask, as the shell's ">" gives
};

static Replacement replacement = {};

// The temporary file, for the signal and exit handlers: a fixed buffer, as
// neither may allocate.
static char temp_path[PATH_MAX];
static volatile sig_atomic_t temp_exists = 0;
static sigset_t handled;

// The message for a FILE that cannot be replaced, FILE escaped as names are:
// it may hold bytes that would act on a terminal.
[[noreturn]] static void fail_file(int error) {
    const char *text = std::strerror(error);
    size_t text_length = std::strlen(text);
    size_t length = std::strlen(replacement.given);
    // "fillvars: ", ": " and the line feed, around the two.
    char *message = static_cast<char *>(std::malloc(13 + ESCAPE_GROWTH * length + text_length));
    if (message == nullptr)
        fail("malloc");
    std::memcpy(message, "fillvars: ", 10);
    char *end = escape_text(message + 10, replacement.given, length);
    std::memcpy(end, ": ", 2);
    std::memcpy(end + 2, text, text_length);
    end += 2 + text_length;
    *end++ = '\n';
    write_waiting(STDERR_FILENO, message, static_cast<size_t>(end - message));
    std::free(message);
    std::exit(1);
}

static char *copy_of(const char *text, size_t length) {
    char *copy = static_cast<char *>(std::malloc(length + 1));
    if (copy == nullptr)
        fail("malloc");
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// Where a path's last component starts.
static size_t folder_length(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
}

// FILE with its symbolic links followed to the file they lead to, which need
// not exist yet: the links stay, and what they point to is replaced. Sets
// what is known of the file when it exists.
static char *follow_links(const char *path) {
    char *current = copy_of(path, std::strlen(path));
    for (int hops = 0;; hops++) {
        if (lstat(current, &replacement.old) != 0) {
            if (errno != ENOENT)
                fail_file(errno);
            return current;
        }
        if (!S_ISLNK(replacement.old.st_mode)) {
            replacement.existed = true;
            return current;
        }
        if (hops == 40)
            fail_file(ELOOP);
        char link[PATH_MAX];
        ssize_t n = readlink(current, link, sizeof link);
        if (n < 0)
            fail_file(errno);
        if (static_cast<size_t>(n) == sizeof link)
            fail_file(ENAMETOOLONG);
        // A relative link is read from the folder that holds it.
        size_t folder = link[0] == '/' ? 0 : folder_length(current);
        char *next = static_cast<char *>(std::malloc(folder + static_cast<size_t>(n) + 1));
        if (next == nullptr)
            fail("malloc");
        std::memcpy(next, current, folder);
        std::memcpy(next + folder, link, static_cast<size_t>(n));
        next[folder + static_cast<size_t>(n)] = '\0';
        std::free(current);
        current = next;
    }
}

// Keeps the descriptor off 0, 1 and 2: with one of them closed, a file opened
// here would take its place, and a closed input would read as an empty one.
static int above_standard(int fd) {
    if (fd > STDERR_FILENO)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int error = errno;
    close(fd);
    errno = error;
    return moved;
}

extern "C" void remove_and_reraise(int signal_number) {
    if (temp_exists)
        unlink(temp_path);
    // The default action is back (SA_RESETHAND) and not held off (SA_NODEFER):
    // the run ends as the signal would have ended it.
    raise(signal_number);
}

static void remove_at_exit() {
    if (temp_exists)
        unlink(temp_path);
    temp_exists = 0;
}

// Handlers for the ending signals, but not for one that the run was started
// with ignored (as nohup does): that one stays ignored.
static void install_handlers() {
    struct sigaction action = {};
    action.sa_handler = remove_and_reraise;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&handled);
    for (int signal_number : ending_signals) {
        struct sigaction previous = {};
        if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN)
            continue;
        if (sigaction(signal_number, &action, nullptr) == 0)
            sigaddset(&handled, signal_number);
    }
}

// Whether FILE was bound from elsewhere on the same file system (as a
// container runtime may bind a file): only its mount differs from the
// temporary file's. Where the system cannot tell, the rename will.
static bool other_mount(int temporary) {
#ifdef STATX_MNT_ID
    struct statx file, made;
    if (statx(AT_FDCWD, replacement.target, AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &file) != 0 ||
        statx(temporary, "", AT_EMPTY_PATH, STATX_MNT_ID, &made) != 0)
        return false;
    return (file.stx_mask & made.stx_mask & STATX_MNT_ID) != 0 &&
           file.stx_mnt_id != made.stx_mnt_id;
#else
    (void)temporary;
    return false;
#endif
}

int output_file_open(const char *path) {
    replacement.given = path;
    if (path[0] == '\0')
        fail_file(ENOENT);
    struct stat given;
    if (stat(path, &given) == 0) {
        if (S_ISDIR(given.st_mode))
            fail_file(EISDIR);
        if (!S_ISREG(given.st_mode)) {
            replacement.direct = true;
            replacement.fd = above_standard(open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC));
            if (replacement.fd < 0)
                fail_file(errno);
            return replacement.fd;
        }
    } else if (errno != ENOENT) {
        fail_file(errno);
    }

    replacement.target = follow_links(path);
    const char *target = replacement.target;
    size_t folder = folder_length(target);
    const char *base = target + folder;
    if (*base == '\0' || std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0)
        fail_file(EISDIR);
    static const char name[] = ".fillvars-XXXXXX";
    if (folder + sizeof name > sizeof temp_path)
        fail_file(ENAMETOOLONG);
    std::memcpy(temp_path, target, folder);
    std::memcpy(temp_path + folder, name, sizeof name);
    mode_t mask = umask(0);
    umask(mask);
    replacement.new_mode = 0666 & ~mask;

    std::atexit(remove_at_exit);
    install_handlers();
    // Held off while the file is made, so that no signal finds it unrecorded.
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    int fd = mkstemp(temp_path);
    int error = errno;
    if (fd >= 0)
        temp_exists = 1;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0)
        fail_file(error);
    replacement.fd = above_standard(fd);
    if (replacement.fd < 0)
        fail_file(errno);
    // A FILE on another file system or mount than its folder is a mount
    // point (a file bound into a container, say): the rename would fail once
    // the input is read, so it is reported now.
    struct stat made;
    if (fstat(replacement.fd, &made) != 0)
        fail_file(errno);
    if (replacement.existed &&
        (made.st_dev != replacement.old.st_dev || other_mount(replacement.fd)))
        fail_file(EBUSY);
    return replacement.fd;
}

// The old file's owner and group, as far as the process may give them.
static void keep_owner(int fd) {
    struct stat now;
    if (fstat(fd, &now) != 0)
        return;
    if (now.st_uid == replacement.old.st_uid && now.st_gid == replacement.old.st_gid)
        return;
    if (fchown(fd, replacement.old.st_uid, replacement.old.st_gid) == 0)
        return;
    // A user who is not root may still give a group of their own; where not
    // even that is allowed, the file is the writer's, as one that the shell
    // made would be.
    int ignored = fchown(fd, static_cast<uid_t>(-1), replacement.old.st_gid);
    (void)ignored;
}

// After the rename, so that the new name reaches the disk too. A folder that
// cannot be opened for reading cannot be synced; a file system that cannot
// sync folders says EINVAL.
static void sync_folder() {
    char folder[PATH_MAX];
    size_t length = folder_length(temp_path);
    if (length == 0) {
        std::memcpy(folder, ".", 2);
    } else {
        std::memcpy(folder, temp_path, length);
        folder[length] = '\0';
    }
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    if (fsync(fd) != 0 && errno != EINVAL)
        fail_file(errno);
    close(fd);
}

void output_file_commit() {
    if (replacement.direct)
        return;
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    int fd = replacement.fd;
    // fchown clears the set-user-ID and set-group-ID bits: the mode comes after.
    if (replacement.existed)
        keep_owner(fd);
    mode_t mode = replacement.existed ? replacement.old.st_mode & 07777 : replacement.new_mode;
    if (fchmod(fd, mode) != 0 || fsync(fd) != 0 || close(fd) != 0)
        fail_file(errno);
    // A signal that came meanwhile ends the run before FILE changes.
    sigset_t pending;
    sigpending(&pending);
    for (int signal_number : ending_signals) {
        if (sigismember(&handled, signal_number) && sigismember(&pending, signal_number))
            sigprocmask(SIG_SETMASK, &previous, nullptr);
    }
    if (rename(temp_path, replacement.target) != 0)
        fail_file(errno);
    temp_exists = 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    std::free(replacement.target);
    replacement.target = nullptr;
    sync_folder();
}
