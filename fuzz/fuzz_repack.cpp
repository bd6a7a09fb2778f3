// fuzz_repack.cpp - repacking arbitrary packages and checking what is left on disk.
//
// Input layout: 1 byte level selector (level = byte % 11 - 1, so -1..9), 1 byte of
// flags (bit 0: 2 threads instead of 1; bit 1: the package lies in the folder "pkg"),
// the rest the package. The package is written as "game.pck" into an emptied scratch
// folder, or its folder "pkg", the scratch folder being the working directory (where
// "tmp.pck" goes), opened and repacked. Then:
//   success: the backup "game.pck.old" holds the input bytes, no "tmp.pck" is left,
//     the new package opens with the same entries in the same order (names, sizes
//     and reserved words), at -1 each entry's stored bytes are those of the input,
//     at 0..9 each entry reads back as it read from the input;
//   failure: "game.pck" holds the input bytes and nothing else is in either folder
//     ("tmp.pck" was this run's and is gone), and failure() says why.
// Progress must be the full sequence of both passes on success, a start of it on
// failure.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "archive.h"
#include "fuzz_scratch.h"
#include "host/host.h"
#include "names.h"
#include "work_queue.h"

namespace {

namespace fs = std::filesystem;
using fuzzscratch::Check;
using fuzzscratch::DecodedBytes;

// Inputs whose entries could decode to more than this many bytes in all are
// skipped: a repack at level 0 would write them all out, on a RAM file system.
constexpr uint64_t kDecodedBudget = uint64_t{16} << 20;

struct ProgressCall {
  int32_t done;
  int32_t total;
  std::u16string label;
  bool operator==(const ProgressCall&) const = default;
};

std::mutex g_progressMutex;
std::vector<ProgressCall> g_progress;

int RecordProgress(int32_t done, int32_t total, const char16_t* label) {
  std::lock_guard<std::mutex> lock(g_progressMutex);
  g_progress.push_back({done, total, label});
  return 0;
}

std::vector<ProgressCall> FullProgress(int32_t total) {
  std::vector<ProgressCall> out;
  for (int32_t i = 1; i <= total; ++i) out.push_back({i, total, u"repack data"});
  for (int32_t i = 1; i <= total; ++i) out.push_back({i, total, u"write file entry"});
  return out;
}

std::set<std::string> Listing(const fs::path& folder) {
  std::set<std::string> out;
  for (const auto& item : fs::directory_iterator(folder)) out.insert(item.path().filename());
  return out;
}

bool SameRecord(const PckEntry& a, const PckEntry& b) {
  return std::memcmp(a.name, b.name, sizeof a.name) == 0 && a.reserved1 == b.reserved1 &&
         a.dataSize == b.dataSize && a.reserved2 == b.reserved2;
}

bool SameEntry(const PckEntry& a, const PckEntry& b) {
  return SameRecord(a, b) && a.offset == b.offset && a.storedSize == b.storedSize;
}

// The scratch folder holds nothing but the package folder, which holds `names`.
void CheckListing(const fs::path& folder, bool inSub, const std::set<std::string>& names) {
  if (inSub) {
    Check(Listing(folder) == std::set<std::string>({"pkg"}));
    Check(Listing(folder / "pkg") == names);
  } else {
    Check(Listing(folder) == names);
  }
}

void CheckSuccess(int32_t level, bool inSub, const std::u16string& path, const std::string& input,
                  const EntryList& before, PckArchive& repacked) {
  const fs::path& folder = fuzzscratch::Folder("repack");
  const fs::path packageFolder = inSub ? folder / "pkg" : folder;
  CheckListing(folder, inSub, {"game.pck", "game.pck.old"});
  Check(fuzzscratch::ReadBytes(packageFolder / "game.pck.old") == input);
  const std::string output = fuzzscratch::ReadBytes(packageFolder / "game.pck");

  // The archive has opened the new package, and a fresh open sees the same.
  Check(repacked.IsOpen());
  PckArchive fresh;
  Check(fresh.Open(path) == PckStatus::kSuccess);
  const EntryList& after = fresh.entries();
  Check(after.size() == before.size());
  Check(repacked.entries().size() == after.size());
  for (size_t i = 0; i < after.size(); ++i) {
    Check(SameRecord(before[i], after[i]));
    Check(SameEntry(repacked.entries()[i], after[i]));
  }

  if (level == -1) {
    for (size_t i = 0; i < after.size(); ++i) {
      Check(after[i].storedSize == before[i].storedSize);
      Check(uint64_t{after[i].offset} + after[i].storedSize <= output.size());
      Check(output.compare(after[i].offset, after[i].storedSize, input, before[i].offset,
                           before[i].storedSize) == 0);
    }
    return;
  }
  PckArchive old;
  Check(old.Open(path + u".old") == PckStatus::kSuccess);
  Check(old.entries().size() == before.size());
  ByteBuffer was;
  ByteBuffer now;
  for (size_t i = 0; i < after.size(); ++i) {
    const PckStatus wasStatus = old.ReadEntry(before[i], &was);
    const PckStatus nowStatus = fresh.ReadEntry(after[i], &now);
    Check(wasStatus == nowStatus);
    if (wasStatus == PckStatus::kSuccess) Check(was == now);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int32_t level = data[0] % 11 - 1;
  const unsigned threads = (data[1] & 1) + 1;
  const bool inSub = (data[1] & 2) != 0;
  const std::u16string path =
      inSub ? std::u16string(u"pkg") + host::kPathSeparator + u"game.pck" : u"game.pck";
  const std::string input(reinterpret_cast<const char*>(data + 2), size - 2);

  const fs::path& folder = fuzzscratch::Folder("repack");
  fuzzscratch::Empty(folder);
  const fuzzscratch::WorkingDirectory inFolder(folder);
  const fs::path packageFolder = inSub ? folder / "pkg" : folder;
  if (inSub) fs::create_directory(packageFolder);
  fuzzscratch::WriteBytes(packageFolder / "game.pck", data + 2, size - 2);
  SetPckThreadCount(threads);

  PckArchive archive;
  if (archive.Open(path) != PckStatus::kSuccess) return 0;
  const EntryList before = archive.entries();
  if (DecodedBytes(before, input.size()) > kDecodedBudget) return 0;

  g_progress.clear();
  const PckStatus status = archive.Repack(level, RecordProgress);
  const std::vector<ProgressCall> full = FullProgress(static_cast<int32_t>(before.size()));
  if (status == PckStatus::kSuccess) {
    Check(g_progress == full);
    CheckSuccess(level, inSub, path, input, before, archive);
  } else {
    Check(status == PckStatus::kFileOpenError || status == PckStatus::kZlibError ||
          status == PckStatus::kFileOperationError);
    // Every failure says what it failed on.
    Check(!archive.failure().reason.empty());
    Check(g_progress.size() <= full.size() &&
          std::equal(g_progress.begin(), g_progress.end(), full.begin()));
    CheckListing(folder, inSub, {"game.pck"});
    Check(fuzzscratch::ReadBytes(packageFolder / "game.pck") == input);
  }
  return 0;
}
