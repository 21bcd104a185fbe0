#include "report/figures.h"

#include <algorithm>
#include <deque>

#include "query/query.h"

namespace vurfleet {

ReportFigures GatherFigures(Store& store, const ReportOptions& options) {
  ReportFigures f;
  store.Machines([&](const MachineRow& row) {
    const std::string status = MachineStatus(row, options.now, options.stale_days);
    if (status == "ok") {
      ++f.ok;
    } else if (status == "incomplete") {
      ++f.incomplete;
      f.incomplete_machines.push_back(row);
    } else {
      ++f.stale;
      f.stale_machines.push_back(row);
    }
    if (!f.newest_scan || row.last_started > *f.newest_scan) f.newest_scan = row.last_started;
  });
  if (options.advisories != nullptr) {
    f.exposure = GatherExposure(store, *options.advisories, options.now, f.ok + f.incomplete + f.stale);
  }

  store.Programs(options.top, [&](const ProgramRow& row) {
    if (f.programs.empty() || f.programs.back().name != row.name) {
      f.programs.push_back(ProgramFigures{row.name, row.machines, {}});
    }
    f.programs.back().versions.push_back({row.version, row.version_machines});
  });

  ChangesQuery recent;
  f.changes_since = options.now - static_cast<Time>(options.recent_days) * 86400;
  recent.since = f.changes_since;
  recent.until = options.now;
  // The rows come oldest first; only the newest are kept.
  std::deque<ChangeRow> newest;
  store.Changes(recent, [&](const ChangeRow& row) {
    const std::string kind = ChangeKind(row);
    for (std::size_t k = 0; k < kChangeKinds.size(); ++k) {
      if (kind == kChangeKinds[k]) ++f.change_counts[k];
    }
    ++f.changes;
    if (options.newest_changes == 0) return;
    if (newest.size() == options.newest_changes) newest.pop_front();
    newest.push_back(row);
  });
  f.newest_changes.assign(newest.rbegin(), newest.rend());
  return f;
}

}  // namespace vurfleet
