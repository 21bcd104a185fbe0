#include <sys/stat.h>

#include <cctype>

#include "store/sqlite/sqlite_store.h"
#include "store/store.h"

namespace vurfleet {

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

std::unique_ptr<Store> OpenStore(const std::string& where, Access access) {
  const bool create = access == Access::kWrite;
  if (IsConnectionString(where)) return OpenPostgres(where, access);
  if (where.empty()) throw StoreError("--db names no database");
  struct stat info;
  if (stat(where.c_str(), &info) != 0) {
    if (!create) throw StoreError(where + ": no such database (vurfleet load makes it)");
  } else if (!S_ISREG(info.st_mode)) {
    throw StoreError(where + ": not a database file");
  }
  return std::make_unique<sqlite::SqliteStore>(where, access);
}

}  // namespace vurfleet
