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

TEST(Text, CaseOfTheAlphabetsWindowsNamesUse) {
  struct {
    const char* text;
    const char* folded;
    const char* upper;
  } cases[] = {
      {"C:\\Program Files\\PuTTY.EXE", "c:\\program files\\putty.exe", "C:\\PROGRAM FILES\\PUTTY.EXE"},
      {"\xC3\x84rger \xC3\x9F", "\xC3\xA4rger \xC3\x9F", "\xC3\x84RGER \xC3\x9F"},     // Ä ß
      {"\xC5\x81\xC3\xB3" "d\xC5\xBA", "\xC5\x82\xC3\xB3" "d\xC5\xBA", "\xC5\x81\xC3\x93" "D\xC5\xB9"},  // Łódź
      {"\xCE\xA3\xCE\xBF\xCF\x82", "\xCF\x83\xCE\xBF\xCF\x83", "\xCE\xA3\xCE\x9F\xCE\xA3"},  // Σος
      {"\xD0\x9F\xD0\x9A-\xD1\x97", "\xD0\xBF\xD0\xBA-\xD1\x97", "\xD0\x9F\xD0\x9A-\xD0\x87"},  // ПК-ї
      {"\xEF\x80\x8A\xEF\xBF\xBD", "\xEF\x80\x8A\xEF\xBF\xBD", "\xEF\x80\x8A\xEF\xBF\xBD"},  // kept
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FoldCase(c.text), c.folded) << c.text;
    EXPECT_EQ(UpperCase(c.text), c.upper) << c.text;
  }
}

TEST(Text, StrictUtf8) {
  EXPECT_TRUE(IsUtf8("plain"));
  EXPECT_TRUE(IsUtf8("\xF0\x9F\x98\x80"));
  for (const char* bad : {"\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xC3", "\xFF"}) {
    EXPECT_FALSE(IsUtf8(bad)) << bad;
  }
  EXPECT_EQ(DisplayWidth("\xC3\x84x"), 2u);
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

}  // namespace
}  // namespace vurfleet
