#include "history/history.h"

#include <algorithm>
#include <map>

namespace vurfleet {
namespace {

// An interval still open: the entry holds after the last scan stepped.
struct Open {
  PathId path;
  VersionId version;
  Time since;
  bool opened;
};

bool ByPathSince(const Interval& a, const Interval& b) {
  return a.path != b.path ? a.path < b.path : a.since < b.since;
}

bool ByScanPath(const Kept& a, const Kept& b) {
  return a.scan != b.scan ? a.scan < b.scan : a.path < b.path;
}

std::vector<Entry> ApplyTo(const std::vector<Entry>& before, const std::vector<Entry>& reported,
                           bool finished, const Shield& shield, const PathKeys& keys,
                           std::vector<PathId>* kept) {
  std::vector<Entry> after;
  after.reserve(std::max(before.size(), reported.size()));
  const bool shielded = finished && !shield.empty();
  std::size_t i = 0, j = 0;
  while (i < before.size() || j < reported.size()) {
    if (j < reported.size() && (i == before.size() || reported[j].path < before[i].path)) {
      after.push_back(reported[j++]);
    } else if (i < before.size() && (j == reported.size() || before[i].path < reported[j].path)) {
      // Not reported: gone, unless the scan proves nothing about it.
      if (!finished || (shielded && shield.Covers(keys(before[i].path)))) {
        after.push_back(before[i]);
        if (kept != nullptr) kept->push_back(before[i].path);
      }
      ++i;
    } else {
      after.push_back(reported[j++]);  // reported anew: its version holds
      ++i;
    }
  }
  return after;
}

// One scan's step of the history: `state` becomes the inventory after it.
// Intervals that end at the scan go to `closed`, entries kept to `kept`.
void Step(std::vector<Open>* state, Time start, bool finished, const std::vector<Entry>& reported,
          const Shield& shield, bool first, const PathKeys& keys, std::vector<Interval>* closed,
          std::vector<Entry>* opened_now, std::vector<Kept>* kept) {
  std::vector<Entry> before;
  before.reserve(state->size());
  for (const Open& o : *state) before.push_back(Entry{o.path, o.version});
  std::vector<PathId> kept_paths;
  const std::vector<Entry> after = ApplyTo(before, reported, finished, shield, keys, &kept_paths);
  for (const PathId path : kept_paths) kept->push_back(Kept{start, path});

  std::vector<Open> next;
  next.reserve(after.size());
  std::size_t i = 0, j = 0;
  const auto close = [&](const Open& o) {
    closed->push_back(Interval{o.path, o.version, o.since, start, o.opened});
  };
  const auto open = [&](const Entry& e) {
    next.push_back(Open{e.path, e.version, start, !first});
    if (opened_now != nullptr) opened_now->push_back(e);
  };
  while (i < state->size() || j < after.size()) {
    if (j < after.size() && (i == state->size() || after[j].path < (*state)[i].path)) {
      open(after[j++]);
    } else if (i < state->size() && (j == after.size() || (*state)[i].path < after[j].path)) {
      close((*state)[i++]);
    } else {
      if ((*state)[i].version == after[j].version) {
        next.push_back((*state)[i]);
      } else {
        close((*state)[i]);
        open(after[j]);
      }
      ++i;
      ++j;
    }
  }
  state->swap(next);
}

void Finish(const std::vector<Open>& state, std::vector<Interval>* intervals) {
  for (const Open& o : state) {
    intervals->push_back(Interval{o.path, o.version, o.since, std::nullopt, o.opened});
  }
  std::sort(intervals->begin(), intervals->end(), ByPathSince);
}

// Walks a stored history scan by scan, giving the inventory after each.
class ReplayCursor {
 public:
  explicit ReplayCursor(const MachineHistory& history) : history_(history) {
    for (std::size_t k = 0; k < history.intervals.size(); ++k) {
      begins_.push_back(k);
      if (history.intervals[k].until) ends_.push_back(k);
    }
    const auto& rows = history.intervals;
    std::sort(begins_.begin(), begins_.end(),
              [&](std::size_t a, std::size_t b) { return rows[a].since < rows[b].since; });
    std::sort(ends_.begin(), ends_.end(),
              [&](std::size_t a, std::size_t b) { return *rows[a].until < *rows[b].until; });
  }

  // The inventory after the scan that started at `start`; scans are asked
  // for in start order.
  void AdvanceTo(Time start) {
    const auto& rows = history_.intervals;
    // Ends first: an entry whose version changed at this scan ends one
    // interval and begins the next here.
    while (next_end_ < ends_.size() && *rows[ends_[next_end_]].until <= start) {
      const Interval& row = rows[ends_[next_end_++]];
      const auto found = current_.find(row.path);
      if (found != current_.end() && found->second == row.version) current_.erase(found);
    }
    while (next_begin_ < begins_.size() && rows[begins_[next_begin_]].since <= start) {
      const Interval& row = rows[begins_[next_begin_++]];
      if (!row.until || *row.until > start) current_[row.path] = row.version;
    }
  }

  // What the scan at `start` reported: the inventory less what it kept.
  std::vector<Entry> Reported(Time start) {
    const auto& kept = history_.kept;
    while (next_kept_ < kept.size() && kept[next_kept_].scan < start) ++next_kept_;
    std::vector<Entry> reported;
    reported.reserve(current_.size());
    std::size_t k = next_kept_;
    for (const auto& [path, version] : current_) {
      while (k < kept.size() && kept[k].scan == start && kept[k].path < path) ++k;
      if (k < kept.size() && kept[k].scan == start && kept[k].path == path) continue;
      reported.push_back(Entry{path, version});
    }
    return reported;
  }

 private:
  const MachineHistory& history_;
  std::vector<std::size_t> begins_, ends_;
  std::size_t next_begin_ = 0, next_end_ = 0, next_kept_ = 0;
  std::map<PathId, VersionId> current_;
};

}  // namespace

std::vector<Entry> Apply(const std::vector<Entry>& before, const ScanInput& scan,
                         const PathKeys& keys, std::vector<PathId>* kept) {
  return ApplyTo(before, scan.reported, scan.finished, scan.shield, keys, kept);
}

MachineHistory Build(const std::vector<ScanInput>& scans, const PathKeys& keys) {
  MachineHistory history;
  std::vector<Open> state;
  for (std::size_t k = 0; k < scans.size(); ++k) {
    const ScanInput& scan = scans[k];
    Step(&state, scan.start, scan.finished, scan.reported, scan.shield, k == 0, keys,
         &history.intervals, nullptr, &history.kept);
  }
  Finish(state, &history.intervals);
  return history;
}

std::vector<std::vector<Entry>> Replay(const MachineHistory& history,
                                       const std::vector<StoredScan>& scans) {
  std::vector<std::vector<Entry>> reported;
  ReplayCursor cursor(history);
  for (const StoredScan& scan : scans) {
    cursor.AdvanceTo(scan.start);
    reported.push_back(cursor.Reported(scan.start));
  }
  return reported;
}

MachineHistory Rebuild(const MachineHistory& stored, const std::vector<StoredScan>& scans,
                       const ScanInput& incoming, const PathKeys& keys) {
  MachineHistory history;
  std::vector<Open> state;
  ReplayCursor cursor(stored);
  bool first = true;
  bool placed = false;
  const auto step = [&](Time start, bool finished, const std::vector<Entry>& reported,
                        const Shield& shield) {
    Step(&state, start, finished, reported, shield, first, keys, &history.intervals, nullptr,
         &history.kept);
    first = false;
  };
  for (const StoredScan& scan : scans) {
    if (!placed && incoming.start < scan.start) {
      step(incoming.start, incoming.finished, incoming.reported, incoming.shield);
      placed = true;
    }
    cursor.AdvanceTo(scan.start);
    if (scan.start == incoming.start) {
      // The incoming copy of this run takes the stored copy's place.
      step(incoming.start, incoming.finished, incoming.reported, incoming.shield);
      placed = true;
      continue;
    }
    step(scan.start, scan.finished, cursor.Reported(scan.start), scan.shield);
  }
  if (!placed) step(incoming.start, incoming.finished, incoming.reported, incoming.shield);
  Finish(state, &history.intervals);
  std::sort(history.kept.begin(), history.kept.end(), ByScanPath);
  return history;
}

MachineHistory Without(const MachineHistory& stored, const std::vector<StoredScan>& scans,
                       Time removed, const PathKeys& keys) {
  MachineHistory history;
  std::vector<Open> state;
  ReplayCursor cursor(stored);
  bool first = true;
  for (const StoredScan& scan : scans) {
    cursor.AdvanceTo(scan.start);
    if (scan.start == removed) continue;
    Step(&state, scan.start, scan.finished, cursor.Reported(scan.start), scan.shield, first, keys,
         &history.intervals, nullptr, &history.kept);
    first = false;
  }
  Finish(state, &history.intervals);
  std::sort(history.kept.begin(), history.kept.end(), ByScanPath);
  return history;
}

HistoryChanges Diff(const MachineHistory& stored, const MachineHistory& wanted) {
  HistoryChanges changes;
  const auto& a = stored.intervals;
  const auto& b = wanted.intervals;
  std::size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    if (j == b.size() || (i < a.size() && ByPathSince(a[i], b[j]))) {
      changes.erase.push_back(a[i++]);
    } else if (i == a.size() || ByPathSince(b[j], a[i])) {
      changes.write.push_back(b[j++]);
    } else {
      if (!(a[i] == b[j])) changes.write.push_back(b[j]);
      ++i;
      ++j;
    }
  }
  const auto& ka = stored.kept;
  const auto& kb = wanted.kept;
  i = j = 0;
  while (i < ka.size() || j < kb.size()) {
    if (j == kb.size() || (i < ka.size() && ByScanPath(ka[i], kb[j]))) {
      changes.kept_erase.push_back(ka[i++]);
    } else if (i == ka.size() || ByScanPath(kb[j], ka[i])) {
      changes.kept_write.push_back(kb[j++]);
    } else {
      ++i;
      ++j;
    }
  }
  return changes;
}

AppendChanges Append(const std::vector<Entry>& before, const ScanInput& scan,
                     const PathKeys& keys, std::vector<Entry>* after) {
  AppendChanges changes;
  *after = ApplyTo(before, scan.reported, scan.finished, scan.shield, keys, &changes.kept);
  std::size_t i = 0, j = 0;
  while (i < before.size() || j < after->size()) {
    if (j < after->size() && (i == before.size() || (*after)[j].path < before[i].path)) {
      changes.opened.push_back((*after)[j++]);
    } else if (i < before.size() && (j == after->size() || before[i].path < (*after)[j].path)) {
      changes.closed.push_back(before[i++].path);
    } else {
      if (before[i].version != (*after)[j].version) {
        changes.closed.push_back(before[i].path);
        changes.opened.push_back((*after)[j]);
      }
      ++i;
      ++j;
    }
  }
  return changes;
}

AppendChanges AppendUnrepeated(const std::vector<Entry>& before, const std::vector<bool>& before_repeated,
                               const std::vector<Entry>& now, const std::vector<bool>& now_repeated) {
  std::vector<Entry> old_part, new_part;
  for (std::size_t k = 0; k < before.size(); ++k) {
    if (!before_repeated[k]) old_part.push_back(before[k]);
  }
  for (std::size_t k = 0; k < now.size(); ++k) {
    if (!now_repeated[k]) new_part.push_back(now[k]);
  }
  std::sort(old_part.begin(), old_part.end(), ByPath);
  std::sort(new_part.begin(), new_part.end(), ByPath);
  ScanInput whole;
  whole.finished = true;
  whole.reported = std::move(new_part);
  std::vector<Entry> unused;
  return Append(old_part, whole, PathKeys(), &unused);
}

}  // namespace vurfleet
