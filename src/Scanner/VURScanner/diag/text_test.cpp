#include "diag/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win32.h"

namespace vur {
namespace {

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// A wide text from code points, as surrogate pairs where wchar_t is 16 bits.
std::wstring FromCodePoints(std::initializer_list<unsigned long> points) {
  std::wstring out;
  for (unsigned long c : points) {
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (c >> 10));
      out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<wchar_t>(c);
    }
  }
  return out;
}

TEST(ToUtf8, ConvertsCharactersOfEveryLength) {
  struct Case {
    std::wstring text;
    const char* hex;
  } cases[] = {
      {L"", ""},
      {L"D:\\a.exe", "44 3A 5C 61 2E 65 78 65"},
      {FromCodePoints({0xFC}), "C3 BC"},
      {FromCodePoints({0x20AC}), "E2 82 AC"},
      {FromCodePoints({0x1F600}), "F0 9F 98 80"},
      {FromCodePoints({'a', 0xD800, 'b'}), "61 EF BF BD 62"},  // a lone surrogate
  };
  for (const Case& c : cases) {
    const char* result = ToUtf8(c.text);
    EXPECT_EQ(c.hex, Hex(result)) << "for " << c.hex;
  }
}

// No text the scanner prints can start a line of its own: a name or a value
// holding a line feed would otherwise forge a report line.
TEST(ToUtf8, ControlCharactersCannotBreakALine) {
  struct Case {
    std::wstring text;
    const char* hex;
  } cases[] = {
      {FromCodePoints({'a', 0x0A, 'b'}), "61 EF 80 8A 62"},
      {FromCodePoints({0x0D, 0x0A}), "EF 80 8D EF 80 8A"},
      {FromCodePoints({0x01, 0x09, 0x1F}), "EF 80 81 EF 80 89 EF 80 9F"},
      // The first character past them, and DEL, stay as they are.
      {FromCodePoints({0x20, 0x7F}), "20 7F"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.hex, Hex(ToUtf8(c.text))) << "for " << c.hex;

  // The report line's own conversion maps them too, and leaves a pending
  // code alone.
  char area[64];
  SetLastError(0xdeadbeef);
  std::wstring forged = L"D:\\evil" + FromCodePoints({0x0A}) + L"D:\\forged.exe - 6.6.6.6";
  std::string line = ConvertToUtf8(forged.c_str(), area, sizeof area);
  EXPECT_EQ(0xdeadbeefu, GetLastError());
  EXPECT_EQ(std::string::npos, line.find('\n'));
  EXPECT_EQ("D:\\evil\xEF\x80\x8A" "D:\\forged.exe - 6.6.6.6", line);
  std::string whole;
  std::wstring long_text = std::wstring(100, L'x') + FromCodePoints({0x0A});
  EXPECT_EQ(std::string(100, 'x') + "\xEF\x80\x8A",
            std::string(ConvertToUtf8(long_text.c_str(), area, sizeof area, &whole)));
}

TEST(ToUtf8, EveryResultSharesOneArea) {
  const char* first = ToUtf8(L"first");
  const char* second = ToUtf8(std::wstring(L"second"));
  EXPECT_EQ(first, second);
  EXPECT_STREQ("second", first);
  EXPECT_EQ(first, ToUtf8(L""));
  EXPECT_EQ('\0', first[0]);
}

TEST(ToUtf8, TooLongTextIsCutAtACharacterBoundary) {
  // 4095 bytes fit with the terminator. Two-byte characters from an odd
  // offset leave one byte over, which must not hold half a character.
  std::wstring text = L"x" + std::wstring(3000, static_cast<wchar_t>(0xFC));
  SetLastError(0xdeadbeef);
  const char* result = ToUtf8(text);
  EXPECT_EQ(0xdeadbeefu, GetLastError());
  std::size_t length = std::strlen(result);
  EXPECT_EQ(4095u, length);
  EXPECT_EQ('x', result[0]);
  EXPECT_EQ("C3 BC", Hex(std::string(result + length - 2, 2)));

  std::wstring emoji;
  for (int i = 0; i < 1100; ++i) emoji += FromCodePoints({0x1F600});
  result = ToUtf8(emoji);
  EXPECT_EQ(4092u, std::strlen(result));  // 1023 whole four-byte characters
}

TEST(ConvertToUtf8, FitsIntoTheCallersAreaOrGoesWhole) {
  char area[8];
  EXPECT_STREQ("abcdefg", ConvertToUtf8(L"abcdefg", area, sizeof area));
  EXPECT_EQ(area, ConvertToUtf8(L"abcdefgh", area, sizeof area));
  EXPECT_STREQ("abcdefg", area);
  EXPECT_EQ(7u, std::strlen(ConvertToUtf8(L"abcde\u00FC", area, sizeof area)));
  // Three bytes don't fit after five.
  EXPECT_STREQ("abcde", ConvertToUtf8(L"abcde\u20AC", area, sizeof area));

  // Given a string for the whole text, a text that doesn't fit goes there
  // uncut, and a code pending before the call is still pending after it.
  std::string whole;
  SetLastError(0xdeadbeef);
  const char* result = ConvertToUtf8(L"abcde\u20ACxyz", area, sizeof area, &whole);
  EXPECT_EQ(0xdeadbeefu, GetLastError());
  EXPECT_EQ(whole.c_str(), result);
  EXPECT_EQ("61 62 63 64 65 E2 82 AC 78 79 7A", Hex(whole));
  SetLastError(0);
  EXPECT_EQ(area, ConvertToUtf8(L"short", area, sizeof area, &whole));
  EXPECT_EQ(0u, GetLastError());
}

}  // namespace
}  // namespace vur
