// create_command.cpp - builds a package from every file below a directory.
#include <new>

#include "archive.h"
#include "commands.h"
#include "console.h"
#include "file_search.h"
#include "host/host.h"
#include "options.h"

namespace {

// The original's result line of a failed creation; it has no line feed. The reason
// goes to standard error first, so that on a shared terminal it stands on a line
// of its own.
void PrintFailure(PckStatus status, std::u16string_view subject, std::u16string_view reason) {
  PrintDiagnostic(subject, reason);
  PrintFormat(u"\n pck create error : %s", {StatusText(status)});
}

void Run() {
  // The directory string ends in the separator; an empty one is the current directory.
  std::u16string directory =
      toolOptions.createDir->empty() ? std::u16string(u".") : *toolOptions.createDir;
  if (directory.back() != host::kPathSeparator) directory += host::kPathSeparator;

  Print(u" serching files...");
  // The package itself may lie in the tree (from an earlier run): never pack it.
  host::FileId packageId;
  const bool packageExists = host::Host::Current().GetFileId(*toolOptions.packagePath, &packageId);
  FileList files;
  SearchError error;
  const bool complete =
      CollectFiles(directory, &files, packageExists ? &packageId : nullptr, &error);
  Print(u"done\n");
  // A package of fewer files than asked for is no package: nothing is written.
  if (!complete) {
    PrintFailure(error.root ? PckStatus::kFileOpenError : PckStatus::kFileOperationError,
                 error.path, error.reason);
    return;
  }

  PckArchive archive;
  PckStatus status = archive.Create(directory, toolOptions.level, *toolOptions.packagePath, files,
                                    ConsoleProgress);
  if (IsError(status)) {
    PrintFailure(status, archive.failure().subject, archive.failure().reason);
  } else {
    Print(u"\n pck create success\n");
  }
}

}  // namespace

int CreateCommand() {
  // Create reports running out of memory itself; the search may run out too.
  try {
    Run();
  } catch (const std::bad_alloc&) {
    PrintFailure(PckStatus::kFileOperationError, *toolOptions.createDir, u"not enough memory");
  }
  return 0;
}
