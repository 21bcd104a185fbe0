#include "output/exposure.h"

#include <algorithm>
#include <unordered_map>

namespace vurfleet {
namespace {

Cell OptionalText(const std::string& text) { return text.empty() ? Cell::Empty() : Cell::Text(text); }

// Texts met many times (machines, paths), each kept once.
class Interned {
 public:
  std::uint32_t Add(const std::string& text) {
    const auto [it, added] = index_.emplace(text, static_cast<std::uint32_t>(texts_.size()));
    if (added) texts_.push_back(text);
    return it->second;
  }
  const std::string& operator[](std::uint32_t k) const { return texts_[k]; }

 private:
  std::unordered_map<std::string, std::uint32_t> index_;
  std::vector<std::string> texts_;
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

void PrintExposure(Store& store, const Advisories& advisories, Time at,
                   const std::optional<Glob>& machine, Format format, std::ostream& out) {
  // Rows arrive by machine and path; they leave by severity and id first.
  struct Entry {
    std::uint32_t rank;
    std::uint32_t machine;
    std::uint32_t path;
    Version version;
    Verdict verdict;
    Time since;
  };
  const std::vector<std::uint32_t> rank = RankBySeverityThenId(advisories);
  Interned machines, paths;
  std::vector<Entry> entries;
  EachMachine(store, advisories, machine,
              [&](const std::string& name, const std::vector<HoldingRow>& rows,
                  const MachineExposure& exposure) {
                const std::vector<ExposedEntry> at_time = EntriesAt(exposure, rows, at);
                if (at_time.empty()) return;
                const std::uint32_t m = machines.Add(name);
                for (const ExposedEntry& e : at_time) {
                  const HoldingRow& row = rows[e.row];
                  entries.push_back(Entry{rank[e.advisory], m, paths.Add(row.path), row.version,
                                          e.verdict, e.since});
                }
              });
  // Stable: a machine's entries stay in path order, machines in name order.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.rank < b.rank; });
  std::vector<std::uint32_t> by_rank(rank.size());
  for (std::uint32_t a = 0; a < rank.size(); ++a) by_rank[rank[a]] = a;

  RowWriter writer(out, format, {"id", "severity", "machine", "path", "version", "status", "since"});
  for (const Entry& e : entries) {
    const Advisory& advisory = advisories.advisories[by_rank[e.rank]];
    writer.Row({Cell::Text(advisory.id), OptionalText(std::string(SeverityName(advisory.severity))),
                Cell::Text(machines[e.machine]), Cell::Text(paths[e.path]), Cell::Text(e.version.ToString()),
                Cell::Text(e.verdict == Verdict::kExposed ? "exposed" : "unknown"),
                Cell::Text(FormatTime(e.since))});
  }
  writer.Finish();
}

void PrintExposureSummary(Store& store, const Advisories& advisories, Time at, Format format,
                          std::ostream& out) {
  const Summary summary = GatherSummary(store, advisories, at);
  RowWriter writer(out, format, {"id", "severity", "title", "exposed", "unknown", "fixed", "median_days"});
  for (const SummaryRow& row : summary.Rows()) {
    const Advisory& advisory = advisories.advisories[row.advisory];
    writer.Row({Cell::Text(advisory.id), OptionalText(std::string(SeverityName(advisory.severity))),
                OptionalText(advisory.title), Cell::Number(row.exposed), Cell::Number(row.unknown),
                Cell::Number(row.fixed),
                row.median_tenths ? Cell::Text(DaysText(*row.median_tenths)) : Cell::Empty()});
  }
  writer.Finish();
}

void PrintExposureWindows(Store& store, const Advisories& advisories,
                          const std::optional<Glob>& machine, Format format, std::ostream& out) {
  struct Row {
    std::uint32_t rank;
    std::uint32_t machine;
    Time from;
    std::optional<Time> until;
  };
  const std::vector<std::uint32_t> rank = RankById(advisories);
  Interned machines;
  std::vector<Row> rows;
  EachMachine(store, advisories, machine,
              [&](const std::string& name, const std::vector<HoldingRow>&, const MachineExposure& exposure) {
                if (exposure.windows.empty()) return;
                const std::uint32_t m = machines.Add(name);
                for (const Window& w : exposure.windows) rows.push_back(Row{rank[w.advisory], m, w.from, w.until});
              });
  // Stable: machines stay in name order, a machine's windows in time order.
  std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.rank < b.rank; });
  std::vector<std::uint32_t> by_rank(rank.size());
  for (std::uint32_t a = 0; a < rank.size(); ++a) by_rank[rank[a]] = a;

  RowWriter writer(out, format, {"id", "machine", "from", "until", "days"});
  for (const Row& r : rows) {
    writer.Row({Cell::Text(advisories.advisories[by_rank[r.rank]].id), Cell::Text(machines[r.machine]),
                Cell::Text(FormatTime(r.from)), r.until ? Cell::Text(FormatTime(*r.until)) : Cell::Empty(),
                r.until ? Cell::Text(DaysText(TenthsOfDays(*r.until - r.from))) : Cell::Empty()});
  }
  writer.Finish();
}

}  // namespace vurfleet
