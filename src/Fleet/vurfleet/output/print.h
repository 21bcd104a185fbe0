// The queries as the command line prints them.
#pragma once

#include <ostream>

#include "output/output.h"
#include "store/store.h"

namespace vurfleet {

// Columns machine, path, version, since.
void PrintFind(Store& store, const FindQuery& query, Format format, std::ostream& out);
// Columns machine, scan, change, path, old, new.
void PrintChanges(Store& store, const ChangesQuery& query, Format format, std::ostream& out);
// Columns name, machines, version, version_machines.
void PrintPrograms(Store& store, int top, Format format, std::ostream& out);
// Columns machine, last_started, last_completed, status, files, errors.
void PrintMachines(Store& store, Time now, int stale_days, Format format, std::ostream& out);

}  // namespace vurfleet
