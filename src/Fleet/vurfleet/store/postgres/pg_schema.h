// The PostgreSQL store's tables, made on first use and marked with their
// version in `vurfleet_schema`.
#pragma once

#include "store/postgres/pg.h"

namespace vurfleet::pg {

constexpr int kSchemaVersion = 2;

// Checks the inventory's version, or makes the schema when the database
// holds none and `create`. A newer or unknown version, a database of
// something else, or one that is not UTF-8, throws StoreError.
void PrepareSchema(Connection& conn, bool create);

}  // namespace vurfleet::pg
