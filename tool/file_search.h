// file_search.h - the recursive search that lists every file below a directory.
#ifndef QUILLO_TOOL_FILE_SEARCH_H_
#define QUILLO_TOOL_FILE_SEARCH_H_

#include "archive.h"

// Appends the full path of every file below `directory` (which ends in the host
// separator) to `files`, depth first in the host's enumeration order.
int CollectFiles(const std::u16string& directory, FileList* files);

#endif  // QUILLO_TOOL_FILE_SEARCH_H_
