// fuzz_extract.cpp - the extract command's writing path on arbitrary packages.
//
// The input is a package. It is written as "game.pck" into an emptied scratch folder
// (also the working directory, for "log.txt"), opened, and every entry written with
// ExtractAll below the root "box/out/", verbose and logging, once with one thread
// and once with two. After each run the whole scratch folder is walked:
//   - nothing but "game.pck", "log.txt", "box" and what lies below the root exists;
//   - every file below the root holds exactly the bytes ReadEntry gives for the last
//     entry in table order that leads to that path, padded with zeros to its
//     dataSize; an entry whose name the command refuses (empty, absolute, a drive
//     letter, a ".." component) never counts;
//   - the result is that of the last entry's read.
// The two runs must leave the same files and the same log, byte for byte. A third
// run then extracts again over the tree the second one left, so that every file it
// writes replaces one that is there (whole, through a file beside it); it too must
// leave the same files and log, and no temporary file.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "archive.h"
#include "commands.h"
#include "fuzz_scratch.h"
#include "host/host.h"
#include "names.h"
#include "options.h"
#include "work_queue.h"

namespace {

namespace fs = std::filesystem;
using fuzzscratch::Check;
using fuzzscratch::DecodedBytes;

// Inputs whose entries could decode to more than this many bytes in all are
// skipped: every one of them may become a file on a RAM file system.
constexpr uint64_t kDecodedBudget = uint64_t{16} << 20;

// Names that lead out of the output root on every host, and so must never be
// written: empty, absolute, an ASCII drive letter, or a ".." component.
bool AlwaysRefused(std::u16string_view name) {
  if (name.empty() || name[0] == u'\\') return true;
  if (name.size() >= 2 && name[1] == u':' &&
      ((name[0] >= u'A' && name[0] <= u'Z') || (name[0] >= u'a' && name[0] <= u'z'))) {
    return true;
  }
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find(u'\\', start);
    if (end == std::u16string_view::npos) end = name.size();
    if (name.substr(start, end - start) == u"..") return true;
    start = end + 1;
  }
  return false;
}

// Refused today, although no host needs it on every system: another character
// before a ':'. Either way of treating it is accepted.
bool MaybeRefused(std::u16string_view name) { return name.size() >= 2 && name[1] == u':'; }

// The path an entry's file lands on, in the form the folder walk reports.
std::string TargetOf(const fs::path& root, std::u16string_view name) {
  std::u16string relative(name);
  for (char16_t& c : relative) {
    if (c == u'\\') c = host::kPathSeparator;
  }
  return (root / fs::path(host::Utf16ToUtf8(relative))).lexically_normal().string();
}

// The bytes of an entry as the command writes them, or false when its read fails.
bool PaddedBytes(PckArchive& archive, const PckEntry& entry, std::string* out) {
  ByteBuffer buffer;
  if (archive.ReadEntry(entry, &buffer) != PckStatus::kSuccess) return false;
  buffer.resize(entry.dataSize);
  out->assign(buffer.begin(), buffer.end());
  return true;
}

using Tree = std::map<std::string, std::string>;

// Walks the scratch folder, checks that nothing lies outside the output root, and
// returns every file below the root with its bytes.
Tree WalkAndCheckConfinement(const fs::path& folder, const fs::path& root) {
  Tree files;
  const std::string rootText = root.lexically_normal().string();  // ends in '/'
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path path = it->path().lexically_normal();
    const std::string text = path.string();
    if (path == folder / "game.pck" || path == folder / "log.txt") {
      Check(it->is_regular_file() && !it->is_symlink());
      continue;
    }
    if (path == folder / "box" || path == (folder / "box" / "out")) {
      Check(it->is_directory() && !it->is_symlink());
      continue;
    }
    // Everything else lies below the root and is a plain file or folder.
    Check(text.size() > rootText.size() && text.compare(0, rootText.size(), rootText) == 0);
    Check(!it->is_symlink());
    if (it->is_directory()) continue;
    Check(it->is_regular_file());
    files[text] = fuzzscratch::ReadBytes(path);
  }
  return files;
}

void CheckFiles(const Tree& files, const fs::path& root, PckArchive& archive,
                const EntryList& entries) {
  // The entries that lead to each path, in table order.
  std::map<std::string, std::vector<size_t>> byTarget;
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::u16string_view name = EntryNameView(entries[i].name);
    if (AlwaysRefused(name)) continue;
    byTarget[TargetOf(root, name)].push_back(i);
  }
  for (const auto& [path, bytes] : files) {
    const auto found = byTarget.find(path);
    Check(found != byTarget.end());
    // The last entry that reads wins; with a name that may or may not be refused,
    // also the last one before it that is written for sure.
    std::string want;
    bool matched = false;
    bool sureSeen = false;
    for (auto it = found->second.rbegin(); it != found->second.rend() && !matched && !sureSeen;
         ++it) {
      const PckEntry& entry = entries[*it];
      if (!PaddedBytes(archive, entry, &want)) continue;
      matched = want == bytes;
      sureSeen = !MaybeRefused(EntryNameView(entry.name));
    }
    Check(matched);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path& folder = fuzzscratch::Folder("extract");
  const fs::path root = folder / "box" / "out" / "";
  fuzzscratch::Empty(folder);
  const fuzzscratch::WorkingDirectory inFolder(folder);
  fuzzscratch::WriteBytes(folder / "game.pck", data, size);

  PckArchive reference;
  if (reference.Open(host::Utf8ToUtf16((folder / "game.pck").string())) != PckStatus::kSuccess) {
    return 0;
  }
  const EntryList& entries = reference.entries();
  if (DecodedBytes(entries, size) > kDecodedBudget) return 0;
  PckStatus last = PckStatus::kSuccess;
  if (!entries.empty()) {
    ByteBuffer buffer;
    last = reference.ReadEntry(entries.back(), &buffer);
  }

  Tree first;
  std::string firstLog;
  for (const unsigned run : {1u, 2u, 3u}) {
    const unsigned threads = run == 1 ? 1 : 2;
    if (run != 3) {
      fs::remove_all(folder / "box");
      fs::create_directory(folder / "box");
    }
    fs::remove(folder / "log.txt");
    SetPckThreadCount(threads);
    toolOptions = ToolOptions{};
    toolOptions.mode = kModeExtract | kVerboseFlag;
    toolOptions.logEntries = 1;

    PckArchive archive;
    Check(archive.Open(host::Utf8ToUtf16((folder / "game.pck").string())) == PckStatus::kSuccess);
    const int result = ExtractAll(archive, host::Utf8ToUtf16(root.string()));
    Check(result == static_cast<int>(last));

    const Tree files = WalkAndCheckConfinement(folder, root);
    CheckFiles(files, root, reference, entries);
    std::error_code ec;
    const std::string log =
        fs::exists(folder / "log.txt", ec) ? fuzzscratch::ReadBytes(folder / "log.txt") : "";
    if (run == 1) {
      first = files;
      firstLog = log;
    } else {
      Check(files == first && log == firstLog);
    }
  }
  toolOptions = ToolOptions{};
  return 0;
}
