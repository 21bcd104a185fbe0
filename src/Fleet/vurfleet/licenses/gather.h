// The true-up gathered from the store: each machine's scans' starts and its
// intervals of the pools' names, through the pure rules of licenses.h.
// `licenses`, the page's section and anything else that asks how many
// licenses are owed take their figures from here; output/ prints them.
#pragma once

#include <optional>

#include "licenses/licenses.h"
#include "store/store.h"

namespace vurfleet {

// The machines of the store (those whose name matches `machine`, if
// given) added to a TrueUp; with `keep_entries`, their entries at
// `options.at` are kept too (--machines), sorted.
TrueUp GatherTrueUp(Store& store, const Entitlements& entitlements, const LicenseOptions& options,
                    bool keep_entries = false, const std::optional<Glob>& machine = std::nullopt);

// Each pool's figures, as the default form of `licenses` gives them.
inline std::vector<PoolRow> LicenseRows(Store& store, const Entitlements& entitlements,
                                        const LicenseOptions& options) {
  return GatherTrueUp(store, entitlements, options).Rows();
}

}  // namespace vurfleet
