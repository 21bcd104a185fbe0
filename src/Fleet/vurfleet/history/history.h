// A machine's history: its inventory after each of its scans, taken in order
// of their start, kept as intervals. Pure functions over interned ids; the
// stores read and write what they compute.
//
// The rules:
// - A finished scan gives the inventory: what it reports. Where its shield
//   says it did not walk (a drive or folder not walked whole, a file it could
//   not report), the entries before it stay unless it reports them anew.
// - A scan that did not finish proves presence only: what it reports takes
//   the reported version, every other entry stays.
// - Entries a scan keeps without reporting them are recorded with the scan
//   (`Kept`), so that what each scan reported can be recovered, and the
//   history worked out again when a scan arrives out of order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/time.h"
#include "read/shield.h"

namespace vurfleet {

using PathId = std::int64_t;
using VersionId = std::int64_t;

struct Entry {
  PathId path;
  VersionId version;
  friend bool operator==(const Entry& a, const Entry& b) {
    return a.path == b.path && a.version == b.version;
  }
};

// Entries in path order, as the history's functions take them.
inline bool ByPath(const Entry& a, const Entry& b) { return a.path < b.path; }

// What a scan brings to its machine's history.
struct ScanInput {
  Time start = 0;
  bool finished = false;
  std::vector<Entry> reported;  // sorted by path, one entry a path
  Shield shield;                // of its ERROR lines
};

// A scan already stored: what of it the history needs besides what it
// reported, which Rebuild recovers from the history itself.
struct StoredScan {
  Time start = 0;
  bool finished = false;
  Shield shield;
};

// (path, version) held from the scan that started at `since` up to, not
// including, the scan that started at `until`; without `until` it holds
// after the machine's last scan. `opened` is set when `since` is not the
// machine's first scan: the entry came or changed there.
struct Interval {
  PathId path;
  VersionId version;
  Time since;
  std::optional<Time> until;
  bool opened;
  friend bool operator==(const Interval& a, const Interval& b) {
    return a.path == b.path && a.version == b.version && a.since == b.since &&
           a.until == b.until && a.opened == b.opened;
  }
};

// An entry of the inventory after the scan that started at `scan` that the
// scan did not report: it stayed from before.
struct Kept {
  Time scan;
  PathId path;
  friend bool operator==(const Kept& a, const Kept& b) {
    return a.scan == b.scan && a.path == b.path;
  }
};

struct MachineHistory {
  std::vector<Interval> intervals;  // sorted by (path, since)
  std::vector<Kept> kept;           // sorted by (scan, path)
};

// The folded text of a path (FoldCase), for shields. Asked only for entries
// of the inventory before a finished scan with a shield.
using PathKeys = std::function<std::string(PathId)>;

// The inventory after `scan` (sorted by path), from the one before it.
// Appends the paths kept from `before` without being reported to `kept`.
std::vector<Entry> Apply(const std::vector<Entry>& before, const ScanInput& scan,
                         const PathKeys& keys, std::vector<PathId>* kept);

// The history of scans given in start order.
MachineHistory Build(const std::vector<ScanInput>& scans, const PathKeys& keys);

// What each of the stored scans (in start order) reported, recovered from
// their history: the inventory after each, less what it kept.
std::vector<std::vector<Entry>> Replay(const MachineHistory& history,
                                       const std::vector<StoredScan>& scans);

// The history worked out again from the stored one with `incoming` put in
// its place among the stored scans, or in place of the stored scan with
// the same start. Memory is that of the history and two inventories,
// however many scans there are.
MachineHistory Rebuild(const MachineHistory& stored, const std::vector<StoredScan>& scans,
                       const ScanInput& incoming, const PathKeys& keys);

// The history worked out again from the stored one without the stored scan
// that started at `removed`: what the machine's inventory would be had that
// scan never been loaded. `scans` are the stored scans in start order, the
// removed one among them.
MachineHistory Without(const MachineHistory& stored, const std::vector<StoredScan>& scans,
                       Time removed, const PathKeys& keys);

// The rows that turn one history into another. Intervals are keyed by
// (path, since), kept entries by themselves; `write` rows replace a stored
// row with their key or are new.
struct HistoryChanges {
  std::vector<Interval> erase;
  std::vector<Interval> write;
  std::vector<Kept> kept_erase;
  std::vector<Kept> kept_write;
  bool empty() const {
    return erase.empty() && write.empty() && kept_erase.empty() && kept_write.empty();
  }
};
HistoryChanges Diff(const MachineHistory& stored, const MachineHistory& wanted);

// What a scan later than every stored one changes, from the machine's
// inventory before it (sorted by path; empty for a new machine): the open
// intervals it ends, the ones it begins, and what it kept without
// reporting. An unchanged entry costs nothing.
struct AppendChanges {
  std::vector<PathId> closed;  // their open interval ends at the scan
  std::vector<Entry> opened;   // an interval begins at the scan
  std::vector<PathId> kept;
};
// `after` receives the inventory after the scan.
AppendChanges Append(const std::vector<Entry>& before, const ScanInput& scan,
                     const PathKeys& keys, std::vector<Entry>* after);

// What a finished scan without a shield changes after a scan whose lines
// were the machine's whole inventory (it kept nothing), when both are cut
// into runs of lines and the runs they share are known (`*_repeated`: an
// entry of a run the other scan holds too, by digest). A shared run holds
// the same paths at the same versions in both, and a path is in one run of
// a scan at most, so only the entries of the other runs can differ: the
// changes are Append's over the whole inventories, found from those alone.
// The entries are in any order; `before` and `now` as the scans hold them.
AppendChanges AppendUnrepeated(const std::vector<Entry>& before, const std::vector<bool>& before_repeated,
                               const std::vector<Entry>& now, const std::vector<bool>& now_repeated);

}  // namespace vurfleet
