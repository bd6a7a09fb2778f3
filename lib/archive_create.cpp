// archive_create.cpp - writing a new package from a list of files.
#include "archive.h"

PckStatus PckArchive::Create(const std::u16string&, int32_t, const std::u16string&,
                             const FileList&, ProgressCallback) {
  return PckStatus::kFileOpenError;
}
