#include "load/procedure.h"

#include <algorithm>
#include <iterator>
#include <tuple>
#include <unordered_map>

#include "base/text.h"
#include "history/copies.h"
#include "load/group.h"
#include "store/stored.h"
#include "read/shield.h"

namespace vurfleet {
namespace {

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
  if (!paths.empty()) target.Intern(paths, values, &path_ids, &version_ids);
  for (std::size_t u = 0; u < unknown.size(); ++u) entries[unknown[u]] = Entry{path_ids[u], 0};
  for (std::size_t v = 0; v < versioned.size(); ++v) entries[unknown[versioned[v]]].version = version_ids[v];
  return entries;
}

// The folded text of a path, for shields: the stored paths' from what the
// store read, the scan's own from its lines.
class Keys {
 public:
  Keys(const std::unordered_map<PathId, std::string>& stored, const Scan& scan, const std::vector<Entry>* entries)
      : stored_(stored), scan_(scan), entries_(entries) {}
  std::string operator()(PathId path) {
    if (const auto found = stored_.find(path); found != stored_.end()) return found->second;
    if (own_.empty() && entries_ != nullptr) {
      for (std::size_t k = 0; k < entries_->size(); ++k) own_.emplace((*entries_)[k].path, k);
    }
    const auto own = own_.find(path);
    return own == own_.end() ? std::string() : FoldCase(scan_.reports[own->second].path);
  }

 private:
  const std::unordered_map<PathId, std::string>& stored_;
  const Scan& scan_;
  const std::vector<Entry>* entries_;  // the scan's, in file order
  std::unordered_map<PathId, std::size_t> own_;
};

// What changed in the inventory now between two histories: their open
// intervals compared.
void InventoryChange(const MachineHistory& before, const MachineHistory& after, FileWrite* write) {
  const auto open = [](const MachineHistory& h) {
    std::vector<Entry> entries;
    for (const Interval& row : h.intervals) {
      if (!row.until) entries.push_back(Entry{row.path, row.version});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return std::tie(a.path, a.version) < std::tie(b.path, b.version); });
    return entries;
  };
  const std::vector<Entry> a = open(before), b = open(after);
  const auto less = [](const Entry& x, const Entry& y) { return std::tie(x.path, x.version) < std::tie(y.path, y.version); };
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(write->left), less);
  std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(write->came), less);
}

// The entries of `closed` paths as the inventory before held them.
std::vector<Entry> ClosedEntries(const std::vector<Entry>& before, std::vector<PathId> closed) {
  std::sort(closed.begin(), closed.end());
  std::vector<Entry> left;
  left.reserve(closed.size());
  for (const Entry& e : before) {
    if (std::binary_search(closed.begin(), closed.end(), e.path)) left.push_back(e);
  }
  return left;
}

// What the load writes of the machine's latest runs, `now` in place of
// `stored`: nothing kept when there are lines and no runs to recognise them
// by; the flag alone when the runs and entries are the ones stored.
void WriteLatest(const std::optional<LatestRuns>& stored, LatestRuns now, FileWrite* write) {
  if (now.runs.empty() && !now.entries.empty()) {
    write->latest_write = LatestWrite::kForget;
    return;
  }
  const auto same_run = [](const LineRun& a, const LineRun& b) {
    return a.digest == b.digest && a.count == b.count && a.first == b.first;
  };
  if (stored && std::equal(stored->runs.begin(), stored->runs.end(), now.runs.begin(), now.runs.end(), same_run) &&
      stored->entries == now.entries) {
    write->latest_write = stored->exact == now.exact ? LatestWrite::kLeave : LatestWrite::kFlag;
  } else {
    write->latest_write = LatestWrite::kWhole;
  }
  write->latest = std::move(now);
}

}  // namespace

std::vector<StoredScan> ShieldedScans(const std::vector<StoredScanLines>& scans) {
  std::vector<StoredScan> out;
  out.reserve(scans.size());
  for (const StoredScanLines& s : scans) {
    StoredScan scan{s.facts.started, s.facts.finished, {}};
    // A scan that did not finish proves presence only: its shield is never read.
    if (scan.finished && !s.errors.empty()) {
      scan.shield = ShieldOf(std::vector<std::string_view>(s.errors.begin(), s.errors.end()));
    }
    out.push_back(std::move(scan));
  }
  return out;
}

namespace {

// The machine's latest scan: only what changed is written.
void WriteLatestScan(const ScanFile& file, ScanInput& input, const std::vector<Entry>& in_file_order,
                     const Repeats& repeats, const PathKeys& keys, StoredForFile& stored, FileWrite* write) {
  const Time start = file.scan->started;
  const bool first_scan = !stored.machine;
  const std::optional<LatestRuns>& latest = stored.latest;
  AppendChanges changes;
  if (!first_scan && latest && latest->exact && input.finished && input.shield.empty()) {
    changes = AppendUnrepeated(latest->entries, repeats.before, in_file_order, repeats.line);
    write->files = static_cast<std::int64_t>(in_file_order.size());
    if (!changes.closed.empty()) write->left = ClosedEntries(latest->entries, changes.closed);
  } else {
    // The inventory before: the latest scan's lines when they were all of
    // it, else the open intervals. The whole set is compared, sorted by
    // path; the common case above, a finished scan after a whole one, needs
    // only the runs that changed.
    std::vector<Entry> before;
    if (!first_scan) {
      if (latest && latest->exact) {
        before = latest->entries;
        std::sort(before.begin(), before.end(), ByPath);
      } else {
        before = std::move(stored.open);
      }
    }
    input.reported = in_file_order;
    std::sort(input.reported.begin(), input.reported.end(), ByPath);
    std::vector<Entry> after;
    changes = Append(before, input, keys, &after);
    write->files = static_cast<std::int64_t>(after.size());
    if (!changes.closed.empty()) write->left = ClosedEntries(before, changes.closed);
  }
  write->came = changes.opened;
  write->closed = std::move(changes.closed);
  write->closed_at = start;
  write->opened.reserve(changes.opened.size());
  for (const Entry& e : changes.opened) {
    write->opened.push_back(Interval{e.path, e.version, start, std::nullopt, !first_scan});
  }
  for (const PathId path : changes.kept) write->changes.kept_write.push_back(Kept{start, path});
  WriteLatest(latest, LatestRuns{changes.kept.empty(), file.runs, in_file_order}, write);
}

// A late scan, or a copy in place of another: the history is worked out
// again from the stored scans, and only the difference written.
void WriteReordered(const ScanFile& file, const ScanInput& input, const std::vector<Entry>& in_file_order,
                    const PathKeys& keys, const StoredForFile& stored, FileWrite* write) {
  const Time start = file.scan->started;
  const StoredMachine& machine = *stored.machine;
  const MachineHistory wanted = Rebuild(stored.history, ShieldedScans(stored.scans), input, keys);
  write->changes = Diff(stored.history, wanted);
  InventoryChange(stored.history, wanted, write);
  for (const Interval& row : wanted.intervals) write->files += row.until ? 0 : 1;
  const Time latest_start = std::max(machine.last_started, start);
  const bool exact = std::none_of(wanted.kept.begin(), wanted.kept.end(),
                                  [&](const Kept& k) { return k.scan == latest_start; });
  if (start >= machine.last_started) {
    WriteLatest(stored.latest, LatestRuns{exact, file.runs, in_file_order}, write);
  } else if (stored.latest) {
    LatestRuns flagged = *stored.latest;
    flagged.exact = exact;
    WriteLatest(stored.latest, std::move(flagged), write);
  }
}

// What the procedure decides for one file from what is stored for it:
// nothing to write (already loaded, a copy that adds nothing, a conflict),
// or the batch to write.
std::optional<FileWrite> Decide(LoadTarget& target, const ScanFile& file, const ScanInput& incoming,
                                StoredForFile& stored, LoadResult* result) {
  const Scan& scan = *file.scan;
  const std::optional<StoredMachine>& machine = stored.machine;
  if (machine) {
    result->machine = machine->name;
    if (stored.bytes) {
      result->status = LoadStatus::kAlreadyLoaded;
      result->stored_started = stored.bytes->first;
      result->stored_file = stored.bytes->second;
      return std::nullopt;
    }
  }
  FileWrite write;
  // Another copy of the same run.
  bool replacing = false;
  if (machine && stored.run) {
    result->stored_file = stored.run->file;
    const RunCopy copy{scan.finished(), scan.report_lines, static_cast<int>(scan.errors.size()), file.sha256};
    switch (CompareCopies(stored.run->copy, copy)) {
      case CopyVerdict::kConflict: result->status = LoadStatus::kConflict; return std::nullopt;
      case CopyVerdict::kKeepStored: result->status = LoadStatus::kKeptStored; return std::nullopt;
      case CopyVerdict::kReplaceStored: break;
    }
    write.deleted_scan = stored.run->scan_id;
    replacing = true;
  }
  result->status = replacing ? LoadStatus::kReplaced : LoadStatus::kLoaded;

  ScanInput input = incoming;
  const std::optional<LatestRuns>& latest = stored.latest;
  Repeats repeats;
  const std::vector<Entry> in_file_order =
      Identify(target, scan, file.runs, latest ? &*latest : nullptr, &repeats);
  Keys key_of(stored.keys, scan, &in_file_order);
  const PathKeys keys = [&key_of](PathId path) { return key_of(path); };

  write.machine = machine ? machine->id : 0;
  write.name = result->machine;
  if (!machine || (!replacing && scan.started > machine->last_started)) {
    WriteLatestScan(file, input, in_file_order, repeats, keys, stored, &write);
  } else {
    if (!stored.whole) throw StoreError("the store read no history for a scan before the machine's latest");
    result->reordered = true;
    input.reported = in_file_order;
    std::sort(input.reported.begin(), input.reported.end(), ByPath);
    WriteReordered(file, input, in_file_order, keys, stored, &write);
  }

  ScanRow& row = write.scan.emplace();
  row.started = scan.started;
  row.completed = scan.completed;
  row.sha256 = file.sha256;
  row.file = file.file;
  row.report_lines = scan.report_lines;
  for (const ErrorLine& e : scan.errors) row.errors.emplace_back(e.line, e.text);
  write.first_started = machine ? std::min(machine->first_started, scan.started) : scan.started;
  write.last_started = machine ? std::max(machine->last_started, scan.started) : scan.started;
  return write;
}

}  // namespace

LoadResult LoadFile(LoadTarget& target, const ScanFile& file) {
  const Scan& scan = *file.scan;
  ScanInput input;
  input.start = scan.started;
  input.finished = scan.finished();
  input.shield = ShieldOf(ErrorTexts(scan));
  LoadResult result;
  result.machine = MachineName(file.machine);
  StoredForFile stored = target.BeginFile(
      FileQuestion{result.machine, file.sha256, scan.started, input.finished && !input.shield.empty()});
  try {
    const std::optional<FileWrite> write = Decide(target, file, input, stored, &result);
    target.EndFile(write ? &*write : nullptr);
    return result;
  } catch (...) {
    // The group may be lost already (a connection gone); what ends it is
    // the first error, not this one.
    try {
      target.EndFile(nullptr);
    } catch (...) {
    }
    throw;
  }
}

LoadResult LoadAlone(LoadTarget& target, const ScanFile& file) {
  return InGroup(target, {MachineName(file.machine)}, [&] { return LoadFile(target, file); });
}

ForgetResult Forget(LoadTarget& target, const std::string& name, std::optional<Time> scan) {
  return InGroup(target, {MachineName(name)}, [&] {
    ForgetResult result;
    StoredForFile stored = target.BeginFile(FileQuestion{MachineName(name), "", std::nullopt, false});
    const auto nothing = [&] {
      target.EndFile(nullptr);
      return result;
    };
    if (!stored.machine || !stored.whole) return nothing();
    const StoredMachine& machine = *stored.machine;
    result.machine = machine.name;
    for (const StoredScanLines& s : stored.scans) {
      if (!scan || s.facts.started == *scan) result.scans.push_back(s.facts);
    }
    if (result.scans.empty()) return nothing();
    if (!scan || stored.scans.size() == 1) {
      nothing();
      target.DeleteMachine(machine.id);
      result.machine_removed = true;
      return result;
    }
    // The history as if the scan had never been loaded, and only the
    // difference written. What was kept of the latest scan is dropped: the
    // next load reads the open intervals instead.
    const Scan none;
    Keys key_of(stored.keys, none, nullptr);
    const MachineHistory wanted =
        Without(stored.history, ShieldedScans(stored.scans), *scan, [&key_of](PathId p) { return key_of(p); });
    FileWrite write;
    write.machine = machine.id;
    write.name = machine.name;
    write.changes = Diff(stored.history, wanted);
    InventoryChange(stored.history, wanted, &write);
    write.deleted_scan = result.scans.front().scan_id;
    write.latest_write = LatestWrite::kForget;
    for (const Interval& row : wanted.intervals) result.files += row.until ? 0 : 1;
    bool any = false;
    for (const StoredScanLines& s : stored.scans) {
      if (s.facts.started == *scan) continue;
      write.first_started = any ? std::min(write.first_started, s.facts.started) : s.facts.started;
      write.last_started = any ? std::max(write.last_started, s.facts.started) : s.facts.started;
      any = true;
    }
    write.files = result.files;
    target.EndFile(&write);
    return result;
  });
}

}  // namespace vurfleet
