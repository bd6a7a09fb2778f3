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
#include <vector>

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
  const std::u16string& subject() const { return subject_; }

  // Writes all of `data` or raises kFileOperationError with the system's reason.
  void Write(const void* data, size_t size);

  // Appends `size` bytes of `from`, read at `position`, without passing them
  // through memory where the host can (File::CopyFrom), or raises as Write does.
  void Copy(host::File* from, int64_t position, uint64_t size);

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

// One entry of a package being laid out, in the order of the data area and the
// table: new data read from a file and encoded, or the stored bytes of an entry of
// another package (the one an edit replaces), carried over unchanged.
struct PlannedEntry {
  const std::u16string* source = nullptr;  // new data: the file, as its path was given
  std::u16string name;                     // new data: the entry name, '\' between levels
  const PckEntry* carried = nullptr;       // carried: the entry as the other package has it
};

// How a package is laid out.
struct Layout {
  int32_t level = -1;  // for the new data and the table records
  // The package carried entries come from, and its length: stored bytes beyond it
  // cannot be carried.
  host::File* from = nullptr;
  int64_t fromSize = 0;
  // A source file that is this file (the package being replaced) is passed over:
  // it gets no entry, and the progress counts it all the same.
  const host::FileId* skip = nullptr;
  ProgressCallback progress = nullptr;
  const char16_t* label = u"compress data";  // of the progress of the data area
};

// What a layout wrote: stored bytes carried over, and bytes of new data encoded.
struct LayoutTotals {
  uint64_t copied = 0;
  uint64_t encoded = 0;
};

// Writes a whole package through `writer`: the placeholder header, the data area
// of `plan` in order, the table, the trailer, the count and the version, then the
// header with the final length. Appends each entry written (with its offset in the
// new package) to `entries`, from which the table is written. New data is read on
// the calling thread, whole, and encoded with CompressOrKeep at the level on the
// library's worker threads; the stored bytes of carried entries are copied in runs
// of neighbours that lie back to back in the other package, one copy each. The
// progress is called once per planned entry (with `label`) and once per record.
// Raises on any failure: a source that cannot be opened or read whole or is larger
// than 4 GiB - 1, a block that cannot be encoded, memory that runs out, stored
// bytes beyond the end of their package, a write, the package growing past
// 2^31 - 1 bytes. Create and the edit share it, so the two lay out a package alike.
void LayOutPackage(PackageWriter& writer, const std::vector<PlannedEntry>& plan,
                   const Layout& layout, EntryList* entries, LayoutTotals* totals);

// The entry name of a file below `baseDirectory` (whose length is `baseLength`): its
// path with the base cut off and host separators turned into '\'. When the name
// cannot be stored whole, *problem says why (else it is emptied).
std::u16string EntryNameOfFile(const std::u16string& path, size_t baseLength,
                               std::u16string* problem);

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
