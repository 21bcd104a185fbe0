// The most widespread file names, on PostgreSQL: read from the counts the
// load keeps (pg_counts.h), folded and not, in one statement.
#include <algorithm>
#include <optional>
#include <string>

#include "base/text.h"
#include "store/postgres/pg_counts.h"
#include "store/postgres/pg_store.h"
#include "store/stored.h"

namespace vurfleet::pg {

void PgStore::Programs(int top, const std::function<void(const ProgramRow&)>& row) {
  if (top <= 0) return;
  ReadScope snapshot(conn_);
  // Counts all folded (after every load that ended): read in place, the
  // top names found by the index by count, with the ties of the last. Else
  // every count, folded and not, summed first.
  const bool folded = !conn_.Exec("SELECT EXISTS (SELECT 1 FROM count_changes)").Bool(0, 0);
  const std::string c = folded ? "counts" : "c";
  const std::string least =
      folded ? " AND c.machines >= coalesce((SELECT machines FROM counts WHERE version_id = -1 AND machines > 0"
               " ORDER BY machines DESC LIMIT 1 OFFSET $1::bigint - 1), 1)"
             : "";
  Result r = conn_.Exec(
      (folded ? std::string("WITH ") : std::string("WITH c AS MATERIALIZED ") + kCountsNow + ", ") +
          "top AS (SELECT c.name_id, n.name_key, c.machines FROM " + c + " c JOIN names n ON n.id = c.name_id"
          " WHERE c.version_id = -1 AND c.machines > 0" + least +
          " ORDER BY c.machines DESC, n.name_key LIMIT $1) "
          "SELECT t.name_key, t.machines, v.value, c.machines,"
          " coalesce((SELECT m.machines FROM " + c + " m WHERE m.name_id = t.name_id AND m.version_id = -2), 0)"
          " FROM top t JOIN " + c + " c ON c.name_id = t.name_id AND c.version_id >= 0 AND c.machines > 0"
          " JOIN versions v ON v.id = c.version_id"
          " ORDER BY t.machines DESC, t.name_key, v.value DESC NULLS LAST",
      {std::to_string(top)});
  ProgramRow out;
  for (int k = 0; k < r.rows(); ++k) {
    out.name.assign(r.Text(k, 0));
    out.machines = r.Int(k, 1);
    out.version = VersionFrom(r, k, 2);
    out.version_machines = r.Int(k, 3);
    out.mixed_machines = r.Int(k, 4);
    row(out);
  }
}

std::int64_t PgStore::MachinesBeyond(const std::string& name, const std::vector<Version>& versions) {
  ReadScope snapshot(conn_);
  // The counts of the versions not shown, less what they count twice: the
  // machines holding the name at two versions or more, from their mixed
  // holds. A name that every user's profile holds has as many paths as the
  // fleet has users, and each machine's whole holds are kilobytes.
  Result id = conn_.Exec("SELECT id FROM names WHERE hash = $1 AND name_key = $2",
                         {std::to_string(static_cast<std::int64_t>(StableHash(name))), name});
  if (id.rows() == 0) return 0;
  const NameId name_id = id.Int(0, 0);
  std::vector<std::int64_t> values;
  std::vector<VersionId> shown;
  for (const Version& v : versions) {
    if (v.is_none()) {
      shown.push_back(0);
    } else {
      values.push_back(StoredVersion(v.value()));
    }
  }
  Result ids = conn_.Exec("SELECT id FROM versions WHERE value = ANY ($1::bigint[])",
                          {IntArray(values, [](std::int64_t v) { return v; })});
  for (int k = 0; k < ids.rows(); ++k) shown.push_back(ids.Int(k, 0));
  std::sort(shown.begin(), shown.end());
  Result counts = conn_.Exec(
      "SELECT version_id, sum(machines) FROM (SELECT version_id, machines FROM counts WHERE name_id = $1"
      " UNION ALL SELECT version_id, change FROM count_changes WHERE name_id = $1) c"
      " WHERE version_id >= 0 GROUP BY version_id",
      {std::to_string(name_id)});
  std::int64_t machines = 0;
  for (int k = 0; k < counts.rows(); ++k) {
    if (!std::binary_search(shown.begin(), shown.end(), counts.Int(k, 0))) machines += counts.Int(k, 1);
  }
  bool readable = true;
  conn_.EachBinaryRow("SELECT entries FROM mixed_holds", [&](const Result& mixed) {
    const std::optional<std::vector<Held>> held = readable ? DecodeHolds(mixed.Text(0, 0)) : std::nullopt;
    if (held) {
      machines -= CountedAgain(*held, name_id, shown);
    } else {
      readable = false;
    }
  });
  if (!readable) return Store::MachinesBeyond(name, versions);  // `check` says why
  return machines;
}

}  // namespace vurfleet::pg
