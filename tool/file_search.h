// file_search.h - the recursive search that lists every file below a directory.
#ifndef QUILLO_TOOL_FILE_SEARCH_H_
#define QUILLO_TOOL_FILE_SEARCH_H_

#include <string>

#include "archive.h"
#include "host/host.h"

// Why the search stopped: the item it could not take (its path, without a
// trailing separator) and the reason in words. `root` is set when the directory
// searched itself cannot be listed (it does not exist, is no directory, or is not
// readable).
struct SearchError {
  std::u16string path;
  std::u16string reason;
  bool root = false;
};

// The order in which the search takes the items of each directory.
enum class SearchOrder {
  kHost,  // as the host lists them, unsorted (the original's order)
  kNtfs,  // as NTFS lists them (PckNtfsNameLess), files and folders interleaved: the
          // same on every host and file system
};

// Appends the full path of every file below `directory` (which ends in the host
// separator) to `files`: depth first, the items of each directory in `order`, a
// folder's files taken where the folder itself comes. "." and ".." are skipped; links to
// directories are followed. A file whose identity is `exclude` (the package being written) is left
// out.
//
// The search takes every file or none: it stops at the first item it cannot take
// and returns false, with that item in *error when `error` is given. Such items
// are a directory that cannot be listed, a link that leads nowhere or round in a
// loop, a link to a directory that contains it (it would be searched forever), an
// item that is neither a regular file nor a directory (a pipe, a socket, a
// device) and a path longer than the host allows. Returns true when every file
// was collected.
bool CollectFiles(const std::u16string& directory, FileList* files,
                  const host::FileId* exclude = nullptr, SearchError* error = nullptr,
                  SearchOrder order = SearchOrder::kHost);

#endif  // QUILLO_TOOL_FILE_SEARCH_H_
