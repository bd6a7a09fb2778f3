// fuzz_scratch.h - the scratch folder of the harnesses that write packages and files.
//
// One folder per process, on a RAM file system where the machine has one (/dev/shm),
// emptied before each input and removed when the process exits normally. Every
// failure to set it up aborts: a harness that cannot trust its folder checks nothing.
#ifndef QUILLO_FUZZ_FUZZ_SCRATCH_H_
#define QUILLO_FUZZ_FUZZ_SCRATCH_H_

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

#include "archive.h"
#include "codec.h"

namespace fuzzscratch {

namespace fs = std::filesystem;

// The bytes the readable entries of a package could decode to, in all: inputs
// above a budget are skipped, since every entry may become a file in RAM.
inline uint64_t DecodedBytes(const EntryList& entries, size_t packageSize) {
  uint64_t total = 0;
  for (const PckEntry& entry : entries) {
    if (uint64_t{entry.offset} + entry.storedSize > packageSize) continue;
    if (!StoredSizeCanHold(entry.storedSize, entry.dataSize)) continue;
    total += entry.dataSize;
  }
  return total;
}

inline void Check(bool condition) {
  if (!condition) abort();
}

// The scratch folder of this process, created on first use.
inline const fs::path& Folder(const std::string& harness) {
  static const fs::path folder = [&] {
    std::error_code ec;
    fs::path base = "/dev/shm";
    if (!fs::is_directory(base, ec)) base = fs::temp_directory_path();
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
      const fs::path candidate =
          base / ("quillo-" + harness + "-" + std::to_string(random()) + std::to_string(random()));
      if (fs::create_directory(candidate, ec)) {
        static const fs::path removed = candidate;
        std::atexit([] {
          std::error_code ignored;
          fs::remove_all(removed, ignored);
        });
        return candidate;
      }
    }
    abort();
  }();
  return folder;
}

// Makes a folder the working directory while it lives, then goes back: libFuzzer
// writes its corpus and artifacts to paths relative to where it started.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& folder) : previous_(fs::current_path()) {
    fs::current_path(folder);
  }
  ~WorkingDirectory() { fs::current_path(previous_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path previous_;
};

// Removes everything inside `folder`, keeping the folder itself.
inline void Empty(const fs::path& folder) {
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    fs::remove_all(it->path(), ec);
    Check(!ec);
  }
  Check(!ec);
}

inline void WriteBytes(const fs::path& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  Check(static_cast<bool>(out));
}

inline std::string ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  Check(static_cast<bool>(in));
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace fuzzscratch

#endif  // QUILLO_FUZZ_FUZZ_SCRATCH_H_
