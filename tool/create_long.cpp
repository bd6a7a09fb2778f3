// create_long.cpp - -c in a run with long options: the create command without the
// original's console lines, with --sort and the exit statuses of long runs.
#include <new>

#include "archive.h"
#include "console.h"
#include "file_search.h"
#include "host/host.h"
#include "long_options.h"

namespace {

int Run(const LongOptions& options) {
  // The directory string as the create command forms it, so that the entry names,
  // and with them the package, are the same as those of the original's -c.
  std::u16string directory = options.createDir.empty() ? std::u16string(u".") : options.createDir;
  if (directory.back() != host::kPathSeparator) directory += host::kPathSeparator;

  host::FileId packageId;
  const bool packageExists = host::Host::Current().GetFileId(options.package, &packageId);
  FileList files;
  SearchError error;
  const SearchOrder order = options.sort ? SearchOrder::kNtfs : SearchOrder::kHost;
  if (!CollectFiles(directory, &files, packageExists ? &packageId : nullptr, &error, order)) {
    // A folder that is not there is a bad command line; a file below it that cannot
    // be taken is a failed file. Either way nothing is written.
    PrintDiagnostic(error.path, error.reason);
    return error.root ? kExitUsage : kExitFailed;
  }

  PckArchive archive;
  const PckStatus status =
      archive.Create(directory, options.level, options.package, files, ConsoleProgress);
  EndProgress();
  if (IsError(status)) {
    const PckFailure& failure = archive.failure();
    std::u16string reason(StatusText(status));
    if (!failure.reason.empty() && failure.reason != reason) reason += u": " + failure.reason;
    PrintDiagnostic(failure.subject.empty() ? options.package : failure.subject, reason);
    // The package that cannot be made at all is like one that cannot be opened.
    return status == PckStatus::kFileOpenError ? kExitUsage : kExitFailed;
  }
  int64_t dataBytes = 0;
  int64_t storedBytes = 0;
  for (const PckEntry& entry : archive.entries()) {
    dataBytes += entry.dataSize;
    storedBytes += entry.storedSize;
  }
  PrintData(Format(u"created %s: %d entries, %d bytes, stored in %d bytes\n",
                   {ShownOnConsole(options.package), static_cast<int64_t>(archive.entries().size()),
                    dataBytes, storedBytes}));
  return kExitSuccess;
}

}  // namespace

int LongCreateCommand(const LongOptions& options) {
  try {
    return Run(options);
  } catch (const std::bad_alloc&) {
    PrintDiagnostic(options.createDir, u"not enough memory");
    return kExitFailed;
  }
}
