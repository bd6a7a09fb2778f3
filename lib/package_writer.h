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
#include <string>
#include <string_view>

#include "archive.h"
#include "host/host.h"

// A failure on its way to the operation's handler: the status, and for the user
// the path or entry name it concerns and what went wrong (both may be empty).
struct RaisedStatus {
  PckStatus status;
  std::u16string subject = {};
  std::u16string reason = {};
};

[[noreturn]] inline void Raise(PckStatus status) { throw RaisedStatus{status}; }
[[noreturn]] inline void Raise(PckStatus status, std::u16string subject, std::u16string reason) {
  throw RaisedStatus{status, std::move(subject), std::move(reason)};
}

// Writes to a package stream and keeps its position. No write may take the
// package past kPckMaxPackageSize: file positions in the format are signed 32-bit.
class PackageWriter {
 public:
  // `subject` names the package in the failures raised (the path the user gave).
  explicit PackageWriter(host::File* file, std::u16string subject = {})
      : file_(file), subject_(std::move(subject)) {}

  int64_t position() const { return position_; }

  // Writes all of `data` or raises kFileOperationError with the system's reason.
  void Write(const void* data, size_t size);

  // Writes the placeholder header; returns false when it was not written whole.
  [[nodiscard]] bool WritePlaceholderHeader();

  // Writes one table record per entry (each compressed at `level`, behind its two
  // masked length words), then the trailer, the entry count and the version, and
  // hands the buffered bytes to the system. The table starts at the current
  // position. Raises on any failure, also for a name without a code page 936 form
  // and for memory that runs out while a record is compressed.
  // The records are compressed ahead on the library's worker threads; they are
  // written, and progress reported, in list order on the calling thread.
  void WriteTableAndTail(const EntryList& entries, int32_t level, ProgressCallback progress);

  // Rewrites the header with the final length. False when the seek or the write
  // fails (a buffered write may fail only when the file is flushed).
  bool RewriteHeader();

 private:
  host::File* file_;
  std::u16string subject_;
  int64_t position_ = 0;
};

// Why a relative entry name cannot be stored, in words; empty when it can. A name
// is stored whole only when every character has a code page 936 form and that form
// fits the 256-byte name field, and it reads back as itself only when it has at
// most 255 UTF-16 units: anything else would be cut, and two names could become one.
std::u16string NameStorageProblem(std::u16string_view name);

// True when NameStorageProblem finds nothing.
inline bool IsStorableName(std::u16string_view name) { return NameStorageProblem(name).empty(); }

// The reason given for memory that runs out.
inline constexpr std::u16string_view kNoMemoryReason = u"not enough memory";

#endif  // QUILLO_PACKAGE_WRITER_H_
