// entry_names.cpp - which entry names may be written below the extraction root.
#include "entry_names.h"

#include "host/host.h"

namespace {

bool IsAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c; }

bool EqualsIgnoringAsciiCase(std::u16string_view text, std::u16string_view upper) {
  if (text.size() != upper.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (AsciiUpper(text[i]) != upper[i]) return false;
  }
  return true;
}

// CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9 (and the superscript digits 1-3 Windows
// also counts), CONIN$, CONOUT$: `base` is the part before the first '.', with its
// trailing spaces already trimmed.
bool IsDeviceName(std::u16string_view base) {
  for (std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
    if (EqualsIgnoringAsciiCase(base, device)) return true;
  }
  if (base.size() != 4) return false;
  const std::u16string_view prefix = base.substr(0, 3);
  if (!EqualsIgnoringAsciiCase(prefix, u"COM") && !EqualsIgnoringAsciiCase(prefix, u"LPT")) {
    return false;
  }
  const char16_t digit = base[3];
  return (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' ||
         digit == u'\u00B3';
}

}  // namespace

bool WindowsRefusesComponent(std::u16string_view component) {
  if (component.find(u':') != std::u16string_view::npos) return true;
  // ".." followed by nothing but dots and spaces is trimmed back to "..".
  if (component.starts_with(u"..") &&
      component.find_first_not_of(u". ") == std::u16string_view::npos) {
    return true;
  }
  std::u16string_view base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
  return IsDeviceName(base);
}

bool StaysBelowRoot(std::u16string_view name) {
  if (name.empty() || name[0] == u'\\' || name[0] == u'/') return false;
  if (name.size() >= 2 && name[1] == u':' && IsAsciiLetter(name[0])) return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find(u'\\', start);
    if (end == std::u16string_view::npos) end = name.size();
    const std::u16string_view component = name.substr(start, end - start);
    if (component == u"..") return false;
    if (host::kWindowsNames && WindowsRefusesComponent(component)) return false;
    start = end + 1;
  }
  return true;
}
