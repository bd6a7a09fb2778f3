// archive.h - PckArchive: opening, reading, creating and repacking one package.
//
// Paths are UTF-16 strings in the host's own form ('/' between levels on Linux,
// '\' on Windows). Each operation that can fail returns a PckStatus and prints
// nothing; running out of memory throws std::bad_alloc, and nothing else leaves
// the library. A PckArchive is used by one thread at a time.
#ifndef QUILLO_ARCHIVE_H_
#define QUILLO_ARCHIVE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec.h"
#include "format.h"
#include "status.h"

// The type of the package stream belongs to the library's host layer, which is
// not part of the public headers; only its name is needed here.
namespace host {
class File;
}

// One entry in memory. `name` is the relative path in UTF-16 with '\' between
// levels, terminated by a zero unit, every unit after it zero (at most 255
// characters). The numbers are those of the entry's table record.
struct PckEntry {
  char16_t name[kPckNameUnits] = {};
  uint32_t reserved1 = 0;
  uint32_t offset = 0;
  uint32_t dataSize = 0;
  uint32_t storedSize = 0;
  uint32_t reserved2 = 0;
};

// An ordered list of entries; the archive's own list is in table order.
using EntryList = std::vector<PckEntry>;

// Full paths of source files, in the order their data and records are written.
// Each begins with the base directory handed to Create.
using FileList = std::vector<std::u16string>;

// The changes an Edit makes to a package: the files to add, each named by its path
// below `baseDirectory` as Create names it, and patterns of the entries to delete
// (PckNamePattern, name_match.h: the patterns of --include).
struct PckChanges {
  std::u16string baseDirectory;
  FileList files;
  std::vector<std::u16string> deletions;
};

// What an Edit did, filled on success. `created`: there was no package, Create made
// one of the files. `replaced`: entries that got new data in their place; `added`:
// entries appended; `deleted`: entries dropped (by a pattern, or as a second entry
// of a name that got new data). `copied`: stored bytes carried over unchanged;
// `encoded`: bytes of new data read and encoded. After a failure: `unopened` when
// the package could not be opened (or is missing while deletions were asked), and
// `unmatched` lists, as given, the deletion patterns that matched no entry.
struct PckEditResult {
  bool created = false;
  bool unopened = false;
  uint64_t replaced = 0;
  uint64_t added = 0;
  uint64_t deleted = 0;
  uint64_t copied = 0;
  uint64_t encoded = 0;
  std::vector<std::u16string> unmatched;
};

// Called by Create and Repack after each item they finish, in item order and one
// call at a time: once per entry's data (label "compress data", or "repack data")
// and then once per table record ("write file entry"), with the item number
// counting from 1 and the number of items. The result is ignored.
using ProgressCallback = int (*)(int32_t done, int32_t total, const char16_t* label);

// What the last failed operation of a PckArchive failed on, for the user: the path
// or entry name it concerns (empty when it concerns none) and what went wrong, in
// words (the system's own reason where there is one). Empty after a success.
struct PckFailure {
  std::u16string subject;
  std::u16string reason;
};

// One package: the open package stream, its path and its entries. The object owns
// the stream and the list; the copies that CopyEntries and ReadEntry hand out
// belong to the caller. It is never copied.
class PckArchive {
 public:
  // Makes an object that holds no package, with an empty path and no entries.
  PckArchive();
  ~PckArchive();  // runs Close
  PckArchive(const PckArchive&) = delete;
  PckArchive& operator=(const PckArchive&) = delete;

  // Closes whatever is open, then opens the package at `path` (on Linux a regular
  // file only) and decodes its whole entry table into entries(). Returns kSuccess,
  // with the package open and path() set to `path`; kFileOpenError when the file
  // cannot be opened (nothing is open then); kNotSupported for a wrong magic or
  // version word; kGuardByteError for a wrong trailer guard, a record whose two
  // lengths disagree or a table that lies beyond the file; kZlibError for a record
  // that does not decode to a whole 276-byte record, or whose body lies beyond the
  // file; kFileOperationError when the table does not fit in memory (no exception
  // leaves Open). Every failure fills failure(): the subject is `path`, the reason
  // the system's (for an open that failed) or what is wrong with the package. After
  // a failure path() keeps its earlier value, the stream may still be held and
  // entries() may hold the entries decoded before the failing record: callers must
  // treat the object as closed and read nothing through it before the next Open.
  [[nodiscard]] PckStatus Open(const std::u16string& path);

  // Appends a copy of every entry, in table order, to the end of `list`, which is
  // not emptied first; a closed object appends nothing. Always returns kSuccess.
  [[nodiscard]] PckStatus CopyEntries(EntryList* list) const;

  // Reads the stored bytes of `entry` (normally a copy from CopyEntries of this
  // object) and decodes them into `buffer`, which is first resized to the entry's
  // dataSize. Entries may be read in any order and any number of times. Returns
  // kSuccess with the data in `buffer`, shorter than dataSize when the entry's
  // stream ends early; kFileOpenError when no package is open, leaving `buffer`
  // untouched; kZlibError when the stored bytes lie beyond the end of the package
  // or cannot possibly hold dataSize bytes (refused before anything is allocated,
  // `buffer` untouched) or cannot be read or decoded (`buffer` is then not to be
  // used); kFileOperationError when the entry does not fit in memory (no exception
  // leaves ReadEntry; `buffer` is not to be used, and the next entries read as
  // before). Every failure fills failure() with the entry's name and the reason.
  [[nodiscard]] PckStatus ReadEntry(const PckEntry& entry, ByteBuffer* buffer);

  // Closes the package stream, if one is held, and empties entries(); path() is
  // kept. Cannot fail; closing a closed object does nothing.
  void Close();

  // Writes a new package at `packagePath` from `files`, in list order, each file's
  // data and each table record encoded with CompressBlock at `level` (-1..9), then
  // opens it, so the object holds the new package. The entry name of a file is its
  // path with the length of `baseDirectory` cut off and host separators turned
  // into '\'. It first closes whatever the object holds and empties entries(), so
  // nothing of an earlier package reaches the new table. `progress`, when not null,
  // is called per file and per record.
  //
  // Whole or nothing: every name is checked before anything is written, and the
  // package is written to a temporary file beside `packagePath` (beside the file
  // it leads to, when it is a link, which stays a link), flushed to stable storage
  // and only then renamed over it. On any failure, and when the process is ended
  // by SIGINT or SIGTERM, the temporary file is removed: a package already at the
  // path is left as it was, and no partial package remains. A file in the list that
  // is that older package is left out.
  //
  // Returns kSuccess (also when the final reopening fails; the object is then as
  // Open leaves it); kFileOpenError when the path leads to something other than a
  // regular file (a folder, a pipe) or the temporary file cannot be made there;
  // kZlibError when a block cannot be encoded; kFileOperationError when a name
  // cannot be stored whole (a character without a code page 936 form, a code page
  // 936 form longer than the 256-byte field, more than 255 units, or on hosts whose
  // separator is '/' a '\' in the path below `baseDirectory`), a source file cannot
  // be opened or read whole or is larger than 4 GiB - 1, memory runs out, a write or
  // the flush fails, the package would grow past 2^31 - 1 bytes, or the renaming
  // fails. failure() then names the file or entry and the reason. After a failure
  // nothing is open, entries() holds the entries written so far and path() is
  // unchanged: treat the object as closed. Nothing is thrown.
  [[nodiscard]] PckStatus Create(const std::u16string& baseDirectory, int32_t level,
                                 const std::u16string& packagePath, const FileList& files,
                                 ProgressCallback progress);

  // Rewrites the open package at `level`: -1 copies every entry's stored bytes
  // unchanged (only the table is encoded afresh, at zlib's default level); 0..9
  // decode every non-empty entry and encode it again at that level, except that an
  // entry whose new bytes would not read back as it reads now (a stream that ends
  // early, stored plain) keeps its stored bytes. A package path that is a symbolic
  // link (or a chain of them) repacks the file it leads to, called "the real file"
  // below; the links are left as they are and lead to the new package.
  //
  // The new package is written to "tmp.pck" in the current working directory,
  // which is taken only when it is missing or a regular file of one name that no
  // other process holds: it is locked (Host::OpenExclusive) before anything in it
  // is cut, and held until it has become the package. A link, a named pipe, a
  // device, a folder, a file with other names or a file another run holds is left
  // untouched and the repack fails. The new file gets the real file's permission
  // bits (and its owner and group where the process may set them) and is flushed
  // to disk; then, while "tmp.pck" is still the very file written, the real file
  // is renamed to its path + ".old", which is never replaced, "tmp.pck" is
  // renamed to the real file's path (interruptions wait meanwhile) and path() is
  // opened again, so the object holds the new package. SIGINT and SIGTERM while
  // "tmp.pck" is this run's remove it before the process ends. `progress`, when
  // not null, is called per entry and per record.
  //
  // Returns kSuccess (also when the final reopening fails); kFileOpenError when no
  // package is open or "tmp.pck" cannot be taken; kFileOperationError when the free
  // space on the real file's volume is less than the package's size, the package
  // is "tmp.pck" itself, the links of the path cannot be followed, an entry's
  // stored bytes cannot be read whole, an entry or the working storage does not
  // fit in memory (std::bad_alloc is caught), a name has no code page 936 form, a
  // write, the permissions or the flush fail, the new package would grow past
  // 2^31 - 1 bytes, "tmp.pck" was replaced by another file, or a rename fails
  // (path() + ".old" exists, say); kZlibError when an entry cannot be decoded or a
  // block encoded. failure() then names the file or entry and says why. On every
  // failure the package is left unchanged at its path (when the new package cannot
  // be moved there, the old one is renamed back; should that fail too, it remains
  // as its path + ".old"), and "tmp.pck" is removed when, and only when, it is the
  // file this run locked and wrote. After a failure the object must be opened
  // again before anything is read through it: entries() may describe the removed
  // file, and after a failed rename nothing is open.
  [[nodiscard]] PckStatus Repack(int32_t level, ProgressCallback progress);

  // Changes the package at `packagePath` in place, without rebuilding it: first
  // every entry that a pattern of `changes.deletions` matches is dropped, then each
  // file of `changes.files` becomes an entry. A file whose entry name is already in
  // the package (names compared with '/' equal to '\' and ASCII letters without
  // regard to case) gives that entry new data and its own name, in the entry's place
  // in the table; should the package hold the name more than once, the later ones
  // are dropped. Other files are appended in list order (two files whose names
  // compare equal make one entry, of the later file). New data is encoded at
  // `level` (-1..9) as Create encodes it; every other entry's stored bytes are
  // copied unchanged, without decoding; the table is written afresh at `level`.
  // The new package has no dead space: it is laid out exactly as Create lays out
  // its entries. `progress`, when not null, is called once per entry of the new
  // package ("write data") and once per record ("write file entry"). On success
  // the object holds the new package and *result tells what changed.
  //
  // When nothing is at the path (or only a link that leads nowhere), the package is
  // made by Create from the files: the same bytes as Create gives. When there are
  // no files to add and nothing to delete, nothing is written at all.
  //
  // Whole or nothing, as Create: the new package is written beside the old one
  // (beside the file a link leads to; the link stays), from the open old package;
  // then flushed to stable storage, closed, opened again to check that its table
  // reads back as written, given the old package's permission bits and renamed over
  // it in one step. On any failure, and when the process is ended by SIGINT or
  // SIGTERM, the temporary file is removed and the old package is left as it was.
  //
  // Returns kSuccess; what Open returns when the package cannot be opened
  // (result->unopened, also with kFileOpenError for a missing package when
  // deletions were asked); kFileNotFound when a deletion pattern matches no entry
  // (failure() names the first, result->unmatched lists them all; nothing is
  // written); otherwise what Create returns, for the same reasons (a name that
  // cannot be stored, a source that cannot be read, a write, the flush or the
  // rename that fails, ...), and kFileOperationError when stored bytes to carry over
  // lie beyond the end of the old package or the new package does not read back.
  // failure() names the file or entry and says why. After a failure the object
  // holds the old package open again when it can, as Open leaves it. Nothing is
  // thrown.
  [[nodiscard]] PckStatus Edit(const std::u16string& packagePath, const PckChanges& changes,
                               int32_t level, ProgressCallback progress, PckEditResult* result);

  // True while a package stream is held: after a successful Open, Create or
  // Repack, and after an Open that failed past opening the file.
  bool IsOpen() const { return file_ != nullptr; }
  // The path of the package last opened or created; empty until then, kept by Close.
  const std::u16string& path() const { return path_; }
  // The entries of the open package in table order; empty after Close.
  const EntryList& entries() const { return entries_; }
  // What the last Open, ReadEntry, Create, Repack or Edit that failed failed on; each of
  // them empties it when it starts. A PckEntryReader fills it per entry as ReadEntry
  // would.
  const PckFailure& failure() const { return failure_; }

  // True when the directory entry at `path` (a link there is not followed) is the
  // open package file itself, under this name or another (a hard link): a file
  // written there would replace the package being read. False when no package is
  // open or nothing is at `path`. Cannot fail.
  bool IsPackageFile(const std::u16string& path) const;

 private:
  friend class PckEntryReader;

  // The steps of ReadEntry, for readers that decode elsewhere than they read, each
  // failing (failure() filled, or *failure for the decoding) as ReadEntry does.
  // CheckStoredBytes refuses, before anything is allocated, an entry whose stored
  // bytes cannot be read (no package, beyond the end, sizes no stored form has).
  // ReadStoredBytes reads the storedSize bytes of a checked entry to `stored`.
  // DecodeStoredBytes decodes them into `buffer`; it touches nothing of an archive
  // and may run on any thread.
  PckStatus CheckStoredBytes(const PckEntry& entry);
  PckStatus ReadStoredBytes(const PckEntry& entry, uint8_t* stored);
  static PckStatus DecodeStoredBytes(const PckEntry& entry, const uint8_t* stored,
                                     ByteBuffer* buffer, PckFailure* failure);
  // What failure() says of an entry that did not fit in memory.
  static PckFailure NoMemoryFailure(const PckEntry& entry);
  // An empty entry whose stored bytes are nevertheless a stream is decoded in full
  // (append mode), but never beyond this many bytes.
  static constexpr uint64_t kAppendLimit = uint64_t{64} << 20;

  // Reads `size` bytes at `position` into `data`, zero-filling whatever the file
  // does not hold. Returns the number of bytes really read.
  size_t ReadAt(int64_t position, uint8_t* data, size_t size);

  // Records what failed and returns `status`.
  PckStatus Fail(PckStatus status, std::u16string subject, std::u16string reason) {
    failure_ = PckFailure{std::move(subject), std::move(reason)};
    return status;
  }

  std::unique_ptr<host::File> file_;
  std::u16string path_;
  PckFailure failure_;
  EntryList entries_;
  int64_t fileSize_ = 0;   // length of the open package
  int64_t position_ = -1;  // the stream's position when known, else -1
  ByteBuffer stored_;      // stored bytes of the entry being read, reused
};

#endif  // QUILLO_ARCHIVE_H_
