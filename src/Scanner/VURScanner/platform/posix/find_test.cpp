// Folder listing on a temporary drive T:: entries and attributes, links and
// mount points, error codes, undecodable names, and the test hooks; then the
// shared read buffer: short and failing directory reads, nested and
// interleaved searches, huge folders, and mounts made during a listing.
#include <malloc.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/find_internal.h"
#include "platform/posix/listing.h"
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

// Every case runs twice: folders opened with openat2, and with openat and a
// statx per folder, as on kernels without openat2.
class FindTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    find_testing::ForceStatxOpen(GetParam());
    machine_.WriteFile("file.txt", "x");
    machine_.MakeFolder("sub/deeper");
    machine_.WriteFile("sub/inner.txt", "y");
  }
  void TearDown() override {
    find_testing::ForceStatxOpen(false);
    find_testing::SetDirectoryReader(nullptr);
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

TEST_P(FindTest, EntriesAndAttributes) {
  EXPECT_EQ(List(L"T:\\*"), "file.txt:20 sub:10 ");
  EXPECT_EQ(List(L"t:\\sub\\*"), ".:10 ..:10 deeper:10 inner.txt:20 ");
  EXPECT_EQ(List(L"T:\\sub\\deeper\\*"), ".:10 ..:10 ");
}

TEST_P(FindTest, LinksAreNeverFollowed) {
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

TEST_P(FindTest, FailuresSetTheirCode) {
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

TEST_P(FindTest, MountPointsAreRefused) {
  AddDrive("R: fixed /");
  EXPECT_EQ(List(L"R:\\proc\\*"), "error 5");
  struct stat root, shm;
  if (stat("/", &root) == 0 && stat("/dev/shm", &shm) == 0 && root.st_dev != shm.st_dev) {
    EXPECT_EQ(List(L"R:\\dev\\shm\\*"), "error 5");
  }
}

// A bind mount shows the same file system again: walking into it would report
// its files twice, so it is refused like any other mount point.
TEST_P(FindTest, BindMountsAreRefused) {
  machine_.MakeFolder("sub/again");
  std::string target = machine_.Native("sub/again");
  std::string source = machine_.Native("sub");
  if (std::system(("mount --bind '" + source + "' '" + target + "' 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "this account can't bind-mount";
  std::string listing = List(L"T:\\sub\\again\\*");
  std::system(("umount '" + target + "'").c_str());
  EXPECT_EQ(listing, "error 5");
}

TEST_P(FindTest, UndecodableNameRoundTrips) {
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
TEST_P(FindTest, ForbiddenCharactersRoundTrip) {
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

TEST_P(FindTest, RecordsSearches) {
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

TEST_P(FindTest, InjectedFaults) {
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


// --- The shared read buffer and its reads ---------------------------------

// The names a listing delivers after "." and "..", sorted; "error N" when it
// can't be opened.
std::vector<std::string> Names(const std::wstring& pattern) {
  std::string listing = List(pattern);
  if (listing.rfind("error", 0) == 0) return {listing};
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < listing.size()) {
    std::size_t blank = listing.find(' ', start);
    std::string entry = listing.substr(start, blank - start);
    if (entry != ".:10" && entry != "..:10") names.push_back(entry);
    start = blank + 1;
  }
  return names;
}

// Directory reads as small as a long name allows: every read ends early,
// without the end-of-listing mark, as a read cut short by a signal does.
ssize_t SmallReads(int fd, void* buffer, std::size_t) {
  return find_testing::SystemDirectoryRead(fd, buffer, 300);
}

int g_calls = 0;
int g_failing_call = 0;
int g_fail_errno = 0;
ssize_t FailingRead(int fd, void* buffer, std::size_t size) {
  if (++g_calls == g_failing_call) {
    errno = g_fail_errno;
    return -1;
  }
  return SmallReads(fd, buffer, size);
}

// One record as the kernel lays it out, with the given length field.
ssize_t MalformedRead(int, void* buffer, std::size_t size) {
  std::memset(buffer, 0, 64);
  auto* bytes = static_cast<char*>(buffer);
  std::uint16_t length = static_cast<std::uint16_t>(g_fail_errno);
  std::memcpy(bytes + 16, &length, sizeof length);
  bytes[18] = DT_REG;
  std::memset(bytes + 19, 'a', 45);  // no NUL when the length covers it all
  if (g_failing_call == 1) return static_cast<ssize_t>(size) + 8;
  return 64;
}

class FindBufferTest : public FindTest {
 protected:
  // A folder of `count` files with names of every length from 1 to 200.
  void MakeFiles(const std::string& folder, int count) {
    machine_.MakeFolder(folder);
    for (int i = 0; i < count; ++i) {
      std::string name = std::to_string(i) + std::string(static_cast<std::size_t>(i % 200), 'n');
      std::ofstream(machine_.Native(folder + "/" + name));
    }
  }
};

TEST_P(FindBufferTest, ShortReadsLoseNothing) {
  MakeFiles("many", 300);
  std::vector<std::string> whole = Names(L"T:\\many\\*");
  ASSERT_EQ(whole.size(), 300u);
  long before = find_testing::DirectoryReads();
  find_testing::SetDirectoryReader(SmallReads);
  EXPECT_EQ(Names(L"T:\\many\\*"), whole);
  EXPECT_GT(find_testing::DirectoryReads() - before, 100) << "the reads were short";
}

int OpenDescriptors() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) count += entry.is_symlink();
  return count;
}

// Walks `pattern`'s folder as the walker does, each subfolder listed while
// its parent's search is open, skipping the subfolders `skip` names. Gives
// every path found, in the order found, and counts the folders listed.
void Walk(const std::wstring& folder, std::vector<std::string>* paths, int* folders,
          const std::function<bool(const std::wstring&)>& skip = nullptr) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE) << Print(folder);
  ++*folders;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    paths->push_back(Print(folder + name));
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    std::wstring sub = folder + name + L"\\";
    if (skip == nullptr || !skip(sub)) Walk(sub, paths, folders, skip);
  } while (FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES) << Print(folder);
  EXPECT_TRUE(FindClose(find));
}

// ext4 marks the last record of a listing, so a folder that fits the buffer
// costs one read; elsewhere a second read finds the end. Folders listed
// ahead of the walker cost no more.
TEST_P(FindBufferTest, OneReadWhereTheEndIsMarked) {
  struct statfs fs;
  ASSERT_EQ(statfs(machine_.Native("").c_str(), &fs), 0);
  for (int i = 0; i < 12; ++i) machine_.MakeFolder("sub/deeper/" + std::to_string(i) + "/leaf");
  long before = find_testing::DirectoryReads();
  std::vector<std::string> paths;
  int folders = 0;
  Walk(L"T:\\", &paths, &folders);
  EXPECT_EQ(folders, 27);
  EXPECT_EQ(find_testing::DirectoryReads() - before, folders * (fs.f_type == 0xEF53 ? 1 : 2));
  // From a folder below the root, whose records are read only after its
  // search is opened: its first subfolder is not listed ahead a second time.
  before = find_testing::DirectoryReads();
  folders = 0;
  Walk(L"T:\\sub\\deeper\\", &paths, &folders);
  EXPECT_EQ(folders, 25);
  EXPECT_EQ(find_testing::DirectoryReads() - before, folders * (fs.f_type == 0xEF53 ? 1 : 2));
}

// Subfolders are listed ahead of the walker, a few per folder and a few
// dozen in all. Whatever the walker takes or passes by, a walk finds what
// the tree holds, in the listing's own order, and leaves nothing open.
TEST_P(FindBufferTest, WalkFindsWhatTheTreeHolds) {
  for (int a = 0; a < 9; ++a) {
    for (int b = 0; b < 9; ++b) {
      std::string folder = "wide/" + std::to_string(a) + "/" + std::to_string(b);
      machine_.MakeFolder(folder);
      machine_.WriteFile(folder + "/f" + std::to_string(b) + ".exe", "x");
    }
  }
  std::string deep = "deep";
  for (int i = 0; i < 45; ++i) deep += "/" + std::to_string(i);  // deeper than all it keeps ahead
  machine_.MakeFolder(deep);
  auto skip_threes = [](const std::wstring& folder) {
    return folder.size() >= 3 && folder.compare(folder.size() - 3, 3, L"\\3\\") == 0;
  };
  for (bool skip : {false, true}) {
    std::vector<std::string> expected;
    // Each folder listed on its own, nothing open around it.
    std::function<void(const std::string&)> expect = [&](const std::string& folder) {
      std::vector<std::string> names = Names(std::wstring(folder.begin(), folder.end()) + L"*");
      for (const std::string& entry : names) {
        std::string name = entry.substr(0, entry.rfind(':'));
        if (name == "." || name == "..") continue;
        expected.push_back(folder + name);
        std::wstring sub(folder.begin(), folder.end());
        sub += std::wstring(name.begin(), name.end()) + L"\\";
        if (entry.substr(entry.rfind(':')) == ":10" && !(skip && skip_threes(sub)))
          expect(folder + name + "\\");
      }
    };
    expect("T:\\");
    std::sort(expected.begin(), expected.end());
    int open_before = OpenDescriptors();
    std::vector<std::string> paths;
    int folders_listed = 0;
    Walk(L"T:\\", &paths, &folders_listed, skip ? std::function<bool(const std::wstring&)>(skip_threes) : nullptr);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, expected) << "skip " << skip;
    // The root, sub, deeper and wide; wide's two levels; deep's chain.
    EXPECT_EQ(folders_listed, skip ? 4 + 8 + 8 * 8 + 1 + 3 : 4 + 9 + 81 + 1 + 45)
        << "skip " << skip;
    EXPECT_EQ(OpenDescriptors(), open_before);
  }
}

TEST_P(FindBufferTest, FailedReadsAreReported) {
  MakeFiles("many", 50);
  struct Case {
    int failing_call, err;
    DWORD code;  // 0: the listing completes
  } cases[] = {{1, EIO, ERROR_IO_DEVICE}, {3, EIO, ERROR_IO_DEVICE}, {2, ENOENT, ERROR_PATH_NOT_FOUND},
               {1, EINTR, 0}, {4, EINTR, 0}};
  for (const Case& c : cases) {
    g_calls = 0, g_failing_call = c.failing_call, g_fail_errno = c.err;
    find_testing::SetDirectoryReader(FailingRead);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(L"T:\\many\\*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    int entries = 1;
    SetLastError(kSentinel);
    while (FindNextFileW(find, &data)) ++entries;
    if (c.code == 0) {
      EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES) << c.failing_call;
      EXPECT_EQ(entries, 52) << c.failing_call;
    } else {
      EXPECT_EQ(GetLastError(), c.code) << c.failing_call;
      EXPECT_LT(entries, 52) << c.failing_call;
    }
    EXPECT_TRUE(FindClose(find));
  }
}

// Records no kernel writes end the listing with ERROR_INVALID_DATA: nothing
// is read past them, nothing loops on them.
TEST_P(FindBufferTest, MalformedRecordsEndTheListing) {
  struct Case {
    int length, too_long;
  } cases[] = {{0, 0}, {8, 0}, {19, 0}, {64, 0}, {72, 0}, {32, 1}};
  for (const Case& c : cases) {
    g_fail_errno = c.length, g_failing_call = c.too_long;
    find_testing::SetDirectoryReader(MalformedRead);
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(L"T:\\sub\\*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(FindNextFileW(find, &data));  // ".."
    SetLastError(kSentinel);
    EXPECT_FALSE(FindNextFileW(find, &data)) << c.length;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA) << c.length;
    EXPECT_TRUE(FindClose(find));
  }
  // With an empty drive root, the first read already fails.
  g_fail_errno = 0, g_failing_call = 0;
  EXPECT_EQ(List(L"T:\\*"), "error 13");
}

// A search whose records are unread when another search reads keeps them:
// the walker's parent and child, and searches used in any other order.
TEST_P(FindBufferTest, SearchesKeepTheirUnreadRecords) {
  MakeFiles("a", 120);
  MakeFiles("b", 90);
  std::vector<std::string> a = Names(L"T:\\a\\*"), b = Names(L"T:\\b\\*");
  for (auto reader : {find_testing::DirectoryReader(nullptr), find_testing::DirectoryReader(SmallReads)}) {
    find_testing::SetDirectoryReader(reader);
    // Interleaved one entry at a time, the first search closed first.
    WIN32_FIND_DATAW da, db;
    HANDLE ha = FindFirstFileW(L"T:\\a\\*", &da);
    HANDLE hb = FindFirstFileW(L"T:\\b\\*", &db);
    ASSERT_NE(ha, INVALID_HANDLE_VALUE);
    ASSERT_NE(hb, INVALID_HANDLE_VALUE);
    std::vector<std::string> got_a, got_b;
    bool more_a = true, more_b = true, closed_a = false;
    while (more_a || more_b) {
      if (more_a) {
        got_a.push_back(Print(da.cFileName) + ":20");
        more_a = FindNextFileW(ha, &da);
      }
      if (!more_a && !closed_a) {
        EXPECT_TRUE(FindClose(ha));  // while b still has entries to give
        closed_a = true;
      }
      if (more_b) {
        got_b.push_back(Print(db.cFileName) + ":20");
        more_b = FindNextFileW(hb, &db);
      }
    }
    EXPECT_TRUE(FindClose(hb));
    auto strip = [](std::vector<std::string> v) {
      v.erase(std::remove_if(v.begin(), v.end(),
                             [](const std::string& s) { return s == ".:20" || s == "..:20"; }),
              v.end());
      std::sort(v.begin(), v.end());
      return v;
    };
    EXPECT_EQ(strip(got_a), a);
    EXPECT_EQ(strip(got_b), b);
  }
}

// A folder of 12 000 entries, listed while the walker descends into a
// subfolder in the middle of it: the heap grows by the parent's unread
// records at most, never by the folder's size.
TEST_P(FindBufferTest, HugeFolderNeedsNoMemoryOfItsSize) {
  machine_.MakeFolder("huge/inner");
  for (int i = 0; i < 12000; ++i)
    close(open(machine_.Native("huge/entry-with-a-longish-name-" + std::to_string(i)).c_str(),
               O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  WIN32_FIND_DATAW data;
  std::size_t start = mallinfo2().uordblks, peak = start;
  HANDLE find = FindFirstFileW(L"T:\\huge\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  int entries = 1;
  while (FindNextFileW(find, &data)) {
    ++entries;
    if (entries == 10000) {
      EXPECT_EQ(Names(L"T:\\huge\\inner\\*").size(), 0u);
    }
    peak = std::max<std::size_t>(peak, mallinfo2().uordblks);
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(entries, 12003);
  EXPECT_LT(peak - start, 128u * 1024) << "the records take about 650 KiB";
}

// Mounts made while a listing is open are refused like those made before:
// another file system, and a bind mount of the drive's own, both for a
// folder opened through its parent's search and from the drive's root.
TEST_P(FindBufferTest, MountsMadeDuringAListingAreRefused) {
  std::string target = machine_.Native("sub/deeper");
  for (int bind = 0; bind < 2; ++bind) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(L"T:\\sub\\*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    int mounted = bind ? mount(machine_.Native("sub").c_str(), target.c_str(), nullptr, MS_BIND, nullptr)
                       : mount("none", target.c_str(), "tmpfs", 0, "size=64k");
    if (mounted != 0) {
      FindClose(find);
      GTEST_SKIP() << "this account can't mount";
    }
    std::string through_parent = List(L"T:\\sub\\deeper\\*");
    EXPECT_TRUE(FindClose(find));
    std::string from_root = List(L"T:\\sub\\deeper\\*");
    umount(target.c_str());
    EXPECT_EQ(through_parent, "error 5") << bind;
    EXPECT_EQ(from_root, "error 5") << bind;
    EXPECT_EQ(List(L"T:\\sub\\deeper\\*"), ".:10 ..:10 ") << "unmounted again";
  }
}

// A subfolder met in a listing is opened through that listing's search: a
// folder above it swapped for a link meanwhile doesn't lead the walk away.
TEST_P(FindBufferTest, SubfolderIsTheOneItsParentLists) {
  machine_.WriteFile("sub/deeper/mine.txt", "1");
  machine_.MakeFolder("elsewhere/deeper");
  machine_.WriteFile("elsewhere/deeper/theirs.txt", "2");
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(L"T:\\sub\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  ASSERT_EQ(rename(machine_.Native("sub").c_str(), machine_.Native("old").c_str()), 0);
  Link("elsewhere", "sub");
  EXPECT_EQ(List(L"T:\\sub\\deeper\\*"), ".:10 ..:10 mine.txt:20 ");
  EXPECT_TRUE(FindClose(find));
}

// Names made of plain bytes are copied as they are; the listing must give
// for each what DecodeName gives, whatever characters it holds.
TEST_P(FindBufferTest, EveryByteIsListedAsDecodeNameSays) {
  machine_.MakeFolder("bytes");
  std::vector<std::string> names;
  for (int b = 1; b < 256; ++b) {
    if (b == '/') continue;
    std::string c(1, static_cast<char>(b));
    for (const std::string& name : {c, "a" + c, c + "a", "x" + c + "y.exe", c + c + c})
      if (name != "." && name != ".." && std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
  }
  for (const std::string& name : names) std::ofstream(machine_.Native("bytes/" + name));
  std::vector<std::wstring> expected;
  for (const std::string& name : names) expected.push_back(DecodeName(name.data(), name.size()));
  std::vector<std::wstring> listed;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(L"T:\\bytes\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") listed.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(expected.begin(), expected.end());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed.size(), names.size());
  EXPECT_TRUE(listed == expected);
}

// The probe opens the file just listed through the listing's folder, and
// only that file: any other path, or that file once it has changed, is left
// to the probe's own open by path.
TEST_P(FindBufferTest, OnlyTheRegularFileListedLastIsOpenedThroughItsFolder) {
  machine_.MakeFolder("probe/dir.exe");
  machine_.WriteFile("probe/a.exe", "MZ");
  machine_.WriteFile("probe/x\\y.exe", "z");  // one file with a backslash in its name
  machine_.MakeFolder("probe/x");
  machine_.WriteFile("probe/x/y.exe", "other");
  Link("a.exe", "probe/link.exe");
  ASSERT_EQ(mkfifo(machine_.Native("probe/pipe.exe").c_str(), 0644), 0);
  auto same_file = [](int fd, const std::string& native) {
    struct stat a, b;
    bool same = fd >= 0 && fstat(fd, &a) == 0 && stat(native.c_str(), &b) == 0 && a.st_ino == b.st_ino;
    if (fd >= 0) close(fd);
    return same;
  };
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(L"T:\\probe\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  int regular = 0;
  while (FindNextFileW(find, &data)) {
    std::wstring name = data.cFileName;
    std::wstring path = L"T:\\probe\\" + name;
    int fd = OpenListedFile(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (name == L"a.exe" || name == L"x\xF05Cy.exe") {
      ++regular;
      EXPECT_TRUE(same_file(fd, machine_.Native("probe/" + Print(name)))) << Print(name);
      EXPECT_EQ(OpenListedFile(L"T:\\probe\\x\\y.exe", O_RDONLY), -1) << "a path below the folder";
      EXPECT_EQ(OpenListedFile(L"T:\\Probe\\a.exe", O_RDONLY), -1) << "another folder";
      EXPECT_EQ(OpenListedFile(L"T:\\probe\\b.exe", O_RDONLY), -1) << "another name";
    } else {
      EXPECT_EQ(fd, -1) << Print(name) << ": not listed as a regular file";
      if (fd >= 0) close(fd);
    }
  }
  EXPECT_EQ(regular, 2);
  EXPECT_EQ(OpenListedFile(L"T:\\probe\\a.exe", O_RDONLY), -1) << "the listing has ended";
  EXPECT_TRUE(FindClose(find));

  // Listed, then replaced by a link; or another search made meanwhile, which
  // leaves the record where it was.
  for (int change = 0; change < 2; ++change) {
    find = FindFirstFileW(L"T:\\probe\\*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    while (std::wstring(data.cFileName) != L"a.exe") ASSERT_TRUE(FindNextFileW(find, &data));
    if (change == 0) {
      ASSERT_EQ(rename(machine_.Native("probe/a.exe").c_str(), machine_.Native("probe/b.exe").c_str()), 0);
      Link("b.exe", "probe/a.exe");
    } else {
      EXPECT_EQ(List(L"T:\\sub\\*"), ".:10 ..:10 deeper:10 inner.txt:20 ");
    }
    int fd = OpenListedFile(L"T:\\probe\\a.exe", O_RDONLY);
    if (change == 0) {
      EXPECT_EQ(fd, -1) << "a link now";
      if (fd >= 0) close(fd);
    } else {
      EXPECT_TRUE(same_file(fd, machine_.Native("probe/a.exe")));
    }
    EXPECT_TRUE(FindClose(find));
    if (change == 0) {
      ASSERT_EQ(unlink(machine_.Native("probe/a.exe").c_str()), 0);
      ASSERT_EQ(rename(machine_.Native("probe/b.exe").c_str(), machine_.Native("probe/a.exe").c_str()), 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(OpenModes, FindBufferTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "StatxPerFolder" : "Openat2";
                         });

INSTANTIATE_TEST_SUITE_P(OpenModes, FindTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "StatxPerFolder" : "Openat2";
                         });

}  // namespace
}  // namespace vur::posix
