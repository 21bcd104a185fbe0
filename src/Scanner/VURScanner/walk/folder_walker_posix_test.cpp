// The walker against real folders, with the layer's fault hooks for what a
// file system can't do on demand (tests run as root, whom nothing denies).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "pe_builder.h"
#include "platform/posix/file_source.h"
#include "platform/posix/find_internal.h"
#include "platform/posix/test_hooks.h"
#include "support/scanner_fixture.h"

namespace vur {
namespace {

using posix::testing::Fault;
using posix::testing::Op;
using test::Narrow;

class FolderWalkerTest : public test::ScannerTest {
 protected:
  void WritePe(const std::string& name) {
    test::WriteBytes(machine_.Native(name), test::BuildPeWithVersion({1, 2, 3, 4}));
  }
  void Scan(const std::string& folder, bool recurse = true) {
    scanner_->ScanFolder(machine_.Wide(folder), recurse, extensions_);
  }
  std::string Reported(const std::string& name) { return Narrow(machine_.Wide(name)) + " - 1.2.3.4\n"; }
  static void Arm(Op op, const std::string& target, DWORD code, bool succeed = false, int skip = 0) {
    Fault fault{op, std::wstring(target.begin(), target.end()), code, succeed, skip};
    posix::testing::InjectFault(fault);
  }
  static void ArmThrow(Op op, const std::string& target) {
    Fault fault{op, std::wstring(target.begin(), target.end())};
    fault.raise = true;
    posix::testing::InjectFault(fault);
  }
  // The patterns of the searches opened, and whether all were closed.
  static std::vector<std::string> Opened(bool* all_closed) {
    std::vector<std::string> out;
    *all_closed = true;
    for (const auto& search : posix::testing::Searches()) {
      out.push_back(Narrow(search.pattern));
      *all_closed = *all_closed && search.closed;
    }
    return out;
  }
  ExtensionSet extensions_ = {L".com", L".exe"};
};

TEST_F(FolderWalkerTest, LogFollowsTheListingDepthFirst) {
  machine_.MakeFolder("a/c");
  WritePe("a/b.exe");
  MakeScanner();
  Scan("a/");
  std::string file = Narrow(machine_.Wide("a/b.exe"));
  std::string b = "# GetFileVersion() " + file + " | GFVISW | GFVIW | VQVW | len=52\n" + file +
                  " - 1.2.3.4\n";
  std::string c = "# FindFirstFileW(): T:\\a\\c\\*\n# FindClose()     : T:\\a\\c\\*\n";
  // "." and ".." come first; the rest in the file system's order.
  bool all_closed = false;
  std::vector<std::string> opened = Opened(&all_closed);
  ASSERT_EQ(2u, opened.size());
  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(L"T:\\a\\*", &data);
  FindNextFileW(h, &data);
  FindNextFileW(h, &data);
  bool b_first = std::wstring(data.cFileName) == L"b.exe";
  FindClose(h);
  EXPECT_EQ("# FindFirstFileW(): T:\\a\\*\n" + (b_first ? b + c : c + b) +
                "# FindClose()     : T:\\a\\*\n",
            Log());
  EXPECT_TRUE(all_closed);
  EXPECT_EQ(Reported("a/b.exe"), console_.Text());
}

TEST_F(FolderWalkerTest, ExcludedFolderIsNeverListed) {
  machine_.MakeFolder("a/skip/deeper");
  WritePe("a/skip/x.exe");
  WritePe("a/keep.exe");
  machine_.SetValue(L"PathExclusions", L"T:\\a\\skip");
  MakeScanner();
  scanner_->LoadExclusions();
  std::size_t start = Log().size();
  Scan("a/");
  EXPECT_NE(std::string::npos, Log().find("Path excluded from scan: T:\\a\\skip\\#", start)) << Log();
  for (const std::wstring& request : posix::testing::SearchRequests())
    EXPECT_EQ(std::wstring::npos, request.find(L"skip")) << Narrow(request);
  EXPECT_EQ(Reported("a/keep.exe"), console_.Text());
}

TEST_F(FolderWalkerTest, RuleMatchingTheRootSkipsTheDrive) {
  WritePe("x.exe");
  machine_.SetValue(L"PathExclusions", L"T:");
  MakeScanner();
  scanner_->LoadExclusions();
  std::size_t start = Log().size();
  scanner_->ScanFolder(L"T:\\", true, extensions_);
  EXPECT_EQ("Path excluded from scan: T:\\", Log().substr(start));
  EXPECT_TRUE(posix::testing::SearchRequests().empty());
  EXPECT_EQ("", console_.Text());
}

TEST_F(FolderWalkerTest, FoldersThatCannotBeListed) {
  machine_.MakeFolder("p/denied");
  machine_.MakeFolder("p/gone");
  WritePe("p/z.exe");
  MakeScanner();
  Arm(Op::kFindFirstFile, "T:\\p\\denied\\*", ERROR_ACCESS_DENIED);
  Arm(Op::kFindFirstFile, "T:\\p\\gone\\*", ERROR_PATH_NOT_FOUND);
  Scan("p/");
  std::string log = Log();
  EXPECT_NE(std::string::npos,
            log.find("# FindFirstFileW(): T:\\p\\denied\\*\n"
                     "# WARN: FindFirstFileW() encountered INVALID_HANDLE_VALUE\n"
                     "# WARN: ERROR_ACCESS_DENIED for T:\\p\\denied\\*\n#"))
      << log;
  EXPECT_NE(std::string::npos,
            log.find("# FindFirstFileW(): T:\\p\\gone\\*\n"
                     "# WARN: FindFirstFileW() encountered INVALID_HANDLE_VALUE\n"
                     "\n# ERROR: GetLastError returned 0x3\n#"))
      << log;
  // Only the vanished folder reaches the console; the parent goes on.
  std::string console = console_.Text();
  EXPECT_NE(std::string::npos, console.find(Reported("p/z.exe")));
  EXPECT_EQ(console.size(), Reported("p/z.exe").size() + std::string("\n# ERROR: GetLastError returned 0x3\n").size());
}

TEST_F(FolderWalkerTest, ListingThatFailsInTheMiddleIsClosedAndReported) {
  machine_.MakeFolder("m");
  for (const char* name : {"m/1.exe", "m/2.exe", "m/3.exe"}) WritePe(name);
  MakeScanner();
  Arm(Op::kFindNextFile, "T:\\m\\*", 0x1F, false, /*skip=*/2);  // after ".", "..", one file
  Scan("m/");
  std::string console = console_.Text();
  EXPECT_EQ(1u, std::count(console.begin(), console.end(), '-')) << console;
  EXPECT_NE(std::string::npos, console.find("\n# ERROR: GetLastError returned 0x1f\n"));
  bool all_closed = false;
  Opened(&all_closed);
  EXPECT_TRUE(all_closed);
  EXPECT_NE(std::string::npos, Log().find("# FindClose()     : T:\\m\\*\n"));
}

TEST_F(FolderWalkerTest, FindCloseFailureIsReported) {
  machine_.MakeFolder("m");
  MakeScanner();
  Arm(Op::kFindClose, "T:\\m\\*", ERROR_INVALID_HANDLE);
  Scan("m/");
  EXPECT_EQ("# ERROR: Using FindClose() on T:\\m\\*\n\n# ERROR: GetLastError returned 0x6\n",
            console_.Text());
}

TEST_F(FolderWalkerTest, CheckpointsReportPendingCodes) {
  machine_.MakeFolder("m");
  WritePe("m/b.exe");
  MakeScanner();
  // Before the first entry: the listing's open leaves a code.
  Arm(Op::kFindFirstFile, "T:\\m\\*", 0x57, /*succeed=*/true);
  // After b.exe: its probe fails in a way that leaves the code pending.
  Arm(Op::kVerQueryValue, "", 0x1234);
  Scan("m/");
  EXPECT_EQ(
      "\n# ERROR: GetLastError returned 0x57\n"
      "# ERROR: Using FindNextFileW in directory T:\\m\\* after file <none>\n"
      "T:\\m\\b.exe - <none>\n"
      "\n# ERROR: GetLastError returned 0x1234\n"
      "# ERROR: Using FindNextFileW in directory T:\\m\\* after file b.exe\n",
      console_.Text());
}

TEST_F(FolderWalkerTest, ExceptionsAreContainedPerEntry) {
  machine_.MakeFolder("e/sub");
  WritePe("e/sub/inner.exe");
  WritePe("e/thrower.thr");
  extensions_.insert(L".thr");
  WritePe("e/probe.exe");
  WritePe("e/fine.exe");
  MakeScanner();
  ArmThrow(Op::kFindFirstFile, "T:\\e\\sub\\*");
  // The extension test runs in the report, outside the probe's handler; only
  // this file's tail is ".thr".
  ArmThrow(Op::kCompareString, ".thr");
  ArmThrow(Op::kGetFileVersionInfoSize, "T:\\e\\probe.exe");
  Scan("e/");
  std::string console = console_.Text();
  EXPECT_NE(std::string::npos, console.find("# ERROR: Exception in ScanFolder( T:\\e\\sub\\ )\n"));
  EXPECT_NE(std::string::npos, console.find("# ERROR: Exception in OutputFileInfo() : T:\\e\\thrower.thr\n"));
  EXPECT_NE(std::string::npos, console.find("\n# ERROR: Exception in GetFileVersion() T:\\e\\probe.exe\n"));
  EXPECT_EQ(std::string::npos, console.find("probe.exe - ")) << "no line for a failed probe";
  EXPECT_NE(std::string::npos, console.find(Reported("e/fine.exe")));
  bool all_closed = false;
  Opened(&all_closed);
  EXPECT_TRUE(all_closed);
}

TEST_F(FolderWalkerTest, OnlyTheDirectoryBitDecides) {
  machine_.MakeFolder("s/setup.exe");
  WritePe("s/setup.exe/real.exe");
  WritePe("s/top.exe");
  MakeScanner();
  Scan("s/", /*recurse=*/false);
  EXPECT_EQ(Reported("s/top.exe"), console_.Text());
  Scan("s/");
  std::string console = console_.Text();
  EXPECT_NE(std::string::npos, console.find(Reported("s/setup.exe/real.exe")));
  EXPECT_EQ(std::string::npos, console.find("setup.exe - "));
}

TEST_F(FolderWalkerTest, LinksToFoldersAreNeverGoneThrough) {
  machine_.MakeFolder("l/a/b");
  WritePe("l/a/b/x.exe");
  WritePe("l/a/target.exe");
  ASSERT_EQ(0, symlink("../..", machine_.Native("l/a/b/loop").c_str()));
  ASSERT_EQ(0, symlink(machine_.Native("l/a").c_str(), machine_.Native("l/linked").c_str()));
  ASSERT_EQ(0, symlink("target.exe", machine_.Native("l/a/alias.exe").c_str()));
  MakeScanner();
  Scan("l/");
  std::string console = console_.Text();
  EXPECT_NE(std::string::npos, console.find(Reported("l/a/b/x.exe")));
  EXPECT_NE(std::string::npos, console.find(Reported("l/a/alias.exe")));  // a link to a file is a file
  EXPECT_EQ(std::string::npos, console.find("linked")) << console;
  EXPECT_EQ(std::string::npos, console.find("loop")) << console;
  EXPECT_EQ(std::string::npos, console.find("ERROR")) << console;
  std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("# WARN: ERROR_ACCESS_DENIED for T:\\l\\linked\\*\n"));
  // A link back up the current path is not even tried.
  EXPECT_NE(std::string::npos,
            log.find("# WARN: Not entering T:\\l\\a\\b\\loop\\: it is a link to a folder this "
                     "scan has entered\n"))
      << log;
  EXPECT_EQ(std::string::npos, log.find("FindFirstFileW(): T:\\l\\a\\b\\loop")) << log;
}

// Windows trims a trailing dot or blank from every name of a plain path, so
// such a folder, and everything below it, is asked for by the verbatim form;
// the lines show the paths as listed.
TEST_F(FolderWalkerTest, NamesWindowsWouldTrimAreReachedVerbatim) {
  machine_.MakeFolder("v/sub");
  machine_.MakeFolder("v/sub./deeper");
  WritePe("v/sub/a.exe");
  WritePe("v/sub./deeper/b.exe");
  WritePe("v/plain.exe");
  test::WriteBytes(machine_.Native("v/tool.exe "), test::BuildPeWithVersion({1, 2, 3, 4}));
  MakeScanner();
  ExtensionSet with_blank = {L".exe", L".exe "};
  scanner_->ScanFolder(machine_.Wide("v/"), true, with_blank);
  std::string console = console_.Text();
  for (const char* name : {"v/sub/a.exe", "v/sub./deeper/b.exe", "v/plain.exe", "v/tool.exe "})
    EXPECT_NE(std::string::npos, console.find(Reported(name))) << name << "\n" << console;
  EXPECT_EQ(std::string::npos, console.find("\\\\?\\")) << console;
  std::vector<std::string> requests;
  for (const std::wstring& request : posix::testing::SearchRequests()) requests.push_back(Narrow(request));
  std::string root = Narrow(machine_.Wide("v/"));
  std::vector<std::string> expected = {root + "*", root + "sub\\*", "\\\\?\\" + root + "sub.\\*",
                                       "\\\\?\\" + root + "sub.\\deeper\\*"};
  std::sort(requests.begin() + 1, requests.end());
  std::sort(expected.begin() + 1, expected.end());
  EXPECT_EQ(expected, requests);
  // The log names them without the prefix too.
  EXPECT_NE(std::string::npos, Log().find("# FindFirstFileW(): " + root + "sub.\\deeper\\*\n"));
}

TEST_F(FolderWalkerTest, SpecialFilesAreReportedWithoutVersion) {
  machine_.MakeFolder("f");
  ASSERT_EQ(0, mkfifo(machine_.Native("f/pipe.exe").c_str(), 0644));
  MakeScanner();
  Scan("f/");  // a FIFO that nobody writes must not hang the scan
  EXPECT_EQ("T:\\f\\pipe.exe - <none>\n", console_.Text());
}

TEST_F(FolderWalkerTest, NamesThatAreNotUtf8AreListedAndProbed) {
  machine_.MakeFolder("u");
  WritePe("u/bad\xff\xfe.exe");
  MakeScanner();
  Scan("u/");
  // Each byte that isn't UTF-8 prints as U+FFFD; the probe still opens the file.
  EXPECT_EQ("T:\\u\\bad\xEF\xBF\xBD\xEF\xBF\xBD.exe - 1.2.3.4\n", console_.Text());
}

// The listing opens and reads ahead the files it expects to be probed, many
// folders before the walker gets there and more than it holds at once, and
// some that are not probed in the end (here the ".exe" files that don't end
// in "v.exe"). Each file still reports its own version, whether its pages
// were in memory or had to wait for the disk, and nothing is left open.
TEST_F(FolderWalkerTest, PrefetchedFilesReportTheirOwnVersions) {
  std::vector<std::string> files, expected;
  for (int f = 0; f < 40; ++f) {
    std::string folder = "tree/" + std::to_string(f % 4) + "/f" + std::to_string(f);
    machine_.MakeFolder(folder);
    int count = f == 7 ? 90 : 3;  // more than are prefetched at once
    for (int i = 0; i < count; ++i) {
      test::Version version = {static_cast<std::uint16_t>(f), static_cast<std::uint16_t>(i), 7,
                               static_cast<std::uint16_t>(f * 100 + i)};
      test::PeOptions options;
      options.resources = {{test::kRtVersion, 1, 0x409, test::VersionBlock(version)}};
      // Some with the version beyond the first pages.
      if (i % 2 == 1) options.resources.push_back({test::kRtRcdata, 1, 0x409, test::Bytes(20000, 1)});
      std::string name = folder + "/p" + std::to_string(i) + (i % 3 == 0 ? "v.EXE" : ".com");
      test::WriteBytes(machine_.Native(name), test::BuildPe(options));
      test::WriteBytes(machine_.Native(folder + "/x" + std::to_string(i) + ".txt"), {1});
      test::WriteBytes(machine_.Native(folder + "/d" + std::to_string(i) + ".exe"),
                       test::BuildPeWithVersion({9, 9, 9, 9}));
      files.push_back(name);
      std::ostringstream line;
      line << Narrow(machine_.Wide(name)) << " - " << f << "." << i << ".7." << f * 100 + i << "\n";
      expected.push_back(line.str());
    }
  }
  std::sort(expected.begin(), expected.end());
  auto fds = [] {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) count += entry.is_symlink();
    return count;
  };
  for (bool cold : {false, true}) {
    if (cold) {
      // Out of the page cache: the prefetch then leaves its reads to the kernel.
      sync();
      for (const std::string& name : files) {
        int fd = open(machine_.Native(name).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
      }
    }
    long started = posix::prefetch_testing::Started();
    long deferred = posix::prefetch_testing::Deferred();
    int open_before = fds();
    std::size_t printed = console_.Text().size();
    MakeScanner();
    scanner_->ScanFolder(machine_.Wide("tree/"), true, {L".com", L"v.exe"});
    std::vector<std::string> lines;
    std::istringstream text(console_.Text().substr(printed));
    for (std::string line; std::getline(text, line);) lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(expected, lines) << (cold ? "cold" : "warm");
    EXPECT_GT(posix::prefetch_testing::Started() - started, 100) << "the files were prefetched";
    struct statfs fs;
    if (cold && statfs(machine_.Native("").c_str(), &fs) == 0 && fs.f_type == 0xEF53) {
      EXPECT_GT(posix::prefetch_testing::Deferred() - deferred, 0) << "the pages were dropped";
    }
    EXPECT_EQ(posix::prefetch_testing::Live(), 0);
    // The drive's root stays open for the run once it is first listed.
    EXPECT_EQ(fds(), open_before + (cold ? 0 : 1));
  }
}

// The listing learns which files to prefetch from the first probe. The files
// it had listed by then, in the drive's root and in the subfolder listed
// ahead, are prefetched as soon as that probe teaches it ".exe", and each
// still reports its own version.
TEST_F(FolderWalkerTest, FilesListedBeforeTheFirstProbeArePrefetchedOnceItsEndingIsLearnt) {
  std::vector<std::string> expected;
  for (const char* folder : {"", "sub/"}) {
    machine_.MakeFolder(folder);
    for (std::uint16_t i = 0; i < 6; ++i) {
      std::string name = folder + std::string("p") + std::to_string(i) + ".exe";
      test::WriteBytes(machine_.Native(name), test::BuildPeWithVersion({1, 2, 3, i}));
      expected.push_back(Narrow(machine_.Wide(name)) + " - 1.2.3." + std::to_string(i) + "\n");
    }
  }
  std::sort(expected.begin(), expected.end());
  posix::prefetch_testing::ForgetEndings();
  long started = posix::prefetch_testing::Started();
  MakeScanner();
  Scan("");
  // All but the first file probed, which taught the ending.
  EXPECT_EQ(posix::prefetch_testing::Started() - started, 11);
  std::vector<std::string> lines;
  std::istringstream text(console_.Text());
  for (std::string line; std::getline(text, line);) lines.push_back(line + "\n");
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(expected, lines);
  EXPECT_EQ(posix::prefetch_testing::Live(), 0);
}

// With few file descriptors to spare, what the listing holds open ahead gives
// way: every folder is still listed and every file probed, with no error.
TEST_F(FolderWalkerTest, LookaheadGivesWayWhenDescriptorsRunShort) {
  std::vector<std::string> expected;
  for (int a = 0; a < 6; ++a) {
    for (int b = 0; b < 8; ++b) {
      std::string folder = "tree/" + std::to_string(a) + "/" + std::to_string(b);
      machine_.MakeFolder(folder);
      for (int i = 0; i < 4; ++i) {
        WritePe(folder + "/p" + std::to_string(i) + ".exe");
        expected.push_back(Reported(folder + "/p" + std::to_string(i) + ".exe"));
      }
    }
  }
  std::sort(expected.begin(), expected.end());
  WritePe("warm.exe");  // a first probe teaches the listing which names to prefetch
  MakeScanner();
  Scan("");
  std::size_t printed = console_.Text().size();
  int open_now = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) open_now += entry.is_symlink();
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Room for the walk's own four levels, the probe and the drive's root, and
  // not for the dozens the lookahead would like.
  struct rlimit low = {static_cast<rlim_t>(open_now + 8), saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  Scan("tree/");
  setrlimit(RLIMIT_NOFILE, &saved);
  posix::find_testing::ResumeLookahead();
  std::vector<std::string> lines;
  std::istringstream text(console_.Text().substr(printed));
  for (std::string line; std::getline(text, line);) lines.push_back(line + "\n");
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(expected, lines);
  EXPECT_EQ(Log().find("ERROR"), std::string::npos) << Log();
  EXPECT_EQ(Log().find("WARN"), std::string::npos) << Log();
}

}  // namespace
}  // namespace vur
