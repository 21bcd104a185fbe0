// The POSIX machine: drives file, drives from mountinfo, drive paths and the
// errno table.
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"

namespace vur::posix {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

std::string Describe(const std::vector<Drive>& drives) {
  std::string text;
  for (const Drive& d : drives)
    text += std::string(1, d.letter) + ": " + std::to_string(d.type) + " " + d.folder + "\n";
  return text;
}

std::string Narrow(const wchar_t* text) { return EncodeName(text, std::wcslen(text)); }

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) text += std::string{' ', kDigits[c >> 4], kDigits[c & 15]};
  return text;
}

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vurmachine.XXXXXX";
    root_ = mkdtemp(pattern);
    setenv("VURSCANNER_ROOT", root_.c_str(), 1);
    testing::Reset();
  }
  void TearDown() override {
    std::filesystem::remove_all(root_);
    unsetenv("VURSCANNER_ROOT");
    testing::Reset();
  }
  std::string Dir(const std::string& name) const {
    std::filesystem::create_directories(root_ + "/" + name);
    return root_ + "/" + name;
  }
  void WriteDrives(const std::string& text) const {
    std::ofstream(root_ + "/drives") << text;
    testing::Reset();
  }
  std::string root_;
};

TEST_F(MachineTest, DrivesFileLines) {
  std::string a = Dir("a"), b = Dir("b with blanks");
  std::string text =
      "# comment\n"
      "\n"
      "   \t\n"
      "C: fixed " + a + "\n"
      "d: removable " + a + "\r\n"
      "E: remote " + a + "\n"
      "  F: cdrom " + b + "  \n"
      "G: ramdisk " + a + "\n"
      "H: unknown " + a + "\n"
      "I: auto /proc\n"
      "J: fixed " + root_ + "/missing\n"
      "C: cdrom " + a + "\n"       // duplicate letter
      "K: floppy " + a + "\n"      // unknown type
      "1: fixed " + a + "\n"       // no letter
      "L fixed " + a + "\n"        // no colon
      "M: fixed relative/x\n"      // not absolute
      "N: fixed\n";                // no folder
  std::vector<std::string> errors;
  std::vector<Drive> drives = ParseDrivesFile(text, &errors);
  EXPECT_EQ(Describe(drives), "C: 3 " + a + "\nD: 2 " + a + "\nE: 4 " + a + "\nF: 5 " + b +
                                  "\nG: 6 " + a + "\nH: 0 " + a + "\nI: 0 /proc\nJ: 1 " + root_ +
                                  "/missing\n");
  // Lines 7 and 11 make drives but are still said: blanks after a folder,
  // and a folder that isn't there. Lines 12 to 17 make none.
  ASSERT_EQ(errors.size(), 8u);
  EXPECT_EQ(errors[0], "line 7: blanks after the folder " + b + " are ignored");
  EXPECT_EQ(errors[1], "line 11: folder " + root_ + "/missing does not exist; drive J: has no root");
  for (std::size_t i = 2; i < errors.size(); ++i)
    EXPECT_EQ(errors[i].rfind("line " + std::to_string(10 + i) + ": ", 0), 0u) << errors[i];
  EXPECT_NE(errors[2].find("twice"), std::string::npos) << errors[2];
  EXPECT_NE(errors[3].find("floppy"), std::string::npos) << errors[3];

  // A folder that is a file, and a drives file that is not a regular file.
  std::ofstream(root_ + "/plain") << "x";
  errors.clear();
  drives = ParseDrivesFile("D: fixed " + root_ + "/plain\n", &errors);
  EXPECT_EQ(Describe(drives), "D: 1 " + root_ + "/plain\n");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "line 1: " + root_ + "/plain is not a folder; drive D: has no root");
}

TEST_F(MachineTest, AutoTypeOfRamFileSystem) {
  struct statfs fs;
  if (statfs("/dev/shm", &fs) != 0 || fs.f_type != 0x01021994 /* tmpfs */)
    GTEST_SKIP() << "/dev/shm is not a tmpfs here";
  std::vector<std::string> errors;
  std::vector<Drive> drives = ParseDrivesFile("R: auto /dev/shm\n", &errors);
  EXPECT_EQ(Describe(drives), "R: 6 /dev/shm\n");
  EXPECT_TRUE(errors.empty());
}

std::string MountLine(int id, const std::string& device, const std::string& point,
                      const std::string& fs) {
  return std::to_string(id) + " 1 " + device + " / " + point + " rw,relatime shared:1 - " + fs +
         " src rw\n";
}

TEST_F(MachineTest, DrivesFromMountInfo) {
  std::string disk = Dir("disk"), ram = Dir("ram"), net = Dir("net"), cd = Dir("cd");
  std::string bind = Dir("bind"), blank = Dir("a b"), again = Dir("again");
  std::string file = root_ + "/single";
  std::ofstream(file) << "x";
  std::string text = MountLine(1, "0:20", "/proc", "proc") +
                     MountLine(2, "8:1", "/", "ext4") +
                     MountLine(3, "8:2", disk, "ext4") +
                     MountLine(4, "0:30", "/sys", "sysfs") +
                     MountLine(5, "0:31", ram, "tmpfs") +
                     MountLine(6, "0:40", net, "nfs4") +
                     MountLine(7, "8:2", bind, "ext4") +      // second mount of D:
                     MountLine(8, "8:1", again, "ext4") +     // second mount of C:
                     MountLine(9, "8:3", file, "ext4") +      // a single file
                     MountLine(10, "0:41", root_ + "/a\\040b", "xfs") +
                     MountLine(11, "0:42", cd, "iso9660") +
                     MountLine(12, "0:43", "/dev/pts", "devpts");
  EXPECT_EQ(Describe(DrivesFromMountInfo(text)),
            "C: 3 /\nD: 3 " + disk + "\nE: 6 " + ram + "\nF: 4 " + net + "\nG: 3 " + blank +
                "\nH: 5 " + cd + "\n");
}

TEST_F(MachineTest, MountInfoLettersRunOutAtZ) {
  std::string dir = Dir("m");
  std::string text;
  for (int i = 0; i < 30; ++i) text += MountLine(i, "0:" + std::to_string(100 + i), dir, "tmpfs");
  std::vector<Drive> drives = DrivesFromMountInfo(text);
  ASSERT_EQ(drives.size(), 24u);  // C: and D: to Z:
  EXPECT_EQ(drives.back().letter, 'Z');
}

TEST_F(MachineTest, LogicalDrivesAndTypesFromDrivesFile) {
  std::string a = Dir("a");
  WriteDrives("C: fixed " + a + "\nE: cdrom " + a + "\nz: ramdisk " + a + "\nQ: fixed " + root_ +
              "/missing\n");
  SetLastError(kSentinel);
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 4) | (1u << 16) | (1u << 25));
  struct Case {
    const wchar_t* root;
    UINT type;
  } cases[] = {{L"C:\\", DRIVE_FIXED},      {L"c:\\", DRIVE_FIXED},   {L"C:", DRIVE_FIXED},
               {L"E:\\", DRIVE_CDROM},      {L"Z:\\", DRIVE_RAMDISK}, {L"Q:\\", DRIVE_NO_ROOT_DIR},
               {L"D:\\", DRIVE_NO_ROOT_DIR}, {L"C:\\x", DRIVE_NO_ROOT_DIR},
               {L"", DRIVE_NO_ROOT_DIR},    {nullptr, DRIVE_NO_ROOT_DIR}};
  for (const Case& c : cases)
    EXPECT_EQ(GetDriveTypeW(c.root), c.type) << (c.root ? c.root : L"(null)");
  EXPECT_EQ(GetLastError(), kSentinel);
}

// A drives file that is there but can't be read gives no drives at all,
// rather than the system's, and reading it waits for nothing.
TEST_F(MachineTest, DrivesFileThatIsAFifoGivesNoDrives) {
  alarm(20);
  ASSERT_EQ(mkfifo((root_ + "/drives").c_str(), 0644), 0);
  testing::Reset();
  EXPECT_EQ(GetLogicalDrives(), 0u);
  EXPECT_EQ(GetDriveTypeW(L"C:\\"), DRIVE_NO_ROOT_DIR);
  alarm(0);
}

TEST_F(MachineTest, WithoutDrivesFileCIsTheSystemRoot) {
  SetLastError(kSentinel);
  EXPECT_NE(GetLogicalDrives() & (1u << 2), 0u);
  EXPECT_EQ(GetDriveTypeW(L"C:\\"), DRIVE_FIXED);
  ASSERT_NE(FindDrive(L'c'), nullptr);
  EXPECT_EQ(FindDrive(L'C')->folder, "/");
  EXPECT_EQ(GetLastError(), kSentinel);
}

TEST_F(MachineTest, NativePath) {
  std::string t = Dir("t");
  WriteDrives("T: fixed " + t + "/\nR: fixed /\n");
  // In `native`, a leading '~' stands for T:'s folder.
  struct Case {
    const wchar_t* path;
    bool allow_native;
    std::string native;  // empty: the call fails with `error`
    DWORD error;
  } cases[] = {
      {L"T:\\", false, "~", 0},
      {L"T:", false, "~", 0},
      {L"t:\\a\\b", false, "~/a/b", 0},
      {L"T:\\a\\\\b\\", false, "~/a/b", 0},
      {L"T:\\a\\.\\b\\..\\c", false, "~/a/c", 0},
      {L"T:\\..\\..\\etc", false, "~/etc", 0},
      {L"T:\\\u00fc\xDCFF", false, "~/\xc3\xbc\xff", 0},
      {L"R:\\proc", false, "/proc", 0},
      {L"/var/log/x", true, "/var/log/x", 0},
      {L"Q:\\x", true, "", ERROR_PATH_NOT_FOUND},
      {L"T:x", false, "", ERROR_INVALID_NAME},
      {L"relative\\x", false, "", ERROR_INVALID_NAME},
      {L"", true, "", ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    std::string expected = c.native;
    if (!expected.empty() && expected[0] == '~') expected = t + expected.substr(1);
    std::string native;
    DWORD error = 0;
    bool ok = NativePath(c.path, &native, &error, c.allow_native);
    std::string path = Narrow(c.path);
    EXPECT_EQ(ok, !expected.empty()) << path << " gave " << native << ", error " << error;
    if (ok) {
      EXPECT_EQ(native, expected) << path << ":" << Hex(native) << " vs" << Hex(expected);
    } else {
      EXPECT_EQ(error, c.error) << path;
    }
  }
}

TEST(ErrnoTableTest, EachEntry) {
  struct Case {
    int err;
    bool for_file;
    DWORD code;
  } cases[] = {
      {0, true, ERROR_SUCCESS},
      {ENOENT, true, ERROR_FILE_NOT_FOUND},
      {ENOENT, false, ERROR_PATH_NOT_FOUND},
      {ENOTDIR, true, ERROR_PATH_NOT_FOUND},
      {EACCES, true, ERROR_ACCESS_DENIED},
      {EPERM, true, ERROR_ACCESS_DENIED},
      {EISDIR, true, ERROR_ACCESS_DENIED},
      {EMFILE, true, ERROR_TOO_MANY_OPEN_FILES},
      {ENFILE, true, ERROR_TOO_MANY_OPEN_FILES},
      {EBADF, true, ERROR_INVALID_HANDLE},
      {ENOMEM, true, ERROR_NOT_ENOUGH_MEMORY},
      {EROFS, true, ERROR_WRITE_PROTECT},
      {EBUSY, true, ERROR_BUSY},
      {EEXIST, true, ERROR_ALREADY_EXISTS},
      {EINVAL, true, ERROR_INVALID_PARAMETER},
      {ENOSPC, true, ERROR_DISK_FULL},
      {ENAMETOOLONG, true, ERROR_FILENAME_EXCED_RANGE},
      {ELOOP, true, ERROR_CANT_RESOLVE_FILENAME},
      {EIO, true, ERROR_IO_DEVICE},
      {EWOULDBLOCK, true, ERROR_SHARING_VIOLATION},
      {ENOTSUP, true, ERROR_NOT_SUPPORTED},
      {EXDEV, true, ERROR_GEN_FAILURE},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Win32ErrorFromErrno(c.err, c.for_file), c.code)
        << "errno " << c.err << " for_file " << c.for_file;
}

}  // namespace
}  // namespace vur::posix
