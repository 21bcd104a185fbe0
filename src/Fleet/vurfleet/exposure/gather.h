// The fleet's exposure gathered from the store: the store's intervals,
// machine by machine, through the pure rules of exposure.h. `exposure` and
// the page's section both take their figures from here; output/ prints them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "exposure/exposure.h"
#include "store/store.h"

namespace vurfleet {

// Hands each machine (in name order) whose name matches `machine`, if
// given, with its intervals of the advisories' names and their judgement.
void EachMachine(Store& store, const Advisories& advisories, const std::optional<Glob>& machine,
                 const std::function<void(const std::string& machine, const std::vector<HoldingRow>& rows,
                                          const MachineExposure& exposure)>& each);

// The summary at `at`, keeping up to `listed` exposed machines an advisory.
Summary GatherSummary(Store& store, const Advisories& advisories, Time at, std::size_t listed = 0);

// The entries exposed or unknown at `at`, ordered by severity, id, machine
// and path. Machines and paths are kept once each.
struct ExposedEntries {
  struct Entry {
    std::uint32_t advisory;
    std::uint32_t machine;  // into machines
    std::uint32_t path;     // into paths
    Version version;
    Verdict verdict;
    Time since;
  };
  std::vector<std::string> machines, paths;
  std::vector<Entry> entries;
};
ExposedEntries GatherEntries(Store& store, const Advisories& advisories, Time at,
                             const std::optional<Glob>& machine);

// Every window of the history, ordered by id, machine and from.
struct ExposureWindows {
  struct Row {
    std::uint32_t advisory;
    std::uint32_t machine;  // into machines
    Time from;
    std::optional<Time> until;
  };
  std::vector<std::string> machines;
  std::vector<Row> rows;
};
ExposureWindows GatherWindows(Store& store, const Advisories& advisories,
                              const std::optional<Glob>& machine);

}  // namespace vurfleet
