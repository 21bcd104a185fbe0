#include "store/sqlite/sqlite_store.h"

#include <algorithm>
#include <ctime>

#include "base/glob.h"
#include "base/text.h"
#include "read/shield.h"
#include "store/latest.h"
#include "store/sqlite/schema.h"
#include "store/stored.h"

#include <unordered_map>

namespace vurfleet::sqlite {
namespace {

// Rows a statement writes at most: one statement for many rows saves
// SQLite's per-statement work (a cursor opened, sought and closed).
constexpr int kRowsPerInsert = 64;

// How long a load waits for another's write lock before its group is tried
// again (RetryError).
constexpr int kBusyMilliseconds = 30000;

std::string MultiRowInsert(const char* head, int columns, int rows) {
  std::string sql = head;
  for (int r = 0; r < rows; ++r) {
    sql += r == 0 ? " VALUES (" : ", (";
    for (int c = 0; c < columns; ++c) {
      sql += c == 0 ? "?" : ", ?";
    }
    sql += ")";
  }
  return sql;
}



// vurfleet_fold(TEXT): FoldCase in SQL, for patterns on whole paths.
void Fold(sqlite3_context* context, int, sqlite3_value** values) {
  const unsigned char* text = sqlite3_value_text(values[0]);
  if (text == nullptr) return sqlite3_result_null(context);
  const std::string folded = FoldCase(std::string_view(reinterpret_cast<const char*>(text),
                                                       static_cast<std::size_t>(sqlite3_value_bytes(values[0]))));
  sqlite3_result_text64(context, folded.data(), folded.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// vurfleet_glob(PATTERN, FOLDED): whether folded text matches a pattern of
// the queries (Glob), compiled once per statement.
void GlobMatch(sqlite3_context* context, int, sqlite3_value** values) {
  auto* glob = static_cast<Glob*>(sqlite3_get_auxdata(context, 0));
  if (glob == nullptr) {
    const unsigned char* pattern = sqlite3_value_text(values[0]);
    if (pattern == nullptr) return sqlite3_result_null(context);
    sqlite3_set_auxdata(
        context, 0,
        new Glob(std::string_view(reinterpret_cast<const char*>(pattern),
                                  static_cast<std::size_t>(sqlite3_value_bytes(values[0])))),
        [](void* p) { delete static_cast<Glob*>(p); });
    glob = static_cast<Glob*>(sqlite3_get_auxdata(context, 0));
    if (glob == nullptr) return sqlite3_result_error_nomem(context);
  }
  const unsigned char* text = sqlite3_value_text(values[1]);
  if (text == nullptr) return sqlite3_result_null(context);
  sqlite3_result_int(context, glob->MatchesFolded(std::string_view(reinterpret_cast<const char*>(text),
                                                                   static_cast<std::size_t>(
                                                                       sqlite3_value_bytes(values[1]))))
                                  ? 1
                                  : 0);
}

void RegisterFunctions(Db& db) {
  if (sqlite3_create_function_v2(db.get(), "vurfleet_fold", 1,
                                 SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                 Fold, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_create_function_v2(db.get(), "vurfleet_glob", 2,
                                 SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                 GlobMatch, nullptr, nullptr, nullptr) != SQLITE_OK) {
    db.Fail("registering vurfleet's SQL functions");
  }
}


}  // namespace

constexpr const char* kWriteInterval =
    "INSERT OR REPLACE INTO intervals (machine_id, path_id, since, version_id, until, opened)";

struct SqliteStore::LoadStatements {
  explicit LoadStatements(Db& db)
      : find_machine(db, "SELECT id, name, first_started, last_started, files FROM machines WHERE name = ?1"),
        insert_machine(db,
                       "INSERT INTO machines (name, name_key, first_started, last_started, files) "
                       "VALUES (?1, ?2, ?3, ?3, 0)"),
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
        delete_scan(db, "DELETE FROM scans WHERE id = ?1"),
        delete_errors(db, "DELETE FROM scan_errors WHERE scan_id = ?1"),
        insert_scan(db,
                    "INSERT INTO scans (machine_id, started, completed, sha256, file, "
                    "report_lines, error_lines, loaded) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"),
        insert_error(db, "INSERT INTO scan_errors (scan_id, line, text) VALUES (?1, ?2, ?3)"),
        find_path(db, "SELECT id, path FROM paths WHERE hash = ?1"),
        insert_path(db, "INSERT INTO paths (hash, path, name_key) VALUES (?1, ?2, ?3)"),
        path_key(db, "SELECT path FROM paths WHERE id = ?1"),
        find_version(db, "SELECT id FROM versions WHERE value = ?1"),
        insert_version(db, "INSERT INTO versions (value) VALUES (?1)"),
        open_entries(db,
                     "SELECT path_id, version_id FROM intervals "
                     "WHERE machine_id = ?1 AND until IS NULL ORDER BY path_id"),
        close_interval(db,
                       "UPDATE intervals SET until = ?3 "
                       "WHERE machine_id = ?1 AND path_id = ?2 AND until IS NULL"),
        read_latest(db, "SELECT exact, runs FROM latest WHERE machine_id = ?1"),
        write_latest(db, "INSERT OR REPLACE INTO latest (machine_id, exact, runs) VALUES (?1, ?2, ?3)"),
        set_exact(db, "UPDATE latest SET exact = ?2 WHERE machine_id = ?1"),
        delete_latest(db, "DELETE FROM latest WHERE machine_id = ?1"),
        all_intervals(db,
                      "SELECT path_id, version_id, since, until, opened FROM intervals "
                      "WHERE machine_id = ?1 ORDER BY path_id, since"),
        all_kept(db, "SELECT scan, path_id FROM kept WHERE machine_id = ?1 ORDER BY scan, path_id"),
        machine_scans(db,
                      "SELECT id, started, completed IS NOT NULL, error_lines FROM scans "
                      "WHERE machine_id = ?1 ORDER BY started"),
        scan_errors(db, "SELECT text FROM scan_errors WHERE scan_id = ?1 ORDER BY line"),
        erase_interval(db,
                       "DELETE FROM intervals WHERE machine_id = ?1 AND path_id = ?2 AND since = ?3"),
        write_interval(db, MultiRowInsert(kWriteInterval, 6, 1).c_str()),
        write_intervals(db, MultiRowInsert(kWriteInterval, 6, kRowsPerInsert).c_str()),
        erase_kept(db, "DELETE FROM kept WHERE machine_id = ?1 AND scan = ?2 AND path_id = ?3"),
        write_kept(db, "INSERT OR REPLACE INTO kept (machine_id, scan, path_id) VALUES (?1, ?2, ?3)") {}

  Statement find_machine, insert_machine, update_machine, find_bytes, find_run, list_scans;
  Statement delete_scan, delete_errors, insert_scan, insert_error;
  Statement find_path, insert_path, path_key, find_version, insert_version;
  Statement open_entries, close_interval, read_latest, write_latest, set_exact, delete_latest;
  Statement all_intervals, all_kept, machine_scans, scan_errors;
  Statement erase_interval, write_interval, write_intervals, erase_kept, write_kept;
};

SqliteStore::SqliteStore(const std::string& path, Access access)
    : db_(path, access) {
  RegisterFunctions(db_);
  // Reads go through a mapping of the file (read-only, as SQLite maps it):
  // a query's thousands of page reads then cost no system call each (find:
  // a sixth less time at 10 000 machines).
  db_.Exec(("PRAGMA busy_timeout = " + std::to_string(kBusyMilliseconds) +
            "; PRAGMA cache_size = -65536; PRAGMA mmap_size = 4294967296").c_str());
  upgraded_ = PrepareSchema(db_, access == Access::kWrite, *this);
  if (access == Access::kRead) {
    // One snapshot for every statement of the store's life: a query made
    // of several statements, or a page made of several queries, never sees
    // two states of the database.
    db_.Exec("BEGIN; SELECT count(*) FROM sqlite_schema");
    return;
  }
  // WAL: readers go on while a load writes, and a commit appends to the log
  // without rewriting pages in place. NORMAL syncs at checkpoints only: a
  // killed process loses nothing committed (the log is in the file system),
  // only a power cut may lose the last commits, never consistency. The log
  // and its index stay beside the file when the load ends (emptied), so
  // that readers, who map the index read-only and may have no right to make
  // files in the folder, find them there. A file's savepoint keeps the pages
  // it changes in memory (temp_store), not in a file of its own: on disk
  // that journal was most of a first load's writes.
  db_.Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA temp_store = MEMORY; "
           "PRAGMA wal_autocheckpoint = 16000; PRAGMA journal_size_limit = 67108864");
  int persist = 1;
  if (sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist) != SQLITE_OK) {
    db_.Fail("keeping the write-ahead log");
  }
}

SqliteStore::LoadStatements& SqliteStore::Statements() {
  // Prepared on the first use: a query needs none of them.
  if (!load_) load_ = std::make_unique<LoadStatements>(db_);
  return *load_;
}

SqliteStore::~SqliteStore() = default;

void SqliteStore::BeginGroup(const std::vector<std::string>&) {
  // BEGIN IMMEDIATE takes the write lock at once, so every other writer
  // waits for the group (up to the busy timeout) and no lock of a machine
  // is needed. Still busy after the wait, the group is tried again.
  if (db_.read_only()) throw StoreError(db_.path() + ": opened for reading only");
  db_.ClearFailure();
  try {
    db_.Exec("BEGIN IMMEDIATE");
  } catch (const StoreError& e) {
    if (db_.failed_code() == SQLITE_BUSY) throw RetryError(e.what());
    throw;
  }
}

void SqliteStore::CommitGroup() {
  db_.Exec("COMMIT");
  ids_.EndGroup(true);
}

void SqliteStore::AbandonGroup() {
  if (sqlite3_get_autocommit(db_.get()) == 0) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  ids_.EndGroup(false);
  read_latest_ = 0;
}

void SqliteStore::BeginFile() {
  db_.Exec("SAVEPOINT file");
  ids_.BeginFile();
}

void SqliteStore::EndFile(bool keep) {
  if (!keep) {
    db_.Exec("ROLLBACK TO file");
    read_latest_ = 0;
  }
  db_.Exec("RELEASE file");
  ids_.EndFile(keep);
}

std::optional<StoredMachine> SqliteStore::FindMachine(const std::string& name) {
  Statement& s = Statements().find_machine;
  s.Bind(1, name);
  std::optional<StoredMachine> found;
  if (s.Step()) found = StoredMachine{s.Int(0), std::string(s.Text(1)), s.Int(2), s.Int(3), s.Int(4)};
  s.Reset();
  return found;
}

MachineId SqliteStore::AddMachine(const std::string& name, Time started) {
  Statements().insert_machine.Bind(1, name).Bind(2, FoldCase(name)).Bind(3, started).Run();
  return db_.LastInsertId();
}

void SqliteStore::UpdateMachine(MachineId machine, Time first, Time last, std::int64_t files) {
  Statements().update_machine.Bind(1, machine).Bind(2, first).Bind(3, last).Bind(4, files).Run();
}

std::optional<std::pair<Time, std::string>> SqliteStore::FindBytes(MachineId machine,
                                                                   const std::string& sha256) {
  Statement& s = Statements().find_bytes;
  s.Bind(1, machine).BindBlob(2, sha256);
  std::optional<std::pair<Time, std::string>> found;
  if (s.Step()) found.emplace(s.Int(0), std::string(s.Text(1)));
  s.Reset();
  return found;
}

std::optional<StoredRun> SqliteStore::FindRun(MachineId machine, Time started) {
  Statement& s = Statements().find_run;
  s.Bind(1, machine).Bind(2, started);
  std::optional<StoredRun> found;
  if (s.Step()) {
    found = StoredRun{s.Int(0),
                      RunCopy{s.Int(1) != 0, static_cast<int>(s.Int(2)), static_cast<int>(s.Int(3)),
                              std::string(s.Blob(4))},
                      std::string(s.Text(5))};
  }
  s.Reset();
  return found;
}

std::vector<ScanFacts> SqliteStore::ListScans(MachineId machine) {
  Statement& s = Statements().list_scans;
  s.Bind(1, machine);
  std::vector<ScanFacts> scans;
  while (s.Step()) {
    scans.push_back(ScanFacts{s.Int(0), s.Int(1), std::string(s.Text(2)), s.Int(3) != 0, s.Int(4), s.Int(5)});
  }
  s.Reset();
  return scans;
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
    q.find_path.Bind(1, hash);
    while (id == 0 && q.find_path.Step()) {
      if (q.find_path.Text(1) == path) id = q.find_path.Int(0);
    }
    q.find_path.Reset();
    const bool added = id == 0;
    if (added) {
      q.insert_path.Bind(1, hash).Bind(2, path).Bind(3, NameKey(path)).Run();
      id = db_.LastInsertId();
    }
    ids_.AddPath(path, id, added);
    (*ids)[k] = id;
  }
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

std::string SqliteStore::PathKey(PathId path) {
  Statement& s = Statements().path_key;
  s.Bind(1, path);
  std::string key = s.Step() ? FoldCase(s.Text(0)) : std::string();
  s.Reset();
  return key;
}

std::optional<LatestRuns> SqliteStore::ReadLatest(MachineId machine) {
  Statement& s = Statements().read_latest;
  s.Bind(1, machine);
  std::optional<LatestRuns> latest;
  if (s.Step()) latest = DecodeLatest(s.Blob(1), s.Int(0) != 0);
  s.Reset();
  read_latest_ = latest ? machine : 0;
  if (latest) read_runs_ = latest->runs;
  return latest;
}

void SqliteStore::WriteLatest(MachineId machine, const LatestRuns* latest) {
  LoadStatements& q = Statements();
  if (latest == nullptr) {
    q.delete_latest.Bind(1, machine).Run();
    read_latest_ = 0;
    return;
  }
  // The same runs as those read hold the same lines: only the flag may
  // differ, and a blob of thousands of entries is not written again.
  if (read_latest_ == machine && read_runs_.size() == latest->runs.size() &&
      std::equal(read_runs_.begin(), read_runs_.end(), latest->runs.begin(),
                 [](const LineRun& a, const LineRun& b) { return a.digest == b.digest && a.count == b.count; })) {
    q.set_exact.Bind(1, machine).Bind(2, latest->exact ? 1 : 0).Run();
    return;
  }
  q.write_latest.Bind(1, machine).Bind(2, latest->exact ? 1 : 0);
  q.write_latest.BindBlob(3, EncodeLatest(latest->runs, latest->entries)).Run();
  read_latest_ = 0;
}

std::vector<Entry> SqliteStore::OpenEntries(MachineId machine) {
  Statement& s = Statements().open_entries;
  std::vector<Entry> rows;
  s.Bind(1, machine);
  while (s.Step()) rows.push_back(Entry{s.Int(0), s.Int(1)});
  s.Reset();
  return rows;
}

MachineHistory SqliteStore::StoredHistory(MachineId machine) {
  LoadStatements& q = Statements();
  MachineHistory history;
  Statement& s = q.all_intervals;
  s.Bind(1, machine);
  while (s.Step()) {
    history.intervals.push_back(Interval{s.Int(0), s.Int(1), s.Int(2), s.OptionalInt(3), s.Int(4) != 0});
  }
  s.Reset();
  Statement& k = q.all_kept;
  k.Bind(1, machine);
  while (k.Step()) history.kept.push_back(Kept{k.Int(0), k.Int(1)});
  k.Reset();
  return history;
}

std::vector<StoredScan> SqliteStore::StoredScans(MachineId machine) {
  LoadStatements& q = Statements();
  struct Row {
    std::int64_t id;
    StoredScan scan;
    bool has_errors;
  };
  std::vector<Row> rows;
  Statement& s = q.machine_scans;
  s.Bind(1, machine);
  while (s.Step()) rows.push_back(Row{s.Int(0), StoredScan{s.Int(1), s.Int(2) != 0, {}}, s.Int(3) > 0});
  s.Reset();
  std::vector<StoredScan> scans;
  for (Row& row : rows) {
    if (row.scan.finished && row.has_errors) {
      // The shield comes from the stored ERROR lines, read as they were.
      Statement& e = q.scan_errors;
      std::vector<std::string> texts;
      e.Bind(1, row.id);
      while (e.Step()) texts.emplace_back(e.Text(0));
      e.Reset();
      row.scan.shield = ShieldOf(std::vector<std::string_view>(texts.begin(), texts.end()));
    }
    scans.push_back(std::move(row.scan));
  }
  return scans;
}

void SqliteStore::CloseIntervals(MachineId machine, const std::vector<PathId>& paths, Time until) {
  Statement& s = Statements().close_interval;
  for (const PathId path : paths) s.Bind(1, machine).Bind(2, path).Bind(3, until).Run();
}

void SqliteStore::AddIntervals(MachineId machine, const std::vector<Interval>& rows) {
  HistoryChanges changes;
  changes.write = rows;
  WriteChanges(machine, changes);
}

void SqliteStore::WriteChanges(MachineId machine, const HistoryChanges& changes) {
  LoadStatements& q = Statements();
  for (const Interval& row : changes.erase) {
    q.erase_interval.Bind(1, machine).Bind(2, row.path).Bind(3, row.since).Run();
  }
  const auto bind = [machine](Statement& s, int first, const Interval& row) {
    s.Bind(first, machine).Bind(first + 1, row.path).Bind(first + 2, row.since);
    s.Bind(first + 3, row.version).Bind(first + 4, row.until).Bind(first + 5, row.opened ? 1 : 0);
  };
  std::size_t k = 0;
  for (; k + kRowsPerInsert <= changes.write.size(); k += kRowsPerInsert) {
    for (int r = 0; r < kRowsPerInsert; ++r) bind(q.write_intervals, 1 + 6 * r, changes.write[k + r]);
    q.write_intervals.Run();
  }
  for (; k < changes.write.size(); ++k) {
    bind(q.write_interval, 1, changes.write[k]);
    q.write_interval.Run();
  }
  for (const Kept& row : changes.kept_erase) {
    q.erase_kept.Bind(1, machine).Bind(2, row.scan).Bind(3, row.path).Run();
  }
  for (const Kept& row : changes.kept_write) {
    q.write_kept.Bind(1, machine).Bind(2, row.scan).Bind(3, row.path).Run();
  }
}

void SqliteStore::AddScan(MachineId machine, const ScanRow& scan) {
  LoadStatements& q = Statements();
  q.insert_scan.Bind(1, machine).Bind(2, scan.started).Bind(3, scan.completed);
  q.insert_scan.BindBlob(4, scan.sha256).Bind(5, scan.file);
  q.insert_scan.Bind(6, scan.report_lines).Bind(7, static_cast<std::int64_t>(scan.errors.size()));
  q.insert_scan.Bind(8, static_cast<std::int64_t>(std::time(nullptr)));
  q.insert_scan.Run();
  const std::int64_t scan_id = db_.LastInsertId();
  for (const auto& [line, text] : scan.errors) q.insert_error.Bind(1, scan_id).Bind(2, line).Bind(3, text).Run();
}

void SqliteStore::DeleteScan(std::int64_t scan_id) {
  LoadStatements& q = Statements();
  q.delete_errors.Bind(1, scan_id).Run();
  q.delete_scan.Bind(1, scan_id).Run();
}

void SqliteStore::DeleteMachine(MachineId machine) {
  for (const char* sql : {"DELETE FROM intervals WHERE machine_id = ?1", "DELETE FROM kept WHERE machine_id = ?1",
                          "DELETE FROM latest WHERE machine_id = ?1",
                          "DELETE FROM scan_errors WHERE scan_id IN (SELECT id FROM scans WHERE machine_id = ?1)",
                          "DELETE FROM scans WHERE machine_id = ?1", "DELETE FROM machines WHERE id = ?1"}) {
    Statement(db_, sql).Bind(1, machine).Run();
  }
  read_latest_ = 0;
}

void SqliteStore::MoveScans(MachineId from, MachineId into) {
  Statement(db_, "UPDATE scans SET machine_id = ?2 WHERE machine_id = ?1").Bind(1, from).Bind(2, into).Run();
}

}  // namespace vurfleet::sqlite
