// How values are kept in the tables of both stores: one home for each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/file_name.h"
#include "base/text.h"
#include "base/version.h"

namespace vurfleet {

// A version's stored number: its 64 bits with the top one flipped, so that
// the databases' signed order is the versions' order. <none> has none.
inline std::int64_t StoredVersion(std::uint64_t version) {
  return static_cast<std::int64_t>(version ^ (std::uint64_t{1} << 63));
}
// The changes from $1 to $2 (scan starts, both included) as Changes gives
// them, counted by kind (ChangeCounts' place, count), without their texts.
// A change at a scan is an interval that begins there after the machine's
// first scan, or one that ends there, or both for one path: each read once,
// with its version, and the two of a path at a scan put together.
inline constexpr const char* kChangeKindsSql =
    "WITH ev (machine_id, path_id, scan, came, came_version, went, went_version) AS ("
    " SELECT machine_id, path_id, since, 1, version_id, 0, NULL FROM intervals"
    "  WHERE opened AND since BETWEEN $1 AND $2"
    " UNION ALL"
    " SELECT machine_id, path_id, until, 0, NULL, 1, version_id FROM intervals"
    "  WHERE until IS NOT NULL AND until BETWEEN $1 AND $2), "
    "c AS (SELECT machine_id, path_id, max(came) AS came, max(came_version) AS cv, max(went) AS went,"
    "             max(went_version) AS wv FROM ev GROUP BY machine_id, path_id, scan) "
    "SELECT CASE WHEN c.went = 0 THEN 0 WHEN c.came = 0 THEN 1 WHEN ov.value IS NULL OR nv.value IS NULL THEN 4"
    "            WHEN nv.value > ov.value THEN 2 ELSE 3 END,"
    "       count(*) "
    "FROM c JOIN machines m ON m.id = c.machine_id JOIN paths p ON p.id = c.path_id "
    "LEFT JOIN versions nv ON nv.id = c.cv LEFT JOIN versions ov ON ov.id = c.wv "
    "GROUP BY 1";
// The $3-th newest start (counted from 0) of the intervals that begin after
// a machine's first scan, and of those that end, from $1 to $2: the last
// $3 + 1 changes all lie at or after either, for each is a change of its own.
inline constexpr const char* kNewestOpenedSql =
    "SELECT since FROM intervals WHERE opened AND since BETWEEN $1 AND $2 ORDER BY since DESC LIMIT 1 OFFSET $3";
inline constexpr const char* kNewestEndedSql =
    "SELECT until FROM intervals WHERE until IS NOT NULL AND until BETWEEN $1 AND $2 "
    "ORDER BY until DESC LIMIT 1 OFFSET $3";

inline Version VersionOfStored(std::int64_t value) {
  return Version::Of(static_cast<std::uint64_t>(value) ^ (std::uint64_t{1} << 63));
}

// A machine's name as stored and shown: in upper case, the same whichever
// spelling came first.
inline std::string MachineName(std::string_view name) { return UpperCase(name); }

}  // namespace vurfleet
