// create_command.cpp - builds a package from every file below a directory.
#include "archive.h"
#include "commands.h"
#include "console.h"
#include "file_search.h"
#include "host/host.h"
#include "options.h"

int CreateCommand() {
  // The directory string ends in the separator; an empty one is the current directory.
  std::u16string directory =
      toolOptions.createDir->empty() ? std::u16string(u".") : *toolOptions.createDir;
  if (directory.back() != host::kPathSeparator) directory += host::kPathSeparator;

  Print(u" serching files...");
  // The package itself may lie in the tree (from an earlier run): never pack it.
  host::FileId packageId;
  const bool packageExists = host::Host::Current().GetFileId(*toolOptions.packagePath, &packageId);
  FileList files;
  CollectFiles(directory, &files, packageExists ? &packageId : nullptr);
  Print(u"done\n");

  PckArchive archive;
  PckStatus status = archive.Create(directory, toolOptions.level, *toolOptions.packagePath, files,
                                    ConsoleProgress);
  if (IsError(status)) {
    PrintFormat(u"\n pck create error : %s", {StatusText(status)});
  } else {
    Print(u"\n pck create success\n");
  }
  return 0;
}
