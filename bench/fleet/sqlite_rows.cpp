// sqlite_rows: a SQLite database's rows copied out and back in, for the
// floor of a first load: what writing the same rows into the same indexed
// schema costs when nothing but copying is done.
//
//   sqlite_rows export DB FILE   every table's rows into FILE, typed
//   sqlite_rows schema DB NEW    NEW: DB's tables and indexes, empty, with
//                                its application_id, user_version and
//                                journal mode
//   sqlite_rows import FILE NEW  FILE's rows into NEW, one transaction
//
// Tables are taken from the schema (every one but SQLite's own), parents
// before the tables whose foreign keys name them, so a table added to the
// schema is copied without a change here. FILE keeps each value's type
// (NULL, integer, real, text, blob): the shell's `.import` of CSV turns
// NULL into '' and blobs into text. `import` reads FILE and inserts each
// row with one prepared statement a table, under the connection settings a
// load uses (synchronous NORMAL, a 64 MiB cache): SQLite's own cost of the
// rows, indexes and keys, with a parse as small as a file allows.
#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Usage(int code = 2) {
  std::fprintf(code == 0 ? stdout : stderr,
               "usage: sqlite_rows export DB FILE | schema DB NEW | import FILE NEW\n");
  std::exit(code);
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "sqlite_rows: %s\n", what.c_str());
  std::exit(1);
}

sqlite3* Open(const char* path, int flags) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path, &db, flags, nullptr) != SQLITE_OK) {
    Fail(std::string(path) + ": " + (db ? sqlite3_errmsg(db) : "can't open"));
  }
  return db;
}

void Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string text = error ? error : "failed";
    sqlite3_free(error);
    Fail(sql.substr(0, 80) + ": " + text);
  }
}

sqlite3_stmt* Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) Fail(sql + ": " + sqlite3_errmsg(db));
  return s;
}

std::string Quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::vector<std::string> Column0(sqlite3* db, const std::string& sql) {
  std::vector<std::string> out;
  sqlite3_stmt* s = Prepare(db, sql);
  while (sqlite3_step(s) == SQLITE_ROW) out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
  sqlite3_finalize(s);
  return out;
}

// The tables, parents first: a table's depth is its longest chain of
// foreign keys up to a table that has none (bounded, in case of a cycle).
std::vector<std::string> Tables(sqlite3* db) {
  return Column0(db,
                 "WITH RECURSIVE t (name) AS ("
                 "  SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'),"
                 " fk (child, parent) AS ("
                 "  SELECT t.name, f.\"table\" FROM t, pragma_foreign_key_list(t.name) f"
                 "   WHERE lower(f.\"table\") <> lower(t.name)),"
                 " d (name, depth) AS ("
                 "  SELECT name, 0 FROM t UNION"
                 "  SELECT fk.child, d.depth + 1 FROM d JOIN fk ON lower(fk.parent) = lower(d.name)"
                 "   WHERE d.depth < 64) "
                 "SELECT name FROM d GROUP BY name ORDER BY max(depth), name");
}

// FILE: per table, its name and column count, then its rows, each value a
// type byte and its bytes; a table ends with a zero byte.
enum : unsigned char { kEnd = 0, kRow = 1 };

void Put(std::FILE* f, const void* bytes, std::size_t n) {
  if (n > 0 && std::fwrite(bytes, 1, n, f) != n) Fail("can't write");
}
void PutSize(std::FILE* f, std::uint64_t n) { Put(f, &n, sizeof n); }
void PutText(std::FILE* f, const std::string& text) {
  PutSize(f, text.size());
  Put(f, text.data(), text.size());
}

void Export(const char* from, const char* to) {
  sqlite3* db = Open(from, SQLITE_OPEN_READONLY);
  std::FILE* f = std::fopen(to, "wb");
  if (!f) Fail(std::string(to) + ": can't write");
  Exec(db, "BEGIN");
  for (const std::string& table : Tables(db)) {
    sqlite3_stmt* s = Prepare(db, "SELECT * FROM " + Quoted(table));
    const int columns = sqlite3_column_count(s);
    PutText(f, table);
    PutSize(f, static_cast<std::uint64_t>(columns));
    while (sqlite3_step(s) == SQLITE_ROW) {
      const unsigned char row = kRow;
      Put(f, &row, 1);
      for (int c = 0; c < columns; ++c) {
        const unsigned char type = static_cast<unsigned char>(sqlite3_column_type(s, c));
        Put(f, &type, 1);
        if (type == SQLITE_INTEGER) {
          const std::int64_t v = sqlite3_column_int64(s, c);
          Put(f, &v, sizeof v);
        } else if (type == SQLITE_FLOAT) {
          const double v = sqlite3_column_double(s, c);
          Put(f, &v, sizeof v);
        } else if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
          const void* bytes = type == SQLITE_TEXT ? static_cast<const void*>(sqlite3_column_text(s, c))
                                                  : sqlite3_column_blob(s, c);
          const auto n = static_cast<std::uint64_t>(sqlite3_column_bytes(s, c));
          PutSize(f, n);
          Put(f, bytes, n);
        }
      }
    }
    const unsigned char end = kEnd;
    Put(f, &end, 1);
    sqlite3_finalize(s);
  }
  Exec(db, "COMMIT");
  if (std::fclose(f) != 0) Fail(std::string(to) + ": can't write");
  sqlite3_close(db);
}

void Schema(const char* from, const char* to) {
  sqlite3* src = Open(from, SQLITE_OPEN_READONLY);
  sqlite3* db = Open(to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  if (!Column0(db, "SELECT name FROM sqlite_schema").empty()) Fail(std::string(to) + ": not empty");
  const std::vector<std::string> pragmas = Column0(
      src, "SELECT 'PRAGMA application_id = ' || (SELECT application_id FROM pragma_application_id) ||"
           " '; PRAGMA user_version = ' || (SELECT user_version FROM pragma_user_version) ||"
           " '; PRAGMA journal_mode = ' || (SELECT journal_mode FROM pragma_journal_mode)");
  Exec(db, pragmas.at(0));
  // Tables first, then indexes, triggers and views, each in the order made.
  Exec(db, "BEGIN");
  for (const std::string& sql :
       Column0(src, "SELECT sql FROM sqlite_schema WHERE sql IS NOT NULL AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' "
                    "ORDER BY type <> 'table', rowid")) {
    Exec(db, sql);
  }
  Exec(db, "COMMIT");
  sqlite3_close(db);
  sqlite3_close(src);
}

// FILE read whole: the copy times SQLite, not a disk.
class Reader {
 public:
  explicit Reader(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) Fail(std::string(path) + ": can't read");
    char chunk[1 << 16];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes_.append(chunk, n);
    std::fclose(f);
  }
  bool done() const { return at_ == bytes_.size(); }
  const char* Take(std::size_t n) {
    if (n > bytes_.size() - at_) Fail("the rows' file ends early");
    const char* p = bytes_.data() + at_;
    at_ += n;
    return p;
  }
  unsigned char Byte() { return static_cast<unsigned char>(*Take(1)); }
  std::uint64_t Size() {
    std::uint64_t n;
    std::memcpy(&n, Take(sizeof n), sizeof n);
    return n;
  }

 private:
  std::string bytes_;
  std::size_t at_ = 0;
};

void Import(const char* from, const char* to) {
  Reader in(from);
  sqlite3* db = Open(to, SQLITE_OPEN_READWRITE);
  Exec(db, "PRAGMA synchronous = NORMAL; PRAGMA cache_size = -65536; PRAGMA temp_store = MEMORY");
  Exec(db, "BEGIN");
  while (!in.done()) {
    const std::uint64_t name_size = in.Size();
    const std::string table(in.Take(name_size), name_size);
    const std::uint64_t columns = in.Size();
    if (columns == 0 || columns > 32767) Fail(table + ": " + std::to_string(columns) + " columns");
    std::string sql = "INSERT INTO " + Quoted(table) + " VALUES (?";
    for (std::uint64_t c = 1; c < columns; ++c) sql += ", ?";
    sqlite3_stmt* s = Prepare(db, sql + ")");
    while (in.Byte() == kRow) {
      for (int c = 1; c <= static_cast<int>(columns); ++c) {
        const unsigned char type = in.Byte();
        if (type == SQLITE_INTEGER) {
          std::int64_t v;
          std::memcpy(&v, in.Take(sizeof v), sizeof v);
          sqlite3_bind_int64(s, c, v);
        } else if (type == SQLITE_FLOAT) {
          double v;
          std::memcpy(&v, in.Take(sizeof v), sizeof v);
          sqlite3_bind_double(s, c, v);
        } else if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
          const std::uint64_t n = in.Size();
          const char* bytes = in.Take(n);
          if (type == SQLITE_TEXT) {
            sqlite3_bind_text64(s, c, bytes, n, SQLITE_STATIC, SQLITE_UTF8);
          } else {
            sqlite3_bind_blob64(s, c, bytes, n, SQLITE_STATIC);
          }
        } else if (type == SQLITE_NULL) {
          sqlite3_bind_null(s, c);
        } else {
          Fail(table + ": a value of unknown type " + std::to_string(type));
        }
      }
      if (sqlite3_step(s) != SQLITE_DONE) Fail(table + ": " + sqlite3_errmsg(db));
      sqlite3_reset(s);
    }
    sqlite3_finalize(s);
  }
  Exec(db, "COMMIT");
  if (sqlite3_close(db) != SQLITE_OK) Fail(std::string(to) + ": can't close");
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) Usage(0);
  }
  if (argc != 4) Usage();
  const std::string verb = argv[1];
  if (verb == "export") {
    Export(argv[2], argv[3]);
  } else if (verb == "schema") {
    Schema(argv[2], argv[3]);
  } else if (verb == "import") {
    Import(argv[2], argv[3]);
  } else {
    Usage();
  }
  return 0;
}
