// host_test.cpp - the host layer: renames, directories, identities, encodings.
#include "host/host.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::ReadFile;
using testutil::TempDirTest;
using testutil::U16;
using testutil::WriteFile;

class HostTest : public TempDirTest {
 protected:
  host::Host& h = host::Host::Default();
};

TEST_F(HostTest, RenameNeverReplacesAnExistingTarget) {
  WriteFile(Path("a"), "new");
  WriteFile(Path("b"), "old");
  EXPECT_FALSE(h.RenameFile(U16(Path("a")), U16(Path("b"))));
  EXPECT_EQ("new", ReadFile(Path("a")));
  EXPECT_EQ("old", ReadFile(Path("b")));

  EXPECT_TRUE(h.RenameFile(U16(Path("a")), U16(Path("c"))));
  EXPECT_FALSE(fs::exists(Path("a")));
  EXPECT_EQ("new", ReadFile(Path("c")));
  EXPECT_FALSE(h.RenameFile(U16(Path("missing")), U16(Path("d"))));
}

TEST_F(HostTest, RenameMovesAcrossFileSystems) {
  SKIP_UNLESS_LINUX("a second file system at /dev/shm");
#ifndef _WIN32
  struct stat here, shm;
  if (stat("/dev/shm", &shm) != 0 || stat(dir_.c_str(), &here) != 0 || shm.st_dev == here.st_dev) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  const fs::path other = fs::path("/dev/shm") / ("quillo-host-" + std::to_string(getpid()));
  fs::remove(other);
  const std::string bytes(100000, 'q');
  WriteFile(Path("a"), bytes);
  ASSERT_TRUE(h.RenameFile(U16(Path("a")), U16(other)));
  EXPECT_FALSE(fs::exists(Path("a")));
  EXPECT_EQ(bytes, ReadFile(other));

  // Moving back onto an existing file is refused like any rename, and both stay.
  WriteFile(Path("b"), "keep");
  EXPECT_FALSE(h.RenameFile(U16(other), U16(Path("b"))));
  EXPECT_EQ("keep", ReadFile(Path("b")));
  EXPECT_EQ(bytes, ReadFile(other));
  fs::remove(other);
#endif
}

TEST_F(HostTest, MakeDirectoryTellsWhetherItWasCreated) {
  EXPECT_TRUE(h.MakeDirectory(U16(Path("d"))));
  EXPECT_FALSE(h.MakeDirectory(U16(Path("d"))));
  EXPECT_FALSE(h.MakeDirectory(U16(Path("x/y"))));
  EXPECT_TRUE(fs::is_directory(Path("d")));
}

TEST_F(HostTest, ListsADirectoryWithLinksToDirectoriesAsDirectories) {
  WriteFile(Path("t/file.txt"), "x");
  fs::create_directory(Path("t/sub"));
  std::vector<std::pair<std::string, bool>> expected = {
      {".", true}, {"..", true}, {"file.txt", false}, {"sub", true}};
  if (!testutil::kWindowsHost) {  // symbolic links: Linux only
    fs::create_directory_symlink(Path("t/sub"), Path("t/link"));
    fs::create_symlink(Path("t/file.txt"), Path("t/filelink"));
    expected.insert(expected.end(), {{"filelink", false}, {"link", true}});
  }
  std::vector<host::DirItem> items;
  ASSERT_TRUE(h.ListDirectory(U16(Path("t")) + host::kPathSeparator, &items));
  std::vector<std::pair<std::string, bool>> seen;
  for (const auto& item : items) seen.emplace_back(testutil::U8(item.name), item.isDirectory);
  std::sort(seen.begin(), seen.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, seen);
  EXPECT_FALSE(h.ListDirectory(U16(Path("none")), &items));
}

TEST_F(HostTest, FileIdentityFollowsLinksAndFreeBytesFailsAsZero) {
  WriteFile(Path("f"), "x");
  fs::create_hard_link(Path("f"), Path("hard"));
  WriteFile(Path("g"), "x");
  host::FileId f, hard, g;
  ASSERT_TRUE(h.GetFileId(U16(Path("f")), &f));
  ASSERT_TRUE(h.GetFileId(U16(Path("hard")), &hard));
  ASSERT_TRUE(h.GetFileId(U16(Path("g")), &g));
  EXPECT_EQ(f, hard);
  if (!testutil::kWindowsHost) {  // symbolic links: Linux only
    fs::create_symlink(Path("f"), Path("soft"));
    host::FileId soft;
    ASSERT_TRUE(h.GetFileId(U16(Path("soft")), &soft));
    EXPECT_EQ(f, soft);
  }
  EXPECT_FALSE(f == g);
  EXPECT_FALSE(h.GetFileId(U16(Path("none")), &g));

  EXPECT_GT(h.FreeBytes(u"./"), 0u);
  EXPECT_EQ(0u, h.FreeBytes(U16(Path("none/"))));
}

TEST_F(HostTest, FilesSeekTellAndReportShortReads) {
  auto out = h.OpenFile(U16(Path("f")), host::OpenMode::kWrite);
  ASSERT_NE(nullptr, out);
  EXPECT_EQ(5u, out->Write("hello", 5));
  EXPECT_TRUE(out->Seek(0));
  EXPECT_EQ(1u, out->Write("J", 1));
  EXPECT_TRUE(out->Sync());
  EXPECT_TRUE(out->Close());
  EXPECT_EQ("Jello", ReadFile(Path("f")));

  auto in = h.OpenFile(U16(Path("f")), host::OpenMode::kRead);
  ASSERT_NE(nullptr, in);
  ASSERT_TRUE(in->SeekToEnd());
  EXPECT_EQ(5, in->Tell());
  ASSERT_TRUE(in->Seek(3));
  char buffer[8] = {};
  EXPECT_EQ(2u, in->Read(buffer, sizeof buffer));
  EXPECT_EQ("lo", std::string(buffer));

  auto log = h.OpenFile(U16(Path("f")), host::OpenMode::kAppend);
  ASSERT_NE(nullptr, log);
  EXPECT_EQ(1u, log->Write("!", 1));
  log->Close();
  EXPECT_EQ("Jello!", ReadFile(Path("f")));
  EXPECT_EQ(nullptr, h.OpenFile(U16(Path("none/f")), host::OpenMode::kWrite));
  EXPECT_EQ(nullptr, h.OpenFile(U16(Path("none")), host::OpenMode::kRead));
}

TEST_F(HostTest, OnlyRegularFilesAreOpened) {
  // A pipe without a writer would block an open for reading forever, one without
  // a reader an open for writing; neither waits, and neither opens.
  std::vector<std::string> names = {"dir"};
#ifdef _WIN32
  // Device names, in any folder and with any extension, are no files either.
  names.insert(names.end(), {"NUL", "nul.txt", "CON", "com1.pck"});
#else
  ASSERT_EQ(0, mkfifo(Path("pipe").c_str(), 0644));  // named pipes in a folder: Linux only
  names.push_back("pipe");
#endif
  fs::create_directory(Path("dir"));
  for (const std::string& name : names) {
    for (host::OpenMode mode :
         {host::OpenMode::kRead, host::OpenMode::kWrite, host::OpenMode::kAppend}) {
      EXPECT_EQ(nullptr, h.OpenFile(U16(Path(name)), mode)) << name;
    }
  }
  if (testutil::kWindowsHost) {  // and no file of such a name was made
    EXPECT_EQ((std::vector<std::string>{"dir"}), testutil::TreeListing(dir_));
  }
}

TEST(HostEncodingTest, CodePage936BothWays) {
  struct Case {
    std::u16string text;
    std::string bytes;
  };
  const Case cases[] = {
      {u"a.txt", "a.txt"},
      {u"\u6570\u636e\\\u6d4b\u8bd5.txt", "\xCA\xFD\xBE\xDD\\\xB2\xE2\xCA\xD4.txt"},
      {u"\u20ac", "\x80"},      // the euro sign is the single byte 0x80
      {u"\u4e02", "\x81\x40"},  // a two-byte character with the lowest trail byte
      {u"\u8868", "\xB1\xED"},
      {u"", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.text, host::Cp936ToUtf16(c.bytes)) << c.bytes;
    std::string out;
    EXPECT_TRUE(host::Utf16ToCp936(c.text, &out));
    EXPECT_EQ(c.bytes, out);
  }
}

TEST(HostEncodingTest, InvalidCodePage936BytesBecomeReplacementCharacters) {
  // 0xFF is no character; a lead byte at the end has no trail byte.
  EXPECT_EQ(u"a\uFFFDb", host::Cp936ToUtf16("a\xFF"
                                            "b"));
  EXPECT_EQ(u"ab\uFFFD", host::Cp936ToUtf16("ab\xCA"));
}

TEST(HostEncodingTest, CharactersWithoutACodePage936FormAreReported) {
  std::string out;
  EXPECT_FALSE(host::Utf16ToCp936(u"ab\U0001F600c", &out));
  EXPECT_EQ("ab", out);
}

TEST(HostEncodingTest, Utf8AndUtf16RoundTrip) {
  const std::u16string text = u"a\u00e9\u6570\U0001F600z";
  const std::string utf8 = "a\xC3\xA9\xE6\x95\xB0\xF0\x9F\x98\x80z";
  EXPECT_EQ(utf8, host::Utf16ToUtf8(text));
  EXPECT_EQ(text, host::Utf8ToUtf16(utf8));
  // Broken sequences and unpaired surrogates become U+FFFD.
  EXPECT_EQ(u"a\uFFFDb", host::Utf8ToUtf16("a\xC3"
                                           "b"));
  EXPECT_EQ("\xEF\xBF\xBD", host::Utf16ToUtf8(std::u16string(1, u'\xD800')));
}

}  // namespace
