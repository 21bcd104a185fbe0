// The inventory in one SQLite file.
//
// Paths and versions are interned (paths found by a stable hash of their
// text, then compared); a machine's history is kept as intervals
// of (path, version) over its scans, clustered by machine, so that a load
// appends to one machine's rows and a query by file name seeks each
// machine's rows for the few paths of that name. Versions are stored as
// one 64-bit number, order kept (see store/stored.h); <none> is the version
// of id 0 and has no number. The load itself is load/procedure.h's; this
// store gives it the named operations of LoadTarget.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "history/history.h"
#include "store/sqlite/db.h"
#include "store/id_cache.h"
#include "store/latest.h"
#include "store/store.h"

namespace vurfleet::sqlite {

class SqliteStore : public Store {
 public:
  SqliteStore(const std::string& path, Access access);
  ~SqliteStore() override;

  std::string Description() const override { return db_.path(); }

  // LoadTarget.
  void BeginGroup(const std::vector<std::string>& machines) override;
  void CommitGroup() override;
  void AbandonGroup() override;
  void BeginFile() override;
  void EndFile(bool keep) override;
  std::optional<StoredMachine> FindMachine(const std::string& name) override;
  MachineId AddMachine(const std::string& name, Time started) override;
  void UpdateMachine(MachineId machine, Time first, Time last, std::int64_t files) override;
  std::optional<std::pair<Time, std::string>> FindBytes(MachineId machine, const std::string& sha256) override;
  std::optional<StoredRun> FindRun(MachineId machine, Time started) override;
  std::vector<ScanFacts> ListScans(MachineId machine) override;
  void InternPaths(const std::vector<std::string_view>& paths, std::vector<PathId>* ids) override;
  void InternVersions(const std::vector<std::uint64_t>& values, std::vector<VersionId>* ids) override;
  std::string PathKey(PathId path) override;
  std::optional<LatestRuns> ReadLatest(MachineId machine) override;
  void WriteLatest(MachineId machine, const LatestRuns* latest) override;
  std::vector<Entry> OpenEntries(MachineId machine) override;
  MachineHistory StoredHistory(MachineId machine) override;
  std::vector<StoredScan> StoredScans(MachineId machine) override;
  void CloseIntervals(MachineId machine, const std::vector<PathId>& paths, Time until) override;
  void AddIntervals(MachineId machine, const std::vector<Interval>& rows) override;
  void WriteChanges(MachineId machine, const HistoryChanges& changes) override;
  void AddScan(MachineId machine, const ScanRow& scan) override;
  void DeleteScan(std::int64_t scan_id) override;
  void DeleteMachine(MachineId machine) override;
  void MoveScans(MachineId from, MachineId into) override;

  // The queries.
  void Find(const FindQuery& query, const std::function<void(const FindRow&)>& row) override;
  void Changes(const ChangesQuery& query, const std::function<void(const ChangeRow&)>& row) override;
  void Machines(const std::function<void(const MachineRow&)>& row) override;
  void Programs(int top, const std::function<void(const ProgramRow&)>& row) override;
  void Holdings(const std::vector<Glob>& names,
                const std::function<void(const HoldingRow&)>& row) override;

 private:
  struct LoadStatements;
  LoadStatements& Statements();

  Db db_;
  std::unique_ptr<LoadStatements> load_;
  IdCache ids_;
  // The machine whose latest runs were read last in this transaction, and
  // those runs: written back unchanged, only their flag is.
  MachineId read_latest_ = 0;
  std::vector<LineRun> read_runs_;
};

}  // namespace vurfleet::sqlite
