// name_match_test.cpp - entry name patterns and the include/exclude selection.
#include "name_match.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct MatchCase {
  std::u16string pattern;
  std::u16string name;
  bool matches;
};

TEST(NameMatchTest, PatternsMatchTheNamesTheyDescribe) {
  const MatchCase cases[] = {
      // Plain names: the entry itself, or a folder and everything below it.
      {u"a.txt", u"a.txt", true},
      {u"a.txt", u"b.txt", false},
      {u"a.txt", u"a.txt2", false},
      {u"a.txt", u"x\\a.txt", false},  // a plain name starts at the top
      {u"textures", u"textures\\a.dds", true},
      {u"textures", u"textures\\sub\\b.dds", true},
      {u"textures", u"texturesX\\a.dds", false},  // a folder ends at a separator
      {u"textures", u"textures", true},
      {u"textures\\sub", u"textures\\sub\\b.dds", true},
      {u"textures\\sub", u"textures\\subway\\b.dds", false},
      // '/' means '\'; separators at the ends and repeated ones are tidied away.
      {u"textures/sub/b.dds", u"textures\\sub\\b.dds", true},
      {u"textures/", u"textures\\a.dds", true},
      {u"/textures//sub", u"textures\\sub\\b.dds", true},
      // ASCII letters in either case; other letters must be equal.
      {u"TEXTURES/A.DDS", u"textures\\a.dds", true},
      {u"Textures", u"tEXTURES\\a.dds", true},
      {u"\u00C4.txt", u"\u00E4.txt", false},
      {u"数据\\坏.bin", u"数据\\坏.bin", true},
      {u"数据", u"数据\\坏.bin", true},
      {u"数据", u"数\\坏.bin", false},
      // '*' within one level.
      {u"*.txt", u"a.txt", true},
      {u"*.txt", u"dir\\a.txt", false},
      {u"*.TXT", u"a.txt", true},
      {u"dir\\*.txt", u"dir\\a.txt", true},
      {u"dir\\*.txt", u"dir\\sub\\a.txt", false},
      {u"d*r\\a.txt", u"dir\\a.txt", true},
      {u"d*r\\a.txt", u"d\\r\\a.txt", false},  // '*' never crosses a separator
      {u"*", u"anything\\below", true},        // the first level, and all below it
      {u"a*b*c", u"aXXbYYc", true},
      {u"a*b*c", u"aXXbYY", false},
      {u"tex*", u"textures\\a.dds", true},  // a folder that matches takes its contents
      // '**' across levels; "**\" also matches no level at all.
      {u"**.txt", u"a.txt", true},
      {u"**.txt", u"dir\\sub\\a.txt", true},
      {u"**/*.dds", u"a.dds", true},
      {u"**/*.dds", u"x\\y\\a.dds", true},
      {u"**/*.dds", u"x\\y\\a.txt", false},
      {u"a/**/b", u"a\\b", true},
      {u"a/**/b", u"a\\x\\y\\b", true},
      {u"a/**/b", u"a\\x\\yb", false},
      {u"a/**", u"a\\x\\y", true},
      {u"**", u"any\\name", true},
      // '?' one character, never a separator; a surrogate pair is one character.
      {u"?.txt", u"a.txt", true},
      {u"?.txt", u"ab.txt", false},
      {u"a?b", u"a\\b", false},
      {u"?.txt", u"\U0001F600.txt", true},
      {u"??.txt", u"坏坏.txt", true},
      // An empty pattern matches nothing.
      {u"", u"a.txt", false},
      {u"/", u"a.txt", false},
  };
  for (const MatchCase& c : cases) {
    EXPECT_EQ(c.matches, PckNamePattern(c.pattern).Matches(c.name))
        << "pattern " << testing::PrintToString(std::string(c.pattern.begin(), c.pattern.end()))
        << " name " << testing::PrintToString(std::string(c.name.begin(), c.name.end()));
  }
}

TEST(NameMatchTest, LongNamesMatchAsShortOnes) {
  std::u16string name(300, u'a');
  name += u"\\z.txt";
  EXPECT_TRUE(PckNamePattern(u"a*\\*.txt").Matches(name));
  EXPECT_FALSE(PckNamePattern(u"a*\\*.dds").Matches(name));
}

std::vector<std::u16string> Selected(PckNameSelection* selection,
                                     const std::vector<std::u16string>& names) {
  std::vector<std::u16string> out;
  for (const std::u16string& name : names) {
    if (selection->Selects(name)) out.push_back(name);
  }
  return out;
}

const std::vector<std::u16string> kNames = {
    u"a.txt", u"Textures\\a.dds", u"textures\\b.png", u"textures\\sub\\c.dds", u"sounds\\d.wav",
};

TEST(NameSelectionTest, IncludesAndExcludesChooseTheEntries) {
  struct Case {
    std::vector<std::u16string> includes;
    std::vector<std::u16string> excludes;
    std::vector<std::u16string> selected;
  };
  const Case cases[] = {
      {{}, {}, kNames},
      {{u"textures"}, {}, {u"Textures\\a.dds", u"textures\\b.png", u"textures\\sub\\c.dds"}},
      {{u"textures"}, {u"**.dds"}, {u"textures\\b.png"}},
      {{}, {u"textures/sub"}, {u"a.txt", u"Textures\\a.dds", u"textures\\b.png", u"sounds\\d.wav"}},
      {{u"a.txt", u"sounds/d.wav"}, {}, {u"a.txt", u"sounds\\d.wav"}},
      {{u"**/*.dds", u"a.txt"}, {u"TEXTURES/SUB"}, {u"a.txt", u"Textures\\a.dds"}},
      {{u"*"},
       {u"*.txt"},
       {u"Textures\\a.dds", u"textures\\b.png", u"textures\\sub\\c.dds", u"sounds\\d.wav"}},
  };
  for (const Case& c : cases) {
    PckNameSelection selection;
    for (const auto& p : c.includes) selection.Include(p);
    for (const auto& p : c.excludes) selection.Exclude(p);
    EXPECT_EQ(c.selected, Selected(&selection, kNames));
  }
}

TEST(NameSelectionTest, IncludesThatMatchedNoNameAreNamedInTheirOrder) {
  PckNameSelection selection;
  selection.Include(u"nothing/here");
  selection.Include(u"textures");
  selection.Include(u"*.none");
  selection.Include(u"a.txt");
  selection.Include(u"a.txt");  // the same name twice: both matched
  selection.Include(u"");       // matches nothing
  selection.Exclude(u"a.txt");  // an include whose only name is excluded still matched
  Selected(&selection, kNames);
  EXPECT_EQ((std::vector<std::u16string>{u"nothing/here", u"*.none", u""}),
            selection.UnmatchedIncludes());
}

TEST(NameSelectionTest, AnEmptyListOfNamesTakesNothing) {
  PckNameSelection selection;
  EXPECT_FALSE(selection.HasIncludes());
  selection.TakeOnlyIncluded();
  EXPECT_TRUE(selection.HasIncludes());
  EXPECT_TRUE(Selected(&selection, kNames).empty());
  EXPECT_TRUE(selection.UnmatchedIncludes().empty());
}

TEST(NameSelectionTest, ManyPlainNamesAreLookedUpNotCompared) {
  // 100,000 names of a list against 100,000 entries: a lookup per folder level.
  PckNameSelection selection;
  std::vector<std::u16string> names;
  for (int i = 0; i < 100000; ++i) {
    const std::string text = "dir" + std::to_string(i % 100) + "\\file" + std::to_string(i);
    names.emplace_back(text.begin(), text.end());
    if (i % 2 == 0) selection.Include(names.back());
  }
  selection.Include(u"DIR7\\FILE7");  // an odd one, in the other case
  const std::vector<std::u16string> taken = Selected(&selection, names);
  EXPECT_EQ(50001u, taken.size());
  EXPECT_TRUE(selection.UnmatchedIncludes().empty());
}

}  // namespace
