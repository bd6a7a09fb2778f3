// archive_create.cpp - writing a new package from a list of files.
#include <cstring>

#include "archive.h"
#include "host/host.h"
#include "package_writer.h"
#include "work_queue.h"

namespace {

// Source files are read whole and their length goes into a 32-bit field.
constexpr int64_t kMaxSourceSize = int64_t{0xFFFFFFFF};

// With workers, small files travel through the pipeline in batches of about this
// many bytes (or this many files), so that handing work over costs little
// against the work itself; at most kDepth batches per worker are in flight, and
// beyond one batch per worker no more than kBudget bytes of source data.
constexpr uint64_t kBatchBytes = 256 << 10;
constexpr size_t kBatchFiles = 64;
constexpr size_t kDepth = 2;
constexpr uint64_t kBudget = uint64_t{64} << 20;

// One source file on its way into the package.
struct SourceItem {
  enum class Kind {
    kData,        // read whole: compress it and write it
    kSelf,        // the package itself: passed over
    kOpenFailed,  // cannot be opened: creation returns 7 here
    kFailed,      // a name, a length or a read that fails: raises `status` here
  };
  Kind kind = Kind::kData;
  PckStatus status = PckStatus::kSuccess;
  std::u16string name;
  uint32_t size = 0;   // of the data
  bool plain = false;  // the data is stored as it is
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

struct SourceBatch {
  std::vector<SourceItem> items;
};

}  // namespace

PckStatus PckArchive::Create(const std::u16string& baseDirectory, int32_t level,
                             const std::u16string& packagePath, const FileList& files,
                             ProgressCallback progress) {
  host::Host& h = host::Host::Current();
  const size_t baseLength = baseDirectory.size();
  // The table is written from entries_: whatever an earlier Open left there goes.
  Close();
  file_ = h.OpenFile(packagePath, host::OpenMode::kWrite);
  if (!file_) return PckStatus::kFileOpenError;
  position_ = -1;

  // A source that turns out to be the package being written (a link to it, say)
  // is left out: it would be read while it is half written.
  host::FileId packageId;
  int64_t ignored = 0;
  const bool packageKnown =
      file_->Describe(&ignored, &packageId) || h.GetFileId(packagePath, &packageId);

  PackageWriter writer(file_.get());
  if (!writer.WritePlaceholderHeader()) return PckStatus::kFileOperationError;

  SpareBuffers spare;
  // Reads one source (on this thread: every file operation stays here, in list
  // order). Returns false when the item ends the data phase.
  auto prepare = [&](const std::u16string& path, SourceItem* item) {
    // The entry name is the path below the base directory, '\' between levels.
    item->name = path.substr(baseLength < path.size() ? baseLength : path.size());
    for (char16_t& c : item->name) {
      if (c == host::kPathSeparator) c = u'\\';
    }
    auto fail = [item](SourceItem::Kind kind) {
      item->kind = kind;
      item->status = PckStatus::kFileOperationError;
      return false;
    };
    // A name the record cannot hold whole would come back as another name.
    if (!IsStorableName(item->name)) return fail(SourceItem::Kind::kFailed);
    std::unique_ptr<host::File> source = h.OpenFile(path, host::OpenMode::kRead);
    host::FileId sourceId;
    if (!source) {
      // The package itself is passed over even where it cannot be read.
      if (packageKnown && h.GetFileId(path, &sourceId) && sourceId == packageId) {
        item->kind = SourceItem::Kind::kSelf;
        return true;
      }
      return fail(SourceItem::Kind::kOpenFailed);
    }
    // The host usually learnt the length and the identity while opening.
    int64_t length = -1;
    bool sourceKnown = source->Describe(&length, &sourceId);
    if (!sourceKnown) {
      sourceKnown = packageKnown && h.GetFileId(path, &sourceId);
      length = source->SeekToEnd() ? source->Tell() : -1;
      if (!source->Seek(0)) length = -1;
    }
    if (packageKnown && sourceKnown && sourceId == packageId) {
      item->kind = SourceItem::Kind::kSelf;
      return true;
    }
    if (length < 0 || length > kMaxSourceSize) return fail(SourceItem::Kind::kFailed);
    item->data = spare.Take();
    item->output = spare.Take();
    ResizeForOverwrite(&item->data, static_cast<size_t>(length));
    // A file that shrank or cannot be read after it was opened would be stored
    // with zeros in place of its bytes.
    if (source->Read(item->data.data(), item->data.size()) != item->data.size()) {
      return fail(SourceItem::Kind::kFailed);
    }
    item->size = static_cast<uint32_t>(length);
    return true;
  };

  try {
    const unsigned threads = PckThreadCount();
    OrderedPipeline<SourceBatch> pipeline(threads, kDepth * threads, threads, kBudget);
    const size_t batchFiles = pipeline.threaded() ? kBatchFiles : 1;
    const int32_t total = static_cast<int32_t>(files.size());
    size_t next = 0;       // the next file to read
    bool stopped = false;  // a file that ends the data phase has been read
    int32_t i = 1;
    for (;;) {
      while (!stopped && next < files.size() && pipeline.HasRoom(0)) {
        SourceBatch batch;
        uint64_t bytes = 0;
        while (!stopped && next < files.size() && batch.items.size() < batchFiles &&
               bytes < kBatchBytes) {
          batch.items.emplace_back();
          stopped = !prepare(files[next++], &batch.items.back());
          bytes += batch.items.back().data.size();
        }
        pipeline.Push(std::move(batch), bytes, [level](SourceBatch& work) {
          for (SourceItem& item : work.items) {
            if (item.kind != SourceItem::Kind::kData) continue;
            item.status =
                CompressOrKeep(level, item.data.data(), static_cast<uint32_t>(item.data.size()),
                               &item.output, &item.plain);
          }
        });
      }
      if (pipeline.empty()) break;
      for (SourceItem& item : pipeline.Front().items) {
        if (item.kind == SourceItem::Kind::kOpenFailed) return PckStatus::kFileOperationError;
        if (item.kind == SourceItem::Kind::kFailed) Raise(item.status);
        if (item.kind == SourceItem::Kind::kData) {
          if (IsError(item.status)) Raise(item.status);
          PckEntry entry;
          std::memcpy(entry.name, item.name.data(), item.name.size() * sizeof(char16_t));
          entry.offset = static_cast<uint32_t>(writer.position());
          entry.dataSize = item.size;
          const ByteBuffer& stored = item.plain ? item.data : item.output;
          entry.storedSize = static_cast<uint32_t>(stored.size());
          writer.Write(stored.data(), stored.size());
          entries_.push_back(entry);
        }
        if (progress) progress(i, total, u"compress data");
        ++i;
        spare.Give(std::move(item.data));
        spare.Give(std::move(item.output));
      }
      pipeline.Pop();
    }
    writer.WriteTableAndTail(entries_, level, progress);
  } catch (const RaisedStatus& raised) {
    file_.reset();
    h.RemoveFile(packagePath);
    return raised.status;
  }

  writer.RewriteHeader();
  file_->Close();
  file_.reset();
  (void)Open(packagePath);
  path_ = packagePath;
  return PckStatus::kSuccess;
}
