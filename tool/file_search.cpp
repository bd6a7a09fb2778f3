// file_search.cpp - the recursive file search of the create command.
#include "file_search.h"

#include <algorithm>
#include <vector>

namespace {

struct Search {
  host::Host& host;
  FileList* files;
  const host::FileId* exclude;
  std::vector<host::FileId> open;  // the directories on the current path
};

void Collect(Search& search, const std::u16string& directory) {
  host::FileId id;
  const bool known = search.host.GetFileId(directory, &id);
  if (known) {
    // A link back to a directory on the current path would loop forever.
    if (std::find(search.open.begin(), search.open.end(), id) != search.open.end()) return;
    search.open.push_back(id);
  }
  std::vector<host::DirItem> items;
  if (search.host.ListDirectory(directory, &items)) {
    for (const host::DirItem& item : items) {
      std::u16string path = directory + item.name;
      if (item.isDirectory) {
        if (item.name == u"." || item.name == u"..") continue;
        path += host::kPathSeparator;
        Collect(search, path);
        continue;
      }
      host::FileId fileId;
      // The listing's index tells most files apart from the package without asking.
      if (search.exclude && (item.index == 0 || item.index == search.exclude->index) &&
          search.host.GetFileId(path, &fileId) && fileId == *search.exclude) {
        continue;
      }
      search.files->push_back(std::move(path));
    }
  }
  if (known) search.open.pop_back();
}

}  // namespace

int CollectFiles(const std::u16string& directory, FileList* files, const host::FileId* exclude) {
  Search search{host::Host::Current(), files, exclude, {}};
  Collect(search, directory);
  return 0;
}
