#include "store/sqlite/schema.h"

#include <string>

namespace vurfleet::sqlite {
namespace {

// Times are wall-clock seconds (base/time.h). A machine's history is its
// intervals: (path, version) held from the scan starting at `since` up to,
// not including, the one starting at `until` (NULL: it still holds). Only
// changes add intervals, so an unchanged scan costs one row in `scans`.
// `kept` holds what a scan kept without reporting it (an unfinished run, a
// folder it could not walk), which recovers what each scan reported when a
// late scan makes the history be worked out again.
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
  sha256 BLOB NOT NULL UNIQUE,
  file TEXT NOT NULL,
  report_lines INTEGER NOT NULL,
  error_lines INTEGER NOT NULL,
  loaded INTEGER NOT NULL,          -- when loaded, seconds since 1970 (UTC)
  UNIQUE (machine_id, started)
);
CREATE TABLE scan_errors (
  scan_id INTEGER NOT NULL,
  line INTEGER NOT NULL,
  text TEXT NOT NULL,
  PRIMARY KEY (scan_id, line)
) WITHOUT ROWID;
CREATE TABLE paths (
  id INTEGER PRIMARY KEY,
  hash INTEGER NOT NULL,            -- StableHash(path): an index of 8 bytes, not of the text
  path TEXT NOT NULL,
  name_key TEXT NOT NULL            -- the file name, lower case
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

}  // namespace

void PrepareSchema(Db& db, bool create) {
  const int application = PragmaInt(db, "PRAGMA application_id");
  const int version = PragmaInt(db, "PRAGMA user_version");
  if (application == kApplicationId) {
    if (version > kSchemaVersion) {
      throw StoreError(db.path() + ": an inventory of schema " + std::to_string(version) +
                       ", made by a newer vurfleet; this one knows schema " +
                       std::to_string(kSchemaVersion));
    }
    if (version == kSchemaVersion) return;
  }
  const int tables = PragmaInt(db, "SELECT count(*) FROM sqlite_schema");
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
  if (PragmaInt(db, "PRAGMA application_id") == kApplicationId) return;
  db.Exec(kSchema);
  db.Exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
  db.Exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
  transaction.Commit();
}

}  // namespace vurfleet::sqlite
