// The queries of the PostgreSQL store: the SQLite store's, in the same
// order (text in byte order, COLLATE "C"). Patterns match folded keys with
// LIKE, whose escape character is the backslash, as Glob::LikePattern
// writes them.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/holdings.h"
#include "store/postgres/pg_store.h"
#include "store/stored.h"

namespace vurfleet::pg {

Version VersionFrom(const Result& r, int row, int column) {
  if (r.IsNull(row, column)) return Version::None();
  return VersionOfStored(r.Int(row, column));
}

namespace {

// A WHERE clause and its parameters, numbered as they are added.
class Conditions {
 public:
  explicit Conditions(Params* params) : params_(params) {}

  // `column` (folded text) matches `glob`. `indexed`, when given, is the
  // expression an index holds for `column`: substr(column, 1, 256).
  void Match(const std::string& column, const Glob& glob, bool indexed = false) {
    if (glob.literal()) {
      const std::string p = Param(glob.folded());
      if (indexed) Add("substr(" + column + ", 1, 256) = substr(" + p + ", 1, 256)");
      Add(column + " = " + p);
      return;
    }
    Add(column + " LIKE " + Param(glob.LikePattern()));
  }
  std::string Param(std::string value) {
    params_->push_back(std::move(value));
    return "$" + std::to_string(params_->size());
  }
  void Add(const std::string& term) { sql_ += (sql_.empty() ? " WHERE " : " AND ") + term; }
  const std::string& sql() const { return sql_; }

 private:
  Params* params_;
  std::string sql_;
};

std::string ValueOf(const Version& version) {
  return std::to_string(StoredVersion(version.value()));
}

}  // namespace

void PgStore::Find(const FindQuery& query, const std::function<void(const FindRow&)>& row) {
  ReadScope snapshot(conn_);
  Params params;
  std::string from;
  std::string holds = "i.until IS NULL";
  if (query.at) {
    params.push_back(std::to_string(*query.at));
    // Each machine's last scan up to --at.
    from = "(SELECT machine_id, max(started) AS x FROM scans WHERE started <= $1 "
           "GROUP BY machine_id) a JOIN machines m ON m.id = a.machine_id ";
    holds = "i.since <= a.x AND (i.until IS NULL OR i.until > a.x)";
  } else {
    from = "machines m ";
  }
  Conditions where(&params);
  if (query.name) where.Match("p.name_key", *query.name, true);
  if (query.path) where.Match("p.path_key", *query.path);
  if (query.machine) where.Match("m.name_key", *query.machine);
  switch (query.test) {
    case VersionTest::kAny: break;
    case VersionTest::kNone: where.Add("i.version_id = 0"); break;
    case VersionTest::kEqual: where.Add("v.value = " + where.Param(ValueOf(query.version))); break;
    case VersionTest::kBelow: where.Add("v.value < " + where.Param(ValueOf(query.version))); break;
    case VersionTest::kAtLeast: where.Add("v.value >= " + where.Param(ValueOf(query.version))); break;
  }
  where.Add(holds);
  const std::string sql =
      "SELECT m.name, p.path, v.value, i.since FROM " + from +
      "JOIN intervals i ON i.machine_id = m.id JOIN paths p ON p.id = i.path_id "
      "JOIN versions v ON v.id = i.version_id" +
      where.sql() + " ORDER BY m.name, p.path";
  Result r = conn_.Exec(sql, params);
  FindRow out;
  for (int k = 0; k < r.rows(); ++k) {
    out.machine.assign(r.Text(k, 0));
    out.path.assign(r.Text(k, 1));
    out.version = VersionFrom(r, k, 2);
    out.since = r.Int(k, 3);
    row(out);
  }
}

void PgStore::Changes(const ChangesQuery& query, const std::function<void(const ChangeRow&)>& row) {
  ReadScope snapshot(conn_);
  Params params{std::to_string(query.since.value_or(INT64_MIN)),
                std::to_string(query.until.value_or(INT64_MAX))};
  Conditions where(&params);
  if (query.machine) where.Match("m.name_key", *query.machine);
  // A change at a scan is an interval that begins there after the machine's
  // first scan, or one that ends there, or both for one path.
  const std::string sql =
      "WITH ev (machine_id, path_id, scan) AS ("
      " SELECT machine_id, path_id, since FROM intervals"
      "  WHERE opened AND since BETWEEN $1 AND $2"
      " UNION"
      " SELECT machine_id, path_id, until FROM intervals"
      "  WHERE until IS NOT NULL AND until BETWEEN $1 AND $2) "
      "SELECT ev.scan, m.name, p.path, o.version_id IS NOT NULL, ov.value, "
      "       n.version_id IS NOT NULL, nv.value "
      "FROM ev JOIN machines m ON m.id = ev.machine_id "
      "JOIN paths p ON p.id = ev.path_id "
      "LEFT JOIN intervals n ON n.machine_id = ev.machine_id AND n.path_id = ev.path_id "
      "     AND n.since = ev.scan "
      "LEFT JOIN versions nv ON nv.id = n.version_id "
      "LEFT JOIN intervals o ON o.machine_id = ev.machine_id AND o.path_id = ev.path_id "
      "     AND o.until = ev.scan "
      "LEFT JOIN versions ov ON ov.id = o.version_id" +
      where.sql() + " ORDER BY ev.scan, m.name, p.path";
  Result r = conn_.Exec(sql, params);
  ChangeRow out;
  for (int k = 0; k < r.rows(); ++k) {
    out.scan = r.Int(k, 0);
    out.machine.assign(r.Text(k, 1));
    out.path.assign(r.Text(k, 2));
    out.old_version = r.Bool(k, 3) ? std::optional<Version>(VersionFrom(r, k, 4)) : std::nullopt;
    out.new_version = r.Bool(k, 5) ? std::optional<Version>(VersionFrom(r, k, 6)) : std::nullopt;
    row(out);
  }
}

ChangeCounts PgStore::RecentChanges(Time since, Time until, std::size_t newest,
                                   const std::function<void(const ChangeRow&)>& row) {
  ReadScope snapshot(conn_);
  ChangeCounts counts{};
  const Params window{std::to_string(since), std::to_string(until)};
  Result kinds = conn_.Exec(kChangeKindsSql, window);
  for (int k = 0; k < kinds.rows(); ++k) counts.at(static_cast<std::size_t>(kinds.Int(k, 0))) = kinds.Int(k, 1);
  if (newest == 0) return counts;
  ChangesQuery last;
  last.since = since;
  last.until = until;
  for (const char* sql : {kNewestOpenedSql, kNewestEndedSql}) {
    Result r = conn_.Exec(sql, {window[0], window[1], std::to_string(newest - 1)});
    if (r.rows() > 0) last.since = std::max(*last.since, r.Int(0, 0));
  }
  Changes(last, row);
  return counts;
}

void PgStore::Holdings(const std::vector<Glob>& names,
                       const std::function<void(const HoldingRow&)>& row) {
  if (names.empty()) return;
  // One snapshot for the statements.
  ReadScope snapshot(conn_);
  // A bitmap of heap pages in the default 4 MB turns lossy, and every row
  // of those pages is checked again. Compiling the statements (JIT) costs
  // more than it saves, and the estimate of the intervals read (a range of
  // ids a run) is high enough to turn it on. (SET LOCAL: to the end of the
  // transaction, which for a reader is the end of its store.)
  conn_.Run("SET LOCAL work_mem = '64MB'; SET LOCAL jit = off");
  // The paths of those names, ranked by their text.
  HoldingsOrder order(row);
  {
    const auto add = [&](const Result& r) {
      std::size_t bytes = 0;
      for (int k = 0; k < r.rows(); ++k) bytes += r.Text(k, 1).size();
      order.Reserve(static_cast<std::size_t>(r.rows()), bytes);
      for (int k = 0; k < r.rows(); ++k) order.AddPath(r.Text(k, 1), r.Int(k, 0));
    };
    // The names without a wildcard in one statement, through the index:
    // an advisories file may hold a hundred thousand of them.
    std::vector<std::string> literal;
    for (const Glob& name : names) {
      if (name.literal()) {
        literal.push_back(name.folded());
        continue;
      }
      Params params;
      Conditions where(&params);
      where.Match("p.name_key", name, true);
      add(conn_.Exec("SELECT p.id, p.path FROM paths p" + where.sql(), params));
    }
    if (!literal.empty()) {
      // The keys through a sub-select, so that the plan seeks them in the
      // index by name whatever their number (a join reads every path).
      add(conn_.Exec("SELECT p.id, p.path FROM paths p WHERE substr(p.name_key, 1, 256) = "
                     "ANY (ARRAY(SELECT substr(k, 1, 256) FROM unnest($1::text[]) k)) "
                     "AND p.name_key = ANY ($1::text[])",
                     {TextArray(literal)}));
    }
  }
  order.Rank();
  if (order.empty()) return;
  const std::vector<std::pair<PathId, PathId>> runs = order.IdRuns();
  // Versions in memory: a look-up a row instead of a join. A row whose
  // version is not stored is left out, as find's join leaves it.
  std::unordered_map<std::int64_t, Version> versions;
  {
    Result r = conn_.Exec("SELECT id, value FROM versions");
    versions.reserve(static_cast<std::size_t>(r.rows()));
    for (int k = 0; k < r.rows(); ++k) versions.emplace(r.Int(k, 0), VersionFrom(r, k, 1));
  }
  // The machines by name: the intervals come by path, and are handed on
  // machine by machine in name order (text in byte order, as COLLATE "C").
  std::unordered_map<std::int64_t, std::uint32_t> machine_slot;
  std::vector<std::string> machine_names;
  {
    Result r = conn_.Exec("SELECT id, name FROM machines");
    machine_names.reserve(static_cast<std::size_t>(r.rows()));
    machine_slot.reserve(static_cast<std::size_t>(r.rows()));
    for (int k = 0; k < r.rows(); ++k) {
      machine_slot.emplace(r.Int(k, 0), static_cast<std::uint32_t>(machine_names.size()));
      machine_names.emplace_back(r.Text(k, 1));
    }
  }
  // Each interval of those paths as a row of one COPY, neither grouped nor
  // sorted by the server: grouping them by machine into arrays, and writing
  // and reading those as text, took three times as long (1 000 machines,
  // every path of the 100 most held names). Each run of ids is a range
  // sought in the index by path, which holds what the query reads (see the
  // schema): a seek per run, not per path, and no estimate from a hundred
  // thousand ids. The runs are numbers written here, so the statement
  // holds them (COPY takes no parameters).
  struct Interval {
    PathId path;
    Time since;
    Time until;
    bool ends;
    const Version* version;
  };
  std::vector<std::vector<Interval>> by_machine(machine_names.size());
  std::optional<std::int64_t> f[5];
  conn_.CopyOut(
      "COPY (SELECT i.machine_id, i.path_id, i.since, i.until, i.version_id "
      "FROM unnest('" + IntArray(runs, [](const auto& run) { return run.first; }) + "'::bigint[], '" +
          IntArray(runs, [](const auto& run) { return run.second; }) +
          "'::bigint[]) r (first, last) CROSS JOIN LATERAL ("
          " SELECT * FROM intervals WHERE path_id BETWEEN r.first AND r.last) i) TO STDOUT",
      [&](std::string_view line) {
        CopyInts(line, f, 5);
        if (!f[0] || !f[1] || !f[2] || !f[4]) {
          throw StoreError(conn_.description() + ": the database answered an interval without its machine, path, start or version");
        }
        if (!order.Holds(*f[1])) return;
        const auto machine = machine_slot.find(*f[0]);
        const auto version = versions.find(*f[4]);
        // As a join leaves them: an interval of no stored machine or version.
        if (machine == machine_slot.end() || version == versions.end()) return;
        by_machine[machine->second].push_back(
            Interval{*f[1], *f[2], f[3].value_or(0), f[3].has_value(), &version->second});
      });
  std::vector<std::uint32_t> by_name(machine_names.size());
  for (std::uint32_t k = 0; k < by_name.size(); ++k) by_name[k] = k;
  std::sort(by_name.begin(), by_name.end(),
            [&](std::uint32_t a, std::uint32_t b) { return machine_names[a] < machine_names[b]; });
  for (const std::uint32_t m : by_name) {
    for (const Interval& i : by_machine[m]) {
      order.Add(machine_names[m], i.path, i.since, i.ends ? std::optional<Time>(i.until) : std::nullopt,
                *i.version);
    }
    // Handed on now: what is read is kept no longer than needed.
    std::vector<Interval>().swap(by_machine[m]);
  }
  order.Finish();
}

void PgStore::Machines(const std::function<void(const MachineRow&)>& row) {
  ReadScope snapshot(conn_);
  Result r = conn_.Exec(
      "SELECT m.name, s.started, s.completed, m.files, s.error_lines FROM machines m "
      "JOIN scans s ON s.machine_id = m.id AND s.started = m.last_started ORDER BY m.name");
  MachineRow out;
  for (int k = 0; k < r.rows(); ++k) {
    out.machine.assign(r.Text(k, 0));
    out.last_started = r.Int(k, 1);
    out.last_completed = r.OptionalInt(k, 2);
    out.files = r.Int(k, 3);
    out.errors = r.Int(k, 4);
    row(out);
  }
}

void PgStore::ScanStarts(const std::function<void(const std::string& machine, Time started)>& row) {
  ReadScope snapshot(conn_);
  Result r = conn_.Exec(
      "SELECT m.name, s.started FROM machines m JOIN scans s ON s.machine_id = m.id "
      "ORDER BY m.name, s.started");
  std::string machine;
  for (int k = 0; k < r.rows(); ++k) {
    machine.assign(r.Text(k, 0));
    row(machine, r.Int(k, 1));
  }
}

void PgStore::NoteLoad(const LoadFigures& figures) {
  conn_.Run("DELETE FROM last_load");
  conn_.Exec("INSERT INTO last_load (stored, already_loaded, refused, finished) VALUES ($1, $2, $3, $4)",
             {std::to_string(figures.stored), std::to_string(figures.already_loaded),
              std::to_string(figures.refused), std::to_string(figures.finished)});
}

std::optional<LoadFigures> PgStore::LastLoad() {
  ReadScope snapshot(conn_);
  Result r = conn_.Exec("SELECT stored, already_loaded, refused, finished FROM last_load");
  if (r.rows() == 0) return std::nullopt;
  return LoadFigures{r.Int(0, 0), r.Int(0, 1), r.Int(0, 2), r.Int(0, 3)};
}

}  // namespace vurfleet::pg
