// The check's reads (store/check_source.h) in SQL. Every read leaves a
// healthy inventory's rows on the server: the overlaps, the intervals that
// open at no scan by an anti-join, and the open intervals summed a machine.
// PostgreSQL runs them all; SQLite, whose rows are in the process already,
// walks the intervals once in key order for the first two instead
// (sqlite_check.cpp).
#pragma once

#include "store/check_source.h"

namespace vurfleet::check_sql {

// machine, path, since, until, next since: an interval and the next one,
// by a window over each machine's and path's intervals in key order.
constexpr const char* kOverlapsByWindow = R"sql(
SELECT coalesce(m.name, '#' || o.machine_id), coalesce(p.path, '#' || o.path_id), o.since, o.until, o.next_since
FROM (SELECT machine_id, path_id, since, until,
             lead(since) OVER (PARTITION BY machine_id, path_id ORDER BY since) AS next_since
      FROM intervals) AS o
LEFT JOIN machines m ON m.id = o.machine_id
LEFT JOIN paths p ON p.id = o.path_id
WHERE o.next_since IS NOT NULL AND (o.until IS NULL OR o.until > o.next_since)
ORDER BY 1, 2, 3)sql";

// machine, path, since.
constexpr const char* kOffScan = R"sql(
SELECT coalesce(m.name, '#' || i.machine_id), coalesce(p.path, '#' || i.path_id), i.since
FROM intervals i
LEFT JOIN machines m ON m.id = i.machine_id
LEFT JOIN paths p ON p.id = i.path_id
WHERE NOT EXISTS (SELECT 1 FROM scans s WHERE s.machine_id = i.machine_id AND s.started = i.since)
ORDER BY 1, 2, 3)sql";

// id, name, files, open intervals, their two sums, the cache's exact and runs.
constexpr const char* kMachineSums =
    "SELECT m.id, m.name, m.files, coalesce(o.n, 0), coalesce(o.a, 0), coalesce(o.b, 0), l.exact, l.runs "
    "FROM machines m "
    "LEFT JOIN (SELECT machine_id, count(*) AS n, CAST(sum(" VURFLEET_OPEN_SUM_A ") AS bigint) AS a, "
    "CAST(sum(" VURFLEET_OPEN_SUM_B ") AS bigint) AS b "
    "FROM intervals WHERE until IS NULL GROUP BY machine_id) AS o ON o.machine_id = m.id "
    "LEFT JOIN latest l ON l.machine_id = m.id "
    "ORDER BY m.name";

}  // namespace vurfleet::check_sql
