// Folder listing on a temporary drive T:: entries and attributes, links and
// mount points, error codes, undecodable names, and the test hooks.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

std::string Print(const std::wstring& text) { return EncodeName(text.data(), text.size()); }

// One listing as "name:attributes" lines: the first two in order (they are
// "." and ".." outside a root), the rest sorted. Checks that every successful
// call left the sentinel and that the listing ended with ERROR_NO_MORE_FILES.
std::string List(const std::wstring& pattern) {
  SetLastError(kSentinel);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return "error " + std::to_string(GetLastError());
  std::vector<std::string> lines;
  do {
    EXPECT_EQ(GetLastError(), kSentinel) << Print(pattern);
    char attributes[16];
    std::snprintf(attributes, sizeof attributes, "%x", data.dwFileAttributes);
    lines.push_back(Print(data.cFileName) + ":" + attributes);
  } while (FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES) << Print(pattern);
  EXPECT_FALSE(FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES) << "again at the end";
  SetLastError(kSentinel);
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(GetLastError(), kSentinel);
  bool dots = lines.size() >= 2 && lines[0] == ".:10" && lines[1] == "..:10";
  std::sort(lines.begin() + (dots ? 2 : 0), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + " ";
  return text;
}

class FindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.WriteFile("file.txt", "x");
    machine_.MakeFolder("sub/deeper");
    machine_.WriteFile("sub/inner.txt", "y");
  }
  void Link(const std::string& target, const std::string& relative) const {
    ASSERT_EQ(symlink(target.c_str(), machine_.Native(relative).c_str()), 0) << relative;
  }
  void AddDrive(const std::string& line) const {
    std::ofstream(MachineRoot() + "/drives", std::ios::app) << line << "\n";
    testing::Reset();
  }
  test::TestMachine machine_;
};

TEST_F(FindTest, EntriesAndAttributes) {
  EXPECT_EQ(List(L"T:\\*"), "file.txt:20 sub:10 ");
  EXPECT_EQ(List(L"t:\\sub\\*"), ".:10 ..:10 deeper:10 inner.txt:20 ");
  EXPECT_EQ(List(L"T:\\sub\\deeper\\*"), ".:10 ..:10 ");
}

TEST_F(FindTest, LinksAreNeverFollowed) {
  machine_.MakeFolder("links");
  Link("../sub", "links/to_dir");
  Link("../file.txt", "links/to_file");
  Link("nowhere", "links/dangling");
  Link("..", "links/up");           // a cycle back to the root
  Link("ring2", "links/ring1");     // a cycle of links leads nowhere
  Link("ring1", "links/ring2");
  // Links that lead nowhere are listed as files, as Windows lists them.
  EXPECT_EQ(List(L"T:\\links\\*"),
            ".:10 ..:10 dangling:20 ring1:20 ring2:20 to_dir:410 to_file:20 up:410 ");
  EXPECT_EQ(List(L"T:\\links\\to_dir\\*"), "error 5");
  EXPECT_EQ(List(L"T:\\links\\up\\*"), "error 5");
}

TEST_F(FindTest, FailuresSetTheirCode) {
  fs::create_directories(MachineRoot() + "/empty");
  AddDrive("E: fixed " + MachineRoot() + "/empty");
  AddDrive("M: fixed " + MachineRoot() + "/missing");
  std::wstring deep = L"T:\\";
  while (deep.size() <= 4200) deep += std::wstring(200, L'a') + L"\\";
  struct Case {
    std::wstring pattern;
    const char* result;
  } cases[] = {
      {L"T:\\missing\\*", "error 3"},
      {L"T:\\missing\\more\\*", "error 3"},
      {L"T:\\file.txt\\*", "error 3"},
      {L"E:\\*", "error 2"},  // empty drive root: no file matched
      {L"M:\\*", "error 3"},  // drive without its folder
      {L"Q:\\*", "error 3"},  // no such drive
      {L"T:\\sub", "error 123"},
      {L"T:\\sub\\*.txt", "error 123"},
      {L"\\\\server\\share\\*", "error 123"},
      {deep + L"*", "error 206"},
  };
  for (const Case& c : cases) EXPECT_EQ(List(c.pattern), c.result) << Print(c.pattern);
}

TEST_F(FindTest, MountPointsAreRefused) {
  AddDrive("R: fixed /");
  EXPECT_EQ(List(L"R:\\proc\\*"), "error 5");
  struct stat root, shm;
  if (stat("/", &root) == 0 && stat("/dev/shm", &shm) == 0 && root.st_dev != shm.st_dev) {
    EXPECT_EQ(List(L"R:\\dev\\shm\\*"), "error 5");
  }
}

// A bind mount shows the same file system again: walking into it would report
// its files twice, so it is refused like any other mount point.
TEST_F(FindTest, BindMountsAreRefused) {
  machine_.MakeFolder("sub/again");
  std::string target = machine_.Native("sub/again");
  std::string source = machine_.Native("sub");
  if (std::system(("mount --bind '" + source + "' '" + target + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "this account can't bind-mount";
  std::string listing = List(L"T:\\sub\\again\\*");
  std::system(("umount '" + target + "'").c_str());
  EXPECT_EQ(listing, "error 5");
}

TEST_F(FindTest, UndecodableNameRoundTrips) {
  machine_.MakeFolder("bad\xff\xfe");
  machine_.WriteFile("bad\xff\xfe/x.txt", "z");
  std::wstring name = L"bad\xDCFF\xDCFE";
  EXPECT_EQ(List(L"T:\\*"), "bad\xff\xfe:10 file.txt:20 sub:10 ");
  EXPECT_EQ(List(L"T:\\" + name + L"\\*"), ".:10 ..:10 x.txt:20 ");
  FILE* log = _wfsopen((L"T:\\" + name + L"\\new.log").c_str(), L"w", _SH_DENYRW);
  ASSERT_NE(log, nullptr);
  std::fclose(log);
  EXPECT_TRUE(fs::exists(machine_.Native("bad\xff\xfe/new.log")));
}

// Names Windows can't hold are listed with stand-ins, and a path made of the
// listed names leads back to the same file or folder: a folder named "\" or
// "..\" is itself, not its parent.
TEST_F(FindTest, ForbiddenCharactersRoundTrip) {
  machine_.MakeFolder("odd/\\");
  machine_.MakeFolder("odd/..\\");
  machine_.WriteFile("odd/\\/in.txt", "1");
  machine_.WriteFile("odd/..\\/up.txt", "2");
  machine_.WriteFile("odd/a\nb.exe", "3");
  machine_.WriteFile("odd/q?*.exe", "4");
  EXPECT_EQ(List(L"T:\\odd\\*"),
            ".:10 ..:10 ..\\:10 \\:10 a\nb.exe:20 q?*.exe:20 ");
  EXPECT_EQ(List(L"T:\\odd\\\xF05C\\*"), ".:10 ..:10 in.txt:20 ");
  EXPECT_EQ(List(L"T:\\odd\\..\xF05C\\*"), ".:10 ..:10 up.txt:20 ");

  SetLastError(kSentinel);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(L"T:\\odd\\\xF05C\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  FindClose(find);
  // The listed name itself holds the stand-in, not the character.
  find = FindFirstFileW(L"T:\\odd\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  bool saw_stand_in = false;
  do {
    std::wstring name = data.cFileName;
    EXPECT_EQ(name.find_first_of(L"\n\\?*"), std::wstring::npos) << Print(name);
    saw_stand_in |= name == L"a\xF00A" L"b.exe";
  } while (FindNextFileW(find, &data));
  FindClose(find);
  EXPECT_TRUE(saw_stand_in);
}

TEST_F(FindTest, RecordsSearches) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(L"T:\\sub\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FindFirstFileW(L"T:\\missing\\*", &data), INVALID_HANDLE_VALUE);
  ASSERT_EQ(testing::Searches().size(), 1u);
  EXPECT_EQ(testing::Searches()[0].pattern, L"T:\\sub\\*");
  EXPECT_FALSE(testing::Searches()[0].closed);
  EXPECT_TRUE(FindClose(find));
  EXPECT_TRUE(testing::Searches()[0].closed);
  EXPECT_EQ(testing::SearchRequests(),
            (std::vector<std::wstring>{L"T:\\sub\\*", L"T:\\missing\\*"}));
}

TEST_F(FindTest, InjectedFaults) {
  const std::wstring sub = L"T:\\sub\\*";
  WIN32_FIND_DATAW data;

  testing::InjectFault({Op::kFindFirstFile, sub, ERROR_ACCESS_DENIED});
  EXPECT_EQ(List(L"T:\\*"), "file.txt:20 sub:10 ") << "another pattern";
  EXPECT_EQ(List(sub), "error 5");
  EXPECT_EQ(testing::SearchRequests().size(), 2u);
  EXPECT_EQ(testing::Searches().size(), 1u) << "the failed search was not opened";
  EXPECT_EQ(List(sub), ".:10 ..:10 deeper:10 inner.txt:20 ") << "the fault is used up";

  // FindNextFileW fails after two entries beyond the first.
  testing::InjectFault({Op::kFindNextFile, sub, ERROR_IO_DEVICE, false, /*skip=*/2});
  HANDLE find = FindFirstFileW(sub.c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(FindNextFileW(find, &data));
  EXPECT_TRUE(FindNextFileW(find, &data));
  SetLastError(kSentinel);
  EXPECT_FALSE(FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);

  // A failed FindClose still releases the search.
  testing::InjectFault({Op::kFindClose, L"", ERROR_INVALID_HANDLE});
  SetLastError(kSentinel);
  EXPECT_FALSE(FindClose(find));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(testing::Searches().back().closed);

  // Each call succeeds but leaves the injected code.
  for (Op op : {Op::kFindFirstFile, Op::kFindNextFile, Op::kFindClose})
    testing::InjectFault({op, L"", ERROR_MORE_DATA, /*succeed=*/true});
  SetLastError(kSentinel);
  find = FindFirstFileW(sub.c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  SetLastError(kSentinel);
  EXPECT_TRUE(FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
  SetLastError(kSentinel);
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
}

}  // namespace
}  // namespace vur::posix
