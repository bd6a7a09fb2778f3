// fuzz_codec.cpp - the block codec on arbitrary stored bytes and arbitrary data.
//
// Input layout: 4 bytes little-endian destination size (reduced to at most 4 MB),
// 1 byte compression level selector, the rest the block itself.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codec.h"
#include "format.h"

namespace {

constexpr uint32_t kMaxDestination = 4u << 20;
constexpr uint32_t kSmallDestination = 1u << 16;
// Append mode decodes whatever the stream holds; keep a bounded run cheap too.
constexpr uint64_t kAppendLimit = 1u << 20;

void Check(bool condition) {
  if (!condition) abort();
}

bool IsStatus(PckStatus status) {
  return status == PckStatus::kSuccess || status == PckStatus::kZlibError;
}

void Decompress(const uint8_t* block, uint32_t length, uint32_t size) {
  // Fill mode with the chosen size.
  if (size != 0) {
    ByteBuffer dest(size, 0xA5);
    PckStatus status = DecompressBlock(block, length, &dest);
    Check(IsStatus(status));
    if (status == PckStatus::kSuccess) {
      Check(dest.size() <= size);
    } else {
      Check(dest.size() == size);
    }
  }
  // Fill mode with the block's own length: a block that does not inflate is copied.
  if (length != 0) {
    ByteBuffer dest(length);
    PckStatus status = DecompressBlock(block, length, &dest);
    Check(status == PckStatus::kSuccess);
    Check(dest.size() <= length);
  }
  // Append mode, unbounded and bounded.
  {
    ByteBuffer dest;
    PckStatus status = DecompressBlock(block, length, &dest);
    Check(IsStatus(status));
    ByteBuffer bounded;
    PckStatus boundedStatus = DecompressBlockBounded(block, length, &bounded, kAppendLimit);
    Check(IsStatus(boundedStatus));
    Check(bounded.size() <= kAppendLimit);
    if (boundedStatus == PckStatus::kSuccess) {
      Check(status == PckStatus::kSuccess && bounded == dest);
    }
  }
}

void RoundTrip(const uint8_t* block, uint32_t length, int32_t level) {
  ByteBuffer stored = {1, 2, 3};
  PckStatus status = CompressBlock(level, block, length, &stored);
  if (level < -1 || level > 9) {
    // zlib refuses the level; only an empty block succeeds without asking it.
    if (length == 0) {
      Check(status == PckStatus::kSuccess && stored.empty());
    } else {
      Check(status == PckStatus::kZlibError && stored == ByteBuffer({1, 2, 3}));
    }
    return;
  }
  Check(status == PckStatus::kSuccess);
  Check(stored.size() <= length);
  if (stored.size() == length) {
    // Stored plain. (Plain bytes that happen to be a zlib stream read back inflated,
    // which the format cannot tell apart, so no read-back here.)
    Check(length == 0 || std::memcmp(stored.data(), block, length) == 0);
    return;
  }
  Check(level != 0);
  ByteBuffer back(length);
  Check(DecompressBlock(stored.data(), static_cast<uint32_t>(stored.size()), &back) ==
        PckStatus::kSuccess);
  Check(back.size() == length && std::memcmp(back.data(), block, length) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  // Mostly small destinations, which are cheap; the top bit of the word selects
  // the whole range up to kMaxDestination.
  const uint32_t word = LoadLe32(data);
  const uint32_t destination =
      (word & 0x80000000u) ? word % (kMaxDestination + 1) : word % (kSmallDestination + 1);
  const int32_t level = static_cast<int32_t>(data[4] % 13) - 2;  // -2..10
  const uint8_t* block = size > 5 ? data + 5 : nullptr;
  const auto length = static_cast<uint32_t>(size - 5);
  Decompress(block, length, destination);
  RoundTrip(block, length, level);
  return 0;
}
