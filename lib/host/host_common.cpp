// host_common.cpp - the parts of the host layer that are the same on every platform.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "host/host.h"
#include "host/host_shared.h"

namespace host {

namespace {
Host* g_current = nullptr;
}  // namespace

uint64_t File::CopyFrom(File& source, int64_t position, uint64_t size) {
  return CopyByReading(source, position, *this, size);
}

uint64_t CopyByReading(File& source, int64_t position, File& target, uint64_t size) {
  if (size == 0) return 0;
  if (!source.Seek(position)) return 0;
  constexpr uint64_t kChunk = uint64_t{1} << 20;
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min(size, kChunk)));
  uint64_t done = 0;
  while (done < size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size - done, buffer.size()));
    const size_t got = source.Read(buffer.data(), want);
    const size_t put = got == 0 ? 0 : target.Write(buffer.data(), got);
    done += put;
    if (put != want) break;
  }
  return done;
}

Host& Host::Current() { return g_current ? *g_current : Default(); }

void Host::SetCurrent(Host* host) { g_current = host; }

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c < 0x80) {
      // A run of ASCII (most paths are nothing else) is copied in one go.
      size_t end = i + 1;
      while (end < text.size() && text[end] < 0x80) ++end;
      const size_t at = out.size();
      out.resize(at + (end - i));
      for (size_t k = i; k < end; ++k) out[at + (k - i)] = static_cast<char>(text[k]);
      i = end - 1;
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      out.push_back(static_cast<char>(c - 0xDC00));  // an escaped byte goes back as it was
      continue;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    // A byte that starts no valid sequence stands for itself as a lone low surrogate,
    // which Utf16ToUtf8 turns back into that byte. Such a byte is always 0x80 or more.
    uint32_t c = 0xDC00 + b0;
    size_t length = 1;
    auto continuation = [&](size_t k) {
      return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    };
    auto at = [&](size_t k) { return static_cast<unsigned char>(text[i + k]) & 0x3Fu; };
    if (b0 < 0x80) {
      c = b0;
    } else if (b0 >= 0xC2 && b0 < 0xE0 && continuation(1)) {
      c = ((b0 & 0x1Fu) << 6) | at(1);
      length = 2;
    } else if (b0 >= 0xE0 && b0 < 0xF0 && continuation(1) && continuation(2)) {
      uint32_t v = ((b0 & 0x0Fu) << 12) | (at(1) << 6) | at(2);
      if (v >= 0x800 && (v < 0xD800 || v > 0xDFFF)) {
        c = v;
        length = 3;
      }
    } else if (b0 >= 0xF0 && b0 < 0xF5 && continuation(1) && continuation(2) && continuation(3)) {
      uint32_t v = ((b0 & 0x07u) << 18) | (at(1) << 12) | (at(2) << 6) | at(3);
      if (v >= 0x10000 && v <= 0x10FFFF) {
        c = v;
        length = 4;
      }
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += length;
  }
  return out;
}

namespace {

// The code page 936 form of `text`, escaped bytes written as their bytes, without
// looking at how it reads back; false at the first character without a form, `out`
// then holding the form of those before it. *escapes tells whether an escaped
// byte was written.
bool EncodeCp936(std::u16string_view text, std::string* out, bool* escapes) {
  out->clear();
  *escapes = false;
  size_t i = 0;
  while (i < text.size()) {
    if (IsEscapedByte(text[i])) {
      out->push_back(static_cast<char>(text[i] - 0xDC00));
      *escapes = true;
      ++i;
      continue;
    }
    // A run up to the next escaped byte; a surrogate pair is one character.
    size_t end = i;
    while (end < text.size() && !IsEscapedByte(text[end]))
      end += IsSurrogatePair(text, end) ? 2 : 1;
    if (!EncodeCp936Run(text.substr(i, end - i), out)) return false;
    i = end;
  }
  return true;
}

}  // namespace

bool Utf16ToCp936(std::u16string_view text, std::string* out) {
  bool escapes = false;
  const bool complete = EncodeCp936(text, out, &escapes);
  // Only a form that reads back as the text counts: an escaped byte may pair with
  // the byte after it, or be a character by itself, when read back.
  if (!escapes && kCp936RunsReadBack) return complete;
  if (complete && Cp936ToUtf16(*out) == text) return true;
  // The longest head of the text whose form reads back is kept.
  std::string part;
  std::string kept;
  for (size_t end = 0; end < text.size();) {
    end += IsSurrogatePair(text, end) ? 2 : 1;
    const std::u16string_view head = text.substr(0, end);
    if (!EncodeCp936(head, &part, &escapes) || Cp936ToUtf16(part) != head) break;
    kept.swap(part);
  }
  *out = std::move(kept);
  return false;
}

namespace {

// A name beside `path` for a temporary file: its name (cut to 60 units, so the
// whole stays within the file system's limit), a dot, 8 random hexadecimal digits
// and ".tmp". A new random part at every call.
std::u16string TemporaryName(const std::u16string& path) {
  // Seeded per thread from the system's randomness, the clock and the thread's own
  // storage, so two processes or threads do not walk the same names.
  thread_local uint64_t salt = 0;
  thread_local std::mt19937_64 random(
      std::random_device{}() ^ reinterpret_cast<uintptr_t>(&salt) ^
      static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const size_t slash = path.find_last_of(kWindowsNames ? u"\\/:" : u"/");
  const size_t start = slash == std::u16string::npos ? 0 : slash + 1;
  size_t keep = std::min<size_t>(path.size() - start, 60);
  if (keep > 0 && path[start + keep - 1] >= 0xD800 && path[start + keep - 1] <= 0xDBFF) --keep;
  std::u16string name = path.substr(0, start + keep) + u".";
  uint64_t bits = random();
  for (int i = 0; i < 8; ++i, bits >>= 4) name.push_back(u"0123456789abcdef"[bits & 15]);
  return name + u".tmp";
}

}  // namespace

std::unique_ptr<File> Host::CreateTemporaryBeside(const std::u16string& path,
                                                  std::u16string* tempPath) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    const std::u16string candidate = TemporaryName(path);
    std::unique_ptr<File> file = OpenFile(candidate, OpenMode::kCreateNew);
    if (file) {
      *tempPath = candidate;
      return file;
    }
    if (!LastErrorMeansExists()) return nullptr;
  }
  return nullptr;  // every name tried was taken: the last error says so
}

}  // namespace host
