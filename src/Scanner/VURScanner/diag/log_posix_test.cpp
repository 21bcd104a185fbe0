// Set-up failures the registry and the platform can't produce on demand.
#include <gtest/gtest.h>

#include <string>

#include "diag/log.h"
#include "platform/posix/test_hooks.h"
#include "support/test_machine.h"

namespace vur {
namespace {

using posix::testing::Fault;
using posix::testing::Op;
using test::Console;
using test::TestMachine;

TEST(LogSinkSetUpFailures, EachRowOfTheTable) {
  struct Case {
    const char* name;
    Fault fault;
    const char* console;
    LogLevel threshold;
  } cases[] = {
      {"key can't be opened", {Op::kRegCreateKey, L"", ERROR_ACCESS_DENIED},
       "# ERROR: Failed to open QIM VUR regkey.\n", LogLevel::kError},
      {"file value refused", {Op::kRegQueryValue, L"ScannerLogFile", ERROR_ACCESS_DENIED}, "",
       LogLevel::kError},
      {"level value refused", {Op::kRegQueryValue, L"ScannerLogLevel", ERROR_ACCESS_DENIED}, "",
       LogLevel::kDebug},
      {"key can't be closed", {Op::kRegCloseKey, L"", ERROR_INVALID_HANDLE},
       "# ERROR: Failed to close QIM VUR regkey.\n", LogLevel::kInfo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine;
    machine.SetValue(L"ScannerLogFile", machine.Wide("scan.log"));
    machine.SetValue(L"ScannerLogLevel", L"INFO");
    posix::testing::InjectFault(c.fault);
    Console console;
    LogSink sink(console.stream());
    EXPECT_EQ(c.console, console.Text());
    EXPECT_EQ(static_cast<int>(c.threshold), static_cast<int>(sink.threshold()));
    bool file_expected = c.fault.target == L"ScannerLogLevel";
    EXPECT_EQ(file_expected, sink.file() != nullptr);
  }
}

TEST(LogSinkSetUpFailures, PendingCodeIsReportedBeforeTheOpen) {
  TestMachine machine;
  machine.SetValue(L"ScannerLogFile", machine.Wide("scan.log"));
  SetLastError(ERROR_ACCESS_DENIED);
  Console console;
  LogSink sink(console.stream());
  EXPECT_NE(nullptr, sink.file());
  EXPECT_EQ("\n# ERROR: GetLastError returned 0x5\n", console.Text());
}

TEST(LogSinkSetUpFailures, FileNameWithoutNulIsBoundedByTheArea) {
  TestMachine machine;
  // 4096 units and no NUL: the name fills the whole area.
  machine.SetValue(L"ScannerLogFile", L"T:\\" + std::wstring(4093, L'n'));
  Console console;
  LogSink sink(console.stream());
  EXPECT_EQ(nullptr, sink.file());
  std::string expected_start = "# ERROR: Could not open log file for writing: T:\\nnn";
  std::string text = console.Text();
  EXPECT_EQ(0u, text.find(expected_start)) << text.substr(0, 80);
  // The message shows at most what the 4096-byte conversion area holds.
  std::size_t end = text.find('\n');
  EXPECT_EQ(std::string::npos, text.substr(0, end).find_first_not_of('n', expected_start.size()));
  EXPECT_EQ(4095u, end - std::string("# ERROR: Could not open log file for writing: ").size());
}

}  // namespace
}  // namespace vur
