// The advisories file, every refusal with its line; a rule's verdict on a
// version; windows from intervals; the summary of a small fleet by hand.
#include <gtest/gtest.h>

#include <variant>

#include "exposure/advisories.h"
#include "exposure/exposure.h"

namespace vurfleet {
namespace {

Advisories Read(const std::string& text) {
  std::variant<Advisories, Refusal> read = ReadAdvisories(text);
  if (const Refusal* r = std::get_if<Refusal>(&read)) {
    ADD_FAILURE() << "refused at line " << r->line << ": " << r->why;
    return {};
  }
  return std::get<Advisories>(read);
}

TEST(ReadAdvisories, TheFileAsASpreadsheetWritesIt) {
  // A byte-order mark, CR LF, columns in any order, quoted fields with
  // commas and quotes, empty optional fields, blank lines, no last line end.
  const Advisories a = Read(
      "\xEF\xBB\xBFurl,id,name,fixed,severity,title,published,path,affected_from\r\n"
      "https://example.test/a,CVE-1,putty.exe,0.81,critical,\"Keys, \"\"leaked\"\"\",2024-04-15,,0.68\r\n"
      "\r\n"
      "https://example.test/a,CVE-1,pageant.exe,0.81,critical,\"Keys, \"\"leaked\"\"\",2024-04-15,,\r\n"
      ",BANNED,*.torrent.exe,,,,,c:\\users\\*,");
  ASSERT_EQ(a.advisories.size(), 2u);
  EXPECT_EQ(a.advisories[0].id, "CVE-1");
  EXPECT_EQ(a.advisories[0].severity, Severity::kCritical);
  EXPECT_EQ(a.advisories[0].title, "Keys, \"leaked\"");
  EXPECT_EQ(a.advisories[0].url, "https://example.test/a");
  EXPECT_EQ(a.advisories[0].published, "2024-04-15");
  EXPECT_EQ(a.advisories[1].severity, Severity::kNone);
  ASSERT_EQ(a.rules.size(), 3u);
  EXPECT_EQ(a.rules[0].affected_from, Version::FromParts(0, 68, 0, 0));
  EXPECT_EQ(a.rules[0].fixed, Version::FromParts(0, 81, 0, 0));
  EXPECT_EQ(a.rules[1].advisory, 0u);
  EXPECT_EQ(a.rules[1].line, 4);
  EXPECT_FALSE(a.rules[1].affected_from.has_value());
  EXPECT_EQ(a.rules[2].advisory, 1u);
  EXPECT_EQ(a.rules[2].line, 5);
  ASSERT_TRUE(a.rules[2].path.has_value());
  EXPECT_FALSE(a.rules[2].fixed.has_value());
}

TEST(ReadAdvisories, Refusals) {
  const std::string head = "id,name,affected_from,fixed,severity,published,title,url\n";
  const std::string ok = "CVE-1,a.exe,1.0,2.0,high,2024-01-31,T,https://x.test\n";
  struct {
    std::string text;
    int line;
    const char* why;  // a part of the message
  } cases[] = {
      {"", 1, "empty file"},
      {"\n\n", 1, "empty file"},
      {"id,name\nCVE-1,caf\xe9.exe\n", 2, "the byte 0xE9 is not UTF-8"},
      {"id,name\nCVE-1,a\tb.exe\n", 2, "control character U+0009"},
      {"id,name,\nCVE-1,a.exe,\n", 1, "unknown column ''"},
      {"id,name,fxied\nCVE-1,a.exe,2\n", 1, "unknown column 'fxied'"},
      {"id, name\nCVE-1,a.exe\n", 1, "unknown column ' name'"},
      {"ID,name\nCVE-1,a.exe\n", 1, "unknown column 'ID'"},
      {"id;name;fixed\nCVE-1;a.exe;2\n", 1, "unknown column 'id;name;fixed'"},
      {"id,name,name\nCVE-1,a.exe,b.exe\n", 1, "the column 'name' twice"},
      {"name,fixed\na.exe,2\n", 1, "no 'id' column"},
      {"id,fixed\nCVE-1,2\n", 1, "no 'name' column"},
      {head, 1, "the header is the only row"},
      {head + ok + "CVE-2,b.exe,1.0\n", 3, "3 fields; the header has 8"},
      {head + ok + ok + "CVE-2,b.exe,,,,,,,\n", 4, "9 fields; the header has 8"},
      {head + ",a.exe,,,,,,\n", 2, "no id"},
      {head + "CVE-1,,,,,,,\n", 2, "no name"},
      {head + "CVE-1,C:\\Tools\\putty.exe,,,,,,\n", 2, "holds a backslash"},
      {head + "CVE-1,a.exe,1.x,,,,,\n", 2, "affected_from '1.x' is no version"},
      {head + "CVE-1,a.exe,,1.2.3.4.5,,,,\n", 2, "fixed '1.2.3.4.5' is no version"},
      {head + "CVE-1,a.exe,,70000,,,,\n", 2, "fixed '70000' is no version"},
      {head + "CVE-1,a.exe,,<none>,,,,\n", 2, "fixed '<none>' is no version"},
      {head + "CVE-1,a.exe,2.0,2,,,,\n", 2, "fixed '2' is not above affected_from '2.0'"},
      {head + "CVE-1,a.exe,2.1,2.0.65535,,,,\n", 2, "is not above affected_from"},
      {head + "CVE-1,a.exe,,,urgent,,,\n", 2, "unknown severity 'urgent'"},
      {head + "CVE-1,a.exe,,,High,,,\n", 2, "unknown severity 'High'"},
      {head + "CVE-1,a.exe,,,,2024-4-15,,\n", 2, "published '2024-4-15' is no date"},
      {head + "CVE-1,a.exe,,,,2023-02-29,,\n", 2, "published '2023-02-29' is no date"},
      {head + "CVE-1,a.exe,,,,2024-04-15 00:00:00,,\n", 2, "is no date"},
      {head + ok + "CVE-1,b.exe,,,critical,2024-01-31,T,https://x.test\n", 3,
       "has severity 'high' on line 2 and 'critical' here"},
      {head + ok + "CVE-1,b.exe,,,,2024-01-31,T,https://x.test\n", 3,
       "has severity 'high' on line 2 and '' here"},
      {head + ok + "CVE-1,b.exe,,,high,2024-01-31,U,https://x.test\n", 3,
       "another title on line 2: 'T', here 'U'"},
      {head + ok + "CVE-1,b.exe,,,high,2024-01-31,T,https://y.test\n", 3, "another url on line 2"},
      {head + ok + "CVE-1,b.exe,,,high,2024-02-01,T,https://x.test\n", 3, "another published on line 2"},
      {head + ok + "\n\ncve-1,b.exe,,,high,2024-01-31,T,https://x.test\n", 5,
       "the id 'cve-1' differs only in case from 'CVE-1' on line 2"},
      {head + "CVE-1,a.exe,,,,,\"evil\xe2\x80\xae" "exe\",\n", 2, "control character U+202E in 'title'"},
      // A record over two lines is known by its first.
      {head + ok + "CVE-2,b.exe,,,,,\"two\nlines\",\n", 3, "control character U+000A in 'title'"},
      {head + "CVE-1,a\"b.exe,,,,,,\n", 2, "a quote inside a field that is not quoted"},
      {head + "CVE-1,\"a.exe\"x,,,,,,\n", 2, "text after a closing quote"},
      {head + ok + "CVE-2,\"b.exe,,,,,,\n", 3, "a quoted field that does not end"},
      {head + ok + "CVE-2,\"b.exe,,,,,,\nmore\n", 3, "a quoted field that does not end"},
      {"\xFE\xFFid,name\n", 1, "UTF-16 big-endian"},
  };
  for (const auto& c : cases) {
    std::variant<Advisories, Refusal> read = ReadAdvisories(c.text);
    const Refusal* refusal = std::get_if<Refusal>(&read);
    if (refusal == nullptr) {
      ADD_FAILURE() << "not refused: " << c.text;
      continue;
    }
    EXPECT_EQ(refusal->line, c.line) << c.text << "\n" << refusal->why;
    EXPECT_NE(refusal->why.find(c.why), std::string::npos) << c.text << "\n" << refusal->why;
  }
}

TEST(ReadAdvisories, SelectingIdsKeepsTheirRulesOnly) {
  const Advisories all = Read("id,name\nCVE-1,a.exe\nINT-7,b.exe\nCVE-2,c.exe\nCVE-1,d.exe\n");
  const Advisories some = SelectAdvisories(all, Glob("cve-*"));
  ASSERT_EQ(some.advisories.size(), 2u);
  EXPECT_EQ(some.advisories[1].id, "CVE-2");
  ASSERT_EQ(some.rules.size(), 3u);
  EXPECT_EQ(some.rules[1].advisory, 1u);  // c.exe, of CVE-2
  EXPECT_EQ(some.rules[2].advisory, 0u);  // d.exe, of CVE-1
}

TEST(Judge, VersionsAsNumbersAgainstBoundsOfAnyLength) {
  const Advisories a = Read(
      "id,name,affected_from,fixed\n"
      "A,a.exe,,8\n"          // a one-part bound against four-part versions
      "B,b.exe,17.9,17.15\n"  // 17.9 is below 17.15
      "C,c.exe,2.5,\n"        // from 2.5 on, no fix yet
      "D,d.exe,,\n");         // presence is the finding
  const Version none = Version::None();
  const struct {
    std::size_t rule;
    Version version;
    Verdict verdict;
  } cases[] = {
      {0, Version::FromParts(7, 65535, 65535, 65535), Verdict::kExposed},
      {0, Version::FromParts(8, 0, 0, 0), Verdict::kNone},
      {0, Version::FromParts(8, 0, 0, 1), Verdict::kNone},
      {0, Version::FromParts(0, 0, 0, 0), Verdict::kExposed},
      {0, none, Verdict::kUnknown},
      {1, Version::FromParts(17, 9, 0, 0), Verdict::kExposed},
      {1, Version::FromParts(17, 8, 65535, 0), Verdict::kNone},
      {1, Version::FromParts(17, 14, 9, 9), Verdict::kExposed},
      {1, Version::FromParts(17, 15, 0, 0), Verdict::kNone},
      {1, Version::FromParts(17, 100, 0, 0), Verdict::kNone},
      {2, Version::FromParts(2, 5, 0, 0), Verdict::kExposed},
      {2, Version::FromParts(2, 4, 65535, 65535), Verdict::kNone},
      {2, Version::FromParts(65535, 65535, 65535, 65535), Verdict::kExposed},
      {2, none, Verdict::kUnknown},
      {3, none, Verdict::kExposed},
      {3, Version::FromParts(1, 0, 0, 0), Verdict::kExposed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Judge(a.rules[c.rule], c.version), c.verdict)
        << "rule " << c.rule << ", version " << c.version.ToString();
  }
}

TEST(RuleMatcher, NamesAndPathsAsFindMatchesThem) {
  const Advisories a = Read(
      "id,name,path\n"
      "A,PuTTY.exe,\n"
      "B,putty.exe,c:\\program files\\*\n"
      "C,put?y*.exe,\n"
      "D,7z.exe,*\\7-zip\\7z.exe\n");
  RuleMatcher matcher(a);
  EXPECT_EQ(matcher.names().size(), 3u);  // putty.exe once
  const struct {
    const char* path;
    std::vector<std::uint32_t> rules;
  } cases[] = {
      {"C:\\Program Files\\PuTTY\\PUTTY.EXE", {0, 1, 2}},
      {"D:\\Tools\\putty.exe", {0, 2}},
      {"D:\\Tools\\puttygen.exe", {2}},
      {"D:\\putty.exe\\other.exe", {}},  // a folder of that name is no file of it
      {"C:\\Program Files\\7-Zip\\7z.exe", {3}},
      {"C:\\Program Files\\7-Zip\\7z.exe.bak", {}},
      {"C:\\Old 7-Zip\\7z.exe", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(matcher.RulesFor(c.path), c.rules) << c.path;
  // Remembered by the row's place in a Holdings answer: the same rules,
  // the places met last first, each asked twice.
  RuleMatcher by_place(a);
  for (int pass = 0; pass < 2; ++pass) {
    for (std::uint32_t k = std::size(cases); k-- > 0;) {
      const HoldingRow row{"PC1", cases[k].path, Version::None(), 0, std::nullopt, k};
      EXPECT_EQ(by_place.RulesFor(row), cases[k].rules) << cases[k].path;
    }
  }
}

HoldingRow Row(const char* path, const char* version, Time since, std::optional<Time> until) {
  return HoldingRow{"PC1", path, *Version::ParseReported(version), since, until};
}

std::string Show(const MachineExposure& e) {
  std::string text;
  for (const Window& w : e.windows) {
    text += std::to_string(w.advisory) + ":[" + std::to_string(w.from) + "," +
            (w.until ? std::to_string(*w.until) : "-") + ") ";
  }
  return text;
}

TEST(JudgeMachine, WindowsAreTheUnionsOfExposedIntervals) {
  const Advisories a = Read(
      "id,name,affected_from,fixed\n"
      "A,putty.exe,,0.81\n"
      "A,pageant.exe,,0.81\n"
      "B,7z.exe,,24.9\n");
  RuleMatcher matcher(a);
  const struct {
    const char* what;
    std::vector<HoldingRow> rows;
    const char* windows;
  } cases[] = {
      {"an upgrade from one affected version to another does not close the window",
       {Row("C:\\putty.exe", "0.78.0.0", 10, 20), Row("C:\\putty.exe", "0.80.0.0", 20, 30),
        Row("C:\\putty.exe", "0.81.0.0", 30, std::nullopt)},
       "0:[10,30) "},
      {"a fix, then a fall back: two windows, the last open",
       {Row("C:\\putty.exe", "0.80.0.0", 10, 20), Row("C:\\putty.exe", "0.81.0.0", 20, 30),
        Row("C:\\putty.exe", "0.79.0.0", 30, std::nullopt)},
       "0:[10,20) 0:[30,-) "},
      {"a removal closes it, a reinstall opens another",
       {Row("C:\\putty.exe", "0.80.0.0", 10, 20), Row("C:\\putty.exe", "0.80.0.0", 40, 50)},
       "0:[10,20) 0:[40,50) "},
      {"two files of one advisory at once, one outlasting the other",
       {Row("C:\\a\\pageant.exe", "0.70.0.0", 5, 25), Row("C:\\b\\putty.exe", "0.80.0.0", 10, 20),
        Row("C:\\c\\putty.exe", "0.80.0.0", 25, 35)},
       "0:[5,35) "},
      {"a file of one advisory does not extend another's window",
       {Row("C:\\7z.exe", "23.1.0.0", 10, 20), Row("C:\\putty.exe", "0.80.0.0", 20, 30)},
       "0:[20,30) 1:[10,20) "},
      {"a file without a version is no exposure where the rule bounds versions",
       {Row("C:\\putty.exe", "<none>", 10, 20), Row("C:\\putty.exe", "0.80.0.0", 20, std::nullopt)},
       "0:[20,-) "},
      {"names of other files are passed over",
       {Row("C:\\puttygen.exe", "0.70.0.0", 10, std::nullopt)},
       ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Show(JudgeMachine(c.rows, a, matcher)), c.windows) << c.what;
}

TEST(JudgeMachine, ExposedOutweighsUnknownWithinAnAdvisory) {
  const Advisories a = Read(
      "id,name,affected_from,fixed\n"
      "A,app.exe,,2\n"
      "A,app.exe,5,\n"
      "B,app.exe,,\n");
  RuleMatcher matcher(a);
  const std::vector<HoldingRow> rows = {Row("C:\\app.exe", "<none>", 10, 20),
                                        Row("C:\\app.exe", "6.0.0.0", 20, std::nullopt)};
  const MachineExposure e = JudgeMachine(rows, a, matcher);
  // Both rules of A say unknown of <none>; B, with no bound, exposed.
  ASSERT_EQ(e.findings.size(), 4u);
  EXPECT_EQ(e.findings[0].verdict, Verdict::kUnknown);
  EXPECT_EQ(e.findings[1].verdict, Verdict::kExposed);
  EXPECT_EQ(e.findings[2].verdict, Verdict::kExposed);  // 6.0 by A's second rule
  EXPECT_EQ(Show(e), "0:[20,-) 1:[10,-) ");
  const std::vector<ExposedEntry> at_15 = EntriesAt(e, rows, 15);
  ASSERT_EQ(at_15.size(), 2u);
  EXPECT_EQ(at_15[0].verdict, Verdict::kUnknown);
  EXPECT_EQ(at_15[0].since, 10);
  EXPECT_EQ(at_15[1].since, 10);  // B's window
  const std::vector<ExposedEntry> at_25 = EntriesAt(e, rows, 25);
  ASSERT_EQ(at_25.size(), 2u);
  EXPECT_EQ(at_25[0].since, 20);
}

TEST(Summary, AFleetByHand) {
  const Advisories a = Read(
      "id,name,fixed,severity\n"
      "LOW,low.exe,2,low\n"
      "HIGH,putty.exe,0.81,high\n"
      "NONE,x.exe,1,\n"
      "CRIT,nothing.exe,1,critical\n");
  RuleMatcher matcher(a);
  const Time day = 86400;
  struct Machine {
    const char* name;
    std::vector<HoldingRow> rows;
  };
  const std::vector<Machine> fleet = {
      // Exposed 10 days, fixed, exposed again from day 30.
      {"PC1",
       {Row("C:\\putty.exe", "0.80.0.0", 0, 10 * day), Row("C:\\putty.exe", "0.81.0.0", 10 * day, 30 * day),
        Row("C:\\putty.exe", "0.79.0.0", 30 * day, std::nullopt)}},
      // Fixed after 3 days; a file without a version from day 20.
      {"PC2",
       {Row("C:\\putty.exe", "0.70.0.0", 0, 3 * day), Row("C:\\putty.exe", "0.81.0.0", 3 * day, std::nullopt),
        Row("D:\\putty.exe", "<none>", 20 * day, std::nullopt)}},
      // Only a file without a version.
      {"PC3", {Row("C:\\putty.exe", "<none>", 0, std::nullopt)}},
      // Fixed after 4.5 days, and exposed to LOW from day 1.
      {"PC4",
       {Row("C:\\low.exe", "1.0.0.0", day, std::nullopt), Row("C:\\putty.exe", "0.80.0.0", 0, 4 * day + day / 2)}},
      // Exposed only after the time asked.
      {"PC5", {Row("C:\\putty.exe", "0.80.0.0", 40 * day, std::nullopt)}},
  };
  const auto summarise = [&](Time at) {
    Summary summary(a, at, 1);
    for (const Machine& m : fleet) {
      std::vector<HoldingRow> rows = m.rows;
      for (HoldingRow& r : rows) r.machine = m.name;
      summary.Add(m.name, JudgeMachine(rows, a, matcher), rows);
    }
    return summary;
  };

  const Summary at_35 = summarise(35 * day);
  std::string text;
  for (const SummaryRow& r : at_35.Rows()) {
    text += a.advisories[r.advisory].id + " " + std::to_string(r.exposed) + " " + std::to_string(r.unknown) +
            " " + std::to_string(r.fixed) + " " + (r.median_tenths ? DaysText(*r.median_tenths) : "-") + "\n";
  }
  // HIGH: exposed PC1; unknown PC2 and PC3 (PC2's window closed, but its
  // <none> counts first); fixed PC4; windows closed 10, 3 and 4.5 days long.
  EXPECT_EQ(text,
            "CRIT 0 0 0 -\n"
            "HIGH 1 2 1 4.5\n"
            "LOW 1 0 0 -\n"
            "NONE 0 0 0 -\n");
  EXPECT_EQ(at_35.exposed_machines(), 2);
  ASSERT_EQ(at_35.listed(1).size(), 1u);  // one listed, as asked
  EXPECT_EQ(at_35.listed(1)[0].machine, "PC1");
  EXPECT_EQ(at_35.listed(1)[0].since, 30 * day);

  // At day 5: PC1 still exposed, PC2 and PC4 fixed; two closed windows,
  // 3 and 4.5 days: the mean of the two middle ones.
  const std::vector<SummaryRow> at_5 = summarise(5 * day).Rows();
  EXPECT_EQ(a.advisories[at_5[1].advisory].id, "HIGH");
  EXPECT_EQ(at_5[1].exposed, 1);
  EXPECT_EQ(at_5[1].fixed, 2);
  EXPECT_EQ(at_5[1].unknown, 1);  // PC3
  ASSERT_TRUE(at_5[1].median_tenths.has_value());
  EXPECT_EQ(DaysText(*at_5[1].median_tenths), "3.8");  // 3.75 rounded half up
}

TEST(Summary, ExposedUnknownAndFixedPartTheMachines) {
  const Advisories a = Read("id,name,fixed\nA,putty.exe,0.81\n");
  RuleMatcher matcher(a);
  const Time day = 86400;
  // PC5: 0.70 (affected), then the same path without a version, then 0.90.
  // PC6: 0.70, fixed at 0.81 on day 4; a copy without a version elsewhere
  // from day 2 on.
  const std::vector<HoldingRow> pc5 = {Row("C:\\putty.exe", "0.70.0.0", 0, 2 * day + day / 2),
                                       Row("C:\\putty.exe", "<none>", 2 * day + day / 2, 6 * day),
                                       Row("C:\\putty.exe", "0.90.0.0", 6 * day, std::nullopt)};
  const std::vector<HoldingRow> pc6 = {Row("C:\\putty.exe", "0.70.0.0", 0, 4 * day),
                                       Row("C:\\putty.exe", "0.81.0.0", 4 * day, std::nullopt),
                                       Row("D:\\putty.exe", "<none>", 2 * day, std::nullopt)};
  const struct {
    const char* what;
    const std::vector<HoldingRow>& rows;
    Time at;
    const char* figures;  // exposed unknown fixed median
  } cases[] = {
      {"PC5 exposed", pc5, day, "1 0 0 -"},
      {"PC5 unknown: the file lost its version, which is no fix", pc5, 3 * day, "0 1 0 -"},
      {"PC5 fixed once it holds neither, the window still no length", pc5, 7 * day, "0 0 1 -"},
      {"PC6 unknown though its window closed by a fix", pc6, 5 * day, "0 1 0 4.0"},
  };
  for (const auto& c : cases) {
    Summary summary(a, c.at);
    summary.Add("PC", JudgeMachine(c.rows, a, matcher), c.rows);
    const SummaryRow r = summary.Rows().at(0);
    EXPECT_EQ(std::to_string(r.exposed) + " " + std::to_string(r.unknown) + " " + std::to_string(r.fixed) +
                  " " + (r.median_tenths ? DaysText(*r.median_tenths) : "-"),
              c.figures)
        << c.what;
  }
}

TEST(Summary, OrderedBySeverityThenExposedMachinesThenId) {
  const Advisories a = Read(
      "id,name,severity\n"
      "B,b.exe,medium\n"
      "A,a.exe,medium\n"
      "C,c.exe,medium\n"
      "Z,z.exe,critical\n"
      "N,n.exe,\n");
  RuleMatcher matcher(a);
  Summary summary(a, 100);
  for (const char* machine : {"PC1", "PC2"}) {
    std::vector<HoldingRow> rows = {Row("C:\\c.exe", "1.0.0.0", 0, std::nullopt)};
    if (std::string(machine) == "PC1") rows.push_back(Row("C:\\n.exe", "1.0.0.0", 0, std::nullopt));
    summary.Add(machine, JudgeMachine(rows, a, matcher), rows);
  }
  std::string order;
  const std::vector<SummaryRow> rows = summary.Rows();
  for (const SummaryRow& r : rows) order += a.advisories[r.advisory].id;
  EXPECT_EQ(order, "ZCABN");
  // Machines exposed to an advisory past the first shown, each once: PC1
  // (C and N) and PC2 (C), then PC1 alone.
  const std::int64_t beyond[] = {2, 2, 1, 1, 1, 0};
  for (std::size_t shown = 0; shown <= 5; ++shown) {
    EXPECT_EQ(summary.MachinesExposedBeyond(rows, shown), beyond[shown]) << shown;
  }
}

TEST(Days, TenthsRoundHalfUp) {
  EXPECT_EQ(DaysText(TenthsOfDays(0)), "0.0");
  EXPECT_EQ(DaysText(TenthsOfDays(4319)), "0.0");
  EXPECT_EQ(DaysText(TenthsOfDays(4320)), "0.1");  // 0.05 days
  EXPECT_EQ(DaysText(TenthsOfDays(86400 * 14)), "14.0");
  EXPECT_EQ(DaysText(TenthsOfDays(86400 * 1000 + 86399)), "1001.0");
}

}  // namespace
}  // namespace vurfleet
