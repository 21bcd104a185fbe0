// The three output forms, as tools and people read them.
#include <gtest/gtest.h>

#include <sstream>

#include "output/output.h"
#include "query/query.h"

namespace vurfleet {
namespace {

std::string Write(Format format, const std::vector<std::vector<Cell>>& rows) {
  std::ostringstream out;
  RowWriter writer(out, format, {"machine", "path", "files"});
  for (const auto& row : rows) writer.Row(row);
  writer.Finish();
  return out.str();
}

const std::vector<std::vector<Cell>> kRows = {
    {Cell::Text("PC1"), Cell::Text("C:\\a, \"b\".exe"), Cell::Number(3)},
    {Cell::Text("PC\xC3\x84" "2"), Cell::Text("C:\\x.exe"), Cell::Empty()},
};

TEST(Output, CsvAsRfc4180) {
  EXPECT_EQ(Write(Format::kCsv, kRows),
            "machine,path,files\r\n"
            "PC1,\"C:\\a, \"\"b\"\".exe\",3\r\n"
            "PC\xC3\x84" "2,C:\\x.exe,\r\n");
  EXPECT_EQ(CsvField("line\nbreak"), "\"line\nbreak\"");
  EXPECT_EQ(CsvField("plain"), "plain");
}

TEST(Output, JsonLinesWithTheSameKeys) {
  EXPECT_EQ(Write(Format::kJson, kRows),
            "{\"machine\":\"PC1\",\"path\":\"C:\\\\a, \\\"b\\\".exe\",\"files\":3}\n"
            "{\"machine\":\"PC\xC3\x84" "2\",\"path\":\"C:\\\\x.exe\",\"files\":null}\n");
}

TEST(Output, ColumnsAlignedByCharacters) {
  EXPECT_EQ(Write(Format::kColumns, kRows),
            "machine  path           files\n"
            "PC1      C:\\a, \"b\".exe  3\n"
            "PC\xC3\x84" "2     C:\\x.exe\n");  // no blanks after the last value
  // No rows: the header alone.
  EXPECT_EQ(Write(Format::kColumns, {}), "machine  path  files\n");
}

TEST(Output, CsvCellsAreNoFormulas) {
  struct {
    const char* text;
    const char* field;
  } cases[] = {
      {"=1+2.exe", "'=1+2.exe"},
      {"+1", "'+1"},
      {"-2+3", "'-2+3"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"\tx", "'\tx"},
      {"\rx", "\"'\rx\""},                           // quoted too, for the CR
      {"=HYPERLINK(\"http://x\",\"y\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
      {"C:\\=1+2.exe", "C:\\=1+2.exe"},               // not at the start
      {"'=x", "'=x"},                                  // a quote of its own stays one
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(CsvText(c.text), c.field) << c.text;
  // Numbers are written as numbers, and the header as it is.
  std::ostringstream out;
  RowWriter writer(out, Format::kCsv, {"-name"});
  writer.Row({Cell::Number(-1)});
  writer.Row({Cell::Text("-1")});
  writer.Finish();
  EXPECT_EQ(out.str(), "-name\r\n-1\r\n'-1\r\n");
}

TEST(Output, ColumnsShowControlsAndAlignByTerminalCells) {
  const std::vector<std::vector<Cell>> rows = {
      {Cell::Text("\xE5\x90\x8D\xE5\x89\x8D"), Cell::Text("C:\\\x1B[2J\xC2\x85x.exe"), Cell::Number(1)},
      {Cell::Text("\xEF\xBC\xB0" "C"), Cell::Text("C:\\e\xCC\x81.exe\xE2\x80\xAE"), Cell::Number(22)},
      {Cell::Text("PC\xE9"), Cell::Text("\tC:\\y.exe\n"), Cell::Empty()},
  };
  EXPECT_EQ(Write(Format::kColumns, rows),
            "machine   path                         files\n"
            "\xE5\x90\x8D\xE5\x89\x8D      C:\\<U+001B>[2J<U+0085>x.exe  1\n"
            "\xEF\xBC\xB0" "C       C:\\e\xCC\x81.exe<U+202E>             22\n"
            "PC<0xE9>  <U+0009>C:\\y.exe<U+000A>\n");
  // Tools get the text exactly: JSON escapes what it must and keeps the rest.
  EXPECT_EQ(Write(Format::kJson, {rows[0]}),
            "{\"machine\":\"\xE5\x90\x8D\xE5\x89\x8D\",\"path\":\"C:\\\\\\u001b[2J\xC2\x85x.exe\",\"files\":1}\n");
}

TEST(Output, ColumnsBeyondTheMeasuredRowsStillPrint) {
  std::vector<std::vector<Cell>> rows(RowWriter::kMeasuredRows,
                                      {Cell::Text("A"), Cell::Text("p"), Cell::Number(1)});
  rows.push_back({Cell::Text("LONGER-NAME"), Cell::Text("p"), Cell::Number(2)});
  const std::string out = Write(Format::kColumns, rows);
  EXPECT_NE(out.find("\nLONGER-NAME  p     2\n"), std::string::npos);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), static_cast<long>(rows.size() + 1));
}

TEST(Query, KindsOfChange) {
  const auto change = [](std::optional<Version> before, std::optional<Version> after) {
    return ChangeKind(ChangeRow{"PC1", 0, "p", before, after});
  };
  const Version v1 = Version::FromParts(1, 0, 0, 0), v2 = Version::FromParts(1, 2, 0, 0);
  EXPECT_EQ(change(std::nullopt, v1), "added");
  EXPECT_EQ(change(v1, std::nullopt), "removed");
  EXPECT_EQ(change(v1, v2), "upgraded");
  EXPECT_EQ(change(v2, v1), "downgraded");
  EXPECT_EQ(change(Version::None(), v1), "changed");
  EXPECT_EQ(change(v1, Version::None()), "changed");
}

TEST(Query, MachineStatus) {
  const Time start = MakeTime(2026, 12, 1, 12, 0, 0);
  MachineRow finished{"PC1", start, start + 60, 10, 0};
  MachineRow unfinished{"PC2", start, std::nullopt, 10, 0};
  EXPECT_EQ(MachineStatus(finished, start + 7 * 86400, 7), "ok");      // exactly 7 days: not more
  EXPECT_EQ(MachineStatus(finished, start + 7 * 86400 + 1, 7), "stale");
  EXPECT_EQ(MachineStatus(unfinished, start + 86400, 7), "incomplete");
  EXPECT_EQ(MachineStatus(unfinished, start + 8 * 86400, 7), "stale");  // stale comes first
  EXPECT_EQ(MachineStatus(finished, start + 1, 0), "stale");
}

}  // namespace
}  // namespace vurfleet
