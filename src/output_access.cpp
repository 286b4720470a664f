// FILE's access, read before the run and given to its replacement at the end:
// the mode and the POSIX access ACL, through descriptors, with no library.
#include "output_access.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

static const char ACCESS_ACL[] = "system.posix_acl_access";
static const char DEFAULT_ACL[] = "system.posix_acl_default";

// The stored form: a 4-byte version (2), then 8-byte entries of a 2-byte tag,
// 2-byte permissions and a 4-byte id, all little-endian.
enum : unsigned {
    ACL_VERSION = 2,
    USER_OBJ = 0x01,
    USER = 0x02,
    GROUP_OBJ = 0x04,
    GROUP = 0x08,
    MASK = 0x10,
    OTHER = 0x20,
};
static const size_t HEADER = 4, ENTRY = 8;

static unsigned read16(const unsigned char *at) {
    return at[0] | static_cast<unsigned>(at[1]) << 8;
}

static void write16(unsigned char *at, unsigned value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

// The attribute name of fd's file, into *value (std::free it), or null where
// it has none or its file system keeps none. A descriptor opened only as a
// place (O_PATH) is read through its name in /proc, or where /proc is not
// mounted, through path, the file's own.
static bool read_attribute(int fd, const char *path, const char *name, unsigned char **value,
                           size_t *size) {
    *value = nullptr;
    *size = 0;
    char proc_name[40];
    std::snprintf(proc_name, sizeof proc_name, "/proc/self/fd/%d", fd);
    const char *by_name = nullptr;
    // Again, should the value grow between asking its size and reading it.
    for (int tries = 0; tries < 4; tries++) {
        ssize_t wanted = by_name != nullptr ? getxattr(by_name, name, nullptr, 0)
                                            : fgetxattr(fd, name, nullptr, 0);
        if (wanted < 0 && errno == EBADF && by_name == nullptr) {
            by_name = proc_name;
            tries--;
            continue;
        }
        if (wanted < 0 && errno == ENOENT && by_name == proc_name) {
            by_name = path;
            tries--;
            continue;
        }
        if (wanted < 0)
            return errno == ENODATA || errno == ENOTSUP;
        unsigned char *buffer = static_cast<unsigned char *>(std::malloc(wanted > 0 ? wanted : 1));
        if (buffer == nullptr)
            return false;
        ssize_t got = by_name != nullptr
                          ? getxattr(by_name, name, buffer, static_cast<size_t>(wanted))
                          : fgetxattr(fd, name, buffer, static_cast<size_t>(wanted));
        if (got >= 0) {
            *value = buffer;
            *size = static_cast<size_t>(got);
            return true;
        }
        int error = errno;
        std::free(buffer);
        errno = error;
        if (error == ENODATA || error == ENOTSUP)
            return true;
        if (error != ERANGE)
            return false;
    }
    errno = ERANGE;
    return false;
}

static bool well_formed(const unsigned char *acl, size_t size) {
    return size >= HEADER && (size - HEADER) % ENTRY == 0 &&
           (acl[0] | acl[1] << 8 | acl[2] << 16 | static_cast<uint32_t>(acl[3]) << 24) ==
               ACL_VERSION;
}

bool existing_access(int folder, const char *base, const char *path, mode_t mode, Access *access) {
    access->mode = mode;
    // Read where FILE may be read; one that the runner may not read (their
    // own, mode 0200) is reached as a place.
    int fd = openat(folder, base, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        fd = openat(folder, base, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool read = read_attribute(fd, path, ACCESS_ACL, &access->acl, &access->acl_size);
    int error = errno;
    close(fd);
    errno = error;
    return read;
}

// The kernel's rule for a new file under a default ACL: the owner's and
// others' entries, and the mask (or, without one, the group's entry), lose
// what mode lacks, and mode keeps only what they allow. The named entries
// stay as they are, bounded by the mask. Returns the new mode.
static mode_t masked_by(unsigned char *acl, size_t size, mode_t mode) {
    unsigned char *group_class = nullptr;
    for (size_t at = HEADER; at < size; at += ENTRY) {
        unsigned char *entry = acl + at;
        unsigned perm = read16(entry + 2);
        switch (read16(entry)) {
        case USER_OBJ:
            perm &= (mode >> 6) & 7;
            write16(entry + 2, perm);
            mode &= (perm << 6) | ~static_cast<mode_t>(S_IRWXU);
            break;
        case GROUP_OBJ:
            if (group_class == nullptr)
                group_class = entry;
            break;
        case MASK:
            group_class = entry;
            break;
        case OTHER:
            perm &= mode & 7;
            write16(entry + 2, perm);
            mode &= perm | ~static_cast<mode_t>(S_IRWXO);
            break;
        default:
            break;
        }
    }
    if (group_class != nullptr) {
        unsigned perm = read16(group_class + 2) & ((mode >> 3) & 7);
        write16(group_class + 2, perm);
        mode &= (perm << 3) | ~static_cast<mode_t>(S_IRWXG);
    }
    return mode;
}

bool new_access(int folder, const char *folder_path, mode_t umask, mode_t mode, Access *access) {
    access->mode = mode & ~umask;
    unsigned char *acl = nullptr;
    size_t size = 0;
    if (!read_attribute(folder, folder_path, DEFAULT_ACL, &acl, &size))
        return false;
    access->acl = nullptr;
    access->acl_size = 0;
    if (acl == nullptr)
        return true;
    if (!well_formed(acl, size)) {
        std::free(acl);
        errno = EINVAL;
        return false;
    }
    access->mode = masked_by(acl, size, mode);
    // Three entries (owner, group, others) say no more than the mode: the
    // file then has no ACL of its own, as open(2) would make it.
    if (size == HEADER + 3 * ENTRY) {
        std::free(acl);
        return true;
    }
    access->acl = acl;
    access->acl_size = size;
    return true;
}

bool give_access(int fd, const Access *access, const char **what) {
    *what = "ACL";
    // A default ACL of the folder gave the new file an ACL of its own, which
    // the mode alone would not take away.
    if (access->acl == nullptr && fremovexattr(fd, ACCESS_ACL) != 0 && errno != ENODATA &&
        errno != ENOTSUP)
        return false;
    *what = "mode";
    if (fchmod(fd, access->mode) != 0)
        return false;
    *what = "ACL";
    return access->acl == nullptr ||
           fsetxattr(fd, ACCESS_ACL, access->acl, access->acl_size, 0) == 0;
}
