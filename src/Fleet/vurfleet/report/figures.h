// What the fleet's page shows, gathered through the store's queries and
// the same rules the command line applies to their rows (MachineStatus,
// ChangeKind), so that each figure is what `machines`, `changes` and
// `programs` answer for the same database.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "report/exposure_section.h"
#include "report/licenses_section.h"
#include "store/store.h"

namespace vurfleet {

struct ReportOptions {
  std::string database;      // as shown: Store::Description()
  Time now = 0;              // machines' status and the recent changes are measured from it
  Time made = 0;             // when the page is made
  int stale_days = 7;
  int top = 25;              // file names shown
  int recent_days = 7;
  std::size_t newest_changes = 50;  // change rows listed
  const Advisories* advisories = nullptr;  // given: the page opens with the exposure
  const Entitlements* entitlements = nullptr;  // given: the Licenses section follows it
  int licenses_stale_days = 30;                // the Licenses section's staleness
};

// The page's bound: each list and table shows at most so many rows, then
// one that says how many more there are.
inline constexpr std::size_t kShownVersions = 12;  // of each program
inline constexpr std::size_t kShownMachines = 50;  // of each list of machines

struct ProgramFigures {
  std::string name;
  std::int64_t machines = 0;
  struct Held {
    Version version;
    std::int64_t machines;
  };
  // The kShownVersions held by the most machines (ties: the newer), newest
  // first, <none> last.
  std::vector<Held> versions;
  // The versions not shown, and the machines holding one of them, each
  // machine once (it may hold a version shown too).
  std::int64_t more_versions = 0;
  std::int64_t more_machines = 0;
  std::int64_t mixed_machines = 0;  // holding the name at two versions or more
};

struct ReportFigures {
  std::int64_t ok = 0, incomplete = 0, stale = 0;
  // The first kShownMachines of each, by name.
  std::vector<MachineRow> incomplete_machines;
  std::vector<MachineRow> stale_machines;
  std::optional<Time> newest_scan;
  std::vector<ProgramFigures> programs;
  Time changes_since = 0;
  // By kind, in the order of kChangeKinds.
  std::array<std::int64_t, 5> change_counts{};
  std::int64_t changes = 0;
  std::vector<ChangeRow> newest_changes;  // newest first
  std::optional<ExposureFigures> exposure;
  std::optional<LicenseFigures> licenses;
};

inline constexpr std::array<const char*, 5> kChangeKinds = {"added", "removed", "upgraded",
                                                            "downgraded", "changed"};

ReportFigures GatherFigures(Store& store, const ReportOptions& options);

}  // namespace vurfleet
