#include "store/sqlite/sqlite_store.h"

#include <algorithm>
#include <ctime>

#include "base/glob.h"
#include "base/text.h"
#include "history/copies.h"
#include "read/shield.h"
#include "store/sqlite/latest.h"
#include "store/sqlite/schema.h"

#include <unordered_map>

namespace vurfleet::sqlite {
namespace {

// Ids kept in memory at most: some 30 MiB, whatever the fleet.
constexpr std::size_t kCachedPaths = 1 << 18;
constexpr std::size_t kCachedVersions = 1 << 16;

// Rows a statement writes at most: one statement for many rows saves
// SQLite's per-statement work (a cursor opened, sought and closed).
constexpr int kRowsPerInsert = 64;

// How long a load waits for another's write lock, and how many times.
constexpr int kBusyMilliseconds = 30000;
constexpr int kBusyAttempts = 10;

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

std::string FileName(std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool ByPath(const Entry& a, const Entry& b) { return a.path < b.path; }

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

std::vector<std::string_view> ErrorTexts(const Scan& scan) {
  std::vector<std::string_view> texts;
  texts.reserve(scan.errors.size());
  for (const ErrorLine& e : scan.errors) texts.push_back(e.text);
  return texts;
}

}  // namespace

constexpr const char* kWriteInterval =
    "INSERT OR REPLACE INTO intervals (machine_id, path_id, since, version_id, until, opened)";

struct SqliteStore::LoadStatements {
  explicit LoadStatements(Db& db)
      : find_file(db,
                  "SELECT m.name, s.file, s.started FROM machines m "
                  "JOIN scans s ON s.machine_id = m.id WHERE m.name = ?1 AND s.sha256 = ?2"),
        find_machine(db, "SELECT id, first_started, last_started FROM machines WHERE name = ?1"),
        insert_machine(db,
                       "INSERT INTO machines (name, name_key, first_started, last_started, files) "
                       "VALUES (?1, ?2, ?3, ?3, 0)"),
        update_machine(db,
                       "UPDATE machines SET first_started = ?2, last_started = ?3, files = ?4 "
                       "WHERE id = ?1"),
        find_run(db,
                 "SELECT id, completed IS NOT NULL, report_lines, error_lines, sha256, file "
                 "FROM scans WHERE machine_id = ?1 AND started = ?2"),
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

  Statement find_file, find_machine, insert_machine, update_machine;
  Statement find_run, delete_scan, delete_errors, insert_scan, insert_error;
  Statement find_path, insert_path, path_key, find_version, insert_version;
  Statement open_entries, close_interval, read_latest, write_latest, set_exact, delete_latest;
  Statement all_intervals, all_kept, machine_scans, scan_errors;
  Statement erase_interval, write_interval, write_intervals, erase_kept, write_kept;
};

SqliteStore::SqliteStore(const std::string& path, Access access)
    : db_(path, access), path_ids_(kCachedPaths), version_ids_(kCachedVersions) {
  RegisterFunctions(db_);
  // Reads go through a mapping of the file (read-only, as SQLite maps it):
  // a query's thousands of page reads then cost no system call each (find:
  // a sixth less time at 10 000 machines).
  db_.Exec(("PRAGMA busy_timeout = " + std::to_string(kBusyMilliseconds) +
            "; PRAGMA cache_size = -65536; PRAGMA mmap_size = 4294967296").c_str());
  PrepareSchema(db_, access == Access::kWrite);
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
  // files in the folder, find them there.
  db_.Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; "
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

std::optional<Store::StoredFile> SqliteStore::FindFile(const std::string& machine,
                                                      const std::string& sha256) {
  Statement& s = Statements().find_file;
  s.Bind(1, UpperCase(machine)).BindBlob(2, sha256);
  std::optional<StoredFile> found;
  if (s.Step()) found = StoredFile{std::string(s.Text(0)), std::string(s.Text(1)), s.Int(2)};
  s.Reset();
  return found;
}

LoadResult SqliteStore::Load(const ScanFile& file) {
  // Another process's load holds the write lock for one file's transaction
  // at a time; the busy timeout waits for it, and a wait that still ends
  // busy (a long transaction, a checkpoint) is tried again, so that loads
  // side by side all complete.
  for (int attempt = 1;; ++attempt) {
    new_ids_ = false;
    db_.ClearFailure();
    LoadResult result;
    bool committed = false;
    try {
      Transaction transaction(db_);
      result = LoadInTransaction(file);
      if (result.status == LoadStatus::kLoaded || result.status == LoadStatus::kReplaced) {
        transaction.Commit();
        committed = true;
      }
    } catch (const StoreError& e) {
      if (new_ids_) ForgetIds();
      if (db_.failed_code() == SQLITE_BUSY && attempt < kBusyAttempts) continue;
      throw StoreError(std::string(e.what()) + " (while loading " + file.file +
                       ": its transaction was rolled back; load it again)");
    } catch (...) {
      // Out of memory, say: the transaction is rolled back on the way out.
      if (new_ids_) ForgetIds();
      throw;
    }
    if (!committed && new_ids_) ForgetIds();
    return result;
  }
}

void SqliteStore::ForgetIds() {
  path_ids_.Clear();
  version_ids_.Clear();
}

LoadResult SqliteStore::LoadInTransaction(const ScanFile& file) {
  LoadStatements& q = Statements();
  const Scan& scan = *file.scan;
  LoadResult result;
  result.machine = UpperCase(file.machine);

  if (std::optional<StoredFile> stored = FindFile(file.machine, file.sha256)) {
    result.status = LoadStatus::kAlreadyLoaded;
    result.machine = stored->machine;
    result.stored_file = stored->file;
    result.stored_started = stored->started;
    return result;
  }

  // The machine, and what is stored of it.
  std::int64_t machine = 0;
  std::optional<Time> first_started, last_started;
  q.find_machine.Bind(1, result.machine);
  if (q.find_machine.Step()) {
    machine = q.find_machine.Int(0);
    first_started = q.find_machine.Int(1);
    last_started = q.find_machine.Int(2);
  }
  q.find_machine.Reset();

  // Another copy of the same run.
  bool replacing = false;
  if (machine != 0) {
    q.find_run.Bind(1, machine).Bind(2, scan.started);
    if (q.find_run.Step()) {
      RunCopy stored{q.find_run.Int(1) != 0, static_cast<int>(q.find_run.Int(2)),
                     static_cast<int>(q.find_run.Int(3)), std::string(q.find_run.Blob(4))};
      const std::int64_t stored_id = q.find_run.Int(0);
      result.stored_file = std::string(q.find_run.Text(5));
      q.find_run.Reset();
      const RunCopy incoming{scan.finished(), scan.report_lines,
                             static_cast<int>(scan.errors.size()), file.sha256};
      switch (CompareCopies(stored, incoming)) {
        case CopyVerdict::kConflict: result.status = LoadStatus::kConflict; return result;
        case CopyVerdict::kKeepStored: result.status = LoadStatus::kKeptStored; return result;
        case CopyVerdict::kReplaceStored: break;
      }
      q.delete_errors.Bind(1, stored_id).Run();
      q.delete_scan.Bind(1, stored_id).Run();
      replacing = true;
    } else {
      q.find_run.Reset();
    }
  }
  result.status = replacing ? LoadStatus::kReplaced : LoadStatus::kLoaded;

  // What the scan reported, as ids sorted by path.
  ScanInput input;
  input.start = scan.started;
  input.finished = scan.finished();
  input.shield = ShieldOf(ErrorTexts(scan));
  const std::optional<Latest> latest = machine != 0 ? ReadLatest(machine) : std::nullopt;
  Repeats repeats;
  std::vector<Entry> in_file_order = Identify(scan, file.runs, latest ? &*latest : nullptr, &repeats);
  // Sorted by path when the history needs the whole set; the common case,
  // a finished scan after a whole one, needs only the runs that changed.
  const auto sorted_input = [&] {
    input.reported = in_file_order;
    std::sort(input.reported.begin(), input.reported.end(), ByPath);
  };

  const PathKeys keys = [this](PathId path) { return PathKey(path); };
  std::int64_t files = 0;
  const bool first_scan = machine == 0;
  if (first_scan) {
    q.insert_machine.Bind(1, result.machine).Bind(2, FoldCase(result.machine)).Bind(3, scan.started);
    q.insert_machine.Run();
    machine = db_.LastInsertId();
  }
  if (first_scan || (!replacing && scan.started > *last_started)) {
    // The machine's latest scan: only what changed is written.
    AppendChanges changes;
    if (!first_scan && latest && latest->exact && input.finished && input.shield.empty()) {
      // Both inventories are whole scans' lines, and the runs they share
      // hold the same entries: only the other runs can differ.
      changes = ChangedRuns(*latest, in_file_order, repeats);
      files = static_cast<std::int64_t>(in_file_order.size());
    } else {
      // The inventory before comes from the latest scan's runs when they
      // were all of it, else from the open intervals.
      std::vector<Entry> before;
      if (!first_scan) {
        if (latest && latest->exact) {
          before = latest->entries;
          std::sort(before.begin(), before.end(), ByPath);
        } else {
          before = OpenEntries(machine);
        }
      }
      std::vector<Entry> after;
      sorted_input();
      changes = Append(before, input, keys, &after);
      files = static_cast<std::int64_t>(after.size());
    }
    for (const PathId path : changes.closed) {
      q.close_interval.Bind(1, machine).Bind(2, path).Bind(3, scan.started).Run();
    }
    std::vector<Interval> opened;
    opened.reserve(changes.opened.size());
    for (const Entry& e : changes.opened) {
      opened.push_back(Interval{e.path, e.version, scan.started, std::nullopt, !first_scan});
    }
    HistoryChanges rows;
    rows.write = std::move(opened);
    for (const PathId path : changes.kept) rows.kept_write.push_back(Kept{scan.started, path});
    WriteChanges(machine, rows);
    WriteLatest(machine, file.runs, in_file_order, changes.kept.empty(), latest ? &*latest : nullptr);
  } else {
    // A late scan, or a copy in place of another: the history is worked out
    // again from the stored scans, and only the difference written.
    result.reordered = true;
    sorted_input();
    const MachineHistory stored = StoredHistory(machine);
    const MachineHistory wanted = Rebuild(stored, StoredScans(machine), input, keys);
    WriteChanges(machine, Diff(stored, wanted));
    for (const Interval& row : wanted.intervals) files += row.until ? 0 : 1;
    const Time latest_start = std::max(*last_started, scan.started);
    const bool exact = std::none_of(wanted.kept.begin(), wanted.kept.end(),
                                    [&](const Kept& k) { return k.scan == latest_start; });
    if (scan.started >= *last_started) {
      WriteLatest(machine, file.runs, in_file_order, exact, nullptr);
    } else if (latest) {
      q.set_exact.Bind(1, machine).Bind(2, exact ? 1 : 0).Run();
    }
  }

  q.insert_scan.Bind(1, machine).Bind(2, scan.started);
  q.insert_scan.Bind(3, scan.completed ? std::optional<std::int64_t>(*scan.completed) : std::nullopt);
  q.insert_scan.BindBlob(4, file.sha256).Bind(5, file.file);
  q.insert_scan.Bind(6, scan.report_lines).Bind(7, static_cast<std::int64_t>(scan.errors.size()));
  q.insert_scan.Bind(8, static_cast<std::int64_t>(std::time(nullptr)));
  q.insert_scan.Run();
  const std::int64_t scan_id = db_.LastInsertId();
  for (const ErrorLine& e : scan.errors) {
    q.insert_error.Bind(1, scan_id).Bind(2, e.line).Bind(3, e.text).Run();
  }
  const Time first = first_started ? std::min(*first_started, scan.started) : scan.started;
  const Time last = last_started ? std::max(*last_started, scan.started) : scan.started;
  q.update_machine.Bind(1, machine).Bind(2, first).Bind(3, last).Bind(4, files).Run();
  return result;
}

ForgetResult SqliteStore::Forget(const std::string& name, std::optional<Time> scan) {
  LoadStatements& q = Statements();
  ForgetResult result;
  Transaction transaction(db_);
  std::int64_t machine = 0;
  q.find_machine.Bind(1, UpperCase(name));
  if (q.find_machine.Step()) machine = q.find_machine.Int(0);
  q.find_machine.Reset();
  if (machine == 0) return result;
  {
    Statement named(db_, "SELECT name FROM machines WHERE id = ?1");
    named.Bind(1, machine).Step();
    result.machine = std::string(named.Text(0));
  }
  Statement scans(db_,
                  "SELECT started, file, completed IS NOT NULL, report_lines, error_lines FROM scans "
                  "WHERE machine_id = ?1 ORDER BY started");
  scans.Bind(1, machine);
  std::int64_t count = 0;
  while (scans.Step()) {
    ++count;
    if (scan && scans.Int(0) != *scan) continue;
    result.scans.push_back(ForgottenScan{scans.Int(0), std::string(scans.Text(1)), scans.Int(2) != 0,
                                         scans.Int(3), scans.Int(4)});
  }
  scans.Reset();
  if (result.scans.empty()) return result;

  if (!scan || count == 1) {
    for (const char* sql : {"DELETE FROM intervals WHERE machine_id = ?1",
                            "DELETE FROM kept WHERE machine_id = ?1",
                            "DELETE FROM latest WHERE machine_id = ?1",
                            "DELETE FROM scan_errors WHERE scan_id IN (SELECT id FROM scans WHERE machine_id = ?1)",
                            "DELETE FROM scans WHERE machine_id = ?1",
                            "DELETE FROM machines WHERE id = ?1"}) {
      Statement(db_, sql).Bind(1, machine).Run();
    }
    result.machine_removed = true;
    transaction.Commit();
    return result;
  }

  // The history as if the scan had never been loaded, and only the
  // difference written. The latest scan's runs are only a cache: dropped,
  // the next load reads the open intervals instead.
  const PathKeys keys = [this](PathId path) { return PathKey(path); };
  const MachineHistory stored = StoredHistory(machine);
  const MachineHistory wanted = Without(stored, StoredScans(machine), *scan, keys);
  WriteChanges(machine, Diff(stored, wanted));
  Statement(db_, "DELETE FROM scan_errors WHERE scan_id IN "
                 "(SELECT id FROM scans WHERE machine_id = ?1 AND started = ?2)")
      .Bind(1, machine).Bind(2, *scan).Run();
  Statement(db_, "DELETE FROM scans WHERE machine_id = ?1 AND started = ?2").Bind(1, machine).Bind(2, *scan).Run();
  q.delete_latest.Bind(1, machine).Run();
  for (const Interval& row : wanted.intervals) result.files += row.until ? 0 : 1;
  Statement(db_,
            "UPDATE machines SET first_started = (SELECT min(started) FROM scans WHERE machine_id = ?1), "
            "last_started = (SELECT max(started) FROM scans WHERE machine_id = ?1), files = ?2 "
            "WHERE id = ?1")
      .Bind(1, machine).Bind(2, result.files).Run();
  transaction.Commit();
  return result;
}

std::vector<Entry> SqliteStore::Identify(const Scan& scan, const std::vector<LineRun>& runs,
                                         const Latest* latest, Repeats* repeats) {
  const std::size_t count = scan.reports.size();
  std::vector<Entry> entries(count, Entry{-1, -1});
  repeats->line.assign(count, false);
  repeats->run.assign(latest != nullptr ? latest->runs.size() : 0, false);
  // Runs the latest scan held, by digest: their ids need no lookup.
  if (latest != nullptr && !runs.empty()) {
    std::unordered_map<std::uint64_t, std::size_t> held;
    held.reserve(latest->runs.size());
    for (std::size_t r = 0; r < latest->runs.size(); ++r) held.emplace(latest->runs[r].digest, r);
    for (const LineRun& run : runs) {
      if (run.first > count || run.count > count - run.first) break;  // not this scan's runs
      const auto found = held.find(run.digest);
      if (found == held.end() || repeats->run[found->second]) continue;
      const LineRun& old = latest->runs[found->second];
      if (old.count != run.count || old.first + old.count > latest->entries.size()) continue;
      std::copy_n(latest->entries.begin() + old.first, run.count, entries.begin() + run.first);
      std::fill_n(repeats->line.begin() + run.first, run.count, true);
      repeats->run[found->second] = true;
    }
  }
  // The others: many lookups in memory at once, then the database for
  // what memory does not hold.
  std::vector<std::size_t> unknown;
  std::vector<std::string_view> paths, version_keys;
  std::vector<std::uint64_t> values;
  for (std::size_t k = 0; k < count; ++k) {
    if (entries[k].path < 0) unknown.push_back(k);
  }
  values.reserve(unknown.size());
  for (const std::size_t k : unknown) {
    paths.push_back(scan.reports[k].path);
    values.push_back(scan.reports[k].version.value());
  }
  for (const std::uint64_t& value : values) {
    version_keys.emplace_back(reinterpret_cast<const char*>(&value), sizeof value);
  }
  std::vector<std::int64_t> path_ids, version_ids;
  path_ids_.FindMany(paths, &path_ids);
  version_ids_.FindMany(version_keys, &version_ids);
  for (std::size_t u = 0; u < unknown.size(); ++u) {
    const Version& version = scan.reports[unknown[u]].version;
    const PathId path = path_ids[u] >= 0 ? path_ids[u] : InternPath(paths[u]);
    const VersionId id = version.is_none()     ? 0
                         : version_ids[u] >= 0 ? version_ids[u]
                                               : InternVersion(version);
    entries[unknown[u]] = Entry{path, id};
  }
  return entries;
}

AppendChanges SqliteStore::ChangedRuns(const Latest& latest, const std::vector<Entry>& now,
                                       const Repeats& repeats) {
  std::vector<Entry> before, after;
  for (std::size_t r = 0; r < latest.runs.size(); ++r) {
    if (repeats.run[r]) continue;
    const LineRun& run = latest.runs[r];
    before.insert(before.end(), latest.entries.begin() + run.first,
                  latest.entries.begin() + run.first + run.count);
  }
  for (std::size_t k = 0; k < now.size(); ++k) {
    if (!repeats.line[k]) after.push_back(now[k]);
  }
  std::sort(before.begin(), before.end(), ByPath);
  std::sort(after.begin(), after.end(), ByPath);
  // The difference of two finished scans' lines, as Append gives it.
  ScanInput whole;
  whole.finished = true;
  whole.reported = std::move(after);
  std::vector<Entry> unused;
  return Append(before, whole, PathKeys(), &unused);
}

std::optional<Latest> SqliteStore::ReadLatest(std::int64_t machine) {
  Statement& s = load_->read_latest;
  s.Bind(1, machine);
  std::optional<Latest> latest;
  if (s.Step()) latest = DecodeLatest(s.Blob(1), s.Int(0) != 0);
  s.Reset();
  return latest;
}

void SqliteStore::WriteLatest(std::int64_t machine, const std::vector<LineRun>& runs,
                              const std::vector<Entry>& entries, bool exact, const Latest* old) {
  if (runs.empty() && !entries.empty()) {
    load_->delete_latest.Bind(1, machine).Run();  // nothing to recognise the lines by
    return;
  }
  // The same runs as before hold the same lines: only the flag may differ.
  if (old != nullptr && old->runs.size() == runs.size() &&
      std::equal(runs.begin(), runs.end(), old->runs.begin(),
                 [](const LineRun& a, const LineRun& b) {
                   return a.digest == b.digest && a.count == b.count;
                 })) {
    if (old->exact != exact) load_->set_exact.Bind(1, machine).Bind(2, exact ? 1 : 0).Run();
    return;
  }
  load_->write_latest.Bind(1, machine).Bind(2, exact ? 1 : 0);
  load_->write_latest.BindBlob(3, EncodeLatest(runs, entries)).Run();
}

std::vector<Entry> SqliteStore::OpenEntries(std::int64_t machine) {
  Statement& s = load_->open_entries;
  std::vector<Entry> rows;
  s.Bind(1, machine);
  while (s.Step()) rows.push_back(Entry{s.Int(0), s.Int(1)});
  s.Reset();
  return rows;
}

PathId SqliteStore::InternPath(std::string_view path) {
  if (const std::optional<std::int64_t> cached = path_ids_.Find(path)) return *cached;
  LoadStatements& q = *load_;
  const std::int64_t hash = static_cast<std::int64_t>(StableHash(path));
  PathId id = 0;
  q.find_path.Bind(1, hash);
  while (id == 0 && q.find_path.Step()) {
    if (q.find_path.Text(1) == path) id = q.find_path.Int(0);
  }
  q.find_path.Reset();
  if (id == 0) {
    q.insert_path.Bind(1, hash).Bind(2, path).Bind(3, FoldCase(FileName(path))).Run();
    id = db_.LastInsertId();
    new_ids_ = true;
  }
  path_ids_.Insert(path, id);
  return id;
}

VersionId SqliteStore::InternVersion(const Version& version) {
  if (version.is_none()) return 0;
  const std::uint64_t value = version.value();
  const std::string_view key(reinterpret_cast<const char*>(&value), sizeof value);
  if (const std::optional<std::int64_t> cached = version_ids_.Find(key)) return *cached;
  LoadStatements& q = *load_;
  VersionId id;
  q.find_version.Bind(1, VersionValue(value));
  if (q.find_version.Step()) {
    id = q.find_version.Int(0);
    q.find_version.Reset();
  } else {
    q.find_version.Reset();
    q.insert_version.Bind(1, VersionValue(value)).Run();
    id = db_.LastInsertId();
    new_ids_ = true;
  }
  version_ids_.Insert(key, id);
  return id;
}

std::string SqliteStore::PathKey(PathId path) {
  LoadStatements& q = *load_;
  q.path_key.Bind(1, path);
  std::string key = q.path_key.Step() ? FoldCase(q.path_key.Text(0)) : std::string();
  q.path_key.Reset();
  return key;
}

MachineHistory SqliteStore::StoredHistory(std::int64_t machine) {
  MachineHistory history;
  Statement& s = load_->all_intervals;
  s.Bind(1, machine);
  while (s.Step()) {
    history.intervals.push_back(Interval{s.Int(0), s.Int(1), s.Int(2), s.OptionalInt(3), s.Int(4) != 0});
  }
  s.Reset();
  Statement& k = load_->all_kept;
  k.Bind(1, machine);
  while (k.Step()) history.kept.push_back(Kept{k.Int(0), k.Int(1)});
  k.Reset();
  return history;
}

std::vector<StoredScan> SqliteStore::StoredScans(std::int64_t machine) {
  struct Row {
    std::int64_t id;
    StoredScan scan;
    bool has_errors;
  };
  std::vector<Row> rows;
  Statement& s = load_->machine_scans;
  s.Bind(1, machine);
  while (s.Step()) rows.push_back(Row{s.Int(0), StoredScan{s.Int(1), s.Int(2) != 0, {}}, s.Int(3) > 0});
  s.Reset();
  std::vector<StoredScan> scans;
  for (Row& row : rows) {
    if (row.scan.finished && row.has_errors) {
      // The shield comes from the stored ERROR lines, read as they were.
      Statement& e = load_->scan_errors;
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

void SqliteStore::WriteChanges(std::int64_t machine, const HistoryChanges& changes) {
  LoadStatements& q = *load_;
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

}  // namespace vurfleet::sqlite
