// The outputs of a folder of templates, replaced all together or not at all:
// each written to a temporary file beside it, renamed into place only once
// every one is whole. Every way out before the renames (an error, a report,
// a signal that ends the run) removes every temporary file and every folder
// the run made, and leaves each output as it was.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Room for count outputs and for folders new folders. Ending signals are
// handled from here on.
void output_set_start(size_t count, size_t folders);

// Makes the folder path with mode (less the umask), and the folders that
// hold it as mkdir -p would, unless they are there: a failed run removes
// them again. Ends the run with a message where one cannot be made.
void output_set_make_folder(const char *path, mode_t mode);

// Adds the output path, replaced as -o FILE replaces its file (its links
// followed, its mode, owner and ACL kept; checked before any input is read);
// a new one gets mode less the umask, or what its folder's default ACL gives.
// One that cannot or may not be replaced ends the run with a message.
void output_set_add(const char *path, mode_t mode);

// Ends the run with a message where two outputs are one file (a link in
// the output folder leads one to the other). Before any is opened.
void output_set_check_distinct();

// The descriptor to write output i through: a new temporary file.
int output_set_open(size_t i);

// Output i is written: its temporary file gets its access, is synced and
// closed.
void output_set_close(size_t i);

// Every output is written: the temporary files are renamed into place, one
// after another, and each folder is synced once. Ending signals wait
// meanwhile; one that came before the first rename ends the run with every
// output as it was.
void output_set_commit();

// Removes every temporary file and every folder made, and frees the set.
void output_set_abandon();
