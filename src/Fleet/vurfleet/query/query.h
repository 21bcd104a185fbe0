// What the rows of the queries mean beyond their columns: the kind of a
// change and the status of a machine. The command line and any report
// call the store's queries and these, so their figures agree.
#pragma once

#include <string>

#include "query/rows.h"

namespace vurfleet {

// "added", "removed", "upgraded", "downgraded", or "changed" (to or from
// <none>).
std::string ChangeKind(const ChangeRow& change);

// "stale" when the last scan started more than `stale_days` days before
// `now`; otherwise "incomplete" when it did not finish; otherwise "ok".
std::string MachineStatus(const MachineRow& machine, Time now, int stale_days);

}  // namespace vurfleet
