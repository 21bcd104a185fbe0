#include "diag/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/test_machine.h"

namespace vur {
namespace {

using test::Console;
using test::Narrow;
using test::ReadFileBytes;
using test::TestMachine;

// The log set-up, one registry configuration at a time.
struct SetUpCase {
  const char* name;
  const wchar_t* level;       // ScannerLogLevel, or null for none
  LogLevel threshold;
  bool file_open;
};

TEST(LogSinkSetUp, LevelWordsAreWholeAndCaseSensitive) {
  const SetUpCase cases[] = {
      {"no level: a log file logs everything", nullptr, LogLevel::kDebug, true},
      {"DEBUG", L"DEBUG", LogLevel::kDebug, true},
      {"WARN", L"WARN", LogLevel::kWarn, true},
      {"ERROR", L"ERROR", LogLevel::kError, true},
      {"INFO", L"INFO", LogLevel::kInfo, true},
      {"lower case is not a level word", L"info", LogLevel::kError, true},
      {"a trailing blank is not trimmed", L"INFO ", LogLevel::kError, true},
      {"NONE opens no file", L"NONE", LogLevel::kNone, false},
  };
  for (const SetUpCase& c : cases) {
    SCOPED_TRACE(c.name);
    TestMachine machine;
    machine.SetValue(L"ScannerLogFile", machine.Wide("scan.log"));
    if (c.level != nullptr) machine.SetValue(L"ScannerLogLevel", c.level);
    Console console;
    {
      LogSink sink(console.stream());
      EXPECT_EQ(static_cast<int>(c.threshold), static_cast<int>(sink.threshold()));
      EXPECT_EQ(c.file_open, sink.file() != nullptr);
    }
    EXPECT_EQ("", console.Text());
  }
}

TEST(LogSinkSetUp, WithoutLogFileValueTheThresholdIsErrorAndNothingIsPrinted) {
  TestMachine machine;
  Console console;
  LogSink sink(console.stream());
  EXPECT_EQ(LogLevel::kError, sink.threshold());
  EXPECT_EQ(nullptr, sink.file());
  Log(sink, LogLevel::kDebug, "debug\n");
  Log(sink, LogLevel::kWarn, "warn\n");
  Log(sink, LogLevel::kError, "error\n");
  Log(sink, LogLevel::kInfo, "info\n");
  EXPECT_EQ("error\ninfo\n", console.Text());
}

TEST(LogSinkSetUp, NewFileStartsWithOpenedLine) {
  TestMachine machine;
  machine.SetValue(L"ScannerLogFile", machine.Wide("scan.log"));
  Console console;
  { LogSink sink(console.stream()); }
  std::string path = Narrow(machine.Wide("scan.log"));
  std::string text = ReadFileBytes(machine.Native("scan.log"));
  // The run-time writes text mode: CR LF on Windows.
  EXPECT_TRUE(text == "# Opened log file " + path + "\n" ||
              text == "# Opened log file " + path + "\r\n")
      << text;
}

TEST(LogSinkSetUp, ExistingFileIsTruncatedAndSaysSo) {
  TestMachine machine;
  machine.WriteFile("scan.log", "old content that must go\n");
  machine.SetValue(L"ScannerLogFile", machine.Wide("scan.log"));
  Console console;
  { LogSink sink(console.stream()); }
  std::string path = Narrow(machine.Wide("scan.log"));
  std::string text = ReadFileBytes(machine.Native("scan.log"));
  std::string expected = "# Overwriting log file " + path + "\n# Opened log file " + path + "\n";
  std::string crlf = "# Overwriting log file " + path + "\r\n# Opened log file " + path + "\r\n";
  EXPECT_TRUE(text == expected || text == crlf) << text;
  EXPECT_EQ(0u, GetLastError());
}

TEST(LogSinkSetUp, NoneLeavesAnExistingFileUntouched) {
  TestMachine machine;
  machine.WriteFile("scan.log", "keep me\n");
  machine.SetValue(L"ScannerLogFile", machine.Wide("scan.log"));
  machine.SetValue(L"ScannerLogLevel", L"NONE");
  Console console;
  {
    LogSink sink(console.stream());
    Log(sink, LogLevel::kInfo, "report\n");
  }
  EXPECT_EQ("keep me\n", ReadFileBytes(machine.Native("scan.log")));
  EXPECT_EQ("report\n", console.Text());
}

TEST(LogSinkSetUp, EmptyFileNameOpensNothing) {
  TestMachine machine;
  machine.SetValue(L"ScannerLogFile", L"");
  Console console;
  LogSink sink(console.stream());
  EXPECT_EQ(nullptr, sink.file());
  EXPECT_EQ(LogLevel::kDebug, sink.threshold());
  EXPECT_EQ("", console.Text());  // the WARN goes nowhere
}

TEST(LogSinkSetUp, FileInMissingFolderIsReportedWithTheCode) {
  TestMachine machine;
  std::wstring path = machine.Wide("missing/scan.log");
  machine.SetValue(L"ScannerLogFile", path);
  Console console;
  LogSink sink(console.stream());
  EXPECT_EQ(nullptr, sink.file());
  EXPECT_EQ("# ERROR: Could not open log file for writing: " + Narrow(path) +
                "\n\n# ERROR: GetLastError returned 0x3\n",
            console.Text());
  EXPECT_EQ(0u, GetLastError());
}

// A line feed in the value would otherwise print a line of its own, which a
// collector would read as a report line.
TEST(LogSinkSetUp, ALineFeedInTheFileNameCannotForgeALine) {
  TestMachine machine;
  std::wstring path = machine.Wide("missing/x") + L"\nD:\\forged.exe - 6.6.6.6";
  machine.SetValue(L"ScannerLogFile", path);
  Console console;
  LogSink sink(console.stream());
  EXPECT_EQ(nullptr, sink.file());
  std::string text = console.Text();
  std::string shown = Narrow(machine.Wide("missing/x")) + "\xEF\x80\x8A" + "D:\\forged.exe - 6.6.6.6";
  EXPECT_EQ(0u, text.find("# ERROR: Could not open log file for writing: " + shown + "\n\n# ERROR: "))
      << text;
  for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    std::string line = text.substr(at, end - at);
    EXPECT_TRUE(line.empty() || line.compare(0, 2, "# ") == 0) << "a stray line: " << line;
  }
}

TEST(LogSinkSetUp, SecondSinkOnTheSameFileIsRefused) {
  TestMachine machine;
  std::wstring path = machine.Wide("scan.log");
  machine.SetValue(L"ScannerLogFile", path);
  Console first_console, second_console;
  LogSink first(first_console.stream());
  Log(first, LogLevel::kInfo, "first\n");
  LogSink second(second_console.stream());
  EXPECT_EQ(nullptr, second.file());
  EXPECT_EQ("# ERROR: Could not open log file for writing: " + Narrow(path) +
                "\n\n# ERROR: GetLastError returned 0x20\n",
            second_console.Text());
}

// Echo and file routing for every pair of message level and threshold.
// Logs, which lets callers skip building a text, must say exactly where Log
// writes: with and without a log file.
TEST(Log, RoutesByLevelAndThreshold) {
  const LogLevel levels[] = {LogLevel::kDebug, LogLevel::kWarn, LogLevel::kError, LogLevel::kInfo};
  const LogLevel thresholds[] = {LogLevel::kDebug, LogLevel::kWarn, LogLevel::kError,
                                 LogLevel::kInfo, LogLevel::kNone};
  TestMachine machine;
  for (bool with_file : {true, false}) {
    for (LogLevel threshold : thresholds) {
      for (LogLevel level : levels) {
        Console console, file;
        LogSink sink(console.stream());
        sink.SetThreshold(threshold);
        if (with_file) sink.SetFile(file.stream());
        Log(sink, level, "%s %i %u %x\n", "text", -1, 7u, 255u);
        bool echoed = level == LogLevel::kError || level == LogLevel::kInfo;
        bool written = with_file && static_cast<int>(level) >= static_cast<int>(threshold);
        SCOPED_TRACE(testing::Message() << "level " << static_cast<int>(level) << " threshold "
                                        << static_cast<int>(threshold) << " file " << with_file);
        EXPECT_EQ(echoed ? "text -1 7 ff\n" : "", console.Text());
        EXPECT_EQ(written ? "text -1 7 ff\n" : "", file.Text());
        EXPECT_EQ(echoed || written, Logs(sink, level));
        sink.SetFile(nullptr);  // the Console owns the stream
      }
    }
  }
}

TEST(Log, DebugThresholdFlushesEveryMessage) {
  TestMachine machine;
  Console console;
  LogSink sink(console.stream());
  std::FILE* file = std::fopen(machine.Native("flush.log").c_str(), "w");
  ASSERT_NE(nullptr, file);
  sink.SetFile(file);
  sink.SetThreshold(LogLevel::kDebug);
  Log(sink, LogLevel::kWarn, "# WARN: written at once\n");
  // Read through another stream while the sink still holds the file open.
  std::string text = ReadFileBytes(machine.Native("flush.log"));
  EXPECT_NE(std::string::npos, text.find("# WARN: written at once")) << text;
}

TEST(ReportLastError, LogsLowerCaseHexAndClears) {
  TestMachine machine;
  Console console;
  LogSink sink(console.stream());
  EXPECT_EQ(0u, ReportLastError(sink));
  EXPECT_EQ("", console.Text());
  SetLastError(0xABCDEF);
  EXPECT_EQ(0xABCDEFu, ReportLastError(sink));
  EXPECT_EQ(0u, GetLastError());
  SetLastError(32);
  EXPECT_EQ(32u, ReportLastError(sink));
  EXPECT_EQ("\n# ERROR: GetLastError returned 0xabcdef\n\n# ERROR: GetLastError returned 0x20\n",
            console.Text());
}

}  // namespace
}  // namespace vur
