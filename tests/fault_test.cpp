// fault_test.cpp - the tool end to end under faults: writes that stop at a file-size
// limit, an output folder that cannot be written, a source file that is gone when it
// is opened, and a repack killed at many points, one of them between its two renames.
// Every check is about what the run printed and what it left on disk.
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "archive.h"
#include "file_search.h"
#include "names.h"
#include "pck_writer.h"
#include "test_util.h"
#include "work_queue.h"

#ifndef _WIN32
extern char** environ;
#endif

namespace {

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using testutil::Console;
using testutil::kBanner;
using testutil::Progress;
using testutil::ReadFile;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::TreeContents;
using testutil::U16;
using testutil::U8;
using testutil::WriteFile;

const std::string kSearching = " serching files...done\n";
const std::string kMounted = " mount pck...done.\n";
const std::string kCreateFailed = "\n pck create error : file operation error";
const std::string kRepackFailed = "\n file operation error\n";

std::string WriteModeLine(const std::string& pck, const std::string& mode, int level) {
  return "       pck : " + pck + "\n      mode : " + mode +
         "\ncomp level : " + std::to_string(level) + "\n";
}

std::string ReadModeLine(const std::string& pck) {
  return "  pck : " + pck + "\n mode : extract\n";
}

// Text made of words drawn at random: it compresses, but not to nothing.
std::string Words(size_t size, unsigned seed) {
  static const char* const kWords[] = {"pack ",   "entry ", "table ", "trailer ", "offset ",
                                       "stored ", "data ",  "zlib ",  "record ",  "guard "};
  std::mt19937 gen(seed);
  std::string out;
  while (out.size() < size) out += kWords[gen() % 10];
  out.resize(size);
  return out;
}

// The progress lines of a run that writes `count` entries, data then records.
std::string WriteProgress(const std::string& dataLabel, int count) {
  std::string out;
  for (int i = 1; i <= count; ++i) out += Progress(dataLabel, i, count);
  for (int i = 1; i <= count; ++i) out += Progress("write file entry", i, count);
  return out;
}

// Where the pieces of a complete package begin.
struct Layout {
  size_t table;    // first byte of the table (just after the data)
  size_t trailer;  // first byte of the trailer
  size_t size;     // total length
};

Layout LayoutOf(const std::string& package) {
  const size_t size = package.size();
  const size_t table = pckfix::LoadLe32At(package, size - 272) ^ pckfix::kMaskA;
  return {table, size - 280, size};
}

// A file-size limit and the point of the package it falls on.
struct Limit {
  const char* where;
  size_t bytes;
};

std::vector<Limit> LimitsInside(const Layout& layout) {
  return {
      {"inside the data", 12 + (layout.table - 12) / 2},
      {"at the first record", layout.table},
      {"inside the table", layout.table + (layout.trailer - layout.table) / 2},
      {"at the trailer", layout.trailer},
      {"at the version", layout.size - 4},
      {"just before the end", layout.size - 1},
  };
}

// True when the package at `path` opens and holds exactly `sources` (entry name with
// '\' -> contents), every entry read back whole.
::testing::AssertionResult HoldsExactly(const fs::path& path,
                                        const std::map<std::string, std::string>& sources) {
  PckArchive archive;
  if (archive.Open(U16(path)) != PckStatus::kSuccess) {
    return ::testing::AssertionFailure() << path << " does not open";
  }
  if (archive.entries().size() != sources.size()) {
    return ::testing::AssertionFailure() << archive.entries().size() << " entries";
  }
  for (const PckEntry& entry : archive.entries()) {
    const std::string name = U8(EntryNameView(entry.name));
    const auto found = sources.find(name);
    if (found == sources.end()) return ::testing::AssertionFailure() << "unknown entry " << name;
    ByteBuffer data;
    if (archive.ReadEntry(entry, &data) != PckStatus::kSuccess ||
        std::string(data.begin(), data.end()) != found->second) {
      return ::testing::AssertionFailure() << "entry " << name << " does not read back";
    }
  }
  return ::testing::AssertionSuccess();
}

// The bytes of a package holding `entries` (name, contents), in this order.
std::string PackageOf(const std::vector<std::pair<std::string, std::string>>& entries) {
  FixturePackage package;
  for (const auto& [name, data] : entries) {
    FixtureEntry entry;
    entry.name = name;
    entry.data = data;
    package.entries.push_back(entry);
  }
  return BuildPackage(package);
}

class FaultTest : public TempDirTest {
 protected:
  // The names directly inside the scratch folder.
  std::set<std::string> TopLevel() const {
    std::set<std::string> out;
    for (const auto& item : fs::directory_iterator(dir_)) {
      out.insert(testutil::PathU8(item.path().filename()));
    }
    return out;
  }

  // Writes a source tree below "src" and returns it as entry name -> contents.
  std::map<std::string, std::string> WriteSources(int count, size_t smallSize, size_t largeSize,
                                                  int largeEvery) {
    std::map<std::string, std::string> sources;
    for (int i = 0; i < count; ++i) {
      // Built by appending: GCC 12 warns falsely (-Wrestrict) on "d" + to_string(...).
      std::string dir = "d";
      dir += std::to_string(i % 7);
      std::string name = "f";
      name += std::to_string(i);
      name += ".txt";
      const size_t size = i % largeEvery == 0 ? largeSize : smallSize + 37 * (i % 11);
      const std::string data = Words(size, static_cast<unsigned>(i));
      WriteFile(Path("src/" + dir + "/" + name), data);
      sources[dir + "\\" + name] = data;
    }
    return sources;
  }

  // Creates "game.pck" from "src" without a limit and returns its bytes.
  std::string CreatePackage(int level) {
    const RunResult run = RunTool({"-c", "src", "-z", std::to_string(level), "game.pck"});
    EXPECT_EQ(1, run.exitCode);
    EXPECT_TRUE(run.out.ends_with(Console("\n pck create success\n"))) << run.out;
    return ReadFile(Path("game.pck"));
  }

  // Puts `original` back at "game.pck" and removes what a repack leaves behind.
  void Restore(const std::string& original) {
    fs::remove(Path("tmp.pck"));
    fs::remove(Path("game.pck.old"));
    WriteFile(Path("game.pck"), original);
  }
};

// --- Writes that stop at a file-size limit ----------------------------------------------

TEST_F(FaultTest, CreateStoppedByAFileSizeLimitRemovesThePackage) {
  SKIP_UNLESS_LINUX("a file-size limit (RLIMIT_FSIZE) on the child");
  const std::map<std::string, std::string> sources = WriteSources(12, 3000, 40000, 4);
  const std::string reference = CreatePackage(9);
  const Layout layout = LayoutOf(reference);
  ASSERT_LT(12u, layout.table);
  ASSERT_LT(layout.table, layout.trailer);
  const std::string before = kBanner + WriteModeLine("game.pck", "create", 9) + kSearching;
  const std::string progress = WriteProgress("compress data", 12);

  for (const Limit& limit : LimitsInside(layout)) {
    SCOPED_TRACE(limit.where);
    fs::remove(Path("game.pck"));
    RunOptions options;
    options.fileSizeLimit = limit.bytes;
    const RunResult run = RunTool({"-c", "src", "-z", "9", "game.pck"}, options);
    EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
    // The progress lines drawn before the failure shows depend on buffering; they
    // must be the start of the full sequence, followed by the error line alone.
    ASSERT_TRUE(run.out.starts_with(before)) << run.out;
    ASSERT_TRUE(run.out.ends_with(kCreateFailed)) << run.out;
    const std::string drawn =
        run.out.substr(before.size(), run.out.size() - before.size() - kCreateFailed.size());
    EXPECT_TRUE(progress.starts_with(drawn)) << drawn;
    EXPECT_EQ((std::set<std::string>{"src"}), TopLevel());
  }

  // The limit at the package's length lets the same run through.
  fs::remove(Path("game.pck"));
  RunOptions options;
  options.fileSizeLimit = layout.size;
  EXPECT_EQ(Console(before + progress + "\n pck create success\n"),
            RunTool({"-c", "src", "-z", "9", "game.pck"}, options).out);
  EXPECT_EQ(reference, ReadFile(Path("game.pck")));
}

TEST_F(FaultTest, RepackStoppedByAFileSizeLimitLeavesThePackageUntouched) {
  SKIP_UNLESS_LINUX("a file-size limit (RLIMIT_FSIZE) on the child");
  const std::map<std::string, std::string> sources = WriteSources(12, 3000, 40000, 4);
  // Stored plain, so that the repacked package at level 9 is laid out differently.
  const std::string original = CreatePackage(0);
  const std::vector<std::string> args = {"-r", "-z", "9", "game.pck"};
  const std::string before = kBanner + WriteModeLine("game.pck", "repack", 9) + kMounted;
  const std::string progress = WriteProgress("repack data", 12);

  // A run without a limit tells where the pieces of "tmp.pck" fall.
  ASSERT_EQ(Console(before + progress + "\n repack success\n"), RunTool(args).out);
  const std::string repacked = ReadFile(Path("game.pck"));
  ASSERT_TRUE(HoldsExactly(Path("game.pck"), sources));
  const Layout layout = LayoutOf(repacked);
  ASSERT_LT(layout.size, original.size());

  for (const Limit& limit : LimitsInside(layout)) {
    SCOPED_TRACE(limit.where);
    Restore(original);
    RunOptions options;
    options.fileSizeLimit = limit.bytes;
    const RunResult run = RunTool(args, options);
    EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
    ASSERT_TRUE(run.out.starts_with(before)) << run.out;
    ASSERT_TRUE(run.out.ends_with(kRepackFailed)) << run.out;
    const std::string drawn =
        run.out.substr(before.size(), run.out.size() - before.size() - kRepackFailed.size());
    EXPECT_TRUE(progress.starts_with(drawn)) << drawn;
    EXPECT_EQ((std::set<std::string>{"game.pck", "src"}), TopLevel());
    EXPECT_EQ(original, ReadFile(Path("game.pck")));
  }

  Restore(original);
  RunOptions options;
  options.fileSizeLimit = layout.size;
  EXPECT_EQ(Console(before + progress + "\n repack success\n"), RunTool(args, options).out);
  EXPECT_EQ(repacked, ReadFile(Path("game.pck")));
  EXPECT_EQ(original, ReadFile(Path("game.pck.old")));
  EXPECT_EQ((std::set<std::string>{"game.pck", "game.pck.old", "src"}), TopLevel());
}

TEST_F(FaultTest, ExtractReportsOnlyTheEntriesLargerThanTheLimit) {
  SKIP_UNLESS_LINUX("a file-size limit (RLIMIT_FSIZE) on the child");
  const std::string big = Words(50000, 1);
  const std::string large = Words(20000, 2);
  const std::vector<std::pair<std::string, std::string>> entries = {
      {"small.txt", Words(100, 3)},
      {"big.bin", big},
      {"sub\\large.txt", large},
      {"sub\\deep\\last.txt", Words(9000, 4)},
  };
  WriteFile(Path("game.pck"), PackageOf(entries));

  const struct {
    size_t limit;
    std::set<std::string> failing;
  } cases[] = {
      {10000, {"big.bin", "sub\\large.txt"}},
      {20000, {"big.bin"}},
      {49999, {"big.bin"}},
      {50000, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    fs::remove_all(Path("game.pck.files"));
    std::string want = kBanner + ReadModeLine("game.pck") + kMounted;
    std::vector<std::pair<std::string, std::string>> whole;
    for (size_t i = 0; i < entries.size(); ++i) {
      want += Progress("extract data", static_cast<int>(i + 1), static_cast<int>(entries.size()));
      std::string path = entries[i].first;
      std::replace(path.begin(), path.end(), '\\', '/');
      if (c.failing.count(entries[i].first)) {
        want += " file operation error : " + entries[i].first + "\n";
      } else {
        whole.emplace_back(path, entries[i].second);
      }
    }
    RunOptions options;
    options.fileSizeLimit = c.limit;
    EXPECT_EQ(Console(want), RunTool({"-x", "game.pck"}, options).out);
    std::sort(whole.begin(), whole.end());
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& item : TreeContents(Path("game.pck.files"))) {
      if (!c.failing.count([&] {
            std::string name = item.first;
            std::replace(name.begin(), name.end(), '/', '\\');
            return name;
          }())) {
        found.push_back(item);
      } else {
        // What was written of a failing entry may stay, but only short.
        EXPECT_GT(c.limit + 1, item.second.size()) << item.first;
      }
    }
    EXPECT_EQ(whole, found);
  }
}

// --- An output folder that cannot be written --------------------------------------------

TEST_F(FaultTest, UnwritableOutputFolderReportsEveryEntryAndWritesNothing) {
  WriteFile(Path("game.pck"),
            PackageOf({{"a.txt", "alpha"}, {"sub\\b.txt", "beta"}, {"c.txt", ""}}));
  const std::string want = kBanner + ReadModeLine("game.pck") + kMounted +
                           Progress("extract data", 1, 3) + " file operation error : a.txt\n" +
                           Progress("extract data", 2, 3) + " file operation error : sub\\b.txt\n" +
                           Progress("extract data", 3, 3) + " file operation error : c.txt\n";

  {
    SCOPED_TRACE("a regular file in place of the folder");
    WriteFile(Path("game.pck.files"), "not a folder");
    EXPECT_EQ(Console(want), RunTool({"-x", "-v", "game.pck"}).out);
    EXPECT_EQ((std::set<std::string>{"game.pck", "game.pck.files"}), TopLevel());
    EXPECT_EQ("not a folder", ReadFile(Path("game.pck.files")));
    fs::remove(Path("game.pck.files"));
  }
#ifndef _WIN32
  // Linux only: a folder made read-only by its mode bits.
  if (geteuid() != 0) {
    // Root writes through a mode of 0555, so this case only means something otherwise.
    SCOPED_TRACE("a read-only folder");
    fs::create_directory(Path("game.pck.files"));
    fs::permissions(Path("game.pck.files"), static_cast<fs::perms>(0555));
    EXPECT_EQ(Console(want), RunTool({"-x", "-v", "game.pck"}).out);
    EXPECT_TRUE(fs::is_empty(Path("game.pck.files")));
    fs::permissions(Path("game.pck.files"), fs::perms::owner_all, fs::perm_options::add);
  }
#endif
}

// --- A source file that is gone when it is opened ---------------------------------------

// A file removed between the search and its reading fails the creation there; the
// package made before stays as it was, and nothing else is left beside it.
TEST_F(FaultTest, SourceGoneAfterTheSearchLeavesTheOlderPackage) {
  WriteFile(Path("src/a.txt"), Words(3000, 1));
  WriteFile(Path("src/b.txt"), Words(500, 2));
  WriteFile(Path("src/c.txt"), Words(7000, 3));
  WriteFile(Path("src/d.txt"), Words(40, 4));
  const std::string older = CreatePackage(0);

  // Built by appending: GCC 12 warns falsely (-Wrestrict) on u"src" + a string.
  std::u16string base = u"src";
  base.push_back(host::kPathSeparator);
  FileList files;
  ASSERT_TRUE(CollectFiles(base, &files));
  ASSERT_EQ(4u, files.size());
  fs::remove(fs::path(U8(files[2])));
  PckArchive archive;
  EXPECT_EQ(PckStatus::kFileOperationError, archive.Create(base, 0, u"game.pck", files, nullptr));
  EXPECT_EQ(files[2], archive.failure().subject);
  EXPECT_EQ(2u, archive.entries().size());
  EXPECT_EQ((std::set<std::string>{"game.pck", "src"}), TopLevel());
  EXPECT_EQ(older, ReadFile(Path("game.pck")));
}

// --- A repack killed at many points -----------------------------------------------------

#ifndef _WIN32
pid_t StartTool(const std::vector<std::string>& args) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::string binary = QUILLO_BINARY;
  std::vector<std::string> copies = args;
  std::vector<char*> argv = {binary.data()};
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

#endif

TEST_F(FaultTest, RepackKilledAnywhereLeavesTheOldOrTheNewPackage) {
  SKIP_UNLESS_LINUX("killing the child with SIGKILL at chosen points");
#ifndef _WIN32
  const std::map<std::string, std::string> sources = WriteSources(300, 1500, 80000, 25);
  const std::string original = CreatePackage(0);
  const std::vector<std::string> args = {"-r", "-z", "9", "game.pck"};

  const auto start = std::chrono::steady_clock::now();
  const pid_t probe = StartTool(args);
  ASSERT_NE(-1, probe);
  int status = 0;
  ASSERT_EQ(probe, waitpid(probe, &status, 0));
  const auto duration = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_TRUE(HoldsExactly(Path("game.pck"), sources));
  const std::string repacked = ReadFile(Path("game.pck"));

  // Points spread over the whole run, then more of them near its end, where the
  // table is written, "tmp.pck" is synced and the two renames happen.
  std::vector<std::chrono::steady_clock::duration> delays;
  for (int point = 0; point < 16; ++point) delays.push_back(duration * point / 16);
  for (int point = 0; point <= 8; ++point) delays.push_back(duration * (92 + 3 * point) / 100);
  RecordProperty("repack microseconds",
                 std::chrono::duration_cast<std::chrono::microseconds>(duration).count());
  std::map<std::string, int> outcomes;
  for (const auto delay : delays) {
    SCOPED_TRACE(std::chrono::duration_cast<std::chrono::microseconds>(delay).count());
    Restore(original);
    const pid_t pid = StartTool(args);
    ASSERT_NE(-1, pid);
    std::this_thread::sleep_for(delay);
    kill(pid, SIGKILL);
    ASSERT_EQ(pid, waitpid(pid, &status, 0));

    // "tmp.pck" may be left in any state by a kill; the package may not.
    std::set<std::string> listing = TopLevel();
    listing.erase("tmp.pck");
    if (!fs::exists(Path("game.pck"))) {
      // Only between the two renames.
      EXPECT_EQ((std::set<std::string>{"game.pck.old", "src"}), listing);
      EXPECT_EQ(original, ReadFile(Path("game.pck.old")));
      ++outcomes["between the renames"];
    } else if (ReadFile(Path("game.pck")) == original) {
      EXPECT_EQ((std::set<std::string>{"game.pck", "src"}), listing);
      ++outcomes["untouched"];
    } else {
      EXPECT_TRUE(HoldsExactly(Path("game.pck"), sources));
      EXPECT_EQ(repacked, ReadFile(Path("game.pck")));
      EXPECT_EQ((std::set<std::string>{"game.pck", "game.pck.old", "src"}), listing);
      EXPECT_EQ(original, ReadFile(Path("game.pck.old")));
      ++outcomes["repacked"];
    }
  }
  for (const auto& [outcome, count] : outcomes) RecordProperty(outcome, count);
#endif
}

#ifndef _WIN32
// Linux only: the repack runs in a forked child that kills itself.

// Ends the calling process at once, as a power cut or a kill would: no handler,
// no flushing of buffered output, no destructors.
[[noreturn]] void KillSelf() {
  kill(getpid(), SIGKILL);
  _exit(126);  // not reached
}

// Forwards everything and kills the process as soon as one rename has succeeded.
class KillAfterFirstRename : public host::HostWrapper {
 public:
  KillAfterFirstRename() : HostWrapper(host::Host::Default()) {}
  bool RenameFile(const std::u16string& from, const std::u16string& to) override {
    const bool renamed = target_.RenameFile(from, to);
    if (renamed) KillSelf();
    return renamed;
  }
};

TEST_F(FaultTest, RepackKilledBetweenTheRenamesLeavesBothPackagesWhole) {
  const std::map<std::string, std::string> sources = WriteSources(40, 1500, 30000, 9);
  const std::string original = CreatePackage(0);
  // A run of the tool that completes gives the bytes the new package must have.
  const std::vector<std::string> args = {"-r", "-z", "9", "game.pck"};
  ASSERT_EQ(1, RunTool(args).exitCode);
  const std::string repacked = ReadFile(Path("game.pck"));
  ASSERT_NE(original, repacked);
  ASSERT_TRUE(HoldsExactly(Path("game.pck"), sources));

  for (const unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    Restore(original);
    // The repack runs in a child process, which the host kills right after the
    // package has become "game.pck.old" and before "tmp.pck" takes its place.
    const pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
      SetPckThreadCount(threads);
      KillAfterFirstRename killer;
      host::Host::SetCurrent(&killer);
      PckArchive archive;
      if (archive.Open(u"game.pck") != PckStatus::kSuccess) _exit(2);
      (void)archive.Repack(9, nullptr);
      _exit(3);  // the rename did not happen, or did not kill
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    ASSERT_EQ(SIGKILL, WTERMSIG(status));

    // Nothing is lost: the old package is whole as the backup, the new one whole as
    // "tmp.pck", each byte for byte.
    EXPECT_EQ((std::set<std::string>{"game.pck.old", "src", "tmp.pck"}), TopLevel());
    EXPECT_EQ(original, ReadFile(Path("game.pck.old")));
    EXPECT_EQ(repacked, ReadFile(Path("tmp.pck")));
    EXPECT_TRUE(HoldsExactly(Path("game.pck.old"), sources));
    EXPECT_TRUE(HoldsExactly(Path("tmp.pck"), sources));
  }
}
#endif  // _WIN32

}  // namespace
