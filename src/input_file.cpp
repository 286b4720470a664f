// Opening -i FILE, and the messages that name it when it cannot be read.
#include "input_file.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io.hpp"
#include "output_target.hpp"

static const char *given; // FILE as given, for messages
static int input_fd = -1;

// "fillvars: FILE: ERROR", after the filter's pending reports, and status 1.
[[noreturn]] static void fail_input(int error) {
    if (before_output != nullptr)
        before_output();
    const char *text = std::strerror(error);
    MessagePart parts[] = {
        {given, std::strlen(given), true}, {": ", 2, false}, {text, std::strlen(text), false}};
    write_message(parts, sizeof parts / sizeof *parts);
    std::exit(1);
}

static void read_failed(int fd) {
    if (fd == input_fd)
        fail_input(errno);
}

int input_file_open(const char *path) {
    if (path == nullptr || std::strcmp(path, "-") == 0)
        return STDIN_FILENO;
    given = path;
    if (path[0] == '\0') {
        static const char message[] = "fillvars: -i: empty file name\n";
        write_waiting(STDERR_FILENO, message, sizeof message - 1);
        std::exit(1);
    }
    // Above 2: with standard output or error closed, the file would take its
    // place and be written to.
    input_fd = above_standard(open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC));
    if (input_fd < 0)
        fail_input(errno);
    // A folder opens, and fails only at the first read: said now, before -o
    // makes anything.
    struct stat status;
    if (fstat(input_fd, &status) != 0)
        fail_input(errno);
    if (S_ISDIR(status.st_mode))
        fail_input(EISDIR);
    on_read_failure = read_failed;
    return input_fd;
}
