// The fleet's figures as families of gauges (metrics/exposition.h), for a
// metrics collector's text files. Each family is written from the rows of
// the command whose figures it repeats, so that both always agree; a new
// family is one more function here over its command's rows.
#pragma once

#include <cstdint>
#include <optional>

#include "base/time.h"
#include "exposure/exposure.h"
#include "licenses/entitlements.h"
#include "licenses/licenses.h"
#include "metrics/exposition.h"
#include "store/store.h"

namespace vurfleet {

// The machines by their status, as `machines` gives it at `now`, and the
// newest scan's start.
struct MachineStates {
  std::int64_t ok = 0, incomplete = 0, stale = 0;
  std::optional<Time> last_started;
};
MachineStates GatherMachineStates(Store& store, Time now, int stale_days);

// vurfleet_machines and vurfleet_last_scan_timestamp_seconds.
void WriteMachines(Exposition& out, const MachineStates& states);
// vurfleet_load_files and vurfleet_load_finished_timestamp_seconds; nothing
// when no load has kept its figures.
void WriteLoad(Exposition& out, const std::optional<LoadFigures>& load);
// vurfleet_advisory_info, vurfleet_exposed_machines,
// vurfleet_unknown_machines and vurfleet_exposure_median_seconds: the rows of
// `exposure --summary`, labelled by advisory, never by machine.
void WriteExposure(Exposition& out, const Advisories& advisories, const Summary& summary);
// vurfleet_license_installs, _peak, _seats and _due: the rows of
// `licenses`, labelled by pool.
void WriteLicenses(Exposition& out, const Entitlements& entitlements, const std::vector<PoolRow>& rows);

}  // namespace vurfleet
