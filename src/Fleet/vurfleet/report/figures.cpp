#include "report/figures.h"

#include <algorithm>
#include <deque>
#include <future>
#include <memory>
#include <system_error>

#include "base/file_name.h"
#include "query/query.h"

namespace vurfleet {
namespace {

// Keeps the program's kShownVersions most widespread versions and counts
// the machines that hold any of the others now (an open interval).
void Bound(Store& store, ProgramFigures& p) {
  std::vector<ProgramFigures::Held> held = std::move(p.versions);
  // Stable: of versions held by as many machines, the newer stays.
  std::stable_sort(held.begin(), held.end(), [](const auto& a, const auto& b) { return a.machines > b.machines; });
  p.more_versions = static_cast<std::int64_t>(held.size() - kShownVersions);
  std::int64_t rest = 0;
  for (std::size_t k = kShownVersions; k < held.size(); ++k) rest += held[k].machines;
  held.resize(kShownVersions);
  std::sort(held.begin(), held.end(), [](const auto& a, const auto& b) {
    if (a.version.is_none() != b.version.is_none()) return b.version.is_none();
    return a.version.value() > b.version.value();
  });
  p.versions = std::move(held);
  // While no machine holds the name at two versions, the machines at the
  // versions not shown are their counts' sum.
  if (p.mixed_machines == 0) {
    p.more_machines = rest;
    return;
  }
  std::vector<Version> shown;
  for (const ProgramFigures::Held& h : p.versions) shown.push_back(h.version);
  p.more_machines = store.MachinesBeyond(p.name, shown);
}

// `gather` run on a twin of `store` (kept in `twin`), on a thread of its
// own; no future where neither can be had.
template <typename Gather>
auto Beside(Store& store, std::unique_ptr<Store>* twin, Gather gather) -> std::future<decltype(gather(store))> {
  *twin = store.Twin();
  if (!*twin) return {};
  try {
    return std::async(std::launch::async, [gather, on = twin->get()] { return gather(*on); });
  } catch (const std::system_error&) {
    return {};  // no thread to be had
  }
}

}  // namespace

ReportFigures GatherFigures(Store& store, const ReportOptions& options) {
  ReportFigures f;
  // Exposure and Licenses each read every interval of their names, as long
  // as the rest of the page takes at 10 000 machines: each is gathered
  // beside the rest, by a twin of the store (the same snapshot), where one
  // can be had, else by the store after the rest.
  std::unique_ptr<Store> exposure_twin, licenses_twin;
  std::future<ExposureFigures> exposure;
  std::future<LicenseFigures> licenses;
  if (options.advisories != nullptr) {
    exposure = Beside(store, &exposure_twin, [&options](Store& twin) {
      return GatherExposure(twin, *options.advisories, options.now, 0);
    });
  }
  if (options.entitlements != nullptr) {
    licenses = Beside(store, &licenses_twin, [&options](Store& twin) {
      return GatherLicenses(twin, *options.entitlements, options.now, options.licenses_stale_days);
    });
  }
  store.Machines([&](const MachineRow& row) {
    const std::string status = MachineStatus(row, options.now, options.stale_days);
    if (status == "ok") {
      ++f.ok;
    } else if (status == "incomplete") {
      ++f.incomplete;
      if (f.incomplete_machines.size() < kShownMachines) f.incomplete_machines.push_back(row);
    } else {
      ++f.stale;
      if (f.stale_machines.size() < kShownMachines) f.stale_machines.push_back(row);
    }
    if (!f.newest_scan || row.last_started > *f.newest_scan) f.newest_scan = row.last_started;
  });
  if (options.advisories != nullptr && !exposure.valid()) {
    f.exposure = GatherExposure(store, *options.advisories, options.now, 0);
  }
  if (options.entitlements != nullptr && !licenses.valid()) {
    f.licenses = GatherLicenses(store, *options.entitlements, options.now, options.licenses_stale_days);
  }

  store.Programs(options.top, [&](const ProgramRow& row) {
    if (f.programs.empty() || f.programs.back().name != row.name) {
      f.programs.push_back(ProgramFigures{row.name, row.machines, {}});
      f.programs.back().mixed_machines = row.mixed_machines;
    }
    f.programs.back().versions.push_back({row.version, row.version_machines});
  });
  for (ProgramFigures& p : f.programs) {
    if (p.versions.size() > kShownVersions) Bound(store, p);
  }

  f.changes_since = options.now - static_cast<Time>(options.recent_days) * 86400;
  // Counted by the store; the rows come oldest first, only the newest kept.
  std::deque<ChangeRow> newest;
  f.change_counts = store.RecentChanges(f.changes_since, options.now, options.newest_changes, [&](const ChangeRow& row) {
    if (options.newest_changes == 0) return;
    if (newest.size() == options.newest_changes) newest.pop_front();
    newest.push_back(row);
  });
  for (const std::int64_t n : f.change_counts) f.changes += n;
  f.newest_changes.assign(newest.rbegin(), newest.rend());
  if (exposure.valid()) f.exposure = exposure.get();
  if (f.exposure) f.exposure->machines = f.ok + f.incomplete + f.stale;
  if (licenses.valid()) f.licenses = licenses.get();
  return f;
}

}  // namespace vurfleet
