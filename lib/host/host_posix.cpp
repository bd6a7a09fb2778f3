// host_posix.cpp - the host layer on Linux and other POSIX systems.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/host.h"

namespace host {

namespace {

std::string NativePath(const std::u16string& path) { return Utf16ToUtf8(path); }

class PosixFile final : public File {
 public:
  explicit PosixFile(FILE* stream) : stream_(stream) {}
  ~PosixFile() override { Close(); }

  size_t Read(void* data, size_t size) override {
    if (!stream_ || size == 0) return 0;
    return std::fread(data, 1, size, stream_);
  }
  size_t Write(const void* data, size_t size) override {
    if (!stream_ || size == 0) return 0;
    return std::fwrite(data, 1, size, stream_);
  }
  bool Seek(int64_t position) override {
    return stream_ && position >= 0 && fseeko(stream_, static_cast<off_t>(position), SEEK_SET) == 0;
  }
  bool SeekToEnd() override { return stream_ && fseeko(stream_, 0, SEEK_END) == 0; }
  int64_t Tell() override { return stream_ ? static_cast<int64_t>(ftello(stream_)) : -1; }
  bool Flush() override { return stream_ && std::fflush(stream_) == 0 && !std::ferror(stream_); }
  bool Sync() override { return Flush() && fsync(fileno(stream_)) == 0; }
  bool Close() override {
    if (!stream_) return true;
    bool ok = !std::ferror(stream_);
    ok = (std::fclose(stream_) == 0) && ok;
    stream_ = nullptr;
    return ok;
  }

 private:
  FILE* stream_;
};

// Copies `from` to a new file `to` (never replacing one), flushes it to disk and
// removes `from`: the move across file systems that rename(2) refuses.
bool MoveAcrossVolumes(const std::string& from, const std::string& to) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(in);
    return false;
  }
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
  if (out < 0) {
    close(in);
    return false;
  }
  std::vector<char> buffer(1 << 20);
  bool ok = true;
  for (;;) {
    ssize_t got = read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(out, buffer.data() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        ok = false;
        break;
      }
      done += put;
    }
    if (!ok) break;
  }
  ok = ok && fsync(out) == 0;
  ok = (close(out) == 0) && ok;
  close(in);
  if (!ok) {
    unlink(to.c_str());
    return false;
  }
  unlink(from.c_str());
  return true;
}

class PosixHost final : public Host {
 public:
  std::unique_ptr<File> OpenFile(const std::u16string& path, OpenMode mode) override {
    int flags = O_CLOEXEC | O_NONBLOCK;
    const char* streamMode = "rb";
    if (mode == OpenMode::kWrite) {
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      streamMode = "wb";
    } else if (mode == OpenMode::kAppend) {
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      streamMode = "ab";
    }
    // Only regular files are opened: POSIX would open a directory for reading
    // (the wide runtime refuses it), and a pipe or device could block forever,
    // which is why the open itself does not wait.
    const int fd = open(NativePath(path).c_str(), flags, 0666);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
      close(fd);
      return nullptr;
    }
    FILE* stream = fdopen(fd, streamMode);
    if (!stream) {
      close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFile>(stream);
  }

  bool RemoveFile(const std::u16string& path) override {
    return unlink(NativePath(path).c_str()) == 0;
  }

  bool MakeDirectory(const std::u16string& path) override {
    return mkdir(NativePath(path).c_str(), 0777) == 0;
  }

  bool RenameFile(const std::u16string& from, const std::u16string& to) override {
    const std::string source = NativePath(from);
    const std::string target = NativePath(to);
    if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
      return true;
    }
    if (errno == EXDEV) return MoveAcrossVolumes(source, target);
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    // The file system cannot rename without replacing: a hard link fails when the
    // target exists, which gives the same guarantee.
    if (link(source.c_str(), target.c_str()) == 0) {
      unlink(source.c_str());
      return true;
    }
    if (errno == EXDEV) return MoveAcrossVolumes(source, target);
    return false;
  }

  bool ListDirectory(const std::u16string& directory, std::vector<DirItem>* items) override {
    const std::string native = NativePath(directory);
    DIR* dir = opendir(native.empty() ? "." : native.c_str());
    if (!dir) return false;
    while (struct dirent* item = readdir(dir)) {
      DirItem out;
      out.name = Utf8ToUtf16(item->d_name);
      if (item->d_type == DT_DIR) {
        out.isDirectory = true;
      } else if (item->d_type == DT_LNK || item->d_type == DT_UNKNOWN) {
        struct stat st;
        out.isDirectory = fstatat(dirfd(dir), item->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
      }
      items->push_back(std::move(out));
    }
    closedir(dir);
    return true;
  }

  uint64_t FreeBytes(const std::u16string& directory) override {
    struct statvfs st;
    if (statvfs(NativePath(directory).c_str(), &st) != 0) return 0;
    return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
  }

  bool GetFileId(const std::u16string& path, FileId* id) override {
    struct stat st;
    if (stat(NativePath(path).c_str(), &st) != 0) return false;
    id->device = static_cast<uint64_t>(st.st_dev);
    id->index = static_cast<uint64_t>(st.st_ino);
    return true;
  }
};

// One conversion descriptor per direction, opened on first use and kept: opening
// one costs far more than converting a name.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    return cd_;
  }

 private:
  iconv_t cd_;
};

Converter& FromCp936() {
  thread_local Converter converter("UTF-16LE", "CP936");
  return converter;
}

Converter& ToCp936() {
  thread_local Converter converter("CP936", "UTF-16LE");
  return converter;
}

}  // namespace

Host& Host::Default() {
  static PosixHost host;
  return host;
}

std::u16string Cp936ToUtf16(std::string_view bytes) {
  std::u16string out;
  Converter& converter = FromCp936();
  if (!converter.ok()) {
    for (unsigned char c : bytes) out.push_back(c < 0x80 ? c : u'\uFFFD');
    return out;
  }
  iconv_t cd = converter.get();
  std::string wide(bytes.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  while (inLeft > 0) {
    char* outPtr = wide.data();
    size_t outLeft = wide.size();
    size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    size_t produced = (wide.size() - outLeft) / 2;
    for (size_t k = 0; k < produced; ++k) {
      out.push_back(static_cast<char16_t>(static_cast<unsigned char>(wide[2 * k]) |
                                          (static_cast<unsigned char>(wide[2 * k + 1]) << 8)));
    }
    if (result != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // An invalid or incomplete sequence: one replacement character for its first byte.
    out.push_back(u'\uFFFD');
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

bool Utf16ToCp936(std::u16string_view text, std::string* out) {
  out->clear();
  Converter& converter = ToCp936();
  if (!converter.ok()) return false;
  iconv_t cd = converter.get();
  std::string wide;
  wide.reserve(text.size() * 2);
  for (char16_t c : text) {
    wide.push_back(static_cast<char>(c & 0xFF));
    wide.push_back(static_cast<char>(c >> 8));
  }
  std::string bytes(text.size() * 2 + 4, '\0');
  char* in = wide.data();
  size_t inLeft = wide.size();
  char* outPtr = bytes.data();
  size_t outLeft = bytes.size();
  size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  bytes.resize(bytes.size() - outLeft);
  *out = std::move(bytes);
  return result != static_cast<size_t>(-1) && inLeft == 0;
}

bool EnvironmentValue(std::u16string_view name, std::u16string* value) {
  const char* text = std::getenv(Utf16ToUtf8(name).c_str());
  if (!text) return false;
  *value = Utf8ToUtf16(text);
  return true;
}

void SetCodePageLocale() { std::setlocale(LC_ALL, ".936"); }

void WriteConsole(std::u16string_view text) {
  const std::string bytes = Utf16ToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void FlushConsole() { std::fflush(stdout); }

}  // namespace host
