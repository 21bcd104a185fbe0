// The log on Windows, where a failed write sets the thread's last-error code.
#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "diag/log.h"
#include "support/test_machine.h"

namespace vur {
namespace {

// A log file whose every write fails in the system, as on a full disk: the
// stream writes to a handle that may only read. A code such a write leaves
// pending would reach the walker's next checkpoint as a false ERROR line, or
// the redirection guard as a failure of its own.
TEST(LogWin, AFailingLogFileLeavesNoCodeBehind) {
  test::TestMachine machine;
  std::string native = machine.Native("read-only.log");
  std::FILE* create = std::fopen(native.c_str(), "w");
  ASSERT_NE(nullptr, create);
  std::fclose(create);
  HANDLE handle = CreateFileW(machine.Wide("read-only.log").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, handle);
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_TEXT);
  ASSERT_GE(fd, 0);
  std::FILE* file = _fdopen(fd, "w");
  ASSERT_NE(nullptr, file);

  test::Console console;
  {
    LogSink sink(console.stream());
    sink.SetThreshold(LogLevel::kDebug);  // flushed after each message: the write happens now
    sink.SetFile(file);
    SetLastError(0x4321);
    Log(sink, LogLevel::kDebug, "# a DEBUG line\n");
    EXPECT_EQ(0x4321u, GetLastError());
    SetLastError(0);
    Log(sink, LogLevel::kInfo, "D:\\a.exe - 1.2.3.4\n");
    EXPECT_EQ(0u, GetLastError());
    sink.SetFile(nullptr);
  }
  // The writes did fail in the system.
  SetLastError(0);
  std::fputs("x\n", file);
  std::fflush(file);
  EXPECT_NE(0u, GetLastError());
  std::fclose(file);
  EXPECT_EQ("D:\\a.exe - 1.2.3.4\n", console.Text());
}

}  // namespace
}  // namespace vur
