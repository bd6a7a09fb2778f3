// package_writer.h - the pieces that creation and repack write alike.
//
// Both writers put a package down strictly front to back: a placeholder header,
// the entries' stored bytes, the table, the trailer, the count and the version,
// then the header again with the final length. A failure in the middle is raised
// as a RaisedStatus and caught by the one handler of the operation, which removes
// what was half written.
#ifndef QUILLO_PACKAGE_WRITER_H_
#define QUILLO_PACKAGE_WRITER_H_

#include <cstdint>

#include "archive.h"
#include "host/host.h"

struct RaisedStatus {
  PckStatus status;
};

[[noreturn]] inline void Raise(PckStatus status) { throw RaisedStatus{status}; }

// Writes to a package stream and keeps its position. No write may take the
// package past kPckMaxPackageSize: file positions in the format are signed 32-bit.
class PackageWriter {
 public:
  explicit PackageWriter(host::File* file) : file_(file) {}

  int64_t position() const { return position_; }

  // Writes all of `data` or raises kFileOperationError.
  void Write(const void* data, size_t size);

  // Writes the placeholder header; returns false when it was not written whole.
  [[nodiscard]] bool WritePlaceholderHeader();

  // Writes one table record per entry (each compressed at `level`, behind its two
  // masked length words), then the trailer, the entry count and the version, and
  // hands the buffered bytes to the system. The table starts at the current
  // position. Raises on any failure, also for a name without a code page 936 form.
  // The records are compressed ahead on the library's worker threads; they are
  // written, and progress reported, in list order on the calling thread.
  void WriteTableAndTail(const EntryList& entries, int32_t level, ProgressCallback progress);

  // Rewrites the header with the final length. The outcome is not reported.
  void RewriteHeader();

 private:
  host::File* file_;
  int64_t position_ = 0;
};

// True when a relative name can be stored: at most 255 UTF-16 units and every
// character has a code page 936 form.
bool IsStorableName(std::u16string_view name);

#endif  // QUILLO_PACKAGE_WRITER_H_
