#include "store/sqlite/sqlite_db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace vurfleet::sqlite {

namespace {

// `path` as a file: URI that SQLite reads back byte for byte: the bytes a
// URI gives a meaning to are escaped, and an absolute path gets an empty
// authority, so that one that starts with "//" names no host.
std::string FileUri(const std::string& path, const char* query) {
  std::string uri = path.empty() || path[0] != '/' ? "file:" : "file://";
  static const char kHex[] = "0123456789ABCDEF";
  for (const char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      uri += '%';
      uri += kHex[static_cast<unsigned char>(c) >> 4];
      uri += kHex[static_cast<unsigned char>(c) & 15];
    } else {
      uri += c;
    }
  }
  return uri + query;
}

// A read-only first read that fails for want of the -shm: it can't be
// opened, or made.
bool NeedsShm(int rc) { return (rc & 0xFF) == SQLITE_CANTOPEN || (rc & 0xFF) == SQLITE_READONLY; }

// Whether no process can change the file: its file system is mounted
// read-only (a CD, a read-only share, a snapshot), and no write-ahead log
// with content lies beside it. Then nothing of the database is outside the
// file, and SQLite may read it without the -shm and without locks
// (immutable=1). A folder that only this user can't write proves nothing:
// a load run by another may be writing.
bool Unchangeable(const std::string& path) {
  struct statvfs volume;
  if (statvfs(path.c_str(), &volume) != 0 || (volume.f_flag & ST_RDONLY) == 0) return false;
  struct stat wal;
  return stat((path + "-wal").c_str(), &wal) != 0 || wal.st_size == 0;
}

}  // namespace

Db::Db(const std::string& path, Access access) : path_(path), read_only_(access == Access::kRead) {
  const int flags = (read_only_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
  const std::string uri = FileUri(path, read_only_ ? "?readonly_shm=1" : "");
  int rc = sqlite3_open_v2(uri.c_str(), &db_, flags, nullptr);
  if (rc == SQLITE_OK && read_only_ && NeedsShm(Probe())) {
    // No -shm beside the file (a copy of the file alone, or another program
    // closed it last and removed it). A plain read-only connection makes it
    // where the folder may be written, reading nothing but the schema; the
    // reader then maps what it made read-only.
    sqlite3_close(db_);
    db_ = nullptr;
    rc = sqlite3_open_v2(FileUri(path, "").c_str(), &db_, flags, nullptr);
    if (rc == SQLITE_OK) Probe();
    sqlite3_close(db_);
    db_ = nullptr;
    if (rc == SQLITE_OK) rc = sqlite3_open_v2(uri.c_str(), &db_, flags, nullptr);
    if (rc == SQLITE_OK && NeedsShm(Probe())) {
      sqlite3_close(db_);
      db_ = nullptr;
      if (Unchangeable(path)) {
        rc = sqlite3_open_v2(FileUri(path, "?immutable=1").c_str(), &db_, flags, nullptr);
      } else {
        throw StoreError(path + ": can't be read while " + path +
                         "-shm is missing and its folder can't be written by this user; copy the file "
                         "(with its -wal, if there is one) to a folder you can write and query the copy, "
                         "or let the next vurfleet load leave the -shm there");
      }
    }
  }
  if (rc != SQLITE_OK) {
    const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError(path + ": " + why);
  }
  sqlite3_extended_result_codes(db_, 1);
}

Db::~Db() { sqlite3_close_v2(db_); }

ChildWriteLock::ChildWriteLock(const std::string& path) {
  int ready[2], release[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return;
  if (pipe2(release, O_CLOEXEC) != 0) {
    close(ready[0]);
    close(ready[1]);
    return;
  }
  // The URI before the fork: the child only opens, locks, waits and ends.
  const std::string uri = FileUri(path, "?mode=rw");
  const pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    close(release[1]);
    sqlite3* db = nullptr;
    int persist = 1;  // its close never takes the log and its index away
    char held = '0';
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI, nullptr) == SQLITE_OK &&
        sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist) == SQLITE_OK &&
        sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK) {
      held = '1';
    }
    if (write(ready[1], &held, 1) == 1 && held == '1') {
      char c;
      while (read(release[0], &c, 1) < 0 && errno == EINTR) {
      }
    }
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  if (child < 0) {
    close(ready[0]);
    close(release[1]);
    return;
  }
  child_ = child;
  release_ = release[1];
  char held = '0';
  ssize_t n;
  while ((n = read(ready[0], &held, 1)) < 0 && errno == EINTR) {
  }
  close(ready[0]);
  held_ = n == 1 && held == '1';
}

ChildWriteLock::~ChildWriteLock() {
  if (child_ < 0) return;
  close(release_);
  while (waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

int Db::Probe() { return sqlite3_exec(db_, "SELECT 1 FROM sqlite_schema LIMIT 1", nullptr, nullptr, nullptr); }

void Db::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    NoteFailure();
    const std::string why = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    throw StoreError(path_ + ": " + why);
  }
}

void Db::Fail(const std::string& what) {
  NoteFailure();
  throw StoreError(path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

Statement::Statement(Db& db, const char* sql) : db_(db) {
  if (sqlite3_prepare_v3(db.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) !=
      SQLITE_OK) {
    db.Fail("preparing a statement");
  }
}

Statement::~Statement() { sqlite3_finalize(statement_); }

Statement& Statement::Bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(statement_, index, value) != SQLITE_OK) db_.Fail("binding");
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  if (sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                          SQLITE_UTF8) != SQLITE_OK) {
    db_.Fail("binding");
  }
  return *this;
}

Statement& Statement::BindBlob(int index, std::string_view bytes) {
  if (sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT) !=
      SQLITE_OK) {
    db_.Fail("binding");
  }
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (sqlite3_bind_null(statement_, index) != SQLITE_OK) db_.Fail("binding");
  return *this;
}

Statement& Statement::Bind(int index, const std::optional<std::int64_t>& value) {
  return value ? Bind(index, *value) : BindNull(index);
}

bool Statement::Step() {
  const int rc = sqlite3_step(statement_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  // The message first: resetting the statement may replace it.
  const std::string why = sqlite3_errmsg(db_.get());
  db_.NoteFailure();
  sqlite3_reset(statement_);
  throw StoreError(db_.path() + ": " + why);
}

void Statement::Run() {
  while (Step()) {
  }
  Reset();
}

void Statement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

std::optional<std::int64_t> Statement::OptionalInt(int column) const {
  if (IsNull(column)) return std::nullopt;
  return Int(column);
}

std::string_view Statement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  const int size = sqlite3_column_bytes(statement_, column);
  return text == nullptr ? std::string_view() : std::string_view(reinterpret_cast<const char*>(text),
                                                                 static_cast<std::size_t>(size));
}

std::string_view Statement::Blob(int column) const {
  const void* bytes = sqlite3_column_blob(statement_, column);
  const int size = sqlite3_column_bytes(statement_, column);
  return bytes == nullptr ? std::string_view()
                          : std::string_view(static_cast<const char*>(bytes),
                                             static_cast<std::size_t>(size));
}

ReadScope::ReadScope(Db& db) : db_(db) {
  if (sqlite3_get_autocommit(db_.get()) == 0) return;
  db_.Exec("BEGIN");
  began_ = true;
}

ReadScope::~ReadScope() {
  if (began_) sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr);
}

Transaction::Transaction(Db& db) : db_(db) { db_.Exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
  if (open_) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  db_.Exec("COMMIT");
  open_ = false;
}

}  // namespace vurfleet::sqlite
