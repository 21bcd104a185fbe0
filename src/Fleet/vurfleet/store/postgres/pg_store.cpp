#include "store/postgres/pg_store.h"

#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "base/text.h"
#include "history/copies.h"
#include "read/shield.h"
#include "store/postgres/pg_schema.h"

namespace vurfleet::pg {
namespace {

// Times a transaction that met a deadlock or a serialization failure is
// tried again before the load fails.
constexpr int kAttempts = 5;

// Ids kept in memory at most, as the SQLite store keeps them.
constexpr std::size_t kCachedPaths = 1 << 18;
constexpr std::size_t kCachedVersions = 1 << 16;
// Staged lines from which the planner is given the table's statistics.
constexpr std::size_t kAnalyzedLines = 2000;

// The stored number of a version, as the SQLite store keeps it: its 64
// bits with the top one flipped, so that signed order is version order.
std::string VersionValue(std::uint64_t version) {
  return std::to_string(static_cast<std::int64_t>(version ^ (std::uint64_t{1} << 63)));
}

std::string FileName(std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool ByPath(const Entry& a, const Entry& b) { return a.path < b.path; }

// An advisory lock's key for a text: the lock is held to the transaction's end.
std::string LockKey(std::string_view kind, std::string_view text) {
  return std::to_string(static_cast<std::int64_t>(StableHash(std::string(kind) + '\0' + std::string(text))));
}

// A bigint[] parameter.
template <typename T, typename F>
std::string IntArray(const std::vector<T>& rows, F field) {
  std::string out = "{";
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (k > 0) out += ',';
    out += std::to_string(field(rows[k]));
  }
  return out + "}";
}

void CopyInt(std::string* out, std::int64_t value) { out->append(std::to_string(value)); }

}  // namespace

PgStore::PgStore(const std::string& where, Access access)
    : conn_(where), path_ids_(kCachedPaths), version_ids_(kCachedVersions) {
  PrepareSchema(conn_, access == Access::kWrite);
  // A reader's queries all read one snapshot, and no transaction of its
  // session can write, whatever happens to that snapshot.
  if (access == Access::kRead) {
    conn_.Run("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY");
    conn_.Run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  }
}

std::optional<Store::StoredFile> PgStore::FindFile(const std::string& machine,
                                                  const std::string& sha256) {
  Result r = conn_.Exec("SELECT m.name, s.file, s.started FROM machines m "
                        "JOIN scans s ON s.machine_id = m.id WHERE m.name = $1 AND s.sha256 = $2::bytea",
                        {UpperCase(machine), HexBytes(sha256)});
  if (r.rows() == 0) return std::nullopt;
  return StoredFile{std::string(r.Text(0, 0)), std::string(r.Text(0, 1)), r.Int(0, 2)};
}

LoadResult PgStore::Load(const ScanFile& file) {
  for (int attempt = 1;; ++attempt) {
    conn_.ClearFailure();
    new_ids_ = false;
    try {
      Transaction transaction(conn_);
      LoadResult result = LoadInTransaction(file);
      if (result.status == LoadStatus::kLoaded || result.status == LoadStatus::kReplaced) {
        transaction.Commit();
      } else if (new_ids_) {
        ForgetIds();
      }
      return result;
    } catch (const StoreError& e) {
      if (new_ids_) ForgetIds();
      if (attempt < kAttempts && conn_.alive() && IsRetryable(conn_.failed_state())) continue;
      throw StoreError(std::string(e.what()) + " (while loading " + file.file +
                       ": its transaction was rolled back; load it again)");
    } catch (...) {
      if (new_ids_) ForgetIds();
      throw;
    }
  }
}

LoadResult PgStore::LoadInTransaction(const ScanFile& file) {
  const Scan& scan = *file.scan;
  LoadResult result;
  result.machine = UpperCase(file.machine);

  // One machine's history at a time, so the same file given to two loads
  // at once is stored by the first and found here by the second.
  conn_.Exec("SELECT pg_advisory_xact_lock($1)", {LockKey("machine", result.machine)});
  if (std::optional<StoredFile> stored = FindFile(file.machine, file.sha256)) {
    result.status = LoadStatus::kAlreadyLoaded;
    result.machine = stored->machine;
    result.stored_file = stored->file;
    result.stored_started = stored->started;
    return result;
  }

  std::int64_t machine = 0;
  std::optional<Time> first_started, last_started;
  {
    Result r = conn_.Exec("SELECT id, first_started, last_started FROM machines WHERE name = $1",
                          {result.machine});
    if (r.rows() > 0) {
      machine = r.Int(0, 0);
      first_started = r.Int(0, 1);
      last_started = r.Int(0, 2);
    }
  }

  // Another copy of the same run.
  bool replacing = false;
  if (machine != 0) {
    Result r = conn_.Exec(
        "SELECT id, completed IS NOT NULL, report_lines, error_lines, sha256, file "
        "FROM scans WHERE machine_id = $1 AND started = $2",
        {std::to_string(machine), std::to_string(scan.started)});
    if (r.rows() > 0) {
      const RunCopy stored{r.Bool(0, 1), static_cast<int>(r.Int(0, 2)), static_cast<int>(r.Int(0, 3)),
                           r.Bytes(0, 4)};
      const std::string stored_id(r.Text(0, 0));
      result.stored_file = std::string(r.Text(0, 5));
      const RunCopy incoming{scan.finished(), scan.report_lines,
                             static_cast<int>(scan.errors.size()), file.sha256};
      switch (CompareCopies(stored, incoming)) {
        case CopyVerdict::kConflict: result.status = LoadStatus::kConflict; return result;
        case CopyVerdict::kKeepStored: result.status = LoadStatus::kKeptStored; return result;
        case CopyVerdict::kReplaceStored: break;
      }
      conn_.Exec("DELETE FROM scan_errors WHERE scan_id = $1", {stored_id});
      conn_.Exec("DELETE FROM scans WHERE id = $1", {stored_id});
      replacing = true;
    }
  }
  result.status = replacing ? LoadStatus::kReplaced : LoadStatus::kLoaded;

  std::vector<std::string_view> error_texts;
  for (const ErrorLine& e : scan.errors) error_texts.push_back(e.text);
  ScanInput input;
  input.start = scan.started;
  input.finished = scan.finished();
  input.shield = ShieldOf(error_texts);
  input.reported = Identify(scan);
  std::sort(input.reported.begin(), input.reported.end(), ByPath);

  const PathKeys keys = [this](PathId path) { return PathKey(path); };
  std::int64_t files = 0;
  const bool first_scan = machine == 0;
  if (first_scan) {
    Result r = conn_.Exec(
        "INSERT INTO machines (name, name_key, first_started, last_started, files) "
        "VALUES ($1, $2, $3, $3, 0) RETURNING id",
        {result.machine, FoldCase(result.machine), std::to_string(scan.started)});
    machine = r.Int(0, 0);
  }
  const std::string machine_text = std::to_string(machine);
  if (first_scan || (!replacing && scan.started > *last_started)) {
    // The machine's latest scan: only what changed is written.
    const std::vector<Entry> before = first_scan ? std::vector<Entry>() : OpenEntries(machine);
    std::vector<Entry> after;
    const AppendChanges changes = Append(before, input, keys, &after);
    files = static_cast<std::int64_t>(after.size());
    if (!changes.closed.empty()) {
      conn_.Exec("UPDATE intervals SET until = $2 "
                 "WHERE machine_id = $1 AND path_id = ANY ($3::bigint[]) AND until IS NULL",
                 {machine_text, std::to_string(scan.started),
                  IntArray(changes.closed, [](PathId p) { return p; })});
    }
    std::vector<Interval> opened;
    opened.reserve(changes.opened.size());
    for (const Entry& e : changes.opened) {
      opened.push_back(Interval{e.path, e.version, scan.started, std::nullopt, !first_scan});
    }
    WriteOpened(machine, opened);
    HistoryChanges rows;
    for (const PathId path : changes.kept) rows.kept_write.push_back(Kept{scan.started, path});
    WriteChanges(machine, rows);
  } else {
    // A late scan, or a copy in place of another: the history is worked out
    // again from the stored scans, and only the difference written.
    result.reordered = true;
    const MachineHistory stored = StoredHistory(machine);
    const MachineHistory wanted = Rebuild(stored, StoredScans(machine), input, keys);
    WriteChanges(machine, Diff(stored, wanted));
    for (const Interval& row : wanted.intervals) files += row.until ? 0 : 1;
  }

  Result inserted = conn_.Exec(
      "INSERT INTO scans (machine_id, started, completed, sha256, file, report_lines, "
      "error_lines, loaded) VALUES ($1, $2, $3, $4::bytea, $5, $6, $7, $8) RETURNING id",
      {machine_text, std::to_string(scan.started),
       scan.completed ? std::optional<std::string>(std::to_string(*scan.completed)) : std::nullopt,
       HexBytes(file.sha256), file.file, std::to_string(scan.report_lines),
       std::to_string(scan.errors.size()), std::to_string(std::time(nullptr))});
  const std::string scan_id(inserted.Text(0, 0));
  if (!scan.errors.empty()) {
    std::string data;
    for (const ErrorLine& e : scan.errors) {
      data += scan_id;
      data += '\t';
      CopyInt(&data, e.line);
      data += '\t';
      CopyField(&data, e.text);
      data += '\n';
    }
    conn_.Copy("COPY scan_errors (scan_id, line, text) FROM STDIN", data);
  }
  const Time first = first_started ? std::min(*first_started, scan.started) : scan.started;
  const Time last = last_started ? std::max(*last_started, scan.started) : scan.started;
  conn_.Exec("UPDATE machines SET first_started = $2, last_started = $3, files = $4 WHERE id = $1",
             {machine_text, std::to_string(first), std::to_string(last), std::to_string(files)});
  return result;
}

ForgetResult PgStore::Forget(const std::string& name, std::optional<Time> scan) {
  ForgetResult result;
  Transaction transaction(conn_);
  conn_.Exec("SELECT pg_advisory_xact_lock($1)", {LockKey("machine", UpperCase(name))});
  Result m = conn_.Exec("SELECT id, name FROM machines WHERE name = $1", {UpperCase(name)});
  if (m.rows() == 0) return result;
  const std::int64_t machine = m.Int(0, 0);
  const std::string id = std::to_string(machine);
  result.machine = std::string(m.Text(0, 1));
  Result scans = conn_.Exec(
      "SELECT started, file, completed IS NOT NULL, report_lines, error_lines FROM scans "
      "WHERE machine_id = $1 ORDER BY started",
      {id});
  for (int k = 0; k < scans.rows(); ++k) {
    if (scan && scans.Int(k, 0) != *scan) continue;
    result.scans.push_back(ForgottenScan{scans.Int(k, 0), std::string(scans.Text(k, 1)), scans.Bool(k, 2),
                                         scans.Int(k, 3), scans.Int(k, 4)});
  }
  if (result.scans.empty()) return result;

  if (!scan || scans.rows() == 1) {
    for (const char* sql : {"DELETE FROM intervals WHERE machine_id = $1", "DELETE FROM kept WHERE machine_id = $1",
                            "DELETE FROM scan_errors WHERE scan_id IN (SELECT id FROM scans WHERE machine_id = $1)",
                            "DELETE FROM scans WHERE machine_id = $1", "DELETE FROM machines WHERE id = $1"}) {
      conn_.Exec(sql, {id});
    }
    result.machine_removed = true;
    transaction.Commit();
    return result;
  }
  // The history as if the scan had never been loaded, and only the
  // difference written.
  const PathKeys keys = [this](PathId path) { return PathKey(path); };
  const MachineHistory stored = StoredHistory(machine);
  const MachineHistory wanted = Without(stored, StoredScans(machine), *scan, keys);
  WriteChanges(machine, Diff(stored, wanted));
  const std::string start = std::to_string(*scan);
  conn_.Exec("DELETE FROM scan_errors WHERE scan_id IN "
             "(SELECT id FROM scans WHERE machine_id = $1 AND started = $2)",
             {id, start});
  conn_.Exec("DELETE FROM scans WHERE machine_id = $1 AND started = $2", {id, start});
  for (const Interval& row : wanted.intervals) result.files += row.until ? 0 : 1;
  conn_.Exec("UPDATE machines SET first_started = (SELECT min(started) FROM scans WHERE machine_id = $1), "
             "last_started = (SELECT max(started) FROM scans WHERE machine_id = $1), files = $2 WHERE id = $1",
             {id, std::to_string(result.files)});
  transaction.Commit();
  return result;
}

void PgStore::ForgetIds() {
  path_ids_.Clear();
  version_ids_.Clear();
}

std::vector<Entry> PgStore::Identify(const Scan& scan) {
  const std::size_t count = scan.reports.size();
  std::vector<Entry> entries(count, Entry{-1, -1});
  // Ids met before need no lookup; a machine's lines are mostly the
  // fleet's shared ones.
  std::vector<std::string_view> paths;
  std::vector<std::uint64_t> values;
  std::vector<std::string_view> version_keys;
  paths.reserve(count);
  values.reserve(count);
  for (const ReportLine& line : scan.reports) {
    paths.push_back(line.path);
    values.push_back(line.version.value());
  }
  version_keys.reserve(count);
  for (const std::uint64_t& value : values) {
    version_keys.emplace_back(reinterpret_cast<const char*>(&value), sizeof value);
  }
  std::vector<std::int64_t> path_ids, version_ids;
  path_ids_.FindMany(paths, &path_ids);
  version_ids_.FindMany(version_keys, &version_ids);
  std::vector<std::size_t> unknown_paths;
  std::vector<std::uint64_t> unknown_values;
  for (std::size_t k = 0; k < count; ++k) {
    const bool none = scan.reports[k].version.is_none();
    entries[k] = Entry{path_ids[k], none ? 0 : version_ids[k]};
    if (entries[k].path < 0) unknown_paths.push_back(k);
    if (entries[k].version < 0) unknown_values.push_back(values[k]);
  }

  // New versions: one statement over an array, in value order (so that
  // two loads adding the same ones wait for each other in one order, never
  // in a cycle), then their ids.
  if (!unknown_values.empty()) {
    std::sort(unknown_values.begin(), unknown_values.end());
    unknown_values.erase(std::unique(unknown_values.begin(), unknown_values.end()), unknown_values.end());
    std::string array = "{";
    for (std::size_t k = 0; k < unknown_values.size(); ++k) {
      if (k > 0) array += ',';
      array += VersionValue(unknown_values[k]);
    }
    array += "}";
    conn_.Exec("INSERT INTO versions (value) SELECT v FROM unnest($1::bigint[]) v ORDER BY v "
               "ON CONFLICT (value) DO NOTHING",
               {array});
    new_ids_ = true;  // from here on, ids of this transaction's rows may be cached
    Result r = conn_.Exec("SELECT value, id FROM versions WHERE value = ANY ($1::bigint[])", {array});
    // Taken from the answer itself: the bounded cache may empty itself
    // while it is filled.
    std::unordered_map<std::uint64_t, std::int64_t> found;
    found.reserve(static_cast<std::size_t>(r.rows()));
    for (int j = 0; j < r.rows(); ++j) {
      const std::uint64_t value = static_cast<std::uint64_t>(r.Int(j, 0)) ^ (std::uint64_t{1} << 63);
      found.emplace(value, r.Int(j, 1));
      const std::string_view key(reinterpret_cast<const char*>(&value), sizeof value);
      if (!version_ids_.Find(key)) version_ids_.Insert(key, r.Int(j, 1));
    }
    for (std::size_t k = 0; k < count; ++k) {
      if (entries[k].version >= 0) continue;
      const auto id = found.find(values[k]);
      if (id == found.end()) throw StoreError(conn_.description() + ": a version of this scan was not stored");
      entries[k].version = id->second;
    }
  }
  if (unknown_paths.empty()) return entries;

  // New paths: copied into a staging table of this session (emptied at the
  // end of the transaction whether it commits or not), added in key order,
  // and their ids read back with one join.
  conn_.Run(
      "CREATE TEMPORARY TABLE IF NOT EXISTS vurfleet_lines ("
      " line integer NOT NULL, hash bigint NOT NULL, path text COLLATE \"C\" NOT NULL,"
      " path_key text COLLATE \"C\" NOT NULL, name_key text COLLATE \"C\" NOT NULL"
      ") ON COMMIT DELETE ROWS");
  std::string data;
  data.reserve(unknown_paths.size() * 96);
  for (const std::size_t k : unknown_paths) {
    const std::string_view path = scan.reports[k].path;
    CopyInt(&data, static_cast<std::int64_t>(k));
    data += '\t';
    CopyInt(&data, static_cast<std::int64_t>(StableHash(path)));
    data += '\t';
    CopyField(&data, path);
    data += '\t';
    CopyField(&data, FoldCase(path));
    data += '\t';
    CopyField(&data, FoldCase(FileName(path)));
    data += '\n';
  }
  conn_.Copy("COPY vurfleet_lines (line, hash, path, path_key, name_key) FROM STDIN", data);
  if (unknown_paths.size() >= kAnalyzedLines) conn_.Run("ANALYZE vurfleet_lines");
  conn_.Run(
      "INSERT INTO paths (hash, path, path_key, name_key) "
      "SELECT hash, path, path_key, name_key FROM vurfleet_lines ORDER BY hash, path "
      "ON CONFLICT (hash, md5(path)) DO NOTHING");
  new_ids_ = true;
  // One index probe a staged line (a join would be planned over all paths,
  // whose count grows with the fleet, not with the file); a path not found
  // comes back NULL.
  Result r = conn_.Exec(
      "SELECT s.line, (SELECT p.id FROM paths p WHERE p.hash = s.hash AND p.path = s.path) "
      "FROM vurfleet_lines s ORDER BY s.line");
  for (int j = 0; j < r.rows(); ++j) {
    if (r.IsNull(j, 1)) {
      // Another path holds the same two digests: never taken for this one.
      throw StoreError(conn_.description() + ": a path of this scan can't be stored: its digests "
                       "are those of another path");
    }
    const std::size_t k = static_cast<std::size_t>(r.Int(j, 0));
    if (k >= count || entries[k].path >= 0) {
      throw StoreError(conn_.description() + ": the staged lines came back wrong");
    }
    entries[k].path = r.Int(j, 1);
    if (!path_ids_.Find(paths[k])) path_ids_.Insert(paths[k], entries[k].path);
  }
  for (const std::size_t k : unknown_paths) {
    if (entries[k].path < 0) throw StoreError(conn_.description() + ": the staged lines came back wrong");
  }
  return entries;
}

std::vector<Entry> PgStore::OpenEntries(std::int64_t machine) {
  Result r = conn_.Exec("SELECT path_id, version_id FROM intervals "
                        "WHERE machine_id = $1 AND until IS NULL ORDER BY path_id",
                        {std::to_string(machine)});
  std::vector<Entry> rows;
  rows.reserve(static_cast<std::size_t>(r.rows()));
  for (int k = 0; k < r.rows(); ++k) rows.push_back(Entry{r.Int(k, 0), r.Int(k, 1)});
  return rows;
}

std::string PgStore::PathKey(PathId path) {
  Result r = conn_.Exec("SELECT path_key FROM paths WHERE id = $1", {std::to_string(path)});
  return r.rows() > 0 ? std::string(r.Text(0, 0)) : std::string();
}

MachineHistory PgStore::StoredHistory(std::int64_t machine) {
  const std::string id = std::to_string(machine);
  MachineHistory history;
  Result i = conn_.Exec("SELECT path_id, version_id, since, until, opened FROM intervals "
                        "WHERE machine_id = $1 ORDER BY path_id, since",
                        {id});
  for (int k = 0; k < i.rows(); ++k) {
    history.intervals.push_back(
        Interval{i.Int(k, 0), i.Int(k, 1), i.Int(k, 2), i.OptionalInt(k, 3), i.Bool(k, 4)});
  }
  Result kept = conn_.Exec("SELECT scan, path_id FROM kept WHERE machine_id = $1 ORDER BY scan, path_id",
                           {id});
  for (int k = 0; k < kept.rows(); ++k) history.kept.push_back(Kept{kept.Int(k, 0), kept.Int(k, 1)});
  return history;
}

std::vector<StoredScan> PgStore::StoredScans(std::int64_t machine) {
  const std::string id = std::to_string(machine);
  Result r = conn_.Exec("SELECT id, started, completed IS NOT NULL, error_lines FROM scans "
                        "WHERE machine_id = $1 ORDER BY started",
                        {id});
  // The shields come from the stored ERROR lines of finished scans.
  Result e = conn_.Exec("SELECT e.scan_id, e.text FROM scan_errors e JOIN scans s ON s.id = e.scan_id "
                        "WHERE s.machine_id = $1 AND s.completed IS NOT NULL ORDER BY e.scan_id, e.line",
                        {id});
  std::unordered_map<std::int64_t, std::vector<std::string>> texts;
  for (int j = 0; j < e.rows(); ++j) texts[e.Int(j, 0)].emplace_back(e.Text(j, 1));
  std::vector<StoredScan> scans;
  for (int k = 0; k < r.rows(); ++k) {
    StoredScan scan{r.Int(k, 1), r.Bool(k, 2), {}};
    const auto found = texts.find(r.Int(k, 0));
    if (scan.finished && found != texts.end()) {
      scan.shield = ShieldOf(std::vector<std::string_view>(found->second.begin(), found->second.end()));
    }
    scans.push_back(std::move(scan));
  }
  return scans;
}

void PgStore::WriteOpened(std::int64_t machine, const std::vector<Interval>& rows) {
  // New keys only (the scan is later than every stored one): copied in.
  if (rows.empty()) return;
  const std::string id = std::to_string(machine);
  std::string data;
  data.reserve(rows.size() * 40);
  for (const Interval& row : rows) {
    data += id;
    data += '\t';
    CopyInt(&data, row.path);
    data += '\t';
    CopyInt(&data, row.since);
    data += '\t';
    CopyInt(&data, row.version);
    data += row.until ? '\t' + std::to_string(*row.until) : std::string("\t\\N");
    data += row.opened ? "\tt\n" : "\tf\n";
  }
  conn_.Copy("COPY intervals (machine_id, path_id, since, version_id, until, opened) FROM STDIN", data);
}

void PgStore::WriteChanges(std::int64_t machine, const HistoryChanges& changes) {
  const std::string id = std::to_string(machine);
  if (!changes.erase.empty()) {
    conn_.Exec("DELETE FROM intervals i USING unnest($2::bigint[], $3::bigint[]) AS e (path_id, since) "
               "WHERE i.machine_id = $1 AND i.path_id = e.path_id AND i.since = e.since",
               {id, IntArray(changes.erase, [](const Interval& r) { return r.path; }),
                IntArray(changes.erase, [](const Interval& r) { return r.since; })});
  }
  if (!changes.write.empty()) {
    std::string until = "{";
    std::string opened = "{";
    for (std::size_t k = 0; k < changes.write.size(); ++k) {
      const Interval& row = changes.write[k];
      if (k > 0) until += ',', opened += ',';
      until += row.until ? std::to_string(*row.until) : "NULL";
      opened += row.opened ? "t" : "f";
    }
    conn_.Exec(
        "INSERT INTO intervals (machine_id, path_id, since, version_id, until, opened) "
        "SELECT $1, * FROM unnest($2::bigint[], $3::bigint[], $4::bigint[], $5::bigint[], $6::boolean[]) "
        "ON CONFLICT (machine_id, path_id, since) DO UPDATE SET version_id = EXCLUDED.version_id, "
        "until = EXCLUDED.until, opened = EXCLUDED.opened",
        {id, IntArray(changes.write, [](const Interval& r) { return r.path; }),
         IntArray(changes.write, [](const Interval& r) { return r.since; }),
         IntArray(changes.write, [](const Interval& r) { return r.version; }), until + "}",
         opened + "}"});
  }
  if (!changes.kept_erase.empty()) {
    conn_.Exec("DELETE FROM kept k USING unnest($2::bigint[], $3::bigint[]) AS e (scan, path_id) "
               "WHERE k.machine_id = $1 AND k.scan = e.scan AND k.path_id = e.path_id",
               {id, IntArray(changes.kept_erase, [](const Kept& r) { return r.scan; }),
                IntArray(changes.kept_erase, [](const Kept& r) { return r.path; })});
  }
  if (!changes.kept_write.empty()) {
    conn_.Exec("INSERT INTO kept (machine_id, scan, path_id) "
               "SELECT $1, * FROM unnest($2::bigint[], $3::bigint[]) ON CONFLICT DO NOTHING",
               {id, IntArray(changes.kept_write, [](const Kept& r) { return r.scan; }),
                IntArray(changes.kept_write, [](const Kept& r) { return r.path; })});
  }
}

}  // namespace vurfleet::pg
