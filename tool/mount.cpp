// mount.cpp - the opening lines shared by the commands that read a package.
#include "archive.h"
#include "commands.h"
#include "console.h"
#include "options.h"

bool MountPackage(PckArchive* archive) {
  Print(u" mount pck...");
  const PckStatus status = archive->Open(*toolOptions.packagePath);
  if (IsError(status)) {
    PrintFormat(u"%s\n", {StatusText(status)});
    PrintDiagnostic(archive->failure().subject, archive->failure().reason);
    return false;
  }
  Print(u"done.\n");
  return true;
}
