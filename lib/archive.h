// archive.h - PckArchive: opening, reading, creating and repacking one package.
#ifndef QUILLO_ARCHIVE_H_
#define QUILLO_ARCHIVE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec.h"
#include "format.h"
#include "status.h"

namespace host {
class File;
}

// One entry in memory. `name` is the relative path in UTF-16 with '\' between
// levels, terminated by a zero unit, every unit after it zero (at most 255
// characters). The numbers are those of the entry's table record.
struct PckEntry {
  char16_t name[kPckNameUnits] = {};
  uint32_t reserved1 = 0;
  uint32_t offset = 0;
  uint32_t dataSize = 0;
  uint32_t storedSize = 0;
  uint32_t reserved2 = 0;
};

using EntryList = std::vector<PckEntry>;

// Full paths of source files, in the order their data and records are written.
using FileList = std::vector<std::u16string>;

// Called after each item written: (item number from 1, total, label). The result
// is ignored.
using ProgressCallback = int (*)(int32_t done, int32_t total, const char16_t* label);

class PckArchive {
 public:
  PckArchive();
  ~PckArchive();  // runs Close
  PckArchive(const PckArchive&) = delete;
  PckArchive& operator=(const PckArchive&) = delete;

  // Closes whatever is open, then opens the package at `path` and decodes its whole
  // entry table. Returns kSuccess, kFileOpenError (cannot open), kNotSupported
  // (magic or version), kGuardByteError (trailer guards, record lengths that
  // disagree, or a table that lies beyond the file) or kZlibError (a record that
  // does not decode to a 276-byte record, or whose body lies beyond the file). After
  // a failure the entries decoded before the failing record are kept, but callers
  // must treat the object as closed.
  [[nodiscard]] PckStatus Open(const std::u16string& path);

  // Appends a copy of every entry, in table order, to `list`. Always kSuccess.
  [[nodiscard]] PckStatus CopyEntries(EntryList* list) const;

  // Reads and decodes one entry into `buffer` (sized to its dataSize first).
  // kFileOpenError when no package is open (buffer untouched); kZlibError when the
  // stored bytes cannot be decoded, lie beyond the end of the package, or cannot
  // possibly inflate to dataSize. A stream that ends early leaves `buffer` shorter.
  [[nodiscard]] PckStatus ReadEntry(const PckEntry& entry, ByteBuffer* buffer);

  // Closes the package stream and empties the entries; the path is kept.
  void Close();

  // Writes a new package at `packagePath` from `files` (each beginning with
  // `baseDirectory`, whose length is cut off to form the entry names), compressing
  // at `level`, then reopens it. Must be called with no package open. Returns
  // kSuccess, kFileOpenError (package cannot be created; nothing written),
  // kFileOperationError or kZlibError. A failure while writing removes the partial
  // package; a failure to write the first header or to open a source file returns
  // at once and leaves the partial package open on disk.
  [[nodiscard]] PckStatus Create(const std::u16string& baseDirectory, int32_t level,
                                 const std::u16string& packagePath, const FileList& files,
                                 ProgressCallback progress);

  // Rewrites the open package through "tmp.pck" in the working directory, at
  // `level` (-1 copies every entry's stored bytes; 0..9 decodes and encodes them
  // again, except that an entry whose new bytes would not read back as it reads now,
  // such as a stream that ends early stored plain, keeps its stored bytes), keeps the
  // old package as "<path>.old", moves the new one to the path
  // and reopens it. Returns kSuccess, kFileOpenError, kFileOperationError or
  // kZlibError; a failure never changes the package and removes "tmp.pck".
  [[nodiscard]] PckStatus Repack(int32_t level, ProgressCallback progress);

  bool IsOpen() const { return file_ != nullptr; }
  const std::u16string& path() const { return path_; }
  const EntryList& entries() const { return entries_; }

 private:
  // Reads `size` bytes at `position` into `data`, zero-filling whatever the file
  // does not hold. Returns the number of bytes really read.
  size_t ReadAt(int64_t position, uint8_t* data, size_t size);

  std::unique_ptr<host::File> file_;
  std::u16string path_;
  EntryList entries_;
  int64_t fileSize_ = 0;   // length of the open package
  int64_t position_ = -1;  // the stream's position when known, else -1
  ByteBuffer stored_;      // stored bytes of the entry being read, reused
};

#endif  // QUILLO_ARCHIVE_H_
