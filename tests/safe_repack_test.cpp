// safe_repack_test.cpp - a repack among other files and processes: "tmp.pck" taken
// only when it is a plain file of its own that no other run holds, the file written
// being the file moved into place, concurrent repacks in one folder, a package
// reached through links, its permissions and owner, interruptions, an entry too
// large for memory, workers that cannot start, and the line on standard error that
// says why a repack failed.
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <system_error>

#include "archive.h"
#include "names.h"
#include "pck_writer.h"
#include "test_util.h"
#include "work_queue.h"

namespace {

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using testutil::kBanner;
using testutil::Noise;
using testutil::Progress;
using testutil::ReadFile;
using testutil::TempDirTest;
using testutil::Text;
using testutil::U16;
using testutil::U8;
using testutil::WriteFile;

// Entry name (with '\') -> contents.
using Sources = std::map<std::string, std::string>;

// `count` entries below the folder `prefix`, of text that compresses but not to
// nothing, each of its own size.
Sources MakeSources(const std::string& prefix, int count, unsigned seed) {
  static const char* const kWords[] = {"pack ", "entry ", "table ", "offset ", "stored ",
                                       "data ", "zlib ",  "guard ", "record ", "name "};
  std::mt19937 gen(seed);
  Sources out;
  for (int i = 0; i < count; ++i) {
    std::string text;
    const size_t size = 2000 + gen() % 30000;
    while (text.size() < size) text += kWords[gen() % 10];
    out[prefix + "\\f" + std::to_string(i) + ".txt"] = text;
  }
  return out;
}

std::string PackageOf(const Sources& sources) {
  FixturePackage package;
  for (const auto& [name, data] : sources) {
    FixtureEntry entry;
    entry.name = name;
    entry.data = data;
    package.entries.push_back(entry);
  }
  return BuildPackage(package);
}

#ifndef _WIN32
// True when the package at `path` opens and holds exactly `sources`, each entry
// read back whole.
::testing::AssertionResult Holds(const fs::path& path, const Sources& sources) {
  PckArchive archive;
  if (archive.Open(U16(path)) != PckStatus::kSuccess) {
    return ::testing::AssertionFailure() << path << " does not open";
  }
  Sources found;
  ByteBuffer data;
  for (const PckEntry& entry : archive.entries()) {
    if (archive.ReadEntry(entry, &data) != PckStatus::kSuccess) {
      return ::testing::AssertionFailure() << path << ": an entry does not read";
    }
    found[U8(EntryNameView(entry.name))] = std::string(data.begin(), data.end());
  }
  if (found != sources) return ::testing::AssertionFailure() << path << " holds other entries";
  return ::testing::AssertionSuccess();
}

// The names in a folder.
std::set<std::string> Listing(const fs::path& folder) {
  std::set<std::string> out;
  for (const auto& item : fs::directory_iterator(folder)) {
    out.insert(testutil::PathU8(item.path().filename()));
  }
  return out;
}

std::string ModeLine(const std::string& pck, int level) {
  return "       pck : " + pck + "\n      mode : repack\ncomp level : " + std::to_string(level) +
         "\n";
}

// The progress lines of `data` data items and `records` table records of `count`.
std::string RepackProgress(int count, int data, int records = 0) {
  std::string out;
  for (int i = 1; i <= data; ++i) out += Progress("repack data", i, count);
  for (int i = 1; i <= records; ++i) out += Progress("write file entry", i, count);
  return out;
}

#endif  // _WIN32

// Three entries: text, an empty one and noise.
FixturePackage ThreeEntries() {
  FixturePackage package;
  for (const auto& [name, data] : std::vector<std::pair<std::string, std::string>>{
           {"text.txt", Text(5000)}, {"empty.txt", ""}, {"noise.bin", Noise(2000)}}) {
    FixtureEntry entry;
    entry.name = name;
    entry.data = data;
    package.entries.push_back(entry);
  }
  return package;
}

// A working file that forwards everything to the real one; tests override a call.
class ForwardingFile : public host::File {
 public:
  explicit ForwardingFile(std::unique_ptr<host::File> real) : real_(std::move(real)) {}
  size_t Read(void* data, size_t size) override { return real_->Read(data, size); }
  size_t Write(const void* data, size_t size) override { return real_->Write(data, size); }
  bool Seek(int64_t position) override { return real_->Seek(position); }
  bool SeekToEnd() override { return real_->SeekToEnd(); }
  int64_t Tell() override { return real_->Tell(); }
  bool Flush() override { return real_->Flush(); }
  bool Sync() override { return real_->Sync(); }
  bool Close() override { return real_->Close(); }
  bool Describe(int64_t* size, host::FileId* id) override { return real_->Describe(size, id); }
  bool CopyAccessFrom(const std::u16string& path) override { return real_->CopyAccessFrom(path); }

 private:
  std::unique_ptr<host::File> real_;
};

class SafeRepackTest : public TempDirTest {
 protected:
  void TearDown() override {
    SetWorkerStartHook(nullptr);
    SetPckThreadCount(0);
    TempDirTest::TearDown();
  }

  // Repacks the package at `path` with the library; its status.
  static PckStatus Repack(const std::string& path, int level) {
    PckArchive archive;
    if (archive.Open(U16(path)) != PckStatus::kSuccess) return PckStatus::kCriticalError;
    return archive.Repack(level, nullptr);
  }
};

// --- The file at "tmp.pck" stays the file written --------------------------------

// Another program puts a file of its own at "tmp.pck" at a chosen step; the file
// the repack wrote goes to "stolen.pck".
class SwappingHost : public host::HostWrapper {
 public:
  enum class When { kWhileSynced, kBetweenTheRenames };
  explicit SwappingHost(When when) : HostWrapper(host::Host::Default()), when_(when) {}

  std::unique_ptr<host::File> OpenExclusive(const std::u16string& path,
                                            host::ExclusiveOpen* outcome) override {
    auto real = target_.OpenExclusive(path, outcome);
    if (!real || when_ != When::kWhileSynced) return real;
    return std::make_unique<SwapAtSync>(std::move(real));
  }
  bool RenameFile(const std::u16string& from, const std::u16string& to) override {
    const bool renamed = target_.RenameFile(from, to);
    if (renamed && when_ == When::kBetweenTheRenames && from == u"game.pck") Swap();
    return renamed;
  }

  static void Swap() {
    fs::rename("tmp.pck", "stolen.pck");
    WriteFile("tmp.pck", "an impostor");
  }

 private:
  class SwapAtSync final : public ForwardingFile {
   public:
    using ForwardingFile::ForwardingFile;
    bool Sync() override {
      const bool synced = ForwardingFile::Sync();
      Swap();
      return synced;
    }
  };

  When when_;
};

TEST_F(SafeRepackTest, TmpReplacedWhileWrittenIsNeitherMovedIntoPlaceNorRemoved) {
  const std::string original = BuildPackage(ThreeEntries());
  for (const auto when :
       {SwappingHost::When::kWhileSynced, SwappingHost::When::kBetweenTheRenames}) {
    SCOPED_TRACE(static_cast<int>(when));
    for (const char* name : {"game.pck.old", "stolen.pck", "tmp.pck"}) fs::remove(Path(name));
    WriteFile(Path("game.pck"), original);
    SwappingHost swapping(when);
    host::Host::SetCurrent(&swapping);
    PckArchive archive;
    ASSERT_PCK_OK(archive.Open(u"game.pck"));
    EXPECT_EQ(PckStatus::kFileOperationError, archive.Repack(9, nullptr));
    host::Host::SetCurrent(nullptr);
    EXPECT_EQ(u"tmp.pck", archive.failure().subject);
    EXPECT_EQ(u"replaced by another file while it was written", archive.failure().reason);
    // The package is as it was, the other program's file too.
    EXPECT_EQ(original, ReadFile(Path("game.pck")));
    EXPECT_FALSE(fs::exists(Path("game.pck.old")));
    EXPECT_EQ("an impostor", ReadFile(Path("tmp.pck")));
  }
}

// --- The working file is held --------------------------------------------------

TEST_F(SafeRepackTest, WorkingFileIsHeldUntilItIsLetGo) {
  host::Host& h = host::Host::Default();
  host::ExclusiveOpen outcome = host::ExclusiveOpen::kFailed;
  WriteFile(Path("tmp.pck"), "a stale working file");
  auto first = h.OpenExclusive(u"tmp.pck", &outcome);
  ASSERT_TRUE(first);
  EXPECT_EQ(host::ExclusiveOpen::kOpened, outcome);
  EXPECT_EQ("", ReadFile(Path("tmp.pck")));  // nothing of the stale file is left
  // A second run (here a second open) finds it held and leaves it alone.
  EXPECT_FALSE(h.OpenExclusive(u"tmp.pck", &outcome));
  EXPECT_EQ(host::ExclusiveOpen::kHeld, outcome);
  ASSERT_EQ(3u, first->Write("new", 3));
  ASSERT_TRUE(first->Flush());
  EXPECT_EQ("new", ReadFile(Path("tmp.pck")));
  // Moved into place while held, it is the package: a later run starts anew.
  ASSERT_TRUE(h.RenameFile(u"tmp.pck", u"done.pck"));
  first.reset();
  auto later = h.OpenExclusive(u"tmp.pck", &outcome);
  ASSERT_TRUE(later);
  later.reset();
  EXPECT_EQ("new", ReadFile(Path("done.pck")));
  EXPECT_EQ("", ReadFile(Path("tmp.pck")));
}

// --- Workers that cannot start ----------------------------------------------------

unsigned g_workersAllowed = 0;

void RefuseWorkersBeyondTheAllowed(unsigned started) {
  if (started >= g_workersAllowed) {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                            "thread");
  }
}

TEST_F(SafeRepackTest, WorkersThatCannotStartLeaveTheSamePackage) {
  const std::string original = PackageOf(MakeSources("w", 60, 5));
  WriteFile(Path("game.pck"), original);
  SetPckThreadCount(1);
  ASSERT_PCK_OK(Repack("game.pck", 9));
  const std::string reference = ReadFile(Path("game.pck"));

  SetPckThreadCount(4);
  SetWorkerStartHook(RefuseWorkersBeyondTheAllowed);
  for (unsigned allowed : {0u, 1u, 3u}) {
    SCOPED_TRACE(allowed);
    g_workersAllowed = allowed;
    WriteFile(Path("game.pck"), original);
    fs::remove(Path("game.pck.old"));
    ASSERT_PCK_OK(Repack("game.pck", 9));
    EXPECT_TRUE(ReadFile(Path("game.pck")) == reference) << "the package differs";
    EXPECT_EQ(original, ReadFile(Path("game.pck.old")));
  }
}

#ifndef _WIN32
// --- Linux only: the tool in a child process, with its standard error ---------------

struct Captured {
  std::string out;
  std::string err;
  int exitCode = -1;  // -1 when ended by a signal
  int signal = 0;
};

// Runs the tool with `args` in the folder `cwd`, `prepare` running in the child
// before the tool starts (limits, another user), and captures both its output
// streams.
Captured RunCaptured(const std::vector<std::string>& args, const fs::path& cwd,
                     const std::vector<std::string>& env = {},
                     const std::function<void()>& prepare = {}) {
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0) return {};
  if (pipe(errPipe) != 0) return {};
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    for (const std::string& setting : env) putenv(strdup(setting.c_str()));
    if (prepare) prepare();
    std::string binary = QUILLO_BINARY;
    std::vector<std::string> copies = args;
    std::vector<char*> argv = {binary.data()};
    for (std::string& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  Captured run;
  struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0 && poll(fds, 2, -1) > 0) {
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || fds[k].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = read(fds[k].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[k]->append(buffer, static_cast<size_t>(got));
      } else {
        close(fds[k].fd);
        fds[k].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  return run;
}

const std::string kMounted = " mount pck...done.\n";
const std::string kOpenFailed = "\n file open error\n";
const std::string kOperationFailed = "\n file operation error\n";

// --- "tmp.pck" that is not a plain file of its own ----------------------------------

#endif  // _WIN32

TEST_F(SafeRepackTest, TmpThatIsNoPlainFileOfItsOwnIsLeftAsItIs) {
  SKIP_UNLESS_LINUX("symbolic links, named pipes and flock at tmp.pck");
#ifndef _WIN32
  const std::string original = BuildPackage(ThreeEntries());
  const std::string victim = "bytes of a file outside the folder";
  const fs::path work = Path("work");
  const fs::path temp = work / "tmp.pck";
  int held = -1;    // a descriptor that holds "tmp.pck" as another run would
  int reader = -1;  // the reading end of a named pipe
  const struct {
    const char* label;
    std::function<void()> make;
    std::string reason;
    std::function<void()> check;  // that "tmp.pck" is what it was
  } cases[] = {
      {"a link to a file outside the folder", [&] { fs::create_symlink("../victim.txt", temp); },
       "a symbolic link, left untouched",
       [&] { EXPECT_EQ(fs::path("../victim.txt"), fs::read_symlink(temp)); }},
      {"a link to the package", [&] { fs::create_symlink("game.pck", temp); },
       "a symbolic link, left untouched",
       [&] { EXPECT_EQ(fs::path("game.pck"), fs::read_symlink(temp)); }},
      {"a link that leads nowhere",
       [&] { fs::create_symlink("../made-through-the-link.txt", temp); },
       "a symbolic link, left untouched",
       [&] {
         EXPECT_TRUE(fs::is_symlink(temp));
         EXPECT_FALSE(fs::exists(Path("made-through-the-link.txt")));
       }},
      {"a link to a device", [&] { fs::create_symlink("/dev/null", temp); },
       "a symbolic link, left untouched",
       [&] { EXPECT_EQ(fs::path("/dev/null"), fs::read_symlink(temp)); }},
      {"a named pipe", [&] { ASSERT_EQ(0, mkfifo(temp.c_str(), 0644)); }, "not a regular file",
       [&] { EXPECT_TRUE(fs::is_fifo(temp)); }},
      {"a named pipe that is read",
       [&] {
         ASSERT_EQ(0, mkfifo(temp.c_str(), 0644));
         reader = open(temp.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         ASSERT_GE(reader, 0);
       },
       "not a regular file",
       [&] {
         EXPECT_TRUE(fs::is_fifo(temp));
         char byte;
         EXPECT_GE(0, read(reader, &byte, 1)) << "the package went into the pipe";
         close(reader);
       }},
      {"a folder", [&] { fs::create_directories(temp / "inside"); }, "not a regular file",
       [&] { EXPECT_TRUE(fs::is_directory(temp / "inside")); }},
      {"a second name of a file outside the folder",
       [&] { fs::create_hard_link(Path("victim.txt"), temp); },
       "a file with other names (hard links), left untouched",
       [&] { EXPECT_EQ(victim, ReadFile(temp)); }},
      {"a file another run holds",
       [&] {
         WriteFile(temp, "another run's package, half written");
         held = open(temp.c_str(), O_WRONLY | O_CLOEXEC);
         ASSERT_EQ(0, flock(held, LOCK_EX | LOCK_NB));
       },
       "held by another quillo process",
       [&] {
         EXPECT_EQ("another run's package, half written", ReadFile(temp));
         close(held);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(work);
    fs::create_directories(work);
    WriteFile(Path("victim.txt"), victim);
    WriteFile(work / "game.pck", original);
    c.make();
    const Captured run = RunCaptured({"-r", "-z", "9", "game.pck"}, work);
    EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
    EXPECT_EQ(kBanner + ModeLine("game.pck", 9) + kMounted + kOpenFailed, run.out);
    EXPECT_EQ("quillo: tmp.pck: " + c.reason + "\n", run.err);
    c.check();
    EXPECT_EQ(original, ReadFile(work / "game.pck"));
    EXPECT_EQ((std::set<std::string>{"game.pck", "tmp.pck"}), Listing(work));
    EXPECT_EQ(victim, ReadFile(Path("victim.txt")));
  }
#endif
}

// --- Every failure says why -------------------------------------------------------

TEST_F(SafeRepackTest, EveryFailedRepackSaysWhyOnStandardError) {
  SKIP_UNLESS_LINUX("the tool's standard error in a forked child, RLIMIT_FSIZE");
#ifndef _WIN32
  const FixturePackage three = ThreeEntries();
  FixturePackage damaged = three;
  damaged.entries[2].stored = "damaged stored bytes";
  damaged.entries[2].dataSize = 2000;
  FixturePackage pastEnd = three;
  pastEnd.entries[0].stored = "";
  pastEnd.entries[0].offset = 0x7FFFFFF0;
  pastEnd.entries[0].storedSize = 16;
  FixturePackage cannotHold = three;
  cannotHold.entries[2].dataSize = 0xFFFFFFF0;

  const struct {
    const char* label;
    std::string package;
    std::string path = "game.pck";
    std::vector<std::string> args;
    std::string tail;  // stdout after the mount line
    std::string err;
    bool backupExists = false;
    uint64_t fileSizeLimit = 0;
  } cases[] = {
      {"existing backup",
       BuildPackage(three),
       "game.pck",
       {"-r", "game.pck"},
       RepackProgress(3, 3, 3) + kOperationFailed,
       "quillo: game.pck.old: File exists\n",
       true},
      {"damaged entry",
       BuildPackage(damaged),
       "game.pck",
       {"-r", "-z", "9", "game.pck"},
       RepackProgress(3, 2) + "\n zlib error\n",
       "quillo: noise.bin: its stored bytes cannot be decoded\n"},
      {"stored bytes past the end",
       BuildPackage(pastEnd),
       "game.pck",
       {"-r", "game.pck"},
       kOperationFailed,
       "quillo: text.txt: its stored bytes lie beyond the end of the package\n"},
      {"a size the stored bytes cannot hold",
       BuildPackage(cannotHold),
       "game.pck",
       {"-r", "-z", "1", "game.pck"},
       RepackProgress(3, 2) + "\n zlib error\n",
       "quillo: noise.bin: its stored bytes cannot hold its data\n"},
      {"the package is tmp.pck",
       BuildPackage(three),
       "tmp.pck",
       {"-r", "tmp.pck"},
       kOperationFailed,
       "quillo: tmp.pck: the package itself\n"},
      {"a file-size limit",
       BuildPackage(three),
       "game.pck",
       {"-r", "game.pck"},
       RepackProgress(3, 3, 3) + kOperationFailed,
       "quillo: tmp.pck: File too large\n",
       false,
       1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (const auto& name : Listing(dir_)) fs::remove_all(Path(name));
    WriteFile(Path(c.path), c.package);
    if (c.backupExists) WriteFile(Path(c.path + ".old"), "the previous backup");
    const uint64_t limit = c.fileSizeLimit;
    const Captured run = RunCaptured(c.args, dir_, {}, [limit] {
      if (limit == 0) return;
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit rl = {limit, limit};
      setrlimit(RLIMIT_FSIZE, &rl);
    });
    const int level = c.args.size() > 2 ? std::stoi(c.args[2]) : -1;
    EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
    EXPECT_EQ(kBanner + ModeLine(c.path, level) + kMounted + c.tail, run.out);
    EXPECT_EQ(c.err, run.err);
    EXPECT_EQ(c.package, ReadFile(Path(c.path)));
    std::set<std::string> expected = {c.path};
    if (c.backupExists) expected.insert(c.path + ".old");
    EXPECT_EQ(expected, Listing(dir_));
  }
#endif
}

// --- A package reached through links; its permissions and owner ---------------------

// Records the folders whose free space is asked for.
class FreeSpaceQueries : public host::HostWrapper {
 public:
  FreeSpaceQueries() : HostWrapper(host::Host::Default()) {}
  uint64_t FreeBytes(const std::u16string& directory) override {
    directories.push_back(directory);
    return target_.FreeBytes(directory);
  }
  std::vector<std::u16string> directories;
};

TEST_F(SafeRepackTest, PackageReachedThroughLinksIsRepackedWhereItIs) {
  SKIP_UNLESS_LINUX("symbolic links");
#ifndef _WIN32
  const Sources sources = MakeSources("l", 8, 3);
  const std::string original = PackageOf(sources);
  // What a repack of the package itself gives.
  fs::create_directories(Path("ref"));
  WriteFile(Path("ref/game.pck"), original);
  ASSERT_PCK_OK(Repack("ref/game.pck", 9));
  const std::string repacked = ReadFile(Path("ref/game.pck"));

  const struct {
    const char* label;
    std::string first;  // what links/one.pck points to
  } cases[] = {
      {"relative links", "../real/game.pck"},
      {"an absolute link at the end of the chain", testutil::PathU8(Path("real/game.pck"))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (const char* name : {"real", "links", "two.pck"}) fs::remove_all(Path(name));
    fs::create_directories(Path("real"));
    fs::create_directories(Path("links"));
    WriteFile(Path("real/game.pck"), original);
    fs::create_symlink(c.first, Path("links/one.pck"));
    fs::create_symlink("links/one.pck", Path("two.pck"));

    const Captured run = RunCaptured({"-r", "-z", "9", "two.pck"}, dir_);
    EXPECT_EQ(kBanner + ModeLine("two.pck", 9) + kMounted + RepackProgress(8, 8, 8) +
                  "\n repack success\n",
              run.out);
    EXPECT_EQ("", run.err);
    // The package was repacked where it is, its backup beside it, and the links
    // still lead to it.
    EXPECT_EQ(repacked, ReadFile(Path("real/game.pck")));
    EXPECT_EQ(original, ReadFile(Path("real/game.pck.old")));
    EXPECT_EQ(fs::path("links/one.pck"), fs::read_symlink(Path("two.pck")));
    EXPECT_EQ(fs::path(c.first), fs::read_symlink(Path("links/one.pck")));
    EXPECT_EQ((std::set<std::string>{"game.pck", "game.pck.old"}), Listing(Path("real")));
    EXPECT_EQ((std::set<std::string>{"one.pck"}), Listing(Path("links")));
    EXPECT_EQ((std::set<std::string>{"links", "real", "ref", "two.pck"}), Listing(dir_));
    EXPECT_TRUE(Holds(Path("two.pck"), sources));

    // The free space is asked for the real file's folder.
    fs::remove(Path("real/game.pck.old"));
    FreeSpaceQueries queries;
    host::Host::SetCurrent(&queries);
    ASSERT_PCK_OK(Repack("two.pck", 1));
    host::Host::SetCurrent(nullptr);
    ASSERT_EQ(1u, queries.directories.size());
    EXPECT_TRUE(fs::equivalent(Path("real"), testutil::P(U8(queries.directories[0]))))
        << U8(queries.directories[0]);
  }
#endif
}

TEST_F(SafeRepackTest, RepackedPackageKeepsItsPermissionsOwnerAndGroup) {
  SKIP_UNLESS_LINUX("POSIX permission bits, owner and group");
#ifndef _WIN32
  const std::string original = BuildPackage(ThreeEntries());
  // Only a privileged run may give the package to another owner to begin with.
  const bool privileged = geteuid() == 0;
  for (const mode_t mode : {0600, 0640, 0444, 0755}) {
    SCOPED_TRACE(mode);
    fs::remove(Path("game.pck.old"));
    fs::remove(Path("game.pck"));
    WriteFile(Path("game.pck"), original);
    ASSERT_EQ(0, chmod("game.pck", mode));
    if (privileged) {
      ASSERT_EQ(0, chown("game.pck", 1234, 5678));
    }
    struct stat before;
    ASSERT_EQ(0, stat("game.pck", &before));
    ASSERT_PCK_OK(Repack("game.pck", 9));
    struct stat after;
    ASSERT_EQ(0, stat("game.pck", &after));
    EXPECT_NE(before.st_ino, after.st_ino) << "not a new file";
    EXPECT_EQ(mode, after.st_mode & 07777);
    EXPECT_EQ(before.st_uid, after.st_uid);
    EXPECT_EQ(before.st_gid, after.st_gid);
  }
#endif
}

#ifndef _WIN32

// --- Concurrent repacks ------------------------------------------------------------

// Repacks `name` for `rounds` rounds, removing the backup after each success; 0
// when every round left the package either repacked (holding its own entries) or
// exactly as it was.
int RepackRounds(const std::string& name, const Sources& sources, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    const std::string before = ReadFile(name);
    PckArchive archive;
    if (archive.Open(U16(name)) != PckStatus::kSuccess) return 2;
    const PckStatus status = archive.Repack(round % 2 == 0 ? 9 : 1, nullptr);
    archive.Close();
    if (status == PckStatus::kSuccess) {
      if (!Holds(name, sources)) return 3;
      if (ReadFile(name + ".old") != before) return 4;
      fs::remove(name + ".old");
    } else if (ReadFile(name) != before || fs::exists(name + ".old")) {
      return 5;
    }
  }
  return 0;
}

#endif  // _WIN32

TEST_F(SafeRepackTest, ConcurrentRepacksInOneFolderKeepEachPackageItsOwn) {
  SKIP_UNLESS_LINUX("two processes made by fork");
#ifndef _WIN32
  const Sources a = MakeSources("a", 40, 11);
  const Sources b = MakeSources("b", 40, 12);
  WriteFile(Path("A.pck"), PackageOf(a));
  WriteFile(Path("B.pck"), PackageOf(b));
  int start[2];
  ASSERT_EQ(0, pipe(start));
  std::vector<pid_t> children;
  for (const auto& [name, sources] : {std::pair{"A.pck", &a}, std::pair{"B.pck", &b}}) {
    fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
      close(start[1]);
      char byte;
      if (read(start[0], &byte, 1) < 0) _exit(1);  // both begin together
      _exit(RepackRounds(name, *sources, 20));
    }
    children.push_back(pid);
  }
  close(start[0]);
  close(start[1]);
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(0, WEXITSTATUS(status)) << "2 no open, 3 mixed entries, 4 wrong backup, 5 changed";
  }
  EXPECT_TRUE(Holds(Path("A.pck"), a));
  EXPECT_TRUE(Holds(Path("B.pck"), b));
  EXPECT_EQ((std::set<std::string>{"A.pck", "B.pck"}), Listing(dir_));
#endif
}

#ifndef _WIN32

// --- Interruptions -----------------------------------------------------------------

// Stops the process at the `at`-th write to "tmp.pck": says so on `ready` and waits
// to be ended.
class PausingHost : public host::HostWrapper {
 public:
  PausingHost(int at, int ready) : HostWrapper(host::Host::Default()), at_(at), ready_(ready) {}
  std::unique_ptr<host::File> OpenExclusive(const std::u16string& path,
                                            host::ExclusiveOpen* outcome) override {
    auto real = target_.OpenExclusive(path, outcome);
    if (!real) return real;
    return std::make_unique<PausingFile>(std::move(real), at_, ready_);
  }

 private:
  class PausingFile final : public ForwardingFile {
   public:
    PausingFile(std::unique_ptr<host::File> real, int at, int ready)
        : ForwardingFile(std::move(real)), at_(at), ready_(ready) {}
    size_t Write(const void* data, size_t size) override {
      if (++writes_ == at_) {
        const char byte = 1;
        if (write(ready_, &byte, 1) != 1) _exit(4);
        for (;;) pause();
      }
      return ForwardingFile::Write(data, size);
    }

   private:
    int at_;
    int ready_;
    int writes_ = 0;
  };

  int at_;
  int ready_;
};

#endif  // _WIN32

TEST_F(SafeRepackTest, InterruptedRepackRemovesTmpAndKeepsThePackage) {
  SKIP_UNLESS_LINUX("SIGINT and SIGTERM sent to a forked child");
#ifndef _WIN32
  FixturePackage package = ThreeEntries();
  const std::string original = BuildPackage(package);
  // The placeholder header is write 1, the entries' data writes 2 to 4, the first
  // record's length words and body writes 5 to 7.
  for (const int signal : {SIGINT, SIGTERM}) {
    for (const int at : {2, 6}) {
      SCOPED_TRACE(std::to_string(signal) + " at write " + std::to_string(at));
      fs::remove(Path("tmp.pck"));
      WriteFile(Path("game.pck"), original);
      int ready[2];
      ASSERT_EQ(0, pipe(ready));
      fflush(nullptr);
      const pid_t pid = fork();
      ASSERT_NE(-1, pid);
      if (pid == 0) {
        close(ready[0]);
        PausingHost pausing(at, ready[1]);
        host::Host::SetCurrent(&pausing);
        PckArchive archive;
        if (archive.Open(u"game.pck") != PckStatus::kSuccess) _exit(2);
        (void)archive.Repack(9, nullptr);
        _exit(3);  // never paused
      }
      close(ready[1]);
      char byte = 0;
      const ssize_t got = read(ready[0], &byte, 1);
      close(ready[0]);
      if (got == 1) {
        EXPECT_TRUE(fs::exists(Path("tmp.pck")));
        kill(pid, signal);
      }
      int status = 0;
      ASSERT_EQ(pid, waitpid(pid, &status, 0));
      ASSERT_EQ(1, got) << "exit status " << WEXITSTATUS(status);
      ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
      EXPECT_EQ(signal, WTERMSIG(status));
      EXPECT_EQ((std::set<std::string>{"game.pck"}), Listing(dir_));
      EXPECT_EQ(original, ReadFile(Path("game.pck")));
    }
  }
#endif
}

#ifndef _WIN32
// Interrupts its own process right after the package has become its backup.
class InterruptAfterFirstRename : public host::HostWrapper {
 public:
  explicit InterruptAfterFirstRename(int signal)
      : HostWrapper(host::Host::Default()), signal_(signal) {}
  bool RenameFile(const std::u16string& from, const std::u16string& to) override {
    const bool renamed = target_.RenameFile(from, to);
    if (renamed && from == u"game.pck") kill(getpid(), signal_);
    return renamed;
  }

 private:
  int signal_;
};
#endif  // _WIN32

TEST_F(SafeRepackTest, InterruptionBetweenTheRenamesWaitsForTheSecond) {
  SKIP_UNLESS_LINUX("SIGINT and SIGTERM raised in a forked child");
#ifndef _WIN32
  const std::string original = BuildPackage(ThreeEntries());
  WriteFile(Path("game.pck"), original);
  ASSERT_PCK_OK(Repack("game.pck", 9));
  const std::string repacked = ReadFile(Path("game.pck"));
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    fs::remove(Path("game.pck.old"));
    WriteFile(Path("game.pck"), original);
    fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
      InterruptAfterFirstRename interrupting(signal);
      host::Host::SetCurrent(&interrupting);
      PckArchive archive;
      if (archive.Open(u"game.pck") != PckStatus::kSuccess) _exit(2);
      (void)archive.Repack(9, nullptr);
      _exit(3);  // the signal did not end the process
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
    EXPECT_EQ(signal, WTERMSIG(status));
    // The process ended once the new package was in place, the old one its backup.
    EXPECT_EQ((std::set<std::string>{"game.pck", "game.pck.old"}), Listing(dir_));
    EXPECT_EQ(repacked, ReadFile(Path("game.pck")));
    EXPECT_EQ(original, ReadFile(Path("game.pck.old")));
  }
#endif
}

// --- Memory and threads --------------------------------------------------------------

TEST_F(SafeRepackTest, EntryTooLargeForMemoryFailsThatEntryAndLeavesThePackage) {
  SKIP_UNLESS_LINUX("an address-space limit (RLIMIT_AS) on the child");
#ifndef _WIN32
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory alone exceeds the address-space limit";
#endif
  // Stored bytes that could hold 1000 MiB: decoding them needs that much room first.
  FixturePackage package = ThreeEntries();
  package.entries[2].name = "huge.bin";
  package.entries[2].stored = Noise(1 << 20);
  package.entries[2].dataSize = 1000u << 20;
  const std::string original = BuildPackage(package);
  WriteFile(Path("game.pck"), original);
  for (const char* threads : {"1", "2"}) {
    SCOPED_TRACE(threads);
    const Captured run = RunCaptured({"-r", "-z", "9", "game.pck"}, dir_,
                                     {std::string("QUILLO_THREADS=") + threads}, [] {
                                       struct rlimit limit = {rlim_t{512} << 20, rlim_t{512} << 20};
                                       setrlimit(RLIMIT_AS, &limit);
                                     });
    EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
    EXPECT_EQ(
        kBanner + ModeLine("game.pck", 9) + kMounted + RepackProgress(3, 2) + kOperationFailed,
        run.out);
    EXPECT_EQ("quillo: huge.bin: not enough memory\n", run.err);
    EXPECT_EQ(original, ReadFile(Path("game.pck")));
    EXPECT_EQ((std::set<std::string>{"game.pck"}), Listing(dir_));
  }
#endif
}

TEST_F(SafeRepackTest, ToolOutOfThreadsRepacksAsWithOne) {
  SKIP_UNLESS_LINUX("a process limit (RLIMIT_NPROC) on the child");
#ifndef _WIN32
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime starts threads of its own";
#endif
  const std::string original = PackageOf(MakeSources("t", 60, 9));
  WriteFile(Path("game.pck"), original);
  SetPckThreadCount(1);
  ASSERT_PCK_OK(Repack("game.pck", 9));
  const std::string reference = ReadFile(Path("game.pck"));
  fs::remove(Path("game.pck.old"));
  WriteFile(Path("game.pck"), original);

  // The system refuses every new thread (and process) of the user that runs the
  // tool; a privileged test gives the child to an ordinary user first, for whom
  // the limit holds.
  const bool privileged = geteuid() == 0;
  if (privileged) {
    fs::permissions(dir_, fs::perms::all, fs::perm_options::add);
    fs::permissions(Path("game.pck"), fs::perms::others_read, fs::perm_options::add);
    // The tool may lie below a folder closed to other users (a build in /root, say).
    const Captured probe = RunCaptured({"--version"}, dir_, {}, [] {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
    });
    if (probe.exitCode != 0) {
      GTEST_SKIP() << "Linux only: an ordinary user cannot run the tool where it was built";
    }
  }
  const Captured run =
      RunCaptured({"-r", "-z", "9", "game.pck"}, dir_, {"QUILLO_THREADS=4"}, [privileged] {
        if (privileged && (setgid(65534) != 0 || setuid(65534) != 0)) {
          _exit(125);
        }
        struct rlimit limit = {1, 1};
        setrlimit(RLIMIT_NPROC, &limit);
      });
  EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
  EXPECT_EQ(kBanner + ModeLine("game.pck", 9) + kMounted + RepackProgress(60, 60, 60) +
                "\n repack success\n",
            run.out);
  EXPECT_EQ("", run.err);
  EXPECT_TRUE(ReadFile(Path("game.pck")) == reference) << "the package differs";
  EXPECT_EQ(original, ReadFile(Path("game.pck.old")));
#endif
}

}  // namespace
