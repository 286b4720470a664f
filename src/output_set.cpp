// The outputs of a folder of templates: a temporary file beside each, the
// folders made for them, the signals that would leave either behind, and
// the commit that renames every temporary file into place at once.
#include "output_set.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io.hpp"
#include "output_access.hpp"
#include "output_file.hpp"
#include "output_target.hpp"

struct Pending {
    const char *path; // the output as the run names it, for messages
    OutputTarget target;
    Access access;
    size_t folder; // the held folder it is in
    int fd;
    volatile sig_atomic_t temp_exists;
    char temp[TEMP_NAME_SIZE];
};

// Each folder that holds outputs, opened once however many it holds.
struct HeldFolder {
    int fd;
    bool syncable;
    int file_system_fd; // for one that cannot be synced: a file on its file system
    dev_t device;
    ino_t inode;
    size_t first; // the first output in it, to name it in messages
};

// Read by the signal handler, which may not allocate: every entry is whole
// before the count that covers it grows, and the arrays move only while
// the signals are held off.
static Pending *pending = nullptr;
static volatile size_t pending_count = 0;
static size_t pending_room = 0;
static HeldFolder *held = nullptr;
static size_t held_count = 0;
static char **made = nullptr;
static volatile size_t made_count = 0;
static size_t made_room = 0;
static sigset_t handled;
static size_t writing = 0; // the output being written, for a failed write's message

// At exit and in the signal handler: nothing here may allocate.
static void remove_all() {
    for (size_t i = 0; i < pending_count; i++) {
        if (pending[i].temp_exists)
            unlinkat(pending[i].target.folder_fd, pending[i].temp, 0);
        pending[i].temp_exists = 0;
    }
    // Deepest first: each was made after the folder that holds it.
    for (size_t i = made_count; i-- > 0;)
        rmdir(made[i]);
    made_count = 0;
}

extern "C" void remove_set_and_reraise(int signal_number) {
    remove_all();
    reraise(signal_number);
}

static void write_failed(int fd) {
    if (writing < pending_count && fd == pending[writing].fd)
        fail_output(pending[writing].path, "write", nullptr, nullptr, errno);
}

static void *allocated(size_t count, size_t size) {
    void *memory = std::calloc(count == 0 ? 1 : count, size);
    if (memory == nullptr)
        fail("calloc");
    return memory;
}

void output_set_start(size_t count, size_t folders) {
    // Each folder that holds outputs stays open to the end: a tree of many
    // folders may need more descriptors than the usual soft limit.
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    pending = static_cast<Pending *>(allocated(count, sizeof *pending));
    pending_room = count;
    held = static_cast<HeldFolder *>(allocated(count, sizeof *held));
    made_room = folders + 8;
    made = static_cast<char **>(allocated(made_room, sizeof *made));
    std::atexit(remove_all);
    handle_ending_signals(remove_set_and_reraise, &handled);
    on_write_failure = write_failed;
}

// Makes one folder, held off from the signals so that none finds it made
// and unrecorded. EEXIST: it is there already.
static bool make_one(const char *path, mode_t mode) {
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    if (made_count == made_room) {
        size_t room = made_room * 2;
        char **more = static_cast<char **>(std::realloc(made, room * sizeof *made));
        if (more == nullptr)
            fail("realloc");
        made = more;
        made_room = room;
    }
    bool good = mkdir(path, mode) == 0;
    int error = errno;
    if (good) {
        made[made_count] = strdup(path);
        if (made[made_count] == nullptr) {
            rmdir(path);
            fail("strdup");
        }
        made_count = made_count + 1;
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return good || error == EEXIST;
}

void output_set_make_folder(const char *path, mode_t mode) {
    // The folders that hold it first, as mkdir -p makes them.
    size_t length = std::strlen(path);
    char *prefix = static_cast<char *>(allocated(length + 1, 1));
    for (size_t at = 1; at <= length; at++) {
        if (at < length && (path[at] != '/' || path[at - 1] == '/'))
            continue;
        std::memcpy(prefix, path, at);
        prefix[at] = '\0';
        struct stat status;
        if (at < length && stat(prefix, &status) == 0 && S_ISDIR(status.st_mode))
            continue;
        if (!make_one(prefix, at < length ? 0777 : mode))
            fail_output(path, "cannot make the folder ", prefix, nullptr, errno);
        if (stat(prefix, &status) != 0)
            fail_output(path, "cannot make the folder ", prefix, nullptr, errno);
        if (!S_ISDIR(status.st_mode))
            fail_output(path, "cannot make the folder: ", prefix, " is not a folder");
    }
    std::free(prefix);
}

// The held folder that the target's folder is, the target's own descriptor
// held from now on where it is a new one.
static size_t hold_folder(OutputTarget *target, size_t index) {
    struct stat status;
    if (fstat(target->folder_fd, &status) != 0)
        fail_output(pending[index].path, nullptr, nullptr, nullptr, errno);
    for (size_t k = 0; k < held_count; k++) {
        if (held[k].device == status.st_dev && held[k].inode == status.st_ino) {
            close(target->folder_fd);
            target->folder_fd = held[k].fd;
            return k;
        }
    }
    held[held_count] = {target->folder_fd, target->syncable, -1,
                        status.st_dev,     status.st_ino,    index};
    return held_count++;
}

void output_set_add(const char *path, mode_t mode) {
    size_t index = pending_count;
    Pending *p = &pending[index];
    p->path = path;
    p->fd = -1;
    p->target = output_target(path);
    OutputTarget *target = &p->target;
    // A descriptor, a device or a FIFO would take the text at once, whatever
    // the other templates give.
    if (target->fd >= 0)
        fail_output(path, "is not a regular file: the outputs of a folder are replaced whole");
    p->folder = hold_folder(target, index);
    const char *base = target->path + target->folder;
    bool known;
    if (target->existed) {
        known = existing_access(target->folder_fd, base, target->path, target->old.st_mode & 07777,
                                &p->access);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        char *folder = folder_name(target->path, target->folder);
        known = new_access(target->folder_fd, folder, mask, mode & 0777, &p->access);
        std::free(folder);
    }
    if (!known)
        fail_output(path,
                    target->existed ? "its ACL could not be read"
                                    : "its folder's default ACL could not be read",
                    nullptr, nullptr, errno);
    temp_name_for(base, p->temp);
    pending_count = index + 1;
}

// Outputs in one folder under one name, by (folder, name).
static int by_place(const void *a, const void *b) {
    const Pending *x = &pending[*static_cast<const size_t *>(a)];
    const Pending *y = &pending[*static_cast<const size_t *>(b)];
    if (x->folder != y->folder)
        return x->folder < y->folder ? -1 : 1;
    return std::strcmp(x->target.path + x->target.folder, y->target.path + y->target.folder);
}

void output_set_check_distinct() {
    // Links in the output folder can lead two outputs to one file: the
    // second rename would throw the first one's text away.
    size_t *order = static_cast<size_t *>(allocated(pending_count, sizeof *order));
    for (size_t i = 0; i < pending_count; i++)
        order[i] = i;
    std::qsort(order, pending_count, sizeof *order, by_place);
    for (size_t i = 1; i < pending_count; i++) {
        if (by_place(&order[i - 1], &order[i]) == 0) {
            size_t first = order[i - 1] < order[i] ? order[i - 1] : order[i];
            size_t second = order[i - 1] < order[i] ? order[i] : order[i - 1];
            fail_output(pending[second].path, "is the same file as ", pending[first].path,
                        ", the output of another template: one output each");
        }
    }
    std::free(order);
}

int output_set_open(size_t i) {
    Pending *p = &pending[i];
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    int fd = temp_file_make(p->target.folder_fd, p->temp);
    int error = errno;
    if (fd >= 0)
        p->temp_exists = 1;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) {
        char *folder = folder_name(p->target.path, p->target.folder);
        fail_output(p->path, "cannot create a file in ", folder, nullptr, error);
    }
    p->fd = above_standard(fd);
    if (p->fd < 0)
        fail_output(p->path, nullptr, nullptr, nullptr, errno);
    struct stat made_here;
    if (fstat(p->fd, &made_here) != 0)
        fail_output(p->path, nullptr, nullptr, nullptr, errno);
    if (p->target.existed && replaces_mount_point(&p->target, p->fd, &made_here))
        fail_output(p->path, "is a mount point: write to it with > instead");
    writing = i;
    return p->fd;
}

void output_set_close(size_t i) {
    Pending *p = &pending[i];
    // fchown clears the set-user-ID and set-group-ID bits: the mode comes after.
    if (p->target.existed)
        keep_owner(p->fd, &p->target.old);
    const char *what = nullptr;
    if (!give_access(p->fd, &p->access, &what))
        fail_output(p->path,
                    std::strcmp(what, "mode") == 0
                        ? "not replaced: the new file's mode could not be set"
                        : "not replaced: the new file's ACL could not be set",
                    nullptr, nullptr, errno);
    std::free(p->access.acl);
    p->access.acl = nullptr;
    if (fsync(p->fd) != 0)
        fail_output(p->path, "not replaced: the new file could not be synced", nullptr, nullptr,
                    errno);
    // A folder that cannot be read (mode 0733, say) cannot be synced by
    // itself: the file system that holds it is synced instead, through one
    // of its new files.
    HeldFolder *folder = &held[p->folder];
    if (!folder->syncable && folder->file_system_fd < 0)
        folder->file_system_fd = fcntl(p->fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    int fd = p->fd;
    p->fd = -1;
    writing = pending_count;
    if (close(fd) != 0)
        fail_output(p->path, "not replaced: the new file could not be written", nullptr, nullptr,
                    errno);
}

// Syncs the folders that hold the folders the run made: a new folder is
// on the disk once its name is.
static void sync_made() {
    for (size_t i = 0; i < made_count; i++) {
        const char *slash = std::strrchr(made[i], '/');
        size_t folder = slash == nullptr ? 0 : static_cast<size_t>(slash - made[i]) + 1;
        char *parent = folder_name(made[i], folder);
        int fd = open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
        std::free(parent);
    }
}

void output_set_commit() {
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    // A signal that came meanwhile ends the run before any output changes.
    end_if_signalled(&handled, &previous);
    for (size_t i = 0; i < pending_count; i++) {
        Pending *p = &pending[i];
        const char *base = p->target.path + p->target.folder;
        if (renameat(p->target.folder_fd, p->temp, p->target.folder_fd, base) != 0)
            fail_output(p->path,
                        i == 0 ? "not replaced, nor any other output"
                               : "not replaced, nor the outputs after it; those before it were",
                        nullptr, nullptr, errno);
        p->temp_exists = 0;
    }
    // The renames cannot be taken back: a failure from here on is reported
    // with every output new. A file system that cannot sync folders says
    // EINVAL.
    for (size_t k = 0; k < held_count; k++) {
        HeldFolder *folder = &held[k];
        int synced = folder->syncable              ? fsync(folder->fd)
                     : folder->file_system_fd >= 0 ? syncfs(folder->file_system_fd)
                                                   : -1;
        if (synced != 0 && !(folder->syncable && errno == EINVAL))
            fail_output(pending[folder->first].path,
                        "replaced, but its folder could not be synced (run sync)", nullptr, nullptr,
                        errno);
    }
    sync_made();
    // They hold the new outputs now.
    for (size_t i = 0; i < made_count; i++)
        std::free(made[i]);
    made_count = 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    output_set_abandon();
}

void output_set_abandon() {
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &handled, &previous);
    size_t made_before = made_count;
    remove_all();
    for (size_t i = 0; i < made_before; i++)
        std::free(made[i]);
    std::free(made);
    made = nullptr;
    for (size_t k = 0; k < held_count; k++) {
        close(held[k].fd);
        if (held[k].file_system_fd >= 0)
            close(held[k].file_system_fd);
    }
    for (size_t i = 0; i < pending_count; i++) {
        std::free(pending[i].target.path);
        std::free(pending[i].access.acl);
    }
    std::free(pending);
    std::free(held);
    pending = nullptr;
    pending_count = 0;
    held = nullptr;
    held_count = 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}
