// Reading collected files: what a scan is, and every way a file is refused.
#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "base/text.h"
#include "read/read.h"
#include "read/shield.h"

namespace vurfleet {
namespace {

constexpr char kStart[] = "# Started\n# Tue, 08 Dec 2026 04:03:56 -0700\n";
constexpr char kEnd[] = "# Complete\n# Tue, 08 Dec 2026 04:10:00 -0700\n";

std::string Repeat(const std::string& text, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += text;
  return out;
}

Scan Read(const std::string& bytes) {
  std::variant<Scan, Refusal> result = ReadScan(bytes);
  if (const Refusal* r = std::get_if<Refusal>(&result)) {
    ADD_FAILURE() << "refused at line " << r->line << ": " << r->why;
    return Scan{};
  }
  return std::move(std::get<Scan>(result));
}

// The file as Windows PowerShell 5.1 writes it: UTF-16LE with its mark, CR LF.
std::string Utf16WithCrLf(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const unsigned char b = static_cast<unsigned char>(utf8[pos]);
    char32_t c;
    int n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    c = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (int i = 1; i < n; ++i) c = (c << 6) | (static_cast<unsigned char>(utf8[pos + i]) & 0x3F);
    pos += static_cast<std::size_t>(n);
    const auto unit = [&](char32_t u) {
      out.push_back(static_cast<char>(u & 0xFF));
      out.push_back(static_cast<char>(u >> 8));
    };
    if (c == '\n') unit('\r');
    if (c >= 0x10000) {
      unit(0xD800 + ((c - 0x10000) >> 10));
      unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      unit(c);
    }
  }
  return out;
}

TEST(ReadScan, AFinishedRun) {
  const Scan scan = Read(std::string(kStart) +
                         "C:\\Windows\\notepad.exe - 10.0.19041.1\n"
                         "C:\\Tools - old\\A - B - v2.exe - 1.2.3.4\n"
                         "\n# ERROR: GetLastError returned 0xea\n"
                         "# ERROR: Using FindNextFileW in directory D:\\* after file <none>\n"
                         "D:\\plain.exe - <none>\n"
                         "# Not a line vurfleet reads\n" +
                         kEnd);
  EXPECT_EQ(scan.started, MakeTime(2026, 12, 8, 4, 3, 56));
  EXPECT_EQ(scan.started_line, 1);
  ASSERT_TRUE(scan.finished());
  EXPECT_EQ(*scan.completed, MakeTime(2026, 12, 8, 4, 10, 0));
  ASSERT_EQ(scan.reports.size(), 3u);
  EXPECT_EQ(scan.reports[1].path, "C:\\Tools - old\\A - B - v2.exe");  // split at the last " - "
  EXPECT_EQ(scan.reports[1].version, Version::FromParts(1, 2, 3, 4));
  EXPECT_EQ(scan.reports[2].version, Version::None());
  EXPECT_EQ(scan.report_lines, 3);
  ASSERT_EQ(scan.errors.size(), 2u);
  EXPECT_EQ(scan.errors[0].line, 6);
  EXPECT_EQ(scan.errors[1].text, "# ERROR: Using FindNextFileW in directory D:\\* after file <none>");
  EXPECT_FALSE(scan.unterminated_tail);
}

TEST(ReadScan, Utf16WithCrLfReadsAsUtf8WithLf) {
  // Names as the scanner prints them: a line feed in a name as U+F00A,
  // invalid bytes as U+FFFD, and a character beyond the BMP.
  const std::string text = std::string(kStart) +
                           "D:\\Gr\xC3\xBC\xC3\x9F" "e\\a\xEF\x80\x8A" "b.exe - 1.0.0.1\n"
                           "D:\\bad\xEF\xBF\xBD.exe - <none>\n"
                           "D:\\\xF0\x9F\x98\x80.exe - 2.0.0.0\n" +
                           kEnd;
  const Scan lf = Read(text);
  const Scan utf16 = Read(Utf16WithCrLf(text));
  const Scan bom = Read("\xEF\xBB\xBF" + text);
  ASSERT_EQ(lf.reports.size(), 3u);
  for (const Scan* other : {&utf16, &bom}) {
    ASSERT_EQ(other->reports.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(other->reports[i].path, lf.reports[i].path);
      EXPECT_EQ(other->reports[i].version, lf.reports[i].version);
    }
    EXPECT_EQ(other->started, lf.started);
    EXPECT_EQ(other->completed, lf.completed);
  }
}

TEST(ReadScan, Refusals) {
  const std::string start = kStart;
  struct {
    std::string bytes;
    int line;
    const char* why;  // a part of the message
  } cases[] = {
      {"", 1, "empty file"},
      {"\xEF\xBB\xBF", 1, "empty file"},
      {"\n\n# just a comment\n", 1, "no '# Started'"},
      {"C:\\a.exe - 1.2.3.4\n" + start, 1, "report line before '# Started'"},
      {"# Started\n# yesterday\n", 2, "not followed by a time stamp"},
      {"# Started\n", 2, "not followed by a time stamp"},
      {"# Started\nC:\\a.exe - 1.2.3.4\n", 2, "not followed by a time stamp"},
      {start + "C:\\a.exe - 1.2.3\n", 3, "neither <none> nor four numbers"},
      {start + "C:\\a.exe - 1.2.3.70000\n", 3, "neither <none> nor four numbers"},
      {start + "C:\\a.exe 1.2.3.4\n", 3, "without ' - '"},
      {start + " - 1.2.3.4\n", 3, "without a path"},
      {start + "C:\\a.exe - 1.2.3.4\nC:\\a.exe - 1.2.3.5\n", 4, "the path of line 3 again"},
      {start + start, 3, "a second '# Started' (line 1)"},
      {start + kEnd + "C:\\a.exe - 1.2.3.4\n", 5, "after '# Complete'"},
      {start + kEnd + kEnd, 5, "a second '# Complete'"},
      {start + "# Complete\n# soon\n", 4, "'# Complete' is not followed"},
      {"# Complete\n" + start, 1, "before '# Started'"},
      {start + std::string("C:\\a\0.exe - 1.2.3.4\n", 20), 3, "NUL byte"},
      {std::string("#\0 \0S\0t\0", 8), 1, "NUL byte"},
      {start + "C:\\a\x01.exe - 1.2.3.4\n", 3, "control character U+0001"},
      {start + "C:\\a\tb.exe - 1.2.3.4\n", 3, "control character U+0009"},
      {start + "C:\\a\rb.exe - 1.2.3.4\n", 3, "carriage return inside a line"},
      {start + "C:\\caf\xE9.exe - 1.2.3.4\n", 3, "0xE9 is not UTF-8"},  // Latin-1
      {start + "C:\\\xED\xA0\x80.exe - 1.2.3.4\n", 3, "not UTF-8"},       // a surrogate
      {std::string("\xFE\xFF\0#", 4), 1, "UTF-16 big-endian"},
      {std::string("\xFF\xFE#\0\n\0\x00\xDC\n\0", 10), 2, "lone UTF-16 surrogate"},
      // Paths are Windows paths: a drive's or a share's.
      {start + "=HYPERLINK(\"http://x.example/\",\"Click me\") - 1.0.0.0\n", 3,
       "path is not a Windows path (X:\\... or \\\\...): '=HYPERLINK("},
      {start + "a.exe - 1.0.0.0\n", 3, "not a Windows path"},
      {start + "C:a.exe - 1.0.0.0\n", 3, "not a Windows path"},
      {start + "/etc/passwd - 1.0.0.0\n", 3, "not a Windows path"},
      {start + "1:\\a.exe - 1.0.0.0\n", 3, "not a Windows path"},
      {start + "\\a.exe - 1.0.0.0\n", 3, "not a Windows path"},
      {start + "C:\\" + std::string(32765, 'a') + " - 1.0.0.0\n", 3,
       "path is longer than Windows allows (32767 UTF-16 units)"},
      {start + "C:\\" + Repeat("\xF0\x9F\x98\x80", 16382) + "a - 1.0.0.0\n", 3,
       "longer than Windows allows"},  // 2 units a character beyond U+FFFF
      {start + "# ERROR: " + std::string(65536, 'x') + "\n", 3, "a line longer than any"},
      // "# Started" and "# Complete" stand alone; with more, the line itself is refused.
      {"# Started \n# Tue, 08 Dec 2026 04:03:56 -0700\nC:\\a.exe - 1.0.0.0\n", 1,
       "a line that begins as '# Started' but holds more: '# Started '"},
      {start + "# Complete \n# Tue, 08 Dec 2026 04:10:00 -0700\n", 3,
       "begins as '# Complete' but holds more"},
      {start + "# Completed\n", 3, "begins as '# Complete'"},
  };
  for (const auto& c : cases) {
    std::variant<Scan, Refusal> result = ReadScan(c.bytes);
    const Refusal* refusal = std::get_if<Refusal>(&result);
    ASSERT_NE(refusal, nullptr) << "not refused: " << c.why;
    EXPECT_EQ(refusal->line, c.line) << refusal->why;
    EXPECT_NE(refusal->why.find(c.why), std::string::npos) << refusal->why;
  }
}

TEST(ReadScan, WhatTheScannerPrintsIsRead) {
  // Each line the scanner may print about itself, and the extremes of a
  // path it can report.
  const std::string longest = "C:\\" + std::string(32764, 'a');
  const std::string longest_wide = "C:\\" + Repeat("\xF0\x9F\x98\x80", 16382);
  const std::string folder_line = "# ERROR: Using FindNextFileW in directory " + longest +
                                  "\\* after file " + std::string(255, 'b');
  const Scan scan = Read("# VURScanner version 1.2.0.2\n" + std::string(kStart) +
                         "# WARN: ERROR_ACCESS_DENIED for D:\\x\\*\n"
                         "# INFO: a line\n# DEBUG: a line\n"
                         "# Preparing to scan drive C:\\\n"
                         "# FindFirstFileW(): C:\\*\n" +
                         "\\\\server\\share\\a.exe - 1.0.0.0\n"
                         "d:\\lower.exe - <none>\n" +
                         longest + " - 1.0.0.0\n" + longest_wide + " - 2.0.0.0\n" + folder_line +
                         "\n" + kEnd);
  ASSERT_EQ(scan.reports.size(), 4u);
  EXPECT_EQ(scan.reports[0].path, "\\\\server\\share\\a.exe");
  EXPECT_EQ(scan.reports[2].path.size(), 32767u);
  EXPECT_EQ(scan.reports[3].path.size(), 3u + 4 * 16382);  // 32767 UTF-16 units
  EXPECT_EQ(scan.errors.size(), 1u);
  EXPECT_TRUE(scan.finished());
}

TEST(ReadScan, ManyRepeatsAmongManyPaths) {
  // The index of paths grows as report lines come: a repeat far back is
  // still found, and blank lines cost nothing.
  std::string text = kStart;
  for (int i = 0; i < 20000; ++i) text += "C:\\p" + std::to_string(i) + ".exe - 1.0.0.0\n\n\n";
  const Scan repeats = Read(text + "C:\\p0.exe - 1.0.0.0\nC:\\p19999.exe - 1.0.0.0\n" + kEnd);
  EXPECT_EQ(repeats.reports.size(), 20000u);
  EXPECT_EQ(repeats.report_lines, 20002);
  std::variant<Scan, Refusal> other = ReadScan(text + "C:\\p7.exe - 1.0.0.1\n");
  ASSERT_TRUE(std::holds_alternative<Refusal>(other));
  EXPECT_EQ(std::get<Refusal>(other).line, 2 + 3 * 20000 + 1);
  EXPECT_NE(std::get<Refusal>(other).why.find("the path of line 24 again"), std::string::npos)
      << std::get<Refusal>(other).why;
}

TEST(ReadScan, AFileStillBeingWritten) {
  // The share was read mid-run: the last line is cut. It is not read (a cut
  // "1.2.3.45" could read as 1.2.3.4), and the run is not finished.
  Scan cut = Read(std::string(kStart) + "C:\\a.exe - 1.2.3.4\nC:\\b.exe - 1.2.3.4");
  EXPECT_FALSE(cut.finished());
  EXPECT_TRUE(cut.unterminated_tail);
  ASSERT_EQ(cut.reports.size(), 1u);
  EXPECT_EQ(cut.reports[0].path, "C:\\a.exe");

  // Cut inside a character, in UTF-8 and in UTF-16.
  Scan in_char = Read(std::string(kStart) + "C:\\a.exe - 1.2.3.4\nC:\\\xC3");
  EXPECT_TRUE(in_char.unterminated_tail);
  EXPECT_EQ(in_char.reports.size(), 1u);
  std::string utf16 = Utf16WithCrLf(std::string(kStart) + "C:\\a.exe - 1.2.3.4\nC:\\b");
  Scan odd = Read(utf16.substr(0, utf16.size() - 1));
  EXPECT_TRUE(odd.unterminated_tail);
  EXPECT_EQ(odd.reports.size(), 1u);

  // "# Complete" without its stamp yet: not finished.
  Scan no_stamp = Read(std::string(kStart) + "C:\\a.exe - 1.2.3.4\n# Complete\n");
  EXPECT_FALSE(no_stamp.finished());
  EXPECT_TRUE(no_stamp.unterminated_tail);
  Scan half_stamp = Read(std::string(kStart) + "# Complete\n# Tue, 08 Dec 2026 04:1");
  EXPECT_FALSE(half_stamp.finished());

  // The stamp itself is whole even without a line end: finished.
  Scan whole = Read(std::string(kStart) + "# Complete\n# Tue, 08 Dec 2026 04:10:00 -0700");
  EXPECT_TRUE(whole.finished());
  EXPECT_FALSE(whole.unterminated_tail);
  // A CR as the very last byte is half a line end.
  Scan half_crlf = Read(std::string(kStart) + "C:\\a.exe - 1.2.3.4\r");
  EXPECT_TRUE(half_crlf.unterminated_tail);
}

TEST(ReadScan, RepeatsAndErrorsAnywhere) {
  const Scan scan = Read("# ERROR: Could not open log file for writing: C:\\x.log\n" +
                         std::string(kStart) +
                         "C:\\a.exe - 1.2.3.4\nC:\\a.exe - 1.2.3.4\n" + kEnd +
                         "# ERROR: Failed to set value of VURScannerStatus to Complete\n");
  EXPECT_EQ(scan.reports.size(), 1u);
  EXPECT_EQ(scan.report_lines, 2);
  EXPECT_EQ(scan.errors.size(), 2u);
  EXPECT_EQ(scan.started_line, 2);
  EXPECT_TRUE(scan.finished());
}

TEST(Shield, OnlyTheLinesThatSayAWalkWasCutShort) {
  const Shield shield = ShieldOf({
      "# ERROR: Scanning drive E:\\",
      "# ERROR: Exception in ScanFolder( D:\\Program Files\\Big Suite\\ )",
      "# ERROR: Exception in GetFileVersion() D:\\Tools\\Damaged.exe",
      "# ERROR: Exception in OutputFileInfo() : D:\\Tools\\Other.exe",
      "# ERROR: Using FindNextFileW in directory D:\\* after file <none>",
      "# ERROR: GetLastError returned 0xea",
      "# ERROR: Exception in ScanFolder( D:\\no end",
  });
  EXPECT_EQ(shield.folders.size(), 2u);
  EXPECT_EQ(shield.files.size(), 2u);
  struct {
    const char* folded_path;
    bool covered;
  } cases[] = {
      {"e:\\anything.exe", true},
      {"e:\\deep\\down\\x.exe", true},
      {"d:\\program files\\big suite\\bin\\x.exe", true},
      {"d:\\program files\\big suite2\\x.exe", false},  // a folder, not a prefix of text
      {"d:\\program files\\x.exe", false},
      {"d:\\tools\\damaged.exe", true},
      {"d:\\tools\\damaged.exe.bak", false},
      {"d:\\tools\\other.exe", true},
      {"d:\\x.exe", false},  // the checkpoint line limits nothing
  };
  for (const auto& c : cases) EXPECT_EQ(shield.Covers(c.folded_path), c.covered) << c.folded_path;
  EXPECT_TRUE(ShieldOf({"# ERROR: Using FindNextFileW in directory D:\\* after file <none>"}).empty());
}

TEST(Shield, ManyFoldersCostALogarithmEach) {
  // A finished scan after a scan of n paths, with an ERROR line for each
  // path's folder: every path is looked up against n folders. A scan of
  // the folders one by one makes n * n comparisons (10^10 here).
  constexpr int n = 100000;
  std::vector<std::string> lines;
  std::vector<std::string> paths;
  for (int i = 0; i < n; ++i) {
    const std::string folder = "D:\\Sites\\S" + std::to_string(i % 100) + "\\F" + std::to_string(i);
    lines.push_back("# ERROR: Exception in ScanFolder( " + folder + "\\ )");
    paths.push_back(FoldCase(folder) + "\\bin\\x" + std::to_string(i) + ".exe");
  }
  const std::uint64_t before = ShieldComparisons();
  const Shield shield = ShieldOf(std::vector<std::string_view>(lines.begin(), lines.end()));
  int covered = 0;
  for (const std::string& path : paths) covered += shield.Covers(path);
  covered += shield.Covers("d:\\sites\\s1\\f0\\x.exe");  // not F0's site
  const std::uint64_t comparisons = ShieldComparisons() - before;
  EXPECT_EQ(covered, n);
  EXPECT_EQ(shield.folders.size(), static_cast<std::size_t>(n));
  // About 17 a lookup, 5 lookups a path, and 17 an insert: 10 million.
  EXPECT_LT(comparisons, 20u * 1000 * 1000) << comparisons;
}

}  // namespace
}  // namespace vurfleet
