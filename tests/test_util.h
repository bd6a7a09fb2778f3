// test_util.h - shared test helpers: a scratch directory, file helpers, running the tool.
#ifndef QUILLO_TESTS_TEST_UTIL_H_
#define QUILLO_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/host.h"
#include "status.h"

#define ASSERT_PCK_OK(expr) ASSERT_EQ(PckStatus::kSuccess, (expr))
#define EXPECT_PCK_OK(expr) EXPECT_EQ(PckStatus::kSuccess, (expr))

// Ends a test that needs what only Linux offers (symbolic links, named pipes,
// resource limits, a second file system at /dev/shm, fork), saying why, on Windows.
#ifdef _WIN32
#define SKIP_UNLESS_LINUX(why) GTEST_SKIP() << "Linux only: " << (why)
#else
#define SKIP_UNLESS_LINUX(why) static_cast<void>(0)
#endif

namespace testutil {

namespace fs = std::filesystem;

// The host the suite runs on; what differs there is settled by the helpers below.
#ifdef _WIN32
inline constexpr bool kWindowsHost = true;
#else
inline constexpr bool kWindowsHost = false;
#endif

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Paths and UTF-8 text. A narrow std::string given to std::filesystem is read in
// the system's code page on Windows, so UTF-8 names always go through these.
inline fs::path P(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string PathU8(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}
inline std::u16string U16(const fs::path& path) { return host::Utf8ToUtf16(PathU8(path)); }
inline std::string U8(std::u16string_view text) { return host::Utf16ToUtf8(text); }

// A relative path written with '/' (UTF-8) in the form the tool prints for the
// host: with the host's separator.
inline std::string HostPath(std::string path) {
  if (host::kPathSeparator != u'/') std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

// A relative path written with '/' (UTF-8) as the file search of this host gives it,
// in UTF-16 with the host's separator.
inline std::u16string HostPath16(const std::string& path) {
  return host::Utf8ToUtf16(HostPath(path));
}

// The bytes that console text (UTF-8, "\n" line ends, as the literals of the tests
// are written) becomes on the tool's standard output: the same bytes on Linux; on
// Windows code page 936, each "\n" written as CR LF by the text-mode stream.
inline std::string Console(const std::string& text) {
#ifdef _WIN32
  std::string bytes;
  EXPECT_TRUE(host::Utf16ToCp936(host::Utf8ToUtf16(text), &bytes)) << "no code page 936 form";
  std::string out;
  for (char c : bytes) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
#else
  return text;
#endif
}

// Every regular file below `root`, as relative path -> contents.
inline std::vector<std::pair<std::string, std::string>> TreeContents(const fs::path& root) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.is_regular_file()) {
      out.emplace_back(PathU8(fs::relative(item.path(), root).generic_u8string()),
                       ReadFile(item.path()));
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Every path below `root` (files and directories), relative and sorted.
inline std::vector<std::string> TreeListing(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    out.push_back(PathU8(fs::relative(item.path(), root).generic_u8string()));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Bytes that do not compress, the same for the same seed.
inline std::string Noise(size_t size, unsigned seed = 7) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

// `word` repeated up to `size` bytes: text that compresses well.
inline std::string Text(size_t size, const std::string& word = "some text ") {
  std::string out;
  while (out.size() < size) out += word;
  out.resize(size);
  return out;
}

// What a FaultyFile does wrong: a write that would reach past `failWriteAt` stops
// there, a flush (and so a close) reports lost bytes, a sync fails, a read comes
// up one byte short.
struct Faults {
  int64_t failWriteAt = -1;
  bool failFlush = false;
  bool failSync = false;
  bool shortRead = false;
};

// A real file that fails on request, for hosts that tests install.
class FaultyFile : public host::File {
 public:
  FaultyFile(std::unique_ptr<host::File> real, Faults faults)
      : real_(std::move(real)), faults_(faults) {}

  size_t Read(void* data, size_t size) override {
    const size_t got = real_->Read(data, size);
    return faults_.shortRead && got > 0 ? got - 1 : got;
  }
  size_t Write(const void* data, size_t size) override {
    size_t allowed = size;
    if (faults_.failWriteAt >= 0 && position_ + static_cast<int64_t>(size) > faults_.failWriteAt) {
      allowed = static_cast<size_t>(std::max<int64_t>(0, faults_.failWriteAt - position_));
    }
    const size_t put = allowed == 0 ? 0 : real_->Write(data, allowed);
    position_ += static_cast<int64_t>(put);
    return put;
  }
  bool Seek(int64_t position) override {
    if (!real_->Seek(position)) return false;
    position_ = position;
    return true;
  }
  bool SeekToEnd() override {
    if (!real_->SeekToEnd()) return false;
    position_ = real_->Tell();
    return true;
  }
  int64_t Tell() override { return real_->Tell(); }
  bool Flush() override { return real_->Flush() && !faults_.failFlush; }
  bool Sync() override { return Flush() && real_->Sync() && !faults_.failSync; }
  bool Close() override { return real_->Close() && !faults_.failFlush; }

 private:
  std::unique_ptr<host::File> real_;
  Faults faults_;
  int64_t position_ = 0;
};

// A fresh scratch directory per test, which is also the working directory while
// the test runs (the tool writes "log.txt" and "tmp.pck" there).
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    for (int attempt = 0; dir_.empty() && attempt < 100; ++attempt) {
      char name[32];
      snprintf(name, sizeof name, "quillo-test-%08x", static_cast<unsigned>(random()));
      const fs::path candidate = fs::temp_directory_path() / name;
      if (fs::create_directory(candidate)) dir_ = candidate;
    }
    ASSERT_FALSE(dir_.empty());
    old_cwd_ = fs::current_path();
    fs::current_path(dir_);
  }
  void TearDown() override {
    host::Host::SetCurrent(nullptr);
    fs::current_path(old_cwd_);
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }
  fs::path Path(const std::string& relative) const { return dir_ / P(relative); }

  fs::path dir_;
  fs::path old_cwd_;
};

struct RunResult {
  std::string out;    // stdout bytes
  std::string err;    // stderr bytes
  int exitCode = -1;  // -1 when killed by a signal
  int signal = 0;
};

// Options for running the tool in a child process.
struct RunOptions {
  fs::path cwd;                    // empty: the current directory
  uint64_t fileSizeLimit = 0;      // non-zero: RLIMIT_FSIZE, with SIGXFSZ ignored (writes fail
                                   // EFBIG); Linux only, where a test asks for it
  std::vector<std::string> env;    // "NAME=value" set in the child's environment
  uint64_t addressSpaceLimit = 0;  // non-zero: RLIMIT_AS in bytes; Linux only
  bool stderrTerminal = false;     // standard error is a terminal (a pseudo-terminal whose
                                   // output lands in RunResult::err); Linux only
};

// Whether RunOptions::fileSizeLimit can be honoured here (Linux only: Windows has
// no per-process file-size limit).
inline constexpr bool kHasFileSizeLimit = !kWindowsHost;

// Runs the built tool with `args` (UTF-8) in a child process and captures its
// standard output and, apart from it, its standard error (run_tool.cpp, one branch
// per platform).
RunResult RunTool(const std::vector<std::string>& args, const RunOptions& options = {});

// The bytes the tool prints before any command output.
inline const char* kBanner = "vantor pack util version Apr  7 2007\n";

inline std::string Progress(const std::string& label, int done, int total) {
  return std::string(78, ' ') + "\r " + label + " " + std::to_string(done) + "/" +
         std::to_string(total) + " done.\r";
}

}  // namespace testutil

#endif  // QUILLO_TESTS_TEST_UTIL_H_
