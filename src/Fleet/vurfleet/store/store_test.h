// The store suite's fixture, shared by its files (store_test.cpp: loading;
// store_query_test.cpp: the queries): both stores, the SQLite store on real
// files and the PostgreSQL store on a real server, through the same query
// and output code as the command line. The PostgreSQL cases need a server:
// $VURFLEET_TEST_POSTGRES is a libpq "keyword=value" string without dbname
// (tests/fleet/postgres.sh starts one and sets it); without it they skip.
#pragma once

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
#include "store/postgres/pg_db.h"
#include "store/store.h"

namespace vurfleet::store_test {

namespace fs = std::filesystem;

inline std::string Stamp(const char* day_and_time) {
  // "08 04:03:56" in December 2026, with the weekday the date has.
  static const char* kDays[] = {"Tue", "Wed", "Thu", "Fri", "Sat", "Sun", "Mon"};
  const int day = std::atoi(day_and_time);
  return std::string(kDays[(day - 1) % 7]) + ", " + std::string(day_and_time, 2) + " Dec 2026 " +
         std::string(day_and_time + 3) + " -0700";
}

// One run's output: "# Started", the lines, and "# Complete" when finished.
inline std::string Output(const char* start, const std::vector<std::string>& lines, bool finished = true) {
  std::string text = "# Started\n# " + Stamp(start) + "\n";
  for (const std::string& line : lines) text += line + "\n";
  if (finished) text += "# Complete\n# " + Stamp(start) + "\n";
  return text;
}

inline const char* PostgresServer() { return std::getenv("VURFLEET_TEST_POSTGRES"); }

// A new, empty database on the test server, and its connection string.
inline std::string NewPostgresDatabase(const std::string& name) {
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
  // With the counts the load keeps: `programs` reads them.
  static std::string All(Store& store) {
    FindQuery at;
    at.at = *ParseTimeArgument("2026-12-09 12:00:00");
    std::ostringstream programs;
    PrintPrograms(store, 1000, Format::kCsv, programs);
    return Find(store) + Find(store, at) + Changes(store) + Machines(store) + programs.str();
  }

  fs::path folder_;
  std::string test_name_;
  int databases_ = 0;
};

// A fault planted by hand, as a tool or a damaged file would leave it.
inline void Plant(const std::string& where, bool sqlite, const std::string& sql) {
  if (!sqlite) return pg::Connection(where).Run(sql);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(where.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// A small fleet over a few weeks: upgrades, an install, a removal, an
// unfinished run and one that could not walk a folder.
inline std::vector<std::pair<std::string, std::string>> Fleet() {
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

}  // namespace vurfleet::store_test
