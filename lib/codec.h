// codec.h - the block codec: one run of bytes to the bytes a package stores, and back.
//
// A stored block is either a zlib stream or the block's own bytes ("plain"). The
// package keeps no flag for it: CompressBlock stores a zlib stream only when it is
// strictly shorter than the input, and DecompressBlock tries zlib first and falls
// back to a plain copy when the stored length equals the prepared size.
//
// The functions keep no state between calls and may be called from several
// threads at once on distinct buffers. Input and output never share storage.
#ifndef QUILLO_CODEC_H_
#define QUILLO_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "status.h"

// A growable byte array owned by the caller; growing fills the new bytes with zero.
using ByteBuffer = std::vector<uint8_t>;

// Sizes `buffer` to `size` bytes whose old contents no longer matter: a buffer
// that must grow beyond its capacity is released first instead of being copied,
// so that the old and the new storage are never held at once.
inline void ResizeForOverwrite(ByteBuffer* buffer, size_t size) {
  if (size > buffer->capacity()) ByteBuffer().swap(*buffer);
  buffer->resize(size);
}

// Encodes the `length` bytes at `input` into `output`, replacing its contents, at
// `level`: 0 stores them plain without calling zlib; -1 (zlib's default level) and
// 1..9 make a zlib stream, which is kept only when it is strictly shorter than the
// input, the plain bytes being stored otherwise. Length 0 gives an empty output at
// any level (`input` may then be null). Returns kSuccess with exactly the bytes to
// store in `output`, or kZlibError: a level zlib refuses (below -1 or above 9)
// leaves `output` untouched; after any other zlib failure its contents are
// without meaning.
[[nodiscard]] PckStatus CompressBlock(int32_t level, const uint8_t* input, uint32_t length,
                                      ByteBuffer* output);

// As CompressBlock, but when the bytes to store are the input itself (level 0, or
// a stream that does not pay) `output` is left empty and `*plain` set, which spares
// the copy; otherwise `*plain` is cleared and `output` holds the stream.
[[nodiscard]] PckStatus CompressOrKeep(int32_t level, const uint8_t* input, uint32_t length,
                                       ByteBuffer* output, bool* plain);

// Decodes the `length` stored bytes at `input` into `destination`, whose size on
// entry selects the mode: 0 appends every decoded byte (append mode); any other
// size M is the expected size (fill mode): the decoded bytes fill it from its
// start, and a stream that ends early shrinks it to the bytes decoded. Bytes after
// the end of the stream are ignored. When inflating fails (in fill mode a stream
// that decodes to more than M bytes counts as a failure) and `length` equals the
// destination's current size, the stored bytes are copied over it unchanged and
// kSuccess is returned: that is how plain blocks read back. Returns kSuccess with
// the data in `destination`, or kZlibError, after which `destination` holds the
// bytes decoded before the failure (fill mode: at its start, size still M) and is
// not to be used. Never writes past M bytes in fill mode. Where libdeflate is built
// in, fill mode decodes a stream of fixed-code blocks directly and may decode a
// destination of a kilobyte or more with libdeflate first; the result is zlib's in
// every case (status, size and bytes). Without libdeflate, inflate decodes all.
[[nodiscard]] PckStatus DecompressBlock(const uint8_t* input, uint32_t length,
                                        ByteBuffer* destination);

// As DecompressBlock, but append mode stops with kZlibError, without the plain
// copy, once more than `appendLimit` bytes would be decoded; `destination` then
// holds the bytes decoded so far and is not to be used. Fill mode is bounded by M
// already and behaves exactly as in DecompressBlock.
[[nodiscard]] PckStatus DecompressBlockBounded(const uint8_t* input, uint32_t length,
                                               ByteBuffer* destination, uint64_t appendLimit);

// As DecompressBlock for `length` stored bytes of which only the first `present`
// are given at `input`; the other `length - present` read as zero bytes, as a
// read past the end of a file leaves them, without ever being allocated. Returns
// and leaves behind what DecompressBlock would for the zero-padded bytes.
[[nodiscard]] PckStatus DecompressBlockPadded(const uint8_t* input, uint32_t present,
                                              uint32_t length, ByteBuffer* destination);

// Ends the zlib streams that the calling thread keeps for reuse between blocks;
// the next codec call on the thread sets them up again. A thread that used the
// codec calls it before it ends (the library's worker threads do). Cannot fail.
void ReleaseThreadCodecStreams();

// Returns true when `storedSize` bytes can hold `dataSize` bytes of data: stored
// plain (equal sizes), or as a zlib stream, which never inflates to more than 1032
// times its own length (deflate codes a 258-byte match in two bits at best).
// Readers use it to refuse a damaged size before allocating anything for it.
inline bool StoredSizeCanHold(uint32_t storedSize, uint32_t dataSize) {
  return storedSize == dataSize || dataSize <= uint64_t{storedSize} * 1032;
}

// The room a single compression call is given for `length` input bytes where the
// whole stream must fit: 16 + floor(length * 1.1f), the product formed in double
// precision. It exceeds zlib's bound for every length. (CompressBlock itself needs
// no more than `length` bytes: it stores a longer stream plain anyway.) Cannot fail.
uint64_t CompressCapacity(uint32_t length);

#endif  // QUILLO_CODEC_H_
