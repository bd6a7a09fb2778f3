// entry_names_test.cpp - names that Windows gives a meaning of its own: which entry
// names extraction writes (the rule on both hosts' terms, and the extract command
// end to end), and device names as package paths.
#include "entry_names.h"

#include "pck_writer.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using testutil::Console;
using testutil::kBanner;
using testutil::kWindowsHost;
using testutil::Progress;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::TreeContents;
using testutil::TreeListing;
using testutil::U16;
using testutil::U8;
using testutil::WriteFile;

struct NameCase {
  std::u16string name;
  bool belowOnLinux;
  bool belowOnWindows;
};

TEST(StaysBelowRootTest, RefusesWhatLeavesTheRootAndOnWindowsWhatWindowsReinterprets) {
  const NameCase cases[] = {
      // Ordinary names, on every host.
      {u"a.txt", true, true},
      {u"sub\\b.txt", true, true},
      {u"..ok\\a..b.txt", true, true},
      {u"...x", true, true},
      {u". \\x", true, true},
      {u"console.txt", true, true},
      {u"com0", true, true},
      {u"lpt10.txt", true, true},
      {u"null", true, true},
      {u"nul_x.txt", true, true},
      {u"a.nul", true, true},
      {u"com", true, true},
      // Leaving the root, on every host.
      {u"", false, false},
      {u"\\abs", false, false},
      {u"/abs", false, false},
      {u"..", false, false},
      {u"..\\x", false, false},
      {u"a\\..\\..\\x", false, false},
      {u"sub\\..", false, false},
      // A drive letter is an ASCII letter and ':'.
      {u"C:\\x", false, false},
      {u"c:x", false, false},
      {u"z:", false, false},
      // ':' after anything else is a plain character on Linux, a stream on Windows.
      {u"1:\\x", true, false},
      {u"::x", true, false},
      {u"\u00e9:x.txt", true, false},
      {u"ab:c", true, false},
      {u"a:b", false, false},  // a drive letter again
      {u"sub\\file.txt:stream", true, false},
      // ".." once trailing dots and spaces are trimmed.
      {u".. \\x", true, false},
      {u".. .\\x", true, false},
      {u"a\\...", true, false},
      {u"sub\\..  ", true, false},
      // Device names, with or without an extension, in any case and any folder.
      {u"nul.txt", true, false},
      {u"NUL", true, false},
      {u"sub\\Con", true, false},
      {u"aux.tar.gz", true, false},
      {u"prn", true, false},
      {u"com1", true, false},
      {u"COM9.dat", true, false},
      {u"LPT9.log", true, false},
      {u"lpt1\\x.txt", true, false},
      {u"nul .txt", true, false},
      {u"nul.", true, false},
      {u"CONOUT$", true, false},
      {u"com\u00b9", true, false},
  };
  for (const NameCase& c : cases) {
    const bool expected = kWindowsHost ? c.belowOnWindows : c.belowOnLinux;
    EXPECT_EQ(expected, StaysBelowRoot(c.name)) << U8(c.name);
    // The Windows rule alone, checked on every host.
    if (c.belowOnLinux) {
      bool refused = false;
      size_t start = 0;
      while (start <= c.name.size()) {
        size_t end = c.name.find(u'\\', start);
        if (end == std::u16string::npos) end = c.name.size();
        refused = refused || WindowsRefusesComponent(c.name.substr(start, end - start));
        start = end + 1;
      }
      EXPECT_EQ(!c.belowOnWindows, refused) << U8(c.name);
    }
  }
}

using EntryNamesCliTest = TempDirTest;

// The names Windows would trim, send to a device or to a stream are refused there
// with the file operation error line, nothing is written for them and extraction
// goes on; on Linux they are ordinary names and written.
TEST_F(EntryNamesCliTest, WindowsOnlyHazardsAreRefusedOnWindowsAndWrittenOnLinux) {
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"ok.txt", "ok"},
      {"nul.txt", "data that would vanish into the null device"},
      {"sub\\CON", "console"},
      {"Aux.log", "aux"},
      {"lpt3", "printer"},
      {".. \\up.txt", "one level up"},
      {".. .\\up2.txt", "one level up too"},
      {"a.txt:stream", "a stream of a.txt"},
      {"1:\\x.txt", "digit and colon"},
      {"\u00e9:x.txt", "letter that is no ASCII letter, and colon"},
      {"C:\\drive.txt", "a drive on every host"},
      {"last.txt", "last"},
  };
  FixturePackage package;
  for (const auto& [name, data] : entries) {
    FixtureEntry entry;
    entry.name = pckfix::Gbk(name);
    entry.data = data;
    package.entries.push_back(entry);
  }
  WriteFile(Path("game.pck"), BuildPackage(package));

  const int total = static_cast<int>(entries.size());
  std::string expected =
      kBanner + std::string("  pck : game.pck\n mode : extract\n") + " mount pck...done.\n";
  std::vector<std::pair<std::string, std::string>> written;
  for (int i = 0; i < total; ++i) {
    const auto& [name, data] = entries[i];
    expected += Progress("extract data", i + 1, total);
    const bool ordinary = name == "ok.txt" || name == "last.txt";
    const bool drive = name.starts_with("C:");
    if (drive || (kWindowsHost && !ordinary)) {
      expected += " file operation error : " + name + "\n";
    } else {
      std::string path = name;
      std::replace(path.begin(), path.end(), '\\', '/');
      written.emplace_back(path, data);
    }
  }
  const testutil::RunResult run = RunTool({"-x", "game.pck"});
  EXPECT_EQ(1, run.exitCode);
  EXPECT_EQ(Console(expected), run.out);
  std::sort(written.begin(), written.end());
  EXPECT_EQ(written, TreeContents(Path("game.pck.files")));
  if (kWindowsHost) {
    // Nothing beside the root, no folder made for a refused name.
    EXPECT_EQ((std::vector<std::string>{"game.pck", "game.pck.files", "game.pck.files/last.txt",
                                        "game.pck.files/ok.txt"}),
              TreeListing(dir_));
  }
}

// A package path that is a device name on Windows (in any folder, with any
// extension) is no package there: creation fails instead of reporting success
// while the bytes go to the null device, and reading never waits on the console.
// On Linux these are ordinary file names.
TEST_F(EntryNamesCliTest, DeviceNamesAreNoPackagesOnWindows) {
  WriteFile(Path("data/a.txt"), "alpha");
  const std::string create = kBanner + std::string("       pck : nul.pck\n      mode : create\n") +
                             "comp level : -1\n serching files...done\n";
  testutil::RunResult run = RunTool({"-c", "data", "nul.pck"});
  if (kWindowsHost) {
    EXPECT_EQ(Console(create + "\n pck create error : file open error"), run.out);
    EXPECT_EQ((std::vector<std::string>{"data", "data/a.txt"}), TreeListing(dir_));
  } else {
    EXPECT_EQ(Console(create + Progress("compress data", 1, 1) +
                      Progress("write file entry", 1, 1) + "\n pck create success\n"),
              run.out);
    EXPECT_TRUE(fs::is_regular_file(Path("nul.pck")));
  }
  for (const char* package : {"con", "CON.pck", "aux"}) {
    SCOPED_TRACE(package);
    run = RunTool({"-x", package});
    EXPECT_EQ(Console(kBanner + std::string("  pck : ") + package +
                      "\n mode : extract\n mount pck...file open error\n"),
              run.out);
  }
}

// A package path with a character that code page 936 cannot show: on Windows the
// character is printed as '?' (as in log.txt) and the rest of the line is kept; the
// Linux console is UTF-8 and shows it.
TEST_F(EntryNamesCliTest, PathWithoutACodePage936FormIsShownWithAQuestionMark) {
  const std::string shown = kWindowsHost ? "a?b.pck" : "a\U0001F600b.pck";
  const std::string tail = "\n mode : extract\n mount pck...file open error\n";
  const testutil::RunResult run = RunTool({"-x", "a\U0001F600b.pck"});
  EXPECT_EQ(Console(kBanner + std::string("  pck : ") + shown + tail), run.out);
}

}  // namespace
