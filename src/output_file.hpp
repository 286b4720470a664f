// -o FILE: the filtered text goes to a temporary file beside FILE, which takes
// FILE's place only once the whole run has succeeded. Every other way out (an
// error, a report, a signal that ends the run) removes it and leaves FILE as
// it was; only a failed sync of the folder after the rename ends the run with
// FILE already new. A FILE that names a descriptor, a device or a FIFO is
// written in place instead, and a failed run may leave part of its output there.
#pragma once

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
