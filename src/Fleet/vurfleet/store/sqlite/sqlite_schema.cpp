#include "store/sqlite/sqlite_schema.h"

#include <map>
#include <string>
#include <vector>

#include "base/text.h"
#include "store/merge.h"
#include "store/sqlite/sqlite_counts.h"
#include "store/stored.h"
#include "store/writer.h"

namespace vurfleet::sqlite {
namespace {

// Times are wall-clock seconds (base/time.h). A machine's history is its
// intervals: (path, version) held from the scan starting at `since` up to,
// not including, the one starting at `until` (NULL: it still holds). Only
// changes add intervals, so an unchanged scan costs one row in `scans`.
// `kept` holds what a scan kept without reporting it (an unfinished run, a
// folder it could not walk), which recovers what each scan reported when a
// late scan makes the history be worked out again.
// What the load keeps counted (store/counts.h): machines holding a name
// now (version_id -1), at two versions or more (-2), or at a version; and
// each machine's holds. Made with the schema, and by the upgrade to it.
constexpr const char* kCountTables = R"sql(
CREATE TABLE counts (
  name_id INTEGER NOT NULL,
  version_id INTEGER NOT NULL,
  machines INTEGER NOT NULL,
  PRIMARY KEY (name_id, version_id)
) WITHOUT ROWID;
CREATE TABLE holds (
  machine_id INTEGER PRIMARY KEY,
  entries BLOB NOT NULL
);
)sql";

// Each machine's holds of the names it holds at two versions or more
// (MixedHolds): no row while it holds none so. Made with the schema, and
// by the upgrade to it.
constexpr const char* kMixedTable = R"sql(
CREATE TABLE mixed_holds (
  machine_id INTEGER PRIMARY KEY,
  entries BLOB NOT NULL
);
)sql";

// What the last load did with its files (Store::LoadFigures): one row, or
// none before the first load ends. Made with the schema, and by the upgrade
// to it.
constexpr const char* kLoadTable = R"sql(
CREATE TABLE last_load (
  stored INTEGER NOT NULL,
  already_loaded INTEGER NOT NULL,
  refused INTEGER NOT NULL,
  finished INTEGER NOT NULL         -- seconds since 1970 (UTC)
);
)sql";

constexpr const char* kSchema = R"sql(
CREATE TABLE machines (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,        -- upper case
  name_key TEXT NOT NULL,           -- lower case, for patterns
  first_started INTEGER NOT NULL,
  last_started INTEGER NOT NULL,
  files INTEGER NOT NULL            -- entries of the inventory after the last scan
);
CREATE TABLE scans (
  id INTEGER PRIMARY KEY,
  machine_id INTEGER NOT NULL REFERENCES machines (id),
  started INTEGER NOT NULL,
  completed INTEGER,                -- NULL: the run did not finish
  sha256 BLOB NOT NULL,
  file TEXT NOT NULL,
  report_lines INTEGER NOT NULL,
  error_lines INTEGER NOT NULL,
  loaded INTEGER NOT NULL,          -- when loaded, seconds since 1970 (UTC)
  UNIQUE (machine_id, started)
);
-- The same bytes are one machine's scan once; under another machine's
-- name they are that machine's (cloned desktops write identical files).
CREATE UNIQUE INDEX scans_by_sha256 ON scans (machine_id, sha256);
CREATE TABLE scan_errors (
  scan_id INTEGER NOT NULL,
  line INTEGER NOT NULL,
  text TEXT NOT NULL,
  PRIMARY KEY (scan_id, line)
) WITHOUT ROWID;
CREATE TABLE names (
  id INTEGER PRIMARY KEY,
  name_key TEXT NOT NULL UNIQUE     -- a file name, lower case
);
CREATE TABLE paths (
  id INTEGER PRIMARY KEY,
  hash INTEGER NOT NULL,            -- StableHash(path): an index of 8 bytes, not of the text
  path TEXT NOT NULL,
  name_id INTEGER NOT NULL,         -- the file name, as names holds it
  name_key TEXT NOT NULL            -- the same, lower case
);
CREATE INDEX paths_by_hash ON paths (hash);
CREATE INDEX paths_by_name ON paths (name_key);
CREATE TABLE versions (
  id INTEGER PRIMARY KEY,
  value INTEGER UNIQUE              -- NULL for <none>, id 0
);
INSERT INTO versions (id, value) VALUES (0, NULL);
CREATE TABLE intervals (
  machine_id INTEGER NOT NULL,
  path_id INTEGER NOT NULL,
  since INTEGER NOT NULL,
  version_id INTEGER NOT NULL,
  until INTEGER,
  opened INTEGER NOT NULL,          -- 1: came or changed at `since`, not the first scan
  PRIMARY KEY (machine_id, path_id, since)
) WITHOUT ROWID;
-- The changes: intervals that end, and intervals that begin after a
-- machine's first scan. Both are few, so these indexes cost little.
CREATE INDEX intervals_ended ON intervals (until) WHERE until IS NOT NULL;
CREATE INDEX intervals_opened ON intervals (since) WHERE opened;
-- Each machine's latest scan as runs of report lines (see latest.h): a
-- cache that lets the next load skip the lines it repeats.
CREATE TABLE latest (
  machine_id INTEGER PRIMARY KEY,
  exact INTEGER NOT NULL,           -- 1: the runs' entries are the whole inventory
  runs BLOB NOT NULL
);
CREATE TABLE written_by (version TEXT NOT NULL);  -- the vurfleet that made the schema
CREATE TABLE kept (
  machine_id INTEGER NOT NULL,
  scan INTEGER NOT NULL,            -- the scan's start
  path_id INTEGER NOT NULL,
  PRIMARY KEY (machine_id, scan, path_id)
) WITHOUT ROWID;
)sql";

int PragmaInt(Db& db, const char* sql) {
  Statement statement(db, sql);
  return statement.Step() ? static_cast<int>(statement.Int(0)) : 0;
}

// The version of the vurfleet that made the schema, when it says.
std::string WrittenBy(Db& db) {
  if (PragmaInt(db, "SELECT count(*) FROM sqlite_schema WHERE name = 'written_by' AND type = 'table'") == 0) {
    return "";
  }
  Statement s(db, "SELECT version FROM written_by");
  return s.Step() ? std::string(s.Text(0)) : "";
}

void NoteWriter(Db& db) {
  db.Exec("CREATE TABLE IF NOT EXISTS written_by (version TEXT NOT NULL); DELETE FROM written_by");
  Statement(db, "INSERT INTO written_by (version) VALUES (?1)").Bind(1, std::string_view(kWriterVersion)).Run();
}


std::vector<std::pair<std::int64_t, std::string>> StoredMachines(Db& db) {
  std::vector<std::pair<std::int64_t, std::string>> machines;
  Statement s(db, "SELECT id, name FROM machines ORDER BY name");
  while (s.Step()) machines.emplace_back(s.Int(0), std::string(s.Text(1)));
  return machines;
}

// A table of the upgrade's own name left in the file (by a tool, or by
// hand) would make it fail halfway: said before, to a reader too, instead
// of SQLite's bare text.
void CheckUpgradable(Db& db) {
  if (PragmaInt(db, "SELECT count(*) FROM sqlite_schema WHERE name = 'scans_2'") > 0) {
    throw StoreError(db.path() + ": can't upgrade this inventory to schema " + std::to_string(kSchemaVersion) +
                     ": the file holds a table scans_2 that no vurfleet made; take it out "
                     "(DROP TABLE scans_2) after checking what it is, and load again");
  }
}

// Schema 1 to 2, in the caller's transaction: a scan's bytes are keyed by
// its machine and its SHA-256, no longer by the SHA-256 alone; and the keys
// folded for patterns, with machine names, follow Unicode's simple case
// folding. Machines that were two names and are one now are merged first,
// so that no rename meets the unique name.
std::vector<std::string> MigrateFrom1(Db& db, LoadTarget& target) {
  CheckUpgradable(db);
  db.Exec(R"sql(
CREATE TABLE scans_2 (
  id INTEGER PRIMARY KEY,
  machine_id INTEGER NOT NULL REFERENCES machines (id),
  started INTEGER NOT NULL,
  completed INTEGER,
  sha256 BLOB NOT NULL,
  file TEXT NOT NULL,
  report_lines INTEGER NOT NULL,
  error_lines INTEGER NOT NULL,
  loaded INTEGER NOT NULL,
  UNIQUE (machine_id, started)
);
INSERT INTO scans_2 SELECT id, machine_id, started, completed, sha256, file, report_lines,
  error_lines, loaded FROM scans;
DROP TABLE scans;
ALTER TABLE scans_2 RENAME TO scans;
CREATE UNIQUE INDEX scans_by_sha256 ON scans (machine_id, sha256);
)sql");
  std::vector<std::string> notes =
      MergeSameNames(target, SameNames(StoredMachines(db)), db.path(), kSchemaVersion);
  struct Renamed {
    std::int64_t id;
    std::string name, key;
  };
  std::vector<Renamed> machines;
  {
    Statement s(db, "SELECT id, name, name_key FROM machines");
    while (s.Step()) {
      const std::string name(s.Text(1));
      const std::string kept = UpperCase(name);
      const std::string key = FoldCase(kept);
      if (kept != name || key != s.Text(2)) machines.push_back({s.Int(0), kept, key});
    }
  }
  Statement rename(db, "UPDATE machines SET name = ?2, name_key = ?3 WHERE id = ?1");
  for (const Renamed& m : machines) rename.Bind(1, m.id).Bind(2, m.name).Bind(3, m.key).Run();
  std::vector<std::pair<std::int64_t, std::string>> names;
  {
    Statement s(db, "SELECT id, path, name_key FROM paths");
    while (s.Step()) {
      std::string key = NameKey(s.Text(1));
      if (key != s.Text(2)) names.emplace_back(s.Int(0), std::move(key));
    }
  }
  Statement refold(db, "UPDATE paths SET name_key = ?2 WHERE id = ?1");
  for (const auto& [id, key] : names) refold.Bind(1, id).Bind(2, key).Run();
  return notes;
}

// Schema 2 to 3, in the caller's transaction: file names get ids of their
// own, and the counts are worked out once from the open intervals. The
// tables first (the load's statements, which an upgrade from schema 1
// prepares, name them), then their rows, from the names as folded now.
void AddCountTables(Db& db) {
  db.Exec(R"sql(
CREATE TABLE names (
  id INTEGER PRIMARY KEY,
  name_key TEXT NOT NULL UNIQUE
);
ALTER TABLE paths ADD COLUMN name_id INTEGER NOT NULL DEFAULT 0;
)sql");
  db.Exec(kCountTables);
}

void CountFrom2(Db& db) {
  db.Exec(R"sql(
DELETE FROM names;
INSERT INTO names (name_key) SELECT DISTINCT name_key FROM paths ORDER BY name_key;
UPDATE paths SET name_id = (SELECT n.id FROM names n WHERE n.name_key = paths.name_key);
)sql");
  WriteRecount(db);
}

}  // namespace

std::vector<std::string> PrepareSchema(Db& db, bool create, LoadTarget& target) {
  // Read in one statement, so of one commit: a load that makes the schema
  // meanwhile is never seen half (no mark yet, but tables) as something else.
  Statement found(db,
                  "SELECT a.application_id, v.user_version, (SELECT count(*) FROM sqlite_schema) "
                  "FROM pragma_application_id() a, pragma_user_version() v");
  found.Step();
  const int application = static_cast<int>(found.Int(0));
  const int version = static_cast<int>(found.Int(1));
  const std::int64_t tables = found.Int(2);
  found.Reset();
  if (application == kApplicationId) {
    if (version > kSchemaVersion) {
      throw StoreError(NewerSchema(db.path(), version, WrittenBy(db), kSchemaVersion));
    }
    if (version == kSchemaVersion) return {};
    if (version >= 1 && version < kSchemaVersion) {
      if (!create) {
        if (version == 1) CheckUpgradable(db);
        throw StoreError(db.path() + ": an inventory of schema " + std::to_string(version) +
                         ", made by an older vurfleet; " +
                         NextLoadUpgrades(version == 1 ? SameNames(StoredMachines(db)) : std::vector<SameName>{},
                                          kSchemaVersion));
      }
      Transaction transaction(db);
      std::vector<std::string> notes;
      const int now = PragmaInt(db, "PRAGMA user_version");
      if (now >= 1 && now < kSchemaVersion) {
        db.Exec(kMixedTable);
        if (now <= 2) {
          AddCountTables(db);
          if (now == 1) notes = MigrateFrom1(db, target);
          CountFrom2(db);
        } else {
          // Schema 4 to 5: the mixed holds, from the holds.
          MixedFromHolds(db);
        }
        // Schema 3 to 4: the last load's figures, kept from the next load on.
        if (now <= 3) db.Exec(kLoadTable);
        if (notes.empty()) notes.push_back(db.path() + ": upgraded to schema " + std::to_string(kSchemaVersion));
        NoteWriter(db);
        db.Exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
      }
      transaction.Commit();
      return notes;
    }
  }
  if (application != kApplicationId && tables > 0) {
    throw StoreError(db.path() + ": not an inventory (a SQLite database of something else)");
  }
  if (application == kApplicationId && version != kSchemaVersion) {
    throw StoreError(db.path() + ": an inventory of unknown schema " + std::to_string(version));
  }
  if (!create) throw StoreError(db.path() + ": not an inventory (an empty database)");
  // An empty database: make the schema, marked, in one transaction, unless
  // another process made it while this one waited for the lock.
  Transaction transaction(db);
  if (PragmaInt(db, "PRAGMA application_id") == kApplicationId) return {};
  db.Exec(kSchema);
  db.Exec(kCountTables);
  db.Exec(kMixedTable);
  db.Exec(kLoadTable);
  NoteWriter(db);
  db.Exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
  db.Exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
  transaction.Commit();
  return {};
}

}  // namespace vurfleet::sqlite
