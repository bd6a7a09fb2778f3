// edit_test.cpp - --add and --delete: entries replaced in place, appended and
// dropped, every other entry's stored bytes carried over byte for byte, the layout
// exactly Create's, nothing written when nothing changes, and the old package left
// as it was by every failure, kill and interruption.
#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <functional>
#include <map>
#include <set>

#include "archive.h"
#include "file_search.h"
#include "hooked_host.h"
#include "name_match.h"
#include "names.h"
#include "pck_writer.h"
#include "test_util.h"
#include "work_queue.h"

namespace {

namespace fs = std::filesystem;
using testutil::Noise;
using testutil::PathU8;
using testutil::ReadFile;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::Text;
using testutil::U16;
using testutil::U8;
using testutil::WriteFile;

// What the tool wrote to a console stream, as UTF-8 with LF line ends on every host.
std::string AsText(const std::string& bytes) {
  if (!testutil::kWindowsHost) return bytes;
  std::string text;
  for (char c : U8(host::Cp936ToUtf16(bytes))) {
    if (c != '\r') text.push_back(c);
  }
  return text;
}

std::string Summary(uint64_t replaced, uint64_t added, uint64_t deleted, uint64_t copied,
                    uint64_t encoded) {
  return "replaced " + std::to_string(replaced) + ", added " + std::to_string(added) +
         ", deleted " + std::to_string(deleted) + ", copied " + std::to_string(copied) +
         " bytes, encoded " + std::to_string(encoded) + " bytes\n";
}

// The entries of a package as it reads.
EntryList EntriesOf(const fs::path& package) {
  PckArchive archive;
  EXPECT_PCK_OK(archive.Open(U16(package)));
  return archive.entries();
}

std::string NameOf(const PckEntry& entry) { return U8(EntryNameView(entry.name)); }

// A name as an edit compares it: '/' is '\', ASCII letters in lower case.
std::string Folded(std::string name) {
  for (char& c : name) {
    if (c == '/') c = '\\';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

std::vector<std::string> NamesOf(const EntryList& entries) {
  std::vector<std::string> names;
  for (const PckEntry& entry : entries) names.push_back(NameOf(entry));
  return names;
}

// The stored bytes of an entry, as they lie in the package.
std::string StoredBytes(const std::string& package, const PckEntry& entry) {
  return package.substr(entry.offset, entry.storedSize);
}

// The data of the entry named `name`, read back through the library.
std::string DataOf(const fs::path& package, const std::string& name) {
  PckArchive archive;
  EXPECT_PCK_OK(archive.Open(U16(package)));
  for (const PckEntry& entry : archive.entries()) {
    if (NameOf(entry) != name) continue;
    ByteBuffer data;
    EXPECT_PCK_OK(archive.ReadEntry(entry, &data));
    return std::string(data.begin(), data.end());
  }
  ADD_FAILURE() << "no entry " << name;
  return {};
}

class EditTest : public TempDirTest {
 protected:
  // The tree "src" that "game.pck" is made of: text, noise, an empty file, folders.
  void MakeTree() {
    fs::remove_all(Path("src"));
    WriteFile(Path("src/a.txt"), Text(5000, "alpha "));
    WriteFile(Path("src/noise.bin"), Noise(7000, 1));
    WriteFile(Path("src/sub/b.txt"), Text(9000, "beta "));
    WriteFile(Path("src/sub/c.bin"), Noise(3000, 2));
    WriteFile(Path("src/sub/deep/d.txt"), Text(4000, "delta "));
    WriteFile(Path("src/empty.txt"), "");
    WriteFile(Path("src/z.txt"), Text(6000, "zeta "));
  }

  // -c of the tree at `level`, as the original's command line makes it.
  void CreateWithC(const std::string& tree, const std::string& package, int level = 9) {
    RunResult run = RunTool({"-c", tree, "-z", std::to_string(level), package});
    ASSERT_EQ(1, run.exitCode);
    ASSERT_TRUE(fs::exists(Path(package)));
  }

  // "game.pck" from a fresh tree; returns its bytes.
  std::string MakePackage() {
    MakeTree();
    CreateWithC("src", "game.pck");
    return ReadFile(Path("game.pck"));
  }

  RunResult Run(const std::vector<std::string>& args, int status, const RunOptions& options = {}) {
    RunResult result = RunTool(args, options);
    EXPECT_EQ(status, result.exitCode) << testing::PrintToString(args) << " err: " << result.err;
    // Console text is code page 936 with CR LF on Windows: compare it as UTF-8 lines.
    result.out = AsText(result.out);
    result.err = AsText(result.err);
    return result;
  }

  // Names in the scratch folder (or one below it) that a temporary package would have.
  std::set<std::string> Temporaries(const std::string& folder = "") const {
    std::set<std::string> out;
    for (const auto& item : fs::directory_iterator(folder.empty() ? dir_ : Path(folder))) {
      const std::string name = PathU8(item.path().filename());
      if (name.ends_with(".tmp")) out.insert(name);
    }
    return out;
  }
};

// --- Copying between files ------------------------------------------------------------

// File::CopyFrom (in the kernel where the host can) and the portable CopyByReading
// append a range of the source behind what was written before, buffered or not,
// and stop short where the source ends.
TEST_F(EditTest, CopyFromAppendsARangeBehindWhatWasWritten) {
  const std::string source = Noise(3 << 20, 4);
  WriteFile(Path("source.bin"), source);
  host::Host& h = host::Host::Current();
  const struct {
    const char* label;
    bool portable;
  } ways[] = {{"File::CopyFrom", false}, {"CopyByReading", true}};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.label);
    auto from = h.OpenFile(U16(Path("source.bin")), host::OpenMode::kRead);
    auto to = h.OpenFile(U16(Path("target.bin")), host::OpenMode::kWrite);
    ASSERT_TRUE(from && to);
    auto copy = [&](int64_t position, uint64_t size) {
      return way.portable ? host::CopyByReading(*from, position, *to, size)
                          : to->CopyFrom(*from, position, size);
    };
    ASSERT_EQ(5u, to->Write("head:", 5));  // still in the write buffer
    EXPECT_EQ(uint64_t{2} << 20, copy(12345, uint64_t{2} << 20));
    ASSERT_EQ(1u, to->Write("|", 1));
    EXPECT_EQ(0u, copy(100, 0));
    EXPECT_EQ(1000u, copy(static_cast<int64_t>(source.size()) - 1000, 5000));  // ends early
    EXPECT_EQ(int64_t{5 + (2 << 20) + 1 + 1000}, to->Tell());
    ASSERT_TRUE(to->Close());
    EXPECT_EQ("head:" + source.substr(12345, 2 << 20) + "|" + source.substr(source.size() - 1000),
              ReadFile(Path("target.bin")));
  }
}

// --- Replacing, adding, deleting ----------------------------------------------------

// A file whose name is in the package takes the entry's place in the table, also
// when its name differs in case; every other entry's stored bytes are the old ones.
TEST_F(EditTest, ReplacesAnEntryInItsPlaceAndCarriesTheOthersByteForByte) {
  const struct {
    const char* label;
    std::string added;  // below "new"
    std::string name;   // the entry's name afterwards
  } cases[] = {
      {"the same name", "sub/b.txt", "sub\\b.txt"},
      {"in other case", "SUB/B.TXT", "SUB\\B.TXT"},
      {"an empty entry given data", "empty.txt", "empty.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string old = MakePackage();
    const EntryList before = EntriesOf(Path("game.pck"));
    const std::string data = Text(12000, "changed ");
    fs::remove_all(Path("new"));
    WriteFile(Path("new/" + c.added), data);

    const RunResult run = Run({"--add", "new", "game.pck"}, 0);
    const std::string now = ReadFile(Path("game.pck"));
    const EntryList after = EntriesOf(Path("game.pck"));
    ASSERT_EQ(before.size(), after.size());
    uint64_t copied = 0;
    size_t replaced = 0;
    for (size_t k = 0; k < before.size(); ++k) {
      if (NameOf(after[k]) == c.name) {
        replaced = k;
        continue;
      }
      EXPECT_EQ(NameOf(before[k]), NameOf(after[k]));
      EXPECT_EQ(before[k].dataSize, after[k].dataSize);
      EXPECT_EQ(StoredBytes(old, before[k]), StoredBytes(now, after[k])) << NameOf(after[k]);
      copied += before[k].storedSize;
    }
    EXPECT_EQ(Folded(c.name), Folded(NameOf(before[replaced])));
    EXPECT_EQ(data, DataOf(Path("game.pck"), c.name));
    EXPECT_EQ(Summary(1, 0, 0, copied, data.size()), run.out);
    EXPECT_EQ("", run.err);
    EXPECT_TRUE(Temporaries().empty());
  }
}

// A package whose names are stored with '/' (or in another case) takes the file of
// the same name in the entry's place, and holds one entry of the name afterwards:
// a later entry of the name would come out over the new data when extracted.
TEST_F(EditTest, NamesThatDifferOnlyInSeparatorOrCaseReplaceNotDuplicate) {
  using pckfix::FixtureEntry;
  pckfix::FixturePackage fixture;
  for (const char* name : {"Dir/One.txt", "two.txt", "dir\\one.TXT", "three.txt"}) {
    FixtureEntry entry;
    entry.name = name;
    entry.data = Text(3000, std::string(name) + " ");
    fixture.entries.push_back(entry);
  }
  WriteFile(Path("game.pck"), pckfix::BuildPackage(fixture));
  WriteFile(Path("new/dir/one.txt"), "new one");
  WriteFile(Path("new/TWO.TXT"), "new two");
  const RunResult run = Run({"--add", "new", "game.pck"}, 0);
  EXPECT_EQ((std::vector<std::string>{"dir\\one.txt", "TWO.TXT", "three.txt"}),
            NamesOf(EntriesOf(Path("game.pck"))));
  EXPECT_EQ("new one", DataOf(Path("game.pck"), "dir\\one.txt"));
  EXPECT_EQ("new two", DataOf(Path("game.pck"), "TWO.TXT"));
  EXPECT_TRUE(run.out.starts_with("replaced 2, added 0, deleted 1, ")) << run.out;
}

// New names go behind the entries, in the order the file search finds them, and
// the progress goes to a terminal only.
TEST_F(EditTest, NewNamesAreAppendedInSearchOrder) {
  MakePackage();
  const EntryList before = EntriesOf(Path("game.pck"));
  WriteFile(Path("new/sub/b.txt"), "replaced");
  WriteFile(Path("new/n1.txt"), "one");
  WriteFile(Path("new/more/n2.txt"), "two");
  WriteFile(Path("new/more/n3.txt"), "three");
  std::u16string base = U16(Path("new")) + host::kPathSeparator;
  FileList found;
  ASSERT_TRUE(CollectFiles(base, &found));
  std::vector<std::string> expected = NamesOf(before);
  for (const std::u16string& path : found) {
    std::string name = U8(path.substr(base.size()));
    std::replace(name.begin(), name.end(), static_cast<char>(host::kPathSeparator), '\\');
    if (name != "sub\\b.txt") expected.push_back(name);
  }
  RunOptions terminal;
#ifndef _WIN32
  terminal.stderrTerminal = true;
#endif
  const RunResult run = Run({"--add", "new", "game.pck"}, 0, terminal);
  EXPECT_EQ(expected, NamesOf(EntriesOf(Path("game.pck"))));
  EXPECT_TRUE(run.out.starts_with("replaced 1, added 3, deleted 0, ")) << run.out;
  EXPECT_TRUE(run.out.ends_with(", encoded 19 bytes\n")) << run.out;
  if (terminal.stderrTerminal) {
    EXPECT_NE(std::string::npos, run.err.find(testutil::Progress("write data", 10, 10))) << run.err;
  }
  EXPECT_EQ("three", DataOf(Path("game.pck"), "more\\n3.txt"));
}

TEST_F(EditTest, DeletesByNameFolderAndGlob) {
  const struct {
    std::vector<std::string> patterns;
    std::vector<std::string> left;
  } cases[] = {
      {{"sub/b.txt"},
       {"a.txt", "noise.bin", "sub\\c.bin", "sub\\deep\\d.txt", "empty.txt", "z.txt"}},
      {{"SUB"}, {"a.txt", "noise.bin", "empty.txt", "z.txt"}},
      {{"**/*.bin", "z.txt"}, {"a.txt", "sub\\b.txt", "sub\\deep\\d.txt", "empty.txt"}},
      {{"*.txt"}, {"noise.bin", "sub\\b.txt", "sub\\c.bin", "sub\\deep\\d.txt"}},
      {{"*"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.patterns));
    const std::string old = MakePackage();
    const EntryList before = EntriesOf(Path("game.pck"));
    std::vector<std::string> args;
    for (const std::string& pattern : c.patterns) {
      args.push_back("--delete");
      args.push_back(pattern);
    }
    args.push_back("game.pck");
    const RunResult run = Run(args, 0);
    const EntryList after = EntriesOf(Path("game.pck"));
    std::vector<std::string> left = c.left;
    // The order is the table's; the expectations list the names as a set.
    std::vector<std::string> names = NamesOf(after);
    std::sort(left.begin(), left.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(left, names);
    uint64_t copied = 0;
    for (const PckEntry& entry : after) copied += entry.storedSize;
    EXPECT_EQ(Summary(0, 0, before.size() - after.size(), copied, 0), run.out);
    if (after.empty()) {
      EXPECT_EQ(292u, ReadFile(Path("game.pck")).size());
    }
  }
}

// A --delete that matches nothing fails the run before anything is written, and
// says which; the other patterns are not applied either.
TEST_F(EditTest, DeletionThatMatchesNothingChangesNothing) {
  const std::string old = MakePackage();
  const RunResult run =
      Run({"--delete", "sub", "--delete", "nope*", "--delete", "a.txt/x", "game.pck"}, 1);
  EXPECT_EQ("", run.out);
  EXPECT_EQ(
      "quillo: --delete nope*: matches no entry\nquillo: --delete a.txt/x: matches no "
      "entry\n",
      run.err);
  EXPECT_EQ(old, ReadFile(Path("game.pck")));
  EXPECT_TRUE(Temporaries().empty());
}

// Nothing to add: the package is not written at all (the same file, untouched).
TEST_F(EditTest, AddingAnEmptyFolderChangesNothing) {
  const std::string old = MakePackage();
  fs::create_directories(Path("empty/only/folders"));
  host::FileId before, after;
  ASSERT_TRUE(host::Host::Current().GetFileId(U16(Path("game.pck")), &before));
  const RunResult run = Run({"--add", "empty", "-z", "1", "game.pck"}, 0);
  EXPECT_EQ(Summary(0, 0, 0, 0, 0), run.out);
  EXPECT_EQ(old, ReadFile(Path("game.pck")));
  ASSERT_TRUE(host::Host::Current().GetFileId(U16(Path("game.pck")), &after));
  EXPECT_EQ(before, after);
}

// Deletions come first: a folder deleted and added again in one run holds the new
// files only, behind the other entries.
TEST_F(EditTest, DeleteThenAddInOneRun) {
  MakePackage();
  WriteFile(Path("new/sub/b.txt"), "the new b");
  std::vector<std::string> expected;
  for (const std::string& name : NamesOf(EntriesOf(Path("game.pck")))) {
    if (!name.starts_with("sub\\")) expected.push_back(name);
  }
  expected.push_back("sub\\b.txt");
  const RunResult run = Run({"--delete", "sub", "--add", "new", "game.pck"}, 0);
  EXPECT_EQ(expected, NamesOf(EntriesOf(Path("game.pck"))));
  EXPECT_TRUE(run.out.starts_with("replaced 0, added 1, deleted 3, ")) << run.out;
  EXPECT_EQ("the new b", DataOf(Path("game.pck"), "sub\\b.txt"));
}

// The layout is Create's: --add of a tree to a missing package, and -z L --delete
// of a package made by -c -z L, give the bytes of -c -z L of the same tree, with
// one worker thread and several.
TEST_F(EditTest, LayoutIsExactlyCreates) {
  const char* const deletions[] = {"sub/b.txt", "sub", "*.bin"};
  for (const int level : {-1, 0, 1, 9}) {
    for (const char* threads : {"1", "3"}) {
      SCOPED_TRACE("level " + std::to_string(level) + ", " + threads + " threads");
      RunOptions options;
      options.env = {std::string("QUILLO_THREADS=") + threads};
      const std::string z = std::to_string(level);
      MakeTree();
      CreateWithC("src", "c.pck", level);
      fs::remove(Path("a.pck"));
      const RunResult run = Run({"--add", "src", "-z", z, "a.pck"}, 0, options);
      EXPECT_EQ(ReadFile(Path("c.pck")), ReadFile(Path("a.pck")));
      EXPECT_TRUE(run.out.starts_with("replaced 0, added 7, deleted 0, copied 0 bytes, "))
          << run.out;

      for (const char* pattern : deletions) {
        SCOPED_TRACE(pattern);
        MakeTree();
        CreateWithC("src", "d.pck", level);
        Run({"-z", z, "--delete", pattern, "d.pck"}, 0, options);
        // The same tree without the files deleted, searched in the same order.
        for (const std::string& name : NamesOf(EntriesOf(Path("c.pck")))) {
          if (PckNamePattern(host::Utf8ToUtf16(pattern)).Matches(host::Utf8ToUtf16(name))) {
            std::string path = name;
            std::replace(path.begin(), path.end(), '\\', '/');
            fs::remove(Path("src/" + path));
          }
        }
        CreateWithC("src", "e.pck", level);
        EXPECT_EQ(ReadFile(Path("e.pck")), ReadFile(Path("d.pck")));
      }
    }
  }
}

// The package itself lying in the tree added is not added to itself.
TEST_F(EditTest, PackageInTheTreeIsNotAddedToItself) {
  MakeTree();
  CreateWithC("src", "src/game.pck");
  const size_t before = EntriesOf(Path("src/game.pck")).size();
  WriteFile(Path("src/new.txt"), "new");
  const RunResult run = Run({"--add", "src", "src/game.pck"}, 0);
  const EntryList after = EntriesOf(Path("src/game.pck"));
  EXPECT_EQ(before + 1, after.size());
  EXPECT_EQ("new.txt", NameOf(after.back()));
}

// --- Links and permissions ---------------------------------------------------------

// A link at the package path: the file it leads to is edited in its own folder, the
// link stays a link, and the package keeps its permission bits.
TEST_F(EditTest, LinkStaysALinkAndThePermissionsStay) {
  SKIP_UNLESS_LINUX("symbolic links and POSIX permission bits");
#ifndef _WIN32
  MakeTree();
  fs::create_directory(Path("store"));
  CreateWithC("src", "store/real.pck");
  ASSERT_EQ(0, chmod(Path("store/real.pck").c_str(), 0604));
  fs::create_symlink("store/real.pck", Path("game.pck"));
  WriteFile(Path("new/x.txt"), "x");
  Run({"--add", "new", "game.pck"}, 0);
  EXPECT_TRUE(fs::is_symlink(Path("game.pck")));
  EXPECT_EQ("x", DataOf(Path("store/real.pck"), "x.txt"));
  struct stat st;
  ASSERT_EQ(0, stat(Path("store/real.pck").c_str(), &st));
  EXPECT_EQ(0604u, st.st_mode & 07777);
  EXPECT_EQ((std::set<std::string>{"real.pck"}), [&] {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(Path("store")))
      names.insert(PathU8(item.path().filename()));
    return names;
  }());
#endif
}

// --- The command line --------------------------------------------------------------

TEST_F(EditTest, BadCommandLinesAndPackagesThatDoNotOpenEndWithTwo) {
  MakePackage();
  WriteFile(Path("notpck.pck"), "not a package at all, just some text");
  WriteFile(Path("new/x.txt"), "x");
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--add"}, "quillo: --add: needs a value"},
      {{"--add", "new"}, "quillo: --add/--delete: give the package"},
      {{"--add", "new", "--add", "src", "game.pck"}, "quillo: --add: given twice"},
      {{"--add", "new", "-z", "10", "game.pck"}, "quillo: -z 10: give a level from -1 to 9"},
      {{"--add", "new", "-z", "x", "game.pck"}, "quillo: -z x: give a level from -1 to 9"},
      {{"--add", "new", "-z"}, "quillo: -z: give the level"},
      {{"--ls", "-z", "1", "game.pck"}, "quillo: -z: only with -c, --add or --delete"},
      {{"--add", "new", "--include", "x", "game.pck"},
       "quillo: --include, --exclude and --files-from: only with -x, --ls or --test"},
      {{"--delete", "x", "--ls", "game.pck"},
       "quillo: --add/--delete and --ls: give one command only"},
  };
  for (const auto& c : cases) {
    const RunResult run = Run(c.args, 2);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(c.err + "\nquillo: see 'quillo --help' for the options\n", run.err)
        << testing::PrintToString(c.args);
  }
  // Packages that do not open, and a folder that cannot be searched.
  const struct {
    std::vector<std::string> args;
    std::string err;
  } unopened[] = {
      {{"--delete", "x", "missing.pck"}, "quillo: missing.pck: file open error: "},
      {{"--add", "new", "notpck.pck"}, "quillo: notpck.pck: not supported"},
      {{"--add", "nodir", "game.pck"}, "quillo: nodir: "},
  };
  const std::string old = ReadFile(Path("game.pck"));
  for (const auto& c : unopened) {
    const RunResult run = Run(c.args, 2);
    EXPECT_EQ("", run.out);
    EXPECT_TRUE(run.err.starts_with(c.err)) << run.err;
  }
  EXPECT_EQ(old, ReadFile(Path("game.pck")));
  EXPECT_FALSE(fs::exists(Path("missing.pck")));
  EXPECT_TRUE(Temporaries().empty());
}

// --- Failures ----------------------------------------------------------------------

// A host that fails one step of an edit: opening or reading a source, a write, the
// flush or the rename of the new package.
class FailingHost : public host::HostWrapper {
 public:
  explicit FailingHost(testutil::Faults temporary)
      : HostWrapper(host::Host::Default()), temporary_(temporary) {}
  std::unique_ptr<host::File> OpenFile(const std::u16string& path, host::OpenMode mode) override {
    if (path == unreadable) return nullptr;
    auto file = target_.OpenFile(path, mode);
    if (file && path == shortRead) {
      testutil::Faults faults;
      faults.shortRead = true;
      return std::make_unique<testutil::FaultyFile>(std::move(file), faults);
    }
    return file;
  }
  std::unique_ptr<host::File> CreateTemporaryBeside(const std::u16string& path,
                                                    std::u16string* tempPath) override {
    auto file = target_.CreateTemporaryBeside(path, tempPath);
    if (!file) return file;
    return std::make_unique<testutil::FaultyFile>(std::move(file), temporary_);
  }
  bool ReplaceFile(const std::u16string& from, const std::u16string& to) override {
    return !failRename && target_.ReplaceFile(from, to);
  }
  std::u16string unreadable;
  std::u16string shortRead;
  bool failRename = false;

 private:
  testutil::Faults temporary_;
};

TEST_F(EditTest, FailureInTheMiddleLeavesTheOldPackage) {
  const std::string old = MakePackage();
  WriteFile(Path("new/sub/b.txt"), Noise(20000, 5));
  WriteFile(Path("new/added.txt"), Text(3000, "added "));
  std::u16string base = U16(Path("new")) + host::kPathSeparator;
  PckChanges changes;
  changes.baseDirectory = base;
  ASSERT_TRUE(CollectFiles(base, &changes.files));
  const std::u16string source = base + u"sub" + host::kPathSeparator + u"b.txt";
  struct Case {
    const char* label;
    std::function<void(FailingHost&)> arm;
    testutil::Faults temporary;
    std::u16string subject;  // empty: the package
  };
  testutil::Faults writeFails;
  writeFails.failWriteAt = 10000;  // in the stored bytes carried over
  testutil::Faults lateWriteFails;
  lateWriteFails.failWriteAt = static_cast<int64_t>(old.size()) + 5000;  // in the new data
  testutil::Faults syncFails;
  syncFails.failSync = true;
  const Case cases[] = {
      {"an unreadable source", [&](FailingHost& h) { h.unreadable = source; }, {}, source},
      {"a source that reads short", [&](FailingHost& h) { h.shortRead = source; }, {}, source},
      {"a write of the carried bytes", nullptr, writeFails, u""},
      {"a write of the new data", nullptr, lateWriteFails, u""},
      {"the flush", nullptr, syncFails, u""},
      {"the rename", [](FailingHost& h) { h.failRename = true; }, {}, u""},
  };
  const EntryList before = EntriesOf(Path("game.pck"));
  for (const unsigned threads : {1u, 3u}) {
    SetPckThreadCount(threads);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.label) + ", " + std::to_string(threads) + " threads");
      FailingHost failing(c.temporary);
      if (c.arm) c.arm(failing);
      host::Host::SetCurrent(&failing);
      PckArchive archive;
      PckEditResult result;
      const PckStatus status = archive.Edit(U16(Path("game.pck")), changes, 9, nullptr, &result);
      host::Host::SetCurrent(nullptr);
      EXPECT_EQ(PckStatus::kFileOperationError, status);
      EXPECT_EQ(c.subject.empty() ? U16(Path("game.pck")) : c.subject, archive.failure().subject);
      EXPECT_FALSE(archive.failure().reason.empty());
      EXPECT_FALSE(result.unopened);
      EXPECT_EQ(old, ReadFile(Path("game.pck")));
      EXPECT_TRUE(Temporaries().empty()) << testing::PrintToString(Temporaries());
      // The object holds the old package, ready to be read.
      ASSERT_TRUE(archive.IsOpen());
      EXPECT_EQ(NamesOf(before), NamesOf(archive.entries()));
      ByteBuffer data;
      EXPECT_PCK_OK(archive.ReadEntry(archive.entries()[2], &data));
    }
  }
  SetPckThreadCount(0);

  // Without a fault the object holds the new package, its table as the file has it.
  PckArchive archive;
  PckEditResult result;
  ASSERT_PCK_OK(archive.Edit(U16(Path("game.pck")), changes, 9, nullptr, &result));
  EXPECT_EQ(1u, result.replaced);
  EXPECT_EQ(1u, result.added);
  ASSERT_TRUE(archive.IsOpen());
  const EntryList reread = EntriesOf(Path("game.pck"));
  ASSERT_EQ(reread.size(), archive.entries().size());
  for (size_t k = 0; k < reread.size(); ++k) {
    EXPECT_EQ(NameOf(reread[k]), NameOf(archive.entries()[k]));
    EXPECT_EQ(reread[k].offset, archive.entries()[k].offset);
    EXPECT_EQ(reread[k].storedSize, archive.entries()[k].storedSize);
    ByteBuffer data;
    EXPECT_PCK_OK(archive.ReadEntry(archive.entries()[k], &data));
    if (NameOf(reread[k]) == "sub\\b.txt") {
      EXPECT_EQ(ReadFile(Path("new/sub/b.txt")), std::string(data.begin(), data.end()));
    }
  }
}

// Stored bytes that lie beyond the end of the old package cannot be carried over:
// the edit fails, naming the entry, and writes nothing; deleting that entry works.
TEST_F(EditTest, EntryBeyondTheEndOfThePackageIsNotCarried) {
  pckfix::FixturePackage fixture;
  for (const char* name : {"a.txt", "lost.txt", "c.txt"}) {
    pckfix::FixtureEntry entry;
    entry.name = name;
    entry.data = Text(2000, std::string(name) + " ");
    fixture.entries.push_back(entry);
  }
  fixture.entries[1].offset = 1000000;
  const std::string old = pckfix::BuildPackage(fixture);
  WriteFile(Path("game.pck"), old);
  WriteFile(Path("new/d.txt"), "d");
  const RunResult failed = Run({"--add", "new", "game.pck"}, 1);
  EXPECT_EQ("", failed.out);
  EXPECT_EQ("quillo: lost.txt: its stored bytes lie beyond the end of the package\n", failed.err);
  EXPECT_EQ(old, ReadFile(Path("game.pck")));
  EXPECT_TRUE(Temporaries().empty());

  const RunResult deleted = Run({"--delete", "lost.txt", "game.pck"}, 0);
  EXPECT_TRUE(deleted.out.starts_with("replaced 0, added 0, deleted 1, ")) << deleted.out;
  EXPECT_EQ((std::vector<std::string>{"a.txt", "c.txt"}), NamesOf(EntriesOf(Path("game.pck"))));
  EXPECT_EQ(fixture.entries[2].data, DataOf(Path("game.pck"), "c.txt"));
}

#ifndef _WIN32

// A disk that fills up (a file-size limit here), while the carried bytes are copied
// or while the new data is written: the old package stays, nothing is left beside it.
TEST_F(EditTest, FullDiskLeavesTheOldPackage) {
  const std::string old = MakePackage();
  WriteFile(Path("new/big.bin"), Noise(60000, 9));
  // Half the old package: the copy of the carried bytes fails; beyond it, the new data.
  for (const uint64_t limit : {uint64_t{old.size() / 2}, uint64_t{old.size() + 20000}}) {
    SCOPED_TRACE(limit);
    RunOptions options;
    options.fileSizeLimit = limit;
    const RunResult run = Run({"--add", "new", "game.pck"}, 1, options);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("quillo: game.pck: File too large\n", run.err);
    EXPECT_EQ(old, ReadFile(Path("game.pck")));
    EXPECT_TRUE(Temporaries().empty());
  }
}

// --- Processes that die while editing (Linux: fork, kill, signals) ------------------

// The host that runs a hook at each write point (tests/hooked_host.h).
using testhook::HookedHost;

class DyingEditTest : public EditTest {
 protected:
  void SetUp() override {
    EditTest::SetUp();
    old_ = MakePackage();
    for (int i = 0; i < 12; ++i) {
      const std::string data = i % 4 == 0 ? Noise(30000, i) : Text(900 + 97 * i, "words ");
      WriteFile(Path("new/d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".txt"), data);
    }
    WriteFile(Path("new/sub/b.txt"), "replaced");
    changes_.baseDirectory = U16(Path("new")) + host::kPathSeparator;
    ASSERT_TRUE(CollectFiles(changes_.baseDirectory, &changes_.files));
    changes_.deletions = {u"noise.bin"};
  }

  PckStatus EditHere() {
    PckArchive archive;
    PckEditResult result;
    return archive.Edit(u"game.pck", changes_, 9, nullptr, &result);
  }

  // Runs the edit in a child with `threads` workers; `act` runs at point `point`.
  int EditInChild(unsigned threads, size_t point, void (*act)()) {
    const pid_t pid = fork();
    if (pid == 0) {
      SetPckThreadCount(threads);
      size_t seen = 0;
      HookedHost dying([&](const char*) {
        if (seen++ == point) act();
      });
      host::Host::SetCurrent(&dying);
      (void)EditHere();
      _exit(3);  // the point was never reached
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }

  std::string old_;
  PckChanges changes_;
};

using testhook::InterruptSelf;
using testhook::KillSelf;

// Killed at any write, copy, flush or rename point, the edit leaves the old package
// byte for byte (once the rename is done, the new one whole) and at most the
// temporary file beside it.
TEST_F(DyingEditTest, KillAtEachPointLeavesTheOldPackageWhole) {
  std::vector<std::string> points;
  {
    HookedHost counting([&](const char* what) { points.push_back(what); });
    host::Host::SetCurrent(&counting);
    ASSERT_PCK_OK(EditHere());
    host::Host::SetCurrent(nullptr);
  }
  const std::string edited = ReadFile(Path("game.pck"));
  ASSERT_NE(old_, edited);
  ASSERT_EQ("renamed", points.back());
  for (const char* kind : {"write", "copy", "sync", "rename"}) {
    EXPECT_NE(points.end(), std::find(points.begin(), points.end(), kind)) << kind;
  }
  WriteFile(Path("game.pck"), old_);

  for (const unsigned threads : {1u, 3u}) {
    for (size_t point = 0; point < points.size(); ++point) {
      SCOPED_TRACE(std::to_string(threads) + " threads, point " + std::to_string(point) + " (" +
                   points[point] + ")");
      const int status = EditInChild(threads, point, KillSelf);
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
      const std::set<std::string> left = Temporaries();
      EXPECT_LE(left.size(), 1u);
      for (const std::string& name : left) {
        EXPECT_TRUE(name.starts_with("game.pck.")) << name;
        fs::remove(Path(name));
      }
      if (points[point] == "renamed") {
        EXPECT_TRUE(left.empty());
        EXPECT_EQ(edited, ReadFile(Path("game.pck")));
        WriteFile(Path("game.pck"), old_);
      } else {
        EXPECT_EQ(old_, ReadFile(Path("game.pck")));
      }
    }
  }
}

// SIGTERM in the middle removes the temporary file before the process ends.
TEST_F(DyingEditTest, InterruptRemovesTheTemporaryFile) {
  for (const size_t point : {size_t{0}, size_t{3}, size_t{8}}) {
    SCOPED_TRACE(point);
    const int status = EditInChild(2, point, InterruptSelf);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_TRUE(Temporaries().empty());
    EXPECT_EQ(old_, ReadFile(Path("game.pck")));
  }
}

#endif  // _WIN32

}  // namespace
