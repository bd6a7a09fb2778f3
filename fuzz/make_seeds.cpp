// make_seeds.cpp - writes the seed corpora of the fuzz harnesses.
//
// Standalone on purpose: the packages are laid out here byte by byte with zlib,
// without the library under test. Usage: make_seeds <corpus root>; it fills
// <root>/fuzz_package, <root>/fuzz_codec and <root>/fuzz_options.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
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

struct Entry {
  std::string name;  // code page 936 bytes, '\' between levels
  Bytes data;
};

Bytes Package(const std::vector<Entry>& entries, int level) {
  Bytes out;
  Put32(&out, kMagic1);
  Put32(&out, 0);  // package size, set at the end
  Put32(&out, kMagic2);
  Bytes table;
  for (const Entry& entry : entries) {
    const uint32_t offset = static_cast<uint32_t>(out.size());
    const Bytes stored = Store(entry.data, level);
    out.insert(out.end(), stored.begin(), stored.end());
    Bytes record(kRecordSize, 0);
    std::copy(entry.name.begin(), entry.name.begin() + std::min<size_t>(entry.name.size(), 256),
              record.begin());
    Set32(&record, 260, offset);
    Set32(&record, 264, static_cast<uint32_t>(entry.data.size()));
    Set32(&record, 268, static_cast<uint32_t>(stored.size()));
    const Bytes body = Store(record, level);
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <corpus root>\n");
    return 2;
  }
  const fs::path root = argv[1];
  for (const char* harness : {"fuzz_package", "fuzz_codec", "fuzz_options"}) {
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

  const fs::path codec = root / "fuzz_codec";
  const Bytes zeros(1000, 0);
  const Bytes lorem = Repeated("lorem ipsum ", 30);
  ok &= Write(codec / "stream_fill.bin", CodecInput(1000, 9, Store(zeros, 9)));
  ok &= Write(codec / "stream_short.bin", CodecInput(276, 6, Store(lorem, 6)));
  ok &= Write(codec / "stream_append.bin", CodecInput(0, -1, Store(lorem, 1)));
  ok &= Write(codec / "plain.bin", CodecInput(16, 0, Text("not a zlib block")));
  ok &= Write(codec / "record.bin", CodecInput(276, 9, Store(Bytes(kRecordSize, 'r'), 9)));
  ok &= Write(codec / "bad_level.bin", CodecInput(5, 10, Text("abcde")));

  const fs::path options = root / "fuzz_options";
  ok &= Write(options / "extract.bin", Arguments({"-x", "a.pck"}));
  ok &= Write(options / "create.bin", Arguments({"-z", "12", "-c", "dir", "out.pck"}));
  ok &= Write(options / "repack.bin", Arguments({"-z", " -3", "-r", "a.pck"}));
  ok &= Write(options / "verbose_log.bin", Arguments({"-x", "-v", "/d", "a.pck", "b.pck"}));
  ok &= Write(options / "missing_value.bin", Arguments({"-l", "a.pck", "-c"}));
  ok &= Write(options / "missing_level.bin", Arguments({"/home/a.pck", "-r", "-z"}));
  return ok ? 0 : 1;
}
