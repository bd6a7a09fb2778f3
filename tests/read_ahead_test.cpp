// read_ahead_test.cpp - entries decoded ahead on the workers change nothing: the
// reader hands out what ReadEntry gives, entry by entry, and extraction and --test
// print, write and log the same bytes with one, two and four threads, damaged
// entries included. An extracted file never replaces the package being read.
#include <optional>

#include "archive.h"
#include "entry_reader.h"
#include "names.h"
#include "pck_writer.h"
#include "test_util.h"
#include "work_queue.h"

// The sanitizers reserve far more address space than any cap a test could set.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUILLO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUILLO_SANITIZED 1
#endif
#endif

namespace {

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using pckfix::Zlib;
using testutil::Console;
using testutil::Noise;
using testutil::ReadFile;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::Text;
using testutil::TreeContents;
using testutil::U16;
using testutil::WriteFile;

FixtureEntry Entry(const std::string& name, const std::string& data) {
  FixtureEntry e;
  e.name = name;
  e.data = data;
  return e;
}

// Many entries in three folders: small text (batches of them), empty ones, large
// compressible and plain ones that go to the workers alone, and in the middle the
// entries a damaged package has: a stream spoiled halfway, stored bytes beyond the
// end of the file, sizes no stored form can have, a stream that ends early and an
// empty entry whose stored bytes are a stream anyway.
FixturePackage ManyEntries() {
  FixturePackage package;
  for (int i = 0; i < 300; ++i) {
    // Appended piece by piece: GCC 12 warns falsely about "literal" + std::string.
    const std::string number = std::to_string(i);
    std::string name = "d";
    ((name += std::to_string(i % 3)) += "\\f") += number;
    name += ".txt";
    std::string data;
    if (i % 71 == 9) {
      data = Text(1500000 + i, (std::string("large ") += number) += " ");
    } else if (i % 83 == 20) {
      data = Noise(400000 + i, static_cast<unsigned>(i));
    } else if (i % 29 == 0) {
      data = "";
    } else {
      data = Text(static_cast<size_t>(30 + (i * 53) % 1200), (std::string("w") += number) += " ");
    }
    package.entries.push_back(Entry(name, data));
  }
  FixtureEntry spoiled = Entry("bad\\spoiled.bin", Text(200000, "spoil me "));
  spoiled.stored = Zlib(spoiled.data);
  for (size_t k = spoiled.stored->size() / 2; k < spoiled.stored->size() - 4; ++k) {
    (*spoiled.stored)[k] = '\xA5';
  }
  FixtureEntry beyond = Entry("bad\\beyond.bin", Text(5000, "far "));
  beyond.offset = 0x7FFF0000;
  FixtureEntry impossible = Entry("bad\\impossible.bin", "tiny");
  impossible.dataSize = 10000000;
  FixtureEntry early = Entry("bad\\early.bin", Text(3000, "short "));
  early.dataSize = 4000;
  FixtureEntry appended = Entry("bad\\appended.bin", "");
  appended.stored = Zlib("a stream where nothing was expected");
  package.entries.insert(package.entries.begin() + 120, {spoiled, beyond, impossible});
  package.entries.insert(package.entries.begin() + 200, {early, appended});
  // Far enough from the start that it is read ahead while earlier entries go out.
  FixtureEntry late = beyond;
  late.name = "bad\\late.bin";
  package.entries.insert(package.entries.begin() + 290, late);
  return package;
}

// What one read of an entry gave.
struct Read {
  std::u16string name;
  PckStatus status = PckStatus::kSuccess;
  std::u16string subject;
  std::u16string reason;
  std::optional<ByteBuffer> data;  // unset where the data is not to be used

  bool operator==(const Read&) const = default;
};

Read Take(const PckArchive& archive, const PckEntry& entry, PckStatus status,
          const ByteBuffer& buffer) {
  Read read{std::u16string(EntryNameView(entry.name)), status, archive.failure().subject,
            archive.failure().reason, std::nullopt};
  // After a failed decoding the buffer is not to be used; after a refusal it is
  // left as it was, which the sentinel shows.
  if (!IsError(status) || read.reason != u"damaged data (zlib)") read.data = buffer;
  return read;
}

const ByteBuffer kSentinel = {'o', 'l', 'd'};

class ReadAheadTest : public TempDirTest {
 protected:
  void TearDown() override {
    SetPckThreadCount(0);
    TempDirTest::TearDown();
  }

  std::vector<Read> WithReadEntry(const std::vector<size_t>& chosen) {
    PckArchive archive;
    EXPECT_PCK_OK(archive.Open(U16(Path("game.pck"))));
    std::vector<Read> reads;
    for (size_t index : chosen) {
      const PckEntry& entry = archive.entries()[index];
      ByteBuffer buffer = kSentinel;
      const PckStatus status = archive.ReadEntry(entry, &buffer);
      reads.push_back(Take(archive, entry, status, buffer));
    }
    return reads;
  }

  std::vector<Read> WithReader(unsigned threads, const std::vector<size_t>& chosen) {
    SetPckThreadCount(threads);
    PckArchive archive;
    EXPECT_PCK_OK(archive.Open(U16(Path("game.pck"))));
    std::vector<Read> reads;
    PckEntryReader reader(&archive, chosen);
    ByteBuffer buffer;
    while (reader.HasNext()) {
      const PckEntry& entry = reader.NextEntry();
      buffer = kSentinel;
      const PckStatus status = reader.Next(&buffer);
      reads.push_back(Take(archive, entry, status, buffer));
    }
    return reads;
  }
};

TEST_F(ReadAheadTest, ReaderGivesWhatReadEntryGivesForEveryChoiceAndThreadCount) {
  const FixturePackage package = ManyEntries();
  WriteFile(Path("game.pck"), BuildPackage(package));
  const size_t count = package.entries.size();

  std::vector<size_t> all(count);
  for (size_t i = 0; i < count; ++i) all[i] = i;
  std::vector<size_t> sparse;  // every seventh entry and the damaged ones
  for (size_t i = 0; i < count; ++i) {
    if (i % 7 == 3 || package.entries[i].name.starts_with("bad\\")) sparse.push_back(i);
  }
  struct Case {
    const char* label;
    std::vector<size_t> chosen;
  };
  const Case cases[] = {
      {"every entry", all},
      {"a sparse choice", sparse},
      {"the large ones around the damaged stream", {119, 120, 121, 123}},
      {"one entry", {120}},
      {"none", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::vector<Read> expected = WithReadEntry(c.chosen);
    ASSERT_EQ(c.chosen.size(), expected.size());
    for (unsigned threads : {1u, 2u, 4u}) {
      SCOPED_TRACE(threads);
      const std::vector<Read> got = WithReader(threads, c.chosen);
      ASSERT_EQ(expected.size(), got.size());
      for (size_t k = 0; k < got.size(); ++k) {
        EXPECT_TRUE(expected[k] == got[k])
            << "entry " << c.chosen[k] << " (" << testutil::U8(got[k].name) << "): status "
            << static_cast<int>(got[k].status) << " reason " << testutil::U8(got[k].reason);
      }
    }
  }
  // The damaged entries are there, each as ReadEntry reports it.
  const std::vector<Read> damaged = WithReadEntry({120, 121, 122, 201});
  EXPECT_EQ(u"damaged data (zlib)", damaged[0].reason);
  EXPECT_EQ(u"damaged data (stored beyond the end of the package)", damaged[1].reason);
  EXPECT_EQ(u"damaged data (sizes that no stored form can have)", damaged[2].reason);
  EXPECT_EQ(ByteBuffer({'a', ' ', 's'}),
            ByteBuffer(damaged[3].data->begin(), damaged[3].data->begin() + 3));
}

// What one run of the tool left: its output and everything it wrote.
struct ToolRun {
  RunResult result;
  std::vector<std::pair<std::string, std::string>> files;  // below the output folders
  std::optional<std::string> log;

  bool operator==(const ToolRun& other) const {
    return result.exitCode == other.result.exitCode && result.out == other.result.out &&
           result.err == other.result.err && files == other.files && log == other.log;
  }
};

TEST_F(ReadAheadTest, ExtractAndTestPrintWriteAndLogTheSameWithOneTwoAndFourThreads) {
  WriteFile(Path("game.pck"), BuildPackage(ManyEntries()));
  // The first one runs again over the tree it wrote, so that every file replaces one.
  const std::vector<std::vector<std::string>> commands = {
      {"-x", "-v", "-d", "game.pck"},
      {"-x", "-d", "--include", "d1/**", "--include", "bad/*", "--to", "out", "game.pck"},
      {"-x", "--exclude", "d0/**", "--to", "out", "game.pck"},
      {"--test", "game.pck"},
      {"--test", "--json", "game.pck"},
      {"--test", "--include", "d2/**", "--include", "bad/early.bin", "game.pck"},
  };
  auto run = [&](const std::vector<std::string>& args, unsigned threads, bool fresh) {
    if (fresh) {
      fs::remove_all(Path("game.pck.files"));
      fs::remove_all(Path("out"));
      fs::remove(Path("log.txt"));
    }
    RunOptions options;
    options.env = {"QUILLO_THREADS=" + std::to_string(threads)};
    ToolRun out;
    out.result = RunTool(args, options);
    for (const char* folder : {"game.pck.files", "out"}) {
      if (!fs::exists(Path(folder))) continue;
      for (auto& [name, data] : TreeContents(Path(folder))) {
        out.files.emplace_back(std::string(folder) + "/" + name, std::move(data));
      }
    }
    if (fs::exists(Path("log.txt"))) out.log = ReadFile(Path("log.txt"));
    return out;
  };
  for (const auto& args : commands) {
    std::string line;
    for (const std::string& arg : args) (line += arg) += ' ';
    SCOPED_TRACE(line);
    const bool again = &args == &commands.front();
    const ToolRun first1 = run(args, 1, true);
    const ToolRun again1 = again ? run(args, 1, false) : ToolRun{};
    EXPECT_NE(0u, first1.result.out.size() + first1.result.err.size());
    for (unsigned threads : {2u, 4u}) {
      SCOPED_TRACE(threads);
      EXPECT_TRUE(first1 == run(args, threads, true)) << "a first run differs";
      if (again) {
        EXPECT_TRUE(again1 == run(args, threads, false)) << "a run over the tree differs";
      }
    }
  }

  // The damaged entries fail in the middle, and the run goes on past them.
  const ToolRun x = run({"-x", "game.pck"}, 4, true);
  for (const char* line :
       {" zlib error : bad\\spoiled.bin\n", " zlib error : bad\\beyond.bin\n",
        " zlib error : bad\\impossible.bin\n", " zlib error : bad\\late.bin\n"}) {
    EXPECT_NE(std::string::npos, x.result.out.find(Console(line))) << line;
  }
  EXPECT_EQ(ManyEntries().entries.size() - 4, x.files.size());
  EXPECT_EQ(Text(3000, "short ") + std::string(1000, '\0'),
            ReadFile(Path("game.pck.files/bad/early.bin")));
  EXPECT_EQ(Text(1500000 + 293, "large 293 "), ReadFile(Path("game.pck.files/d2/f293.txt")));
}

// An entry that leads to the package itself is refused, and the package stays whole,
// whatever the name it is reached by.
TEST_F(ReadAheadTest, ExtractRefusesToWriteOverThePackageBeingRead) {
  struct Case {
    const char* label;
    bool linuxOnly;
    std::string entry;  // the entry that leads to the package
    std::vector<std::string> args;
    std::string target;  // as named on standard error
  };
  const Case cases[] = {
      {"--to the package's folder",
       false,
       "game.pck",
       {"-x", "--to", ".", "game.pck"},
       "./game.pck"},
      {"a .files folder that is a link to the package's folder",
       true,
       "game.pck",
       {"-x", "game.pck"},
       "game.pck.files/game.pck"},
      {"another name of the same file",
       true,
       "other.pck",
       {"-x", "--to", ".", "game.pck"},
       "./other.pck"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.linuxOnly && testutil::kWindowsHost) continue;  // links need rights on Windows
    for (unsigned threads : {1u, 4u}) {
      SCOPED_TRACE(threads);
      fs::remove_all(dir_ / "game.pck.files");
      for (const char* name : {"a.txt", "z.txt", "game.pck", "other.pck"}) fs::remove(Path(name));
      FixturePackage fixture;
      fixture.entries = {Entry("a.txt", "first"), Entry(c.entry, Text(50000, "not a package ")),
                         Entry("z.txt", "last")};
      const std::string package = BuildPackage(fixture);
      WriteFile(Path("game.pck"), package);
      if (c.args.size() == 2) fs::create_directory_symlink(".", Path("game.pck.files"));
      if (c.entry == "other.pck") fs::create_hard_link(Path("game.pck"), Path("other.pck"));

      RunOptions options;
      options.env = {"QUILLO_THREADS=" + std::to_string(threads)};
      const RunResult run = RunTool(c.args, options);
      const std::string target = testutil::HostPath(c.target);
      EXPECT_EQ(Console("quillo: " + target + ": is the package being read\n"), run.err);
      if (c.args.size() == 2) {
        const auto progress = [](int done) { return testutil::Progress("extract data", done, 3); };
        EXPECT_EQ(Console(std::string(testutil::kBanner) +
                          "  pck : game.pck\n mode : extract\n mount pck...done.\n" + progress(1) +
                          progress(2) + " file operation error : " + c.entry + "\n" + progress(3)),
                  run.out);
      } else {
        EXPECT_EQ(1, run.exitCode);
      }
      EXPECT_TRUE(ReadFile(Path("game.pck")) == package) << "the package changed";
      EXPECT_EQ("first", ReadFile(Path("a.txt")));
      EXPECT_EQ("last", ReadFile(Path("z.txt")));
    }
  }
}

// An entry too large for memory fails alone, in its place, with every thread count.
TEST_F(ReadAheadTest, EntryTooLargeForMemoryFailsInItsPlaceWithEveryThreadCount) {
#if defined(_WIN32)
  GTEST_SKIP() << "Linux only: an address-space limit for the tool";
#elif defined(QUILLO_SANITIZED)
  GTEST_SKIP() << "the sanitizers reserve more address space than the limit";
#endif
  FixturePackage package;
  for (int i = 0; i < 40; ++i) {
    package.entries.push_back(Entry("f" + std::to_string(i) + ".txt", Text(20000, "x ")));
  }
  FixtureEntry big = Entry("big.bin", "");
  big.stored = Zlib("tiny");
  big.stored->resize(512 << 10);  // room enough, as sizes go, for 512 MiB
  big.dataSize = 512u << 20;
  package.entries.insert(package.entries.begin() + 20, big);
  WriteFile(Path("game.pck"), BuildPackage(package));

  std::optional<RunResult> single;
  for (unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(threads);
    fs::remove_all(Path("game.pck.files"));
    RunOptions options;
    options.addressSpaceLimit = uint64_t{256} << 20;
    options.env = {"QUILLO_THREADS=" + std::to_string(threads)};
    const RunResult run = RunTool({"-x", "game.pck"}, options);
    EXPECT_EQ(1, run.exitCode) << "signal " << run.signal;
    EXPECT_EQ("quillo: big.bin: not enough memory\n", run.err);
    EXPECT_EQ(40u, TreeContents(Path("game.pck.files")).size());
    if (!single) {
      single = run;
      EXPECT_NE(std::string::npos, run.out.find(" file operation error : big.bin\n"));
    } else {
      EXPECT_EQ(single->out, run.out);
    }
  }
}

}  // namespace
