// file_search.cpp - the recursive file search of the create command.
#include "file_search.h"

#include <algorithm>
#include <vector>

#include "ntfs_order.h"

namespace {

struct Search {
  host::Host& host;
  FileList* files;
  const host::FileId* exclude;
  SearchOrder order;
  std::vector<host::FileId> open;  // the directories on the current path
  SearchError error;
};

// A path as the user knows it: without the separator the search appends.
std::u16string Shown(const std::u16string& path) {
  if (path.size() > 1 && path.back() == host::kPathSeparator) {
    return path.substr(0, path.size() - 1);
  }
  return path;
}

bool Stop(Search& search, const std::u16string& path, std::u16string reason) {
  search.error.path = Shown(path);
  search.error.reason = std::move(reason);
  return false;
}

bool Collect(Search& search, const std::u16string& directory, bool root) {
  host::FileId id;
  const bool known = search.host.GetFileId(directory, &id);
  if (known) {
    // A link back to a directory on the current path would be searched forever.
    if (std::find(search.open.begin(), search.open.end(), id) != search.open.end()) {
      return Stop(search, directory, u"a link to a folder that contains it (a loop)");
    }
    search.open.push_back(id);
  }
  std::vector<host::DirItem> items;
  if (!search.host.ListDirectory(directory, &items)) {
    search.error.root = root;
    return Stop(search, directory, host::LastErrorText());
  }
  if (search.order == SearchOrder::kNtfs) {
    std::sort(items.begin(), items.end(), [](const host::DirItem& a, const host::DirItem& b) {
      return PckNtfsNameLess(a.name, b.name);
    });
  }
  for (const host::DirItem& item : items) {
    std::u16string path = directory + item.name;
    if (!item.problem.empty()) return Stop(search, path, item.problem);
    if (item.isDirectory) {
      if (item.name == u"." || item.name == u"..") continue;
      path += host::kPathSeparator;
      if (!Collect(search, path, false)) return false;
      continue;
    }
    if (item.isOther) return Stop(search, path, u"not a regular file");
    host::FileId fileId;
    // The listing's index tells most files apart from the package without asking.
    if (search.exclude && (item.index == 0 || item.index == search.exclude->index) &&
        search.host.GetFileId(path, &fileId) && fileId == *search.exclude) {
      continue;
    }
    search.files->push_back(std::move(path));
  }
  if (known) search.open.pop_back();
  return true;
}

}  // namespace

bool CollectFiles(const std::u16string& directory, FileList* files, const host::FileId* exclude,
                  SearchError* error, SearchOrder order) {
  Search search{host::Host::Current(), files, exclude, order, {}, {}};
  if (Collect(search, directory, true)) return true;
  if (error) *error = std::move(search.error);
  return false;
}
