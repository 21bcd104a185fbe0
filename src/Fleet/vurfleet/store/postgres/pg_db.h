// A thin RAII layer over libpq: a connection, its results, parameters sent
// as text, and COPY from memory. Every failure throws StoreError naming the
// connection (never its password) with the server's text on one line.
#pragma once

#include <libpq-fe.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/store.h"

namespace vurfleet::pg {

// The connection as shown in messages: postgresql://USER@HOST:PORT/DBNAME,
// without the password, from whatever form `where` takes.
std::string Describe(const std::string& where);

// One line of libpq's or the server's text: lines joined with "; ", the
// tabs and the trailing line end gone.
std::string OneLine(std::string_view text);

// A query's parameters, as text; nullopt is NULL.
using Params = std::vector<std::optional<std::string>>;

class Result {
 public:
  explicit Result(PGresult* result) : result_(result) {}
  ~Result() { PQclear(result_); }
  Result(Result&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;

  PGresult* get() const { return result_; }
  int rows() const { return PQntuples(result_); }
  bool IsNull(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
  std::string_view Text(int row, int column) const {
    return std::string_view(PQgetvalue(result_, row, column),
                            static_cast<std::size_t>(PQgetlength(result_, row, column)));
  }
  // The column as a number; a value that is none throws StoreError.
  std::int64_t Int(int row, int column) const;
  std::optional<std::int64_t> OptionalInt(int row, int column) const;
  bool Bool(int row, int column) const { return Text(row, column) == "t"; }
  // A bytea column in hex form, decoded.
  std::string Bytes(int row, int column) const;

 private:
  PGresult* result_;
};

class Connection {
 public:
  // Connects; a server that can't be reached, or refuses the role or its
  // password, throws StoreError.
  explicit Connection(const std::string& where);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs one statement; its rows, if any.
  Result Exec(const std::string& sql, const Params& params = {});
  // The same, for a statement run again and again (a load's of each file):
  // parsed and planned by the server once a session, then run by name.
  Result Repeat(const std::string& sql, const Params& params);
  // Runs one statement without parameters and gives each of its rows, in
  // binary form, to `row` as a result of one row: a bytea column's value is
  // its bytes (Result::Text), neither hex-encoded by the server nor decoded
  // here. Rows are read one at a time, not gathered: a table's megabytes
  // would each be newly allocated memory, a page fault per page.
  void EachBinaryRow(const std::string& sql, const std::function<void(const Result&)>& row);
  // Runs statements without parameters (schema, BEGIN, COMMIT).
  void Run(const std::string& sql) { Exec(sql); }
  // COPY ... FROM STDIN with `data` in COPY's text form (see CopyField).
  void Copy(const std::string& copy_sql, const std::string& data);
  // The same, its answer left to the next call on the connection (or
  // Settle), which throws if it failed, the message beginning with `what`:
  // the server stores the rows while the caller works out the next ones.
  void CopyAhead(const std::string& copy_sql, const std::string& data, const std::string& what);
  // Sends statements without parameters, their answer left the same way.
  void RunAhead(const std::string& sql, const std::string& what);
  // Reads the answer of a COPY or statements sent ahead, if any; a failure
  // is thrown here.
  void Settle();
  // COPY ... TO STDOUT: each row, in COPY's text form without its line end,
  // to `row`. For a table's rows in one stream, not a cursor's round trips.
  void CopyOut(const std::string& copy_sql, const std::function<void(std::string_view)>& row);
  // The SQLSTATE of the last statement that failed since ClearFailure.
  const std::string& failed_state() const { return failed_state_; }
  void ClearFailure() { failed_state_.clear(); }
  const std::string& description() const { return description_; }
  bool alive() const { return PQstatus(conn_) == CONNECTION_OK; }
  bool in_transaction() const { return PQtransactionStatus(conn_) != PQTRANS_IDLE; }

 private:
  [[noreturn]] void Fail(const std::string& what, const PGresult* result);
  Result Checked(PGresult* result);
  void SendCopy(const std::string& copy_sql, const std::string& data);

  // Each statement Repeat prepared, by its text: its name. A statement
  // outlives the transaction it was prepared in, rolled back or not.
  std::unordered_map<std::string, std::string> prepared_;
  bool ahead_ = false;      // an answer is still to be read
  std::string ahead_what_;  // what was sent, for its failure

  PGconn* conn_ = nullptr;
  std::string description_;
  std::string failed_state_;
};

// Appends `text` as one field of COPY's text form: backslash, tab, line
// ends escaped.
void CopyField(std::string* out, std::string_view text);

// Writes the low `bytes` bytes of `value` at `at`, most significant first,
// as COPY's binary form has its numbers and lengths.
inline void PutBinaryInt(char* at, std::int64_t value, int bytes) {
  const std::uint64_t bits = static_cast<std::uint64_t>(value);
  for (int k = 0; k < bytes; ++k) at[k] = static_cast<char>((bits >> (8 * (bytes - 1 - k))) & 0xff);
}
// Appends them.
inline void CopyBinaryInt(std::string* out, std::int64_t value, int bytes) {
  char big_endian[8];
  PutBinaryInt(big_endian, value, bytes);
  out->append(big_endian, static_cast<std::size_t>(bytes));
}
// Appends a bigint field of COPY's binary form: its length, then its value.
inline void CopyBinaryField(std::string* out, std::int64_t value) {
  CopyBinaryInt(out, 8, 4);
  CopyBinaryInt(out, value, 8);
}

// A bytea literal for a parameter: "\x" and the bytes in hex.
std::string HexBytes(std::string_view bytes);

// A text[] parameter: each element quoted, with '"' and '\\' escaped.
std::string TextArray(const std::vector<std::string>& texts);

// The whole numbers of a row of COPY's text form, N fields split by tabs,
// \\N (NULL) as nullopt, into `out`. Fewer fields, or a field that is no
// number of bigint's range, throws StoreError.
void CopyInts(std::string_view line, std::optional<std::int64_t>* out, std::size_t n);
template <std::size_t N>
std::array<std::optional<std::int64_t>, N> CopyInts(std::string_view line) {
  std::array<std::optional<std::int64_t>, N> out;
  CopyInts(line, out.data(), N);
  return out;
}

// A bigint[] parameter of a field of each row.
template <typename T, typename F>
std::string IntArray(const std::vector<T>& rows, F field) {
  std::string out = "{";
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (k > 0) out += ',';
    out += std::to_string(field(rows[k]));
  }
  return out + "}";
}

// A store error raised while the server was unreachable or the transaction
// must be retried: serialization failures and deadlocks.
bool IsRetryable(const std::string& sqlstate);

// A REPEATABLE READ transaction for the statements of one query: they all
// see one snapshot. Inside a transaction already (a reader's, which lasts
// as long as its store), it adds nothing.
class ReadScope {
 public:
  explicit ReadScope(Connection& conn);
  ~ReadScope();
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;

 private:
  Connection& conn_;
  bool began_ = false;
};

// A transaction that rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(Connection& conn);
  ~Transaction();
  void Commit();

 private:
  Connection& conn_;
  bool open_ = true;
};

}  // namespace vurfleet::pg
