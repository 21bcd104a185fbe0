// The two settings loaders when the platform refuses to close the settings
// key, or opens none: failures only the layer's hooks can produce.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/test_hooks.h"
#include "support/scanner_fixture.h"

namespace vur {
namespace {

using posix::testing::Fault;
using posix::testing::Op;

class LoadersPosixTest : public test::ScannerTest {
 protected:
  void SetUp() override {
    machine_.SetValue(L"ScannerExtensions", std::wstring(L".dll\0.sys", 9));
    machine_.SetValue(L"PathExclusions", L"D:\\Temp");
  }
  // Runs one loader; gives what it produced in a comparable form.
  static std::string Load(Scanner& scanner, bool extensions) {
    if (!extensions) {
      scanner.LoadExclusions();
      return std::to_string(scanner.exclusion_rules().size()) + " rules";
    }
    ExtensionSet set;
    scanner.LoadExtensions(set);
    std::string out;
    for (const std::wstring& e : set) out += "[" + test::Narrow(e) + "]";
    return out;
  }
};

TEST_F(LoadersPosixTest, KeyThatFailsToCloseKeepsWhatWasRead) {
  for (bool extensions : {true, false}) {
    SCOPED_TRACE(extensions ? "extensions" : "exclusions");
    Scanner& scanner = MakeScanner();
    std::size_t console_start = console_.Text().size();
    posix::testing::InjectFault({Op::kRegCloseKey, L"", ERROR_INVALID_HANDLE});
    EXPECT_EQ(extensions ? "[.dll][.sys]" : "4 rules", Load(scanner, extensions));
    const std::string kMessage = "# ERROR: Failed to close QIM VUR regkey.\n";
    EXPECT_EQ(kMessage, console_.Text().substr(console_start));
    std::string log = Log();
    ASSERT_GE(log.size(), kMessage.size());
    EXPECT_EQ(kMessage, log.substr(log.size() - kMessage.size())) << log;
    EXPECT_FALSE(posix::testing::Armed());
    ResetScanner();
  }
}

TEST_F(LoadersPosixTest, KeyThatWasNotOpenedIsNotClosed) {
  for (bool extensions : {true, false}) {
    SCOPED_TRACE(extensions ? "extensions" : "exclusions");
    Scanner& scanner = MakeScanner();
    posix::testing::InjectFault({Op::kRegCreateKey, L"", ERROR_ACCESS_DENIED});
    posix::testing::InjectFault({Op::kRegCloseKey, L"", ERROR_INVALID_HANDLE});
    EXPECT_EQ(extensions ? "[.com][.exe]" : "3 rules", Load(scanner, extensions));
    // The open fault is used up; the close fault is still armed.
    EXPECT_TRUE(posix::testing::Armed());
    EXPECT_EQ(std::string::npos, console_.Text().find("close"));
    ResetScanner();
    posix::testing::Reset();
  }
}

}  // namespace
}  // namespace vur
