// The most widespread file names, on PostgreSQL: read from the counts the
// load keeps (pg_counts.h), folded and not, in one statement.
#include <string>

#include "store/postgres/pg_counts.h"
#include "store/postgres/pg_store.h"
#include "store/stored.h"

namespace vurfleet::pg {

void PgStore::Programs(int top, const std::function<void(const ProgramRow&)>& row) {
  if (top <= 0) return;
  ReadScope snapshot(conn_);
  Result r = conn_.Exec(
      std::string("WITH c AS MATERIALIZED ") + kCountsNow + ", "
      "top AS (SELECT c.name_id, n.name_key, c.machines FROM c JOIN names n ON n.id = c.name_id"
      " WHERE c.version_id = -1 AND c.machines > 0 ORDER BY c.machines DESC, n.name_key LIMIT $1) "
      "SELECT t.name_key, t.machines, v.value, c.machines,"
      " coalesce((SELECT m.machines FROM c m WHERE m.name_id = t.name_id AND m.version_id = -2), 0) FROM top t"
      " JOIN c ON c.name_id = t.name_id AND c.version_id >= 0 AND c.machines > 0"
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

}  // namespace vurfleet::pg
