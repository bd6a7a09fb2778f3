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

// Bytes that are no code page 936 character read as escaped bytes (U+DC00 + byte),
// one per byte, and decoding goes on right after them; they are written back as the
// same bytes, so that no two stored names read as the same text.
TEST(HostEncodingTest, InvalidCodePage936BytesAreEscapedAndWrittenBack) {
  struct Case {
    std::string bytes;
    std::u16string text;
  };
  const Case cases[] = {
      {"a\xFF"
       "b",
       u"a\xDCFF"
       "b"},                              // 0xFF is no character
      {"a\xFE.txt", u"a\xDCFE.txt"},      // a lead byte before a byte that is no trail
      {"ab\xCA", u"ab\xDCCA"},            // a lead byte at the end
      {"\xFF\xFF", u"\xDCFF\xDCFF"},      // one escape per byte
      {"\xFF\xCA\xFD", u"\xDCFF\x6570"},  // the byte after an escape starts a pair
      {"\xCA\x7F", u"\xDCCA\x7F"},        // 0x7F is never a trail byte
      {"\xAA\xA1", u"\xDCAA\xDCA1"},      // the user-defined area is unassigned
      {"\xA2\xE3", u"\xDCA2\xDCE3"},      // so are some codes in the other areas
      {"\xFE\x50",
       u"\xDCFE"
       "P"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.text, host::Cp936ToUtf16(c.bytes)) << c.bytes;
    std::string out;
    EXPECT_TRUE(host::Utf16ToCp936(c.text, &out)) << c.bytes;
    EXPECT_EQ(c.bytes, out);
  }
  EXPECT_NE(host::Cp936ToUtf16("a\xFF.txt"), host::Cp936ToUtf16("a\xFE.txt"));
}

// Every one- and two-byte sequence reads as the same text on every host (the value
// below is the one glibc's CP936 gives on Linux), and is written back as the same
// bytes.
TEST(HostEncodingTest, EveryHostReadsEveryByteAndPairAlike) {
  uint64_t hash = 14695981039346656037u;  // FNV-1a over the units of every text
  auto add = [&hash](char16_t unit) {
    for (int shift : {0, 8}) {
      hash ^= static_cast<uint8_t>(unit >> shift);
      hash *= 1099511628211u;
    }
  };
  size_t roundTrips = 0;
  for (int lead = 0x80; lead <= 0xFF; ++lead) {
    for (int trail = -1; trail <= 0xFF; ++trail) {  // -1: the lead byte alone
      std::string bytes(1, static_cast<char>(lead));
      if (trail >= 0) bytes.push_back(static_cast<char>(trail));
      const std::u16string text = host::Cp936ToUtf16(bytes);
      for (char16_t unit : text) add(unit);
      add(u'|');
      std::string back;
      if (host::Utf16ToCp936(text, &back) && back == bytes) ++roundTrips;
    }
  }
  EXPECT_EQ(128u * 257u, roundTrips);
  EXPECT_EQ(0x1a7bea19a5c9df4bu, hash);
}

// An escaped byte is written only where it reads back as itself.
TEST(HostEncodingTest, EscapedBytesThatWouldNotReadBackHaveNoForm) {
  struct Case {
    std::u16string text;
    std::string before;  // the form of the characters before the first that fails
  };
  const Case cases[] = {
      {u"x\xDCCA\xDCFD", "x\xCA"},  // CA FD is a character
      {u"x\xDCCA"
       "A",
       "x\xCA"},          // so is CA 41
      {u"x\xDC80", "x"},  // 0x80 is the euro sign
      {u"\xDCFF\xDCB0\xDCA1z", "\xFF\xB0"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_FALSE(host::Utf16ToCp936(c.text, &out)) << c.before;
    EXPECT_EQ(c.before, out);
  }
  // Other lone surrogates have no form either.
  std::string out;
  EXPECT_FALSE(host::Utf16ToCp936(u"a\xDC7F", &out));
  EXPECT_FALSE(host::Utf16ToCp936(u"a\xD800", &out));
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
  // Unpaired surrogates other than escaped bytes become U+FFFD.
  EXPECT_EQ("\xEF\xBF\xBD", host::Utf16ToUtf8(std::u16string(1, u'\xD800')));
  EXPECT_EQ("\xEF\xBF\xBD", host::Utf16ToUtf8(std::u16string(1, u'\xDC7F')));
  // A high surrogate before U+DC80 is a pair, not an escaped byte.
  EXPECT_EQ("\xF0\x90\x82\x80", host::Utf16ToUtf8(u"\xD800\xDC80"));
}

// Bytes that are not valid UTF-8 become escaped bytes, one per byte, and come back
// unchanged: any file name or argument survives the trip through UTF-16.
TEST(HostEncodingTest, InvalidUtf8BytesAreEscapedAndComeBack) {
  struct Case {
    std::string bytes;
    std::u16string text;
  };
  const Case cases[] = {
      {"out\xFE.pck", u"out\xDCFE.pck"},
      {"a\xC3"
       "b",
       u"a\xDCC3"
       "b"},                                              // a cut sequence
      {"\xE6\x95", u"\xDCE6\xDC95"},                      // cut at the end
      {"\x80\xBF", u"\xDC80\xDCBF"},                      // stray continuation bytes
      {"\xC0\xAF", u"\xDCC0\xDCAF"},                      // overlong
      {"\xE0\x80\xAF", u"\xDCE0\xDC80\xDCAF"},            // overlong
      {"\xED\xA0\x80", u"\xDCED\xDCA0\xDC80"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\xDCF4\xDC90\xDC80\xDC80"},  // beyond U+10FFFF
      {"\xF5\xFF", u"\xDCF5\xDCFF"},
      {"\xFF\xC3\xA9", u"\xDCFF\u00E9"},        // a valid sequence after an escape
      {"\xED\xB2\x80", u"\xDCED\xDCB2\xDC80"},  // U+DC80 itself, encoded
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.text, host::Utf8ToUtf16(c.bytes)) << c.bytes;
    EXPECT_EQ(c.bytes, host::Utf16ToUtf8(c.text)) << c.bytes;
  }
}

}  // namespace
