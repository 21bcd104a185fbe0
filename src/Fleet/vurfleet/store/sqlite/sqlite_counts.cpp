#include "store/sqlite/sqlite_counts.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vurfleet::sqlite {

CountChanges RecountOpen(Db& db, const std::function<void(std::int64_t, const std::vector<Held>&)>& machine_done) {
  // Every path's name in memory first: joined, each open interval would
  // seek into paths.
  std::vector<std::pair<PathId, NameId>> names;
  {
    Statement s(db, "SELECT id, name_id FROM paths ORDER BY id");
    while (s.Step()) names.emplace_back(s.Int(0), s.Int(1));
  }
  const NameOfPath name_of(std::move(names));
  Recount recount;
  recount.machine_done = machine_done;
  // The intervals' key begins with the machine: its rows come together. An
  // interval of a path not stored is left out, as a join would leave it.
  Statement s(db, "SELECT machine_id, path_id, version_id FROM intervals WHERE until IS NULL ORDER BY machine_id");
  while (s.Step()) {
    if (const std::optional<NameId> name = name_of(s.Int(1))) recount.Add(s.Int(0), *name, s.Int(2));
  }
  recount.Finish();
  return std::move(recount.counts);
}

void WriteRecount(Db& db) {
  db.Exec("DELETE FROM holds; DELETE FROM mixed_holds; DELETE FROM counts");
  Statement write(db, "INSERT INTO holds (machine_id, entries) VALUES (?1, ?2)");
  AddCounts(db, RecountOpen(db, [&](std::int64_t machine, const std::vector<Held>& holds) {
              write.Bind(1, machine).BindBlob(2, EncodeHolds(holds)).Run();
              WriteMixed(db, machine, MixedHolds(holds));
            }));
}

void WriteMixed(Db& db, std::int64_t machine, const std::vector<Held>& mixed) {
  if (mixed.empty()) {
    Statement(db, "DELETE FROM mixed_holds WHERE machine_id = ?1").Bind(1, machine).Run();
  } else {
    Statement(db, "INSERT OR REPLACE INTO mixed_holds (machine_id, entries) VALUES (?1, ?2)")
        .Bind(1, machine)
        .BindBlob(2, EncodeHolds(mixed))
        .Run();
  }
}

void MixedFromHolds(Db& db) {
  db.Exec("DELETE FROM mixed_holds");
  std::vector<std::pair<std::int64_t, std::vector<Held>>> mixed;
  {
    Statement s(db, "SELECT machine_id, entries FROM holds");
    while (s.Step()) {
      if (const auto holds = DecodeHolds(s.Blob(1))) {
        std::vector<Held> its = MixedHolds(*holds);
        if (!its.empty()) mixed.emplace_back(s.Int(0), std::move(its));
      }
    }
  }
  for (const auto& [machine, its] : mixed) WriteMixed(db, machine, its);
}

std::vector<Held> MachineHolds(Db& db, std::int64_t machine) {
  {
    Statement s(db, "SELECT entries FROM holds WHERE machine_id = ?1");
    s.Bind(1, machine);
    if (s.Step()) {
      if (auto holds = DecodeHolds(s.Blob(0))) return std::move(*holds);
    }
  }
  Recount recount;
  std::vector<Held> out;
  recount.machine_done = [&](std::int64_t, const std::vector<Held>& holds) { out = holds; };
  Statement s(db,
              "SELECT p.name_id, i.version_id FROM intervals i JOIN paths p ON p.id = i.path_id "
              "WHERE i.machine_id = ?1 AND i.until IS NULL");
  s.Bind(1, machine);
  while (s.Step()) recount.Add(machine, s.Int(0), s.Int(1));
  recount.Finish();
  return out;
}

void AddCounts(Db& db, const CountChanges& changes) {
  if (changes.empty()) return;
  // Many rows a statement: a first load changes a count for most of its lines.
  constexpr int kRows = 64;
  const auto upsert = [&](int rows) {
    std::string sql = "INSERT INTO counts (name_id, version_id, machines) VALUES (?, ?, ?)";
    for (int r = 1; r < rows; ++r) sql += ", (?, ?, ?)";
    return sql + " ON CONFLICT (name_id, version_id) DO UPDATE SET machines = machines + excluded.machines";
  };
  Statement many(db, upsert(kRows).c_str());
  Statement one(db, upsert(1).c_str());
  const auto rows = changes.InKeyOrder();
  std::size_t k = 0;
  const auto bind = [&](Statement& s, int first, std::size_t at) {
    s.Bind(first, rows[at].first.first).Bind(first + 1, rows[at].first.second).Bind(first + 2, rows[at].second);
  };
  for (; k + kRows <= rows.size(); k += kRows) {
    for (int r = 0; r < kRows; ++r) bind(many, 1 + 3 * r, k + static_cast<std::size_t>(r));
    many.Run();
  }
  for (; k < rows.size(); ++k) {
    bind(one, 1, k);
    one.Run();
  }
}

}  // namespace vurfleet::sqlite
