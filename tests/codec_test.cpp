// codec_test.cpp - CompressBlock and DecompressBlock: the store-plain rule, both
// destination modes and every failure path, checked against zlib itself.
#include "codec.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <climits>
#include <random>
#include <string>

#include "pck_writer.h"

namespace {

using pckfix::Zlib;

ByteBuffer Bytes(const std::string& s) { return ByteBuffer(s.begin(), s.end()); }
std::string Str(const ByteBuffer& b) { return std::string(b.begin(), b.end()); }

const uint8_t* Data(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
uint32_t Size(const std::string& s) { return static_cast<uint32_t>(s.size()); }

std::string Text(size_t size) {
  std::string out;
  for (size_t i = 0; out.size() < size; ++i) out += "entry " + std::to_string(i % 97) + " data; ";
  out.resize(size);
  return out;
}

std::string Noise(size_t size, unsigned seed = 7) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

PckStatus Compress(int level, const std::string& input, ByteBuffer* out) {
  return CompressBlock(level, Data(input), Size(input), out);
}

PckStatus Decompress(const std::string& input, ByteBuffer* out) {
  return DecompressBlock(input.empty() ? nullptr : Data(input), Size(input), out);
}

// --- CompressBlock ----------------------------------------------------------------

TEST(CompressBlockTest, EmptyInputGivesEmptyOutputAtEveryLevel) {
  for (int level : {-2, -1, 0, 1, 6, 9, 10, INT_MIN, INT_MAX}) {
    ByteBuffer out = Bytes("previous");
    EXPECT_EQ(PckStatus::kSuccess, CompressBlock(level, nullptr, 0, &out)) << level;
    EXPECT_TRUE(out.empty()) << level;
  }
}

TEST(CompressBlockTest, LevelZeroStoresThePlainBytes) {
  ByteBuffer out = Bytes("a longer previous content");
  ASSERT_EQ(PckStatus::kSuccess, Compress(0, "abc", &out));
  EXPECT_EQ("abc", Str(out));
}

TEST(CompressBlockTest, StreamThatDoesNotPayIsReplacedByThePlainBytes) {
  // One byte: the zlib stream (header, data, Adler-32) is far longer.
  ByteBuffer out;
  ASSERT_EQ(PckStatus::kSuccess, Compress(-1, "x", &out));
  EXPECT_EQ("x", Str(out));

  const std::string noise = Noise(4096);
  for (int level = -1; level <= 9; ++level) {
    ASSERT_EQ(PckStatus::kSuccess, Compress(level, noise, &out)) << level;
    EXPECT_EQ(noise, Str(out)) << level;
  }
}

TEST(CompressBlockTest, StreamOfExactlyTheInputLengthIsNotStored) {
  // Find a short input whose level-9 stream is exactly as long as the input:
  // equality counts as "does not pay".
  for (size_t size = 1; size < 64; ++size) {
    const std::string input = Text(size);
    if (Zlib(input, 9).size() != size) continue;
    ByteBuffer out;
    ASSERT_EQ(PckStatus::kSuccess, Compress(9, input, &out));
    EXPECT_EQ(input, Str(out));
    return;
  }
  GTEST_SKIP() << "no input of equal stream length found";
}

TEST(CompressBlockTest, EveryLevelGivesExactlyZlibsStream) {
  const std::string input = Text(5000);
  for (int level = -1; level <= 9; ++level) {
    ByteBuffer out;
    ASSERT_EQ(PckStatus::kSuccess, Compress(level, input, &out)) << level;
    EXPECT_EQ(level == 0 ? input : Zlib(input, level), Str(out)) << level;
  }
}

TEST(CompressBlockTest, ThousandZerosAtLevelNineRoundTrip) {
  const std::string zeros(1000, '\0');
  ByteBuffer stream;
  ASSERT_EQ(PckStatus::kSuccess, Compress(9, zeros, &stream));
  EXPECT_LT(stream.size(), 100u);
  EXPECT_EQ(Zlib(zeros, 9), Str(stream));

  ByteBuffer back(1000, 0xAA);
  ASSERT_EQ(PckStatus::kSuccess, Decompress(Str(stream), &back));
  EXPECT_EQ(zeros, Str(back));
}

TEST(CompressBlockTest, LevelsZlibRefusesGiveStatusFourAndLeaveTheOutput) {
  for (int level : {10, -2, 100, INT_MIN, INT_MAX}) {
    ByteBuffer out = Bytes("untouched");
    EXPECT_EQ(PckStatus::kZlibError, Compress(level, "some data to compress", &out)) << level;
    EXPECT_EQ("untouched", Str(out)) << level;
  }
}

TEST(CompressBlockTest, ResultsDoNotDependOnEarlierCalls) {
  // Interleave levels, sizes, refused levels and failed inflates; every result
  // must still be what a fresh zlib stream at that level writes.
  const int levels[] = {9, 1, -1, 9, 9, 3, 10, 0, 5, 2, -2, 9, 6, -1, 8, 4, 7, 1};
  for (size_t i = 0; i < std::size(levels); ++i) {
    const int level = levels[i];
    const std::string input =
        i % 3 == 0 ? Noise(700 + i * 13, static_cast<unsigned>(i)) : Text(300 + i * 977);
    ByteBuffer out = Bytes("before");
    const PckStatus status = Compress(level, input, &out);
    if (level < -1 || level > 9) {
      EXPECT_EQ(PckStatus::kZlibError, status) << i;
      EXPECT_EQ("before", Str(out)) << i;
    } else {
      ASSERT_EQ(PckStatus::kSuccess, status) << i;
      std::string expected = level == 0 ? input : Zlib(input, level);
      if (expected.size() >= input.size()) expected = input;
      EXPECT_EQ(expected, Str(out)) << "call " << i << " level " << level;
    }
    ByteBuffer junk(50);
    (void)Decompress(Noise(37, static_cast<unsigned>(i)), &junk);
  }
}

TEST(CompressCapacityTest, IsSixteenPlusTheSinglePrecisionProduct) {
  EXPECT_EQ(17u, CompressCapacity(1));
  EXPECT_EQ(27u, CompressCapacity(10));
  EXPECT_EQ(319u, CompressCapacity(276));
  EXPECT_EQ(1116u, CompressCapacity(1000));
  // 1.1f is slightly above 1.1, and the double product keeps that excess.
  EXPECT_EQ(4724464142u, CompressCapacity(UINT32_MAX));
}

// --- DecompressBlock --------------------------------------------------------------

TEST(DecompressBlockTest, PlainBlockIsCopiedOnlyWhenItsLengthIsTheDestinationSize) {
  const std::string plain = Noise(500);
  ByteBuffer exact(500, 0xEE);
  ASSERT_EQ(PckStatus::kSuccess, Decompress(plain, &exact));
  EXPECT_EQ(plain, Str(exact));

  ByteBuffer larger(600, 0xEE);
  EXPECT_EQ(PckStatus::kZlibError, Decompress(plain, &larger));
  EXPECT_EQ(600u, larger.size());

  ByteBuffer append;
  EXPECT_EQ(PckStatus::kZlibError, Decompress(plain, &append));
}

TEST(DecompressBlockTest, EmptyInput) {
  ByteBuffer empty;
  EXPECT_EQ(PckStatus::kSuccess, Decompress("", &empty));
  EXPECT_TRUE(empty.empty());

  ByteBuffer five(5);
  EXPECT_EQ(PckStatus::kZlibError, Decompress("", &five));
}

TEST(DecompressBlockTest, StreamEndingEarlyShrinksTheDestination) {
  const std::string data = Text(100);
  ByteBuffer record(276, 0xEE);
  ASSERT_EQ(PckStatus::kSuccess, Decompress(Zlib(data), &record));
  EXPECT_EQ(data, Str(record));
}

TEST(DecompressBlockTest, FillModeRoundTripsAroundBufferBoundaries) {
  for (size_t size : {1u, 276u, 1023u, 1024u, 1025u, 2048u, 70000u}) {
    const std::string data = Text(size);
    ByteBuffer out(size, 0xEE);
    ASSERT_EQ(PckStatus::kSuccess, Decompress(Zlib(data, 9), &out)) << size;
    EXPECT_EQ(data, Str(out)) << size;
  }
}

TEST(DecompressBlockTest, AppendModeTakesEveryDecodedByte) {
  const std::string data = Text(300000);
  ByteBuffer out;
  ASSERT_EQ(PckStatus::kSuccess, Decompress(Zlib(data), &out));
  EXPECT_EQ(data, Str(out));
}

TEST(DecompressBlockTest, BytesAfterTheStreamAreIgnored) {
  const std::string data = Text(3000);
  const std::string stored = Zlib(data) + "trailing garbage";
  ByteBuffer fill(3000);
  ASSERT_EQ(PckStatus::kSuccess, Decompress(stored, &fill));
  EXPECT_EQ(data, Str(fill));
  ByteBuffer append;
  ASSERT_EQ(PckStatus::kSuccess, Decompress(stored, &append));
  EXPECT_EQ(data, Str(append));
}

TEST(DecompressBlockTest, PlainBlockThatIsAValidStreamIsInflated) {
  // Stored bytes whose length equals the destination size, but which form a
  // complete zlib stream of fewer bytes: inflated, and the destination shrunk.
  const std::string data = "hello";
  const std::string stream = Zlib(data);
  ByteBuffer out(stream.size(), 0xEE);
  ASSERT_EQ(PckStatus::kSuccess, Decompress(stream, &out));
  EXPECT_EQ(data, Str(out));
}

TEST(DecompressBlockTest, DamagedOrCutStreams) {
  const std::string data = Text(4000);
  const std::string stream = Zlib(data);
  std::string damaged = stream;
  damaged[damaged.size() - 1] ^= 0x55;  // Adler-32 no longer matches
  const std::string cut = stream.substr(0, stream.size() / 2);

  struct Case {
    const char* what;
    std::string input;
    size_t destination;
  } cases[] = {
      {"damaged, fill mode", damaged, data.size()}, {"damaged, append mode", damaged, 0},
      {"cut, fill mode", cut, data.size()},         {"cut, append mode", cut, 0},
      {"header only", stream.substr(0, 2), 10},
  };
  for (const Case& c : cases) {
    ByteBuffer out(c.destination);
    EXPECT_EQ(PckStatus::kZlibError, Decompress(c.input, &out)) << c.what;
    if (c.destination != 0) {
      EXPECT_EQ(c.destination, out.size()) << c.what;
    }
  }

  // A damaged stream of exactly the destination's size reads as plain bytes.
  ByteBuffer same(damaged.size());
  ASSERT_EQ(PckStatus::kSuccess, Decompress(damaged, &same));
  EXPECT_EQ(damaged, Str(same));
}

TEST(DecompressBlockTest, StreamLargerThanTheDestinationNeverOverrunsIt) {
  const std::string data(5000, 'z');
  const std::string stream = Zlib(data, 9);
  ASSERT_LT(stream.size(), 100u);

  // The destination sits in a larger allocation whose tail is marked, so that a
  // write past its size shows up in the marks.
  for (size_t size : {100u, 1024u, 4999u}) {
    ByteBuffer out(size + 64, 0x5A);
    out.resize(size);
    const uint8_t* block = out.data();
    EXPECT_EQ(PckStatus::kZlibError, Decompress(stream, &out)) << size;
    ASSERT_EQ(size, out.size()) << size;
    ASSERT_EQ(block, out.data()) << size;
    EXPECT_EQ(std::string(64, 0x5A), std::string(block + size, block + size + 64)) << size;
  }

  // Exactly fitting is success.
  ByteBuffer exact(5000);
  ASSERT_EQ(PckStatus::kSuccess, Decompress(stream, &exact));
  EXPECT_EQ(data, Str(exact));

  // A destination of the stream's own length takes it as a plain block.
  ByteBuffer asPlain(stream.size());
  ASSERT_EQ(PckStatus::kSuccess, Decompress(stream, &asPlain));
  EXPECT_EQ(stream, Str(asPlain));
}

}  // namespace

// Bytes missing from the end of a stored block read as zeros: the padded decode
// gives exactly what decoding the block with real zero bytes gives, in status and
// in the destination, and never needs those zeros in memory.
TEST(DecompressBlockPaddedTest, ActsAsIfTheMissingBytesWereZeros) {
  // A stream whose last byte is zero decodes even when that byte is missing.
  std::string endsInZero, endsInZeroData;
  for (int i = 0; endsInZero.empty() || endsInZero.back() != '\0'; ++i) {
    endsInZeroData = std::string(276, 'r') + std::to_string(i);
    endsInZero = Zlib(endsInZeroData);
  }
  const std::string plain = Noise(276);
  const std::string stream = Zlib(Text(276));
  struct Case {
    const char* what;
    std::string given;  // the bytes present
    uint32_t length;    // the stored length, the rest being zeros
    size_t destination;
  } cases[] = {
      {"whole stream, long tail", stream, static_cast<uint32_t>(stream.size()) + 5000, 276},
      {"last byte missing and zero", endsInZero.substr(0, endsInZero.size() - 1),
       static_cast<uint32_t>(endsInZero.size()), endsInZeroData.size()},
      {"cut stream", stream.substr(0, stream.size() / 2), static_cast<uint32_t>(stream.size()),
       276},
      {"cut stream, append mode", stream.substr(0, stream.size() / 2), 900, 0},
      {"plain record, part missing", plain.substr(0, 200), 276, 276},
      {"plain block, other length", plain.substr(0, 200), 277, 276},
      {"nothing present", "", 276, 276},
      {"nothing present, other length", "", 300, 276},
  };
  for (const Case& c : cases) {
    std::string padded = c.given;
    padded.resize(c.length, '\0');
    ByteBuffer expected(c.destination, 0xEE);
    const PckStatus want = Decompress(padded, &expected);
    ByteBuffer got(c.destination, 0xEE);
    const auto* bytes = reinterpret_cast<const uint8_t*>(c.given.data());
    EXPECT_EQ(want,
              DecompressBlockPadded(bytes, static_cast<uint32_t>(c.given.size()), c.length, &got))
        << c.what;
    if (want == PckStatus::kSuccess) {
      EXPECT_EQ(Str(expected), Str(got)) << c.what;
    }
  }
  ByteBuffer cutZero(endsInZeroData.size());
  ASSERT_EQ(PckStatus::kSuccess,
            DecompressBlockPadded(reinterpret_cast<const uint8_t*>(endsInZero.data()),
                                  static_cast<uint32_t>(endsInZero.size() - 1),
                                  static_cast<uint32_t>(endsInZero.size()), &cutZero));
  EXPECT_EQ(endsInZeroData, Str(cutZero));

  // A claim far beyond memory costs nothing when the stream ends early.
  ByteBuffer record(276);
  const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
  EXPECT_EQ(PckStatus::kSuccess, DecompressBlockPadded(bytes, static_cast<uint32_t>(stream.size()),
                                                       0xFFFFFFFF, &record));
  EXPECT_EQ(Text(276), Str(record));
}

// Data that is itself a zlib stream (a file compressed by another program, say)
// is not stored plain when compressing does not pay: a reader would inflate the
// plain bytes and return other data. It is stored as the stream of it, however
// long, and reads back whole at every level.
TEST(CompressBlockTest, DataThatReadsAsAStreamIsStoredAsAStreamOfIt) {
  const std::string inner = Noise(3000);
  const std::string cases[] = {Zlib(inner, 6), Zlib(inner, 0), Zlib(Text(20), 9)};
  for (const std::string& data : cases) {
    for (int level : {-1, 0, 1, 9}) {
      ByteBuffer stored;
      ASSERT_EQ(PckStatus::kSuccess,
                CompressBlock(level, reinterpret_cast<const uint8_t*>(data.data()),
                              static_cast<uint32_t>(data.size()), &stored))
          << level;
      ByteBuffer back(data.size());
      ASSERT_EQ(PckStatus::kSuccess, Decompress(Str(stored), &back)) << level;
      EXPECT_EQ(data, Str(back)) << "level " << level << ", " << data.size() << " bytes";
    }
  }

  // Plain data with a zlib header that does not inflate is still stored plain.
  std::string header = Noise(500);
  header[0] = '\x78';
  header[1] = '\x9c';
  ByteBuffer stored;
  ASSERT_EQ(PckStatus::kSuccess, CompressBlock(0, reinterpret_cast<const uint8_t*>(header.data()),
                                               static_cast<uint32_t>(header.size()), &stored));
  EXPECT_EQ(header, Str(stored));
}
