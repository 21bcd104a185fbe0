#include "load/procedure.h"

#include <algorithm>
#include <unordered_map>

#include "base/text.h"
#include "history/copies.h"
#include "read/shield.h"

namespace vurfleet {
namespace {

// Times a group is tried when the database asks (RetryError) before the
// error ends the load.
constexpr int kGroupAttempts = 10;

std::vector<std::string_view> ErrorTexts(const Scan& scan) {
  std::vector<std::string_view> texts;
  texts.reserve(scan.errors.size());
  for (const ErrorLine& e : scan.errors) texts.push_back(e.text);
  return texts;
}

// Which of the scan's lines repeat a run of the machine's latest scan, and
// which of that scan's entries lie in a run repeated.
struct Repeats {
  std::vector<bool> line;    // the scan's, in file order
  std::vector<bool> before;  // the latest scan's entries, in its file order
};

// The scan's entries in file order: the lines of runs the latest scan held
// take their ids from it, the others are interned, many at a time.
std::vector<Entry> Identify(LoadTarget& target, const Scan& scan, const std::vector<LineRun>& runs,
                            const LatestRuns* latest, Repeats* repeats) {
  const std::size_t count = scan.reports.size();
  std::vector<Entry> entries(count, Entry{-1, -1});
  repeats->line.assign(count, false);
  repeats->before.assign(latest != nullptr ? latest->entries.size() : 0, false);
  if (latest != nullptr && !runs.empty()) {
    std::unordered_map<std::uint64_t, std::size_t> held;
    held.reserve(latest->runs.size());
    for (std::size_t r = 0; r < latest->runs.size(); ++r) held.emplace(latest->runs[r].digest, r);
    std::vector<bool> used(latest->runs.size(), false);
    for (const LineRun& run : runs) {
      if (run.first > count || run.count > count - run.first) break;  // not this scan's runs
      const auto found = held.find(run.digest);
      if (found == held.end() || used[found->second]) continue;
      const LineRun& old = latest->runs[found->second];
      if (old.count != run.count || old.first > latest->entries.size() ||
          old.count > latest->entries.size() - old.first) {
        continue;
      }
      std::copy_n(latest->entries.begin() + old.first, run.count, entries.begin() + run.first);
      std::fill_n(repeats->line.begin() + run.first, run.count, true);
      std::fill_n(repeats->before.begin() + old.first, old.count, true);
      used[found->second] = true;
    }
  }
  std::vector<std::size_t> unknown;
  std::vector<std::string_view> paths;
  std::vector<std::uint64_t> values;
  std::vector<std::size_t> versioned;  // of `unknown`, those with a version
  for (std::size_t k = 0; k < count; ++k) {
    if (entries[k].path >= 0) continue;
    unknown.push_back(k);
    paths.push_back(scan.reports[k].path);
    if (!scan.reports[k].version.is_none()) {
      versioned.push_back(unknown.size() - 1);
      values.push_back(scan.reports[k].version.value());
    }
  }
  std::vector<PathId> path_ids;
  std::vector<VersionId> version_ids;
  target.InternPaths(paths, &path_ids);
  target.InternVersions(values, &version_ids);
  for (std::size_t u = 0; u < unknown.size(); ++u) entries[unknown[u]] = Entry{path_ids[u], 0};
  for (std::size_t v = 0; v < versioned.size(); ++v) entries[unknown[versioned[v]]].version = version_ids[v];
  return entries;
}

// What the target keeps of the latest scan: its runs and entries, or
// nothing when there are lines and no runs to recognise them by.
void KeepLatest(LoadTarget& target, MachineId machine, const ScanFile& file,
                const std::vector<Entry>& entries, bool exact) {
  if (file.runs.empty() && !entries.empty()) return target.WriteLatest(machine, nullptr);
  LatestRuns latest{exact, file.runs, entries};
  target.WriteLatest(machine, &latest);
}

LoadResult LoadInSavepoint(LoadTarget& target, const ScanFile& file) {
  const Scan& scan = *file.scan;
  LoadResult result;
  result.machine = UpperCase(file.machine);
  std::optional<StoredMachine> machine = target.FindMachine(result.machine);
  if (machine) {
    result.machine = machine->name;
    if (std::optional<std::pair<Time, std::string>> bytes = target.FindBytes(machine->id, file.sha256)) {
      result.status = LoadStatus::kAlreadyLoaded;
      result.stored_started = bytes->first;
      result.stored_file = bytes->second;
      return result;
    }
  }

  // Another copy of the same run.
  bool replacing = false;
  if (machine) {
    if (std::optional<StoredRun> run = target.FindRun(machine->id, scan.started)) {
      result.stored_file = run->file;
      const RunCopy incoming{scan.finished(), scan.report_lines, static_cast<int>(scan.errors.size()),
                             file.sha256};
      switch (CompareCopies(run->copy, incoming)) {
        case CopyVerdict::kConflict: result.status = LoadStatus::kConflict; return result;
        case CopyVerdict::kKeepStored: result.status = LoadStatus::kKeptStored; return result;
        case CopyVerdict::kReplaceStored: break;
      }
      target.DeleteScan(run->scan_id);
      replacing = true;
    }
  }
  result.status = replacing ? LoadStatus::kReplaced : LoadStatus::kLoaded;

  ScanInput input;
  input.start = scan.started;
  input.finished = scan.finished();
  input.shield = ShieldOf(ErrorTexts(scan));
  std::optional<LatestRuns> latest = machine ? target.ReadLatest(machine->id) : std::nullopt;
  Repeats repeats;
  const std::vector<Entry> in_file_order =
      Identify(target, scan, file.runs, latest ? &*latest : nullptr, &repeats);
  // Sorted by path when the history needs the whole set; the common case,
  // a finished scan after a whole one, needs only the runs that changed.
  const auto sorted_input = [&] {
    input.reported = in_file_order;
    std::sort(input.reported.begin(), input.reported.end(), ByPath);
  };

  const PathKeys keys = [&target](PathId path) { return target.PathKey(path); };
  const bool first_scan = !machine;
  const MachineId id = machine ? machine->id : target.AddMachine(result.machine, scan.started);
  std::int64_t files = 0;
  if (first_scan || (!replacing && scan.started > machine->last_started)) {
    // The machine's latest scan: only what changed is written.
    AppendChanges changes;
    if (!first_scan && latest && latest->exact && input.finished && input.shield.empty()) {
      changes = AppendUnrepeated(latest->entries, repeats.before, in_file_order, repeats.line);
      files = static_cast<std::int64_t>(in_file_order.size());
    } else {
      // The inventory before: the latest scan's lines when they were all of
      // it, else the open intervals.
      std::vector<Entry> before;
      if (!first_scan) {
        if (latest && latest->exact) {
          before = latest->entries;
          std::sort(before.begin(), before.end(), ByPath);
        } else {
          before = target.OpenEntries(id);
        }
      }
      std::vector<Entry> after;
      sorted_input();
      changes = Append(before, input, keys, &after);
      files = static_cast<std::int64_t>(after.size());
    }
    if (!changes.closed.empty()) target.CloseIntervals(id, changes.closed, scan.started);
    std::vector<Interval> opened;
    opened.reserve(changes.opened.size());
    for (const Entry& e : changes.opened) {
      opened.push_back(Interval{e.path, e.version, scan.started, std::nullopt, !first_scan});
    }
    if (!opened.empty()) target.AddIntervals(id, opened);
    if (!changes.kept.empty()) {
      HistoryChanges kept;
      for (const PathId path : changes.kept) kept.kept_write.push_back(Kept{scan.started, path});
      target.WriteChanges(id, kept);
    }
    KeepLatest(target, id, file, in_file_order, changes.kept.empty());
  } else {
    // A late scan, or a copy in place of another: the history is worked out
    // again from the stored scans, and only the difference written.
    result.reordered = true;
    sorted_input();
    const MachineHistory stored = target.StoredHistory(id);
    const MachineHistory wanted = Rebuild(stored, target.StoredScans(id), input, keys);
    target.WriteChanges(id, Diff(stored, wanted));
    for (const Interval& row : wanted.intervals) files += row.until ? 0 : 1;
    const Time latest_start = std::max(machine->last_started, scan.started);
    const bool exact = std::none_of(wanted.kept.begin(), wanted.kept.end(),
                                    [&](const Kept& k) { return k.scan == latest_start; });
    if (scan.started >= machine->last_started) {
      KeepLatest(target, id, file, in_file_order, exact);
    } else if (latest && latest->exact != exact) {
      latest->exact = exact;
      target.WriteLatest(id, &*latest);
    }
  }

  ScanRow row;
  row.started = scan.started;
  row.completed = scan.completed;
  row.sha256 = file.sha256;
  row.file = file.file;
  row.report_lines = scan.report_lines;
  for (const ErrorLine& e : scan.errors) row.errors.emplace_back(e.line, e.text);
  target.AddScan(id, row);
  const Time first = machine ? std::min(machine->first_started, scan.started) : scan.started;
  const Time last = machine ? std::max(machine->last_started, scan.started) : scan.started;
  target.UpdateMachine(id, first, last, files);
  return result;
}

// Runs `work` in a group of its own with `machine` locked, again while the
// target asks.
template <typename Work>
auto InGroup(LoadTarget& target, const std::string& machine, Work work) {
  for (int attempt = 1;; ++attempt) {
    try {
      target.BeginGroup({machine});
      auto result = work();
      target.CommitGroup();
      return result;
    } catch (const RetryError&) {
      target.AbandonGroup();
      if (attempt == kGroupAttempts) throw;
    } catch (...) {
      target.AbandonGroup();
      throw;
    }
  }
}

}  // namespace

LoadResult LoadFile(LoadTarget& target, const ScanFile& file) {
  target.BeginFile();
  try {
    LoadResult result = LoadInSavepoint(target, file);
    target.EndFile(result.status == LoadStatus::kLoaded || result.status == LoadStatus::kReplaced);
    return result;
  } catch (...) {
    // The group may be lost already (a connection gone); what ends it is
    // the first error, not this one.
    try {
      target.EndFile(false);
    } catch (...) {
    }
    throw;
  }
}

LoadResult LoadAlone(LoadTarget& target, const ScanFile& file) {
  return InGroup(target, UpperCase(file.machine), [&] { return LoadFile(target, file); });
}

ForgetResult Forget(LoadTarget& target, const std::string& name, std::optional<Time> scan) {
  return InGroup(target, UpperCase(name), [&] {
    ForgetResult result;
    const std::optional<StoredMachine> machine = target.FindMachine(UpperCase(name));
    if (!machine) return result;
    result.machine = machine->name;
    const std::vector<ScanFacts> scans = target.ListScans(machine->id);
    for (const ScanFacts& s : scans) {
      if (!scan || s.started == *scan) result.scans.push_back(s);
    }
    if (result.scans.empty()) return result;
    if (!scan || scans.size() == 1) {
      target.DeleteMachine(machine->id);
      result.machine_removed = true;
      return result;
    }
    // The history as if the scan had never been loaded, and only the
    // difference written. What was kept of the latest scan is dropped: the
    // next load reads the open intervals instead.
    const PathKeys keys = [&target](PathId path) { return target.PathKey(path); };
    const MachineHistory stored = target.StoredHistory(machine->id);
    const MachineHistory wanted = Without(stored, target.StoredScans(machine->id), *scan, keys);
    target.WriteChanges(machine->id, Diff(stored, wanted));
    target.DeleteScan(result.scans.front().scan_id);
    target.WriteLatest(machine->id, nullptr);
    for (const Interval& row : wanted.intervals) result.files += row.until ? 0 : 1;
    Time first = 0, last = 0;
    bool any = false;
    for (const ScanFacts& s : scans) {
      if (s.started == *scan) continue;
      first = any ? std::min(first, s.started) : s.started;
      last = any ? std::max(last, s.started) : s.started;
      any = true;
    }
    target.UpdateMachine(machine->id, first, last, result.files);
    return result;
  });
}

}  // namespace vurfleet
