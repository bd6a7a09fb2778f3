// Blocks that the fast decoder would read differently from zlib's inflate: each one
// must come out with zlib's status and bytes, whichever decoder is built in.

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec.h"
#include "inflate_check.h"

namespace {

using Lens = std::vector<uint8_t>;

// Writes a deflate body bit by bit: values from their lowest bit, Huffman codes
// from their first (highest) bit, as deflate sends them.
class BitWriter {
 public:
  void Put(uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) PutBit((value >> i) & 1);
  }
  void PutCode(uint32_t code, unsigned length) {
    for (unsigned i = length; i-- > 0;) PutBit((code >> i) & 1);
  }
  void Align() {
    while (used_ != 0) PutBit(0);
  }
  ByteBuffer Finish() {
    Align();
    return bytes_;
  }

 private:
  void PutBit(unsigned bit) {
    if (used_ == 0) bytes_.push_back(0);
    bytes_.back() |= static_cast<uint8_t>(bit << used_);
    used_ = (used_ + 1) & 7;
  }
  ByteBuffer bytes_;
  unsigned used_ = 0;
};

// The canonical codes of a set of code lengths.
std::vector<uint32_t> CanonicalCodes(const Lens& lens) {
  unsigned count[16] = {};
  for (uint8_t len : lens) ++count[len];
  count[0] = 0;
  uint32_t next[16] = {};
  uint32_t code = 0;
  for (unsigned len = 1; len < 16; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  std::vector<uint32_t> codes(lens.size());
  for (size_t s = 0; s < lens.size(); ++s) {
    if (lens[s] != 0) codes[s] = next[lens[s]]++;
  }
  return codes;
}

// A dynamic block header: counts, then a code length code in which the lengths
// 0..15 all take 4 bits, then every length sent as itself.
struct Dynamic {
  Lens lit;
  Lens dist;
  std::vector<uint32_t> litCodes;
  std::vector<uint32_t> distCodes;
};

Dynamic WriteDynamicHeader(BitWriter* w, bool final, const Lens& lit, const Lens& dist) {
  w->Put(final ? 1 : 0, 1);
  w->Put(2, 2);
  w->Put(static_cast<uint32_t>(lit.size() - 257), 5);
  w->Put(static_cast<uint32_t>(dist.size() - 1), 5);
  w->Put(19 - 4, 4);
  static const uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};
  for (uint8_t sym : kOrder) w->Put(sym < 16 ? 4 : 0, 3);
  for (uint8_t len : lit) w->PutCode(len, 4);
  for (uint8_t len : dist) w->PutCode(len, 4);
  return {lit, dist, CanonicalCodes(lit), CanonicalCodes(dist)};
}

void PutLit(BitWriter* w, const Dynamic& d, unsigned sym) {
  w->PutCode(d.litCodes[sym], d.lit[sym]);
}
void PutDist(BitWriter* w, const Dynamic& d, unsigned sym) {
  w->PutCode(d.distCodes[sym], d.dist[sym]);
}

// The lengths of `n` symbols, all zero but the ones given.
Lens LensOf(size_t n, std::initializer_list<std::pair<unsigned, uint8_t>> set) {
  Lens lens(n, 0);
  for (auto [sym, len] : set) lens[sym] = len;
  return lens;
}

// A zlib stream around a deflate body, with the Adler-32 of `data`.
ByteBuffer Zlib(const ByteBuffer& body, const std::string& data) {
  ByteBuffer out(2 + body.size());
  out[0] = 0x78;
  out[1] = 0x9C;
  std::copy(body.begin(), body.end(), out.begin() + 2);
  const uLong a = adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data.data()),
                          static_cast<uInt>(data.size()));
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(a >> shift));
  return out;
}

// zlib's own stream of `data`.
ByteBuffer Deflated(const std::string& data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  ByteBuffer out(size);
  EXPECT_EQ(Z_OK, compress2(out.data(), &size, reinterpret_cast<const Bytef*>(data.data()),
                            static_cast<uLong>(data.size()), level));
  out.resize(size);
  return out;
}

enum class Walk { kKeeps, kBreaks, kEither };

struct Case {
  std::string what;
  ByteBuffer stored;
  uint32_t destination;   // 0: append mode
  bool zlibAccepts;       // zlib's verdict
  std::string zlibBytes;  // what zlib decodes, when it accepts
  Walk walk;              // what the walk over the stream's blocks says
};

// "AB" in a block whose header counts 287 literal/length codes; symbol 286 holds
// a code. zlib refuses more than 286.
ByteBuffer LitLen287() {
  BitWriter w;
  Dynamic d = WriteDynamicHeader(&w, true, LensOf(287, {{'A', 2}, {'B', 2}, {256, 2}, {286, 2}}),
                                 LensOf(2, {{0, 1}, {1, 1}}));
  PutLit(&w, d, 'A');
  PutLit(&w, d, 'B');
  PutLit(&w, d, 256);
  return Zlib(w.Finish(), "AB");
}

// The same with 288 codes, the largest count a header can give.
ByteBuffer LitLen288() {
  BitWriter w;
  Dynamic d = WriteDynamicHeader(&w, true, LensOf(288, {{'A', 2}, {'B', 2}, {256, 2}, {287, 2}}),
                                 LensOf(2, {{0, 1}, {1, 1}}));
  PutLit(&w, d, 'A');
  PutLit(&w, d, 'B');
  PutLit(&w, d, 256);
  return Zlib(w.Finish(), "AB");
}

// 31 and 32 distance codes; zlib refuses more than 30.
ByteBuffer Dist(size_t count) {
  BitWriter w;
  Dynamic d = WriteDynamicHeader(&w, true, LensOf(258, {{'A', 2}, {'B', 2}, {256, 2}, {257, 2}}),
                                 LensOf(count, {{0, 1}, {static_cast<unsigned>(count - 1), 1}}));
  PutLit(&w, d, 'A');
  PutLit(&w, d, 257);  // length 3
  PutDist(&w, d, 0);   // distance 1
  PutLit(&w, d, 'B');
  PutLit(&w, d, 256);
  return Zlib(w.Finish(), "AAAAB");
}

// A literal/length code of one symbol, the end of block, coded as '1'. zlib takes
// such a code as '0' only; the other bit is an invalid code.
ByteBuffer SingleEndCode(unsigned bit) {
  BitWriter w;
  WriteDynamicHeader(&w, true, LensOf(257, {{256, 1}}), LensOf(2, {{0, 1}, {1, 1}}));
  w.Put(bit, 1);
  return Zlib(w.Finish(), "");
}

// No distance code at all, yet a match: zlib finds no code to read.
ByteBuffer EmptyDistanceCode() {
  BitWriter w;
  Dynamic d = WriteDynamicHeader(&w, true, LensOf(258, {{'A', 2}, {'B', 2}, {256, 2}, {257, 2}}),
                                 LensOf(1, {}));
  PutLit(&w, d, 'A');
  PutLit(&w, d, 257);
  w.Put(0, 1);  // what a decoder that invents a distance code reads as distance 1
  PutLit(&w, d, 256);
  return Zlib(w.Finish(), "AAAA");
}

// Code lengths whose last repeat runs past the last symbol: zlib refuses them.
ByteBuffer RepeatPastTheEnd() {
  BitWriter w;
  w.Put(1, 1);
  w.Put(2, 2);
  w.Put(0, 5);   // 257 literal/length codes
  w.Put(1, 5);   // 2 distance codes
  w.Put(15, 4);  // 19 code length codes
  // Lengths 0..14 take 4 bits (codes 0..14), 17 and 18 take 5 (codes 30 and 31).
  static const uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};
  for (uint8_t sym : kOrder) w.Put(sym < 15 ? 4 : (sym == 17 || sym == 18) ? 5 : 0, 3);
  w.PutCode(31, 5);
  w.Put(65 - 11, 7);  // symbols 0..64: 0
  w.PutCode(1, 4);    // 'A' (65): 1
  w.PutCode(31, 5);
  w.Put(138 - 11, 7);  // 66..203: 0
  w.PutCode(31, 5);
  w.Put(52 - 11, 7);  // 204..255: 0
  w.PutCode(1, 4);    // end of block (256): 1
  w.PutCode(1, 4);    // distance 0: 1
  w.PutCode(31, 5);
  w.Put(0, 7);      // 11 zeros where one length is left
  w.PutCode(0, 1);  // 'A'
  w.PutCode(1, 1);  // end of block
  return Zlib(w.Finish(), "A");
}

// A fixed-code block: 'A', then literal/length symbol 286 (a length only in
// decoders that allow it) at distance 1, then the end of block.
ByteBuffer FixedSymbol286() {
  BitWriter w;
  w.Put(1, 1);
  w.Put(1, 2);
  w.PutCode(0x30 + 'A', 8);
  w.PutCode(0xC0 + (286 - 280), 8);
  w.PutCode(0, 5);
  w.PutCode(0, 7);
  return Zlib(w.Finish(), "A" + std::string(258, 'A'));
}

// A fixed-code block that builds 33,000 bytes and then copies from distance symbol
// 30, which reaches 32,769 bytes back in decoders that allow it.
ByteBuffer FixedDistance30() {
  BitWriter w;
  w.Put(1, 1);
  w.Put(1, 2);
  w.PutCode(0x30 + 'A', 8);
  std::string data = "A";
  while (data.size() < 33000) {
    w.PutCode(0xC0 + (285 - 280), 8);  // length 258
    w.PutCode(0, 5);                   // distance 1
    data += std::string(258, 'A');
  }
  w.PutCode(1, 7);   // length 3
  w.PutCode(30, 5);  // distance symbol 30
  w.Put(0, 14);
  data += "AAA";
  w.PutCode(0, 7);
  return Zlib(w.Finish(), data);
}

// Fixed-code pieces: a block header, a literal below 144, a length with its extra
// bits, a distance symbol with its extra bits, the end of block.
void FixedHeader(BitWriter* w, bool final) {
  w->Put(final ? 1 : 0, 1);
  w->Put(1, 2);
}
void FixedLiteral(BitWriter* w, char c) { w->PutCode(0x30 + static_cast<uint8_t>(c), 8); }
void FixedLength(BitWriter* w, unsigned sym, unsigned extraBits, unsigned extra) {
  if (sym < 280) {
    w->PutCode(sym - 256, 7);
  } else {
    w->PutCode(0xC0 + (sym - 280), 8);
  }
  w->Put(extra, extraBits);
}
void FixedDistance(BitWriter* w, unsigned sym, unsigned extraBits, unsigned extra) {
  w->PutCode(sym, 5);
  w->Put(extra, extraBits);
}
void FixedEnd(BitWriter* w) { w->PutCode(0, 7); }

// Matches that overlap what they copy (distances 1, 2 and 3) and one far back,
// in a fixed-code block; `*data` is what they decode to.
ByteBuffer FixedMatches(std::string* data) {
  BitWriter w;
  FixedHeader(&w, true);
  FixedLiteral(&w, 'x');
  FixedLength(&w, 285, 0, 0);  // 258 at distance 1
  FixedDistance(&w, 0, 0, 0);
  *data = std::string(259, 'x');
  FixedLiteral(&w, 'a');
  FixedLiteral(&w, 'b');
  FixedLength(&w, 279, 4, 1);  // 100 at distance 2
  FixedDistance(&w, 1, 0, 0);
  for (int i = 0; i < 51; ++i) *data += "ab";
  FixedLiteral(&w, 'c');
  FixedLiteral(&w, 'd');
  FixedLiteral(&w, 'e');
  FixedLength(&w, 274, 3, 7);  // 50 at distance 3
  FixedDistance(&w, 2, 0, 0);
  std::string cde = "cde";
  for (int i = 0; i < 50; ++i) cde += cde[i];
  *data += cde;
  FixedLength(&w, 269, 2, 1);  // 20 at distance 300
  FixedDistance(&w, 16, 7, 43);
  *data += data->substr(data->size() - 300, 20);
  FixedEnd(&w);
  return Zlib(w.Finish(), *data);
}

// Two blocks: fixed codes for "AB", then `second` ('f' fixed codes, 's' stored)
// for "CD".
ByteBuffer FixedThen(char second) {
  BitWriter w;
  FixedHeader(&w, false);
  FixedLiteral(&w, 'A');
  FixedLiteral(&w, 'B');
  FixedEnd(&w);
  if (second == 'f') {
    FixedHeader(&w, true);
    FixedLiteral(&w, 'C');
    FixedLiteral(&w, 'D');
    FixedEnd(&w);
  } else {
    w.Put(1, 1);
    w.Put(0, 2);
    w.Align();
    w.Put(2, 16);
    w.Put(0xFFFD, 16);
    w.Put('C', 8);
    w.Put('D', 8);
  }
  return Zlib(w.Finish(), "ABCD");
}

// "AB" and then a match reaching `distance` bytes back.
ByteBuffer FixedFarBack(unsigned distanceSym) {
  BitWriter w;
  FixedHeader(&w, true);
  FixedLiteral(&w, 'A');
  FixedLiteral(&w, 'B');
  FixedLength(&w, 257, 0, 0);  // 3
  FixedDistance(&w, distanceSym, 0, 0);
  FixedEnd(&w);
  return Zlib(w.Finish(), distanceSym == 1 ? "ABABA" : "AB???");
}

// Dynamic-block pieces. DynamicAB writes a block whose literal/length code holds
// 'A', 'B', the end of block and length 3 (two bits each) and whose distance code
// holds distances 1 and 2, with "AB" and a match of 3 at distance 2 ("ABABA").
void DynamicAB(BitWriter* w, bool final, std::string* data) {
  Dynamic d = WriteDynamicHeader(w, final, LensOf(258, {{'A', 2}, {'B', 2}, {256, 2}, {257, 2}}),
                                 LensOf(2, {{0, 1}, {1, 1}}));
  PutLit(w, d, 'A');
  PutLit(w, d, 'B');
  PutLit(w, d, 257);
  PutDist(w, d, 1);
  PutLit(w, d, 256);
  *data += "ABABA";
}

// A stored block of `bytes`; `complement` is what its NLEN field holds.
void StoredBlock(BitWriter* w, bool final, const std::string& bytes, uint32_t complement) {
  w->Put(final ? 1 : 0, 1);
  w->Put(0, 2);
  w->Align();
  w->Put(static_cast<uint32_t>(bytes.size()), 16);
  w->Put(complement, 16);
  for (char ch : bytes) w->Put(static_cast<uint8_t>(ch), 8);
}

// Blocks by letter: 'd' DynamicAB, 's' a stored "xyz", 'n' a stored "xyz" whose
// NLEN is off by one, '3' the header of a block of type 3. The last is final.
ByteBuffer Blocks(const std::string& kinds, std::string* data = nullptr) {
  std::string own;
  if (!data) data = &own;
  BitWriter w;
  for (size_t i = 0; i < kinds.size(); ++i) {
    const bool final = i + 1 == kinds.size();
    switch (kinds[i]) {
      case 'd':
        DynamicAB(&w, final, data);
        break;
      case 's':
      case 'n':
        StoredBlock(&w, final, "xyz", kinds[i] == 's' ? 0xFFFC : 0xFFFD);
        *data += "xyz";
        break;
      default:
        w.Put(final ? 1 : 0, 1);
        w.Put(3, 2);
        w.Put(0, 16);
        break;
    }
  }
  return Zlib(w.Finish(), *data);
}

// One dynamic block with the codes given and "AB" then length 3 at distance
// symbol `distanceSym` as the data (a code missing from the sets is sent as
// nothing: the stream is refused before it matters).
ByteBuffer DynamicWith(const Lens& lit, const Lens& dist, unsigned distanceSym,
                       const std::string& data) {
  BitWriter w;
  Dynamic d = WriteDynamicHeader(&w, true, lit, dist);
  const auto put = [&](unsigned sym) {
    if (sym < d.lit.size() && d.lit[sym] != 0) PutLit(&w, d, sym);
  };
  put('A');
  put('B');
  put(257);
  if (distanceSym < d.dist.size() && d.dist[distanceSym] != 0) PutDist(&w, d, distanceSym);
  put(256);
  return Zlib(w.Finish(), data);
}

// A dynamic block header whose code length code has the lengths `pre` (by symbol),
// followed by the code length symbols `items` (symbol, extra bits' value), for 257
// literal/length and 2 distance codes, then one bit and the end of the data.
ByteBuffer WithPrecode(const Lens& pre, const std::vector<std::pair<unsigned, unsigned>>& items) {
  BitWriter w;
  w.Put(1, 1);
  w.Put(2, 2);
  w.Put(0, 5);
  w.Put(1, 5);
  w.Put(15, 4);
  static const uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};
  for (uint8_t sym : kOrder) w.Put(pre[sym], 3);
  const std::vector<uint32_t> codes = CanonicalCodes(pre);
  for (auto [sym, extra] : items) {
    w.PutCode(codes[sym], pre[sym]);
    if (sym == 16) w.Put(extra, 2);
    if (sym == 17) w.Put(extra, 3);
    if (sym == 18) w.Put(extra, 7);
  }
  w.Put(0, 1);
  return Zlib(w.Finish(), "");
}

// Skewed bytes (a few common, many rare, so that some codes are longer than any
// table reads at once) with repeats from near and far: zlib writes several
// dynamic blocks of it.
std::string SkewedText(size_t size) {
  std::string t;
  uint32_t x = 12345;
  while (t.size() < size) {
    x = x * 1103515245u + 12345u;
    const unsigned r = x >> 8;
    if ((r & 63) == 0 && t.size() > 40000) {
      const size_t back = 1 + (r >> 6) % 32768;
      t += t.substr(t.size() - back, 3 + (r >> 20) % 40);
      continue;
    }
    unsigned level = 0;
    while (level < 20 && (r >> (6 + level) & 1)) ++level;
    t += static_cast<char>(level * 12 + (x >> 29));
  }
  return t;
}

std::vector<Case> Cases() {
  const std::string text = [] {
    std::string t;
    for (int i = 0; t.size() < 100000; ++i) t += "line " + std::to_string(i * 7919 % 1000) + "\n";
    return t;
  }();
  const ByteBuffer stream = Deflated(text, 6);
  ByteBuffer trailing = stream;
  for (uint8_t extra = 1; extra <= 5; ++extra) trailing.push_back(extra);
  ByteBuffer badAdler = stream;
  badAdler.back() ^= 1;
  ByteBuffer cut(stream.begin(), stream.end() - 7);
  const ByteBuffer fixed = Deflated("short text, fixed codes", 9);
  const auto size = static_cast<uint32_t>(text.size());
  std::string matched;
  const ByteBuffer matches = FixedMatches(&matched);
  const auto matchedSize = static_cast<uint32_t>(matched.size());
  ByteBuffer fixedBadAdler = matches;
  fixedBadAdler.back() ^= 0x80;
  ByteBuffer fixedNoTrailer(matches.begin(), matches.end() - 2);
  ByteBuffer fixedCutInACode(matches.begin(), matches.end() - 6);
  ByteBuffer fixedWithDictionary = fixed;
  fixedWithDictionary[1] = 0xBB;  // 0x78BB: a valid check, and a dictionary asked for
  std::string dsd;
  const ByteBuffer dynStoredDyn = Blocks("dsd", &dsd);
  const auto dsdSize = static_cast<uint32_t>(dsd.size());
  const std::string skewed = SkewedText(400000);
  const auto skewedSize = static_cast<uint32_t>(skewed.size());
  const ByteBuffer skewedStream = Deflated(skewed, 9);
  const Lens abLit = LensOf(258, {{'A', 2}, {'B', 2}, {256, 2}, {257, 2}});
  const Lens abDist = LensOf(2, {{0, 1}, {1, 1}});
  // Code length codes: 0..13 in 4 bits, 14, 16, 17 and 18 in 5 (complete), and
  // the same without 14 (incomplete).
  Lens pre(19, 0);
  for (unsigned s = 0; s < 14; ++s) pre[s] = 4;
  pre[14] = pre[16] = pre[17] = pre[18] = 5;
  Lens preIncomplete = pre;
  preIncomplete[14] = 0;

  return {
      {"ordinary stream", stream, size, true, text, Walk::kKeeps},
      {"ordinary stream, append mode", stream, 0, true, text, Walk::kKeeps},
      {"ordinary fixed-code stream", fixed, 2000, true, "short text, fixed codes", Walk::kKeeps},
      {"data ends before the size", stream, size + 1000, true, text, Walk::kKeeps},
      {"data longer than the size", stream, size - 1, false, "", Walk::kKeeps},
      {"trailing bytes", trailing, size, true, text, Walk::kEither},
      {"bad Adler-32", badAdler, size, false, "", Walk::kKeeps},
      {"stream cut short", cut, size, false, "", Walk::kEither},
      {"287 literal/length codes", LitLen287(), 2000, false, "", Walk::kBreaks},
      {"288 literal/length codes", LitLen288(), 2000, false, "", Walk::kBreaks},
      {"31 distance codes", Dist(31), 2000, false, "", Walk::kBreaks},
      {"32 distance codes", Dist(32), 2000, false, "", Walk::kBreaks},
      {"30 distance codes", Dist(30), 2000, true, "AAAAB", Walk::kKeeps},
      {"single code read as 0", SingleEndCode(0), 2000, true, "", Walk::kBreaks},
      {"single code read as 1", SingleEndCode(1), 2000, false, "", Walk::kBreaks},
      {"no distance code, yet a match", EmptyDistanceCode(), 2000, false, "", Walk::kBreaks},
      {"repeat past the last length", RepeatPastTheEnd(), 2000, false, "", Walk::kBreaks},
      {"fixed-code symbol 286", FixedSymbol286(), 2000, false, "", Walk::kBreaks},
      {"fixed-code distance symbol 30", FixedDistance30(), 40000, false, "", Walk::kBreaks},
      {"fixed-code stream of exactly the size", fixed, 23, true, "short text, fixed codes",
       Walk::kKeeps},
      {"fixed-code stream one byte over the size", fixed, 22, false, "", Walk::kKeeps},
      {"fixed-code overlapping and far matches", matches, matchedSize, true, matched, Walk::kKeeps},
      {"fixed-code match past the size", matches, matchedSize - 5, false, "", Walk::kKeeps},
      {"fixed-code matches, room to spare", matches, 4000, true, matched, Walk::kKeeps},
      {"fixed-code bad Adler-32", fixedBadAdler, matchedSize, false, "", Walk::kKeeps},
      {"fixed-code trailer cut", fixedNoTrailer, matchedSize, false, "", Walk::kEither},
      {"fixed-code stream cut in a code", fixedCutInACode, matchedSize, false, "", Walk::kEither},
      {"fixed-code with a dictionary", fixedWithDictionary, 100, false, "", Walk::kBreaks},
      {"fixed-code blocks, two", FixedThen('f'), 100, true, "ABCD", Walk::kKeeps},
      {"fixed-code block, then a stored one", FixedThen('s'), 100, true, "ABCD", Walk::kKeeps},
      {"fixed-code match at the start of the data", FixedFarBack(1), 100, true, "ABABA",
       Walk::kKeeps},
      {"fixed-code match before the start of the data", FixedFarBack(2), 100, false, "",
       Walk::kEither},
      {"zlib's dynamic blocks with long codes", skewedStream, skewedSize, true, skewed,
       Walk::kKeeps},
      {"zlib's dynamic blocks, one byte over the size", skewedStream, skewedSize - 1, false, "",
       Walk::kKeeps},
      {"dynamic, stored, dynamic", dynStoredDyn, 100, true, dsd, Walk::kKeeps},
      {"dynamic, stored, dynamic, exactly the size", dynStoredDyn, dsdSize, true, dsd,
       Walk::kKeeps},
      {"dynamic, stored, dynamic, one byte over", dynStoredDyn, dsdSize - 1, false, "",
       Walk::kKeeps},
      {"stored block with a bad complement between dynamic ones", Blocks("dnd"), 100, false, "",
       Walk::kBreaks},
      {"dynamic blocks, then a stored last one", Blocks("dds"), 100, true, "ABABAABABAxyz",
       Walk::kKeeps},
      {"block type 3 after a dynamic block", Blocks("d3"), 100, false, "", Walk::kBreaks},
      {"block type 3 after a stored block", Blocks("s3"), 100, false, "", Walk::kBreaks},
      {"dynamic match before the start of the data",
       DynamicWith(abLit, LensOf(3, {{0, 1}, {1, 2}, {2, 2}}), 2, "ABZAB"), 100, false, "",
       Walk::kEither},
      {"dynamic block without an end-of-block code",
       DynamicWith(LensOf(258, {{'A', 1}, {'B', 2}, {257, 2}}), abDist, 0, ""), 100, false, "",
       Walk::kBreaks},
      {"over-subscribed literal/length code",
       DynamicWith(LensOf(258, {{'A', 1}, {'B', 1}, {256, 1}, {257, 2}}), abDist, 0, ""), 100,
       false, "", Walk::kBreaks},
      {"incomplete literal/length code",
       DynamicWith(LensOf(258, {{'A', 2}, {'B', 2}, {256, 2}}), abDist, 0, ""), 100, false, "",
       Walk::kBreaks},
      {"incomplete distance code of two codes",
       DynamicWith(abLit, LensOf(3, {{0, 1}, {1, 2}}), 0, ""), 100, false, "", Walk::kBreaks},
      {"one distance code of one bit", DynamicWith(abLit, LensOf(1, {{0, 1}}), 0, "ABBBB"), 100,
       true, "ABBBB", Walk::kBreaks},
      {"repeat at the first length", WithPrecode(pre, {{16, 0}}), 100, false, "", Walk::kBreaks},
      {"incomplete code length code", WithPrecode(preIncomplete, {{0, 0}}), 100, false, "",
       Walk::kBreaks},
      {"31 distance codes after a dynamic block",
       [] {
         std::string data;
         BitWriter w;
         DynamicAB(&w, false, &data);
         Dynamic d =
             WriteDynamicHeader(&w, true, LensOf(258, {{'A', 2}, {'B', 2}, {256, 2}, {257, 2}}),
                                LensOf(31, {{0, 1}, {30, 1}}));
         PutLit(&w, d, 256);
         return Zlib(w.Finish(), data);
       }(),
       100, false, "", Walk::kBreaks},
  };
}

PckStatus Decode(const ByteBuffer& stored, uint32_t destination, bool fast, ByteBuffer* out) {
  out->assign(destination, 0xEE);
  SetThreadFastDecode(fast);
  const PckStatus status =
      DecompressBlock(stored.data(), static_cast<uint32_t>(stored.size()), out);
  SetThreadFastDecode(true);
  return status;
}

TEST(CodecFastTest, EveryStreamReadsAsZlibReadsIt) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    ByteBuffer slow;
    ByteBuffer fast;
    const PckStatus want = Decode(c.stored, c.destination, false, &slow);
    const PckStatus got = Decode(c.stored, c.destination, true, &fast);
    EXPECT_EQ(c.zlibAccepts ? PckStatus::kSuccess : PckStatus::kZlibError, want);
    if (c.zlibAccepts) {
      EXPECT_EQ(c.zlibBytes, std::string(slow.begin(), slow.end()));
    }
    EXPECT_EQ(want, got);
    EXPECT_EQ(slow.size(), fast.size());
    if (want == PckStatus::kSuccess) {
      EXPECT_EQ(slow, fast);
    }
  }
}

// The walk trusts the streams zlib's deflate writes and refuses the shapes zlib
// reads otherwise, which the fast decoder accepts.
TEST(CodecFastTest, WalkTellsOrdinaryStreamsFromOddOnes) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    if (c.walk == Walk::kEither) continue;
    EXPECT_EQ(c.walk == Walk::kKeeps,
              StreamKeepsZlibRules(c.stored.data(), c.stored.size(), c.stored.size()));
  }
}

// A stored length equal to the destination's size reads back plain when zlib
// refuses the stream, whichever decoder looked at it first.
TEST(CodecFastTest, RefusedStreamsOfTheDestinationSizeReadBackPlain) {
  for (ByteBuffer stored : {LitLen287(), Dist(32), FixedSymbol286(), EmptyDistanceCode()}) {
    stored.resize(1500, 0x33);  // bytes after the stream: both decoders ignore them
    ByteBuffer out(stored.size());
    ASSERT_EQ(PckStatus::kSuccess,
              DecompressBlock(stored.data(), static_cast<uint32_t>(stored.size()), &out));
    EXPECT_EQ(stored, out);
  }
}

}  // namespace

namespace {

// Streams of fixed-code blocks that zlib accepts are decoded by the fixed-code
// decoder itself, to zlib's bytes; the others are left to the other decoders.
TEST(CodecFastTest, FixedCodeStreamsDecodeDirectlyWhenZlibAcceptsThem) {
  const std::vector<std::string> direct = {"ordinary fixed-code stream",
                                           "fixed-code stream of exactly the size",
                                           "fixed-code overlapping and far matches",
                                           "fixed-code matches, room to spare",
                                           "fixed-code blocks, two",
                                           "fixed-code match at the start of the data"};
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    ByteBuffer out(c.destination, 0xEE);
    size_t produced = 0;
    const bool decoded =
        DecodeFixedStream(c.stored.data(), c.stored.size(), out.data(), out.size(), &produced);
    const bool wanted = std::find(direct.begin(), direct.end(), c.what) != direct.end();
    EXPECT_EQ(wanted, decoded);
    if (decoded) {
      EXPECT_EQ(c.zlibBytes, std::string(out.begin(), out.begin() + produced));
    }
  }
}

// Streams of any blocks that zlib accepts are decoded by the one-pass decoder
// itself, to zlib's bytes, but for the shapes zlib reads in its own way (a code of
// one code); everything zlib refuses is left to the other decoders.
TEST(CodecFastTest, OnePassDecoderAcceptsWhatZlibAccepts) {
  const std::vector<std::string> leftToZlib = {"single code read as 0",
                                               "one distance code of one bit"};
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.what);
    if (c.destination == 0) continue;  // append mode goes to zlib
    // The output starts after bytes of 'Z', which a match reaching before the
    // start of the data would copy (the checksum of such rows fits those bytes).
    ByteBuffer buffer(16 + c.destination, 'Z');
    uint8_t* out = buffer.data() + 16;
    size_t produced = 0;
    const bool decoded =
        DecodeStream(c.stored.data(), c.stored.size(), out, c.destination, &produced);
    const bool left = std::find(leftToZlib.begin(), leftToZlib.end(), c.what) != leftToZlib.end();
    EXPECT_EQ(c.zlibAccepts && !left, decoded);
    if (decoded) {
      EXPECT_EQ(c.zlibBytes, std::string(out, out + produced));
    }
  }
}

}  // namespace
