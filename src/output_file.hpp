// -o FILE: the filtered text goes to a temporary file beside FILE, which takes
// FILE's place only once the whole run has succeeded. Every other way out (an
// error, a report, a signal that ends the run) removes it and leaves FILE as
// it was; only a failed sync of the folder after the rename ends the run with
// FILE already new. A FILE that names a descriptor, a device or a FIFO is
// written in place instead, and a failed run may leave part of its output there.
#pragma once

#include <csignal>
#include <cstddef>
#include <sys/stat.h>

#include "output_target.hpp"

// Prepares FILE's replacement and returns the descriptor to write it through.
// A FILE that cannot or may not be replaced is reported ("fillvars: FILE: why")
// and ends the run, before any input is read. A FILE that names a descriptor
// of the run (/dev/stdout) is written through it, and one that exists and is
// not a regular file (a device, a FIFO) is written in place: neither is
// replaced.
int output_file_open(const char *path);

// The run has succeeded: the written text, synced to the disk and given FILE's
// mode and ACL (and owner, where the process may set it), is renamed over
// FILE in the folder held since output_file_open, and that folder is synced.
// A failure before the rename is reported and ends the run with FILE
// untouched. Ending signals wait meanwhile: one that came before the rename
// ends the run with FILE untouched, one after it only once the folder is
// synced.
void output_file_commit();

// The pieces that the outputs of a folder of templates (output_set) share
// with FILE's.

// Room for a temporary file's name: one name in a folder, and its NUL.
constexpr size_t TEMP_NAME_SIZE = 256;

// Handles the signals that would end the run and leave temporary files
// behind with handler, all of them held off while it runs; one that the run
// was started with ignored stays ignored. handled gets the set handled.
void handle_ending_signals(void (*handler)(int), sigset_t *handled);

// A handler's last step: the signal's own default action.
void reraise(int signal_number);

// With handled held off since previous was the mask: lets a signal that came
// meanwhile end the run now, through its handler.
void end_if_signalled(const sigset_t *handled, const sigset_t *previous);

// The temporary name for the file base, hidden, that tells which file it
// was to replace: ".base.fillvars-XXXXXX", base cut to fit TEMP_NAME_SIZE.
void temp_name_for(const char *base, char *name);

// Makes the temporary file name (from temp_name_for, its X's replaced by
// random letters that no file there has yet) in the folder held by folder_fd,
// readable by the runner alone; -1 with errno set.
int temp_file_make(int folder_fd, char *name);

// Whether target's file is a mount point of its own, which a rename of the
// temporary file (open at temporary, made its stat) cannot replace.
bool replaces_mount_point(const OutputTarget *target, int temporary, const struct stat *made);

// Gives fd the owner and group of old, as far as the process may.
void keep_owner(int fd, const struct stat *old);
