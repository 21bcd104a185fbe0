#include "store/postgres/pg_store.h"

#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "base/text.h"
#include "store/latest.h"
#include "store/postgres/pg_counts.h"
#include "store/postgres/pg_schema.h"
#include "store/stored.h"

namespace vurfleet::pg {
namespace {

// An advisory lock's key for a text: the lock is held to the transaction's end.
std::int64_t LockKey(std::string_view kind, std::string_view text) {
  return static_cast<std::int64_t>(StableHash(std::string(kind) + '\0' + std::string(text)));
}

void CopyInt(std::string* out, std::int64_t value) { out->append(std::to_string(value)); }

}  // namespace

PgStore::PgStore(const std::string& where, Access access, const std::string& snapshot)
    : where_(where), reader_(access == Access::kRead), conn_(where) {
  // An upgrade moves rows before there are counts, and counts once after.
  counts_.on = false;
  upgraded_ = PrepareSchema(conn_, access == Access::kWrite, *this);
  counts_.on = true;
  ForgetSavepoints();  // the upgrade's transaction ended with them
  // A reader's queries all read one snapshot, and no transaction of its
  // session can write, whatever happens to that snapshot.
  if (access == Access::kRead) {
    conn_.Run("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY");
    conn_.Run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    // The server's own name for a snapshot: hex digits and dashes, quoted
    // as they stand.
    if (!snapshot.empty()) conn_.Run(("SET TRANSACTION SNAPSHOT '" + snapshot + "'").c_str());
    return;
  }
  // The staging table of new paths lives as long as the session, made
  // outside any group: a group rolled back can't take it along.
  conn_.Run(
      "CREATE TEMPORARY TABLE IF NOT EXISTS vurfleet_lines ("
      " line integer NOT NULL, hash bigint NOT NULL, path text COLLATE \"C\" NOT NULL,"
      " path_key text COLLATE \"C\" NOT NULL, name_key text COLLATE \"C\" NOT NULL, name_hash bigint NOT NULL"
      ") ON COMMIT DELETE ROWS");
}

std::unique_ptr<Store> PgStore::Twin() {
  if (!reader_) return nullptr;
  // Exported by the reader's own transaction (not a savepoint's, which
  // can't), valid while it lasts; a failure is the server's, and is told.
  const std::string snapshot(conn_.Exec("SELECT pg_export_snapshot()").Text(0, 0));
  if (snapshot.empty() || snapshot.find_first_not_of("0123456789ABCDEFabcdef-") != std::string::npos) {
    throw StoreError("the server named a snapshot '" + snapshot + "'");
  }
  try {
    return std::make_unique<PgStore>(where_, Access::kRead, snapshot);
  } catch (const StoreError&) {
    return nullptr;  // no connection left, say: the reader does it all
  }
}

void PgStore::BeginGroup(const std::vector<std::string>& machines) {
  ForgetSavepoints();
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

void PgStore::Savepoint() {
  if (!in_file_ || file_saved_) return;
  conn_.Run(stored_saved_ ? "RELEASE file; SAVEPOINT file" : "SAVEPOINT file");
  stored_saved_ = false;
  file_saved_ = true;
}

void PgStore::CommitGroup() {
  ForgetSavepoints();
  expected_.Clear();
  group_paths_.clear();
  AppendCounts(conn_, counts_.group());
  conn_.Run("COMMIT");
  ids_.EndGroup(true);
  counts_.Clear();
}

void PgStore::Settle() {
  // Intervals never analyzed: a first load's end (of the first of loads side
  // by side to get here). Until autovacuum's first analyze, maybe a minute
  // away, the planner guesses the sizes of tables it has no statistics of:
  // after a first load of 1 000 machines, `report` took 0.44 s and `find`
  // 0.19 s, against 0.11 s and 0.08 s analyzed. Later loads change a few
  // rows in a hundred. A table another session is analyzing or vacuuming is
  // left to it.
  const bool first = conn_.Exec("SELECT reltuples < 0 FROM pg_class WHERE oid = 'intervals'::regclass").Bool(0, 0);
  // The tables the fold leaves alone are analyzed by a second session while
  // it runs: the server has a process for each. Without one, after it.
  std::unique_ptr<Connection> beside;
  if (first) {
    try {
      beside = std::make_unique<Connection>(where_);
      beside->RunAhead("ANALYZE (SKIP_LOCKED) machines, scans, names, paths, versions, intervals, latest, holds, "
                       "mixed_holds",
                       "");
    } catch (const StoreError&) {
      beside.reset();
    }
  }
  const bool folded = FoldCounts(conn_);
  if (first) {
    if (beside) {
      conn_.Run("ANALYZE (SKIP_LOCKED) counts");
      beside->Settle();
    } else {
      conn_.Run(
          "ANALYZE (SKIP_LOCKED) machines, scans, names, paths, versions, intervals, latest, counts, holds, "
          "mixed_holds");
    }
  }
  // After the second session's analyze: its snapshots keep the folded rows.
  if (folded) VacuumFolded(conn_);
}

void PgStore::AbandonGroup() {
  ForgetSavepoints();
  try {
    conn_.Settle();
  } catch (const StoreError&) {
    // The group is rolled back whatever the COPY's answer.
  }
  if (conn_.alive() && conn_.in_transaction()) {
    try {
      conn_.Run("ROLLBACK");
    } catch (const StoreError&) {
      // The connection is gone; the server rolled back on its own.
    }
  }
  ids_.EndGroup(false);
  expected_.Clear();
  group_paths_.clear();
  counts_.Clear();
}

void PgStore::Expect(const std::vector<const ScanFile*>& files) {
  expected_.Fetch(conn_, files);
  std::vector<std::string_view> paths;
  std::vector<std::uint64_t> values;
  expected_.LinesToIntern(files, &paths, &values);
  std::vector<PathId> path_ids;
  std::vector<VersionId> version_ids;
  Intern(paths, values, &path_ids, &version_ids);
}

StoredForFile PgStore::BeginFile(const FileQuestion& question) {
  in_file_ = true;
  file_saved_ = false;
  ids_.BeginFile();
  staged_in_file_ = false;
  StoredForFile stored;
  if (auto known = expected_.Machine(question.machine)) {
    stored.machine = std::move(*known);
  } else {
    Result r = conn_.Repeat("SELECT id, name, first_started, last_started, files FROM machines WHERE name = $1",
                            {question.machine});
    if (r.rows() > 0) {
      stored.machine = StoredMachine{r.Int(0, 0), std::string(r.Text(0, 1)), r.Int(0, 2), r.Int(0, 3), r.Int(0, 4)};
    }
  }
  if (!stored.machine) return stored;
  const MachineId machine = stored.machine->id;
  const std::string id = std::to_string(machine);
  if (!question.sha256.empty()) {
    if (auto known = expected_.Bytes(machine, question.sha256)) {
      stored.bytes = std::move(*known);
    } else {
      Result r = conn_.Repeat("SELECT started, file FROM scans WHERE machine_id = $1 AND sha256 = $2::bytea",
                              {id, HexBytes(question.sha256)});
      if (r.rows() > 0) stored.bytes.emplace(r.Int(0, 0), std::string(r.Text(0, 1)));
    }
    if (stored.bytes) return stored;  // nothing more is needed
  }
  if (question.started) {
    if (auto known = expected_.Run(machine, *question.started)) {
      stored.run = std::move(*known);
    } else {
      Result r = conn_.Repeat(
          "SELECT id, completed IS NOT NULL, report_lines, error_lines, sha256, file "
          "FROM scans WHERE machine_id = $1 AND started = $2",
          {id, std::to_string(*question.started)});
      if (r.rows() > 0) {
        stored.run = StoredRun{r.Int(0, 0),
                               RunCopy{r.Bool(0, 1), static_cast<int>(r.Int(0, 2)), static_cast<int>(r.Int(0, 3)),
                                       r.Bytes(0, 4)},
                               std::string(r.Text(0, 5))};
      }
    }
    // A finished copy is never replaced: the file stores nothing.
    if (stored.run && stored.run->copy.finished) return stored;
  }
  if (auto known = expected_.Latest(machine)) {
    stored.latest = std::move(*known);
  } else {
    Result r = conn_.Repeat("SELECT exact, runs FROM latest WHERE machine_id = $1", {id});
    if (r.rows() > 0) stored.latest = DecodeLatest(r.Bytes(0, 1), r.Bool(0, 0));
  }
  if (question.started && *question.started > stored.machine->last_started) {
    if (!stored.latest || !stored.latest->exact) ReadOpen(machine, &stored.open);
    if (question.keys) {
      ReadKeys("SELECT p.id, p.path_key FROM intervals i JOIN paths p ON p.id = i.path_id "
               "WHERE i.machine_id = $1 AND i.until IS NULL",
               machine, &stored.keys);
    }
    return stored;
  }
  stored.whole = true;
  ReadWhole(machine, &stored);
  bool shielded = false;
  for (const StoredScanLines& s : stored.scans) shielded = shielded || !s.errors.empty();
  if (question.keys || shielded) {
    ReadKeys("SELECT p.id, p.path_key FROM paths p WHERE p.id IN "
             "(SELECT path_id FROM intervals WHERE machine_id = $1)",
             machine, &stored.keys);
  }
  return stored;
}

void PgStore::ReadOpen(MachineId machine, std::vector<Entry>* open) {
  Result r = conn_.Repeat("SELECT path_id, version_id FROM intervals "
                          "WHERE machine_id = $1 AND until IS NULL ORDER BY path_id",
                          {std::to_string(machine)});
  open->reserve(static_cast<std::size_t>(r.rows()));
  for (int k = 0; k < r.rows(); ++k) open->push_back(Entry{r.Int(k, 0), r.Int(k, 1)});
}

void PgStore::ReadKeys(const char* sql, MachineId machine, std::unordered_map<PathId, std::string>* keys) {
  Result r = conn_.Repeat(sql, {std::to_string(machine)});
  for (int k = 0; k < r.rows(); ++k) keys->emplace(r.Int(k, 0), std::string(r.Text(k, 1)));
}

void PgStore::ReadWhole(MachineId machine, StoredForFile* stored) {
  const std::string id = std::to_string(machine);
  Result i = conn_.Repeat("SELECT path_id, version_id, since, until, opened FROM intervals "
                          "WHERE machine_id = $1 ORDER BY path_id, since",
                          {id});
  for (int k = 0; k < i.rows(); ++k) {
    stored->history.intervals.push_back(
        Interval{i.Int(k, 0), i.Int(k, 1), i.Int(k, 2), i.OptionalInt(k, 3), i.Bool(k, 4)});
  }
  Result kept = conn_.Repeat("SELECT scan, path_id FROM kept WHERE machine_id = $1 ORDER BY scan, path_id", {id});
  for (int k = 0; k < kept.rows(); ++k) stored->history.kept.push_back(Kept{kept.Int(k, 0), kept.Int(k, 1)});
  Result r = conn_.Repeat(
      "SELECT id, started, file, completed IS NOT NULL, report_lines, error_lines FROM scans "
      "WHERE machine_id = $1 ORDER BY started",
      {id});
  std::unordered_map<std::int64_t, std::size_t> place;
  for (int k = 0; k < r.rows(); ++k) {
    place.emplace(r.Int(k, 0), stored->scans.size());
    stored->scans.push_back(StoredScanLines{
        ScanFacts{r.Int(k, 0), r.Int(k, 1), std::string(r.Text(k, 2)), r.Bool(k, 3), r.Int(k, 4), r.Int(k, 5)}, {}});
  }
  // The ERROR lines of finished scans: what their shields are made of.
  Result e = conn_.Repeat("SELECT e.scan_id, e.text FROM scan_errors e JOIN scans s ON s.id = e.scan_id "
                          "WHERE s.machine_id = $1 AND s.completed IS NOT NULL ORDER BY e.scan_id, e.line",
                          {id});
  for (int j = 0; j < e.rows(); ++j) {
    if (const auto at = place.find(e.Int(j, 0)); at != place.end()) {
      stored->scans[at->second].errors.emplace_back(e.Text(j, 1));
    }
  }
}

void PgStore::EndFile(const FileWrite* write) {
  if (write == nullptr) {
    // Paths this file staged are taken back with it: their ids must not
    // serve the rest of the group.
    if (staged_in_file_) group_paths_.clear();
    // Without its savepoint the file wrote nothing.
    if (file_saved_) conn_.Run("ROLLBACK TO file; RELEASE file");
    in_file_ = file_saved_ = false;
    ids_.EndFile(false);
    counts_.EndFile(false);
    return;
  }
  Savepoint();
  Write(*write);
  stored_saved_ = true;
  in_file_ = file_saved_ = false;
  ids_.EndFile(true);
  counts_.EndFile(true);
}

namespace {

// Intervals in COPY's binary form (the server neither parses nor checks the
// numbers' text), made before their machine's id may be known: `machine_at`
// is where each row's id goes.
struct IntervalRows {
  std::string data;
  std::vector<std::size_t> machine_at;

  void SetMachine(MachineId machine) {
    for (const std::size_t at : machine_at) PutBinaryInt(&data[at], machine, 8);
  }
};

IntervalRows RowsOf(const std::vector<Interval>& opened, MachineId machine) {
  IntervalRows rows;
  if (opened.empty()) return rows;
  rows.data.assign("PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0", 19);
  rows.data.reserve(rows.data.size() + opened.size() * 67 + 2);
  rows.machine_at.reserve(opened.size());
  for (const Interval& row : opened) {
    // Six fields: four bigints, `until` (NULL: length -1), `opened` (1 byte).
    char out[67];
    char* at = out;
    PutBinaryInt(at, 6, 2);
    at += 2;
    rows.machine_at.push_back(rows.data.size() + 6);
    for (const std::int64_t value : {machine, row.path, row.since, row.version}) {
      PutBinaryInt(at, 8, 4);
      PutBinaryInt(at + 4, value, 8);
      at += 12;
    }
    if (row.until) {
      PutBinaryInt(at, 8, 4);
      PutBinaryInt(at + 4, *row.until, 8);
      at += 12;
    } else {
      PutBinaryInt(at, -1, 4);
      at += 4;
    }
    PutBinaryInt(at, 1, 4);
    at[4] = row.opened ? '\1' : '\0';
    at += 5;
    rows.data.append(out, static_cast<std::size_t>(at - out));
  }
  CopyBinaryInt(&rows.data, -1, 2);
  return rows;
}

}  // namespace

void PgStore::Write(const FileWrite& w) {
  // What the file's rows are made of is worked out before its first
  // statement: until that statement waits for it, the server is still
  // storing the previous file's intervals (CopyAhead), so the two overlap.
  IntervalRows opened = RowsOf(w.opened, w.machine);
  const bool counting = counts_.on && (!w.left.empty() || !w.came.empty());
  std::unordered_map<PathId, NameId> names;
  if (counting) names = NamesOf(w);
  // A new machine's holds start empty; a known one's are read below.
  std::vector<Held> holds;
  if (counting && w.machine == 0) ChangeHolds(&holds, w, names, &counts_.file());
  std::string latest;
  if (w.latest_write == LatestWrite::kWhole) latest = HexBytes(EncodeLatest(w.latest.runs, w.latest.entries));

  const std::string copy_sql =
      "COPY intervals (machine_id, path_id, since, version_id, until, opened) FROM STDIN (FORMAT binary)";
  const bool ahead = w.changes.erase.empty() && w.changes.write.empty();
  if (w.machine == 0 && ahead && !w.deleted_scan && w.closed.empty()) {
    opened.SetMachine(WriteNew(w, counting ? &holds : nullptr, latest));
    if (!opened.data.empty()) {
      conn_.CopyAhead(copy_sql, opened.data, "the intervals of " + (w.scan ? w.scan->file : w.name) + ": ");
    }
    return;
  }
  if (w.deleted_scan) {
    const std::string scan = std::to_string(*w.deleted_scan);
    conn_.Repeat("DELETE FROM scan_errors WHERE scan_id = $1", {scan});
    conn_.Repeat("DELETE FROM scans WHERE id = $1", {scan});
  }
  MachineId machine = w.machine;
  if (machine == 0) {
    Result r = conn_.Repeat(
        "INSERT INTO machines (name, name_key, first_started, last_started, files) "
        "VALUES ($1, $2, $3, $4, $5) RETURNING id",
        {w.name, FoldCase(w.name), std::to_string(w.first_started), std::to_string(w.last_started),
         std::to_string(w.files)});
    machine = r.Int(0, 0);
    opened.SetMachine(machine);
  } else {
    conn_.Repeat("UPDATE machines SET first_started = $2, last_started = $3, files = $4 WHERE id = $1",
                 {std::to_string(machine), std::to_string(w.first_started), std::to_string(w.last_started),
                std::to_string(w.files)});
  }
  const std::string id = std::to_string(machine);
  if (counting) {
    // The holds as they were, before the intervals change.
    std::vector<Held> mixed;
    if (w.machine != 0) {
      holds = MachineHolds(conn_, machine);
      mixed = MixedHolds(holds);
      ChangeHolds(&holds, w, names, &counts_.file());
    }
    conn_.Repeat("INSERT INTO holds (machine_id, entries) VALUES ($1, $2::bytea) "
                 "ON CONFLICT (machine_id) DO UPDATE SET entries = EXCLUDED.entries",
                 {id, HexBytes(EncodeHolds(holds))});
    if (std::vector<Held> now = MixedHolds(holds); now != mixed) WriteMixed(conn_, machine, now);
  }
  if (!w.closed.empty()) {
    conn_.Repeat("UPDATE intervals SET until = $2 "
                 "WHERE machine_id = $1 AND path_id = ANY ($3::bigint[]) AND until IS NULL",
                 {id, std::to_string(w.closed_at), IntArray(w.closed, [](PathId p) { return p; })});
  }
  // New keys only (the scan is later than every stored one), copied in:
  // last, and without waiting for the answer, when nothing else of the
  // file's touches intervals after them.
  if (!ahead && !opened.data.empty()) conn_.Copy(copy_sql, opened.data);
  WriteChanges(id, w.changes);
  std::int64_t scan_id = 0;
  if (w.scan) scan_id = AddScan(id, *w.scan);
  switch (w.latest_write) {
    case LatestWrite::kLeave: break;
    case LatestWrite::kForget: conn_.Repeat("DELETE FROM latest WHERE machine_id = $1", {id}); break;
    case LatestWrite::kFlag:
      conn_.Repeat("UPDATE latest SET exact = $2 WHERE machine_id = $1", {id, w.latest.exact ? "t" : "f"});
      break;
    case LatestWrite::kWhole:
      conn_.Repeat("INSERT INTO latest (machine_id, exact, runs) VALUES ($1, $2, $3::bytea) "
                   "ON CONFLICT (machine_id) DO UPDATE SET exact = EXCLUDED.exact, runs = EXCLUDED.runs",
                   {id, w.latest.exact ? "t" : "f", latest});
      break;
  }
  if (ahead && !opened.data.empty()) {
    conn_.CopyAhead(copy_sql, opened.data, "the intervals of " + (w.scan ? w.scan->file : w.name) + ": ");
  }
  expected_.Wrote(w, machine, scan_id);
}

namespace {

// A scan's row as parameters: started, completed, sha256, file, report
// lines, ERROR lines, loaded.
Params ScanValues(const ScanRow& scan) {
  return {std::to_string(scan.started),
          scan.completed ? std::optional<std::string>(std::to_string(*scan.completed)) : std::nullopt,
          HexBytes(scan.sha256),
          scan.file,
          std::to_string(scan.report_lines),
          std::to_string(scan.errors.size()),
          std::to_string(std::time(nullptr))};
}

}  // namespace

std::int64_t PgStore::AddScan(const std::string& machine, const ScanRow& scan) {
  Params values{machine};
  for (std::optional<std::string>& v : ScanValues(scan)) values.push_back(std::move(v));
  Result inserted = conn_.Repeat(
      "INSERT INTO scans (machine_id, started, completed, sha256, file, report_lines, "
      "error_lines, loaded) VALUES ($1, $2, $3, $4::bytea, $5, $6, $7, $8) RETURNING id",
      values);
  CopyErrors(inserted.Int(0, 0), scan);
  return inserted.Int(0, 0);
}

void PgStore::CopyErrors(std::int64_t scan_id, const ScanRow& scan) {
  if (scan.errors.empty()) return;
  const std::string id = std::to_string(scan_id);
  std::string data;
  for (const auto& [line, text] : scan.errors) {
    data += id;
    data += '\t';
    CopyInt(&data, line);
    data += '\t';
    CopyField(&data, text);
    data += '\n';
  }
  conn_.Copy("COPY scan_errors (scan_id, line, text) FROM STDIN", data);
}

MachineId PgStore::WriteNew(const FileWrite& w, const std::vector<Held>* holds, const std::string& latest) {
  // Every row of a new machine but its intervals in one statement: one wait
  // for the server, where a row a statement would wait five times. A part
  // whose value is NULL adds no row.
  Params values{w.name, FoldCase(w.name), std::to_string(w.first_started), std::to_string(w.last_started),
                std::to_string(w.files)};
  std::optional<std::string> mixed;
  if (holds) {
    values.push_back(HexBytes(EncodeHolds(*holds)));
    if (const std::vector<Held> its = MixedHolds(*holds); !its.empty()) mixed = HexBytes(EncodeHolds(its));
  } else {
    values.push_back(std::nullopt);
  }
  values.push_back(mixed);
  if (w.scan) {
    for (std::optional<std::string>& v : ScanValues(*w.scan)) values.push_back(std::move(v));
  } else {
    values.resize(values.size() + 7);
  }
  const bool whole = w.latest_write == LatestWrite::kWhole;
  values.push_back(w.latest.exact ? "t" : "f");
  values.push_back(whole ? std::optional<std::string>(latest) : std::nullopt);
  Result r = conn_.Repeat(
      "WITH m AS (INSERT INTO machines (name, name_key, first_started, last_started, files) "
      "VALUES ($1, $2, $3, $4, $5) RETURNING id), "
      "h AS (INSERT INTO holds (machine_id, entries) SELECT id, $6::bytea FROM m WHERE $6::bytea IS NOT NULL), "
      "x AS (INSERT INTO mixed_holds (machine_id, entries) SELECT id, $7::bytea FROM m "
      "WHERE $7::bytea IS NOT NULL), "
      "s AS (INSERT INTO scans (machine_id, started, completed, sha256, file, report_lines, error_lines, loaded) "
      "SELECT id, $8::bigint, $9::bigint, $10::bytea, $11::text, $12::integer, $13::integer, $14::bigint FROM m "
      "WHERE $8::bigint IS NOT NULL RETURNING id), "
      "l AS (INSERT INTO latest (machine_id, exact, runs) SELECT id, $15::boolean, $16::bytea FROM m "
      "WHERE $16::bytea IS NOT NULL) "
      "SELECT m.id, (SELECT id FROM s) FROM m",
      values);
  const MachineId machine = r.Int(0, 0);
  std::int64_t scan_id = 0;
  if (w.scan) {
    scan_id = r.Int(0, 1);
    CopyErrors(scan_id, *w.scan);
  }
  expected_.Wrote(w, machine, scan_id);
  return machine;
}

std::unordered_map<PathId, NameId> PgStore::NamesOf(const FileWrite& w) {
  std::unordered_map<PathId, NameId> names;
  const std::vector<PathId> unknown = ids_.NamesOf({&w.left, &w.came}, &names);
  if (!unknown.empty()) {
    Result r = conn_.Repeat("SELECT id, name_id FROM paths WHERE id = ANY ($1::bigint[])",
                            {IntArray(unknown, [](PathId p) { return p; })});
    for (int k = 0; k < r.rows(); ++k) {
      names.emplace(r.Int(k, 0), r.Int(k, 1));
      ids_.AddNameOf(r.Int(k, 0), r.Int(k, 1));
    }
  }
  return names;
}

void PgStore::DeleteMachine(MachineId machine) {
  Savepoint();
  expected_.Clear();
  const std::string id = std::to_string(machine);
  if (counts_.on) {
    CountHolds(MachineHolds(conn_, machine), -1, &counts_.group());
    conn_.Exec("DELETE FROM holds WHERE machine_id = $1", {id});
    WriteMixed(conn_, machine, {});
  }
  for (const char* sql : {"DELETE FROM intervals WHERE machine_id = $1", "DELETE FROM kept WHERE machine_id = $1",
                          "DELETE FROM latest WHERE machine_id = $1",
                          "DELETE FROM scan_errors WHERE scan_id IN (SELECT id FROM scans WHERE machine_id = $1)",
                          "DELETE FROM scans WHERE machine_id = $1", "DELETE FROM machines WHERE id = $1"}) {
    conn_.Exec(sql, {id});
  }
}

void PgStore::MergeScans(MachineId from, MachineId into, const std::vector<std::int64_t>& dropped) {
  Savepoint();
  expected_.Clear();
  if (!dropped.empty()) {
    const std::string ids = IntArray(dropped, [](std::int64_t id) { return id; });
    conn_.Exec("DELETE FROM scan_errors WHERE scan_id = ANY ($1::bigint[])", {ids});
    conn_.Exec("DELETE FROM scans WHERE id = ANY ($1::bigint[])", {ids});
  }
  conn_.Exec("UPDATE scans SET machine_id = $2 WHERE machine_id = $1", {std::to_string(from), std::to_string(into)});
}

void PgStore::WriteChanges(const std::string& id, const HistoryChanges& changes) {
  if (!changes.erase.empty()) {
    conn_.Repeat("DELETE FROM intervals i USING unnest($2::bigint[], $3::bigint[]) AS e (path_id, since) "
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
    conn_.Repeat(
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
    conn_.Repeat("DELETE FROM kept k USING unnest($2::bigint[], $3::bigint[]) AS e (scan, path_id) "
                 "WHERE k.machine_id = $1 AND k.scan = e.scan AND k.path_id = e.path_id",
                 {id, IntArray(changes.kept_erase, [](const Kept& r) { return r.scan; }),
                IntArray(changes.kept_erase, [](const Kept& r) { return r.path; })});
  }
  if (!changes.kept_write.empty()) {
    conn_.Repeat("INSERT INTO kept (machine_id, scan, path_id) "
                 "SELECT $1, * FROM unnest($2::bigint[], $3::bigint[]) ON CONFLICT DO NOTHING",
                 {id, IntArray(changes.kept_write, [](const Kept& r) { return r.scan; }),
                IntArray(changes.kept_write, [](const Kept& r) { return r.path; })});
  }
}

}  // namespace vurfleet::pg
