// The store suite, the queries: find, changes, machines, programs and
// holdings of both stores over the same loads (the fixture: store_test.h).
#include "store/store_test.h"

namespace vurfleet::store_test {
namespace {

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

  // The report's changes: counted by kind, and handed on from a start at or
  // before which the last `newest` of Changes' rows lie.
  const struct {
    const char* since;
    const char* until;
    ChangeCounts counts;  // added, removed, upgraded, downgraded, changed
  } windows[] = {
      {"2026-12-01", "2026-12-31", {1, 3, 2, 1, 2}},
      {"2026-12-08 02:00:00", "2026-12-15 02:00:00", {1, 2, 2, 0, 1}},
      {"2026-12-16 02:00:00", "2026-12-16 02:00:00", {0, 1, 0, 1, 1}},
      {"2026-12-10", "2026-12-14", {0, 0, 0, 0, 0}},
  };
  const auto key = [](const ChangeRow& r) { return std::to_string(r.scan) + r.machine + r.path; };
  for (const auto& w : windows) {
    ChangesQuery q;
    q.since = *ParseTimeArgument(w.since);
    q.until = *ParseTimeArgument(w.until);
    std::vector<std::string> listed;
    store->Changes(q, [&](const ChangeRow& r) { listed.push_back(key(r)); });
    for (const std::size_t newest : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{4}, std::size_t{20}}) {
      std::vector<std::string> handed;
      EXPECT_EQ(store->RecentChanges(*q.since, *q.until, newest, [&](const ChangeRow& r) { handed.push_back(key(r)); }),
                w.counts)
          << w.since << " " << newest;
      ASSERT_LE(handed.size(), listed.size());
      EXPECT_TRUE(std::equal(handed.begin(), handed.end(), listed.end() - static_cast<std::ptrdiff_t>(handed.size())))
          << w.since << " " << newest;
      EXPECT_GE(handed.size(), std::min(newest, listed.size())) << w.since << " " << newest;
    }
  }

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
  // Every other one: fifty runs of one path, too many to seek; read whole.
  std::vector<Glob> every_other;
  expected.clear();
  for (int k = 100; k < 200; k += 2) {
    every_other.emplace_back("f" + std::to_string(k) + ".dll");
    expected += "PC000 C:\\Many\\f" + std::to_string(k) + ".dll 1.0.0." + std::to_string(k) +
                " 2026-12-05 01:00:00 -\n";
  }
  EXPECT_EQ(holdings(every_other), expected);
}

// The most widespread names: a machine counts once for a name it holds at
// several paths, and once for each version it holds it at, as counting
// the machines of `find --name` gives; what a later scan replaced counts
// no more.
TEST_P(StoreTest, ProgramsCountMachinesAsFindDoes) {
  const std::string where = Where("inventory.db");
  std::unique_ptr<Store> store = OpenStore(where, Access::kWrite);
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
  std::vector<std::int64_t> beyond_each;
  for (const ProgramRow& row : rows) {
    FindQuery by_name;
    by_name.name.emplace(row.name);
    std::set<std::string> holding, at_version;
    std::map<std::string, std::set<std::string>> versions_of;
    store->Find(by_name, [&](const FindRow& found) {
      holding.insert(found.machine);
      if (found.version == row.version) at_version.insert(found.machine);
      versions_of[found.machine].insert(found.version.ToString());
    });
    EXPECT_EQ(row.machines, static_cast<std::int64_t>(holding.size())) << row.name;
    EXPECT_EQ(row.version_machines, static_cast<std::int64_t>(at_version.size()))
        << row.name << " " << row.version.ToString();
    std::int64_t mixed = 0, beyond = 0;
    for (const auto& [machine, versions] : versions_of) {
      mixed += versions.size() > 1 ? 1 : 0;
      beyond += versions.size() > versions.count(row.version.ToString()) ? 1 : 0;
    }
    EXPECT_EQ(row.mixed_machines, mixed) << row.name;
    EXPECT_EQ(store->MachinesBeyond(row.name, {row.version}), beyond) << row.name << " " << row.version.ToString();
    beyond_each.push_back(beyond);
  }
  // Mixed holds that can't be read: the same answers, from every machine's
  // holds, and the store goes on answering.
  Plant(where, GetParam() == "sqlite", "UPDATE mixed_holds SET entries = substr(entries, 1, 1)");
  for (std::size_t k = 0; k < rows.size(); ++k) {
    EXPECT_EQ(store->MachinesBeyond(rows[k].name, {rows[k].version}), beyond_each[k]) << rows[k].name;
  }
  EXPECT_EQ(programs(*store), answer);

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

// A reader sees one state of the database for as long as it is open,
// however many loads commit meanwhile, and can't write; nor can its twin,
// which reads that state too: made with the reader on SQLite, where no
// twin comes while a load holds the write lock; on PostgreSQL at any time.
TEST_P(StoreTest, AReaderReadsOneSnapshotAndCannotWrite) {
  const std::string where = Where("snapshot.db");
  const bool postgres = GetParam() == "postgres";
  std::unique_ptr<Store> writer = OpenStore(where, Access::kWrite);
  Load(*writer, "PC1", Output("01 02:00:00", {"C:\\a.exe - 1.0.0.0"}));
  std::unique_ptr<Store> reader = OpenTwinnedReader(where);
  const std::string before = All(*reader);
  Load(*writer, "PC1", Output("08 02:00:00", {"C:\\a.exe - 2.0.0.0"}));
  Load(*writer, "PC2", Output("08 03:00:00", {"C:\\b.exe - 1.0.0.0"}));
  EXPECT_EQ(All(*reader), before);
  std::unique_ptr<Store> twin = reader->Twin();
  ASSERT_NE(twin, nullptr);
  EXPECT_EQ(All(*twin), before);
  EXPECT_EQ(reader->Twin() != nullptr, postgres);
  EXPECT_EQ(writer->Twin(), nullptr);
  EXPECT_EQ(OpenStore(where, Access::kRead)->Twin() != nullptr, postgres);
  writer->BeginGroup({"PC3"});
  EXPECT_EQ(OpenTwinnedReader(where)->Twin() != nullptr, postgres);
  writer->AbandonGroup();
  for (Store* store : {reader.get(), twin.get()}) {
    EXPECT_THROW(Load(*store, "PC3", Output("09 02:00:00", {"C:\\c.exe - 1.0.0.0"})), StoreError);
    EXPECT_THROW(Forget(*store, "PC1", std::nullopt), StoreError);
  }
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

}  // namespace
}  // namespace vurfleet::store_test
