// archive_read.cpp - opening a package and reading its entries.
#include <cstring>
#include <new>
#include <string>

#include "archive.h"
#include "host/host.h"
#include "names.h"

namespace {

// The longest record body a package can hold.
constexpr uint32_t kMaxRecordLength = 0x7FFFFFFF;

// The number of decoded records after which the list is given its full size.
constexpr size_t kReserveAfter = 1024;

constexpr char16_t kNoMemory[] = u"not enough memory";

// "record <n>" for the reasons that name a table record, counting from 1.
std::u16string RecordReason(uint32_t index, std::u16string_view what) {
  std::u16string out = u"damaged entry table (record ";
  const std::string number = std::to_string(uint64_t{index} + 1);
  out.append(number.begin(), number.end());
  out += u": ";
  out += what;
  out += u")";
  return out;
}

}  // namespace

PckArchive::PckArchive() = default;

PckArchive::~PckArchive() { Close(); }

void PckArchive::Close() {
  file_.reset();
  entries_.clear();
  fileSize_ = 0;
  position_ = -1;
}

size_t PckArchive::ReadAt(int64_t position, uint8_t* data, size_t size) {
  if (size == 0) return 0;  // `data` may be null then (an empty buffer's data())
  size_t got = 0;
  if (file_ && position >= 0 && position < fileSize_ &&
      (position_ == position || file_->Seek(position))) {
    got = file_->Read(data, size);
  }
  position_ = got == size ? position + static_cast<int64_t>(got) : -1;
  // Only what the file did not hold is zeroed: entry data is read in one piece.
  std::memset(data + got, 0, size - got);
  return got;
}

// A table too large for memory fails like any damaged one, with a status and a
// reason: no exception leaves Open.
PckStatus PckArchive::Open(const std::u16string& path) try {
  Close();
  failure_ = PckFailure{};
  file_ = host::Host::Current().OpenFile(path, host::OpenMode::kRead);
  if (!file_) return Fail(PckStatus::kFileOpenError, path, host::LastErrorText());
  if (!file_->SeekToEnd() || (fileSize_ = file_->Tell()) < 0) {
    fileSize_ = 0;
  }

  uint8_t headerBytes[kPckHeaderSize];
  ReadAt(0, headerBytes, sizeof headerBytes);
  const PckHeader header = PckHeader::Decode(headerBytes);
  if (header.magic1 != kPckMagic1 || header.magic2 != kPckMagic2) {
    return Fail(PckStatus::kNotSupported, path, u"not a package (wrong magic)");
  }

  uint8_t tail[8];
  ReadAt(fileSize_ - 8, tail, sizeof tail);
  const uint32_t entryCount = LoadLe32(tail);
  if (LoadLe32(tail + 4) != kPckVersion) {
    return Fail(PckStatus::kNotSupported, path, u"not a package (unknown version)");
  }

  uint8_t trailerBytes[kPckTrailerSize];
  ReadAt(fileSize_ - static_cast<int64_t>(kPckTailSize), trailerBytes, sizeof trailerBytes);
  const PckTrailer trailer = PckTrailer::Decode(trailerBytes);
  if (trailer.guard1 != kPckGuard1 || trailer.guard2 != kPckGuard2) {
    return Fail(PckStatus::kGuardByteError, path, u"damaged package (wrong guard word)");
  }

  // Each record takes at least its 8 length bytes, so a count the file cannot hold
  // ends in a failed record below. A first walk over the length words counts the
  // records that are there (a body shorter than 8 bytes never decodes), so that a
  // large list is allocated once at its final size instead of being copied as it
  // grows; that happens only once a thousand records have really decoded.
  const int64_t tablePosition = trailer.tableOffset ^ kPckMaskA;
  int64_t position = tablePosition;
  uint32_t recordsPresent = 0;
  while (recordsPresent < entryCount) {
    uint8_t lengths[8];
    if (ReadAt(position, lengths, sizeof lengths) != sizeof lengths) break;
    const uint32_t a = LoadLe32(lengths) ^ kPckMaskA;
    if (a != (LoadLe32(lengths + 4) ^ kPckMaskB) || a < 8) break;
    position += 8;
    if (static_cast<int64_t>(a) > fileSize_ - position) break;
    position += a;
    ++recordsPresent;
  }
  position = tablePosition;
  ByteBuffer body;
  ByteBuffer record;
  for (uint32_t i = 0; i < entryCount; ++i) {
    uint8_t lengths[8];
    ReadAt(position, lengths, sizeof lengths);
    const uint32_t a = LoadLe32(lengths) ^ kPckMaskA;
    const uint32_t b = LoadLe32(lengths + 4) ^ kPckMaskB;
    if (a != b) return Fail(PckStatus::kGuardByteError, path, RecordReason(i, u"lengths differ"));
    // No package reaches 2^31 bytes, so neither can a record body: refused before
    // anything is read or zero-filled for it.
    if (a > kMaxRecordLength) {
      return Fail(PckStatus::kZlibError, path, RecordReason(i, u"longer than any package"));
    }
    position += 8;
    // A body that claims more than the file holds is read with the missing bytes
    // as zeros; only the bytes really there are held in memory.
    const int64_t left = fileSize_ > position ? fileSize_ - position : 0;
    const uint32_t present = static_cast<int64_t>(a) < left ? a : static_cast<uint32_t>(left);
    body.resize(present);
    ReadAt(position, body.data(), present);
    position += a;
    record.resize(kPckRecordSize);
    PckStatus status = DecompressBlockPadded(body.data(), present, a, &record);
    if (IsError(status)) return Fail(status, path, RecordReason(i, u"zlib"));
    // The writers always store whole records; a body that decodes to less is damaged.
    if (record.size() != kPckRecordSize) {
      return Fail(PckStatus::kZlibError, path, RecordReason(i, u"not a whole record"));
    }
    const PckEntryRecord fields = PckEntryRecord::Decode(record.data());
    if (entries_.size() == kReserveAfter) {
      entries_.reserve(recordsPresent);
      host::AdviseBulkFill(entries_.data() + entries_.size(),
                           (recordsPresent - entries_.size()) * sizeof(PckEntry));
    }
    // Built where it stays: a large list is filled once, not copied into.
    PckEntry& entry = entries_.emplace_back();
    entry.reserved1 = fields.reserved1;
    entry.offset = fields.offset;
    entry.dataSize = fields.dataSize;
    entry.storedSize = fields.storedSize;
    entry.reserved2 = fields.reserved2;
    RecordNameToEntry(fields.name, entry.name);
  }
  path_ = path;
  return PckStatus::kSuccess;
} catch (const std::bad_alloc&) {
  return Fail(PckStatus::kFileOperationError, path, kNoMemory);
}

PckStatus PckArchive::CopyEntries(EntryList* list) const {
  list->insert(list->end(), entries_.begin(), entries_.end());
  return PckStatus::kSuccess;
}

// An entry too large for memory is that entry's failure: no exception leaves
// ReadEntry, and the next entry can be read as if nothing had happened.
PckStatus PckArchive::ReadEntry(const PckEntry& entry, ByteBuffer* buffer) try {
  failure_ = PckFailure{};
  PckStatus status = CheckStoredBytes(entry);
  if (IsError(status)) return status;
  ResizeForOverwrite(&stored_, entry.storedSize);
  status = ReadStoredBytes(entry, stored_.data());
  if (IsError(status)) return status;
  return DecodeStoredBytes(entry, stored_.data(), buffer, &failure_);
} catch (const std::bad_alloc&) {
  // What was held for this entry is let go, so that the next ones find the room.
  ByteBuffer().swap(stored_);
  failure_ = NoMemoryFailure(entry);
  return PckStatus::kFileOperationError;
}

PckStatus PckArchive::CheckStoredBytes(const PckEntry& entry) {
  const std::u16string_view name = EntryNameView(entry.name);
  if (!file_) return Fail(PckStatus::kFileOpenError, std::u16string(name), u"no package open");
  // Stored bytes beyond the end of the package, or a size no stream of that length
  // can reach, mean a damaged package: refuse before allocating anything for it.
  if (static_cast<int64_t>(entry.offset) + entry.storedSize > fileSize_) {
    return Fail(PckStatus::kZlibError, std::u16string(name),
                u"damaged data (stored beyond the end of the package)");
  }
  if (!StoredSizeCanHold(entry.storedSize, entry.dataSize)) {
    return Fail(PckStatus::kZlibError, std::u16string(name),
                u"damaged data (sizes that no stored form can have)");
  }
  return PckStatus::kSuccess;
}

PckStatus PckArchive::ReadStoredBytes(const PckEntry& entry, uint8_t* stored) {
  if (ReadAt(entry.offset, stored, entry.storedSize) != entry.storedSize) {
    return Fail(PckStatus::kZlibError, std::u16string(EntryNameView(entry.name)),
                u"cannot read the stored bytes");
  }
  return PckStatus::kSuccess;
}

PckStatus PckArchive::DecodeStoredBytes(const PckEntry& entry, const uint8_t* stored,
                                        ByteBuffer* buffer, PckFailure* failure) {
  // The decoded bytes replace whatever the caller's buffer held.
  ResizeForOverwrite(buffer, entry.dataSize);
  const PckStatus status = DecompressBlockBounded(stored, entry.storedSize, buffer, kAppendLimit);
  if (IsError(status)) {
    *failure = PckFailure{std::u16string(EntryNameView(entry.name)), u"damaged data (zlib)"};
  }
  return status;
}

PckFailure PckArchive::NoMemoryFailure(const PckEntry& entry) {
  return PckFailure{std::u16string(EntryNameView(entry.name)), kNoMemory};
}

bool PckArchive::IsPackageFile(const std::u16string& path) const {
  int64_t size = 0;
  host::FileId package;
  if (!file_ || !file_->Describe(&size, &package)) return false;
  host::FileId target;
  return host::Host::Current().GetEntryId(path, &target) && target == package;
}
