// The SQLite schema, and the check that a file holds it.
#pragma once

#include <string>
#include <vector>

#include "store/load_target.h"
#include "store/sqlite/sqlite_db.h"

namespace vurfleet::sqlite {

// "VRFT": marks a SQLite file as an inventory.
constexpr int kApplicationId = 0x56524654;
constexpr int kSchemaVersion = 5;

// Makes the schema in an empty database, or checks that the database holds
// an inventory of this schema, upgrading one of the schema before when
// `create` (machines that are one name now merged through `target`, whose
// operations run on `db`). Returns what an upgrade did, a line each.
// Throws StoreError naming what is wrong: no inventory, or one of a newer
// schema.
std::vector<std::string> PrepareSchema(Db& db, bool create, LoadTarget& target);

}  // namespace vurfleet::sqlite
