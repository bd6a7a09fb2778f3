// archive_read.cpp - opening a package and reading its entries.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "archive.h"
#include "host/host.h"
#include "names.h"
#include "work_queue.h"

namespace {

// The longest record body a package can hold.
constexpr uint32_t kMaxRecordLength = 0x7FFFFFFF;

// The number of decoded records after which the list is given its full size.
constexpr size_t kReserveAfter = 1024;

constexpr char16_t kNoMemory[] = u"not enough memory";

// Table records go to the workers in batches of this many records (or fewer, once
// their bodies reach kBatchBytes), at most kBatchDepth batches per thread and
// kBatchBudget bytes of bodies in flight.
constexpr size_t kBatchRecords = 512;
constexpr size_t kBatchBytes = 64 << 10;
constexpr size_t kBatchDepth = 4;
constexpr uint64_t kBatchBudget = uint64_t{16} << 20;

// One table record of a batch: where its body is, then what it decoded to.
struct DecodedRecord {
  size_t at = 0;         // the body's offset in the batch's bytes
  uint32_t present = 0;  // the body's bytes in the file (the rest read as zeros)
  uint32_t length = 0;   // the body's length as the record gives it
  uint32_t reserved1 = 0;
  uint32_t offset = 0;
  uint32_t dataSize = 0;
  uint32_t storedSize = 0;
  uint32_t reserved2 = 0;
  uint32_t name = 0;       // the name's first unit in the batch's names
  uint32_t nameUnits = 0;  // its length, terminator not included
};

// Consecutive table records, read by the calling thread and decoded by a worker.
struct TableBatch {
  uint32_t first = 0;  // the table index of the first record
  ByteBuffer bytes;    // the bodies, one after the other
  std::vector<DecodedRecord> records;
  std::vector<char16_t> names;
  size_t decoded = 0;                      // the records decoded, from the first; the rest failed
  PckStatus status = PckStatus::kSuccess;  // why record `decoded` did not decode
  const char16_t* why = nullptr;
  // Where the list will hold these records, when its storage is there already:
  // the worker takes its page faults (host::PrefaultForWrite).
  void* storage = nullptr;
  size_t storageSize = 0;
};

// The bytes a batch holds while it is in flight, about.
uint64_t BatchCost(const TableBatch& batch) {
  return batch.bytes.size() + batch.records.size() * (sizeof(DecodedRecord) + 64);
}

// Decodes the records of `batch` in order, stopping at the first that fails.
void DecodeBatch(TableBatch& batch) {
  if (batch.storage) host::PrefaultForWrite(batch.storage, batch.storageSize);
  ByteBuffer record;
  batch.names.reserve(batch.records.size() * 48);
  for (DecodedRecord& r : batch.records) {
    record.resize(kPckRecordSize);
    const PckStatus status =
        DecompressBlockPadded(batch.bytes.data() + r.at, r.present, r.length, &record);
    if (IsError(status)) {
      batch.status = status;
      batch.why = u"zlib";
      return;
    }
    // The writers always store whole records; a body that decodes to less is damaged.
    if (record.size() != kPckRecordSize) {
      batch.status = PckStatus::kZlibError;
      batch.why = u"not a whole record";
      return;
    }
    r.reserved1 = LoadLe32(record.data() + kPckNameBytes);
    r.offset = LoadLe32(record.data() + kPckNameBytes + 4);
    r.dataSize = LoadLe32(record.data() + kPckNameBytes + 8);
    r.storedSize = LoadLe32(record.data() + kPckNameBytes + 12);
    r.reserved2 = LoadLe32(record.data() + kPckNameBytes + 16);
    char16_t units[kPckNameUnits];
    r.nameUnits = static_cast<uint32_t>(RecordNameToUnits(record.data(), units));
    r.name = static_cast<uint32_t>(batch.names.size());
    batch.names.insert(batch.names.end(), units, units + r.nameUnits);
    ++batch.decoded;
  }
}

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
  // The records are independent streams: the calling thread reads them in
  // batches, in table order, and the workers decode each batch into its names and
  // numbers; the list is then filled in table order from the front batch. A record
  // the calling thread finds damaged ends the reading; the first damaged record in
  // table order, whoever found it, is the failure, and the entries before it are
  // in the list, as when every record is read and decoded in turn.
  const unsigned threads = PckThreadCount();
  OrderedPipeline<TableBatch> pipeline(threads, kBatchDepth * threads, 1, kBatchBudget);
  uint32_t next = 0;  // the first record not yet read
  uint32_t damagedAt = entryCount;
  PckStatus damagedStatus = PckStatus::kSuccess;
  std::u16string damagedReason;
  position = tablePosition;
  TableBatch batch;
  const auto pushBatch = [&] {
    if (entries_.capacity() > kReserveAfter &&
        entries_.capacity() >= batch.first + batch.records.size()) {
      batch.storage = reinterpret_cast<char*>(entries_.data()) + batch.first * sizeof(PckEntry);
      batch.storageSize = batch.records.size() * sizeof(PckEntry);
    }
    const uint64_t cost = BatchCost(batch);
    pipeline.Push(std::move(batch), cost, DecodeBatch);
    batch = TableBatch{};
    batch.first = next;
  };
  // Takes the front batch into the list; the failure of its first record that did
  // not decode, if any.
  const auto takeBatch = [&]() -> PckStatus {
    TableBatch& done = pipeline.Front();
    for (size_t k = 0; k < done.decoded; ++k) {
      const DecodedRecord& r = done.records[k];
      if (entries_.size() == kReserveAfter) {
        entries_.reserve(recordsPresent);
        host::AdviseBulkFill(entries_.data() + entries_.size(),
                             (recordsPresent - entries_.size()) * sizeof(PckEntry));
      }
      // Built where it stays: a large list is filled once, not copied into.
      PckEntry& entry = entries_.emplace_back();
      entry.reserved1 = r.reserved1;
      entry.offset = r.offset;
      entry.dataSize = r.dataSize;
      entry.storedSize = r.storedSize;
      entry.reserved2 = r.reserved2;
      std::memcpy(entry.name, done.names.data() + r.name, r.nameUnits * sizeof(char16_t));
    }
    const uint32_t at = done.first + static_cast<uint32_t>(done.decoded);
    const PckStatus status = done.status;
    const char16_t* what = done.why;
    pipeline.Pop();
    return IsError(status) ? Fail(status, path, RecordReason(at, what)) : status;
  };
  while (next < entryCount) {
    uint8_t lengths[8];
    ReadAt(position, lengths, sizeof lengths);
    const uint32_t a = LoadLe32(lengths) ^ kPckMaskA;
    const uint32_t b = LoadLe32(lengths + 4) ^ kPckMaskB;
    if (a != b) {
      damagedStatus = PckStatus::kGuardByteError;
      damagedReason = RecordReason(next, u"lengths differ");
    } else if (a > kMaxRecordLength) {
      // No package reaches 2^31 bytes, so neither can a record body: refused
      // before anything is read or zero-filled for it.
      damagedStatus = PckStatus::kZlibError;
      damagedReason = RecordReason(next, u"longer than any package");
    }
    if (IsError(damagedStatus)) {
      damagedAt = next;
      break;
    }
    position += 8;
    // A body that claims more than the file holds is read with the missing bytes
    // as zeros; only the bytes really there are held in memory.
    const int64_t left = fileSize_ > position ? fileSize_ - position : 0;
    const uint32_t present = static_cast<int64_t>(a) < left ? a : static_cast<uint32_t>(left);
    const size_t at = batch.bytes.size();
    batch.bytes.resize(at + present);
    ReadAt(position, batch.bytes.data() + at, present);
    batch.records.push_back(DecodedRecord{});
    DecodedRecord& record = batch.records.back();
    record.at = at;
    record.present = present;
    record.length = a;
    position += a;
    ++next;
    if (batch.records.size() >= kBatchRecords || batch.bytes.size() >= kBatchBytes) {
      while (!pipeline.HasRoom(BatchCost(batch))) {
        const PckStatus status = takeBatch();
        if (IsError(status)) return status;
      }
      pushBatch();
    }
  }
  if (!batch.records.empty()) pushBatch();
  while (!pipeline.empty()) {
    const PckStatus status = takeBatch();
    if (IsError(status)) return status;
  }
  if (damagedAt != entryCount) return Fail(damagedStatus, path, std::move(damagedReason));
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
