// The scan run over drive maps, the status record's failures and every branch
// of the redirection guard, through the layer's hooks.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "pe_builder.h"
#include "platform/posix/test_hooks.h"
#include "run/redirection_guard.h"
#include "support/scanner_fixture.h"

namespace vur {
namespace {

using posix::testing::Fault;
using posix::testing::Op;

void Arm(Op op, const std::wstring& target, DWORD code, bool succeed = false) {
  posix::testing::InjectFault(Fault{op, target, code, succeed});
}

// Report lines only: every other console line starts with "# " or is empty.
std::vector<std::string> ReportLines(const std::string& console) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < console.size()) {
    std::size_t end = console.find('\n', start);
    std::string line = console.substr(start, end - start);
    if (!line.empty() && line.compare(0, 2, "# ") != 0) lines.push_back(line);
    start = end == std::string::npos ? console.size() : end + 1;
  }
  return lines;
}

class RunTest : public test::ScannerTest {
 protected:
  // Replaces the machine's drives: "D: fixed d" maps to a scratch folder.
  // T:, which holds the log file, stays as a drive that isn't walked.
  void Drives(const std::string& lines) {
    std::string text = "T: cdrom " + machine_.Native("") + "\n";
    std::size_t start = 0;
    while (start < lines.size()) {
      std::size_t end = lines.find('\n', start);
      std::string line = lines.substr(start, end - start);
      std::string folder = line.substr(line.rfind(' ') + 1);
      machine_.MakeFolder(folder);
      text += line.substr(0, line.rfind(' ') + 1) + machine_.Native(folder) + "\n";
      start = end == std::string::npos ? lines.size() : end + 1;
    }
    std::string root = std::getenv("VURSCANNER_ROOT");
    std::ofstream(root + "/drives") << text;
    posix::testing::Reset();
  }
  void WritePe(const std::string& name) {
    test::WriteBytes(machine_.Native(name), test::BuildPeWithVersion({1, 2, 3, 4}));
  }
};

TEST_F(RunTest, MachineWithoutFixedDrivesOnlyRecordsItsStatus) {
  Drives("E: cdrom e\nF: removable f");
  WritePe("e/x.exe");
  MakeScanner().Run();
  std::string console = console_.Text();
  EXPECT_TRUE(ReportLines(console).empty()) << console;
  EXPECT_EQ(0u, console.find("# Started\n"));
  EXPECT_NE(std::string::npos, console.find("# Complete\n"));
  std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("# Skipping drive E:\\\n# Skipping drive F:\\\n"));
  std::string status;
  machine_.GetValue(L"ScannerStatus", &status);
  EXPECT_EQ(std::string("Complete\0", 9), status);
}

TEST_F(RunTest, DrivesAreWalkedInLetterOrderAndAbsentLettersAreSilent) {
  Drives("F: fixed f\nD: fixed d\nZ: fixed z");
  WritePe("d/1.exe");
  WritePe("f/2.exe");
  WritePe("z/3.exe");
  MakeScanner().Run();
  std::vector<std::string> lines = ReportLines(console_.Text());
  ASSERT_EQ(3u, lines.size()) << console_.Text();
  EXPECT_EQ("D:\\1.exe - 1.2.3.4", lines[0]);
  EXPECT_EQ("F:\\2.exe - 1.2.3.4", lines[1]);
  EXPECT_EQ("Z:\\3.exe - 1.2.3.4", lines[2]);
  std::string log = Log();
  std::size_t d = log.find("# Preparing to scan drive D:\\\n");
  std::size_t f = log.find("# Preparing to scan drive F:\\\n");
  std::size_t z = log.find("# Preparing to scan drive Z:\\\n");
  EXPECT_TRUE(d < f && f < z) << log;
  EXPECT_EQ(std::string::npos, log.find("drive E:"));
  EXPECT_EQ(std::string::npos, log.find("drive C:"));
}

TEST_F(RunTest, DriveWhoseWalkThrowsIsReportedAndTheNextIsWalked) {
  Drives("D: fixed d\nE: fixed e");
  WritePe("e/ok.exe");
  Fault fault{Op::kFindFirstFile, L"D:\\*"};
  fault.raise = true;
  posix::testing::InjectFault(fault);
  MakeScanner().Run();
  std::string console = console_.Text();
  EXPECT_NE(std::string::npos, console.find("# ERROR: Scanning drive D:\\\nE:\\ok.exe - 1.2.3.4\n"))
      << console;
  EXPECT_NE(std::string::npos, console.find("# Complete\n"));
}

TEST_F(RunTest, LogFileBeginsWithTheSinkTheBufferAndTheBanner) {
  Drives("D: fixed d");
  MakeScanner(/*real_log_file=*/true).Run();
  ResetScanner();
  std::string path = test::Narrow(machine_.Wide("scan.log"));
  std::string log = RawLog();
  std::string start = "# Opened log file " + path + "\n\n#GrowToFit expanding buffer to 1024\n" +
                      "# VURScanner version " VUR_VERSION_TEXT "\n# Started\n# ";
  EXPECT_EQ(0u, log.find(start)) << log;
  EXPECT_EQ(std::string::npos, console_.Text().find("VURScanner version"));
}

TEST_F(RunTest, StatusRecordFailures) {
  Scanner& scanner = MakeScanner();
  struct Case {
    const char* name;
    Op op;
    const wchar_t* target;
    bool result;
    const char* console_tail;
    bool status_written, time_written;
  } cases[] = {
      {"open fails", Op::kRegCreateKey, L"", true, "# ERROR: Failed to open QIM VUR regkey.\n", false,
       false},
      {"status fails", Op::kRegSetValue, L"ScannerStatus", false,
       "# ERROR: Failed to set value of VURScannerStatus to Started\n", false, true},
      {"time fails", Op::kRegSetValue, L"ScannerStatusTime", false,
       "# ERROR: Failed to set value of VURScannerStatusTime to ", true, false},
      {"close fails", Op::kRegCloseKey, L"", true, "# ERROR: Failed to close QIM VUR regkey.\n", true,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine_.DeleteKey();
    std::size_t before = console_.Text().size();
    Arm(c.op, c.target, ERROR_ACCESS_DENIED);
    EXPECT_EQ(c.result, scanner.SetStatus("Started"));
    std::string console = console_.Text().substr(before);
    EXPECT_NE(std::string::npos, console.find(c.console_tail)) << console;
    EXPECT_EQ(0u, console.find("# Started\n# "));
    std::string value;
    EXPECT_EQ(c.status_written, machine_.GetValue(L"ScannerStatus", &value));
    EXPECT_EQ(c.time_written, machine_.GetValue(L"ScannerStatusTime", &value));
  }
}

// The guard, branch by branch. Each case starts as a fresh process would.
struct GuardCase {
  const char* name;
  std::vector<Fault> faults;
  const char* log;      // what the guard logs in the file, both calls
  const char* console;  // what reaches the console
  bool off_after_disable;
};

TEST_F(RunTest, RedirectionGuardBranches) {
  const std::string kDisableStart =
      "# disableRedirection\n# Loading Kernel32 module\n";
  const std::string kLookup = "# GetProcAddress Wow64DisableWow64FsRedirection\n";
  const std::string kInvoke = "# Invoke pointer to Wow64DisableWow64FsRedirection\n";
  const std::string kRestoreAll =
      "# restoreRedirection\n# GetProcAddress Wow64RevertWow64FsRedirection\n"
      "# Invoke pointer to Wow64RevertWow64FsRedirection\n";
  const GuardCase cases[] = {
      {"32-bit Windows: the call refuses with code 1", {},
       "# WARN: Wow64DisableWow64FsRedirection returned 0\n# restoreRedirection\n", "", false},
      {"module fails to load", {{Op::kLoadLibrary, L"", ERROR_MOD_NOT_FOUND}},
       "\n# ERROR: GetLastError returned 0x7e\n# restoreRedirection\n",
       "\n# ERROR: GetLastError returned 0x7e\n", false},
      {"lookup fails with a code", {{Op::kGetProcAddress, L"", ERROR_PROC_NOT_FOUND}},
       "\n# ERROR: GetLastError returned 0x7f\n# restoreRedirection\n",
       "\n# ERROR: GetLastError returned 0x7f\n", false},
      {"lookup gives null and no code", {{Op::kGetProcAddress, L"", 0}},
       "# WARN: Got null pointer for Wow64DisableWow64FsRedirection\n# restoreRedirection\n", "", false},
      {"lookup leaves code 1", {{Op::kGetProcAddress, L"", ERROR_INVALID_FUNCTION, true}},
       "# restoreRedirection\n", "", false},
      {"disable fails with another code", {{Op::kWow64Disable, L"", ERROR_ACCESS_DENIED}},
       "# WARN: Wow64DisableWow64FsRedirection returned 0\n\n# ERROR: GetLastError returned 0x5\n"
       "# restoreRedirection\n",
       "\n# ERROR: GetLastError returned 0x5\n", false},
      {"disable and revert succeed",
       {{Op::kWow64Disable, L"", 0, true}, {Op::kWow64Revert, L"", 0, true}},
       "# Disabled 64-bit filesystem redirection\n", "", true},
      {"revert fails",
       {{Op::kWow64Disable, L"", 0, true}},
       "# Disabled 64-bit filesystem redirection\n", "", true},
  };
  for (const GuardCase& c : cases) {
    SCOPED_TRACE(c.name);
    Scanner& scanner = MakeScanner();
    std::size_t console_start = console_.Text().size();
    ResetRedirectionGuardForTesting();
    for (const Fault& fault : c.faults) posix::testing::InjectFault(fault);
    disableRedirection(scanner);
    EXPECT_EQ(c.off_after_disable, RedirectionIsOffForTesting());
    restoreRedirection(scanner);
    std::string log = Log();
    EXPECT_EQ(0u, log.find(kDisableStart)) << log;
    EXPECT_NE(std::string::npos, log.find(c.log)) << log;
    if (c.off_after_disable) {
      std::string name = c.name;
      bool reverted = name == "disable and revert succeed";
      EXPECT_NE(std::string::npos, log.find(kRestoreAll)) << log;
      EXPECT_NE(std::string::npos,
                log.find(reverted ? "# Restored 64-bit filesystem redirection\n"
                                  : "# WARN: Wow64RevertWow64FsRedirection returned 0\n"))
          << log;
      EXPECT_EQ(!reverted, RedirectionIsOffForTesting());
    }
    EXPECT_EQ(c.console, console_.Text().substr(console_start));
    ResetScanner();
    posix::testing::Reset();
  }
}

TEST_F(RunTest, RestoreStopsAtACodeTheWalkLeftPending) {
  Scanner& scanner = MakeScanner();
  Arm(Op::kWow64Disable, L"", 0, true);
  disableRedirection(scanner);
  ASSERT_TRUE(RedirectionIsOffForTesting());
  SetLastError(ERROR_INVALID_FUNCTION);
  restoreRedirection(scanner);  // silent
  SetLastError(ERROR_SHARING_VIOLATION);
  restoreRedirection(scanner);  // reported
  EXPECT_TRUE(RedirectionIsOffForTesting());
  EXPECT_EQ("\n# ERROR: GetLastError returned 0x20\n", console_.Text());
  EXPECT_EQ(std::string::npos, Log().find("GetProcAddress Wow64Revert"));
}

TEST_F(RunTest, RestoreWithoutDisableLogsOneLine) {
  Scanner& scanner = MakeScanner();
  restoreRedirection(scanner);
  EXPECT_EQ("# restoreRedirection\n", Log());
}

TEST_F(RunTest, ModuleAndFunctionsAreLookedUpOncePerProcess) {
  Scanner& scanner = MakeScanner();
  // A failed load is kept: the second call must not load again, so a second
  // armed failure is never taken.
  Arm(Op::kLoadLibrary, L"", ERROR_MOD_NOT_FOUND);
  disableRedirection(scanner);
  Arm(Op::kLoadLibrary, L"", ERROR_NOT_ENOUGH_MEMORY);
  disableRedirection(scanner);
  // The second call looks up the functions in the null module it kept.
  EXPECT_EQ("\n# ERROR: GetLastError returned 0x7e\n\n# ERROR: GetLastError returned 0x6\n",
            console_.Text());
  // The armed fault is still there: the second call never loaded.
  EXPECT_TRUE(posix::testing::Armed());
}

TEST_F(RunTest, RunEndsNormallyWhenEveryFixedDriveFails) {
  // main returns 0 once Run returns: no failure of a drive may leave Run.
  Drives("D: fixed d\nE: fixed e");
  WritePe("d/x.exe");
  WritePe("e/y.exe");
  Arm(Op::kFindFirstFile, L"D:\\*", ERROR_PATH_NOT_FOUND);
  Fault raising{Op::kFindFirstFile, L"E:\\*"};
  raising.raise = true;
  posix::testing::InjectFault(raising);
  Scanner& scanner = MakeScanner();
  EXPECT_NO_THROW(scanner.Run());
  std::string console = console_.Text();
  EXPECT_TRUE(ReportLines(console).empty()) << console;
  EXPECT_NE(std::string::npos,
            console.find("\n# ERROR: GetLastError returned 0x3\n# ERROR: Scanning drive E:\\\n# Complete\n"))
      << console;
  std::string status;
  machine_.GetValue(L"ScannerStatus", &status);
  EXPECT_EQ(std::string("Complete\0", 9), status);
}

TEST_F(RunTest, RestoreWithoutTheGuardModuleNamesTheBug) {
  Scanner& scanner = MakeScanner();
  Arm(Op::kWow64Disable, L"", 0, true);
  disableRedirection(scanner);
  ASSERT_TRUE(RedirectionIsOffForTesting());
  ForgetGuardModuleForTesting();
  std::size_t log_before = Log().size();
  restoreRedirection(scanner);
  // Two blanks after "module.": collectors match the text as it is.
  const std::string kMessage = "# ERROR: Unexpected null pointer to Kernel32 module.  This is probably a bug.\n";
  EXPECT_EQ("# restoreRedirection\n" + kMessage, Log().substr(log_before));
  EXPECT_EQ(kMessage, console_.Text());
  EXPECT_TRUE(RedirectionIsOffForTesting());
}

TEST_F(RunTest, EachFunctionIsLookedUpOnceAndANullIsKept) {
  Scanner& scanner = MakeScanner();
  // Found addresses: a second round of both calls looks nothing up, so a
  // lookup fault armed in between is never taken.
  Fault disable{Op::kWow64Disable, L"", 0, true};
  Fault revert{Op::kWow64Revert, L"", 0, true};
  disable.times = revert.times = 2;
  posix::testing::InjectFault(disable);
  posix::testing::InjectFault(revert);
  disableRedirection(scanner);
  restoreRedirection(scanner);
  Arm(Op::kGetProcAddress, L"", ERROR_PROC_NOT_FOUND);
  disableRedirection(scanner);
  restoreRedirection(scanner);
  std::string log = Log();
  for (const char* line : {"# Disabled 64-bit filesystem redirection\n", "# Restored 64-bit filesystem redirection\n"}) {
    std::size_t first = log.find(line);
    EXPECT_NE(std::string::npos, first) << line;
    EXPECT_NE(std::string::npos, log.find(line, first + 1)) << "second round: " << line;
  }
  EXPECT_EQ("", console_.Text());
  EXPECT_TRUE(posix::testing::Armed());

  // Null addresses: the failed lookup is reported once; later calls get the
  // stored null with no code pending and warn, without looking up again.
  ResetScanner();
  posix::testing::Reset();
  ResetRedirectionGuardForTesting();
  Scanner& fresh = MakeScanner();
  Arm(Op::kGetProcAddress, L"Wow64DisableWow64FsRedirection", ERROR_PROC_NOT_FOUND);
  disableRedirection(fresh);
  Arm(Op::kGetProcAddress, L"Wow64DisableWow64FsRedirection", ERROR_NOT_ENOUGH_MEMORY);
  disableRedirection(fresh);
  EXPECT_EQ("\n# ERROR: GetLastError returned 0x7f\n", console_.Text());
  EXPECT_NE(std::string::npos, Log().find("# WARN: Got null pointer for Wow64DisableWow64FsRedirection\n"));
  EXPECT_TRUE(posix::testing::Armed());

  ResetScanner();
  posix::testing::Reset();
  ResetRedirectionGuardForTesting();
  Scanner& third = MakeScanner();
  std::size_t console_start = console_.Text().size();
  Arm(Op::kWow64Disable, L"", 0, true);
  disableRedirection(third);
  Arm(Op::kGetProcAddress, L"Wow64RevertWow64FsRedirection", ERROR_PROC_NOT_FOUND);
  restoreRedirection(third);
  Arm(Op::kGetProcAddress, L"Wow64RevertWow64FsRedirection", ERROR_NOT_ENOUGH_MEMORY);
  restoreRedirection(third);
  EXPECT_EQ("\n# ERROR: GetLastError returned 0x7f\n", console_.Text().substr(console_start));
  EXPECT_NE(std::string::npos, Log().find("# WARN: Got null pointer for Wow64RevertWow64FsRedirection\n"));
  EXPECT_TRUE(RedirectionIsOffForTesting());
  EXPECT_TRUE(posix::testing::Armed());
}

TEST_F(RunTest, EachUserOpensTheSettingsKeyWithItsOwnAccess) {
  Drives("D: fixed d");
  MakeScanner().Run();
  // Log set-up KEY_READ, status KEY_WRITE, both loaders KEY_READ | KEY_WRITE.
  const std::vector<std::pair<const char*, REGSAM>> expected = {
      {"log set-up", 0x20019}, {"status Started", 0x20006}, {"extensions", 0x2001F},
      {"exclusions", 0x2001F}, {"status Complete", 0x20006}};
  std::vector<posix::testing::KeyOpenRecord> opens = posix::testing::KeyOpens();
  ASSERT_EQ(expected.size(), opens.size());
  for (std::size_t i = 0; i < opens.size(); ++i) {
    SCOPED_TRACE(expected[i].first);
    EXPECT_EQ("Software\\Tolvek\\QIM\\VUR", test::Narrow(opens[i].sub_key));
    EXPECT_EQ(expected[i].second, opens[i].access);
  }
}

}  // namespace
}  // namespace vur
