// package_writer.cpp - table, trailer and header writing shared by creation and repack.
#include "package_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "host/host.h"
#include "names.h"
#include "work_queue.h"

void PackageWriter::Write(const void* data, size_t size) {
  if (static_cast<int64_t>(size) > kPckMaxPackageSize - position_) {
    Raise(PckStatus::kFileOperationError, subject_,
          u"the package would grow past 2147483647 bytes, the most the format can address");
  }
  if (size != 0 && file_->Write(data, size) != size) {
    Raise(PckStatus::kFileOperationError, subject_, host::LastErrorText());
  }
  position_ += static_cast<int64_t>(size);
}

void PackageWriter::Copy(host::File* from, int64_t position, uint64_t size) {
  if (size > static_cast<uint64_t>(kPckMaxPackageSize - position_)) {
    Raise(PckStatus::kFileOperationError, subject_,
          u"the package would grow past 2147483647 bytes, the most the format can address");
  }
  if (size != 0 && file_->CopyFrom(*from, position, size) != size) {
    Raise(PckStatus::kFileOperationError, subject_, host::LastErrorText());
  }
  position_ += static_cast<int64_t>(size);
}

bool PackageWriter::WritePlaceholderHeader() {
  // The length is not known yet; 0 marks a package whose writing did not finish.
  uint8_t bytes[kPckHeaderSize];
  PckHeader{}.Encode(bytes);
  const bool written = file_->Write(bytes, sizeof bytes) == sizeof bytes;
  position_ = sizeof bytes;
  return written;
}

namespace {

// With workers, table records are compressed in batches of this many.
constexpr size_t kRecordBatch = 256;

struct RecordItem {
  bool named = true;      // the name has a code page 936 form
  bool noMemory = false;  // the compression ran out of memory
  PckStatus status = PckStatus::kSuccess;
  uint8_t record[kPckRecordSize];
  ByteBuffer output;
};

struct RecordBatch {
  std::vector<RecordItem> items;
};

}  // namespace

void PackageWriter::WriteTableAndTail(const EntryList& entries, int32_t level,
                                      ProgressCallback progress) {
  PckTrailer trailer;
  trailer.tableOffset = static_cast<uint32_t>(position_) ^ kPckMaskA;
  const int32_t total = static_cast<int32_t>(entries.size());
  const unsigned threads = PckThreadCount();
  OrderedPipeline<RecordBatch> pipeline(threads, 2 * threads, threads, UINT64_MAX);
  const size_t batchSize = pipeline.threaded() ? kRecordBatch : 1;
  size_t next = 0;
  bool stopped = false;  // a name without a code page 936 form ends the table here
  int32_t j = 1;
  for (;;) {
    while (!stopped && next < entries.size() && pipeline.HasRoom(0)) {
      RecordBatch batch;
      batch.items.resize(std::min(batchSize, entries.size() - next));
      for (RecordItem& item : batch.items) {
        const PckEntry& entry = entries[next++];
        PckEntryRecord fields;
        item.named = EntryNameToRecord(entry.name, fields.name);
        fields.reserved1 = entry.reserved1;
        fields.offset = entry.offset;
        fields.dataSize = entry.dataSize;
        fields.storedSize = entry.storedSize;
        fields.reserved2 = entry.reserved2;
        fields.Encode(item.record);
        if (!item.named) {
          stopped = true;
          batch.items.resize(static_cast<size_t>(&item - batch.items.data()) + 1);
          break;
        }
      }
      pipeline.Push(std::move(batch), 0, [level](RecordBatch& work) {
        for (RecordItem& item : work.items) {
          if (!item.named) continue;
          // This may run on a worker thread, where nothing may be thrown.
          try {
            item.status = CompressBlock(level, item.record, kPckRecordSize, &item.output);
          } catch (const std::bad_alloc&) {
            item.noMemory = true;
            item.status = PckStatus::kFileOperationError;
          }
        }
      });
    }
    if (pipeline.empty()) break;
    size_t at = static_cast<size_t>(j - 1);  // the entry of the batch's first item
    for (const RecordItem& item : pipeline.Front().items) {
      const std::u16string name(EntryNameView(entries[at++].name));
      if (!item.named) {
        Raise(PckStatus::kFileOperationError, name, u"the name has no code page 936 form");
      }
      if (item.noMemory) Raise(item.status, name, std::u16string(kNoMemoryReason));
      if (IsError(item.status)) {
        Raise(item.status, name, u"its table record cannot be compressed (zlib error)");
      }
      const uint32_t s = static_cast<uint32_t>(item.output.size());
      uint8_t lengths[8];
      StoreLe32(lengths, s ^ kPckMaskA);
      StoreLe32(lengths + 4, s ^ kPckMaskB);
      Write(lengths, 4);
      Write(lengths + 4, 4);
      Write(item.output.data(), item.output.size());
      if (progress) progress(j, total, u"write file entry");
      ++j;
    }
    pipeline.Pop();
  }
  uint8_t trailerBytes[kPckTrailerSize];
  trailer.Encode(trailerBytes);
  Write(trailerBytes, sizeof trailerBytes);
  uint8_t tail[4];
  StoreLe32(tail, static_cast<uint32_t>(entries.size()));
  Write(tail, 4);
  StoreLe32(tail, kPckVersion);
  Write(tail, 4);
  // The stream is buffered: bytes that cannot be written show up here, and a
  // package must not be reported complete when they are lost.
  if (!file_->Flush()) Raise(PckStatus::kFileOperationError, subject_, host::LastErrorText());
}

bool PackageWriter::RewriteHeader() {
  PckHeader header;
  header.packageSize = static_cast<uint32_t>(position_);
  uint8_t bytes[kPckHeaderSize];
  header.Encode(bytes);
  return file_->Seek(0) && file_->Write(bytes, sizeof bytes) == sizeof bytes;
}

namespace {

std::u16string Decimal(size_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

std::u16string NameStorageProblem(std::u16string_view name) {
  std::string bytes;
  if (!IsAscii(name) && !host::Utf16ToCp936(name, &bytes)) {
    // Name the first character without a form (a pair of surrogates is one).
    size_t i = 0;
    size_t width = 1;
    for (; i < name.size(); i += width) {
      const bool pair = name[i] >= 0xD800 && name[i] <= 0xDBFF && i + 1 < name.size() &&
                        name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF;
      width = pair ? 2 : 1;
      std::string one;
      if (!host::Utf16ToCp936(name.substr(i, width), &one)) break;
    }
    uint32_t code = i < name.size() ? name[i] : 0xFFFD;
    if (width == 2) code = 0x10000 + ((code - 0xD800) << 10) + (name[i + 1] - 0xDC00);
    static const char kHex[] = "0123456789ABCDEF";
    std::u16string shown = u"U+";
    for (int shift = code > 0xFFFF ? 16 : 12; shift >= 0; shift -= 4) {
      shown.push_back(static_cast<char16_t>(kHex[(code >> shift) & 15]));
    }
    return u"the character " + shown +
           u" has no code page 936 form and cannot be stored in a package";
  }
  const size_t length = IsAscii(name) ? name.size() : bytes.size();
  if (length > kPckNameBytes) {
    return u"name too long for a package entry (" + Decimal(length) +
           u" bytes in code page 936, 256 at most)";
  }
  if (name.size() > kPckNameUnits - 1) {
    return u"name too long for a package entry (" + Decimal(name.size()) +
           u" characters, 255 at most)";
  }
  return {};
}

// --- The data area ------------------------------------------------------------------

namespace {

// Source files are read whole and their length goes into a 32-bit field.
constexpr int64_t kMaxSourceSize = int64_t{0xFFFFFFFF};

// With workers, small files travel through the pipeline in batches of about this
// many bytes (or this many files), so that handing work over costs little against
// the work itself; at most kDepth batches per worker are in flight, and beyond one
// batch per worker no more than kBudget bytes of source data.
constexpr uint64_t kBatchBytes = 256 << 10;
constexpr size_t kBatchFiles = 64;
constexpr size_t kDepth = 2;
constexpr uint64_t kBudget = uint64_t{64} << 20;

// Carried entries are copied in runs of at most this many bytes (a larger entry
// is a run of its own), so that the progress moves while a large package is copied.
constexpr uint64_t kRunBytes = uint64_t{64} << 20;

// One planned entry, or a run of carried ones, on its way into the package.
struct DataItem {
  enum class Kind {
    kData,     // a file read whole: compress it and write it
    kSelf,     // the package itself: passed over
    kFailed,   // cannot be opened or read whole: the layout fails here
    kCarried,  // a run of carried entries: copied at the front
  };
  Kind kind = Kind::kData;
  PckStatus status = PckStatus::kSuccess;
  size_t first = 0;       // the planned entry (the first of a carried run)
  size_t count = 1;       // planned entries in a carried run
  std::u16string reason;  // why it failed, for the user
  uint32_t size = 0;      // of the data
  bool plain = false;     // the data is stored as it is
  ByteBuffer data;
  ByteBuffer output;  // the zlib stream to store, unless plain
};

// Buffers of written entries, kept for the next ones: a buffer that is used again
// is neither faulted in nor zero-filled again. A few large ones and many small ones.
class SpareBuffers {
 public:
  ByteBuffer Take() {
    if (spare_.empty()) return ByteBuffer();
    ByteBuffer buffer = std::move(spare_.back());
    spare_.pop_back();
    bytes_ -= buffer.capacity();
    return buffer;
  }
  void Give(ByteBuffer&& buffer) {
    if (spare_.size() >= kMaxBuffers) return;
    if (spare_.size() >= 2 && bytes_ + buffer.capacity() > kMaxBytes) return;
    bytes_ += buffer.capacity();
    spare_.push_back(std::move(buffer));
  }

 private:
  static constexpr size_t kMaxBuffers = 256;
  static constexpr uint64_t kMaxBytes = uint64_t{16} << 20;
  std::vector<ByteBuffer> spare_;
  uint64_t bytes_ = 0;
};

struct DataBatch {
  std::vector<DataItem> items;
};

std::u16string Decimal64(uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

std::u16string EntryNameOfFile(const std::u16string& path, size_t baseLength,
                               std::u16string* problem) {
  const size_t below = baseLength < path.size() ? baseLength : path.size();
  std::u16string name = path.substr(below);
  problem->clear();
  if (host::kPathSeparator != u'\\' && name.find(u'\\') != std::u16string::npos) {
    // Here '\' is a character of the file's name, but in an entry name it
    // separates levels: "a\b.txt" would become the file b.txt in a folder a.
    *problem = u"'\\' in a file name cannot be stored in a package";
    return name;
  }
  for (char16_t& c : name) {
    if (c == host::kPathSeparator) c = u'\\';
  }
  *problem = NameStorageProblem(name);
  return name;
}

void LayOutPackage(PackageWriter& writer, const std::vector<PlannedEntry>& plan,
                   const Layout& layout, EntryList* entries, LayoutTotals* totals) {
  host::Host& h = host::Host::Current();
  const host::FileId* skip = layout.skip;
  SpareBuffers spare;

  // Reads one source (on this thread: every file operation stays here, in plan
  // order). Returns false when the item ends the data area.
  auto prepare = [&](const std::u16string& path, DataItem* item) {
    auto fail = [item](std::u16string reason) {
      item->kind = DataItem::Kind::kFailed;
      item->status = PckStatus::kFileOperationError;
      item->reason = std::move(reason);
      return false;
    };
    std::unique_ptr<host::File> source = h.OpenFile(path, host::OpenMode::kRead);
    host::FileId sourceId;
    if (!source) {
      std::u16string reason = host::LastErrorText();
      // The package itself is passed over even where it cannot be read.
      if (skip && h.GetFileId(path, &sourceId) && sourceId == *skip) {
        item->kind = DataItem::Kind::kSelf;
        return true;
      }
      // Only regular files are opened; the system has no word for the others.
      std::u16string found;
      host::PathKind sourceKind;
      if (host::InspectPath(path, &found, &sourceKind) && sourceKind == host::PathKind::kOther) {
        reason = u"not a regular file";
      }
      return fail(std::move(reason));
    }
    // The host usually learnt the length and the identity while opening.
    int64_t length = -1;
    bool sourceKnown = source->Describe(&length, &sourceId);
    if (!sourceKnown) {
      sourceKnown = skip && h.GetFileId(path, &sourceId);
      length = source->SeekToEnd() ? source->Tell() : -1;
      if (!source->Seek(0)) length = -1;
    }
    if (skip && sourceKnown && sourceId == *skip) {
      item->kind = DataItem::Kind::kSelf;
      return true;
    }
    if (length < 0) return fail(u"the length of the file cannot be told");
    if (length > kMaxSourceSize) {
      return fail(u"file too large for a package entry (4294967295 bytes at most)");
    }
    try {
      item->data = spare.Take();
      item->output = spare.Take();
      ResizeForOverwrite(&item->data, static_cast<size_t>(length));
    } catch (const std::bad_alloc&) {
      item->data = ByteBuffer();
      return fail(std::u16string(kNoMemoryReason));
    }
    // A file that shrank or cannot be read after it was opened would be stored
    // with zeros in place of its bytes.
    const size_t got = source->Read(item->data.data(), item->data.size());
    if (got != item->data.size()) {
      return fail(u"the file could not be read whole (" + Decimal64(got) + u" of " +
                  Decimal64(item->data.size()) + u" bytes)");
    }
    item->size = static_cast<uint32_t>(length);
    return true;
  };

  // The run of carried entries that starts at plan[next]: neighbours whose stored
  // bytes follow each other in the other package. Returns false when the first one's
  // bytes lie beyond the end of that package.
  auto carriedRun = [&](size_t next, DataItem* item) {
    item->kind = DataItem::Kind::kCarried;
    item->first = next;
    item->count = 0;
    const PckEntry* first = plan[next].carried;
    uint64_t end = first->offset;
    for (size_t k = next; k < plan.size() && plan[k].carried; ++k) {
      const PckEntry& entry = *plan[k].carried;
      if (static_cast<int64_t>(entry.offset) + entry.storedSize > layout.fromSize) {
        if (item->count != 0) break;
        item->kind = DataItem::Kind::kFailed;
        item->status = PckStatus::kFileOperationError;
        item->reason = u"its stored bytes lie beyond the end of the package";
        item->count = 1;
        return false;
      }
      if (item->count != 0 &&
          (entry.offset != end || end + entry.storedSize - first->offset > kRunBytes)) {
        break;
      }
      end = uint64_t{entry.offset} + entry.storedSize;
      ++item->count;
    }
    return true;
  };

  if (!writer.WritePlaceholderHeader()) {
    Raise(PckStatus::kFileOperationError, writer.subject(), host::LastErrorText());
  }
  const unsigned threads = PckThreadCount();
  OrderedPipeline<DataBatch> pipeline(threads, kDepth * threads, threads, kBudget);
  const size_t batchFiles = pipeline.threaded() ? kBatchFiles : 1;
  const int32_t total = static_cast<int32_t>(plan.size());
  const int32_t level = layout.level;
  size_t next = 0;       // the next planned entry to read
  bool stopped = false;  // an item that ends the data area has been read
  int32_t i = 1;
  for (;;) {
    while (!stopped && next < plan.size() && pipeline.HasRoom(0)) {
      DataBatch batch;
      uint64_t bytes = 0;
      while (!stopped && next < plan.size() && batch.items.size() < batchFiles &&
             bytes < kBatchBytes) {
        DataItem& item = batch.items.emplace_back();
        if (plan[next].carried) {
          stopped = !carriedRun(next, &item);
          next += item.count;
          continue;
        }
        item.first = next;
        stopped = !prepare(*plan[next++].source, &item);
        bytes += item.data.size();
      }
      pipeline.Push(std::move(batch), bytes, [level](DataBatch& work) {
        for (DataItem& item : work.items) {
          if (item.kind != DataItem::Kind::kData) continue;
          // This may run on a worker thread, where nothing may be thrown.
          try {
            item.status =
                CompressOrKeep(level, item.data.data(), static_cast<uint32_t>(item.data.size()),
                               &item.output, &item.plain);
            if (IsError(item.status)) item.reason = u"cannot be compressed (zlib error)";
          } catch (const std::bad_alloc&) {
            item.status = PckStatus::kFileOperationError;
            item.reason = kNoMemoryReason;
          }
        }
      });
    }
    if (pipeline.empty()) break;
    for (DataItem& item : pipeline.Front().items) {
      const PlannedEntry& planned = plan[item.first];
      if (IsError(item.status)) {
        Raise(item.status,
              planned.carried ? std::u16string(EntryNameView(planned.carried->name))
                              : *planned.source,
              std::move(item.reason));
      }
      if (item.kind == DataItem::Kind::kCarried) {
        const PckEntry& first = *planned.carried;
        const PckEntry& last = *plan[item.first + item.count - 1].carried;
        const uint64_t length = uint64_t{last.offset} + last.storedSize - first.offset;
        const int64_t at = writer.position();
        writer.Copy(layout.from, first.offset, length);
        totals->copied += length;
        for (size_t k = item.first; k < item.first + item.count; ++k) {
          PckEntry entry = *plan[k].carried;
          entry.offset = static_cast<uint32_t>(at + (entry.offset - first.offset));
          entries->push_back(entry);
          if (layout.progress) layout.progress(i, total, layout.label);
          ++i;
        }
        continue;
      }
      if (item.kind == DataItem::Kind::kData) {
        PckEntry entry;
        std::memcpy(entry.name, planned.name.data(), planned.name.size() * sizeof(char16_t));
        entry.offset = static_cast<uint32_t>(writer.position());
        entry.dataSize = item.size;
        const ByteBuffer& stored = item.plain ? item.data : item.output;
        entry.storedSize = static_cast<uint32_t>(stored.size());
        writer.Write(stored.data(), stored.size());
        totals->encoded += item.size;
        entries->push_back(entry);
      }
      if (layout.progress) layout.progress(i, total, layout.label);
      ++i;
      spare.Give(std::move(item.data));
      spare.Give(std::move(item.output));
    }
    pipeline.Pop();
  }
  writer.WriteTableAndTail(*entries, level, layout.progress);
  // A package whose header does not tell its length would not open.
  if (!writer.RewriteHeader()) {
    Raise(PckStatus::kFileOperationError, writer.subject(), host::LastErrorText());
  }
}
