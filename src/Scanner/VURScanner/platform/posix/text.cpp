// Text conversion and case-blind comparison.
#include <cstring>
#include <cwchar>

#include <string>

#include "platform/posix/test_hooks.h"
#include "platform/posix/win32_posix.h"

namespace {

// UTF-8 length of one code point; lone surrogates become U+FFFD.
int Utf8Length(char32_t c) {
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c < 0x10000 || c > 0x10FFFF) return 3;
  return 4;
}

void PutUtf8(char32_t c, char* out) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  auto* o = reinterpret_cast<unsigned char*>(out);
  if (c < 0x80) {
    o[0] = static_cast<unsigned char>(c);
  } else if (c < 0x800) {
    o[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
    o[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    o[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
    o[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    o[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  } else {
    o[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
    o[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
    o[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    o[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  }
}

// Simple case folding to lower case for the scripts whose file names are
// common: Latin (Basic, Latin-1, Extended-A), Greek and Cyrillic.
char32_t Fold(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if ((c >= 0xC0 && c <= 0xDE && c != 0xD7)) return c + 32;
  if (c == 0x178) return 0xFF;  // Y with diaeresis: its small form is in Latin-1
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_upper) return (c % 2 == 1) ? c + 1 : c;
    return (c % 2 == 0) ? c + 1 : c;
  }
  if (c == 0x386) return 0x3AC;  // Greek capitals with tonos
  if (c >= 0x388 && c <= 0x38A) return c + 37;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 63;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

}  // namespace

int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH text, int length, LPSTR out,
                        int out_size, LPCCH default_char, LPBOOL used_default) {
  if (text == nullptr || length == 0 || out_size < 0 || (out_size > 0 && out == nullptr)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (code_page != CP_UTF8 || default_char != nullptr || used_default != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((flags & ~WC_ERR_INVALID_CHARS) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  std::size_t count = 0;
  if (length < 0) {
    while (text[count] != 0) ++count;
    ++count;  // the terminator is converted too
  } else {
    count = static_cast<std::size_t>(length);
  }
  std::size_t needed = 0;
  for (std::size_t i = 0; i < count; ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if ((flags & WC_ERR_INVALID_CHARS) && ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)) {
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    }
    needed += static_cast<std::size_t>(Utf8Length(c));
  }
  if (out_size == 0) return static_cast<int>(needed);
  if (needed > static_cast<std::size_t>(out_size)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  char* p = out;
  for (std::size_t i = 0; i < count; ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    PutUtf8(c, p);
    p += Utf8Length(c);
  }
  return static_cast<int>(needed);
}

int CompareStringW(LCID /*locale*/, DWORD flags, LPCWCH s1, int n1, LPCWCH s2, int n2) {
  if (s1 == nullptr || s2 == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if ((flags & ~NORM_IGNORECASE) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  if (vur::posix::testing::Armed()) {
    std::wstring target(s1, n1 < 0 ? std::wcslen(s1) : static_cast<std::size_t>(n1));
    vur::posix::testing::Fault fault;
    if (vur::posix::testing::TakeFault(vur::posix::testing::Op::kCompareString, target, &fault)) {
      SetLastError(fault.code);
      if (!fault.succeed) return 0;
    }
  }
  std::size_t l1 = n1 < 0 ? std::wcslen(s1) : static_cast<std::size_t>(n1);
  std::size_t l2 = n2 < 0 ? std::wcslen(s2) : static_cast<std::size_t>(n2);
  bool ignore_case = (flags & NORM_IGNORECASE) != 0;
  for (std::size_t i = 0; i < l1 && i < l2; ++i) {
    char32_t a = static_cast<char32_t>(s1[i]);
    char32_t b = static_cast<char32_t>(s2[i]);
    if (a == b) continue;
    if (ignore_case) {
      // ASCII inline: file endings are nearly always ASCII.
      if (a < 0x80 && b < 0x80) {
        a = (a >= 'A' && a <= 'Z') ? a + 32 : a;
        b = (b >= 'A' && b <= 'Z') ? b + 32 : b;
      } else {
        a = Fold(a), b = Fold(b);
      }
    }
    if (a != b) return a < b ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  }
  if (l1 == l2) return CSTR_EQUAL;
  return l1 < l2 ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}
