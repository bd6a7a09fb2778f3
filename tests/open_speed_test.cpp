// open_speed_test.cpp - Open reads the table in batches and decodes them on the
// workers: the entries, the status and failure() must be those of a reading of
// one record after the other, whatever the thread count and wherever a damaged
// record lies (within a batch, at its edges, before and after the list takes its
// full size, found by the reading thread or by a worker).
#include <algorithm>
#include <string>
#include <vector>

#include "archive.h"
#include "names.h"
#include "pck_writer.h"
#include "test_util.h"
#include "work_queue.h"

namespace {

using pckfix::BuildPackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using pckfix::Form;
using pckfix::Gbk;
using testutil::TempDirTest;
using testutil::U16;
using testutil::U8;
using testutil::WriteFile;

constexpr size_t kEntries = 2600;  // several batches, past the point where the list is sized

std::string NameAt(size_t i) {
  // Every twentieth name has characters beyond ASCII, which take the slow conversion.
  return (i % 20 == 7 ? Gbk("数据\\") : std::string("data\\")) + "file" + std::to_string(i) +
         ".bin";
}

FixturePackage Many() {
  FixturePackage package;
  for (size_t i = 0; i < kEntries; ++i) {
    FixtureEntry e;
    e.name = NameAt(i);
    e.data = std::string(1 + i % 5, static_cast<char>('a' + i % 26));
    e.reserved1 = static_cast<uint32_t>(i * 3);
    e.reserved2 = static_cast<uint32_t>(i * 7);
    // Some records stored plain, as a writer keeps them when a stream does not pay.
    if (i % 11 == 3) e.recordForm = Form::kPlain;
    package.entries.push_back(e);
  }
  return package;
}

class OpenBatchTest : public TempDirTest {
 protected:
  void TearDown() override {
    SetPckThreadCount(0);
    TempDirTest::TearDown();
  }
  PckStatus OpenPackage(const FixturePackage& package, unsigned threads) {
    SetPckThreadCount(threads);
    WriteFile(Path("game.pck"), BuildPackage(package));
    return archive_.Open(U16(Path("game.pck")));
  }
  PckArchive archive_;
};

// Every entry of a large sound table, in table order, with every field.
TEST_F(OpenBatchTest, LargeTableReadsTheSameWithEveryThreadCount) {
  const FixturePackage package = Many();
  for (unsigned threads : {1u, 2u, 4u}) {
    ASSERT_EQ(PckStatus::kSuccess, OpenPackage(package, threads)) << threads;
    const EntryList& entries = archive_.entries();
    ASSERT_EQ(kEntries, entries.size()) << threads;
    for (size_t i = 0; i < kEntries; ++i) {
      const PckEntry& e = entries[i];
      ASSERT_EQ(host::Cp936ToUtf16(NameAt(i)), EntryNameView(e.name)) << threads << " " << i;
      // The name field is zero after the name, to its end.
      const size_t length = EntryNameLength(e.name);
      for (size_t u = length; u < kPckNameUnits; ++u) ASSERT_EQ(0, e.name[u]) << i;
      EXPECT_EQ(1 + i % 5, e.dataSize) << i;
      EXPECT_EQ(i * 3, e.reserved1) << i;
      EXPECT_EQ(i * 7, e.reserved2) << i;
    }
  }
}

// A damaged record: the failure names it, and the entries before it are listed.
TEST_F(OpenBatchTest, FirstDamagedRecordInTableOrderIsTheFailure) {
  enum Damage { kLengths, kGarbage, kShort };
  struct Case {
    const char* what;
    std::vector<std::pair<size_t, Damage>> damage;
    size_t failing;  // the index of the record the failure names
    PckStatus status;
    const char* reason;
  };
  const Case cases[] = {
      {"garbage in the first record", {{0, kGarbage}}, 0, PckStatus::kZlibError, "zlib"},
      {"garbage in the middle of a batch", {{300, kGarbage}}, 300, PckStatus::kZlibError, "zlib"},
      {"garbage at a batch's last record", {{511, kGarbage}}, 511, PckStatus::kZlibError, "zlib"},
      {"garbage at a batch's first record", {{512, kGarbage}}, 512, PckStatus::kZlibError, "zlib"},
      {"short record after the list is sized",
       {{1500, kShort}},
       1500,
       PckStatus::kZlibError,
       "not a whole record"},
      {"garbage in the last record",
       {{kEntries - 1, kGarbage}},
       kEntries - 1,
       PckStatus::kZlibError,
       "zlib"},
      {"lengths differ in the middle",
       {{1030, kLengths}},
       1030,
       PckStatus::kGuardByteError,
       "lengths differ"},
      {"garbage before lengths that differ",
       {{700, kGarbage}, {900, kLengths}},
       700,
       PckStatus::kZlibError,
       "zlib"},
      {"garbage in the same batch before lengths that differ",
       {{1030, kGarbage}, {1031, kLengths}},
       1030,
       PckStatus::kZlibError,
       "zlib"},
      {"lengths that differ before garbage",
       {{40, kLengths}, {41, kGarbage}},
       40,
       PckStatus::kGuardByteError,
       "lengths differ"},
      {"two garbage records in different batches",
       {{2000, kGarbage}, {1100, kShort}},
       1100,
       PckStatus::kZlibError,
       "not a whole record"},
  };
  for (const Case& c : cases) {
    FixturePackage package = Many();
    for (const auto& [at, damage] : c.damage) {
      FixtureEntry& e = package.entries[at];
      switch (damage) {
        case kLengths:
          e.lengthA = 60u ^ pckfix::kMaskA;
          e.lengthB = 61u ^ pckfix::kMaskB;
          break;
        case kGarbage:
          e.recordBody = std::string(90, '\x99');
          break;
        case kShort:
          e.recordBody = pckfix::Zlib(std::string(200, 'r'));
          break;
      }
    }
    const std::string reason =
        "damaged entry table (record " + std::to_string(c.failing + 1) + ": " + c.reason + ")";
    for (unsigned threads : {1u, 2u, 4u}) {
      const std::string label = std::string(c.what) + ", threads " + std::to_string(threads);
      EXPECT_EQ(c.status, OpenPackage(package, threads)) << label;
      EXPECT_EQ(reason, U8(archive_.failure().reason)) << label;
      EXPECT_EQ(U16(Path("game.pck")), archive_.failure().subject) << label;
      ASSERT_EQ(c.failing, archive_.entries().size()) << label;
      if (c.failing != 0) {
        EXPECT_EQ(host::Cp936ToUtf16(NameAt(c.failing - 1)),
                  EntryNameView(archive_.entries().back().name))
            << label;
      }
    }
  }
}

}  // namespace

namespace {

// The length of a name held in a 256-unit field: up to its first zero unit, or the
// whole field, whatever the units (the top bit set or clear) and wherever the zero
// falls within a group of units.
TEST(EntryNameLengthTest, StopsAtTheFirstZeroUnitOrTheFieldEnd) {
  const char16_t fills[] = {u'a', u'\x8000', u'\xFFFF', u'\x0100', u'\x7FFF', u'\x8001'};
  for (char16_t fill : fills) {
    for (size_t length :
         {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{4}, size_t{5}, size_t{127},
          size_t{252}, size_t{253}, size_t{254}, size_t{255}, kPckNameUnits}) {
      char16_t name[kPckNameUnits];
      std::fill(name, name + kPckNameUnits, fill);
      if (length < kPckNameUnits) name[length] = 0;
      EXPECT_EQ(length, EntryNameLength(name)) << static_cast<int>(fill) << " " << length;
    }
  }
}

}  // namespace
