#include "diag/text.h"

#include <cstring>

#include "platform/win32.h"

namespace vur {
namespace {

// Zero at program start; holds the latest conversion.
char g_conversion_area[kConversionAreaSize];

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// UTF-8 bytes of the character at text[i] and the number of wide units it
// takes: a surrogate pair where wchar_t is 16 bits, one unit otherwise. A lone
// surrogate becomes U+FFFD, three bytes.
std::size_t CharUtf8Length(const wchar_t* text, std::size_t i, std::size_t* units) {
  auto c = static_cast<unsigned long>(text[i]);
  *units = 1;
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (sizeof(wchar_t) == 2 && IsHighSurrogate(text[i]) && IsLowSurrogate(text[i + 1])) {
    *units = 2;
    return 4;
  }
  if (c < 0x10000 || c > 0x10FFFF) return 3;
  return 4;
}

// Whether the text holds a character that would start a new line, or act
// as one, in what the scanner prints.
bool HasControl(const wchar_t* text) {
  for (; *text != L'\0'; ++text)
    if (static_cast<unsigned long>(*text) < 0x20) return true;
  return false;
}

}  // namespace

const char* ConvertToUtf8(const wchar_t* text, char* out, std::size_t out_size,
                          std::string* whole) {
  if (out_size == 0) return out;
  // U+0001..U+001F become U+F000 plus the code, as the Linux layer maps the
  // characters Windows forbids in a name, so no name or value can break a
  // line or forge one, and every build prints a name alike.
  std::wstring mapped;
  if (HasControl(text)) {
    mapped = text;
    for (wchar_t& c : mapped)
      if (static_cast<unsigned long>(c) < 0x20) c = static_cast<wchar_t>(kControlBase + c);
    text = mapped.c_str();
  }
  DWORD saved_error = GetLastError();
  int written = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, static_cast<int>(out_size),
                                    nullptr, nullptr);
  if (written > 0) {
    SetLastError(saved_error);
    return out;
  }
  if (whole != nullptr) {
    int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    whole->assign(needed > 0 ? static_cast<std::size_t>(needed) : 1, '\0');
    if (needed > 0)
      WideCharToMultiByte(CP_UTF8, 0, text, -1, &(*whole)[0], needed, nullptr, nullptr);
    whole->resize(std::strlen(whole->c_str()));
    SetLastError(saved_error);
    return whole->c_str();
  }

  // Too long for the area: convert the longest prefix of whole characters
  // that fits with its terminator.
  std::size_t bytes = 0, units = 0;
  while (text[units] != 0) {
    std::size_t step = 0;
    std::size_t length = CharUtf8Length(text, units, &step);
    if (bytes + length > out_size - 1) break;
    bytes += length;
    units += step;
  }
  written = units == 0 ? 0
                       : WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), out,
                                             static_cast<int>(out_size - 1), nullptr, nullptr);
  std::size_t end = written > 0 ? static_cast<std::size_t>(written) : 0;
  out[end] = '\0';
  SetLastError(saved_error);
  return out;
}

const char* ToUtf8(const std::wstring& text) {
  ConvertToUtf8(text.c_str(), g_conversion_area, sizeof g_conversion_area);
  return g_conversion_area;
}

const char* ToUtf8(const wchar_t* text) { return ToUtf8(std::wstring(text)); }

}  // namespace vur
