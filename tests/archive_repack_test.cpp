// archive_repack_test.cpp - PckArchive::Repack: the package it writes at each level,
// checked against the fixture writer, the progress it reports, the free-space test,
// and what every failure leaves on disk.
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <tuple>

#include "archive.h"
#include "names.h"
#include "pck_writer.h"
#include "test_util.h"

namespace {

using testutil::Text;

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using pckfix::Form;
using pckfix::Gbk;
using pckfix::LoadLe32At;
using testutil::ReadFile;
using testutil::TempDirTest;
using testutil::U16;
using testutil::U8;
using testutil::WriteFile;

std::string Noise(size_t size, unsigned seed = 5) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

FixtureEntry Entry(const std::string& name, const std::string& data) {
  FixtureEntry e;
  e.name = name;
  e.data = data;
  return e;
}

// The stored bytes the fixture writer puts down for `e`.
std::string OldStored(const FixtureEntry& e) {
  return e.stored ? *e.stored : pckfix::Encode(e.data, e.form, e.level);
}

uint32_t DataSize(const FixtureEntry& e) {
  return e.dataSize ? *e.dataSize : static_cast<uint32_t>(e.data.size());
}

// True when `encoded`, made of `data` by a writer, reads back as `data` for an entry of
// `dataSize`: stored plain only when data fills dataSize, and as a stream not beyond
// the 1032-to-1 reach of deflate.
bool ReadsBack(const std::string& encoded, const std::string& data, uint32_t dataSize) {
  if (encoded.size() == data.size() && data.size() != dataSize) return false;
  return encoded.size() == dataSize || dataSize <= uint64_t{encoded.size()} * 1032;
}

// The package a correct repack at `level` makes of `original`: -1 and entries without
// data keep their stored bytes, every other entry is encoded again from what its
// stored bytes decode to (`data`), unless the new bytes would not read back as that
// (a stream that ended early), and every record is encoded at `level`. Names read
// with '/' are written back with '\'; the reserved words and dataSize are kept.
std::string ExpectedRepack(const FixturePackage& original, int level) {
  FixturePackage out;
  for (const FixtureEntry& e : original.entries) {
    FixtureEntry n;
    n.name = e.name;
    std::replace(n.name.begin(), n.name.end(), '/', '\\');
    n.reserved1 = e.reserved1;
    n.reserved2 = e.reserved2;
    n.dataSize = DataSize(e);
    n.recordLevel = level;
    if (level == -1 || DataSize(e) == 0 ||
        !ReadsBack(pckfix::Encode(e.data, Form::kAuto, level), e.data, DataSize(e))) {
      n.stored = OldStored(e);
      if (e.storedSize) n.storedSize = *e.storedSize;
    } else {
      n.data = e.data;
      n.level = level;
    }
    out.entries.push_back(n);
  }
  return BuildPackage(out);
}

// Every kind of entry: a code page 936 name, reserved words, a compressible entry
// stored plain, incompressible data, no data, a fast stream, a name read with '/'.
FixturePackage MixedPackage() {
  FixturePackage p;
  FixtureEntry a = Entry(Gbk("数据\\说明.txt"), Text(3000, "说明文字 "));
  a.reserved1 = 0x11223344;
  a.reserved2 = 0xA5A5A5A5;
  p.entries.push_back(a);
  FixtureEntry plain = Entry("plain.txt", Text(2000));
  plain.form = Form::kPlain;
  plain.reserved1 = 0xFFFFFFFF;
  plain.recordForm = Form::kPlain;
  p.entries.push_back(plain);
  p.entries.push_back(Entry("noise.bin", Noise(3000)));
  FixtureEntry empty = Entry("empty.txt", "");
  empty.reserved2 = 7;
  p.entries.push_back(empty);
  FixtureEntry fast = Entry("fast.txt", Text(9000, "abc "));
  fast.level = 1;
  p.entries.push_back(fast);
  p.entries.push_back(Entry("sub/slash.txt", "x"));
  return p;
}

// One decoded table record of a package, with the length of its stored body.
struct Record {
  std::string name;
  uint32_t reserved1, offset, dataSize, storedSize, reserved2;
  uint32_t bodyLength;
};

std::vector<Record> ParseTable(const std::string& bytes) {
  const size_t length = bytes.size();
  size_t at = LoadLe32At(bytes, length - 280 + 8) ^ pckfix::kMaskA;
  const uint32_t count = LoadLe32At(bytes, length - 8);
  std::vector<Record> out;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t s = LoadLe32At(bytes, at) ^ pckfix::kMaskA;
    std::string body = bytes.substr(at + 8, s);
    std::string record(pckfix::kRecordSize, '\0');
    if (s != pckfix::kRecordSize) {
      uLongf size = record.size();
      uncompress(reinterpret_cast<Bytef*>(record.data()), &size,
                 reinterpret_cast<const Bytef*>(body.data()), body.size());
    } else {
      record = body;
    }
    Record r;
    r.name = record.substr(0, record.find('\0'));
    r.reserved1 = LoadLe32At(record, 256);
    r.offset = LoadLe32At(record, 260);
    r.dataSize = LoadLe32At(record, 264);
    r.storedSize = LoadLe32At(record, 268);
    r.reserved2 = LoadLe32At(record, 272);
    r.bodyLength = s;
    out.push_back(r);
    at += 8 + s;
  }
  return out;
}

// --- Host doubles ---------------------------------------------------------------------

// A working file that fails as asked and otherwise is the real one.
class FaultyTemp final : public testutil::FaultyFile {
 public:
  FaultyTemp(host::File* raw, std::unique_ptr<host::File> real, testutil::Faults faults)
      : FaultyFile(std::move(real), faults), raw_(raw) {}
  bool Describe(int64_t* size, host::FileId* id) override { return raw_->Describe(size, id); }
  bool CopyAccessFrom(const std::u16string& path) override { return raw_->CopyAccessFrom(path); }

 private:
  host::File* raw_;
};

// The real host, recording what Repack asks of it and failing what a test chooses.
class RepackHost : public host::HostWrapper {
 public:
  RepackHost() : HostWrapper(host::Host::Default()) {}

  std::unique_ptr<host::File> OpenFile(const std::u16string& path, host::OpenMode mode) override {
    if (mode != host::OpenMode::kRead) writeOpens.push_back(path);
    return target_.OpenFile(path, mode);
  }
  std::unique_ptr<host::File> OpenExclusive(const std::u16string& path,
                                            host::ExclusiveOpen* outcome) override {
    writeOpens.push_back(path);
    if (refuseTemp) {
      *outcome = host::ExclusiveOpen::kFailed;
      return nullptr;
    }
    auto real = target_.OpenExclusive(path, outcome);
    if (real && (failWriteAt >= 0 || failSync)) {
      host::File* raw = real.get();
      return std::make_unique<FaultyTemp>(
          raw, std::move(real), testutil::Faults{.failWriteAt = failWriteAt, .failSync = failSync});
    }
    return real;
  }
  bool RenameFile(const std::u16string& from, const std::u16string& to) override {
    renames.emplace_back(from, to);
    if (from == failRenameFrom) return false;
    return target_.RenameFile(from, to);
  }
  uint64_t FreeBytes(const std::u16string& directory) override {
    freeQueries.push_back(directory);
    return freeBytes ? *freeBytes : target_.FreeBytes(directory);
  }

  // Faults.
  bool refuseTemp = false;
  int64_t failWriteAt = -1;
  bool failSync = false;
  std::u16string failRenameFrom;
  std::optional<uint64_t> freeBytes;

  // What was asked.
  std::vector<std::u16string> writeOpens;
  std::vector<std::pair<std::u16string, std::u16string>> renames;
  std::vector<std::u16string> freeQueries;
};

using ProgressCall = std::tuple<int32_t, int32_t, std::u16string>;
std::vector<ProgressCall> progressCalls;

int RecordProgress(int32_t done, int32_t total, const char16_t* label) {
  progressCalls.emplace_back(done, total, label);
  return 0;
}

class RepackTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    progressCalls.clear();
  }

  // Writes `package` as "game.pck", opens it and repacks it at `level`.
  PckStatus RepackBytes(const std::string& bytes, int level, const std::string& path = "game.pck",
                        ProgressCallback progress = nullptr) {
    WriteFile(Path(path), bytes);
    fs::remove(Path(path + ".old"));
    PckArchive archive;
    if (archive.Open(U16(path)) != PckStatus::kSuccess) return PckStatus::kCriticalError;
    return archive.Repack(level, progress);
  }

  void UseHost() { host::Host::SetCurrent(&host_); }

  RepackHost host_;
};

// --- Successful repacks ---------------------------------------------------------------

TEST_F(RepackTest, LevelMinusOneReproducesAPackageThatCreateWrote) {
  const std::vector<std::pair<std::string, std::string>> sources = {
      {"数据/说明.txt", Text(4000, "说明 ")}, {"empty.txt", ""}, {"noise.bin", Noise(2000)},
      {"a/b/deep.txt", Text(20000)},          {"one.bin", "x"},
  };
  FileList files;
  const std::u16string base = U16(Path("src")) + host::kPathSeparator;
  for (const auto& [name, data] : sources) {
    WriteFile(Path("src/" + name), data);
    files.push_back(base + testutil::HostPath16(name));
  }
  std::string created;
  {
    PckArchive archive;
    ASSERT_PCK_OK(archive.Create(base, -1, u"game.pck", files, nullptr));
    created = ReadFile(Path("game.pck"));
  }
  PckArchive archive;
  ASSERT_PCK_OK(archive.Open(u"game.pck"));
  ASSERT_PCK_OK(archive.Repack(-1, nullptr));
  EXPECT_EQ(created, ReadFile(Path("game.pck")));
  EXPECT_EQ(created, ReadFile(Path("game.pck.old")));
  EXPECT_FALSE(fs::exists(Path("tmp.pck")));
}

TEST_F(RepackTest, WritesThePackageOfTheFormatAtEachLevelAndKeepsTheOldOne) {
  const FixturePackage original = MixedPackage();
  const std::string bytes = BuildPackage(original);
  for (int level = -1; level <= 9; ++level) {
    SCOPED_TRACE(level);
    WriteFile(Path("game.pck"), bytes);
    fs::remove(Path("game.pck.old"));
    PckArchive archive;
    ASSERT_PCK_OK(archive.Open(u"game.pck"));
    ASSERT_PCK_OK(archive.Repack(level, nullptr));
    const std::string expected = ExpectedRepack(original, level);
    EXPECT_EQ(expected, ReadFile(Path("game.pck")));
    EXPECT_EQ(bytes, ReadFile(Path("game.pck.old")));
    EXPECT_FALSE(fs::exists(Path("tmp.pck")));

    // The archive has opened the new package and reads every entry from it.
    ASSERT_TRUE(archive.IsOpen());
    ASSERT_EQ(original.entries.size(), archive.entries().size());
    const std::vector<Record> records = ParseTable(expected);
    for (size_t i = 0; i < original.entries.size(); ++i) {
      const PckEntry& entry = archive.entries()[i];
      EXPECT_EQ(records[i].offset, entry.offset);
      EXPECT_EQ(records[i].storedSize, entry.storedSize);
      EXPECT_EQ(original.entries[i].reserved1, entry.reserved1);
      EXPECT_EQ(original.entries[i].reserved2, entry.reserved2);
      ByteBuffer data;
      ASSERT_PCK_OK(archive.ReadEntry(entry, &data));
      EXPECT_EQ(original.entries[i].data, std::string(data.begin(), data.end()));
    }
    EXPECT_EQ(u"sub\\slash.txt", EntryNameView(archive.entries().back().name));
  }
}

TEST_F(RepackTest, LevelZeroStoresEveryEntryAndEveryRecordPlain) {
  const FixturePackage original = MixedPackage();
  ASSERT_PCK_OK(RepackBytes(BuildPackage(original), 0));
  const std::string bytes = ReadFile(Path("game.pck"));
  const std::vector<Record> records = ParseTable(bytes);
  ASSERT_EQ(original.entries.size(), records.size());
  uint32_t offset = 12;
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(276u, records[i].bodyLength);
    EXPECT_EQ(records[i].dataSize, records[i].storedSize);
    EXPECT_EQ(offset, records[i].offset);
    EXPECT_EQ(original.entries[i].data, bytes.substr(records[i].offset, records[i].storedSize));
    offset += records[i].storedSize;
  }
}

TEST_F(RepackTest, LevelNineIsNoLargerThanLevelOneAndReadsTheSame) {
  FixturePackage original;
  original.entries = {Entry("a.txt", Text(50000, "level nine packs tighter ")),
                      Entry("b.txt", Text(30000, "0123456789abcdef")),
                      Entry("c.bin", Noise(4000) + Text(8000))};
  const std::string bytes = BuildPackage(original);
  ASSERT_PCK_OK(RepackBytes(bytes, 1, "one.pck"));
  ASSERT_PCK_OK(RepackBytes(bytes, 9, "nine.pck"));
  EXPECT_LE(fs::file_size(Path("nine.pck")), fs::file_size(Path("one.pck")));
  for (const char* name : {"one.pck", "nine.pck"}) {
    SCOPED_TRACE(name);
    PckArchive archive;
    ASSERT_PCK_OK(archive.Open(U16(name)));
    ASSERT_EQ(3u, archive.entries().size());
    for (size_t i = 0; i < 3; ++i) {
      ByteBuffer data;
      ASSERT_PCK_OK(archive.ReadEntry(archive.entries()[i], &data));
      EXPECT_EQ(original.entries[i].data, std::string(data.begin(), data.end()));
    }
  }
}

TEST_F(RepackTest, ReportsEveryEntryOnceInEachPassAtEveryLevel) {
  FixturePackage original;
  original.entries = {Entry("a.txt", Text(900)), Entry("b.txt", ""), Entry("c.bin", Noise(300))};
  const std::string bytes = BuildPackage(original);
  const std::vector<ProgressCall> expected = {
      {1, 3, u"repack data"},      {2, 3, u"repack data"},      {3, 3, u"repack data"},
      {1, 3, u"write file entry"}, {2, 3, u"write file entry"}, {3, 3, u"write file entry"},
  };
  for (int level = -1; level <= 9; ++level) {
    SCOPED_TRACE(level);
    progressCalls.clear();
    ASSERT_PCK_OK(RepackBytes(bytes, level, "game.pck", RecordProgress));
    EXPECT_EQ(expected, progressCalls);
  }
}

TEST_F(RepackTest, EmptyPackageRepacksTo292BytesWithoutProgress) {
  const std::string bytes = BuildPackage(FixturePackage{});
  ASSERT_EQ(292u, bytes.size());
  for (int level : {-1, 0, 9}) {
    SCOPED_TRACE(level);
    ASSERT_PCK_OK(RepackBytes(bytes, level, "game.pck", RecordProgress));
    EXPECT_EQ(bytes, ReadFile(Path("game.pck")));
    EXPECT_TRUE(progressCalls.empty());
  }
}

TEST_F(RepackTest, EntriesAreCopiedOrEncodedAgainAsTheirStoredBytesAllow) {
  // A stream that ends 100 bytes before its dataSize is encoded again from what it
  // holds and keeps its dataSize; entries without data are copied whatever they store
  // (a junk run, or a stream that would decode to bytes).
  FixtureEntry early = Entry("early.txt", Text(500, "short "));
  early.stored = pckfix::Zlib(early.data, 9);
  early.dataSize = 600;
  FixtureEntry junk = Entry("junk.dat", "");
  junk.stored = "not a zlib stream";
  FixtureEntry stream = Entry("stream.dat", "");
  stream.stored = pckfix::Zlib(Text(400), 6);
  FixturePackage original;
  original.entries = {early, junk, stream, Entry("after.txt", Text(700))};
  const std::string bytes = BuildPackage(original);
  for (int level = -1; level <= 9; ++level) {
    SCOPED_TRACE(level);
    ASSERT_PCK_OK(RepackBytes(bytes, level));
    EXPECT_EQ(ExpectedRepack(original, level), ReadFile(Path("game.pck")));
  }
}

TEST_F(RepackTest, LevelMinusOneCopiesStoredBytesThatCannotBeDecoded) {
  // A damaged stream, a dataSize no stream of its length reaches, and stored bytes
  // that end exactly at the end of the package (the count and the version).
  FixtureEntry damaged = Entry("damaged.txt", "");
  damaged.stored = "this is not a zlib stream";
  damaged.dataSize = 100;
  FixtureEntry huge = Entry("huge.txt", "");
  huge.stored = pckfix::Zlib(Text(100));
  huge.dataSize = 0xFFFFFFFF;
  FixtureEntry tail = Entry("tail.bin", "");
  tail.stored = "";
  tail.storedSize = 8;
  tail.dataSize = 8;
  tail.recordForm = Form::kPlain;
  FixturePackage original;
  original.entries = {damaged, huge, tail};
  std::string bytes = BuildPackage(original);
  original.entries[2].offset = static_cast<uint32_t>(bytes.size() - 8);
  bytes = BuildPackage(original);
  const std::string last8 = bytes.substr(bytes.size() - 8);

  ASSERT_PCK_OK(RepackBytes(bytes, -1));
  original.entries[2].stored = last8;
  original.entries[2].storedSize.reset();
  EXPECT_EQ(ExpectedRepack(original, -1), ReadFile(Path("game.pck")));
}

// --- The free-space test --------------------------------------------------------------

TEST_F(RepackTest, FreeSpaceIsAskedForThePackageDirectory) {
  const std::u16string kSeparator(1, host::kPathSeparator);
  fs::create_directories(Path("sub"));
  const std::string bytes = BuildPackage(MixedPackage());
  const struct {
    std::string package;
    std::u16string directory;
  } cases[] = {
      {"game.pck", u"." + kSeparator},
      // Only the host's separator ends the directory: '\' separates nothing on Linux,
      // and on Windows the tool looks for '\' alone, as the original did.
      {"back\\slash.pck", testutil::kWindowsHost ? u"back\\" : u"./"},
      {"sub/game.pck", testutil::kWindowsHost ? u".\\" : u"sub/"},
      {testutil::PathU8(Path("sub/abs.pck").make_preferred()),
       U16(Path("sub").make_preferred()) + kSeparator},
  };
  UseHost();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.package);
    host_.freeQueries.clear();
    ASSERT_PCK_OK(RepackBytes(bytes, 9, c.package));
    EXPECT_EQ(std::vector<std::u16string>{c.directory}, host_.freeQueries);
  }
}

TEST_F(RepackTest, TooLittleFreeSpaceReturnsBeforeAnythingIsWritten) {
  const std::string bytes = BuildPackage(MixedPackage());
  const uint64_t size = bytes.size();
  const struct {
    uint64_t freeBytes;
    PckStatus status;
  } cases[] = {
      {0, PckStatus::kFileOperationError},  // also a failed query
      {size - 1, PckStatus::kFileOperationError},
      {size, PckStatus::kSuccess},
  };
  UseHost();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.freeBytes);
    WriteFile(Path("game.pck"), bytes);
    fs::remove(Path("game.pck.old"));
    WriteFile(Path("tmp.pck"), "an unrelated file");
    host_.freeBytes = c.freeBytes;
    host_.writeOpens.clear();
    PckArchive archive;
    ASSERT_PCK_OK(archive.Open(u"game.pck"));
    EXPECT_EQ(c.status, archive.Repack(9, RecordProgress));
    if (c.status == PckStatus::kSuccess) continue;
    EXPECT_TRUE(host_.writeOpens.empty());
    EXPECT_EQ(bytes, ReadFile(Path("game.pck")));
    EXPECT_EQ("an unrelated file", ReadFile(Path("tmp.pck")));
    EXPECT_FALSE(fs::exists(Path("game.pck.old")));
    EXPECT_TRUE(progressCalls.empty());
    // The package is still open and as it was.
    EXPECT_TRUE(archive.IsOpen());
    EXPECT_EQ(MixedPackage().entries.size(), archive.entries().size());
  }
}

TEST_F(RepackTest, WithoutAnOpenPackageReturnsFileOpenError) {
  WriteFile(Path("tmp.pck"), "an unrelated file");
  PckArchive never;
  EXPECT_EQ(PckStatus::kFileOpenError, never.Repack(9, RecordProgress));
  WriteFile(Path("game.pck"), BuildPackage(MixedPackage()));
  PckArchive closed;
  ASSERT_PCK_OK(closed.Open(u"game.pck"));
  closed.Close();
  EXPECT_EQ(PckStatus::kFileOpenError, closed.Repack(9, RecordProgress));
  EXPECT_EQ("an unrelated file", ReadFile(Path("tmp.pck")));
  EXPECT_FALSE(fs::exists(Path("game.pck.old")));
  EXPECT_TRUE(progressCalls.empty());
}

// --- Failures -------------------------------------------------------------------------

TEST_F(RepackTest, ExistingTmpIsOverwritten) {
  const FixturePackage original = MixedPackage();
  WriteFile(Path("tmp.pck"), Noise(200000));
  ASSERT_PCK_OK(RepackBytes(BuildPackage(original), 9));
  EXPECT_EQ(ExpectedRepack(original, 9), ReadFile(Path("game.pck")));
  EXPECT_FALSE(fs::exists(Path("tmp.pck")));
}

// Every failure leaves the package unchanged at its path and no "tmp.pck" (one was
// there before each run and became this run's file), except when it could not be
// taken: then it stays as it was. An existing backup stays, unchanged.
TEST_F(RepackTest, FailuresLeaveThePackageUnchangedAndRemoveTmp) {
  const FixturePackage mixed = MixedPackage();
  const std::string mixedBytes = BuildPackage(mixed);
  const std::string expected9 = ExpectedRepack(mixed, 9);
  const uint32_t table9 = LoadLe32At(expected9, expected9.size() - 272) ^ pckfix::kMaskA;

  FixturePackage damaged = mixed;
  damaged.entries[2].stored = "damaged stored bytes";
  damaged.entries[2].dataSize = 3000;

  FixturePackage huge = mixed;
  huge.entries[4].dataSize = 0xFFFFFFFF;

  // Stored bytes past the end: partly, far (no 32-bit wrap), and a huge storedSize.
  FixturePackage pastEnd = mixed;
  pastEnd.entries[0].recordForm = Form::kPlain;  // the offset does not change the length
  pastEnd.entries[0].offset = static_cast<uint32_t>(BuildPackage(pastEnd).size() - 3);
  FixturePackage farPast = mixed;
  farPast.entries[3].stored = "";
  farPast.entries[3].offset = 0xFFFFFFF0;
  farPast.entries[3].storedSize = 0x20;
  FixturePackage hugeStored = mixed;
  hugeStored.entries[3].storedSize = 0xFFFFFFF0;

  using Setup = std::function<void(RepackHost*)>;
  const Setup none = [](RepackHost*) {};
  const struct {
    const char* label;
    std::string package;
    std::vector<int> levels;
    PckStatus status;
    Setup setup;
    bool backupExists = false;
    bool tempKept = false;  // "tmp.pck" was never this run's
  } cases[] = {
      {"existing backup", mixedBytes, {-1, 9}, PckStatus::kFileOperationError, none, true},
      {"damaged entry", BuildPackage(damaged), {0, 9}, PckStatus::kZlibError, none},
      {"dataSize beyond any stream", BuildPackage(huge), {0, 1, 9}, PckStatus::kZlibError, none},
      {"stored bytes partly past the end",
       BuildPackage(pastEnd),
       {-1, 0, 9},
       PckStatus::kFileOperationError,
       none},
      {"stored bytes far past the end",
       BuildPackage(farPast),
       {-1, 0, 9},
       PckStatus::kFileOperationError,
       none},
      {"storedSize past the end",
       BuildPackage(hugeStored),
       {-1, 0, 9},
       PckStatus::kFileOperationError,
       none},
      {"tmp.pck cannot be opened",
       mixedBytes,
       {9},
       PckStatus::kFileOpenError,
       [](RepackHost* h) { h->refuseTemp = true; },
       false,
       true},
      {"header write fails",
       mixedBytes,
       {9},
       PckStatus::kFileOperationError,
       [](RepackHost* h) { h->failWriteAt = 5; }},
      {"entry data write fails",
       mixedBytes,
       {9},
       PckStatus::kFileOperationError,
       [](RepackHost* h) { h->failWriteAt = 20; }},
      {"length words write fails",
       mixedBytes,
       {9},
       PckStatus::kFileOperationError,
       [table9](RepackHost* h) { h->failWriteAt = table9 + 6; }},
      {"count write fails",
       mixedBytes,
       {9},
       PckStatus::kFileOperationError,
       [&expected9](RepackHost* h) { h->failWriteAt = expected9.size() - 6; }},
      {"version write fails",
       mixedBytes,
       {9},
       PckStatus::kFileOperationError,
       [&expected9](RepackHost* h) { h->failWriteAt = expected9.size() - 1; }},
      {"sync fails",
       mixedBytes,
       {-1, 9},
       PckStatus::kFileOperationError,
       [](RepackHost* h) { h->failSync = true; }},
      {"rename to the backup fails",
       mixedBytes,
       {9},
       PckStatus::kFileOperationError,
       [](RepackHost* h) { h->failRenameFrom = u"game.pck"; }},
      // The old package is moved back from its backup.
      {"rename of tmp.pck fails",
       mixedBytes,
       {-1, 9},
       PckStatus::kFileOperationError,
       [](RepackHost* h) { h->failRenameFrom = u"tmp.pck"; }},
  };
  for (const auto& c : cases) {
    for (int level : c.levels) {
      SCOPED_TRACE(std::string(c.label) + " at " + std::to_string(level));
      RepackHost faults;
      c.setup(&faults);
      host::Host::SetCurrent(&faults);
      WriteFile(Path("game.pck"), c.package);
      fs::remove(Path("game.pck.old"));
      if (c.backupExists) WriteFile(Path("game.pck.old"), "the previous backup");
      WriteFile(Path("tmp.pck"), Noise(100000));
      {
        PckArchive archive;
        ASSERT_PCK_OK(archive.Open(u"game.pck"));
        EXPECT_EQ(c.status, archive.Repack(level, nullptr));
        EXPECT_FALSE(archive.failure().reason.empty());
      }
      host::Host::SetCurrent(nullptr);
      EXPECT_EQ(c.package, ReadFile(Path("game.pck")));
      if (c.tempKept) {
        EXPECT_EQ(Noise(100000), ReadFile(Path("tmp.pck")));
      } else {
        EXPECT_FALSE(fs::exists(Path("tmp.pck")));
      }
      if (c.backupExists) {
        EXPECT_EQ("the previous backup", ReadFile(Path("game.pck.old")));
      } else {
        EXPECT_FALSE(fs::exists(Path("game.pck.old")));
      }
    }
  }
}

TEST_F(RepackTest, SecondRepackWhileTheBackupExistsFails) {
  const FixturePackage original = MixedPackage();
  const std::string bytes = BuildPackage(original);
  WriteFile(Path("game.pck"), bytes);
  PckArchive archive;
  ASSERT_PCK_OK(archive.Open(u"game.pck"));
  ASSERT_PCK_OK(archive.Repack(9, nullptr));
  EXPECT_EQ(PckStatus::kFileOperationError, archive.Repack(1, nullptr));
  EXPECT_EQ(ExpectedRepack(original, 9), ReadFile(Path("game.pck")));
  EXPECT_EQ(bytes, ReadFile(Path("game.pck.old")));
  EXPECT_FALSE(fs::exists(Path("tmp.pck")));
  EXPECT_FALSE(fs::exists(Path("game.pck.old.old")));
}

TEST_F(RepackTest, PackageThatIsTmpInTheWorkingDirectoryIsRefusedUntouched) {
  const std::string bytes = BuildPackage(MixedPackage());
  const struct {
    const char* label;
    std::string path;
    std::function<void()> make;
    bool symbolicLink = false;  // Linux only
  } cases[] = {
      {"bare name", "tmp.pck", [] {}},
      {"dot path", "./tmp.pck", [] {}},
      {"absolute path", testutil::PathU8(Path("tmp.pck")), [] {}},
      {"hard link", "link.pck", [] { fs::create_hard_link("tmp.pck", "link.pck"); }},
      {"symbolic link", "sym.pck", [] { fs::create_symlink("tmp.pck", "sym.pck"); }, true},
  };
  UseHost();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.symbolicLink && testutil::kWindowsHost) continue;
    fs::remove(Path("link.pck"));
    fs::remove(Path("sym.pck"));
    WriteFile(Path("tmp.pck"), bytes);
    c.make();
    host_.writeOpens.clear();
    PckArchive archive;
    ASSERT_PCK_OK(archive.Open(U16(c.path)));
    EXPECT_EQ(PckStatus::kFileOperationError, archive.Repack(9, RecordProgress));
    EXPECT_TRUE(host_.writeOpens.empty());
    EXPECT_TRUE(host_.renames.empty());
    EXPECT_EQ(bytes, ReadFile(Path("tmp.pck")));
    EXPECT_FALSE(fs::exists(Path(c.path + ".old")));
    EXPECT_FALSE(fs::exists(Path("tmp.pck.old")));
    EXPECT_TRUE(progressCalls.empty());
  }
}

TEST_F(RepackTest, PackageNamedTmpInAnotherDirectoryRepacks) {
  const FixturePackage original = MixedPackage();
  const std::string bytes = BuildPackage(original);
  fs::create_directories(Path("sub"));
  WriteFile(Path("sub/tmp.pck"), bytes);
  PckArchive archive;
  ASSERT_PCK_OK(archive.Open(u"sub/tmp.pck"));
  ASSERT_PCK_OK(archive.Repack(9, nullptr));
  EXPECT_EQ(ExpectedRepack(original, 9), ReadFile(Path("sub/tmp.pck")));
  EXPECT_EQ(bytes, ReadFile(Path("sub/tmp.pck.old")));
  EXPECT_FALSE(fs::exists(Path("tmp.pck")));
}

}  // namespace
