// The inventory in a PostgreSQL database: the SQLite store's tables and
// answers, for a fleet that several collectors load at once while others
// query it.
//
// A load copies the scan's lines into a temporary table and merges them
// with a few set-based statements: new paths and versions interned, the
// lines' ids read back in file order. The history's rules are the pure
// functions every store calls. One machine's loads are serialised by an
// advisory lock on its name, held to the end of the file's transaction;
// loads of other machines go on side by side.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <unordered_map>
#include <string>
#include <vector>

#include "history/history.h"
#include "store/id_cache.h"
#include "store/postgres/pg.h"
#include "store/store.h"

namespace vurfleet::pg {

class PgStore : public Store {
 public:
  PgStore(const std::string& where, Access access);

  std::string Description() const override { return conn_.description(); }

  // LoadTarget.
  void BeginGroup(const std::vector<std::string>& machines) override;
  void CommitGroup() override;
  void AbandonGroup() override;
  void Expect(const std::vector<const ScanFile*>& files) override;
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
  // What Expect fetched for the group, kept up to date by the group's own
  // writes; dropped when the group ends or a file is taken back, after which
  // each question goes to the server again.
  struct Expected {
    struct Run {
      StoredRun run;
      Time started;
    };
    std::map<std::string, std::optional<StoredMachine>> machines;  // by name
    // The fetched machines' scans whose start or bytes are among the
    // group's files': a question about other starts or bytes goes to the
    // server.
    std::set<std::string> sha256s;
    std::set<Time> starts;
    std::map<MachineId, std::vector<Run>> runs;
    std::map<MachineId, std::optional<LatestRuns>> latest;
  };

  // Expect's two parts: what the group's machines hold, and ids for the
  // lines the group will ask about, in one statement or three.
  void FetchExpected(const std::vector<const ScanFile*>& files);
  void InternExpected(const std::vector<const ScanFile*>& files);
  // Adds the paths not stored, and keeps every one's id in group_paths_.
  void StagePaths(const std::vector<std::string_view>& paths);

  Connection conn_;
  IdCache ids_;
  Expected expected_;
  // Ids of the paths the group staged: its own, beside the bounded cache,
  // so that a group's lines are staged once however many they are.
  std::unordered_map<std::string, PathId> group_paths_;
};

}  // namespace vurfleet::pg
