// inflate_check.cpp - a walk over a zlib stream's blocks that writes no output.
//
// Codes are looked up in a table indexed by the next bits of the stream (deflate
// sends codes starting from their first bit, so the table is indexed by bit-reversed
// codes). A table entry says how many bits the code and the extra bits that follow
// it take and what kind of symbol it stands for; codes longer than the table reads
// are decoded bit by bit from the counts of each length, which is slow but rare.
#include "inflate_check.h"

#include <zlib.h>

#ifdef QUILLO_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

constexpr unsigned kMaxBits = 15;       // longest deflate code
constexpr unsigned kLitTableBits = 11;  // table bits for literal/length codes
constexpr unsigned kDistTableBits = 8;  // table bits for distance and code length codes
constexpr size_t kMaxPadBytes = 16;     // zero bytes read past the end before giving up

// The kinds of symbol a table entry names (bits 5 and up; bits 0-4 hold the bit count).
enum Kind : uint16_t { kLiteral = 0, kLength = 1, kEndOfBlock = 2, kLongCode = 3, kRefused = 4 };

// Entries of kinds other than literal and length have one of these bits set.
constexpr unsigned kUnusual = 0xC0;

constexpr uint16_t Info(Kind kind, unsigned extra) {
  return static_cast<uint16_t>(extra | (kind << 5));
}

struct Code {
  uint16_t table[1u << kLitTableBits];
  uint16_t count[kMaxBits + 1];
  uint16_t symbols[288];  // by code length, then by symbol: canonical order
  const uint16_t* info;   // per symbol: kind and extra bits
  unsigned tableBits;
};

// Builds `code` from the `n` code lengths at `lens`, its table reading at most
// `maxTableBits` bits. False unless the lengths form a complete code: zlib refuses
// over-subscribed and most incomplete sets and reads the rest differently from the
// fast decoder, so those streams are left to zlib. With `literalRuns`, an entry
// whose bits start with literals covers as many whole literal codes as fit in the
// table's bits: their values do not matter, only where the next code begins.
// With `code` null only the lengths are checked.
bool Build(const uint8_t* lens, unsigned n, const uint16_t* info, unsigned maxTableBits,
           bool literalRuns, Code* code) {
  uint16_t counts[kMaxBits + 1];
  uint16_t* count = code ? code->count : counts;
  std::fill(count, count + kMaxBits + 1, uint16_t{0});
  for (unsigned s = 0; s < n; ++s) ++count[lens[s]];
  count[0] = 0;
  int left = 1;
  unsigned maxLen = 0;
  for (unsigned len = 1; len <= kMaxBits; ++len) {
    left = left * 2 - count[len];
    if (left < 0) return false;
    if (count[len] != 0) maxLen = len;
  }
  if (left != 0) return false;
  if (!code) return true;

  uint16_t offsets[kMaxBits + 2];
  offsets[1] = 0;
  for (unsigned len = 1; len <= kMaxBits; ++len) offsets[len + 1] = offsets[len] + count[len];
  for (unsigned s = 0; s < n; ++s) {
    if (lens[s] != 0) code->symbols[offsets[lens[s]]++] = static_cast<uint16_t>(s);
  }

  const unsigned bits = std::min(maxLen, maxTableBits);
  const unsigned size = 1u << bits;
  code->tableBits = bits;
  code->info = info;
  if (maxLen > bits) std::fill(code->table, code->table + size, Info(kLongCode, 0));

  // Canonical codes in symbol order: each is the previous plus one, shifted left
  // whenever the length grows.
  unsigned next = 0;
  unsigned len = 1;
  unsigned index = 0;
  for (; len <= bits; ++len, next <<= 1) {
    for (unsigned k = 0; k < count[len]; ++k, ++next, ++index) {
      const unsigned sym = code->symbols[index];
      const uint16_t entry = static_cast<uint16_t>(info[sym] + len);
      unsigned reversed = 0;
      for (unsigned b = 0; b < len; ++b) reversed |= ((next >> b) & 1u) << (len - 1 - b);
      for (unsigned i = reversed; i < size; i += 1u << len) code->table[i] = entry;
    }
  }
  if (literalRuns) {
    uint16_t single[1u << kLitTableBits];
    std::copy(code->table, code->table + size, single);
    for (unsigned i = 0; i < size; ++i) {
      if ((single[i] >> 5) != kLiteral) continue;
      unsigned used = single[i] & 31;
      for (;;) {
        const uint16_t next = single[i >> used];
        if ((next >> 5) != kLiteral || used + (next & 31) > bits) break;
        used += next & 31;
      }
      code->table[i] = Info(kLiteral, used);
    }
  }
  return true;
}

uint16_t LitInfo[288];
uint16_t DistInfo[32];
uint16_t PrecodeInfo[19];
Code FixedLit;
Code FixedDist;

bool MakeStaticTables() {
  static const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  for (unsigned s = 0; s < 256; ++s) LitInfo[s] = Info(kLiteral, 0);
  LitInfo[256] = Info(kEndOfBlock, 0);
  for (unsigned s = 257; s < 286; ++s) LitInfo[s] = Info(kLength, kLengthExtra[s - 257]);
  LitInfo[286] = LitInfo[287] = Info(kRefused, 0);
  for (unsigned s = 0; s < 30; ++s) DistInfo[s] = Info(kLiteral, s < 4 ? 0 : s / 2 - 1);
  DistInfo[30] = DistInfo[31] = Info(kRefused, 0);
  // Precode entries carry the symbol itself where other tables keep the kind.
  for (unsigned s = 0; s < 19; ++s) PrecodeInfo[s] = static_cast<uint16_t>(s << 5);

  uint8_t lens[288];
  std::fill(lens, lens + 144, uint8_t{8});
  std::fill(lens + 144, lens + 256, uint8_t{9});
  std::fill(lens + 256, lens + 280, uint8_t{7});
  std::fill(lens + 280, lens + 288, uint8_t{8});
  Build(lens, 288, LitInfo, kLitTableBits, true, &FixedLit);
  std::fill(lens, lens + 32, uint8_t{5});
  Build(lens, 32, DistInfo, kDistTableBits, false, &FixedDist);
  return true;
}

// The order in which a dynamic block's header gives the lengths of the code-length code.
constexpr uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                          11, 4,  12, 3, 13, 2, 14, 1, 15};

// Reads a dynamic block's header after its three first bits as zlib does: the counts
// (more than 286 literal/length or 30 distance codes are refused), the lengths of the
// code-length code (then `buildPrecode(lens)` makes its table), and the run-length
// coded lengths of both codes into `lens` (zeroed by the caller, literal/length
// codes first): a repeat of the previous length at the first one, a run past the
// last and a block without an end-of-block code are refused. `need(n)` makes n bits
// available (false at the end of the input), `take(n)` takes them, and `next()`
// gives the next symbol of the code-length code or -1 at the end of the input.
template <typename Need, typename Take, typename BuildPrecode, typename NextSymbol>
bool ReadDynamicHeader(Need need, Take take, BuildPrecode buildPrecode, NextSymbol next,
                       uint8_t* lens, unsigned* nlenOut, unsigned* ndistOut) {
  if (!need(14)) return false;
  const unsigned nlen = take(5) + 257;
  const unsigned ndist = take(5) + 1;
  const unsigned ncode = take(4) + 4;
  if (nlen > 286 || ndist > 30) return false;
  for (unsigned i = 0; i < ncode; ++i) {
    if (!need(3)) return false;
    lens[kCodeLengthOrder[i]] = static_cast<uint8_t>(take(3));
  }
  if (!buildPrecode(lens)) return false;
  const unsigned total = nlen + ndist;
  unsigned i = 0;
  std::fill(lens, lens + 19, uint8_t{0});
  while (i < total) {
    const int sym = next();
    if (sym < 0) return false;
    if (sym < 16) {
      lens[i++] = static_cast<uint8_t>(sym);
      continue;
    }
    unsigned repeat;
    uint8_t value = 0;
    if (sym == 16) {
      if (i == 0) return false;
      value = lens[i - 1];
      repeat = 3 + take(2);
    } else if (sym == 17) {
      repeat = 3 + take(3);
    } else {
      repeat = 11 + take(7);
    }
    if (repeat > total - i) return false;
    std::fill(lens + i, lens + i + repeat, value);
    i += repeat;
  }
  if (lens[256] == 0) return false;
  *nlenOut = nlen;
  *ndistOut = ndist;
  return true;
}

uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    uint64_t r = 0;
    for (int i = 0; i < 8; ++i) r |= uint64_t{p[i]} << (8 * i);
    v = r;
  }
  return v;
}

// The bits of a stream from the lowest up, for the walk and the one-pass decoder:
// past the end of the input it reads zero bytes, as many as kMaxPadBytes (counted
// in pad_), so that a code near the end can be looked up whole; what those bytes
// decode to is never trusted.
class PaddedBits {
 protected:
  PaddedBits(const uint8_t* begin, const uint8_t* end) : p_(begin), end_(end) {}

  bool Need(unsigned n) {
    if (bits_ >= n) return true;
    if (end_ - p_ >= 8) {
      buf_ |= Load64(p_) << bits_;
      p_ += (63 - bits_) >> 3;
      bits_ |= 56;
      return true;
    }
    while (bits_ <= 56) {
      uint64_t byte = 0;
      if (p_ < end_) {
        byte = *p_++;
      } else {
        ++pad_;
      }
      buf_ |= byte << bits_;
      bits_ += 8;
    }
    return pad_ <= kMaxPadBytes;
  }
  unsigned Take(unsigned n) {
    const unsigned v = static_cast<unsigned>(buf_ & ((uint64_t{1} << n) - 1));
    buf_ >>= n;
    bits_ -= n;
    return v;
  }
  void Drop(unsigned n) {
    buf_ >>= n;
    bits_ -= n;
  }

  // For the symbol loops, which keep the bit buffer in locals: at least 48 bits in
  // `buf` (away from the end of the input it is topped up every time, which costs
  // less than a branch on the bit count that the processor cannot foresee). False
  // when the input ran out.
  [[gnu::always_inline]] bool Refill48(uint64_t& buf, unsigned& bits, const uint8_t*& p,
                                       const uint8_t* fastEnd) {
    if (p < fastEnd) [[likely]] {
      buf |= Load64(p) << bits;
      p += (63 - bits) >> 3;
      bits |= 56;
      return true;
    }
    if (bits >= 48) return true;
    buf_ = buf;
    bits_ = bits;
    p_ = p;
    const bool ok = Need(48);
    buf = buf_;
    bits = bits_;
    p = p_;
    return ok;
  }

  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t buf_ = 0;
  unsigned bits_ = 0;
  size_t pad_ = 0;
};

class Walker : PaddedBits {
 public:
  Walker(const uint8_t* begin, const uint8_t* end) : PaddedBits(begin, end), begin_(begin) {}

  // The deflate data: every block up to the last. False where zlib would refuse
  // or read it differently, or where it runs past the given bytes.
  //
  // The codes of the last block are not walked when the block has a code of its
  // own whose header is sound: every code in it then stands for the same symbol,
  // within zlib's limits, for both decoders, and where its data ends is the fast
  // decoder's to say. `*endKnown` tells whether the walk reached the end itself.
  bool Blocks(bool* endKnown) {
    *endKnown = true;
    for (;;) {
      if (!Need(3)) return false;
      const unsigned header = Take(3);
      const bool last = (header & 1) != 0;
      bool ok;
      switch (header >> 1) {
        case 0:
          ok = Stored();
          break;
        case 1:
          ok = Codes(FixedLit, FixedDist);
          break;
        case 2:
          ok = Dynamic(!last);
          if (ok && last) *endKnown = false;
          break;
        default:
          return false;
      }
      if (!ok) return false;
      if (last) return true;
    }
  }

  // The bytes taken so far once the last block's bits are rounded up to a byte.
  size_t BytesUsed() const { return static_cast<size_t>(p_ - begin_) + pad_ - bits_ / 8; }

 private:
  bool Stored() {
    Drop(bits_ & 7);
    if (!Need(32)) return false;
    const unsigned len = Take(16);
    const unsigned nlen = Take(16);
    if (len != (~nlen & 0xFFFFu)) return false;
    if (pad_ != 0) return false;
    const uint8_t* at = p_ - bits_ / 8;
    if (static_cast<size_t>(end_ - at) < len) return false;
    p_ = at + len;
    buf_ = 0;
    bits_ = 0;
    return true;
  }

  // Decodes a code longer than the table from the counts of each length; returns
  // the symbol's entry with its full bit count.
  static uint16_t LongCode(const Code& code, uint64_t buf) {
    int value = 0;
    int first = 0;
    int index = 0;
    for (unsigned len = 1; len <= kMaxBits; ++len) {
      value |= static_cast<int>((buf >> (len - 1)) & 1);
      const int count = code.count[len];
      if (value - count < first) {
        return static_cast<uint16_t>(code.info[code.symbols[index + (value - first)]] + len);
      }
      index += count;
      first = (first + count) << 1;
      value <<= 1;
    }
    return Info(kRefused, 0);  // not reached for a complete code
  }

  bool Codes(const Code& lit, const Code& dist) {
    const uint64_t litMask = (uint64_t{1} << lit.tableBits) - 1;
    const uint64_t distMask = (uint64_t{1} << dist.tableBits) - 1;
    const uint16_t* litTable = lit.table;
    const uint16_t* distTable = dist.table;
    // The bit buffer lives in locals here, where nearly all the time goes.
    uint64_t buf = buf_;
    unsigned bits = bits_;
    const uint8_t* p = p_;
    const uint8_t* const fastEnd = end_ - std::min<ptrdiff_t>(end_ - p_, 8);
    for (;;) {
      // 48 bits cover the longest length code with its extra bits and distance.
      if (!Refill48(buf, bits, p, fastEnd)) return false;
      // Literals and matches alike take no branch: the distance is looked up
      // every time and its bits dropped only after a length. Kinds 2 and up
      // (end of block, a code longer than the table, a refused symbol) are rare.
      uint16_t entry = litTable[buf & litMask];
      if (entry & kUnusual) {
        if ((entry >> 5) == kLongCode) entry = LongCode(lit, buf);
        if (entry & kUnusual) {
          buf_ = buf >> (entry & 31);
          bits_ = bits - (entry & 31);
          p_ = p;
          return (entry >> 5) == kEndOfBlock;
        }
      }
      buf >>= entry & 31;
      bits -= entry & 31;
      const unsigned isLength = (entry >> 5) & 1;
      uint16_t distEntry = distTable[buf & distMask];
      if (distEntry & kUnusual & (0u - isLength)) {
        if ((distEntry >> 5) == kLongCode) distEntry = LongCode(dist, buf);
        if (distEntry & kUnusual) return false;
      }
      const unsigned distBits = (distEntry & 31) & (0u - isLength);
      buf >>= distBits;
      bits -= distBits;
    }
  }

  // A block with its own codes: the header, then its codes when `walkCodes`.
  bool Dynamic(bool walkCodes) {
    uint8_t lens[286 + 30 + 1] = {};
    unsigned nlen = 0;
    unsigned ndist = 0;
    const bool read = ReadDynamicHeader(
        [this](unsigned n) { return Need(n); }, [this](unsigned n) { return Take(n); },
        [this](const uint8_t* l) {
          return Build(l, 19, PrecodeInfo, kDistTableBits, false, &precode_);
        },
        [this]() -> int {
          if (!Need(16)) return -1;
          const uint16_t entry = precode_.table[buf_ & ((uint64_t{1} << precode_.tableBits) - 1)];
          Drop(entry & 31);
          return entry >> 5;
        },
        lens, &nlen, &ndist);
    if (!read) return false;
    if (!Build(lens, nlen, LitInfo, kLitTableBits, true, walkCodes ? &lit_ : nullptr)) {
      return false;
    }
    if (!Build(lens + nlen, ndist, DistInfo, kDistTableBits, false, walkCodes ? &dist_ : nullptr)) {
      return false;
    }
    return !walkCodes || Codes(lit_, dist_);
  }

  const uint8_t* begin_;
  Code precode_;
  Code lit_;
  Code dist_;
};

}  // namespace

namespace {

// The fixed literal/length code by its first 9 bits (bit-reversed codes): the
// symbol times 16 plus the code's length. Distance codes are 5 bits, the symbol
// itself sent from its highest bit.
struct FixedTables {
  uint16_t lit[512];
  uint8_t dist[32];
  FixedTables() {
    const auto reverse = [](unsigned code, unsigned len) {
      unsigned r = 0;
      for (unsigned b = 0; b < len; ++b) r |= ((code >> b) & 1u) << (len - 1 - b);
      return r;
    };
    const auto put = [&](unsigned sym, unsigned code, unsigned len) {
      for (unsigned i = reverse(code, len); i < 512; i += 1u << len) {
        lit[i] = static_cast<uint16_t>(sym << 4 | len);
      }
    };
    for (unsigned s = 0; s < 144; ++s) put(s, 0x30 + s, 8);
    for (unsigned s = 144; s < 256; ++s) put(s, 0x190 + (s - 144), 9);
    for (unsigned s = 256; s < 280; ++s) put(s, s - 256, 7);
    for (unsigned s = 280; s < 288; ++s) put(s, 0xC0 + (s - 280), 8);
    for (unsigned s = 0; s < 32; ++s) dist[reverse(s, 5)] = static_cast<uint8_t>(s);
  }
};

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtraBits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistExtraBits[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Bits of a byte run from the lowest up; never reads past its end.
class BitReader {
 public:
  BitReader(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}
  bool Need(unsigned n) {
    if (bits_ >= n) return true;
    if (end_ - p_ >= 8) {
      buf_ |= Load64(p_) << bits_;
      p_ += (63 - bits_) >> 3;
      bits_ |= 56;
      return true;
    }
    while (bits_ < n && p_ < end_) {
      buf_ |= uint64_t{*p_++} << bits_;
      bits_ += 8;
    }
    return bits_ >= n;
  }
  unsigned Peek(unsigned n) const { return static_cast<unsigned>(buf_ & ((uint64_t{1} << n) - 1)); }
  void Drop(unsigned n) {
    buf_ >>= n;
    bits_ -= n;
  }
  unsigned Take(unsigned n) {
    const unsigned v = Peek(n);
    Drop(n);
    return v;
  }
  // The first byte not yet used once the bits are taken to a byte boundary.
  const uint8_t* AlignedPosition() {
    Drop(bits_ & 7);
    return p_ - bits_ / 8;
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t buf_ = 0;
  unsigned bits_ = 0;
};

}  // namespace

bool DecodeFixedStream(const uint8_t* input, size_t length, uint8_t* output, size_t capacity,
                       size_t* produced) {
  static const FixedTables tables;
  if (length < 6) return false;
  const unsigned cmf = input[0];
  const unsigned flg = input[1];
  if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || ((cmf << 8) | flg) % 31 != 0 || (flg & 0x20) != 0) {
    return false;
  }
  BitReader in(input + 2, input + length);
  size_t n = 0;
  for (;;) {
    if (!in.Need(3)) return false;
    const unsigned header = in.Take(3);
    if ((header >> 1) != 1) return false;  // stored and dynamic blocks go elsewhere
    for (;;) {
      // 9 bits of code, 5 extra, 5 of distance code and 13 extra: 32 at most.
      // Near the end fewer are there; the bits beyond read as zeros, and a code
      // is only taken when all of its own bits are there.
      in.Need(32);
      const uint16_t entry = tables.lit[in.Peek(9) & 511];
      const unsigned len = entry & 15;
      if (!in.Need(len)) return false;
      in.Drop(len);
      const unsigned sym = entry >> 4;
      if (sym < 256) {
        if (n == capacity) return false;
        output[n++] = static_cast<uint8_t>(sym);
        continue;
      }
      if (sym == 256) break;
      if (sym > 285) return false;  // zlib refuses 286 and 287
      const unsigned lengthExtra = kLengthExtraBits[sym - 257];
      if (!in.Need(lengthExtra + 5)) return false;
      const size_t copy = kLengthBase[sym - 257] + in.Take(lengthExtra);
      const unsigned distSym = tables.dist[in.Take(5)];
      if (distSym > 29) return false;  // and distance codes 30 and 31
      const unsigned distExtra = kDistExtraBits[distSym];
      if (!in.Need(distExtra)) return false;
      const size_t distance = kDistBase[distSym] + in.Take(distExtra);
      if (distance > n || copy > capacity - n) return false;
      uint8_t* to = output + n;
      if (distance == 1) {
        std::memset(to, to[-1], copy);
      } else {
        // Pieces no longer than the distance never overlap their source.
        for (size_t done = 0; done < copy;) {
          const size_t step = std::min(distance, copy - done);
          std::memcpy(to + done, to + done - distance, step);
          done += step;
        }
      }
      n += copy;
    }
    if (header & 1) break;
  }
  const uint8_t* trailer = in.AlignedPosition();
  if (input + length - trailer < 4) return false;
  const uint32_t want = uint32_t{trailer[0]} << 24 | uint32_t{trailer[1]} << 16 |
                        uint32_t{trailer[2]} << 8 | trailer[3];
#ifdef QUILLO_HAVE_LIBDEFLATE
  // The same sum, several times as fast on short data.
  if (libdeflate_adler32(1, output, n) != want) return false;
#else
  if (adler32(adler32(0, nullptr, 0), output, static_cast<uInt>(n)) != want) return false;
#endif
  *produced = n;
  return true;
}

namespace {

// Tables for the decoder of whole streams. An entry: bits 0-4 the code's length,
// 5-7 its kind, 8-12 the extra bits that follow it, 16-31 the literal's byte or
// the length's or distance's base.
constexpr unsigned kDecLitBits = 11;
constexpr unsigned kDecDistBits = 10;

struct DecodeCode {
  uint32_t table[1u << kDecLitBits];
  uint16_t count[kMaxBits + 1];
  uint16_t symbols[288];
  const uint32_t* info;
  unsigned tableBits;
};

constexpr uint32_t DecInfo(Kind kind, unsigned extra, unsigned base) {
  return static_cast<uint32_t>(kind) << 5 | extra << 8 | base << 16;
}

uint32_t DecLitInfo[288];
uint32_t DecDistInfo[32];
uint32_t DecPrecodeInfo[19];
DecodeCode DecFixedLit;
DecodeCode DecFixedDist;

// As Build, for the decoder's tables: false unless the lengths form a complete code.
bool BuildDecode(const uint8_t* lens, unsigned n, const uint32_t* info, unsigned maxTableBits,
                 DecodeCode* code) {
  uint16_t* count = code->count;
  std::fill(count, count + kMaxBits + 1, uint16_t{0});
  for (unsigned s = 0; s < n; ++s) ++count[lens[s]];
  count[0] = 0;
  int left = 1;
  unsigned maxLen = 0;
  for (unsigned len = 1; len <= kMaxBits; ++len) {
    left = left * 2 - count[len];
    if (left < 0) return false;
    if (count[len] != 0) maxLen = len;
  }
  if (left != 0) return false;

  uint16_t offsets[kMaxBits + 2];
  offsets[1] = 0;
  for (unsigned len = 1; len <= kMaxBits; ++len) offsets[len + 1] = offsets[len] + count[len];
  for (unsigned s = 0; s < n; ++s) {
    if (lens[s] != 0) code->symbols[offsets[lens[s]]++] = static_cast<uint16_t>(s);
  }
  const unsigned bits = std::min(maxLen, maxTableBits);
  const unsigned size = 1u << bits;
  code->tableBits = bits;
  code->info = info;
  if (maxLen > bits) std::fill(code->table, code->table + size, DecInfo(kLongCode, 0, 0));
  unsigned next = 0;
  unsigned index = 0;
  for (unsigned len = 1; len <= bits; ++len, next <<= 1) {
    for (unsigned k = 0; k < count[len]; ++k, ++next, ++index) {
      const uint32_t entry = info[code->symbols[index]] + len;
      unsigned reversed = 0;
      for (unsigned b = 0; b < len; ++b) reversed |= ((next >> b) & 1u) << (len - 1 - b);
      for (unsigned i = reversed; i < size; i += 1u << len) code->table[i] = entry;
    }
  }
  return true;
}

bool MakeDecodeTables() {
  for (unsigned s = 0; s < 256; ++s) DecLitInfo[s] = DecInfo(kLiteral, 0, s);
  DecLitInfo[256] = DecInfo(kEndOfBlock, 0, 0);
  for (unsigned s = 257; s < 286; ++s) {
    DecLitInfo[s] = DecInfo(kLength, kLengthExtraBits[s - 257], kLengthBase[s - 257]);
  }
  DecLitInfo[286] = DecLitInfo[287] = DecInfo(kRefused, 0, 0);
  for (unsigned s = 0; s < 30; ++s)
    DecDistInfo[s] = DecInfo(kLiteral, kDistExtraBits[s], kDistBase[s]);
  DecDistInfo[30] = DecDistInfo[31] = DecInfo(kRefused, 0, 0);
  for (unsigned s = 0; s < 19; ++s) DecPrecodeInfo[s] = DecInfo(kLiteral, 0, s);
  uint8_t lens[288];
  std::fill(lens, lens + 144, uint8_t{8});
  std::fill(lens + 144, lens + 256, uint8_t{9});
  std::fill(lens + 256, lens + 280, uint8_t{7});
  std::fill(lens + 280, lens + 288, uint8_t{8});
  BuildDecode(lens, 288, DecLitInfo, kDecLitBits, &DecFixedLit);
  std::fill(lens, lens + 32, uint8_t{5});
  BuildDecode(lens, 32, DecDistInfo, kDecDistBits, &DecFixedDist);
  return true;
}

// Decodes a code longer than the table from the counts of each length: the
// symbol's entry with the code's full length.
uint32_t DecodeLongCode(const DecodeCode& code, uint64_t buf) {
  int value = 0;
  int first = 0;
  int index = 0;
  for (unsigned len = 1; len <= kMaxBits; ++len) {
    value |= static_cast<int>((buf >> (len - 1)) & 1);
    const int count = code.count[len];
    if (value - count < first) return code.info[code.symbols[index + (value - first)]] + len;
    index += count;
    first = (first + count) << 1;
    value <<= 1;
  }
  return DecInfo(kRefused, 0, 0);  // not reached for a complete code
}

// One pass over the deflate data that writes the output and holds every rule zlib's
// inflate holds the blocks to; it gives up (false) on anything zlib reads otherwise
// or refuses, and on shapes that zlib accepts but that are left to zlib (incomplete
// code sets), so that what it accepts zlib decodes to the same bytes.
class Inflater : PaddedBits {
 public:
  Inflater(const uint8_t* begin, const uint8_t* end, uint8_t* out, size_t capacity)
      : PaddedBits(begin, end), outBegin_(out), out_(out), outEnd_(out + capacity) {}

  bool Blocks() {
    for (;;) {
      if (!Need(3)) return false;
      const unsigned header = Take(3);
      bool ok;
      switch (header >> 1) {
        case 0:
          ok = Stored();
          break;
        case 1:
          ok = Codes(DecFixedLit, DecFixedDist);
          break;
        case 2:
          ok = Dynamic();
          break;
        default:
          return false;
      }
      if (!ok) return false;
      if (header & 1) return true;
    }
  }

  // Where the Adler-32 starts once the last block's bits are rounded up to a
  // byte, or null when the stream's bits already ran past the bytes given.
  const uint8_t* Trailer() {
    if (pad_ * 8 > bits_ - (bits_ & 7)) return nullptr;
    return p_ + pad_ - bits_ / 8;
  }
  size_t Produced() const { return static_cast<size_t>(out_ - outBegin_); }

 private:
  bool Stored() {
    Take(bits_ & 7);
    if (!Need(32)) return false;
    const unsigned len = Take(16);
    const unsigned nlen = Take(16);
    if (len != (~nlen & 0xFFFFu)) return false;
    // The bit buffer may have read zeros past the end: the block's data starts
    // where the header's bits end, which must lie within the bytes given.
    if (pad_ * 8 > bits_) return false;
    const uint8_t* at = p_ + pad_ - bits_ / 8;
    if (static_cast<size_t>(end_ - at) < len) return false;
    if (static_cast<size_t>(outEnd_ - out_) < len) return false;
    std::memcpy(out_, at, len);
    out_ += len;
    p_ = at + len;
    buf_ = 0;
    bits_ = 0;
    pad_ = 0;
    return true;
  }

  bool Codes(const DecodeCode& lit, const DecodeCode& dist) {
    const uint64_t litMask = (uint64_t{1} << lit.tableBits) - 1;
    const uint64_t distMask = (uint64_t{1} << dist.tableBits) - 1;
    const uint32_t* litTable = lit.table;
    const uint32_t* distTable = dist.table;
    uint64_t buf = buf_;
    unsigned bits = bits_;
    const uint8_t* p = p_;
    uint8_t* out = out_;
    uint8_t* const outBegin = outBegin_;
    uint8_t* const outEnd = outEnd_;
    const uint8_t* const fastEnd = end_ - std::min<ptrdiff_t>(end_ - p_, 8);
    for (;;) {
      // 48 bits cover the longest length code with its extra bits and distance.
      if (!Refill48(buf, bits, p, fastEnd)) return false;
      uint32_t entry = litTable[buf & litMask];
      if (entry & kUnusual) [[unlikely]] {
        if (((entry >> 5) & 7) == kLongCode) entry = DecodeLongCode(lit, buf);
        if (entry & kUnusual) {
          buf_ = buf >> (entry & 31);
          bits_ = bits - (entry & 31);
          p_ = p;
          out_ = out;
          return ((entry >> 5) & 7) == kEndOfBlock;
        }
      }
      buf >>= entry & 31;
      bits -= entry & 31;
      if (!(entry & (kLength << 5))) {
        if (out == outEnd) return false;
        *out++ = static_cast<uint8_t>(entry >> 16);
        // After a refill at least 33 bits are left: the next code's bits are
        // there when the table's entry for them is a literal of its own.
        entry = litTable[buf & litMask];
        if ((entry & (kUnusual | (kLength << 5))) || (entry & 31) > bits) continue;
        if (out == outEnd) return false;
        buf >>= entry & 31;
        bits -= entry & 31;
        *out++ = static_cast<uint8_t>(entry >> 16);
        continue;
      }
      unsigned extra = (entry >> 8) & 31;
      const size_t length = (entry >> 16) + static_cast<size_t>(buf & ((uint64_t{1} << extra) - 1));
      buf >>= extra;
      bits -= extra;
      uint32_t distEntry = distTable[buf & distMask];
      if (distEntry & kUnusual) [[unlikely]] {
        if (((distEntry >> 5) & 7) == kLongCode) distEntry = DecodeLongCode(dist, buf);
        if (distEntry & kUnusual) return false;  // distance symbols 30 and 31
      }
      buf >>= distEntry & 31;
      bits -= distEntry & 31;
      extra = (distEntry >> 8) & 31;
      const size_t distance =
          (distEntry >> 16) + static_cast<size_t>(buf & ((uint64_t{1} << extra) - 1));
      buf >>= extra;
      bits -= extra;
      if (distance > static_cast<size_t>(out - outBegin)) return false;
      const size_t room = static_cast<size_t>(outEnd - out);
      if (length > room) return false;
      const uint8_t* from = out - distance;
      if (room >= length + 16 && distance >= 16) {
        // Whole 16-byte pieces, the last one running past the match: each
        // piece's source lies wholly before it, and the bytes beyond the
        // match are written over later or lie beyond what is kept.
        uint8_t* to = out;
        do {
          std::memcpy(to, from, 16);
          to += 16;
          from += 16;
        } while (to < out + length);
      } else if (room >= length + 8 && distance >= 8) {
        uint8_t* to = out;
        do {
          std::memcpy(to, from, 8);
          to += 8;
          from += 8;
        } while (to < out + length);
      } else if (distance == 1) {
        std::memset(out, out[-1], length);
      } else {
        for (size_t i = 0; i < length; ++i) out[i] = from[i];
      }
      out += length;
    }
  }

  bool Dynamic() {
    uint8_t lens[286 + 30 + 1] = {};
    unsigned nlen = 0;
    unsigned ndist = 0;
    const bool read = ReadDynamicHeader(
        [this](unsigned n) { return Need(n); }, [this](unsigned n) { return Take(n); },
        [this](const uint8_t* l) { return BuildDecode(l, 19, DecPrecodeInfo, 7, &precode_); },
        [this]() -> int {
          if (!Need(16)) return -1;
          const uint32_t entry = precode_.table[buf_ & ((uint64_t{1} << precode_.tableBits) - 1)];
          Take(entry & 31);
          return static_cast<int>(entry >> 16);
        },
        lens, &nlen, &ndist);
    if (!read) return false;
    if (!BuildDecode(lens, nlen, DecLitInfo, kDecLitBits, &lit_)) return false;
    if (!BuildDecode(lens + nlen, ndist, DecDistInfo, kDecDistBits, &dist_)) return false;
    return Codes(lit_, dist_);
  }

  uint8_t* const outBegin_;
  uint8_t* out_;
  uint8_t* const outEnd_;
  DecodeCode precode_;
  DecodeCode lit_;
  DecodeCode dist_;
};

}  // namespace

bool DecodeStream(const uint8_t* input, size_t length, uint8_t* output, size_t capacity,
                  size_t* produced) {
  static const bool tablesReady = MakeDecodeTables();
  (void)tablesReady;
  if (length < 6) return false;
  const unsigned cmf = input[0];
  const unsigned flg = input[1];
  if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || ((cmf << 8) | flg) % 31 != 0 || (flg & 0x20) != 0) {
    return false;
  }
  Inflater inflater(input + 2, input + length, output, capacity);
  if (!inflater.Blocks()) return false;
  const uint8_t* trailer = inflater.Trailer();
  if (!trailer || input + length - trailer < 4) return false;
  const uint32_t want = uint32_t{trailer[0]} << 24 | uint32_t{trailer[1]} << 16 |
                        uint32_t{trailer[2]} << 8 | trailer[3];
  const size_t n = inflater.Produced();
#ifdef QUILLO_HAVE_LIBDEFLATE
  if (libdeflate_adler32(1, output, n) != want) return false;
#else
  if (adler32(adler32(0, nullptr, 0), output, static_cast<uInt>(n)) != want) return false;
#endif
  *produced = n;
  return true;
}

bool StreamKeepsZlibRules(const uint8_t* input, size_t length, size_t streamLength) {
  static const bool tablesReady = MakeStaticTables();
  (void)tablesReady;
  if (length < 6 || streamLength > length) return false;
  const unsigned cmf = input[0];
  const unsigned flg = input[1];
  if ((cmf & 0x0F) != 8 || (cmf >> 4) > 7 || ((cmf << 8) | flg) % 31 != 0 || (flg & 0x20) != 0) {
    return false;
  }
  Walker walker(input + 2, input + length);
  bool endKnown = false;
  if (!walker.Blocks(&endKnown)) return false;
  return !endKnown || 2 + walker.BytesUsed() + 4 == streamLength;
}
