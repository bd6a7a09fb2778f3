// cli_create_test.cpp - the create command end to end: console bytes, the packages it
// writes and reads back through extraction, and the file search below it.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <functional>
#include <map>
#include <random>

#include "archive.h"
#include "file_search.h"
#include "names.h"
#include "pck_writer.h"
#include "test_util.h"

namespace {

using testutil::Text;

namespace fs = std::filesystem;
using pckfix::BuildPackage;
using pckfix::FixturePackage;
using pckfix::Zlib;
using testutil::Console;
using testutil::kBanner;
using testutil::PathU8;
using testutil::Progress;
using testutil::ReadFile;
using testutil::RunOptions;
using testutil::RunResult;
using testutil::RunTool;
using testutil::TempDirTest;
using testutil::TreeContents;
using testutil::U16;
using testutil::U8;
using testutil::WriteFile;

const std::string kSearching = " serching files...done\n";
const std::string kSuccess = "\n pck create success\n";

std::string ModeLine(const std::string& pck, int level) {
  return "       pck : " + pck + "\n      mode : create\ncomp level : " + std::to_string(level) +
         "\n";
}

// The progress lines of a successful creation of `count` files.
std::string CreateProgress(int count) {
  std::string out;
  for (int i = 1; i <= count; ++i) out += Progress("compress data", i, count);
  for (int i = 1; i <= count; ++i) out += Progress("write file entry", i, count);
  return out;
}

std::string Noise(size_t size, unsigned seed = 11) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(gen());
  return out;
}

// The entry names of a package, sorted (the search order is the host's).
std::vector<std::string> SortedNames(const fs::path& package) {
  PckArchive archive;
  std::vector<std::string> names;
  if (archive.Open(U16(package)) != PckStatus::kSuccess) return {"<cannot open>"};
  for (const PckEntry& e : archive.entries()) names.push_back(U8(EntryNameView(e.name)));
  std::sort(names.begin(), names.end());
  return names;
}

using CreateCliTest = TempDirTest;

// --- Successful runs --------------------------------------------------------------------

TEST_F(CreateCliTest, PackageExtractsBackToTheSameTreeAtEachLevel) {
  WriteFile(Path("data/数据/说明.txt"), Text(5000, "说明 "));
  WriteFile(Path("data/empty.txt"), "");
  WriteFile(Path("data/noise.bin"), Noise(6000));
  WriteFile(Path("data/a/b/c/deep.txt"), Text(30000));
  WriteFile(Path("data/.hidden"), "hidden files are packed too");
  // A file that is itself a zlib stream, which compressing again does not shrink.
  WriteFile(Path("data/packed.z"), Zlib(Noise(6000)));
  for (int level : {-1, 0, 1, 9}) {
    SCOPED_TRACE(level);
    fs::remove(Path("game.pck"));
    fs::remove_all(Path("game.pck.files"));
    const RunResult run = RunTool({"-c", "data", "-z", std::to_string(level), "game.pck"});
    EXPECT_EQ(1, run.exitCode);
    EXPECT_EQ(
        Console(kBanner + ModeLine("game.pck", level) + kSearching + CreateProgress(6) + kSuccess),
        run.out);

    RunTool({"-x", "game.pck"});
    EXPECT_EQ(TreeContents(Path("data")), TreeContents(Path("game.pck.files")));
  }
}

TEST_F(CreateCliTest, DirectoryWithOrWithoutSeparatorGivesTheSamePackage) {
  WriteFile(Path("data/a.txt"), "alpha");
  WriteFile(Path("data/sub/b.txt"), Text(900));
  WriteFile(Path("data/c.txt"), "");
  const std::vector<std::string> names = {"a.txt", "c.txt", "sub\\b.txt"};

  RunTool({"-c", "data", "one.pck"});
  const std::string reference = ReadFile(Path("one.pck"));
  EXPECT_EQ(names, SortedNames(Path("one.pck")));

  const struct {
    const char* label;
    std::vector<std::string> args;
    fs::path cwd;
    std::string package;
  } cases[] = {
      {"trailing separator", {"-c", "data/", "two.pck"}, {}, "two.pck"},
      {"absolute directory", {"-c", PathU8(Path("data")), "three.pck"}, {}, "three.pck"},
      // An empty directory is the current directory.
      {"empty directory", {"-c", "", "../four.pck"}, Path("data"), "four.pck"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    RunOptions options;
    options.cwd = c.cwd;
    const RunResult run = RunTool(c.args, options);
    EXPECT_EQ(
        Console(kBanner + ModeLine(c.args[2], -1) + kSearching + CreateProgress(3) + kSuccess),
        run.out);
    EXPECT_EQ(reference, ReadFile(Path(c.package)));
  }
}

// A directory that does not exist is no longer an empty one (safe_create_test.cpp).
TEST_F(CreateCliTest, DirectoryWithoutFilesGivesTheEmptyPackage) {
  const struct {
    const char* label;
    std::vector<std::string> dirs;
  } cases[] = {
      {"empty directory", {"data"}},
      {"only empty subdirectories", {"data/x/y", "data/z"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(Path("data"));
    fs::remove(Path("game.pck"));
    for (const std::string& d : c.dirs) fs::create_directories(Path(d));
    const RunResult run = RunTool({"-c", "data", "game.pck"});
    EXPECT_EQ(Console(kBanner + ModeLine("game.pck", -1) + kSearching + kSuccess), run.out);
    const std::string bytes = ReadFile(Path("game.pck"));
    EXPECT_EQ(292u, bytes.size());
    EXPECT_EQ(BuildPackage(FixturePackage{}), bytes);
  }
}

// --- Failed runs ------------------------------------------------------------------------

TEST_F(CreateCliTest, FailedRunEndsWithTheStatusMessageAndNoLineFeed) {
  const struct {
    const char* label;
    std::map<std::string, std::string> files;  // below the scratch directory
    std::vector<std::string> args;
    uint64_t fileSizeLimit;  // Linux only: the other cases run on every host
    std::string tail;        // the output after the mode line
  } cases[] = {
      {"package directory missing",
       {{"data/a.txt", "abc"}},
       {"-c", "data", "nodir/game.pck"},
       0,
       kSearching + "\n pck create error : file open error"},
      {"name without a code page 936 form",
       {{"data/smile\U0001F600.txt", "abc"}},
       {"-c", "data", "game.pck"},
       0,
       kSearching + "\n pck create error : file operation error"},
      {"data write refused by the file size limit",
       {{"data/noise.bin", Noise(5000)}},
       {"-c", "data", "game.pck"},
       1000,
       kSearching + "\n pck create error : file operation error"},
      // The 579 bytes all fit the stream's buffer: the loss shows only at the flush.
      {"bytes lost when the stream is flushed",
       {{"data/a.txt", "abc"}},
       {"-c", "data", "-z", "0", "game.pck"},
       400,
       kSearching + CreateProgress(1) + "\n pck create error : file operation error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.fileSizeLimit != 0 && !testutil::kHasFileSizeLimit) continue;
    fs::remove_all(Path("data"));
    for (const auto& [path, data] : c.files) WriteFile(Path(path), data);
    RunOptions options;
    options.fileSizeLimit = c.fileSizeLimit;
    const RunResult run = RunTool(c.args, options);
    EXPECT_EQ(1, run.exitCode);
    const std::string level = c.args.size() == 5 ? c.args[3] : "-1";
    EXPECT_EQ(Console(kBanner + ModeLine(c.args.back(), std::stoi(level)) + c.tail), run.out);
    EXPECT_FALSE(fs::exists(Path(c.args.back())));
  }
}

// --- The package and the tree -------------------------------------------------------------

// A package left in the tree by an earlier run is never packed into the new one,
// whatever path leads to it.
TEST_F(CreateCliTest, PackageInsideTheTreeIsNeverPackedIntoItself) {
  const struct {
    const char* label;
    std::string package;          // the second run's package path
    std::function<void()> after;  // run between the two runs, in the scratch directory
    bool symbolicLink = false;    // Linux only
  } cases[] = {
      {"same path", "data/game.pck", nullptr},
      {"another path to it", "./data/../data/game.pck", nullptr},
      {"hard link to it in the tree", "data/game.pck",
       [] { fs::create_hard_link("data/game.pck", "data/copy.pck"); }},
      {"symbolic link to it in the tree", "data/game.pck",
       [] { fs::create_symlink("game.pck", "data/link.pck"); }, true},
      {"package path is a link into the tree", "outside.pck",
       [] { fs::create_symlink("data/game.pck", "outside.pck"); }, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.symbolicLink && testutil::kWindowsHost) continue;
    fs::remove_all(Path("data"));
    fs::remove(Path("outside.pck"));
    WriteFile(Path("data/a.txt"), "alpha");
    WriteFile(Path("data/sub/b.txt"), Text(400));
    RunTool({"-c", "data", "data/game.pck"});
    ASSERT_TRUE(fs::exists(Path("data/game.pck")));
    if (c.after) c.after();

    const RunResult run = RunTool({"-c", "data", c.package});
    EXPECT_EQ(
        Console(kBanner + ModeLine(c.package, -1) + kSearching + CreateProgress(2) + kSuccess),
        run.out);
    EXPECT_EQ((std::vector<std::string>{"a.txt", "sub\\b.txt"}),
              SortedNames(Path("data/game.pck")));
  }
}

// A link that leads nowhere when the tree is searched fails the search, also one
// that would come to lead to the package being written: nothing is written.
TEST_F(CreateCliTest, LinkThatComesToLeadToThePackageFailsTheSearch) {
  SKIP_UNLESS_LINUX("symbolic links");
  WriteFile(Path("data/a.txt"), "alpha");
  fs::create_symlink("../game.pck", Path("data/link.pck"));
  const RunResult run = RunTool({"-c", "data", "game.pck"});
  EXPECT_EQ(Console(kBanner + ModeLine("game.pck", -1) + kSearching +
                    "\n pck create error : file operation error"),
            run.out);
  EXPECT_FALSE(fs::exists(Path("game.pck")));
}

// A named pipe would block the read forever; creation fails instead.
TEST_F(CreateCliTest, NamedPipeInTheTreeFailsInsteadOfBlocking) {
  SKIP_UNLESS_LINUX("named pipes in a directory tree");
#ifndef _WIN32
  WriteFile(Path("data/a.txt"), "alpha");
  ASSERT_EQ(0, mkfifo(Path("data/pipe").c_str(), 0644));
  const RunResult run = RunTool({"-c", "data", "game.pck"});
  // The pipe may come before or after a.txt in the host's order.
  EXPECT_TRUE(run.out.starts_with(kBanner + ModeLine("game.pck", -1) + kSearching)) << run.out;
  EXPECT_TRUE(run.out.ends_with("\n pck create error : file operation error")) << run.out;
#endif
}

TEST_F(CreateCliTest, LinksToDirectoriesAreFollowedAndLoopsFail) {
  SKIP_UNLESS_LINUX("symbolic links");
  WriteFile(Path("data/a.txt"), "a");
  WriteFile(Path("data/sub/b.txt"), "b");
  WriteFile(Path("other/x.txt"), "x");
  fs::create_directory_symlink("sub", Path("data/alias"));     // a sibling: followed
  fs::create_directory_symlink("../other", Path("data/ext"));  // outside the tree: followed
  const RunResult run = RunTool({"-c", "data", "game.pck"});
  EXPECT_EQ(Console(kBanner + ModeLine("game.pck", -1) + kSearching + CreateProgress(4) + kSuccess),
            run.out);
  EXPECT_EQ((std::vector<std::string>{"a.txt", "alias\\b.txt", "ext\\x.txt", "sub\\b.txt"}),
            SortedNames(Path("game.pck")));

  // A link back to a directory on the path would be searched forever: the search
  // fails, and the package made above stays as it was.
  const std::string made = ReadFile(Path("game.pck"));
  const struct {
    const char* label;
    const char* target;
    const char* link;
  } loops[] = {
      {"an ancestor", "..", "data/sub/up"},
      {"itself", ".", "data/sub/self"},
      {"back to the root through another link", "../data", "other/back"},
  };
  for (const auto& loop : loops) {
    SCOPED_TRACE(loop.label);
    fs::create_directory_symlink(loop.target, Path(loop.link));
    const RunResult failed = RunTool({"-c", "data", "game.pck"});
    EXPECT_EQ(Console(kBanner + ModeLine("game.pck", -1) + kSearching +
                      "\n pck create error : file operation error"),
              failed.out);
    EXPECT_EQ(made, ReadFile(Path("game.pck")));
    fs::remove(Path(loop.link));
  }
}

// --- Search order -----------------------------------------------------------------------

// Lists the directories it was given in a chosen order; forwards everything else.
class OrderedHost : public host::HostWrapper {
 public:
  OrderedHost() : HostWrapper(host::Host::Default()) {}
  bool ListDirectory(const std::u16string& directory, std::vector<host::DirItem>* items) override {
    auto listing = listings.find(directory);
    if (listing == listings.end()) return target_.ListDirectory(directory, items);
    items->insert(items->end(), listing->second.begin(), listing->second.end());
    return true;
  }
  std::map<std::u16string, std::vector<host::DirItem>> listings;
};

TEST_F(CreateCliTest, SearchFollowsTheHostOrderDepthFirst) {
  WriteFile(Path("data/a.txt"), "a");
  WriteFile(Path("data/sub/b.txt"), "b");
  WriteFile(Path("data/c.txt"), "c");
  const std::u16string base = U16(Path("data")) + host::kPathSeparator;
  const std::u16string sub = base + u"sub" + host::kPathSeparator;
  const host::DirItem aTxt{u"a.txt", false}, cTxt{u"c.txt", false}, subDir{u"sub", true};
  const host::DirItem dot{u".", true}, dotdot{u"..", true};
  const struct {
    const char* label;
    std::vector<host::DirItem> order;
    FileList files;
    std::vector<std::u16string> names;
  } cases[] = {
      {"sub between the files",
       {dot, aTxt, subDir, dotdot, cTxt},
       {base + u"a.txt", sub + u"b.txt", base + u"c.txt"},
       {u"a.txt", u"sub\\b.txt", u"c.txt"}},
      {"sub last",
       {aTxt, cTxt, dotdot, dot, subDir},
       {base + u"a.txt", base + u"c.txt", sub + u"b.txt"},
       {u"a.txt", u"c.txt", u"sub\\b.txt"}},
  };
  OrderedHost ordered;
  ordered.listings[sub] = {dot, dotdot, {u"b.txt", false}};
  host::Host::SetCurrent(&ordered);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ordered.listings[base] = c.order;
    FileList files;
    CollectFiles(base, &files);
    EXPECT_EQ(c.files, files);

    PckArchive archive;
    ASSERT_PCK_OK(archive.Create(base, -1, U16(Path("game.pck")), files, nullptr));
    std::vector<std::u16string> names;
    for (const PckEntry& e : archive.entries()) names.emplace_back(EntryNameView(e.name));
    EXPECT_EQ(c.names, names);
  }
}

}  // namespace
