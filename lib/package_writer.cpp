// package_writer.cpp - table, trailer and header writing shared by creation and repack.
#include "package_writer.h"

#include <string>

#include "names.h"

void PackageWriter::Write(const void* data, size_t size) {
  if (static_cast<int64_t>(size) > kPckMaxPackageSize - position_) {
    Raise(PckStatus::kFileOperationError);
  }
  if (size != 0 && file_->Write(data, size) != size) Raise(PckStatus::kFileOperationError);
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

void PackageWriter::WriteTableAndTail(const EntryList& entries, int32_t level,
                                      ProgressCallback progress, ByteBuffer* output) {
  PckTrailer trailer;
  trailer.tableOffset = static_cast<uint32_t>(position_) ^ kPckMaskA;
  const int32_t total = static_cast<int32_t>(entries.size());
  int32_t j = 1;
  uint8_t record[kPckRecordSize];
  for (const PckEntry& entry : entries) {
    PckEntryRecord fields;
    if (!EntryNameToRecord(entry.name, fields.name)) Raise(PckStatus::kFileOperationError);
    fields.reserved1 = entry.reserved1;
    fields.offset = entry.offset;
    fields.dataSize = entry.dataSize;
    fields.storedSize = entry.storedSize;
    fields.reserved2 = entry.reserved2;
    fields.Encode(record);
    PckStatus status = CompressBlock(level, record, sizeof record, output);
    if (IsError(status)) Raise(status);
    const uint32_t s = static_cast<uint32_t>(output->size());
    uint8_t lengths[8];
    StoreLe32(lengths, s ^ kPckMaskA);
    StoreLe32(lengths + 4, s ^ kPckMaskB);
    Write(lengths, 4);
    Write(lengths + 4, 4);
    Write(output->data(), output->size());
    if (progress) progress(j, total, u"write file entry");
    ++j;
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
  if (!file_->Flush()) Raise(PckStatus::kFileOperationError);
}

void PackageWriter::RewriteHeader() {
  PckHeader header;
  header.packageSize = static_cast<uint32_t>(position_);
  uint8_t bytes[kPckHeaderSize];
  header.Encode(bytes);
  if (file_->Seek(0)) file_->Write(bytes, sizeof bytes);
}

bool IsStorableName(std::u16string_view name) {
  if (name.size() > kPckNameUnits - 1) return false;
  std::string bytes;
  return host::Utf16ToCp936(name, &bytes);
}
