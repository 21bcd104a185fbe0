// The two settings loaders on a key the account may neither open nor create:
// each logs its own open message and falls back to its defaults.
#include <gtest/gtest.h>

#include <string>

#include "support/scanner_fixture.h"

namespace vur {
namespace {

class LoadersTest : public test::ScannerTest {
 protected:
  void SetUp() override {
    machine_.SetValue(L"ScannerExtensions", std::wstring(L".dll\0.sys", 9));
    machine_.SetValue(L"PathExclusions", L"D:\\Temp");
  }
};

TEST_F(LoadersTest, KeyThatCanNeitherBeOpenedNorCreated) {
  Scanner& scanner = MakeScanner();  // the log set-up still reads the key
  machine_.DenyKeyAccess();

  ExtensionSet extensions;
  scanner.LoadExtensions(extensions);
  // The defaults, and no "# Using default file extensions.".
  EXPECT_EQ((ExtensionSet{L".com", L".exe"}), extensions);
  const std::string kExtensionsMessage = "# ERROR: Failed to open QIM VUR regkey.\n";
  EXPECT_EQ(kExtensionsMessage, Log());
  EXPECT_EQ(kExtensionsMessage, console_.Text());

  scanner.LoadExclusions();
  // The default patterns only; this loader alone says "registry key".
  EXPECT_EQ(3u, scanner.exclusion_rules().size());
  const std::string kExclusionsMessage = "# ERROR: Failed to open QIM VUR registry key.\n";
  EXPECT_EQ(kExtensionsMessage + kExclusionsMessage, Log());
  EXPECT_EQ(kExtensionsMessage + kExclusionsMessage, console_.Text());
}

}  // namespace
}  // namespace vur
