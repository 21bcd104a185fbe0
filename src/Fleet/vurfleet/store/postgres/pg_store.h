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

#include <memory>
#include <string>
#include <vector>

#include "base/id_table.h"
#include "history/history.h"
#include "store/postgres/pg.h"
#include "store/store.h"

namespace vurfleet::pg {

class PgStore : public Store {
 public:
  PgStore(const std::string& where, bool create);

  std::optional<StoredFile> FindFile(const std::string& sha256) override;
  LoadResult Load(const ScanFile& file) override;
  void Find(const FindQuery& query, const std::function<void(const FindRow&)>& row) override;
  void Changes(const ChangesQuery& query, const std::function<void(const ChangeRow&)>& row) override;
  void Machines(const std::function<void(const MachineRow&)>& row) override;
  void Programs(int top, const std::function<void(const ProgramRow&)>& row) override;
  void Holdings(const std::vector<Glob>& names,
                const std::function<void(const HoldingRow&)>& row) override;

 private:
  LoadResult LoadInTransaction(const ScanFile& file);
  std::vector<Entry> Identify(const Scan& scan);
  std::vector<Entry> OpenEntries(std::int64_t machine);
  MachineHistory StoredHistory(std::int64_t machine);
  std::vector<StoredScan> StoredScans(std::int64_t machine);
  void WriteOpened(std::int64_t machine, const std::vector<Interval>& rows);
  void WriteChanges(std::int64_t machine, const HistoryChanges& changes);
  std::string PathKey(PathId path);
  void ForgetIds();

  Connection conn_;
  // Ids of paths and versions met, bounded. Rows are never deleted, so an
  // id once committed stays right; ids a transaction added are forgotten
  // when it does not commit.
  IdTable path_ids_;
  IdTable version_ids_;  // keyed by the version's 8 bytes
  bool new_ids_ = false;
};

}  // namespace vurfleet::pg
