#include "store/sqlite/sqlite_store.h"

#include <algorithm>

#include "base/glob.h"
#include "base/text.h"
#include "store/sqlite/sqlite_counts.h"
#include "store/sqlite/sqlite_schema.h"
#include "store/stored.h"

namespace vurfleet::sqlite {
namespace {

// How long a load waits for another's write lock before its group is tried
// again (RetryError).
constexpr int kBusyMilliseconds = 30000;

// vurfleet_fold(TEXT): FoldCase in SQL, for patterns on whole paths.
void Fold(sqlite3_context* context, int, sqlite3_value** values) {
  const unsigned char* text = sqlite3_value_text(values[0]);
  if (text == nullptr) return sqlite3_result_null(context);
  const std::string folded = FoldCase(std::string_view(reinterpret_cast<const char*>(text),
                                                       static_cast<std::size_t>(sqlite3_value_bytes(values[0]))));
  sqlite3_result_text64(context, folded.data(), folded.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// vurfleet_glob(PATTERN, FOLDED): whether folded text matches a pattern of
// the queries (Glob), compiled once per statement.
void GlobMatch(sqlite3_context* context, int, sqlite3_value** values) {
  auto* glob = static_cast<Glob*>(sqlite3_get_auxdata(context, 0));
  if (glob == nullptr) {
    const unsigned char* pattern = sqlite3_value_text(values[0]);
    if (pattern == nullptr) return sqlite3_result_null(context);
    sqlite3_set_auxdata(
        context, 0,
        new Glob(std::string_view(reinterpret_cast<const char*>(pattern),
                                  static_cast<std::size_t>(sqlite3_value_bytes(values[0])))),
        [](void* p) { delete static_cast<Glob*>(p); });
    glob = static_cast<Glob*>(sqlite3_get_auxdata(context, 0));
    if (glob == nullptr) return sqlite3_result_error_nomem(context);
  }
  const unsigned char* text = sqlite3_value_text(values[1]);
  if (text == nullptr) return sqlite3_result_null(context);
  sqlite3_result_int(context, glob->MatchesFolded(std::string_view(reinterpret_cast<const char*>(text),
                                                                   static_cast<std::size_t>(
                                                                       sqlite3_value_bytes(values[1]))))
                                  ? 1
                                  : 0);
}

void RegisterFunctions(Db& db) {
  if (sqlite3_create_function_v2(db.get(), "vurfleet_fold", 1,
                                 SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                 Fold, nullptr, nullptr, nullptr) != SQLITE_OK ||
      sqlite3_create_function_v2(db.get(), "vurfleet_glob", 2,
                                 SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                 GlobMatch, nullptr, nullptr, nullptr) != SQLITE_OK) {
    db.Fail("registering vurfleet's SQL functions");
  }
}


}  // namespace

SqliteStore::SqliteStore(const std::string& path, Access access)
    : db_(path, access) {
  RegisterFunctions(db_);
  db_.Exec(("PRAGMA busy_timeout = " + std::to_string(kBusyMilliseconds)).c_str());
  if (access == Access::kRead) {
    // A query's pages are read into SQLite's default cache, not mapped: its
    // reads are mostly seeks into pages it reads once (find: one leaf of
    // each machine's rows), and a first touch of a page, mapped or freshly
    // allocated for a larger cache, costs a page fault, several times what
    // a read costs (find at 10 000 machines: 11 000 faults, 5x the time).
    db_.Exec("PRAGMA cache_size = -2000; PRAGMA mmap_size = 0");
  } else {
    // A load revisits its pages (the ids it looks up, the rows it extends):
    // they stay in a large cache, and reads go through a mapping of the file.
    db_.Exec("PRAGMA cache_size = -65536; PRAGMA mmap_size = 4294967296");
  }
  // An upgrade moves rows before there are counts, and counts once after.
  counts_.on = false;
  upgraded_ = PrepareSchema(db_, access == Access::kWrite, *this);
  counts_.on = true;
  if (access == Access::kRead) {
    // One snapshot for every statement of the store's life: a query made
    // of several statements, or a page made of several queries, never sees
    // two states of the database.
    db_.Exec("BEGIN; SELECT count(*) FROM sqlite_schema");
    return;
  }
  // WAL: readers go on while a load writes, and a commit appends to the log
  // without rewriting pages in place. NORMAL syncs at checkpoints only: a
  // killed process loses nothing committed (the log is in the file system),
  // only a power cut may lose the last commits, never consistency. The log
  // and its index stay beside the file when the load ends (emptied), so
  // that readers, who map the index read-only and may have no right to make
  // files in the folder, find them there. A file's savepoint keeps the pages
  // it changes in memory (temp_store), not in a file of its own: on disk
  // that journal was most of a first load's writes.
  db_.Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA temp_store = MEMORY; "
           "PRAGMA wal_autocheckpoint = 16000; PRAGMA journal_size_limit = 67108864");
  int persist = 1;
  if (sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist) != SQLITE_OK) {
    db_.Fail("keeping the write-ahead log");
  }
}

SqliteStore::~SqliteStore() = default;

std::unique_ptr<Store> OpenTwinnedReader(const std::string& path, int twins) {
  const ChildWriteLock lock(path);
  auto reader = std::make_unique<SqliteStore>(path, Access::kRead);
  if (!lock.held()) return reader;
  try {
    for (int k = 0; k < twins; ++k) reader->twins_.push_back(std::make_unique<SqliteStore>(path, Access::kRead));
  } catch (const StoreError&) {
    // fewer twins: the reader does the rest
  }
  return reader;
}

std::unique_ptr<Store> SqliteStore::Twin() {
  if (twins_.empty()) return nullptr;
  std::unique_ptr<Store> twin = std::move(twins_.back());
  twins_.pop_back();
  return twin;
}

void SqliteStore::BeginGroup(const std::vector<std::string>&) {
  // BEGIN IMMEDIATE takes the write lock at once, so every other writer
  // waits for the group (up to the busy timeout) and no lock of a machine
  // is needed. Still busy after the wait, the group is tried again.
  if (db_.read_only()) throw StoreError(db_.path() + ": opened for reading only");
  db_.ClearFailure();
  try {
    db_.Exec("BEGIN IMMEDIATE");
  } catch (const StoreError& e) {
    if (db_.failed_code() == SQLITE_BUSY) throw RetryError(e.what());
    throw;
  }
}

void SqliteStore::CommitGroup() {
  // The group's count changes, with its intervals: one writer at a time
  // holds SQLite's lock, so they are added in place.
  AddCounts(db_, counts_.group());
  db_.Exec("COMMIT");
  ids_.EndGroup(true);
  counts_.Clear();
}

void SqliteStore::AbandonGroup() {
  if (sqlite3_get_autocommit(db_.get()) == 0) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  ids_.EndGroup(false);
  counts_.Clear();
}

void SqliteStore::MergeScans(MachineId from, MachineId into, const std::vector<std::int64_t>& dropped) {
  Statement errors(db_, "DELETE FROM scan_errors WHERE scan_id = ?1");
  Statement scan(db_, "DELETE FROM scans WHERE id = ?1");
  for (const std::int64_t id : dropped) {
    errors.Bind(1, id).Run();
    scan.Bind(1, id).Run();
  }
  Statement(db_, "UPDATE scans SET machine_id = ?2 WHERE machine_id = ?1").Bind(1, from).Bind(2, into).Run();
}

}  // namespace vurfleet::sqlite
