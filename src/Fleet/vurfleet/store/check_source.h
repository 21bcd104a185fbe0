// What the inventory's check (check/check.h) asks of a store: every
// interval in key order in one stream, the few small tables beside it, the
// database's own check, and the repair's one write. What the rules are, and
// the comparing, live above the stores, once.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/time.h"
#include "history/history.h"
#include "store/counts.h"
#include "store/load_target.h"

namespace vurfleet {

// One stored interval, as the check's walk reads it.
struct IntervalRow {
  MachineId machine = 0;
  PathId path = 0;
  Time since = 0;
  std::optional<Time> until;
  VersionId version = 0;
};

// A machine's row, and whether it keeps a latest-runs cache.
struct MachineCheckRow {
  MachineId id = 0;
  std::string machine;
  std::int64_t files = 0;  // as the machine's row says
  bool cached = false;
};

// A latest-runs cache as stored (store/latest.h).
struct StoredLatest {
  bool exact = false;
  std::string runs;
};

// The repair's writes: caches dropped, machines' `files` rewritten, and
// the counts and holds worked out again from the open intervals.
struct CheckRepair {
  std::vector<MachineId> drop_latest;
  std::vector<std::pair<MachineId, std::int64_t>> files;
  bool recount = false;
};

class CheckSource {
 public:
  virtual ~CheckSource() = default;

  // Runs `work` in one transaction: for a store opened to write, one that
  // loads wait for, committed when `work` returns; for a reader, its
  // snapshot.
  virtual void CheckTransaction(const std::function<void()>& work) = 0;
  // Every machine.
  virtual void MachineRows(const std::function<void(const MachineCheckRow&)>& row) = 0;
  // Every scan's machine and start, sorted.
  virtual std::vector<std::pair<MachineId, Time>> ScanStartIds() = 0;
  // Every path's id and its name's, sorted by path.
  virtual std::vector<std::pair<PathId, NameId>> PathNames() = 0;
  // Every interval, in key order (machine, path, since): one stream, all
  // the check's rules worked out as it passes.
  virtual void Intervals(const std::function<void(const IntervalRow&)>& row) = 0;
  // A machine's latest-runs cache; none when it keeps none. And its open
  // intervals, sorted by path. Neither is asked for during `Intervals`.
  virtual std::optional<StoredLatest> Latest(MachineId machine) = 0;
  virtual void OpenEntries(MachineId machine, std::vector<Entry>* open) = 0;
  // A path's text and a version's, as shown; "#ID" for an id not stored.
  virtual std::string PathText(PathId path) = 0;
  virtual std::string VersionText(VersionId version) = 0;
  // The counts the load keeps (store/counts.h): each machine's holds as
  // stored (its blob, any order), and the counts summed, in key order, none
  // zero.
  virtual void KeptHolds(const std::function<void(MachineId, std::string_view)>& row) = 0;
  // And each machine's mixed holds (MixedHolds), the same way.
  virtual void KeptMixed(const std::function<void(MachineId, std::string_view)>& row) = 0;
  virtual std::vector<std::pair<CountKey, std::int64_t>> KeptCounts() = 0;
  // A file name's text; "#ID" for an id not stored.
  virtual std::string NameText(NameId name) = 0;
  // The database's own check: each fault it finds, a line to `fault`; what
  // it ran, or why it ran nothing, a line to `note`.
  virtual void DatabaseCheck(const std::function<void(const std::string&)>& fault,
                             const std::function<void(const std::string&)>& note) = 0;
  // Writes `repair` (in the caller's CheckTransaction).
  virtual void Repair(const CheckRepair& repair) = 0;
};

}  // namespace vurfleet
