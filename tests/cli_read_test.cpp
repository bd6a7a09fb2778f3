// cli_read_test.cpp - the tool end to end: options, mode line and usage text, and
// the list and extract commands on fixture packages, checked byte for byte.
#include "pck_writer.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::BuildSimplePackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using pckfix::Gbk;
using pckfix::Zlib;
using testutil::Console;
using testutil::HostPath;
using testutil::kBanner;
using testutil::PathU8;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::TreeContents;
using testutil::TreeListing;
using testutil::WriteFile;

const std::string kUsage =
    " usage : quillo [cmd] [opt] [pck file]\n"
    "   cmd : -x       Extract\n"
    "         -c [dir] Create\n"
    "         -r       Repack\n"
    "   opt : -z [0-9] Compress level\n";

std::string ReadModeLine(const std::string& pck, const std::string& mode) {
  return "  pck : " + pck + "\n mode : " + mode + "\n";
}

std::string WriteModeLine(const std::string& pck, const std::string& mode, int level) {
  return "       pck : " + pck + "\n      mode : " + mode +
         "\ncomp level : " + std::to_string(level) + "\n";
}

std::string Progress(int done, int total) {
  return testutil::Progress("extract data", done, total);
}

// UTF-16LE bytes of a list file line: the name's code units, then CR LF.
std::string ListLine(const std::u16string& name) {
  std::string out;
  for (char16_t unit : name) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out + std::string("\r\0\n\0", 4);
}

FixtureEntry Entry(const std::string& name, const std::string& data, int level = -1) {
  FixtureEntry e;
  e.name = name;
  e.data = data;
  e.level = level;
  return e;
}

std::string Text(size_t size) {
  std::string out;
  for (size_t i = 0; out.size() < size; ++i) out += "line " + std::to_string(i) + "\n";
  out.resize(size);
  return out;
}

class CliReadTest : public TempDirTest {
 protected:
  std::string Run(const std::vector<std::string>& args) {
    const RunResult result = RunTool(args);
    EXPECT_EQ(1, result.exitCode) << "signal " << result.signal;
    return result.out;
  }
  void WritePackage(const std::string& name, const FixturePackage& package) {
    WriteFile(Path(name), BuildPackage(package));
  }
};

// --- Options, mode line and usage text --------------------------------------------

TEST_F(CliReadTest, NoArgumentsPrintBannerAndUsage) {
  EXPECT_EQ(Console(std::string(kBanner) + kUsage), Run({}));
}

TEST_F(CliReadTest, ArgumentsWithoutModeOrPackagePrintTheUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"a.pck"},
      {"-x"},
      {"-X", "a.pck"},  // capital letters are no option letters
      {"/X", "a.pck"},
      {"-x", "-c", "a.pck"},  // -c swallows the package path
      {"-v", "-d", "-q", "a.pck"},
      {"-", "/", "a.pck"},
      {"-x", "a.pck", "-c"},  // a value option as the last argument
      {"-x", "a.pck", "-z"},
      {"-z", "3", "-r", "a.pck", "-z"},
  };
  for (const auto& args : cases) {
    EXPECT_EQ(Console(std::string(kBanner) + kUsage), Run(args)) << testing::PrintToString(args);
  }
  EXPECT_TRUE(TreeListing(dir_).empty());
}

TEST_F(CliReadTest, ModeLineFollowsTheOptions) {
  struct Case {
    std::vector<std::string> args;
    std::string modeLine;
  };
  const std::string missing = " mount pck...file open error\n";
  const Case cases[] = {
      {{"-x", "a.pck"}, ReadModeLine("a.pck", "extract")},
      {{"-x", "-l", "a.pck"}, ReadModeLine("a.pck", "extract")},
      {{"-l", "-x", "a.pck"}, ReadModeLine("a.pck", "list")},
      {{"-xl", "a.pck"}, ReadModeLine("a.pck", "extract")},
      {{"/x", "a.pck"}, ReadModeLine("a.pck", "extract")},
      {{"/l", "a.pck"}, ReadModeLine("a.pck", "list")},
      {{"a.pck", "b.pck", "-x"}, ReadModeLine("a.pck", "extract")},
      {{"-l", "-c", "dir", "a.pck"}, ReadModeLine("a.pck", "list")},
      {{"-x", "-", "/", "-q", "a.pck"}, ReadModeLine("a.pck", "extract")},
      {{"-v", "-x", "-d", "a.pck"}, ReadModeLine("a.pck", "extract")},
      {{"-r", "a.pck"}, WriteModeLine("a.pck", "repack", -1)},
      {{"-z", "-3", "-r", "a.pck"}, WriteModeLine("a.pck", "repack", -1)},
      {{"-z", "abc", "-r", "a.pck"}, WriteModeLine("a.pck", "repack", 0)},
      {{"-z", "12", "-r", "a.pck"}, WriteModeLine("a.pck", "repack", 9)},
      {{"-r", "-z", "3", "-z", "12", "a.pck"}, WriteModeLine("a.pck", "repack", 9)},
      {{"-r", "-z", "12", "-z", "3", "a.pck"}, WriteModeLine("a.pck", "repack", 3)},
      {{"-r", "-z", " +7x", "a.pck"}, WriteModeLine("a.pck", "repack", 7)},
      {{"-r", "-z", "-x", "a.pck"}, WriteModeLine("a.pck", "repack", 0)},
      {{"-r", "-z", "99999999999", "a.pck"}, WriteModeLine("a.pck", "repack", 9)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Console(kBanner + c.modeLine + missing), Run(c.args))
        << testing::PrintToString(c.args);
  }
}

// On Windows any argument that begins with '/' is an option, as on the original; on
// Linux, where '/' begins every absolute path, only "/" and "/x" are.
TEST_F(CliReadTest, LongerArgumentBeginningWithSlashIsAnOptionOnlyOnWindows) {
  const std::string out = Run({"-x", "/lost.pck"});
  if (testutil::kWindowsHost) {
    EXPECT_EQ(Console(std::string(kBanner) + kUsage), out);  // "/lost.pck" is option 'l'
  } else {
    EXPECT_EQ(
        Console(kBanner + ReadModeLine("/lost.pck", "extract") + " mount pck...file open error\n"),
        out);
  }
  // "/lx": the mode letter 'l' after '/' on Windows, so that a.pck is listed there.
  const std::string list = Run({"/lx", "a.pck"});
  if (testutil::kWindowsHost) {
    EXPECT_EQ(Console(kBanner + ReadModeLine("a.pck", "list") + " mount pck...file open error\n"),
              list);
  } else {
    EXPECT_EQ(Console(std::string(kBanner) + kUsage), list);  // "/lx" is a path, a.pck too
  }
}

TEST_F(CliReadTest, CreateModeLineShowsTheClampedLevel) {
  const std::string out = Run({"-z", "12", "-c", "dir", "out.pck"});
  const std::string expected = Console(kBanner + WriteModeLine("out.pck", "create", 9));
  EXPECT_EQ(expected, out.substr(0, expected.size()));
}

// --- List -------------------------------------------------------------------------

TEST_F(CliReadTest, ListWritesEveryNameAsUtf16InTableOrder) {
  WriteFile(
      Path("game.pck"),
      BuildSimplePackage(
          {{"a.txt", "1"}, {"models/a.ski", "2"}, {Gbk("数据\\测试.txt"), "3"}, {"a.txt", "4"}}));
  WriteFile(Path("game.lst.txt"), "an older list that is longer than the new one");
  EXPECT_EQ(Console(kBanner + ReadModeLine("game.pck", "list") +
                    " mount pck...done.\n\nwrite file list to 'game.lst.txt'\n"),
            Run({"-l", "game.pck"}));
  EXPECT_EQ("\xFF\xFE" + ListLine(u"a.txt") + ListLine(u"models\\a.ski") +
                ListLine(u"数据\\测试.txt") + ListLine(u"a.txt"),
            ReadFile(Path("game.lst.txt")));
}

TEST_F(CliReadTest, ListOfAnEmptyPackageIsTheByteOrderMarkAlone) {
  WriteFile(Path("empty.pck"), BuildPackage(FixturePackage{}));
  Run({"-l", "empty.pck"});
  EXPECT_EQ("\xFF\xFE", ReadFile(Path("empty.lst.txt")));
}

TEST_F(CliReadTest, ListPathIsThePackagePathCutAtItsLastDot) {
  struct Case {
    std::string package;
    std::string list;
  } cases[] = {
      {"game.pck", "game.lst.txt"},      {"game", "game.lst.txt"}, {"a.b.pck", "a.b.lst.txt"},
      {"save.dir/game", "save.lst.txt"}, {"./game", ".lst.txt"},   {"sub/x.pck", "sub/x.lst.txt"},
  };
  fs::create_directories(Path("save.dir"));
  fs::create_directories(Path("sub"));
  for (const Case& c : cases) {
    WriteFile(Path(c.package), BuildSimplePackage({{"n", "v"}}));
    EXPECT_EQ(Console(kBanner + ReadModeLine(c.package, "list") +
                      " mount pck...done.\n\nwrite file list to '" + c.list + "'\n"),
              Run({"-l", c.package}))
        << c.package;
    EXPECT_EQ("\xFF\xFE" + ListLine(u"n"), ReadFile(Path(c.list))) << c.package;
    fs::remove(Path(c.list));
  }
}

TEST_F(CliReadTest, ListOfAPackageThatDoesNotOpenWritesNoFile) {
  EXPECT_EQ(Console(kBanner + ReadModeLine("game.pck", "list") + " mount pck...file open error\n"),
            Run({"-l", "game.pck"}));
  WriteFile(Path("game.pck"), std::string(400, 'x'));
  EXPECT_EQ(Console(kBanner + ReadModeLine("game.pck", "list") + " mount pck...not supported\n"),
            Run({"-l", "game.pck"}));
  EXPECT_EQ(std::vector<std::string>{"game.pck"}, TreeListing(dir_));
}

TEST_F(CliReadTest, ListFileThatCannotBeOpenedEndsTheRunSilently) {
  WriteFile(Path("game.pck"), BuildSimplePackage({{"n", "v"}}));
  fs::create_directories(Path("game.lst.txt"));  // a directory where the list should go
  EXPECT_EQ(Console(kBanner + ReadModeLine("game.pck", "list") + " mount pck...done.\n"),
            Run({"-l", "game.pck"}));
  EXPECT_TRUE(fs::is_directory(Path("game.lst.txt")));
}

// --- Extract ----------------------------------------------------------------------

TEST_F(CliReadTest, ExtractWritesEveryEntryByteForByte) {
  std::string noise(3000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919) >> 3);
  FixturePackage package;
  package.entries.push_back(Entry("a.txt", "abc", 0));
  package.entries.push_back(Entry("sub\\b.txt", Text(20000), 9));
  package.entries.push_back(Entry(Gbk("数据\\测试.txt"), "测试 data", 1));
  package.entries.push_back(Entry(Gbk("数据\\子\\深\\x.bin"), noise));
  package.entries.push_back(Entry("empty.dat", ""));
  package.entries.push_back(Entry("models/a.ski", Text(500)));
  FixtureEntry shortStream = Entry("short.bin", "");
  shortStream.stored = Zlib(Text(3000));  // ends after 3000 of its 5000 bytes
  shortStream.dataSize = 5000;
  package.entries.push_back(shortStream);
  WritePackage("game.pck", package);
  WriteFile(Path("game.pck.files/a.txt"), "an older, longer file");

  std::string expected = kBanner + ReadModeLine("game.pck", "extract") + " mount pck...done.\n";
  for (int n = 1; n <= 7; ++n) expected += Progress(n, 7);
  EXPECT_EQ(Console(expected), Run({"-x", "game.pck"}));

  const fs::path root = Path("game.pck.files");
  const std::string shortFile = ReadFile(root / "short.bin");
  EXPECT_EQ(5000u, shortFile.size());
  EXPECT_EQ(Text(3000), shortFile.substr(0, 3000));
  fs::remove(root / "short.bin");
  const std::vector<std::pair<std::string, std::string>> want = {
      {"a.txt", "abc"},           {"empty.dat", ""},           {"models/a.ski", Text(500)},
      {"sub/b.txt", Text(20000)}, {"数据/子/深/x.bin", noise}, {"数据/测试.txt", "测试 data"},
  };
  EXPECT_EQ(want, TreeContents(root));
}

TEST_F(CliReadTest, ExtractionRootIsThePackagePathWithFilesAppended) {
  const std::string bytes = BuildSimplePackage({{"a.txt", "abc"}});
  WriteFile(Path("game"), bytes);
  WriteFile(Path("data/game.pck"), bytes);
  WriteFile(Path("abs.pck"), bytes);
  Run({"-x", "game"});
  Run({"-x", "data/game.pck"});
  // On Linux an argument beginning with '/' and longer than two characters is a path;
  // on Windows an absolute path begins with its drive.
  const std::string absolute = PathU8(Path("abs.pck"));
  if (!testutil::kWindowsHost) {
    ASSERT_EQ('/', absolute[0]);
  }
  EXPECT_EQ(Console(kBanner + ReadModeLine(absolute, "extract") + " mount pck...done.\n" +
                    Progress(1, 1) + " make dir : " + absolute + ".files\n"),
            Run({"-x", "-v", absolute}));
  EXPECT_EQ("abc", ReadFile(Path("game.files/a.txt")));
  EXPECT_EQ("abc", ReadFile(Path("data/game.pck.files/a.txt")));
  EXPECT_EQ("abc", ReadFile(Path("abs.pck.files/a.txt")));
}

TEST_F(CliReadTest, FailingEntriesArePrintedAndExtractionGoesOn) {
  FixturePackage package;
  package.entries.push_back(Entry("first.txt", "first"));
  FixtureEntry damaged = Entry(Gbk("数据\\坏.bin"), "");
  damaged.stored = std::string(30, '\x99');
  damaged.dataSize = 100;
  package.entries.push_back(damaged);
  FixtureEntry past = Entry("past.bin", "p", 0);
  past.storedSize = 1000000;  // beyond the end of the package
  past.dataSize = 1000000;
  package.entries.push_back(past);
  package.entries.push_back(Entry("last.txt", "last"));
  WritePackage("game.pck", package);

  EXPECT_EQ(Console(kBanner + ReadModeLine("game.pck", "extract") + " mount pck...done.\n" +
                    Progress(1, 4) + Progress(2, 4) + " zlib error : 数据\\坏.bin\n" +
                    Progress(3, 4) + " zlib error : past.bin\n" + Progress(4, 4)),
            Run({"-x", "game.pck"}));
  const std::vector<std::pair<std::string, std::string>> want = {{"first.txt", "first"},
                                                                 {"last.txt", "last"}};
  EXPECT_EQ(want, TreeContents(Path("game.pck.files")));
}

TEST_F(CliReadTest, PackageThatDoesNotOpenOrIsEmptyCreatesNothing) {
  WriteFile(Path("log.txt"), "old log\r\n");
  FixturePackage guarded;
  guarded.guard2 = 0;
  WritePackage("bad.pck", guarded);
  EXPECT_EQ(
      Console(kBanner + ReadModeLine("bad.pck", "extract") + " mount pck...guard byte error\n"),
      Run({"-x", "-d", "bad.pck"}));
  EXPECT_EQ(
      Console(kBanner + ReadModeLine("none.pck", "extract") + " mount pck...file open error\n"),
      Run({"-x", "-d", "none.pck"}));
  WritePackage("empty.pck", FixturePackage{});
  EXPECT_EQ(Console(kBanner + ReadModeLine("empty.pck", "extract") + " mount pck...done.\n"),
            Run({"-x", "-d", "empty.pck"}));
  EXPECT_EQ((std::vector<std::string>{"bad.pck", "empty.pck", "log.txt"}), TreeListing(dir_));
  EXPECT_EQ("old log\r\n", ReadFile(Path("log.txt")));
}

TEST_F(CliReadTest, VerboseAnnouncesOnlyTheDirectoriesReallyMade) {
  WriteFile(Path("game.pck"), BuildSimplePackage({{"a.txt", "a"},
                                                  {"sub\\b.txt", "b"},
                                                  {"sub\\deep\\c.txt", "c"},
                                                  {"other\\d.txt", "d"},
                                                  {"sub\\e.txt", "e"}}));
  const std::string head = kBanner + ReadModeLine("game.pck", "extract") + " mount pck...done.\n";
  EXPECT_EQ(Console(head + Progress(1, 5) + " make dir : game.pck.files\n" + Progress(2, 5) +
                    " make dir : " + HostPath("game.pck.files/sub") + "\n" + Progress(3, 5) +
                    " make dir : " + HostPath("game.pck.files/sub/deep") + "\n" + Progress(4, 5) +
                    " make dir : " + HostPath("game.pck.files/other") + "\n" + Progress(5, 5)),
            Run({"-x", "-v", "game.pck"}));

  // The tree exists now: nothing to announce.
  std::string quiet = head;
  for (int n = 1; n <= 5; ++n) quiet += Progress(n, 5);
  EXPECT_EQ(Console(quiet), Run({"-x", "-v", "game.pck"}));

  // "-v" before the mode letter is wiped out by it.
  fs::remove_all(Path("game.pck.files"));
  EXPECT_EQ(Console(quiet), Run({"-v", "-x", "game.pck"}));
  EXPECT_EQ("c", ReadFile(Path("game.pck.files/sub/deep/c.txt")));
}

TEST_F(CliReadTest, LogListsEveryEntryInCodePage936WithCrLf) {
  const std::string text = Text(5000);
  const uint32_t stream = static_cast<uint32_t>(Zlib(text, 9).size());
  FixturePackage package;
  package.entries.push_back(Entry("a.txt", "abc", 0));
  package.entries.push_back(Entry(Gbk("数据\\测试.txt"), text, 9));
  FixtureEntry far = Entry("far", "f", 0);
  far.offset = 0x80000000;  // printed as a signed number; the read fails
  package.entries.push_back(far);
  WritePackage("game.pck", package);
  WriteFile(Path("log.txt"), "a line from an earlier run\r\n");

  EXPECT_EQ(Console(kBanner + ReadModeLine("game.pck", "extract") + " mount pck...done.\n" +
                    Progress(1, 3) + Progress(2, 3) + Progress(3, 3) + " zlib error : far\n"),
            Run({"-x", "-d", "game.pck"}));
  const std::string expected = "a.txt,3,3,12\r\n" + Gbk("数据\\测试.txt") + "," +
                               std::to_string(stream) + ",5000,15\r\n" + "far,1,1,-2147483648\r\n";
  EXPECT_EQ(expected, ReadFile(Path("log.txt")));

  // Without -d the log is left alone.
  Run({"-x", "game.pck"});
  EXPECT_EQ(expected, ReadFile(Path("log.txt")));
}

TEST_F(CliReadTest, NamesLeavingTheOutputRootAreNotWritten) {
  const std::vector<std::string> refused = {"..\\x", "\\abs", "/abs", "C:\\x", "a\\..\\..\\x", ""};
  FixturePackage package;
  package.entries.push_back(Entry("ok.txt", "ok"));
  for (const std::string& name : refused) package.entries.push_back(Entry(name, "bad " + name));
  package.entries.push_back(Entry("..ok\\a..b.txt", "dots"));
  WritePackage("game.pck", package);

  std::string expected = kBanner + ReadModeLine("game.pck", "extract") + " mount pck...done.\n";
  const int total = static_cast<int>(package.entries.size());
  expected += Progress(1, total);
  for (size_t i = 0; i < refused.size(); ++i) {
    std::string shown = refused[i];
    if (!shown.empty() && shown[0] == '/') shown[0] = '\\';
    expected +=
        Progress(static_cast<int>(i) + 2, total) + " file operation error : " + shown + "\n";
  }
  expected += Progress(total, total);
  EXPECT_EQ(Console(expected), Run({"-x", "game.pck"}));

  EXPECT_EQ((std::vector<std::string>{"game.pck", "game.pck.files", "game.pck.files/..ok",
                                      "game.pck.files/..ok/a..b.txt", "game.pck.files/ok.txt"}),
            TreeListing(dir_));
  EXPECT_FALSE(fs::exists("/abs"));
}

// Only an ASCII letter followed by ':' is a drive letter; other names with ':' as
// their second character stay below the output root and are written.
TEST_F(CliReadTest, OnlyAnAsciiLetterAndAColonIsADriveLetter) {
  struct Case {
    std::string name;  // code page 936 bytes
    std::string shown;
    const char* written;  // the file below the root, or null when refused
  };
  const Case cases[] = {
      {"1:\\digit.txt", "1:\\digit.txt", "1:/digit.txt"},
      {"\x80:\\euro.txt", "\xE2\x82\xAC:\\euro.txt", "\xE2\x82\xAC:/euro.txt"},
      {"::\\x", "::\\x", "::/x"},
      {"\xA8\xA6:x.txt", "\xC3\xA9:x.txt", "\xC3\xA9:x.txt"},
      {"_:x", "_:x", "_:x"},
      {"C:\\x", "C:\\x", nullptr},
      {"z:x", "z:x", nullptr},
  };
  FixturePackage package;
  for (const Case& c : cases) package.entries.push_back(Entry(c.name, "data " + c.shown));
  WritePackage("game.pck", package);

  // On Windows ':' in a component names an alternate data stream, so there every
  // one of these names is refused.
  std::string expected = kBanner + ReadModeLine("game.pck", "extract") + " mount pck...done.\n";
  const int total = static_cast<int>(package.entries.size());
  for (int i = 0; i < total; ++i) {
    expected += Progress(i + 1, total);
    if (!cases[i].written || testutil::kWindowsHost) {
      expected += " file operation error : " + cases[i].shown + "\n";
    }
  }
  EXPECT_EQ(Console(expected), Run({"-x", "game.pck"}));
  if (testutil::kWindowsHost) {
    EXPECT_EQ(std::vector<std::string>{"game.pck"}, TreeListing(dir_));
    return;
  }
  for (const Case& c : cases) {
    if (c.written) {
      EXPECT_EQ("data " + c.shown, ReadFile(Path(std::string("game.pck.files/") + c.written)));
    }
  }
  EXPECT_FALSE(fs::exists(Path("game.pck.files/C:")));
  EXPECT_FALSE(fs::exists(Path("game.pck.files/z:x")));
}

}  // namespace
