#include "store/postgres/pg_db.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <charconv>
#include <exception>
#include <memory>

namespace vurfleet::pg {

namespace {

struct Shown {
  std::string user, host, port, dbname;
};

// The values of `where` that a description shows, as libpq parses them:
// this parse is the one expansion of the dbname the connection gets.
bool ParseShown(const std::string& where, Shown* shown) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(where.c_str(), &error);
  // libpq's message may quote the text, password and all: not repeated.
  PQfreemem(error);
  if (options == nullptr) return false;
  std::string dbname;
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (o->val == nullptr) continue;
    const std::string key = o->keyword;
    if (key == "user") shown->user = o->val;
    else if (key == "host") shown->host = o->val;
    else if (key == "hostaddr" && shown->host.empty()) shown->host = o->val;
    else if (key == "port") shown->port = o->val;
    else if (key == "dbname") dbname = o->val;
  }
  PQconninfoFree(options);
  // A connection string within it is a database's name to libpq, and may
  // hold a password all the same: not shown.
  shown->dbname = IsConnectionString(dbname) ? "..." : dbname;
  return true;
}

}  // namespace

std::string Describe(const std::string& where) {
  Shown shown;
  if (!ParseShown(where, &shown)) return "a PostgreSQL connection string that can't be read";
  std::string out = "postgresql://";
  if (!shown.user.empty()) out += shown.user + "@";
  out += shown.host;
  if (!shown.port.empty()) out += ":" + shown.port;
  out += "/" + shown.dbname;
  return out;
}

std::string OneLine(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front()))) line.remove_prefix(1);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.remove_suffix(1);
    if (!line.empty()) {
      if (!out.empty()) out += "; ";
      for (const char c : line) out.push_back(c == '\t' || c == '\r' ? ' ' : c);
    }
    start = end + 1;
  }
  return out;
}

std::int64_t Result::Int(int row, int column) const {
  const std::string text(Text(row, column));
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || errno != 0 || end != text.c_str() + text.size()) {
    throw StoreError("the database answered '" + text.substr(0, 40) + "' for a number");
  }
  return value;
}

std::optional<std::int64_t> Result::OptionalInt(int row, int column) const {
  if (IsNull(row, column)) return std::nullopt;
  return Int(row, column);
}

std::string Result::Bytes(int row, int column) const {
  std::size_t length = 0;
  unsigned char* bytes =
      PQunescapeBytea(reinterpret_cast<const unsigned char*>(PQgetvalue(result_, row, column)), &length);
  if (bytes == nullptr) throw StoreError("the database answered a bytea that can't be read");
  std::string out(reinterpret_cast<const char*>(bytes), length);
  PQfreemem(bytes);
  return out;
}

Connection::Connection(const std::string& where) : description_(Describe(where)) {
  // Entries before dbname are defaults the connection string may override;
  // the one after it always holds: the store speaks UTF-8.
  const char* keywords[] = {"connect_timeout", "application_name", "dbname", "client_encoding", nullptr};
  const char* values[] = {"10", "vurfleet", where.c_str(), "UTF8", nullptr};
  conn_ = PQconnectdbParams(keywords, values, 1);
  if (conn_ == nullptr) throw StoreError(description_ + ": can't connect: out of memory");
  if (PQstatus(conn_) != CONNECTION_OK) {
    const std::string why = OneLine(PQerrorMessage(conn_));
    PQfinish(conn_);
    conn_ = nullptr;
    throw StoreError(description_ + ": can't connect: " + why);
  }
  // Notices (a table that exists already, ...) are not the user's concern.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
}

Connection::~Connection() { PQfinish(conn_); }

void Connection::Fail(const std::string& what, const PGresult* result) {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  failed_state_ = state != nullptr ? state : "";
  std::string why = OneLine(result != nullptr ? PQresultErrorMessage(result) : "");
  if (why.empty()) why = OneLine(PQerrorMessage(conn_));
  if (why.empty()) why = "the server gave no answer";
  if (PQstatus(conn_) != CONNECTION_OK) why = "the connection to the server was lost: " + why;
  if (IsRetryable(failed_state_) && PQstatus(conn_) == CONNECTION_OK) {
    throw RetryError(description_ + ": " + what + why);
  }
  throw StoreError(description_ + ": " + what + why);
}

Result Connection::Checked(PGresult* result) {
  Result checked(result);
  const ExecStatusType status = PQresultStatus(result);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) Fail("", result);
  return checked;
}

namespace {

std::vector<const char*> Values(const Params& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const std::optional<std::string>& p : params) values.push_back(p ? p->c_str() : nullptr);
  return values;
}

}  // namespace

Result Connection::Exec(const std::string& sql, const Params& params) {
  Settle();
  if (params.empty()) return Checked(PQexec(conn_, sql.c_str()));
  const std::vector<const char*> values = Values(params);
  return Checked(PQexecParams(conn_, sql.c_str(), static_cast<int>(params.size()), nullptr, values.data(), nullptr,
                              nullptr, 0));
}

Result Connection::Repeat(const std::string& sql, const Params& params) {
  Settle();
  auto at = prepared_.find(sql);
  if (at == prepared_.end()) {
    const std::string name = "vurfleet_" + std::to_string(prepared_.size() + 1);
    Checked(PQprepare(conn_, name.c_str(), sql.c_str(), static_cast<int>(params.size()), nullptr));
    at = prepared_.emplace(sql, name).first;
  }
  const std::vector<const char*> values = Values(params);
  return Checked(PQexecPrepared(conn_, at->second.c_str(), static_cast<int>(params.size()), values.data(), nullptr,
                                nullptr, 0));
}

void Connection::EachBinaryRow(const std::string& sql, const std::function<void(const Result&)>& row) {
  Settle();
  if (PQsendQueryParams(conn_, sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1) != 1 ||
      PQsetSingleRowMode(conn_) != 1) {
    Fail("", nullptr);
  }
  // Every result is read, even after a failure, so that the connection is
  // ready for the next statement; the first failure is thrown then.
  std::exception_ptr failed;
  while (PGresult* next = PQgetResult(conn_)) {
    Result one(next);
    if (failed) continue;
    try {
      const ExecStatusType status = PQresultStatus(next);
      if (status == PGRES_SINGLE_TUPLE) {
        row(one);
      } else if (status != PGRES_TUPLES_OK) {
        Fail("", next);
      }
    } catch (...) {
      failed = std::current_exception();
    }
  }
  if (failed) std::rethrow_exception(failed);
}

void Connection::SendCopy(const std::string& copy_sql, const std::string& data) {
  Settle();
  {
    Result start(PQexec(conn_, copy_sql.c_str()));
    if (PQresultStatus(start.get()) != PGRES_COPY_IN) Fail("", start.get());
  }
  // In pieces of 1 MiB: libpq buffers what it can't send at once.
  constexpr std::size_t kPiece = 1 << 20;
  bool sent = true;
  for (std::size_t k = 0; k < data.size() && sent; k += kPiece) {
    const std::size_t n = std::min(kPiece, data.size() - k);
    sent = PQputCopyData(conn_, data.data() + k, static_cast<int>(n)) == 1;
  }
  if (PQputCopyEnd(conn_, sent ? nullptr : "the data could not be sent") != 1) Fail("COPY: ", nullptr);
}

void Connection::Copy(const std::string& copy_sql, const std::string& data) {
  CopyAhead(copy_sql, data, "");
  Settle();
}

void Connection::CopyAhead(const std::string& copy_sql, const std::string& data, const std::string& what) {
  SendCopy(copy_sql, data);
  ahead_ = true;
  ahead_what_ = what + "COPY: ";
}

void Connection::RunAhead(const std::string& sql, const std::string& what) {
  Settle();
  if (PQsendQuery(conn_, sql.c_str()) != 1) Fail(what, nullptr);
  ahead_ = true;
  ahead_what_ = what;
}

void Connection::Settle() {
  if (!ahead_) return;
  ahead_ = false;
  // Every answer is read, so the connection is ready for the next
  // statement; the first failure is thrown.
  std::optional<Result> failed;
  bool answered = false;
  while (PGresult* next = PQgetResult(conn_)) {
    Result one(next);
    answered = true;
    if (!failed && PQresultStatus(next) != PGRES_COMMAND_OK) failed.emplace(std::move(one));
  }
  if (failed) Fail(ahead_what_, failed->get());
  if (!answered) Fail(ahead_what_, nullptr);
}

void Connection::CopyOut(const std::string& copy_sql, const std::function<void(std::string_view)>& row) {
  Settle();
  {
    Result start(PQexec(conn_, copy_sql.c_str()));
    if (PQresultStatus(start.get()) != PGRES_COPY_OUT) Fail("", start.get());
  }
  // One row a buffer; a row that `row` throws on still has the rest drained,
  // so the connection is ready for the next statement.
  std::exception_ptr failed;
  char* buffer = nullptr;
  int n = 0;
  while ((n = PQgetCopyData(conn_, &buffer, 0)) > 0) {
    if (!failed) {
      try {
        std::string_view line(buffer, static_cast<std::size_t>(n));
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        row(line);
      } catch (...) {
        failed = std::current_exception();
      }
    }
    PQfreemem(buffer);
  }
  if (n == -2) Fail("COPY: ", nullptr);
  Result end(PQgetResult(conn_));
  while (PGresult* more = PQgetResult(conn_)) PQclear(more);
  if (PQresultStatus(end.get()) != PGRES_COMMAND_OK) Fail("COPY: ", end.get());
  if (failed) std::rethrow_exception(failed);
}

void CopyField(std::string* out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '\\': out->append("\\\\"); break;
      case '\t': out->append("\\t"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      default: out->push_back(c);
    }
  }
}

std::string HexBytes(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\\x";
  out.reserve(2 + bytes.size() * 2);
  for (const char c : bytes) {
    const unsigned char b = static_cast<unsigned char>(c);
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 15]);
  }
  return out;
}

std::string TextArray(const std::vector<std::string>& texts) {
  std::string out = "{";
  for (std::size_t k = 0; k < texts.size(); ++k) {
    if (k > 0) out += ',';
    out += '"';
    for (const char c : texts[k]) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + "}";
}

void CopyInts(std::string_view line, std::optional<std::int64_t>* out, std::size_t n) {
  std::size_t at = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t tab = k + 1 < n ? line.find('\t', at) : line.size();
    if (tab == std::string_view::npos || at > line.size()) {
      throw StoreError("the database answered a row of too few fields");
    }
    const std::string_view field = line.substr(at, tab - at);
    out[k].reset();
    if (field != "\\N") {
      std::int64_t value = 0;
      const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
      if (field.empty() || error != std::errc() || end != field.data() + field.size()) {
        throw StoreError("the database answered '" + std::string(field.substr(0, 40)) + "' for a number");
      }
      out[k] = value;
    }
    at = tab + 1;
  }
}

bool IsRetryable(const std::string& sqlstate) {
  return sqlstate == "40001" || sqlstate == "40P01";
}

ReadScope::ReadScope(Connection& conn) : conn_(conn) {
  if (conn_.in_transaction()) return;
  conn_.Run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  began_ = true;
}

ReadScope::~ReadScope() {
  if (!began_ || !conn_.alive()) return;
  try {
    conn_.Run("COMMIT");
  } catch (const StoreError&) {
    // Nothing was written; the server ends the transaction on its own.
  }
}

Transaction::Transaction(Connection& conn) : conn_(conn) { conn_.Run("BEGIN"); }

Transaction::~Transaction() {
  if (open_ && conn_.alive()) {
    try {
      conn_.Run("ROLLBACK");
    } catch (const StoreError&) {
      // The connection is gone; the server rolled back on its own.
    }
  }
}

void Transaction::Commit() {
  conn_.Run("COMMIT");
  open_ = false;
}

}  // namespace vurfleet::pg
