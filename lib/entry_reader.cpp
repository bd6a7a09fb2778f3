// entry_reader.cpp - entries read on the calling thread, decoded ahead on the workers.
//
// The stored bytes are read through the archive's one stream on the calling thread
// (the stream keeps a position and is not shared), a batch of entries at a time,
// and each batch is decoded on a worker. Batches go through an OrderedPipeline,
// so they come back in the order they were read; Next hands their entries out one
// by one and reads more as room frees up.
#include "entry_reader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "work_queue.h"

namespace {

// A batch gathers small entries so that a worker is handed one job for many of
// them; an entry larger than kBatchBytes goes alone.
constexpr size_t kBatchEntries = 64;
constexpr uint64_t kBatchBytes = uint64_t{1} << 20;

// What may be in flight besides two of the largest entries.
constexpr uint64_t kSpareBytes = uint64_t{64} << 20;

// Buffers are used again rather than let go: from kSpareAtLeast on the runtime
// hands a freed block back to the system at once, and a fresh one costs a page
// fault per page. A buffer the caller is done with is decoded into again: one up
// to kPoolLargest waits in a pool (at most kPoolBuffers of them, kPoolBytes in
// all, a part of the spare bytes) for an entry it can hold; a larger one goes to
// an entry read next, or is let go. One of kSpareAtLeast or more only goes to an
// entry that fills at least half of it.
constexpr size_t kSpareAtLeast = size_t{128} << 10;
constexpr size_t kPoolLargest = size_t{4} << 20;
constexpr size_t kPoolBuffers = 2 * kBatchEntries;
constexpr uint64_t kPoolBytes = uint64_t{16} << 20;

}  // namespace

struct PckEntryReader::Ahead {
  struct Item {
    const PckEntry* entry = nullptr;
    PckStatus status = PckStatus::kSuccess;
    bool decoded = false;  // the decoding ran: `data` is what ReadEntry leaves in the buffer
    PckFailure failure;
    size_t storedAt = 0;  // where its stored bytes begin in the batch's
    ByteBuffer data;
  };
  struct Batch {
    std::vector<Item> items;
    ByteBuffer stored;  // the stored bytes of the items, one after another
    size_t handedOut = 0;
  };

  Ahead(unsigned threads, uint64_t largest)
      : pipeline(threads, 2 * static_cast<size_t>(threads) + 2, 1,
                 2 * largest + kSpareBytes - kPoolBytes) {
    pool.reserve(kPoolBuffers);  // so that keeping a buffer never allocates
  }

  OrderedPipeline<Batch> pipeline;
  size_t queued = 0;             // position in chosen_ of the first entry not yet read
  std::vector<ByteBuffer> pool;  // buffers the caller is done with
  uint64_t poolBytes = 0;        // their capacity in all

  // Keeps `buffer` for later, or lets it go when the pool is full.
  void Keep(ByteBuffer&& buffer) {
    const size_t capacity = buffer.capacity();
    if (capacity == 0 || pool.size() == kPoolBuffers || poolBytes + capacity > kPoolBytes) return;
    pool.push_back(std::move(buffer));
    poolBytes += capacity;
  }
};

namespace {

// What decoding `entry` may hold at once: its stored bytes and its data. An entry
// that ReadEntry refuses before allocating anything holds nothing.
uint64_t EntryCost(const PckEntry& entry, int64_t fileSize, uint64_t appendLimit) {
  if (static_cast<int64_t>(entry.offset) + entry.storedSize > fileSize ||
      !StoredSizeCanHold(entry.storedSize, entry.dataSize)) {
    return 0;
  }
  uint64_t data = entry.dataSize;
  if (data == 0 && entry.storedSize != 0) {
    // Append mode: as far as the stream goes, within the library's limit.
    data = std::min<uint64_t>(uint64_t{entry.storedSize} * 1032, appendLimit);
  }
  return entry.storedSize + data;
}

}  // namespace

PckEntryReader::PckEntryReader(PckArchive* archive, std::vector<size_t> chosen)
    : archive_(archive), chosen_(std::move(chosen)) {
  const unsigned threads = PckThreadCount();
  if (threads < 2 || chosen_.size() < 2 || !archive_->IsOpen()) return;
  try {
    uint64_t largest = 0;
    for (size_t index : chosen_) {
      largest = std::max(largest, EntryCost(archive_->entries_[index], archive_->fileSize_,
                                            PckArchive::kAppendLimit));
    }
    ahead_ = std::make_unique<Ahead>(threads, largest);
    // No worker started: each entry is read as it is asked for, as with one thread.
    if (!ahead_->pipeline.threaded()) ahead_.reset();
  } catch (const std::bad_alloc&) {
    ahead_.reset();
  }
}

PckEntryReader::~PckEntryReader() = default;

bool PckEntryReader::HasNext() const { return next_ < chosen_.size(); }

const PckEntry& PckEntryReader::NextEntry() const { return archive_->entries_[chosen_[next_]]; }

void PckEntryReader::ReadAhead(Spares* spares) {
  Ahead& ahead = *ahead_;
  OrderedPipeline<Ahead::Batch>& pipeline = ahead.pipeline;
  // A spare buffer of kSpareAtLeast or more goes to a use that fills at least half
  // of it; every buffer used again is charged at its whole size.
  const auto fits = [](const ByteBuffer& spare, uint64_t size) {
    return size != 0 && spare.capacity() >= size &&
           (spare.capacity() < kSpareAtLeast || spare.capacity() / 2 <= size);
  };
  try {
    while (ahead.queued < chosen_.size()) {
      // The batch: entries up to kBatchBytes, or one larger entry alone. The
      // entries refused before reading cost nothing.
      uint64_t cost = 0;
      uint64_t storedTotal = 0;
      size_t end = ahead.queued;
      size_t dataSpareTo = SIZE_MAX;
      while (end < chosen_.size() && end - ahead.queued < kBatchEntries) {
        const PckEntry& entry = archive_->entries_[chosen_[end]];
        const size_t k = end - ahead.queued;
        uint64_t one = EntryCost(entry, archive_->fileSize_, PckArchive::kAppendLimit);
        if (one != 0 && dataSpareTo == SIZE_MAX && fits(spares->data, entry.dataSize)) {
          dataSpareTo = k;
          one += spares->data.capacity() - entry.dataSize;
        }
        if (k != 0 && cost + one > kBatchBytes) {
          if (dataSpareTo == k) dataSpareTo = SIZE_MAX;
          break;
        }
        cost += one;
        if (one != 0) storedTotal += entry.storedSize;
        ++end;
      }
      const bool storedSpare = fits(spares->stored, storedTotal);
      if (storedSpare) cost += spares->stored.capacity() - storedTotal;
      if (!pipeline.HasRoom(cost)) return;

      Ahead::Batch batch;
      const size_t count = end - ahead.queued;
      batch.items.resize(count);
      if (storedSpare) batch.stored = std::move(spares->stored);
      try {
        ResizeForOverwrite(&batch.stored, storedTotal);
      } catch (const std::bad_alloc&) {
        // One entry alone fails as ReadEntry fails it; a batch is read later.
        if (count != 1) throw;
        ByteBuffer().swap(batch.stored);
        storedTotal = 0;
        batch.items[0].status = PckStatus::kFileOperationError;
      }
      // The stored bytes of entries that follow each other in the package (as
      // the writers place them) are read in one go; any others, and all of them
      // when that read comes short, entry by entry.
      bool contiguous = storedTotal != 0;
      uint64_t at = 0;
      int64_t next = -1;
      for (size_t k = 0; k < count; ++k) {
        Ahead::Item& item = batch.items[k];
        item.entry = &archive_->entries_[chosen_[ahead.queued + k]];
        if (IsError(item.status)) {  // no memory for its stored bytes
          item.failure = PckArchive::NoMemoryFailure(*item.entry);
          continue;
        }
        item.status = archive_->CheckStoredBytes(*item.entry);
        if (IsError(item.status)) {
          item.failure = archive_->failure_;
          continue;
        }
        if (next >= 0 && next != static_cast<int64_t>(item.entry->offset)) contiguous = false;
        next = static_cast<int64_t>(item.entry->offset) + item.entry->storedSize;
        item.storedAt = static_cast<size_t>(at);
        at += item.entry->storedSize;
      }
      if (contiguous) {
        const Ahead::Item* first = nullptr;
        for (const Ahead::Item& item : batch.items) {
          if (!IsError(item.status)) {
            first = &item;
            break;
          }
        }
        contiguous =
            archive_->ReadAt(first->entry->offset, batch.stored.data(), storedTotal) == storedTotal;
      }
      bool anyToDecode = false;
      for (Ahead::Item& item : batch.items) {
        if (IsError(item.status)) continue;
        if (!contiguous) {
          item.status = archive_->ReadStoredBytes(*item.entry, batch.stored.data() + item.storedAt);
          if (IsError(item.status)) {
            item.failure = archive_->failure_;
            continue;
          }
        }
        anyToDecode = true;
        const uint32_t size = item.entry->dataSize;
        if (&item - batch.items.data() == static_cast<std::ptrdiff_t>(dataSpareTo)) {
          item.data = std::move(spares->data);
        } else if (size != 0) {
          // The smallest kept buffer that fits.
          size_t best = SIZE_MAX;
          for (size_t j = 0; j < ahead.pool.size(); ++j) {
            if (fits(ahead.pool[j], size) &&
                (best == SIZE_MAX || ahead.pool[j].capacity() < ahead.pool[best].capacity())) {
              best = j;
            }
          }
          const size_t extra = best == SIZE_MAX ? 0 : ahead.pool[best].capacity() - size;
          if (best != SIZE_MAX && pipeline.HasRoom(cost + extra)) {
            cost += extra;
            ahead.poolBytes -= ahead.pool[best].capacity();
            item.data = std::move(ahead.pool[best]);
            if (best != ahead.pool.size() - 1) ahead.pool[best] = std::move(ahead.pool.back());
            ahead.pool.pop_back();
          }
        }
      }
      std::function<void(Ahead::Batch&)> work;
      if (anyToDecode) {
        // On a worker: only the batch's own buffers and the codec are touched.
        work = [](Ahead::Batch& slot) {
          for (Ahead::Item& item : slot.items) {
            if (IsError(item.status)) continue;
            item.decoded = true;
            try {
              item.status = PckArchive::DecodeStoredBytes(
                  *item.entry, slot.stored.data() + item.storedAt, &item.data, &item.failure);
            } catch (const std::bad_alloc&) {
              ByteBuffer().swap(item.data);
              item.status = PckStatus::kFileOperationError;
              item.failure = PckArchive::NoMemoryFailure(*item.entry);
            }
          }
        };
      }
      pipeline.Push(std::move(batch), cost, std::move(work));
      ahead.queued = end;
    }
  } catch (const std::bad_alloc&) {
    // Memory ran out outside any entry: the batch not pushed is read again later,
    // or entry by entry when nothing is ahead of it.
  }
}

PckStatus PckEntryReader::Next(ByteBuffer* buffer) {
  if (!ahead_) {
    return archive_->ReadEntry(archive_->entries_[chosen_[next_++]], buffer);
  }
  Ahead& ahead = *ahead_;
  OrderedPipeline<Ahead::Batch>& pipeline = ahead.pipeline;
  // The caller's last buffer and the stored bytes of the batch done with, when
  // entries read ahead can use them; let go otherwise, when this call returns.
  Spares spares;
  if (pipeline.empty()) ReadAhead(&spares);
  if (pipeline.empty()) {
    // Nothing could be read ahead: this entry is read as ReadEntry reads it.
    ahead.queued = ++next_;
    return archive_->ReadEntry(archive_->entries_[chosen_[next_ - 1]], buffer);
  }
  Ahead::Batch& batch = pipeline.Front();
  Ahead::Item& item = batch.items[batch.handedOut++];
  const PckEntry& entry = archive_->entries_[chosen_[next_++]];
  PckStatus status = item.status;
  PckFailure failure;
  if (!IsError(status) && !item.decoded) {
    // Read but never decoded (the work could not be queued): decoded here instead.
    status = archive_->ReadEntry(entry, buffer);
    failure = archive_->failure_;
  } else {
    failure = std::move(item.failure);
    // A refusal before decoding leaves the caller's buffer as it was, as ReadEntry does.
    if (item.decoded) {
      ByteBuffer old = std::move(*buffer);
      *buffer = std::move(item.data);
      if (old.capacity() > kPoolLargest) {
        spares.data = std::move(old);
      } else {
        ahead.Keep(std::move(old));
      }
    }
  }
  if (batch.handedOut == batch.items.size()) {
    spares.stored = std::move(batch.stored);
    pipeline.Pop();
    ReadAhead(&spares);
  }
  // Set last: reading ahead fills failure() for the entries it refuses.
  archive_->failure_ = std::move(failure);
  return status;
}
