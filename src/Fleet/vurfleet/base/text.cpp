#include "base/text.h"

#include <cstdio>

#include <unicode/uchar.h>

namespace vurfleet {
namespace {

// Unicode's simple case folding: one code point for one, so a pattern's
// `?` still matches one character of the folded text.
char32_t Fold(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
}

// The upper case of the folded form, so that every spelling that folds
// alike is shown alike. Where the upper case would fold to another key
// (dotless i's upper case is I, which folds to i), the folded form is
// kept: the stores key a machine by the fold of the name they show.
char32_t Upper(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 32 : c;
  const char32_t folded = Fold(c);
  const char32_t upper = static_cast<char32_t>(u_toupper(static_cast<UChar32>(folded)));
  return Fold(upper) == folded ? upper : folded;
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

// Terminal cells of one code point above ASCII, by the Unicode properties
// terminals follow: wide and fullwidth take two, marks that combine with
// the character before, format characters and the vowels and finals of
// conjoining Hangul take none.
std::size_t CellsOf(char32_t c) {
  const UChar32 u = static_cast<UChar32>(c);
  switch (u_charType(u)) {
    case U_NON_SPACING_MARK:
    case U_ENCLOSING_MARK:
    case U_FORMAT_CHAR:
      return 0;
    default:
      break;
  }
  switch (u_getIntPropertyValue(u, UCHAR_HANGUL_SYLLABLE_TYPE)) {
    case U_HST_VOWEL_JAMO:
    case U_HST_TRAILING_JAMO:
      return 0;
    default:
      break;
  }
  switch (u_getIntPropertyValue(u, UCHAR_EAST_ASIAN_WIDTH)) {
    case U_EA_WIDE:
    case U_EA_FULLWIDTH:
      return 2;
    default:
      return 1;
  }
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

std::string FoldCase(std::string_view text) { return MapCase<Fold>(text); }

std::string UpperCase(std::string_view text) { return MapCase<Upper>(text); }

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
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c;
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      ++width;
    } else if (!NextCodePoint(text, &pos, &c)) {
      ++pos;
      ++width;
    } else {
      width += CellsOf(c);
    }
  }
  return width;
}

}  // namespace vurfleet
