// Name and text coding: invalid UTF-8 and the characters Windows forbids in a
// name, each to its private code point and back.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/machine.h"

namespace vur::posix {
namespace {

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) text += std::string{' ', kDigits[c >> 4], kDigits[c & 15]};
  return text;
}

// Every invalid byte decodes to one code point and encodes back to itself.
TEST(NameCodingTest, InvalidUtf8RoundTrips) {
  struct Case {
    std::string bytes;
    std::wstring wide;
  };
  std::vector<Case> cases = {
      {"a\xc3\xbc", L"a\u00fc"},                        // valid
      {"\xe2\x82\xac\xf0\x9f\x98\x80", L"\u20ac\U0001F600"},
      {"\xc0\xaf", L"\xDCC0\xDCAF"},                      // overlong '/'
      {"\xe0\x80\xaf", L"\xDCE0\xDC80\xDCAF"},            // overlong, three bytes
      {"\xf0\x80\x80\xaf", L"\xDCF0\xDC80\xDC80\xDCAF"},  // overlong, four bytes
      {"\xed\xa0\x80", L"\xDCED\xDCA0\xDC80"},            // U+D800 in UTF-8
      {"\xed\xb2\x80", L"\xDCED\xDCB2\xDC80"},            // U+DC80 in UTF-8
      {"\xf4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},  // past U+10FFFF
      {"\xc3", L"\xDCC3"},                                // truncated at the end
      {"\xe2\x82", L"\xDCE2\xDC82"},
      {"\xe2\x82x", L"\xDCE2\xDC82x"},                    // truncated before ASCII
      {"\xf0\x9f\x98", L"\xDCF0\xDC9F\xDC98"},
  };
  for (int b = 0x80; b <= 0xFF; ++b)
    cases.push_back({std::string(1, static_cast<char>(b)) + "z",
                     std::wstring{static_cast<wchar_t>(0xDC00 + b), L'z'}});
  for (const Case& c : cases) {
    std::wstring wide = DecodeName(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(wide, c.wide) << "bytes" << Hex(c.bytes);
    std::string back = EncodeName(wide.data(), wide.size());
    EXPECT_EQ(back, c.bytes) << "expected" << Hex(c.bytes) << ", got" << Hex(back);
  }
  // A surrogate that no decoding produces is written as U+FFFD.
  std::wstring lone = L"\xD800\xDC7F";
  EXPECT_EQ(EncodeName(lone.data(), lone.size()), "\xef\xbf\xbd\xef\xbf\xbd");
}

// Characters Windows forbids in a name travel as U+F000 plus their code; the
// stand-ins themselves, met in a name, are escaped byte by byte.
TEST(NameCodingTest, ForbiddenCharactersMapToStandIns) {
  const std::string forbidden = "\"*:<>?\\|";
  std::vector<char> all(forbidden.begin(), forbidden.end());
  for (int c = 1; c < 0x20; ++c) all.push_back(static_cast<char>(c));
  for (char c : all) {
    std::string bytes = std::string("a") + c + "b.exe";
    std::wstring wide = DecodeName(bytes.data(), bytes.size());
    std::wstring expected = {L'a', static_cast<wchar_t>(0xF000 + static_cast<unsigned char>(c)),
                             L'b', L'.', L'e', L'x', L'e'};
    EXPECT_EQ(wide, expected) << "byte" << Hex(std::string(1, c));
    EXPECT_EQ(EncodeName(wide.data(), wide.size()), bytes) << "byte" << Hex(std::string(1, c));
    // Registry text and other non-name text keeps the character itself.
    EXPECT_EQ(DecodeUtf8(bytes.data(), bytes.size()), L"a" + std::wstring(1, c) + L"b.exe");
  }
  // Allowed ASCII punctuation is left alone.
  std::string allowed = " !#$%&'()+,-.;=@[]^_`{}~";
  EXPECT_EQ(DecodeName(allowed.data(), allowed.size()), std::wstring(allowed.begin(), allowed.end()));

  struct Case {
    std::string bytes;
    std::wstring wide;
  } cases[] = {
      // A forbidden character beside invalid UTF-8.
      {"x\n\xff:\xc3", L"x\xF00A\xDCFF\xF03A\xDCC3"},
      {"\\\xe2\x82\\", L"\xF05C\xDCE2\xDC82\xF05C"},
      // A name that already holds a stand-in (U+F00A, U+F05C): escaped, so it
      // stays apart from the name with a real line feed or backslash.
      {"a\xef\x80\x8a" "b", L"a\xDCEF\xDC80\xDC8A" L"b"},
      {"\xef\x81\x9c\\", L"\xDCEF\xDC81\xDC9C\xF05C"},
      // Other private-use characters, U+F000 itself and U+F07F are no stand-ins.
      {"\xef\x81\x81", L"\xF041"},
      {"\xef\x80\x80", L"\xF000"},
      {"\xef\x81\xbf", L"\xF07F"},
  };
  for (const Case& c : cases) {
    std::wstring wide = DecodeName(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(wide, c.wide) << "bytes" << Hex(c.bytes);
    std::string back = EncodeName(wide.data(), wide.size());
    EXPECT_EQ(back, c.bytes) << "expected" << Hex(c.bytes) << ", got" << Hex(back);
  }

  // The longest names Linux allows (255 bytes) fit a listing entry and
  // round-trip, whatever they are made of.
  for (std::string unit : {std::string("\n"), std::string("\xff"), std::string("\xef\x80\x8a"),
                           std::string("\xc3\xbc"), std::string("|")}) {
    std::string bytes;
    while (bytes.size() + unit.size() <= 255) bytes += unit;
    std::wstring wide = DecodeName(bytes.data(), bytes.size());
    EXPECT_LT(wide.size(), std::size_t{MAX_PATH}) << "unit" << Hex(unit);
    EXPECT_EQ(EncodeName(wide.data(), wide.size()), bytes) << "unit" << Hex(unit);
  }
}
}  // namespace
}  // namespace vur::posix
