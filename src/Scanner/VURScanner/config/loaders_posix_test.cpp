// The two settings loaders when the platform refuses to open or to close the
// settings key: failures only the layer's hooks can produce for root.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/posix/test_hooks.h"
#include "support/scanner_fixture.h"

namespace vur {
namespace {

using posix::testing::Fault;
using posix::testing::Op;

// A loader run on the scanner, and what it produced in a comparable form.
struct Loader {
  const char* name;
  std::function<std::string(Scanner&)> load;
};

const Loader kLoaders[] = {
    {"extensions",
     [](Scanner& scanner) {
       ExtensionSet extensions;
       scanner.LoadExtensions(extensions);
       std::string out;
       for (const std::wstring& e : extensions) out += "[" + test::Narrow(e) + "]";
       return out;
     }},
    {"exclusions",
     [](Scanner& scanner) {
       scanner.LoadExclusions();
       return std::to_string(scanner.exclusion_rules().size()) + " rules";
     }},
};

class LoadersTest : public test::ScannerTest {
 protected:
  void SetUp() override {
    machine_.SetValue(L"ScannerExtensions", std::wstring(L".dll\0.sys", 9));
    machine_.SetValue(L"PathExclusions", L"D:\\Temp");
  }
};

TEST_F(LoadersTest, KeyThatCanNeitherBeOpenedNorCreated) {
  const struct {
    const char* result;
    const char* message;
  } expected[] = {
      // The defaults, and no "# Using default file extensions.".
      {"[.com][.exe]", "# ERROR: Failed to open QIM VUR regkey.\n"},
      // The default patterns only; this loader alone says "registry key".
      {"3 rules", "# ERROR: Failed to open QIM VUR registry key.\n"},
  };
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(kLoaders[i].name);
    Scanner& scanner = MakeScanner();
    std::size_t console_start = console_.Text().size();
    posix::testing::InjectFault({Op::kRegCreateKey, L"", ERROR_ACCESS_DENIED});
    // Nothing was opened, so nothing may be closed: this fault must stay armed.
    posix::testing::InjectFault({Op::kRegCloseKey, L"", ERROR_INVALID_HANDLE});
    EXPECT_EQ(expected[i].result, kLoaders[i].load(scanner));
    EXPECT_EQ(expected[i].message, Log());
    EXPECT_EQ(expected[i].message, console_.Text().substr(console_start));
    EXPECT_TRUE(posix::testing::Armed());
    ResetScanner();
    posix::testing::Reset();
  }
}

TEST_F(LoadersTest, KeyThatFailsToCloseKeepsWhatWasRead) {
  const char* const kept[] = {"[.dll][.sys]", "4 rules"};
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(kLoaders[i].name);
    Scanner& scanner = MakeScanner();
    std::size_t console_start = console_.Text().size();
    posix::testing::InjectFault({Op::kRegCloseKey, L"", ERROR_INVALID_HANDLE});
    EXPECT_EQ(kept[i], kLoaders[i].load(scanner));
    const std::string kMessage = "# ERROR: Failed to close QIM VUR regkey.\n";
    EXPECT_EQ(kMessage, console_.Text().substr(console_start));
    std::string log = Log();
    ASSERT_GE(log.size(), kMessage.size());
    EXPECT_EQ(kMessage, log.substr(log.size() - kMessage.size())) << log;
    EXPECT_FALSE(posix::testing::Armed());
    ResetScanner();
  }
}

}  // namespace
}  // namespace vur
