// The fleet's page: its figures against the queries of the command line,
// hostile text from the database shown as text, and a page written whole
// or not at all.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <variant>

#include "base/file.h"
#include "base/text.h"
#include "load/line_runs.h"
#include "load/procedure.h"
#include "load/sha256.h"
#include "query/query.h"
#include "read/read.h"
#include "report/figures.h"
#include "report/html.h"
#include "report/render.h"

namespace vurfleet {
namespace {

namespace fs = std::filesystem;

TEST(HtmlTest, TextFromTheDatabaseIsOnlyText) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
      {"a & b \"c\" 'd'", "a &amp; b &quot;c&quot; &#39;d&#39;"},
      {"&amp;", "&amp;amp;"},
      {"caf\xc3\xa9 \xe6\x97\xa5", "caf\xc3\xa9 \xe6\x97\xa5"},       // UTF-8 kept
      {"a\xe9z", "a\xef\xbf\xbdz"},                                     // a Latin-1 byte
      {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},                         // an overlong '/'
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},         // a surrogate
      {std::string("a\0b\x1b[2J\n\x7f", 9), "a\xef\xbf\xbd" "b\xef\xbf\xbd[2J\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xc2\x85", "\xef\xbf\xbd"},                                     // C1 control
      {"evil\xe2\x80\xaegpj.exe", "evil\xef\xbf\xbdgpj.exe"},           // right-to-left override
      {"x\xe2\x81\xa6y", "x\xef\xbf\xbdy"},                             // an isolate
      {"trail\xe2\x82", "trail\xef\xbf\xbd\xef\xbf\xbd"},               // cut short
  };
  for (const auto& c : cases) EXPECT_EQ(HtmlText(c.in), c.out) << c.in;
}

TEST(HtmlTest, NumbersAsPeopleWriteThem) {
  EXPECT_EQ(Count(0), "0");
  EXPECT_EQ(Count(999), "999");
  EXPECT_EQ(Count(1000), "1,000");
  EXPECT_EQ(Count(30000000), "30,000,000");
  EXPECT_EQ(Count(-1234567), "-1,234,567");
  EXPECT_EQ(Count(INT64_MIN), "-9,223,372,036,854,775,808");
  EXPECT_EQ(Share(1, 3), "33.3 %");
  EXPECT_EQ(Share(2, 3), "66.7 %");
  EXPECT_EQ(Share(5, 0), "0.0 %");
  EXPECT_EQ(Width(1, 8), "12.50");
}

std::string Stamp(int day, const char* time) {
  static const char* kDays[] = {"Tue", "Wed", "Thu", "Fri", "Sat", "Sun", "Mon"};
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d Dec 2026 %s -0700", kDays[(day - 1) % 7], day, time);
  return text;
}

std::string Output(int day, const std::vector<std::string>& lines, bool finished = true) {
  std::string text = "# Started\n# " + Stamp(day, "02:00:00") + "\n";
  for (const std::string& line : lines) text += line + "\n";
  if (finished) text += "# Complete\n# " + Stamp(day, "02:10:00") + "\n";
  return text;
}

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("vurfleet_report_test." + std::to_string(getpid()) + "." +
                                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    db_ = (folder_ / "inventory.db").string();
    store_ = OpenStore(db_, Access::kWrite);
  }
  void TearDown() override {
    store_.reset();
    fs::remove_all(folder_);
  }
  void Load(const std::string& machine, const std::string& bytes) {
    std::variant<Scan, Refusal> read = ReadScan(bytes);
    ASSERT_TRUE(std::holds_alternative<Scan>(read)) << std::get<Refusal>(read).why;
    const Scan& scan = std::get<Scan>(read);
    LoadAlone(*store_, ScanFile{machine, "f.txt", Sha256(bytes), &scan, LineRuns(scan)});
  }
  // Changes what is stored behind the store's back, as a damaged or
  // hostile database would hold it.
  void Tamper(const std::string& sql) {
    store_.reset();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << error;
    sqlite3_free(error);
    sqlite3_close(db);
    store_ = OpenStore(db_, Access::kRead);
  }
  void SmallFleet() {
    Load("PC001", Output(1, {"C:\\Tools\\putty.exe - 0.80.0.0", "C:\\x.exe - <none>"}));
    Load("PC001", Output(8, {"C:\\Tools\\putty.exe - 0.81.0.0", "C:\\x.exe - <none>", "C:\\n.exe - 1.0.0.0"}));
    Load("PC002", Output(7, {"C:\\Tools\\PuTTY.exe - 0.70.0.0"}, false));
    Load("PC003", Output(1, {"C:\\Tools\\putty.exe - 0.81.0.0"}));
  }
  ReportOptions Options() const {
    ReportOptions o;
    o.database = db_;
    o.now = *ParseTimeArgument("2026-12-09 12:00:00");
    o.made = o.now;
    return o;
  }

  fs::path folder_;
  std::string db_;
  std::unique_ptr<Store> store_;
};

TEST_F(ReportTest, FiguresAreWhatTheQueriesAnswer) {
  SmallFleet();
  ReportOptions o = Options();
  o.newest_changes = 2;
  const ReportFigures f = GatherFigures(*store_, o);
  EXPECT_EQ(f.ok, 1);
  EXPECT_EQ(f.incomplete, 1);
  EXPECT_EQ(f.stale, 1);
  ASSERT_EQ(f.incomplete_machines.size(), 1u);
  EXPECT_EQ(f.incomplete_machines[0].machine, "PC002");
  ASSERT_EQ(f.stale_machines.size(), 1u);
  EXPECT_EQ(f.stale_machines[0].machine, "PC003");
  std::int64_t counted[3] = {};
  store_->Machines([&](const MachineRow& m) {
    const std::string status = MachineStatus(m, o.now, o.stale_days);
    ++counted[status == "ok" ? 0 : status == "incomplete" ? 1 : 2];
  });
  EXPECT_EQ(counted[0], f.ok);
  EXPECT_EQ(counted[1], f.incomplete);
  EXPECT_EQ(counted[2], f.stale);
  EXPECT_EQ(FormatTime(*f.newest_scan), "2026-12-08 02:00:00");

  ASSERT_GE(f.programs.size(), 1u);
  EXPECT_EQ(f.programs[0].name, "putty.exe");
  EXPECT_EQ(f.programs[0].machines, 3);
  ASSERT_EQ(f.programs[0].versions.size(), 2u);
  EXPECT_EQ(f.programs[0].versions[0].version.ToString(), "0.81.0.0");
  EXPECT_EQ(f.programs[0].versions[0].machines, 2);
  EXPECT_EQ(f.programs[0].versions[1].version.ToString(), "0.70.0.0");

  // The 8th is within the last 7 days, the 1st is not.
  EXPECT_EQ(f.changes, 2);
  EXPECT_EQ(f.change_counts[0], 1);  // added n.exe
  EXPECT_EQ(f.change_counts[2], 1);  // upgraded putty.exe
  ASSERT_EQ(f.newest_changes.size(), 2u);
  // Newest first: the reverse of the order `changes` lists them in.
  EXPECT_EQ(f.newest_changes[0].path, "C:\\n.exe");
  EXPECT_EQ(f.newest_changes[1].path, "C:\\Tools\\putty.exe");

  o.newest_changes = 1;
  EXPECT_EQ(GatherFigures(*store_, o).newest_changes.size(), 1u);
  o.top = 1;
  EXPECT_EQ(GatherFigures(*store_, o).programs.size(), 1u);
}

TEST_F(ReportTest, HostileNamesShowAsText) {
  SmallFleet();
  Tamper("UPDATE machines SET name = '<img src=x onerror=alert(1)>' WHERE name = 'PC002';"
         "UPDATE paths SET path = 'C:\\<script>' || x'e9' || '</script>\"&.exe' WHERE path = 'C:\\n.exe';"
         "UPDATE paths SET name_key = '<b>' || x'ff' WHERE name_key = 'putty.exe';"
         "UPDATE names SET name_key = '<b>' || x'ff' WHERE name_key = 'putty.exe';");
  ReportOptions o = Options();
  o.database = folder_.string() + "/<i>.db";
  const std::string page = RenderReport(GatherFigures(*store_, o), o);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<b>\xff"), std::string::npos);
  EXPECT_EQ(page.find("<i>"), std::string::npos);
  EXPECT_NE(page.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
  EXPECT_NE(page.find("C:\\&lt;script&gt;\xef\xbf\xbd&lt;/script&gt;&quot;&amp;.exe"), std::string::npos);
  EXPECT_NE(page.find("&lt;b&gt;\xef\xbf\xbd"), std::string::npos);
  EXPECT_TRUE(IsUtf8(page));
}

TEST_F(ReportTest, ANameShowsItsMostWidespreadVersionsAndCountsTheRest) {
  // a.exe 1.0.0.1 on three machines, .2 to .13 on two, .14 on one. Of
  // those on two, the newer eleven are shown: .2 and .14 are not, and
  // PC1, holding both, counts once among their machines.
  const auto holding = [](int from, int to) {
    std::vector<std::string> lines;
    for (int v = from; v <= to; ++v) {
      lines.push_back("C:\\" + std::to_string(v) + "\\a.exe - 1.0.0." + std::to_string(v));
    }
    return lines;
  };
  Load("PC1", Output(1, holding(1, 14)));
  Load("PC2", Output(1, holding(1, 13)));
  Load("PC3", Output(1, holding(1, 1)));
  const ReportFigures f = GatherFigures(*store_, Options());
  ASSERT_EQ(f.programs.size(), 1u);
  const ProgramFigures& p = f.programs[0];
  std::string shown;
  for (const ProgramFigures::Held& h : p.versions) shown += h.version.ToString().substr(6) + " ";
  EXPECT_EQ(shown, "13 12 11 10 9 8 7 6 5 4 3 1 ");
  EXPECT_EQ(p.more_versions, 2);
  EXPECT_EQ(p.more_machines, 2);
  EXPECT_NE(RenderReport(f, Options()).find("and 2 more versions, 2 machines</td>"), std::string::npos);
}

TEST_F(ReportTest, ThePageFetchesNothing) {
  SmallFleet();
  const std::string page = RenderReport(GatherFigures(*store_, Options()), Options());
  EXPECT_NE(page.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                      "style-src 'unsafe-inline'\">"),
            std::string::npos);
  EXPECT_NE(page.find("<title>Fleet inventory: " + db_ + ", 2026-12-09</title>"), std::string::npos);
  for (const char* fetches : {"<script", "<link", "<img", "<iframe", "src=", "href=", "url(", "@import"}) {
    EXPECT_EQ(page.find(fetches), std::string::npos) << fetches;
  }
  EXPECT_NE(page.find("@media print"), std::string::npos);
  EXPECT_NE(page.find("@media (max-width:"), std::string::npos);
}

TEST_F(ReportTest, AnEmptyFleetIsAPageToo) {
  const std::string page = RenderReport(GatherFigures(*store_, Options()), Options());
  EXPECT_NE(page.find("<b id=\"machines-total\">0</b>"), std::string::npos);
  EXPECT_NE(page.find("Newest scan held: <b id=\"newest-scan\">none</b>"), std::string::npos);
  EXPECT_NE(page.find("</html>"), std::string::npos);
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t Entries(const fs::path& folder) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST_F(ReportTest, APageIsWrittenWholeOrNotAtAll) {
  const fs::path page = folder_ / "out" / "report.html";
  fs::create_directories(page.parent_path());
  WriteFileWhole(page.string(), "first");
  WriteFileWhole(page.string(), "second page");
  EXPECT_EQ(Read(page), "second page");
  EXPECT_EQ(Entries(page.parent_path()), 1u);

  // A folder where the page should go: nothing replaced, nothing left over.
  fs::create_directories(folder_ / "out" / "taken.html" / "inside");
  EXPECT_THROW(WriteFileWhole((folder_ / "out" / "taken.html").string(), "x"), std::runtime_error);
  EXPECT_TRUE(fs::is_directory(folder_ / "out" / "taken.html" / "inside"));
  EXPECT_EQ(Entries(page.parent_path()), 2u);
  try {
    WriteFileWhole((folder_ / "missing" / "r.html").string(), "x");
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find((folder_ / "missing" / "r.html").string() + ": "),
              std::string::npos);
  }
}

TEST_F(ReportTest, APageThroughALinkOrIntoAFifo) {
  const fs::path out = folder_ / "out";
  fs::create_directories(out / "pages");
  std::ofstream(out / "pages" / "real.html") << "old";
  fs::create_symlink("pages/real.html", out / "link.html");      // relative
  fs::create_symlink(out / "link.html", out / "chain.html");     // a link to a link
  fs::create_symlink("pages/new.html", out / "dangling.html");   // to no page yet
  fs::create_symlink("loop.html", out / "loop.html");
  ASSERT_EQ(mkfifo((out / "fifo").c_str(), 0600), 0);
  struct {
    const char* given;
    const char* page;  // where the text ends up; "" when refused
  } cases[] = {
      {"link.html", "pages/real.html"},
      {"chain.html", "pages/real.html"},
      {"dangling.html", "pages/new.html"},
      {"loop.html", ""},
  };
  for (const auto& c : cases) {
    const std::string text = std::string("page through ") + c.given;
    if (*c.page == '\0') {
      EXPECT_THROW(WriteFileWhole((out / c.given).string(), text), std::runtime_error) << c.given;
      continue;
    }
    WriteFileWhole((out / c.given).string(), text);
    EXPECT_EQ(Read(out / c.page), text) << c.given;
    EXPECT_TRUE(fs::is_symlink(out / c.given)) << c.given << ": the link stays";
  }
  // Nothing but the pages and the links: no temporary file left over.
  EXPECT_EQ(Entries(out), 6u);
  EXPECT_EQ(Entries(out / "pages"), 2u);

  // A FIFO is written in place: its reader, open before, gets the page, and
  // it stays a FIFO. (Opened without waiting, so a page renamed over it
  // fails the test instead of hanging it.)
  const int reader = open((out / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  WriteFileWhole((out / "fifo").string(), "page into a FIFO");
  char got[64];
  const ssize_t n = read(reader, got, sizeof got);
  close(reader);
  EXPECT_EQ(std::string(got, n > 0 ? static_cast<std::size_t>(n) : 0), "page into a FIFO");
  EXPECT_TRUE(fs::is_fifo(out / "fifo"));
}

}  // namespace
}  // namespace vurfleet
