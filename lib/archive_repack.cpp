// archive_repack.cpp - rewriting an open package through "tmp.pck".
#include "archive.h"
#include "host/host.h"
#include "package_writer.h"

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

    ByteBuffer stored;
    ByteBuffer data;
    ByteBuffer encoded;
    const int32_t total = static_cast<int32_t>(entries_.size());
    int32_t i = 1;
    for (PckEntry& entry : entries_) {
      // Stored bytes beyond the end of the package cannot be copied faithfully.
      if (static_cast<int64_t>(entry.offset) + entry.storedSize > fileSize_) {
        Raise(PckStatus::kFileOperationError);
      }
      stored.resize(entry.storedSize);
      if (ReadAt(entry.offset, stored.data(), stored.size()) != stored.size()) {
        Raise(PckStatus::kFileOperationError);
      }
      if (level != -1 && entry.dataSize != 0) {
        if (!StoredSizeCanHold(entry.storedSize, entry.dataSize)) Raise(PckStatus::kZlibError);
        data.resize(entry.dataSize);
        PckStatus status =
            DecompressBlock(stored.data(), static_cast<uint32_t>(stored.size()), &data);
        if (IsError(status)) Raise(status);
        status = CompressBlock(level, data.data(), static_cast<uint32_t>(data.size()), &encoded);
        if (IsError(status)) Raise(status);
        // Bytes that would not read back as the entry reads now are not written: the
        // entry keeps the stored bytes it has.
        if (ReadsBack(encoded.size(), data.size(), entry.dataSize)) {
          stored.swap(encoded);
          entry.storedSize = static_cast<uint32_t>(stored.size());
        }
      }
      entry.offset = static_cast<uint32_t>(writer.position());
      writer.Write(stored.data(), stored.size());
      if (progress) progress(i, total, u"repack data");
      ++i;
    }
    writer.WriteTableAndTail(entries_, level, progress, &stored);
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
