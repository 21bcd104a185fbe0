#include "base/text.h"

#include <cstdio>

namespace vurfleet {
namespace {

// The lower-case partner of an upper-case letter, or the letter itself.
char32_t ToLower(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
  if (c == 0x178) return 0xFF;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    // Pairs start on even code points except in 0139-0148 and 0179-017E.
    const bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    const bool upper = odd_pairs ? (c % 2 == 1) : (c % 2 == 0);
    return upper ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return c + 37;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 63;
  if (c == 0x3C2) return 0x3C3;  // final sigma compares as sigma
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 32;
  return c;
}

char32_t ToUpper(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 32 : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    const bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    const bool lower = odd_pairs ? (c % 2 == 0) : (c % 2 == 1);
    return lower ? c - 1 : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 32;
  if (c == 0x3C2) return 0x3A3;
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return c - 37;
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return c - 63;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 32;
  return c;
}

template <char32_t (*Map)(char32_t)>
std::string MapCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const unsigned char byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      out.push_back(static_cast<char>(Map(byte)));
      ++pos;
      continue;
    }
    char32_t c;
    if (!NextCodePoint(text, &pos, &c)) {
      // Not reached for checked text; kept byte for byte otherwise.
      out.push_back(text[pos++]);
      continue;
    }
    AppendUtf8(&out, Map(c));
  }
  return out;
}

}  // namespace

bool NextCodePoint(std::string_view text, std::size_t* pos, char32_t* code_point) {
  const std::size_t at = *pos;
  if (at >= text.size()) return false;
  const unsigned char b0 = static_cast<unsigned char>(text[at]);
  if (b0 < 0x80) {
    *code_point = b0;
    *pos = at + 1;
    return true;
  }
  std::size_t length;
  char32_t c;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, c = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, c = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, c = b0 & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (at + length > text.size()) return false;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char b = static_cast<unsigned char>(text[at + i]);
    if ((b & 0xC0) != 0x80) return false;
    c = (c << 6) | (b & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  *code_point = c;
  *pos = at + length;
  return true;
}

bool IsUtf8(std::string_view text) {
  std::size_t pos = 0;
  char32_t c;
  while (pos < text.size()) {
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
    } else if (!NextCodePoint(text, &pos, &c)) {
      return false;
    }
  }
  return true;
}

void AppendUtf8(std::string* out, char32_t c) {
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

std::string FoldCase(std::string_view text) { return MapCase<ToLower>(text); }

std::string UpperCase(std::string_view text) { return MapCase<ToUpper>(text); }

std::uint64_t StableHash(std::string_view bytes) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001B3ULL;
  }
  h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ULL;
  h = (h ^ (h >> 27)) * 0x94D049BB133111EBULL;
  return h ^ (h >> 31);
}

bool IsControl(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string Printable(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  char shown[16];
  while (pos < bytes.size()) {
    const unsigned char byte = static_cast<unsigned char>(bytes[pos]);
    if (byte >= 0x20 && byte < 0x7F) {
      out.push_back(static_cast<char>(byte));
      ++pos;
      continue;
    }
    char32_t c;
    const std::size_t at = pos;
    if (!NextCodePoint(bytes, &pos, &c)) {
      std::snprintf(shown, sizeof shown, "<0x%02X>", byte);
      out += shown;
      pos = at + 1;
    } else if (IsControl(c)) {
      std::snprintf(shown, sizeof shown, "<U+%04X>", static_cast<unsigned>(c));
      out += shown;
    } else {
      out.append(bytes.substr(at, pos - at));
    }
  }
  return out;
}

std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}

}  // namespace vurfleet
