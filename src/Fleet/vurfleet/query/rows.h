// What the queries ask a store for, and the rows it answers with. One code
// path serves the command line and anything else that reports on a fleet.
#pragma once

#include <array>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>

#include "base/glob.h"
#include "base/time.h"
#include "base/version.h"

namespace vurfleet {

enum class VersionTest { kAny, kEqual, kBelow, kAtLeast, kNone };

struct FindQuery {
  std::optional<Glob> name;     // the file name: the path after its last backslash
  std::optional<Glob> path;     // the whole path
  std::optional<Glob> machine;
  VersionTest test = VersionTest::kAny;
  Version version = Version::None();  // for kEqual, kBelow, kAtLeast
  // The inventory after each machine's last scan that started at or before
  // this time; without it, after its last scan.
  std::optional<Time> at;
};

// Ordered by machine, then path (byte order).
struct FindRow {
  std::string machine;
  std::string path;
  Version version;
  Time since;  // the start of the first scan of the entry's current interval
};

struct ChangesQuery {
  std::optional<Glob> machine;
  std::optional<Time> since;  // bounds of the scan's start, both inclusive
  std::optional<Time> until;
};

// One change: ordered by scan start, then machine, then path. Without
// `old_version` the entry was added; without `new_version`, removed.
struct ChangeRow {
  std::string machine;
  Time scan;
  std::string path;
  std::optional<Version> old_version;
  std::optional<Version> new_version;
};

// Changes counted by the kind ChangeKind names: added, removed, upgraded,
// downgraded, changed, in that order.
using ChangeCounts = std::array<std::int64_t, 5>;

// Ordered by machine.
struct MachineRow {
  std::string machine;
  Time last_started;
  std::optional<Time> last_completed;  // that run's "# Complete" stamp
  std::int64_t files;                  // entries of the inventory now
  std::int64_t errors;                 // ERROR lines of the last scan
};

// The most widespread file names of the inventory now, and the versions
// they are held at: one row per (name, version). A machine holding a name
// at several paths counts once for the name and once for each version it
// holds it at, as counting the machines of `find --name NAME` (and of
// `--version V` or `--none`) would. Ordered by `machines` (most first), then
// name, then version, newest first, with <none> last.
struct ProgramRow {
  std::string name;                    // the file name, lower case
  std::int64_t machines;               // machines holding the name
  Version version;
  std::int64_t version_machines;       // machines holding it at `version`
  std::int64_t mixed_machines = 0;     // machines holding it at two versions or more
};

// One stored interval of a machine's history: (path, version) held from the
// scan that started at `since` up to, not including, the one that started
// at `until` (none: it still holds). Ordered by machine, path, since.
struct HoldingRow {
  std::string machine;
  std::string path;
  Version version;
  Time since;
  std::optional<Time> until;
  // The path's place among the paths of one Store::Holdings answer, each
  // path once (kNoPlace when not known): what a reader remembers of a
  // path by, cheaper than its text.
  static constexpr std::uint32_t kNoPlace = UINT32_MAX;
  std::uint32_t path_place = kNoPlace;
};

}  // namespace vurfleet
