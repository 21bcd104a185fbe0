// The PostgreSQL store's interning: ids of paths and versions for many
// lines at once, in a few set-based statements.
#include <algorithm>
#include <unordered_map>

#include "base/text.h"
#include "store/postgres/pg_store.h"
#include "store/stored.h"

namespace vurfleet::pg {
namespace {

// Staged lines from which the planner is given the table's statistics.
constexpr std::size_t kAnalyzedLines = 2000;

void CopyInt(std::string* out, std::int64_t value) { out->append(std::to_string(value)); }

}  // namespace

void PgStore::Intern(const std::vector<std::string_view>& paths, const std::vector<std::uint64_t>& versions,
                     std::vector<PathId>* path_ids, std::vector<VersionId>* version_ids) {
  InternPaths(paths, path_ids);
  InternVersions(versions, version_ids);
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
  Savepoint();
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
  staged_in_file_ = true;
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
  Savepoint();
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
    const std::string name = NameKey(path);
    CopyField(&data, name);
    data += '\t';
    CopyInt(&data, static_cast<std::int64_t>(StableHash(name)));
    data += '\n';
  }
  conn_.Copy("COPY vurfleet_lines (line, hash, path, path_key, name_key, name_hash) FROM STDIN", data);
  if (paths.size() >= kAnalyzedLines) conn_.Run("ANALYZE vurfleet_lines");
  // Names first, in key order too; a name whose digests are another's
  // leaves its paths without a name, refused below.
  conn_.Run(
      "INSERT INTO names (hash, name_key) "
      "SELECT DISTINCT name_hash, name_key FROM vurfleet_lines ORDER BY name_hash, name_key "
      "ON CONFLICT (hash, md5(name_key)) DO NOTHING");
  // The ids of the paths added come back with them; only paths stored
  // before (or by another load just now) are probed for, one index probe
  // each (a join would be planned over all paths, whose count grows with
  // the fleet, not with the group).
  Result added = conn_.Exec(
      "INSERT INTO paths (hash, path, path_key, name_key, name_id) "
      "SELECT s.hash, s.path, s.path_key, s.name_key, n.id FROM vurfleet_lines s "
      "JOIN names n ON n.hash = s.name_hash AND n.name_key = s.name_key ORDER BY s.hash, s.path "
      "ON CONFLICT (hash, md5(path)) DO NOTHING RETURNING path, id, name_id");
  ids_.NoteAdded();
  std::unordered_map<std::string_view, std::size_t> line_of;
  line_of.reserve(paths.size());
  for (std::size_t k = 0; k < paths.size(); ++k) line_of.emplace(paths[k], k);
  std::vector<bool> found(paths.size(), false);
  std::size_t missing = paths.size();
  const auto keep = [&](std::size_t k, PathId id, std::int64_t name) {
    group_paths_[std::string(paths[k])] = id;
    ids_.AddPath(paths[k], id, false);
    ids_.AddNameOf(id, name);
    found[k] = true;
    --missing;
  };
  for (int j = 0; j < added.rows(); ++j) {
    const auto at = line_of.find(added.Text(j, 0));
    if (at == line_of.end() || found[at->second]) {
      throw StoreError(conn_.description() + ": the staged lines came back wrong");
    }
    keep(at->second, added.Int(j, 1), added.Int(j, 2));
  }
  if (missing == 0) return;
  Result r = conn_.Exec(
      "SELECT s.line, p.id, p.name_id FROM vurfleet_lines s "
      "LEFT JOIN LATERAL (SELECT id, name_id FROM paths p WHERE p.hash = s.hash AND p.path = s.path) p ON true "
      "ORDER BY s.line");
  if (r.rows() != static_cast<int>(paths.size())) {
    throw StoreError(conn_.description() + ": the staged lines came back wrong");
  }
  for (int j = 0; j < r.rows(); ++j) {
    const std::size_t k = static_cast<std::size_t>(r.Int(j, 0));
    if (k != static_cast<std::size_t>(j)) throw StoreError(conn_.description() + ": the staged lines came back wrong");
    if (found[k]) continue;
    if (r.IsNull(j, 1)) {
      // Another path holds the same two digests: never taken for this one.
      throw StoreError(conn_.description() + ": a path of this scan can't be stored: its digests "
                       "are those of another path");
    }
    keep(k, r.Int(j, 1), r.Int(j, 2));
  }
}

}  // namespace vurfleet::pg
