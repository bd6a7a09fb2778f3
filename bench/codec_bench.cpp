// codec_bench.cpp - the block codec with reused zlib streams against a fresh stream per block.
//
// Prints the time per block for the codec and for a plain zlib loop that sets up
// and ends its stream for every block, as the codec did before it kept its
// streams, and the ratio of the two. Timings vary with the machine's load: read
// the ratios of one run, not absolute numbers.
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

#include "codec.h"

namespace {

using Clock = std::chrono::steady_clock;

// A table record: a short name and five numbers, the rest zero.
ByteBuffer MakeRecord(int i) {
  ByteBuffer record(276, 0);
  std::snprintf(reinterpret_cast<char*>(record.data()), 256, "models\\npc\\item%05d.ski", i);
  record[260] = static_cast<uint8_t>(i);
  record[264] = static_cast<uint8_t>(i * 7);
  return record;
}

ByteBuffer MakeData(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  ByteBuffer data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>("abcdefgh  \n"[rng() % 11]);
  return data;
}

size_t FreshCompress(const ByteBuffer& in, ByteBuffer* out) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  deflateInit(&zs, Z_DEFAULT_COMPRESSION);
  out->resize(16 + static_cast<size_t>(in.size() * 1.1));
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out->data();
  zs.avail_out = static_cast<uInt>(out->size());
  deflate(&zs, Z_FINISH);
  size_t n = zs.total_out;
  deflateEnd(&zs);
  return n;
}

size_t FreshDecompress(const ByteBuffer& in, size_t n, ByteBuffer* out) {
  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  inflateInit(&zs);
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(n);
  zs.next_out = out->data();
  zs.avail_out = static_cast<uInt>(out->size());
  inflate(&zs, Z_NO_FLUSH);
  size_t got = zs.total_out;
  inflateEnd(&zs);
  return got;
}

template <typename F>
double MicrosPerCall(int calls, F&& f) {
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) f(i);
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls;
}

void Report(const char* what, double codec, double fresh) {
  std::printf("%-34s codec %8.2f us   fresh stream %8.2f us   ratio %5.2f\n", what, codec, fresh,
              fresh / codec);
}

void Run(const char* what, const ByteBuffer& block, int calls) {
  ByteBuffer out, back;
  const double c = MicrosPerCall(calls, [&](int) {
    (void)CompressBlock(-1, block.data(), static_cast<uint32_t>(block.size()), &out);
  });
  ByteBuffer fresh;
  const double f = MicrosPerCall(calls, [&](int) { FreshCompress(block, &fresh); });
  Report((std::string("compress ") + what).c_str(), c, f);

  (void)CompressBlock(-1, block.data(), static_cast<uint32_t>(block.size()), &out);
  const double d = MicrosPerCall(calls, [&](int) {
    back.resize(block.size());
    (void)DecompressBlock(out.data(), static_cast<uint32_t>(out.size()), &back);
  });
  ByteBuffer freshBack(block.size());
  const double g = MicrosPerCall(calls, [&](int) { FreshDecompress(out, out.size(), &freshBack); });
  Report((std::string("decompress ") + what).c_str(), d, g);
}

}  // namespace

int main() {
  Run("276-byte record", MakeRecord(42), 20000);
  Run("4 KiB entry", MakeData(4096, 1), 5000);
  Run("256 KiB entry", MakeData(256 << 10, 2), 100);
  return 0;
}
