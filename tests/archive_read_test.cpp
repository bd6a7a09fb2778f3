// archive_read_test.cpp - PckArchive Open, CopyEntries, ReadEntry and Close on
// packages built by the fixture writer, sound and damaged.
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <functional>

#include "archive.h"
#include "names.h"
#include "pck_writer.h"
#include "test_util.h"

namespace {

using testutil::Text;

using pckfix::AppendLe32;
using pckfix::BuildPackage;
using pckfix::BuildSimplePackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using pckfix::Form;
using pckfix::Gbk;
using pckfix::LoadLe32At;
using pckfix::Zlib;
using testutil::TempDirTest;
using testutil::U16;
using testutil::U8;
using testutil::WriteFile;

std::string Str(const ByteBuffer& b) { return std::string(b.begin(), b.end()); }
std::string NameOf(const PckEntry& e) { return U8(EntryNameView(e.name)); }

FixtureEntry Entry(const std::string& name, const std::string& data, int level = -1) {
  FixtureEntry e;
  e.name = name;
  e.data = data;
  e.level = level;
  return e;
}

class PckArchiveTest : public TempDirTest {
 protected:
  // Writes `bytes` as a package file and opens it.
  PckStatus OpenBytes(const std::string& bytes, const std::string& name = "game.pck") {
    WriteFile(Path(name), bytes);
    return archive_.Open(U16(Path(name)));
  }
  PckStatus OpenPackage(const FixturePackage& package) { return OpenBytes(BuildPackage(package)); }

  std::string Read(const PckEntry& entry) {
    ByteBuffer buffer;
    EXPECT_PCK_OK(archive_.ReadEntry(entry, &buffer)) << NameOf(entry);
    return Str(buffer);
  }

  PckArchive archive_;
};

// --- Sound packages ---------------------------------------------------------------

TEST_F(PckArchiveTest, EmptyPackageIs292BytesAndOpensWithNoEntries) {
  const std::string bytes = BuildPackage(FixturePackage{});
  ASSERT_EQ(292u, bytes.size());
  EXPECT_EQ(292u, LoadLe32At(bytes, 4));
  EXPECT_EQ(12u, LoadLe32At(bytes, 20) ^ pckfix::kMaskA);

  ASSERT_PCK_OK(OpenBytes(bytes));
  EXPECT_TRUE(archive_.IsOpen());
  EntryList list(1);  // CopyEntries appends; what is there stays
  EXPECT_PCK_OK(archive_.CopyEntries(&list));
  EXPECT_EQ(1u, list.size());
}

TEST_F(PckArchiveTest, ReadsTheSmallestLevelZeroPackageOf579Bytes) {
  FixturePackage package;
  package.entries.push_back(Entry("a.txt", "abc", 0));
  package.entries[0].recordForm = Form::kPlain;
  const std::string bytes = BuildPackage(package);
  ASSERT_EQ(579u, bytes.size());
  EXPECT_EQ("abc", bytes.substr(12, 3));
  EXPECT_EQ(276u ^ pckfix::kMaskA, LoadLe32At(bytes, 15));
  EXPECT_EQ(276u ^ pckfix::kMaskB, LoadLe32At(bytes, 19));
  EXPECT_EQ(pckfix::kGuard1, LoadLe32At(bytes, 299));
  EXPECT_EQ(15u, LoadLe32At(bytes, 307) ^ pckfix::kMaskA);
  EXPECT_EQ(1u, LoadLe32At(bytes, 571));
  EXPECT_EQ(pckfix::kVersion, LoadLe32At(bytes, 575));

  ASSERT_PCK_OK(OpenBytes(bytes));
  ASSERT_EQ(1u, archive_.entries().size());
  const PckEntry& e = archive_.entries()[0];
  EXPECT_EQ("a.txt", NameOf(e));
  EXPECT_EQ(12u, e.offset);
  EXPECT_EQ(3u, e.dataSize);
  EXPECT_EQ(3u, e.storedSize);
  EXPECT_EQ("abc", Read(e));
}

TEST_F(PckArchiveTest, ReadsPlainAndZlibEntriesWithEveryField) {
  FixturePackage package;
  package.entries.push_back(Entry("plain.bin", Text(700), 0));
  package.entries.push_back(Entry("text.txt", Text(5000, "some text "), 9));
  package.entries.push_back(Entry("empty", ""));
  package.entries.push_back(Entry("one", "x"));  // stored plain: the stream would be longer
  package.entries.push_back(Entry("big.dat", Text(200000, "0123456789abcdef"), 1));
  package.entries[1].reserved1 = 0xDEADBEEF;
  package.entries[1].reserved2 = 0x01020304;
  package.entries[0].recordForm = Form::kPlain;
  package.entries[3].recordLevel = 9;
  ASSERT_PCK_OK(OpenPackage(package));

  EntryList list;
  ASSERT_PCK_OK(archive_.CopyEntries(&list));
  ASSERT_EQ(5u, list.size());
  uint32_t offset = 12;
  for (size_t i = 0; i < list.size(); ++i) {
    const FixtureEntry& want = package.entries[i];
    const PckEntry& got = list[i];
    EXPECT_EQ(want.name, NameOf(got));
    EXPECT_EQ(offset, got.offset) << i;
    EXPECT_EQ(want.data.size(), got.dataSize) << i;
    EXPECT_EQ(want.reserved1, got.reserved1) << i;
    EXPECT_EQ(want.reserved2, got.reserved2) << i;
    offset += got.storedSize;
  }
  EXPECT_EQ(700u, list[0].storedSize);
  EXPECT_LT(list[1].storedSize, 5000u);
  EXPECT_EQ(0u, list[2].storedSize);
  EXPECT_EQ(1u, list[3].storedSize);

  // Every read seeks first: any order, any number of times.
  for (int round = 0; round < 2; ++round) {
    for (size_t i = list.size(); i-- > 0;) EXPECT_EQ(package.entries[i].data, Read(list[i]));
  }
}

TEST_F(PckArchiveTest, NamesAreCodePage936WithBackslashSeparators) {
  const std::string gbk = Gbk("数据\\测试.txt");
  ASSERT_EQ(std::string("\xCA\xFD\xBE\xDD\x5C\xB2\xE2\xCA\xD4\x2E\x74\x78\x74"), gbk);

  FixturePackage package;
  package.entries.push_back(Entry(gbk, "1"));
  package.entries.push_back(Entry("models/npc/a.ski", "2"));
  package.entries.push_back(Entry(Gbk("数据/子/文件.txt"), "3"));
  package.entries.push_back(Entry("same", "4"));
  package.entries.push_back(Entry("same", "5"));
  package.entries.push_back(Entry("", "6"));
  ASSERT_PCK_OK(OpenPackage(package));

  const EntryList& e = archive_.entries();
  ASSERT_EQ(6u, e.size());
  EXPECT_EQ(u"数据\\测试.txt", EntryNameView(e[0].name));
  EXPECT_EQ(u"models\\npc\\a.ski", EntryNameView(e[1].name));
  EXPECT_EQ(u"数据\\子\\文件.txt", EntryNameView(e[2].name));
  EXPECT_EQ(u"same", EntryNameView(e[3].name));
  EXPECT_EQ(u"same", EntryNameView(e[4].name));
  EXPECT_EQ("4", Read(e[3]));
  EXPECT_EQ("5", Read(e[4]));
  EXPECT_EQ(u"", EntryNameView(e[5].name));
  for (const PckEntry& entry : e) {
    for (size_t i = EntryNameView(entry.name).size(); i < kPckNameUnits; ++i) {
      ASSERT_EQ(0, entry.name[i]) << NameOf(entry);
    }
  }
}

TEST_F(PckArchiveTest, NameFieldWithoutNulStopsAtTheFieldEnd) {
  // A 256-byte name fills the field; the words after it must not become name.
  FixturePackage package;
  package.entries.push_back(Entry(std::string(256, 'n'), "full"));
  package.entries[0].reserved1 = 0x41414141;  // "AAAA" right behind the field
  package.entries.push_back(Entry(std::string(255, 'm'), "longest"));
  package.entries.push_back(Entry(std::string(127, 'k') + Gbk("字"), "double at the end"));
  ASSERT_PCK_OK(OpenPackage(package));

  const EntryList& e = archive_.entries();
  ASSERT_EQ(3u, e.size());
  EXPECT_EQ(std::u16string(255, u'n'), EntryNameView(e[0].name));
  EXPECT_EQ(0, e[0].name[255]);
  EXPECT_EQ(0x41414141u, e[0].reserved1);
  EXPECT_EQ("full", Read(e[0]));
  EXPECT_EQ(std::u16string(255, u'm'), EntryNameView(e[1].name));
  EXPECT_EQ(std::u16string(127, u'k') + u"字", EntryNameView(e[2].name));
}

TEST_F(PckArchiveTest, PlainRecordBodyOf276BytesIsTakenAsTheRecord) {
  FixturePackage package;
  package.entries.push_back(Entry("a", Text(3000), 9));
  package.entries.push_back(Entry("b", "bbb", 0));
  package.entries[0].recordForm = Form::kPlain;
  package.entries[1].recordForm = Form::kZlib;
  ASSERT_PCK_OK(OpenPackage(package));
  ASSERT_EQ(2u, archive_.entries().size());
  EXPECT_EQ(Text(3000), Read(archive_.entries()[0]));
  EXPECT_EQ("bbb", Read(archive_.entries()[1]));
}

TEST_F(PckArchiveTest, UncheckedWordsDoNotMatter) {
  FixturePackage package;
  package.entries.push_back(Entry("a", "alpha"));
  package.packageSize = 0xFFFFFFFF;
  package.trailerVersion = 0x12345678;
  package.trailerReserved = std::string(256, '\x7F');
  ASSERT_PCK_OK(OpenPackage(package));
  ASSERT_EQ(1u, archive_.entries().size());
  EXPECT_EQ("alpha", Read(archive_.entries()[0]));

  // With no entries the table position is never used.
  FixturePackage empty;
  empty.tableOffset = 0x7FFFFFF0;
  EXPECT_PCK_OK(OpenPackage(empty));
  EXPECT_TRUE(archive_.entries().empty());
}

// --- Damaged packages -------------------------------------------------------------

struct DamageCase {
  const char* what;
  std::function<std::string()> bytes;
  std::vector<PckStatus> allowed;  // the first one is the expected status
};

FixturePackage TwoEntries() {
  FixturePackage package;
  package.entries.push_back(Entry("first.txt", Text(400)));
  package.entries.push_back(Entry("second.txt", "second"));
  return package;
}

std::string With(const std::function<void(FixturePackage&)>& change) {
  FixturePackage package = TwoEntries();
  change(package);
  return BuildPackage(package);
}

const PckStatus k2 = PckStatus::kNotSupported;
const PckStatus k3 = PckStatus::kGuardByteError;
const PckStatus k4 = PckStatus::kZlibError;

TEST_F(PckArchiveTest, DamagedPackagesFailWithTheirStatus) {
  const std::string sound = BuildPackage(TwoEntries());
  const DamageCase cases[] = {
      {"empty file", [] { return std::string(); }, {k2}},
      {"11 bytes", [&] { return sound.substr(0, 11); }, {k2}},
      {"header alone", [&] { return sound.substr(0, 12); }, {k2}},
      {"magic1", [] { return With([](auto& p) { p.magic1 ^= 1; }); }, {k2}},
      {"magic2", [] { return With([](auto& p) { p.magic2 = 0; }); }, {k2}},
      {"version", [] { return With([](auto& p) { p.version = 0x00020003; }); }, {k2}},
      {"last byte cut", [&] { return sound.substr(0, sound.size() - 1); }, {k2}},
      {"guard1", [] { return With([](auto& p) { p.guard1 = 0xFDFDFEEF; }); }, {k3}},
      {"guard2", [] { return With([](auto& p) { p.guard2 = 0; }); }, {k3}},
      {"lengthB disagrees",
       [] { return With([](auto& p) { p.entries[1].lengthB = 1u ^ pckfix::kMaskB; }); },
       {k3}},
      {"table past the end", [] { return With([](auto& p) { p.tableOffset = 100000; }); }, {k3}},
      {"table at 2^31 and beyond",
       [] { return With([](auto& p) { p.tableOffset = 0x80000000u; }); },
       {k3}},
      {"count larger than the table",
       [] { return With([](auto& p) { p.entryCount = 3; }); },
       {k3, k4}},
      {"count 0xFFFFFFFF",
       [] { return With([](auto& p) { p.entryCount = 0xFFFFFFFF; }); },
       {k3, k4}},
      {"body of garbage",
       [] { return With([](auto& p) { p.entries[1].recordBody = std::string(100, '\x99'); }); },
       {k4}},
      {"body of 277 plain bytes",
       [] {
         return With([](auto& p) {
           p.entries[1].recordBody = pckfix::RecordBytes("second.txt", 0, 0, 0, 0, 0) + "x";
         });
       },
       {k4}},
      {"body decoding to fewer than 276 bytes",
       [] { return With([](auto& p) { p.entries[1].recordBody = Zlib(std::string(100, 'r')); }); },
       {k4}},
      {"body decoding to more than 276 bytes",
       [] { return With([](auto& p) { p.entries[1].recordBody = Zlib(std::string(300, 'r')); }); },
       {k4}},
      {"body length 0", [] { return With([](auto& p) { p.entries[0].recordBody = ""; }); }, {k4}},
  };
  for (const DamageCase& c : cases) {
    const PckStatus status = OpenBytes(c.bytes());
    EXPECT_NE(c.allowed.end(), std::find(c.allowed.begin(), c.allowed.end(), status))
        << c.what << ": status " << static_cast<int>(status);
  }
}

// A record whose two length words agree but claim more bytes than follow it (less
// than 2^31) is read with whatever the file holds and zeros beyond its end, then
// decoded: a stream complete within the bytes present opens, and the next record is
// looked for where the claimed length ends.
TEST_F(PckArchiveTest, OverstatedRecordLengthsDecodeWhatTheFileHolds) {
  const std::string sound = BuildPackage(TwoEntries());
  const uint32_t fileSize = static_cast<uint32_t>(sound.size());
  struct Case {
    const char* what;
    uint32_t extra;
  };
  const Case extras[] = {
      {"by 1", 1},
      {"by the trailer", 272},
      {"by the trailer, count and version", 280},
      {"past the end of the file", 290},
      {"by more than the file", fileSize + 1},
      {"to 2^31 - 1", 0},  // the longest length that is not refused (below)
  };
  for (const Case& c : extras) {
    for (size_t which : {size_t{0}, size_t{1}}) {
      FixturePackage package = TwoEntries();
      // The body length the writer used, found through the masked table offset.
      uint32_t at = LoadLe32At(sound, sound.size() - 280 + 8) ^ pckfix::kMaskA;
      for (size_t i = 0; i < which; ++i) at += 8 + (LoadLe32At(sound, at) ^ pckfix::kMaskA);
      const uint32_t body = LoadLe32At(sound, at) ^ pckfix::kMaskA;
      const uint32_t length = c.extra ? body + c.extra : 0x7FFFFFFFu;
      package.entries[which].lengthA = length ^ pckfix::kMaskA;
      package.entries[which].lengthB = length ^ pckfix::kMaskB;
      const PckStatus status = OpenPackage(package);
      if (which == 1) {
        // The last record: its stream ends within the file, the rest is ignored.
        EXPECT_PCK_OK(status) << c.what;
        ASSERT_EQ(2u, archive_.entries().size()) << c.what;
        EXPECT_EQ("second", Read(archive_.entries()[1])) << c.what;
      } else {
        // A middle record decodes, but the next one is looked for after the claimed
        // length, where the length words do not agree (or read as zeros).
        EXPECT_EQ(k3, status) << c.what;
        ASSERT_EQ(1u, archive_.entries().size()) << c.what;
        EXPECT_EQ("first.txt", NameOf(archive_.entries()[0])) << c.what;
      }
    }
  }
}

// A plain record body that runs past the end of the file is 276 bytes with zeros
// for what is missing; any other length that does not inflate fails.
TEST_F(PckArchiveTest, OverstatedPlainRecordFailsUnlessItsLengthIsARecord) {
  FixturePackage package = TwoEntries();
  package.entries[1].recordForm = Form::kPlain;
  package.entries[1].lengthA = 277u ^ pckfix::kMaskA;
  package.entries[1].lengthB = 277u ^ pckfix::kMaskB;
  EXPECT_EQ(k4, OpenPackage(package));
}

TEST_F(PckArchiveTest, FailingRecordKeepsTheEntriesBeforeIt) {
  FixturePackage package = TwoEntries();
  package.entries.push_back(Entry("third.txt", "third"));
  package.entries[2].lengthA = 0;
  EXPECT_EQ(PckStatus::kGuardByteError, OpenPackage(package));
  ASSERT_EQ(2u, archive_.entries().size());
  EXPECT_EQ("second.txt", NameOf(archive_.entries()[1]));
}

TEST_F(PckArchiveTest, MissingFileGivesStatusOneAndNoStream) {
  EXPECT_EQ(PckStatus::kFileOpenError, archive_.Open(U16(Path("missing.pck"))));
  EXPECT_FALSE(archive_.IsOpen());
  EXPECT_EQ(PckStatus::kFileOpenError, archive_.Open(U16(dir_)));  // a directory
  EXPECT_FALSE(archive_.IsOpen());
}

// Runs `body` in a child process with a capped address space and returns its
// exit code, or -1 when it died: an allocation sized from a damaged field fails
// there instead of succeeding quietly on an overcommitting host.
#ifdef _WIN32
// Windows has no address-space cap for a child: the body runs in the test process,
// which still checks every status the damaged fields give.
int InCappedChild(const std::function<int()>& body) { return body(); }
#else
int InCappedChild(const std::function<int()>& body) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // A sanitizer's shadow memory alone exceeds any such cap; there its own
    // allocator limits stand in for it.
    struct rlimit limit = {rlim_t{768} << 20, rlim_t{768} << 20};
    setrlimit(RLIMIT_AS, &limit);
#endif
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

TEST_F(PckArchiveTest, HugeCountsAndLengthsAllocateNothingForThemselves) {
  const std::string cases[] = {
      With([](auto& p) { p.entryCount = 0xFFFFFFFF; }),
      With([](auto& p) {
        p.entries[0].lengthA = 0xFFFFFFF0u ^ pckfix::kMaskA;
        p.entries[0].lengthB = 0xFFFFFFF0u ^ pckfix::kMaskB;
      }),
  };
  for (const std::string& bytes : cases) {
    WriteFile(Path("huge.pck"), bytes);
    const int code = InCappedChild([&] {
      PckArchive archive;
      return static_cast<int>(archive.Open(U16(Path("huge.pck"))));
    });
    EXPECT_TRUE(code == 3 || code == 4) << code;
  }
}

// --- Reopening and closing --------------------------------------------------------

TEST_F(PckArchiveTest, OpenReplacesTheEntriesOfTheEarlierPackage) {
  ASSERT_PCK_OK(OpenBytes(BuildSimplePackage({{"a1", "1"}, {"a2", "2"}}), "a.pck"));
  ASSERT_PCK_OK(OpenBytes(BuildSimplePackage({{"b1", "b"}}), "b.pck"));
  ASSERT_EQ(1u, archive_.entries().size());
  EXPECT_EQ("b1", NameOf(archive_.entries()[0]));
  EXPECT_EQ("b", Read(archive_.entries()[0]));
  EXPECT_EQ(U16(Path("b.pck")), archive_.path());

  ASSERT_PCK_OK(archive_.Open(U16(Path("b.pck"))));
  ASSERT_EQ(1u, archive_.entries().size());
  EXPECT_EQ("b1", NameOf(archive_.entries()[0]));

  // A failed open starts with Close too: nothing of b.pck is left, the path stays.
  EXPECT_EQ(PckStatus::kNotSupported, OpenBytes("not a package", "c.pck"));
  EXPECT_TRUE(archive_.entries().empty());
  EXPECT_EQ(U16(Path("b.pck")), archive_.path());
}

TEST_F(PckArchiveTest, ReadEntryWithoutAnOpenPackageLeavesTheBuffer) {
  PckEntry entry;
  entry.dataSize = 3;
  entry.storedSize = 3;
  entry.offset = 12;
  ByteBuffer buffer = {7, 8, 9, 10};
  EXPECT_EQ(PckStatus::kFileOpenError, archive_.ReadEntry(entry, &buffer));
  EXPECT_EQ((ByteBuffer{7, 8, 9, 10}), buffer);

  ASSERT_PCK_OK(OpenBytes(BuildSimplePackage({{"a", "abc"}})));
  const PckEntry opened = archive_.entries()[0];
  archive_.Close();
  EXPECT_FALSE(archive_.IsOpen());
  EXPECT_TRUE(archive_.entries().empty());
  EXPECT_EQ(U16(Path("game.pck")), archive_.path());
  EXPECT_EQ(PckStatus::kFileOpenError, archive_.ReadEntry(opened, &buffer));
  EXPECT_EQ((ByteBuffer{7, 8, 9, 10}), buffer);
  EntryList list;
  EXPECT_PCK_OK(archive_.CopyEntries(&list));
  EXPECT_TRUE(list.empty());
  archive_.Close();  // twice is harmless
}

// --- Reading entries --------------------------------------------------------------

TEST_F(PckArchiveTest, ReadEntryDecodesEveryStoredForm) {
  const std::string hello = "hello";
  const std::string stream = Zlib(hello);
  const std::string longData = Text(3000);
  struct Case {
    const char* what;
    FixtureEntry entry;
    PckStatus status;
    std::string data;  // expected buffer on success
  };
  auto make = [](const std::string& stored, uint32_t dataSize) {
    FixtureEntry e;
    e.name = "e";
    e.stored = stored;
    e.dataSize = dataSize;
    return e;
  };
  FixtureEntry cutShort = make(Zlib(longData), 5000);  // stream ends after 3000 bytes
  FixtureEntry tooLong = make(Zlib(longData), 1000);   // stream decodes past 1000 bytes
  FixtureEntry plainStream = make(stream, static_cast<uint32_t>(stream.size()));
  FixtureEntry overPlain = make(Zlib(std::string(4000, 'o'), 9), 0);
  overPlain.dataSize = static_cast<uint32_t>(overPlain.stored->size());
  FixtureEntry noStored = make("", 5);
  FixtureEntry empty = make("", 0);
  FixtureEntry garbage = make(std::string(40, '\x99'), 100);
  FixtureEntry plainGarbage = make(std::string(40, '\x99'), 40);
  FixtureEntry cutStream = make(Zlib(longData).substr(0, 20), 3000);

  const Case cases[] = {
      {"empty", empty, PckStatus::kSuccess, ""},
      {"plain bytes", plainGarbage, PckStatus::kSuccess, std::string(40, '\x99')},
      {"plain bytes that are a stream", plainStream, PckStatus::kSuccess, hello},
      {"plain-sized stream decoding past the size", overPlain, PckStatus::kSuccess,
       *overPlain.stored},
      {"stream ending early", cutShort, PckStatus::kSuccess, longData},
      {"stream decoding past dataSize", tooLong, k4, ""},
      {"storedSize 0, dataSize 5", noStored, k4, ""},
      {"garbage", garbage, k4, ""},
      {"cut stream", cutStream, k4, ""},
  };
  FixturePackage package;
  for (const Case& c : cases) package.entries.push_back(c.entry);
  ASSERT_PCK_OK(OpenPackage(package));
  ASSERT_EQ(std::size(cases), archive_.entries().size());
  for (size_t i = 0; i < std::size(cases); ++i) {
    ByteBuffer buffer(9, 0xEE);
    const PckStatus status = archive_.ReadEntry(archive_.entries()[i], &buffer);
    EXPECT_EQ(cases[i].status, status) << cases[i].what;
    if (status == PckStatus::kSuccess) {
      EXPECT_EQ(cases[i].data, Str(buffer)) << cases[i].what;
    }
  }
}

TEST_F(PckArchiveTest, StoredBytesBeyondTheFileGiveStatusFour) {
  FixturePackage package;
  package.entries.push_back(Entry("ok", "fine"));
  FixtureEntry past = Entry("past", Text(100), 0);
  past.storedSize = 100000;  // runs past the end
  past.dataSize = 100000;
  package.entries.push_back(past);
  FixtureEntry far = Entry("far", "far", 0);
  far.offset = 0xFFFFFFF0;
  package.entries.push_back(far);
  FixtureEntry atEnd = Entry("at end", "", 0);
  atEnd.storedSize = 8;
  atEnd.dataSize = 8;
  package.entries.push_back(atEnd);
  for (FixtureEntry& e : package.entries) e.recordForm = Form::kPlain;  // fixed length
  const std::string bytes = BuildPackage(package);
  // The last entry's 8 bytes are the count and the version: inside the file, fine.
  FixturePackage fixed = package;
  fixed.entries[3].offset = static_cast<uint32_t>(bytes.size() - 8);
  ASSERT_PCK_OK(OpenPackage(fixed));

  const EntryList& e = archive_.entries();
  ASSERT_EQ(4u, e.size());
  ByteBuffer buffer;
  EXPECT_EQ(k4, archive_.ReadEntry(e[1], &buffer));
  EXPECT_EQ(k4, archive_.ReadEntry(e[2], &buffer));
  std::string tail;
  AppendLe32(&tail, 4);
  AppendLe32(&tail, pckfix::kVersion);
  EXPECT_EQ(tail, Read(e[3]));
  EXPECT_EQ("fine", Read(e[0]));  // the stream is still usable
}

TEST_F(PckArchiveTest, SizesTheFileCannotJustifyAreRefusedWithoutAllocating) {
  FixturePackage package;
  FixtureEntry huge = Entry("huge", "", 0);
  huge.stored = Zlib(std::string(20000, 'h'), 9);
  huge.dataSize = 0xFFFFFFF0;
  package.entries.push_back(huge);
  FixtureEntry edge = huge;  // 1032 times the stored size can still be a stream
  edge.name = "edge";
  edge.dataSize = static_cast<uint32_t>(huge.stored->size() * 1032);
  package.entries.push_back(edge);
  FixtureEntry beyond = edge;
  beyond.name = "beyond";
  beyond.dataSize = *edge.dataSize + 1;
  package.entries.push_back(beyond);
  FixtureEntry plainHuge = Entry("plain huge", "", 0);
  plainHuge.storedSize = 0xFFFFFFF0;  // stored plain, far beyond the end of the file
  plainHuge.dataSize = 0xFFFFFFF0;
  package.entries.push_back(plainHuge);
  WriteFile(Path("huge.pck"), BuildPackage(package));

  const int code = InCappedChild([&] {
    PckArchive archive;
    if (IsError(archive.Open(U16(Path("huge.pck"))))) return 100;
    ByteBuffer buffer;
    if (archive.ReadEntry(archive.entries()[0], &buffer) != k4) return 101;
    if (archive.ReadEntry(archive.entries()[2], &buffer) != k4) return 102;
    if (archive.ReadEntry(archive.entries()[3], &buffer) != k4) return 105;
    // Allowed by size: decoded, and cut down to the 20000 bytes the stream holds.
    if (IsError(archive.ReadEntry(archive.entries()[1], &buffer))) return 103;
    return buffer == ByteBuffer(20000, 'h') ? 0 : 104;
  });
  EXPECT_EQ(0, code);
}

}  // namespace
