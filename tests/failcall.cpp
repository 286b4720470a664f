// Test-only interposer, loaded with LD_PRELOAD: FAILCALL=NAME:N makes the
// Nth call of NAME (reallocarray, strdup, read, write, poll, openat, fsync,
// syncfs, renameat, unlinkat, fsetxattr or mkdir) from the program fail with the
// error that call gives when the system refuses it (ENOMEM for memory and
// poll, EIO for the rest). Only the calls of openat that create a file count.
// Every other call goes through to the C library, so the program's own code
// path meets the failure exactly as it would in production.
// FAILCALL_SIGNAL=NAME:N:SIG raises signal number SIG inside the Nth call of
// NAME, before the call itself goes on (or fails, when FAILCALL names it
// too): a signal that arrives at exactly that point of the run.
// FAILCALL_WRITE_MAX=N makes every write take at most N bytes, as a pipe or
// a socket may take only part of what it is given.
// It defines the calls it replaces, which the C library's checked inline
// versions of them (in hardened builds) would clash with.
#undef _FORTIFY_SOURCE
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

struct Target {
    const char *name;
    long fail_at;
    long calls;
};

Target target = {nullptr, 0, 0};
Target signal_target = {nullptr, 0, 0};
int signal_number = 0;

// NAME:N, with what follows N in rest. The names live in static buffers.
Target parse_target(const char *setting, char *name, size_t size, const char **rest) {
    const char *colon = setting == nullptr ? nullptr : std::strchr(setting, ':');
    if (colon == nullptr || static_cast<size_t>(colon - setting) >= size)
        return {nullptr, 0, 0};
    size_t length = static_cast<size_t>(colon - setting);
    std::memcpy(name, setting, length);
    name[length] = '\0';
    char *end = nullptr;
    long n = std::strtol(colon + 1, &end, 10);
    if (rest != nullptr)
        *rest = end;
    return {name, n, 0};
}

// Read before main, as unlink is called from a signal handler, where getenv
// has no place.
__attribute__((constructor)) void load_targets() {
    static char name[32], signal_name[32];
    target = parse_target(std::getenv("FAILCALL"), name, sizeof name, nullptr);
    const char *rest = nullptr;
    signal_target =
        parse_target(std::getenv("FAILCALL_SIGNAL"), signal_name, sizeof signal_name, &rest);
    if (signal_target.name != nullptr && rest != nullptr && *rest == ':')
        signal_number = std::atoi(rest + 1);
    else
        signal_target = {nullptr, 0, 0};
}

bool is_call(Target *counted, const char *name) {
    if (counted->name == nullptr || std::strcmp(counted->name, name) != 0)
        return false;
    return ++counted->calls == counted->fail_at;
}

// Counts a call of name: raises the signal if this call is the one, and
// answers whether this one is to fail.
bool should_fail(const char *name) {
    if (is_call(&signal_target, name))
        raise(signal_number);
    return is_call(&target, name);
}

// What one write takes of size bytes.
size_t write_limit(size_t size) {
    static const long limit = [] {
        const char *setting = std::getenv("FAILCALL_WRITE_MAX");
        return setting == nullptr ? 0 : std::atol(setting);
    }();
    return limit > 0 && size > static_cast<size_t>(limit) ? static_cast<size_t>(limit) : size;
}

template <typename F> F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" void *reallocarray(void *ptr, size_t count, size_t size) noexcept {
    if (should_fail("reallocarray")) {
        errno = ENOMEM;
        return nullptr;
    }
    using Fn = void *(*)(void *, size_t, size_t);
    static Fn real = next<Fn>("reallocarray");
    return real(ptr, count, size);
}

extern "C" char *strdup(const char *text) noexcept {
    if (should_fail("strdup")) {
        errno = ENOMEM;
        return nullptr;
    }
    using Fn = char *(*)(const char *);
    static Fn real = next<Fn>("strdup");
    return real(text);
}

extern "C" ssize_t read(int fd, void *data, size_t size) {
    if (should_fail("read")) {
        errno = EIO;
        return -1;
    }
    using Fn = ssize_t (*)(int, void *, size_t);
    static Fn real = next<Fn>("read");
    return real(fd, data, size);
}

extern "C" ssize_t write(int fd, const void *data, size_t size) {
    size = write_limit(size);
    if (should_fail("write")) {
        errno = EIO;
        return -1;
    }
    using Fn = ssize_t (*)(int, const void *, size_t);
    static Fn real = next<Fn>("write");
    return real(fd, data, size);
}

extern "C" int poll(struct pollfd *entries, nfds_t count, int timeout) {
    if (should_fail("poll")) {
        errno = ENOMEM;
        return -1;
    }
    using Fn = int (*)(struct pollfd *, nfds_t, int);
    static Fn real = next<Fn>("poll");
    return real(entries, count, timeout);
}

extern "C" int openat(int folder, const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, unsigned));
        va_end(arguments);
        if (should_fail("openat")) {
            errno = EIO;
            return -1;
        }
    }
    using Fn = int (*)(int, const char *, int, ...);
    static Fn real = next<Fn>("openat");
    return real(folder, path, flags, mode);
}

extern "C" int fsync(int fd) {
    if (should_fail("fsync")) {
        errno = EIO;
        return -1;
    }
    using Fn = int (*)(int);
    static Fn real = next<Fn>("fsync");
    return real(fd);
}

extern "C" int renameat(int from_folder, const char *from, int to_folder, const char *to) noexcept {
    if (should_fail("renameat")) {
        errno = EIO;
        return -1;
    }
    using Fn = int (*)(int, const char *, int, const char *);
    static Fn real = next<Fn>("renameat");
    return real(from_folder, from, to_folder, to);
}

extern "C" int syncfs(int fd) {
    if (should_fail("syncfs")) {
        errno = EIO;
        return -1;
    }
    using Fn = int (*)(int);
    static Fn real = next<Fn>("syncfs");
    return real(fd);
}

extern "C" int unlinkat(int folder, const char *path, int flags) noexcept {
    if (should_fail("unlinkat")) {
        errno = EIO;
        return -1;
    }
    using Fn = int (*)(int, const char *, int);
    static Fn real = next<Fn>("unlinkat");
    return real(folder, path, flags);
}

extern "C" int fsetxattr(int fd, const char *name, const void *value, size_t size,
                         int flags) noexcept {
    if (should_fail("fsetxattr")) {
        errno = EIO;
        return -1;
    }
    using Fn = int (*)(int, const char *, const void *, size_t, int);
    static Fn real = next<Fn>("fsetxattr");
    return real(fd, name, value, size, flags);
}

extern "C" int mkdir(const char *path, mode_t mode) noexcept {
    if (should_fail("mkdir")) {
        errno = EIO;
        return -1;
    }
    using Fn = int (*)(const char *, mode_t);
    static Fn real = next<Fn>("mkdir");
    return real(path, mode);
}
