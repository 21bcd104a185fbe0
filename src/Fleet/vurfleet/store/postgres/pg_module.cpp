// The PostgreSQL store's entry point as a module of its own, which the
// command line loads when a database is PostgreSQL (store/pg_loader.cpp
// beside store/). Everything else the store needs it takes from the program
// that loads it.
#include "store/postgres/pg_store.h"

extern "C" vurfleet::Store* vurfleet_pg_open(const std::string& where, vurfleet::Access access) {
  return new vurfleet::pg::PgStore(where, access);
}
