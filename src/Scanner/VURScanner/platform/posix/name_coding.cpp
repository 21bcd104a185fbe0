// Texts and file names between Linux bytes and Windows' wide characters, by
// our own UTF-8 coding, never the locale's: invalid bytes, and in names the
// characters Windows forbids, map to private code points and back.
#include "platform/posix/machine.h"

#include <string>

namespace vur::posix {
namespace {

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Characters Windows forbids in a file name, which a Linux name may hold.
bool IsForbiddenInName(char32_t c) {
  return (c >= 0x01 && c <= 0x1F) || c == '"' || c == '*' || c == ':' || c == '<' || c == '>' ||
         c == '?' || c == '\\' || c == '|';
}

// The UTF-8 sequence at b[i] (length bytes in all), or false when it is not
// valid UTF-8: *value is the code point and *size its length in bytes.
bool DecodeSequence(const unsigned char* b, std::size_t length, std::size_t i, char32_t* value,
                    std::size_t* size) {
  unsigned char c = b[i];
  if (c < 0x80) {
    *value = c;
    *size = 1;
    return true;
  }
  int extra = 0;
  char32_t v = 0, minimum = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    extra = 1, v = c & 0x1F, minimum = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    extra = 2, v = c & 0x0F, minimum = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    extra = 3, v = c & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (i + extra >= length) return false;
  for (int k = 1; k <= extra; ++k) {
    if ((b[i + k] & 0xC0) != 0x80) return false;
    v = (v << 6) | (b[i + k] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if (v < minimum || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
  *value = v;
  *size = static_cast<std::size_t>(extra) + 1;
  return true;
}

std::wstring Decode(const char* bytes, std::size_t length, bool map_forbidden) {
  std::wstring out;
  out.reserve(length);
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  std::size_t i = 0;
  while (i < length) {
    char32_t value = 0;
    std::size_t size = 0;
    bool ok = DecodeSequence(b, length, i, &value, &size);
    // A name that already holds one of the stand-ins is escaped byte by byte,
    // so the stand-in and the character it stands for stay distinct.
    if (ok && map_forbidden && value >= kForbiddenBase && value < kForbiddenBase + 0x80 &&
        IsForbiddenInName(value - kForbiddenBase)) {
      ok = false;
    }
    if (!ok) {
      for (std::size_t k = 0; k < (size == 0 ? 1 : size); ++k)
        out.push_back(static_cast<wchar_t>(0xDC00 + b[i + k]));
      i += size == 0 ? 1 : size;
      continue;
    }
    if (map_forbidden && IsForbiddenInName(value)) value += kForbiddenBase;
    out.push_back(static_cast<wchar_t>(value));
    i += size;
  }
  return out;
}

std::string Encode(const wchar_t* text, std::size_t length, bool map_forbidden) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if (c >= 0xDC80 && c <= 0xDCFF) {
      out.push_back(static_cast<char>(c - 0xDC00));
    } else if (map_forbidden && c >= kForbiddenBase && c < kForbiddenBase + 0x80 &&
               IsForbiddenInName(c - kForbiddenBase)) {
      out.push_back(static_cast<char>(c - kForbiddenBase));
    } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      AppendUtf8(0xFFFD, &out);
    } else {
      AppendUtf8(c, &out);
    }
  }
  return out;
}

}  // namespace

std::wstring DecodeUtf8(const char* bytes, std::size_t length) {
  return Decode(bytes, length, false);
}

std::string EncodeUtf8(const wchar_t* text, std::size_t length) {
  return Encode(text, length, false);
}

std::wstring DecodeName(const char* bytes, std::size_t length) {
  return Decode(bytes, length, true);
}

std::string EncodeName(const wchar_t* text, std::size_t length) {
  return Encode(text, length, true);
}

}  // namespace vur::posix
