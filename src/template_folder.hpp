// -i FOLDER: a folder of templates, each rendered to the same place under
// -o's folder, all the outputs replaced together or none.
#pragma once

#include "substitute.hpp"

// Whether -i's path names a folder (its links followed).
bool template_folder_given(const char *path);

// Renders every regular file under the folder input (those whose names end
// in suffix, when it is not null, written without it), in byte order of
// their paths, to the same path under the folder output, which is made as
// mkdir -p would make it. Without output (only under -r) the names are
// listed on standard output instead, each once across every template. What
// the run cannot do, or may not, is reported before anything is written; a
// report or a failure in any template leaves every output as it was. Returns
// the run's status.
int template_folder_run(const char *input, const char *output, const char *suffix, Rules rules);
