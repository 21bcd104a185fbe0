// The SQLite store's counts (store/counts.h): worked out whole from the
// open intervals, and one machine's holds.
#pragma once

#include <vector>

#include "store/counts.h"
#include "store/sqlite/sqlite_db.h"

namespace vurfleet::sqlite {

// The holds and counts of every machine, as the open intervals make them:
// `machine_done` for each machine's, and the counts returned.
CountChanges RecountOpen(Db& db, const std::function<void(std::int64_t, const std::vector<Held>&)>& machine_done);

// Rewrites the holds and counts from the open intervals, in the caller's
// transaction.
void WriteRecount(Db& db);

// A machine's holds as stored; as its open intervals make them when the
// stored ones are missing or can't be read.
std::vector<Held> MachineHolds(Db& db, std::int64_t machine);

// Keeps a machine's mixed holds (MixedHolds of its holds): a row, or none
// when they are empty.
void WriteMixed(Db& db, std::int64_t machine, const std::vector<Held>& mixed);

// Every machine's mixed holds, from its holds as stored; holds that can't
// be read give none (`check` says why).
void MixedFromHolds(Db& db);

// Adds `changes` to the stored counts, in key order.
void AddCounts(Db& db, const CountChanges& changes);

}  // namespace vurfleet::sqlite
