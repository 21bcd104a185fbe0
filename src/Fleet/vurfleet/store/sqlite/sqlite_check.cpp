// The check's reads and the repair's write (store/check_source.h) on SQLite.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store/check_sql.h"
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

namespace {

// A fault's interval by ids: its text is looked up once the walk is done.
struct FoundInterval {
  MachineId machine;
  PathId path;
  Time since;
  std::optional<Time> until;
  Time next_since;  // overlaps only
};

// Machine and path texts of the rows a fault names, each looked up once.
class Texts {
 public:
  explicit Texts(Db& db)
      : machine_(db, "SELECT name FROM machines WHERE id = ?1"), path_(db, "SELECT path FROM paths WHERE id = ?1") {}
  const std::string& Machine(MachineId id) { return Of(machine_, machines_, id); }
  const std::string& Path(PathId id) { return Of(path_, paths_, id); }

 private:
  static const std::string& Of(Statement& s, std::unordered_map<std::int64_t, std::string>& seen, std::int64_t id) {
    const auto found = seen.find(id);
    if (found != seen.end()) return found->second;
    s.Bind(1, id);
    std::string text = s.Step() ? std::string(s.Text(0)) : "#" + std::to_string(id);
    s.Reset();
    return seen.emplace(id, std::move(text)).first->second;
  }
  Statement machine_, path_;
  std::unordered_map<std::int64_t, std::string> machines_, paths_;
};

}  // namespace

void SqliteStore::HistoryFaults(const std::function<void(const OverlapRow&)>& overlap,
                                const std::function<void(const OffScanRow&)>& off_scan) {
  // One walk of the intervals in key order: each against the one before it
  // and against its machine's scans, held in memory a machine at a time. A
  // seek into the table for each row, as SQL would do it, costs several
  // times the walk.
  std::vector<std::pair<MachineId, Time>> starts;
  {
    Statement s(db_, "SELECT machine_id, started FROM scans ORDER BY machine_id, started");
    while (s.Step()) starts.emplace_back(s.Int(0), s.Int(1));
  }
  std::vector<FoundInterval> overlaps, off;
  {
    Statement s(db_, "SELECT machine_id, path_id, since, until FROM intervals ORDER BY machine_id, path_id, since");
    FoundInterval last{-1, -1, 0, std::nullopt, 0};
    bool any = false;
    auto first = starts.begin(), end = starts.begin();  // the machine's scans
    while (s.Step()) {
      const FoundInterval row{s.Int(0), s.Int(1), s.Int(2), s.OptionalInt(3), 0};
      if (!any || row.machine != last.machine) {
        first = std::lower_bound(starts.begin(), starts.end(), std::make_pair(row.machine, INT64_MIN));
        end = std::upper_bound(first, starts.end(), std::make_pair(row.machine, INT64_MAX));
      } else if (row.path == last.path && (!last.until || *last.until > row.since)) {
        overlaps.push_back(last);
        overlaps.back().next_since = row.since;
      }
      if (!std::binary_search(first, end, std::make_pair(row.machine, row.since))) off.push_back(row);
      last = row;
      any = true;
    }
  }
  Texts texts(db_);
  std::vector<OverlapRow> overlap_rows;
  for (const FoundInterval& f : overlaps) {
    overlap_rows.push_back(OverlapRow{texts.Machine(f.machine), texts.Path(f.path), f.since, f.until, f.next_since});
  }
  std::sort(overlap_rows.begin(), overlap_rows.end(), [](const OverlapRow& a, const OverlapRow& b) {
    return std::tie(a.machine, a.path, a.since) < std::tie(b.machine, b.path, b.since);
  });
  for (const OverlapRow& r : overlap_rows) overlap(r);
  std::vector<OffScanRow> off_rows;
  for (const FoundInterval& f : off) off_rows.push_back(OffScanRow{texts.Machine(f.machine), texts.Path(f.path), f.since});
  std::sort(off_rows.begin(), off_rows.end(), [](const OffScanRow& a, const OffScanRow& b) {
    return std::tie(a.machine, a.path, a.since) < std::tie(b.machine, b.path, b.since);
  });
  for (const OffScanRow& r : off_rows) off_scan(r);
}

void SqliteStore::MachineSums(const std::function<void(const MachineCheckRow&)>& row) {
  Statement s(db_, check_sql::kMachineSums);
  MachineCheckRow r;
  while (s.Step()) {
    r.id = s.Int(0);
    r.machine = std::string(s.Text(1));
    r.files = s.Int(2);
    r.open = s.Int(3);
    r.sum_a = s.Int(4);
    r.sum_b = s.Int(5);
    r.exact.reset();
    r.runs.clear();
    if (!s.IsNull(6)) {
      r.exact = s.Int(6) != 0;
      r.runs = std::string(s.Blob(7));
    }
    row(r);
  }
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

std::vector<std::pair<CountKey, std::int64_t>> SqliteStore::KeptCounts() {
  std::vector<std::pair<CountKey, std::int64_t>> counts;
  Statement s(db_, "SELECT name_id, version_id, machines FROM counts WHERE machines <> 0 ORDER BY name_id, version_id");
  while (s.Step()) counts.push_back({{s.Int(0), s.Int(1)}, s.Int(2)});
  return counts;
}

CountChanges SqliteStore::RecountHolds(const std::function<void(MachineId, const std::vector<Held>&)>& machine) {
  return RecountOpen(db_, machine);
}

std::string SqliteStore::NameText(NameId name) {
  Statement s(db_, "SELECT name_key FROM names WHERE id = ?1");
  s.Bind(1, name);
  return s.Step() ? std::string(s.Text(0)) : "#" + std::to_string(name);
}

}  // namespace vurfleet::sqlite
