// make_seeds.cpp - writes the seed corpora of the fuzz harnesses.
//
// Standalone on purpose: the packages are laid out here byte by byte with zlib,
// without the library under test. Usage: make_seeds <corpus root>; it fills
// <root>/fuzz_package, <root>/fuzz_codec, <root>/fuzz_decode, <root>/fuzz_options,
// <root>/fuzz_repack and <root>/fuzz_extract.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kMagic1 = 0x4DCA23EF;
constexpr uint32_t kMagic2 = 0x56A089B7;
constexpr uint32_t kVersion = 0x00020002;
constexpr uint32_t kGuard1 = 0xFDFDFEEE;
constexpr uint32_t kGuard2 = 0xF00DBEEF;
constexpr uint32_t kMaskA = 0x5C3E91D7;
constexpr uint32_t kMaskB = 0x2B6F0A84;
constexpr size_t kRecordSize = 276;

void Put32(Bytes* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Set32(Bytes* out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The bytes a package stores for a block: a zlib stream when it is shorter, else plain.
Bytes Store(const Bytes& data, int level) {
  if (data.empty() || level == 0) return data;
  uLongf size = compressBound(data.size());
  Bytes out(size);
  if (compress2(out.data(), &size, data.data(), data.size(), level) != Z_OK) return data;
  if (size >= data.size()) return data;
  out.resize(size);
  return out;
}

// An entry's level when it is stored as the rest of its package.
constexpr int kPackageLevel = -2;

struct Entry {
  Entry(std::string entryName, Bytes entryData, int entryLevel = kPackageLevel)
      : name(std::move(entryName)), data(std::move(entryData)), level(entryLevel) {}

  std::string name;  // code page 936 bytes, '\' between levels
  Bytes data;
  int level = kPackageLevel;    // the level of this entry's data
  std::optional<Bytes> stored;  // stored bytes in place of the encoded data
  std::optional<uint32_t> dataSize;
};

// The entries' data at `level` (unless an entry has its own), the table records at
// `recordLevel` (the same level when not given; 0 stores them plain, where every
// field can be changed by a mutation without breaking a checksum).
Bytes Package(const std::vector<Entry>& entries, int level, int recordLevel = kPackageLevel) {
  Bytes out;
  Put32(&out, kMagic1);
  Put32(&out, 0);  // package size, set at the end
  Put32(&out, kMagic2);
  Bytes table;
  for (const Entry& entry : entries) {
    const uint32_t offset = static_cast<uint32_t>(out.size());
    const Bytes stored =
        entry.stored ? *entry.stored
                     : Store(entry.data, entry.level == kPackageLevel ? level : entry.level);
    out.insert(out.end(), stored.begin(), stored.end());
    Bytes record(kRecordSize, 0);
    std::copy(entry.name.begin(), entry.name.begin() + std::min<size_t>(entry.name.size(), 256),
              record.begin());
    Set32(&record, 260, offset);
    Set32(&record, 264, entry.dataSize.value_or(static_cast<uint32_t>(entry.data.size())));
    Set32(&record, 268, static_cast<uint32_t>(stored.size()));
    const Bytes body = Store(record, recordLevel == kPackageLevel ? level : recordLevel);
    Put32(&table, static_cast<uint32_t>(body.size()) ^ kMaskA);
    Put32(&table, static_cast<uint32_t>(body.size()) ^ kMaskB);
    table.insert(table.end(), body.begin(), body.end());
  }
  const uint32_t tableOffset = static_cast<uint32_t>(out.size());
  out.insert(out.end(), table.begin(), table.end());
  Put32(&out, kGuard1);
  Put32(&out, kVersion);
  Put32(&out, tableOffset ^ kMaskA);
  out.insert(out.end(), 256, 0);
  Put32(&out, kGuard2);
  Put32(&out, static_cast<uint32_t>(entries.size()));
  Put32(&out, kVersion);
  Set32(&out, 4, static_cast<uint32_t>(out.size()));
  return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Repeated(const std::string& s, size_t times) {
  Bytes out;
  for (size_t i = 0; i < times; ++i) out.insert(out.end(), s.begin(), s.end());
  return out;
}

bool Write(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Repack input: level selector (level = byte % 11 - 1), flags (bit 0: two threads;
// bit 1: the package in a folder of its own), then the package.
Bytes RepackInput(int level, int threads, bool inFolder, const Bytes& package) {
  Bytes out = {static_cast<uint8_t>(level + 1),
               static_cast<uint8_t>((threads - 1) | (inFolder ? 2 : 0))};
  out.insert(out.end(), package.begin(), package.end());
  return out;
}

// Codec input: destination size (4 bytes), level selector (1 byte, level = byte % 13 - 2),
// then the block.
Bytes CodecInput(uint32_t destination, int level, const Bytes& block) {
  Bytes out;
  Put32(&out, destination);
  out.push_back(static_cast<uint8_t>(level + 2));
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

Bytes Arguments(const std::vector<std::string>& args) {
  Bytes out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i != 0) out.push_back(0);
    out.insert(out.end(), args[i].begin(), args[i].end());
  }
  return out;
}

// An input of fuzz_decode: the shape byte, the destination word, the payload.
Bytes DecodeInput(uint8_t shape, uint32_t word, const Bytes& payload) {
  Bytes out = {shape};
  Put32(&out, word);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// A raw deflate body (no zlib header or checksum) of `data` at `level`.
Bytes RawDeflate(const Bytes& data, int level) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&zs, static_cast<uLong>(data.size())));
  zs.next_in = const_cast<Bytef*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(out.size() - zs.avail_out);
  deflateEnd(&zs);
  return out;
}

// The Adler-32 of `data` with its bytes swapped, so that Put32 writes it as a zlib
// stream ends: most significant byte first.
uint32_t AdlerBigEndian(const Bytes& data) {
  const uint32_t a = static_cast<uint32_t>(
      adler32(adler32(0, nullptr, 0), data.data(), static_cast<uInt>(data.size())));
  return (a >> 24) | ((a >> 8) & 0xFF00) | ((a << 8) & 0xFF0000) | (a << 24);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <corpus root>\n");
    return 2;
  }
  const fs::path root = argv[1];
  for (const char* harness : {"fuzz_package", "fuzz_codec", "fuzz_decode", "fuzz_options",
                              "fuzz_repack", "fuzz_extract"}) {
    fs::create_directories(root / harness);
  }
  bool ok = true;

  // "数据\文件.txt" in code page 936.
  const std::string cp936Name = "\xCA\xFD\xBE\xDD\\\xCE\xC4\xBC\xFE.txt";
  const std::vector<Entry> few = {
      {"readme.txt", Text("hello, package\r\n")},
      {"data\\zeros.bin", Bytes(3000, 0)},
      {"data/slash\\empty.dat", {}},
      {"text\\lorem.txt", Repeated("lorem ipsum dolor sit amet ", 40)},
  };
  const fs::path packages = root / "fuzz_package";
  ok &= Write(packages / "empty.pck", Package({}, 0));
  ok &= Write(packages / "few_level0.pck", Package(few, 0));
  ok &= Write(packages / "few_level9.pck", Package(few, 9));
  ok &= Write(packages / "cp936_name.pck", Package({{cp936Name, Text("wide name\n")}}, 6));
  ok &= Write(packages / "long_name.pck", Package({{std::string(256, 'n'), Text("x")}}, 1));

  // Packages that write files: names that would leave the output root, duplicates,
  // names that differ only by case, a name that is the folder of another entry's
  // file (both orders), plain and compressed entries side by side, damaged streams.
  const Bytes lorem40 = Repeated("lorem ipsum dolor sit amet ", 40);
  const std::vector<Entry> escaping = {
      {"ok.txt", Text("stays")},
      {"..\\up.txt", Text("one level up")},
      {"a\\..\\..\\up2.txt", Text("two levels up")},
      {"sub\\..\\..\\..\\up3.txt", Text("three levels up")},
      {"\\absolute.txt", Text("absolute")},
      {"/slash_absolute.txt", Text("absolute with a slash")},
      {"C:\\drive.txt", Text("drive letter")},
      {"1:\\digit.txt", Text("digit and colon")},
      {"", Text("no name")},
      {"..ok\\a..b.txt", Text("dots inside names")},
      {"dot\\.\\inside.txt", Text("a dot folder")},
      {"double\\\\sep.txt", Text("two separators")},
      {"trailing\\", Text("ends in a separator")},
  };
  const std::vector<Entry> duplicates = {
      {"dup.txt", Text("first")},
      {"other.txt", Text("between")},
      {"dup.txt", lorem40},
      {"dir\\dup.txt", Text("x")},
      {"dir/dup.txt", Text("same path, other separator")},
      {"dir\\.\\dup.txt", Text("same path through a dot")},
  };
  const std::vector<Entry> cases = {
      {"Case.txt", Text("upper")},
      {"case.txt", Text("lower")},
      {"CASE\\x.txt", Text("upper folder")},
      {"case\\x.txt", Text("lower folder")},
  };
  const std::vector<Entry> prefixFolder = {
      {"folder", Text("a file first")},
      {"folder\\inner.txt", Text("then a file inside it")},
      {"tree\\leaf.txt", Text("a file inside first")},
      {"tree", Text("then the folder as a file")},
  };
  Bytes truncated = Store(lorem40, 9);
  truncated.resize(truncated.size() / 2);
  const Bytes incompressible = [] {
    Bytes out;
    uint32_t x = 12345;
    for (int i = 0; i < 600; ++i)
      out.push_back(static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16));
    return out;
  }();
  std::vector<Entry> mixed = {
      {"plain.txt", lorem40, 0},
      {"packed.txt", lorem40, 9},
      {"noise.bin", incompressible, 9},
      {"empty.dat", {}},
  };
  Entry early{"early.txt", lorem40, 9};
  early.dataSize = static_cast<uint32_t>(lorem40.size() + 100);
  Entry earlyNoise{"early_noise.bin", incompressible, 9};
  earlyNoise.stored = [&] {
    // A stream of incompressible bytes (stored deflate blocks) that ends early.
    uLongf length = compressBound(incompressible.size());
    Bytes out(length);
    compress2(out.data(), &length, incompressible.data(), incompressible.size(), 0);
    out.resize(length);
    return out;
  }();
  earlyNoise.dataSize = static_cast<uint32_t>(incompressible.size() + 50);
  Entry damaged{"damaged.txt", lorem40};
  damaged.stored = truncated;
  Entry streamWithoutData{"stream_no_data.dat", {}};
  streamWithoutData.stored = Store(lorem40, 6);
  Entry junkWithoutData{"junk_no_data.dat", {}};
  junkWithoutData.stored = Text("not a stream");
  const std::vector<Entry> damagedStreams = {
      early, earlyNoise, streamWithoutData, junkWithoutData, damaged, {"after.txt", Text("after")}};
  const std::vector<Entry> readable = {
      early, earlyNoise, streamWithoutData, junkWithoutData, {"after.txt", Text("after")}};

  struct Writing {
    std::string name;
    std::vector<Entry> entries;
    int level;
  };
  const std::vector<Writing> writing = {
      {"escaping", escaping, 6},
      {"duplicates", duplicates, 6},
      {"cases", cases, 0},
      {"prefix_folder", prefixFolder, 9},
      {"mixed", mixed, 6},
      {"damaged_streams", damagedStreams, 6},
      {"early_streams", readable, 6},
      {"few", few, 9},
      {"cp936_name", {{cp936Name, Text("wide name\n")}}, 6},
      {"empty", {}, 0},
  };
  for (const Writing& w : writing) {
    // Each package as the writers make it, and with its records stored plain.
    std::vector<std::pair<std::string, Bytes>> variants = {{w.name, Package(w.entries, w.level)}};
    if (w.level != 0 && !w.entries.empty()) {
      variants.emplace_back(w.name + "_plain_records", Package(w.entries, w.level, 0));
    }
    for (const auto& [name, package] : variants) {
      ok &= Write(root / "fuzz_extract" / (name + ".pck"), package);
      ok &= Write(packages / (name + "_writing.pck"), package);
      const int levels[] = {-1, 0, 9};
      for (size_t i = 0; i < std::size(levels); ++i) {
        const int threads = 1 + static_cast<int>(i % 2);
        const bool inFolder = i == 2;
        ok &= Write(root / "fuzz_repack" /
                        (name + "_level" + std::to_string(levels[i]) + "_threads" +
                         std::to_string(threads) + (inFolder ? "_folder" : "") + ".bin"),
                    RepackInput(levels[i], threads, inFolder, package));
      }
    }
  }

  const fs::path codec = root / "fuzz_codec";
  const Bytes zeros(1000, 0);
  const Bytes lorem = Repeated("lorem ipsum ", 30);
  ok &= Write(codec / "stream_fill.bin", CodecInput(1000, 9, Store(zeros, 9)));
  ok &= Write(codec / "stream_short.bin", CodecInput(276, 6, Store(lorem, 6)));
  ok &= Write(codec / "stream_append.bin", CodecInput(0, -1, Store(lorem, 1)));
  ok &= Write(codec / "plain.bin", CodecInput(16, 0, Text("not a zlib block")));
  ok &= Write(codec / "record.bin", CodecInput(276, 9, Store(Bytes(kRecordSize, 'r'), 9)));
  ok &= Write(codec / "bad_level.bin", CodecInput(5, 10, Text("abcde")));

  // fuzz_decode: shape byte, destination word, payload (see the harness).
  const fs::path decode = root / "fuzz_decode";
  const Bytes text = Repeated("the quick brown fox jumps over the lazy dog 0123456789\n", 400);
  ok &= Write(decode / "stream.bin", DecodeInput(0, 0, Store(lorem, 6)));
  ok &= Write(decode / "stream_big.bin", DecodeInput(0, 7, Store(text, 9)));
  ok &= Write(decode / "compressed_level1.bin", DecodeInput(1 | (1 << 2), 0, text));
  ok &= Write(decode / "damaged.bin", DecodeInput(1 | (6 << 2) | (2 << 6), 0x1234567, text));
  Bytes body = RawDeflate(text, 9);
  Put32(&body, AdlerBigEndian(text));
  ok &= Write(decode / "body_dynamic.bin", DecodeInput(2, 0, body));
  body = RawDeflate(lorem, 1);
  Put32(&body, AdlerBigEndian(lorem));
  ok &= Write(decode / "body_fixed.bin", DecodeInput(2, 0, body));
  ok &= Write(decode / "plain.bin", DecodeInput(3, 0, Text("not a zlib block at all")));

  const fs::path options = root / "fuzz_options";
  ok &= Write(options / "extract.bin", Arguments({"-x", "a.pck"}));
  ok &= Write(options / "create.bin", Arguments({"-z", "12", "-c", "dir", "out.pck"}));
  ok &= Write(options / "repack.bin", Arguments({"-z", " -3", "-r", "a.pck"}));
  ok &= Write(options / "verbose_log.bin", Arguments({"-x", "-v", "/d", "a.pck", "b.pck"}));
  ok &= Write(options / "missing_value.bin", Arguments({"-l", "a.pck", "-c"}));
  ok &= Write(options / "missing_level.bin", Arguments({"/home/a.pck", "-r", "-z"}));
  return ok ? 0 : 1;
}
