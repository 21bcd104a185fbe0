// The exposure of the fleet as the command line prints it, and the
// summary's figures as the report shows them: both walk the store's
// intervals machine by machine through the pure rules of exposure.h.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "exposure/exposure.h"
#include "output/output.h"
#include "store/store.h"

namespace vurfleet {

// Hands each machine (in name order) whose name matches `machine`, if
// given, with its intervals of the advisories' names and their judgement.
void EachMachine(Store& store, const Advisories& advisories, const std::optional<Glob>& machine,
                 const std::function<void(const std::string& machine, const std::vector<HoldingRow>& rows,
                                          const MachineExposure& exposure)>& each);

// The summary at `at`, keeping up to `listed` exposed machines an advisory.
Summary GatherSummary(Store& store, const Advisories& advisories, Time at, std::size_t listed = 0);

// Columns id, severity, machine, path, version, status, since: the entries
// exposed or unknown at `at`, ordered by severity, id, machine and path.
void PrintExposure(Store& store, const Advisories& advisories, Time at,
                   const std::optional<Glob>& machine, Format format, std::ostream& out);

// Columns id, severity, title, exposed, unknown, fixed, median_days.
void PrintExposureSummary(Store& store, const Advisories& advisories, Time at, Format format,
                          std::ostream& out);

// Columns id, machine, from, until, days: every window, ordered by id,
// machine and from.
void PrintExposureWindows(Store& store, const Advisories& advisories,
                          const std::optional<Glob>& machine, Format format, std::ostream& out);

}  // namespace vurfleet
