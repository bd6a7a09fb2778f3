// safe_read_test.cpp - what extract and list leave behind when something fails (a
// full disk, something already at a target, too little memory), and the one line on
// standard error that says why. Standard output keeps its bytes throughout.
#ifndef _WIN32
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>

#include "pck_writer.h"
#include "test_util.h"

// The sanitizers reserve far more address space than any cap a test could set.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUILLO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUILLO_SANITIZED 1
#endif
#endif

namespace {

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::BuildSimplePackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using pckfix::Zlib;
using testutil::Console;
using testutil::HostPath;
using testutil::kBanner;
using testutil::ReadFile;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::Text;
using testutil::TreeListing;
using testutil::WriteFile;

FixtureEntry Entry(const std::string& name, const std::string& data) {
  FixtureEntry e;
  e.name = name;
  e.data = data;
  return e;
}

std::string Head(const std::string& package, const std::string& mode) {
  return kBanner + ("  pck : " + package + "\n mode : " + mode + "\n");
}

std::string Progress(int done, int total) {
  return testutil::Progress("extract data", done, total);
}

// One diagnostic line, as the tool writes it to standard error.
std::string Line(const std::string& subject, const std::string& reason) {
  return Console("quillo: " + subject + ": " + reason + "\n");
}

// Whether `err` is exactly the line for `subject` with the system's reason for
// `error`. The system's texts are those of strerror on Linux; Windows words them
// its own way, and there any reason is taken.
testing::AssertionResult IsSystemLine(const std::string& err, const std::string& subject,
                                      int error) {
  if (!testutil::kWindowsHost) {
    if (err == Line(subject, std::strerror(error))) return testing::AssertionSuccess();
  } else {
    const std::string head = Console("quillo: " + subject + ": ");
    if (err.starts_with(head) && err.ends_with("\r\n") && err.size() > head.size() + 2 &&
        err.find('\n') == err.size() - 1) {
      return testing::AssertionSuccess();
    }
  }
  return testing::AssertionFailure()
         << "stderr: \"" << err << "\", want " << subject << ": " << std::strerror(error);
}

// Adds "what: want ... got ..." to `report` when the two differ; for checks made
// in a child process, which reports back in text.
void Compare(std::string* report, const std::string& what, const std::string& want,
             const std::string& got) {
  if (want != got) *report += what + ": want \"" + want + "\", got \"" + got + "\"\n";
}

std::string Joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += item + "|";
  return out;
}

class SafeReadTest : public TempDirTest {};

// --- One line on standard error for every failure ---------------------------------

TEST_F(SafeReadTest, EveryFailureToOpenAPackageSaysWhy) {
  const auto with = [](const std::function<void(FixturePackage&)>& change) {
    FixturePackage package;
    package.entries = {Entry("first.txt", "first"), Entry("second.txt", "second")};
    change(package);
    return BuildPackage(package);
  };
  struct Case {
    const char* what;
    std::string bytes;
    std::string status;
    std::string reason;
  };
  const Case cases[] = {
      {"wrong magic", std::string(400, 'x'), "not supported", "not a package (wrong magic)"},
      {"too short", "short", "not supported", "not a package (wrong magic)"},
      {"version", with([](auto& p) { p.version = 0x00020003; }), "not supported",
       "not a package (unknown version)"},
      {"guard", with([](auto& p) { p.guard2 = 0; }), "guard byte error",
       "damaged package (wrong guard word)"},
      {"lengths", with([](auto& p) { p.entries[1].lengthB = 9u ^ pckfix::kMaskB; }),
       "guard byte error", "damaged entry table (record 2: lengths differ)"},
      {"record body", with([](auto& p) { p.entries[1].recordBody = std::string(90, '\x99'); }),
       "zlib error", "damaged entry table (record 2: zlib)"},
  };
  for (const Case& c : cases) {
    WriteFile(Path("game.pck"), c.bytes);
    for (const char* mode : {"-x", "-l"}) {
      const RunResult run = RunTool({mode, "game.pck"});
      EXPECT_EQ(Console(Head("game.pck", mode[1] == 'x' ? "extract" : "list") + " mount pck..." +
                        c.status + "\n"),
                run.out)
          << c.what;
      EXPECT_EQ(Line("game.pck", c.reason), run.err) << c.what;
    }
  }
  const RunResult missing = RunTool({"-x", "none.pck"});
  EXPECT_EQ(Console(Head("none.pck", "extract") + " mount pck...file open error\n"), missing.out);
  EXPECT_TRUE(IsSystemLine(missing.err, "none.pck", ENOENT));
  EXPECT_EQ(std::vector<std::string>{"game.pck"}, TreeListing(dir_));
}

TEST_F(SafeReadTest, EveryEntryThatFailsSaysWhyAndTheRunGoesOn) {
  FixturePackage package;
  package.entries.push_back(Entry("first.txt", "first"));
  FixtureEntry damaged = Entry("bad.bin", "");
  damaged.stored = std::string(30, '\x99');
  damaged.dataSize = 100;
  package.entries.push_back(damaged);
  package.entries.push_back(Entry("..\\x.txt", "outside"));
  package.entries.push_back(Entry("", "no name"));
  package.entries.push_back(Entry("dir.txt", "onto a folder"));
  package.entries.push_back(Entry("last.txt", "last"));
  WriteFile(Path("game.pck"), BuildPackage(package));
  fs::create_directories(Path("game.pck.files/dir.txt/inside"));

  const RunResult run = RunTool({"-x", "game.pck"});
  EXPECT_EQ(Console(Head("game.pck", "extract") + " mount pck...done.\n" + Progress(1, 6) +
                    Progress(2, 6) + " zlib error : bad.bin\n" + Progress(3, 6) +
                    " file operation error : ..\\x.txt\n" + Progress(4, 6) +
                    " file operation error : \n" + Progress(5, 6) +
                    " file operation error : dir.txt\n" + Progress(6, 6)),
            run.out);
  const std::string head = Line("bad.bin", "damaged data (zlib)") +
                           Line("..\\x.txt", "leads out of the output folder") +
                           Console("quillo: an entry without a name is not written\n");
  ASSERT_TRUE(run.err.starts_with(head)) << run.err;
  EXPECT_TRUE(
      IsSystemLine(run.err.substr(head.size()), HostPath("game.pck.files/dir.txt"), EISDIR));
  EXPECT_EQ("first", ReadFile(Path("game.pck.files/first.txt")));
  EXPECT_EQ("last", ReadFile(Path("game.pck.files/last.txt")));
  EXPECT_TRUE(fs::is_directory(Path("game.pck.files/dir.txt/inside")));
  EXPECT_FALSE(fs::exists(Path("x.txt")));
}

// A folder at the list path is refused before anything is printed, as the open of
// the list file refused it; standard error says why.
TEST_F(SafeReadTest, ListPathThatIsAFolderSaysWhy) {
  WriteFile(Path("game.pck"), BuildSimplePackage({{"n", "v"}}));
  fs::create_directories(Path("game.lst.txt"));
  const RunResult run = RunTool({"-l", "game.pck"});
  EXPECT_EQ(Console(Head("game.pck", "list") + " mount pck...done.\n"), run.out);
  EXPECT_TRUE(IsSystemLine(run.err, "game.lst.txt", EISDIR));
  EXPECT_EQ((std::vector<std::string>{"game.lst.txt", "game.pck"}), TreeListing(dir_));
}

// --- What is at a target ---------------------------------------------------------

// A file at a target is replaced whole, and so is a link: the file it leads to is
// never written. Nothing but the extracted files is left in the folder.
TEST_F(SafeReadTest, ExtractReplacesWhatIsAtATargetAndNeverWritesThroughALink) {
  FixturePackage package;
  package.entries = {Entry("old.txt", "new"), Entry("new.txt", "fresh"), Entry("link.txt", "mine"),
                     Entry("dangling.txt", "mine too"), Entry("fifo", "not a pipe")};
  WriteFile(Path("game.pck"), BuildPackage(package));
  WriteFile(Path("game.pck.files/old.txt"), "an older and longer file");
  WriteFile(Path("outside/victim.txt"), "victim");
  // Windows: plain new files there (links need rights a test may not have).
#ifndef _WIN32
  fs::create_symlink("../outside/victim.txt", Path("game.pck.files/link.txt"));
  fs::create_symlink("../outside/planted.txt", Path("game.pck.files/dangling.txt"));
  ASSERT_EQ(0, mkfifo(Path("game.pck.files/fifo").c_str(), 0644));
#endif

  std::string want = Head("game.pck", "extract") + " mount pck...done.\n";
  for (int n = 1; n <= 5; ++n) want += Progress(n, 5);
  const RunResult run = RunTool({"-x", "game.pck"});
  EXPECT_EQ(Console(want), run.out);
  EXPECT_EQ("", run.err);

  const fs::path root = Path("game.pck.files");
  EXPECT_EQ("new", ReadFile(root / "old.txt"));
  EXPECT_EQ("fresh", ReadFile(root / "new.txt"));
  for (const char* name : {"link.txt", "dangling.txt", "fifo"}) {
    // Reading a pipe left there would wait for a writer forever.
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(root / name))) << name;
  }
  EXPECT_EQ("mine", ReadFile(root / "link.txt"));
  EXPECT_EQ("mine too", ReadFile(root / "dangling.txt"));
  EXPECT_EQ("not a pipe", ReadFile(root / "fifo"));
  EXPECT_EQ("victim", ReadFile(Path("outside/victim.txt")));
  EXPECT_FALSE(fs::exists(Path("outside/planted.txt")));
  EXPECT_EQ((std::vector<std::string>{"dangling.txt", "fifo", "link.txt", "new.txt", "old.txt"}),
            TreeListing(root));
}

// The two host calls behind it: a new file is made only where nothing is, not even
// a dangling link, and a finished file may be renamed over anything but a folder.
TEST_F(SafeReadTest, NewFilesAreMadeOnlyWhereNothingIs) {
  host::Host& h = host::Host::Current();
  WriteFile(Path("file"), "old");
  fs::create_directories(Path("folder"));
  struct Case {
    const char* name;
    bool exists;
    bool mayReplace;
  };
  std::vector<Case> cases = {
      {"nothing", false, true}, {"file", true, true}, {"folder", true, false}};
#ifndef _WIN32
  fs::create_symlink("file", Path("link"));
  fs::create_symlink("missing", Path("dangling"));
  fs::create_symlink("folder", Path("folder link"));
  cases.push_back({"link", true, true});
  cases.push_back({"dangling", true, true});
  cases.push_back({"folder link", true, true});  // the link is replaced, not the folder
#endif
  for (const Case& c : cases) {
    const std::u16string path = testutil::U16(Path(c.name));
    auto file = h.OpenFile(path, host::OpenMode::kCreateNew);
    EXPECT_EQ(c.exists, file == nullptr) << c.name;
    // Windows may refuse a new file where a folder is for want of access instead.
    if (c.exists && (c.mayReplace || !testutil::kWindowsHost)) {
      EXPECT_TRUE(host::LastErrorMeansExists()) << c.name;
    }
    if (file) {
      EXPECT_EQ(3u, file->Write("new", 3)) << c.name;
      EXPECT_TRUE(file->Close()) << c.name;
      EXPECT_EQ("new", ReadFile(Path(c.name)));
      fs::remove(Path(c.name));
    }
    EXPECT_EQ(c.mayReplace, host::MayReplaceFile(path)) << c.name;
  }
  EXPECT_EQ("old", ReadFile(Path("file")));
  EXPECT_FALSE(fs::exists(Path("missing")));
}

// --- A full disk -----------------------------------------------------------------

#ifndef _WIN32

// Moves this process into a mount namespace of its own whose mounts do not reach
// the rest of the system: directly where it may, else inside a user namespace.
bool EnterPrivateMounts() {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (unshare(CLONE_NEWNS) != 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    const auto put = [](const char* path, const std::string& text) {
      const int fd = open(path, O_WRONLY | O_CLOEXEC);
      if (fd < 0) return false;
      const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      close(fd);
      return ok;
    };
    put("/proc/self/setgroups", "deny");
    if (!put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
      return false;
    }
  }
  return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Runs `body` in a child process in which `folder` is a fresh file system in memory
// of `size` bytes, and returns what the body reports (empty when all was well);
// nullopt when no such file system can be mounted here.
std::optional<std::string> OnSmallDisk(const fs::path& folder, size_t size,
                                       const std::function<std::string()>& body) {
  int report[2];
  if (pipe(report) != 0) return "no pipe";
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    const std::string options = "size=" + std::to_string(size);
    std::string text = "\x01";  // could not mount
    if (EnterPrivateMounts() &&
        mount("quillo-test", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
      text = body();
    }
    for (size_t done = 0; done < text.size();) {
      const ssize_t put = write(report[1], text.data() + done, text.size() - done);
      if (put <= 0) break;
      done += static_cast<size_t>(put);
    }
    _exit(0);
  }
  close(report[1]);
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(report[0], buffer, sizeof buffer)) > 0) text.append(buffer, got);
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return "the child process died";
  if (text == "\x01") return std::nullopt;
  return text;
}

#endif

// How a disk is made full: a small file system in memory (ENOSPC), or a limit on
// the size of any file the tool writes (EFBIG).
struct FullDisk {
  const char* what;
  bool inMemory;
  size_t size;  // of the file system, or the file-size limit
};

class FullDiskTest : public SafeReadTest {
 protected:
  // Runs `body(options, error)` with the folder "disk" full in each of the two ways.
  void OnEachFullDisk(size_t memorySize,
                      const std::function<std::string(const RunOptions&, int error)>& body) {
#ifdef _WIN32
    (void)memorySize;
    (void)body;
    GTEST_SKIP() << "Linux only: a small file system or a file-size limit";
#else
    fs::create_directories(Path("disk"));
    RunOptions options;
    options.cwd = Path("disk");
    const FullDisk disks[] = {{"in memory", true, memorySize}, {"size limit", false, 64 << 10}};
    for (const FullDisk& disk : disks) {
      SCOPED_TRACE(disk.what);
      if (disk.inMemory) {
        const auto report =
            OnSmallDisk(Path("disk"), disk.size, [&] { return body(options, ENOSPC); });
        if (!report) {
          std::printf("no file system in memory may be mounted here: that variant is skipped\n");
          continue;
        }
        EXPECT_EQ("", *report);
      } else {
        RunOptions limited = options;
        limited.fileSizeLimit = disk.size;
        EXPECT_EQ("", body(limited, EFBIG));
      }
      fs::remove_all(Path("disk"));
      fs::create_directories(Path("disk"));
    }
#endif
  }
};

// Entries too large for the disk fail alone: a new file is removed again, an older
// file at the target stays as it was, no temporary file is left, and the entries
// after them are still written.
TEST_F(FullDiskTest, ExtractLeavesNoCutFile) {
  FixturePackage package;
  package.entries = {Entry("first.txt", "first"), Entry("s.bin", Text(1 << 20)),
                     Entry("old.bin", Text(1 << 20, "other words ")), Entry("last.txt", "last")};
  const std::string bytes = BuildPackage(package);
  OnEachFullDisk(512 << 10, [&](const RunOptions& options, int error) {
    const fs::path disk = options.cwd;
    WriteFile(disk / "game.pck", bytes);
    WriteFile(disk / "game.pck.files/old.bin", "the old file\n");
    const RunResult run = RunTool({"-x", "game.pck"}, options);
    std::string report;
    Compare(&report, "stdout",
            Console(Head("game.pck", "extract") + " mount pck...done.\n" + Progress(1, 4) +
                    Progress(2, 4) + " file operation error : s.bin\n" + Progress(3, 4) +
                    " file operation error : old.bin\n" + Progress(4, 4)),
            run.out);
    Compare(&report, "stderr",
            Line("game.pck.files/s.bin", std::strerror(error)) +
                Line("game.pck.files/old.bin", std::strerror(error)),
            run.err);
    Compare(&report, "old.bin", "the old file\n", ReadFile(disk / "game.pck.files/old.bin"));
    Compare(&report, "last.txt", "last", ReadFile(disk / "game.pck.files/last.txt"));
    Compare(&report, "files",
            "game.pck|game.pck.files|game.pck.files/first.txt|game.pck.files/last.txt|"
            "game.pck.files/old.bin|",
            Joined(TreeListing(disk)));
    return report;
  });
}

// A list file that does not fit leaves no list file, or the older one as it was.
TEST_F(FullDiskTest, ListLeavesNoCutOrEmptyListFile) {
  FixturePackage package;
  for (int i = 0; i < 2000; ++i) {
    package.entries.push_back(
        Entry("folder\\" + std::to_string(i * 7919) + std::string(110, 'n'), ""));
  }
  const std::string bytes = BuildPackage(package);
  ASSERT_LT(bytes.size(), size_t{320} << 10);  // the list is about 480 KiB
  OnEachFullDisk(384 << 10, [&](const RunOptions& options, int error) {
    const fs::path disk = options.cwd;
    WriteFile(disk / "game.pck", bytes);
    std::string report;
    const std::string out = Console(Head("game.pck", "list") +
                                    " mount pck...done.\n\nwrite file list to 'game.lst.txt'\n");
    const RunResult first = RunTool({"-l", "game.pck"}, options);
    Compare(&report, "stdout", out, first.out);
    Compare(&report, "stderr", Line("game.lst.txt", std::strerror(error)), first.err);
    Compare(&report, "files", "game.pck|", Joined(TreeListing(disk)));

    WriteFile(disk / "game.lst.txt", "an older list");
    const RunResult second = RunTool({"-l", "game.pck"}, options);
    Compare(&report, "stdout again", out, second.out);
    Compare(&report, "older list", "an older list", ReadFile(disk / "game.lst.txt"));
    Compare(&report, "files again", "game.lst.txt|game.pck|", Joined(TreeListing(disk)));
    return report;
  });
}

// --- Too little memory -----------------------------------------------------------

class LowMemoryTest : public SafeReadTest {
 protected:
  void SetUp() override {
    SafeReadTest::SetUp();
#if defined(_WIN32)
    GTEST_SKIP() << "Linux only: an address-space limit for the tool";
#elif defined(QUILLO_SANITIZED)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit";
#endif
  }
  static RunOptions Capped() {
    RunOptions options;
    options.addressSpaceLimit = uint64_t{256} << 20;
    return options;
  }
};

// An entry of 512 MiB under a limit of 256 MiB: that entry fails with status 7 and
// says why, and the entries after it are still written.
TEST_F(LowMemoryTest, EntryTooLargeForMemoryFailsAloneAndTheRunGoesOn) {
  FixturePackage package;
  package.entries.push_back(Entry("first.txt", "first"));
  FixtureEntry big = Entry("big.bin", "");
  big.stored = Zlib("tiny");
  big.stored->resize(512 << 10);  // room enough, as sizes go, for 512 MiB
  big.dataSize = 512u << 20;
  package.entries.push_back(big);
  package.entries.push_back(Entry("last.txt", "last"));
  WriteFile(Path("game.pck"), BuildPackage(package));

  const RunResult run = RunTool({"-x", "game.pck"}, Capped());
  EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
  EXPECT_EQ(Console(Head("game.pck", "extract") + " mount pck...done.\n" + Progress(1, 3) +
                    Progress(2, 3) + " file operation error : big.bin\n" + Progress(3, 3)),
            run.out);
  EXPECT_EQ(Line("big.bin", "not enough memory"), run.err);
  EXPECT_EQ((std::vector<std::string>{"game.pck", "game.pck.files", "game.pck.files/first.txt",
                                      "game.pck.files/last.txt"}),
            TreeListing(dir_));
}

// A table whose entries need more memory than there is: Open fails with a status
// and a reason, for extract and list alike.
TEST_F(LowMemoryTest, TableTooLargeForMemoryFailsToOpen) {
  // 600,000 copies of one record: about 17 MB on disk, over 300 MB as entries.
  const std::string body = Zlib(pckfix::RecordBytes("n", 0, 12, 0, 0, 0));
  std::string record;
  pckfix::AppendLe32(&record, static_cast<uint32_t>(body.size()) ^ pckfix::kMaskA);
  pckfix::AppendLe32(&record, static_cast<uint32_t>(body.size()) ^ pckfix::kMaskB);
  record += body;
  constexpr uint32_t kCount = 600000;
  std::string bytes;
  for (uint32_t word : {pckfix::kMagic1, 0u, pckfix::kMagic2}) pckfix::AppendLe32(&bytes, word);
  bytes.reserve(12 + kCount * record.size() + 280);
  for (uint32_t i = 0; i < kCount; ++i) bytes += record;
  for (uint32_t word : {pckfix::kGuard1, pckfix::kVersion, 12u ^ pckfix::kMaskA}) {
    pckfix::AppendLe32(&bytes, word);
  }
  bytes.append(256, '\0');
  for (uint32_t word : {pckfix::kGuard2, kCount, pckfix::kVersion}) {
    pckfix::AppendLe32(&bytes, word);
  }
  WriteFile(Path("huge.pck"), bytes);

  for (const char* mode : {"-x", "-l"}) {
    const RunResult run = RunTool({mode, "huge.pck"}, Capped());
    EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
    EXPECT_EQ(Console(Head("huge.pck", mode[1] == 'x' ? "extract" : "list") +
                      " mount pck...file operation error\n"),
              run.out);
    EXPECT_EQ(Line("huge.pck", "not enough memory"), run.err);
  }
  EXPECT_EQ(std::vector<std::string>{"huge.pck"}, TreeListing(dir_));
}

}  // namespace
