// codec.cpp - the block codec over zlib, with one reused stream per direction.
//
// zlib's state is large, and creating and ending it for every block makes the
// allocator hand it back to the kernel and fault it in again each time. So each
// thread keeps one inflate stream and one deflate stream (for the last level used)
// and resets them between blocks; a reset stream behaves exactly like a fresh one.
//
// Where libdeflate is built in, a block whose stored bytes are all in memory and
// whose size is known, made of fixed-code blocks (table records nearly always are,
// short files often), is decoded directly by DecodeFixedStream; a stream of several
// blocks, or a short one, by DecodeStream, one pass that holds zlib's rules as it
// goes. A stream of one block with its own codes, a kilobyte or more, is first
// decoded by libdeflate in one call, which is two to three times as fast as
// inflate. Its answer is taken only when it decodes the whole stream and the
// stream's blocks are ones zlib reads the same way (StreamKeepsZlibRules);
// anything else is decoded again by inflate, so every block reads back exactly
// as zlib reads it.
#include "codec.h"

#include <zlib.h>

#include "inflate_check.h"

#ifdef QUILLO_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <cstring>
#include <limits>

namespace {

class InflateStream {
 public:
  ~InflateStream() {
    if (ready_) inflateEnd(&stream_);
  }
  // A stream ready for a new block, or nullptr when zlib cannot set one up.
  z_stream* Acquire() {
    if (!ready_) {
      std::memset(&stream_, 0, sizeof stream_);
      if (inflateInit(&stream_) != Z_OK) return nullptr;
      ready_ = true;
    }
    return &stream_;
  }
  void Release() {
    if (inflateReset(&stream_) != Z_OK) {
      inflateEnd(&stream_);
      ready_ = false;
    }
  }

 private:
  z_stream stream_;
  bool ready_ = false;
};

class DeflateStream {
 public:
  ~DeflateStream() {
    if (ready_) deflateEnd(&stream_);
  }
  z_stream* Acquire(int level) {
    if (ready_ && level_ != level) {
      deflateEnd(&stream_);
      ready_ = false;
    }
    if (!ready_) {
      std::memset(&stream_, 0, sizeof stream_);
      if (deflateInit(&stream_, level) != Z_OK) return nullptr;
      ready_ = true;
      level_ = level;
    }
    return &stream_;
  }
  void Release() {
    if (deflateReset(&stream_) != Z_OK) {
      deflateEnd(&stream_);
      ready_ = false;
    }
  }

 private:
  z_stream stream_;
  int level_ = 0;
  bool ready_ = false;
};

// The streams live behind a plain per-thread pointer, and a worker thread releases
// them itself before it ends (ReleaseThreadCodecStreams). A thread_local object with
// a destructor is not safe everywhere: with MinGW's emulated thread storage the
// destructor may run after the object's storage has been freed at thread exit.
#ifdef QUILLO_HAVE_LIBDEFLATE
class FastDecompressor {
 public:
  FastDecompressor() = default;
  FastDecompressor(const FastDecompressor&) = delete;
  FastDecompressor& operator=(const FastDecompressor&) = delete;
  ~FastDecompressor() { libdeflate_free_decompressor(decompressor_); }
  // The thread's decompressor, or nullptr when it cannot be allocated.
  libdeflate_decompressor* Acquire() {
    if (!decompressor_) decompressor_ = libdeflate_alloc_decompressor();
    return decompressor_;
  }

 private:
  libdeflate_decompressor* decompressor_ = nullptr;
};
#endif

struct ThreadStreams {
  InflateStream inflate;
  DeflateStream deflate;
#ifdef QUILLO_HAVE_LIBDEFLATE
  FastDecompressor fast;
#endif
};

thread_local ThreadStreams* t_streams = nullptr;

ThreadStreams& Streams() {
  if (!t_streams) t_streams = new ThreadStreams;
  return *t_streams;
}

// The outcome of one inflate run, before the plain-copy rule is applied.
enum class InflateResult { kEnded, kFailed, kTooLarge };

// Stored bytes that lie beyond the end of a package read as zeros. They are never
// allocated: once the given bytes are used up, zlib is fed from this block until
// `*zeroTail` more bytes have gone in (a stream over zeros fails or ends quickly).
const uint8_t kZeros[4096] = {};

void FeedZeros(z_stream* zs, uint64_t* zeroTail) {
  if (zs->avail_in != 0 || *zeroTail == 0) return;
  const uint64_t n = *zeroTail < sizeof kZeros ? *zeroTail : sizeof kZeros;
  zs->next_in = const_cast<Bytef*>(kZeros);
  zs->avail_in = static_cast<uInt>(n);
  *zeroTail -= n;
}

InflateResult RunFill(z_stream* zs, ByteBuffer* dest, uint64_t zeroTail) {
  const size_t m = dest->size();
  zs->next_out = dest->data();
  zs->avail_out = static_cast<uInt>(m);
  uint8_t probe[1];
  bool full = false;
  for (;;) {
    FeedZeros(zs, &zeroTail);
    int ret = inflate(zs, Z_NO_FLUSH);
    if (full && zs->avail_out == 0) return InflateResult::kFailed;  // more than M bytes
    if (ret == Z_STREAM_END) {
      if (!full) dest->resize(m - zs->avail_out);
      return InflateResult::kEnded;
    }
    if (ret != Z_OK) return InflateResult::kFailed;
    if (!full && zs->avail_out == 0) {
      // The destination is full: any further decoded byte would not fit, so
      // decode on into a one-byte probe to see whether the stream ends here.
      full = true;
      zs->next_out = probe;
      zs->avail_out = 1;
    }
  }
}

InflateResult RunAppend(z_stream* zs, ByteBuffer* dest, uint64_t limit, uint64_t zeroTail) {
  size_t total = 0;
  for (;;) {
    size_t chunk = dest->size() < 1024 ? 1024 : dest->size();
    if (chunk > std::numeric_limits<uInt>::max()) chunk = std::numeric_limits<uInt>::max();
    if (static_cast<uint64_t>(total) + chunk > limit + 1) {
      chunk = static_cast<size_t>(limit + 1 - total);
    }
    dest->resize(total + chunk);
    zs->next_out = dest->data() + total;
    zs->avail_out = static_cast<uInt>(chunk);
    FeedZeros(zs, &zeroTail);
    int ret = inflate(zs, Z_NO_FLUSH);
    total += chunk - zs->avail_out;
    dest->resize(total);
    if (total > limit) return InflateResult::kTooLarge;
    if (ret == Z_STREAM_END) return InflateResult::kEnded;
    if (ret != Z_OK) return InflateResult::kFailed;
  }
}

}  // namespace

void ReleaseThreadCodecStreams() {
  delete t_streams;
  t_streams = nullptr;
}

uint64_t CompressCapacity(uint32_t length) {
  return 16 + static_cast<uint64_t>(static_cast<double>(length) * static_cast<double>(1.1f));
}

namespace {

// CompressOrKeep without the check for data that reads as a stream.
PckStatus CompressIfShorter(int32_t level, const uint8_t* input, uint32_t length,
                            ByteBuffer* output, bool* plain) {
  *plain = false;
  if (length == 0) {
    output->clear();
    return PckStatus::kSuccess;
  }
  if (level == 0) {
    output->clear();
    *plain = true;
    return PckStatus::kSuccess;
  }
  z_stream* zs = Streams().deflate.Acquire(level);
  if (!zs) return PckStatus::kZlibError;

  // zlib writes into the output buffer itself. A stream of `length` bytes or more
  // is never stored, so `length` bytes of room are all it may use: once they are
  // full the plain bytes are stored, without compressing the rest. A stream that
  // ends within them is byte for byte what one call with ample room produces.
  // The output's old contents do not matter, so a buffer too small is dropped
  // before the new one is taken, never copied across.
  ResizeForOverwrite(output, length);
  zs->next_in = const_cast<Bytef*>(input);
  zs->avail_in = length;
  zs->next_out = output->data();
  zs->avail_out = length;
  int ret = deflate(zs, Z_FINISH);
  while (ret == Z_OK && zs->avail_out != 0) ret = deflate(zs, Z_FINISH);
  PckStatus status = PckStatus::kSuccess;
  if (ret == Z_STREAM_END && zs->avail_out != 0) {
    output->resize(length - zs->avail_out);
  } else if (ret == Z_OK || ret == Z_BUF_ERROR || ret == Z_STREAM_END) {
    output->clear();  // the stream does not pay
    *plain = true;
  } else {
    status = PckStatus::kZlibError;
  }
  Streams().deflate.Release();
  return status;
}

// True when `length` plain bytes would not read back as themselves: they begin
// with a zlib header and DecompressBlock inflates them to other bytes. The format
// keeps no flag for plain blocks, so such data must be stored as a stream.
bool PlainReadsAsOtherBytes(const uint8_t* input, uint32_t length) {
  if (length < 8) return false;  // no zlib stream is shorter
  const unsigned cmf = input[0];
  const unsigned flg = input[1];
  if ((cmf & 0x0F) != Z_DEFLATED || (cmf >> 4) > 7 || ((cmf << 8) | flg) % 31 != 0 ||
      (flg & 0x20) != 0) {
    return false;  // not a zlib header, or one that asks for a dictionary: inflate fails
  }
  ByteBuffer probe(length);
  if (IsError(DecompressBlock(input, length, &probe))) return false;
  return probe.size() != length || std::memcmp(probe.data(), input, length) != 0;
}

// The whole zlib stream of `length` bytes at `level` in `output`, however long.
PckStatus CompressWhole(int32_t level, const uint8_t* input, uint32_t length, ByteBuffer* output) {
  z_stream* zs = Streams().deflate.Acquire(level);
  if (!zs) return PckStatus::kZlibError;
  ResizeForOverwrite(output, deflateBound(zs, length));
  zs->next_in = const_cast<Bytef*>(input);
  zs->avail_in = length;
  zs->next_out = output->data();
  zs->avail_out = static_cast<uInt>(output->size());
  const int ret = deflate(zs, Z_FINISH);
  const PckStatus status = ret == Z_STREAM_END ? PckStatus::kSuccess : PckStatus::kZlibError;
  if (status == PckStatus::kSuccess) output->resize(output->size() - zs->avail_out);
  Streams().deflate.Release();
  return status;
}

}  // namespace

PckStatus CompressOrKeep(int32_t level, const uint8_t* input, uint32_t length, ByteBuffer* output,
                         bool* plain) {
  PckStatus status = CompressIfShorter(level, input, length, output, plain);
  // Data that is itself a zlib stream, which a reader would inflate, is kept as
  // the (longer) stream of it instead: readers inflate that back to the data.
  if (status == PckStatus::kSuccess && *plain && PlainReadsAsOtherBytes(input, length)) {
    *plain = false;
    status = CompressWhole(level, input, length, output);
  }
  return status;
}

PckStatus CompressBlock(int32_t level, const uint8_t* input, uint32_t length, ByteBuffer* output) {
  bool plain = false;
  const PckStatus status = CompressOrKeep(level, input, length, output, &plain);
  if (status == PckStatus::kSuccess && plain) output->assign(input, input + length);
  return status;
}

namespace {
thread_local bool t_fastDecode = true;
}  // namespace

void SetThreadFastDecode(bool enabled) { t_fastDecode = enabled; }

bool HaveFastDecode() {
#ifdef QUILLO_HAVE_LIBDEFLATE
  return true;
#else
  return false;
#endif
}

namespace {

// Fill mode with every stored byte present: true when libdeflate decodes the whole
// stream into `destination` (shrunk to the decoded size) exactly as inflate would.
// False leaves `destination` at its size with contents that no longer matter.
bool DecodeFast(const uint8_t* input, uint32_t length, ByteBuffer* destination) {
#ifdef QUILLO_HAVE_LIBDEFLATE
  // Below about a kilobyte the fast decoder gains less than the check of the
  // stream costs (a table record, a small file): zlib decodes those directly.
  if (destination->size() < 1024 || length < 8) return false;
  libdeflate_decompressor* decompressor = Streams().fast.Acquire();
  if (!decompressor) return false;
  size_t used = 0;
  size_t decoded = 0;
  if (libdeflate_zlib_decompress_ex(decompressor, input, length, destination->data(),
                                    destination->size(), &used, &decoded) != LIBDEFLATE_SUCCESS) {
    return false;
  }
  if (!StreamKeepsZlibRules(input, length, used)) return false;
  destination->resize(decoded);
  return true;
#else
  (void)input;
  (void)length;
  (void)destination;
  return false;
#endif
}

// Decodes `length` stored bytes of which the first `present` are at `input` and
// the rest are zeros.
PckStatus Decode(const uint8_t* input, uint32_t present, uint32_t length, ByteBuffer* destination,
                 uint64_t appendLimit) {
  const bool append = destination->empty();
  // Without libdeflate built in, inflate decodes every block (the build's zlib-only
  // form); with it, the two fast paths below come first.
  if (HaveFastDecode() && !append && present == length && t_fastDecode) {
    // A stream of fixed-code blocks (a table record, a small file) is decoded
    // here directly: no code tables to build, and the decoder checks every rule
    // zlib holds such blocks to as it goes.
    size_t produced = 0;
    if (length >= 3 && ((input[2] >> 1) & 3) == 1 &&
        DecodeFixedStream(input, length, destination->data(), destination->size(), &produced)) {
      destination->resize(produced);
      return PckStatus::kSuccess;
    }
    // A stream of one block with codes of its own, a kilobyte or more, goes to
    // libdeflate: the walk then reads only the block's header, and libdeflate
    // decodes faster than the one pass. Any other stream (several blocks, which
    // the walk would step through code by code, or a short one) is decoded in
    // one pass that holds zlib's rules as it goes; what it leaves (a shape zlib
    // reads in its own way, a refused stream) goes on to libdeflate and the walk,
    // then to inflate.
    const bool oneDynamicBlock = length >= 3 && (input[2] & 7) == 5;
    if ((destination->size() < 1024 || !oneDynamicBlock) &&
        DecodeStream(input, length, destination->data(), destination->size(), &produced)) {
      destination->resize(produced);
      return PckStatus::kSuccess;
    }
    if (DecodeFast(input, length, destination)) return PckStatus::kSuccess;
  }
  z_stream* zs = Streams().inflate.Acquire();
  if (!zs) return PckStatus::kZlibError;
  zs->next_in = const_cast<Bytef*>(input);
  zs->avail_in = present;
  const uint64_t zeroTail = length - present;
  InflateResult result = append ? RunAppend(zs, destination, appendLimit, zeroTail)
                                : RunFill(zs, destination, zeroTail);
  Streams().inflate.Release();
  if (result == InflateResult::kEnded) return PckStatus::kSuccess;
  if (result == InflateResult::kTooLarge) return PckStatus::kZlibError;
  if (length == destination->size()) {
    if (present != 0) std::memcpy(destination->data(), input, present);
    if (length != present) std::memset(destination->data() + present, 0, length - present);
    return PckStatus::kSuccess;
  }
  return PckStatus::kZlibError;
}

}  // namespace

PckStatus DecompressBlockBounded(const uint8_t* input, uint32_t length, ByteBuffer* destination,
                                 uint64_t appendLimit) {
  return Decode(input, length, length, destination, appendLimit);
}

PckStatus DecompressBlockPadded(const uint8_t* input, uint32_t present, uint32_t length,
                                ByteBuffer* destination) {
  if (present > length) present = length;
  return Decode(input, present, length, destination, std::numeric_limits<uint64_t>::max() - 1);
}

PckStatus DecompressBlock(const uint8_t* input, uint32_t length, ByteBuffer* destination) {
  return DecompressBlockBounded(input, length, destination,
                                std::numeric_limits<uint64_t>::max() - 1);
}
