// archive_create.cpp - writing a new package from a list of files.
#include <cstring>

#include "archive.h"
#include "host/host.h"
#include "package_writer.h"

namespace {

// Source files are read whole and their length goes into a 32-bit field.
constexpr int64_t kMaxSourceSize = int64_t{0xFFFFFFFF};

}  // namespace

PckStatus PckArchive::Create(const std::u16string& baseDirectory, int32_t level,
                             const std::u16string& packagePath, const FileList& files,
                             ProgressCallback progress) {
  host::Host& h = host::Host::Current();
  const size_t baseLength = baseDirectory.size();
  file_ = h.OpenFile(packagePath, host::OpenMode::kWrite);
  if (!file_) return PckStatus::kFileOpenError;
  position_ = -1;

  // A source that turns out to be the package being written (a link to it, say)
  // is left out: it would be read while it is half written.
  host::FileId packageId;
  const bool packageKnown = h.GetFileId(packagePath, &packageId);

  PackageWriter writer(file_.get());
  if (!writer.WritePlaceholderHeader()) return PckStatus::kFileOperationError;

  std::unique_ptr<host::File> source;
  try {
    ByteBuffer data;
    ByteBuffer output;
    const int32_t total = static_cast<int32_t>(files.size());
    int32_t i = 1;
    for (const std::u16string& path : files) {
      // The entry name is the path below the base directory, '\' between levels.
      std::u16string name = path.substr(baseLength < path.size() ? baseLength : path.size());
      for (char16_t& c : name) {
        if (c == host::kPathSeparator) c = u'\\';
      }
      // A name the record cannot hold whole would come back as another name.
      if (!IsStorableName(name)) Raise(PckStatus::kFileOperationError);

      host::FileId sourceId;
      if (packageKnown && h.GetFileId(path, &sourceId) && sourceId == packageId) {
        if (progress) progress(i, total, u"compress data");
        ++i;
        continue;
      }

      source = h.OpenFile(path, host::OpenMode::kRead);
      if (!source) return PckStatus::kFileOperationError;
      const int64_t length = source->SeekToEnd() ? source->Tell() : -1;
      if (length < 0 || length > kMaxSourceSize || !source->Seek(0)) {
        Raise(PckStatus::kFileOperationError);
      }
      data.resize(static_cast<size_t>(length));
      // A file that shrank or cannot be read after it was opened would be stored
      // with zeros in place of its bytes.
      if (source->Read(data.data(), data.size()) != data.size()) {
        Raise(PckStatus::kFileOperationError);
      }
      source.reset();

      PckStatus status =
          CompressBlock(level, data.data(), static_cast<uint32_t>(data.size()), &output);
      if (IsError(status)) Raise(status);

      PckEntry entry;
      std::memcpy(entry.name, name.data(), name.size() * sizeof(char16_t));
      entry.offset = static_cast<uint32_t>(writer.position());
      entry.dataSize = static_cast<uint32_t>(data.size());
      entry.storedSize = static_cast<uint32_t>(output.size());
      writer.Write(output.data(), output.size());
      entries_.push_back(entry);
      if (progress) progress(i, total, u"compress data");
      ++i;
    }
    writer.WriteTableAndTail(entries_, level, progress, &data);
  } catch (const RaisedStatus& raised) {
    source.reset();
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
