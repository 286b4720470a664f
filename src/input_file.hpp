// -i FILE: the template read from a file in place of standard input.
#pragma once

// The descriptor to read the template from: standard input for null or "-",
// otherwise FILE opened for reading. A FILE that cannot be opened, or that is
// a folder, is reported ("fillvars: FILE: why") and ends the run with status
// 1; called before anything is written and before -o makes its file, it
// leaves -o's FILE as it was. A later read that fails names FILE too.
int input_file_open(const char *path);
