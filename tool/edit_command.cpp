// edit_command.cpp - --add and --delete: changes a package in place.
#include <new>
#include <string>

#include "archive.h"
#include "console.h"
#include "file_search.h"
#include "host/host.h"
#include "long_options.h"

namespace {

std::u16string Decimal(uint64_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

int Run(const LongOptions& options) {
  PckChanges changes;
  changes.deletions = options.deletes;
  if (options.hasAdd) {
    // The folder string ends in the separator, as for -c; the file search names the
    // files below it exactly as -c does.
    std::u16string directory = options.addDir;
    const bool endsInSeparator = directory.back() == host::kPathSeparator ||
                                 (host::kWindowsNames && directory.back() == u'/');
    if (!endsInSeparator) directory.push_back(host::kPathSeparator);
    // The package itself may lie in the tree: it is never added to itself.
    host::FileId packageId;
    const bool packageExists = host::Host::Current().GetFileId(options.package, &packageId);
    SearchError error;
    if (!CollectFiles(directory, &changes.files, packageExists ? &packageId : nullptr, &error,
                      options.sort ? SearchOrder::kNtfs : SearchOrder::kHost)) {
      PrintDiagnostic(error.path, error.reason);
      // A folder that cannot be searched at all is a bad argument; an item in it that
      // cannot be taken is a failure of the run.
      return error.root ? kExitUsage : kExitFailed;
    }
    changes.baseDirectory = std::move(directory);
  }

  PckArchive archive;
  PckEditResult result;
  const PckStatus status =
      archive.Edit(options.package, changes, options.level, ConsoleProgress, &result);
  EndProgress();
  if (IsError(status)) {
    const PckFailure& failure = archive.failure();
    if (!result.unmatched.empty()) {
      for (const std::u16string& pattern : result.unmatched) {
        PrintDiagnostic(u"--delete " + pattern, u"matches no entry");
      }
      return kExitFailed;
    }
    if (result.unopened) {
      std::u16string reason(StatusText(status));
      if (!failure.reason.empty() && failure.reason != reason) reason += u": " + failure.reason;
      PrintDiagnostic(options.package, reason);
      return kExitUsage;
    }
    PrintDiagnostic(failure.subject, failure.reason);
    return kExitFailed;
  }
  // The run's result, on standard output: one line.
  PrintData(u"replaced " + Decimal(result.replaced) + u", added " + Decimal(result.added) +
            u", deleted " + Decimal(result.deleted) + u", copied " + Decimal(result.copied) +
            u" bytes, encoded " + Decimal(result.encoded) + u" bytes\n");
  return kExitSuccess;
}

}  // namespace

int EditCommand(const LongOptions& options) {
  // The library reports running out of memory itself; the search may run out too.
  try {
    return Run(options);
  } catch (const std::bad_alloc&) {
    EndProgress();
    PrintDiagnostic(options.package, u"not enough memory");
    return kExitFailed;
  }
}
