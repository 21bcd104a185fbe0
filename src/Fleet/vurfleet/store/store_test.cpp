// The store suite, loading: what both stores answer after loads in any
// order, with copies, conflicts, forget, failures and schema upgrades
// (the fixture: store_test.h).
#include "store/store_test.h"

#include "check/check.h"
#include "run/version.h"
#include "store/stored.h"

namespace vurfleet::store_test {
namespace {

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values("sqlite", "postgres"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

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

// Runs `sql` on the database at `where`.
void RunSql(const std::string& where, bool sqlite, const std::string& sql) {
  if (!sqlite) return pg::Connection(where).Run(sql);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(where.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// The schema `to`, made from a database of this one. Before 5, no mixed
// holds; before 4, no last load; before 3, no names and no counts; before
// 2, the SHA-256 alone unique, and machines renamed as that vurfleet kept
// them (its case rule left many letters alone).
void Downgrade(const std::string& where, bool sqlite,
               const std::vector<std::pair<std::string, std::string>>& renames, int to = 1) {
  std::string sql = "DROP TABLE mixed_holds;";
  if (to == 4) {
    return RunSql(where, sqlite, sql + (sqlite ? "PRAGMA user_version = 4;" : "UPDATE vurfleet_schema SET version = 4;"));
  }
  sql += "DROP TABLE last_load;";
  if (to == 3) {
    return RunSql(where, sqlite, sql + (sqlite ? "PRAGMA user_version = 3;" : "UPDATE vurfleet_schema SET version = 3;"));
  }
  sql += "DROP TABLE counts; DROP TABLE holds; ALTER TABLE paths DROP COLUMN name_id; DROP TABLE names;";
  sql += sqlite ? "PRAGMA user_version = 2;" : "DROP TABLE count_changes; UPDATE vurfleet_schema SET version = 2;";
  if (to == 2) return RunSql(where, sqlite, sql);
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
  } else {
    sql += "DROP INDEX scans_by_sha256; ALTER TABLE scans ADD CONSTRAINT scans_sha256_key UNIQUE (sha256);"
           "DROP TABLE latest;"
           "UPDATE vurfleet_schema SET version = 1;";
  }
  RunSql(where, sqlite, sql);
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
                      "upgrades it to schema 5"),
            std::string::npos);
  if (GetParam() == "sqlite") {
    // A table of the upgrade's own name left in the file: the upgrade says
    // what is in its way and changes nothing.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(where.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "CREATE TABLE scans_2 (x)", nullptr, nullptr, nullptr), SQLITE_OK);
    for (const Access access : {Access::kWrite, Access::kRead}) {
      EXPECT_NE(OpenError(where, access).find(": can't upgrade this inventory to schema 5: the file holds "
                                              "a table scans_2 that no vurfleet made"),
                std::string::npos);
    }
    EXPECT_EQ(sqlite3_exec(db, "DROP TABLE scans_2", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
  EXPECT_EQ(store->Upgraded(), std::vector<std::string>{store->Description() + ": upgraded to schema 5"});
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

// An inventory of schema 2 has no counts, one of schema 4 no mixed holds:
// a reader is told to wait for the next load, which works them out once,
// as the loads would have kept them.
TEST_P(StoreTest, TheCountsAreWorkedOutOnceByTheUpgrade) {
  auto fleet = Fleet();
  fleet.insert(fleet.begin(), {"PC004", Output("04 02:00:00", {"C:\\a\\putty.exe - 0.80.0.0",
                                                              "C:\\b\\putty.exe - 0.81.0.0"})});
  std::unique_ptr<Store> reference = Open("reference.db");
  for (const auto& [machine, text] : fleet) Load(*reference, machine, text);
  for (const int from : {2, 4}) {
    SCOPED_TRACE(from);
    const std::string where = Where("old" + std::to_string(from) + ".db");
    {
      std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
      for (std::size_t k = 0; k + 1 < fleet.size(); ++k) Load(*store, fleet[k].first, fleet[k].second);
    }
    Downgrade(where, GetParam() == "sqlite", {}, from);
    EXPECT_NE(OpenError(where, Access::kRead)
                  .find("an inventory of schema " + std::to_string(from) +
                        ", made by an older vurfleet; the next vurfleet load upgrades it to schema 5"),
              std::string::npos);
    std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
    EXPECT_EQ(store->Upgraded(), std::vector<std::string>{store->Description() + ": upgraded to schema 5"});
    EXPECT_EQ(RunCheck(*store, false).found.faults(), 0);
    Load(*store, fleet.back().first, fleet.back().second);
    EXPECT_EQ(All(*store), All(*reference));
    EXPECT_EQ(store->MachinesBeyond("putty.exe", {}), 4);
  }
}

void Note(Store& store, const LoadFigures& figures) {
  store.BeginGroup({});
  store.NoteLoad(figures);
  store.CommitGroup();
}

// An inventory of schema 3 keeps no load's figures: a reader is told to
// wait for the next load, whose upgrade keeps the history as it was and
// whose figures replace any before.
TEST_P(StoreTest, TheLastLoadIsKeptFromTheUpgradeOn) {
  const auto fleet = Fleet();
  const std::string where = Where("three.db");
  {
    std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
    for (const auto& [machine, text] : fleet) Load(*store, machine, text);
    Note(*store, LoadFigures{1, 2, 3, 4});
  }
  const std::string before = All(*OpenStore(where, Access::kRead));
  Downgrade(where, GetParam() == "sqlite", {}, 3);
  EXPECT_NE(OpenError(where, Access::kRead)
                .find("an inventory of schema 3, made by an older vurfleet; the next vurfleet load "
                      "upgrades it to schema 5"),
            std::string::npos);
  std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
  EXPECT_EQ(store->Upgraded(), std::vector<std::string>{store->Description() + ": upgraded to schema 5"});
  EXPECT_EQ(All(*store), before);
  EXPECT_FALSE(store->LastLoad());
  for (const LoadFigures figures : {LoadFigures{5, 0, 7, 1796000000}, LoadFigures{0, 9, 0, 1796000100}}) {
    Note(*store, figures);
    const std::optional<LoadFigures> kept = OpenStore(where, Access::kRead)->LastLoad();
    ASSERT_TRUE(kept);
    EXPECT_EQ(std::vector<std::int64_t>({kept->stored, kept->already_loaded, kept->refused, kept->finished}),
              std::vector<std::int64_t>({figures.stored, figures.already_loaded, figures.refused, figures.finished}));
  }
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
    EXPECT_NE(refused.find("the next vurfleet load upgrades it to schema 5 and merges the machines " + upper +
                           " and " + lower + " into " + upper),
              std::string::npos)
        << refused;
    std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
    ASSERT_EQ(store->Upgraded().size(), 2u);
    EXPECT_NE(store->Upgraded()[0].find(": upgraded to schema 5: merged the machines " + upper + " and " + lower +
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

// The database at `where` refuses each row of `table` that `condition`
// (SQL on NEW's columns, which both stores read alike) holds for.
void Refuse(const std::string& where, bool sqlite, const std::string& table, const std::string& condition) {
  if (sqlite) {
    return RunSql(where, true, "CREATE TRIGGER refuse BEFORE INSERT ON " + table + " WHEN " + condition +
                                   " BEGIN SELECT RAISE(ABORT, 'refused by the test'); END");
  }
  RunSql(where, false,
         "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF " + condition +
             " THEN RAISE EXCEPTION 'refused by the test'; END IF; RETURN NEW; END $$; "
             "CREATE TRIGGER refuse BEFORE INSERT ON " + table + " FOR EACH ROW EXECUTE FUNCTION refuse()");
}

// A load that fails after it added paths and versions leaves no id of
// theirs behind: the next load through the same store stores its lines
// with ids that exist.
TEST_P(StoreTest, AFailedLoadLeavesNoIdsBehind) {
  const std::string where = Where("failed.db");
  std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
  // The database refuses one file's scan row, after its lines were interned.
  Refuse(where, GetParam() == "sqlite", "scans", "NEW.file = 'fail.txt'");
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

// The database refuses a file's intervals, which PostgreSQL is sent without
// waiting: the load fails, nothing of the file stays, the next one stores.
TEST_P(StoreTest, AFileWhoseIntervalsAreRefusedIsNotStored) {
  const std::string where = Where("refused.db");
  std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
  Refuse(where, GetParam() == "sqlite", "intervals", "(SELECT name FROM machines WHERE id = NEW.machine_id) = 'PC2'");
  const std::string scan = Output("08 02:00:00", {"C:\\new.exe - 7.7.7.7"});
  EXPECT_EQ(Load(*store, "PC1", scan), LoadStatus::kLoaded);
  EXPECT_THROW(Load(*store, "PC2", scan), StoreError);
  EXPECT_EQ(Load(*store, "PC3", scan), LoadStatus::kLoaded);
  EXPECT_EQ(Find(*store),
            "machine,path,version,since\r\n"
            "PC1,C:\\new.exe,7.7.7.7,2026-12-08 02:00:00\r\n"
            "PC3,C:\\new.exe,7.7.7.7,2026-12-08 02:00:00\r\n");
  std::vector<std::string> machines;
  store->Machines([&](const MachineRow& row) { machines.push_back(row.machine); });
  EXPECT_EQ(machines, (std::vector<std::string>{"PC1", "PC3"}));
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
                                         std::string(VUR_VERSION_TEXT) + ") knows schema 5"),
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
                                         ") knows schema 5"),
              std::string::npos)
        << e.what();
  }

  const std::string text = (folder_ / "text.db").string();
  { std::ofstream(text) << "not a database at all, just some text that is long enough\n"; }
  EXPECT_THROW(OpenStore(text, Access::kRead), StoreError);
}

std::string Printed(const CheckRun& run, bool repair, std::size_t cap = 20) {
  std::ostringstream out;
  PrintCheckRun(run, repair, out, cap);
  return out.str();
}

std::string At(const char* time) { return std::to_string(*ParseTimeArgument(time)); }
std::string VersionIdOf(const char* version) {
  return "(SELECT id FROM versions WHERE value = " +
         std::to_string(StoredVersion(Version::ParseArgument(version)->value())) + ")";
}

// Each fault planted in the small fleet is found, by its line; what is
// derived from the intervals is repaired and checks clean after, and the
// next load goes on from there; the intervals themselves are never
// rewritten.
TEST_P(StoreTest, CheckFindsEachFaultAndRepairsWhatIsDerived) {
  const std::string pc001 = "(SELECT id FROM machines WHERE name = 'PC001')";
  const std::string pc002 = "(SELECT id FROM machines WHERE name = 'PC002')";
  const std::string app = "(SELECT id FROM paths WHERE path = 'C:\\App\\app.exe')";
  const std::string putty = "(SELECT id FROM paths WHERE path = 'C:\\Tools\\putty.exe')";
  const std::string v070 = VersionIdOf("0.70"), v1715 = VersionIdOf("17.15");
  struct Case {
    const char* fault;
    std::string sql;
    std::string line;
    bool repaired;
    bool counts = false;  // the fault is in the kept counts; else they follow the intervals changed
  };
  const Case cases[] = {
      {"an interval's end moved past the next one's start",
       "UPDATE intervals SET until = " + At("2026-12-09 02:00:00") + " WHERE machine_id = " + pc001 +
           " AND path_id = " + putty + " AND since = " + At("2026-12-01 02:00:00"),
       "PC001: C:\\Tools\\putty.exe: two intervals overlap: 2026-12-01 02:00:00 to 2026-12-09 02:00:00 and "
       "from 2026-12-08 02:00:00",
       false},
      {"an interval that opens at no scan",
       "UPDATE intervals SET since = since + 60 WHERE machine_id = " + pc002 + " AND path_id = " + app +
           " AND until IS NULL",
       "PC002: C:\\App\\app.exe: an interval opens at 2026-12-09 03:01:00, when none of the machine's scans "
       "started",
       false},
      {"an interval of a machine that has no row",
       "INSERT INTO intervals (machine_id, path_id, since, version_id, until, opened) SELECT 999, path_id, since, "
       "version_id, until, opened FROM intervals WHERE machine_id = " + pc002 + " AND path_id = " + app +
           " AND until IS NULL",
       "#999: C:\\App\\app.exe: an interval opens at 2026-12-09 03:00:00, when none of the machine's scans started",
       false},
      {"the open versions traded, so the cache holds them the other way round",
       "UPDATE intervals SET version_id = CASE WHEN version_id = " + v070 + " THEN " + v1715 + " ELSE " + v070 +
           " END WHERE machine_id = " + pc002 + " AND until IS NULL",
       "PC002: the latest-runs cache (the whole inventory) disagrees with the open intervals in 2 paths; "
       "first C:\\App\\app.exe: 17.15.0.0 in the cache, 0.70.0.0 open",
       true},
      {"a cache that can't be read", "UPDATE latest SET runs = substr(runs, 1, 1) WHERE machine_id = " + pc001,
       "PC001: the latest-runs cache can't be read", true},
      {"a count of files changed", "UPDATE machines SET files = 7 WHERE id = " + pc002,
       "PC002: its row counts 7 files, its open intervals are 2", true},
      {"a kept count changed",
       "UPDATE counts SET machines = machines + 1 WHERE version_id = -1 AND name_id = "
       "(SELECT name_id FROM paths WHERE path = 'C:\\App\\app.exe')",
       "app.exe: counted on 2 machines, held by 1 in the open intervals", true, true},
      {"a machine's holds are another's",
       "UPDATE holds SET entries = (SELECT entries FROM holds WHERE machine_id = " + pc001 + ") WHERE machine_id = " +
           pc002,
       "PC002: its kept holds of names and versions differ from its open intervals", true, true},
      {"mixed holds kept for a machine that holds no name at two versions",
       "INSERT INTO mixed_holds (machine_id, entries) SELECT machine_id, entries FROM holds WHERE machine_id = " +
           pc002,
       "PC002: its kept holds of names and versions differ from its open intervals", true, true},
      {"a cache of part of the inventory holding an entry that is not open",
       "UPDATE intervals SET version_id = " + VersionIdOf("1.0") +
           " WHERE path_id = (SELECT id FROM paths WHERE path = 'C:\\a.exe') AND until IS NULL",
       "PC004: the latest-runs cache holds entries that are not open: 1 path; first C:\\a.exe: 2.0.0.0 in "
       "the cache, 1.0.0.0 open",
       true},
  };
  // PC004's last run did not finish: its cache holds only what it reported.
  std::vector<std::pair<std::string, std::string>> fleet = Fleet();
  fleet.emplace_back("PC004", Output("01 05:00:00", {"C:\\a.exe - 1.0.0.0", "C:\\b.exe - 1.0.0.0"}));
  fleet.emplace_back("PC004", Output("08 05:00:00", {"C:\\a.exe - 2.0.0.0"}, false));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string where = Where("check" + std::to_string(&c - cases) + ".db");
    std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
    for (const auto& [machine, bytes] : fleet) Load(*store, machine, bytes);
    store->Settle();  // as the load's end: the counts folded
    if (GetParam() == "postgres" && &c == cases) {
      // The folded rows vacuumed away, and the tables the first load filled
      // analyzed: readers neither read dead rows nor plan without statistics.
      pg::Connection tables(where);
      EXPECT_EQ(tables.Exec("SELECT pg_relation_size('count_changes')").Int(0, 0), 0);
      EXPECT_TRUE(tables.Exec("SELECT reltuples > 0 FROM pg_class WHERE oid = 'intervals'::regclass").Bool(0, 0));
    }
    const std::string clean = Printed(RunCheck(*store, false), false);
    EXPECT_NE(clean.find(GetParam() == "sqlite" ? "SQLite's integrity_check and foreign_key_check: ok\n"
                                                : " indexes ok\n"),
              std::string::npos)
        << clean;
    EXPECT_NE(clean.find("checked 4 machines: no fault found\n"), std::string::npos) << clean;

    Plant(where, GetParam() == "sqlite", c.sql);
    const CheckRun run = RunCheck(*store, true);
    const std::string printed = Printed(run, true);
    EXPECT_NE(printed.find(c.line + "\n"), std::string::npos) << printed;
    const std::int64_t counts = run.found.counts[static_cast<std::size_t>(FaultKind::kCounts)];
    EXPECT_EQ(run.found.faults() - (c.counts ? 0 : counts), 1) << printed;
    EXPECT_EQ(run.last().faults(), c.repaired ? 0 : 1) << printed;
    EXPECT_EQ(RunCheck(*store, false).found.faults(), c.repaired ? 0 : 1);
    if (!c.repaired) continue;
    EXPECT_NE(printed.find("; checked again:\n"), std::string::npos) << printed;
    // The next loads read the open intervals in place of a cache deleted.
    Load(*store, "PC001", Output("20 02:00:00", {"C:\\Tools\\putty.exe - 0.82.0.0"}));
    Load(*store, "PC002", Output("20 03:00:00", {"C:\\Tools\\PuTTY.exe - 0.70.0.0", "C:\\App\\app.exe - 18.0.0.0"}));
    const std::string after = Printed(RunCheck(*store, false), false);
    EXPECT_NE(after.find("checked 4 machines: no fault found\n"), std::string::npos) << after;
  }
}

// Lines past the cap are counted, not printed; a check that finds nothing
// derived to repair writes nothing.
TEST_P(StoreTest, CheckCapsTheLinesOfAKind) {
  const std::string where = Where("cap.db");
  std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
  for (const auto& [machine, bytes] : Fleet()) Load(*store, machine, bytes);
  Plant(where, GetParam() == "sqlite", "UPDATE intervals SET since = since + 1");
  const std::string printed = Printed(RunCheck(*store, true, 2), true, 2);
  EXPECT_NE(printed.find("\nand 11 more intervals that open at no scan\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("repair: nothing derived from the intervals disagrees with them; nothing written\n"),
            std::string::npos)
      << printed;
}

}  // namespace
}  // namespace vurfleet::store_test
