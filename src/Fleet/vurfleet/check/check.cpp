#include "check/check.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "base/text.h"
#include "store/latest.h"

namespace vurfleet {
namespace {

struct KindWords {
  const char* one;
  const char* many;
};
// Indexed by FaultKind.
constexpr KindWords kKinds[kFaultKinds] = {
    {"overlap", "overlaps"},
    {"interval that opens at no scan", "intervals that open at no scan"},
    {"latest-runs cache that disagrees", "latest-runs caches that disagree"},
    {"count of files that disagrees", "counts of files that disagree"},
    {"kept count that disagrees", "kept counts that disagree"},
    {"fault the database's own check found", "faults the database's own check found"},
};

std::string Counted(std::int64_t n, FaultKind kind) {
  const KindWords& w = kKinds[static_cast<std::size_t>(kind)];
  return std::to_string(n) + " " + (n == 1 ? w.one : w.many);
}

class Collector {
 public:
  Collector(CheckFindings* findings, std::size_t cap) : findings_(findings), cap_(cap) {}
  // Whether the next fault of `kind` is printed: its line is made only then.
  bool Shown(FaultKind kind) const { return findings_->lines[Index(kind)].size() < cap_; }
  void Add(FaultKind kind, std::string line) {
    const std::size_t k = Index(kind);
    if (findings_->lines[k].size() < cap_) findings_->lines[k].push_back(std::move(line));
    ++findings_->counts[k];
  }

 private:
  static std::size_t Index(FaultKind kind) { return static_cast<std::size_t>(kind); }
  CheckFindings* findings_;
  std::size_t cap_;
};

bool ByPathVersion(const Entry& a, const Entry& b) {
  return a.path != b.path ? a.path < b.path : a.version < b.version;
}

// The cache's entries that are not open, and the open entries not in the
// cache (both sorted); `open` is sorted here.
void Differences(const std::vector<Entry>& cache, std::vector<Entry>& open, std::vector<Entry>* only_cache,
                 std::vector<Entry>* only_open) {
  std::sort(open.begin(), open.end(), ByPathVersion);
  std::set_difference(cache.begin(), cache.end(), open.begin(), open.end(), std::back_inserter(*only_cache),
                      ByPathVersion);
  std::set_difference(open.begin(), open.end(), cache.begin(), cache.end(), std::back_inserter(*only_open),
                      ByPathVersion);
}

// The versions of `path` among `entries` (sorted), shown; `absent` when none.
std::string VersionsOf(CheckSource& source, const std::vector<Entry>& entries, PathId path, const char* absent) {
  auto it = std::lower_bound(entries.begin(), entries.end(), Entry{path, 0}, ByPathVersion);
  std::string out;
  for (; it != entries.end() && it->path == path; ++it) {
    out += (out.empty() ? "" : ", ") + source.VersionText(it->version);
  }
  return out.empty() ? absent : out;
}

// The machine's cache against its open intervals. An exact cache's entries
// are the open intervals, as a set of (path, version); any other cache's
// are among them (a scan that kept entries it did not report leaves them
// open beside its own, which it reports). The sums decide for a healthy
// machine without reading its rows; only a machine whose sums differ, or
// whose cache is not exact, has its open intervals read.
void CheckLatest(CheckSource& source, const MachineCheckRow& row, Collector& collect, CheckFindings* findings) {
  const std::string machine = Printable(row.machine);
  std::vector<Entry> cache;
  if (!DecodeLatestEntries(row.runs, &cache)) {
    collect.Add(FaultKind::kLatest, machine + ": the latest-runs cache can't be read");
    findings->repair.drop_latest.push_back(row.id);
    findings->repair_lines.push_back(machine + ": the latest-runs cache that can't be read deleted");
    return;
  }
  // A scan's paths are unique, so a sound cache's entries are a set: the
  // sums need no sort.
  if (*row.exact) {
    std::int64_t a = 0, b = 0;
    for (const Entry& e : cache) {
      std::int64_t ta = 0, tb = 0;
      OpenSumTerms(e.path, e.version, &ta, &tb);
      a = (a + ta) % kOpenSumModulus;
      b = (b + tb) % kOpenSumModulus;
    }
    if (static_cast<std::int64_t>(cache.size()) == row.open && a == row.sum_a % kOpenSumModulus &&
        b == row.sum_b % kOpenSumModulus) {
      return;
    }
  }
  std::sort(cache.begin(), cache.end(), ByPathVersion);
  cache.erase(std::unique(cache.begin(), cache.end()), cache.end());
  std::vector<Entry> open, only_cache, only_open;
  source.OpenEntries(row.id, &open);
  Differences(cache, open, &only_cache, &only_open);
  if (!*row.exact) only_open.clear();
  if (only_cache.empty() && only_open.empty()) return;

  std::vector<PathId> paths;
  for (const Entry& e : only_cache) paths.push_back(e.path);
  for (const Entry& e : only_open) paths.push_back(e.path);
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  if (collect.Shown(FaultKind::kLatest)) {
    const PathId first = paths.front();
    const std::string what = *row.exact ? "the latest-runs cache (the whole inventory) disagrees with the "
                                          "open intervals in "
                                        : "the latest-runs cache holds entries that are not open: ";
    collect.Add(FaultKind::kLatest,
                machine + ": " + what + std::to_string(paths.size()) + (paths.size() == 1 ? " path" : " paths") +
                    "; first " + Printable(source.PathText(first)) + ": " +
                    VersionsOf(source, cache, first, "none") + " in the cache, " +
                    VersionsOf(source, open, first, "none") + " open");
  } else {
    collect.Add(FaultKind::kLatest, "");
  }
  findings->repair.drop_latest.push_back(row.id);
  findings->repair_lines.push_back(machine + ": the latest-runs cache deleted (the next load reads the open "
                                             "intervals instead)");
}

// The counts the load keeps against the open intervals: each machine's
// holds (compared by their bytes), then the counts.
void CheckCounts(CheckSource& source, const std::unordered_map<MachineId, std::string>& machines,
                 Collector& collect, CheckFindings* findings) {
  const auto name_of = [&](MachineId id) {
    const auto found = machines.find(id);
    return found == machines.end() ? "#" + std::to_string(id) : Printable(found->second);
  };
  std::unordered_map<MachineId, std::string> kept;
  source.KeptHolds([&](MachineId machine, std::string_view blob) { kept.emplace(machine, std::string(blob)); });
  bool faults = false;
  const auto holds_differ = [&](MachineId machine) {
    faults = true;
    collect.Add(FaultKind::kCounts, name_of(machine) + ": its kept holds of names and versions differ from its "
                                                        "open intervals");
  };
  const std::vector<std::pair<CountKey, std::int64_t>> counted =
      source.RecountHolds([&](MachineId machine, const std::vector<Held>& holds) {
        const auto found = kept.find(machine);
        if (found == kept.end() || found->second != EncodeHolds(holds)) holds_differ(machine);
        if (found != kept.end()) kept.erase(found);
      }).InKeyOrder();
  // A machine without open intervals keeps no holds, or none held.
  for (const auto& [machine, blob] : kept) {
    if (blob != EncodeHolds({})) holds_differ(machine);
  }
  const std::vector<std::pair<CountKey, std::int64_t>> stored = source.KeptCounts();
  const auto say = [&](const CountKey& key, std::int64_t count, std::int64_t now) {
    faults = true;
    if (!collect.Shown(FaultKind::kCounts)) return collect.Add(FaultKind::kCounts, "");
    const std::string what = key.second == kAnyVersion     ? ""
                             : key.second == kManyVersions ? " at two versions or more"
                                                           : " " + source.VersionText(key.second);
    collect.Add(FaultKind::kCounts, Printable(source.NameText(key.first)) + what + ": counted on " +
                                        std::to_string(count) + " machines, held by " + std::to_string(now) +
                                        " in the open intervals");
  };
  std::size_t a = 0, b = 0;
  while (a < stored.size() || b < counted.size()) {
    if (b == counted.size() || (a < stored.size() && stored[a].first < counted[b].first)) {
      say(stored[a].first, stored[a].second, 0), ++a;
    } else if (a == stored.size() || counted[b].first < stored[a].first) {
      say(counted[b].first, 0, counted[b].second), ++b;
    } else {
      if (stored[a].second != counted[b].second) say(stored[a].first, stored[a].second, counted[b].second);
      ++a, ++b;
    }
  }
  if (faults) {
    findings->repair.recount = true;
    findings->repair_lines.push_back("the kept counts and holds rewritten from the open intervals");
  }
}

}  // namespace

std::int64_t CheckFindings::faults() const {
  std::int64_t n = 0;
  for (const std::int64_t c : counts) n += c;
  return n;
}

CheckFindings Check(CheckSource& source, bool database, std::size_t cap) {
  CheckFindings findings;
  Collector collect(&findings, cap);
  const auto overlap = [&](const OverlapRow& r) {
    if (!collect.Shown(FaultKind::kOverlap)) return collect.Add(FaultKind::kOverlap, "");
    const std::string first = r.until ? FormatTime(r.since) + " to " + FormatTime(*r.until)
                                      : "from " + FormatTime(r.since) + " (still open)";
    collect.Add(FaultKind::kOverlap, Printable(r.machine) + ": " + Printable(r.path) +
                                         ": two intervals overlap: " + first + " and from " +
                                         FormatTime(r.next_since));
  };
  const auto off_scan = [&](const OffScanRow& r) {
    if (!collect.Shown(FaultKind::kOffScan)) return collect.Add(FaultKind::kOffScan, "");
    collect.Add(FaultKind::kOffScan, Printable(r.machine) + ": " + Printable(r.path) + ": an interval opens at " +
                                         FormatTime(r.since) + ", when none of the machine's scans started");
  };
  source.HistoryFaults(overlap, off_scan);
  std::unordered_map<MachineId, std::string> machines;
  source.MachineSums([&](const MachineCheckRow& row) {
    ++findings.machines;
    machines.emplace(row.id, row.machine);
    if (row.files != row.open) {
      const std::string machine = Printable(row.machine);
      collect.Add(FaultKind::kFiles, machine + ": its row counts " + std::to_string(row.files) +
                                         " files, its open intervals are " + std::to_string(row.open));
      findings.repair.files.emplace_back(row.id, row.open);
      findings.repair_lines.push_back(machine + ": files rewritten from " + std::to_string(row.files) + " to " +
                                      std::to_string(row.open));
    }
    if (row.exact) CheckLatest(source, row, collect, &findings);
  });
  CheckCounts(source, machines, collect, &findings);
  if (database) {
    source.DatabaseCheck([&](const std::string& line) { collect.Add(FaultKind::kDatabase, Printable(line)); },
                         [&](const std::string& line) { findings.notes.push_back(Printable(line)); });
  }
  return findings;
}

void PrintFindings(const CheckFindings& findings, std::ostream& out) {
  std::string summary;
  for (std::size_t k = 0; k < kFaultKinds; ++k) {
    const auto kind = static_cast<FaultKind>(k);
    for (const std::string& line : findings.lines[k]) out << line << '\n';
    const std::int64_t more = findings.counts[k] - static_cast<std::int64_t>(findings.lines[k].size());
    if (more > 0) out << "and " << more << " more " << (more == 1 ? kKinds[k].one : kKinds[k].many) << '\n';
    if (findings.counts[k] > 0) summary += (summary.empty() ? "" : ", ") + Counted(findings.counts[k], kind);
  }
  for (const std::string& note : findings.notes) out << note << '\n';
  out << "checked " << findings.machines << (findings.machines == 1 ? " machine: " : " machines: ");
  const std::int64_t faults = findings.faults();
  if (faults == 0) {
    out << "no fault found\n";
  } else {
    out << faults << (faults == 1 ? " fault: " : " faults: ") << summary << '\n';
  }
}

CheckRun RunCheck(CheckSource& source, bool repair, std::size_t cap) {
  CheckRun run;
  source.CheckTransaction([&] {
    run.found = Check(source, true, cap);
    if (!repair || run.found.repair_lines.empty()) return;
    source.Repair(run.found.repair);
    run.after = Check(source, false, cap);
    const auto database = static_cast<std::size_t>(FaultKind::kDatabase);
    run.after.lines[database] = run.found.lines[database];
    run.after.counts[database] = run.found.counts[database];
    run.repaired = true;
  });
  return run;
}

void PrintCheckRun(const CheckRun& run, bool repair, std::ostream& out, std::size_t cap) {
  PrintFindings(run.found, out);
  if (!repair) return;
  if (!run.repaired) {
    out << "repair: nothing derived from the intervals disagrees with them; nothing written\n";
    return;
  }
  const std::vector<std::string>& lines = run.found.repair_lines;
  for (std::size_t k = 0; k < lines.size() && k < cap; ++k) out << lines[k] << '\n';
  if (lines.size() > cap) out << "and " << lines.size() - cap << " more repaired\n";
  const CheckRepair& r = run.found.repair;
  out << "repair: " << r.drop_latest.size() << (r.drop_latest.size() == 1 ? " latest-runs cache" : " latest-runs caches")
      << " deleted, " << r.files.size() << (r.files.size() == 1 ? " count" : " counts")
      << " of files rewritten" << (r.recount ? ", the counts worked out again" : "") << "; checked again:\n";
  PrintFindings(run.after, out);
}

}  // namespace vurfleet
