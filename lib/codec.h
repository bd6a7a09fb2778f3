// codec.h - the block codec: one run of bytes to the bytes a package stores, and back.
//
// A stored block is either a zlib stream or the block's own bytes ("plain"). The
// package keeps no flag for it: CompressBlock stores a zlib stream only when it is
// strictly shorter than the input, and DecompressBlock tries zlib first and falls
// back to a plain copy when the stored length equals the prepared size.
#ifndef QUILLO_CODEC_H_
#define QUILLO_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "status.h"

// A growable byte array; growing fills the new bytes with zero.
using ByteBuffer = std::vector<uint8_t>;

// Sizes `buffer` to `size` bytes whose old contents no longer matter: a buffer
// that must grow beyond its capacity is released first instead of being copied,
// so that the old and the new storage are never held at once.
inline void ResizeForOverwrite(ByteBuffer* buffer, size_t size) {
  if (size > buffer->capacity()) ByteBuffer().swap(*buffer);
  buffer->resize(size);
}

// Compresses `length` bytes at `level` (0 plain, -1 zlib's default, 1..9) into
// `output`. Returns kSuccess with exactly the bytes to store in `output`, or
// kZlibError (a level zlib refuses leaves `output` untouched). A zlib stream that
// is not shorter than the input is replaced by the plain input. Length 0 gives an
// empty output at any level.
[[nodiscard]] PckStatus CompressBlock(int32_t level, const uint8_t* input, uint32_t length,
                                      ByteBuffer* output);

// As CompressBlock, but when the bytes to store are the input itself (level 0, or
// a stream that does not pay) `output` is left empty and `*plain` set, which spares
// the copy; otherwise `*plain` is cleared and `output` holds the stream.
[[nodiscard]] PckStatus CompressOrKeep(int32_t level, const uint8_t* input, uint32_t length,
                                       ByteBuffer* output, bool* plain);

// Decompresses `length` stored bytes into `destination`, whose size selects the
// mode: 0 appends every decoded byte; any other size M is the expected size (fill
// mode), and a stream that ends early shrinks the destination to what it decoded.
// When inflating fails (a stream decoding to more than M counts as a failure) and
// `length` equals the destination's current size, the stored bytes are copied
// unchanged and kSuccess returned; otherwise kZlibError. Never writes past M.
[[nodiscard]] PckStatus DecompressBlock(const uint8_t* input, uint32_t length,
                                        ByteBuffer* destination);

// As DecompressBlock, but append mode stops with kZlibError once more than
// `appendLimit` bytes would be decoded (fill mode is bounded by M already).
[[nodiscard]] PckStatus DecompressBlockBounded(const uint8_t* input, uint32_t length,
                                               ByteBuffer* destination, uint64_t appendLimit);

// True when `storedSize` bytes can hold `dataSize` bytes of data: stored plain
// (equal sizes), or as a zlib stream, which never inflates to more than 1032
// times its own length (deflate codes a 258-byte match in two bits at best).
inline bool StoredSizeCanHold(uint32_t storedSize, uint32_t dataSize) {
  return storedSize == dataSize || dataSize <= uint64_t{storedSize} * 1032;
}

// The room a single compression call is given for `length` input bytes where the
// whole stream must fit: 16 + floor(length * 1.1f), the product formed in double
// precision. It exceeds zlib's bound for every length. (CompressBlock itself needs
// no more than `length` bytes: it stores a longer stream plain anyway.)
uint64_t CompressCapacity(uint32_t length);

#endif  // QUILLO_CODEC_H_
