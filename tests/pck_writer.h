// pck_writer.h - builds package bytes for tests straight from the format's tables.
//
// This writer shares no code with the library (no format.h, names, codec or
// archive): the layout, magics and masks are written out again here and the
// compressed bodies come from zlib's compress2, so a misreading of the format in
// the library cannot hide behind the same misreading in its tests.
//
// A package is described by a FixturePackage: its entries in table order, and
// overrides for every word that a damaged package might get wrong. BuildPackage
// returns the bytes:
//
//   0       header: magic1, packageSize, magic2
//   12      data area: each entry's stored bytes, back to back, in table order
//   T       table: per entry lengthA, lengthB (masked body length), body
//   L-280   trailer: guard1, version copy, tableOffset (masked T), 256 reserved, guard2
//   L-8     entryCount
//   L-4     version
#ifndef QUILLO_TESTS_PCK_WRITER_H_
#define QUILLO_TESTS_PCK_WRITER_H_

#ifndef _WIN32
#include <iconv.h>
#else
#include "host/host.h"
#endif
#include <zlib.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pckfix {

inline constexpr uint32_t kMagic1 = 0x4DCA23EF;
inline constexpr uint32_t kMagic2 = 0x56A089B7;
inline constexpr uint32_t kVersion = 0x00020002;
inline constexpr uint32_t kGuard1 = 0xFDFDFEEE;
inline constexpr uint32_t kGuard2 = 0xF00DBEEF;
inline constexpr uint32_t kMaskA = 0x5C3E91D7;  // tableOffset and lengthA
inline constexpr uint32_t kMaskB = 0x2B6F0A84;  // lengthB
inline constexpr size_t kRecordSize = 276;
inline constexpr size_t kNameBytes = 256;

// How a block (entry data or a 276-byte record) is stored.
enum class Form {
  kAuto,   // what the writers store: the zlib stream when strictly shorter, else plain
  kPlain,  // the bytes unchanged
  kZlib,   // the zlib stream, even when it is not shorter
};

// One entry of a fixture package. Unset overrides take the values a correct
// writer would write.
struct FixtureEntry {
  std::string name;  // code page 936 bytes; 256 bytes fill the field without a NUL
  std::string data;  // the entry's contents
  Form form = Form::kAuto;
  int level = Z_DEFAULT_COMPRESSION;  // zlib level for kAuto and kZlib; 0 with kAuto stores plain
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;

  // Data area and record fields.
  std::optional<std::string> stored;  // bytes put in the data area instead of the encoded data
  std::optional<uint32_t> offset;
  std::optional<uint32_t> dataSize;    // default: data.size()
  std::optional<uint32_t> storedSize;  // default: the length of the stored bytes

  // Table record.
  Form recordForm = Form::kAuto;
  int recordLevel = Z_DEFAULT_COMPRESSION;
  std::optional<std::string> recordBody;  // the body exactly as written (replaces the record)
  std::optional<uint32_t> lengthA;        // the masked words as written
  std::optional<uint32_t> lengthB;
};

struct FixturePackage {
  std::vector<FixtureEntry> entries;
  uint32_t magic1 = kMagic1;
  uint32_t magic2 = kMagic2;
  std::optional<uint32_t> packageSize;  // default: the real length
  uint32_t guard1 = kGuard1;
  uint32_t guard2 = kGuard2;
  uint32_t trailerVersion = kVersion;
  std::optional<uint32_t> tableOffset;  // unmasked T; default: the real table position
  std::string trailerReserved = std::string(256, '\0');  // padded or cut to 256 bytes
  std::optional<uint32_t> entryCount;                    // default: entries.size()
  uint32_t version = kVersion;
};

inline void AppendLe32(std::string* out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>(v >> shift));
}

inline uint32_t LoadLe32At(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes.at(at + i));
  return v;
}

// The zlib stream of `data` at `level`, as compress2 writes it (window bits 15,
// memory level 8, default strategy).
inline std::string Zlib(const std::string& data, int level = Z_DEFAULT_COMPRESSION) {
  uLongf size = compressBound(data.size());
  std::string out(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(data.data()), data.size(), level) != Z_OK) {
    throw std::runtime_error("compress2 failed");
  }
  out.resize(size);
  return out;
}

// What a correct writer stores for `data`: nothing for no data, plain at level 0
// or when the stream would not be shorter, else the stream.
inline std::string Encode(const std::string& data, Form form, int level) {
  if (data.empty() && form != Form::kZlib) return {};
  if (form == Form::kPlain || (form == Form::kAuto && level == 0)) return data;
  std::string stream = Zlib(data, level);
  if (form == Form::kAuto && stream.size() >= data.size()) return data;
  return stream;
}

// UTF-8 text to code page 936 bytes: glibc's CP936 table on Linux, independent of
// the host layer; on Windows the system's table, the one the host layer uses too.
inline std::string Gbk(const std::string& utf8) {
#ifdef _WIN32
  std::string out;
  if (!host::Utf16ToCp936(host::Utf8ToUtf16(utf8), &out)) {
    throw std::runtime_error("not code page 936 text");
  }
  return out;
#else
  iconv_t cd = iconv_open("CP936", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no CP936 in iconv");
  std::string in = utf8;
  std::string out(in.size() * 2 + 4, '\0');
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  const size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (result == static_cast<size_t>(-1)) throw std::runtime_error("not code page 936 text");
  out.resize(out.size() - outLeft);
  return out;
#endif
}

// The 276 decoded bytes of a table record.
inline std::string RecordBytes(const std::string& name, uint32_t reserved1, uint32_t offset,
                               uint32_t dataSize, uint32_t storedSize, uint32_t reserved2) {
  std::string record = name.substr(0, kNameBytes);
  record.resize(kNameBytes, '\0');
  AppendLe32(&record, reserved1);
  AppendLe32(&record, offset);
  AppendLe32(&record, dataSize);
  AppendLe32(&record, storedSize);
  AppendLe32(&record, reserved2);
  return record;
}

inline std::string BuildPackage(const FixturePackage& package) {
  std::string out;
  AppendLe32(&out, package.magic1);
  AppendLe32(&out, 0);  // packageSize, filled in at the end
  AppendLe32(&out, package.magic2);

  std::vector<std::string> records;
  for (const FixtureEntry& e : package.entries) {
    const std::string stored = e.stored ? *e.stored : Encode(e.data, e.form, e.level);
    const uint32_t offset = e.offset ? *e.offset : static_cast<uint32_t>(out.size());
    out += stored;
    records.push_back(RecordBytes(
        e.name, e.reserved1, offset,
        e.dataSize ? *e.dataSize : static_cast<uint32_t>(e.data.size()),
        e.storedSize ? *e.storedSize : static_cast<uint32_t>(stored.size()), e.reserved2));
  }

  const uint32_t table = static_cast<uint32_t>(out.size());
  for (size_t i = 0; i < package.entries.size(); ++i) {
    const FixtureEntry& e = package.entries[i];
    const std::string body =
        e.recordBody ? *e.recordBody : Encode(records[i], e.recordForm, e.recordLevel);
    const uint32_t length = static_cast<uint32_t>(body.size());
    AppendLe32(&out, e.lengthA ? *e.lengthA : length ^ kMaskA);
    AppendLe32(&out, e.lengthB ? *e.lengthB : length ^ kMaskB);
    out += body;
  }

  AppendLe32(&out, package.guard1);
  AppendLe32(&out, package.trailerVersion);
  AppendLe32(&out, (package.tableOffset ? *package.tableOffset : table) ^ kMaskA);
  std::string reserved = package.trailerReserved;
  reserved.resize(256, '\0');
  out += reserved;
  AppendLe32(&out, package.guard2);
  AppendLe32(&out, package.entryCount ? *package.entryCount
                                      : static_cast<uint32_t>(package.entries.size()));
  AppendLe32(&out, package.version);

  std::string size;
  AppendLe32(&size, package.packageSize ? *package.packageSize : static_cast<uint32_t>(out.size()));
  out.replace(4, 4, size);
  return out;
}

// A package of (name, data) entries, stored as a correct writer stores them at
// zlib's default level.
inline std::string BuildSimplePackage(
    const std::vector<std::pair<std::string, std::string>>& files) {
  FixturePackage package;
  for (const auto& [name, data] : files) {
    FixtureEntry entry;
    entry.name = name;
    entry.data = data;
    package.entries.push_back(entry);
  }
  return BuildPackage(package);
}

}  // namespace pckfix

#endif  // QUILLO_TESTS_PCK_WRITER_H_
