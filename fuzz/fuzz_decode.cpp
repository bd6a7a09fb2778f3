// fuzz_decode.cpp - the fast decoder against zlib's inflate on the same stored bytes.
//
// Every block is decoded twice, once with the fast decoder allowed and once with
// zlib alone, and the two must agree on the status, on the size left behind and,
// after a success, on every byte; the harness aborts where they differ.
//
// Input layout: 1 byte shape selector, 4 bytes little-endian destination selector,
// the rest the payload. The shape says what the payload becomes: the stored bytes
// themselves, data compressed by zlib and then damaged at chosen places (its
// checksum then made to fit what zlib decodes, for some inputs), a raw
// deflate body behind a valid zlib header, or plain bytes.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec.h"
#include "inflate_check.h"

namespace {

constexpr uint32_t kMaxDestination = 1u << 20;

void Check(bool condition) {
  if (!condition) abort();
}

uint32_t LoadLe32(const uint8_t* p) {
  return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Decodes with and without the fast decoder into destinations of `size` bytes
// (0: append mode) that start with the same contents, and compares the results.
void Compare(const ByteBuffer& stored, uint32_t present, uint32_t size) {
  const auto length = static_cast<uint32_t>(stored.size());
  ByteBuffer slow(size, 0x5A);
  ByteBuffer fast(size, 0x5A);
  SetThreadFastDecode(false);
  const PckStatus want = present == length
                             ? DecompressBlock(stored.data(), length, &slow)
                             : DecompressBlockPadded(stored.data(), present, length, &slow);
  SetThreadFastDecode(true);
  const PckStatus got = present == length
                            ? DecompressBlock(stored.data(), length, &fast)
                            : DecompressBlockPadded(stored.data(), present, length, &fast);
  Check(want == got);
  Check(slow.size() == fast.size());
  if (want == PckStatus::kSuccess) Check(slow == fast);
}

// Writes the Adler-32 of what zlib's raw inflate decodes from the deflate data of
// `stored` into the four bytes after that data, when it decodes and they are
// there: a damaged stream then fails no checksum, and the decoders are compared
// on what the damage did to the blocks themselves.
void RepairChecksum(ByteBuffer* stored) {
  if (stored->size() < 6) return;
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  if (inflateInit2(&zs, -15) != Z_OK) return;
  static ByteBuffer out(kMaxDestination);
  zs.next_in = stored->data() + 2;
  zs.avail_in = static_cast<uInt>(stored->size() - 2);
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  const int ret = inflate(&zs, Z_FINISH);
  const size_t end = 2 + zs.total_in;
  const uLong sum = adler32(adler32(0, nullptr, 0), out.data(), static_cast<uInt>(zs.total_out));
  inflateEnd(&zs);
  if (ret != Z_STREAM_END || stored->size() - end < 4) return;
  for (int i = 0; i < 4; ++i) (*stored)[end + i] = static_cast<uint8_t>(sum >> (24 - 8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  const unsigned shape = data[0];
  const uint32_t word = LoadLe32(data + 1);
  const uint8_t* payload = data + 5;
  const size_t payloadSize = size - 5;

  ByteBuffer stored;
  switch (shape & 3) {
    case 0:  // the stored bytes as given
      stored.assign(payload, payload + payloadSize);
      break;
    case 1: {  // zlib's stream of the payload, damaged at up to four places
      uLongf bound = compressBound(static_cast<uLong>(payloadSize));
      stored.resize(bound);
      const int level = static_cast<int>((shape >> 2) % 10);
      if (compress2(stored.data(), &bound, payload, static_cast<uLong>(payloadSize), level) !=
          Z_OK) {
        return 0;
      }
      stored.resize(bound);
      const unsigned damage = (shape >> 6) & 3;
      for (unsigned i = 0; i < damage && !stored.empty(); ++i) {
        const uint32_t at = (word >> (8 * i)) * 2654435761u;
        stored[at % stored.size()] ^= static_cast<uint8_t>(1u << ((word >> (3 * i)) & 7));
      }
      if (damage != 0 && (word & 0x80000000u) != 0) RepairChecksum(&stored);
      break;
    }
    case 2:  // a deflate body behind a valid header (the checksum is the last 4 bytes)
      stored = {0x78, 0x9C};
      stored.insert(stored.end(), payload, payload + payloadSize);
      break;
    default:  // plain bytes read back in fill mode
      stored.assign(payload, payload + payloadSize);
      Compare(stored, static_cast<uint32_t>(stored.size()), static_cast<uint32_t>(stored.size()));
      return 0;
  }
  const auto length = static_cast<uint32_t>(stored.size());

  // The decoded size as zlib alone sees it in append mode, then destinations at it,
  // around it, at the stored length and at a size from the input.
  ByteBuffer all;
  SetThreadFastDecode(false);
  const bool whole =
      DecompressBlockBounded(stored.data(), length, &all, kMaxDestination) == PckStatus::kSuccess;
  SetThreadFastDecode(true);
  const auto decoded = static_cast<uint32_t>(all.size());
  Compare(stored, length, 0);
  if (whole && decoded != 0) {
    Compare(stored, length, decoded);
    Compare(stored, length, decoded - 1);
    Compare(stored, length, decoded + 1 + (word & 0xFF));
  }
  // libdeflate only takes destinations of a kilobyte or more, and then only for
  // single-block streams; the one-pass decoder takes the rest at any size.
  Compare(stored, length, 1024 + (word & 0x3FFF));
  if (length != 0) Compare(stored, length, length);
  Compare(stored, length, 1 + word % kMaxDestination % ((word & 0x100) ? kMaxDestination : 4096));
  // The padded variant with every byte present, and with the tail missing.
  if (whole && decoded != 0 && length > 4) {
    Compare(stored, length - 1 - (word >> 24) % 4, decoded);
  }
  return 0;
}
