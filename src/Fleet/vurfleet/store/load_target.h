// What the load procedure (load/procedure.h) asks of a store: the named
// operations below the seam, each for many rows at once. A store answers
// "these ids", "this machine's rows", "write these rows"; the rules of what a
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
// (RunsAreTheInventory in history/ is the rule that lets a load rely on it).
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
  // The files the group will load, once it has begun: a store may fetch
  // what they need in a few statements instead of a few a file. It changes
  // no answer.
  virtual void Expect(const std::vector<const struct ScanFile*>& files) { (void)files; }
  // One file's savepoint; EndFile(false) takes back what the file wrote.
  virtual void BeginFile() = 0;
  virtual void EndFile(bool keep) = 0;

  virtual std::optional<StoredMachine> FindMachine(const std::string& name) = 0;
  virtual MachineId AddMachine(const std::string& name, Time started) = 0;
  virtual void UpdateMachine(MachineId machine, Time first, Time last, std::int64_t files) = 0;
  // The machine's scan with these bytes: its start and file.
  virtual std::optional<std::pair<Time, std::string>> FindBytes(MachineId machine,
                                                                const std::string& sha256) = 0;
  virtual std::optional<StoredRun> FindRun(MachineId machine, Time started) = 0;
  // The machine's scans, in start order.
  virtual std::vector<ScanFacts> ListScans(MachineId machine) = 0;

  // Ids of paths and versions, added when new: `ids[k]` for `keys[k]`.
  virtual void InternPaths(const std::vector<std::string_view>& paths, std::vector<PathId>* ids) = 0;
  // Versions by their number; never <none>, whose id is 0.
  virtual void InternVersions(const std::vector<std::uint64_t>& values, std::vector<VersionId>* ids) = 0;
  // The folded text of a stored path (for shields).
  virtual std::string PathKey(PathId path) = 0;

  // What the store kept of the machine's latest scan; nothing when it
  // keeps nothing, or what it kept can't be read.
  virtual std::optional<LatestRuns> ReadLatest(MachineId machine) = 0;
  // Keeps the machine's latest scan's runs, or, given nothing, forgets
  // what was kept. A store may keep nothing.
  virtual void WriteLatest(MachineId machine, const LatestRuns* latest) = 0;
  // The machine's open intervals as entries, sorted by path.
  virtual std::vector<Entry> OpenEntries(MachineId machine) = 0;
  virtual MachineHistory StoredHistory(MachineId machine) = 0;
  // The machine's scans in start order, with the shields of their stored
  // ERROR lines.
  virtual std::vector<StoredScan> StoredScans(MachineId machine) = 0;

  // The open intervals of these paths end at `until`.
  virtual void CloseIntervals(MachineId machine, const std::vector<PathId>& paths, Time until) = 0;
  // Intervals whose keys are new: the opened ones of a latest scan.
  virtual void AddIntervals(MachineId machine, const std::vector<Interval>& rows) = 0;
  // The rows of a history worked out again (Diff).
  virtual void WriteChanges(MachineId machine, const HistoryChanges& changes) = 0;
  virtual void AddScan(MachineId machine, const ScanRow& scan) = 0;
  // The scan's row and its ERROR lines.
  virtual void DeleteScan(std::int64_t scan_id) = 0;
  // The machine's rows, all of them, and the machine.
  virtual void DeleteMachine(MachineId machine) = 0;
  // The scans of `from` (rows and ERROR lines) become `into`'s; the caller
  // has taken out those whose start or bytes `into` holds.
  virtual void MoveScans(MachineId from, MachineId into) = 0;
};

}  // namespace vurfleet
