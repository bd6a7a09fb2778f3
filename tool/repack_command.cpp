// repack_command.cpp - rewrites a package at another compression level.
#include "archive.h"
#include "commands.h"
#include "console.h"
#include "options.h"

int RepackCommand() {
  PckArchive archive;
  if (!MountPackage(&archive)) return 0;
  const PckStatus status = archive.Repack(toolOptions.level, ConsoleProgress);
  if (IsError(status)) {
    PrintFormat(u"\n %s\n", {StatusText(status)});
    // Which file or entry it was, and why, on standard error.
    PrintDiagnostic(archive.failure().subject, archive.failure().reason);
  } else {
    Print(u"\n repack success\n");
  }
  return 0;
}
