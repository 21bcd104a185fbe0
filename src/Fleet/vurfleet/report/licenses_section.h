// The page's Licenses section when entitlements are given: each pool's
// figures as `licenses` gives them for the same time (gathered by the same
// code), a chart of its days' highest counts against its seats, and the
// stale machines that still hold a seat.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "licenses/licenses.h"
#include "store/store.h"

namespace vurfleet {

struct LicenseFigures {
  Time at = 0;
  std::int64_t stale_days = 30;
  struct Row {
    Pool pool;
    PoolRow figures;
    std::vector<PoolDay> days;        // of the period so far
    std::vector<std::string> stale;   // the first kListedStale stale machines holding it
  };
  std::vector<Row> rows;  // the first kShownPools, in the order of `licenses`
  std::int64_t more_pools = 0;
};

inline constexpr std::size_t kShownPools = 50;
inline constexpr std::size_t kListedStale = 20;

LicenseFigures GatherLicenses(Store& store, const Entitlements& entitlements, Time at,
                              std::int64_t stale_days);

// Appends the section.
void RenderLicenses(std::string& out, const LicenseFigures& figures);

// The section's styles, for the page's style element.
extern const char* const kLicensesStyle;

}  // namespace vurfleet
