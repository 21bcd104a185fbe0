// A thin RAII layer over SQLite's C interface: a connection and its
// prepared statements. Every failure throws StoreError with SQLite's text.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/store.h"

namespace vurfleet::sqlite {

class Db {
 public:
  // Opens `path` for loads (kWrite: made when missing) or for queries
  // (kRead). A reader opens the file read-only and maps the write-ahead
  // log's index (`-shm`) read-only too, so that no fault of a reader can
  // reach a byte that a load relies on. That needs the `-shm` beside the
  // file, which writers leave there (see SqliteStore).
  Db(const std::string& path, Access access);
  ~Db();
  Db(const Db&) = delete;
  Db& operator=(const Db&) = delete;

  sqlite3* get() const { return db_; }
  // Runs statements without results (schema, pragmas, BEGIN, COMMIT).
  void Exec(const char* sql);
  [[noreturn]] void Fail(const std::string& what);
  std::int64_t LastInsertId() const { return sqlite3_last_insert_rowid(db_); }
  const std::string& path() const { return path_; }
  bool read_only() const { return read_only_; }
  // The primary result code of the last failure (SQLITE_BUSY: another
  // process holds the lock), kept through a rollback that follows it.
  int failed_code() const { return failed_code_; }
  void NoteFailure() { failed_code_ = sqlite3_errcode(db_) & 0xFF; }
  void ClearFailure() { failed_code_ = SQLITE_OK; }

 private:
  // A first read, which opens the write-ahead log's files: SQLite's result.
  int Probe();

  sqlite3* db_ = nullptr;
  std::string path_;
  bool read_only_;
  int failed_code_ = SQLITE_OK;
};

// The write lock of an existing database, held by a child process from
// construction to destruction, on a connection that writes nothing: no
// commit comes meanwhile. A process of its own, since this one's readers
// map the log's index read-only, and a connection here could not lock it.
// held() is false where the lock is taken (a load under way), the file
// can't be written by this user, or the child could not be started. Made
// before this process opens the file: the child inherits SQLite's state.
class ChildWriteLock {
 public:
  explicit ChildWriteLock(const std::string& path);
  ~ChildWriteLock();
  ChildWriteLock(const ChildWriteLock&) = delete;
  ChildWriteLock& operator=(const ChildWriteLock&) = delete;
  bool held() const { return held_; }

 private:
  int child_ = -1;
  int release_ = -1;  // closed: the child lets go and ends
  bool held_ = false;
};

// A read transaction for the statements of one query: they all see one
// snapshot. Inside a transaction already (a reader's, which lasts as long
// as its store), it adds nothing.
class ReadScope {
 public:
  explicit ReadScope(Db& db);
  ~ReadScope();
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;

 private:
  Db& db_;
  bool began_ = false;
};

// A statement prepared once and run many times. Parameters are numbered
// from 1; columns from 0.
class Statement {
 public:
  Statement(Db& db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, std::string_view text);
  Statement& BindBlob(int index, std::string_view bytes);
  Statement& BindNull(int index);
  Statement& Bind(int index, const std::optional<std::int64_t>& value);

  // Steps once: true while there is a row.
  bool Step();
  // Steps to the end; for statements without rows.
  void Run();
  // Resets the statement and clears its bindings, ready for the next run.
  void Reset();

  std::int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
  std::optional<std::int64_t> OptionalInt(int column) const;
  std::string_view Text(int column) const;
  std::string_view Blob(int column) const;

 private:
  Db& db_;
  sqlite3_stmt* statement_ = nullptr;
};

// A transaction that rolls back unless committed: an exception on the way
// leaves the database as it was.
class Transaction {
 public:
  explicit Transaction(Db& db);
  ~Transaction();
  void Commit();

 private:
  Db& db_;
  bool open_ = true;
};

}  // namespace vurfleet::sqlite
