// name_match.cpp - patterns over entry names and the include/exclude selection.
#include "name_match.h"

#include <algorithm>

namespace {

constexpr char16_t kSeparator = u'\\';

char16_t Fold(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// '/' turned into '\', separators at either end and repeated ones dropped.
std::u16string Tidy(std::u16string_view pattern) {
  std::u16string out;
  out.reserve(pattern.size());
  for (char16_t c : pattern) {
    if (c == u'/') c = kSeparator;
    if (c == kSeparator && (out.empty() || out.back() == kSeparator)) continue;
    out.push_back(c);
  }
  while (!out.empty() && out.back() == kSeparator) out.pop_back();
  return out;
}

std::u16string Folded(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = Fold(c);
  return out;
}

}  // namespace

PckNamePattern::PckNamePattern(std::u16string_view pattern) : normalized_(Tidy(pattern)) {
  const std::u16string& p = normalized_;
  for (size_t i = 0; i < p.size(); ++i) {
    if (p[i] == u'?') {
      tokens_.push_back({Kind::kOne, 0});
      wildcards_ = true;
    } else if (p[i] != u'*') {
      tokens_.push_back({Kind::kChar, Fold(p[i])});
    } else {
      wildcards_ = true;
      size_t stars = 1;
      while (i + 1 < p.size() && p[i + 1] == u'*') ++stars, ++i;
      if (stars == 1) {
        tokens_.push_back({Kind::kStar, 0});
      } else if (i + 1 < p.size() && p[i + 1] == kSeparator) {
        tokens_.push_back({Kind::kWholeLevels, 0});  // "**\": no level, or whole levels
        ++i;
      } else {
        tokens_.push_back({Kind::kAnyLevels, 0});
      }
    }
  }
}

// The pattern is run over the name as a set of positions: reach[i] says that the
// tokens so far can match name[0, i). Each token turns one set into the next, so a
// match costs tokens x name length steps, whatever the stars.
bool PckNamePattern::Matches(std::u16string_view name) const {
  if (normalized_.empty()) return false;
  const size_t n = name.size();
  constexpr size_t kOnStack = 512;
  uint8_t stackSets[2][kOnStack + 1];
  std::vector<uint8_t> heapSets;
  uint8_t* reach = stackSets[0];
  uint8_t* next = stackSets[1];
  if (n > kOnStack) {
    heapSets.resize(2 * (n + 1));
    reach = heapSets.data();
    next = heapSets.data() + n + 1;
  }
  std::fill(reach, reach + n + 1, 0);
  reach[0] = 1;
  for (const Token& token : tokens_) {
    std::fill(next, next + n + 1, 0);
    bool any = false;
    switch (token.kind) {
      case Kind::kChar:
        for (size_t i = 0; i < n; ++i) {
          if (reach[i] && Fold(name[i]) == token.c) {
            next[i + 1] = 1;
            any = true;
          }
        }
        break;
      case Kind::kOne:
        for (size_t i = 0; i < n; ++i) {
          if (!reach[i] || name[i] == kSeparator) continue;
          const bool pair = IsHighSurrogate(name[i]) && i + 1 < n && IsLowSurrogate(name[i + 1]);
          next[i + (pair ? 2 : 1)] = 1;
          any = true;
        }
        break;
      case Kind::kStar: {
        bool carry = false;
        for (size_t j = 0; j <= n; ++j) {
          if (j > 0 && name[j - 1] == kSeparator) carry = false;
          carry = carry || reach[j];
          if (carry) {
            next[j] = 1;
            any = true;
          }
        }
        break;
      }
      case Kind::kAnyLevels: {
        bool carry = false;
        for (size_t j = 0; j <= n; ++j) {
          carry = carry || reach[j];
          if (carry) {
            next[j] = 1;
            any = true;
          }
        }
        break;
      }
      case Kind::kWholeLevels: {
        // No level at all, or any run that ends just after a separator.
        bool carry = false;
        for (size_t j = 0; j <= n; ++j) {
          if (reach[j] || (carry && j > 0 && name[j - 1] == kSeparator)) {
            next[j] = 1;
            any = true;
          }
          carry = carry || reach[j];
        }
        break;
      }
    }
    if (!any) return false;
    std::swap(reach, next);
  }
  if (reach[n]) return true;
  for (size_t i = 0; i < n; ++i) {
    if (reach[i] && name[i] == kSeparator) return true;  // a folder the name lies in
  }
  return false;
}

void PckNameSelection::Include(std::u16string_view pattern) {
  const size_t index = includes_.size();
  includes_.push_back({std::u16string(pattern), false});
  PckNamePattern compiled(pattern);
  if (compiled.normalized().empty()) return;  // matches nothing; stays unmatched
  if (compiled.HasWildcards()) {
    wildIncludes_.emplace_back(std::move(compiled), index);
  } else {
    plainIncludes_.emplace(Folded(compiled.normalized()), index);
    ++unmatchedPlain_;
  }
}

void PckNameSelection::Exclude(std::u16string_view pattern) {
  PckNamePattern compiled(pattern);
  if (compiled.normalized().empty()) return;
  if (compiled.HasWildcards()) {
    wildExcludes_.push_back(std::move(compiled));
  } else {
    plainExcludes_.emplace(Folded(compiled.normalized()), 0);
  }
}

bool PckNameSelection::LookUpPlain(const PlainMap& map, bool mark) {
  const std::u16string_view name = folded_;
  bool found = false;
  size_t end = 0;
  while (true) {
    end = name.find(kSeparator, end);
    const std::u16string_view key = name.substr(0, end);
    auto [first, last] = map.equal_range(key);
    if (first != last) {
      found = true;
      if (!mark) return true;
      for (auto it = first; it != last; ++it) {
        IncludeItem& item = includes_[it->second];
        if (!item.matched) {
          item.matched = true;
          --unmatchedPlain_;
        }
      }
    }
    if (end == std::u16string_view::npos) break;
    ++end;
  }
  return found;
}

bool PckNameSelection::Selects(std::u16string_view name) {
  if (!plainIncludes_.empty() || !plainExcludes_.empty()) {
    folded_.assign(name);
    for (char16_t& c : folded_) c = Fold(c);
  }
  bool taken = !HasIncludes();
  if (!plainIncludes_.empty() && (!taken || unmatchedPlain_ > 0)) {
    taken = LookUpPlain(plainIncludes_, true) || taken;
  }
  for (auto& [pattern, index] : wildIncludes_) {
    IncludeItem& item = includes_[index];
    if (taken && item.matched) continue;
    if (pattern.Matches(name)) {
      taken = true;
      item.matched = true;
    }
  }
  if (!taken) return false;
  if (!plainExcludes_.empty() && LookUpPlain(plainExcludes_, false)) return false;
  for (const PckNamePattern& pattern : wildExcludes_) {
    if (pattern.Matches(name)) return false;
  }
  return true;
}

std::vector<std::u16string> PckNameSelection::UnmatchedIncludes() const {
  std::vector<std::u16string> out;
  for (const IncludeItem& item : includes_) {
    if (!item.matched) out.push_back(item.text);
  }
  return out;
}
