// Times, versions, case and patterns: the values every query compares.
#include <gtest/gtest.h>

#include "base/glob.h"
#include "base/text.h"
#include "base/time.h"
#include "base/version.h"

namespace vurfleet {
namespace {

TEST(Stamp, ReadsTheScannersForm) {
  EXPECT_EQ(ParseStamp("Tue, 08 Dec 2026 04:03:56 -0700"), MakeTime(2026, 12, 8, 4, 3, 56));
  EXPECT_EQ(ParseStamp("Tue, 29 Feb 2028 23:59:59 -0700"), MakeTime(2028, 2, 29, 23, 59, 59));
  // The four digits are fixed text: another offset is read, and ignored.
  EXPECT_EQ(ParseStamp("Tue, 08 Dec 2026 04:03:56 +0100"), MakeTime(2026, 12, 8, 4, 3, 56));
  EXPECT_EQ(ParseStamp("Thu, 01 Jan 1970 00:00:00 -0700"), 0);
}

TEST(Stamp, WrittenAsTheScannerWritesIt) {
  for (const char* stamp : {"Tue, 08 Dec 2026 04:03:56 -0700", "Thu, 01 Jan 1970 00:00:00 -0700",
                            "Tue, 29 Feb 2028 23:59:59 -0700", "Wed, 31 Dec 1969 23:59:59 -0700"}) {
    EXPECT_EQ(FormatStamp(*ParseStamp(stamp)), stamp);
  }
}

TEST(Stamp, RefusesAnythingElse) {
  for (const char* bad : {
           "",
           "Tue, 08 Dec 2026 04:03:56",          // no tail
           "Wed, 08 Dec 2026 04:03:56 -0700",    // the 8th is a Tuesday
           "Tue, 8 Dec 2026 04:03:56 -0700",     // day of one digit
           "Tue, 08 dec 2026 04:03:56 -0700",    // month in lower case
           "Tue, 31 Nov 2026 04:03:56 -0700",    // no such day
           "Mon, 29 Feb 2027 04:03:56 -0700",    // not a leap year
           "Tue, 08 Dec 2026 24:00:00 -0700",
           "Tue, 08 Dec 2026 04:60:00 -0700",
           "Tue, 08 Dec 2026 04:03:56 -07:0",
           "Tue, 08 Dec 2026 04:03:56 -0700 ",   // trailing blank
           "Tue, 08 Dec 0999 04:03:56 -0700",
       }) {
    EXPECT_FALSE(ParseStamp(bad).has_value()) << bad;
  }
}

TEST(TimeArgument, DateOrDateAndTime) {
  EXPECT_EQ(ParseTimeArgument("2026-12-08"), MakeTime(2026, 12, 8, 0, 0, 0));
  EXPECT_EQ(ParseTimeArgument("2026-12-08 04:03:56"), MakeTime(2026, 12, 8, 4, 3, 56));
  for (const char* bad : {"2026-12-8", "2026-13-01", "2026-02-30", "2026-12-08T04:03:56",
                          "2026-12-08 4:03:56", "08.12.2026", "2026-12-08 04:03"}) {
    EXPECT_FALSE(ParseTimeArgument(bad).has_value()) << bad;
  }
}

TEST(TimeArgument, FormatsBackToTheSameText) {
  for (const char* text : {"1970-01-01 00:00:00", "2026-12-08 04:03:56", "2000-02-29 12:00:00",
                           "1969-12-31 23:59:59", "9999-12-31 23:59:59"}) {
    EXPECT_EQ(FormatTime(*ParseTimeArgument(text)), text);
  }
}

TEST(Version, ReportedForms) {
  EXPECT_EQ(Version::ParseReported("1.2.3.4"), Version::FromParts(1, 2, 3, 4));
  EXPECT_EQ(Version::ParseReported("65535.65535.65535.65535"), Version::Of(~std::uint64_t{0}));
  EXPECT_EQ(Version::ParseReported("<none>"), Version::None());
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.65536", "1..3.4", "1.2.3.-4",
                          "1.2.3.4 ", " 1.2.3.4", "<NONE>", "a.b.c.d", "000001.2.3.4", "1.2.3."}) {
    EXPECT_FALSE(Version::ParseReported(bad).has_value()) << bad;
  }
}

TEST(Version, ArgumentsFillMissingPartsWithZero) {
  EXPECT_EQ(Version::ParseArgument("8.5"), Version::FromParts(8, 5, 0, 0));
  EXPECT_EQ(Version::ParseArgument("17"), Version::FromParts(17, 0, 0, 0));
  EXPECT_EQ(Version::ParseArgument("1.2.3.4"), Version::FromParts(1, 2, 3, 4));
  for (const char* bad : {"", "8.", ".5", "1.2.3.4.5", "70000", "<none>", "v8"}) {
    EXPECT_FALSE(Version::ParseArgument(bad).has_value()) << bad;
  }
}

TEST(Version, ComparesAsNumbersNotText) {
  // The administrator's fault: 17.9 sorts above 17.15 as text.
  EXPECT_LT(Version::ParseArgument("17.9")->value(), Version::ParseArgument("17.15")->value());
  EXPECT_LT(Version::ParseArgument("0.81")->value(), Version::ParseArgument("1")->value());
  EXPECT_EQ(Version::FromParts(10, 0, 19041, 1).ToString(), "10.0.19041.1");
  EXPECT_EQ(Version::None().ToString(), "<none>");
  EXPECT_NE(Version::None(), Version::Of(0));
}

TEST(Text, CaseAsWindowsIgnoresIt) {
  struct {
    const char* text;
    const char* folded;
    const char* upper;
  } cases[] = {
      {"C:\\Program Files\\PuTTY.EXE", "c:\\program files\\putty.exe", "C:\\PROGRAM FILES\\PUTTY.EXE"},
      {"\xC3\x84rger \xC3\x9F", "\xC3\xA4rger \xC3\x9F", "\xC3\x84RGER \xC3\x9F"},     // Ä ß
      {"\xE1\xBA\x9E", "\xC3\x9F", "\xC3\x9F"},                                        // ẞ folds to ß
      {"\xC5\x81\xC3\xB3" "d\xC5\xBA", "\xC5\x82\xC3\xB3" "d\xC5\xBA", "\xC5\x81\xC3\x93" "D\xC5\xB9"},  // Łódź
      {"\xCE\xA3\xCE\xBF\xCF\x82", "\xCF\x83\xCE\xBF\xCF\x83", "\xCE\xA3\xCE\x9F\xCE\xA3"},  // Σος
      {"\xD0\x9F\xD0\x9A-\xD1\x97", "\xD0\xBF\xD0\xBA-\xD1\x97", "\xD0\x9F\xD0\x9A-\xD0\x87"},  // ПК-ї
      // ǆ, ǅ and Ǆ: one letter in three cases, shown as Ǆ.
      {"\xC7\x86" "1", "\xC7\x86" "1", "\xC7\x84" "1"},
      {"\xC7\x85" "1", "\xC7\x86" "1", "\xC7\x84" "1"},
      {"\xC7\x84" "1", "\xC7\x86" "1", "\xC7\x84" "1"},
      {"\xD4\xB1\xD5\xA1", "\xD5\xA1\xD5\xA1", "\xD4\xB1\xD4\xB1"},                      // Armenian Աա
      // Georgian: Mtavruli Ა folds to Mkhedruli ა, whose upper case it is.
      {"\xE1\xB2\x90\xE1\x83\x90", "\xE1\x83\x90\xE1\x83\x90", "\xE1\xB2\x90\xE1\xB2\x90"},
      // Cherokee folds to its capitals, encoded first: ꭰ to Ꭰ, ᏸ to Ᏸ.
      {"\xEA\xAD\xB0\xE1\x8E\xA0", "\xE1\x8E\xA0\xE1\x8E\xA0", "\xE1\x8E\xA0\xE1\x8E\xA0"},
      {"\xE1\x8F\xB8", "\xE1\x8F\xB0", "\xE1\x8F\xB0"},
      {"PC-\xE2\x84\xAA", "pc-k", "PC-K"},                                             // Kelvin sign
      {"\xC5\xBF" "x", "sx", "SX"},                                                    // long s
      // Dotless ı and dotted İ fold to themselves; ı's upper case I would
      // fold to i, another key, so ı is shown as it folds.
      {"\xC4\xB1\xC4\xB0" "I", "\xC4\xB1\xC4\xB0" "i", "\xC4\xB1\xC4\xB0" "I"},
      {"\xEF\x80\x8A\xEF\xBF\xBD", "\xEF\x80\x8A\xEF\xBF\xBD", "\xEF\x80\x8A\xEF\xBF\xBD"},  // kept
      {"a\xE9" "B\xC3", "a\xE9" "b\xC3", "A\xE9" "B\xC3"},  // not UTF-8: kept byte for byte
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FoldCase(c.text), c.folded) << c.text;
    EXPECT_EQ(UpperCase(c.text), c.upper) << c.text;
  }
}

TEST(Text, CaseRulesTheStoresRelyOnHoldForEveryCodePoint) {
  // A machine is keyed by FoldCase of the name UpperCase shows, and a
  // pattern's `?` is one code point of folded text.
  std::size_t broken = 0;
  for (char32_t c = 0; c <= 0x10FFFF && broken < 5; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    std::string text;
    AppendUtf8(&text, c);
    const std::string folded = FoldCase(text);
    const std::string upper = UpperCase(text);
    std::size_t pos = 0;
    char32_t one;
    const bool one_code_point = NextCodePoint(folded, &pos, &one) && pos == folded.size();
    if (!one_code_point || FoldCase(folded) != folded || FoldCase(upper) != folded ||
        UpperCase(folded) != upper) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned>(c);
      ++broken;
    }
  }
}

TEST(Text, StrictUtf8) {
  EXPECT_TRUE(IsUtf8("plain"));
  EXPECT_TRUE(IsUtf8("\xF0\x9F\x98\x80"));
  for (const char* bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xC3", "\xFF"}) {
    EXPECT_FALSE(IsUtf8(bad)) << bad;
  }
}

TEST(Text, DisplayWidthCountsTerminalCells) {
  struct {
    const char* text;
    std::size_t width;
  } cases[] = {
      {"", 0},
      {"PC042", 5},
      {"\xC3\x84x", 2},                          // Ä precomposed
      {"A\xCC\x88x", 2},                         // A and a combining diaeresis
      {"\xE5\x90\x8D\xE5\x89\x8D", 4},          // 名前, CJK
      {"\xEF\xBC\xB0\xEF\xBC\xA3", 4},          // ＰＣ, fullwidth
      {"\xED\x95\x9C", 2},                      // 한, a Hangul syllable
      {"\xE1\x84\x92\xE1\x85\xA1", 2},          // the same of conjoining jamo
      {"\xF0\x9F\x98\x80", 2},                  // an emoji
      {"a\xE2\x80\x8B" "b", 2},                  // a zero-width space
      {"\xE2\x83\x9D" "x", 1},                   // an enclosing mark
      {"\xCE\xA3\xD0\x96\xD5\xA1", 3},          // Greek, Cyrillic, Armenian
      {"caf\xE9", 4},                            // a stray byte
  };
  for (const auto& c : cases) EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;
}

TEST(Text, PrintableShowsWhatATerminalWouldObey) {
  struct {
    const char* bytes;
    const char* shown;
  } cases[] = {
      {"C:\\Tools\\putty.exe", "C:\\Tools\\putty.exe"},
      {"PC003.\x1B]0;owned\x07\x1B[2J\nvurfleet: all good",
       "PC003.<U+001B>]0;owned<U+0007><U+001B>[2J<U+000A>vurfleet: all good"},
      {"a\tb\rc\x7F", "a<U+0009>b<U+000D>c<U+007F>"},
      {"\xC2\x9B" "31m", "<U+009B>31m"},                       // C1 CSI
      {"abc\xE2\x80\xAE" "exe.txt", "abc<U+202E>exe.txt"},     // right-to-left override
      {"\xE2\x81\xA6x\xE2\x81\xA9", "<U+2066>x<U+2069>"},    // isolates
      {"caf\xE9.txt", "caf<0xE9>.txt"},                         // Latin-1, not UTF-8
      {"\xC3", "<0xC3>"},                                       // cut short
      {"\xED\xA0\x80", "<0xED><0xA0><0x80>"},                   // a surrogate
      {"Gr\xC3\xBC\xC3\x9F\xE5\x90\x8D", "Gr\xC3\xBC\xC3\x9F\xE5\x90\x8D"},  // kept
  };
  for (const auto& c : cases) EXPECT_EQ(Printable(c.bytes), c.shown) << c.bytes;
  EXPECT_EQ(Printable(std::string_view("a\0b", 3)), "a<U+0000>b");
}

TEST(Glob, WildcardsAndCase) {
  struct {
    const char* pattern;
    const char* text;
    bool match;
  } cases[] = {
      {"putty.exe", "PuTTY.exe", true},
      {"putty.exe", "putty.exe.bak", false},
      {"*.exe", "a.exe", true},
      {"*.exe", ".exe", true},
      {"*.exe", "a.ex", false},
      {"p?tty.exe", "putty.exe", true},
      {"p?tty.exe", "ptty.exe", false},
      {"?", "\xC3\x84", true},           // one character, two bytes
      {"??", "\xC3\x84", false},
      {"c:\\program files\\*\\*.exe", "C:\\Program Files\\A\\B\\x.EXE", true},
      {"*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
      {"[ab].exe", "[ab].exe", true},    // brackets are themselves
      {"[ab].exe", "a.exe", false},
      {"100%.exe", "100%.exe", true},
      {"*", "", true},
      {"", "", true},
      {"", "x", false},
      {"\xC7\x86*", "\xC7\x84" "1", true},       // ǆ* finds Ǆ1
      {"\xC7\x84" "1", "\xC7\x85" "1", true},      // Ǆ1 is ǅ1
      {"pc-k", "PC-\xE2\x84\xAA", true},           // the Kelvin sign is k
      {"pc-?", "PC-\xE2\x84\xAA", true},           // one character, 3 bytes folded to 1
      {"\xE1\x83\x90*", "\xE1\xB2\x90" "1", true},  // ა* finds Ა1
      {"\xD5\xA1?", "\xD4\xB1\xD4\xB1", true},     // Armenian
      {"i*", "\xC4\xB1" "x", false},               // dotless ı is no i
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Glob(c.pattern).Matches(c.text), c.match) << c.pattern << " ~ " << c.text;
  }
}

TEST(Glob, ForSql) {
  const Glob g("Putty_v*%\\?.EXE");
  EXPECT_FALSE(g.literal());
  EXPECT_EQ(g.LiteralPrefix(), "putty_v");
  EXPECT_EQ(g.LikePattern(), "putty\\_v%\\%\\\\_.exe");
  EXPECT_TRUE(Glob("PuTTY.exe").literal());
  EXPECT_EQ(PrefixEnd("putty"), "puttz");
  EXPECT_EQ(PrefixEnd("a\xFF"), "b");
}

TEST(Glob, EveryMatchLiesInThePrefixRange) {
  // The stores narrow a pattern to [LiteralPrefix, PrefixEnd) over folded
  // keys before LIKE: a match outside it would be lost.
  struct {
    const char* pattern;
    const char* text;
  } cases[] = {
      {"\xC7\x84*", "\xC7\x85" "1"},
      {"PC-\xE2\x84\xAA?", "pc-k1"},
      {"\xC3\xBF*", "\xC5\xB8" "x"},     // ÿ*, Ÿx: the prefix ends in byte 0xBF
      {"\xE1\xB2\x90*", "\xE1\x83\x90"},
      {"\xEA\xAD\xB0?", "\xE1\x8E\xA0" "x"},
  };
  for (const auto& c : cases) {
    const Glob g(c.pattern);
    ASSERT_TRUE(g.Matches(c.text)) << c.pattern;
    const std::string key = FoldCase(c.text);
    const std::string prefix = g.LiteralPrefix();
    EXPECT_FALSE(prefix.empty()) << c.pattern;
    EXPECT_GE(key, prefix) << c.pattern;
    EXPECT_LT(key, PrefixEnd(prefix)) << c.pattern;
  }
}

}  // namespace
}  // namespace vurfleet
