// The queries of the SQLite store. Patterns match folded keys (lower case)
// with LIKE; a literal pattern is an equality, and a pattern's literal start
// a range, so that the indexes serve them.
#include <algorithm>
#include <climits>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/holdings.h"
#include "store/sqlite/sqlite_store.h"
#include "store/stored.h"

namespace vurfleet::sqlite {
namespace {

// A WHERE clause and its parameters, built term by term.
class Conditions {
 public:
  // `column` matches `glob`. `column` holds folded text.
  void Match(const std::string& column, const Glob& glob) {
    if (glob.literal()) {
      Add(column + " = ?", {glob.folded()});
      return;
    }
    const std::string prefix = glob.LiteralPrefix();
    if (!prefix.empty()) {
      const std::string end = PrefixEnd(prefix);
      if (!end.empty()) {
        Add(column + " >= ? AND " + column + " < ?", {prefix, end});
      } else {
        Add(column + " >= ?", {prefix});
      }
    }
    // vurfleet_glob, not LIKE: SQLite's LIKE refuses patterns past 50 000
    // bytes, and the pattern is matched as everywhere else.
    Add("vurfleet_glob(?, " + column + ")", {glob.folded()});
  }
  void Add(const std::string& term, std::vector<std::string> texts) {
    sql_ += (sql_.empty() ? " WHERE " : " AND ") + term;
    for (std::string& t : texts) texts_.push_back(std::move(t));
  }
  void AddInt(const std::string& term, std::int64_t value) {
    sql_ += (sql_.empty() ? " WHERE " : " AND ") + term;
    ints_.push_back({texts_.size() + ints_.size(), value});
  }
  const std::string& sql() const { return sql_; }
  // Binds the parameters from `first` on, in the order they were added.
  void BindAll(Statement& statement, int first) const {
    std::size_t text = 0, integer = 0;
    const std::size_t count = texts_.size() + ints_.size();
    for (std::size_t k = 0; k < count; ++k) {
      const int index = first + static_cast<int>(k);
      if (integer < ints_.size() && ints_[integer].first == k) {
        statement.Bind(index, ints_[integer++].second);
      } else {
        statement.Bind(index, std::string_view(texts_[text++]));
      }
    }
  }

 private:
  std::string sql_;
  std::vector<std::string> texts_;
  std::vector<std::pair<std::size_t, std::int64_t>> ints_;
};

Version VersionFrom(const Statement& s, int column) {
  return s.IsNull(column) ? Version::None() : VersionOfStored(s.Int(column));
}

}  // namespace

void SqliteStore::Find(const FindQuery& query, const std::function<void(const FindRow&)>& row) {
  ReadScope snapshot(db_);
  Conditions where;
  if (query.name) where.Match("p.name_key", *query.name);
  if (query.path) where.Match("vurfleet_fold(p.path)", *query.path);
  if (query.machine) where.Match("m.name_key", *query.machine);
  switch (query.test) {
    case VersionTest::kAny: break;
    case VersionTest::kNone: where.AddInt("i.version_id = ?", 0); break;
    case VersionTest::kEqual: where.AddInt("v.value = ?", StoredVersion(query.version.value())); break;
    case VersionTest::kBelow: where.AddInt("v.value < ?", StoredVersion(query.version.value())); break;
    case VersionTest::kAtLeast:
      where.AddInt("v.value >= ?", StoredVersion(query.version.value()));
      break;
  }
  // Which scan of each machine: its last, or its last up to --at.
  std::string holds = "i.until IS NULL";
  std::string at_source;
  if (query.at) {
    at_source =
        "(SELECT machine_id, max(started) AS x FROM scans WHERE started <= ?1 "
        "GROUP BY machine_id) a CROSS JOIN ";
    holds = "i.since <= a.x AND (i.until IS NULL OR i.until > a.x)";
  }
  const std::string machines_join =
      query.at ? "machines m ON m.id = a.machine_id" : "machines m";

  // With a pattern on paths, few paths match: each machine's rows are
  // sought for each of them. Otherwise each machine's rows are read whole.
  bool by_path = false;
  if (query.name || query.path) {
    Conditions paths;
    if (query.name) paths.Match("p.name_key", *query.name);
    if (query.path) paths.Match("vurfleet_fold(p.path)", *query.path);
    Statement count(db_, ("SELECT count(*) FROM paths p" + paths.sql()).c_str());
    paths.BindAll(count, 1);
    count.Step();
    const std::int64_t matched = count.Int(0);
    Statement sizes(db_, "SELECT coalesce(sum(files), 0), count(*) FROM machines");
    sizes.Step();
    const std::int64_t per_machine = sizes.Int(0) / std::max<std::int64_t>(1, sizes.Int(1));
    // A seek into a machine's rows costs about what reading a few dozen of
    // them in order does.
    by_path = matched * 30 < per_machine;
  }
  std::string sql = "SELECT m.name, p.path, v.value, i.since FROM ";
  if (by_path) {
    sql += "paths p CROSS JOIN " + at_source + machines_join +
           " CROSS JOIN intervals i ON i.machine_id = m.id AND i.path_id = p.id ";
  } else {
    sql += at_source + machines_join +
           " CROSS JOIN intervals i ON i.machine_id = m.id "
           "CROSS JOIN paths p ON p.id = i.path_id ";
  }
  sql += "JOIN versions v ON v.id = i.version_id" + where.sql() +
         (where.sql().empty() ? " WHERE " : " AND ") + holds + " ORDER BY m.name, p.path";
  Statement s(db_, sql.c_str());
  if (query.at) s.Bind(1, *query.at);
  where.BindAll(s, query.at ? 2 : 1);
  FindRow out;
  while (s.Step()) {
    out.machine.assign(s.Text(0));
    out.path.assign(s.Text(1));
    out.version = VersionFrom(s, 2);
    out.since = s.Int(3);
    row(out);
  }
}

void SqliteStore::Changes(const ChangesQuery& query,
                          const std::function<void(const ChangeRow&)>& row) {
  ReadScope snapshot(db_);
  const std::int64_t since = query.since.value_or(INT64_MIN);
  const std::int64_t until = query.until.value_or(INT64_MAX);
  Conditions where;
  if (query.machine) where.Match("m.name_key", *query.machine);
  // A change at a scan is an interval that begins there after the machine's
  // first scan, or one that ends there, or both for one path.
  const std::string sql =
      "WITH ev (machine_id, path_id, scan) AS ("
      " SELECT machine_id, path_id, since FROM intervals"
      "  WHERE opened AND since BETWEEN ?1 AND ?2"
      " UNION"
      " SELECT machine_id, path_id, until FROM intervals"
      "  WHERE until IS NOT NULL AND until BETWEEN ?1 AND ?2) "
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
  Statement s(db_, sql.c_str());
  s.Bind(1, since).Bind(2, until);
  where.BindAll(s, 3);
  ChangeRow out;
  while (s.Step()) {
    out.scan = s.Int(0);
    out.machine.assign(s.Text(1));
    out.path.assign(s.Text(2));
    out.old_version = s.Int(3) != 0 ? std::optional<Version>(VersionFrom(s, 4)) : std::nullopt;
    out.new_version = s.Int(5) != 0 ? std::optional<Version>(VersionFrom(s, 6)) : std::nullopt;
    row(out);
  }
}

ChangeCounts SqliteStore::RecentChanges(Time since, Time until, std::size_t newest,
                                       const std::function<void(const ChangeRow&)>& row) {
  ReadScope snapshot(db_);
  ChangeCounts counts{};
  Statement kinds(db_, kChangeKindsSql);
  kinds.Bind(1, since).Bind(2, until);
  while (kinds.Step()) counts.at(static_cast<std::size_t>(kinds.Int(0))) = kinds.Int(1);
  if (newest == 0) return counts;
  ChangesQuery last;
  last.since = since;
  last.until = until;
  for (const char* sql : {kNewestOpenedSql, kNewestEndedSql}) {
    Statement s(db_, sql);
    s.Bind(1, since).Bind(2, until).Bind(3, static_cast<std::int64_t>(newest - 1));
    if (s.Step()) last.since = std::max(*last.since, s.Int(0));
  }
  Changes(last, row);
  return counts;
}

void SqliteStore::Holdings(const std::vector<Glob>& names,
                           const std::function<void(const HoldingRow&)>& row) {
  if (names.empty()) return;
  ReadScope snapshot(db_);
  // The paths of those names, ranked by their text.
  HoldingsOrder order(row);
  {
    // A name without a wildcard is a seek of one statement, prepared once:
    // an advisories file may hold a hundred thousand of them.
    Statement literal(db_, "SELECT id, path FROM paths WHERE name_key = ?1");
    for (const Glob& name : names) {
      std::optional<Statement> pattern;
      Statement* s = &literal;
      if (name.literal()) {
        literal.Reset();
        literal.Bind(1, std::string_view(name.folded()));
      } else {
        Conditions where;
        where.Match("name_key", name);
        pattern.emplace(db_, ("SELECT id, path FROM paths" + where.sql()).c_str());
        where.BindAll(*pattern, 1);
        s = &*pattern;
      }
      while (s->Step()) order.AddPath(s->Text(1), s->Int(0));
    }
  }
  order.Rank();
  if (order.empty()) return;
  // Versions in memory: one look-up a row instead of a seek. A row whose
  // version is not stored is left out, as find's join leaves it.
  std::unordered_map<std::int64_t, Version> versions;
  {
    Statement s(db_, "SELECT id, value FROM versions");
    while (s.Step()) versions.emplace(s.Int(0), VersionFrom(s, 1));
  }

  // Few runs of consecutive path ids: each machine's rows are sought for
  // each run (in id order, so that the seeks move forward through the
  // machine's rows). Many: each machine's rows are read whole. A seek
  // costs about what reading eight rows in order does (2 million seeks
  // against 30 million rows read, at 10 000 machines).
  const std::vector<std::pair<PathId, PathId>> runs = order.IdRuns();
  Statement sizes(db_, "SELECT coalesce(sum(files), 0), count(*) FROM machines");
  sizes.Step();
  const std::int64_t per_machine = sizes.Int(0) / std::max<std::int64_t>(1, sizes.Int(1));
  const bool by_path = static_cast<std::int64_t>(runs.size()) * 8 < per_machine;
  // Runs of one id or two are sought as a list: SQLite steps from one
  // value of a list to the next where they lie close, and seeks each
  // range anew (a third slower for a hundred ids on 10 000 machines).
  // Longer runs are ranges, read from their JSON once, not once a machine.
  const bool ranges = by_path && runs.size() * 2 < order.size();
  const char* sql =
      ranges ? "WITH r (first, last) AS MATERIALIZED (SELECT json_extract(value, '$[0]'), "
               "json_extract(value, '$[1]') FROM json_each(?1)) "
               "SELECT m.name, i.path_id, i.since, i.until, i.version_id "
               "FROM machines m CROSS JOIN r CROSS JOIN intervals i "
               "ON i.machine_id = m.id AND i.path_id BETWEEN r.first AND r.last ORDER BY m.name"
      : by_path ? "SELECT m.name, i.path_id, i.since, i.until, i.version_id "
                  "FROM machines m CROSS JOIN intervals i ON i.machine_id = m.id "
                  "WHERE i.path_id IN (SELECT value FROM json_each(?1)) ORDER BY m.name"
                : "SELECT m.name, i.path_id, i.since, i.until, i.version_id "
                  "FROM machines m CROSS JOIN intervals i ON i.machine_id = m.id "
                  "ORDER BY m.name";
  Statement s(db_, sql);
  if (by_path) {
    std::string json;
    for (const auto& [first, last] : runs) {
      json += json.empty() ? "[" : ",";
      if (ranges) {
        json += "[" + std::to_string(first) + "," + std::to_string(last) + "]";
        continue;
      }
      for (PathId id = first;; ++id) {
        json += std::to_string(id);
        if (id == last) break;
        json += ",";
      }
    }
    json += "]";
    s.Bind(1, std::string_view(json));
  }

  // A machine's rows come together, by path id; they leave by path text.
  // Read whole, most rows are of other paths: the path is tested first.
  while (s.Step()) {
    if (!order.Holds(s.Int(1))) continue;
    const auto version = versions.find(s.Int(4));
    if (version == versions.end()) continue;
    order.Add(s.Text(0), s.Int(1), s.Int(2), s.OptionalInt(3), version->second);
  }
  order.Finish();
}

void SqliteStore::Machines(const std::function<void(const MachineRow&)>& row) {
  ReadScope snapshot(db_);
  Statement s(db_,
              "SELECT m.name, s.started, s.completed, m.files, s.error_lines FROM machines m "
              "JOIN scans s ON s.machine_id = m.id AND s.started = m.last_started "
              "ORDER BY m.name");
  MachineRow out;
  while (s.Step()) {
    out.machine.assign(s.Text(0));
    out.last_started = s.Int(1);
    out.last_completed = s.OptionalInt(2);
    out.files = s.Int(3);
    out.errors = s.Int(4);
    row(out);
  }
}

void SqliteStore::ScanStarts(const std::function<void(const std::string& machine, Time started)>& row) {
  ReadScope snapshot(db_);
  Statement s(db_,
              "SELECT m.name, s.started FROM machines m JOIN scans s ON s.machine_id = m.id "
              "ORDER BY m.name, s.started");
  std::string machine;
  while (s.Step()) {
    machine.assign(s.Text(0));
    row(machine, s.Int(1));
  }
}

void SqliteStore::NoteLoad(const LoadFigures& figures) {
  db_.Exec("DELETE FROM last_load");
  Statement(db_, "INSERT INTO last_load (stored, already_loaded, refused, finished) VALUES (?1, ?2, ?3, ?4)")
      .Bind(1, figures.stored)
      .Bind(2, figures.already_loaded)
      .Bind(3, figures.refused)
      .Bind(4, figures.finished)
      .Run();
}

std::optional<LoadFigures> SqliteStore::LastLoad() {
  ReadScope snapshot(db_);
  Statement s(db_, "SELECT stored, already_loaded, refused, finished FROM last_load");
  if (!s.Step()) return std::nullopt;
  return LoadFigures{s.Int(0), s.Int(1), s.Int(2), s.Int(3)};
}

}  // namespace vurfleet::sqlite
