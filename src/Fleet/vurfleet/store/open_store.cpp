#include <sys/stat.h>

#include "store/postgres/pg_store.h"
#include "store/sqlite/sqlite_store.h"
#include "store/store.h"

namespace vurfleet {

std::unique_ptr<Store> OpenStore(const std::string& where, Access access) {
  const bool create = access == Access::kWrite;
  if (pg::IsConnectionString(where)) return std::make_unique<pg::PgStore>(where, access);
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
