// codec_bench.cpp - the block codec against plain zlib and libdeflate.
//
// Without arguments: the time per block for the codec and for a plain zlib loop
// that sets up and ends its stream for every block, as the codec did before it
// kept its streams, and the ratio of the two.
//
// With folders (`codec_bench [--records] DIR...`): the decode floor of each tree.
// Every file is compressed once at zlib's default level, as a package stores it
// (untimed); with --records the tree's table records are taken instead (a 276-byte
// record per file, its path as the name). Then the same stored bytes are decoded
// in fill mode, one core, by
//   codec       DecompressBlock as the tool calls it
//   codec zlib  DecompressBlock with the fast decoder turned off
//   zlib        inflate alone, one reused stream
//   libdeflate  libdeflate_zlib_decompress alone (where it is built in)
// and the processor time of the best of a few passes is printed with the ratios.
// Timings vary with the machine's load: read the ratios of one run.
#include <zlib.h>

#ifdef QUILLO_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "codec.h"
#include "inflate_check.h"

namespace {

using Clock = std::chrono::steady_clock;

// A table record: a name and five numbers, the rest zero.
ByteBuffer MakeRecord(const std::string& name, int i) {
  ByteBuffer record(276, 0);
  std::memcpy(record.data(), name.data(), std::min<size_t>(name.size(), 255));
  record[260] = static_cast<uint8_t>(i);
  record[261] = static_cast<uint8_t>(i >> 8);
  record[264] = static_cast<uint8_t>(i * 7);
  record[268] = static_cast<uint8_t>(i * 3);
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

// ------------------------------------------------------------------ decode floor

struct Block {
  ByteBuffer stored;
  uint32_t dataSize;
};

ByteBuffer ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return ByteBuffer(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The tree's files (or records), stored as a package stores them, in path order.
std::vector<Block> StoreTree(const std::filesystem::path& root, bool records, uint64_t* bytes) {
  std::vector<std::filesystem::path> paths;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    if (item.is_regular_file()) paths.push_back(item.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<Block> blocks;
  *bytes = 0;
  int i = 0;
  for (const auto& path : paths) {
    ByteBuffer data;
    if (records) {
      std::string name = std::filesystem::relative(path, root).generic_string();
      std::replace(name.begin(), name.end(), '/', '\\');
      data = MakeRecord(name, i++);
    } else {
      data = ReadWhole(path);
    }
    Block block{{}, static_cast<uint32_t>(data.size())};
    if (IsError(CompressBlock(-1, data.data(), block.dataSize, &block.stored))) continue;
    *bytes += data.size();
    blocks.push_back(std::move(block));
  }
  return blocks;
}

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// The least processor time of `passes` runs of `decode` over every block.
template <typename F>
double BestPass(const std::vector<Block>& blocks, int passes, F&& decode) {
  double best = 1e30;
  for (int p = 0; p < passes; ++p) {
    const double start = CpuSeconds();
    for (const Block& block : blocks) decode(block);
    best = std::min(best, CpuSeconds() - start);
  }
  return best;
}

struct FloorTimes {
  double fast = 0;
  double slow = 0;
  double zlib = 0;
  double deflateAlone = 0;
  bool mismatch = false;
};

FloorTimes MeasureFloor(const std::vector<Block>& blocks, int passes) {
  FloorTimes t;
  uint32_t largest = 0;
  for (const Block& b : blocks) largest = std::max(largest, b.dataSize);
  ByteBuffer out(largest);

  const auto codec = [&](const Block& b) {
    out.resize(b.dataSize);
    if (IsError(DecompressBlock(b.stored.data(), static_cast<uint32_t>(b.stored.size()), &out)) ||
        out.size() != b.dataSize) {
      t.mismatch = true;
    }
  };
  t.fast = BestPass(blocks, passes, codec);
  SetThreadFastDecode(false);
  t.slow = BestPass(blocks, passes, codec);
  SetThreadFastDecode(true);

  z_stream zs;
  std::memset(&zs, 0, sizeof zs);
  inflateInit(&zs);
  t.zlib = BestPass(blocks, passes, [&](const Block& b) {
    inflateReset(&zs);
    zs.next_in = const_cast<Bytef*>(b.stored.data());
    zs.avail_in = static_cast<uInt>(b.stored.size());
    zs.next_out = out.data();
    zs.avail_out = b.dataSize;
    // A plain block fails to inflate: the codec copies it, and so does this loop.
    if (inflate(&zs, Z_FINISH) != Z_STREAM_END)
      std::memcpy(out.data(), b.stored.data(), b.dataSize);
  });
  inflateEnd(&zs);

#ifdef QUILLO_HAVE_LIBDEFLATE
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  t.deflateAlone = BestPass(blocks, passes, [&](const Block& b) {
    if (libdeflate_zlib_decompress(d, b.stored.data(), b.stored.size(), out.data(), b.dataSize,
                                   nullptr) != LIBDEFLATE_SUCCESS) {
      std::memcpy(out.data(), b.stored.data(), b.dataSize);
    }
  });
  libdeflate_free_decompressor(d);
#endif
  return t;
}

void PrintFloor(const FloorTimes& t, const char* indent) {
  std::printf("%scodec %.3f s  codec zlib only %.3f s  zlib alone %.3f s  libdeflate alone ",
              indent, t.fast, t.slow, t.zlib);
  if (HaveFastDecode()) {
    std::printf("%.3f s\n", t.deflateAlone);
    std::printf(
        "%scodec / codec zlib only %.2f   codec / libdeflate %.2f   libdeflate / zlib %.2f\n",
        indent, t.fast / t.slow, t.fast / t.deflateAlone, t.deflateAlone / t.zlib);
  } else {
    std::printf("(not built in)\n%scodec / zlib %.2f\n", indent, t.fast / t.zlib);
  }
  if (t.mismatch) std::printf("%sa block did not read back at its size\n", indent);
}

void Floor(const char* root, bool records, int passes) {
  uint64_t bytes = 0;
  const std::vector<Block> blocks = StoreTree(root, records, &bytes);
  std::printf("decode floor %s%s: %zu blocks, %.1f MB, one core, best of %d\n", root,
              records ? " (table records)" : "", blocks.size(), bytes / 1e6, passes);
  PrintFloor(MeasureFloor(blocks, passes), "  ");
  // The same by the entries' sizes, where the tree has entries of several.
  static const struct {
    const char* name;
    uint32_t below;
  } kClasses[] = {{"below 1 KiB", 1u << 10},
                  {"1 KiB to 64 KiB", 64u << 10},
                  {"64 KiB to 1 MiB", 1u << 20},
                  {"1 MiB and more", 0xFFFFFFFFu}};
  uint32_t from = 0;
  for (const auto& sizeClass : kClasses) {
    std::vector<Block> some;
    for (const Block& b : blocks) {
      if (b.dataSize >= from && b.dataSize < sizeClass.below) some.push_back(b);
    }
    from = sizeClass.below;
    if (some.empty() || some.size() == blocks.size()) continue;
    std::printf("  entries %s: %zu\n", sizeClass.name, some.size());
    PrintFloor(MeasureFloor(some, passes), "    ");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Run("276-byte record", MakeRecord("models\\npc\\item00042.ski", 42), 20000);
    Run("4 KiB entry", MakeData(4096, 1), 5000);
    Run("256 KiB entry", MakeData(256 << 10, 2), 100);
    return 0;
  }
  bool records = false;
  int passes = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--records") {
      records = true;
    } else if (arg.rfind("--passes=", 0) == 0) {
      passes = std::max(1, std::atoi(arg.c_str() + 9));
    } else {
      Floor(argv[i], records, passes);
    }
  }
  return 0;
}
