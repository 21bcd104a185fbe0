#include "store/sqlite/db.h"

namespace vurfleet::sqlite {

Db::Db(const std::string& path, bool create) : path_(path) {
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) |
                    SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError(path + ": " + why);
  }
  sqlite3_extended_result_codes(db_, 1);
}

Db::~Db() { sqlite3_close_v2(db_); }

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

Transaction::Transaction(Db& db) : db_(db) { db_.Exec("BEGIN IMMEDIATE"); }

Transaction::~Transaction() {
  if (open_) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  db_.Exec("COMMIT");
  open_ = false;
}

}  // namespace vurfleet::sqlite
