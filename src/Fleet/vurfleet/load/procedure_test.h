// The procedure tests' store in memory: the three calls a file makes
// (LoadTarget), read and written by the same rules as the real stores, with
// the calls a file made counted.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "base/file_name.h"
#include "base/text.h"
#include "base/version.h"
#include "store/counts.h"
#include "store/load_target.h"

namespace vurfleet::procedure_test {

// A store in memory. Groups and savepoints copy the whole state, which a
// test's few rows afford.
class MemoryTarget : public LoadTarget {
 public:
  explicit MemoryTarget(bool keeps_latest) : keeps_latest_(keeps_latest) {}

  struct StoredScanRow {
    MachineId machine;
    ScanRow row;
    std::vector<std::string> errors;
  };
  struct State {
    std::vector<StoredMachine> machines;
    std::map<std::int64_t, StoredScanRow> scans;
    std::map<std::string, PathId> paths;
    std::map<std::uint64_t, VersionId> versions;
    std::map<std::tuple<MachineId, PathId, Time>, Interval> intervals;
    std::set<std::tuple<MachineId, Time, PathId>> kept;
    std::map<MachineId, LatestRuns> latest;
    std::map<MachineId, std::vector<Held>> holds;
    CountChanges counts;
    std::int64_t next_id = 1;
  };

  void BeginGroup(const std::vector<std::string>&) override {
    ASSERT_FALSE(in_group_);
    in_group_ = true;
    group_ = state_;
  }
  void CommitGroup() override { in_group_ = false; }
  void AbandonGroup() override {
    if (in_group_) state_ = group_;
    in_group_ = false;
  }

  // What the stores read for a file, by the same rules.
  StoredForFile BeginFile(const FileQuestion& question) override {
    file_ = state_;
    calls_ = 1;
    StoredForFile stored;
    for (const StoredMachine& m : state_.machines) {
      if (m.name == question.machine) stored.machine = m;
    }
    if (!stored.machine) return stored;
    const MachineId machine = stored.machine->id;
    for (const auto& [id, s] : state_.scans) {
      if (s.machine != machine) continue;
      if (!question.sha256.empty() && s.row.sha256 == question.sha256) stored.bytes.emplace(s.row.started, s.row.file);
      if (question.started && s.row.started == *question.started) {
        stored.run = StoredRun{id,
                               RunCopy{s.row.completed.has_value(), static_cast<int>(s.row.report_lines),
                                       static_cast<int>(s.errors.size()), s.row.sha256},
                               s.row.file};
      }
    }
    if (stored.bytes || (stored.run && stored.run->copy.finished)) return stored;
    if (const auto found = state_.latest.find(machine); keeps_latest_ && found != state_.latest.end()) {
      stored.latest = found->second;
    }
    std::set<PathId> paths;
    if (question.started && *question.started > stored.machine->last_started) {
      for (const auto& [key, i] : state_.intervals) {
        if (std::get<0>(key) != machine || i.until) continue;
        paths.insert(i.path);
        if (!stored.latest || !stored.latest->exact) stored.open.push_back(Entry{i.path, i.version});
      }
      open_entries_reads += stored.open.empty() ? 0 : 1;
      if (!question.keys) paths.clear();
    } else {
      stored.whole = true;
      stored.history = HistoryOf(machine);
      bool shielded = false;
      for (const auto& [id, s] : state_.scans) {
        if (s.machine != machine) continue;
        stored.scans.push_back(StoredScanLines{
            ScanFacts{id, s.row.started, s.row.file, s.row.completed.has_value(), s.row.report_lines,
                      static_cast<std::int64_t>(s.errors.size())},
            s.row.completed ? s.errors : std::vector<std::string>()});
        shielded = shielded || !stored.scans.back().errors.empty();
      }
      std::sort(stored.scans.begin(), stored.scans.end(), [](const StoredScanLines& a, const StoredScanLines& b) {
        return a.facts.started < b.facts.started;
      });
      for (const Interval& i : stored.history.intervals) {
        if (question.keys || shielded) paths.insert(i.path);
      }
    }
    for (const PathId path : paths) stored.keys.emplace(path, PathKey(path));
    return stored;
  }
  void Intern(const std::vector<std::string_view>& paths, const std::vector<std::uint64_t>& values,
              std::vector<PathId>* path_ids, std::vector<VersionId>* version_ids) override {
    ++calls_;
    path_ids->clear();
    for (const std::string_view path : paths) {
      const auto [at, added] = state_.paths.emplace(std::string(path), state_.next_id);
      if (added) ++state_.next_id;
      path_ids->push_back(at->second);
    }
    version_ids->clear();
    for (const std::uint64_t value : values) {
      const auto [at, added] = state_.versions.emplace(value, state_.next_id);
      if (added) ++state_.next_id;
      version_ids->push_back(at->second);
    }
  }
  void EndFile(const FileWrite* write) override {
    most_calls = std::max(most_calls, ++calls_);
    if (write == nullptr) {
      state_ = file_;
      return;
    }
    const FileWrite& w = *write;
    if (w.deleted_scan) state_.scans.erase(*w.deleted_scan);
    MachineId machine = w.machine;
    if (machine == 0) {
      machine = state_.next_id++;
      state_.machines.push_back(StoredMachine{machine, w.name, 0, 0, 0});
    }
    for (StoredMachine& m : state_.machines) {
      if (m.id == machine) m.first_started = w.first_started, m.last_started = w.last_started, m.files = w.files;
    }
    for (auto& [key, i] : state_.intervals) {
      if (std::get<0>(key) == machine && !i.until &&
          std::find(w.closed.begin(), w.closed.end(), i.path) != w.closed.end()) {
        i.until = w.closed_at;
      }
    }
    for (const Interval& i : w.opened) {
      EXPECT_TRUE(state_.intervals.emplace(std::make_tuple(machine, i.path, i.since), i).second)
          << "an interval added twice";
    }
    const HistoryChanges& c = w.changes;
    for (const Interval& i : c.erase) state_.intervals.erase(std::make_tuple(machine, i.path, i.since));
    for (const Interval& i : c.write) state_.intervals.insert_or_assign(std::make_tuple(machine, i.path, i.since), i);
    for (const Kept& k : c.kept_erase) state_.kept.erase(std::make_tuple(machine, k.scan, k.path));
    for (const Kept& k : c.kept_write) state_.kept.insert(std::make_tuple(machine, k.scan, k.path));
    if (w.scan) {
      StoredScanRow row{machine, *w.scan, {}};
      for (const auto& [line, text] : w.scan->errors) row.errors.emplace_back(text);
      row.row.errors.clear();
      state_.scans.emplace(state_.next_id++, std::move(row));
    }
    std::unordered_map<PathId, NameId> names;
    for (const auto* entries : {&w.left, &w.came}) {
      for (const Entry& e : *entries) names.emplace(e.path, NameOf(e.path));
    }
    CountChanges changes;
    ChangeHolds(&state_.holds[machine], w, names, &changes);
    state_.counts.Add(changes);
    ExpectCountsAgree();
    switch (w.latest_write) {
      case LatestWrite::kLeave: break;
      case LatestWrite::kForget: state_.latest.erase(machine); break;
      case LatestWrite::kFlag:
        EXPECT_TRUE(!keeps_latest_ || state_.latest.count(machine) != 0) << "a flag without runs";
        if (keeps_latest_) state_.latest[machine].exact = w.latest.exact;
        break;
      case LatestWrite::kWhole:
        if (keeps_latest_) state_.latest[machine] = w.latest;
        break;
    }
  }
  void DeleteMachine(MachineId machine) override {
    for (auto it = state_.scans.begin(); it != state_.scans.end();) {
      it = it->second.machine == machine ? state_.scans.erase(it) : std::next(it);
    }
    for (auto it = state_.intervals.begin(); it != state_.intervals.end();) {
      it = std::get<0>(it->first) == machine ? state_.intervals.erase(it) : std::next(it);
    }
    for (auto it = state_.kept.begin(); it != state_.kept.end();) {
      it = std::get<0>(*it) == machine ? state_.kept.erase(it) : std::next(it);
    }
    state_.latest.erase(machine);
    CountChanges changes;
    CountHolds(state_.holds[machine], -1, &changes);
    state_.counts.Add(changes);
    state_.holds.erase(machine);
    ExpectCountsAgree();
    state_.machines.erase(std::remove_if(state_.machines.begin(), state_.machines.end(),
                                         [&](const StoredMachine& m) { return m.id == machine; }),
                          state_.machines.end());
  }
  void MergeScans(MachineId from, MachineId into, const std::vector<std::int64_t>& dropped) override {
    for (const std::int64_t id : dropped) state_.scans.erase(id);
    for (auto& [id, scan] : state_.scans) scan.machine = scan.machine == from ? into : scan.machine;
  }

  // A path's name: the paths' own ids, since names here are theirs
  // (the path with the lowest id of each).
  NameId NameOf(PathId path) const {
    std::string name;
    for (const auto& [text, id] : state_.paths) {
      if (id == path) name = NameKey(text);
    }
    NameId lowest = -1;
    for (const auto& [text, id] : state_.paths) {
      if (NameKey(text) == name && (lowest < 0 || id < lowest)) lowest = id;
    }
    return lowest;
  }
  // The kept holds and counts are what the open intervals make: after
  // every write, whatever the order of the scans, copies, forgets and
  // savepoints taken back.
  void ExpectCountsAgree() const {
    Recount recount;
    std::map<MachineId, std::vector<Held>> holds;
    recount.machine_done = [&](MachineId m, const std::vector<Held>& h) { holds[m] = h; };
    for (const auto& [key, i] : state_.intervals) {
      if (!i.until) recount.Add(std::get<0>(key), NameOf(i.path), i.version);
    }
    recount.Finish();
    std::map<MachineId, std::vector<Held>> kept;
    for (const auto& [m, h] : state_.holds) {
      if (!h.empty()) kept[m] = h;
    }
    EXPECT_EQ(kept, holds) << "the holds differ from the open intervals";
    EXPECT_EQ(state_.counts.InKeyOrder(), recount.counts.InKeyOrder()) << "the counts differ from the open intervals";
  }

  std::string PathKey(PathId path) const {
    for (const auto& [text, id] : state_.paths) {
      if (id == path) return FoldCase(text);
    }
    return std::string();
  }
  bool HasPath(const std::string& path) const { return state_.paths.count(path) != 0; }
  MachineHistory HistoryOf(MachineId machine) const {
    MachineHistory h;
    for (const auto& [key, i] : state_.intervals) {
      if (std::get<0>(key) == machine) h.intervals.push_back(i);
    }
    for (const auto& [m, scan, path] : state_.kept) {
      if (m == machine) h.kept.push_back(Kept{scan, path});
    }
    return h;
  }
  MachineHistory HistoryOf(const std::string& name) const {
    for (const StoredMachine& m : state_.machines) {
      if (m.name == name) return HistoryOf(m.id);
    }
    return {};
  }
  std::int64_t FilesOf(const std::string& name) const {
    for (const StoredMachine& m : state_.machines) {
      if (m.name == name) return m.files;
    }
    return -1;
  }
  std::size_t scans() const { return state_.scans.size(); }

  // The machine's history by its texts, so that two targets that gave
  // other ids compare: "PATH VERSION [since, until) opened", "kept PATH at
  // scan", sorted.
  std::vector<std::string> Texts(const std::string& name) const {
    std::map<PathId, std::string> path;
    for (const auto& [text, id] : state_.paths) path[id] = text;
    std::map<VersionId, std::string> version{{0, "<none>"}};
    for (const auto& [value, id] : state_.versions) version[id] = Version::Of(value).ToString();
    const MachineHistory h = HistoryOf(name);
    std::vector<std::string> out;
    for (const Interval& i : h.intervals) {
      out.push_back(path[i.path] + " " + version[i.version] + " [" + std::to_string(i.since) + ", " +
                    (i.until ? std::to_string(*i.until) : "-") + ")" + (i.opened ? " opened" : ""));
    }
    for (const Kept& k : h.kept) out.push_back("kept " + path[k.path] + " at " + std::to_string(k.scan));
    std::sort(out.begin(), out.end());
    return out;
  }

  int open_entries_reads = 0;
  int most_calls = 0;  // calls into the target for one file, at most

 private:
  bool keeps_latest_;
  State state_, group_, file_;
  bool in_group_ = false;
  int calls_ = 0;
};

}  // namespace vurfleet::procedure_test
