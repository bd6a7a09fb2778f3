// host.h - the one platform interface: files, directories, renames, encodings, console.
//
// Everything the library and the tool need from the operating system goes through
// this header. Each platform has one implementation file (host_posix.cpp,
// host_windows.cpp); the build compiles exactly one of them. Paths are UTF-16 in
// memory everywhere; the implementation maps them to the platform's own form.
#ifndef QUILLO_HOST_HOST_H_
#define QUILLO_HOST_HOST_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// The separator the host puts between path components ('/' on POSIX, '\' on Windows).
#ifdef _WIN32
inline constexpr char16_t kPathSeparator = u'\\';
#else
inline constexpr char16_t kPathSeparator = u'/';
#endif

// Whether the host's file system gives names the Windows meanings: it trims the
// trailing dots and spaces of a component, keeps the device names (CON, NUL, COM1,
// ...) in every folder, and reads ':' in a component as the start of a stream name.
#ifdef _WIN32
inline constexpr bool kWindowsNames = true;
#else
inline constexpr bool kWindowsNames = false;
#endif

// How a file is opened.
enum class OpenMode {
  kRead,       // existing file, read only ("rb")
  kWrite,      // created or truncated, write only ("wb")
  kAppend,     // created if missing, every write goes to the end ("a", untranslated here)
  kCreateNew,  // a new file, write only; fails when anything (a file, a folder, a link,
               // even a dangling one) is at the path already: never opens an old file
               // and never follows a link. LastErrorMeansExists() tells that case apart.
};

// Identity of a file or directory (device and inode, or volume and file index).
struct FileId {
  uint64_t device = 0;
  uint64_t index = 0;
  bool operator==(const FileId&) const = default;
};

// An open file. Positions are 64-bit. Closing happens on destruction if Close was
// not called. Reads and writes return the number of bytes actually transferred.
class File {
 public:
  virtual ~File() = default;
  virtual size_t Read(void* data, size_t size) = 0;
  virtual size_t Write(const void* data, size_t size) = 0;
  // Moves to an absolute position; false when the position cannot be reached.
  [[nodiscard]] virtual bool Seek(int64_t position) = 0;
  [[nodiscard]] virtual bool SeekToEnd() = 0;
  // The current position, or -1 when it cannot be told.
  virtual int64_t Tell() = 0;
  // Hands buffered bytes to the system; false when they could not all be written.
  [[nodiscard]] virtual bool Flush() = 0;
  // Flush, then wait until the bytes are on stable storage.
  [[nodiscard]] virtual bool Sync() = 0;
  // Flushes and closes; false when buffered bytes were lost. Further calls are no-ops.
  virtual bool Close() = 0;
  // The length the file had when it was opened and its identity, where the host
  // learnt them while opening it; false when it did not (callers then ask the path).
  virtual bool Describe(int64_t* size, FileId* id) {
    (void)size;
    (void)id;
    return false;
  }

  // For a file that is to replace another (a new package, a repacked one):
  // gives the open file the permission bits of the file that `path` leads to, and
  // its owner and group where the process may set them (a refusal to change those
  // is not a failure). On Windows: the read-only and hidden attributes. False when
  // the permissions could not be read or set (LastErrorText tells why).
  virtual bool CopyAccessFrom(const std::u16string& path) {
    (void)path;
    return false;
  }

  // Appends `size` bytes of `source`, read from its position `position` on, at this
  // file's current position, as Write would, and returns how many were appended:
  // fewer when a read or a write fails (LastErrorText tells why) or when `source`
  // ends before them. Where the system copies between files in the kernel (Linux:
  // copy_file_range) and both files are the host's own, the bytes never pass
  // through the process; otherwise (and on Windows, which copies only whole files
  // so) they are read and written a megabyte at a time. The source's own position
  // is left anywhere: seek before reading it again.
  virtual uint64_t CopyFrom(File& source, int64_t position, uint64_t size);
};

// CopyFrom through Read and Write, a megabyte at a time: the portable way, for
// hosts and files without a copy in the kernel.
uint64_t CopyByReading(File& source, int64_t position, File& target, uint64_t size);

// What OpenExclusive found at its path when it did not open it.
enum class ExclusiveOpen {
  kOpened,      // the file is open, locked and empty
  kHeld,        // another process holds it
  kLink,        // a symbolic link (or another reparse point)
  kNotRegular,  // a directory, a named pipe, a device, a socket
  kManyNames,   // a regular file with more than one name (hard links)
  kFailed,      // the system refused (LastErrorText tells why)
};

// One item of a directory listing.
struct DirItem {
  std::u16string name;
  bool isDirectory = false;  // true for directories and for links that lead to one
  // The item's file index (FileId::index) when the listing tells it and the item
  // is not a link; 0 when it does not.
  uint64_t index = 0;
  // Neither a regular file nor a directory, links followed: a pipe, a socket, a device.
  bool isOther = false;
  // Not empty when the item cannot be examined: the system's reason (a link that
  // leads nowhere or round in a loop, a path longer than the host allows).
  std::u16string problem = {};
};

// The platform services. Default() is the real one; tests may install a wrapper
// that fails chosen calls (see HostWrapper).
class Host {
 public:
  virtual ~Host() = default;

  // Opens a file; nullptr when it cannot be opened.
  virtual std::unique_ptr<File> OpenFile(const std::u16string& path, OpenMode mode) = 0;
  // Removes a file; false when nothing was removed.
  virtual bool RemoveFile(const std::u16string& path) = 0;
  // Makes one directory; true only when it was really created now.
  virtual bool MakeDirectory(const std::u16string& path) = 0;
  // Renames a file, never replacing an existing target. Moves across volumes by
  // copying (without replacing), flushing the copy and removing the source.
  virtual bool RenameFile(const std::u16string& from, const std::u16string& to) = 0;
  // Lists one directory in the host's own order, "." and ".." included where the
  // host reports them. False when the directory cannot be read.
  virtual bool ListDirectory(const std::u16string& directory, std::vector<DirItem>* items) = 0;
  // Free bytes available to the caller on the volume of a directory; 0 on failure.
  virtual uint64_t FreeBytes(const std::u16string& directory) = 0;
  // Identity of the file or directory a path leads to (links followed).
  virtual bool GetFileId(const std::u16string& path, FileId* id) = 0;

  // Whole-or-nothing writing: a file that replaces one of the user's is written
  // under a temporary name beside it and renamed over it once complete.
  //
  // Creates a new, empty file opened for writing in the folder of `path`, under a
  // name that no file there has (the name of `path` followed by a dot, a random
  // part and ".tmp"); never through a link, never over an existing file. The new
  // file's path goes to *tempPath. nullptr when it cannot be made (LastErrorText
  // tells why). Every host makes it the same way, with OpenFile(kCreateNew).
  virtual std::unique_ptr<File> CreateTemporaryBeside(const std::u16string& path,
                                                      std::u16string* tempPath);
  // Renames `from` to `to` in one step, replacing the file at `to` when there is one
  // (never a directory). Only for a finished temporary file of the same folder.
  virtual bool ReplaceFile(const std::u16string& from, const std::u16string& to) = 0;

  // --- Repack ---
  // Opens the working file `path` for writing, new and empty, and holds it against
  // every other process that opens it this way until the File is destroyed
  // (POSIX: flock(LOCK_EX|LOCK_NB); Windows: an open that shares no writing).
  // Never through a link, never a file of another kind, never a file with other
  // names: those and a file someone holds are left as they are, and *outcome says
  // which. A regular file that no one holds is replaced only once it is held and
  // `path` still names the very file locked (POSIX: removed under the lock and
  // made anew; Windows: cut to nothing). nullptr unless *outcome is kOpened. The
  // File's Describe gives its identity.
  virtual std::unique_ptr<File> OpenExclusive(const std::u16string& path,
                                              ExclusiveOpen* outcome) = 0;
  // Identity of the directory entry `path` itself: a link is not followed. False
  // when there is none.
  virtual bool GetEntryId(const std::u16string& path, FileId* id) = 0;
  // The path of the file that `path` names once the symbolic links of its last
  // component are followed (a chain of them, a relative target read from the
  // link's own folder); `path` itself when it is no link. False for a link loop or
  // a link that cannot be read (LastErrorText tells why).
  virtual bool ResolveLink(const std::u16string& path, std::u16string* resolved) = 0;

  // The process-wide host used by the library and the tool.
  static Host& Current();
  // Installs a host for the calls that follow (nullptr restores the real one).
  // The caller keeps ownership and keeps it alive while it is installed.
  static void SetCurrent(Host* host);
  static Host& Default();
};

// Forwards every call to another host; tests derive from it and override the
// calls they want to fail.
class HostWrapper : public Host {
 public:
  explicit HostWrapper(Host& target) : target_(target) {}
  std::unique_ptr<File> OpenFile(const std::u16string& path, OpenMode mode) override {
    return target_.OpenFile(path, mode);
  }
  bool RemoveFile(const std::u16string& path) override { return target_.RemoveFile(path); }
  bool MakeDirectory(const std::u16string& path) override { return target_.MakeDirectory(path); }
  bool RenameFile(const std::u16string& from, const std::u16string& to) override {
    return target_.RenameFile(from, to);
  }
  bool ListDirectory(const std::u16string& directory, std::vector<DirItem>* items) override {
    return target_.ListDirectory(directory, items);
  }
  uint64_t FreeBytes(const std::u16string& directory) override {
    return target_.FreeBytes(directory);
  }
  bool GetFileId(const std::u16string& path, FileId* id) override {
    return target_.GetFileId(path, id);
  }
  std::unique_ptr<File> CreateTemporaryBeside(const std::u16string& path,
                                              std::u16string* tempPath) override {
    return target_.CreateTemporaryBeside(path, tempPath);
  }
  bool ReplaceFile(const std::u16string& from, const std::u16string& to) override {
    return target_.ReplaceFile(from, to);
  }
  std::unique_ptr<File> OpenExclusive(const std::u16string& path, ExclusiveOpen* outcome) override {
    return target_.OpenExclusive(path, outcome);
  }
  bool GetEntryId(const std::u16string& path, FileId* id) override {
    return target_.GetEntryId(path, id);
  }
  bool ResolveLink(const std::u16string& path, std::u16string* resolved) override {
    return target_.ResolveLink(path, resolved);
  }

 protected:
  Host& target_;
};

// --- Writing beside what is there (extracted files, the list file) ----------------

// True when the last failed call of this thread failed because something already
// was at the path (a file, a folder or a link), as OpenMode::kCreateNew does. Only
// meaningful right after the failing call, like LastErrorText.
bool LastErrorMeansExists();

// True when a finished file may be renamed over whatever is at `path`, looked at
// without following a link: nothing, a link (the link is what gets replaced) or a
// file that the process may write. False for a folder and for a file the process
// may not write (read-only), which an open for writing would refuse as well;
// LastErrorText then tells why.
bool MayReplaceFile(const std::u16string& path);

// --- Text encodings -------------------------------------------------------------

// Bytes that are no character of their encoding are kept, not replaced: each one
// becomes the lone low surrogate U+DC00 + byte (U+DC80 to U+DCFF), and converting
// back turns such a surrogate into that byte again. So a name read from a package
// or from the file system is written back with the bytes it came with, and two
// names that differ in such bytes stay two names.
inline constexpr char16_t kFirstEscapedByte = u'\xDC80';
inline constexpr char16_t kLastEscapedByte = u'\xDCFF';

// Code page 936 bytes to UTF-16. Decoding goes from the left: a byte below 0x80 is
// that character, 0x80 is the euro sign, a lead byte (0x81 to 0xFE) and the byte
// after it are one character when code page 936 assigns one to the pair; any other
// byte (0xFF, a lead byte whose pair is unassigned, a lead byte at the end) is
// escaped as above and decoding goes on with the byte after it. Every host gives
// the same text for the same bytes.
std::u16string Cp936ToUtf16(std::string_view bytes);

// UTF-16 to code page 936, escaped bytes (U+DC80 to U+DCFF) written as the bytes
// they stand for. Returns false when the text has no code page 936 form: some
// character has none, or the bytes would not decode back to exactly this text (an
// escaped byte that would pair with the byte after it, or whose byte is a character
// by itself). `out` then holds the form of the characters before the first that
// fails.
bool Utf16ToCp936(std::u16string_view text, std::string* out);

// UTF-16 to UTF-8 and back. Bytes that are not valid UTF-8 (a stray continuation
// byte, a cut or overlong sequence, an encoded surrogate, anything beyond U+10FFFF)
// are escaped as above, byte by byte, so that any file name or argument survives
// the trip through UTF-16; other unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// --- Memory ---------------------------------------------------------------------

// Tells the system that the `size` bytes at `data`, freshly allocated and not yet
// touched, are about to be filled front to back at once, so that it may back them
// with large pages (fewer page faults, fewer address-translation misses). Only a
// hint: nothing is reported, and a host without such pages does nothing.
void AdviseBulkFill(void* data, size_t size);

// Asks the system to back the whole pages within the `size` bytes at `data` with
// memory now, on the calling thread, without changing a byte of them: a worker
// can take the page faults of a block that another thread is about to fill. Only
// a hint: nothing is reported, and a host without the means does nothing.
void PrefaultForWrite(void* data, size_t size);

// Makes the runtime hand blocks of 128 KiB and more back to the system as soon as
// they are freed, instead of keeping them for later allocations, so that the
// resident size follows the buffers really in use (the tool holds a few large
// buffers at a time, some on worker threads). For a program's start-up, before
// any thread is made; does nothing where the runtime does so already.
void ReturnLargeBlocksPromptly();

// --- Package targets ------------------------------------------------------------

// What a path leads to.
enum class PathKind {
  kMissing,  // nothing: a file may be made there
  kRegular,  // a regular file
  kOther,    // a directory, a pipe, a socket, a device
};

// Follows the symbolic links at `path` (each link's target taken relative to the
// link's own folder) to the path they end at, *finalPath (`path` itself when it is
// no link), and tells what is there. A file written "at" `path` belongs at
// *finalPath, so that a link stays a link. False when it cannot be told (a loop of
// links, a folder on the way that cannot be searched): LastErrorText tells why.
bool InspectPath(const std::u16string& path, std::u16string* finalPath, PathKind* kind);

// --- Process and console --------------------------------------------------------

// Files that an interruption of the process must not leave behind: a path given to
// RemoveOnInterrupt is removed when the process is ended by SIGINT, SIGTERM or
// SIGHUP (on Windows: Ctrl-C, Ctrl-Break or the console closing) before
// ForgetOnInterrupt takes it back; the process then ends as the signal would have
// ended it. At most kMaxInterruptFiles paths at once; false when that many are held
// or the path is too long to keep, and the path is then not removed.
inline constexpr size_t kMaxInterruptFiles = 16;
bool RemoveOnInterrupt(const std::u16string& path);
void ForgetOnInterrupt(const std::u16string& path);

// While held (true), SIGINT, SIGTERM and SIGHUP (on Windows the console's
// interruptions) wait; releasing (false) lets one that came in meanwhile end the
// process then, removing the files registered at that time. For steps that must
// not be cut in two, such as the two renames that put a repacked package in place.
// On POSIX it holds them on the calling thread, which must be the only one running.
void DeferInterrupts(bool hold);

// The system's reason for the last failed call of this thread, in words
// (strerror(errno) on POSIX, the system message of GetLastError on Windows). Only
// meaningful right after the failing call.
std::u16string LastErrorText();

// The value of an environment variable; false when it is not set.
bool EnvironmentValue(std::u16string_view name, std::u16string* value);

// Sets the runtime locale to code page 936 (".936"); the result is not reported.
void SetCodePageLocale();

// Writes text to standard output in the console's encoding (UTF-8 on POSIX, the
// runtime's wide output on Windows).
void WriteConsole(std::u16string_view text);
void FlushConsole();

// --- Data on standard output, progress on standard error ---------------------------
// For runs whose standard output carries data (entry bytes, JSON) rather than the
// console's text.

// Writes `size` bytes to standard output exactly as they are: no conversion and no
// CR LF translation (on Windows the stream is put in binary mode for the rest of
// the run at the first call). A run writes its standard output either through this
// or through WriteConsole, never both. False when not all bytes were written.
bool WriteStdoutBytes(const void* data, size_t size);
// Flushes standard output; false when some bytes written to it were lost (a full
// disk behind a redirection, say).
bool FinishStdout();
// True when standard error is a terminal (a console on Windows).
bool StderrIsTerminal();
// Writes text to standard error as it is, without a line end (a progress line that
// ends in a carriage return), in the console's encoding.
void WriteErrorText(std::u16string_view text);

}  // namespace host

#endif  // QUILLO_HOST_HOST_H_
