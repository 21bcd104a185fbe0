// The PostgreSQL store's counts (store/counts.h). A load never updates a
// count in place: a count every machine shares would make loads side by
// side queue behind its row. Each group appends its changes with its
// intervals (count_changes); a load folds them into `counts` when it ends,
// one load at a time; a reader adds what is not folded yet.
#pragma once

#include <functional>
#include <vector>

#include "store/counts.h"
#include "store/postgres/pg_db.h"

namespace vurfleet::pg {

// Every machine's holds, from the open intervals, a machine's at a time,
// and the counts they make; read in pieces, so memory stays bounded.
CountChanges RecountOpen(Connection& conn,
                         const std::function<void(std::int64_t, const std::vector<Held>&)>& machine_done);

// Rewrites the holds and counts from the open intervals, in the caller's
// transaction; what was not folded is dropped with the rest.
void WriteRecount(Connection& conn);

// A machine's holds as stored; as its open intervals make them when the
// stored ones are missing or can't be read.
std::vector<Held> MachineHolds(Connection& conn, std::int64_t machine);

// Keeps a machine's mixed holds (MixedHolds of its holds): a row, or none
// when they are empty.
void WriteMixed(Connection& conn, std::int64_t machine, const std::vector<Held>& mixed);

// Every machine's mixed holds, from its holds as stored; holds that can't
// be read give none (`check` says why).
void MixedFromHolds(Connection& conn);

// Appends `changes` to count_changes, in the caller's transaction.
void AppendCounts(Connection& conn, const CountChanges& changes);

// Folds count_changes into counts in a transaction of its own, unless
// another session is folding them now (false).
bool FoldCounts(Connection& conn);
// Vacuums the rows a fold left dead, once no other session of the load's
// still reads what was there before.
void VacuumFolded(Connection& conn);

// The counts as a reader sees them: folded and not.
constexpr const char* kCountsNow =
    "(SELECT name_id, version_id, sum(machines) AS machines FROM ("
    " SELECT name_id, version_id, machines FROM counts UNION ALL"
    " SELECT name_id, version_id, change FROM count_changes) c GROUP BY name_id, version_id)";

}  // namespace vurfleet::pg
