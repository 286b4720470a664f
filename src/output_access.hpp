// The access that -o gives FILE's replacement: FILE's own mode and access
// ACL, or for a new FILE what the shell's > would give it.
#pragma once

#include <cstddef>
#include <sys/types.h>

struct Access {
    mode_t mode;        // the permission bits, with set-user-ID, set-group-ID and sticky
    unsigned char *acl; // the access ACL as the system stores it, or null for none
    size_t acl_size;
};

// FILE's own: mode (from its stat), and the ACL of the file named base in the
// folder held by folder, which is path (read by its name only where neither
// the file nor /proc can be opened). False with errno set where the ACL
// cannot be read; a file system without ACLs has none.
bool existing_access(int folder, const char *base, const char *path, mode_t mode, Access *access);

// What open(2) gives a file created with mode (0666 for the shell's >) in the
// folder held by folder (named folder_path): its default ACL, masked by mode,
// or without one mode less umask. False with errno set where the default ACL
// cannot be read.
bool new_access(int folder, const char *folder_path, mode_t umask, mode_t mode, Access *access);

// Gives the open file fd the access: any ACL it got from its folder goes,
// then the mode, then the ACL. False with errno set, and in *what the part
// that failed ("mode" or "ACL").
bool give_access(int fd, const Access *access, const char **what);
