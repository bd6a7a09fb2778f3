// safe_names_test.cpp - names that must neither act on the terminal nor be lost:
// control characters on the console, bytes that are no character (in a package's
// code page 936 names and in Linux file names and arguments), and table records
// whose length no package can have.
#include <algorithm>

#include "archive.h"
#include "names.h"
#include "pck_writer.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using testutil::Console;
using testutil::kBanner;
using testutil::P;
using testutil::Progress;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::TreeContents;
using testutil::TreeListing;
using testutil::U16;
using testutil::WriteFile;

FixtureEntry Entry(const std::string& name, const std::string& data, int level = -1) {
  FixtureEntry e;
  e.name = name;
  e.data = data;
  e.level = level;
  return e;
}

std::string ReadModeLine(const std::string& pck, const std::string& mode) {
  return "  pck : " + pck + "\n mode : " + mode + "\n";
}

// UTF-16LE bytes of a list file line: the name's code units, then CR LF.
std::string ListLine(std::u16string_view name) {
  std::string out;
  for (char16_t unit : name) {
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
  }
  return out + std::string("\r\0\n\0", 4);
}

class SafeNamesTest : public TempDirTest {
 protected:
  RunResult Run(const std::vector<std::string>& args) {
    const RunResult run = RunTool(args);
    EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
    return run;
  }
};

// --- The console --------------------------------------------------------------------

// A name's control characters (and its bytes 0x80 to 0x9F that are no character, which
// an 8-bit terminal takes as C1 controls) are '?' on the console, so a name cannot
// rewrite the line that refuses it; the format's own line ends stay, and log.txt and
// the list file keep the names as they are.
TEST_F(SafeNamesTest, ControlCharactersInNamesAreQuestionMarksOnTheConsoleOnly) {
  const std::string erase = "..\\\x1B[2K\rlooks_fine.txt";  // ESC [ 2 K, then CR
  const std::string c1 =
      "..\\c1\x81"
      "0\x7F.txt";  // 0x81 before '0' is no character; DEL
  FixturePackage package;
  package.entries.push_back(Entry(erase, "abc", 0));  // stored plain at 12
  package.entries.push_back(Entry(c1, "de", 0));      // at 15
  WriteFile(Path("game.pck"), BuildPackage(package));

  const RunResult run = Run({"-x", "-d", "game.pck"});
  EXPECT_EQ(
      Console(kBanner + ReadModeLine("game.pck", "extract") + " mount pck...done.\n" +
              Progress("extract data", 1, 2) + " file operation error : ..\\?[2K?looks_fine.txt\n" +
              Progress("extract data", 2, 2) + " file operation error : ..\\c1?0?.txt\n"),
      run.out);
  EXPECT_EQ(erase + ",3,3,12\r\n" + c1 + ",2,2,15\r\n", ReadFile(Path("log.txt")));

  Run({"-l", "game.pck"});
  EXPECT_EQ("\xFF\xFE" + ListLine(u"..\\\x1B[2K\rlooks_fine.txt") +
                ListLine(u"..\\c1\xDC81"
                         u"0\x7F.txt"),
            ReadFile(Path("game.lst.txt")));
}

// The package path is printed in the mode line the same way.
TEST_F(SafeNamesTest, ControlCharactersInThePackagePathAreQuestionMarks) {
  SKIP_UNLESS_LINUX("a file name with a control character");
  const std::string name = "g\x1B]0;x\x07.pck";
  const std::string shown = "g?]0;x?.pck";
  const RunResult run = Run({"-l", name});
  EXPECT_EQ(kBanner + ReadModeLine(shown, "list") + " mount pck...file open error\n", run.out);
}

// --- Code page 936 names that are no text -------------------------------------------

// Names whose bytes are no code page 936 text read as distinct names, and a repack
// writes them back with the same bytes.
TEST_F(SafeNamesTest, InvalidCodePage936NamesStayDistinctAndKeepTheirBytes) {
  const std::vector<std::pair<std::string, std::u16string>> names = {
      {"a\xFF.txt", u"a\xDCFF.txt"},
      {"a\xFE.txt", u"a\xDCFE.txt"},
      {"d\xFE\\x\xFF\xFF", u"d\xDCFE\\x\xDCFF\xDCFF"},
      {"\xA1\xA1\x80\xAA\xA1", u"\x3000\x20AC\xDCAA\xDCA1"},
  };
  FixturePackage package;
  for (const auto& [bytes, text] : names) package.entries.push_back(Entry(bytes, "data"));
  WriteFile(Path("game.pck"), BuildPackage(package));

  for (int level : {-1, 0, 9}) {
    SCOPED_TRACE(level);
    PckArchive archive;
    ASSERT_PCK_OK(archive.Open(u"game.pck"));
    ASSERT_EQ(names.size(), archive.entries().size());
    for (size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(names[i].second, EntryNameView(archive.entries()[i].name));
    }
    fs::remove(Path("game.pck.old"));
    ASSERT_PCK_OK(archive.Repack(level, nullptr));
    // Decoding is one to one, so the same names after the repack are the same bytes.
    ASSERT_EQ(names.size(), archive.entries().size());
    for (size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(names[i].second, EntryNameView(archive.entries()[i].name));
      uint8_t field[kPckNameBytes];
      EXPECT_TRUE(EntryNameToRecord(archive.entries()[i].name, field));
      EXPECT_EQ(names[i].first, reinterpret_cast<const char*>(field));
    }
  }
}

// Extraction writes each of them as a file of its own, on Linux under the name's own
// bytes; the list file holds the names as read.
TEST_F(SafeNamesTest, InvalidCodePage936NamesExtractToFilesOfTheirOwn) {
  SKIP_UNLESS_LINUX("file names that are not UTF-8");
  FixturePackage package;
  package.entries.push_back(Entry("a\xFF.txt", "first"));
  package.entries.push_back(Entry("a\xFE.txt", "second"));
  package.entries.push_back(Entry("d\xFE\\x.txt", "third"));
  WriteFile(Path("game.pck"), BuildPackage(package));

  const RunResult run = Run({"-x", "game.pck"});
  EXPECT_EQ(kBanner + ReadModeLine("game.pck", "extract") + " mount pck...done.\n" +
                Progress("extract data", 1, 3) + Progress("extract data", 2, 3) +
                Progress("extract data", 3, 3),
            run.out);
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{
                {"a\xFE.txt", "second"}, {"a\xFF.txt", "first"}, {"d\xFE/x.txt", "third"}}),
            TreeContents(Path("game.pck.files")));

  Run({"-l", "game.pck"});
  EXPECT_EQ("\xFF\xFE" + ListLine(u"a\xDCFF.txt") + ListLine(u"a\xDCFE.txt") +
                ListLine(u"d\xDCFE\\x.txt"),
            ReadFile(Path("game.lst.txt")));
}

// --- Linux file names and arguments that are not UTF-8 ------------------------------

// A package path with bytes that are not UTF-8 is written and read under those bytes.
TEST_F(SafeNamesTest, PackagePathThatIsNotUtf8IsTheFileWritten) {
  SKIP_UNLESS_LINUX("file names that are not UTF-8");
  WriteFile(Path("data/a.txt"), "some text");
  const std::string package = "out\xFE.pck";
  const RunResult run = Run({"-c", "data", package});
  EXPECT_EQ(0u, run.out.find(kBanner + std::string("       pck : out\xFE.pck\n")));
  EXPECT_NE(std::string::npos, run.out.find("\n pck create success\n"));
  EXPECT_EQ((std::vector<std::string>{"data", "data/a.txt", package}), TreeListing(dir_));

  PckArchive archive;
  ASSERT_PCK_OK(archive.Open(u"out\xDCFE.pck"));
  ASSERT_EQ(1u, archive.entries().size());

  // The same path given to list and extract is the same file.
  Run({"-x", package});
  EXPECT_EQ("some text", ReadFile(Path(package + ".files/a.txt")));
}

// Files and folders whose names are not UTF-8 are opened by their own names, packed
// under the same bytes where those bytes read back as the same name in code page
// 936, and extracted under them again.
TEST_F(SafeNamesTest, FileNamesThatAreNotUtf8RoundTripThroughAPackage) {
  SKIP_UNLESS_LINUX("file names that are not UTF-8");
  WriteFile(Path("data/b\xFF.txt"), "first");
  WriteFile(Path("data/b\xFE.txt"), "second");
  WriteFile(Path("data/sub\xFF/c\xE6.txt"), "third");  // a cut UTF-8 sequence
  const RunResult run = Run({"-c", "data", "game.pck"});
  EXPECT_NE(std::string::npos, run.out.find("\n pck create success\n")) << run.out;

  PckArchive archive;
  ASSERT_PCK_OK(archive.Open(u"game.pck"));
  std::vector<std::string> stored;
  for (const PckEntry& entry : archive.entries()) {
    uint8_t field[kPckNameBytes];
    ASSERT_TRUE(EntryNameToRecord(entry.name, field));
    stored.emplace_back(reinterpret_cast<const char*>(field));
  }
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ((std::vector<std::string>{"b\xFE.txt", "b\xFF.txt", "sub\xFF\\c\xE6.txt"}), stored);
  archive.Close();

  Run({"-x", "game.pck"});
  EXPECT_EQ(TreeContents(Path("data")), TreeContents(Path("game.pck.files")));
}

// --- Record lengths -------------------------------------------------------------------

// A table record whose two length words agree on 2^31 or more cannot be in any package:
// Open fails with a status there, keeping the records before it.
TEST_F(SafeNamesTest, RecordLengthOf2To31OrMoreFailsOpen) {
  for (uint32_t length : {0x80000000u, 0xFFFFFFFFu}) {
    for (size_t which : {size_t{1}, size_t{2}}) {  // the middle and the last record
      SCOPED_TRACE(std::to_string(length) + " at record " + std::to_string(which));
      FixturePackage package;
      package.entries.push_back(Entry("first.txt", "first"));
      package.entries.push_back(Entry("second.txt", "second"));
      package.entries.push_back(Entry("third.txt", "third"));
      package.entries[which].lengthA = length ^ pckfix::kMaskA;
      package.entries[which].lengthB = length ^ pckfix::kMaskB;
      WriteFile(Path("game.pck"), BuildPackage(package));
      PckArchive archive;
      EXPECT_EQ(PckStatus::kZlibError, archive.Open(u"game.pck"));
      EXPECT_EQ(which, archive.entries().size());
      EXPECT_EQ(u"game.pck", archive.failure().subject);
      const std::u16string record = which == 1 ? u"2" : u"3";
      EXPECT_EQ(u"damaged entry table (record " + record + u": longer than any package)",
                archive.failure().reason);
    }
  }
}

}  // namespace
