// The most widespread file names, on PostgreSQL: one statement, whose
// aggregation the server does by hashing.
#include <string>

#include "store/postgres/pg_store.h"
#include "store/stored.h"

namespace vurfleet::pg {

void PgStore::Programs(int top, const std::function<void(const ProgramRow&)>& row) {
  if (top <= 0) return;
  ReadScope snapshot(conn_);
  // Each machine's entries now, counted once per (machine, name) and once
  // per (machine, name, version), as `find --name` joins them: the server
  // aggregates by hashing, so no row of the inventory leaves it.
  Result r = conn_.Exec(
      "WITH held AS ("
      " SELECT DISTINCT i.machine_id, p.name_key, i.version_id FROM intervals i"
      "  JOIN machines m ON m.id = i.machine_id JOIN paths p ON p.id = i.path_id"
      "  JOIN versions v ON v.id = i.version_id WHERE i.until IS NULL), "
      "top AS ("
      " SELECT name_key, count(DISTINCT machine_id) AS machines FROM held"
      "  GROUP BY name_key ORDER BY machines DESC, name_key LIMIT $1) "
      "SELECT t.name_key, t.machines, v.value, count(*) FROM top t"
      " JOIN held h ON h.name_key = t.name_key JOIN versions v ON v.id = h.version_id"
      " GROUP BY t.name_key, t.machines, v.value"
      " ORDER BY t.machines DESC, t.name_key, v.value DESC NULLS LAST",
      {std::to_string(top)});
  ProgramRow out;
  for (int k = 0; k < r.rows(); ++k) {
    out.name.assign(r.Text(k, 0));
    out.machines = r.Int(k, 1);
    out.version = VersionFrom(r, k, 2);
    out.version_machines = r.Int(k, 3);
    row(out);
  }
}

}  // namespace vurfleet::pg
