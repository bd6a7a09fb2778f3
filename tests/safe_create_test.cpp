// safe_create_test.cpp - creation takes every file or writes nothing: a package
// already at the path comes through every failure, kill and interruption byte for
// byte, no temporary file stays beside it, names that cannot be stored whole are
// refused before anything is written, the search fails on what it cannot take, and
// each failure says on standard error which file and why.
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
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
#include "names.h"
#include "test_util.h"
#include "work_queue.h"

// A sanitizer reserves far more address space than any limit a test may set.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUILLO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define QUILLO_SANITIZED 1
#endif
#endif

namespace {

namespace fs = std::filesystem;
using testutil::kBanner;
using testutil::Noise;
using testutil::PathU8;
using testutil::Progress;
using testutil::ReadFile;
using testutil::TempDirTest;
using testutil::Text;
using testutil::U16;
using testutil::U8;
using testutil::WriteFile;

const std::string kSearching = " serching files...done\n";
const std::string kOpenError = "\n pck create error : file open error";
const std::string kOperationError = "\n pck create error : file operation error";
const std::string kSuccess = "\n pck create success\n";

std::string ModeLine(const std::string& pck, int level = -1) {
  return "       pck : " + pck + "\n      mode : create\ncomp level : " + std::to_string(level) +
         "\n";
}

std::string Repeat(const std::string& unit, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out += unit;
  return out;
}

class SafeCreateTest : public TempDirTest {
 protected:
  // The names directly inside the scratch folder: a temporary file left beside the
  // package would show here.
  std::set<std::string> TopLevel() const {
    std::set<std::string> out;
    for (const auto& item : fs::directory_iterator(dir_))
      out.insert(PathU8(item.path().filename()));
    return out;
  }

  // A package at "game.pck" made from its own small tree, which is then removed:
  // what every failure below must leave exactly as it is.
  std::string OlderPackage() {
    WriteFile(Path("old/keep.txt"), Text(3000, "keep "));
    WriteFile(Path("old/noise.bin"), Noise(2000, 3));
    std::u16string base = U16(Path("old"));
    base.push_back(host::kPathSeparator);
    FileList files;
    EXPECT_TRUE(CollectFiles(base, &files));
    PckArchive archive;
    EXPECT_EQ(PckStatus::kSuccess, archive.Create(base, 9, U16(Path("game.pck")), files, nullptr));
    archive.Close();
    fs::remove_all(Path("old"));
    return ReadFile(Path("game.pck"));
  }
};

// --- The library ------------------------------------------------------------------

// A package path that leads to something other than a regular file: 1, and nothing
// is written there or beside it.
TEST_F(SafeCreateTest, PackagePathThatIsNoRegularFileFailsWithOne) {
  WriteFile(Path("src/a.txt"), "alpha");
  fs::create_directory(Path("folder.pck"));
  const std::u16string base = U16(Path("src")) + host::kPathSeparator;
  const FileList files = {base + u"a.txt"};
  struct Case {
    const char* label;
    std::string package;
    bool linuxOnly;
  };
  std::vector<Case> cases = {{"a folder", "folder.pck", false}};
#ifndef _WIN32
  ASSERT_EQ(0, mkfifo(Path("pipe.pck").c_str(), 0644));
  fs::create_symlink("folder.pck", Path("link.pck"));
  cases.push_back({"a named pipe", "pipe.pck", true});
  cases.push_back({"a link to a folder", "link.pck", true});
#endif
  const std::set<std::string> before = TopLevel();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    PckArchive archive;
    EXPECT_EQ(PckStatus::kFileOpenError,
              archive.Create(base, -1, U16(Path(c.package)), files, nullptr));
    EXPECT_FALSE(archive.IsOpen());
    EXPECT_EQ(U16(Path(c.package)), archive.failure().subject);
    EXPECT_EQ(u"not a regular file", archive.failure().reason);
    EXPECT_EQ(before, TopLevel());
    EXPECT_TRUE(fs::is_empty(Path("folder.pck")));
  }
}

// A package path that is a link: the file it leads to gets the new package, in its
// own folder, and the link stays a link (also when it leads to nothing yet).
TEST_F(SafeCreateTest, PackagePathThatIsALinkReplacesTheFileItLeadsTo) {
  SKIP_UNLESS_LINUX("symbolic links");
  WriteFile(Path("src/a.txt"), "alpha");
  WriteFile(Path("store/real.pck"), "an older file");
  fs::create_symlink("store/real.pck", Path("game.pck"));
  fs::create_symlink("store/later.pck", Path("later.pck"));
  const std::u16string base = U16(Path("src")) + host::kPathSeparator;
  for (const char* link : {"game.pck", "later.pck"}) {
    SCOPED_TRACE(link);
    PckArchive archive;
    ASSERT_PCK_OK(archive.Create(base, -1, U16(Path(link)), {base + u"a.txt"}, nullptr));
    EXPECT_TRUE(fs::is_symlink(Path(link)));
    ASSERT_EQ(1u, archive.entries().size());
    EXPECT_EQ(u"a.txt", EntryNameView(archive.entries()[0].name));
  }
  EXPECT_EQ(ReadFile(Path("game.pck")), ReadFile(Path("store/real.pck")));
  EXPECT_EQ((std::set<std::string>{"later.pck", "real.pck"}), [&] {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(Path("store"))) {
      names.insert(PathU8(item.path().filename()));
    }
    return names;
  }());
}

// The package replaced keeps its permission bits, and its owner and group where the
// process may set them; one that could not be overwritten in place is not replaced.
TEST_F(SafeCreateTest, ReplacedPackageKeepsItsModeAndOwner) {
  SKIP_UNLESS_LINUX("POSIX permission bits and owners");
#ifndef _WIN32
  const std::string older = OlderPackage();
  WriteFile(Path("src/a.txt"), "alpha");
  const std::u16string base = U16(Path("src")) + host::kPathSeparator;
  const bool root = geteuid() == 0;
  ASSERT_EQ(0, chmod(Path("game.pck").c_str(), 0640));
  if (root) {
    ASSERT_EQ(0, chown(Path("game.pck").c_str(), 4321, 4322));
  }
  PckArchive archive;
  ASSERT_PCK_OK(archive.Create(base, -1, U16(Path("game.pck")), {base + u"a.txt"}, nullptr));
  struct stat st;
  ASSERT_EQ(0, stat(Path("game.pck").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  if (root) {
    EXPECT_EQ(4321u, st.st_uid);
    EXPECT_EQ(4322u, st.st_gid);
  }
  EXPECT_NE(older, ReadFile(Path("game.pck")));

  if (root) return;  // root writes whatever the mode
  const std::string current = ReadFile(Path("game.pck"));
  ASSERT_EQ(0, chmod(Path("game.pck").c_str(), 0444));
  EXPECT_EQ(PckStatus::kFileOpenError,
            archive.Create(base, -1, U16(Path("game.pck")), {base + u"a.txt"}, nullptr));
  EXPECT_EQ(u"Permission denied", archive.failure().reason);
  EXPECT_EQ(current, ReadFile(Path("game.pck")));
#endif
}

// On Linux '\' is an ordinary character of a file name, but in an entry name it
// separates levels: "a\b.txt" would become the entry of a/b.txt, and "..\..\x.txt"
// a name that extraction refuses. Refused before anything is read or written.
TEST_F(SafeCreateTest, BackslashInALinuxFileNameIsRefusedBeforeAnythingIsWritten) {
  SKIP_UNLESS_LINUX("'\\' is a separator in Windows paths");
  const std::string older = OlderPackage();
  for (const char* name : {"a\\b.txt", "..\\..\\x.txt"}) {
    SCOPED_TRACE(name);
    WriteFile(Path("src/a/b.txt"), "beta");
    WriteFile(Path(std::string("src/") + name), "the other one");
    const std::u16string base = U16(Path("src")) + u"/";
    const FileList files = {base + u"a/b.txt", base + U16(fs::path(name))};
    PckArchive archive;
    EXPECT_EQ(PckStatus::kFileOperationError,
              archive.Create(base, -1, U16(Path("game.pck")), files, nullptr));
    EXPECT_TRUE(archive.entries().empty());
    EXPECT_EQ(files[1], archive.failure().subject);
    EXPECT_EQ(u"'\\' in a file name cannot be stored in a package", archive.failure().reason);
    EXPECT_EQ(older, ReadFile(Path("game.pck")));
    EXPECT_EQ((std::set<std::string>{"game.pck", "src"}), TopLevel());
    fs::remove_all(Path("src"));
  }
  // A '\' in the base directory is no part of any entry name.
  WriteFile(Path("odd\\dir/a.txt"), "alpha");
  const std::u16string base = U16(Path("odd\\dir")) + u"/";
  PckArchive archive;
  EXPECT_PCK_OK(archive.Create(base, -1, U16(Path("game.pck")), {base + u"a.txt"}, nullptr));
}

// The search reports what it cannot take instead of leaving it out.
class ListingHost : public host::HostWrapper {
 public:
  ListingHost() : HostWrapper(host::Host::Default()) {}
  bool ListDirectory(const std::u16string& directory, std::vector<host::DirItem>* items) override {
    if (refused.count(directory)) return false;
    const bool listed = target_.ListDirectory(directory, items);
    for (host::DirItem& item : *items) {
      auto found = problems.find(item.name);
      if (found != problems.end()) item.problem = found->second;
    }
    return listed;
  }
  std::set<std::u16string> refused;                   // these cannot be listed
  std::map<std::u16string, std::u16string> problems;  // item name -> its problem
};

TEST_F(SafeCreateTest, SearchStopsAtTheFirstItemItCannotTake) {
  WriteFile(Path("data/a.txt"), "a");
  WriteFile(Path("data/sub/b.txt"), "b");
  WriteFile(Path("data/sub/c.txt"), "c");
  std::u16string base = U16(Path("data"));
  base.push_back(host::kPathSeparator);
  const std::u16string sub = base + u"sub" + host::kPathSeparator;
  ListingHost listing;
  host::Host::SetCurrent(&listing);

  FileList files;
  SearchError error;
  EXPECT_TRUE(CollectFiles(base, &files, nullptr, &error));
  EXPECT_EQ(3u, files.size());

  listing.refused = {sub};
  files.clear();
  EXPECT_FALSE(CollectFiles(base, &files, nullptr, &error));
  EXPECT_EQ(base + u"sub", error.path);
  EXPECT_FALSE(error.root);

  listing.refused = {base};
  EXPECT_FALSE(CollectFiles(base, &files, nullptr, &error));
  EXPECT_EQ(U16(Path("data")), error.path);
  EXPECT_TRUE(error.root);

  listing.refused.clear();
  listing.problems = {{u"c.txt", u"File name too long"}};
  EXPECT_FALSE(CollectFiles(base, &files, nullptr, &error));
  EXPECT_EQ(sub + u"c.txt", error.path);
  EXPECT_EQ(u"File name too long", error.reason);
  EXPECT_FALSE(error.root);
}

#ifndef _WIN32

// --- Processes that die while creating (Linux: fork, kill, signals) --------------------

// The host that runs a hook at each write point (tests/hooked_host.h).
using testhook::HookedHost;

class DyingCreateTest : public SafeCreateTest {
 protected:
  void SetUp() override {
    SafeCreateTest::SetUp();
    for (int i = 0; i < 24; ++i) {
      const std::string data = i % 5 == 0 ? Noise(40000, i) : Text(900 + 97 * i, "words ");
      WriteFile(Path("src/d" + std::to_string(i % 3) + "/f" + std::to_string(i) + ".txt"), data);
    }
    base_ = U16(Path("src")) + host::kPathSeparator;
    ASSERT_TRUE(CollectFiles(base_, &files_));
  }

  PckStatus CreateHere(PckArchive* archive) {
    return archive->Create(base_, 9, u"game.pck", files_, nullptr);
  }

  // The write points of one creation, in order.
  std::vector<std::string> WritePoints() {
    std::vector<std::string> points;
    HookedHost counting([&](const char* what) { points.push_back(what); });
    host::Host::SetCurrent(&counting);
    PckArchive archive;
    EXPECT_PCK_OK(CreateHere(&archive));
    host::Host::SetCurrent(nullptr);
    return points;
  }

  // Creates over "game.pck" in a child with `threads` workers; `act` runs at write
  // point `point` (counting from 0) inside the child. Returns the wait status.
  int CreateInChild(unsigned threads, size_t point, void (*act)()) {
    const pid_t pid = fork();
    if (pid == 0) {
      SetPckThreadCount(threads);
      size_t seen = 0;
      HookedHost dying([&](const char*) {
        if (seen++ == point) act();
      });
      host::Host::SetCurrent(&dying);
      PckArchive archive;
      (void)CreateHere(&archive);
      _exit(3);  // the point was never reached
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }

  std::u16string base_;
  FileList files_;
};

using testhook::InterruptSelf;
using testhook::KillSelf;

// Killed at any write point, the creation leaves the older package byte for byte;
// once the rename is done, the new package whole. Only a temporary file may stay.
TEST_F(DyingCreateTest, KillAtEachWritePointLeavesTheOlderPackageWhole) {
  fs::remove(Path("game.pck"));
  const std::vector<std::string> points = WritePoints();
  const std::string created = ReadFile(Path("game.pck"));
  ASSERT_GT(points.size(), 30u);
  ASSERT_EQ("renamed", points.back());
  const std::string older = OlderPackage();
  ASSERT_NE(older, created);

  for (const unsigned threads : {1u, 3u}) {
    for (size_t point = 0; point < points.size(); ++point) {
      SCOPED_TRACE(std::to_string(threads) + " threads, point " + std::to_string(point) + " (" +
                   points[point] + ")");
      const int status = CreateInChild(threads, point, KillSelf);
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
      std::set<std::string> left = TopLevel();
      std::set<std::string> temporary;
      for (const std::string& name : left) {
        if (name.starts_with("game.pck.") && name.ends_with(".tmp")) temporary.insert(name);
      }
      for (const std::string& name : temporary) {
        left.erase(name);
        fs::remove(Path(name));
      }
      EXPECT_EQ((std::set<std::string>{"game.pck", "src"}), left);
      EXPECT_LE(temporary.size(), 1u);
      if (points[point] == "renamed") {
        EXPECT_TRUE(temporary.empty());
        EXPECT_EQ(created, ReadFile(Path("game.pck")));
        WriteFile(Path("game.pck"), older);
      } else {
        EXPECT_EQ(older, ReadFile(Path("game.pck")));
      }
    }
  }
}

// SIGINT or SIGTERM in the middle of a creation removes the temporary file before
// the process ends of the signal; the older package stays.
TEST_F(DyingCreateTest, InterruptRemovesTheTemporaryFile) {
  const std::vector<std::string> points = WritePoints();
  const std::string older = OlderPackage();
  for (const size_t point : {size_t{0}, points.size() / 2, points.size() - 3}) {
    SCOPED_TRACE(point);
    const int status = CreateInChild(2, point, InterruptSelf);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ((std::set<std::string>{"game.pck", "src"}), TopLevel());
    EXPECT_EQ(older, ReadFile(Path("game.pck")));
  }
}

// --- The tool: what it prints and what it leaves (Linux: standard error apart) ----------

struct Captured {
  std::string out;
  std::string err;
  int exitCode = -1;
  int signal = 0;
};

struct Limits {
  uint64_t addressSpace = 0;  // RLIMIT_AS, when not 0
  uint64_t fileSize = 0;      // RLIMIT_FSIZE, when not 0 (SIGXFSZ ignored)
  std::vector<std::string> env;
};

// Runs the tool with standard output and standard error kept apart.
Captured RunCaptured(const std::vector<std::string>& args, const Limits& limits = {}) {
  char errName[] = "/tmp/quillo-stderr-XXXXXX";
  const int errFd = mkstemp(errName);
  int pipes[2];
  if (errFd < 0 || pipe(pipes) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(pipes[1], 1);
    dup2(errFd, 2);
    close(pipes[0]);
    close(pipes[1]);
    for (const std::string& setting : limits.env) putenv(strdup(setting.c_str()));
    if (limits.fileSize != 0) {
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {limits.fileSize, limits.fileSize};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (limits.addressSpace != 0) {
      struct rlimit limit = {limits.addressSpace, limits.addressSpace};
      setrlimit(RLIMIT_AS, &limit);
    }
    std::string binary = QUILLO_BINARY;
    std::vector<std::string> copies = args;
    std::vector<char*> argv = {binary.data()};
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(pipes[1]);
  Captured result;
  char buffer[4096];
  ssize_t got;
  while ((got = read(pipes[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, got);
  close(pipes[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  close(errFd);
  result.err = ReadFile(errName);
  unlink(errName);
  return result;
}

// Each failing run: its stdout after the mode line, its one stderr line, and the
// older package left as it was with nothing beside it.
struct FailingRun {
  const char* label;
  std::function<void(const fs::path& dir)> setup;  // makes the tree below "data"
  std::vector<std::string> args;
  std::string tail;
  std::string err;
};

class SafeCreateCliTest : public SafeCreateTest {
 protected:
  void Expect(const FailingRun& c, const std::string& older, const Limits& limits = {}) {
    SCOPED_TRACE(c.label);
    fs::remove_all(Path("data"));
    fs::create_directory(Path("data"));
    if (c.setup) c.setup(dir_);
    const std::set<std::string> before = TopLevel();
    const Captured run = RunCaptured(c.args, limits);
    EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
    EXPECT_EQ(
        kBanner + ModeLine(c.args.back(), c.args.size() == 5 ? std::stoi(c.args[3]) : -1) + c.tail,
        run.out);
    EXPECT_EQ(c.err + "\n", run.err);
    EXPECT_EQ(older, ReadFile(Path("game.pck")));
    EXPECT_EQ(before, TopLevel());
  }
};

// The folder to pack cannot be searched: "file open error", and the package made
// before is kept, where the original left an empty package in its place.
TEST_F(SafeCreateCliTest, FolderThatCannotBeSearchedLeavesThePackage) {
  const std::string older = OlderPackage();
  WriteFile(Path("afile"), "not a folder");
  const FailingRun cases[] = {
      {"a typo",
       nullptr,
       {"-c", "dtaa", "game.pck"},
       kSearching + kOpenError,
       "quillo: dtaa: No such file or directory"},
      {"a typo, with a separator",
       nullptr,
       {"-c", "dtaa/", "game.pck"},
       kSearching + kOpenError,
       "quillo: dtaa: No such file or directory"},
      {"a file",
       nullptr,
       {"-c", "afile", "game.pck"},
       kSearching + kOpenError,
       "quillo: afile: Not a directory"},
  };
  for (const FailingRun& c : cases) Expect(c, older);
}

// Whatever in the tree cannot be packed fails the run: "file operation error", a
// line that names it, and nothing written.
TEST_F(SafeCreateCliTest, ItemsThatCannotBePackedFailTheSearch) {
  const std::string older = OlderPackage();
  auto withFiles = [](std::function<void(const fs::path&)> more) {
    return [more](const fs::path& dir) {
      WriteFile(dir / "data/a.txt", "alpha");
      WriteFile(dir / "data/sub/b.txt", "beta");
      more(dir);
    };
  };
  const std::vector<std::string> args = {"-c", "data", "game.pck"};
  const std::string tail = kSearching + kOperationError;
  const FailingRun cases[] = {
      {"a named pipe",
       withFiles([](const fs::path& dir) { mkfifo((dir / "data/sub/p").c_str(), 0644); }), args,
       tail, "quillo: data/sub/p: not a regular file"},
      {"a link that leads nowhere", withFiles([](const fs::path& dir) {
         fs::create_symlink("gone.txt", dir / "data/dangling");
       }),
       args, tail, "quillo: data/dangling: No such file or directory"},
      {"a link to itself",
       withFiles([](const fs::path& dir) { fs::create_symlink("self", dir / "data/self"); }), args,
       tail, "quillo: data/self: Too many levels of symbolic links"},
      {"a link to a folder above it", withFiles([](const fs::path& dir) {
         fs::create_directory_symlink("..", dir / "data/sub/up");
       }),
       args, tail, "quillo: data/sub/up: a link to a folder that contains it (a loop)"},
      {"a device",
       withFiles([](const fs::path& dir) { fs::create_symlink("/dev/null", dir / "data/null"); }),
       args, tail, "quillo: data/null: not a regular file"},
  };
  for (const FailingRun& c : cases) Expect(c, older);
}

// A folder that cannot be listed below the one searched. Root reads every folder,
// whatever its mode bits.
TEST_F(SafeCreateCliTest, UnreadableSubfolderFailsTheSearch) {
  if (geteuid() == 0) GTEST_SKIP() << "root lists folders whatever their mode";
  const std::string older = OlderPackage();
  const FailingRun c = {"an unreadable subfolder",
                        [](const fs::path& dir) {
                          WriteFile(dir / "data/a.txt", "alpha");
                          WriteFile(dir / "data/sub/b.txt", "beta");
                          fs::permissions(dir / "data/sub", fs::perms::none);
                        },
                        {"-c", "data", "game.pck"},
                        kSearching + kOperationError,
                        "quillo: data/sub: Permission denied"};
  Expect(c, older);
  fs::permissions(Path("data/sub"), fs::perms::owner_all);
}

// Paths longer than the system takes (4096 bytes here) were left out in silence.
TEST_F(SafeCreateCliTest, PathLongerThanTheSystemTakesFailsTheSearch) {
  const std::string older = OlderPackage();
  const std::string part(200, 'd');
  const std::string name(100, 'f');
  constexpr int kLevels = 20;  // "data" and 20 folders: 4025 bytes, a folder that opens
  auto deepTree = [&](const fs::path& dir) {
    // Made one level at a time below an open folder: the whole path is too long
    // to be given to the system at once.
    int fd = open((dir / "data").c_str(), O_DIRECTORY | O_RDONLY);
    for (int level = 0; level < kLevels && fd >= 0; ++level) {
      mkdirat(fd, part.c_str(), 0755);
      const int next = openat(fd, part.c_str(), O_DIRECTORY | O_RDONLY);
      close(fd);
      fd = next;
    }
    close(openat(fd, name.c_str(), O_WRONLY | O_CREAT, 0644));
    close(fd);
  };
  std::string shown = "data";
  for (int level = 0; level < kLevels; ++level) shown += "/" + part;
  const FailingRun c = {"a file 4125 bytes down",
                        deepTree,
                        {"-c", "data", "game.pck"},
                        kSearching + kOperationError,
                        "quillo: " + shown + "/" + name + ": File name too long"};
  Expect(c, older);
  // The scratch folder is removed path by path: take the deep part away from below.
  std::function<void(int)> removeBelow = [&](int fd) {
    const int next = openat(fd, part.c_str(), O_DIRECTORY | O_RDONLY);
    if (next >= 0) {
      removeBelow(next);
      close(next);
      unlinkat(fd, part.c_str(), AT_REMOVEDIR);
    }
    unlinkat(fd, name.c_str(), 0);
  };
  const int top = open(Path("data").c_str(), O_DIRECTORY | O_RDONLY);
  removeBelow(top);
  close(top);
}

// Names the package cannot hold whole, and where the package cannot be made.
TEST_F(SafeCreateCliTest, UnstorableNamesAndUnwritablePackagePathsWriteNothing) {
  const std::string older = OlderPackage();
  const std::string cjk80 = Repeat("汉", 80);
  fs::create_directory(Path("folder.pck"));
  const FailingRun cases[] = {
      {"two folders of 80 CJK characters",
       [&](const fs::path& dir) {
         WriteFile(dir / "data/a.txt", "alpha");
         WriteFile(dir / testutil::P("data/" + cjk80 + "/" + cjk80 + "/x.txt"), "deep");
       },
       {"-c", "data", "game.pck"},
       kSearching + kOperationError,
       "quillo: data/" + cjk80 + "/" + cjk80 +
           "/x.txt: name too long for a package entry (327 bytes in code page 936, 256 at most)"},
      {"a '\\' in a file name",
       [](const fs::path& dir) {
         WriteFile(dir / "data/a/b.txt", "beta");
         WriteFile(dir / "data/a\\b.txt", "the other");
       },
       {"-c", "data", "game.pck"},
       kSearching + kOperationError,
       "quillo: data/a\\b.txt: '\\' in a file name cannot be stored in a package"},
      {"a file name with no code page 936 form",
       [](const fs::path& dir) { WriteFile(dir / testutil::P("data/smile\U0001F600"), "x"); },
       {"-c", "data", "game.pck"},
       kSearching + kOperationError,
       "quillo: data/smile\U0001F600: the character U+1F600 has no code page 936 form and cannot "
       "be stored in a package"},
      {"the package path is a folder",
       [](const fs::path& dir) { WriteFile(dir / "data/a.txt", "alpha"); },
       {"-c", "data", "folder.pck"},
       kSearching + kOpenError,
       "quillo: folder.pck: not a regular file"},
      {"the package's folder is missing",
       [](const fs::path& dir) { WriteFile(dir / "data/a.txt", "alpha"); },
       {"-c", "data", "nodir/game.pck"},
       kSearching + kOpenError,
       "quillo: nodir/game.pck: No such file or directory"},
  };
  for (const FailingRun& c : cases) Expect(c, older);
}

// A write that the disk refuses (a file-size limit here) leaves the older package,
// whatever was written of the new one.
TEST_F(SafeCreateCliTest, FullDiskLeavesTheOlderPackage) {
  const std::string older = OlderPackage();
  const FailingRun c = {"a limit of 20000 bytes",
                        [](const fs::path& dir) {
                          WriteFile(dir / "data/a.bin", Noise(30000, 1));
                          WriteFile(dir / "data/b.txt", "beta");
                        },
                        {"-c", "data", "-z", "0", "game.pck"},
                        "",  // the progress drawn before the failure depends on the order
                        "quillo: game.pck: File too large"};
  SCOPED_TRACE(c.label);
  fs::remove_all(Path("data"));
  c.setup(dir_);
  Limits limits;
  limits.fileSize = 20000;
  const Captured run = RunCaptured(c.args, limits);
  EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
  EXPECT_TRUE(run.out.starts_with(kBanner + ModeLine("game.pck", 0) + kSearching)) << run.out;
  EXPECT_TRUE(run.out.ends_with(kOperationError)) << run.out;
  EXPECT_EQ(c.err + "\n", run.err);
  EXPECT_EQ(older, ReadFile(Path("game.pck")));
  EXPECT_EQ((std::set<std::string>{"data", "game.pck"}), TopLevel());
}

// A source too large for the memory the process may have: 7, a line that names it,
// nothing left, where the tool ended with an uncaught exception and a 0-byte
// package. 1 GiB cannot be read into memory at all; 300 MiB can, but its compressed
// copy then finds no room, on a worker thread where there are workers.
TEST_F(SafeCreateCliTest, SourceTooLargeForMemoryFailsWithSeven) {
#ifdef QUILLO_SANITIZED
  GTEST_SKIP() << "a sanitizer reserves more address space than the limit allows";
#endif
  const std::string older = OlderPackage();
  const struct {
    int64_t size;
    uint64_t limit;
    std::vector<const char*> threads;
  } cases[] = {
      {int64_t{1} << 30, uint64_t{512} << 20, {"1", "3"}},
      {int64_t{300} << 20, uint64_t{500} << 20, {"1", "2"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    fs::remove_all(Path("data"));
    WriteFile(Path("data/a.txt"), "alpha");
    {
      // Sparse: it takes no room on the disk.
      const int fd = open(Path("data/big.bin").c_str(), O_WRONLY | O_CREAT, 0644);
      ASSERT_EQ(0, ftruncate(fd, c.size));
      close(fd);
    }
    for (const char* threads : c.threads) {
      SCOPED_TRACE(threads);
      Limits limits;
      limits.addressSpace = c.limit;
      limits.env = {std::string("QUILLO_THREADS=") + threads};
      const Captured run = RunCaptured({"-c", "data", "game.pck"}, limits);
      EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
      EXPECT_TRUE(run.out.starts_with(kBanner + ModeLine("game.pck") + kSearching)) << run.out;
      EXPECT_TRUE(run.out.ends_with(kOperationError)) << run.out;
      EXPECT_EQ("quillo: data/big.bin: not enough memory\n", run.err);
      EXPECT_EQ(older, ReadFile(Path("game.pck")));
      EXPECT_EQ((std::set<std::string>{"data", "game.pck"}), TopLevel());
    }
  }
}

// A successful run prints nothing on standard error and replaces the package.
TEST_F(SafeCreateCliTest, SuccessOverAnOlderPackageReplacesItQuietly) {
  const std::string older = OlderPackage();
  WriteFile(Path("data/a.txt"), "alpha");
  const Captured run = RunCaptured({"-c", "data", "game.pck"});
  EXPECT_EQ(kBanner + ModeLine("game.pck") + kSearching + Progress("compress data", 1, 1) +
                Progress("write file entry", 1, 1) + kSuccess,
            run.out);
  EXPECT_EQ("", run.err);
  EXPECT_NE(older, ReadFile(Path("game.pck")));
  EXPECT_EQ((std::set<std::string>{"data", "game.pck"}), TopLevel());
}

#endif  // _WIN32

}  // namespace
