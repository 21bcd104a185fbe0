#include "store/postgres/pg_store.h"

#include <algorithm>
#include <ctime>
#include <unordered_map>
#include <unordered_set>

#include "base/text.h"
#include "read/shield.h"
#include "store/latest.h"
#include "store/postgres/pg_schema.h"
#include "store/stored.h"

namespace vurfleet::pg {
namespace {

// Staged lines from which the planner is given the table's statistics.
constexpr std::size_t kAnalyzedLines = 2000;




// An advisory lock's key for a text: the lock is held to the transaction's end.
std::int64_t LockKey(std::string_view kind, std::string_view text) {
  return static_cast<std::int64_t>(StableHash(std::string(kind) + '\0' + std::string(text)));
}


void CopyInt(std::string* out, std::int64_t value) { out->append(std::to_string(value)); }


}  // namespace

PgStore::PgStore(const std::string& where, Access access) : conn_(where) {
  upgraded_ = PrepareSchema(conn_, access == Access::kWrite, *this);
  // A reader's queries all read one snapshot, and no transaction of its
  // session can write, whatever happens to that snapshot.
  if (access == Access::kRead) {
    conn_.Run("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY");
    conn_.Run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    return;
  }
  // The staging table of new paths lives as long as the session, made
  // outside any group: a group rolled back can't take it along.
  conn_.Run(
      "CREATE TEMPORARY TABLE IF NOT EXISTS vurfleet_lines ("
      " line integer NOT NULL, hash bigint NOT NULL, path text COLLATE \"C\" NOT NULL,"
      " path_key text COLLATE \"C\" NOT NULL, name_key text COLLATE \"C\" NOT NULL"
      ") ON COMMIT DELETE ROWS");
}

void PgStore::BeginGroup(const std::vector<std::string>& machines) {
  conn_.Run("BEGIN");
  // The group's machines, locked in one order: two loads with machines in
  // common wait for each other instead of deadlocking. Held to the end of
  // the group's transaction, so the same file given to two loads at once is
  // stored by the first and found by the second.
  std::vector<std::int64_t> keys;
  for (const std::string& machine : machines) keys.push_back(LockKey("machine", machine));
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  conn_.Exec("SELECT pg_advisory_xact_lock(k) FROM unnest($1::bigint[]) AS k",
             {IntArray(keys, [](std::int64_t k) { return k; })});
}

void PgStore::CommitGroup() {
  expected_ = Expected();
  group_paths_.clear();
  conn_.Run("COMMIT");
  ids_.EndGroup(true);
}

void PgStore::AbandonGroup() {
  if (conn_.alive() && conn_.in_transaction()) {
    try {
      conn_.Run("ROLLBACK");
    } catch (const StoreError&) {
      // The connection is gone; the server rolled back on its own.
    }
  }
  ids_.EndGroup(false);
  expected_ = Expected();
  group_paths_.clear();
}

void PgStore::Expect(const std::vector<const ScanFile*>& files) {
  FetchExpected(files);
  InternExpected(files);
}

void PgStore::FetchExpected(const std::vector<const ScanFile*>& files) {
  expected_ = Expected();
  std::vector<std::string> names, shas;
  std::vector<Time> starts;
  for (const ScanFile* file : files) {
    names.push_back(MachineName(file->machine));
    shas.push_back(HexBytes(file->sha256));
    starts.push_back(file->scan->started);
    expected_.sha256s.insert(file->sha256);
    expected_.starts.insert(file->scan->started);
  }
  for (const std::string& name : names) expected_.machines.emplace(name, std::nullopt);
  Result m = conn_.Exec("SELECT id, name, first_started, last_started, files FROM machines WHERE name = ANY ($1)",
                        {TextArray(names)});
  std::vector<MachineId> ids;
  for (int k = 0; k < m.rows(); ++k) {
    const StoredMachine machine{m.Int(k, 0), std::string(m.Text(k, 1)), m.Int(k, 2), m.Int(k, 3), m.Int(k, 4)};
    expected_.machines[machine.name] = machine;
    expected_.runs[machine.id];
    expected_.latest[machine.id] = std::nullopt;
    ids.push_back(machine.id);
  }
  if (ids.empty()) return;
  const std::string id_array = IntArray(ids, [](MachineId id) { return id; });
  Result r = conn_.Exec(
      "SELECT machine_id, id, completed IS NOT NULL, report_lines, error_lines, sha256, file, started "
      "FROM scans WHERE machine_id = ANY ($1::bigint[]) "
      "AND (started = ANY ($2::bigint[]) OR sha256 = ANY ($3::bytea[]))",
      {id_array, IntArray(starts, [](Time t) { return t; }), TextArray(shas)});
  for (int k = 0; k < r.rows(); ++k) {
    expected_.runs[r.Int(k, 0)].push_back(Expected::Run{
        StoredRun{r.Int(k, 1), RunCopy{r.Bool(k, 2), static_cast<int>(r.Int(k, 3)), static_cast<int>(r.Int(k, 4)),
                                      r.Bytes(k, 5)},
                  std::string(r.Text(k, 6))},
        r.Int(k, 7)});
  }
  Result l = conn_.Exec("SELECT machine_id, exact, runs FROM latest WHERE machine_id = ANY ($1::bigint[])",
                        {id_array});
  for (int k = 0; k < l.rows(); ++k) expected_.latest[l.Int(k, 0)] = DecodeLatest(l.Bytes(k, 2), l.Bool(k, 1));
}

void PgStore::InternExpected(const std::vector<const ScanFile*>& files) {
  // The lines the group will ask ids for: all but the runs each machine's
  // latest scan holds (the load takes those ids from it), each once.
  std::unordered_set<std::string_view> seen_paths;
  std::unordered_set<std::uint64_t> seen_values;
  std::vector<std::string_view> paths;
  std::vector<std::uint64_t> values;
  for (const ScanFile* file : files) {
    std::unordered_set<std::uint64_t> held;
    if (const std::optional<StoredMachine>& m = expected_.machines[MachineName(file->machine)]) {
      if (const std::optional<LatestRuns>& latest = expected_.latest[m->id]) {
        for (const LineRun& run : latest->runs) held.insert(run.digest);
      }
    }
    const std::vector<ReportLine>& lines = file->scan->reports;
    std::vector<bool> repeated(lines.size(), false);
    for (const LineRun& run : file->runs) {
      if (held.count(run.digest) == 0 || run.first > lines.size() || run.count > lines.size() - run.first) continue;
      std::fill_n(repeated.begin() + run.first, run.count, true);
    }
    for (std::size_t k = 0; k < lines.size(); ++k) {
      if (repeated[k]) continue;
      if (seen_paths.insert(lines[k].path).second) paths.push_back(lines[k].path);
      if (!lines[k].version.is_none() && seen_values.insert(lines[k].version.value()).second) {
        values.push_back(lines[k].version.value());
      }
    }
  }
  std::vector<PathId> path_ids;
  std::vector<VersionId> version_ids;
  InternPaths(paths, &path_ids);
  InternVersions(values, &version_ids);
}

void PgStore::BeginFile() {
  conn_.Run("SAVEPOINT file");
  ids_.BeginFile();
}

void PgStore::EndFile(bool keep) {
  if (!keep) expected_ = Expected();
  conn_.Run(keep ? "RELEASE file" : "ROLLBACK TO file; RELEASE file");
  ids_.EndFile(keep);
}

std::optional<StoredMachine> PgStore::FindMachine(const std::string& name) {
  if (const auto known = expected_.machines.find(name); known != expected_.machines.end()) return known->second;
  Result r = conn_.Exec("SELECT id, name, first_started, last_started, files FROM machines WHERE name = $1",
                        {name});
  if (r.rows() == 0) return std::nullopt;
  return StoredMachine{r.Int(0, 0), std::string(r.Text(0, 1)), r.Int(0, 2), r.Int(0, 3), r.Int(0, 4)};
}

MachineId PgStore::AddMachine(const std::string& name, Time started) {
  Result r = conn_.Exec(
      "INSERT INTO machines (name, name_key, first_started, last_started, files) "
      "VALUES ($1, $2, $3, $3, 0) RETURNING id",
      {name, FoldCase(name), std::to_string(started)});
  const MachineId id = r.Int(0, 0);
  if (expected_.machines.count(name) != 0) {
    expected_.machines[name] = StoredMachine{id, name, started, started, 0};
    expected_.runs[id];
    expected_.latest[id] = std::nullopt;
  }
  return id;
}

void PgStore::UpdateMachine(MachineId machine, Time first, Time last, std::int64_t files) {
  for (auto& [name, known] : expected_.machines) {
    if (known && known->id == machine) known->first_started = first, known->last_started = last, known->files = files;
  }
  conn_.Exec("UPDATE machines SET first_started = $2, last_started = $3, files = $4 WHERE id = $1",
             {std::to_string(machine), std::to_string(first), std::to_string(last), std::to_string(files)});
}

std::optional<std::pair<Time, std::string>> PgStore::FindBytes(MachineId machine, const std::string& sha256) {
  if (const auto runs = expected_.runs.find(machine);
      runs != expected_.runs.end() && expected_.sha256s.count(sha256) != 0) {
    for (const Expected::Run& r : runs->second) {
      if (r.run.copy.sha256 == sha256) return std::make_pair(r.started, r.run.file);
    }
    return std::nullopt;
  }
  Result r = conn_.Exec("SELECT started, file FROM scans WHERE machine_id = $1 AND sha256 = $2::bytea",
                        {std::to_string(machine), HexBytes(sha256)});
  if (r.rows() == 0) return std::nullopt;
  return std::make_pair(r.Int(0, 0), std::string(r.Text(0, 1)));
}

std::optional<StoredRun> PgStore::FindRun(MachineId machine, Time started) {
  if (const auto runs = expected_.runs.find(machine);
      runs != expected_.runs.end() && expected_.starts.count(started) != 0) {
    for (const Expected::Run& r : runs->second) {
      if (r.started == started) return r.run;
    }
    return std::nullopt;
  }
  Result r = conn_.Exec(
      "SELECT id, completed IS NOT NULL, report_lines, error_lines, sha256, file "
      "FROM scans WHERE machine_id = $1 AND started = $2",
      {std::to_string(machine), std::to_string(started)});
  if (r.rows() == 0) return std::nullopt;
  return StoredRun{r.Int(0, 0),
                   RunCopy{r.Bool(0, 1), static_cast<int>(r.Int(0, 2)), static_cast<int>(r.Int(0, 3)),
                           r.Bytes(0, 4)},
                   std::string(r.Text(0, 5))};
}

std::vector<ScanFacts> PgStore::ListScans(MachineId machine) {
  Result r = conn_.Exec(
      "SELECT id, started, file, completed IS NOT NULL, report_lines, error_lines FROM scans "
      "WHERE machine_id = $1 ORDER BY started",
      {std::to_string(machine)});
  std::vector<ScanFacts> scans;
  for (int k = 0; k < r.rows(); ++k) {
    scans.push_back(
        ScanFacts{r.Int(k, 0), r.Int(k, 1), std::string(r.Text(k, 2)), r.Bool(k, 3), r.Int(k, 4), r.Int(k, 5)});
  }
  return scans;
}

void PgStore::CloseIntervals(MachineId machine, const std::vector<PathId>& paths, Time until) {
  conn_.Exec("UPDATE intervals SET until = $2 "
             "WHERE machine_id = $1 AND path_id = ANY ($3::bigint[]) AND until IS NULL",
             {std::to_string(machine), std::to_string(until), IntArray(paths, [](PathId p) { return p; })});
}

void PgStore::AddScan(MachineId machine, const ScanRow& scan) {
  Result inserted = conn_.Exec(
      "INSERT INTO scans (machine_id, started, completed, sha256, file, report_lines, "
      "error_lines, loaded) VALUES ($1, $2, $3, $4::bytea, $5, $6, $7, $8) RETURNING id",
      {std::to_string(machine), std::to_string(scan.started),
       scan.completed ? std::optional<std::string>(std::to_string(*scan.completed)) : std::nullopt,
       HexBytes(scan.sha256), scan.file, std::to_string(scan.report_lines),
       std::to_string(scan.errors.size()), std::to_string(std::time(nullptr))});
  if (const auto runs = expected_.runs.find(machine); runs != expected_.runs.end()) {
    runs->second.push_back(Expected::Run{
        StoredRun{inserted.Int(0, 0),
                  RunCopy{scan.completed.has_value(), static_cast<int>(scan.report_lines),
                          static_cast<int>(scan.errors.size()), scan.sha256},
                  scan.file},
        scan.started});
  }
  if (scan.errors.empty()) return;
  const std::string scan_id(inserted.Text(0, 0));
  std::string data;
  for (const auto& [line, text] : scan.errors) {
    data += scan_id;
    data += '\t';
    CopyInt(&data, line);
    data += '\t';
    CopyField(&data, text);
    data += '\n';
  }
  conn_.Copy("COPY scan_errors (scan_id, line, text) FROM STDIN", data);
}

void PgStore::DeleteScan(std::int64_t scan_id) {
  for (auto& [machine, runs] : expected_.runs) {
    runs.erase(std::remove_if(runs.begin(), runs.end(),
                              [&](const Expected::Run& r) { return r.run.scan_id == scan_id; }),
               runs.end());
  }
  const std::string id = std::to_string(scan_id);
  conn_.Exec("DELETE FROM scan_errors WHERE scan_id = $1", {id});
  conn_.Exec("DELETE FROM scans WHERE id = $1", {id});
}

void PgStore::DeleteMachine(MachineId machine) {
  expected_ = Expected();
  const std::string id = std::to_string(machine);
  for (const char* sql : {"DELETE FROM intervals WHERE machine_id = $1", "DELETE FROM kept WHERE machine_id = $1",
                          "DELETE FROM latest WHERE machine_id = $1",
                          "DELETE FROM scan_errors WHERE scan_id IN (SELECT id FROM scans WHERE machine_id = $1)",
                          "DELETE FROM scans WHERE machine_id = $1", "DELETE FROM machines WHERE id = $1"}) {
    conn_.Exec(sql, {id});
  }
}

void PgStore::MoveScans(MachineId from, MachineId into) {
  expected_ = Expected();
  conn_.Exec("UPDATE scans SET machine_id = $2 WHERE machine_id = $1", {std::to_string(from), std::to_string(into)});
}

std::optional<LatestRuns> PgStore::ReadLatest(MachineId machine) {
  if (const auto known = expected_.latest.find(machine); known != expected_.latest.end()) return known->second;
  Result r = conn_.Exec("SELECT exact, runs FROM latest WHERE machine_id = $1", {std::to_string(machine)});
  if (r.rows() == 0) return std::nullopt;
  return DecodeLatest(r.Bytes(0, 1), r.Bool(0, 0));
}

void PgStore::WriteLatest(MachineId machine, const LatestRuns* latest) {
  const auto known = expected_.latest.find(machine);
  if (latest == nullptr) {
    conn_.Exec("DELETE FROM latest WHERE machine_id = $1", {std::to_string(machine)});
  } else if (known != expected_.latest.end() && known->second && known->second->runs.size() == latest->runs.size() &&
             std::equal(known->second->runs.begin(), known->second->runs.end(), latest->runs.begin(),
                        [](const LineRun& a, const LineRun& b) {
                          return a.digest == b.digest && a.count == b.count && a.first == b.first;
                        }) &&
             known->second->entries == latest->entries) {
    // The same runs and entries: only the flag may change.
    if (known->second->exact != latest->exact) {
      conn_.Exec("UPDATE latest SET exact = $2 WHERE machine_id = $1",
                 {std::to_string(machine), latest->exact ? "t" : "f"});
    }
  } else {
    conn_.Exec("INSERT INTO latest (machine_id, exact, runs) VALUES ($1, $2, $3::bytea) "
               "ON CONFLICT (machine_id) DO UPDATE SET exact = EXCLUDED.exact, runs = EXCLUDED.runs",
               {std::to_string(machine), latest->exact ? "t" : "f", HexBytes(EncodeLatest(latest->runs, latest->entries))});
  }
  if (known != expected_.latest.end()) {
    known->second = latest != nullptr ? std::optional<LatestRuns>(*latest) : std::nullopt;
  }
}

void PgStore::InternVersions(const std::vector<std::uint64_t>& values, std::vector<VersionId>* ids) {
  ids_.FindVersions(values, ids);
  std::vector<std::uint64_t> unknown;
  for (std::size_t k = 0; k < values.size(); ++k) {
    if ((*ids)[k] < 0) unknown.push_back(values[k]);
  }
  if (unknown.empty()) return;
  // One statement over an array, in value order (so that two loads adding
  // the same ones wait for each other in one order, never in a cycle),
  // then their ids, taken from the answer itself: the bounded cache may
  // empty itself while it is filled.
  std::sort(unknown.begin(), unknown.end());
  unknown.erase(std::unique(unknown.begin(), unknown.end()), unknown.end());
  const std::string array = IntArray(unknown, [](std::uint64_t v) { return StoredVersion(v); });
  conn_.Exec("INSERT INTO versions (value) SELECT v FROM unnest($1::bigint[]) v ORDER BY v "
             "ON CONFLICT (value) DO NOTHING",
             {array});
  ids_.NoteAdded();
  Result r = conn_.Exec("SELECT value, id FROM versions WHERE value = ANY ($1::bigint[])", {array});
  std::unordered_map<std::uint64_t, VersionId> found;
  found.reserve(static_cast<std::size_t>(r.rows()));
  for (int j = 0; j < r.rows(); ++j) {
    const std::uint64_t value = VersionOfStored(r.Int(j, 0)).value();
    found.emplace(value, r.Int(j, 1));
    ids_.AddVersion(value, r.Int(j, 1), false);
  }
  for (std::size_t k = 0; k < values.size(); ++k) {
    if ((*ids)[k] >= 0) continue;
    const auto id = found.find(values[k]);
    if (id == found.end()) throw StoreError(conn_.description() + ": a version of this scan was not stored");
    (*ids)[k] = id->second;
  }
}

void PgStore::InternPaths(const std::vector<std::string_view>& paths, std::vector<PathId>* ids) {
  ids_.FindPaths(paths, ids);
  std::vector<std::string_view> unknown;
  for (std::size_t k = 0; k < paths.size(); ++k) {
    if ((*ids)[k] >= 0) continue;
    if (const auto met = group_paths_.find(std::string(paths[k])); met != group_paths_.end()) {
      (*ids)[k] = met->second;
    } else {
      unknown.push_back(paths[k]);
    }
  }
  if (unknown.empty()) return;
  StagePaths(unknown);
  for (std::size_t k = 0; k < paths.size(); ++k) {
    if ((*ids)[k] < 0) (*ids)[k] = group_paths_.at(std::string(paths[k]));
  }
}

void PgStore::StagePaths(const std::vector<std::string_view>& paths) {
  // Copied into the connection's staging table, added in key order (so
  // that two loads adding the same paths wait for each other in one order,
  // never in a cycle), and their ids read back with one index probe each (a
  // join would be planned over all paths, whose count grows with the fleet,
  // not with the group); a path not found comes back NULL. The table is
  // emptied first: TRUNCATE, as a DELETE would leave its rows to be passed
  // over by the next probe; a group stages once, but for what it did not
  // foresee.
  conn_.Run("TRUNCATE vurfleet_lines");
  std::string data;
  data.reserve(paths.size() * 96);
  for (std::size_t k = 0; k < paths.size(); ++k) {
    const std::string_view path = paths[k];
    CopyInt(&data, static_cast<std::int64_t>(k));
    data += '\t';
    CopyInt(&data, static_cast<std::int64_t>(StableHash(path)));
    data += '\t';
    CopyField(&data, path);
    data += '\t';
    CopyField(&data, FoldCase(path));
    data += '\t';
    CopyField(&data, NameKey(path));
    data += '\n';
  }
  conn_.Copy("COPY vurfleet_lines (line, hash, path, path_key, name_key) FROM STDIN", data);
  if (paths.size() >= kAnalyzedLines) conn_.Run("ANALYZE vurfleet_lines");
  conn_.Run(
      "INSERT INTO paths (hash, path, path_key, name_key) "
      "SELECT hash, path, path_key, name_key FROM vurfleet_lines ORDER BY hash, path "
      "ON CONFLICT (hash, md5(path)) DO NOTHING");
  ids_.NoteAdded();
  Result r = conn_.Exec(
      "SELECT s.line, (SELECT p.id FROM paths p WHERE p.hash = s.hash AND p.path = s.path) "
      "FROM vurfleet_lines s ORDER BY s.line");
  if (r.rows() != static_cast<int>(paths.size())) {
    throw StoreError(conn_.description() + ": the staged lines came back wrong");
  }
  for (int j = 0; j < r.rows(); ++j) {
    if (r.IsNull(j, 1)) {
      // Another path holds the same two digests: never taken for this one.
      throw StoreError(conn_.description() + ": a path of this scan can't be stored: its digests "
                       "are those of another path");
    }
    const std::size_t k = static_cast<std::size_t>(r.Int(j, 0));
    if (k != static_cast<std::size_t>(j)) throw StoreError(conn_.description() + ": the staged lines came back wrong");
    group_paths_[std::string(paths[k])] = r.Int(j, 1);
    ids_.AddPath(paths[k], r.Int(j, 1), false);
  }
}

std::vector<Entry> PgStore::OpenEntries(MachineId machine) {
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

MachineHistory PgStore::StoredHistory(MachineId machine) {
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

std::vector<StoredScan> PgStore::StoredScans(MachineId machine) {
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

void PgStore::AddIntervals(MachineId machine, const std::vector<Interval>& rows) {
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

void PgStore::WriteChanges(MachineId machine, const HistoryChanges& changes) {
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
