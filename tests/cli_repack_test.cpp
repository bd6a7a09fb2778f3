// cli_repack_test.cpp - the repack command end to end: console bytes, the package and
// backup it leaves, and what a failed repack prints and leaves on disk.
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <random>

#include "archive.h"
#include "pck_writer.h"
#include "test_util.h"

namespace {

using testutil::Text;

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using pckfix::Gbk;
using testutil::Console;
using testutil::kBanner;
using testutil::Progress;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::U16;
using testutil::WriteFile;

const std::string kMount = " mount pck...";
const std::string kDone = "done.\n";
const std::string kSuccess = "\n repack success\n";

std::string ModeLine(const std::string& pck, int level) {
  return "       pck : " + pck + "\n      mode : repack\ncomp level : " + std::to_string(level) +
         "\n";
}

// The progress lines of `data` finished data items and, when the data pass ended,
// `records` finished table records, of `count` entries.
std::string RepackProgress(int count, int data, int records = 0) {
  std::string out;
  for (int i = 1; i <= data; ++i) out += Progress("repack data", i, count);
  for (int i = 1; i <= records; ++i) out += Progress("write file entry", i, count);
  return out;
}

std::string Noise(size_t size, unsigned seed = 3) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

FixtureEntry Entry(const std::string& name, const std::string& data, int level) {
  FixtureEntry e;
  e.name = name;
  e.data = data;
  e.level = level;
  e.recordLevel = level;
  return e;
}

// Three entries as a correct writer stores them at `level`.
FixturePackage Package(int level) {
  FixturePackage p;
  p.entries = {Entry(Gbk("数据\\说明.txt"), Text(5000, "说明 "), level),
               Entry("empty.txt", "", level), Entry("noise.bin", Noise(2000), level)};
  return p;
}

using RepackCliTest = TempDirTest;

TEST_F(RepackCliTest, RepacksAtTheClampedLevelWithTheConsoleLines) {
  // The package was written at zlib's default level, so -1 gives it back unchanged.
  const std::string original = BuildPackage(Package(-1));
  const struct {
    std::vector<std::string> args;
    int level;
  } cases[] = {
      {{"-r", "game.pck"}, -1},
      {{"-r", "-z", "0", "game.pck"}, 0},
      {{"-r", "-z", "12", "game.pck"}, 9},
      {{"-r", "-z", "-5", "game.pck"}, -1},
      {{"-z", "1", "-r", "game.pck"}, 1},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    WriteFile(Path("game.pck"), original);
    fs::remove(Path("game.pck.old"));
    WriteFile(Path("tmp.pck"), Noise(50000, 9));  // overwritten, then moved into place
    const RunResult run = RunTool(c.args);
    EXPECT_EQ(1, run.exitCode);
    EXPECT_EQ(Console(kBanner + ModeLine("game.pck", c.level) + kMount + kDone +
                      RepackProgress(3, 3, 3) + kSuccess),
              run.out);
    EXPECT_EQ(BuildPackage(Package(c.level)), ReadFile(Path("game.pck")));
    EXPECT_EQ(original, ReadFile(Path("game.pck.old")));
    EXPECT_FALSE(fs::exists(Path("tmp.pck")));
  }
}

TEST_F(RepackCliTest, PackageInAnotherDirectoryIsRepackedThere) {
  fs::create_directories(Path("games"));
  const std::string original = BuildPackage(Package(-1));
  WriteFile(Path("games/game.pck"), original);
  const RunResult run = RunTool({"-r", "-z", "9", "games/game.pck"});
  EXPECT_EQ(Console(kBanner + ModeLine("games/game.pck", 9) + kMount + kDone +
                    RepackProgress(3, 3, 3) + kSuccess),
            run.out);
  EXPECT_EQ(BuildPackage(Package(9)), ReadFile(Path("games/game.pck")));
  EXPECT_EQ(original, ReadFile(Path("games/game.pck.old")));
  EXPECT_FALSE(fs::exists(Path("tmp.pck")));
  EXPECT_FALSE(fs::exists(Path("games/tmp.pck")));
}

TEST_F(RepackCliTest, PackageOnAnotherFileSystemIsMovedThere) {
  // "tmp.pck" is written in the working directory and moved to the package's file
  // system by a copy; an existing file of the package's name is never replaced.
  SKIP_UNLESS_LINUX("a second file system at /dev/shm");
#ifndef _WIN32
  struct stat here, shm;
  if (stat("/dev/shm", &shm) != 0 || stat(dir_.c_str(), &here) != 0 || shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  const fs::path other = fs::path("/dev/shm") / ("quillo-repack-" + std::to_string(getpid()));
  fs::remove_all(other);
  fs::create_directories(other);
  const std::string package = (other / "game.pck").string();
  const std::string original = BuildPackage(Package(-1));
  WriteFile(package, original);
  WriteFile(Path("tmp.pck"), Noise(70000, 4));

  const RunResult run = RunTool({"-r", "-z", "9", package});
  EXPECT_EQ(1, run.exitCode);
  EXPECT_EQ(
      Console(kBanner + ModeLine(package, 9) + kMount + kDone + RepackProgress(3, 3, 3) + kSuccess),
      run.out);
  EXPECT_EQ(BuildPackage(Package(9)), ReadFile(package));
  EXPECT_EQ(original, ReadFile(package + ".old"));
  EXPECT_FALSE(fs::exists(Path("tmp.pck")));
  std::vector<std::string> left;
  for (const auto& item : fs::directory_iterator(other)) left.push_back(item.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ((std::vector<std::string>{"game.pck", "game.pck.old"}), left);
  fs::remove_all(other);
#endif
}

TEST_F(RepackCliTest, MissingPackagePrintsFileOpenErrorAndNothingElse) {
  const RunResult run = RunTool({"-r", "-z", "9", "missing.pck"});
  EXPECT_EQ(1, run.exitCode);
  EXPECT_EQ(Console(kBanner + ModeLine("missing.pck", 9) + kMount + "file open error\n"), run.out);
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(RepackCliTest, DamagedEntryIsCopiedAtTheDefaultLevelAndFailsAtNine) {
  FixturePackage damaged = Package(-1);
  damaged.entries[2].stored = "damaged stored bytes";
  damaged.entries[2].dataSize = 2000;
  const std::string bytes = BuildPackage(damaged);

  WriteFile(Path("game.pck"), bytes);
  RunResult run = RunTool({"-r", "game.pck"});
  EXPECT_EQ(Console(kBanner + ModeLine("game.pck", -1) + kMount + kDone + RepackProgress(3, 3, 3) +
                    kSuccess),
            run.out);
  EXPECT_EQ(bytes, ReadFile(Path("game.pck")));

  fs::remove(Path("game.pck.old"));
  run = RunTool({"-r", "-z", "9", "game.pck"});
  EXPECT_EQ(Console(kBanner + ModeLine("game.pck", 9) + kMount + kDone + RepackProgress(3, 2) +
                    "\n zlib error\n"),
            run.out);
  EXPECT_EQ(bytes, ReadFile(Path("game.pck")));
  EXPECT_FALSE(fs::exists(Path("game.pck.old")));
  EXPECT_FALSE(fs::exists(Path("tmp.pck")));
}

TEST_F(RepackCliTest, FailedRepackPrintsTheMessageAndLeavesThePackage) {
  const std::string good = BuildPackage(Package(-1));
  FixturePackage pastEnd = Package(-1);
  pastEnd.entries[1].stored = "";
  pastEnd.entries[1].offset = 0x7FFFFFF0;
  pastEnd.entries[1].storedSize = 16;

  const struct {
    const char* label;
    std::string package;  // where the package is, relative to the working directory
    std::string bytes;
    std::vector<std::string> extraArgs;
    std::string console;  // after "done.\n"
    bool backupExists = false;
    bool hardLink = false;        // "game.pck" is a second name of "tmp.pck"
    bool tmpIsDirectory = false;  // a directory named "tmp.pck" is in the way
  } cases[] = {
      {"existing backup",
       "game.pck",
       good,
       {},
       RepackProgress(3, 3, 3) + "\n file operation error\n",
       true},
      {"stored bytes past the end",
       "game.pck",
       BuildPackage(pastEnd),
       {"-z", "9"},
       RepackProgress(3, 1) + "\n file operation error\n"},
      {"package is tmp.pck", "tmp.pck", good, {"-z", "9"}, "\n file operation error\n"},
      {"package is tmp.pck by another name",
       "game.pck",
       good,
       {},
       "\n file operation error\n",
       false,
       true},
      {"tmp.pck is a directory", "game.pck", good, {}, "\n file open error\n", false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove(Path("game.pck"));
    fs::remove(Path("game.pck.old"));
    fs::remove(Path("tmp.pck.old"));
    WriteFile(Path("tmp.pck"), "a stale temporary file");
    WriteFile(Path(c.package), c.bytes);
    if (c.hardLink) {
      fs::remove(Path("tmp.pck"));
      fs::create_hard_link("game.pck", "tmp.pck");
    }
    if (c.backupExists) WriteFile(Path(c.package + ".old"), "the previous backup");
    if (c.tmpIsDirectory) {
      fs::remove(Path("tmp.pck"));
      fs::create_directories(Path("tmp.pck/inside"));
    }
    std::vector<std::string> args = {"-r"};
    args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
    args.push_back(c.package);
    const RunResult run = RunTool(args);
    const int level = c.extraArgs.empty() ? -1 : 9;
    EXPECT_EQ(1, run.exitCode);
    EXPECT_EQ(Console(kBanner + ModeLine(c.package, level) + kMount + kDone + c.console), run.out);
    EXPECT_EQ(c.bytes, ReadFile(Path(c.package)));
    if (c.backupExists) {
      EXPECT_EQ("the previous backup", ReadFile(Path(c.package + ".old")));
    } else {
      EXPECT_FALSE(fs::exists(Path(c.package + ".old")));
    }
    if (c.tmpIsDirectory) {
      EXPECT_TRUE(fs::is_directory(Path("tmp.pck/inside")));
      fs::remove_all(Path("tmp.pck"));
    } else if (c.package != "tmp.pck" && !c.hardLink) {
      EXPECT_FALSE(fs::exists(Path("tmp.pck")));
    }
  }
}

}  // namespace
