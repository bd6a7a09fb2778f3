// name_match.h - choosing entries by their names: patterns and include/exclude sets.
//
// An entry name is a relative path with '\' between levels (PckEntry::name). A
// pattern is written the same way, and '/' in a pattern means '\' too. In a pattern:
//
//   *      any run of characters within one level (never a '\')
//   **     any run of characters across levels; "**\" (or "**/") also matches no
//          level at all, so "a\**\b" takes "a\b" as well as "a\x\y\b"
//   ?      exactly one character other than '\' (a surrogate pair counts as one)
//
// Every other character matches itself, ASCII letters without regard to case (the
// packages come from Windows, whose file names ignore it); other letters must be
// equal. Leading and trailing separators of a pattern and repeated separators
// inside it are dropped. A pattern matches a name when it matches the whole name or
// one of the folders the name lies in, so "textures" takes "textures\a.dds" and
// everything else below textures\, and "tex*" takes everything below textures\ too.
//
// Matching prints nothing and cannot fail; it makes no string per name (a name of
// more than 512 units takes one buffer). An object is used by one thread at a time.
#ifndef QUILLO_NAME_MATCH_H_
#define QUILLO_NAME_MATCH_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// One compiled pattern.
class PckNamePattern {
 public:
  // Compiles `pattern` as described above. An empty pattern (or one made of
  // separators only) matches no name.
  explicit PckNamePattern(std::u16string_view pattern);

  // True when the pattern matches `name` or one of the folders it lies in.
  bool Matches(std::u16string_view name) const;

  // True when the pattern holds '*' or '?'. A pattern without them names one entry
  // or one folder.
  bool HasWildcards() const { return wildcards_; }
  // The pattern with '/' turned into '\' and the separators tidied as described
  // above; empty for an empty pattern.
  const std::u16string& normalized() const { return normalized_; }

 private:
  enum class Kind : uint8_t { kChar, kOne, kStar, kAnyLevels, kWholeLevels };
  struct Token {
    Kind kind;
    char16_t c;  // kChar: the character, ASCII letters in lower case
  };
  std::vector<Token> tokens_;
  std::u16string normalized_;
  bool wildcards_ = false;
};

// The set of entries to take: those that match an include pattern (every name when
// no include was given) and no exclude pattern. It remembers which includes have
// matched a name, so that a caller can name those that matched none. Patterns
// without wildcards are looked up by name, so a selection of 100,000 names costs a
// few lookups per entry, not 100,000 comparisons.
class PckNameSelection {
 public:
  // Adds a pattern of each kind. An include made empty by tidying is kept (it
  // matches nothing, so it is reported by UnmatchedIncludes).
  void Include(std::u16string_view pattern);
  void Exclude(std::u16string_view pattern);
  // From now on only names that match an include are taken, also when no include
  // is ever added (a list of names that turned out empty takes nothing).
  void TakeOnlyIncluded() { onlyIncluded_ = true; }

  // True when `name` is taken. Records every include that matches it, also when an
  // exclude then leaves it out.
  bool Selects(std::u16string_view name);

  // True when some include was given or TakeOnlyIncluded was called.
  bool HasIncludes() const { return onlyIncluded_ || !includes_.empty(); }
  // The includes, as given, that no name passed to Selects has matched so far, in
  // the order they were added.
  std::vector<std::u16string> UnmatchedIncludes() const;

 private:
  struct IncludeItem {
    std::u16string text;  // as given
    bool matched = false;
  };
  // Plain patterns by their tidied text in lower case; looked up by views of the
  // name, so that a lookup makes no string.
  struct KeyHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view key) const {
      return std::hash<std::u16string_view>()(key);
    }
  };
  using PlainMap = std::unordered_multimap<std::u16string, size_t, KeyHash, std::equal_to<>>;

  // Looks up the folded name and each folder it lies in among the keys of `map`.
  // With `mark`, marks every include found (values are includes_ indexes) and goes
  // on through all folders; without, stops at the first hit.
  bool LookUpPlain(const PlainMap& map, bool mark);

  std::vector<IncludeItem> includes_;
  PlainMap plainIncludes_;  // value: index in includes_
  std::vector<std::pair<PckNamePattern, size_t>> wildIncludes_;
  PlainMap plainExcludes_;  // value unused
  std::vector<PckNamePattern> wildExcludes_;
  std::u16string folded_;      // scratch: the name in lower case
  size_t unmatchedPlain_ = 0;  // plain includes not yet matched
  bool onlyIncluded_ = false;
};

#endif  // QUILLO_NAME_MATCH_H_
