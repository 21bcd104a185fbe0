// The registry as a folder tree: key creation, value reads and atomic writes,
// statuses, and the fault hooks. No registry call touches the last-error code.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"
#include "support/test_machine.h"

namespace vur::posix {
namespace {

namespace fs = std::filesystem;
using testing::Op;

constexpr DWORD kSentinel = 0xdeadbeef;
constexpr BYTE kUnwritten = 0xAB;
const char kKey[] = "Software\\Tolvek\\QIM\\VUR";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { SetLastError(kSentinel); }
  void TearDown() override {
    if (key_ != nullptr) RegCloseKey(key_);
    EXPECT_EQ(GetLastError(), kSentinel) << "a registry call changed the last-error code";
  }
  std::string KeyFolder() const {
    return MachineRoot() + "/registry/HKEY_LOCAL_MACHINE/Software/Tolvek/QIM/VUR";
  }
  void Open(REGSAM sam) {
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, sam, nullptr, &key_, nullptr),
        ERROR_SUCCESS);
  }
  void WriteValueFile(const std::string& name, const std::string& bytes) const {
    fs::create_directories(KeyFolder());
    std::ofstream(KeyFolder() + "/" + name, std::ios::binary) << bytes;
  }
  std::vector<std::string> KeyFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(KeyFolder()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TestMachine machine_;
  HKEY key_ = nullptr;
};

TEST_F(RegistryTest, OpenCreatesMissingKeyAndParents) {
  ASSERT_FALSE(fs::exists(MachineRoot() + "/registry"));
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key_,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, 1u);
  EXPECT_TRUE(fs::is_directory(KeyFolder()));
  EXPECT_EQ(RegCloseKey(key_), ERROR_SUCCESS);
  key_ = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_READ, nullptr, &key_,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, 2u);
}

TEST_F(RegistryTest, ValueReadsAsWideText) {
  struct Case {
    std::string file;
    std::wstring value;
  } cases[] = {
      {"", L""},
      {".dll;.exe", L".dll;.exe"},
      {".dll\n", L".dll"},
      {".dll\r\n", L".dll"},
      {".dll\n\n", L".dll\n"},          // only one line end is dropped
      {".dll\r\n\r\n", L".dll\r\n"},
      {".dll\r", L".dll\r"},
      {std::string("a\0b\0", 4), std::wstring(L"a\0b\0", 4)},
      {std::string("Started\0", 8), std::wstring(L"Started\0", 8)},
      {"Gr\xc3\xbc\xc3\x9f" "e", L"Gr\u00fc\u00dfe"},
      {"x\xff", L"x\xDCFF"},
  };
  Open(KEY_READ);
  for (const Case& c : cases) {
    WriteValueFile("V", c.file);
    BYTE area[256];
    std::memset(area, kUnwritten, sizeof area);
    DWORD size = 200, type = 99;
    ASSERT_EQ(RegQueryValueExW(key_, L"V", nullptr, &type, area, &size), ERROR_SUCCESS) << c.file;
    EXPECT_EQ(type, REG_SZ);
    ASSERT_EQ(size, c.value.size() * sizeof(wchar_t)) << c.file;
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(area), c.value.size()), c.value);
    EXPECT_EQ(area[size], kUnwritten) << "written past the data";
  }
}

TEST_F(RegistryTest, StatusesLeaveTheCallersAreaAlone) {
  WriteValueFile("Six", "abcdef");
  Open(KEY_READ);
  const DWORD need = 6 * sizeof(wchar_t);
  struct Case {
    const wchar_t* name;
    DWORD size;
    LSTATUS status;
    DWORD size_after;
    bool written;
  } cases[] = {
      {L"Missing", 100, ERROR_FILE_NOT_FOUND, 100, false},
      {L"Six", need - 1, ERROR_MORE_DATA, need, false},
      {L"Six", 0, ERROR_MORE_DATA, need, false},
      {L"Six", need, ERROR_SUCCESS, need, true},
      {L"..", 100, ERROR_FILE_NOT_FOUND, 100, false},
  };
  for (const Case& c : cases) {
    BYTE area[64];
    std::memset(area, kUnwritten, sizeof area);
    DWORD size = c.size, type = 99;
    EXPECT_EQ(RegQueryValueExW(key_, c.name, nullptr, &type, area, &size), c.status)
        << "size " << c.size;
    EXPECT_EQ(size, c.size_after) << "size " << c.size;
    EXPECT_EQ(area[0] != kUnwritten, c.written) << "size " << c.size;
    if (c.status == ERROR_FILE_NOT_FOUND) {
      EXPECT_EQ(type, 99u);
    }
  }
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key_, L"Six", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, need);
}

TEST_F(RegistryTest, WritesReplaceTheValueWhole) {
  Open(KEY_WRITE | KEY_READ);
  auto set = [&](const char* text) {
    return RegSetValueExA(key_, "ScannerStatus", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(std::strlen(text) + 1));
  };
  ASSERT_EQ(set("Complete"), ERROR_SUCCESS);
  // A reader that opened the old value keeps reading the old value: the new
  // one arrives by rename, not by rewriting the file in place.
  std::ifstream old_reader(KeyFolder() + "/ScannerStatus", std::ios::binary);
  ASSERT_EQ(set("Started"), ERROR_SUCCESS);
  EXPECT_EQ(test::ReadFileBytes(KeyFolder() + "/ScannerStatus"), std::string("Started\0", 8));
  std::string old_bytes((std::istreambuf_iterator<char>(old_reader)), {});
  EXPECT_EQ(old_bytes, std::string("Complete\0", 9));
  EXPECT_EQ(KeyFiles(), std::vector<std::string>{"ScannerStatus"});

  // A failed rename leaves no temporary file behind.
  fs::create_directories(KeyFolder() + "/Blocked/inside");
  EXPECT_NE(RegSetValueExA(key_, "Blocked", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
            ERROR_SUCCESS);
  EXPECT_EQ(KeyFiles(), (std::vector<std::string>{"Blocked", "ScannerStatus"}));
}

TEST_F(RegistryTest, AccessRightsOfTheHandle) {
  Open(KEY_READ);
  EXPECT_EQ(RegSetValueExA(key_, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
            ERROR_ACCESS_DENIED);
  RegCloseKey(key_);
  Open(KEY_SET_VALUE);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key_, L"V", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegQueryValueExW(nullptr, L"V", nullptr, nullptr, nullptr, &size),
            ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, KeyThatIsNotWritableDeniesWriteAccess) {
  if (geteuid() == 0) GTEST_SKIP() << "root ignores permission bits; see InjectedFaults";
  fs::create_directories(KeyFolder());
  chmod(KeyFolder().c_str(), 0555);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key_,
                            nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_READ, nullptr, &key_,
                            nullptr),
            ERROR_SUCCESS);
  chmod(KeyFolder().c_str(), 0755);
}

// A value file that is a FIFO or a folder is no value, and reading it waits
// for nothing.
TEST_F(RegistryTest, ValueThatIsNotARegularFileIsUnreadable) {
  alarm(20);  // a blocking open would hang the test: fail it instead
  fs::create_directories(KeyFolder());
  ASSERT_EQ(mkfifo((KeyFolder() + "/ScannerExtensions").c_str(), 0644), 0);
  fs::create_directories(KeyFolder() + "/PathExclusions");
  ASSERT_EQ(symlink("/dev/zero", (KeyFolder() + "/ScannerLogFile").c_str()), 0);
  Open(KEY_READ);
  for (const wchar_t* name : {L"ScannerExtensions", L"PathExclusions", L"ScannerLogFile"}) {
    BYTE area[64];
    std::memset(area, kUnwritten, sizeof area);
    DWORD size = sizeof area;
    EXPECT_EQ(RegQueryValueExW(key_, name, nullptr, nullptr, area, &size), ERROR_FILE_NOT_FOUND)
        << test::Narrow(name);
    EXPECT_EQ(size, sizeof area);
    EXPECT_TRUE(std::all_of(std::begin(area), std::end(area), [](BYTE b) { return b == kUnwritten; }));
  }
  alarm(0);
}

// What a writer killed in the middle of a write leaves is removed at the next
// write of that value, and is never read as a value.
TEST_F(RegistryTest, LeftoversOfAKilledWriteAreRemoved) {
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  waitpid(gone, nullptr, 0);
  std::string dead = ".tmp." + std::to_string(gone) + ".0.ScannerStatus";
  std::string alive = ".tmp.1.3.ScannerStatus";  // its writer (pid 1) is still running
  std::string other = ".tmp." + std::to_string(gone) + ".0.ScannerStatusTime";
  for (const std::string& name : {dead, alive, other}) WriteValueFile(name, "Sta");
  Open(KEY_READ | KEY_WRITE);
  BYTE area[64];
  DWORD size = sizeof area;
  std::wstring temp_name(dead.begin(), dead.end());
  EXPECT_EQ(RegQueryValueExW(key_, temp_name.c_str(), nullptr, nullptr, area, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExA(key_, dead.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2),
            ERROR_INVALID_PARAMETER);
  const char text[] = "Complete";
  ASSERT_EQ(RegSetValueExA(key_, "ScannerStatus", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                           sizeof text),
            ERROR_SUCCESS);
  EXPECT_EQ(KeyFiles(), (std::vector<std::string>{alive, other, "ScannerStatus"}));
}

TEST_F(RegistryTest, InjectedFaults) {
  WriteValueFile("V", "value");
  const BYTE data[] = "new";
  auto create = [&] {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE | KEY_READ,
                                     nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status;
  };
  Open(KEY_WRITE | KEY_READ);
  auto query = [&] {
    DWORD size = 0;
    return RegQueryValueExW(key_, L"V", nullptr, nullptr, nullptr, &size);
  };
  auto set = [&] { return RegSetValueExA(key_, "V", 0, REG_SZ, data, sizeof data); };
  auto close = [&] {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
    return RegCloseKey(key);
  };
  struct Run {
    const char* what;
    Op op;
    std::wstring target;
    std::function<LSTATUS()> call;
  } runs[] = {
      {"create", Op::kRegCreateKey, L"Software\\Tolvek\\QIM\\VUR", create},
      {"query", Op::kRegQueryValue, L"V", query},
      {"set", Op::kRegSetValue, L"V", set},
      {"close", Op::kRegCloseKey, L"", close},
  };
  for (const Run& r : runs) {
    testing::InjectFault({r.op, L"other", ERROR_ACCESS_DENIED});
    EXPECT_EQ(r.call(), ERROR_SUCCESS) << r.what << ": a fault for another target";
    testing::Reset();
    testing::InjectFault({r.op, r.target, ERROR_ACCESS_DENIED, false, /*skip=*/1, /*times=*/2});
    EXPECT_EQ(r.call(), ERROR_SUCCESS) << r.what << ": skipped call";
    EXPECT_EQ(r.call(), ERROR_ACCESS_DENIED) << r.what;
    EXPECT_EQ(r.call(), ERROR_ACCESS_DENIED) << r.what;
    EXPECT_EQ(r.call(), ERROR_SUCCESS) << r.what << ": fault used up";
    testing::InjectFault({r.op, L"", ERROR_MORE_DATA, /*succeed=*/true});
    EXPECT_EQ(r.call(), ERROR_SUCCESS) << r.what << ": a pending code never shows in a status";
  }
  EXPECT_EQ(test::ReadFileBytes(KeyFolder() + "/V"), std::string("new\0", 4));
}

}  // namespace
}  // namespace vur::posix
