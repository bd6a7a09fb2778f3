// fuzz_package.cpp - opening arbitrary bytes as a package and reading every entry.
//
// The input is written to one temporary file per process, opened with PckArchive,
// and every entry listed and read, as the list and extract commands do.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive.h"
#include "host/host.h"

namespace {

void Check(bool condition) {
  if (!condition) abort();
}

const std::string& ScratchPath() {
  static const std::string path = [] {
    char pattern[] = "/tmp/quillo-fuzz-package-XXXXXX";
    int fd = mkstemp(pattern);
    Check(fd >= 0);
    close(fd);
    return std::string(pattern);
  }();
  return path;
}

void WriteScratch(const uint8_t* data, size_t size) {
  int fd = open(ScratchPath().c_str(), O_WRONLY | O_TRUNC);
  Check(fd >= 0);
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    Check(n > 0);
    done += static_cast<size_t>(n);
  }
  close(fd);
}

void ReadAll(PckArchive* archive) {
  EntryList entries;
  Check(archive->CopyEntries(&entries) == PckStatus::kSuccess);
  Check(entries.size() == archive->entries().size());
  for (const PckEntry& entry : entries) {
    Check(entry.name[kPckNameUnits - 1] == 0);
    ByteBuffer buffer;
    PckStatus status = archive->ReadEntry(entry, &buffer);
    Check(status == PckStatus::kSuccess || status == PckStatus::kZlibError);
    if (status == PckStatus::kSuccess && entry.dataSize != 0) {
      Check(buffer.size() <= entry.dataSize);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteScratch(data, size);
  const std::u16string path = host::Utf8ToUtf16(ScratchPath());
  PckArchive archive;
  PckStatus status = archive.Open(path);
  Check(static_cast<int32_t>(status) >= 0 && static_cast<int32_t>(status) <= 4);
  ReadAll(&archive);
  if (status == PckStatus::kSuccess) {
    // A second open of the same bytes gives the same entries.
    const size_t count = archive.entries().size();
    Check(archive.Open(path) == PckStatus::kSuccess);
    Check(archive.entries().size() == count);
  }
  archive.Close();
  ByteBuffer untouched = {7};
  PckEntry any;
  Check(archive.ReadEntry(any, &untouched) == PckStatus::kFileOpenError);
  Check(untouched == ByteBuffer({7}));
  return 0;
}
