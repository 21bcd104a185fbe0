// The inventory in one SQLite file.
//
// Paths and versions are interned (paths found by a stable hash of their
// text, then compared); a machine's history is kept as intervals
// of (path, version) over its scans, clustered by machine, so that a load
// appends to one machine's rows and a query by file name seeks each
// machine's rows for the few paths of that name. Versions are stored as
// one 64-bit number, order kept (see store/stored.h); <none> is the version
// of id 0 and has no number. The load itself is load/procedure.h's; this
// store answers its three calls a file (LoadTarget), in sqlite_load.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "history/history.h"
#include "store/sqlite/sqlite_db.h"
#include "store/counts.h"
#include "store/id_cache.h"
#include "store/latest.h"
#include "store/store.h"

namespace vurfleet::sqlite {

class SqliteStore : public Store {
  friend std::unique_ptr<Store> OpenTwinnedReader(const std::string& path, int twins);

 public:
  SqliteStore(const std::string& path, Access access);
  ~SqliteStore() override;

  std::string Description() const override { return db_.path(); }
  // A twin made with this reader (OpenTwinnedReader), each once.
  std::unique_ptr<Store> Twin() override;

  // LoadTarget.
  void BeginGroup(const std::vector<std::string>& machines) override;
  void CommitGroup() override;
  void AbandonGroup() override;
  StoredForFile BeginFile(const FileQuestion& question) override;
  void Intern(const std::vector<std::string_view>& paths, const std::vector<std::uint64_t>& versions,
              std::vector<PathId>* path_ids, std::vector<VersionId>* version_ids) override;
  void EndFile(const FileWrite* write) override;
  void DeleteMachine(MachineId machine) override;
  void MergeScans(MachineId from, MachineId into, const std::vector<std::int64_t>& dropped) override;

  // The queries.
  void Find(const FindQuery& query, const std::function<void(const FindRow&)>& row) override;
  void Changes(const ChangesQuery& query, const std::function<void(const ChangeRow&)>& row) override;
  ChangeCounts RecentChanges(Time since, Time until, std::size_t newest,
                             const std::function<void(const ChangeRow&)>& row) override;
  void Machines(const std::function<void(const MachineRow&)>& row) override;
  void Programs(int top, const std::function<void(const ProgramRow&)>& row) override;
  std::int64_t MachinesBeyond(const std::string& name, const std::vector<Version>& versions) override;
  void Holdings(const std::vector<Glob>& names,
                const std::function<void(const HoldingRow&)>& row) override;
  void ScanStarts(const std::function<void(const std::string& machine, Time started)>& row) override;
  void NoteLoad(const LoadFigures& figures) override;
  std::optional<LoadFigures> LastLoad() override;

  // The check (CheckSource).
  void CheckTransaction(const std::function<void()>& work) override;
  void MachineRows(const std::function<void(const MachineCheckRow&)>& row) override;
  std::vector<std::pair<MachineId, Time>> ScanStartIds() override;
  std::vector<std::pair<PathId, NameId>> PathNames() override;
  void Intervals(const std::function<void(const IntervalRow&)>& row) override;
  std::optional<StoredLatest> Latest(MachineId machine) override;
  void OpenEntries(MachineId machine, std::vector<Entry>* open) override;
  std::string PathText(PathId path) override;
  std::string VersionText(VersionId version) override;
  void KeptHolds(const std::function<void(MachineId, std::string_view)>& row) override;
  void KeptMixed(const std::function<void(MachineId, std::string_view)>& row) override;
  std::vector<std::pair<CountKey, std::int64_t>> KeptCounts() override;
  std::string NameText(NameId name) override;
  void DatabaseCheck(const std::function<void(const std::string&)>& fault,
                     const std::function<void(const std::string&)>& note) override;
  void Repair(const CheckRepair& repair) override;

 private:
  // The load's statements (sqlite_load.cpp), prepared on first use.
  struct LoadStatements;
  struct DropStatements {
    void operator()(LoadStatements* statements) const;
  };
  LoadStatements& Statements();
  void InternPaths(const std::vector<std::string_view>& paths, std::vector<PathId>* ids);
  void InternVersions(const std::vector<std::uint64_t>& values, std::vector<VersionId>* ids);
  NameId InternName(const std::string& key);
  void Write(const FileWrite& write);
  // The names of the paths `write` adds to or takes from its machine's inventory.
  std::unordered_map<PathId, NameId> NamesOf(const FileWrite& write);

  Db db_;
  std::vector<std::unique_ptr<Store>> twins_;
  std::unique_ptr<LoadStatements, DropStatements> load_;
  IdCache ids_;
  CountKeeper counts_;
};

// A reader and `twins` twins, which begin their reads while a child process
// holds the write lock: SQLite can't hand a snapshot from one connection to
// another, so no commit may come between. Where the lock can't be had, the
// reader alone (Twin gives none).
std::unique_ptr<Store> OpenTwinnedReader(const std::string& path, int twins);

}  // namespace vurfleet::sqlite
