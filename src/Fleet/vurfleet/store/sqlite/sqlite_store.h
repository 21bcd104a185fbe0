// The inventory in one SQLite file.
//
// Paths and versions are interned; a machine's history is kept as intervals
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

 private:
  struct LoadStatements;

  void OpenSchema(bool create);
  LoadResult LoadInTransaction(const ScanFile& file);
  PathId InternPath(std::string_view path);
  VersionId InternVersion(const Version& version);
  std::string PathKey(PathId path);
  std::vector<Interval> OpenIntervals(std::int64_t machine);
  MachineHistory StoredHistory(std::int64_t machine);
  std::vector<StoredScan> StoredScans(std::int64_t machine);
  void WriteChanges(std::int64_t machine, const HistoryChanges& changes);

  Db db_;
  std::unique_ptr<LoadStatements> load_;
  // Ids of paths and versions stored by committed transactions. Bounded:
  // when full it is emptied, so memory stays flat however large the fleet.
  std::unordered_map<std::string, PathId> path_ids_;
  std::unordered_map<std::uint64_t, VersionId> version_ids_;
  // Those added by the transaction under way; joined to the above on commit.
  std::vector<std::pair<std::string, PathId>> new_paths_;
  std::vector<std::pair<std::uint64_t, VersionId>> new_versions_;
};

}  // namespace vurfleet::sqlite
