// The PostgreSQL store's tables, made on first use and marked with their
// version in `vurfleet_schema`.
#pragma once

#include <string>
#include <vector>

#include "store/load_target.h"
#include "store/postgres/pg_db.h"

namespace vurfleet::pg {

constexpr int kSchemaVersion = 5;

// Checks the inventory's version, or makes the schema when the database
// holds none and `create`, or upgrades one of the schema before when
// `create` (machines that are one name now merged through `target`, whose
// operations run on `conn`). Returns what an upgrade did, a line each. A
// newer or unknown version, a database of something else, or one that is
// not UTF-8, throws StoreError.
std::vector<std::string> PrepareSchema(Connection& conn, bool create, LoadTarget& target);

}  // namespace vurfleet::pg
