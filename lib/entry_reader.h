// entry_reader.h - PckEntryReader: the chosen entries of an open package, decoded
// ahead on the library's worker threads and handed out in order.
//
// Extraction and testing read many entries one after another and do something slow
// with each (write a file, say) on the calling thread. The reader reads the stored
// bytes of the entries that come next and decodes them on worker threads meanwhile,
// so that the caller finds each entry decoded when it asks for it. What the caller
// sees is exactly what ReadEntry would give, entry by entry, in the same order:
// only the moment of the decoding moves.
#ifndef QUILLO_ENTRY_READER_H_
#define QUILLO_ENTRY_READER_H_

#include <cstddef>
#include <memory>
#include <vector>

#include "archive.h"
#include "codec.h"
#include "status.h"

class PckEntryReader {
 public:
  // Reads the entries of `archive` at the positions `chosen` of archive->entries(),
  // in the order given (normally table order); no other entry is read or decoded.
  // The archive must stay open and unchanged, and must not be used by anything
  // else, until the reader is destroyed; it is used by one thread at a time, the
  // one that made it. With one thread (PckThreadCount() == 1) every entry is read
  // by ReadEntry when it is asked for, and nothing is read ahead. Cannot fail: a
  // reader that cannot start workers reads as with one thread.
  //
  // Memory: the entries read ahead (not yet handed out) hold at most twice the
  // storage of the largest chosen entry (its stored bytes and its data) plus
  // 64 MiB; the caller's buffer holds the entry last handed out.
  PckEntryReader(PckArchive* archive, std::vector<size_t> chosen);
  // Waits for the decoding under way and drops what was read ahead.
  ~PckEntryReader();
  PckEntryReader(const PckEntryReader&) = delete;
  PckEntryReader& operator=(const PckEntryReader&) = delete;

  // True while an entry is left to be handed out.
  bool HasNext() const;
  // The entry that Next hands out next (only while HasNext()).
  const PckEntry& NextEntry() const;

  // Hands out the next chosen entry: returns what archive->ReadEntry(entry, buffer)
  // returns for it, leaves in `buffer` what that leaves there (the decoded bytes on
  // success, shorter than dataSize when the stream ends early) and fills
  // archive->failure() as it does, with the same subject and reason; an entry that
  // does not fit in memory is that entry's kFileOperationError, and the next ones
  // are read as before. Nothing is thrown. Only while HasNext().
  PckStatus Next(ByteBuffer* buffer);

 private:
  struct Ahead;  // the pipeline of entries read ahead

  // Buffers an entry is done with, for the entries read next.
  struct Spares {
    ByteBuffer data;
    ByteBuffer stored;
  };

  // Reads the entries that come next and starts their decoding, as far as the
  // window has room; the spares may become the buffers of some of them.
  void ReadAhead(Spares* spares);

  PckArchive* archive_;
  std::vector<size_t> chosen_;
  size_t next_ = 0;  // position in chosen_ of the entry Next hands out next
  std::unique_ptr<Ahead> ahead_;
};

#endif  // QUILLO_ENTRY_READER_H_
