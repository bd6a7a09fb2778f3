// archive_create.cpp - writing a new package from a list of files.
#include <exception>
#include <new>
#include <string>

#include "archive.h"
#include "host/host.h"
#include "package_writer.h"
#include "pending_file.h"

PckStatus PckArchive::Create(const std::u16string& baseDirectory, int32_t level,
                             const std::u16string& packagePath, const FileList& files,
                             ProgressCallback progress) {
  host::Host& h = host::Host::Current();
  const size_t baseLength = baseDirectory.size();
  // The table is written from entries_: whatever an earlier Open left there goes.
  Close();
  failure_ = {};
  position_ = -1;

  // Every name is checked before anything is written: a name that cannot be stored
  // whole would come back as another one, or as the same name as another file.
  std::vector<PlannedEntry> plan(files.size());
  for (size_t k = 0; k < files.size(); ++k) {
    std::u16string problem;
    plan[k].source = &files[k];
    plan[k].name = EntryNameOfFile(files[k], baseLength, &problem);
    if (!problem.empty()) return Fail(PckStatus::kFileOperationError, files[k], std::move(problem));
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

  try {
    Layout layout;
    layout.level = level;
    layout.skip = packageKnown ? &packageId : nullptr;
    layout.progress = progress;
    LayoutTotals totals;
    LayOutPackage(writer, plan, layout, &entries_, &totals);
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
