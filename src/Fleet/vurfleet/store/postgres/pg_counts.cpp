#include "store/postgres/pg_counts.h"

#include <string>

namespace vurfleet::pg {
namespace {

// Any key, the same in every vurfleet: one session folds at a time.
constexpr std::int64_t kFoldLock = 0x7675726663746e73;  // "vurfctns"

constexpr int kFetched = 100000;

// A row of holds (machine_id, entries) in COPY's text form.
void CopyHolds(std::string* data, std::int64_t machine, const std::vector<Held>& holds) {
  *data += std::to_string(machine);
  *data += '\t';
  CopyField(data, HexBytes(EncodeHolds(holds)));
  *data += '\n';
}

}  // namespace

CountChanges RecountOpen(Connection& conn,
                         const std::function<void(std::int64_t, const std::vector<Held>&)>& machine_done) {
  Recount recount;
  recount.machine_done = machine_done;
  conn.Run("DECLARE vurfleet_open NO SCROLL CURSOR FOR "
           "SELECT i.machine_id, p.name_id, i.version_id FROM intervals i JOIN paths p ON p.id = i.path_id "
           "WHERE i.until IS NULL ORDER BY i.machine_id");
  while (true) {
    Result r = conn.Exec("FETCH " + std::to_string(kFetched) + " FROM vurfleet_open");
    for (int k = 0; k < r.rows(); ++k) recount.Add(r.Int(k, 0), r.Int(k, 1), r.Int(k, 2));
    if (r.rows() < kFetched) break;
  }
  conn.Run("CLOSE vurfleet_open");
  recount.Finish();
  return std::move(recount.counts);
}

void WriteRecount(Connection& conn) {
  conn.Run("DELETE FROM holds; DELETE FROM mixed_holds; DELETE FROM counts; DELETE FROM count_changes");
  // The holds copied in pieces of some megabytes.
  std::string data, mixed;
  const auto flush = [&] {
    if (!data.empty()) conn.Copy("COPY holds (machine_id, entries) FROM STDIN", data);
    if (!mixed.empty()) conn.Copy("COPY mixed_holds (machine_id, entries) FROM STDIN", mixed);
    data.clear();
    mixed.clear();
  };
  CountChanges counts = RecountOpen(conn, [&](std::int64_t machine, const std::vector<Held>& holds) {
    CopyHolds(&data, machine, holds);
    if (const std::vector<Held> its = MixedHolds(holds); !its.empty()) CopyHolds(&mixed, machine, its);
    if (data.size() > (8 << 20)) flush();
  });
  flush();
  std::string rows;
  for (const auto& [key, machines] : counts.InKeyOrder()) {
    rows += std::to_string(key.first) + '\t' + std::to_string(key.second) + '\t' + std::to_string(machines) + '\n';
  }
  if (!rows.empty()) conn.Copy("COPY counts (name_id, version_id, machines) FROM STDIN", rows);
}

std::vector<Held> MachineHolds(Connection& conn, std::int64_t machine) {
  const std::string id = std::to_string(machine);
  {
    Result r = conn.Repeat("SELECT entries FROM holds WHERE machine_id = $1", {id});
    if (r.rows() > 0) {
      if (auto holds = DecodeHolds(r.Bytes(0, 0))) return std::move(*holds);
    }
  }
  Recount recount;
  std::vector<Held> out;
  recount.machine_done = [&](std::int64_t, const std::vector<Held>& holds) { out = holds; };
  Result r = conn.Repeat("SELECT p.name_id, i.version_id FROM intervals i JOIN paths p ON p.id = i.path_id "
                         "WHERE i.machine_id = $1 AND i.until IS NULL",
                         {id});
  for (int k = 0; k < r.rows(); ++k) recount.Add(machine, r.Int(k, 0), r.Int(k, 1));
  recount.Finish();
  return out;
}

void WriteMixed(Connection& conn, std::int64_t machine, const std::vector<Held>& mixed) {
  if (mixed.empty()) {
    conn.Repeat("DELETE FROM mixed_holds WHERE machine_id = $1", {std::to_string(machine)});
  } else {
    conn.Repeat("INSERT INTO mixed_holds (machine_id, entries) VALUES ($1, $2::bytea) "
                "ON CONFLICT (machine_id) DO UPDATE SET entries = EXCLUDED.entries",
                {std::to_string(machine), HexBytes(EncodeHolds(mixed))});
  }
}

void MixedFromHolds(Connection& conn) {
  conn.Run("DELETE FROM mixed_holds");
  std::string mixed;
  conn.Run("DECLARE vurfleet_mixed NO SCROLL CURSOR FOR SELECT machine_id, entries FROM holds");
  while (true) {
    Result r = conn.Exec("FETCH 500 FROM vurfleet_mixed");
    for (int k = 0; k < r.rows(); ++k) {
      if (const auto holds = DecodeHolds(r.Bytes(k, 1))) {
        const std::vector<Held> its = MixedHolds(*holds);
        if (!its.empty()) CopyHolds(&mixed, r.Int(k, 0), its);
      }
    }
    if (r.rows() < 500) break;
  }
  conn.Run("CLOSE vurfleet_mixed");
  if (!mixed.empty()) conn.Copy("COPY mixed_holds (machine_id, entries) FROM STDIN", mixed);
}

void AppendCounts(Connection& conn, const CountChanges& changes) {
  if (changes.empty()) return;
  std::string data;
  for (const auto& [key, change] : changes.InKeyOrder()) {
    data += std::to_string(key.first) + '\t' + std::to_string(key.second) + '\t' + std::to_string(change) + '\n';
  }
  conn.Copy("COPY count_changes (name_id, version_id, change) FROM STDIN", data);
}

bool FoldCounts(Connection& conn) {
  Transaction transaction(conn);
  if (!conn.Exec("SELECT pg_try_advisory_xact_lock($1)", {std::to_string(kFoldLock)}).Bool(0, 0)) return false;
  // In key order, as every fold: the rows it updates are locked in one order.
  conn.Run("WITH folded AS (DELETE FROM count_changes RETURNING name_id, version_id, change) "
           "INSERT INTO counts (name_id, version_id, machines) "
           "SELECT name_id, version_id, sum(change) FROM folded GROUP BY name_id, version_id "
           "ORDER BY name_id, version_id "
           "ON CONFLICT (name_id, version_id) DO UPDATE SET machines = counts.machines + EXCLUDED.machines");
  transaction.Commit();
  return true;
}

void VacuumFolded(Connection& conn) {
  // Every row folded is now dead, and every reader's look at the changes
  // reads them until a vacuum: after a first load of 1 000 machines, 35 MB
  // and half of each report's time. Another session's vacuum of the table
  // is not waited for.
  conn.Run("VACUUM (SKIP_LOCKED) count_changes");
}

}  // namespace vurfleet::pg
