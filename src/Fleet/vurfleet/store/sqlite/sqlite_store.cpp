#include "store/sqlite/sqlite_store.h"

#include <algorithm>
#include <ctime>

#include "base/text.h"
#include "history/copies.h"
#include "read/shield.h"
#include "store/sqlite/schema.h"

namespace vurfleet::sqlite {
namespace {

// Ids kept in memory at most: a few tens of MiB, whatever the fleet.
constexpr std::size_t kCachedIds = 200000;

std::string FileName(std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::vector<std::string_view> ErrorTexts(const Scan& scan) {
  std::vector<std::string_view> texts;
  texts.reserve(scan.errors.size());
  for (const ErrorLine& e : scan.errors) texts.push_back(e.text);
  return texts;
}

}  // namespace

struct SqliteStore::LoadStatements {
  explicit LoadStatements(Db& db)
      : find_machine(db, "SELECT id, first_started, last_started FROM machines WHERE name = ?1"),
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
        find_path(db, "SELECT id FROM paths WHERE path = ?1"),
        insert_path(db, "INSERT INTO paths (path, name_key, path_key) VALUES (?1, ?2, ?3)"),
        path_key(db, "SELECT path_key FROM paths WHERE id = ?1"),
        find_version(db, "SELECT id FROM versions WHERE value = ?1"),
        insert_version(db, "INSERT INTO versions (value) VALUES (?1)"),
        open_intervals(db,
                       "SELECT path_id, version_id, since, opened FROM intervals "
                       "WHERE machine_id = ?1 AND until IS NULL ORDER BY path_id"),
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
        write_interval(db,
                       "INSERT OR REPLACE INTO intervals "
                       "(machine_id, path_id, since, version_id, until, opened) "
                       "VALUES (?1, ?2, ?3, ?4, ?5, ?6)"),
        erase_kept(db, "DELETE FROM kept WHERE machine_id = ?1 AND scan = ?2 AND path_id = ?3"),
        write_kept(db, "INSERT OR REPLACE INTO kept (machine_id, scan, path_id) VALUES (?1, ?2, ?3)") {}

  Statement find_machine, insert_machine, update_machine;
  Statement find_run, delete_scan, delete_errors, insert_scan, insert_error;
  Statement find_path, insert_path, path_key, find_version, insert_version;
  Statement open_intervals, all_intervals, all_kept, machine_scans, scan_errors;
  Statement erase_interval, write_interval, erase_kept, write_kept;
};

SqliteStore::SqliteStore(const std::string& path, bool create) : db_(path, create) {
  // WAL: readers go on while a load writes, and a commit appends to the log
  // without rewriting pages in place. NORMAL syncs at checkpoints only: a
  // killed process loses nothing committed (the log is in the file system),
  // only a power cut may lose the last commits, never consistency.
  db_.Exec("PRAGMA busy_timeout = 10000");
  PrepareSchema(db_, create);
  db_.Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; "
           "PRAGMA cache_size = -65536; PRAGMA wal_autocheckpoint = 4000");
  load_ = std::make_unique<LoadStatements>(db_);
}

SqliteStore::~SqliteStore() = default;

std::optional<Store::StoredFile> SqliteStore::FindFile(const std::string& sha256) {
  Statement statement(db_,
                      "SELECT m.name, s.file, s.started FROM scans s "
                      "JOIN machines m ON m.id = s.machine_id WHERE s.sha256 = ?1");
  statement.BindBlob(1, sha256);
  if (!statement.Step()) return std::nullopt;
  return StoredFile{std::string(statement.Text(0)), std::string(statement.Text(1)),
                    statement.Int(2)};
}

LoadResult SqliteStore::Load(const ScanFile& file) {
  new_paths_.clear();
  new_versions_.clear();
  LoadResult result;
  {
    Transaction transaction(db_);
    result = LoadInTransaction(file);
    if (result.status == LoadStatus::kLoaded || result.status == LoadStatus::kReplaced) {
      transaction.Commit();
    } else {
      return result;  // nothing to store: rolled back
    }
  }
  // Committed: the new ids are valid from now on.
  if (path_ids_.size() + new_paths_.size() > kCachedIds) path_ids_.clear();
  for (auto& [path, id] : new_paths_) path_ids_.emplace(std::move(path), id);
  if (version_ids_.size() + new_versions_.size() > kCachedIds) version_ids_.clear();
  for (const auto& [value, id] : new_versions_) version_ids_.emplace(value, id);
  return result;
}

LoadResult SqliteStore::LoadInTransaction(const ScanFile& file) {
  LoadStatements& q = *load_;
  const Scan& scan = *file.scan;
  LoadResult result;
  result.machine = UpperCase(file.machine);

  if (std::optional<StoredFile> stored = FindFile(file.sha256)) {
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
  input.reported.reserve(scan.reports.size());
  for (const ReportLine& line : scan.reports) {
    input.reported.push_back(Entry{InternPath(line.path), InternVersion(line.version)});
  }
  std::sort(input.reported.begin(), input.reported.end(),
            [](const Entry& a, const Entry& b) { return a.path < b.path; });

  const PathKeys keys = [this](PathId path) { return PathKey(path); };
  std::int64_t files = 0;
  if (machine == 0) {
    q.insert_machine.Bind(1, result.machine).Bind(2, FoldCase(result.machine)).Bind(3, scan.started);
    q.insert_machine.Run();
    machine = db_.LastInsertId();
  }
  if (!last_started || (!replacing && scan.started > *last_started)) {
    // The machine's latest scan: only what changed is written.
    std::vector<Entry> inventory;
    const HistoryChanges changes =
        Append(last_started ? OpenIntervals(machine) : std::vector<Interval>{}, !last_started,
               input, keys, &inventory);
    WriteChanges(machine, changes);
    files = static_cast<std::int64_t>(inventory.size());
  } else {
    // A late scan, or a copy in place of another: the history is worked out
    // again from the stored scans, and only the difference written.
    result.reordered = true;
    const MachineHistory stored = StoredHistory(machine);
    const MachineHistory wanted = Rebuild(stored, StoredScans(machine), input, keys);
    WriteChanges(machine, Diff(stored, wanted));
    for (const Interval& row : wanted.intervals) files += row.until ? 0 : 1;
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

PathId SqliteStore::InternPath(std::string_view path) {
  // Heterogeneous lookup is C++20; a key string costs one copy.
  std::string key(path);
  const auto cached = path_ids_.find(key);
  if (cached != path_ids_.end()) return cached->second;
  LoadStatements& q = *load_;
  PathId id;
  q.find_path.Bind(1, path);
  if (q.find_path.Step()) {
    id = q.find_path.Int(0);
    q.find_path.Reset();
    if (path_ids_.size() >= kCachedIds) path_ids_.clear();
    path_ids_.emplace(std::move(key), id);  // stored before: valid whatever this transaction does
    return id;
  }
  q.find_path.Reset();
  q.insert_path.Bind(1, path).Bind(2, FoldCase(FileName(path))).Bind(3, FoldCase(path)).Run();
  id = db_.LastInsertId();
  new_paths_.emplace_back(std::move(key), id);
  return id;
}

VersionId SqliteStore::InternVersion(const Version& version) {
  if (version.is_none()) return 0;
  const auto cached = version_ids_.find(version.value());
  if (cached != version_ids_.end()) return cached->second;
  for (const auto& [value, id] : new_versions_) {
    if (value == version.value()) return id;
  }
  LoadStatements& q = *load_;
  VersionId id;
  q.find_version.Bind(1, VersionValue(version.value()));
  if (q.find_version.Step()) {
    id = q.find_version.Int(0);
    q.find_version.Reset();
    if (version_ids_.size() >= kCachedIds) version_ids_.clear();
    version_ids_.emplace(version.value(), id);
    return id;
  }
  q.find_version.Reset();
  q.insert_version.Bind(1, VersionValue(version.value())).Run();
  id = db_.LastInsertId();
  new_versions_.emplace_back(version.value(), id);
  return id;
}

std::string SqliteStore::PathKey(PathId path) {
  LoadStatements& q = *load_;
  q.path_key.Bind(1, path);
  std::string key = q.path_key.Step() ? std::string(q.path_key.Text(0)) : std::string();
  q.path_key.Reset();
  return key;
}

std::vector<Interval> SqliteStore::OpenIntervals(std::int64_t machine) {
  Statement& s = load_->open_intervals;
  std::vector<Interval> rows;
  s.Bind(1, machine);
  while (s.Step()) rows.push_back(Interval{s.Int(0), s.Int(1), s.Int(2), std::nullopt, s.Int(3) != 0});
  s.Reset();
  return rows;
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
  for (const Interval& row : changes.write) {
    q.write_interval.Bind(1, machine).Bind(2, row.path).Bind(3, row.since).Bind(4, row.version);
    q.write_interval.Bind(5, row.until).Bind(6, row.opened ? 1 : 0).Run();
  }
  for (const Kept& row : changes.kept_erase) {
    q.erase_kept.Bind(1, machine).Bind(2, row.scan).Bind(3, row.path).Run();
  }
  for (const Kept& row : changes.kept_write) {
    q.write_kept.Bind(1, machine).Bind(2, row.scan).Bind(3, row.path).Run();
  }
}

}  // namespace vurfleet::sqlite
