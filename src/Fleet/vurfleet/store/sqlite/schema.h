// The SQLite schema, and the check that a file holds it.
#pragma once

#include "store/sqlite/db.h"

namespace vurfleet::sqlite {

// "VRFT": marks a SQLite file as an inventory.
constexpr int kApplicationId = 0x56524654;
constexpr int kSchemaVersion = 2;

// Makes the schema in an empty database, or checks that the database holds
// an inventory of this schema. Throws StoreError naming what is wrong: no
// inventory, or one of a newer schema.
void PrepareSchema(Db& db, bool create);

}  // namespace vurfleet::sqlite
