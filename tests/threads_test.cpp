// threads_test.cpp - the worker threads change nothing: creation and repack with one
// thread and with several write the same package bytes, report the same progress,
// fail at the same entry with the same status and leave the same files behind; the
// tool prints the same bytes and extracts the same tree.
#include <algorithm>
#include <optional>
#include <tuple>

#include "archive.h"
#include "names.h"
#include "test_util.h"
#include "work_queue.h"

namespace {

namespace fs = std::filesystem;
using testutil::Noise;
using testutil::ReadFile;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::Text;
using testutil::TreeContents;
using testutil::U16;
using testutil::WriteFile;

using ProgressCall = std::tuple<int32_t, int32_t, std::u16string>;
std::vector<ProgressCall> progressCalls;

int RecordProgress(int32_t done, int32_t total, const char16_t* label) {
  progressCalls.emplace_back(done, total, label);
  return 0;
}

// Enough files to fill many batches of the pipeline: mostly small text, some empty,
// a few large ones (compressible and not) that exceed a batch on their own, and
// code page 936 names.
std::vector<std::pair<std::string, std::string>> ManyFiles() {
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < 400; ++i) {
    // Appended piece by piece: GCC 12 warns falsely about "literal" + std::string.
    std::string name = "d";
    name += std::to_string(i % 7);
    name += "/f";
    name += std::to_string(i);
    name += ".txt";
    std::string data;
    if (i % 97 == 13) {
      data = Noise(300000 + i, static_cast<unsigned>(i));
    } else if (i % 89 == 5) {
      data = Text(700000 + i, std::string("large ") += std::to_string(i));
    } else if (i % 31 == 0) {
      data = "";
    } else {
      data = Text(static_cast<size_t>(40 + (i * 37) % 900), std::string("w") += std::to_string(i));
    }
    if (i % 50 == 7) (name = "数据/文件") += std::to_string(i) += ".txt";
    files.emplace_back(name, data);
  }
  return files;
}

// What one run of Create or Repack produced.
struct Outcome {
  PckStatus status = PckStatus::kSuccess;
  std::vector<ProgressCall> progress;
  std::optional<std::string> package;  // the package path's bytes, if there is a file
  std::optional<std::string> backup;   // "<package>.old"
  bool tempLeft = false;               // "tmp.pck"
  size_t entries = 0;                  // in the archive afterwards

  bool operator==(const Outcome&) const = default;
};

std::optional<std::string> Contents(const fs::path& path) {
  if (!fs::exists(path)) return std::nullopt;
  return ReadFile(path);
}

class ThreadsTest : public TempDirTest {
 protected:
  void TearDown() override {
    SetPckThreadCount(0);
    TempDirTest::TearDown();
  }

  std::u16string Base() const { return U16(Path("src")) + host::kPathSeparator; }

  FileList MakeFiles(const std::vector<std::pair<std::string, std::string>>& sources) {
    fs::remove_all(Path("src"));
    FileList files;
    for (const auto& [name, data] : sources) {
      WriteFile(Path("src/" + name), data);
      files.push_back(Base() + host::Utf8ToUtf16(name));
    }
    return files;
  }

  Outcome RunCreate(unsigned threads, const FileList& files, int level) {
    SetPckThreadCount(threads);
    progressCalls.clear();
    fs::remove(Path("out.pck"));
    Outcome outcome;
    {
      PckArchive archive;
      outcome.status = archive.Create(Base(), level, U16(Path("out.pck")), files, RecordProgress);
      outcome.entries = archive.entries().size();
    }  // a package left open after a direct failure is closed here
    outcome.progress = progressCalls;
    outcome.package = Contents(Path("out.pck"));
    return outcome;
  }

  // Repacks a fresh copy of `package` as "game.pck".
  Outcome RunRepack(unsigned threads, const std::string& package, int level) {
    SetPckThreadCount(threads);
    progressCalls.clear();
    fs::remove(Path("game.pck.old"));
    WriteFile(Path("game.pck"), package);
    Outcome outcome;
    {
      PckArchive archive;
      if (archive.Open(u"game.pck") != PckStatus::kSuccess) {
        outcome.status = PckStatus::kCriticalError;
        return outcome;
      }
      outcome.status = archive.Repack(level, RecordProgress);
      outcome.entries = archive.entries().size();
    }
    outcome.progress = progressCalls;
    outcome.package = Contents(Path("game.pck"));
    outcome.backup = Contents(Path("game.pck.old"));
    outcome.tempLeft = fs::exists(Path("tmp.pck"));
    return outcome;
  }
};

// The progress of a data phase that stopped before item `failing` (from 1).
size_t DataCallsBefore(const Outcome& outcome) {
  return static_cast<size_t>(
      std::count_if(outcome.progress.begin(), outcome.progress.end(),
                    [](const ProgressCall& c) { return std::get<2>(c) != u"write file entry"; }));
}

TEST_F(ThreadsTest, CreateWritesTheSamePackageAndFailsAtTheSameFile) {
  const auto sources = ManyFiles();
  struct Case {
    const char* label;
    int level;
    int spoilAt;  // -1: none; else the index of the file that fails
    enum { kNone, kMissing, kUnnamable } spoil;
    PckStatus status;
    bool packageLeft;
    size_t dataCalls = 0;  // progress calls of the data phase before the failure
  };
  const Case cases[] = {
      {"level -1", -1, -1, Case::kNone, PckStatus::kSuccess, true},
      {"level 1", 1, -1, Case::kNone, PckStatus::kSuccess, true},
      {"level 9", 9, -1, Case::kNone, PckStatus::kSuccess, true},
      {"level 0", 0, -1, Case::kNone, PckStatus::kSuccess, true},
      // A source that cannot be opened fails there: nothing is left.
      {"source missing in the middle", 1, 233, Case::kMissing, PckStatus::kFileOperationError,
       false, 233},
      // A name without a code page 936 form is found before anything is written.
      {"name without a code page 936 form", 6, 301, Case::kUnnamable,
       PckStatus::kFileOperationError, false, 0},
      // zlib refuses the level at the first file with data.
      {"level zlib refuses", 10, -1, Case::kNone, PckStatus::kZlibError, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    FileList files = MakeFiles(sources);
    if (c.spoil == Case::kMissing) {
      fs::remove(fs::path(testutil::U8(files[c.spoilAt])));
    } else if (c.spoil == Case::kUnnamable) {
      WriteFile(Path("src/smile\U0001F600.txt"), "abc");
      files[c.spoilAt] = Base() + host::Utf8ToUtf16("smile\U0001F600.txt");
    }
    const Outcome single = RunCreate(1, files, c.level);
    EXPECT_EQ(c.status, single.status);
    EXPECT_EQ(c.packageLeft, single.package.has_value());
    if (c.spoilAt >= 0) {
      EXPECT_EQ(c.dataCalls, DataCallsBefore(single));
      if (c.spoil == Case::kMissing) {
        EXPECT_EQ(static_cast<size_t>(c.spoilAt), single.entries);
      }
    }
    for (unsigned threads : {2u, 4u}) {
      SCOPED_TRACE(threads);
      const Outcome threaded = RunCreate(threads, files, c.level);
      EXPECT_EQ(single.status, threaded.status);
      EXPECT_EQ(single.progress, threaded.progress);
      EXPECT_EQ(single.entries, threaded.entries);
      EXPECT_TRUE(single.package == threaded.package) << "the package bytes differ";
    }
  }
}

TEST_F(ThreadsTest, RepackWritesTheSamePackageAndFailsAtTheSameEntry) {
  SetPckThreadCount(1);
  const FileList files = MakeFiles(ManyFiles());
  {
    PckArchive archive;
    ASSERT_PCK_OK(archive.Create(Base(), 6, U16(Path("made.pck")), files, nullptr));
  }
  const std::string package = ReadFile(Path("made.pck"));

  // The same package with the stored bytes of entry 272 (a large compressed one) spoiled.
  std::string damaged = package;
  {
    PckArchive archive;
    ASSERT_PCK_OK(archive.Open(U16(Path("made.pck"))));
    const PckEntry& entry = archive.entries()[272];
    ASSERT_LT(entry.storedSize, entry.dataSize);
    ASSERT_GT(entry.storedSize, 20u);
    for (uint32_t k = 2; k < entry.storedSize - 4; ++k) damaged[entry.offset + k] = '\xA5';
  }

  struct Case {
    const char* label;
    const std::string* bytes;
    int level;
    PckStatus status;
  };
  const Case cases[] = {
      {"level -1", &package, -1, PckStatus::kSuccess},
      {"level 1", &package, 1, PckStatus::kSuccess},
      {"level 9", &package, 9, PckStatus::kSuccess},
      {"level 0", &package, 0, PckStatus::kSuccess},
      {"damaged entry copied at -1", &damaged, -1, PckStatus::kSuccess},
      {"damaged entry at 1", &damaged, 1, PckStatus::kZlibError},
      {"damaged entry at 9", &damaged, 9, PckStatus::kZlibError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Outcome single = RunRepack(1, *c.bytes, c.level);
    EXPECT_EQ(c.status, single.status);
    EXPECT_FALSE(single.tempLeft);
    if (IsError(c.status)) {
      EXPECT_EQ(272u, DataCallsBefore(single));
      EXPECT_TRUE(single.package == *c.bytes) << "the package changed";
      EXPECT_FALSE(single.backup.has_value());
    }
    for (unsigned threads : {2u, 4u}) {
      SCOPED_TRACE(threads);
      const Outcome threaded = RunRepack(threads, *c.bytes, c.level);
      EXPECT_EQ(single.status, threaded.status);
      EXPECT_EQ(single.progress, threaded.progress);
      EXPECT_EQ(single.entries, threaded.entries);
      EXPECT_EQ(single.tempLeft, threaded.tempLeft);
      EXPECT_TRUE(single.package == threaded.package) << "the package bytes differ";
      EXPECT_TRUE(single.backup == threaded.backup) << "the backups differ";
    }
  }
}

TEST_F(ThreadsTest, ThreadCountComesFromTheSettingThenTheEnvironment) {
  SetPckThreadCount(3);
  EXPECT_EQ(3u, PckThreadCount());
  SetPckThreadCount(0);
  EXPECT_GE(PckThreadCount(), 1u);
}

// The tool, run with QUILLO_THREADS=1 and =4 on the same tree: the same console
// bytes and the same package, extracted tree and repacked package, also when a
// source in the middle of the tree cannot be opened.
TEST_F(ThreadsTest, ToolPrintsAndWritesTheSameWithOneAndWithFourThreads) {
  for (const auto& [name, data] : ManyFiles()) WriteFile(Path("data/" + name), data);

  struct Run {
    RunResult result;
    std::optional<std::string> package;
    std::optional<std::string> backup;
    std::vector<std::pair<std::string, std::string>> tree;
  };
  auto run = [&](const std::vector<std::string>& args, const char* threads) {
    RunOptions options;
    options.env = {std::string("QUILLO_THREADS=") + threads};
    Run out;
    out.result = RunTool(args, options);
    out.package = Contents(Path("game.pck"));
    out.backup = Contents(Path("game.pck.old"));
    if (fs::exists(Path("game.pck.files"))) out.tree = TreeContents(Path("game.pck.files"));
    return out;
  };
  auto expectSame = [](const Run& a, const Run& b) {
    EXPECT_EQ(a.result.exitCode, b.result.exitCode);
    EXPECT_EQ(a.result.out, b.result.out);
    EXPECT_TRUE(a.package == b.package) << "the packages differ";
    EXPECT_TRUE(a.backup == b.backup) << "the backups differ";
    EXPECT_TRUE(a.tree == b.tree) << "the extracted trees differ";
  };

  const std::vector<std::string> create = {"-c", "data", "-z", "1", "game.pck"};
  const Run created1 = run(create, "1");
  ASSERT_EQ(1, created1.result.exitCode);
  ASSERT_NE(std::string::npos,
            created1.result.out.find(testutil::Console("\n pck create success\n")));
  fs::remove(Path("game.pck"));
  const Run created4 = run(create, "4");
  expectSame(created1, created4);

  const Run extracted1 = run({"-x", "-d", "game.pck"}, "1");
  EXPECT_EQ(ManyFiles().size(), extracted1.tree.size());
  const std::string log1 = ReadFile(Path("log.txt"));
  fs::remove_all(Path("game.pck.files"));
  const Run extracted4 = run({"-x", "-d", "game.pck"}, "4");
  expectSame(extracted1, extracted4);
  EXPECT_EQ(log1, ReadFile(Path("log.txt")));
  fs::remove_all(Path("game.pck.files"));

  const std::string made = *created1.package;
  const Run repacked1 = run({"-r", "-z", "9", "game.pck"}, "1");
  ASSERT_NE(std::string::npos, repacked1.result.out.find(testutil::Console("\n repack success\n")));
  fs::remove(Path("game.pck.old"));
  WriteFile(Path("game.pck"), made);
  const Run repacked4 = run({"-r", "-z", "9", "game.pck"}, "4");
  expectSame(repacked1, repacked4);

  // A link that leads nowhere fails the search: nothing is written. Linux only: a
  // link needs rights a Windows user may not have.
  if (testutil::kWindowsHost) return;
  fs::remove(Path("game.pck"));
  fs::remove(Path("game.pck.old"));
  fs::create_symlink(Path("nowhere"), Path("data/d3/dangling.txt"));
  const Run failed1 = run(create, "1");
  ASSERT_NE(
      std::string::npos,
      failed1.result.out.find(testutil::Console("\n pck create error : file operation error")));
  ASSERT_FALSE(failed1.package.has_value());
  const Run failed4 = run(create, "4");
  expectSame(failed1, failed4);
}

}  // namespace
