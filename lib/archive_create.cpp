// archive_create.cpp - writing a new package from a list of files.
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "archive.h"
#include "host/host.h"
#include "package_writer.h"
#include "pending_file.h"
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
    kData,    // read whole: compress it and write it
    kSelf,    // the package itself: passed over
    kFailed,  // cannot be opened or read whole: creation fails here
  };
  Kind kind = Kind::kData;
  PckStatus status = PckStatus::kSuccess;
  const std::u16string* path = nullptr;  // as in the file list
  std::u16string reason;                 // why it failed, for the user
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

std::u16string Decimal(uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

PckStatus PckArchive::Create(const std::u16string& baseDirectory, int32_t level,
                             const std::u16string& packagePath, const FileList& files,
                             ProgressCallback progress) {
  host::Host& h = host::Host::Current();
  const size_t baseLength = baseDirectory.size();
  // The table is written from entries_: whatever an earlier Open left there goes.
  Close();
  failure_ = {};
  position_ = -1;

  // The entry name of a file is its path below the base directory, '\' between levels.
  auto entryName = [baseLength](const std::u16string& path) {
    std::u16string name = path.substr(baseLength < path.size() ? baseLength : path.size());
    for (char16_t& c : name) {
      if (c == host::kPathSeparator) c = u'\\';
    }
    return name;
  };

  // Every name is checked before anything is written: a name that cannot be stored
  // whole would come back as another one, or as the same name as another file.
  for (const std::u16string& path : files) {
    if (host::kPathSeparator != u'\\') {
      // Here '\' is a character of the file's name, but in an entry name it
      // separates levels: "a\b.txt" would become the file b.txt in a folder a.
      const size_t below = baseLength < path.size() ? baseLength : path.size();
      if (path.find(u'\\', below) != std::u16string::npos) {
        return Fail(PckStatus::kFileOperationError, path,
                    u"'\\' in a file name cannot be stored in a package");
      }
    }
    std::u16string problem = NameStorageProblem(entryName(path));
    if (!problem.empty()) return Fail(PckStatus::kFileOperationError, path, std::move(problem));
  }

  // The package is written beside its final place and put there only when complete,
  // so that a failure or an interruption leaves whatever was there before. A link
  // at the package path stays a link: the file it leads to is replaced.
  std::u16string target;
  host::PathKind kind;
  if (!host::InspectPath(packagePath, &target, &kind)) {
    return Fail(PckStatus::kFileOpenError, packagePath, host::LastErrorText());
  }
  if (kind == host::PathKind::kOther) {
    return Fail(PckStatus::kFileOpenError, packagePath, u"not a regular file");
  }
  // A package that could not be overwritten in place is not replaced either.
  if (kind == host::PathKind::kRegular && !host::MayReplaceFile(target)) {
    return Fail(PckStatus::kFileOpenError, packagePath, host::LastErrorText());
  }
  // An older package at the path may lie in the tree: it is never packed.
  host::FileId packageId;
  const bool packageKnown = kind == host::PathKind::kRegular && h.GetFileId(target, &packageId);

  PendingFile pending;
  if (!pending.Begin(target)) {
    return Fail(PckStatus::kFileOpenError, packagePath, pending.reason());
  }
  PackageWriter writer(pending.file(), packagePath);

  SpareBuffers spare;
  // Reads one source (on this thread: every file operation stays here, in list
  // order). Returns false when the item ends the data phase.
  auto prepare = [&](const std::u16string& path, SourceItem* item) {
    item->path = &path;
    item->name = entryName(path);
    auto fail = [item](std::u16string reason) {
      item->kind = SourceItem::Kind::kFailed;
      item->status = PckStatus::kFileOperationError;
      item->reason = std::move(reason);
      return false;
    };
    std::unique_ptr<host::File> source = h.OpenFile(path, host::OpenMode::kRead);
    host::FileId sourceId;
    if (!source) {
      std::u16string reason = host::LastErrorText();
      // The package itself is passed over even where it cannot be read.
      if (packageKnown && h.GetFileId(path, &sourceId) && sourceId == packageId) {
        item->kind = SourceItem::Kind::kSelf;
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
      sourceKnown = packageKnown && h.GetFileId(path, &sourceId);
      length = source->SeekToEnd() ? source->Tell() : -1;
      if (!source->Seek(0)) length = -1;
    }
    if (packageKnown && sourceKnown && sourceId == packageId) {
      item->kind = SourceItem::Kind::kSelf;
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
      return fail(u"the file could not be read whole (" + Decimal(got) + u" of " +
                  Decimal(item->data.size()) + u" bytes)");
    }
    item->size = static_cast<uint32_t>(length);
    return true;
  };

  try {
    const unsigned threads = PckThreadCount();
    OrderedPipeline<SourceBatch> pipeline(threads, kDepth * threads, threads, kBudget);
    const size_t batchFiles = pipeline.threaded() ? kBatchFiles : 1;
    const int32_t total = static_cast<int32_t>(files.size());
    if (!writer.WritePlaceholderHeader()) {
      Raise(PckStatus::kFileOperationError, packagePath, host::LastErrorText());
    }
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
      for (SourceItem& item : pipeline.Front().items) {
        if (IsError(item.status)) Raise(item.status, *item.path, std::move(item.reason));
        if (item.kind == SourceItem::Kind::kData) {
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
    // A package whose header does not tell its length would not open.
    if (!writer.RewriteHeader()) {
      Raise(PckStatus::kFileOperationError, packagePath, host::LastErrorText());
    }
    // The package replaced keeps its permission bits (and owner, where it may).
    if (kind == host::PathKind::kRegular && !pending.file()->CopyAccessFrom(target)) {
      Raise(PckStatus::kFileOperationError, packagePath, host::LastErrorText());
    }
    if (!pending.Commit()) {
      Raise(PckStatus::kFileOperationError, packagePath, pending.reason());
    }
  } catch (RaisedStatus& raised) {
    pending.Abandon();
    return Fail(raised.status, std::move(raised.subject), std::move(raised.reason));
  } catch (const std::bad_alloc&) {
    pending.Abandon();
    return Fail(PckStatus::kFileOperationError, packagePath, std::u16string(kNoMemoryReason));
  } catch (const std::exception& error) {
    // A worker thread that cannot be started, say: nothing else may leave here.
    pending.Abandon();
    const std::string what = error.what();
    return Fail(PckStatus::kFileOperationError, packagePath,
                std::u16string(what.begin(), what.end()));
  }

  (void)Open(packagePath);
  failure_ = {};
  path_ = packagePath;
  return PckStatus::kSuccess;
}
