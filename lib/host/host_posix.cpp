// host_posix.cpp - the host layer on Linux and other POSIX systems.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "host/host.h"
#include "host/host_shared.h"

namespace host {

namespace {

std::string NativePath(const std::u16string& path) { return Utf16ToUtf8(path); }

// A file on a descriptor, with its own buffers: small reads are served from a
// read-ahead buffer, small writes gathered into a write buffer, and large ones go
// to the system directly, so a file read or written in one piece costs one call.
// The position is kept here; the system is asked only when it must move.
class PosixFile final : public File {
 public:
  // `st` describes the open file; nullptr for a file just made, which is empty.
  PosixFile(int fd, const struct stat* st) : fd_(fd), described_(st != nullptr) {
    if (st) st_ = *st;
  }
  ~PosixFile() override { Close(); }

  size_t Read(void* data, size_t size) override {
    if (fd_ < 0 || size == 0 || !FlushWrites()) return 0;
    auto* out = static_cast<uint8_t*>(data);
    size_t done = TakeBuffered(out, size);
    if (done == size) return done;
    if (size - done >= kReadBuffer) {
      done += ReadFully(out + done, size - done);
    } else {
      if (readBuffer_.empty()) readBuffer_.resize(kReadBuffer);
      readEnd_ = ReadFully(readBuffer_.data(), readBuffer_.size(), size - done);
      readAt_ = 0;
      done += TakeBuffered(out + done, size - done);
    }
    return done;
  }

  // Writes are gathered exactly as the C runtime's buffered streams gather them
  // (a buffer of the file's block size, at most 8 KiB): a write that fills the
  // buffer hands it to the system, whole blocks beyond it go straight through and
  // the rest waits. So a write that the system refuses shows up in the same call
  // as with a stream, and a file written in one piece costs one or two calls.
  size_t Write(const void* data, size_t size) override {
    if (fd_ < 0 || size == 0) return 0;
    if (readEnd_ != readAt_ && !DropReadAhead()) return 0;
    readAt_ = readEnd_ = 0;
    const auto* in = static_cast<const uint8_t*>(data);
    size_t room = writeBuffer_.size() - pending_;
    size_t taken = std::min(room, size);
    if (taken != 0) std::memcpy(writeBuffer_.data() + pending_, in, taken);
    pending_ += taken;
    position_ += static_cast<int64_t>(taken);
    size_t left = size - taken;
    if (left == 0) return size;
    if (writeBuffer_.empty()) writeBuffer_.resize(BufferSize());
    if (!FlushWrites()) return size - left;
    const size_t block = writeBuffer_.size();
    const size_t direct = left - left % block;
    if (direct != 0) {
      const size_t put = WriteFully(in + taken, direct);
      left -= put;
      if (put < direct) return size - left;
    }
    std::memcpy(writeBuffer_.data(), in + (size - left), left);
    pending_ = left;
    position_ += static_cast<int64_t>(left);
    return size;
  }

  bool Seek(int64_t position) override {
    if (fd_ < 0 || position < 0 || !FlushWrites()) return false;
    // A move within the bytes read ahead needs no system call.
    const int64_t bufferStart = position_ - static_cast<int64_t>(readAt_);
    if (position >= bufferStart && position <= bufferStart + static_cast<int64_t>(readEnd_)) {
      readAt_ = static_cast<size_t>(position - bufferStart);
      position_ = position;
      return true;
    }
    if (lseek(fd_, static_cast<off_t>(position), SEEK_SET) < 0) return false;
    readAt_ = readEnd_ = 0;
    position_ = position;
    return true;
  }

  bool SeekToEnd() override {
    if (fd_ < 0 || !FlushWrites()) return false;
    const off_t end = lseek(fd_, 0, SEEK_END);
    if (end < 0) return false;
    readAt_ = readEnd_ = 0;
    position_ = static_cast<int64_t>(end);
    return true;
  }

  int64_t Tell() override { return fd_ < 0 ? -1 : position_; }

  bool Flush() override { return fd_ >= 0 && FlushWrites() && !failed_; }

  bool Sync() override { return Flush() && fsync(fd_) == 0; }

  bool Close() override {
    if (fd_ < 0) return true;
    bool ok = FlushWrites() && !failed_;
    ok = (close(fd_) == 0) && ok;
    fd_ = -1;
    return ok;
  }

  bool Describe(int64_t* size, FileId* id) override {
    if (fd_ < 0 || !described_) return false;
    *size = static_cast<int64_t>(st_.st_size);
    id->device = static_cast<uint64_t>(st_.st_dev);
    id->index = static_cast<uint64_t>(st_.st_ino);
    return true;
  }

  bool CopyAccessFrom(const std::u16string& path) override {
    struct stat from;
    if (fd_ < 0 || stat(NativePath(path).c_str(), &from) != 0) return false;
    // The owner first: changing it may clear bits that the mode below sets again.
    if (fchown(fd_, from.st_uid, from.st_gid) != 0) {
      // Only a privileged process may give a file away; the group alone may still go.
      const int ignored = fchown(fd_, static_cast<uid_t>(-1), from.st_gid);
      (void)ignored;
    }
    return fchmod(fd_, from.st_mode & 0777) == 0;
  }

  uint64_t CopyFrom(File& source, int64_t position, uint64_t size) override {
    auto* from = dynamic_cast<PosixFile*>(&source);
    if (fd_ < 0 || !from || from->fd_ < 0 || position < 0) {
      return CopyByReading(source, position, *this, size);
    }
    // The gathered bytes go first, and the system's position must be this file's.
    if (!FlushWrites()) return 0;
    if (readEnd_ != readAt_ && !DropReadAhead()) return 0;
    readAt_ = readEnd_ = 0;
    uint64_t done = 0;
#ifdef __linux__
    // The source is read at explicit offsets, so its own position stays where it
    // was; this file's position moves with the copy.
    loff_t in = static_cast<loff_t>(position);
    while (done < size) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, 1u << 30));
      const ssize_t put = copy_file_range(from->fd_, &in, fd_, nullptr, want, 0);
      if (put < 0 && errno == EINTR) continue;
      if (put > 0) {
        done += static_cast<uint64_t>(put);
        position_ += put;
        continue;
      }
      if (put == 0) return done;  // the source ended
      // Systems and file systems that cannot copy between these files in the
      // kernel say so before copying anything; the rest is read and written.
      if (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
          errno == EBADF || errno == EPERM || errno == ETXTBSY) {
        break;
      }
      return done;  // a real failure (a full disk, a file-size limit): errno tells
    }
#endif
    if (done == size) return done;
    // Positioned reads leave the source's position alone here too.
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size - done, 1u << 20)));
    while (done < size) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, buffer.size()));
      ssize_t got;
      do {
        got = pread(from->fd_, buffer.data(), want, static_cast<off_t>(position + done));
      } while (got < 0 && errno == EINTR);
      if (got <= 0) return done;
      const size_t put = WriteFully(buffer.data(), static_cast<size_t>(got));
      done += put;
      if (put != static_cast<size_t>(got)) return done;
    }
    return done;
  }

 private:
  static constexpr size_t kReadBuffer = 64 << 10;

  // Without a description, the size Linux's file systems give for a block.
  size_t BufferSize() const {
    if (!described_) return 4096;
    return st_.st_blksize > 0 && st_.st_blksize < 8192 ? static_cast<size_t>(st_.st_blksize) : 8192;
  }

  size_t TakeBuffered(uint8_t* out, size_t size) {
    const size_t n = std::min(size, readEnd_ - readAt_);
    if (n != 0) std::memcpy(out, readBuffer_.data() + readAt_, n);
    readAt_ += n;
    position_ += static_cast<int64_t>(n);
    return n;
  }

  // Reads until `size` bytes, the end of the file or an error; stops early once
  // `enough` bytes are there. Does not move position_.
  size_t ReadFully(uint8_t* out, size_t size, size_t enough = SIZE_MAX) {
    size_t done = 0;
    while (done < size && done < enough) {
      const ssize_t got = read(fd_, out + done, size - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    if (enough == SIZE_MAX) position_ += static_cast<int64_t>(done);
    return done;
  }

  size_t WriteFully(const uint8_t* in, size_t size) {
    size_t done = 0;
    while (done < size) {
      const ssize_t put = write(fd_, in + done, size - done);
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        failed_ = true;
        break;
      }
      done += static_cast<size_t>(put);
    }
    position_ += static_cast<int64_t>(done);
    return done;
  }

  // Hands the gathered bytes to the system; false (and the file marked failed)
  // when they could not all be written. Either way the buffer is empty after it.
  bool FlushWrites() {
    if (pending_ == 0) return true;
    const size_t size = pending_;
    pending_ = 0;
    position_ -= static_cast<int64_t>(size);  // WriteFully counts them again
    return WriteFully(writeBuffer_.data(), size) == size;
  }

  // Moves the system's position back to the logical one before writing.
  bool DropReadAhead() {
    if (lseek(fd_, static_cast<off_t>(position_), SEEK_SET) < 0) return false;
    readAt_ = readEnd_ = 0;
    return true;
  }

  int fd_;
  bool described_;
  struct stat st_ = {};
  int64_t position_ = 0;
  std::vector<uint8_t> readBuffer_;
  size_t readAt_ = 0;
  size_t readEnd_ = 0;
  std::vector<uint8_t> writeBuffer_;
  size_t pending_ = 0;
  bool failed_ = false;
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
    if (mode == OpenMode::kWrite) {
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
    } else if (mode == OpenMode::kCreateNew) {
      // O_EXCL fails on any name that exists, a link included, and never follows one.
      flags |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    } else if (mode == OpenMode::kAppend) {
      flags |= O_WRONLY | O_CREAT | O_APPEND;
    } else {
      flags |= O_RDONLY;
    }
    // Only regular files are opened: POSIX would open a directory for reading
    // (the wide runtime refuses it), and a pipe or device could block forever,
    // which is why the open itself does not wait. O_NONBLOCK has no effect on
    // the reads and writes of a regular file, so it stays set.
    const int fd = open(NativePath(path).c_str(), flags, 0666);
    if (fd < 0) return nullptr;
    if (mode == OpenMode::kCreateNew) {
      // O_CREAT|O_EXCL made the file just now, and it makes only regular files: no
      // need to ask what it is. Its identity is not known then (Describe says so).
      return std::make_unique<PosixFile>(fd, nullptr);
    }
    struct stat st;
    const bool described = fstat(fd, &st) == 0;
    if (!described || !S_ISREG(st.st_mode)) {
      // The reason given is the kind of file, not whatever close leaves behind.
      const int reason = !described ? errno : S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
      close(fd);
      errno = reason;
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd, &st);
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
    // The path of an item is the directory string followed by its name.
    const size_t prefix = native.size() + (native.empty() || native.back() == '/' ? 0 : 1);
    // The inode numbers of the listing are the files' own on most file systems, not
    // on all (an overlay may differ): the first plain item of the directory is
    // checked against its status, and the numbers are given only when they agree.
    int trusted = -1;  // -1 not yet known, 0 no, 1 yes
    for (;;) {
      errno = 0;
      struct dirent* item = readdir(dir);
      if (!item) {
        // The end of the listing, or a listing broken off by an error.
        const int saved = errno;
        closedir(dir);
        errno = saved;
        return saved == 0;
      }
      DirItem out;
      out.name = Utf8ToUtf16(item->d_name);
      struct stat st;
      if (item->d_type == DT_DIR) {
        out.isDirectory = true;
      } else if (item->d_type == DT_LNK || item->d_type == DT_UNKNOWN) {
        if (fstatat(dirfd(dir), item->d_name, &st, 0) == 0) {
          out.isDirectory = S_ISDIR(st.st_mode);
          out.isOther = !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode);
          out.index = static_cast<uint64_t>(st.st_ino);
        } else {
          // A link that leads nowhere, or round in a loop.
          out.problem = LastErrorText();
        }
      } else if (item->d_type != DT_REG) {
        out.isOther = true;  // a pipe, a socket or a device
      } else {
        if (trusted < 0) {
          trusted = fstatat(dirfd(dir), item->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                            st.st_ino == item->d_ino
                        ? 1
                        : 0;
        }
        if (trusted == 1) out.index = static_cast<uint64_t>(item->d_ino);
      }
      // A file whose path the system refuses could be listed but never opened.
      if (!out.isDirectory && out.problem.empty() &&
          prefix + std::strlen(item->d_name) >= static_cast<size_t>(PATH_MAX)) {
        errno = ENAMETOOLONG;
        out.problem = LastErrorText();
      }
      items->push_back(std::move(out));
    }
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

  bool ReplaceFile(const std::u16string& from, const std::u16string& to) override {
    return rename(NativePath(from).c_str(), NativePath(to).c_str()) == 0;
  }

  // --- Repack ---
  // A file already there is the remnant of a run that ended without cleaning up,
  // or another run's working file. It is opened for reading only (which cannot
  // disturb a file of any kind) and locked: a file no one holds is removed under
  // the lock and a new one of this process's own made in its place, so nothing
  // of the old file (its owner, its permissions) carries over. The new file is
  // made with O_EXCL and locked in turn; another process may take the name in
  // between, and then it holds it.
  std::unique_ptr<File> OpenExclusive(const std::u16string& path, ExclusiveOpen* outcome) override {
    const std::string native = NativePath(path);
    for (int attempt = 0; attempt < 8; ++attempt) {
      // What is there decides before anything is opened: opening a device may do
      // something of its own, and O_NOFOLLOW only guards the last component.
      struct stat there;
      const bool exists = lstat(native.c_str(), &there) == 0;
      if (exists) {
        if (S_ISLNK(there.st_mode)) return Refuse(outcome, ExclusiveOpen::kLink);
        if (!S_ISREG(there.st_mode)) return Refuse(outcome, ExclusiveOpen::kNotRegular);
        if (there.st_nlink > 1) return Refuse(outcome, ExclusiveOpen::kManyNames);
      } else if (errno != ENOENT) {
        return Refuse(outcome, ExclusiveOpen::kFailed);
      }
      // O_NONBLOCK: a named pipe put there meanwhile is refused, never waited for.
      const int fd =
          exists ? open(native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                 : open(native.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
      if (fd < 0) {
        if (errno == ENOENT || errno == EEXIST) continue;  // it came or went meanwhile
        if (errno == ELOOP) return Refuse(outcome, ExclusiveOpen::kLink);
        if (errno == EISDIR || errno == ENXIO) return Refuse(outcome, ExclusiveOpen::kNotRegular);
        return Refuse(outcome, ExclusiveOpen::kFailed);
      }
      struct stat st;
      if (fstat(fd, &st) != 0) return Refuse(outcome, ExclusiveOpen::kFailed, fd);
      if (!S_ISREG(st.st_mode)) return Refuse(outcome, ExclusiveOpen::kNotRegular, fd);
      if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return Refuse(outcome, errno == EWOULDBLOCK ? ExclusiveOpen::kHeld : ExclusiveOpen::kFailed,
                      fd);
      }
      // The holder of a file may rename it away (into place as its package) and let
      // it go just as this process locks it: the path must still name the file
      // locked, or the next round starts over with what the path names now.
      struct stat now;
      if (lstat(native.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
        close(fd);
        continue;
      }
      if (now.st_nlink > 1) return Refuse(outcome, ExclusiveOpen::kManyNames, fd);
      if (exists) {
        // Nobody holds it: it goes, while still locked.
        if (unlink(native.c_str()) != 0) return Refuse(outcome, ExclusiveOpen::kFailed, fd);
        close(fd);
        continue;
      }
      *outcome = ExclusiveOpen::kOpened;
      return std::make_unique<PosixFile>(fd, &st);
    }
    errno = EWOULDBLOCK;
    return Refuse(outcome, ExclusiveOpen::kHeld);
  }

  bool GetEntryId(const std::u16string& path, FileId* id) override {
    struct stat st;
    if (lstat(NativePath(path).c_str(), &st) != 0) return false;
    id->device = static_cast<uint64_t>(st.st_dev);
    id->index = static_cast<uint64_t>(st.st_ino);
    return true;
  }

  // The same walk as InspectPath, which says where a file written at a path goes.
  bool ResolveLink(const std::u16string& path, std::u16string* resolved) override {
    PathKind kind;
    return InspectPath(path, resolved, &kind);
  }

 private:
  // Fails OpenExclusive with `outcome`, closing `fd` when one is given; errno is
  // kept for LastErrorText.
  static std::unique_ptr<File> Refuse(ExclusiveOpen* outcome, ExclusiveOpen why, int fd = -1) {
    const int saved = errno;
    if (fd >= 0) close(fd);
    *outcome = why;
    errno = saved;
    return nullptr;
  }
};

// --- Files removed when the process is interrupted --------------------------------
//
// The signal handler may only make async-signal-safe calls, so each path is kept
// ready in its native form in a fixed slot; the handler unlinks the slots in use.
struct InterruptSlot {
  std::atomic<bool> used{false};
  char path[4096];
};

InterruptSlot g_interruptSlots[kMaxInterruptFiles];
std::mutex g_interruptMutex;  // guards the filling of slots and the installing
bool g_interruptInstalled = false;

extern "C" void RemoveFilesOnSignal(int signal) {
  const int saved = errno;
  for (InterruptSlot& slot : g_interruptSlots) {
    if (slot.used.load(std::memory_order_acquire)) unlink(slot.path);
  }
  // The handler was reset to the default on entry: the signal raised again ends
  // the process as it would have without us, once the handler returns.
  raise(signal);
  errno = saved;
}

void InstallInterruptHandlers() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old;
    if (sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = RemoveFilesOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(signal, &action, nullptr);
  }
}

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

bool EncodeRun(std::u16string_view text, std::string* out) {
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
  const size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  out->append(bytes.data(), bytes.size() - outLeft);
  return result != static_cast<size_t>(-1) && inLeft == 0;
}

}  // namespace

Host& Host::Default() {
  static PosixHost host;
  return host;
}

bool RemoveOnInterrupt(const std::u16string& path) {
  const std::string native = NativePath(path);
  if (native.size() >= sizeof(InterruptSlot::path)) return false;
  std::lock_guard<std::mutex> lock(g_interruptMutex);
  if (!g_interruptInstalled) {
    InstallInterruptHandlers();
    g_interruptInstalled = true;
  }
  for (InterruptSlot& slot : g_interruptSlots) {
    if (slot.used.load(std::memory_order_relaxed)) continue;
    std::memcpy(slot.path, native.c_str(), native.size() + 1);
    slot.used.store(true, std::memory_order_release);
    return true;
  }
  return false;
}

void ForgetOnInterrupt(const std::u16string& path) {
  const std::string native = NativePath(path);
  std::lock_guard<std::mutex> lock(g_interruptMutex);
  for (InterruptSlot& slot : g_interruptSlots) {
    if (slot.used.load(std::memory_order_relaxed) && native == slot.path) {
      slot.used.store(false, std::memory_order_release);
      return;
    }
  }
}

// --- Repack ---
void DeferInterrupts(bool hold) {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
  pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &signals, nullptr);
}

// --- Writing beside what is there ------------------------------------------------

bool LastErrorMeansExists() { return errno == EEXIST; }

bool MayReplaceFile(const std::u16string& path) {
  const std::string native = NativePath(path);
  struct stat st;
  if (lstat(native.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISLNK(st.st_mode)) return true;
  if (S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return access(native.c_str(), W_OK) == 0;
}

std::u16string LastErrorText() {
  char buffer[256];
  // The GNU strerror_r returns its text, which need not be in `buffer`.
  const char* text = strerror_r(errno, buffer, sizeof buffer);
  return Utf8ToUtf16(text ? text : "unknown error");
}

std::u16string Cp936ToUtf16(std::string_view bytes) {
  std::u16string out;
  Converter& converter = FromCp936();
  if (!converter.ok()) {
    for (unsigned char c : bytes) out.push_back(c < 0x80 ? c : EscapedByte(c));
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
    // An invalid or incomplete sequence: its first byte is escaped, and decoding
    // goes on with the byte after it (which may start a character of its own).
    out.push_back(EscapedByte(static_cast<unsigned char>(*in)));
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

// iconv converts plain runs exactly both ways.
const bool kCp936RunsReadBack = true;

bool EncodeCp936Run(std::u16string_view text, std::string* out) { return EncodeRun(text, out); }

void AdviseBulkFill(void* data, size_t size) {
#ifdef MADV_HUGEPAGE
  // Only whole large pages inside the block: the memory around it belongs to
  // other allocations.
  constexpr uintptr_t kLargePage = uintptr_t{2} << 20;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + kLargePage - 1) & ~(kLargePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(kLargePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

void PrefaultForWrite(void* data, size_t size) {
#if defined(__linux__)
  // MADV_POPULATE_WRITE (Linux 5.14) faults the pages in as a write would, and
  // leaves present pages and their contents alone; older kernels refuse it.
  constexpr int kPopulateWrite = 23;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + size) & ~(page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, kPopulateWrite);
#else
  (void)data;
  (void)size;
#endif
}

void ReturnLargeBlocksPromptly() {
#ifdef __GLIBC__
  // A fixed threshold: glibc otherwise raises it to the size of each large block
  // freed, after which such blocks stay in the heap of the thread that used them.
  mallopt(M_MMAP_THRESHOLD, 128 << 10);
#endif
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

// --- Package targets ------------------------------------------------------------

bool InspectPath(const std::u16string& path, std::u16string* finalPath, PathKind* kind) {
  std::string current = NativePath(path);
  // As many links as the system itself follows in one path before it gives up.
  constexpr int kMaxLinks = 40;
  for (int links = 0;; ++links) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT) return false;
      *kind = PathKind::kMissing;
      *finalPath = Utf8ToUtf16(current);
      return true;
    }
    if (!S_ISLNK(st.st_mode)) {
      *kind = S_ISREG(st.st_mode) ? PathKind::kRegular : PathKind::kOther;
      *finalPath = Utf8ToUtf16(current);
      return true;
    }
    if (links == kMaxLinks) {
      errno = ELOOP;
      return false;
    }
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(current.c_str(), target.data(), target.size());
    if (length < 0) return false;
    if (static_cast<size_t>(length) >= target.size() || length == 0) {
      errno = length == 0 ? ENOENT : ENAMETOOLONG;
      return false;
    }
    target.resize(static_cast<size_t>(length));
    const size_t slash = current.rfind('/');
    if (target[0] == '/' || slash == std::string::npos) {
      current = std::move(target);
    } else {
      current = current.substr(0, slash + 1) + target;
    }
  }
}

bool WriteStdoutBytes(const void* data, size_t size) {
  return std::fwrite(data, 1, size, stdout) == size;
}

bool FinishStdout() { return std::fflush(stdout) == 0 && !std::ferror(stdout); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void WriteErrorText(std::u16string_view text) {
  const std::string bytes = Utf16ToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}

}  // namespace host
