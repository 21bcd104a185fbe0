// The inventory in one SQLite file.
//
// Paths and versions are interned (paths found by a stable hash of their
// text, then compared); a machine's history is kept as intervals
// of (path, version) over its scans, clustered by machine, so that a load
// appends to one machine's rows and a query by file name seeks each
// machine's rows for the few paths of that name. Versions are stored as
// one 64-bit number, order kept (see VersionValue); <none> is the version
// of id 0 and has no number.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "history/history.h"
#include "store/sqlite/db.h"
#include "store/sqlite/latest.h"
#include "base/id_table.h"
#include "store/store.h"

namespace vurfleet::sqlite {

// The stored number of a version: its 64 bits with the top one flipped, so
// that SQLite's signed order is the versions' order.
inline std::int64_t VersionValue(std::uint64_t version) {
  return static_cast<std::int64_t>(version ^ (std::uint64_t{1} << 63));
}
inline std::uint64_t VersionOfValue(std::int64_t value) {
  return static_cast<std::uint64_t>(value) ^ (std::uint64_t{1} << 63);
}

class SqliteStore : public Store {
 public:
  SqliteStore(const std::string& path, bool create);
  ~SqliteStore() override;

  std::optional<StoredFile> FindFile(const std::string& sha256) override;
  LoadResult Load(const ScanFile& file) override;
  void Find(const FindQuery& query, const std::function<void(const FindRow&)>& row) override;
  void Changes(const ChangesQuery& query, const std::function<void(const ChangeRow&)>& row) override;
  void Machines(const std::function<void(const MachineRow&)>& row) override;
  void Programs(int top, const std::function<void(const ProgramRow&)>& row) override;
  void Holdings(const std::vector<Glob>& names,
                const std::function<void(const HoldingRow&)>& row) override;

 private:
  struct LoadStatements;

  LoadStatements& Statements();
  LoadResult LoadInTransaction(const ScanFile& file);
  void ForgetIds();
  PathId InternPath(std::string_view path);
  VersionId InternVersion(const Version& version);
  std::string PathKey(PathId path);
  // Which report lines repeat a run of the latest scan, and which of its
  // runs they repeat.
  struct Repeats {
    std::vector<bool> line;
    std::vector<bool> run;
  };
  // The scan's entries in file order: repeated runs from `latest`, the
  // other lines looked up (and stored when new).
  std::vector<Entry> Identify(const Scan& scan, const std::vector<LineRun>& runs,
                              const Latest* latest, Repeats* repeats);
  static AppendChanges ChangedRuns(const Latest& latest, const std::vector<Entry>& now,
                                   const Repeats& repeats);
  std::optional<Latest> ReadLatest(std::int64_t machine);
  void WriteLatest(std::int64_t machine, const std::vector<LineRun>& runs,
                   const std::vector<Entry>& entries, bool exact, const Latest* old);
  std::vector<Entry> OpenEntries(std::int64_t machine);
  MachineHistory StoredHistory(std::int64_t machine);
  std::vector<StoredScan> StoredScans(std::int64_t machine);
  void WriteChanges(std::int64_t machine, const HistoryChanges& changes);

  Db db_;
  std::unique_ptr<LoadStatements> load_;
  // Ids of paths and versions met, bounded so that memory stays flat. Ids
  // a transaction adds are held at once; if it does not commit, both are
  // emptied, so that no id of a rolled-back row is ever used.
  IdTable path_ids_;
  IdTable version_ids_;  // keyed by the version's 8 bytes
  bool new_ids_ = false;
};

}  // namespace vurfleet::sqlite
