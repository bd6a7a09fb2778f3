// file_search.h - the recursive search that lists every file below a directory.
#ifndef QUILLO_TOOL_FILE_SEARCH_H_
#define QUILLO_TOOL_FILE_SEARCH_H_

#include "archive.h"
#include "host/host.h"

// Appends the full path of every file below `directory` (which ends in the host
// separator) to `files`: depth first, each directory in the host's own order,
// unsorted. "." and ".." are skipped; links to directories are followed unless
// they lead back to a directory on the current path. A file whose identity is
// `exclude` (the package being written) is left out. A directory that cannot be
// read contributes nothing. Returns 0.
int CollectFiles(const std::u16string& directory, FileList* files,
                 const host::FileId* exclude = nullptr);

#endif  // QUILLO_TOOL_FILE_SEARCH_H_
