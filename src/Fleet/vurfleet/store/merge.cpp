#include "store/merge.h"

#include <algorithm>

#include <map>
#include <unordered_map>

#include "base/text.h"
#include "base/time.h"
#include "history/copies.h"
#include "load/procedure.h"

namespace vurfleet {
namespace {

// One machine's scans as the merge reads them, in start order, with what
// each reported recovered from its history.
struct Scans {
  std::vector<ScanFacts> facts;
  std::vector<StoredScan> stored;
  std::vector<std::vector<Entry>> reported;
};

Scans ReadScans(const StoredForFile& read) {
  Scans scans;
  for (const StoredScanLines& s : read.scans) scans.facts.push_back(s.facts);
  scans.stored = ShieldedScans(read.scans);
  scans.reported = Replay(read.history, scans.stored);
  return scans;
}

StoredForFile ReadWhole(LoadTarget& target, const std::string& name) {
  StoredForFile read = target.BeginFile(FileQuestion{name, "", std::nullopt, true});
  if (!read.machine || !read.whole) {
    target.EndFile(nullptr);
    throw StoreError("the machine " + name + " changed while the upgrade read it");
  }
  return read;
}

// "a and b", "a, b and c": the names as stored, escaped at the edge.
std::string Names(const SameName& group) {
  std::string text;
  for (std::size_t k = 0; k < group.machines.size(); ++k) {
    if (k > 0) text += k + 1 == group.machines.size() ? " and " : ", ";
    text += group.machines[k].second;
  }
  return text;
}

}  // namespace

MachineMerge MergeMachines(LoadTarget& target, const std::string& into, const std::string& from) {
  // `from` is read alone and left as it is; `into` is read in the savepoint
  // its rows are then written in.
  StoredForFile other = ReadWhole(target, from);
  target.EndFile(nullptr);
  StoredForFile mine = ReadWhole(target, into);
  Scans a = ReadScans(mine);
  Scans b = ReadScans(other);
  std::unordered_map<PathId, std::string> keys = std::move(mine.keys);
  keys.insert(other.keys.begin(), other.keys.end());
  MachineMerge merge;
  std::vector<ScanInput> inputs;
  const auto take = [&inputs](Scans& s, std::size_t k) {
    inputs.push_back(ScanInput{s.stored[k].start, s.stored[k].finished, std::move(s.reported[k]),
                               std::move(s.stored[k].shield)});
  };
  const auto copy = [](const ScanFacts& f) {
    return RunCopy{f.finished, static_cast<int>(f.report_lines), static_cast<int>(f.error_lines), ""};
  };
  std::vector<std::int64_t> dropped;
  std::size_t i = 0, j = 0;
  while (i < a.facts.size() || j < b.facts.size()) {
    if (j == b.facts.size() || (i < a.facts.size() && a.facts[i].started < b.facts[j].started)) {
      take(a, i++);
    } else if (i == a.facts.size() || b.facts[j].started < a.facts[i].started) {
      take(b, j++);
    } else {
      // One run, two copies: the one a load of both would keep stands.
      if (CompareCopies(copy(a.facts[i]), copy(b.facts[j])) == CopyVerdict::kReplaceStored) {
        merge.dropped.push_back({a.facts[i], b.facts[j].file});
        take(b, j);
      } else {
        merge.dropped.push_back({b.facts[j], a.facts[i].file});
        take(a, i);
      }
      dropped.push_back(merge.dropped.back().copy.scan_id);
      ++i;
      ++j;
    }
  }
  const MachineHistory wanted = Build(inputs, [&keys](PathId path) {
    const auto found = keys.find(path);
    return found == keys.end() ? std::string() : found->second;
  });
  FileWrite write;
  write.machine = mine.machine->id;
  write.name = mine.machine->name;
  write.changes = Diff(mine.history, wanted);
  write.latest_write = LatestWrite::kForget;
  for (const Interval& row : wanted.intervals) write.files += row.until ? 0 : 1;
  merge.scans = static_cast<std::int64_t>(inputs.size());
  write.first_started = inputs.empty() ? mine.machine->first_started : inputs.front().start;
  write.last_started = inputs.empty() ? mine.machine->last_started : inputs.back().start;
  target.EndFile(&write);
  target.MergeScans(other.machine->id, mine.machine->id, dropped);
  target.DeleteMachine(other.machine->id);
  return merge;
}

std::vector<SameName> SameNames(const std::vector<std::pair<MachineId, std::string>>& machines) {
  std::map<std::string, SameName> by_name;
  for (const auto& machine : machines) {
    const std::string kept = UpperCase(machine.second);
    SameName& group = by_name[kept];
    group.name = kept;
    group.machines.push_back(machine);
  }
  std::vector<SameName> groups;
  for (auto& [name, group] : by_name) {
    if (group.machines.size() < 2) continue;
    std::sort(group.machines.begin(), group.machines.end(), [&](const auto& a, const auto& b) {
      return std::make_pair(a.second != group.name, a.second) < std::make_pair(b.second != group.name, b.second);
    });
    groups.push_back(std::move(group));
  }
  return groups;
}

std::vector<std::string> MergeSameNames(LoadTarget& target, const std::vector<SameName>& groups,
                                        const std::string& db, int schema) {
  const std::string upgraded = db + ": upgraded to schema " + std::to_string(schema);
  std::vector<std::string> notes;
  for (const SameName& group : groups) {
    std::int64_t scans = 0;
    std::vector<std::string> dropped;
    for (std::size_t k = 1; k < group.machines.size(); ++k) {
      const MachineMerge merge = MergeMachines(target, group.machines.front().second, group.machines[k].second);
      scans = merge.scans;
      for (const MachineMerge::Dropped& d : merge.dropped) {
        dropped.push_back(upgraded + ": " + group.name + " held two copies of the scan started " +
                          FormatTime(d.copy.started) + ": the one from " + d.standing +
                          " stands, the one from " + d.copy.file + " is dropped");
      }
    }
    notes.push_back(upgraded + ": merged the machines " + Names(group) + " (" + std::to_string(scans) +
                    (scans == 1 ? " scan" : " scans") + ") into " + group.name);
    notes.insert(notes.end(), dropped.begin(), dropped.end());
  }
  if (notes.empty()) notes.push_back(upgraded);
  return notes;
}

std::string NextLoadUpgrades(const std::vector<SameName>& groups, int schema) {
  std::string text = "the next vurfleet load upgrades it to schema " + std::to_string(schema);
  for (std::size_t k = 0; k < groups.size(); ++k) {
    text += k == 0 ? " and merges the machines " : "; the machines ";
    text += Names(groups[k]) + " into " + groups[k].name;
  }
  if (!groups.empty()) text += ", one name when case is ignored as Windows ignores it";
  return text;
}

}  // namespace vurfleet
