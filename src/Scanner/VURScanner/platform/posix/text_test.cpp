// UTF-8 conversion and case-blind comparison.
#include <cstring>
#include <cwchar>
#include <string>

#include <gtest/gtest.h>

#include "platform/posix/win32_posix.h"

namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

std::string Hex(const char* bytes, int count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < count; ++i) {
    auto c = static_cast<unsigned char>(bytes[i]);
    text += std::string{' ', kDigits[c >> 4], kDigits[c & 15]};
  }
  return text;
}

TEST(WideCharToMultiByteTest, Conversions) {
  struct Case {
    std::wstring text;
    int length;      // -1: up to and including the terminator
    int out_size;
    DWORD flags;
    int result;
    std::string bytes;  // expected output, or what must stay of the 'x' fill
    DWORD error;        // kSentinel: the code is left alone
  } cases[] = {
      {L"\u00fc", 1, 16, 0, 2, "\xc3\xbc", kSentinel},
      {L"", -1, 16, 0, 1, std::string(1, '\0'), kSentinel},
      {L"ab", -1, 16, 0, 3, std::string("ab\0", 3), kSentinel},
      {L"ab", 2, 16, 0, 2, "ab", kSentinel},
      {L"\u20ac\U0001F600", -1, 16, 0, 8, std::string("\xe2\x82\xac\xf0\x9f\x98\x80\0", 8),
       kSentinel},
      {L"\u00fc\u20ac\U0001F600", -1, 0, 0, 10, "xxxx", kSentinel},  // size query writes nothing
      {L"\u20ac", 1, 3, 0, 3, "\xe2\x82\xac", kSentinel},            // exactly fits
      {L"\u20ac", 1, 2, 0, 0, "", ERROR_INSUFFICIENT_BUFFER},
      {L"ab", -1, 2, 0, 0, "", ERROR_INSUFFICIENT_BUFFER},           // no room for the NUL
      {L"\xD800", 1, 16, 0, 3, "\xef\xbf\xbd", kSentinel},
      {L"a\xDFFF", 2, 16, 0, 4, "a\xef\xbf\xbd", kSentinel},
      {L"\xDC80\xDCFF", 2, 16, 0, 6, "\xef\xbf\xbd\xef\xbf\xbd", kSentinel},
      {std::wstring(1, static_cast<wchar_t>(0x110000)), 1, 16, 0, 3, "\xef\xbf\xbd", kSentinel},
      {L"a\xDCFF", 2, 16, WC_ERR_INVALID_CHARS, 0, "", ERROR_NO_UNICODE_TRANSLATION},
      {L"a\xD800", 2, 0, WC_ERR_INVALID_CHARS, 0, "", ERROR_NO_UNICODE_TRANSLATION},
      {L"\u00fc", 1, 16, WC_ERR_INVALID_CHARS, 2, "\xc3\xbc", kSentinel},
      {L"a", 0, 16, 0, 0, "", ERROR_INVALID_PARAMETER},
      {L"a", 1, -1, 0, 0, "", ERROR_INVALID_PARAMETER},
      {L"a", 1, 16, 0x1, 0, "", ERROR_INVALID_FLAGS},
  };
  for (const Case& c : cases) {
    char out[16];
    std::memset(out, 'x', sizeof out);
    SetLastError(kSentinel);
    int result = WideCharToMultiByte(CP_UTF8, c.flags, c.text.c_str(), c.length, out, c.out_size,
                                     nullptr, nullptr);
    std::string label = "text" + Hex(reinterpret_cast<const char*>(c.text.c_str()),
                                     static_cast<int>(c.text.size() * sizeof(wchar_t))) +
                        " length " + std::to_string(c.length) +
                        " size " + std::to_string(c.out_size);
    EXPECT_EQ(result, c.result) << label;
    EXPECT_EQ(GetLastError(), c.error) << label;
    int shown = static_cast<int>(c.bytes.size());
    EXPECT_EQ(Hex(out, shown), Hex(c.bytes.data(), shown)) << label;
    if (result > 0 && c.out_size > 0) {
      EXPECT_EQ(out[result], 'x') << label << ": wrote past the end";
    }
  }
}

TEST(WideCharToMultiByteTest, RefusedArguments) {
  char out[8];
  BOOL used = FALSE;
  struct Case {
    UINT code_page;
    const wchar_t* text;
    LPCCH default_char;
    LPBOOL used_default;
  } cases[] = {
      {CP_UTF8, L"a", "?", nullptr},
      {CP_UTF8, L"a", nullptr, &used},
      {1252, L"a", nullptr, nullptr},
      {CP_UTF8, nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SetLastError(kSentinel);
    EXPECT_EQ(WideCharToMultiByte(c.code_page, 0, c.text, -1, out, sizeof out, c.default_char,
                                  c.used_default),
              0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "code page " << c.code_page;
  }
}

TEST(CompareStringWTest, CaseBlind) {
  struct Case {
    const wchar_t* a;
    const wchar_t* b;
    int result;
  } cases[] = {
      {L"Program Files", L"PROGRAM files", CSTR_EQUAL},
      {L"\u00dcBER", L"\u00fcber", CSTR_EQUAL},              // Latin-1
      {L"\u00c0\u00de", L"\u00e0\u00fe", CSTR_EQUAL},
      {L"\u0178", L"\u00ff", CSTR_EQUAL},                    // Y diaeresis
      {L"\u0100\u0150\u0141\u017d", L"\u0101\u0151\u0142\u017e", CSTR_EQUAL},  // Extended-A
      {L"\u0139\u0147\u0179", L"\u013a\u0148\u017a", CSTR_EQUAL},
      {L"\u03a3\u039f\u03a6\u038a\u0391", L"\u03c3\u03bf\u03c6\u03af\u03b1", CSTR_EQUAL},  // Greek
      {L"\u0386\u0388\u038c\u038e\u038f", L"\u03ac\u03ad\u03cc\u03cd\u03ce", CSTR_EQUAL},
      {L"\u041f\u0420\u0418\u0412\u0415\u0422", L"\u043f\u0440\u0438\u0432\u0435\u0442",
       CSTR_EQUAL},
      {L"\u0401\u0402\u040f", L"\u0451\u0452\u045f", CSTR_EQUAL},  // Cyrillic
      {L"a", L"b", CSTR_LESS_THAN},
      {L"B", L"a", CSTR_GREATER_THAN},
      {L"ab", L"ABC", CSTR_LESS_THAN},
      {L"\u00d7", L"\u00f7", CSTR_LESS_THAN},                // signs, not letters
      {L"\u00c4", L"\u00e5", CSTR_LESS_THAN},
      {L"\u0178", L"\u017a", CSTR_LESS_THAN},
      {L"\u0391", L"\u03b2", CSTR_LESS_THAN},
  };
  for (const Case& c : cases) {
    SetLastError(kSentinel);
    EXPECT_EQ(CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, c.a, -1, c.b, -1), c.result)
        << testing::PrintToString(std::wstring(c.a)) << " vs "
        << testing::PrintToString(std::wstring(c.b));
    EXPECT_EQ(GetLastError(), kSentinel);
  }
}

TEST(CompareStringWTest, CountedLengthsAndCase) {
  struct Case {
    const wchar_t* a;
    int na;
    const wchar_t* b;
    int nb;
    DWORD flags;
    int result;
  } cases[] = {
      {L"abcX", 3, L"ABCY", 3, NORM_IGNORECASE, CSTR_EQUAL},
      {L"abc", 2, L"AB", -1, NORM_IGNORECASE, CSTR_EQUAL},
      {L"abc", 3, L"ab", 2, NORM_IGNORECASE, CSTR_GREATER_THAN},
      {L"a\0b", 3, L"A\0B", 3, NORM_IGNORECASE, CSTR_EQUAL},
      {L"a\0b", 3, L"a\0c", 3, NORM_IGNORECASE, CSTR_LESS_THAN},
      {L"", 0, L"x", 0, 0, CSTR_EQUAL},
      {L"A", -1, L"a", -1, 0, CSTR_LESS_THAN},
      {L"abc", -1, L"abc", -1, 0, CSTR_EQUAL},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CompareStringW(LOCALE_INVARIANT, c.flags, c.a, c.na, c.b, c.nb), c.result)
        << testing::PrintToString(std::wstring(c.a, c.na < 0 ? std::wcslen(c.a) : c.na)) << " vs "
        << testing::PrintToString(std::wstring(c.b, c.nb < 0 ? std::wcslen(c.b) : c.nb));
  }
}

}  // namespace
