// _wfsopen for the log file: create or replace, exclusive sharing within and
// across processes, and its last-error codes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"
#include "support/test_machine.h"

namespace vur::posix {
namespace {

using testing::Op;

constexpr DWORD kSentinel = 0xdeadbeef;

class FileOpenTest : public ::testing::Test {
 protected:
  void SetUp() override { machine_.MakeFolder("sub"); }
  // The same file by drive path and by native path.
  struct Paths {
    std::wstring drive, native;
  };
  Paths Both(const std::string& relative) const {
    std::string native = machine_.Native(relative);
    return {machine_.Wide(relative), DecodeName(native.data(), native.size())};
  }
  std::string Content(const std::string& relative) const {
    return test::ReadFileBytes(machine_.Native(relative));
  }
  test::TestMachine machine_;
};

// The child's exit status: the last-error code of its own open, 0 if it opened.
int OpenInChild(const std::wstring& path) {
  pid_t child = fork();
  if (child == 0) {
    FILE* file = _wfsopen(path.c_str(), L"w", _SH_DENYRW);
    _exit(file == nullptr ? static_cast<int>(GetLastError() & 0xff) : 0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(FileOpenTest, CreatesThenReplaces) {
  Paths paths = Both("sub/scan.log");
  for (const std::wstring& path : {paths.drive, paths.native}) {
    std::remove(machine_.Native("sub/scan.log").c_str());
    SetLastError(kSentinel);
    FILE* file = _wfsopen(path.c_str(), L"w", _SH_DENYRW);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "a new file";
    std::fputs("first run, longer", file);
    std::fclose(file);

    SetLastError(kSentinel);
    file = _wfsopen(path.c_str(), L"w", _SH_DENYRW);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS) << "a replaced file";
    EXPECT_EQ(Content("sub/scan.log"), "") << "truncated on open";
    std::fputs("second", file);
    std::fclose(file);
    EXPECT_EQ(Content("sub/scan.log"), "second");
  }
}

TEST_F(FileOpenTest, SecondOpenWhileHeldIsRefused) {
  Paths paths = Both("scan.log");
  FILE* held = _wfsopen(paths.drive.c_str(), L"w", _SH_DENYRW);
  ASSERT_NE(held, nullptr);
  std::fputs("held", held);
  std::fflush(held);
  for (const std::wstring& path : {paths.drive, paths.native}) {
    SetLastError(kSentinel);
    EXPECT_EQ(_wfsopen(path.c_str(), L"w", _SH_DENYRW), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(OpenInChild(path), static_cast<int>(ERROR_SHARING_VIOLATION)) << "another process";
    EXPECT_EQ(Content("scan.log"), "held") << "the held file was truncated";
  }
  std::fclose(held);
  EXPECT_EQ(OpenInChild(paths.native), 0) << "free again once closed";
}

TEST_F(FileOpenTest, Failures) {
  struct Case {
    std::wstring path;
    DWORD code;
  } cases[] = {
      {L"T:\\missing\\scan.log", ERROR_PATH_NOT_FOUND},
      {L"T:\\sub", ERROR_ACCESS_DENIED},
      {L"Q:\\scan.log", ERROR_PATH_NOT_FOUND},
      {Both("missing/scan.log").native, ERROR_PATH_NOT_FOUND},
      {Both("sub").native, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SetLastError(kSentinel);
    EXPECT_EQ(_wfsopen(c.path.c_str(), L"w", _SH_DENYRW), nullptr);
    EXPECT_EQ(GetLastError(), c.code) << EncodeName(c.path.data(), c.path.size());
  }
}

// Nothing but a regular file or the null device is a log file, and no open
// waits: a FIFO, with or without a reader, is refused at once.
TEST_F(FileOpenTest, SpecialFilesAreRefusedWithoutBlocking) {
  alarm(20);  // a blocking open would hang the test: fail it instead
  std::string fifo = machine_.Native("sub/fifo.log");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  SetLastError(kSentinel);
  EXPECT_EQ(_wfsopen(L"T:\\sub\\fifo.log", L"w", _SH_DENYRW), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  SetLastError(kSentinel);
  EXPECT_EQ(_wfsopen(L"T:\\sub\\fifo.log", L"w", _SH_DENYRW), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  close(reader);
  std::wstring link = Both("sub/link.log").native;
  ASSERT_EQ(symlink(fifo.c_str(), machine_.Native("sub/link.log").c_str()), 0);
  EXPECT_EQ(_wfsopen(link.c_str(), L"w", _SH_DENYRW), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(_wfsopen(L"/dev/zero", L"w", _SH_DENYRW), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  // /dev/null is accepted, is not truncated, and is never held.
  FILE* first = _wfsopen(L"/dev/null", L"w", _SH_DENYRW);
  ASSERT_NE(first, nullptr);
  FILE* second = _wfsopen(L"/dev/null", L"w", _SH_DENYRW);
  ASSERT_NE(second, nullptr);
  EXPECT_GT(std::fputs("gone", first), 0);
  EXPECT_EQ(std::fclose(second), 0);
  EXPECT_EQ(std::fclose(first), 0);
  alarm(0);
}

TEST_F(FileOpenTest, InjectedFaults) {
  const std::wstring path = L"T:\\scan.log";
  testing::InjectFault({Op::kOpenFile, path, ERROR_ACCESS_DENIED});
  SetLastError(kSentinel);
  EXPECT_EQ(_wfsopen(path.c_str(), L"w", _SH_DENYRW), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(std::ifstream(machine_.Native("scan.log")).good()) << "nothing was created";

  testing::InjectFault({Op::kOpenFile, path, ERROR_DISK_FULL, /*succeed=*/true});
  FILE* file = _wfsopen(path.c_str(), L"w", _SH_DENYRW);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  std::fclose(file);
}

}  // namespace
}  // namespace vur::posix
