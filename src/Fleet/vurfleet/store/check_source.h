// What the inventory's check (check/check.h) asks of a store: a few named
// reads, each leaving on the server what holds (only faults and small sums a
// machine come back), the database's own check, and the repair's one write.
// What the rules are, and the comparing, live above the stores, once.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/time.h"
#include "history/history.h"
#include "store/counts.h"
#include "store/load_target.h"

namespace vurfleet {

// Two intervals of one machine and path that overlap: the first's `until`
// is after the next one's `since`, or it is still open (`until` none).
struct OverlapRow {
  std::string machine;  // as stored; "#ID" when the machine row is missing
  std::string path;     // "#ID" when the path row is missing
  Time since = 0;
  std::optional<Time> until;
  Time next_since = 0;
};

// An interval whose `since` is the start of none of its machine's scans.
struct OffScanRow {
  std::string machine;
  std::string path;
  Time since = 0;
};

// A machine's row beside what the check compares with it: its open
// intervals counted and summed (OpenSum, in SQL on the store's side), and
// its latest-runs cache when it keeps one.
struct MachineCheckRow {
  MachineId id = 0;
  std::string machine;
  std::int64_t files = 0;  // as the machine's row says
  std::int64_t open = 0;   // its open intervals
  std::int64_t sum_a = 0, sum_b = 0;
  std::optional<bool> exact;  // the cache: none when it keeps none
  std::string runs;           // the cache's blob (store/latest.h)
};

// The two sums of a machine's open intervals, each a sum over its
// (path_id, version_id) of the terms below, non-linear so that versions
// traded between paths change them. Both stores compute them in SQL with
// these expressions over the columns path_id and version_id; the check
// computes them over a cache's decoded entries with OpenSumTerms.
constexpr std::int64_t kOpenSumModulus = 2147483647;
#define VURFLEET_OPEN_SUM_A \
  "((path_id % 2147483647) * ((version_id % 2147483647) + 1000003)) % 2147483647"
#define VURFLEET_OPEN_SUM_B                                                                      \
  "(((path_id % 2147483647) + 7919) * (((version_id % 2147483647) * (version_id % 2147483647)) " \
  "% 2147483647 + 1)) % 2147483647"
inline void OpenSumTerms(PathId path, VersionId version, std::int64_t* a, std::int64_t* b) {
  const std::int64_t m = kOpenSumModulus, p = path % m, v = version % m;
  *a = (p * (v + 1000003)) % m;
  *b = ((p + 7919) * ((v * v) % m + 1)) % m;
}

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
  // The history's rules on every interval: each interval against the next
  // of its machine and path, and its start against its machine's scans.
  // Each kind's rows in the order of machine and path names.
  virtual void HistoryFaults(const std::function<void(const OverlapRow&)>& overlap,
                             const std::function<void(const OffScanRow&)>& off_scan) = 0;
  // Every machine, in name order.
  virtual void MachineSums(const std::function<void(const MachineCheckRow&)>& row) = 0;
  // One machine's open intervals, sorted by path.
  virtual void OpenEntries(MachineId machine, std::vector<Entry>* open) = 0;
  // A path's text and a version's, as shown; "#ID" for an id not stored.
  virtual std::string PathText(PathId path) = 0;
  virtual std::string VersionText(VersionId version) = 0;
  // The counts the load keeps (store/counts.h): each machine's holds as
  // stored (its blob, any order), and the counts summed, in key order, none
  // zero; and the same worked out from the open intervals.
  virtual void KeptHolds(const std::function<void(MachineId, std::string_view)>& row) = 0;
  virtual std::vector<std::pair<CountKey, std::int64_t>> KeptCounts() = 0;
  virtual CountChanges RecountHolds(const std::function<void(MachineId, const std::vector<Held>&)>& machine) = 0;
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
