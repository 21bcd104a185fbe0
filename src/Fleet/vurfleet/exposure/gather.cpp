#include "exposure/gather.h"

#include <algorithm>
#include <unordered_map>

namespace vurfleet {
namespace {

// Texts met many times (machines, paths), each kept once.
class Interned {
 public:
  explicit Interned(std::vector<std::string>* texts) : texts_(*texts) {}
  std::uint32_t Add(const std::string& text) {
    const auto [it, added] = index_.emplace(text, static_cast<std::uint32_t>(texts_.size()));
    if (added) texts_.push_back(text);
    return it->second;
  }

 private:
  std::unordered_map<std::string, std::uint32_t> index_;
  std::vector<std::string>& texts_;
};

}  // namespace

void EachMachine(Store& store, const Advisories& advisories, const std::optional<Glob>& machine,
                 const std::function<void(const std::string& machine, const std::vector<HoldingRow>& rows,
                                          const MachineExposure& exposure)>& each) {
  if (advisories.rules.empty()) return;
  RuleMatcher matcher(advisories);
  std::vector<HoldingRow> rows;
  std::string current;
  bool started = false, wanted = false;
  const auto judge = [&] {
    if (!rows.empty()) each(current, rows, JudgeMachine(rows, advisories, matcher));
    rows.clear();
  };
  store.Holdings(matcher.names(), [&](const HoldingRow& row) {
    if (!started || row.machine != current) {
      judge();
      started = true;
      current = row.machine;
      wanted = !machine || machine->Matches(current);
    }
    if (wanted) rows.push_back(row);
  });
  judge();
}

Summary GatherSummary(Store& store, const Advisories& advisories, Time at, std::size_t listed) {
  Summary summary(advisories, at, listed);
  EachMachine(store, advisories, std::nullopt,
              [&](const std::string& machine, const std::vector<HoldingRow>& rows,
                  const MachineExposure& exposure) { summary.Add(machine, exposure, rows); });
  return summary;
}

ExposedEntries GatherEntries(Store& store, const Advisories& advisories, Time at,
                             const std::optional<Glob>& machine) {
  ExposedEntries out;
  Interned machines(&out.machines), paths(&out.paths);
  EachMachine(store, advisories, machine,
              [&](const std::string& name, const std::vector<HoldingRow>& rows,
                  const MachineExposure& exposure) {
                const std::vector<ExposedEntry> at_time = EntriesAt(exposure, rows, at);
                if (at_time.empty()) return;
                const std::uint32_t m = machines.Add(name);
                for (const ExposedEntry& e : at_time) {
                  const HoldingRow& row = rows[e.row];
                  out.entries.push_back(ExposedEntries::Entry{e.advisory, m, paths.Add(row.path),
                                                              row.version, e.verdict, e.since});
                }
              });
  // Rows arrive by machine and path; they leave by severity and id first.
  // Stable: a machine's entries stay in path order, machines in name order.
  const std::vector<std::uint32_t> rank = RankBySeverityThenId(advisories);
  std::stable_sort(out.entries.begin(), out.entries.end(),
                   [&](const ExposedEntries::Entry& a, const ExposedEntries::Entry& b) {
                     return rank[a.advisory] < rank[b.advisory];
                   });
  return out;
}

ExposureWindows GatherWindows(Store& store, const Advisories& advisories,
                              const std::optional<Glob>& machine) {
  ExposureWindows out;
  Interned machines(&out.machines);
  EachMachine(store, advisories, machine,
              [&](const std::string& name, const std::vector<HoldingRow>&, const MachineExposure& exposure) {
                if (exposure.windows.empty()) return;
                const std::uint32_t m = machines.Add(name);
                for (const Window& w : exposure.windows) {
                  out.rows.push_back(ExposureWindows::Row{w.advisory, m, w.from, w.until});
                }
              });
  // Stable: machines stay in name order, a machine's windows in time order.
  const std::vector<std::uint32_t> rank = RankById(advisories);
  std::stable_sort(out.rows.begin(), out.rows.end(),
                   [&](const ExposureWindows::Row& a, const ExposureWindows::Row& b) {
                     return rank[a.advisory] < rank[b.advisory];
                   });
  return out;
}

}  // namespace vurfleet
