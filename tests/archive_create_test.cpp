// archive_create_test.cpp - PckArchive::Create: the bytes it writes, checked against
// the fixture writer and the worked layouts, the progress it reports, and what each
// failure leaves on disk and in the archive.
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <tuple>

#include "archive.h"
#include "names.h"
#include "pck_writer.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using pckfix::Form;
using pckfix::Gbk;
using pckfix::LoadLe32At;
using testutil::Faults;
using testutil::FaultyFile;
using testutil::Noise;
using testutil::ReadFile;
using testutil::TempDirTest;
using testutil::Text;
using testutil::U16;
using testutil::U8;
using testutil::WriteFile;

constexpr int64_t kLimit = 0x7FFFFFFF;  // the longest package the format can address

std::string Backslashed(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::u16string Repeat(std::u16string_view unit, size_t count) {
  std::u16string out;
  for (size_t i = 0; i < count; ++i) out += unit;
  return out;
}

// The pieces one after the other, built by appending: GCC 12 warns falsely
// (-Wrestrict) on a literal + a string.
std::u16string Cat(std::initializer_list<std::u16string_view> pieces) {
  std::u16string out;
  for (std::u16string_view piece : pieces) out += piece;
  return out;
}

// An entry name as a path below the base directory: with the host's separator.
std::u16string InHostForm(std::u16string name) {
  std::replace(name.begin(), name.end(), u'\\', host::kPathSeparator);
  return name;
}

// A source file: its path below the base directory ('/' between levels) and its bytes.
struct Source {
  std::string path;
  std::string data;
};

// The package a correct writer makes from `sources` at `level`, built by the
// fixture writer from the format tables alone.
std::string ExpectedPackage(const std::vector<Source>& sources, int level) {
  FixturePackage package;
  for (const Source& s : sources) {
    FixtureEntry e;
    e.name = Gbk(Backslashed(s.path));
    e.data = s.data;
    e.level = level;
    e.recordLevel = level;
    package.entries.push_back(e);
  }
  return BuildPackage(package);
}

// What the data phase stores for one file.
std::string Stored(const std::string& data, int level) {
  return pckfix::Encode(data, Form::kAuto, level);
}

// --- Host doubles -------------------------------------------------------------------

// Forwards to the real host, except for the paths given an open hook; the
// temporary file the package is written to goes through the temp hook, if any.
class TestHost : public host::HostWrapper {
 public:
  using OpenHook = std::function<std::unique_ptr<host::File>(host::OpenMode)>;
  using TempHook = std::function<std::unique_ptr<host::File>(std::unique_ptr<host::File>)>;
  TestHost() : HostWrapper(host::Host::Default()) {}

  std::unique_ptr<host::File> OpenFile(const std::u16string& path, host::OpenMode mode) override {
    auto hook = open.find(path);
    if (hook != open.end()) return hook->second(mode);
    return target_.OpenFile(path, mode);
  }
  std::unique_ptr<host::File> CreateTemporaryBeside(const std::u16string& path,
                                                    std::u16string* tempPath) override {
    std::unique_ptr<host::File> file = target_.CreateTemporaryBeside(path, tempPath);
    if (file && temp) return temp(std::move(file));
    return file;
  }

  std::map<std::u16string, OpenHook> open;
  TempHook temp;
};

// A source of `length` bytes kept nowhere: `content` gives the first bytes, a read
// beyond them leaves the caller's (zero-filled) buffer as it is.
class VirtualSource : public host::File {
 public:
  explicit VirtualSource(int64_t length, std::string content = {})
      : length_(length), content_(std::move(content)) {}

  size_t Read(void* data, size_t size) override {
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(size), length_ - position_);
    if (n <= 0) return 0;
    if (position_ < static_cast<int64_t>(content_.size())) {
      const int64_t copy = std::min<int64_t>(n, static_cast<int64_t>(content_.size()) - position_);
      std::memcpy(data, content_.data() + position_, static_cast<size_t>(copy));
    }
    position_ += n;
    return static_cast<size_t>(n);
  }
  size_t Write(const void*, size_t) override { return 0; }
  bool Seek(int64_t position) override {
    position_ = position;
    return true;
  }
  bool SeekToEnd() override {
    position_ = length_;
    return true;
  }
  int64_t Tell() override { return position_; }
  bool Flush() override { return true; }
  bool Sync() override { return true; }
  bool Close() override { return true; }

 private:
  int64_t length_;
  std::string content_;
  int64_t position_ = 0;
};

// What a SinkFile saw: the furthest byte written and the last header written at 0.
struct SinkStats {
  int64_t highWater = 0;
  std::string header;
};

// A package stream that accepts every byte and keeps none, so that a package of
// 2 GiB costs neither disk nor memory. The real (empty) file stays open behind it,
// so that the package exists on disk until the writer removes it.
class SinkFile : public host::File {
 public:
  SinkFile(std::unique_ptr<host::File> real, std::shared_ptr<SinkStats> stats)
      : real_(std::move(real)), stats_(std::move(stats)) {}

  size_t Read(void*, size_t) override { return 0; }
  size_t Write(const void* data, size_t size) override {
    if (position_ == 0 && size == 12) stats_->header.assign(static_cast<const char*>(data), size);
    position_ += static_cast<int64_t>(size);
    stats_->highWater = std::max(stats_->highWater, position_);
    return size;
  }
  bool Seek(int64_t position) override {
    position_ = position;
    return true;
  }
  bool SeekToEnd() override {
    position_ = stats_->highWater;
    return true;
  }
  int64_t Tell() override { return position_; }
  bool Flush() override { return true; }
  bool Sync() override { return true; }
  bool Close() override { return real_->Close(); }

 private:
  std::unique_ptr<host::File> real_;
  std::shared_ptr<SinkStats> stats_;
  int64_t position_ = 0;
};

// --- Progress -----------------------------------------------------------------------

using ProgressCall = std::tuple<int32_t, int32_t, std::u16string>;
std::vector<ProgressCall> progressCalls;

int RecordProgress(int32_t done, int32_t total, const char16_t* label) {
  progressCalls.emplace_back(done, total, label);
  return 0;
}

// --- Fixture ------------------------------------------------------------------------

class CreateTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    progressCalls.clear();
  }

  // The base directory as the create command forms it: ending in the separator.
  std::u16string Base() const { return U16(Path("src")) + host::kPathSeparator; }
  std::u16string Package() const { return U16(Path("out.pck")); }
  bool PackageExists() const { return fs::exists(Path("out.pck")); }
  std::string PackageBytes() const { return ReadFile(Path("out.pck")); }

  // Writes every source below the base directory; returns their full paths in order.
  FileList MakeFiles(const std::vector<Source>& sources) {
    FileList files;
    for (const Source& s : sources) {
      WriteFile(Path("src/" + s.path), s.data);
      files.push_back(Base() + testutil::HostPath16(s.path));
    }
    return files;
  }

  PckStatus Create(const FileList& files, int level, ProgressCallback progress = nullptr) {
    return archive_.Create(Base(), level, Package(), files, progress);
  }

  // Installs the test host for the rest of the test (TearDown restores the real one).
  void UseTestHost() { host::Host::SetCurrent(&host_); }

  // The names directly inside the scratch folder: a temporary file left beside the
  // package would show here.
  std::set<std::string> TopLevel() const {
    std::set<std::string> out;
    for (const auto& item : fs::directory_iterator(dir_)) {
      out.insert(testutil::PathU8(item.path().filename()));
    }
    return out;
  }

  TestHost host_;
  PckArchive archive_;
};

// A tree with every kind of content: code page 936 names, empty and one-byte files,
// incompressible data, compressible text and nested folders.
std::vector<Source> MixedTree() {
  return {
      {"数据/说明.txt", Text(3000, "说明文字 ")},
      {"empty.txt", ""},
      {"one.bin", "x"},
      {"noise.bin", Noise(4096)},
      {"a/b/c/deep.txt", Text(20000)},
      {"a/second.txt", Text(700, "0123456789")},
      {"数据/空.dat", ""},
  };
}

// --- Round trip -----------------------------------------------------------------------

TEST_F(CreateTest, CreatedPackageOpensAndReadsBackEveryFileAtEachLevel) {
  const std::vector<Source> sources = MixedTree();
  for (int level : {-1, 0, 1, 9}) {
    SCOPED_TRACE(level);
    fs::remove_all(Path("src"));
    const FileList files = MakeFiles(sources);
    PckArchive archive;
    ASSERT_PCK_OK(archive.Create(Base(), level, Package(), files, nullptr));

    // Create ends by reopening its package: the archive now reads it.
    EXPECT_TRUE(archive.IsOpen());
    EXPECT_EQ(Package(), archive.path());
    ASSERT_EQ(sources.size(), archive.entries().size());
    for (size_t i = 0; i < sources.size(); ++i) {
      const PckEntry& entry = archive.entries()[i];
      EXPECT_EQ(Backslashed(sources[i].path), U8(EntryNameView(entry.name)));
      ByteBuffer buffer;
      ASSERT_PCK_OK(archive.ReadEntry(entry, &buffer));
      EXPECT_EQ(sources[i].data, std::string(buffer.begin(), buffer.end())) << sources[i].path;
    }

    // A second reader sees the same.
    PckArchive reader;
    ASSERT_PCK_OK(reader.Open(Package()));
    EXPECT_EQ(sources.size(), reader.entries().size());
  }
}

// An object whose Open failed part way keeps the entries decoded before the failing
// record; a Create on it must write its own files only.
TEST_F(CreateTest, CreateAfterAFailedOpenWritesOnlyItsOwnFiles) {
  FixturePackage damaged;
  for (const char* name : {"old1.txt", "old2.txt", "bad.txt"}) {
    FixtureEntry e;
    e.name = name;
    e.data = "old";
    damaged.entries.push_back(e);
  }
  damaged.entries[2].lengthA = 0;  // the lengths disagree: Open fails at the third record
  WriteFile(Path("damaged.pck"), BuildPackage(damaged));
  ASSERT_EQ(PckStatus::kGuardByteError, archive_.Open(U16(Path("damaged.pck"))));
  ASSERT_EQ(2u, archive_.entries().size());

  const FileList files = MakeFiles({{"new.txt", "new"}});
  ASSERT_PCK_OK(Create(files, -1));
  ASSERT_EQ(1u, archive_.entries().size());
  EXPECT_EQ("new.txt", U8(EntryNameView(archive_.entries()[0].name)));
  PckArchive reader;
  ASSERT_PCK_OK(reader.Open(Package()));
  EXPECT_EQ(1u, reader.entries().size());
}

// --- Bytes ----------------------------------------------------------------------------

TEST_F(CreateTest, EmptyListWritesThe292BytePackage) {
  ASSERT_PCK_OK(Create({}, -1, RecordProgress));
  const std::string bytes = PackageBytes();
  ASSERT_EQ(292u, bytes.size());
  EXPECT_EQ(pckfix::kMagic1, LoadLe32At(bytes, 0));
  EXPECT_EQ(292u, LoadLe32At(bytes, 4));
  EXPECT_EQ(pckfix::kMagic2, LoadLe32At(bytes, 8));
  EXPECT_EQ(pckfix::kGuard1, LoadLe32At(bytes, 12));
  EXPECT_EQ(12u, LoadLe32At(bytes, 20) ^ pckfix::kMaskA);
  EXPECT_EQ(pckfix::kGuard2, LoadLe32At(bytes, 280));
  EXPECT_EQ(0u, LoadLe32At(bytes, 284));
  EXPECT_EQ(pckfix::kVersion, LoadLe32At(bytes, 288));
  EXPECT_EQ(BuildPackage(FixturePackage{}), bytes);
  EXPECT_TRUE(progressCalls.empty());
  EXPECT_TRUE(archive_.IsOpen());
  EXPECT_TRUE(archive_.entries().empty());
}

TEST_F(CreateTest, OneThreeByteFileAtLevelZeroWritesThe579ByteLayout) {
  ASSERT_PCK_OK(Create(MakeFiles({{"a.txt", "abc"}}), 0));
  const std::string bytes = PackageBytes();
  ASSERT_EQ(579u, bytes.size());
  EXPECT_EQ(579u, LoadLe32At(bytes, 4));
  EXPECT_EQ("abc", bytes.substr(12, 3));
  EXPECT_EQ(276u ^ pckfix::kMaskA, LoadLe32At(bytes, 15));
  EXPECT_EQ(276u ^ pckfix::kMaskB, LoadLe32At(bytes, 19));
  // The body is the record unchanged.
  EXPECT_EQ(pckfix::RecordBytes("a.txt", 0, 12, 3, 3, 0), bytes.substr(23, 276));
  EXPECT_EQ(pckfix::kGuard1, LoadLe32At(bytes, 299));
  EXPECT_EQ(pckfix::kVersion, LoadLe32At(bytes, 303));
  EXPECT_EQ(15u, LoadLe32At(bytes, 307) ^ pckfix::kMaskA);
  EXPECT_EQ(std::string(256, '\0'), bytes.substr(311, 256));
  EXPECT_EQ(pckfix::kGuard2, LoadLe32At(bytes, 567));
  EXPECT_EQ(1u, LoadLe32At(bytes, 571));
  EXPECT_EQ(pckfix::kVersion, LoadLe32At(bytes, 575));
}

TEST_F(CreateTest, PackageMatchesIndependentlyBuiltBytesAtEachLevel) {
  const std::vector<Source> sources = MixedTree();
  for (int level : {-1, 0, 1, 9}) {
    SCOPED_TRACE(level);
    // An existing, longer file at the package path is truncated.
    WriteFile(Path("out.pck"), Noise(50000, 3));
    PckArchive archive;
    ASSERT_PCK_OK(archive.Create(Base(), level, Package(), MakeFiles(sources), nullptr));
    EXPECT_EQ(ExpectedPackage(sources, level), PackageBytes());
  }
}

// Walks the table of a written package without the library: the offsets run back to
// back from 12, the table follows the last entry's bytes, and every record body is
// a zlib stream shorter than 276 bytes or the 276 record bytes themselves.
TEST_F(CreateTest, OffsetsRunBackToBackAndBodiesFollowTheStorageRule) {
  const std::vector<Source> sources = MixedTree();
  for (int level : {0, 9}) {
    SCOPED_TRACE(level);
    PckArchive archive;
    ASSERT_PCK_OK(archive.Create(Base(), level, Package(), MakeFiles(sources), nullptr));
    const std::string bytes = PackageBytes();
    ASSERT_GE(bytes.size(), 292u);
    EXPECT_EQ(bytes.size(), LoadLe32At(bytes, 4));
    EXPECT_EQ(sources.size(), LoadLe32At(bytes, bytes.size() - 8));
    const uint32_t table = LoadLe32At(bytes, bytes.size() - 280 + 8) ^ pckfix::kMaskA;

    uint32_t expectedOffset = 12;
    size_t at = table;
    for (const Source& s : sources) {
      SCOPED_TRACE(s.path);
      const uint32_t length = LoadLe32At(bytes, at) ^ pckfix::kMaskA;
      ASSERT_EQ(length, LoadLe32At(bytes, at + 4) ^ pckfix::kMaskB);
      ASSERT_LE(length, 276u);
      std::string record = bytes.substr(at + 8, length);
      if (length < 276) {
        std::string inflated(276, '\0');
        uLongf size = inflated.size();
        ASSERT_EQ(Z_OK, uncompress(reinterpret_cast<Bytef*>(inflated.data()), &size,
                                   reinterpret_cast<const Bytef*>(record.data()), record.size()));
        ASSERT_EQ(276u, size);
        record = inflated;
      } else {
        EXPECT_EQ(0, level);  // level 9 shrinks every record: names are short
      }
      EXPECT_EQ(Gbk(Backslashed(s.path)), record.substr(0, record.find('\0')));
      const uint32_t offset = LoadLe32At(record, 260);
      const uint32_t dataSize = LoadLe32At(record, 264);
      const uint32_t storedSize = LoadLe32At(record, 268);
      EXPECT_EQ(0u, LoadLe32At(record, 256));
      EXPECT_EQ(0u, LoadLe32At(record, 272));
      EXPECT_EQ(expectedOffset, offset);
      EXPECT_EQ(s.data.size(), dataSize);
      EXPECT_EQ(Stored(s.data, level), bytes.substr(offset, storedSize));
      expectedOffset += storedSize;
      at += 8 + length;
    }
    EXPECT_EQ(expectedOffset, table);
    EXPECT_EQ(bytes.size() - 280, at);  // the trailer follows the table
  }
}

TEST_F(CreateTest, ProgressCountsDataThenTableRecords) {
  ASSERT_PCK_OK(Create(MakeFiles({{"a", "1"}, {"b", ""}, {"c/d", Text(900)}}), -1, RecordProgress));
  const std::vector<ProgressCall> expected = {
      {1, 3, u"compress data"},    {2, 3, u"compress data"},    {3, 3, u"compress data"},
      {1, 3, u"write file entry"}, {2, 3, u"write file entry"}, {3, 3, u"write file entry"},
  };
  EXPECT_EQ(expected, progressCalls);
}

// --- Names ----------------------------------------------------------------------------

struct NameCase {
  const char* label;
  std::u16string name;      // relative name of the one source file
  std::string field;        // the 256-byte name field expected on disk
  std::u16string readBack;  // the entry name after reopening
};

TEST_F(CreateTest, NamesAreStoredInCodePage936WhenTheyFitTheField) {
  const std::u16string shu = u"数";
  auto gbk = [](const std::u16string& text) {
    std::string bytes = Gbk(U8(text));
    bytes.resize(256, '\0');
    return bytes;
  };
  const NameCase cases[] = {
      {"double-byte name", u"数据\\说明.txt", gbk(u"数据\\说明.txt"), u"数据\\说明.txt"},
      {"accented letter", u"caf\u00e9.txt", gbk(u"caf\u00e9.txt"), u"caf\u00e9.txt"},
      {"255 units", Repeat(u"n", 255), gbk(Repeat(u"n", 255)), Repeat(u"n", 255)},
      // 256 bytes fill the field exactly: no terminator, and the name reads back whole.
      {"128 double-byte characters", Repeat(shu, 128), Gbk(U8(Repeat(shu, 128))), Repeat(shu, 128)},
      // The euro sign is the single byte 0x80, not a lead byte.
      {"euro, then 127 double-byte", Cat({u"\u20ac", Repeat(shu, 127), u"a"}),
       Gbk(U8(Cat({u"\u20ac", Repeat(shu, 127), u"a"}))), Cat({u"\u20ac", Repeat(shu, 127), u"a"})},
  };
  UseTestHost();
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.label);
    // The name only has to exist for the host, not on disk.
    const std::u16string path = Base() + InHostForm(c.name);
    host_.open[path] = [](host::OpenMode) { return std::make_unique<VirtualSource>(1, "x"); };
    PckArchive archive;
    ASSERT_PCK_OK(archive.Create(Base(), 0, Package(), {path}, nullptr));
    ASSERT_EQ(1u, archive.entries().size());
    EXPECT_EQ(c.readBack, EntryNameView(archive.entries()[0].name));

    // Level 0: the one record body is the plain record at 13 + 8.
    const std::string bytes = PackageBytes();
    ASSERT_EQ(12u + 1 + 284 + 280, bytes.size());
    EXPECT_EQ(c.field, bytes.substr(21, 256));
  }
}

// A name that the field cannot hold whole is refused before anything is written:
// cut, it would come back as another name, or as the name of another file. An
// older package at the path stays as it was.
TEST_F(CreateTest, NamesTheFieldCannotHoldWholeAreRefusedBeforeAnythingIsWritten) {
  const std::u16string shu = u"数";
  const struct {
    const char* label;
    std::u16string name;
    std::u16string reason;
  } cases[] = {
      {"129 double-byte characters", Repeat(shu, 129),
       u"name too long for a package entry (258 bytes in code page 936, 256 at most)"},
      {"one byte, then 128 double-byte", Cat({u"a", Repeat(shu, 128)}),
       u"name too long for a package entry (257 bytes in code page 936, 256 at most)"},
      // Two folders of 80 characters each: 167 characters, 327 bytes.
      {"two long folders", Cat({Repeat(shu, 80), u"\\", Repeat(shu, 80), u"\\a.txt"}),
       u"name too long for a package entry (327 bytes in code page 936, 256 at most)"},
      {"256 plain characters", Repeat(u"n", 256),
       u"name too long for a package entry (256 characters, 255 at most)"},
      {"emoji", u"smile\U0001F600.txt",
       u"the character U+1F600 has no code page 936 form and cannot be stored in a package"},
  };
  UseTestHost();
  const std::string old = Noise(3000, 5);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    WriteFile(Path("out.pck"), old);
    const std::u16string bad = Base() + InHostForm(c.name);
    const std::u16string good = Base() + u"ok.txt";
    int opened = 0;
    for (const std::u16string& path : {good, bad}) {
      host_.open[path] = [&opened](host::OpenMode) {
        ++opened;
        return std::make_unique<VirtualSource>(1, "x");
      };
    }
    // The bad name comes last: it is still found before the first file is read.
    PckArchive archive;
    EXPECT_EQ(PckStatus::kFileOperationError,
              archive.Create(Base(), -1, Package(), {good, bad}, RecordProgress));
    EXPECT_EQ(0, opened);
    EXPECT_TRUE(progressCalls.empty());
    EXPECT_TRUE(archive.entries().empty());
    EXPECT_FALSE(archive.IsOpen());
    EXPECT_EQ(bad, archive.failure().subject);
    EXPECT_EQ(c.reason, archive.failure().reason);
    EXPECT_EQ(old, PackageBytes());
    EXPECT_EQ((std::set<std::string>{"out.pck"}), TopLevel());
  }
}

// --- A source that cannot be opened -----------------------------------------------------

// The third of five sources cannot be opened: Create fails with 7 and leaves nothing
// (or the older package, unchanged); the entries written before it are kept, and the
// failure names the file and the system's reason.
TEST_F(CreateTest, UnopenableSourceFailsWithSevenAndLeavesNothing) {
  const std::vector<Source> sources = {{"one.txt", Text(2000, "one ")},
                                       {"two.txt", Text(3000, "two ")},
                                       {"three.txt", Text(100)},
                                       {"four.txt", "4"},
                                       {"five.txt", "5"}};
  for (const bool older : {false, true}) {
    SCOPED_TRACE(older ? "over an older package" : "no package yet");
    host::Host::SetCurrent(nullptr);
    fs::remove_all(Path("src"));
    fs::remove(Path("out.pck"));
    const std::string old = Noise(700, 9);
    if (older) WriteFile(Path("out.pck"), old);
    const FileList files = MakeFiles(sources);
    fs::remove(Path("src/three.txt"));
    PckArchive archive;
    EXPECT_EQ(PckStatus::kFileOperationError,
              archive.Create(Base(), -1, Package(), files, RecordProgress));
    EXPECT_FALSE(archive.IsOpen());
    EXPECT_TRUE(archive.path().empty());
    ASSERT_EQ(2u, archive.entries().size());
    EXPECT_EQ(u"one.txt", EntryNameView(archive.entries()[0].name));
    EXPECT_EQ(u"two.txt", EntryNameView(archive.entries()[1].name));
    EXPECT_EQ(files[2], archive.failure().subject);
    EXPECT_FALSE(archive.failure().reason.empty());
    if (!testutil::kWindowsHost) {
      EXPECT_EQ(u"No such file or directory", archive.failure().reason);
    }
    if (older) {
      EXPECT_EQ(old, PackageBytes());
      EXPECT_EQ((std::set<std::string>{"out.pck", "src"}), TopLevel());
    } else {
      EXPECT_EQ((std::set<std::string>{"src"}), TopLevel());
    }
  }
}

// --- Raised failures: nothing is left ------------------------------------------------------

struct RaisedCase {
  const char* label;
  int level;
  std::vector<Source> sources;
  // Changes the host for the files (full paths, in list order); may be empty.
  std::function<void(TestHost&, const FileList&, const std::u16string& package)> setup;
  PckStatus status;
  size_t entries;  // entries appended before the failure
  // Names listed after the sources, which only the host knows (one byte each).
  std::vector<std::u16string> virtualNames = {};
};

// Each case runs with no package at the path, and over an older package, which
// must come through byte for byte; no temporary file may stay beside it.
class CreateRaisedTest : public CreateTest {
 protected:
  void Run(const RaisedCase& c) {
    Run(c, false);
    Run(c, true);
  }
  void Run(const RaisedCase& c, bool older) {
    SCOPED_TRACE(c.label);
    SCOPED_TRACE(older ? "over an older package" : "no package yet");
    host::Host::SetCurrent(nullptr);
    host_.open.clear();
    host_.temp = nullptr;
    fs::remove_all(Path("src"));
    fs::remove(Path("out.pck"));
    const std::string old = Noise(900, 4);
    if (older) WriteFile(Path("out.pck"), old);
    progressCalls.clear();
    FileList files = MakeFiles(c.sources);
    for (const std::u16string& name : c.virtualNames) {
      files.push_back(Base() + name);
      host_.open[files.back()] = [](host::OpenMode) {
        return std::make_unique<VirtualSource>(1, "x");
      };
    }
    if (c.setup) c.setup(host_, files, Package());
    UseTestHost();
    PckArchive archive;
    EXPECT_EQ(c.status, archive.Create(Base(), c.level, Package(), files, RecordProgress));
    EXPECT_FALSE(archive.IsOpen());
    EXPECT_TRUE(archive.path().empty());
    EXPECT_EQ(c.entries, archive.entries().size());
    EXPECT_FALSE(archive.failure().reason.empty());
    if (older) {
      EXPECT_EQ(old, PackageBytes());
      EXPECT_EQ((std::set<std::string>{"out.pck", "src"}), TopLevel());
    } else {
      EXPECT_EQ((std::set<std::string>{"src"}), TopLevel());
    }
  }
};

// Puts the temporary package file behind a FaultyFile.
TestHost::TempHook FaultyPackage(Faults faults) {
  return [faults](std::unique_ptr<host::File> real) -> std::unique_ptr<host::File> {
    return std::make_unique<FaultyFile>(std::move(real), faults);
  };
}

TEST_F(CreateRaisedTest, CodecAndSourceFailuresRemoveThePackage) {
  const RaisedCase cases[] = {
      {"level 10 on the third file's data",
       10,
       {{"e1", ""}, {"e2", ""}, {"c.txt", "data"}},
       {},
       PckStatus::kZlibError,
       2},
      // Empty files need no compression; the first table record does.
      {"level 10 on a table record", 10, {{"e1", ""}, {"e2", ""}}, {}, PckStatus::kZlibError, 2},
      {"source read comes up short",
       -1,
       {{"a.txt", Text(500)}, {"b.txt", Text(800)}},
       [](TestHost& h, const FileList& files, const std::u16string&) {
         const std::u16string path = files[1];
         h.open[path] = [path](host::OpenMode mode) -> std::unique_ptr<host::File> {
           return std::make_unique<FaultyFile>(host::Host::Default().OpenFile(path, mode),
                                               Faults{.shortRead = true});
         };
       },
       PckStatus::kFileOperationError,
       1},
      {"source of 4 GiB",
       0,
       {{"a.txt", "a"}, {"huge.bin", ""}},
       [](TestHost& h, const FileList& files, const std::u16string&) {
         h.open[files[1]] = [](host::OpenMode) {
           return std::make_unique<VirtualSource>(int64_t{1} << 32);
         };
       },
       PckStatus::kFileOperationError,
       1},
      // Names are checked before the first file is read.
      {"name of 256 units",
       -1,
       {{"ok.txt", "1"}, {"d/" + std::string(254, 'n'), "2"}},
       {},
       PckStatus::kFileOperationError,
       0},
      {"name with an emoji",
       -1,
       {{"ok.txt", "1"}, {"smile\U0001F600.txt", "2"}},
       {},
       PckStatus::kFileOperationError,
       0},
      {"buffered bytes lost at the flush",
       -1,
       {{"a.txt", "1"}, {"b.txt", "2"}},
       [](TestHost& h, const FileList&, const std::u16string&) {
         h.temp = FaultyPackage(Faults{.failFlush = true});
       },
       PckStatus::kFileOperationError,
       2},
      {"sync to stable storage fails",
       -1,
       {{"a.txt", "1"}, {"b.txt", "2"}},
       [](TestHost& h, const FileList&, const std::u16string&) {
         h.temp = FaultyPackage(Faults{.failSync = true});
       },
       PckStatus::kFileOperationError,
       2},
  };
  for (const RaisedCase& c : cases) Run(c);
}

TEST_F(CreateRaisedTest, NameWithoutACodePage936FormRemovesThePackage) {
  // Names that cannot exist on disk here: the host hands out their contents.
  const std::u16string names[] = {u"lone\xD800surrogate", u"\U0001F600", Repeat(u"n", 256)};
  for (const std::u16string& name : names) {
    Run({"virtual name", -1, {{"ok.txt", "1"}}, {}, PckStatus::kFileOperationError, 0, {name}});
  }
}

// Each piece of the 579-byte layout of one 3-byte file at level 0, cut short in turn:
// every short write fails with 7 and leaves nothing, the first header included.
TEST_F(CreateTest, ShortWriteOfEachPieceFailsWithSeven) {
  const struct {
    const char* piece;
    int64_t failAt;
    size_t entries;  // an entry is appended once its data is written
  } cases[] = {
      {"header", 5, 0},        {"data", 13, 0},     {"lengthA", 17, 1},     {"lengthB", 20, 1},
      {"record body", 100, 1}, {"trailer", 400, 1}, {"entryCount", 572, 1}, {"version", 578, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.piece);
    host::Host::SetCurrent(nullptr);
    fs::remove_all(Path("src"));
    fs::remove(Path("out.pck"));
    const FileList files = MakeFiles({{"a.txt", "abc"}});
    host_.temp = FaultyPackage(Faults{.failWriteAt = c.failAt});
    UseTestHost();
    PckArchive archive;
    EXPECT_EQ(PckStatus::kFileOperationError, archive.Create(Base(), 0, Package(), files, nullptr));
    EXPECT_FALSE(archive.IsOpen());
    EXPECT_EQ((std::set<std::string>{"src"}), TopLevel());
    EXPECT_EQ(c.entries, archive.entries().size());
    EXPECT_EQ(Package(), archive.failure().subject);
  }
  // Unhindered, the same list gives the full package.
  host_.temp = FaultyPackage(Faults{.failWriteAt = 579});
  EXPECT_PCK_OK(Create(MakeFiles({{"a.txt", "abc"}}), 0));
  EXPECT_EQ(579u, PackageBytes().size());
  EXPECT_TRUE(archive_.failure().reason.empty());
}

// Packages at and just past the longest length a signed 32-bit position allows. The
// sources are virtual and the package stream keeps nothing, so only the two 128 MiB
// working buffers are ever in memory.
TEST_F(CreateTest, PackageLengthStopsAtTheSigned32BitLimit) {
  constexpr int64_t kChunk = int64_t{128} << 20;
  constexpr int kFiles = 16;
  // Level 0: every record is 8 + 276 bytes.
  constexpr int64_t kFixed = 12 + kFiles * (8 + 276) + 280;
  const int64_t lastForLimit = kLimit - kFixed - (kFiles - 1) * kChunk;
  ASSERT_GT(lastForLimit, 0);
  ASSERT_LE(lastForLimit, kChunk);
  const struct {
    const char* label;
    int64_t last;  // length of the last file; the others are kChunk long
    PckStatus status;
    size_t entries;
  } cases[] = {
      {"exactly the limit", lastForLimit, PckStatus::kSuccess, kFiles},
      {"one byte over, in the tail", lastForLimit + 1, PckStatus::kFileOperationError, kFiles},
      {"over in the data", kChunk, PckStatus::kFileOperationError, kFiles - 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    host_.open.clear();
    fs::remove(Path("out.pck"));
    FileList files;
    for (int i = 0; i < kFiles; ++i) {
      const std::u16string path = Base() + U16(std::to_string(i) + ".bin");
      const int64_t length = i + 1 == kFiles ? c.last : kChunk;
      host_.open[path] = [length](host::OpenMode) {
        return std::make_unique<VirtualSource>(length);
      };
      files.push_back(path);
    }
    auto stats = std::make_shared<SinkStats>();
    host_.temp = [stats](std::unique_ptr<host::File> real) -> std::unique_ptr<host::File> {
      return std::make_unique<SinkFile>(std::move(real), stats);
    };
    UseTestHost();
    PckArchive archive;
    EXPECT_EQ(c.status, archive.Create(Base(), 0, Package(), files, nullptr));
    // Nothing was ever written past the limit.
    EXPECT_LE(stats->highWater, kLimit);
    if (c.status == PckStatus::kSuccess) {
      EXPECT_EQ(kLimit, stats->highWater);
      ASSERT_EQ(12u, stats->header.size());
      EXPECT_EQ(static_cast<uint32_t>(kLimit), LoadLe32At(stats->header, 4));
    } else {
      EXPECT_EQ(c.entries, archive.entries().size());
      EXPECT_FALSE(PackageExists());
    }
  }
}

}  // namespace
