// The check's reads and the repair's write (store/check_source.h) on
// PostgreSQL, and amcheck's check of every B-tree index of the inventory.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/postgres/pg_counts.h"
#include "store/postgres/pg_store.h"
#include "store/stored.h"

namespace vurfleet::pg {

void PgStore::CheckTransaction(const std::function<void()>& work) {
  // The check's statements each read a whole table once: compiling them
  // costs more than it saves.
  const char* const kNoJit = "SET LOCAL jit = off";
  if (conn_.in_transaction()) {  // a reader's snapshot
    conn_.Run(kNoJit);
    return work();
  }
  Transaction transaction(conn_);
  conn_.Run(kNoJit);
  // Loads write both tables in every file's batch: once the lock is held,
  // none commits until the repair has, and each statement reads what the
  // loads before it committed.
  conn_.Run("LOCK TABLE machines, latest IN SHARE ROW EXCLUSIVE MODE");
  work();
  transaction.Commit();
}

void PgStore::MachineRows(const std::function<void(const MachineCheckRow&)>& row) {
  Result r = conn_.Exec("SELECT m.id, m.name, m.files, l.machine_id IS NOT NULL FROM machines m "
                        "LEFT JOIN latest l ON l.machine_id = m.id");
  for (int k = 0; k < r.rows(); ++k) row(MachineCheckRow{r.Int(k, 0), std::string(r.Text(k, 1)), r.Int(k, 2), r.Bool(k, 3)});
}

std::vector<std::pair<MachineId, Time>> PgStore::ScanStartIds() {
  std::vector<std::pair<MachineId, Time>> starts;
  conn_.CopyOut("COPY (SELECT machine_id, started FROM scans ORDER BY machine_id, started) TO STDOUT",
                [&](std::string_view line) {
                  const auto f = CopyInts<2>(line);
                  starts.emplace_back(f[0].value_or(0), f[1].value_or(0));
                });
  return starts;
}

std::vector<std::pair<PathId, NameId>> PgStore::PathNames() {
  std::vector<std::pair<PathId, NameId>> names;
  conn_.CopyOut("COPY (SELECT id, name_id FROM paths ORDER BY id) TO STDOUT", [&](std::string_view line) {
    const auto f = CopyInts<2>(line);
    names.emplace_back(f[0].value_or(0), f[1].value_or(0));
  });
  return names;
}

void PgStore::Intervals(const std::function<void(const IntervalRow&)>& row) {
  // One stream in the key's order, read from its index: a cursor's fetches
  // would each cost a round trip, and the check needs every row.
  conn_.CopyOut("COPY (SELECT machine_id, path_id, since, until, version_id FROM intervals "
                "ORDER BY machine_id, path_id, since) TO STDOUT",
                [&](std::string_view line) {
                  const auto f = CopyInts<5>(line);
                  row(IntervalRow{f[0].value_or(0), f[1].value_or(0), f[2].value_or(0), f[3], f[4].value_or(0)});
                });
}

std::optional<StoredLatest> PgStore::Latest(MachineId machine) {
  Result r = conn_.Exec("SELECT exact, runs FROM latest WHERE machine_id = $1", {std::to_string(machine)});
  if (r.rows() == 0) return std::nullopt;
  return StoredLatest{r.Bool(0, 0), r.Bytes(0, 1)};
}

void PgStore::OpenEntries(MachineId machine, std::vector<Entry>* open) { ReadOpen(machine, open); }

std::string PgStore::PathText(PathId path) {
  Result r = conn_.Exec("SELECT path FROM paths WHERE id = $1", {std::to_string(path)});
  return r.rows() > 0 ? std::string(r.Text(0, 0)) : "#" + std::to_string(path);
}

std::string PgStore::VersionText(VersionId version) {
  Result r = conn_.Exec("SELECT value FROM versions WHERE id = $1", {std::to_string(version)});
  return r.rows() > 0 ? VersionFrom(r, 0, 0).ToString() : "#" + std::to_string(version);
}

void PgStore::DatabaseCheck(const std::function<void(const std::string&)>& fault,
                            const std::function<void(const std::string&)>& note) {
  // CREATE EXTENSION on a connection of its own: a reader's session can
  // write nothing, and a failure there leaves this transaction standing.
  // It needs the right to create in the database (a superuser's, or the
  // extension trusted); without it, the check says so and goes on.
  if (conn_.Exec("SELECT 1 FROM pg_extension WHERE extname = 'amcheck'").rows() == 0) {
    try {
      Connection admin(where_);
      admin.Run("CREATE EXTENSION IF NOT EXISTS amcheck");
    } catch (const StoreError& e) {
      note("amcheck not run: CREATE EXTENSION IF NOT EXISTS amcheck failed: " + OneLine(e.what()));
      return;
    }
  }
  // Every B-tree index of the inventory's schema's tables.
  Result indexes = conn_.Exec(
      "SELECT c.oid::regclass::text FROM pg_index i JOIN pg_class c ON c.oid = i.indexrelid "
      "JOIN pg_am a ON a.oid = c.relam JOIN pg_class t ON t.oid = i.indrelid "
      "WHERE a.amname = 'btree' AND t.relnamespace = "
      "(SELECT relnamespace FROM pg_class WHERE oid = 'machines'::regclass) ORDER BY 1");
  int checked = 0;
  for (int k = 0; k < indexes.rows(); ++k) {
    const std::string index(indexes.Text(k, 0));
    conn_.Run("SAVEPOINT vurfleet_amcheck");
    try {
      conn_.Exec("SELECT bt_index_check($1::regclass)", {index});
      conn_.Run("RELEASE SAVEPOINT vurfleet_amcheck");
      ++checked;
    } catch (const StoreError& e) {
      const bool missing = conn_.failed_state() == "42883";  // undefined_function
      conn_.ClearFailure();
      conn_.Run("ROLLBACK TO SAVEPOINT vurfleet_amcheck");
      if (missing) {
        note("amcheck not run: bt_index_check is not found: " + OneLine(e.what()));
        return;
      }
      fault("amcheck's bt_index_check on " + index + ": " + OneLine(e.what()));
    }
  }
  if (checked == indexes.rows()) note("amcheck's bt_index_check: " + std::to_string(checked) + " indexes ok");
}

void PgStore::Repair(const CheckRepair& repair) {
  if (!repair.drop_latest.empty()) {
    conn_.Exec("DELETE FROM latest WHERE machine_id = ANY($1::bigint[])",
               {IntArray(repair.drop_latest, [](MachineId id) { return id; })});
  }
  if (!repair.files.empty()) {
    conn_.Exec("UPDATE machines m SET files = f.files FROM unnest($1::bigint[], $2::bigint[]) AS f(id, files) "
               "WHERE m.id = f.id",
               {IntArray(repair.files, [](const auto& f) { return f.first; }),
                IntArray(repair.files, [](const auto& f) { return f.second; })});
  }  if (repair.recount) WriteRecount(conn_);
}

void PgStore::KeptHolds(const std::function<void(MachineId, std::string_view)>& row) {
  // In pieces: the blobs of 10 000 machines are some hundred megabytes.
  conn_.Run("DECLARE vurfleet_holds NO SCROLL CURSOR FOR SELECT machine_id, entries FROM holds");
  while (true) {
    Result r = conn_.Exec("FETCH 500 FROM vurfleet_holds");
    for (int k = 0; k < r.rows(); ++k) row(r.Int(k, 0), r.Bytes(k, 1));
    if (r.rows() < 500) break;
  }
  conn_.Run("CLOSE vurfleet_holds");
}

void PgStore::KeptMixed(const std::function<void(MachineId, std::string_view)>& row) {
  Result r = conn_.Exec("SELECT machine_id, entries FROM mixed_holds");
  for (int k = 0; k < r.rows(); ++k) row(r.Int(k, 0), r.Bytes(k, 1));
}

std::vector<std::pair<CountKey, std::int64_t>> PgStore::KeptCounts() {
  Result r = conn_.Exec(std::string("SELECT name_id, version_id, machines FROM ") + kCountsNow +
                        " c WHERE machines <> 0 ORDER BY name_id, version_id");
  std::vector<std::pair<CountKey, std::int64_t>> counts;
  counts.reserve(static_cast<std::size_t>(r.rows()));
  for (int k = 0; k < r.rows(); ++k) counts.push_back({{r.Int(k, 0), r.Int(k, 1)}, r.Int(k, 2)});
  return counts;
}

std::string PgStore::NameText(NameId name) {
  Result r = conn_.Exec("SELECT name_key FROM names WHERE id = $1", {std::to_string(name)});
  return r.rows() > 0 ? std::string(r.Text(0, 0)) : "#" + std::to_string(name);
}

}  // namespace vurfleet::pg
