// help_command.cpp - --help (every option in one screen) and --version.
#include <zlib.h>

#include <string>

#include "console.h"
#include "host/host.h"
#include "long_options.h"
#include "version.h"

int HelpCommand() {
  PrintData(
      u"usage: quillo -x [-d] [--include GLOB]... [--exclude GLOB]... [--files-from FILE]\n"
      u"                [--to DIR] PKG\n"
      u"       quillo --test [--json] [--include GLOB]... [--exclude GLOB]... PKG\n"
      u"       quillo --ls [--json] [--include GLOB]... [--exclude GLOB]... PKG\n"
      u"       quillo --cat PKG NAME\n"
      u"       quillo -l PKG | -c DIR [-z LEVEL] [--sort] PKG | -r [-z LEVEL] PKG\n"
      u"  -x                 extract into PKG.files (or DIR of --to); -d: log.txt, -v: dirs\n"
      u"  -l / -c / -r       write the names to a .lst.txt / create PKG from DIR / repack\n"
      u"  -z LEVEL / --sort  level 0-9 for -c, -r / -c: NTFS's order of names, on any host\n"
      u"  --test             read and check every entry, write nothing\n"
      u"  --ls               data size, stored size, ratio, storage and name of each entry\n"
      u"  --json             with --ls or --test: JSON Lines instead (see the manual page)\n"
      u"  --cat              the bytes of entry NAME on standard output\n"
      u"  --include GLOB     only entries that match GLOB (repeatable; all when none)\n"
      u"  --exclude GLOB     leave out entries that match GLOB (repeatable)\n"
      u"  --files-from FILE  each line of FILE (UTF-8) is one more --include\n"
      u"  --to DIR           with -x: extract below DIR\n"
      u"  --help, --version  this text; the versions of quillo and zlib\n"
      u"GLOB: '/' or '\\' between levels, '*' within a level, '**' across levels, '?' one\n"
      u"character, ASCII letters in either case; a GLOB without wildcards also takes\n"
      u"everything below the folder it names. '--' ends the options.\n"
      u"Exit status with long options: 0 success; 1 an entry failed or an --include\n"
      u"matched nothing; 2 a bad command line or a package that does not open.\n"
      u"Without long options: the banner, the original's output, and status 1.\n");
  return kExitSuccess;
}

int VersionCommand() {
  const char* zlib = zlibVersion();
  PrintData(std::u16string(u"quillo ") + QUILLO_VERSION + u"\nzlib " + host::Utf8ToUtf16(zlib) +
            u"\n");
  return kExitSuccess;
}
