// CreateFileW, GetFileInformationByHandle and CloseHandle: a folder's
// identity, the same by every path that reaches it.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/posix/test_hooks.h"
#include "platform/win32.h"
#include "support/test_machine.h"

namespace vur {
namespace {

struct Identity {
  DWORD code = 0;  // 0, or the last-error code of the failed step
  DWORD volume = 0, high = 0, low = 0, attributes = 0;
  bool operator==(const Identity& o) const {
    return code == o.code && volume == o.volume && high == o.high && low == o.low;
  }
};

Identity Of(const std::wstring& path, DWORD flags = FILE_FLAG_BACKUP_SEMANTICS) {
  Identity id;
  SetLastError(0xdeadbeef);
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    id.code = GetLastError();
    return id;
  }
  EXPECT_EQ(0xdeadbeefu, GetLastError()) << "a successful open changed the code";
  BY_HANDLE_FILE_INFORMATION info;
  EXPECT_TRUE(GetFileInformationByHandle(h, &info));
  id.volume = info.dwVolumeSerialNumber;
  id.high = info.nFileIndexHigh;
  id.low = info.nFileIndexLow;
  id.attributes = info.dwFileAttributes;
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(0xdeadbeefu, GetLastError());
  return id;
}

TEST(FileIdentity, EveryPathToAFolderGivesItsIdentity) {
  test::TestMachine machine;
  machine.MakeFolder("real/inner");
  machine.MakeFolder("twin");
  machine.WriteFile("real/file.exe", "MZ");
  ASSERT_EQ(0, symlink("real", machine.Native("link").c_str()));
  ASSERT_EQ(0, symlink(".", machine.Native("real/inner/self").c_str()));
  ASSERT_EQ(0, symlink("../..", machine.Native("real/inner/up").c_str()));

  Identity real = Of(machine.Wide("real"));
  ASSERT_EQ(0u, real.code);
  EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, real.attributes);
  EXPECT_TRUE(real == Of(machine.Wide("link")));
  EXPECT_TRUE(real == Of(machine.Wide("real/inner/up/real")));
  EXPECT_TRUE(real == Of(L"\\\\?\\" + machine.Wide("real")));
  EXPECT_TRUE(real == Of(machine.Wide("real/")));
  EXPECT_TRUE(Of(machine.Wide("real/inner")) == Of(machine.Wide("real/inner/self")));
  EXPECT_FALSE(real == Of(machine.Wide("twin")));
  EXPECT_FALSE(real == Of(machine.Wide("real/file.exe"), 0));
  EXPECT_EQ(FILE_ATTRIBUTE_ARCHIVE, Of(machine.Wide("real/file.exe"), 0).attributes);
  // The drive root, which needs its backslash.
  EXPECT_EQ(0u, Of(machine.Root().substr(0, 3)).code);
}

TEST(FileIdentity, Failures) {
  test::TestMachine machine;
  machine.MakeFolder("f");
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, Of(machine.Wide("missing")).code);
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, Of(machine.Wide("missing/deeper")).code);
  // A folder opens only for backup semantics, as on Windows.
  EXPECT_EQ(ERROR_ACCESS_DENIED, Of(machine.Wide("f"), 0).code);
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(machine.Wide("f").c_str(), FILE_READ_ATTRIBUTES, 0,
                                              nullptr, 2 /* CREATE_ALWAYS */, 0, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  int not_a_handle = 0;
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(&not_a_handle));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  BY_HANDLE_FILE_INFORMATION info;
  EXPECT_FALSE(GetFileInformationByHandle(nullptr, &info));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  posix::testing::Reset();
  posix::testing::InjectFault({posix::testing::Op::kCreateFile, machine.Wide("f"), ERROR_SHARING_VIOLATION});
  EXPECT_EQ(ERROR_SHARING_VIOLATION, Of(machine.Wide("f")).code);
  EXPECT_EQ(0u, Of(machine.Wide("f")).code);
  posix::testing::Reset();
}

}  // namespace
}  // namespace vur
