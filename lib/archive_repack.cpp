// archive_repack.cpp - rewriting an open package through "tmp.pck".
#include <algorithm>

#include "archive.h"
#include "host/host.h"
#include "package_writer.h"
#include "work_queue.h"

namespace {

constexpr char16_t kTempPackage[] = u"tmp.pck";

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
// than kBudget or twice the largest entry, whichever is more. So the workers never
// hold more than a single-threaded repack of the largest entry would, plus a few
// MiB.
constexpr uint64_t kBatchBytes = 256 << 10;
constexpr size_t kBatchEntries = 64;
constexpr size_t kDepth = 2;
constexpr uint64_t kBudget = uint64_t{4} << 20;

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
  bool reencode = false;                   // decode and encode again at the new level
  uint32_t dataSize = 0;
  uint32_t storedSize = 0;
  bool plain = false;   // encoded again, the data is stored as it is
  bool reread = false;  // the stored bytes are kept but were overwritten: read them again
  ByteBuffer stored;    // as read, then as encoded again (unless plain)
  ByteBuffer data;      // the decoded data, when it is stored plain
};

struct RepackBatch {
  std::vector<RepackItem> items;
};

}  // namespace

PckStatus PckArchive::Repack(int32_t level, ProgressCallback progress) {
  host::Host& h = host::Host::Current();

  // The free space is tested on the package's own volume.
  const size_t slash = path_.rfind(host::kPathSeparator);
  const std::u16string directory = slash == std::u16string::npos
                                       ? std::u16string(u".") + host::kPathSeparator
                                       : path_.substr(0, slash + 1);
  const uint64_t freeBytes = h.FreeBytes(directory);
  if (!file_) return PckStatus::kFileOpenError;
  if (freeBytes < static_cast<uint64_t>(fileSize_)) return PckStatus::kFileOperationError;

  // Writing "tmp.pck" would truncate the package itself when it is that very file.
  host::FileId packageId, tempId;
  if (h.GetFileId(path_, &packageId) && h.GetFileId(kTempPackage, &tempId) && packageId == tempId) {
    return PckStatus::kFileOperationError;
  }

  std::unique_ptr<host::File> temp;
  try {
    temp = h.OpenFile(kTempPackage, host::OpenMode::kWrite);
    if (!temp) Raise(PckStatus::kFileOpenError);
    PackageWriter writer(temp.get());
    if (!writer.WritePlaceholderHeader()) Raise(PckStatus::kFileOperationError);

    const bool reencode = level != -1;
    uint32_t largest = 0;
    for (const PckEntry& entry : entries_) {
      // A size its stored bytes cannot hold is refused before anything is allocated.
      if (StoredSizeCanHold(entry.storedSize, entry.dataSize)) {
        largest = std::max(largest, entry.dataSize);
      }
    }
    const unsigned threads = PckThreadCount();
    OrderedPipeline<RepackBatch> pipeline(threads, kDepth * threads, 1,
                                          std::max(kBudget, 2 * uint64_t{largest}));
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
          const PckEntry& entry = entries_[next++];
          RepackItem& item = batch.items.emplace_back();
          item.dataSize = entry.dataSize;
          item.storedSize = entry.storedSize;
          // Stored bytes beyond the end of the package cannot be copied faithfully.
          if (static_cast<int64_t>(entry.offset) + entry.storedSize > fileSize_) {
            item.status = PckStatus::kFileOperationError;
          } else {
            item.stored.resize(entry.storedSize);
            if (ReadAt(entry.offset, item.stored.data(), item.stored.size()) !=
                item.stored.size()) {
              item.status = PckStatus::kFileOperationError;
            } else if (reencode && entry.dataSize != 0) {
              if (StoredSizeCanHold(entry.storedSize, entry.dataSize)) {
                item.reencode = true;
              } else {
                item.status = PckStatus::kZlibError;
              }
            }
          }
          stopped = IsError(item.status);
          cost += working;
        }
        pipeline.Push(std::move(batch), cost, [level](RepackBatch& work) {
          ByteBuffer data;
          ByteBuffer encoded;
          for (RepackItem& item : work.items) {
            if (!item.reencode) continue;
            ResizeForOverwrite(&data, item.dataSize);
            item.status = DecompressBlock(item.stored.data(),
                                          static_cast<uint32_t>(item.stored.size()), &data);
            if (IsError(item.status)) break;
            // Once the whole data is decoded the stored bytes are not needed any
            // more, and the new stream takes their storage: an entry never holds
            // its old bytes, its data and its new bytes at once. A stream that ended
            // early may have to keep its stored bytes, so it is encoded apart.
            const bool whole = data.size() == item.dataSize;
            ByteBuffer* output = whole ? &item.stored : &encoded;
            bool plain = false;
            item.status = CompressOrKeep(level, data.data(), static_cast<uint32_t>(data.size()),
                                         output, &plain);
            if (IsError(item.status)) break;
            // Bytes that would not read back as the entry reads now are not written:
            // the entry keeps the stored bytes it has.
            if (!ReadsBack(plain ? data.size() : output->size(), data.size(), item.dataSize)) {
              item.reread = whole;
              continue;
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
        });
      }
      if (pipeline.empty()) break;
      for (RepackItem& item : pipeline.Front().items) {
        if (IsError(item.status)) Raise(item.status);
        PckEntry& entry = entries_[done++];
        if (item.reread) {
          item.stored.resize(entry.storedSize);
          if (ReadAt(entry.offset, item.stored.data(), item.stored.size()) != item.stored.size()) {
            Raise(PckStatus::kFileOperationError);
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
    writer.WriteTableAndTail(entries_, level, progress);
    writer.RewriteHeader();
    // The renames below make "tmp.pck" the package: it must be on disk first.
    if (!temp->Sync()) Raise(PckStatus::kFileOperationError);
    temp->Close();
    temp.reset();
    file_.reset();
    position_ = -1;

    const std::u16string backup = path_ + u".old";
    if (!h.RenameFile(path_, backup)) Raise(PckStatus::kFileOperationError);
    if (!h.RenameFile(kTempPackage, path_)) {
      // Put the old package back, so that the package never goes missing.
      h.RenameFile(backup, path_);
      Raise(PckStatus::kFileOperationError);
    }
  } catch (const RaisedStatus& raised) {
    temp.reset();
    h.RemoveFile(kTempPackage);
    return raised.status;
  }

  (void)Open(path_);
  return PckStatus::kSuccess;
}
