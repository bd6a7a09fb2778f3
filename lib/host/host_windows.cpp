// host_windows.cpp - the host layer on Windows, on the wide Win32 and runtime calls only.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN 1
#endif
#ifndef NOMINMAX
#define NOMINMAX 1
#endif

#include <windows.h>
// <windows.h> maps WriteConsole to WriteConsoleW; the host layer has its own.
#undef WriteConsole

#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/host_shared.h"

namespace host {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide characters are UTF-16 units");

// Code page of the entry names.
constexpr UINT kCodePage = 936;

std::wstring NativePath(std::u16string_view path) { return std::wstring(path.begin(), path.end()); }

class WindowsFile final : public File {
 public:
  explicit WindowsFile(FILE* stream) : stream_(stream) {}
  ~WindowsFile() override { Close(); }

  // Takes the length and identity that the system gave for the open handle.
  void SetDescription(const BY_HANDLE_FILE_INFORMATION& info) {
    size_ =
        static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    id_.device = info.dwVolumeSerialNumber;
    id_.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    described_ = true;
  }

  size_t Read(void* data, size_t size) override {
    if (!stream_ || size == 0) return 0;
    return fread(data, 1, size, stream_);
  }
  size_t Write(const void* data, size_t size) override {
    if (!stream_ || size == 0) return 0;
    return fwrite(data, 1, size, stream_);
  }
  bool Seek(int64_t position) override {
    return stream_ && position >= 0 && _fseeki64(stream_, position, SEEK_SET) == 0;
  }
  bool SeekToEnd() override { return stream_ && _fseeki64(stream_, 0, SEEK_END) == 0; }
  int64_t Tell() override { return stream_ ? static_cast<int64_t>(_ftelli64(stream_)) : -1; }
  bool Flush() override { return stream_ && fflush(stream_) == 0 && !ferror(stream_); }
  bool Sync() override { return Flush() && _commit(_fileno(stream_)) == 0; }
  bool Close() override {
    if (!stream_) return true;
    bool ok = !ferror(stream_);
    ok = (fclose(stream_) == 0) && ok;
    stream_ = nullptr;
    return ok;
  }
  bool Describe(int64_t* size, FileId* id) override {
    if (!stream_ || !described_) return false;
    *size = size_;
    *id = id_;
    return true;
  }

  // Windows keeps no permission bits: the attributes that stand for them are taken.
  bool CopyAccessFrom(const std::u16string& path) override {
    if (!stream_) return false;
    const DWORD from = GetFileAttributesW(NativePath(path).c_str());
    if (from == INVALID_FILE_ATTRIBUTES || fflush(stream_) != 0) return false;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)));
    FILE_BASIC_INFO info;
    if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info)) return false;
    constexpr DWORD kTaken = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;
    info.FileAttributes = (info.FileAttributes & ~kTaken) | (from & kTaken);
    if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info) != 0;
  }

 private:
  FILE* stream_;
  bool described_ = false;
  int64_t size_ = 0;
  FileId id_;
};

// A kernel handle closed on destruction.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (ok()) CloseHandle(handle_);
  }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A directory search closed on destruction.
class ScopedFind {
 public:
  explicit ScopedFind(HANDLE handle) : handle_(handle) {}
  ScopedFind(const ScopedFind&) = delete;
  ScopedFind& operator=(const ScopedFind&) = delete;
  ~ScopedFind() {
    if (ok()) FindClose(handle_);
  }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// A binary write stream of the runtime on a handle opened for writing; the stream
// owns the handle from then on. nullptr when the runtime cannot take it (the handle
// is closed then).
FILE* StreamOnHandle(HANDLE handle) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  FILE* stream = _fdopen(fd, "wb");
  if (!stream) _close(fd);
  return stream;
}

// A new file at `path`, opened for writing as a runtime stream ("wb"); null when
// anything is there already (ERROR_FILE_EXISTS) or it cannot be made. CREATE_NEW
// never opens an existing file and never follows a link. FILE_SHARE_DELETE lets the
// interruption handler remove the file while it is still being written.
FILE* CreateNewStream(const std::wstring& path) {
  const HANDLE handle =
      CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  FILE* stream = StreamOnHandle(handle);
  if (!stream) {
    const DWORD error = GetLastError();
    DeleteFileW(path.c_str());
    SetLastError(error);
  }
  return stream;
}

class WindowsHost final : public Host {
 public:
  std::unique_ptr<File> OpenFile(const std::u16string& path, OpenMode mode) override {
    const wchar_t* flags = mode == OpenMode::kRead    ? L"rb"
                           : mode == OpenMode::kWrite ? L"wb"
                                                      : L"ab";
    FILE* stream = mode == OpenMode::kCreateNew ? CreateNewStream(NativePath(path))
                                                : _wfopen(NativePath(path).c_str(), flags);
    if (!stream) return nullptr;
    // Only files on disk are opened, as on POSIX only regular files: a device name
    // (NUL, CON, COM1, ... with any extension, in any folder) opens the device, so a
    // package "written" to nul.pck would be lost while creation reports success, and
    // reading CON would wait for the keyboard.
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (GetFileType(handle) != FILE_TYPE_DISK) {
      fclose(stream);
      return nullptr;
    }
    auto file = std::make_unique<WindowsFile>(stream);
    // A file that CREATE_NEW made just now is known to be new and empty: nothing
    // more is asked of it (Describe says so).
    if (mode == OpenMode::kCreateNew) return file;
    // One call gives the length and the identity, which creation asks of every
    // source; without it they are found through the path and seeks instead.
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info)) file->SetDescription(info);
    return file;
  }

  bool RemoveFile(const std::u16string& path) override {
    return DeleteFileW(NativePath(path).c_str()) != 0;
  }

  bool MakeDirectory(const std::u16string& path) override {
    return CreateDirectoryW(NativePath(path).c_str(), nullptr) != 0;
  }

  // Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists;
  // MOVEFILE_COPY_ALLOWED lets it copy and delete across volumes, and
  // MOVEFILE_WRITE_THROUGH returns only once such a copy is on disk.
  bool RenameFile(const std::u16string& from, const std::u16string& to) override {
    return MoveFileExW(NativePath(from).c_str(), NativePath(to).c_str(),
                       MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) != 0;
  }

  bool ListDirectory(const std::u16string& directory, std::vector<DirItem>* items) override {
    std::wstring pattern = NativePath(directory);
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/' &&
        pattern.back() != L':') {
      pattern.push_back(L'\\');
    }
    // A path of MAX_PATH units or more opens only in the "\\?\" form.
    const size_t prefix = pattern.size();
    const bool limited = pattern.rfind(L"\\\\?\\", 0) != 0;
    pattern.push_back(L'*');
    WIN32_FIND_DATAW data;
    ScopedFind find(FindFirstFileW(pattern.c_str(), &data));
    if (!find.ok()) {
      // A readable directory with nothing in it (a drive root has no "." or "..").
      return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
      DirItem out;
      out.name.assign(data.cFileName, data.cFileName + wcslen(data.cFileName));
      out.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      if (limited && !out.isDirectory && prefix + out.name.size() >= MAX_PATH) {
        const DWORD saved = GetLastError();
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        out.problem = LastErrorText();
        SetLastError(saved);
      }
      items->push_back(std::move(out));
    } while (FindNextFileW(find.get(), &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
  }

  uint64_t FreeBytes(const std::u16string& directory) override {
    const std::wstring native = NativePath(directory);
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(native.empty() ? nullptr : native.c_str(), &available, nullptr,
                             nullptr)) {
      return 0;
    }
    return static_cast<uint64_t>(available.QuadPart);
  }

  // FILE_FLAG_BACKUP_SEMANTICS lets the same call open a directory.
  bool GetFileId(const std::u16string& path, FileId* id) override {
    ScopedHandle file(CreateFileW(NativePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.ok()) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info)) return false;
    id->device = info.dwVolumeSerialNumber;
    id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
  }

  bool ReplaceFile(const std::u16string& from, const std::u16string& to) override {
    return MoveFileExW(NativePath(from).c_str(), NativePath(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }

  // --- Repack ---
  // The open itself is the lock: it shares reading and deleting (so that the file
  // can be copied and renamed while held) but no writing, so another such open
  // fails with a sharing violation until the handle is closed.
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, never what it points to.
  std::unique_ptr<File> OpenExclusive(const std::u16string& path, ExclusiveOpen* outcome) override {
    const std::wstring native = NativePath(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return Refuse(outcome, ExclusiveOpen::kLink);
      if (attributes & FILE_ATTRIBUTE_DIRECTORY) return Refuse(outcome, ExclusiveOpen::kNotRegular);
    }
    const HANDLE handle =
        CreateFileW(native.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      return Refuse(outcome, error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION
                                 ? ExclusiveOpen::kHeld
                                 : ExclusiveOpen::kFailed);
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK) {
      return Refuse(outcome, ExclusiveOpen::kNotRegular, handle);
    }
    if (!GetFileInformationByHandle(handle, &info)) {
      return Refuse(outcome, ExclusiveOpen::kFailed, handle);
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      return Refuse(outcome, ExclusiveOpen::kLink, handle);
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      return Refuse(outcome, ExclusiveOpen::kNotRegular, handle);
    }
    if (info.nNumberOfLinks > 1) return Refuse(outcome, ExclusiveOpen::kManyNames, handle);
    // Held now: only from here on is the file cut (the position is at its start).
    if (!SetEndOfFile(handle)) return Refuse(outcome, ExclusiveOpen::kFailed, handle);
    FILE* stream = StreamOnHandle(handle);
    if (!stream) return Refuse(outcome, ExclusiveOpen::kFailed);
    auto file = std::make_unique<WindowsFile>(stream);
    info.nFileSizeHigh = 0;
    info.nFileSizeLow = 0;
    file->SetDescription(info);
    *outcome = ExclusiveOpen::kOpened;
    return file;
  }

  bool GetEntryId(const std::u16string& path, FileId* id) override {
    ScopedHandle file(
        CreateFileW(NativePath(path).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.ok()) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file.get(), &info)) return false;
    id->device = info.dwVolumeSerialNumber;
    id->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
  }

  // The system follows the whole chain; the final path comes back in its long
  // form ("\\?\C:\..." or "\\?\UNC\server\..."), given here in the usual one.
  bool ResolveLink(const std::u16string& path, std::u16string* resolved) override {
    const std::wstring native = NativePath(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      *resolved = path;
      return true;
    }
    ScopedHandle file(CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.ok()) return false;
    std::wstring final(32768, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(file.get(), final.data(), static_cast<DWORD>(final.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= final.size()) return false;
    final.resize(length);
    if (final.rfind(L"\\\\?\\UNC\\", 0) == 0) {
      final = L"\\\\" + final.substr(8);
    } else if (final.rfind(L"\\\\?\\", 0) == 0) {
      final = final.substr(4);
    }
    resolved->assign(final.begin(), final.end());
    return true;
  }

 private:
  // Fails OpenExclusive with `why`, closing `handle` when one is given; the last
  // error is kept for LastErrorText.
  static std::unique_ptr<File> Refuse(ExclusiveOpen* outcome, ExclusiveOpen why,
                                      HANDLE handle = INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    *outcome = why;
    SetLastError(error);
    return nullptr;
  }
};

// Files removed when the console interrupts the process. The handler runs on a
// thread of its own, so a mutex guards the list.
std::mutex g_interruptMutex;
std::vector<std::wstring> g_interruptFiles;
bool g_interruptInstalled = false;

std::atomic<bool> g_interruptsDeferred{false};

BOOL WINAPI RemoveFilesOnInterrupt(DWORD) {
  // The handler runs on a thread of its own: steps that must not be cut in two
  // finish first (for a minute at most).
  for (int waited = 0; g_interruptsDeferred.load() && waited < 6000; ++waited) Sleep(10);
  std::lock_guard<std::mutex> lock(g_interruptMutex);
  for (const std::wstring& path : g_interruptFiles) DeleteFileW(path.c_str());
  return FALSE;  // the default handling then ends the process
}

// Decodes `bytes` as code page 936 with MB_ERR_INVALID_CHARS; false when some
// sequence in it is not code page 936 (or it is empty).
bool DecodeStrict(const char* bytes, int size, std::u16string* out) {
  const int length = MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, bytes, size, nullptr, 0);
  if (length <= 0) return false;
  std::wstring wide(static_cast<size_t>(length), L'\0');
  if (MultiByteToWideChar(kCodePage, MB_ERR_INVALID_CHARS, bytes, size, wide.data(), length) !=
      length) {
    return false;
  }
  out->append(wide.begin(), wide.end());
  return true;
}

// Encodes `text` as code page 936; false when some character has no form there
// (the system would have put its default character in its place).
bool EncodeStrict(const wchar_t* text, int size, std::string* out) {
  BOOL usedDefault = FALSE;
  const int length = WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, text, size, nullptr, 0,
                                         nullptr, &usedDefault);
  if (length <= 0 || usedDefault) return false;
  std::string bytes(static_cast<size_t>(length), '\0');
  if (WideCharToMultiByte(kCodePage, WC_NO_BEST_FIT_CHARS, text, size, bytes.data(), length,
                          nullptr, &usedDefault) != length ||
      usedDefault) {
    return false;
  }
  out->append(bytes);
  return true;
}

// The pairs of a lead byte and a trail byte that code page 936 assigns a character
// to (0x7F is never a trail byte): the set that glibc's CP936 decodes. The system's
// table also maps the user-defined areas (AAA1-AFFE, F8A1-FEFE, A140-A7A0), a few
// unassigned codes and the byte 0xFF to private-use characters; taking those as
// characters would make the same name read differently on Linux and here, so they
// are escaped bytes on both.
struct AssignedPairs {
  uint8_t firstLead, lastLead, firstTrail, lastTrail;
};
constexpr AssignedPairs kAssignedPairs[] = {
    {0x81, 0xA0, 0x40, 0xFE}, {0xA1, 0xA1, 0xA1, 0xFE}, {0xA2, 0xA2, 0xA1, 0xAA},
    {0xA2, 0xA2, 0xB1, 0xE2}, {0xA2, 0xA2, 0xE5, 0xEE}, {0xA2, 0xA2, 0xF1, 0xFC},
    {0xA3, 0xA3, 0xA1, 0xFE}, {0xA4, 0xA4, 0xA1, 0xF3}, {0xA5, 0xA5, 0xA1, 0xF6},
    {0xA6, 0xA6, 0xA1, 0xB8}, {0xA6, 0xA6, 0xC1, 0xD8}, {0xA6, 0xA6, 0xE0, 0xEB},
    {0xA6, 0xA6, 0xEE, 0xF2}, {0xA6, 0xA6, 0xF4, 0xF5}, {0xA7, 0xA7, 0xA1, 0xC1},
    {0xA7, 0xA7, 0xD1, 0xF1}, {0xA8, 0xA8, 0x40, 0x95}, {0xA8, 0xA8, 0xA1, 0xBB},
    {0xA8, 0xA8, 0xBD, 0xBE}, {0xA8, 0xA8, 0xC0, 0xC0}, {0xA8, 0xA8, 0xC5, 0xE9},
    {0xA9, 0xA9, 0x40, 0x57}, {0xA9, 0xA9, 0x59, 0x5A}, {0xA9, 0xA9, 0x5C, 0x5C},
    {0xA9, 0xA9, 0x60, 0x88}, {0xA9, 0xA9, 0x96, 0x96}, {0xA9, 0xA9, 0xA4, 0xEF},
    {0xAA, 0xAF, 0x40, 0xA0}, {0xB0, 0xD6, 0x40, 0xFE}, {0xD7, 0xD7, 0x40, 0xF9},
    {0xD8, 0xF7, 0x40, 0xFE}, {0xF8, 0xFD, 0x40, 0xA0}, {0xFE, 0xFE, 0x40, 0x4F},
};

bool IsAssignedPair(unsigned char lead, unsigned char trail) {
  if (trail == 0x7F) return false;
  for (const AssignedPairs& r : kAssignedPairs) {
    if (lead >= r.firstLead && lead <= r.lastLead && trail >= r.firstTrail &&
        trail <= r.lastTrail) {
      return true;
    }
  }
  return false;
}

// Appends the text of `bytes`, which hold only single bytes below 0x81 and assigned
// pairs. Should the system refuse some character all the same, its bytes are
// escaped, so that nothing is lost.
void DecodeRun(std::string_view bytes, std::u16string* out) {
  if (bytes.empty()) return;
  if (bytes.size() <= static_cast<size_t>(INT_MAX) &&
      DecodeStrict(bytes.data(), static_cast<int>(bytes.size()), out)) {
    return;
  }
  size_t i = 0;
  while (i < bytes.size()) {
    const size_t length = static_cast<unsigned char>(bytes[i]) > 0x80 ? 2 : 1;
    if (!DecodeStrict(bytes.data() + i, static_cast<int>(length), out)) {
      for (size_t k = 0; k < length; ++k) {
        out->push_back(EscapedByte(static_cast<unsigned char>(bytes[i + k])));
      }
    }
    i += length;
  }
}

bool EncodeRun(std::u16string_view text, std::string* out) {
  const std::wstring wide = NativePath(text);
  if (wide.size() <= static_cast<size_t>(INT_MAX) &&
      EncodeStrict(wide.data(), static_cast<int>(wide.size()), out)) {
    return true;
  }
  size_t i = 0;
  while (i < wide.size()) {
    const int length = IsSurrogatePair(text, i) ? 2 : 1;
    if (!EncodeStrict(wide.data() + i, length, out)) return false;
    i += static_cast<size_t>(length);
  }
  return true;
}

}  // namespace

Host& Host::Default() {
  static WindowsHost host;
  return host;
}

std::u16string Cp936ToUtf16(std::string_view bytes) {
  std::u16string out;
  size_t i = 0;
  while (i < bytes.size()) {
    // The characters up to the next byte that is none are decoded in one call.
    size_t end = i;
    while (end < bytes.size()) {
      const auto b = static_cast<unsigned char>(bytes[end]);
      if (b <= 0x80) {
        ++end;
      } else if (b < 0xFF && end + 1 < bytes.size() &&
                 IsAssignedPair(b, static_cast<unsigned char>(bytes[end + 1]))) {
        end += 2;
      } else {
        break;
      }
    }
    DecodeRun(bytes.substr(i, end - i), &out);
    if (end < bytes.size()) out.push_back(EscapedByte(static_cast<unsigned char>(bytes[end++])));
    i = end;
  }
  return out;
}

// The system writes private-use characters into the areas that read back as escaped
// bytes: every form is read back.
const bool kCp936RunsReadBack = false;

bool EncodeCp936Run(std::u16string_view text, std::string* out) { return EncodeRun(text, out); }

// Large pages need a privilege that ordinary accounts lack: nothing to do.
void AdviseBulkFill(void*, size_t) {}

// The pages are left to fault in as they are written.
void PrefaultForWrite(void*, size_t) {}

// The Windows heap gives large blocks back to the system when they are freed.
void ReturnLargeBlocksPromptly() {}

bool EnvironmentValue(std::u16string_view name, std::u16string* value) {
  const wchar_t* text = _wgetenv(NativePath(name).c_str());
  if (!text) return false;
  value->assign(text, text + wcslen(text));
  return true;
}

void SetCodePageLocale() { _wsetlocale(LC_ALL, L".936"); }

// Wide output only, so stdout keeps one orientation; the runtime converts to the
// locale's code page (and "\n" to CR LF, as a text stream does).
//
// The runtime drops the rest of a string at the first character that has no form
// in the code page, so such characters (a package path may hold any) are written
// as '?' first, as in log.txt, and the text after them is kept.
static void WriteWide(FILE* stream, std::u16string_view text) {
  std::wstring wide = NativePath(text);
  std::string bytes;
  if (wide.size() > static_cast<size_t>(INT_MAX) ||
      !EncodeStrict(wide.data(), static_cast<int>(wide.size()), &bytes)) {
    std::wstring shown;
    shown.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
      const bool pair =
          IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() && IS_LOW_SURROGATE(wide[i + 1]);
      const int length = pair ? 2 : 1;
      bytes.clear();
      if (wide[i] == L'\0' || EncodeStrict(wide.data() + i, length, &bytes)) {
        shown.append(wide, i, static_cast<size_t>(length));
      } else {
        shown.push_back(L'?');
      }
      i += static_cast<size_t>(length - 1);
    }
    wide = std::move(shown);
  }
  size_t start = 0;
  while (start < wide.size()) {
    const size_t end = wide.find(L'\0', start);
    // fputws stops at the terminator, which is either the next NUL or the end.
    fputws(wide.c_str() + start, stream);
    if (end == std::wstring::npos) break;
    fputwc(L'\0', stream);
    start = end + 1;
  }
}

void WriteConsole(std::u16string_view text) { WriteWide(stdout, text); }

void FlushConsole() { fflush(stdout); }

bool RemoveOnInterrupt(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(g_interruptMutex);
  if (g_interruptFiles.size() >= kMaxInterruptFiles) return false;
  if (!g_interruptInstalled) {
    SetConsoleCtrlHandler(RemoveFilesOnInterrupt, TRUE);
    g_interruptInstalled = true;
  }
  g_interruptFiles.push_back(NativePath(path));
  return true;
}

void ForgetOnInterrupt(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(g_interruptMutex);
  const std::wstring native = NativePath(path);
  for (auto it = g_interruptFiles.begin(); it != g_interruptFiles.end(); ++it) {
    if (*it == native) {
      g_interruptFiles.erase(it);
      return;
    }
  }
}

// --- Repack ---
void DeferInterrupts(bool hold) { g_interruptsDeferred.store(hold); }

// --- Writing beside what is there ------------------------------------------------

bool LastErrorMeansExists() {
  const DWORD error = GetLastError();
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

bool MayReplaceFile(const std::u16string& path) {
  const DWORD attributes = GetFileAttributesW(NativePath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;  // a link: it is replaced
  if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

std::u16string LastErrorText() {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string out;
  if (length != 0 && text) out.assign(text, text + length);
  if (text) LocalFree(text);
  // The system's messages end in a full stop and a line end.
  while (!out.empty() &&
         (out.back() == u'\r' || out.back() == u'\n' || out.back() == u' ' || out.back() == u'.')) {
    out.pop_back();
  }
  if (out.empty()) {
    const std::wstring number = L"system error " + std::to_wstring(code);
    out.assign(number.begin(), number.end());
  }
  return out;
}

// --- Package targets ------------------------------------------------------------

// The system follows links itself when the path is opened; what the path names is
// where the file goes.
bool InspectPath(const std::u16string& path, std::u16string* finalPath, PathKind* kind) {
  *finalPath = path;
  ScopedHandle file(CreateFileW(NativePath(path).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.ok()) {
    // A folder missing on the way is told when the file is made there.
    if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) {
      return false;
    }
    *kind = PathKind::kMissing;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    *kind = PathKind::kOther;  // a device: NUL, CON, COM1, ...
  } else if (!GetFileInformationByHandle(file.get(), &info)) {
    return false;
  } else {
    *kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kOther
                                                                    : PathKind::kRegular;
  }
  return true;
}

bool WriteStdoutBytes(const void* data, size_t size) {
  static bool binary = false;
  if (!binary) {
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    binary = true;
  }
  return fwrite(data, 1, size, stdout) == size;
}

bool FinishStdout() { return fflush(stdout) == 0 && !ferror(stdout); }

// A console answers GetConsoleMode; a file, a pipe or the NUL device does not
// (_isatty would take NUL for a terminal).
bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void WriteErrorText(std::u16string_view text) {
  WriteWide(stderr, text);
  fflush(stderr);
}

}  // namespace host
