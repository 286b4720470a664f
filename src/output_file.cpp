// -o FILE's replacement: the temporary file beside FILE, the signals that
// would leave it behind, and the commit that renames it over FILE.
#include "output_file.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io.hpp"
#include "output_access.hpp"
#include "output_target.hpp"

// The signals whose default action ends the run and that come from outside
// it: a user, a timer, a limit on CPU time or on the size of the temporary
// file. Any of them would otherwise leave that file behind.
static const int ending_signals[] = {SIGHUP,  SIGINT,  SIGPIPE, SIGTERM, SIGXFSZ,
                                     SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU};

static const char *given; // FILE as given, for messages
static OutputTarget replacement = {};
static bool direct;         // FILE is written in place, not replaced
static Access given_access; // FILE's mode and ACL, or a new file's as the shell's ">" gives them

// The temporary file's name in FILE's folder, for the signal and exit
// handlers: a fixed buffer, as neither may allocate.
static char temp_name[TEMP_NAME_SIZE];
static volatile sig_atomic_t temp_exists = 0;
static sigset_t handled;

// A write to FILE that fails names FILE: a full disk says which one is full.
static void write_failed(int fd) {
    if (fd == replacement.fd)
        fail_output(given, "write", nullptr, nullptr, errno);
}

// At exit and in the signal handler, so nothing here may allocate.
static void remove_temp() {
    if (temp_exists)
        unlinkat(replacement.folder_fd, temp_name, 0);
    temp_exists = 0;
}

void reraise(int signal_number) {
    // The run ends as the signal would have ended it: the default action,
    // which takes place once the signal is let through.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    raise(signal_number);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
}

extern "C" void remove_and_reraise(int signal_number) {
    // Every handled signal is held off meanwhile (the handler's mask): a
    // second Ctrl-C would otherwise end the run before the file is gone.
    remove_temp();
    reraise(signal_number);
}

// Handlers for the ending signals, but not for one that the run was started
// with ignored (as nohup does): that one stays ignored.
void handle_ending_signals(void (*handler)(int), sigset_t *set) {
    sigemptyset(set);
    for (int signal_number : ending_signals) {
        struct sigaction previous = {};
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaddset(set, signal_number);
    }
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_mask = *set;
    for (int signal_number : ending_signals) {
        if (sigismember(set, signal_number) && sigaction(signal_number, &action, nullptr) != 0)
            sigdelset(set, signal_number);
    }
}

void end_if_signalled(const sigset_t *set, const sigset_t *previous) {
    sigset_t pending;
    sigpending(&pending);
    for (int signal_number : ending_signals) {
        if (sigismember(set, signal_number) && sigismember(&pending, signal_number))
            sigprocmask(SIG_SETMASK, previous, nullptr);
    }
}

// Whether FILE is a mount point of its own (a file bound into a container,
// from another file system or from the same one): its mount differs from the
// temporary file's. Only where the system cannot tell mounts apart does a
// different device say so, as an overlay gives a file of its lower layer
// that layer's device, though the rename replaces it as any other.
bool replaces_mount_point(const OutputTarget *target, int temporary, const struct stat *made) {
#ifdef STATX_MNT_ID
    struct statx file, made_here;
    if (statx(target->folder_fd, target->path + target->folder, AT_SYMLINK_NOFOLLOW, STATX_MNT_ID,
              &file) == 0 &&
        statx(temporary, "", AT_EMPTY_PATH, STATX_MNT_ID, &made_here) == 0 &&
        (file.stx_mask & made_here.stx_mask & STATX_MNT_ID) != 0)
        return file.stx_mnt_id != made_here.stx_mnt_id;
#else
    (void)temporary;
#endif
    return made->st_dev != target->old.st_dev;
}

// The temporary file's name: FILE's own, hidden, so that one left behind (by
// SIGKILL, say) tells which file it was to replace: ".app.conf.fillvars-"
// and six more characters, FILE's name cut short to keep within a name's
// 255 bytes. It is a name in the folder held open, however long the path.
void temp_name_for(const char *base, char *name) {
    static const char tail[] = ".fillvars-XXXXXX";
    size_t length = std::min(std::strlen(base), TEMP_NAME_SIZE - 1 - sizeof tail);
    name[0] = '.';
    std::memcpy(name + 1, base, length);
    std::memcpy(name + 1 + length, tail, sizeof tail);
}

// Makes the temporary file in the folder, readable by the runner alone,
// under six random letters or digits that no file there has yet.
int temp_file_make(int folder_fd, char *name) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    char *random_part = name + std::strlen(name) - 6;
    for (int tries = 0; tries < 1000; tries++) {
        unsigned char bytes[6];
        if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != sizeof bytes) {
            // Early in boot the pool may not be ready: the time and the
            // process still make a name that no other run picks at once.
            struct timespec now;
            clock_gettime(CLOCK_REALTIME, &now);
            uint64_t mixed = static_cast<uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15u ^
                             static_cast<uint64_t>(getpid()) << 32 ^ static_cast<uint64_t>(tries);
            for (unsigned char &byte : bytes) {
                byte = static_cast<unsigned char>(mixed);
                mixed >>= 8;
            }
        }
        for (int i = 0; i < 6; i++)
            random_part[i] = letters[bytes[i] % (sizeof letters - 1)];
        int fd = openat(folder_fd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

int output_file_open(const char *path) {
    given = path;
    replacement = output_target(path);
    on_write_failure = write_failed;
    if (replacement.fd >= 0) {
        direct = true;
        return replacement.fd;
    }
    temp_name_for(replacement.path + replacement.folder, temp_name);
    // The access the new file is to have, known before any input is read.
    bool known;
    if (replacement.existed) {
        known = existing_access(replacement.folder_fd, replacement.path + replacement.folder,
                                replacement.path, replacement.old.st_mode & 07777, &given_access);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        char *folder = folder_name(replacement.path, replacement.folder);
        known = new_access(replacement.folder_fd, folder, mask, 0666, &given_access);
        std::free(folder);
    }
    if (!known)
        fail_output(given,
                    replacement.existed ? "its ACL could not be read"
                                        : "its folder's default ACL could not be read",
                    nullptr, nullptr, errno);

    std::atexit(remove_temp);
    handle_ending_signals(remove_and_reraise, &handled);
    // Held off while the file is made, so that no signal finds it unrecorded.
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    int fd = temp_file_make(replacement.folder_fd, temp_name);
    int error = errno;
    if (fd >= 0)
        temp_exists = 1;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) {
        char *folder = folder_name(replacement.path, replacement.folder);
        fail_output(given, "cannot create a file in ", folder, nullptr, error);
    }
    replacement.fd = above_standard(fd);
    if (replacement.fd < 0)
        fail_output(given, nullptr, nullptr, nullptr, errno);
    // The rename over a mount point would fail once the input is read: it is
    // reported now.
    struct stat made;
    if (fstat(replacement.fd, &made) != 0)
        fail_output(given, nullptr, nullptr, nullptr, errno);
    if (replacement.existed && replaces_mount_point(&replacement, replacement.fd, &made))
        fail_output(given, "is a mount point: write to it with > instead");
    return replacement.fd;
}

// The old file's owner and group, as far as the process may give them.
void keep_owner(int fd, const struct stat *old) {
    struct stat now;
    if (fstat(fd, &now) != 0)
        return;
    if (now.st_uid == old->st_uid && now.st_gid == old->st_gid)
        return;
    if (fchown(fd, old->st_uid, old->st_gid) == 0)
        return;
    // A user who is not root may still give a group of their own; where not
    // even that is allowed, the file is the writer's, as one that the shell
    // made would be.
    int ignored = fchown(fd, static_cast<uid_t>(-1), old->st_gid);
    (void)ignored;
}

void output_file_commit() {
    if (direct)
        return;
    // Signals wait from here to the end: one that comes before the rename
    // still ends the run with FILE as it was (below); one that comes after it
    // ends the run only once the new name is on the disk too.
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    int fd = replacement.fd;
    // fchown clears the set-user-ID and set-group-ID bits: the mode comes after.
    if (replacement.existed)
        keep_owner(fd, &replacement.old);
    const char *what = nullptr;
    if (!give_access(fd, &given_access, &what))
        fail_output(given,
                    std::strcmp(what, "mode") == 0
                        ? "not replaced: the new file's mode could not be set"
                        : "not replaced: the new file's ACL could not be set",
                    nullptr, nullptr, errno);
    std::free(given_access.acl);
    given_access.acl = nullptr;
    if (fsync(fd) != 0)
        fail_output(given, "not replaced: the new file could not be synced", nullptr, nullptr,
                    errno);
    // A folder that cannot be read (mode 0733, say) cannot be synced by
    // itself: the file system that holds it is synced instead, through the
    // new file.
    int file_system_fd = replacement.syncable ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (close(fd) != 0)
        fail_output(given, "not replaced: the new file could not be written", nullptr, nullptr,
                    errno);
    // A signal that came meanwhile ends the run before FILE changes.
    end_if_signalled(&handled, &previous);
    const char *base = replacement.path + replacement.folder;
    if (renameat(replacement.folder_fd, temp_name, replacement.folder_fd, base) != 0)
        fail_output(given, "not replaced", nullptr, nullptr, errno);
    temp_exists = 0;
    // The rename cannot be taken back: a failure from here on is reported
    // with FILE already new. A file system that cannot sync folders says
    // EINVAL.
    int synced = replacement.syncable  ? fsync(replacement.folder_fd)
                 : file_system_fd >= 0 ? syncfs(file_system_fd)
                                       : -1;
    if (synced != 0 && !(replacement.syncable && errno == EINVAL))
        fail_output(given, "replaced, but its folder could not be synced (run sync)", nullptr,
                    nullptr, errno);
    if (file_system_fd >= 0)
        close(file_system_fd);
    std::free(replacement.path);
    replacement.path = nullptr;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}
