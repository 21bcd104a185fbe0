// What the load procedure (load/procedure.h) asks of a store: three calls a
// file, each for many rows at once. A store answers "what is stored for
// this file", "ids for these lines", "write this batch"; the rules of what a
// scan means live above, in history/ and the procedure, once.
//
// A load writes in groups: one transaction a group of files, the group's
// machines locked first, in one order, so that two loads with machines in
// common wait for each other instead of deadlocking; and one savepoint a
// file, so that a file taken back leaves the rest of its group standing.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/time.h"
#include "history/copies.h"
#include "history/history.h"

namespace vurfleet {

// A database that can't be opened, read or written. The message names what
// failed and never holds a password.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A transaction the database could not complete for another's sake (a lock
// held too long, a deadlock, a serialization failure): tried again, it may.
class RetryError : public StoreError {
 public:
  using StoreError::StoreError;
};

using MachineId = std::int64_t;

// A run of a scan's report lines (in file order) and a digest of their
// text. A machine's next scan repeats most runs of its last one; a store
// may recognise them by digest and take their ids from what it kept of the
// last scan instead of looking each line up.
struct LineRun {
  std::uint32_t first;
  std::uint32_t count;
  std::uint64_t digest;
};

struct StoredMachine {
  MachineId id = 0;
  std::string name;  // as stored
  Time first_started = 0;
  Time last_started = 0;
  std::int64_t files = 0;  // entries of its inventory after its last scan
};

// A stored scan of a machine, by its start: the copy's facts CompareCopies
// weighs, and the file it came from.
struct StoredRun {
  std::int64_t scan_id = 0;
  RunCopy copy;
  std::string file;
};

// What a stored scan is, as forget names it.
struct ScanFacts {
  std::int64_t scan_id = 0;
  Time started = 0;
  std::string file;
  bool finished = false;
  std::int64_t report_lines = 0;
  std::int64_t error_lines = 0;
};

// What a store kept of a machine's latest scan, if it keeps anything: its
// report lines' runs and their ids, in file order. `exact`: nothing was
// kept from before it, so the entries are the machine's whole inventory
// (the load relies on it to find a latest scan's changes from its runs
// alone: AppendUnrepeated in history/).
struct LatestRuns {
  bool exact = false;
  std::vector<LineRun> runs;   // `first` indexes `entries`
  std::vector<Entry> entries;  // in file order
};

// A scan's own row.
struct ScanRow {
  Time started = 0;
  std::optional<Time> completed;
  std::string sha256;
  std::string file;
  std::int64_t report_lines = 0;
  std::vector<std::pair<int, std::string_view>> errors;  // line, text
};

// What the load asks of the store about one file (LoadTarget::BeginFile).
struct FileQuestion {
  std::string machine;          // as stored: in upper case
  std::string sha256;           // empty: no scan is looked up by its bytes
  std::optional<Time> started;  // without: the machine's history whole (forget)
  // The scan's shield needs the folded text of the paths before it.
  bool keys = false;
};

// A stored scan as the history's work needs it: its facts and, when it
// finished, its ERROR lines' texts in line order (the load makes its shield
// of them).
struct StoredScanLines {
  ScanFacts facts;
  std::vector<std::string> errors;
};

// What is stored for one file: everything the procedure may need, read at
// once.
struct StoredForFile {
  std::optional<StoredMachine> machine;
  std::optional<std::pair<Time, std::string>> bytes;  // a scan with these bytes: its start and file
  std::optional<StoredRun> run;                       // a scan that started at `started`
  std::optional<LatestRuns> latest;  // nothing when the store keeps nothing, or can't read it
  // The scan starts after every stored one: the open intervals as entries
  // (sorted by path), read only when `latest` is missing or not exact.
  std::vector<Entry> open;
  // The scan does not start after every stored one, or no start was asked:
  // the history and the machine's scans in start order.
  bool whole = false;
  MachineHistory history;
  std::vector<StoredScanLines> scans;
  // The folded text (FoldCase) of the paths of `open` or `history` (or of
  // `latest` when it is exact), when asked, or when the history was read and a
  // finished stored scan has ERROR lines; other paths are not there.
  std::unordered_map<PathId, std::string> keys;
};

// What the load writes of `latest` (FileWrite).
enum class LatestWrite {
  kLeave,   // what is kept stands as it is
  kForget,  // nothing is kept for the machine
  kFlag,    // the same runs and entries: only `exact` is written
  kWhole,   // the runs and entries are written
};

// What the procedure decided for one file, written as one batch
// (LoadTarget::EndFile), in this order: the scan replaced is deleted, the
// machine added or its summary written, intervals closed, opened and
// changed, the scan's row and its ERROR lines added, and the latest runs.
struct FileWrite {
  MachineId machine = 0;  // 0: a new machine, added as `name`
  std::string name;
  Time first_started = 0;
  Time last_started = 0;
  std::int64_t files = 0;  // entries of its inventory after its last scan
  std::optional<std::int64_t> deleted_scan;  // its row and ERROR lines
  std::optional<ScanRow> scan;
  // The open intervals of these paths end at `closed_at`.
  std::vector<PathId> closed;
  Time closed_at = 0;
  std::vector<Interval> opened;  // intervals whose keys are new
  HistoryChanges changes;        // the rows of a history worked out again, and kept entries
  // What all of the above does to the machine's inventory now (its open
  // intervals): entries it holds no more, and entries it holds since, a
  // path's change of version being one of each. The store's counts follow
  // them (store/counts.h).
  std::vector<Entry> left;
  std::vector<Entry> came;
  LatestWrite latest_write = LatestWrite::kLeave;
  LatestRuns latest;
};

class LoadTarget {
 public:
  virtual ~LoadTarget() = default;

  // The group's transaction, with the named machines (names as stored)
  // locked against other loads, in one order. A store whose transaction
  // excludes every other writer needs no lock of its own.
  virtual void BeginGroup(const std::vector<std::string>& machines) = 0;
  virtual void CommitGroup() = 0;
  // Rolls the group back; ids it added are forgotten.
  virtual void AbandonGroup() = 0;
  // The load is over, all its groups ended: a store may tidy what they
  // left for readers to add up (PostgreSQL folds the count changes).
  virtual void Settle() {}
  // The files the group will load, once it has begun: a store may fetch
  // what they need in a few statements instead of a few a file. It changes
  // no answer.
  virtual void Expect(const std::vector<const struct ScanFile*>& files) { (void)files; }

  // A file's three calls. BeginFile begins its savepoint and answers what
  // is stored for it; Intern gives ids of paths and versions (versions by
  // their number, never <none>, whose id is 0), added when new: `ids[k]` for
  // `keys[k]`; EndFile writes `write` and keeps the file, or, given
  // nothing, takes back what the file did.
  virtual StoredForFile BeginFile(const FileQuestion& question) = 0;
  virtual void Intern(const std::vector<std::string_view>& paths, const std::vector<std::uint64_t>& versions,
                      std::vector<PathId>* path_ids, std::vector<VersionId>* version_ids) = 0;
  virtual void EndFile(const FileWrite* write) = 0;

  // The machine's rows, all of them, and the machine (forget).
  virtual void DeleteMachine(MachineId machine) = 0;
  // The upgrade's merge of two machines: the scans `dropped` (of either)
  // are deleted with their ERROR lines, and the other scans of `from` become
  // `into`'s.
  virtual void MergeScans(MachineId from, MachineId into, const std::vector<std::int64_t>& dropped) = 0;
};

}  // namespace vurfleet
