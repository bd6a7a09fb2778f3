// format.cpp - encoding and decoding of the fixed-size package structures.
#include "format.h"

#include <cstring>

void PckHeader::Encode(uint8_t out[kPckHeaderSize]) const {
  StoreLe32(out, magic1);
  StoreLe32(out + 4, packageSize);
  StoreLe32(out + 8, magic2);
}

PckHeader PckHeader::Decode(const uint8_t in[kPckHeaderSize]) {
  PckHeader h;
  h.magic1 = LoadLe32(in);
  h.packageSize = LoadLe32(in + 4);
  h.magic2 = LoadLe32(in + 8);
  return h;
}

void PckTrailer::Encode(uint8_t out[kPckTrailerSize]) const {
  StoreLe32(out, guard1);
  StoreLe32(out + 4, version);
  StoreLe32(out + 8, tableOffset);
  std::memcpy(out + 12, reserved, sizeof reserved);
  StoreLe32(out + 268, guard2);
}

PckTrailer PckTrailer::Decode(const uint8_t in[kPckTrailerSize]) {
  PckTrailer t;
  t.guard1 = LoadLe32(in);
  t.version = LoadLe32(in + 4);
  t.tableOffset = LoadLe32(in + 8);
  std::memcpy(t.reserved, in + 12, sizeof t.reserved);
  t.guard2 = LoadLe32(in + 268);
  return t;
}

void PckEntryRecord::Encode(uint8_t out[kPckRecordSize]) const {
  std::memcpy(out, name, sizeof name);
  StoreLe32(out + 256, reserved1);
  StoreLe32(out + 260, offset);
  StoreLe32(out + 264, dataSize);
  StoreLe32(out + 268, storedSize);
  StoreLe32(out + 272, reserved2);
}

PckEntryRecord PckEntryRecord::Decode(const uint8_t in[kPckRecordSize]) {
  PckEntryRecord r;
  std::memcpy(r.name, in, sizeof r.name);
  r.reserved1 = LoadLe32(in + 256);
  r.offset = LoadLe32(in + 260);
  r.dataSize = LoadLe32(in + 264);
  r.storedSize = LoadLe32(in + 268);
  r.reserved2 = LoadLe32(in + 272);
  return r;
}
