// The vurfleet that makes an inventory's schema, or upgrades it, keeps its
// version there (SQLite: the table written_by; PostgreSQL: vurfleet_schema's
// column written_by), so that an older vurfleet that meets the newer schema
// names the version it needs.
#pragma once

#include <string>

#include "run/version.h"

namespace vurfleet {

inline constexpr const char* kWriterVersion = VUR_VERSION_TEXT;

// The refusal of a schema newer than `known`; `written_by` as the database
// holds it (any text, escaped where it is printed), or empty when unknown.
inline std::string NewerSchema(const std::string& db, int version, std::string written_by, int known) {
  if (written_by.size() > 32) written_by = written_by.substr(0, 32) + "...";
  return db + ": an inventory of schema " + std::to_string(version) + ", made by a newer vurfleet" +
         (written_by.empty() ? std::string() : " (" + written_by + ")") + "; this one (" + kWriterVersion +
         ") knows schema " + std::to_string(known);
}

}  // namespace vurfleet
