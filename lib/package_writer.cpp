// package_writer.cpp - table, trailer and header writing shared by creation and repack.
#include "package_writer.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

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
