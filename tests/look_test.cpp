// look_test.cpp - runs with long options end to end: --test, --ls, --json, --cat,
// --include/--exclude/--files-from and --to, --help and --version, bad command lines.
#include <zlib.h>

#include <nlohmann/json.hpp>

#include "pck_writer.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::FixtureEntry;
using pckfix::FixturePackage;
using pckfix::Gbk;
using pckfix::Zlib;
using testutil::Console;
using testutil::kBanner;
using testutil::Noise;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::TreeContents;
using testutil::WriteFile;

FixtureEntry Entry(const std::string& name, const std::string& data,
                   pckfix::Form form = pckfix::Form::kAuto) {
  FixtureEntry e;
  e.name = name;
  e.data = data;
  e.form = form;
  return e;
}

// The lines of what the tool wrote to a stream, in UTF-8 without line ends. Console
// text (the listing, standard error) is code page 936 with CR LF on Windows.
std::vector<std::string> Lines(const std::string& bytes, bool console = true) {
  std::string text = bytes;
  if (testutil::kWindowsHost && console) text = testutil::U8(host::Cp936ToUtf16(bytes));
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
    start = end + 1;
  }
  return out;
}

// The listing line of an entry: sizes ten wide, the ratio six, the storage five.
std::string LsLine(uint64_t size, uint64_t stored, const std::string& storage,
                   const std::string& name) {
  auto pad = [](std::string text, size_t width) {
    return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
  };
  std::string ratio = "-";
  if (size != 0) {
    const uint64_t permille = (stored * 1000 + size / 2) / size;
    ratio = std::to_string(permille / 10) + "." + std::to_string(permille % 10) + "%";
  }
  std::string line = pad(std::to_string(size), 10) + "  " + pad(std::to_string(stored), 10) + "  " +
                     pad(ratio, 6) + "  " + storage;
  return line + std::string(7 - storage.size(), ' ') + name;
}

const std::string kHelpHint = "quillo: see 'quillo --help' for the options";

class LookTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    big_ = testutil::Text(20000, "big text ");
    noise_ = Noise(3000);
    noise_[10] = '\n';  // bytes a text stream would turn into CR LF, or drop
    noise_[11] = '\r';
    noise_[12] = 0x1A;
    cp936_ = testutil::Text(700, "数据 ");
    package_.entries = {
        Entry("a.txt", "hello\n"),
        Entry("textures\\big.txt", big_),
        Entry("empty.bin", ""),
        Entry(Gbk("数据\\坏.bin"), cp936_, pckfix::Form::kZlib),
        Entry("Textures\\sub\\c.dds", noise_),
        Entry("q\"x\x01.txt", "odd"),
    };
    WriteFile(Path("game.pck"), BuildPackage(package_));
  }

  // Runs the tool and checks the status it ends with.
  RunResult Run(const std::vector<std::string>& args, int status) {
    RunResult result = RunTool(args);
    EXPECT_EQ(status, result.exitCode) << testing::PrintToString(args) << " err: " << result.err;
    return result;
  }

  std::string big_;
  std::string noise_;
  std::string cp936_;
  FixturePackage package_;
};

// --- --ls and --json ---------------------------------------------------------------

TEST_F(LookTest, LsListsEveryEntryInTableOrderWithTotals) {
  const RunResult result = Run({"--ls", "game.pck"}, 0);
  const uint64_t bigStored = Zlib(big_).size();
  const uint64_t cpStored = Zlib(cp936_).size();
  const uint64_t size = 6 + big_.size() + cp936_.size() + noise_.size() + 3;
  const uint64_t stored = 6 + bigStored + cpStored + noise_.size() + 3;
  std::string expected = LsLine(6, 6, "plain", "a.txt") + "\n" +
                         LsLine(big_.size(), bigStored, "zlib", "textures\\big.txt") + "\n" +
                         LsLine(0, 0, "empty", "empty.bin") + "\n" +
                         LsLine(cp936_.size(), cpStored, "zlib", "数据\\坏.bin") + "\n" +
                         LsLine(noise_.size(), noise_.size(), "plain", "Textures\\sub\\c.dds") +
                         "\n" + LsLine(3, 3, "plain", "q\"x?.txt") + "\n";
  expected += LsLine(size, stored, "", "6 entries") + "\n";
  EXPECT_EQ(Console(expected), result.out);
  EXPECT_EQ("", result.err);
}

TEST_F(LookTest, JsonLinesParseAndNamesRoundTrip) {
  for (const char* command : {"--ls", "--test"}) {
    const RunResult result = Run({command, "--json", "game.pck"}, 0);
    const std::vector<std::string> lines = Lines(result.out, false);
    ASSERT_EQ(package_.entries.size() + 1, lines.size()) << result.out;
    uint32_t offset = 12;
    for (size_t i = 0; i < package_.entries.size(); ++i) {
      const nlohmann::json object = nlohmann::json::parse(lines[i]);
      const FixtureEntry& entry = package_.entries[i];
      const std::string stored = pckfix::Encode(entry.data, entry.form, entry.level);
      EXPECT_EQ("entry", object.at("type"));
      std::string name = testutil::U8(host::Cp936ToUtf16(entry.name));
      EXPECT_EQ(name, object.at("name").get<std::string>());
      EXPECT_EQ(entry.data.size(), object.at("size").get<uint64_t>());
      EXPECT_EQ(stored.size(), object.at("stored").get<uint64_t>());
      EXPECT_EQ(offset, object.at("offset").get<uint32_t>());
      const std::string storage = entry.data.empty()                   ? "empty"
                                  : stored.size() == entry.data.size() ? "plain"
                                                                       : "zlib";
      EXPECT_EQ(storage, object.at("storage")) << name;
      EXPECT_EQ(std::string(command) == "--test", object.contains("status"));
      if (object.contains("status")) {
        EXPECT_EQ("ok", object.at("status"));
      }
      offset += static_cast<uint32_t>(stored.size());
    }
    const nlohmann::json summary = nlohmann::json::parse(lines.back());
    EXPECT_EQ("summary", summary.at("type"));
    EXPECT_EQ(package_.entries.size(), summary.at("entries").get<size_t>());
    EXPECT_EQ(offset - 12, summary.at("stored").get<uint32_t>());
    if (std::string(command) == "--test") {
      EXPECT_EQ(0, summary.at("damaged").get<int>());
    }
    EXPECT_EQ("", result.err);
  }
}

// --- --test ------------------------------------------------------------------------

// Progress lines go to standard error, and only when it is a terminal; the line
// drawn last is wiped before the run ends. Standard output is untouched either way.
TEST_F(LookTest, ProgressGoesToATerminalOnly) {
  SKIP_UNLESS_LINUX("a pseudo-terminal as standard error");
  testutil::RunOptions terminal;
  terminal.stderrTerminal = true;
  const RunResult shown = RunTool({"--test", "game.pck"}, terminal);
  EXPECT_EQ(0, shown.exitCode);
  const std::string last = testutil::Progress("test data", 6, 6);
  EXPECT_NE(std::string::npos, shown.err.find(last)) << shown.err;
  EXPECT_EQ(std::string(78, ' ') + "\r", shown.err.substr(shown.err.size() - 79));
  EXPECT_EQ(Run({"--test", "game.pck"}, 0).out, shown.out);
  EXPECT_EQ("", Run({"--test", "game.pck"}, 0).err);
}

TEST_F(LookTest, TestOfAGoodPackageSaysSoAndWritesNothing) {
  const RunResult result = Run({"--test", "game.pck"}, 0);
  const size_t bytes = 6 + big_.size() + cp936_.size() + noise_.size() + 3;
  EXPECT_EQ(Console("6 entries tested, " + std::to_string(bytes) + " bytes, 0 damaged\n"),
            result.out);
  EXPECT_EQ("", result.err);
  EXPECT_EQ(
      (std::vector<std::pair<std::string, std::string>>{{"game.pck", BuildPackage(package_)}}),
      TreeContents(dir_));
}

TEST_F(LookTest, TestNamesEachDamagedEntryAndGoesOn) {
  struct Case {
    const char* what;
    void (*damage)(FixtureEntry*);
    std::string reason;
  };
  const Case cases[] = {
      {"a flipped stored byte",
       [](FixtureEntry* e) {
         std::string stream = Zlib(e->data);
         stream[stream.size() / 2] ^= 0x40;
         e->stored = stream;
       },
       "zlib error"},
      {"a stream cut short", [](FixtureEntry* e) { e->stored = Zlib(e->data).substr(0, 40); },
       "zlib error"},
      {"a record whose data lies past the end", [](FixtureEntry* e) { e->offset = 0x7FFFFF00; },
       "zlib error"},
      {"a record that claims more data than the stream holds",
       [](FixtureEntry* e) { e->dataSize = static_cast<uint32_t>(e->data.size() + 10); },
       "zlib error: the data ends after 20000 of 20010 bytes"},
  };
  for (const Case& c : cases) {
    FixturePackage package = package_;
    c.damage(&package.entries[1]);  // textures\big.txt
    WriteFile(Path("bad.pck"), BuildPackage(package));
    const RunResult result = Run({"--test", "bad.pck"}, 1);
    const std::vector<std::string> err = Lines(result.err);
    ASSERT_EQ(1u, err.size()) << c.what << ": " << result.err;
    // The library may add its own reason after the status message.
    EXPECT_EQ(0u, err[0].rfind("quillo: textures\\big.txt: " + c.reason, 0)) << c.what;
    const std::vector<std::string> out = Lines(result.out);
    ASSERT_EQ(1u, out.size()) << c.what;
    EXPECT_EQ(0u, out[0].rfind("6 entries tested, ", 0)) << c.what;
    EXPECT_NE(std::string::npos, out[0].find(", 1 damaged")) << c.what;

    const RunResult json = Run({"--test", "--json", "bad.pck"}, 1);
    const std::vector<std::string> lines = Lines(json.out, false);
    ASSERT_EQ(7u, lines.size()) << c.what;
    EXPECT_EQ("zlib error", nlohmann::json::parse(lines[1]).at("status")) << c.what;
    EXPECT_EQ("ok", nlohmann::json::parse(lines[3]).at("status")) << c.what;
    EXPECT_EQ(1, nlohmann::json::parse(lines[6]).at("damaged").get<int>()) << c.what;
  }
}

TEST_F(LookTest, APackageThatDoesNotOpenEndsWithStatusTwo) {
  const std::string whole = BuildPackage(package_);
  WriteFile(Path("cut.pck"), whole.substr(0, whole.size() - 100));
  const struct {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"--test", "cut.pck"}, "quillo: cut.pck: not supported"},
      {{"--ls", "--json", "missing.pck"}, "quillo: missing.pck: file open error"},
      {{"--cat", "missing.pck", "a.txt"}, "quillo: missing.pck: file open error"},
      {{"-x", "--to", "out", "missing.pck"}, "quillo: missing.pck: file open error"},
  };
  for (const auto& c : cases) {
    const RunResult result = Run(c.args, 2);
    EXPECT_EQ("", result.out);
    const std::vector<std::string> err = Lines(result.err);
    ASSERT_EQ(1u, err.size()) << result.err;
    EXPECT_EQ(0u, err[0].rfind(c.line, 0)) << err[0];
  }
  EXPECT_FALSE(fs::exists(Path("out")));
}

// --- --cat -------------------------------------------------------------------------

TEST_F(LookTest, CatWritesTheBytesThatExtractWrites) {
  RunTool({"-x", "game.pck"});
  const struct {
    std::string asked;
    std::string file;
  } cases[] = {
      {"a.txt", "a.txt"},
      {"textures/big.txt", "textures/big.txt"},
      {"TEXTURES\\BIG.TXT", "textures/big.txt"},
      {"empty.bin", "empty.bin"},
      {"数据/坏.bin", "数据/坏.bin"},
      {"Textures/sub/c.dds", "Textures/sub/c.dds"},
  };
  for (const auto& c : cases) {
    const std::string extracted = ReadFile(Path("game.pck.files/" + c.file));
    const RunResult result = Run({"--cat", "game.pck", c.asked}, 0);
    EXPECT_EQ(extracted, result.out) << c.asked;
    EXPECT_EQ("", result.err) << c.asked;
  }
  EXPECT_EQ(noise_, Run({"--cat", "game.pck", "Textures/sub/c.dds"}, 0).out);
}

TEST_F(LookTest, CatOfAMissingNameWritesNothingAndOfATwiceHeldNameTheLast) {
  const RunResult missing = Run({"--cat", "game.pck", "nope.txt"}, 2);
  EXPECT_EQ("", missing.out);
  EXPECT_EQ(std::vector<std::string>{"quillo: nope.txt: file not found in archive"},
            Lines(missing.err));

  FixturePackage twice = package_;
  twice.entries.push_back(Entry("a.txt", "second\n"));
  twice.entries.push_back(Entry("A.TXT", "other case\n"));
  WriteFile(Path("twice.pck"), BuildPackage(twice));
  EXPECT_EQ("second\n", Run({"--cat", "twice.pck", "a.txt"}, 0).out);
  EXPECT_EQ("other case\n", Run({"--cat", "twice.pck", "A.txt"}, 0).out);  // no equal name

  FixturePackage damaged = package_;
  damaged.entries[1].stored = Zlib(big_).substr(0, 40);
  WriteFile(Path("bad.pck"), BuildPackage(damaged));
  const RunResult bad = Run({"--cat", "bad.pck", "textures/big.txt"}, 1);
  EXPECT_EQ("", bad.out);
  EXPECT_EQ(0u, bad.err.rfind("quillo: textures\\big.txt: zlib error", 0)) << bad.err;
}

// --- --include, --exclude, --files-from, --to ---------------------------------------

TEST_F(LookTest, PatternsChooseWhatIsExtractedListedAndTested) {
  const RunResult x =
      Run({"-x", "--include", "TEXTURES", "--exclude=**/*.dds", "--to", "out", "game.pck"}, 0);
  EXPECT_EQ("", x.out);
  EXPECT_EQ("", x.err);
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"textures/big.txt", big_}}),
            TreeContents(Path("out")));
  EXPECT_FALSE(fs::exists(Path("game.pck.files")));

  // -d logs the entries taken, and only those.
  Run({"-x", "-d", "--include", "a.txt", "--to", "out", "game.pck"}, 0);
  EXPECT_EQ("a.txt,6,6,12\r\n", ReadFile(Path("log.txt")));

  const RunResult ls = Run({"--ls", "--include", "数据", "--include", "*.txt", "game.pck"}, 0);
  const std::vector<std::string> lines = Lines(ls.out);
  ASSERT_EQ(4u, lines.size()) << ls.out;
  EXPECT_NE(std::string::npos, lines[0].find("  a.txt"));
  EXPECT_NE(std::string::npos, lines[1].find("  数据\\坏.bin"));
  EXPECT_NE(std::string::npos, lines[2].find("  q\"x?.txt"));
  EXPECT_NE(std::string::npos, lines[3].find("3 entries"));

  const RunResult test = Run({"--test", "--include", "textures/**", "game.pck"}, 0);
  EXPECT_EQ(Console("2 entries tested, " + std::to_string(big_.size() + noise_.size()) +
                    " bytes, 0 damaged\n"),
            test.out);
}

TEST_F(LookTest, AnIncludeThatMatchesNothingIsNamedAndTheRunGoesOn) {
  const RunResult result =
      Run({"-x", "--include", "a.txt", "--include", "sounds", "--to", "out", "game.pck"}, 1);
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"a.txt", "hello\n"}}),
            TreeContents(Path("out")));
  EXPECT_EQ(std::vector<std::string>{"quillo: --include sounds: matches no entry"},
            Lines(result.err));
}

TEST_F(LookTest, FilesFromReadsOneIncludePerLine) {
  // A byte-order mark, CR LF and LF line ends, an empty line, a name in UTF-8.
  WriteFile(Path("names.txt"),
            "\xEF\xBB\xBF"
            "a.txt\r\n\r\n数据/坏.bin\nnot/there\r\n");
  const RunResult result = Run({"-x", "--files-from", "names.txt", "--to", "out", "game.pck"}, 1);
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"a.txt", "hello\n"},
                                                              {"数据/坏.bin", cp936_}}),
            TreeContents(Path("out")));
  EXPECT_EQ(std::vector<std::string>{"quillo: --include not/there: matches no entry"},
            Lines(result.err));

  WriteFile(Path("empty.txt"), "");  // an empty list takes nothing, not everything
  const RunResult none = Run({"--ls", "--files-from", "empty.txt", "game.pck"}, 0);
  EXPECT_EQ(1u, Lines(none.out).size()) << none.out;

  const RunResult lost = Run({"--ls", "--files-from", "lost.txt", "game.pck"}, 2);
  EXPECT_EQ("", lost.out);
  EXPECT_EQ(0u, lost.err.rfind("quillo: lost.txt: ", 0)) << lost.err;
}

TEST_F(LookTest, ToRefusesNamesThatLeaveItAndWritesTheRest) {
  FixturePackage package;
  package.entries = {Entry("..\\evil.txt", "evil"), Entry("ok\\fine.txt", "fine"),
                     Entry("sub\\..\\..\\evil2.txt", "evil")};
  WriteFile(Path("escape.pck"), BuildPackage(package));
  fs::create_directories(Path("deep/root"));
  const RunResult result = Run({"-x", "--to", "deep/root/", "escape.pck"}, 1);
  EXPECT_EQ("", result.out);
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"ok/fine.txt", "fine"}}),
            TreeContents(Path("deep/root")));
  EXPECT_FALSE(fs::exists(Path("deep/evil.txt")));
  EXPECT_FALSE(fs::exists(Path("evil2.txt")));
  const std::vector<std::string> err = Lines(result.err);
  ASSERT_EQ(2u, err.size()) << result.err;
  EXPECT_EQ(0u, err[0].rfind("quillo: ..\\evil.txt: ", 0)) << err[0];
  EXPECT_EQ(0u, err[1].rfind("quillo: sub\\..\\..\\evil2.txt: ", 0)) << err[1];
}

TEST_F(LookTest, ExtractNamesEachFailureOnStandardErrorAndEndsWithOne) {
  FixturePackage damaged = package_;
  damaged.entries[1].stored = Zlib(big_).substr(0, 40);
  WriteFile(Path("bad.pck"), BuildPackage(damaged));
  const RunResult result = Run({"-x", "--exclude", "q*", "--to", "out", "bad.pck"}, 1);
  EXPECT_EQ("", result.out);  // no progress and no " zlib error : name" line there
  const std::vector<std::string> err = Lines(result.err);
  ASSERT_EQ(1u, err.size()) << result.err;
  EXPECT_EQ(0u, err[0].rfind("quillo: textures\\big.txt: ", 0)) << err[0];  // and the reason
  EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"Textures/sub/c.dds", noise_},
                                                              {"a.txt", "hello\n"},
                                                              {"empty.bin", ""},
                                                              {"数据/坏.bin", cp936_}}),
            TreeContents(Path("out")));
}

// --- The command line ---------------------------------------------------------------

TEST_F(LookTest, BadCommandLinesEndWithStatusTwoAndAPointerToHelp) {
  const struct {
    std::vector<std::string> args;
    std::string what;
  } cases[] = {
      {{"--frob", "game.pck"}, "--frob: unknown option"},
      {{"--LS", "game.pck"}, "--LS: unknown option"},
      {{"--ls"}, "--ls: give the package"},
      {{"--ls", "game.pck", "more.pck"}, "more.pck: one argument too many"},
      {{"--cat", "game.pck"}, "--cat: give the package and the entry name"},
      {{"--ls", "--include"}, "--include: needs a value"},
      {{"--ls", "--include=", "game.pck"}, "--include: the value is empty"},
      {{"--ls=yes", "game.pck"}, "--ls: takes no value"},
      {{"--ls", "--test", "game.pck"}, "--ls and --test: give one command only"},
      {{"-x", "--cat", "game.pck", "a.txt"}, "-x and --cat: give one command only"},
      {{"--json", "game.pck"}, "no command: give -x, -c, --test, --ls, --cat, --add or --delete"},
      {{"--include", "a", "game.pck"},
       "no command: give -x, -c, --test, --ls, --cat, --add or --delete"},
      {{"--json", "-x", "game.pck"}, "--json: only with --ls or --test"},
      {{"--cat", "--include", "a", "game.pck", "a.txt"},
       "--include, --exclude and --files-from: only with -x, --ls or --test"},
      {{"--ls", "--to", "out", "game.pck"}, "--to: only with -x"},
      {{"-x", "--to", "a", "--to", "b", "game.pck"}, "--to: given twice"},
      {{"--ls", "-d", "game.pck"}, "-d: only with -x"},
      {{"-r", "--ls", "game.pck"},
       "-r: not an option of runs with long options (only -x, -d, -c and -z are)"},
      {{"-x", "-v", "--to", "o", "game.pck"},
       "-v: not an option of runs with long options (only -x, -d, -c and -z are)"},
  };
  for (const auto& c : cases) {
    const RunResult result = Run(c.args, 2);
    EXPECT_EQ("", result.out) << testing::PrintToString(c.args);
    EXPECT_EQ((std::vector<std::string>{"quillo: " + c.what, kHelpHint}), Lines(result.err))
        << testing::PrintToString(c.args);
  }
  EXPECT_FALSE(fs::exists(Path("game.pck.files")));
  EXPECT_FALSE(fs::exists(Path("out")));
}

TEST_F(LookTest, OptionsEndAtTheDoubleDash) {
  WriteFile(Path("-odd.pck"), BuildPackage(package_));
  const RunResult result = Run({"--cat", "--", "-odd.pck", "a.txt"}, 0);
  EXPECT_EQ("hello\n", result.out);
}

// Only an argument that the original's parser reads as an option can be a long
// option: the value of -c or -z is taken whatever it begins with.
TEST_F(LookTest, TheValueOfCOrZIsNoLongOption) {
  const RunResult result = RunTool({"-z", "--3", "-r", "lost.pck"});
  EXPECT_EQ(1, result.exitCode);
  EXPECT_EQ(Console(std::string(kBanner) + "       pck : lost.pck\n      mode : repack\n" +
                    "comp level : 0\n mount pck...file open error\n"),
            result.out);
}

TEST_F(LookTest, HelpNamesEveryOptionAndVersionTheVersions) {
  const RunResult help = Run({"--help"}, 0);
  for (const char* option : {"-x", "-l", "-c", "-r", "-z", "-d", "--test", "--ls", "--json",
                             "--cat", "--include", "--exclude", "--files-from", "--to", "--sort",
                             "--add", "--delete", "--help", "--version"}) {
    EXPECT_NE(std::string::npos, help.out.find(option)) << option;
  }
  EXPECT_LE(Lines(help.out).size(), 24u);  // one screen
  EXPECT_EQ("", help.err);
  EXPECT_EQ(help.out, Run({"--ls", "--help", "game.pck"}, 0).out);
  EXPECT_EQ(help.out, Run({"--ls", "--test", "--help"}, 0).out);

  const RunResult version = Run({"--version"}, 0);
  EXPECT_EQ(
      Console(std::string("quillo ") + QUILLO_PROJECT_VERSION + "\nzlib " + zlibVersion() + "\n"),
      version.out);
}

}  // namespace
