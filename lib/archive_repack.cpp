// archive_repack.cpp - rewriting an open package through "tmp.pck".
//
// "tmp.pck" is a name that every run uses, in whatever folder it runs: it is
// taken only through Host::OpenExclusive, which never writes through a link or
// into anything but a plain file of one name and holds it against every other
// run until this one is done with it. The file this run writes is known by its
// identity; it is moved into place, or removed after a failure, only while the
// path still names that very file.
#include <algorithm>
#include <new>
#include <string>

#include "archive.h"
#include "host/host.h"
#include "names.h"
#include "package_writer.h"
#include "work_queue.h"

namespace {

constexpr char16_t kTempPackage[] = u"tmp.pck";

constexpr char16_t kNoMemory[] = u"not enough memory";
constexpr char16_t kBeyondEnd[] = u"its stored bytes lie beyond the end of the package";
constexpr char16_t kShortRead[] = u"its stored bytes cannot be read whole";
constexpr char16_t kCannotHold[] = u"its stored bytes cannot hold its data";
constexpr char16_t kNotDecoded[] = u"its stored bytes cannot be decoded";
constexpr char16_t kNotEncoded[] = u"its data cannot be encoded";

std::u16string Decimal(uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string ExclusiveReason(host::ExclusiveOpen outcome) {
  switch (outcome) {
    case host::ExclusiveOpen::kHeld:
      return u"held by another quillo process";
    case host::ExclusiveOpen::kLink:
      return u"a symbolic link, left untouched";
    case host::ExclusiveOpen::kNotRegular:
      return u"not a regular file";
    case host::ExclusiveOpen::kManyNames:
      return u"a file with other names (hard links), left untouched";
    default:
      return host::LastErrorText();
  }
}

// The working file as the package writer sees it, keeping the system's reason for
// the first write, flush or sync that failed: by the time the failure reaches the
// handler, other calls may have changed the thread's last error.
class ReasonFile final : public host::File {
 public:
  void Attach(host::File* file) { file_ = file; }
  const std::u16string& reason() const { return reason_; }

  size_t Read(void* data, size_t size) override { return file_->Read(data, size); }
  size_t Write(const void* data, size_t size) override {
    const size_t put = file_->Write(data, size);
    if (put != size) Note();
    return put;
  }
  bool Seek(int64_t position) override { return Noted(file_->Seek(position)); }
  bool SeekToEnd() override { return Noted(file_->SeekToEnd()); }
  int64_t Tell() override { return file_->Tell(); }
  bool Flush() override { return Noted(file_->Flush()); }
  bool Sync() override { return Noted(file_->Sync()); }
  bool Close() override { return Noted(file_->Close()); }

 private:
  void Note() {
    if (reason_.empty()) reason_ = host::LastErrorText();
  }
  bool Noted(bool ok) {
    if (!ok) Note();
    return ok;
  }

  host::File* file_ = nullptr;
  std::u16string reason_;
};

// Holds the interruptions of the process while it lives.
class InterruptsDeferred {
 public:
  InterruptsDeferred() { host::DeferInterrupts(true); }
  ~InterruptsDeferred() { host::DeferInterrupts(false); }
  InterruptsDeferred(const InterruptsDeferred&) = delete;
  InterruptsDeferred& operator=(const InterruptsDeferred&) = delete;
};

// True when `storedSize` bytes that CompressBlock made of `decodedSize` bytes read
// back as those bytes for an entry of `dataSize`. A stream that ended early decodes
// to fewer bytes than its dataSize: stored plain they would no longer decode, and
// squeezed into fewer bytes than a stream of dataSize bytes can take, the reader
// refuses them.
bool ReadsBack(size_t storedSize, size_t decodedSize, uint32_t dataSize) {
  const bool plain = storedSize == decodedSize;
  if (plain && decodedSize != dataSize) return false;
  return StoredSizeCanHold(static_cast<uint32_t>(storedSize), dataSize);
}

// With workers, small entries travel through the pipeline in batches of about
// this many bytes of working storage (or this many entries); at most kDepth
// batches per worker are in flight, and beyond the first no more working storage
// than the largest entry needs (what a single-threaded repack holds, at least
// kBudget) plus as many more of it as fit in kExtraBudget, at most two. So large
// entries are encoded side by side (one that takes long does not hold up the
// next ones) where that costs at most kExtraBudget more than one thread does; a
// package whose largest entry needs more than kExtraBudget goes one large entry at
// a time, with the memory of a single-threaded repack.
constexpr uint64_t kBatchBytes = 256 << 10;
constexpr size_t kBatchEntries = 64;
constexpr size_t kDepth = 2;
constexpr uint64_t kBudget = uint64_t{4} << 20;
constexpr uint64_t kExtraBudget = uint64_t{256} << 20;

// The most an entry holds at once on its way: its stored bytes; encoded again,
// its data next to the stored bytes, then next to the new stream (which takes the
// place of the stored bytes and is never longer than the data).
uint64_t WorkingBytes(const PckEntry& entry, bool reencode) {
  if (!reencode || entry.dataSize == 0) return entry.storedSize;
  return uint64_t{entry.dataSize} + std::max(entry.storedSize, entry.dataSize);
}

// One entry on its way into "tmp.pck".
struct RepackItem {
  PckStatus status = PckStatus::kSuccess;  // a failure ends the data pass at this entry
  const char16_t* why = nullptr;           // what the failure was, in words
  bool reencode = false;                   // decode and encode again at the new level
  uint32_t dataSize = 0;
  uint32_t storedSize = 0;
  bool plain = false;   // encoded again, the data is stored as it is
  bool reread = false;  // the stored bytes are kept but were overwritten: read them again
  ByteBuffer stored;    // as read, then as encoded again (unless plain)
  ByteBuffer data;      // the decoded data, when it is stored plain

  void Failed(PckStatus failure, const char16_t* what) {
    status = failure;
    why = what;
  }
};

struct RepackBatch {
  std::vector<RepackItem> items;
};

// Decodes an item's stored bytes and encodes them again at `level` (a worker's job).
void Reencode(int32_t level, RepackItem& item, ByteBuffer& data, ByteBuffer& encoded) {
  ResizeForOverwrite(&data, item.dataSize);
  item.status =
      DecompressBlock(item.stored.data(), static_cast<uint32_t>(item.stored.size()), &data);
  if (IsError(item.status)) {
    item.why = kNotDecoded;
    return;
  }
  // Once the whole data is decoded the stored bytes are not needed any more, and
  // the new stream takes their storage: an entry never holds its old bytes, its
  // data and its new bytes at once. A stream that ended early may have to keep its
  // stored bytes, so it is encoded apart.
  const bool whole = data.size() == item.dataSize;
  ByteBuffer* output = whole ? &item.stored : &encoded;
  bool plain = false;
  item.status =
      CompressOrKeep(level, data.data(), static_cast<uint32_t>(data.size()), output, &plain);
  if (IsError(item.status)) {
    item.why = kNotEncoded;
    return;
  }
  // Bytes that would not read back as the entry reads now are not written: the
  // entry keeps the stored bytes it has.
  if (!ReadsBack(plain ? data.size() : output->size(), data.size(), item.dataSize)) {
    item.reread = whole;
    return;
  }
  if (plain) {
    item.plain = true;
    item.data = std::move(data);
    data = ByteBuffer();
    ByteBuffer().swap(item.stored);  // only its room is left: give it back
  } else if (!whole) {
    item.stored.swap(encoded);
  }
}

}  // namespace

PckStatus PckArchive::Repack(int32_t level, ProgressCallback progress) {
  host::Host& h = host::Host::Current();
  failure_ = PckFailure{};

  // A package reached through symbolic links is repacked where it really is: its
  // backup goes beside it and the links keep leading to it.
  std::u16string real;
  const bool resolved = h.ResolveLink(path_, &real);
  const std::u16string unresolved = resolved ? std::u16string() : host::LastErrorText();
  if (!resolved) real = path_;

  // The free space is tested on the package's own volume.
  const size_t slash = real.rfind(host::kPathSeparator);
  const std::u16string directory = slash == std::u16string::npos
                                       ? std::u16string(u".") + host::kPathSeparator
                                       : real.substr(0, slash + 1);
  const uint64_t freeBytes = h.FreeBytes(directory);
  if (!file_) return Fail(PckStatus::kFileOpenError, path_, u"no package is open");
  if (!resolved) return Fail(PckStatus::kFileOperationError, path_, unresolved);
  if (freeBytes < static_cast<uint64_t>(fileSize_)) {
    return Fail(PckStatus::kFileOperationError, real,
                u"not enough free space for a copy of the package (" +
                    Decimal(static_cast<uint64_t>(fileSize_)) + u" bytes needed, " +
                    Decimal(freeBytes) + u" available)");
  }

  // Writing "tmp.pck" would cut the package itself when it is that very file (a
  // link named "tmp.pck" is refused below, whatever it leads to).
  host::FileId packageId, tempId;
  if (h.GetFileId(real, &packageId) && h.GetEntryId(kTempPackage, &tempId) && packageId == tempId) {
    return Fail(PckStatus::kFileOperationError, kTempPackage, u"the package itself");
  }

  std::unique_ptr<host::File> temp;
  ReasonFile out;
  host::FileId ownId;
  bool own = false;         // "tmp.pck" is this run's file
  bool registered = false;  // and is removed when the process is interrupted
  // Whether "tmp.pck" still names the file this run locked and wrote.
  auto stillOwn = [&] {
    host::FileId now;
    return h.GetEntryId(kTempPackage, &now) && now == ownId;
  };
  size_t busy = entries_.size();  // the entry being read or encoded, for a failure
  // Reads an entry's stored bytes into its item; a failure is the item's.
  auto readStored = [this](const PckEntry& entry, bool reencode, RepackItem& item) {
    try {
      item.stored.resize(entry.storedSize);
    } catch (const std::bad_alloc&) {
      item.Failed(PckStatus::kFileOperationError, kNoMemory);
      return;
    }
    if (ReadAt(entry.offset, item.stored.data(), item.stored.size()) != item.stored.size()) {
      item.Failed(PckStatus::kFileOperationError, kShortRead);
    } else if (reencode && entry.dataSize != 0) {
      if (StoredSizeCanHold(entry.storedSize, entry.dataSize)) {
        item.reencode = true;
      } else {
        item.Failed(PckStatus::kZlibError, kCannotHold);
      }
    }
  };
  PckStatus status = PckStatus::kSuccess;
  try {
    try {
      host::ExclusiveOpen outcome = host::ExclusiveOpen::kFailed;
      temp = h.OpenExclusive(kTempPackage, &outcome);
      if (!temp) Raise(Fail(PckStatus::kFileOpenError, kTempPackage, ExclusiveReason(outcome)));
      int64_t size = 0;
      if (!temp->Describe(&size, &ownId) && !h.GetEntryId(kTempPackage, &ownId)) {
        Raise(Fail(PckStatus::kFileOpenError, kTempPackage, host::LastErrorText()));
      }
      own = true;
      registered = host::RemoveOnInterrupt(kTempPackage);
      out.Attach(temp.get());
      PackageWriter writer(&out);
      if (!writer.WritePlaceholderHeader()) Raise(PckStatus::kFileOperationError);

      // The data pass, with its workers: they are gone before the renames, so that
      // no thread is left to take an interruption while they are held.
      {
        const bool reencode = level != -1;
        uint32_t largest = 0;
        for (const PckEntry& entry : entries_) {
          // A size its stored bytes cannot hold is refused before anything is allocated.
          if (StoredSizeCanHold(entry.storedSize, entry.dataSize)) {
            largest = std::max(largest, entry.dataSize);
          }
        }
        const unsigned threads = PckThreadCount();
        const uint64_t single = std::max(kBudget, 2 * uint64_t{largest});  // the largest's need
        const uint64_t extra = std::min<uint64_t>(2, kExtraBudget / single) * single;
        OrderedPipeline<RepackBatch> pipeline(threads, kDepth * threads, 1, single + extra);
        const size_t batchEntries = pipeline.threaded() ? kBatchEntries : 1;
        const int32_t total = static_cast<int32_t>(entries_.size());
        size_t next = 0;
        bool stopped = false;  // an entry that ends the data pass has been read
        int32_t i = 1;
        size_t done = 0;  // entries written
        for (;;) {
          while (!stopped && next < entries_.size() &&
                 pipeline.HasRoom(WorkingBytes(entries_[next], reencode))) {
            RepackBatch batch;
            uint64_t cost = 0;
            while (!stopped && next < entries_.size() && batch.items.size() < batchEntries &&
                   cost < kBatchBytes) {
              const uint64_t working = WorkingBytes(entries_[next], reencode);
              if (!batch.items.empty() && !pipeline.HasRoom(cost + working)) break;
              busy = next;
              const PckEntry& entry = entries_[next++];
              RepackItem& item = batch.items.emplace_back();
              item.dataSize = entry.dataSize;
              item.storedSize = entry.storedSize;
              // Stored bytes beyond the end of the package cannot be copied faithfully.
              if (static_cast<int64_t>(entry.offset) + entry.storedSize > fileSize_) {
                item.Failed(PckStatus::kFileOperationError, kBeyondEnd);
              } else {
                readStored(entry, reencode, item);
              }
              stopped = IsError(item.status);
              cost += working;
            }
            pipeline.Push(std::move(batch), cost, [level](RepackBatch& work) {
              ByteBuffer data;
              ByteBuffer encoded;
              for (RepackItem& item : work.items) {
                if (!item.reencode) continue;
                // An entry too large for memory is that entry's failure; the entries
                // before it are written as usual.
                try {
                  Reencode(level, item, data, encoded);
                } catch (const std::bad_alloc&) {
                  item.Failed(PckStatus::kFileOperationError, kNoMemory);
                }
                if (IsError(item.status)) break;
              }
            });
          }
          if (pipeline.empty()) break;
          for (RepackItem& item : pipeline.Front().items) {
            busy = done;
            PckEntry& entry = entries_[done++];
            if (IsError(item.status)) {
              Raise(Fail(item.status, std::u16string(EntryNameView(entry.name)), item.why));
            }
            if (item.reread) {
              item.stored.resize(entry.storedSize);
              if (ReadAt(entry.offset, item.stored.data(), item.stored.size()) !=
                  item.stored.size()) {
                Raise(Fail(PckStatus::kFileOperationError,
                           std::u16string(EntryNameView(entry.name)), kShortRead));
              }
            }
            const ByteBuffer& stored = item.plain ? item.data : item.stored;
            entry.storedSize = static_cast<uint32_t>(stored.size());
            entry.offset = static_cast<uint32_t>(writer.position());
            writer.Write(stored.data(), stored.size());
            if (progress) progress(i, total, u"repack data");
            ++i;
          }
          pipeline.Pop();
        }
      }
      busy = entries_.size();
      writer.WriteTableAndTail(entries_, level, progress);
      writer.RewriteHeader();
      // The new package keeps what the old one was: its permissions, owner and group.
      if (!temp->CopyAccessFrom(real)) {
        Raise(Fail(PckStatus::kFileOperationError, kTempPackage,
                   u"cannot take the permissions of the package: " + host::LastErrorText()));
      }
      // The renames below make "tmp.pck" the package: it must be on disk first.
      if (!out.Sync()) Raise(PckStatus::kFileOperationError);
      file_.reset();
      position_ = -1;

      // "tmp.pck" is held until it is the package: the lock lives as long as `temp`.
      const std::u16string backup = real + u".old";
      const InterruptsDeferred deferred;  // the two renames are not cut in two
      if (!stillOwn()) {
        own = false;
        Raise(Fail(PckStatus::kFileOperationError, kTempPackage,
                   u"replaced by another file while it was written"));
      }
      if (!h.RenameFile(real, backup)) {
        Raise(Fail(PckStatus::kFileOperationError, backup, host::LastErrorText()));
      }
      if (!stillOwn()) {
        own = false;
        h.RenameFile(backup, real);
        Raise(Fail(PckStatus::kFileOperationError, kTempPackage,
                   u"replaced by another file while it was written"));
      }
      if (!h.RenameFile(kTempPackage, real)) {
        const std::u16string reason = host::LastErrorText();
        // Put the old package back, so that the package never goes missing.
        h.RenameFile(backup, real);
        Raise(Fail(PckStatus::kFileOperationError, real, reason));
      }
      own = false;
      if (registered) host::ForgetOnInterrupt(kTempPackage);
      registered = false;
    } catch (const std::bad_alloc&) {
      Raise(Fail(PckStatus::kFileOperationError,
                 busy < entries_.size() ? std::u16string(EntryNameView(entries_[busy].name))
                                        : std::u16string(kTempPackage),
                 kNoMemory));
    }
  } catch (const RaisedStatus& raised) {
    status = raised.status;
  }
  if (IsError(status)) {
    if (failure_.reason.empty()) {
      // Raised by the package writer, which says only the status.
      std::u16string subject = kTempPackage;
      std::u16string reason = out.reason();
      if (status == PckStatus::kZlibError) {
        reason = u"a table record cannot be encoded";
      } else if (reason.empty()) {
        reason = u"the package would grow past 2 GiB";
        for (const PckEntry& entry : entries_) {
          uint8_t field[kPckNameBytes];
          if (!EntryNameToRecord(entry.name, field)) {
            subject = EntryNameView(entry.name);
            reason = u"the name has no code page 936 form";
            break;
          }
        }
      }
      Fail(status, std::move(subject), std::move(reason));
    }
    // Only the file this run locked and wrote is removed, while it is still held.
    if (own && stillOwn()) h.RemoveFile(kTempPackage);
    if (registered) host::ForgetOnInterrupt(kTempPackage);
    temp.reset();
    return status;
  }
  temp.reset();  // lets "tmp.pck", now the package, go

  (void)Open(path_);
  return PckStatus::kSuccess;
}
