// The SQLite store's side of the load (LoadTarget): a file's lookup, its
// interning and its batch of writes, each over statements prepared once
// for the store's life.
#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "store/latest.h"
#include "store/sqlite/sqlite_counts.h"
#include "store/sqlite/sqlite_store.h"
#include "store/stored.h"

namespace vurfleet::sqlite {
namespace {

// Rows a statement writes at most: one statement for many rows saves
// SQLite's per-statement work (a cursor opened, sought and closed).
constexpr int kRowsPerInsert = 64;

std::string MultiRowInsert(const char* head, int columns, int rows) {
  std::string sql = head;
  for (int r = 0; r < rows; ++r) {
    sql += r == 0 ? " VALUES (" : ", (";
    for (int c = 0; c < columns; ++c) sql += c == 0 ? "?" : ", ?";
    sql += ")";
  }
  return sql;
}

// Rows written by many at a time (`many`, kRowsPerInsert rows of `columns`
// parameters), the rest by one (`one`); `bind` binds row `k` from parameter
// `first`.
template <typename Bind>
void InsertRows(Statement& many, Statement& one, std::size_t count, int columns, Bind bind) {
  std::size_t k = 0;
  for (; k + kRowsPerInsert <= count; k += kRowsPerInsert) {
    for (int r = 0; r < kRowsPerInsert; ++r) bind(many, 1 + columns * r, k + r);
    many.Run();
  }
  for (; k < count; ++k) {
    bind(one, 1, k);
    one.Run();
  }
}

// A JSON array of numbers, for json_each: a set of ids in one parameter.
template <typename Rows, typename Value>
std::string JsonNumbers(const Rows& rows, Value value) {
  std::string out = "[";
  for (const auto& row : rows) {
    if (out.size() > 1) out += ',';
    out += std::to_string(value(row));
  }
  return out + "]";
}

constexpr const char* kWriteInterval =
    "INSERT OR REPLACE INTO intervals (machine_id, path_id, since, version_id, until, opened)";
constexpr const char* kWriteKept = "INSERT OR REPLACE INTO kept (machine_id, scan, path_id)";
constexpr const char* kWriteError = "INSERT INTO scan_errors (scan_id, line, text)";

}  // namespace

struct SqliteStore::LoadStatements {
  explicit LoadStatements(Db& db)
      : find_machine(db, "SELECT id, name, first_started, last_started, files FROM machines WHERE name = ?1"),
        insert_machine(db,
                       "INSERT INTO machines (name, name_key, first_started, last_started, files) "
                       "VALUES (?1, ?2, ?3, ?4, ?5)"),
        update_machine(db,
                       "UPDATE machines SET first_started = ?2, last_started = ?3, files = ?4 "
                       "WHERE id = ?1"),
        find_bytes(db, "SELECT started, file FROM scans WHERE machine_id = ?1 AND sha256 = ?2"),
        find_run(db,
                 "SELECT id, completed IS NOT NULL, report_lines, error_lines, sha256, file "
                 "FROM scans WHERE machine_id = ?1 AND started = ?2"),
        list_scans(db,
                   "SELECT id, started, file, completed IS NOT NULL, report_lines, error_lines FROM scans "
                   "WHERE machine_id = ?1 ORDER BY started"),
        finished_errors(db,
                        "SELECT e.scan_id, e.text FROM scans s JOIN scan_errors e ON e.scan_id = s.id "
                        "WHERE s.machine_id = ?1 AND s.completed IS NOT NULL AND s.error_lines > 0 "
                        "ORDER BY e.scan_id, e.line"),
        delete_scan(db, "DELETE FROM scans WHERE id = ?1"),
        delete_errors(db, "DELETE FROM scan_errors WHERE scan_id = ?1"),
        insert_scan(db,
                    "INSERT INTO scans (machine_id, started, completed, sha256, file, "
                    "report_lines, error_lines, loaded) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"),
        write_error(db, MultiRowInsert(kWriteError, 3, 1).c_str()),
        write_errors(db, MultiRowInsert(kWriteError, 3, kRowsPerInsert).c_str()),
        find_path(db, "SELECT id, path, name_id FROM paths WHERE hash = ?1"),
        insert_path(db, "INSERT INTO paths (hash, path, name_key, name_id) VALUES (?1, ?2, ?3, ?4)"),
        find_name(db, "SELECT id FROM names WHERE name_key = ?1"),
        insert_name(db, "INSERT INTO names (name_key) VALUES (?1)"),
        path_names(db, "SELECT id, name_id FROM paths WHERE id IN (SELECT value FROM json_each(?1))"),
        write_holds(db, "INSERT OR REPLACE INTO holds (machine_id, entries) VALUES (?1, ?2)"),
        find_version(db, "SELECT id FROM versions WHERE value = ?1"),
        insert_version(db, "INSERT INTO versions (value) VALUES (?1)"),
        open_entries(db,
                     "SELECT path_id, version_id FROM intervals "
                     "WHERE machine_id = ?1 AND until IS NULL ORDER BY path_id"),
        open_keys(db,
                  "SELECT p.id, p.path FROM intervals i JOIN paths p ON p.id = i.path_id "
                  "WHERE i.machine_id = ?1 AND i.until IS NULL"),
        history_keys(db,
                     "SELECT p.id, p.path FROM paths p WHERE p.id IN "
                     "(SELECT path_id FROM intervals WHERE machine_id = ?1)"),
        close_intervals(db,
                        "UPDATE intervals SET until = ?2 WHERE machine_id = ?1 AND until IS NULL "
                        "AND path_id IN (SELECT value FROM json_each(?3))"),
        read_latest(db, "SELECT exact, runs FROM latest WHERE machine_id = ?1"),
        write_latest(db, "INSERT OR REPLACE INTO latest (machine_id, exact, runs) VALUES (?1, ?2, ?3)"),
        set_exact(db, "UPDATE latest SET exact = ?2 WHERE machine_id = ?1"),
        delete_latest(db, "DELETE FROM latest WHERE machine_id = ?1"),
        all_intervals(db,
                      "SELECT path_id, version_id, since, until, opened FROM intervals "
                      "WHERE machine_id = ?1 ORDER BY path_id, since"),
        all_kept(db, "SELECT scan, path_id FROM kept WHERE machine_id = ?1 ORDER BY scan, path_id"),
        erase_intervals(db,
                        "DELETE FROM intervals WHERE machine_id = ?1 AND (path_id, since) IN "
                        "(SELECT json_extract(value, '$[0]'), json_extract(value, '$[1]') FROM json_each(?2))"),
        write_interval(db, MultiRowInsert(kWriteInterval, 6, 1).c_str()),
        write_intervals(db, MultiRowInsert(kWriteInterval, 6, kRowsPerInsert).c_str()),
        erase_kept(db,
                   "DELETE FROM kept WHERE machine_id = ?1 AND (scan, path_id) IN "
                   "(SELECT json_extract(value, '$[0]'), json_extract(value, '$[1]') FROM json_each(?2))"),
        write_one_kept(db, MultiRowInsert(kWriteKept, 3, 1).c_str()),
        write_kept(db, MultiRowInsert(kWriteKept, 3, kRowsPerInsert).c_str()) {}

  Statement find_machine, insert_machine, update_machine, find_bytes, find_run, list_scans, finished_errors;
  Statement delete_scan, delete_errors, insert_scan, write_error, write_errors;
  Statement find_path, insert_path, find_name, insert_name, path_names, write_holds, find_version, insert_version;
  Statement open_entries, open_keys, history_keys, close_intervals;
  Statement read_latest, write_latest, set_exact, delete_latest;
  Statement all_intervals, all_kept;
  Statement erase_intervals, write_interval, write_intervals, erase_kept, write_one_kept, write_kept;
};

SqliteStore::LoadStatements& SqliteStore::Statements() {
  // Prepared on the first use: a query needs none of them.
  if (!load_) load_.reset(new LoadStatements(db_));
  return *load_;
}

void SqliteStore::DropStatements::operator()(LoadStatements* statements) const { delete statements; }

StoredForFile SqliteStore::BeginFile(const FileQuestion& question) {
  db_.Exec("SAVEPOINT file");
  ids_.BeginFile();
  LoadStatements& q = Statements();
  StoredForFile stored;
  Statement& m = q.find_machine;
  m.Bind(1, question.machine);
  if (m.Step()) stored.machine = StoredMachine{m.Int(0), std::string(m.Text(1)), m.Int(2), m.Int(3), m.Int(4)};
  m.Reset();
  if (!stored.machine) return stored;
  const MachineId id = stored.machine->id;
  if (!question.sha256.empty()) {
    Statement& s = q.find_bytes;
    s.Bind(1, id).BindBlob(2, question.sha256);
    if (s.Step()) stored.bytes.emplace(s.Int(0), std::string(s.Text(1)));
    s.Reset();
    if (stored.bytes) return stored;  // nothing more is needed
  }
  if (question.started) {
    Statement& s = q.find_run;
    s.Bind(1, id).Bind(2, *question.started);
    if (s.Step()) {
      stored.run = StoredRun{s.Int(0),
                             RunCopy{s.Int(1) != 0, static_cast<int>(s.Int(2)), static_cast<int>(s.Int(3)),
                                     std::string(s.Blob(4))},
                             std::string(s.Text(5))};
    }
    s.Reset();
    // A finished copy is never replaced: the file stores nothing.
    if (stored.run && stored.run->copy.finished) return stored;
  }
  Statement& l = q.read_latest;
  l.Bind(1, id);
  if (l.Step()) stored.latest = DecodeLatest(l.Blob(1), l.Int(0) != 0);
  l.Reset();
  const auto read_keys = [&](Statement& s) {
    s.Bind(1, id);
    while (s.Step()) stored.keys.emplace(s.Int(0), FoldCase(s.Text(1)));
    s.Reset();
  };
  if (question.started && *question.started > stored.machine->last_started) {
    if (!stored.latest || !stored.latest->exact) {
      Statement& s = q.open_entries;
      s.Bind(1, id);
      while (s.Step()) stored.open.push_back(Entry{s.Int(0), s.Int(1)});
      s.Reset();
    }
    if (question.keys) read_keys(q.open_keys);
    return stored;
  }
  stored.whole = true;
  Statement& i = q.all_intervals;
  i.Bind(1, id);
  while (i.Step()) {
    stored.history.intervals.push_back(Interval{i.Int(0), i.Int(1), i.Int(2), i.OptionalInt(3), i.Int(4) != 0});
  }
  i.Reset();
  Statement& k = q.all_kept;
  k.Bind(1, id);
  while (k.Step()) stored.history.kept.push_back(Kept{k.Int(0), k.Int(1)});
  k.Reset();
  Statement& s = q.list_scans;
  s.Bind(1, id);
  std::unordered_map<std::int64_t, std::size_t> shielded;  // scan id to its place
  while (s.Step()) {
    ScanFacts facts{s.Int(0), s.Int(1), std::string(s.Text(2)), s.Int(3) != 0, s.Int(4), s.Int(5)};
    if (facts.finished && facts.error_lines > 0) shielded.emplace(facts.scan_id, stored.scans.size());
    stored.scans.push_back(StoredScanLines{std::move(facts), {}});
  }
  s.Reset();
  if (!shielded.empty()) {
    Statement& e = q.finished_errors;
    e.Bind(1, id);
    while (e.Step()) {
      if (const auto at = shielded.find(e.Int(0)); at != shielded.end()) {
        stored.scans[at->second].errors.emplace_back(e.Text(1));
      }
    }
    e.Reset();
  }
  if (question.keys || !shielded.empty()) read_keys(q.history_keys);
  return stored;
}

void SqliteStore::Intern(const std::vector<std::string_view>& paths, const std::vector<std::uint64_t>& versions,
                         std::vector<PathId>* path_ids, std::vector<VersionId>* version_ids) {
  InternPaths(paths, path_ids);
  InternVersions(versions, version_ids);
}

void SqliteStore::InternPaths(const std::vector<std::string_view>& paths, std::vector<PathId>* ids) {
  LoadStatements& q = Statements();
  ids_.FindPaths(paths, ids);
  for (std::size_t k = 0; k < paths.size(); ++k) {
    if ((*ids)[k] >= 0) continue;
    const std::string_view path = paths[k];
    if (const std::optional<PathId> met = ids_.FindPath(path)) {  // earlier in this call
      (*ids)[k] = *met;
      continue;
    }
    const std::int64_t hash = static_cast<std::int64_t>(StableHash(path));
    PathId id = 0;
    NameId name = 0;
    q.find_path.Bind(1, hash);
    while (id == 0 && q.find_path.Step()) {
      if (q.find_path.Text(1) == path) id = q.find_path.Int(0), name = q.find_path.Int(2);
    }
    q.find_path.Reset();
    const bool added = id == 0;
    if (added) {
      const std::string key = NameKey(path);
      name = InternName(key);
      q.insert_path.Bind(1, hash).Bind(2, path).Bind(3, key).Bind(4, name).Run();
      id = db_.LastInsertId();
    }
    ids_.AddPath(path, id, added);
    ids_.AddNameOf(id, name);
    (*ids)[k] = id;
  }
  // Every path's name at hand for the counts (the cache may have dropped
  // the names of paths it still holds).
  for (std::size_t k = 0; k < paths.size(); ++k) {
    if (!ids_.NameOf((*ids)[k])) ids_.AddNameOf((*ids)[k], InternName(NameKey(paths[k])));
  }
}

NameId SqliteStore::InternName(const std::string& key) {
  if (const auto id = ids_.FindName(key)) return *id;
  LoadStatements& q = Statements();
  q.find_name.Bind(1, key);
  NameId id = q.find_name.Step() ? q.find_name.Int(0) : 0;
  q.find_name.Reset();
  const bool added = id == 0;
  if (added) {
    q.insert_name.Bind(1, key).Run();
    id = db_.LastInsertId();
  }
  ids_.AddName(key, id, added);
  return id;
}

void SqliteStore::InternVersions(const std::vector<std::uint64_t>& values, std::vector<VersionId>* ids) {
  LoadStatements& q = Statements();
  ids_.FindVersions(values, ids);
  std::unordered_map<std::uint64_t, VersionId> met;  // in this call, beyond the cache
  for (std::size_t k = 0; k < values.size(); ++k) {
    if ((*ids)[k] >= 0) continue;
    if (const auto found = met.find(values[k]); found != met.end()) {
      (*ids)[k] = found->second;
      continue;
    }
    VersionId id = 0;
    q.find_version.Bind(1, StoredVersion(values[k]));
    const bool found = q.find_version.Step();
    if (found) id = q.find_version.Int(0);
    q.find_version.Reset();
    if (!found) {
      q.insert_version.Bind(1, StoredVersion(values[k])).Run();
      id = db_.LastInsertId();
    }
    ids_.AddVersion(values[k], id, !found);
    met.emplace(values[k], id);
    (*ids)[k] = id;
  }
}

void SqliteStore::EndFile(const FileWrite* write) {
  if (write == nullptr) {
    db_.Exec("ROLLBACK TO file; RELEASE file");
    ids_.EndFile(false);
    counts_.EndFile(false);
    return;
  }
  Write(*write);
  db_.Exec("RELEASE file");
  ids_.EndFile(true);
  counts_.EndFile(true);
}

void SqliteStore::Write(const FileWrite& w) {
  LoadStatements& q = Statements();
  if (w.deleted_scan) {
    q.delete_errors.Bind(1, *w.deleted_scan).Run();
    q.delete_scan.Bind(1, *w.deleted_scan).Run();
  }
  MachineId machine = w.machine;
  if (machine == 0) {
    q.insert_machine.Bind(1, w.name).Bind(2, FoldCase(w.name)).Bind(3, w.first_started);
    q.insert_machine.Bind(4, w.last_started).Bind(5, w.files).Run();
    machine = db_.LastInsertId();
  } else {
    q.update_machine.Bind(1, machine).Bind(2, w.first_started).Bind(3, w.last_started).Bind(4, w.files).Run();
  }
  if (counts_.on && (!w.left.empty() || !w.came.empty())) {
    // The holds as they were, before the intervals change.
    std::vector<Held> holds = w.machine == 0 ? std::vector<Held>{} : MachineHolds(db_, machine);
    const std::vector<Held> mixed = MixedHolds(holds);
    ChangeHolds(&holds, w, NamesOf(w), &counts_.file());
    q.write_holds.Bind(1, machine).BindBlob(2, EncodeHolds(holds)).Run();
    if (std::vector<Held> now = MixedHolds(holds); now != mixed) WriteMixed(db_, machine, now);
  }
  if (!w.closed.empty()) {
    q.close_intervals.Bind(1, machine).Bind(2, w.closed_at);
    q.close_intervals.Bind(3, JsonNumbers(w.closed, [](PathId p) { return p; })).Run();
  }
  const HistoryChanges& c = w.changes;
  if (!c.erase.empty()) {
    std::string pairs = "[";
    for (const Interval& row : c.erase) {
      if (pairs.size() > 1) pairs += ',';
      pairs += "[" + std::to_string(row.path) + "," + std::to_string(row.since) + "]";
    }
    q.erase_intervals.Bind(1, machine).Bind(2, pairs + "]").Run();
  }
  const auto write_intervals = [&](const std::vector<Interval>& rows) {
    InsertRows(q.write_intervals, q.write_interval, rows.size(), 6, [&](Statement& s, int first, std::size_t k) {
      const Interval& row = rows[k];
      s.Bind(first, machine).Bind(first + 1, row.path).Bind(first + 2, row.since);
      s.Bind(first + 3, row.version).Bind(first + 4, row.until).Bind(first + 5, row.opened ? 1 : 0);
    });
  };
  write_intervals(w.opened);
  write_intervals(c.write);
  if (!c.kept_erase.empty()) {
    std::string pairs = "[";
    for (const Kept& row : c.kept_erase) {
      if (pairs.size() > 1) pairs += ',';
      pairs += "[" + std::to_string(row.scan) + "," + std::to_string(row.path) + "]";
    }
    q.erase_kept.Bind(1, machine).Bind(2, pairs + "]").Run();
  }
  InsertRows(q.write_kept, q.write_one_kept, c.kept_write.size(), 3, [&](Statement& s, int first, std::size_t k) {
    s.Bind(first, machine).Bind(first + 1, c.kept_write[k].scan).Bind(first + 2, c.kept_write[k].path);
  });
  if (w.scan) {
    const ScanRow& scan = *w.scan;
    q.insert_scan.Bind(1, machine).Bind(2, scan.started).Bind(3, scan.completed);
    q.insert_scan.BindBlob(4, scan.sha256).Bind(5, scan.file);
    q.insert_scan.Bind(6, scan.report_lines).Bind(7, static_cast<std::int64_t>(scan.errors.size()));
    q.insert_scan.Bind(8, static_cast<std::int64_t>(std::time(nullptr)));
    q.insert_scan.Run();
    const std::int64_t scan_id = db_.LastInsertId();
    InsertRows(q.write_errors, q.write_error, scan.errors.size(), 3, [&](Statement& s, int first, std::size_t k) {
      s.Bind(first, scan_id).Bind(first + 1, scan.errors[k].first).Bind(first + 2, scan.errors[k].second);
    });
  }
  switch (w.latest_write) {
    case LatestWrite::kLeave: break;
    case LatestWrite::kForget: q.delete_latest.Bind(1, machine).Run(); break;
    case LatestWrite::kFlag: q.set_exact.Bind(1, machine).Bind(2, w.latest.exact ? 1 : 0).Run(); break;
    case LatestWrite::kWhole:
      q.write_latest.Bind(1, machine).Bind(2, w.latest.exact ? 1 : 0);
      q.write_latest.BindBlob(3, EncodeLatest(w.latest.runs, w.latest.entries)).Run();
      break;
  }
}

std::unordered_map<PathId, NameId> SqliteStore::NamesOf(const FileWrite& w) {
  std::unordered_map<PathId, NameId> names;
  const std::vector<PathId> unknown = ids_.NamesOf({&w.left, &w.came}, &names);
  if (!unknown.empty()) {
    Statement& s = Statements().path_names;
    s.Bind(1, JsonNumbers(unknown, [](PathId p) { return p; }));
    while (s.Step()) {
      names.emplace(s.Int(0), s.Int(1));
      ids_.AddNameOf(s.Int(0), s.Int(1));
    }
    s.Reset();
  }
  return names;
}

void SqliteStore::DeleteMachine(MachineId machine) {
  if (counts_.on) {
    CountHolds(MachineHolds(db_, machine), -1, &counts_.group());
    Statement(db_, "DELETE FROM holds WHERE machine_id = ?1").Bind(1, machine).Run();
    WriteMixed(db_, machine, {});
  }
  for (const char* sql : {"DELETE FROM intervals WHERE machine_id = ?1", "DELETE FROM kept WHERE machine_id = ?1",
                          "DELETE FROM latest WHERE machine_id = ?1",
                          "DELETE FROM scan_errors WHERE scan_id IN (SELECT id FROM scans WHERE machine_id = ?1)",
                          "DELETE FROM scans WHERE machine_id = ?1", "DELETE FROM machines WHERE id = ?1"}) {
    Statement(db_, sql).Bind(1, machine).Run();
  }
}

}  // namespace vurfleet::sqlite
