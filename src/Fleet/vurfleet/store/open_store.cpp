#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "base/file_name.h"

#include "store/sqlite/sqlite_store.h"
#include "store/store.h"

namespace vurfleet {

std::int64_t Store::MachinesBeyond(const std::string& name, const std::vector<Version>& versions) {
  // A glob of the name matches other names where the name holds a
  // wildcard character; the key tells them apart. Rows come in machine order.
  std::int64_t machines = 0;
  std::string counted;
  bool any = false;
  FindQuery query;
  query.name = Glob(name);
  Find(query, [&](const FindRow& row) {
    if ((any && row.machine == counted) || NameKey(row.path) != name ||
        std::find(versions.begin(), versions.end(), row.version) != versions.end()) {
      return;
    }
    counted = row.machine;
    any = true;
    ++machines;
  });
  return machines;
}

bool IsConnectionString(std::string_view where) {
  if (where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0) return true;
  // keyword=value: a word of letters and '_' before the first '='.
  std::size_t k = 0;
  while (k < where.size() && std::isspace(static_cast<unsigned char>(where[k]))) ++k;
  const std::size_t word = k;
  while (k < where.size() && (std::isalpha(static_cast<unsigned char>(where[k])) || where[k] == '_')) ++k;
  if (k == word) return false;
  while (k < where.size() && std::isspace(static_cast<unsigned char>(where[k]))) ++k;
  return k < where.size() && where[k] == '=';
}

namespace {

// Refuses a SQLite file that a store of `access` can't open, or make.
void CheckSqliteFile(const std::string& where, Access access) {
  if (where.empty()) throw StoreError("--db names no database");
  struct stat info;
  if (stat(where.c_str(), &info) != 0) {
    if (access != Access::kWrite) throw StoreError(where + ": no such database (vurfleet load makes it)");
  } else if (!S_ISREG(info.st_mode)) {
    throw StoreError(where + ": not a database file");
  }
}

}  // namespace

std::unique_ptr<Store> OpenStore(const std::string& where, Access access) {
  if (IsConnectionString(where)) return OpenPostgres(where, access);
  CheckSqliteFile(where, access);
  return std::make_unique<sqlite::SqliteStore>(where, access);
}

std::unique_ptr<Store> OpenTwinnedReader(const std::string& where, int twins) {
  if (IsConnectionString(where)) return OpenPostgres(where, Access::kRead);
  CheckSqliteFile(where, Access::kRead);
  return sqlite::OpenTwinnedReader(where, twins);
}

}  // namespace vurfleet
