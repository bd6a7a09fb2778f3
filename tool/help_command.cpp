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
      u"       quillo --test|--ls [--json] [--include GLOB]... [--exclude GLOB]... PKG\n"
      u"       quillo --cat PKG NAME\n"
      u"       quillo [--delete GLOB]... [--add DIR] [-z LEVEL] [--sort] PKG\n"
      u"       quillo -l PKG | -c DIR [-z LEVEL] [--sort] PKG | -r [-z LEVEL] PKG\n"
      u"  -x                 extract into PKG.files (or DIR of --to); -d: log.txt, -v: dirs\n"
      u"  -l / -c / -r       write the names to a .lst.txt / create PKG from DIR / repack\n"
      u"  -z LEVEL           compression level 0-9 (-1: zlib's default) for -c, -r, --add\n"
      u"  --sort             with -c, --add: files in NTFS's order of names, on any host\n"
      u"  --test / --ls      check every entry, writing nothing / list sizes and storage\n"
      u"  --json             with --ls or --test: JSON Lines instead (see the manual page)\n"
      u"  --cat              the bytes of entry NAME on standard output\n"
      u"  --add DIR          files below DIR replace the entries of their names, or append\n"
      u"  --delete GLOB      drop the entries that match GLOB (repeatable; before --add)\n"
      u"  --include/--exclude GLOB  only / not the entries that match (repeatable)\n"
      u"  --files-from FILE  each line of FILE (UTF-8) is one more --include\n"
      u"  --help, --version  this text; the versions of quillo and zlib\n"
      u"GLOB: '/' or '\\' between levels, '*' within a level, '**' across levels, '?' one\n"
      u"character, ASCII letters in either case; a GLOB without wildcards also takes\n"
      u"everything below the folder it names. '--' ends the options. Exit status with\n"
      u"long options: 0 success; 1 a failure (an edit leaves PKG as it was), or an\n"
      u"--include or --delete that matched nothing; 2 a bad command line or a package\n"
      u"that does not open. Without long options: the banner, the original's output, 1.\n");
  return kExitSuccess;
}

int VersionCommand() {
  const char* zlib = zlibVersion();
  PrintData(std::u16string(u"quillo ") + QUILLO_VERSION + u"\nzlib " + host::Utf8ToUtf16(zlib) +
            u"\n");
  return kExitSuccess;
}
