// The rows of `licenses`, in the output forms of output.h.
#pragma once

#include <ostream>

#include "licenses/licenses.h"
#include "output/output.h"

namespace vurfleet {

// One row a pool: pool, title, rule, seats, now, unknown, stale, peak,
// peak_at, counted, due, days_over.
void PrintLicenses(const Entitlements& entitlements, const std::vector<PoolRow>& rows, Format format,
                   std::ostream& out);
// One row an entry at the time: pool, machine, path, version, status, since,
// last_scan.
void PrintLicenseMachines(const Entitlements& entitlements, const LicenseEntries& entries, Format format,
                          std::ostream& out);
// One row a pool and day: pool, day, max, seats.
void PrintLicenseDays(const Entitlements& entitlements, const std::vector<PoolDay>& days, Format format,
                      std::ostream& out);

}  // namespace vurfleet
