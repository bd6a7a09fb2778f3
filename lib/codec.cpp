// codec.cpp - the block codec over zlib, with one reused stream per direction.
//
// zlib's state is large, and creating and ending it for every block makes the
// allocator hand it back to the kernel and fault it in again each time. So each
// thread keeps one inflate stream and one deflate stream (for the last level used)
// and resets them between blocks; a reset stream behaves exactly like a fresh one.
#include "codec.h"

#include <zlib.h>

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

thread_local InflateStream t_inflate;
thread_local DeflateStream t_deflate;

// The outcome of one inflate run, before the plain-copy rule is applied.
enum class InflateResult { kEnded, kFailed, kTooLarge };

InflateResult RunFill(z_stream* zs, ByteBuffer* dest) {
  const size_t m = dest->size();
  zs->next_out = dest->data();
  zs->avail_out = static_cast<uInt>(m);
  uint8_t probe[1];
  bool full = false;
  for (;;) {
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

InflateResult RunAppend(z_stream* zs, ByteBuffer* dest, uint64_t limit) {
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
    int ret = inflate(zs, Z_NO_FLUSH);
    total += chunk - zs->avail_out;
    dest->resize(total);
    if (total > limit) return InflateResult::kTooLarge;
    if (ret == Z_STREAM_END) return InflateResult::kEnded;
    if (ret != Z_OK) return InflateResult::kFailed;
  }
}

}  // namespace

uint64_t CompressCapacity(uint32_t length) {
  return 16 + static_cast<uint64_t>(static_cast<double>(length) * static_cast<double>(1.1f));
}

PckStatus CompressOrKeep(int32_t level, const uint8_t* input, uint32_t length, ByteBuffer* output,
                         bool* plain) {
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
  z_stream* zs = t_deflate.Acquire(level);
  if (!zs) return PckStatus::kZlibError;

  // zlib writes into the output buffer itself. A stream of `length` bytes or more
  // is never stored, so `length` bytes of room are all it may use: once they are
  // full the plain bytes are stored, without compressing the rest. A stream that
  // ends within them is byte for byte what one call with ample room produces.
  output->resize(length);
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
  t_deflate.Release();
  return status;
}

PckStatus CompressBlock(int32_t level, const uint8_t* input, uint32_t length, ByteBuffer* output) {
  bool plain = false;
  const PckStatus status = CompressOrKeep(level, input, length, output, &plain);
  if (status == PckStatus::kSuccess && plain) output->assign(input, input + length);
  return status;
}

PckStatus DecompressBlockBounded(const uint8_t* input, uint32_t length, ByteBuffer* destination,
                                 uint64_t appendLimit) {
  z_stream* zs = t_inflate.Acquire();
  if (!zs) return PckStatus::kZlibError;
  zs->next_in = const_cast<Bytef*>(input);
  zs->avail_in = length;
  const bool append = destination->empty();
  InflateResult result =
      append ? RunAppend(zs, destination, appendLimit) : RunFill(zs, destination);
  t_inflate.Release();
  if (result == InflateResult::kEnded) return PckStatus::kSuccess;
  if (result == InflateResult::kTooLarge) return PckStatus::kZlibError;
  if (length == destination->size()) {
    if (length != 0) std::memcpy(destination->data(), input, length);
    return PckStatus::kSuccess;
  }
  return PckStatus::kZlibError;
}

PckStatus DecompressBlock(const uint8_t* input, uint32_t length, ByteBuffer* destination) {
  return DecompressBlockBounded(input, length, destination,
                                std::numeric_limits<uint64_t>::max() - 1);
}
