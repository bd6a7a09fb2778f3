// format.h - the on-disk layout of a package: magics, masks, header, trailer, records.
//
// A package is, in this order: the 12-byte PckHeader, the stored bytes of every
// entry, the entry table (per entry two masked length words and the record's
// stored body), the 272-byte PckTrailer, the entry count and the version word.
// Every number in a package is an unsigned 32-bit little-endian word. The reader
// and both writers use only the helpers here, never a struct cast over bytes.
// Nothing here checks a value or can fail; PckArchive does the checking.
#ifndef QUILLO_FORMAT_H_
#define QUILLO_FORMAT_H_

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kPckMagic1 = 0x4DCA23EF;
inline constexpr uint32_t kPckMagic2 = 0x56A089B7;
inline constexpr uint32_t kPckVersion = 0x00020002;
inline constexpr uint32_t kPckGuard1 = 0xFDFDFEEE;
inline constexpr uint32_t kPckGuard2 = 0xF00DBEEF;
// The table position and the first length word of each record are masked with
// kPckMaskA, the second length word with kPckMaskB.
inline constexpr uint32_t kPckMaskA = 0x5C3E91D7;
inline constexpr uint32_t kPckMaskB = 0x2B6F0A84;

inline constexpr size_t kPckHeaderSize = 12;
inline constexpr size_t kPckTrailerSize = 272;
inline constexpr size_t kPckTailSize = kPckTrailerSize + 8;  // trailer, count, version
inline constexpr size_t kPckRecordSize = 276;
inline constexpr size_t kPckNameBytes = 256;
inline constexpr size_t kPckNameUnits = 256;  // UTF-16 units of PckEntry::name, terminator included
// File positions are signed 32-bit values: no package grows past this length.
inline constexpr int64_t kPckMaxPackageSize = 0x7FFFFFFF;

// Returns the little-endian 32-bit word in the four bytes at `p`.
inline uint32_t LoadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Stores `v` as a little-endian 32-bit word in the four bytes at `p`.
inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The 12-byte header at the start of the file (written again at the end of writing).
// Encode writes the three words in file order into `out`; Decode returns the
// header held by `in`, whatever its values.
struct PckHeader {
  uint32_t magic1 = kPckMagic1;
  uint32_t packageSize = 0;
  uint32_t magic2 = kPckMagic2;

  void Encode(uint8_t out[kPckHeaderSize]) const;
  static PckHeader Decode(const uint8_t in[kPckHeaderSize]);
};

// The 272-byte trailer in front of the entry count and the version. Encode writes
// it in file order into `out`; Decode returns the trailer held by `in`, whatever
// its values.
struct PckTrailer {
  uint32_t guard1 = kPckGuard1;
  uint32_t version = kPckVersion;
  uint32_t tableOffset = 0;  // masked: the table position XOR kPckMaskA
  uint8_t reserved[256] = {};
  uint32_t guard2 = kPckGuard2;

  void Encode(uint8_t out[kPckTrailerSize]) const;
  static PckTrailer Decode(const uint8_t in[kPckTrailerSize]);
};

// The 276-byte decoded body of one table record. Encode writes it in file order
// into `out`; Decode returns the record held by `in`, whatever its values (the
// name field is copied as it is, terminated or not).
struct PckEntryRecord {
  uint8_t name[kPckNameBytes] = {};  // code page 936, NUL-terminated unless 256 bytes long
  uint32_t reserved1 = 0;
  uint32_t offset = 0;
  uint32_t dataSize = 0;
  uint32_t storedSize = 0;
  uint32_t reserved2 = 0;

  void Encode(uint8_t out[kPckRecordSize]) const;
  static PckEntryRecord Decode(const uint8_t in[kPckRecordSize]);
};

#endif  // QUILLO_FORMAT_H_
