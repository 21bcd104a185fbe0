#include "licenses/gather.h"

#include <unordered_map>

#include "exposure/gather.h"

namespace vurfleet {

TrueUp GatherTrueUp(Store& store, const Entitlements& entitlements, const LicenseOptions& options,
                    bool keep_entries, const std::optional<Glob>& machine) {
  // Every scan's start, read first: the intervals then come a machine at a
  // time, in the same order. Both reads see the store's one snapshot.
  std::unordered_map<std::string, std::vector<Time>> scans;
  store.ScanStarts([&](const std::string& name, Time started) { scans[name].push_back(started); });
  TrueUp out(entitlements, options, keep_entries);
  static const std::vector<Time> kNone;
  EachMachine(store, entitlements.rules, machine,
              [&](const std::string& name, const std::vector<HoldingRow>& rows, const MachineExposure& exposure) {
                const auto it = scans.find(name);
                out.Add(name, it == scans.end() ? kNone : it->second, rows, exposure);
              });
  out.Finish();
  return out;
}

}  // namespace vurfleet
