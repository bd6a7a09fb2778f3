// sort_test.cpp - NTFS's order of names (the upcase table and the comparator), the
// file search in that order, and -c with --sort and -z in runs with long options.
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "archive.h"
#include "file_search.h"
#include "names.h"
#include "ntfs_order.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::Console;
using testutil::HostPath;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::U16;
using testutil::U8;
using testutil::WriteFile;

// Standard error as UTF-8 text with LF line ends, whatever the host wrote.
std::string ErrorText(const std::string& bytes) {
  std::string text = testutil::kWindowsHost ? U8(host::Cp936ToUtf16(bytes)) : bytes;
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

std::vector<std::string> Names(const std::vector<std::u16string>& names) {
  std::vector<std::string> out;
  for (const std::u16string& name : names) out.push_back(U8(name));
  return out;
}

// --- The upcase table and the comparator ---------------------------------------------

TEST(NtfsOrderTest, UpcaseTableMapsEachUnitAsNtfsDoes) {
  const struct {
    char16_t unit;
    char16_t upper;
  } cases[] = {
      {u'a', u'A'},     {u'z', u'Z'},     {u'A', u'A'},     {u'_', u'_'},
      {u'0', u'0'},     {u'`', u'`'},     {u'{', u'{'},     {0x00E9, 0x00C9},  // é
      {0x00DF, 0x00DF},  // ß has no single uppercase character
      {0x00F7, 0x00F7},  // ÷ lies among the small letters, is none
      {0x00FF, 0x0178},  // ÿ -> Ÿ, outside Latin-1
      {0x00B5, 0x039C},  // micro sign -> Greek capital mu
      {0x0101, 0x0100}, {0x0100, 0x0100}, {0x0131, u'I'},                      // dotless i
      {0x017F, u'S'},                                                          // long s
      {0x01C6, 0x01C4}, {0x01C5, 0x01C4}, {0x03B1, 0x0391}, {0x03C2, 0x03A3},  // ς
      {0x03C3, 0x03A3}, {0x0345, 0x0399}, {0x0430, 0x0410}, {0x044F, 0x042F},
      {0x0451, 0x0401}, {0x10D0, 0x1C90},                    // Georgian, mapped since Unicode 11
      {0x1F80, 0x1F88}, {0x1F88, 0x1F88}, {0x24D0, 0x24B6},  // circled letters
      {0x2C65, 0x023A},                                      // a unit that maps downwards
      {0xAB70, 0x13A0},  // Cherokee small letters map to the capitals
      {0x4E2D, 0x4E2D}, {0xD83D, 0xD83D}, {0xDE00, 0xDE00},  // surrogates
      {0xE000, 0xE000}, {0xFF41, 0xFF21}, {0xFF5A, 0xFF3A}, {0xFFFF, 0xFFFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(c.upper), static_cast<int>(PckNtfsUpcase(c.unit)))
        << std::hex << "U+" << static_cast<int>(c.unit);
  }
  // Every surrogate unit stays as it is, and an upper-cased unit upper-cases to
  // itself: a run of the table applied in the wrong place breaks one of the two.
  for (char32_t unit = 0; unit <= 0xFFFF; ++unit) {
    const char16_t upper = PckNtfsUpcase(static_cast<char16_t>(unit));
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      EXPECT_EQ(unit, upper);
    }
    EXPECT_EQ(upper, PckNtfsUpcase(upper)) << std::hex << "U+" << static_cast<int>(unit);
  }
}

// Names in NTFS's order, each after the one above it. The order is that of the units
// upper-cased (units as numbers); a name that is a prefix of another comes first;
// names equal after upper-casing follow their raw units.
const char16_t* const kNtfsOrder[] = {
    u"0",           u"10",                   // digits are characters: "10" before "2"
    u"2",           u"9",       u"A", u"a",  // equal after upper-casing: the raw 'A' (0x41) first
    u"a.b",                                  // "a" is a prefix; '.' (0x2E) comes before 'B'
    u"A1",                                   // '1' (0x31) after '.' and before 'B'
    u"ab",          u"Abc",                  // a prefix first again
    u"aBC",         u"abc",                  // equal after upper-casing: raw units decide
    u"ax",          u"b",                    // case does not count: "ax" before "b", "a" before "B"
    u"file10",      u"file2",                //
    u"i",           u"\u0131",   // dotless i upper-cases to 'I': tied with "i", raw after
    u"ia",          u"\u0131b",  // ... and so among the I's, not after the Latin-1 letters
    u"ss",          u"\u017Ft",  // long s upper-cases to 'S'
    u"Z",                        //
    u"_x",                       // '_' (0x5F) after every letter, which upper-cases to 0x41..0x5A
    u"`",           u"{x",       // '`' and '{' are not letters and stay where they are
    u"~",                        //
    u"\u00C9",      u"\u00E9",   // É, é
    u"\u00E9a",     u"\u00C9b",  // é = É
    u"\u00FC",                   // ü -> Ü (0xDC)
    u"\u00DF",                   // ß stays 0xDF: after "ss" and after Ü
    u"\u00F7",                   // ÷ 0xF7
    u"\u0101",                   // ā -> Ā (0x100)
    u"\u00FF",                   // ÿ -> Ÿ (0x178): after ā, though its raw unit is smaller
    u"\u03B1",                   // α -> Α (0x391)
    u"\u0392",                   // Β
    u"\u00B5",                   // micro sign -> Μ (0x39C), among the Greek letters
    u"\u03A3",      u"\u03C2",   // Σ, ς, σ: one letter after upper-casing
    u"\u03C3",                   //
    u"\u0451",                   // ё -> Ё (0x401), before А
    u"\u0410",      u"\u0430",   // А, а
    u"\u0411",      u"\u0431",   // Б, б
    u"\u044F",                   // я -> Я (0x42F)
    u"\u4E2D",      u"\u6587",   // 中, 文: no case
    u"\U00010400c",              // supplementary characters go unit by unit, and their
    u"\U00010428b",              // surrogates are never upper-cased: 𐐨 stays after 𐐀
    u"\U0001F600",               // 😀 (D83D DE00): before the units from 0xE000 up
    u"\uE000",                   // a private use unit
    u"\uFF21",      u"\uFF41",   // Ａ, ａ
    u"\uFF42",                   // ｂ
};

TEST(NtfsOrderTest, NamesCompareAsTheirUnitsUpperCasedThenRaw) {
  const size_t count = std::size(kNtfsOrder);
  for (size_t i = 0; i < count; ++i) {
    const std::u16string_view a = kNtfsOrder[i];
    EXPECT_FALSE(PckNtfsNameLess(a, a)) << U8(a);
    for (size_t j = i + 1; j < count; ++j) {
      const std::u16string_view b = kNtfsOrder[j];
      EXPECT_TRUE(PckNtfsNameLess(a, b)) << U8(a) << " before " << U8(b);
      EXPECT_FALSE(PckNtfsNameLess(b, a)) << U8(b) << " not before " << U8(a);
    }
  }
  // Sorting any arrangement of the names gives the table back.
  std::vector<std::u16string> names(std::begin(kNtfsOrder), std::end(kNtfsOrder));
  const std::vector<std::u16string> expected = names;
  std::reverse(names.begin(), names.end());
  std::rotate(names.begin(), names.begin() + 17, names.end());
  std::sort(names.begin(), names.end(), PckNtfsNameLess);
  EXPECT_EQ(Names(expected), Names(names));
}

// --- The file search and -c --sort -------------------------------------------------

// A tree whose names are all in code page 936 and differ in more than case, so that
// Windows keeps them too. Its files are made in an order that is none of the orders
// below, so the host's listing differs from NTFS's order.
const char* const kTreeInOrder[] = {
    "10.txt",  "9.txt", "a",     "a.b",      "ab",        "ax",     "B/Y.txt", "B/z.txt",
    "B/_.txt", "c.txt", "Zed",   "_x",       "é.txt",     "ü.txt",  "α.txt",   "Β.txt",
    "ё.txt",   "а.txt", "Б.txt", "中/a.txt", "中/文.txt", "Ａ.txt", "ｂ.txt",
};

class SortTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    const size_t count = std::size(kTreeInOrder);
    for (size_t step = 0; step < count; ++step) {
      const size_t i = (step * 7 + 3) % count;  // 7 and the count share no factor
      WriteFile(Path(std::string("tree/") + kTreeInOrder[i]),
                testutil::Text(100 + 37 * i, std::string(kTreeInOrder[i]) + " "));
    }
  }

  // The entry names of the package, in table order.
  std::vector<std::string> EntryNames(const std::string& package) {
    PckArchive archive;
    EXPECT_PCK_OK(archive.Open(U16(Path(package))));
    std::vector<std::string> names;
    for (const PckEntry& entry : archive.entries()) names.push_back(U8(EntryNameView(entry.name)));
    return names;
  }

  static std::vector<std::string> SortedNames() {
    std::vector<std::string> names;
    for (const char* name : kTreeInOrder) {
      std::string entry = name;
      std::replace(entry.begin(), entry.end(), '/', '\\');
      names.push_back(entry);
    }
    return names;
  }

  RunResult Run(const std::vector<std::string>& args, int status) {
    RunResult result = RunTool(args);
    EXPECT_EQ(status, result.exitCode) << testing::PrintToString(args) << " err: " << result.err;
    return result;
  }
};

// A host that lists every folder backwards: the search's order must not depend on it.
class BackwardsListing : public host::HostWrapper {
 public:
  BackwardsListing() : HostWrapper(host::Host::Default()) {}
  bool ListDirectory(const std::u16string& directory, std::vector<host::DirItem>* items) override {
    if (!target_.ListDirectory(directory, items)) return false;
    std::reverse(items->begin(), items->end());
    return true;
  }
};

TEST_F(SortTest, SearchTakesEachFolderInNtfsOrderWhateverTheHostLists) {
  const std::u16string base = U16(Path("tree")) + host::kPathSeparator;
  auto relative = [&](const FileList& files) {
    std::vector<std::string> names;
    for (const std::u16string& file : files) {
      std::u16string name = file.substr(base.size());
      std::replace(name.begin(), name.end(), host::kPathSeparator, u'\\');
      names.push_back(U8(name));
    }
    return names;
  };
  FileList hostOrder;
  FileList sorted;
  ASSERT_TRUE(CollectFiles(base, &hostOrder));
  ASSERT_TRUE(CollectFiles(base, &sorted, nullptr, nullptr, SearchOrder::kNtfs));
  EXPECT_EQ(SortedNames(), relative(sorted));

  BackwardsListing backwards;
  host::Host::SetCurrent(&backwards);
  FileList reversedHostOrder;
  FileList sortedAgain;
  ASSERT_TRUE(CollectFiles(base, &reversedHostOrder));
  ASSERT_TRUE(CollectFiles(base, &sortedAgain, nullptr, nullptr, SearchOrder::kNtfs));
  host::Host::SetCurrent(nullptr);
  // Without --sort the search keeps the host's order (here the other way round) ...
  EXPECT_NE(relative(hostOrder), relative(reversedHostOrder));
  // ... with it the order is NTFS's, whatever the host lists.
  EXPECT_EQ(SortedNames(), relative(sortedAgain));
}

TEST_F(SortTest, CreateWithSortWritesTheEntriesInNtfsOrder) {
  const RunResult sorted = Run({"-c", "tree", "--sort", "sorted.pck"}, 0);
  EXPECT_EQ("", sorted.err);
  EXPECT_EQ(SortedNames(), EntryNames("sorted.pck"));
  // One summary line: entries, their bytes, what they take in the package.
  PckArchive archive;
  ASSERT_PCK_OK(archive.Open(U16(Path("sorted.pck"))));
  uint64_t size = 0;
  uint64_t stored = 0;
  for (const PckEntry& entry : archive.entries()) {
    size += entry.dataSize;
    stored += entry.storedSize;
  }
  EXPECT_EQ(Console("created sorted.pck: 23 entries, " + std::to_string(size) +
                    " bytes, stored in " + std::to_string(stored) + " bytes\n"),
            sorted.out);

  // The same tree without --sort comes in the host's order, which here is another
  // (on NTFS, where the host lists in this order too, the two agree).
  Run({"-c", "tree", "--", "host.pck"}, 0);
  if (!testutil::kWindowsHost) {
    EXPECT_NE(SortedNames(), EntryNames("host.pck"));
  }
  // The level and --sort in any place; the package is written whole at that level.
  Run({"--sort", "-z", "0", "-c", "tree", "sorted0.pck"}, 0);
  EXPECT_EQ(SortedNames(), EntryNames("sorted0.pck"));
  PckArchive plain;
  ASSERT_PCK_OK(plain.Open(U16(Path("sorted0.pck"))));
  for (const PckEntry& entry : plain.entries()) EXPECT_EQ(entry.dataSize, entry.storedSize);
}

// --add takes --sort too: to a missing package it writes the bytes of -c --sort; to a
// package that holds some of the names it appends the others in NTFS's order.
TEST_F(SortTest, AddWithSortAppendsInNtfsOrder) {
  Run({"-c", "tree", "--sort", "sorted.pck"}, 0);
  Run({"--add", "tree", "--sort", "added.pck"}, 0);
  EXPECT_EQ(ReadFile(Path("sorted.pck")), ReadFile(Path("added.pck")));

  // Start from a package of the last name alone: the file of that name replaces it
  // in place, the others are appended behind it in NTFS's order.
  const std::vector<std::string> names = SortedNames();
  const std::string last = names.back();
  std::string relative = last;
  for (char& c : relative) {
    if (c == '\\') c = '/';
  }
  fs::create_directories((Path("one") / testutil::P(relative)).parent_path());
  fs::copy_file(Path("tree") / testutil::P(relative), Path("one") / testutil::P(relative));
  Run({"--add", "one", "--", "grown.pck"}, 0);
  Run({"--add", "tree", "--sort", "grown.pck"}, 0);
  std::vector<std::string> expected = {last};
  expected.insert(expected.end(), names.begin(), names.end() - 1);
  EXPECT_EQ(expected, EntryNames("grown.pck"));
}

// A run with a long option but without --sort writes what the original's command line
// writes, byte for byte, at every level.
TEST_F(SortTest, LongRunWithoutSortWritesTheOriginalsPackage) {
  const struct {
    std::vector<std::string> level;
  } cases[] = {{{}}, {{"-z", "-1"}}, {{"-z", "0"}}, {{"-z", "1"}}, {{"-z", "9"}}};
  for (const auto& c : cases) {
    std::vector<std::string> original = {"-c", "tree"};
    original.insert(original.end(), c.level.begin(), c.level.end());
    std::vector<std::string> longRun = original;
    original.push_back("original.pck");
    longRun.insert(longRun.end(), {"--", "long.pck"});
    EXPECT_EQ(1, RunTool(original).exitCode);
    const RunResult result = Run(longRun, 0);
    EXPECT_EQ("", result.err);
    const std::string bytes = ReadFile(Path("original.pck"));
    EXPECT_FALSE(bytes.empty());
    EXPECT_EQ(bytes, ReadFile(Path("long.pck"))) << testing::PrintToString(c.level);
  }
}

// What cannot be packed ends the run with 2 (the folder or the package cannot be had)
// or 1 (a file below the folder), says which and why on standard error, prints nothing
// on standard output and leaves a package already there as it was.
TEST_F(SortTest, FailuresLeaveNoPackageAndEndWithTheirStatus) {
  WriteFile(Path("old.pck"), "the old package");
  WriteFile(Path("bad/ok.txt"), "fine");
  WriteFile(Path("bad/gro\xC3\x9F.txt"), "no code page 936 form");  // ß
  const struct {
    std::vector<std::string> args;
    int status;
    std::string errBegins;
  } cases[] = {
      {{"-c", "missing", "--sort", "old.pck"}, 2, "quillo: missing: "},
      {{"-c", "tree", "--sort", HostPath("no/such/dir.pck")},
       2,
       "quillo: " + HostPath("no/such/dir.pck") + ": file open error: "},
      // (The name is checked before anything is written.)
      {{"-c", "bad", "--sort", "old.pck"}, 1, "quillo: " + HostPath("bad/gro")},
  };
  for (const auto& c : cases) {
    const RunResult result = Run(c.args, c.status);
    const std::string err = ErrorText(result.err);
    EXPECT_EQ("", result.out);
    EXPECT_EQ(c.errBegins, err.substr(0, c.errBegins.size()))
        << testing::PrintToString(c.args) << " err: " << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
    EXPECT_EQ("the old package", ReadFile(Path("old.pck")));
  }
  EXPECT_NE(
      std::string::npos,
      ErrorText(Run({"-c", "bad", "--", "old.pck"}, 1).err).find(".txt: file operation error: "));
  EXPECT_FALSE(fs::exists(Path("no")));
  for (const std::string& path : testutil::TreeListing(dir_)) {
    EXPECT_FALSE(path.size() > 4 && path.substr(path.size() - 4) == ".tmp") << path;
  }
}

TEST_F(SortTest, BadCreateCommandLinesEndWithStatusTwo) {
  const struct {
    std::vector<std::string> args;
    std::string what;
  } cases[] = {
      {{"--sort", "-c"}, "-c: give the folder"},
      {{"-c", "tree", "--sort", "-z"}, "-z: give the level"},
      {{"-c", "tree", "-z", "10", "--sort", "p.pck"}, "-z 10: give a level from -1 to 9"},
      {{"-c", "tree", "-z", "-2", "--sort", "p.pck"}, "-z -2: give a level from -1 to 9"},
      {{"-c", "tree", "-z", "x", "--sort", "p.pck"}, "-z x: give a level from -1 to 9"},
      {{"-c", "tree", "-z", "5x", "--sort", "p.pck"}, "-z 5x: give a level from -1 to 9"},
      {{"-c", "tree", "--sort"}, "-c: give the package"},
      {{"-c", "tree", "--sort", "p.pck", "q.pck"}, "q.pck: one argument too many"},
      {{"-c", "tree", "--sort=yes", "p.pck"}, "--sort: takes no value"},
      {{"-x", "--sort", "p.pck"}, "--sort: only with -c or --add"},
      {{"--delete", "a", "--sort", "p.pck"}, "--sort: only with -c or --add"},
      {{"--ls", "-z", "5", "p.pck"}, "-z: only with -c, --add or --delete"},
      {{"-c", "tree", "--ls", "p.pck"}, "-c and --ls: give one command only"},
      {{"-c", "tree", "--include", "a", "p.pck"},
       "--include, --exclude and --files-from: only with -x, --ls or --test"},
      {{"-c", "tree", "--json", "p.pck"}, "--json: only with --ls or --test"},
      {{"-c", "tree", "-d", "--sort", "p.pck"}, "-d: only with -x"},
  };
  for (const auto& c : cases) {
    const RunResult result = Run(c.args, 2);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("quillo: " + c.what + "\nquillo: see 'quillo --help' for the options\n",
              ErrorText(result.err))
        << testing::PrintToString(c.args);
  }
  EXPECT_FALSE(fs::exists(Path("p.pck")));
}

}  // namespace
