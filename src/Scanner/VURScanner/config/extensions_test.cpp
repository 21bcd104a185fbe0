#include <gtest/gtest.h>

#include <string>

#include "support/scanner_fixture.h"

namespace vur {
namespace {

using test::Narrow;

std::string Join(const ExtensionSet& set) {
  std::string out;
  for (const std::wstring& entry : set) out += "[" + Narrow(entry) + "]";
  return out;
}

class ExtensionsTest : public test::ScannerTest {};

TEST_F(ExtensionsTest, ListValuesAndTheirMessages) {
  struct Case {
    const char* name;
    bool set;
    std::wstring value;
    const char* entries;
    std::string messages;
  };
  const std::string kSpecified = "# File extensions were specified in registry.\n";
  auto including = [](const char* e) { return std::string("# Including file etension ") + e + ".\n"; };
  const Case cases[] = {
      {"absent: defaults", false, L"", "[.com][.exe]", "# Using default file extensions.\n"},
      {"list", true, std::wstring(L".sys\0.dll\0.exe", 14), "[.dll][.exe][.sys]",
       kSpecified + including(".sys") + including(".dll") + including(".exe")},
      {"one text", true, L".msi", "[.msi]", kSpecified + including(".msi")},
      {"no other separator", true, L".exe;.com", "[.exe;.com]", kSpecified + including(".exe;.com")},
      {"duplicate: two messages, one entry", true, std::wstring(L".exe\0.exe", 9), "[.exe]",
       kSpecified + including(".exe") + including(".exe")},
      {"case is kept", true, std::wstring(L".EXE\0.exe", 9), "[.EXE][.exe]",
       kSpecified + including(".EXE") + including(".exe")},
      {"empty: no extension at all", true, L"", "", kSpecified},
      {"no dot added", true, L"exe", "[exe]", kSpecified + including("exe")},
      {"empty text in the middle", true, std::wstring(L".sys\0\0.dll", 10), "[.dll][.sys]",
       kSpecified + including(".sys") + including(".dll")},
      {"more than the area: defaults", true, std::wstring(5000, L'x'), "[.com][.exe]",
       "# Using default file extensions.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine_.DeleteKey();
    if (c.set) machine_.SetValue(L"ScannerExtensions", c.value);
    Scanner& scanner = MakeScanner();
    ExtensionSet extensions;
    scanner.LoadExtensions(extensions);
    EXPECT_EQ(c.entries, Join(extensions));
    EXPECT_EQ(c.messages, Log());
    EXPECT_EQ("", console_.Text());
    ResetScanner();
  }
}

TEST(DefaultExtensions, ReplaceWhatTheSetHeld) {
  ExtensionSet extensions = {L".dll"};
  FillDefaultExtensions(extensions);
  EXPECT_EQ("[.com][.exe]", Join(extensions));
}

}  // namespace
}  // namespace vur
