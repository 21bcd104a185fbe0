// The page's first section when advisories are given: the machines exposed
// to at least one, each advisory's figures as `exposure --summary` gives
// them for the same time (gathered by the same code), and the exposed
// machines of the most severe advisories.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exposure/exposure.h"
#include "store/store.h"

namespace vurfleet {

struct ExposureFigures {
  Time at = 0;
  std::int64_t machines = 0;          // all machines, as the fleet's section counts them
  std::int64_t exposed_machines = 0;  // exposed to at least one advisory at `at`
  struct Row {
    Advisory advisory;
    SummaryRow figures;
    std::vector<Summary::Listed> listed;  // for the first advisories with exposed machines
  };
  std::vector<Row> rows;  // the first kShownAdvisories, in the summary's order
  // The advisories not shown, and the machines exposed to one of them at
  // `at`, each machine once.
  std::int64_t more_advisories = 0;
  std::int64_t more_machines = 0;
};

// Advisories shown, those whose exposed machines are listed, and machines
// listed each.
inline constexpr std::size_t kShownAdvisories = 50;
inline constexpr std::size_t kListedAdvisories = 5;
inline constexpr std::size_t kListedMachines = 20;

ExposureFigures GatherExposure(Store& store, const Advisories& advisories, Time at,
                               std::int64_t machines);

// Appends the section.
void RenderExposure(std::string& out, const ExposureFigures& figures);

// The section's styles, for the page's style element.
extern const char* const kExposureStyle;

}  // namespace vurfleet
