// The check's reads and the repair's write (store/check_source.h) on SQLite.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "store/sqlite/sqlite_counts.h"
#include "store/sqlite/sqlite_store.h"
#include "store/stored.h"

namespace vurfleet::sqlite {

void SqliteStore::CheckTransaction(const std::function<void()>& work) {
  // A reader holds its snapshot already; a writer takes the write lock
  // first, so no load commits between what is read and what is repaired.
  if (sqlite3_get_autocommit(db_.get()) == 0) return work();
  Transaction transaction(db_);
  work();
  transaction.Commit();
}

void SqliteStore::MachineRows(const std::function<void(const MachineCheckRow&)>& row) {
  Statement s(db_, "SELECT m.id, m.name, m.files, l.machine_id IS NOT NULL FROM machines m "
                   "LEFT JOIN latest l ON l.machine_id = m.id");
  while (s.Step()) row(MachineCheckRow{s.Int(0), std::string(s.Text(1)), s.Int(2), s.Int(3) != 0});
}

std::vector<std::pair<MachineId, Time>> SqliteStore::ScanStartIds() {
  std::vector<std::pair<MachineId, Time>> starts;
  Statement s(db_, "SELECT machine_id, started FROM scans ORDER BY machine_id, started");
  while (s.Step()) starts.emplace_back(s.Int(0), s.Int(1));
  return starts;
}

std::vector<std::pair<PathId, NameId>> SqliteStore::PathNames() {
  std::vector<std::pair<PathId, NameId>> names;
  Statement s(db_, "SELECT id, name_id FROM paths ORDER BY id");
  while (s.Step()) names.emplace_back(s.Int(0), s.Int(1));
  return names;
}

void SqliteStore::Intervals(const std::function<void(const IntervalRow&)>& row) {
  Statement s(db_, "SELECT machine_id, path_id, since, until, version_id FROM intervals "
                   "ORDER BY machine_id, path_id, since");
  while (s.Step()) row(IntervalRow{s.Int(0), s.Int(1), s.Int(2), s.OptionalInt(3), s.Int(4)});
}

std::optional<StoredLatest> SqliteStore::Latest(MachineId machine) {
  Statement s(db_, "SELECT exact, runs FROM latest WHERE machine_id = ?1");
  s.Bind(1, machine);
  if (!s.Step()) return std::nullopt;
  return StoredLatest{s.Int(0) != 0, std::string(s.Blob(1))};
}

void SqliteStore::OpenEntries(MachineId machine, std::vector<Entry>* open) {
  Statement s(db_, "SELECT path_id, version_id FROM intervals WHERE machine_id = ?1 AND until IS NULL "
                   "ORDER BY path_id");
  s.Bind(1, machine);
  while (s.Step()) open->push_back(Entry{s.Int(0), s.Int(1)});
}

std::string SqliteStore::PathText(PathId path) {
  Statement s(db_, "SELECT path FROM paths WHERE id = ?1");
  s.Bind(1, path);
  return s.Step() ? std::string(s.Text(0)) : "#" + std::to_string(path);
}

std::string SqliteStore::VersionText(VersionId version) {
  Statement s(db_, "SELECT value FROM versions WHERE id = ?1");
  s.Bind(1, version);
  if (!s.Step()) return "#" + std::to_string(version);
  return s.IsNull(0) ? Version::None().ToString() : VersionOfStored(s.Int(0)).ToString();
}

void SqliteStore::DatabaseCheck(const std::function<void(const std::string&)>& fault,
                                const std::function<void(const std::string&)>& note) {
  bool ok = false;
  try {
    Statement s(db_, "PRAGMA integrity_check(100)");
    while (s.Step()) {
      const std::string_view line = s.Text(0);
      if (line == "ok") {
        ok = true;
      } else {
        fault("SQLite's integrity_check: " + std::string(line));
      }
    }
  } catch (const StoreError& e) {
    // A file damaged past what the check can walk is its finding too.
    fault("SQLite's integrity_check failed: " + std::string(e.what()));
  }
  std::int64_t orphans = 0;
  {
    Statement s(db_, "PRAGMA foreign_key_check");
    while (s.Step()) {
      if (++orphans <= 100) {
        fault("SQLite's foreign_key_check: row " + std::to_string(s.Int(1)) + " of " + std::string(s.Text(0)) +
              " refers to no row of " + std::string(s.Text(2)));
      }
    }
  }
  if (ok && orphans == 0) note("SQLite's integrity_check and foreign_key_check: ok");
}

void SqliteStore::Repair(const CheckRepair& repair) {
  Statement drop(db_, "DELETE FROM latest WHERE machine_id = ?1");
  for (const MachineId id : repair.drop_latest) {
    drop.Bind(1, id).Run();
  }
  Statement files(db_, "UPDATE machines SET files = ?2 WHERE id = ?1");
  for (const auto& [id, count] : repair.files) {
    files.Bind(1, id).Bind(2, count).Run();
  }
  if (repair.recount) WriteRecount(db_);
}

void SqliteStore::KeptHolds(const std::function<void(MachineId, std::string_view)>& row) {
  Statement s(db_, "SELECT machine_id, entries FROM holds");
  while (s.Step()) row(s.Int(0), s.Blob(1));
}

void SqliteStore::KeptMixed(const std::function<void(MachineId, std::string_view)>& row) {
  Statement s(db_, "SELECT machine_id, entries FROM mixed_holds");
  while (s.Step()) row(s.Int(0), s.Blob(1));
}

std::vector<std::pair<CountKey, std::int64_t>> SqliteStore::KeptCounts() {
  std::vector<std::pair<CountKey, std::int64_t>> counts;
  Statement s(db_, "SELECT name_id, version_id, machines FROM counts WHERE machines <> 0 ORDER BY name_id, version_id");
  while (s.Step()) counts.push_back({{s.Int(0), s.Int(1)}, s.Int(2)});
  return counts;
}

std::string SqliteStore::NameText(NameId name) {
  Statement s(db_, "SELECT name_key FROM names WHERE id = ?1");
  s.Bind(1, name);
  return s.Step() ? std::string(s.Text(0)) : "#" + std::to_string(name);
}

}  // namespace vurfleet::sqlite
