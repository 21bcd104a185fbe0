// Both stores, the SQLite store on real files and the PostgreSQL store on a
// real server: what they answer after loads in any order, with copies,
// conflicts and the absence rules, through the same query and output code
// as the command line. The PostgreSQL cases need a server:
// $VURFLEET_TEST_POSTGRES is a libpq "keyword=value" string without dbname
// (tests/fleet/postgres.sh starts one and sets it); without it they skip.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>
#include <variant>

#include "load/line_runs.h"
#include "load/procedure.h"
#include "load/sha256.h"
#include "output/print.h"
#include "read/read.h"
#include "store/postgres/pg.h"
#include "run/version.h"
#include "store/store.h"

namespace vurfleet {
namespace {

namespace fs = std::filesystem;

std::string Stamp(const char* day_and_time) {
  // "08 04:03:56" in December 2026, with the weekday the date has.
  static const char* kDays[] = {"Tue", "Wed", "Thu", "Fri", "Sat", "Sun", "Mon"};
  const int day = std::atoi(day_and_time);
  return std::string(kDays[(day - 1) % 7]) + ", " + std::string(day_and_time, 2) + " Dec 2026 " +
         std::string(day_and_time + 3) + " -0700";
}

// One run's output: "# Started", the lines, and "# Complete" when finished.
std::string Output(const char* start, const std::vector<std::string>& lines, bool finished = true) {
  std::string text = "# Started\n# " + Stamp(start) + "\n";
  for (const std::string& line : lines) text += line + "\n";
  if (finished) text += "# Complete\n# " + Stamp(start) + "\n";
  return text;
}

const char* PostgresServer() { return std::getenv("VURFLEET_TEST_POSTGRES"); }

// A new, empty database on the test server, and its connection string.
std::string NewPostgresDatabase(const std::string& name) {
  const std::string server = PostgresServer();
  pg::Connection admin(server + " dbname=postgres");
  admin.Run("DROP DATABASE IF EXISTS \"" + name + "\"");
  admin.Run("CREATE DATABASE \"" + name + "\" ENCODING 'UTF8' TEMPLATE template0");
  return server + " dbname=" + name;
}

class StoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    test_name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : test_name_) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    if (GetParam() == "postgres" && PostgresServer() == nullptr) {
      GTEST_SKIP() << "$VURFLEET_TEST_POSTGRES names no PostgreSQL server "
                      "(tests/fleet/postgres.sh starts one)";
    }
    folder_ = fs::temp_directory_path() / ("vurfleet_store_test." + std::to_string(getpid()) + "." +
                                          test_name_);
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  // A new store of the test's kind: a file in the test's folder, or a
  // database on the server.
  std::unique_ptr<Store> Open(const std::string& name = "inventory.db") {
    return OpenStore(Where(name), Access::kWrite);
  }
  std::string Where(const std::string& name) {
    if (GetParam() == "sqlite") return (folder_ / name).string();
    std::string db = "vf_" + std::to_string(++databases_) + "_" + test_name_;
    db = db.substr(0, 63);
    for (char& c : db) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return NewPostgresDatabase(db);
  }

  static LoadStatus Load(Store& store, const std::string& machine, const std::string& bytes,
                         const std::string& file = "file.txt") {
    std::variant<Scan, Refusal> read = ReadScan(bytes);
    const Scan* scan = std::get_if<Scan>(&read);
    if (scan == nullptr) {
      ADD_FAILURE() << "refused: " << std::get<Refusal>(read).why;
      return LoadStatus::kConflict;
    }
    return LoadAlone(store, ScanFile{machine, file, Sha256(bytes), scan, LineRuns(*scan)}).status;
  }

  static std::string Find(Store& store, FindQuery query = {}) {
    std::ostringstream out;
    PrintFind(store, query, Format::kCsv, out);
    return out.str();
  }
  static std::string Changes(Store& store, ChangesQuery query = {}) {
    std::ostringstream out;
    PrintChanges(store, query, Format::kCsv, out);
    return out.str();
  }
  static std::string Machines(Store& store, const char* now = "2026-12-20") {
    std::ostringstream out;
    PrintMachines(store, *ParseTimeArgument(now), 7, Format::kCsv, out);
    return out.str();
  }
  static std::string All(Store& store) {
    FindQuery at;
    at.at = *ParseTimeArgument("2026-12-09 12:00:00");
    return Find(store) + Find(store, at) + Changes(store) + Machines(store);
  }

  fs::path folder_;
  std::string test_name_;
  int databases_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("sqlite", "postgres"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// A small fleet over a few weeks: upgrades, an install, a removal, an
// unfinished run and one that could not walk a folder.
std::vector<std::pair<std::string, std::string>> Fleet() {
  return {
      {"PC001", Output("01 02:00:00", {"C:\\Tools\\putty.exe - 0.80.0.0", "C:\\App\\app.exe - 1.2.3.4",
                                    "C:\\Big\\big.exe - 9.0.0.0", "C:\\x.exe - <none>"})},
      {"PC001", Output("08 02:00:00", {"C:\\Tools\\putty.exe - 0.81.0.0", "C:\\App\\app.exe - 1.2.3.4",
                                    "C:\\New\\new.exe - 1.0.0.0", "C:\\x.exe - 2.0.0.0"},
                    false)},
      {"PC001", Output("15 02:00:00", {"\n# ERROR: Exception in ScanFolder( C:\\Big\\ )",
                                    "C:\\Tools\\putty.exe - 0.81.0.0", "C:\\x.exe - 2.0.0.0"})},
      {"PC001", Output("16 02:00:00", {"C:\\Tools\\putty.exe - 0.79.0.0", "C:\\x.exe - <none>",
                                    "# ERROR: Using FindNextFileW in directory C:\\* after file <none>"})},
      {"pc002", Output("02 03:00:00", {"C:\\Tools\\PuTTY.exe - 0.70.0.0", "C:\\App\\app.exe - 17.9.0.0"})},
      {"PC002", Output("09 03:00:00", {"C:\\Tools\\PuTTY.exe - 0.70.0.0", "C:\\App\\app.exe - 17.15.0.0"})},
      {"PC003", Output("03 04:00:00", {"C:\\Tools\\putty.exe - 0.81.0.0"}, false)},
  };
}

TEST_P(StoreTest, TheQueriesOfASmallFleet) {
  std::unique_ptr<Store> store = Open();
  for (const auto& [machine, text] : Fleet()) EXPECT_EQ(Load(*store, machine, text), LoadStatus::kLoaded);

  FindQuery old_putty;
  old_putty.name.emplace("PUTTY.EXE");
  old_putty.test = VersionTest::kBelow;
  old_putty.version = *Version::ParseArgument("0.81");
  EXPECT_EQ(Find(*store, old_putty),
            "machine,path,version,since\r\n"
            "PC001,C:\\Tools\\putty.exe,0.79.0.0,2026-12-16 02:00:00\r\n"
            "PC002,C:\\Tools\\PuTTY.exe,0.70.0.0,2026-12-02 03:00:00\r\n");

  // Below the folder the scan of the 15th could not walk, big.exe stays;
  // the checkpoint line of the 16th limits nothing.
  EXPECT_EQ(Find(*store, [] { FindQuery q; q.machine.emplace("pc001"); return q; }()),
            "machine,path,version,since\r\n"
            "PC001,C:\\Tools\\putty.exe,0.79.0.0,2026-12-16 02:00:00\r\n"
            "PC001,C:\\x.exe,<none>,2026-12-16 02:00:00\r\n");
  FindQuery at_15th;
  at_15th.machine.emplace("PC00?");
  at_15th.at = *ParseTimeArgument("2026-12-15 02:00:00");
  EXPECT_EQ(Find(*store, at_15th),
            "machine,path,version,since\r\n"
            "PC001,C:\\Big\\big.exe,9.0.0.0,2026-12-01 02:00:00\r\n"
            "PC001,C:\\Tools\\putty.exe,0.81.0.0,2026-12-08 02:00:00\r\n"
            "PC001,C:\\x.exe,2.0.0.0,2026-12-08 02:00:00\r\n"
            "PC002,C:\\App\\app.exe,17.15.0.0,2026-12-09 03:00:00\r\n"
            "PC002,C:\\Tools\\PuTTY.exe,0.70.0.0,2026-12-02 03:00:00\r\n"
            "PC003,C:\\Tools\\putty.exe,0.81.0.0,2026-12-03 04:00:00\r\n");
  // Before a machine's first scan it has no inventory.
  FindQuery too_early;
  too_early.at = *ParseTimeArgument("2026-12-01");
  EXPECT_EQ(Find(*store, too_early), "machine,path,version,since\r\n");

  // Versions as numbers, <none> apart.
  FindQuery at_least;
  at_least.path.emplace("c:\\app\\*");
  at_least.test = VersionTest::kAtLeast;
  at_least.version = *Version::ParseArgument("17.10");
  EXPECT_EQ(Find(*store, at_least),
            "machine,path,version,since\r\nPC002,C:\\App\\app.exe,17.15.0.0,2026-12-09 03:00:00\r\n");
  FindQuery none;
  none.test = VersionTest::kNone;
  EXPECT_EQ(Find(*store, none),
            "machine,path,version,since\r\nPC001,C:\\x.exe,<none>,2026-12-16 02:00:00\r\n");
  FindQuery below_all;
  below_all.name.emplace("x.exe");
  below_all.test = VersionTest::kBelow;
  below_all.version = *Version::ParseArgument("65535");
  EXPECT_EQ(Find(*store, below_all), "machine,path,version,since\r\n");

  EXPECT_EQ(Changes(*store),
            "machine,scan,change,path,old,new\r\n"
            "PC001,2026-12-08 02:00:00,added,C:\\New\\new.exe,,1.0.0.0\r\n"
            "PC001,2026-12-08 02:00:00,upgraded,C:\\Tools\\putty.exe,0.80.0.0,0.81.0.0\r\n"
            "PC001,2026-12-08 02:00:00,changed,C:\\x.exe,<none>,2.0.0.0\r\n"
            "PC002,2026-12-09 03:00:00,upgraded,C:\\App\\app.exe,17.9.0.0,17.15.0.0\r\n"
            "PC001,2026-12-15 02:00:00,removed,C:\\App\\app.exe,1.2.3.4,\r\n"
            "PC001,2026-12-15 02:00:00,removed,C:\\New\\new.exe,1.0.0.0,\r\n"
            "PC001,2026-12-16 02:00:00,removed,C:\\Big\\big.exe,9.0.0.0,\r\n"
            "PC001,2026-12-16 02:00:00,downgraded,C:\\Tools\\putty.exe,0.81.0.0,0.79.0.0\r\n"
            "PC001,2026-12-16 02:00:00,changed,C:\\x.exe,2.0.0.0,<none>\r\n");
  ChangesQuery bounded;
  bounded.machine.emplace("*1");
  bounded.since = *ParseTimeArgument("2026-12-08 02:00:00");
  bounded.until = *ParseTimeArgument("2026-12-15 02:00:00");
  EXPECT_EQ(Changes(*store, bounded),
            "machine,scan,change,path,old,new\r\n"
            "PC001,2026-12-08 02:00:00,added,C:\\New\\new.exe,,1.0.0.0\r\n"
            "PC001,2026-12-08 02:00:00,upgraded,C:\\Tools\\putty.exe,0.80.0.0,0.81.0.0\r\n"
            "PC001,2026-12-08 02:00:00,changed,C:\\x.exe,<none>,2.0.0.0\r\n"
            "PC001,2026-12-15 02:00:00,removed,C:\\App\\app.exe,1.2.3.4,\r\n"
            "PC001,2026-12-15 02:00:00,removed,C:\\New\\new.exe,1.0.0.0,\r\n");

  EXPECT_EQ(Machines(*store, "2026-12-17"),
            "machine,last_started,last_completed,status,files,errors\r\n"
            "PC001,2026-12-16 02:00:00,2026-12-16 02:00:00,ok,2,1\r\n"
            "PC002,2026-12-09 03:00:00,2026-12-09 03:00:00,stale,2,0\r\n"
            "PC003,2026-12-03 04:00:00,,stale,1,0\r\n");
  EXPECT_EQ(Machines(*store, "2026-12-10"),
            "machine,last_started,last_completed,status,files,errors\r\n"
            "PC001,2026-12-16 02:00:00,2026-12-16 02:00:00,ok,2,1\r\n"
            "PC002,2026-12-09 03:00:00,2026-12-09 03:00:00,ok,2,0\r\n"
            "PC003,2026-12-03 04:00:00,,incomplete,1,0\r\n");
}

// The intervals of the names asked for, of every machine, by machine, path
// and since; names as find matches them. A few paths are sought in each
// machine's rows, many read with them: both give the same order.
TEST_P(StoreTest, HoldingsOfTheNamesAsked) {
  std::unique_ptr<Store> store = Open();
  for (const auto& [machine, text] : Fleet()) Load(*store, machine, text);
  std::vector<std::string> many = {"C:\\Many\\putty.exe - <none>"};
  for (int k = 100; k < 300; ++k) {
    many.push_back("C:\\Many\\f" + std::to_string(k) + ".dll - 1.0.0." + std::to_string(k));
  }
  Load(*store, "PC000", Output("05 01:00:00", many));

  const auto holdings = [&](std::vector<Glob> names) {
    std::string text;
    store->Holdings(names, [&](const HoldingRow& r) {
      text += r.machine + " " + r.path + " " + r.version.ToString() + " " + FormatTime(r.since) + " " +
              (r.until ? FormatTime(*r.until) : "-") + "\n";
    });
    return text;
  };
  EXPECT_EQ(holdings({Glob("PUTTY.EXE"), Glob("x.?xe"), Glob("putty.exe")}),
            "PC000 C:\\Many\\putty.exe <none> 2026-12-05 01:00:00 -\n"
            "PC001 C:\\Tools\\putty.exe 0.80.0.0 2026-12-01 02:00:00 2026-12-08 02:00:00\n"
            "PC001 C:\\Tools\\putty.exe 0.81.0.0 2026-12-08 02:00:00 2026-12-16 02:00:00\n"
            "PC001 C:\\Tools\\putty.exe 0.79.0.0 2026-12-16 02:00:00 -\n"
            "PC001 C:\\x.exe <none> 2026-12-01 02:00:00 2026-12-08 02:00:00\n"
            "PC001 C:\\x.exe 2.0.0.0 2026-12-08 02:00:00 2026-12-16 02:00:00\n"
            "PC001 C:\\x.exe <none> 2026-12-16 02:00:00 -\n"
            "PC002 C:\\Tools\\PuTTY.exe 0.70.0.0 2026-12-02 03:00:00 -\n"
            "PC003 C:\\Tools\\putty.exe 0.81.0.0 2026-12-03 04:00:00 -\n");
  // Below the folder the scan of the 15th did not walk, big.exe stayed
  // until the 16th.
  EXPECT_EQ(holdings({Glob("b?g.*")}),
            "PC001 C:\\Big\\big.exe 9.0.0.0 2026-12-01 02:00:00 2026-12-16 02:00:00\n");
  EXPECT_EQ(holdings({Glob("nothing.exe")}), "");
  EXPECT_EQ(holdings({}), "");
  // A hundred paths: more than are worth a seek each.
  std::string expected;
  for (int k = 200; k < 300; ++k) {
    expected += "PC000 C:\\Many\\f" + std::to_string(k) + ".dll 1.0.0." + std::to_string(k) +
                " 2026-12-05 01:00:00 -\n";
  }
  EXPECT_EQ(holdings({Glob("F2*.DLL"), Glob("b?g.*")}),
            expected + "PC001 C:\\Big\\big.exe 9.0.0.0 2026-12-01 02:00:00 2026-12-16 02:00:00\n");
}

// The most widespread names: a machine counts once for a name it holds at
// several paths, and once for each version it holds it at, as counting
// the machines of `find --name` gives; what a later scan replaced counts
// no more.
TEST_P(StoreTest, ProgramsCountMachinesAsFindDoes) {
  std::unique_ptr<Store> store = Open();
  Load(*store, "PC001", Output("01 02:00:00", {"C:\\A\\Tool.exe - 1.0.0.0", "C:\\B\\tool.exe - 2.0.0.0",
                                               "C:\\other.exe - 1.0.0.0"}));
  Load(*store, "PC002", Output("01 03:00:00", {"C:\\A\\tool.exe - 0.5.0.0", "C:\\b.exe - 1.0.0.0"}));
  Load(*store, "PC002", Output("08 03:00:00", {"C:\\A\\tool.exe - 2.0.0.0", "C:\\B\\TOOL.EXE - 2.0.0.0",
                                               "C:\\b.exe - 1.0.0.0"}));
  Load(*store, "PC003", Output("02 03:00:00", {"C:\\C\\tool.exe - <none>", "C:\\b.exe - 1.0.0.0"}));
  Load(*store, "PC004", Output("02 03:00:00", {"C:\\a.exe - 3.0.0.0", "C:\\b.exe - 1.0.0.0"}, false));
  // A late file: PC005's history is worked out again.
  Load(*store, "PC005", Output("09 03:00:00", {"C:\\z.exe - 1.0.0.0"}));
  Load(*store, "PC005", Output("02 03:00:00", {"C:\\z.exe - 0.9.0.0"}));

  const auto programs = [](Store& s) {
    std::ostringstream out;
    PrintPrograms(s, 3, Format::kCsv, out);
    return out.str();
  };
  const std::string answer = programs(*store);
  EXPECT_EQ(answer,
            "name,machines,version,version_machines\r\n"
            "b.exe,3,1.0.0.0,3\r\n"
            "tool.exe,3,2.0.0.0,2\r\n"
            "tool.exe,3,1.0.0.0,1\r\n"
            "tool.exe,3,<none>,1\r\n"
            "a.exe,1,3.0.0.0,1\r\n");

  // Every name and version against the machines `find` lists for them.
  std::vector<ProgramRow> rows;
  store->Programs(100, [&](const ProgramRow& row) { rows.push_back(row); });
  ASSERT_EQ(rows.size(), 7u);
  for (const ProgramRow& row : rows) {
    FindQuery by_name;
    by_name.name.emplace(row.name);
    std::set<std::string> holding, at_version;
    store->Find(by_name, [&](const FindRow& found) {
      holding.insert(found.machine);
      if (found.version == row.version) at_version.insert(found.machine);
    });
    EXPECT_EQ(row.machines, static_cast<std::int64_t>(holding.size())) << row.name;
    EXPECT_EQ(row.version_machines, static_cast<std::int64_t>(at_version.size()))
        << row.name << " " << row.version.ToString();
  }

  // On SQLite, the same answer without what the loads keep of each latest
  // scan, and with it damaged.
  for (const char* sql : {"UPDATE latest SET runs = x'ff'", "DELETE FROM latest"}) {
    if (GetParam() != "sqlite") break;
    store.reset();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((folder_ / "inventory.db").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    store = Open();
    EXPECT_EQ(programs(*store), answer) << sql;
  }

  std::size_t none = 0;
  store->Programs(0, [&](const ProgramRow&) { ++none; });
  EXPECT_EQ(none, 0u);
  std::unique_ptr<Store> empty = Open("empty.db");
  empty->Programs(25, [&](const ProgramRow&) { ++none; });
  EXPECT_EQ(none, 0u);
}

TEST_P(StoreTest, AnyOrderOfLoadingGivesTheSameAnswers) {
  const auto fleet = Fleet();
  std::unique_ptr<Store> in_order = Open("in_order.db");
  for (const auto& [machine, text] : fleet) Load(*in_order, machine, text);
  const std::string expected = All(*in_order);

  std::vector<std::size_t> order(fleet.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::reverse(order.begin(), order.end());
  for (int round = 0; round < 6; ++round) {
    std::unique_ptr<Store> store = Open("order" + std::to_string(round) + ".db");
    for (std::size_t k : order) Load(*store, fleet[k].first, fleet[k].second);
    EXPECT_EQ(All(*store), expected) << "round " << round;
    std::next_permutation(order.begin(), order.end());
    std::rotate(order.begin(), order.begin() + 2, order.end());
  }
}

TEST_P(StoreTest, AnUnfinishedRunIsReplacedByItsFinishedCopy) {
  const std::string finished =
      Output("08 02:00:00", {"C:\\a.exe - 1.0.0.0", "C:\\b.exe - 1.0.0.0", "C:\\c.exe - 1.0.0.0"});
  // The share was read while the run was being written.
  const std::string early = finished.substr(0, finished.find("C:\\b.exe") + 5);
  const std::string later = finished.substr(0, finished.find("C:\\c.exe"));
  const std::string before = Output("01 02:00:00", {"C:\\a.exe - 0.9.0.0", "C:\\old.exe - 1.0.0.0"});

  std::unique_ptr<Store> reference = Open("reference.db");
  Load(*reference, "PC1", before);
  Load(*reference, "PC1", finished);
  const std::string expected = All(*reference);

  const std::vector<std::vector<std::string>> orders = {
      {before, early, later, finished},
      {finished, later, early, before},
      {early, before, finished, later},
  };
  for (std::size_t k = 0; k < orders.size(); ++k) {
    std::unique_ptr<Store> store = Open("copies" + std::to_string(k) + ".db");
    for (const std::string& text : orders[k]) {
      const LoadStatus status = Load(*store, "PC1", text);
      EXPECT_NE(status, LoadStatus::kConflict);
    }
    EXPECT_EQ(All(*store), expected) << "order " << k;
  }

  std::unique_ptr<Store> store = Open();
  EXPECT_EQ(Load(*store, "PC1", later), LoadStatus::kLoaded);
  // The unfinished copy proves presence only: old.exe stays.
  EXPECT_EQ(Load(*store, "PC1", before), LoadStatus::kLoaded);
  EXPECT_EQ(Find(*store),
            "machine,path,version,since\r\n"
            "PC1,C:\\a.exe,1.0.0.0,2026-12-08 02:00:00\r\n"
            "PC1,C:\\b.exe,1.0.0.0,2026-12-08 02:00:00\r\n"
            "PC1,C:\\old.exe,1.0.0.0,2026-12-01 02:00:00\r\n");
  EXPECT_EQ(Load(*store, "PC1", finished), LoadStatus::kReplaced);
  EXPECT_EQ(Load(*store, "PC1", early), LoadStatus::kKeptStored);
  EXPECT_EQ(Load(*store, "PC1", finished), LoadStatus::kAlreadyLoaded);
  EXPECT_EQ(Find(*store),
            "machine,path,version,since\r\n"
            "PC1,C:\\a.exe,1.0.0.0,2026-12-08 02:00:00\r\n"
            "PC1,C:\\b.exe,1.0.0.0,2026-12-08 02:00:00\r\n"
            "PC1,C:\\c.exe,1.0.0.0,2026-12-08 02:00:00\r\n");
  EXPECT_EQ(Machines(*store, "2026-12-09"),
            "machine,last_started,last_completed,status,files,errors\r\n"
            "PC1,2026-12-08 02:00:00,2026-12-08 02:00:00,ok,3,0\r\n");
}

TEST_P(StoreTest, AFinishedRunIsNeverReplaced) {
  std::unique_ptr<Store> store = Open();
  const std::string first = Output("08 02:00:00", {"C:\\a.exe - 1.0.0.0"});
  EXPECT_EQ(Load(*store, "PC1", first), LoadStatus::kLoaded);
  const std::string answers = All(*store);
  EXPECT_EQ(Load(*store, "pc1", Output("08 02:00:00", {"C:\\a.exe - 2.0.0.0"})), LoadStatus::kConflict);
  EXPECT_EQ(Load(*store, "PC1", first, "copy.txt"), LoadStatus::kAlreadyLoaded);
  EXPECT_EQ(All(*store), answers);
}

TEST_P(StoreTest, Utf16WithCrLfAndUtf8WithLfStoreTheSame) {
  const std::string utf8 = Output("08 02:00:00", {"D:\\Gr\xC3\xBC\xC3\x9F" "e\\a.exe - 1.0.0.0",
                                               "D:\\b\xEF\x80\x8A.exe - <none>"});
  std::string utf16 = "\xFF\xFE";
  for (const char c : utf8) {
    // Every character here is ASCII or a two- or three-byte UTF-8 sequence;
    // build the UTF-16 from the code points.
    (void)c;
  }
  std::size_t pos = 0;
  while (pos < utf8.size()) {
    const unsigned char b = static_cast<unsigned char>(utf8[pos]);
    char32_t cp = b;
    int n = 1;
    if (b >= 0xE0) n = 3, cp = b & 0x0F;
    else if (b >= 0xC0) n = 2, cp = b & 0x1F;
    for (int i = 1; i < n; ++i) cp = (cp << 6) | (static_cast<unsigned char>(utf8[pos + i]) & 0x3F);
    pos += static_cast<std::size_t>(n);
    if (cp == '\n') utf16 += std::string("\r\0", 2);
    utf16.push_back(static_cast<char>(cp & 0xFF));
    utf16.push_back(static_cast<char>(cp >> 8));
  }
  std::unique_ptr<Store> a = Open("utf8.db");
  std::unique_ptr<Store> b = Open("utf16.db");
  EXPECT_EQ(Load(*a, "PC1", utf8), LoadStatus::kLoaded);
  EXPECT_EQ(Load(*b, "PC1", utf16), LoadStatus::kLoaded);
  EXPECT_EQ(All(*a), All(*b));
  EXPECT_NE(Find(*a).find("D:\\Gr\xC3\xBC\xC3\x9F" "e\\a.exe"), std::string::npos);
  // In one database the two are copies of one finished run with other bytes.
  EXPECT_EQ(Load(*a, "PC1", utf16), LoadStatus::kConflict);
}

TEST_P(StoreTest, ADriveThatWasNotWalkedKeepsItsEntries) {
  std::unique_ptr<Store> store = Open();
  Load(*store, "PC1", Output("01 02:00:00", {"D:\\a.exe - 1.0.0.0", "E:\\b.exe - 1.0.0.0",
                                          "E:\\sub\\c.exe - 1.0.0.0", "D:\\Damaged.exe - 3.0.0.0"}));
  Load(*store, "PC1", Output("08 02:00:00", {"D:\\a.exe - 1.0.0.0", "E:\\sub\\c.exe - 2.0.0.0",
                                          "# ERROR: Scanning drive e:\\",
                                          "\n# ERROR: Exception in GetFileVersion() D:\\damaged.EXE"}));
  EXPECT_EQ(Find(*store),
            "machine,path,version,since\r\n"
            "PC1,D:\\Damaged.exe,3.0.0.0,2026-12-01 02:00:00\r\n"
            "PC1,D:\\a.exe,1.0.0.0,2026-12-01 02:00:00\r\n"
            "PC1,E:\\b.exe,1.0.0.0,2026-12-01 02:00:00\r\n"
            "PC1,E:\\sub\\c.exe,2.0.0.0,2026-12-08 02:00:00\r\n");
}

// Patterns that need escaping in SQL, one character that is two bytes, and
// a path longer than any index entry may be.
TEST_P(StoreTest, PatternsAndLongPaths) {
  std::unique_ptr<Store> store = Open();
  const std::string long_path = "D:\\" + std::string(5000, 'x') + "\\" + std::string(3000, 'n') + ".exe";
  EXPECT_EQ(Load(*store, "PC1",
                 Output("01 02:00:00", {"D:\\100%\\a_b.exe - 1.0.0.0", "D:\\100x\\axb.exe - 1.0.0.0",
                                        "D:\\\xC3\x84pp.exe - 2.0.0.0", "D:\\App.exe - 3.0.0.0",
                                        long_path + " - 4.0.0.0"})),
            LoadStatus::kLoaded);
  const auto names = [&](const char* name, const char* path) {
    FindQuery q;
    if (name != nullptr) q.name.emplace(name);
    if (path != nullptr) q.path.emplace(path);
    std::ostringstream out;
    store->Find(q, [&](const FindRow& row) { out << row.path.substr(0, 40) << '|'; });
    return out.str();
  };
  EXPECT_EQ(names("A_B.EXE", nullptr), "D:\\100%\\a_b.exe|");
  EXPECT_EQ(names("a_b*", nullptr), "D:\\100%\\a_b.exe|");
  EXPECT_EQ(names("a?b.exe", nullptr), "D:\\100%\\a_b.exe|D:\\100x\\axb.exe|");
  EXPECT_EQ(names(nullptr, "d:\\100%\\*"), "D:\\100%\\a_b.exe|");
  EXPECT_EQ(names("\xC3\xA4pp.exe", nullptr), "D:\\\xC3\x84pp.exe|");
  EXPECT_EQ(names("?pp.exe", nullptr), "D:\\App.exe|D:\\\xC3\x84pp.exe|");
  EXPECT_EQ(names(std::string(3000, 'N').append(".EXE").c_str(), nullptr),
            long_path.substr(0, 40) + "|");
  EXPECT_EQ(names("n*", "d:\\x*"), long_path.substr(0, 40) + "|");
  // A pattern longer than SQLite's LIKE takes: the same answer on both stores.
  std::string wild = "d:\\" + std::string(5000, 'x') + "\\";
  for (int k = 0; k < 3000; ++k) wild += "?";
  wild += ".exe";
  for (int k = 0; k < 30000; ++k) wild += "*";
  EXPECT_EQ(names(nullptr, (wild + "%_").c_str()), "");
  EXPECT_EQ(names(nullptr, wild.c_str()), long_path.substr(0, 40) + "|");
}

// Pooled desktops cloned from one image write byte-identical files: each
// is its own machine's scan, and only the same machine's bytes are known.
TEST_P(StoreTest, IdenticalBytesUnderAnotherNameAreThatMachinesScan) {
  std::unique_ptr<Store> store = Open();
  const std::string bytes = Output("07 02:00:00", {"C:\\Tools\\putty.exe - 0.79.0.0"});
  for (const char* machine : {"VDI001", "VDI002", "VDI003"}) {
    EXPECT_EQ(Load(*store, machine, bytes, std::string(machine) + ".txt"), LoadStatus::kLoaded) << machine;
  }
  std::variant<Scan, Refusal> read = ReadScan(bytes);
  const LoadResult again =
      LoadAlone(*store, ScanFile{"vdi002", "again.txt", Sha256(bytes), &std::get<Scan>(read), {}});
  EXPECT_EQ(again.status, LoadStatus::kAlreadyLoaded);
  EXPECT_EQ(again.machine + " " + again.stored_file, "VDI002 VDI002.txt");
  EXPECT_EQ(Find(*store),
            "machine,path,version,since\r\n"
            "VDI001,C:\\Tools\\putty.exe,0.79.0.0,2026-12-07 02:00:00\r\n"
            "VDI002,C:\\Tools\\putty.exe,0.79.0.0,2026-12-07 02:00:00\r\n"
            "VDI003,C:\\Tools\\putty.exe,0.79.0.0,2026-12-07 02:00:00\r\n");
}

// A scan taken out leaves the answers of a load that never had it, on
// both stores: each of a machine's scans in turn (its first, a late one,
// its latest, an unfinished one, one that shielded a folder), then a
// machine whole.
TEST_P(StoreTest, ForgetLeavesTheAnswersOfALoadWithout) {
  const auto fleet = Fleet();
  for (std::size_t gone = 0; gone < 4; ++gone) {  // PC001's four scans
    std::unique_ptr<Store> without = Open("without" + std::to_string(gone) + ".db");
    std::unique_ptr<Store> forgot = Open("forgot" + std::to_string(gone) + ".db");
    for (std::size_t k = 0; k < fleet.size(); ++k) {
      if (k != gone) Load(*without, fleet[k].first, fleet[k].second);
      Load(*forgot, fleet[k].first, fleet[k].second);
    }
    const Time start = std::get<Scan>(ReadScan(fleet[gone].second)).started;
    const ForgetResult result = Forget(*forgot, "pc001", start);
    EXPECT_EQ(result.machine, "PC001");
    ASSERT_EQ(result.scans.size(), 1u);
    EXPECT_EQ(result.scans[0].started, start);
    EXPECT_FALSE(result.machine_removed);
    EXPECT_EQ(All(*forgot), All(*without)) << "without scan " << gone;
    // The next load builds on what is left, as it would have.
    const std::string next = Output("20 02:00:00", {"C:\\Tools\\putty.exe - 0.82.0.0"});
    Load(*without, "PC001", next);
    Load(*forgot, "PC001", next);
    EXPECT_EQ(All(*forgot), All(*without)) << "without scan " << gone << ", then another";
  }

  std::unique_ptr<Store> store = Open();
  std::unique_ptr<Store> without = Open("without_pc002.db");
  for (const auto& [machine, text] : fleet) {
    Load(*store, machine, text);
    if (machine != "pc002" && machine != "PC002") Load(*without, machine, text);
  }
  EXPECT_TRUE(Forget(*store, "PC9", std::nullopt).machine.empty());
  EXPECT_TRUE(Forget(*store, "PC002", *ParseTimeArgument("2026-12-05")).scans.empty());
  const ForgetResult whole = Forget(*store, "Pc002", std::nullopt);
  EXPECT_TRUE(whole.machine_removed);
  EXPECT_EQ(whole.scans.size(), 2u);
  EXPECT_EQ(All(*store), All(*without));
  // Its bytes are no longer known: loaded again, they are stored again.
  EXPECT_EQ(Load(*store, "PC002", fleet[4].second), LoadStatus::kLoaded);
  // A machine's only scan taken out takes the machine with it.
  const ForgetResult last = Forget(*store, "PC003", std::get<Scan>(ReadScan(fleet[6].second)).started);
  EXPECT_TRUE(last.machine_removed);
  EXPECT_EQ(Machines(*store).find("PC003"), std::string::npos);
}

// A reader sees one state of the database for as long as it is open,
// however many loads commit meanwhile, and can't write.
TEST_P(StoreTest, AReaderReadsOneSnapshotAndCannotWrite) {
  const std::string where = Where("snapshot.db");
  std::unique_ptr<Store> writer = OpenStore(where, Access::kWrite);
  Load(*writer, "PC1", Output("01 02:00:00", {"C:\\a.exe - 1.0.0.0"}));
  std::unique_ptr<Store> reader = OpenStore(where, Access::kRead);
  const std::string before = All(*reader);
  Load(*writer, "PC1", Output("08 02:00:00", {"C:\\a.exe - 2.0.0.0"}));
  Load(*writer, "PC2", Output("08 03:00:00", {"C:\\b.exe - 1.0.0.0"}));
  EXPECT_EQ(All(*reader), before);
  EXPECT_NE(All(*writer), before);
  EXPECT_THROW(Load(*reader, "PC3", Output("09 02:00:00", {"C:\\c.exe - 1.0.0.0"})), StoreError);
  EXPECT_THROW(Forget(*reader, "PC1", std::nullopt), StoreError);
  EXPECT_EQ(All(*OpenStore(where, Access::kRead)), All(*writer));
}

// Case as Windows ignores it, by Unicode's simple folding, in the keys both
// stores keep and in every pattern: ǆ1, ǅ1 and Ǆ1 are one machine, shown as
// Ǆ1 whichever file came first; the Kelvin sign is a k.
TEST_P(StoreTest, CaseAsWindowsIgnoresIt) {
  std::unique_ptr<Store> store = Open();
  Load(*store, "\xC7\x86" "1", Output("01 02:00:00", {"D:\\\xE2\x84\xAA.exe - 1.0.0.0"}), "a.txt");
  Load(*store, "\xC7\x84" "1", Output("02 02:00:00", {"D:\\\xE2\x84\xAA.exe - 2.0.0.0"}), "b.txt");
  Load(*store, "\xC7\x85" "1", Output("03 02:00:00", {"D:\\K.exe - 3.0.0.0",
                                                         "D:\\\xEA\xAD\xB0x.exe - 1.0.0.0"}), "c.txt");
  Load(*store, "\xE1\x83\x90", Output("01 02:00:00", {"D:\\\xD4\xB1.exe - 1.0.0.0"}), "d.txt");
  Load(*store, "\xE1\xB2\x90", Output("02 02:00:00", {"D:\\\xD4\xB1.exe - 2.0.0.0"}), "e.txt");
  EXPECT_EQ(Machines(*store, "2026-12-04"),
            "machine,last_started,last_completed,status,files,errors\r\n"
            "\xC7\x84" "1,2026-12-03 02:00:00,2026-12-03 02:00:00,ok,2,0\r\n"
            "\xE1\xB2\x90,2026-12-02 02:00:00,2026-12-02 02:00:00,ok,1,0\r\n");
  const auto found = [&](const char* machine, const char* name, const char* path) {
    FindQuery q;
    if (machine != nullptr) q.machine.emplace(machine);
    if (name != nullptr) q.name.emplace(name);
    if (path != nullptr) q.path.emplace(path);
    std::ostringstream out;
    store->Find(q, [&](const FindRow& row) { out << row.machine << ' ' << row.path << '|'; });
    return out.str();
  };
  const std::string k = "\xC7\x84" "1 D:\\K.exe|";
  const std::string cherokee = "\xC7\x84" "1 D:\\\xEA\xAD\xB0x.exe|";
  EXPECT_EQ(found("\xC7\x86" "1", nullptr, nullptr), k + cherokee);
  EXPECT_EQ(found("\xC7\x86*", nullptr, nullptr), k + cherokee);     // a range, then LIKE
  EXPECT_EQ(found("?1", "k.exe", nullptr), k);
  EXPECT_EQ(found(nullptr, "\xE2\x84\xAA.EXE", nullptr), k);
  EXPECT_EQ(found(nullptr, nullptr, "d:\\?.exe"), k + "\xE1\xB2\x90 D:\\\xD4\xB1.exe|");
  EXPECT_EQ(found(nullptr, "\xE1\x8E\xA0*", nullptr), cherokee);      // Ꭰ* finds ꭰx.exe
  EXPECT_EQ(found("\xE1\x83\x90", "\xD5\xA1.exe", nullptr), "\xE1\xB2\x90 D:\\\xD4\xB1.exe|");
  EXPECT_EQ(found("i*", nullptr, nullptr), "");
}

// The previous schema, made from a database of this one: the SHA-256 alone
// unique, and machines renamed as that vurfleet kept them (its case rule
// left many letters alone).
void Downgrade(const std::string& where, bool sqlite,
               const std::vector<std::pair<std::string, std::string>>& renames) {
  std::string sql;
  for (const auto& [from, to] : renames) {
    sql += "UPDATE machines SET name = '" + to + "', name_key = '" + to + "' WHERE name = '" + from + "';";
  }
  if (sqlite) {
    sql += R"sql(
DROP INDEX scans_by_sha256;
CREATE TABLE scans_1 (id INTEGER PRIMARY KEY, machine_id INTEGER NOT NULL REFERENCES machines (id),
  started INTEGER NOT NULL, completed INTEGER, sha256 BLOB NOT NULL UNIQUE, file TEXT NOT NULL,
  report_lines INTEGER NOT NULL, error_lines INTEGER NOT NULL, loaded INTEGER NOT NULL,
  UNIQUE (machine_id, started));
INSERT INTO scans_1 SELECT * FROM scans;
DROP TABLE scans;
ALTER TABLE scans_1 RENAME TO scans;
PRAGMA user_version = 1;)sql";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(where.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  } else {
    sql += "DROP INDEX scans_by_sha256; ALTER TABLE scans ADD CONSTRAINT scans_sha256_key UNIQUE (sha256);"
           "DROP TABLE latest;"
           "UPDATE vurfleet_schema SET version = 1;";
    pg::Connection(where).Run(sql);
  }
}

std::string OpenError(const std::string& where, Access access) {
  try {
    OpenStore(where, access);
  } catch (const StoreError& e) {
    return e.what();
  }
  return "opened";
}

// A database of the previous schema: a reader is told to wait for the next
// load, which upgrades it in place; then a clone's bytes are its own, and
// a machine's name is kept as this vurfleet keeps it.
TEST_P(StoreTest, TheSchemaBeforeIsUpgradedInPlace) {
  const std::string where = Where("old.db");
  const std::string bytes = Output("01 02:00:00", {"C:\\a.exe - 1.0.0.0"});
  {
    std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
    Load(*store, "PCA", bytes);
    Load(*store, "PCB", Output("02 02:00:00", {"C:\\b.exe - 1.0.0.0"}));
  }
  Downgrade(where, GetParam() == "sqlite", {{"PCA", "\xC7\x86" "1"}});  // ǆ1, as it was kept
  EXPECT_NE(OpenError(where, Access::kRead)
                .find("an inventory of schema 1, made by an older vurfleet; the next vurfleet load "
                      "upgrades it to schema 2"),
            std::string::npos);
  if (GetParam() == "sqlite") {
    // A table of the upgrade's own name left in the file: the upgrade says
    // what is in its way and changes nothing.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(where.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "CREATE TABLE scans_2 (x)", nullptr, nullptr, nullptr), SQLITE_OK);
    for (const Access access : {Access::kWrite, Access::kRead}) {
      EXPECT_NE(OpenError(where, access).find(": can't upgrade this inventory to schema 2: the file holds "
                                              "a table scans_2 that no vurfleet made"),
                std::string::npos);
    }
    EXPECT_EQ(sqlite3_exec(db, "DROP TABLE scans_2", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
  EXPECT_EQ(store->Upgraded(), std::vector<std::string>{store->Description() + ": upgraded to schema 2"});
  EXPECT_EQ(Machines(*store, "2026-12-03"),
            "machine,last_started,last_completed,status,files,errors\r\n"
            "PCB,2026-12-02 02:00:00,2026-12-02 02:00:00,ok,1,0\r\n"
            "\xC7\x84" "1,2026-12-01 02:00:00,2026-12-01 02:00:00,ok,1,0\r\n");
  EXPECT_EQ(Load(*store, "\xC7\x85" "1", bytes), LoadStatus::kAlreadyLoaded);
  EXPECT_EQ(Load(*store, "PCC", bytes), LoadStatus::kLoaded);
  FindQuery q;
  q.machine.emplace("\xC7\x86*");
  EXPECT_EQ(Find(*store, q), "machine,path,version,since\r\n\xC7\x84" "1,C:\\a.exe,1.0.0.0,2026-12-01 02:00:00\r\n");
  EXPECT_EQ(OpenError(where, Access::kRead), "opened");
}

// Two machines the previous schema kept apart that are one name now (ǆ1
// and Ǆ1): readers say the next load merges them; the upgrade, by a load
// or by forget, merges them in one history, says so, and answers as a clean
// load of the same files. Of their two copies of one run the finished one
// stands, and the late and unfinished scans are worked out in place.
TEST_P(StoreTest, TwoMachinesThatAreNowOneNameAreMerged) {
  const std::string lower = "\xC7\x86" "1", upper = "\xC7\x84" "1";
  const std::vector<std::pair<const char*, std::string>> files = {
      {"PCA", Output("01 02:00:00", {"C:\\a.exe - 1.0.0.0", "C:\\k.exe - 1.0.0.0"})},
      {"PCB", Output("02 02:00:00", {"C:\\a.exe - 1.5.0.0", "C:\\b.exe - 1.0.0.0"})},
      {"PCA", Output("03 02:00:00", {"C:\\a.exe - 2.0.0.0", "C:\\b.exe - 1.0.0.0"})},
      {"PCB", Output("03 02:00:00", {"C:\\a.exe - 2.0.0.0"}, false)},
      {"PCB", Output("04 02:00:00", {"C:\\c.exe - 1.0.0.0"}, false)},
      {"PCC", Output("04 02:00:00", {"C:\\c.exe - 1.0.0.0"})},
  };
  for (const bool by_forget : {false, true}) {
    SCOPED_TRACE(by_forget ? "forget" : "load");
    std::unique_ptr<Store> clean = Open(by_forget ? "clean-forget.db" : "clean-load.db");
    for (const auto& [machine, bytes] : files) {
      Load(*clean, std::string(machine) == "PCC" ? "PCC" : upper, bytes, "f" + std::string(machine) + ".txt");
    }
    const std::string where = Where(by_forget ? "old-forget.db" : "old-load.db");
    {
      std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
      for (const auto& [machine, bytes] : files) Load(*store, machine, bytes, "f" + std::string(machine) + ".txt");
    }
    Downgrade(where, GetParam() == "sqlite", {{"PCA", lower}, {"PCB", upper}});
    const std::string refused = OpenError(where, Access::kRead);
    EXPECT_NE(refused.find("the next vurfleet load upgrades it to schema 2 and merges the machines " + upper +
                           " and " + lower + " into " + upper),
              std::string::npos)
        << refused;
    std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
    ASSERT_EQ(store->Upgraded().size(), 2u);
    EXPECT_NE(store->Upgraded()[0].find(": upgraded to schema 2: merged the machines " + upper + " and " + lower +
                                        " (4 scans) into " + upper),
              std::string::npos)
        << store->Upgraded()[0];
    EXPECT_NE(store->Upgraded()[1].find("held two copies of the scan started 2026-12-03 02:00:00: the one from "
                                        "fPCA.txt stands, the one from fPCB.txt is dropped"),
              std::string::npos)
        << store->Upgraded()[1];
    if (by_forget) {
      const Time started = std::get<Scan>(ReadScan(files[4].second)).started;
      EXPECT_EQ(Forget(*store, lower, started).scans.size(), 1u);
      EXPECT_EQ(Forget(*clean, upper, started).scans.size(), 1u);
    }
    EXPECT_EQ(All(*store), All(*clean));
    // The next load appends to the merged history as to any.
    const std::string next = Output("05 02:00:00", {"C:\\a.exe - 3.0.0.0"});
    EXPECT_EQ(Load(*store, lower, next), LoadStatus::kLoaded);
    EXPECT_EQ(Load(*clean, upper, next), LoadStatus::kLoaded);
    EXPECT_EQ(All(*store), All(*clean));
    EXPECT_TRUE(OpenStore(where, Access::kWrite)->Upgraded().empty());
  }
}

// A load that fails after it added paths and versions leaves no id of
// theirs behind: the next load through the same store stores its lines
// with ids that exist.
TEST_P(StoreTest, AFailedLoadLeavesNoIdsBehind) {
  const std::string where = Where("failed.db");
  std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
  // The database refuses one file's scan row, after its lines were interned.
  if (GetParam() == "sqlite") {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(where.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "CREATE TRIGGER refuse BEFORE INSERT ON scans WHEN NEW.file = 'fail.txt' "
                               "BEGIN SELECT RAISE(ABORT, 'refused by the test'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  } else {
    pg::Connection(where).Run(
        "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "IF NEW.file = 'fail.txt' THEN RAISE EXCEPTION 'refused by the test'; END IF; "
        "RETURN NEW; END $$; "
        "CREATE TRIGGER refuse BEFORE INSERT ON scans FOR EACH ROW EXECUTE FUNCTION refuse()");
  }
  Load(*store, "PC1", Output("01 02:00:00", {"C:\\old.exe - 1.0.0.0"}));
  const std::string scan = Output("08 02:00:00", {"C:\\new.exe - 7.7.7.7", "C:\\old.exe - 1.0.0.0"});
  EXPECT_THROW(Load(*store, "PC1", scan, "fail.txt"), StoreError);
  EXPECT_EQ(Load(*store, "PC1", scan, "ok.txt"), LoadStatus::kLoaded);
  EXPECT_EQ(Find(*store),
            "machine,path,version,since\r\n"
            "PC1,C:\\new.exe,7.7.7.7,2026-12-08 02:00:00\r\n"
            "PC1,C:\\old.exe,1.0.0.0,2026-12-01 02:00:00\r\n");
  // A second machine with the same lines finds the ids the first stored.
  EXPECT_EQ(Load(*store, "PC2", Output("09 02:00:00", {"C:\\new.exe - 7.7.7.7"})), LoadStatus::kLoaded);
  EXPECT_EQ(Find(*store, [] { FindQuery q; q.name.emplace("new.exe"); return q; }()),
            "machine,path,version,since\r\n"
            "PC1,C:\\new.exe,7.7.7.7,2026-12-08 02:00:00\r\n"
            "PC2,C:\\new.exe,7.7.7.7,2026-12-09 02:00:00\r\n");
}

// More versions in one scan than a store keeps ids of in memory.
TEST_P(StoreTest, MoreVersionsThanTheIdCacheHolds) {
  std::unique_ptr<Store> store = Open();
  std::vector<std::string> lines;
  constexpr int kLines = 70000;
  for (int k = 0; k < kLines; ++k) {
    lines.push_back("C:\\f" + std::to_string(k) + ".exe - 1." + std::to_string(k / 1000) + "." +
                    std::to_string(k % 1000) + ".0");
  }
  ASSERT_EQ(Load(*store, "PC1", Output("01 02:00:00", lines)), LoadStatus::kLoaded);
  lines[69999] = "C:\\f69999.exe - 2.0.0.0";
  ASSERT_EQ(Load(*store, "PC2", Output("02 02:00:00", lines)), LoadStatus::kLoaded);
  FindQuery q;
  q.name.emplace("f69999.exe");
  EXPECT_EQ(Find(*store, q),
            "machine,path,version,since\r\n"
            "PC1,C:\\f69999.exe,1.69.999.0,2026-12-01 02:00:00\r\n"
            "PC2,C:\\f69999.exe,2.0.0.0,2026-12-02 02:00:00\r\n");
  EXPECT_NE(Machines(*store).find("PC2,2026-12-02 02:00:00,2026-12-02 02:00:00,stale,70000,0"),
            std::string::npos);
}

TEST_P(StoreTest, WhatIsNoInventoryIsNotOpened) {
  if (GetParam() == "postgres") {
    const auto refused = [](const std::string& where, bool create) {
      try {
        OpenStore(where, create ? Access::kWrite : Access::kRead);
      } catch (const StoreError& e) {
        return std::string(e.what());
      }
      return std::string("opened");
    };
    // A query on a database without the inventory makes nothing.
    const std::string empty = Where("empty");
    EXPECT_NE(refused(empty, false).find("no inventory in this database"), std::string::npos);
    EXPECT_TRUE(pg::Connection(empty).Exec("SELECT to_regclass('vurfleet_schema') IS NULL").Bool(0, 0));

    const std::string other = Where("other");
    pg::Connection(other).Run("CREATE TABLE machines (x integer)");
    EXPECT_NE(refused(other, true).find("not an inventory"), std::string::npos);

    const std::string newer = Where("newer");
    Load(*OpenStore(newer, Access::kWrite), "PC1", Output("01 02:00:00", {"C:\\a.exe - 1.0.0.0"}));
    pg::Connection(newer).Run("UPDATE vurfleet_schema SET version = 99, written_by = '9.9.0.0'");
    EXPECT_NE(refused(newer, false).find("schema 99, made by a newer vurfleet (9.9.0.0); this one (" +
                                         std::string(VUR_VERSION_TEXT) + ") knows schema 2"),
              std::string::npos);

    // Text that is not UTF-8 could not be stored as it was read.
    const std::string server = PostgresServer();
    pg::Connection admin(server + " dbname=postgres");
    admin.Run("DROP DATABASE IF EXISTS vf_latin1");
    admin.Run("CREATE DATABASE vf_latin1 ENCODING 'LATIN1' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0");
    EXPECT_NE(refused(server + " dbname=vf_latin1", true).find("encoding is LATIN1"), std::string::npos);

    // A database that is not there: one line naming it, without the password.
    const std::string why = refused(server + " dbname=vf_missing password=hunter2", false);
    EXPECT_NE(why.find("/vf_missing: can't connect: "), std::string::npos) << why;
    EXPECT_EQ(why.find("hunter2"), std::string::npos) << why;
    EXPECT_EQ(why.find('\n'), std::string::npos) << why;
    return;
  }
  const std::string missing = (folder_ / "missing.db").string();
  EXPECT_THROW(OpenStore(missing, Access::kRead), StoreError);
  EXPECT_FALSE(fs::exists(missing));

  const std::string other = (folder_ / "other.db").string();
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE t (x)", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  try {
    OpenStore(other, Access::kWrite);
    ADD_FAILURE() << "opened a database of something else";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("not an inventory"), std::string::npos) << e.what();
  }

  const std::string newer = (folder_ / "newer.db").string();
  Open("newer.db");
  ASSERT_EQ(sqlite3_open(newer.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "PRAGMA user_version = 99; UPDATE written_by SET version = '9.9.0.0'", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  try {
    OpenStore(newer, Access::kRead);
    ADD_FAILURE() << "opened a newer schema";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("newer vurfleet (9.9.0.0); this one (" + std::string(VUR_VERSION_TEXT) +
                                         ") knows schema 2"),
              std::string::npos)
        << e.what();
  }

  const std::string text = (folder_ / "text.db").string();
  { std::ofstream(text) << "not a database at all, just some text that is long enough\n"; }
  EXPECT_THROW(OpenStore(text, Access::kRead), StoreError);
}

}  // namespace
}  // namespace vurfleet
