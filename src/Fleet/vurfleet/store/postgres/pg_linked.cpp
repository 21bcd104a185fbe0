// OpenPostgres for a program that links the PostgreSQL store in: the tests.
#include "store/postgres/pg_store.h"

namespace vurfleet {

std::unique_ptr<Store> OpenPostgres(const std::string& where, Access access) {
  return std::make_unique<pg::PgStore>(where, access);
}

}  // namespace vurfleet
