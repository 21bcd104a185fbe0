#include "check/check.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <tuple>
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

// A fault found by a machine's row: printed in the order of machine names,
// whatever order the walk ends the machines in.
struct MachineFault {
  std::string machine;  // as stored, for the order
  FaultKind kind;
  std::string line;
};
// The interval rules' faults, with their texts.
struct OverlapRow {
  std::string machine, path;  // as stored; "#ID" when the row is missing
  Time since;
  std::optional<Time> until;
  Time next_since;
};
struct OffScanRow {
  std::string machine, path;
  Time since;
};
// An interval a history rule refuses, by ids until the walk is done.
struct FoundInterval {
  MachineId machine;
  PathId path;
  Time since;
  std::optional<Time> until;
  Time next_since;  // overlaps only
};

// A machine's open intervals as the walk sums them: their number, and two
// sums over their (path, version), non-linear so that versions traded
// between paths change them. A cache summed alike is compared by these
// without reading the machine's rows again.
struct OpenSums {
  std::int64_t count = 0, a = 0, b = 0;
  void Add(const Entry& e) {
    constexpr std::int64_t m = 2147483647;
    const std::int64_t p = e.path % m, v = e.version % m;
    ++count;
    a = (a + (p * (v + 1000003)) % m) % m;
    b = (b + ((p + 7919) * ((v * v) % m + 1)) % m) % m;
  }
  bool operator==(const OpenSums& o) const { return count == o.count && a == o.a && b == o.b; }
};

// The machine's cache against its open intervals. An exact cache's entries
// are the open intervals, as a set of (path, version); any other cache's
// are among them (a scan that kept entries it did not report leaves them
// open beside its own, which it reports). The sums decide for a healthy
// machine; only a machine whose sums differ, or whose cache is not exact,
// has its open intervals read.
void CheckLatest(CheckSource& source, const MachineCheckRow& row, const StoredLatest& latest,
                 const OpenSums& sums, std::vector<MachineFault>* faults, CheckFindings* findings,
                 std::vector<std::pair<std::string, std::string>>* repair_lines) {
  const std::string machine = Printable(row.machine);
  std::vector<Entry> cache;
  if (!DecodeLatestEntries(latest.runs, &cache)) {
    faults->push_back({row.machine, FaultKind::kLatest, machine + ": the latest-runs cache can't be read"});
    findings->repair.drop_latest.push_back(row.id);
    repair_lines->emplace_back(row.machine, machine + ": the latest-runs cache that can't be read deleted");
    return;
  }
  // A scan's paths are unique, so a sound cache's entries are a set: the
  // sums need no sort.
  if (latest.exact) {
    OpenSums cached;
    for (const Entry& e : cache) cached.Add(e);
    if (cached == sums) return;
  }
  std::sort(cache.begin(), cache.end(), ByPathVersion);
  cache.erase(std::unique(cache.begin(), cache.end()), cache.end());
  std::vector<Entry> open, only_cache, only_open;
  source.OpenEntries(row.id, &open);
  Differences(cache, open, &only_cache, &only_open);
  if (!latest.exact) only_open.clear();
  if (only_cache.empty() && only_open.empty()) return;

  std::vector<PathId> paths;
  for (const Entry& e : only_cache) paths.push_back(e.path);
  for (const Entry& e : only_open) paths.push_back(e.path);
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  const PathId first = paths.front();
  const std::string what = latest.exact ? "the latest-runs cache (the whole inventory) disagrees with the "
                                          "open intervals in "
                                        : "the latest-runs cache holds entries that are not open: ";
  faults->push_back({row.machine, FaultKind::kLatest,
                     machine + ": " + what + std::to_string(paths.size()) + (paths.size() == 1 ? " path" : " paths") +
                         "; first " + Printable(source.PathText(first)) + ": " +
                         VersionsOf(source, cache, first, "none") + " in the cache, " +
                         VersionsOf(source, open, first, "none") + " open"});
  findings->repair.drop_latest.push_back(row.id);
  repair_lines->emplace_back(row.machine, machine + ": the latest-runs cache deleted (the next load reads the open "
                                                    "intervals instead)");
}

// The kept counts against those the walk worked out from the open
// intervals (`counted`, in key order).
void CheckCounts(CheckSource& source, const std::vector<std::pair<CountKey, std::int64_t>>& counted,
                 Collector& collect, bool* faults) {
  const std::vector<std::pair<CountKey, std::int64_t>> stored = source.KeptCounts();
  const auto say = [&](const CountKey& key, std::int64_t count, std::int64_t now) {
    *faults = true;
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
}

template <typename Row>
void SortByNames(std::vector<Row>* rows) {
  std::sort(rows->begin(), rows->end(), [](const Row& a, const Row& b) {
    return std::tie(a.machine, a.path, a.since) < std::tie(b.machine, b.path, b.since);
  });
}

// The interval rules' faults, with their texts, in the order of machine
// and path names.
void AddIntervalFaults(CheckSource& source, const std::unordered_map<MachineId, std::string>& names,
                       const std::vector<FoundInterval>& overlaps, const std::vector<FoundInterval>& off,
                       Collector& collect) {
  std::unordered_map<PathId, std::string> paths;
  const auto machine_of = [&](MachineId id) {
    const auto found = names.find(id);
    return found == names.end() ? "#" + std::to_string(id) : found->second;
  };
  const auto path_of = [&](PathId id) -> const std::string& {
    auto found = paths.find(id);
    if (found == paths.end()) found = paths.emplace(id, source.PathText(id)).first;
    return found->second;
  };
  std::vector<OverlapRow> overlap_rows;
  for (const FoundInterval& f : overlaps) {
    overlap_rows.push_back(OverlapRow{machine_of(f.machine), path_of(f.path), f.since, f.until, f.next_since});
  }
  SortByNames(&overlap_rows);
  for (const OverlapRow& r : overlap_rows) {
    if (!collect.Shown(FaultKind::kOverlap)) {
      collect.Add(FaultKind::kOverlap, "");
      continue;
    }
    const std::string first = r.until ? FormatTime(r.since) + " to " + FormatTime(*r.until)
                                      : "from " + FormatTime(r.since) + " (still open)";
    collect.Add(FaultKind::kOverlap, Printable(r.machine) + ": " + Printable(r.path) +
                                         ": two intervals overlap: " + first + " and from " +
                                         FormatTime(r.next_since));
  }
  std::vector<OffScanRow> off_rows;
  for (const FoundInterval& f : off) off_rows.push_back(OffScanRow{machine_of(f.machine), path_of(f.path), f.since});
  SortByNames(&off_rows);
  for (const OffScanRow& r : off_rows) {
    if (!collect.Shown(FaultKind::kOffScan)) {
      collect.Add(FaultKind::kOffScan, "");
      continue;
    }
    collect.Add(FaultKind::kOffScan, Printable(r.machine) + ": " + Printable(r.path) + ": an interval opens at " +
                                         FormatTime(r.since) + ", when none of the machine's scans started");
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
  std::vector<MachineCheckRow> machines;
  source.MachineRows([&](const MachineCheckRow& row) { machines.push_back(row); });
  std::sort(machines.begin(), machines.end(), [](const auto& a, const auto& b) { return a.id < b.id; });
  findings.machines = static_cast<std::int64_t>(machines.size());
  std::unordered_map<MachineId, std::string> names;
  for (const MachineCheckRow& m : machines) names.emplace(m.id, m.machine);
  const auto name_of = [&](MachineId id) {
    const auto found = names.find(id);
    return found == names.end() ? "#" + std::to_string(id) : Printable(found->second);
  };
  std::unordered_map<MachineId, std::string> kept;
  source.KeptHolds([&](MachineId machine, std::string_view blob) { kept.emplace(machine, std::string(blob)); });
  std::unordered_map<MachineId, std::string> kept_mixed;
  source.KeptMixed([&](MachineId machine, std::string_view blob) { kept_mixed.emplace(machine, std::string(blob)); });
  const std::vector<std::pair<MachineId, Time>> starts = source.ScanStartIds();
  const NameOfPath name_of_path(source.PathNames());

  // One walk of every interval in key order: each against the one before
  // it and against its machine's scans; each machine's open intervals,
  // when it ends, against its row, its cache and its holds; and every
  // machine's holds recounted.
  std::vector<FoundInterval> overlaps, off;
  std::vector<MachineFault> machine_faults;
  std::vector<std::pair<std::string, std::string>> repair_lines;
  bool count_faults = false;
  Recount recount;
  recount.machine_done = [&](MachineId machine, const std::vector<Held>& holds) {
    const auto found = kept.find(machine);
    const auto found_mixed = kept_mixed.find(machine);
    const std::vector<Held> mixed = MixedHolds(holds);
    if (found == kept.end() || found->second != EncodeHolds(holds) ||
        (found_mixed == kept_mixed.end() ? !mixed.empty() : found_mixed->second != EncodeHolds(mixed))) {
      count_faults = true;
      collect.Add(FaultKind::kCounts, name_of(machine) + ": its kept holds of names and versions differ from its "
                                                          "open intervals");
    }
    if (found != kept.end()) kept.erase(found);
    if (found_mixed != kept_mixed.end()) kept_mixed.erase(found_mixed);
  };
  std::size_t ended = 0;  // machines (by id) whose intervals are all passed
  OpenSums open;
  std::vector<std::pair<const MachineCheckRow*, OpenSums>> cached;  // caches read after the walk
  const auto end_machines = [&](std::optional<MachineId> upto) {
    for (; ended < machines.size() && (!upto || machines[ended].id <= *upto); ++ended) {
      const MachineCheckRow& row = machines[ended];
      const OpenSums its = upto && row.id == *upto ? open : OpenSums();
      if (row.files != its.count) {
        const std::string machine = Printable(row.machine);
        machine_faults.push_back({row.machine, FaultKind::kFiles,
                                  machine + ": its row counts " + std::to_string(row.files) +
                                      " files, its open intervals are " + std::to_string(its.count)});
        findings.repair.files.emplace_back(row.id, its.count);
        repair_lines.emplace_back(row.machine, machine + ": files rewritten from " + std::to_string(row.files) +
                                                   " to " + std::to_string(its.count));
      }
      if (row.cached) cached.emplace_back(&row, its);
    }
  };
  std::optional<IntervalRow> last;
  auto first_start = starts.begin(), end_start = starts.begin();  // the machine's scans
  source.Intervals([&](const IntervalRow& row) {
    if (!last || row.machine != last->machine) {
      if (last) end_machines(last->machine);
      open = OpenSums();
      first_start = std::lower_bound(starts.begin(), starts.end(), std::make_pair(row.machine, INT64_MIN));
      end_start = std::upper_bound(first_start, starts.end(), std::make_pair(row.machine, INT64_MAX));
    } else if (row.path == last->path && (!last->until || *last->until > row.since)) {
      overlaps.push_back(FoundInterval{last->machine, last->path, last->since, last->until, row.since});
    }
    if (!std::binary_search(first_start, end_start, std::make_pair(row.machine, row.since))) {
      off.push_back(FoundInterval{row.machine, row.path, row.since, row.until, 0});
    }
    if (!row.until) {
      open.Add(Entry{row.path, row.version});
      if (const std::optional<NameId> name = name_of_path(row.path)) recount.Add(row.machine, *name, row.version);
    }
    last = row;
  });
  if (last) end_machines(last->machine);
  open = OpenSums();
  end_machines(std::nullopt);
  recount.Finish();
  for (const auto& [row, sums] : cached) {
    if (const std::optional<StoredLatest> latest = source.Latest(row->id)) {
      CheckLatest(source, *row, *latest, sums, &machine_faults, &findings, &repair_lines);
    }
  }

  AddIntervalFaults(source, names, overlaps, off, collect);
  std::stable_sort(machine_faults.begin(), machine_faults.end(),
                   [](const MachineFault& a, const MachineFault& b) { return a.machine < b.machine; });
  for (MachineFault& f : machine_faults) collect.Add(f.kind, std::move(f.line));
  std::stable_sort(repair_lines.begin(), repair_lines.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [machine, line] : repair_lines) findings.repair_lines.push_back(std::move(line));
  // A machine without open intervals keeps no holds, or none held.
  for (const auto& [machine, blob] : kept_mixed) kept.emplace(machine, "mixed");
  for (const auto& [machine, blob] : kept) {
    if (blob != EncodeHolds({}) || kept_mixed.count(machine) > 0) {
      count_faults = true;
      collect.Add(FaultKind::kCounts, name_of(machine) + ": its kept holds of names and versions differ from its "
                                                          "open intervals");
    }
  }
  CheckCounts(source, recount.counts.InKeyOrder(), collect, &count_faults);
  if (count_faults) {
    findings.repair.recount = true;
    findings.repair_lines.push_back("the kept counts and holds rewritten from the open intervals");
  }
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
