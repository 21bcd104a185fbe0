// The inventory in a PostgreSQL database: the SQLite store's tables and
// answers, for a fleet that several collectors load at once while others
// query it.
//
// A load fetches what its group's files need ahead (pg_expected.h), copies
// the new lines into a temporary table and merges them with a few
// set-based statements (pg_intern.cpp), and writes each file's batch with
// COPY and statements over arrays (pg_store.cpp). What a scan means is the
// procedure's (load/procedure.h). One machine's loads are serialised by an
// advisory lock on its name, held to the end of the group's transaction;
// loads of other machines go on side by side.
#pragma once

#include <memory>
#include <unordered_map>
#include <string>
#include <vector>

#include "history/history.h"
#include "store/counts.h"
#include "store/id_cache.h"
#include "store/postgres/pg_db.h"
#include "store/postgres/pg_expected.h"
#include "store/store.h"

namespace vurfleet::pg {

// A stored version read from a query's column: NULL is <none>.
Version VersionFrom(const Result& r, int row, int column);

class PgStore : public Store {
 public:
  // `snapshot`: for a reader, one exported by another reader (Twin).
  PgStore(const std::string& where, Access access, const std::string& snapshot = "");

  std::string Description() const override { return conn_.description(); }
  std::unique_ptr<Store> Twin() override;

  // LoadTarget.
  void BeginGroup(const std::vector<std::string>& machines) override;
  void CommitGroup() override;
  void AbandonGroup() override;
  void Settle() override;
  void Expect(const std::vector<const ScanFile*>& files) override;
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
  // BeginFile's reads beyond what the group fetched.
  void ReadOpen(MachineId machine, std::vector<Entry>* open);
  void ReadKeys(const char* sql, MachineId machine, std::unordered_map<PathId, std::string>* keys);
  void ReadWhole(MachineId machine, StoredForFile* stored);
  // EndFile's writes (pg_store.cpp), the scan's returning its id.
  void Write(const FileWrite& write);
  void WriteChanges(const std::string& machine, const HistoryChanges& changes);
  std::int64_t AddScan(const std::string& machine, const ScanRow& scan);
  void CopyErrors(std::int64_t scan_id, const ScanRow& scan);
  // A new machine's rows but its intervals, given its holds when counted,
  // and `latest` (HexBytes) when written whole; returns its id.
  MachineId WriteNew(const FileWrite& write, const std::vector<Held>* holds, const std::string& latest);
  // Interning (pg_intern.cpp).
  void InternPaths(const std::vector<std::string_view>& paths, std::vector<PathId>* ids);
  void InternVersions(const std::vector<std::uint64_t>& values, std::vector<VersionId>* ids);
  // Adds the paths not stored, and keeps every one's id in group_paths_.
  void StagePaths(const std::vector<std::string_view>& paths);
  // The names of the paths `write` adds to or takes from its machine's inventory.
  std::unordered_map<PathId, NameId> NamesOf(const FileWrite& write);

  std::string where_;  // the database as given: the check's second connection, a twin's
  bool reader_;
  Connection conn_;
  IdCache ids_;
  ExpectedFiles expected_;
  // Ids of the paths the group staged: its own, beside the bounded cache,
  // so that a group's lines are staged once however many they are.
  std::unordered_map<std::string, PathId> group_paths_;
  bool staged_in_file_ = false;  // the current file staged paths
  // Each file's writes lie in a savepoint taken before its first write and
  // released with the next file's: one round trip a file, none for a file
  // that writes nothing, and the server may still be storing a file's
  // intervals (Connection::CopyAhead) while the next file is worked out.
  void Savepoint();
  void ForgetSavepoints() { in_file_ = file_saved_ = stored_saved_ = false; }
  bool in_file_ = false;       // between BeginFile and EndFile
  bool file_saved_ = false;    // the current file took its savepoint
  bool stored_saved_ = false;  // the savepoint of a file stored is not released yet
  CountKeeper counts_;
};

}  // namespace vurfleet::pg
