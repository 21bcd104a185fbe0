// The inventory checks itself: the history's own rules over the stored rows,
// what the load derives from the intervals (the latest-runs cache, each
// machine's count of files) against them, and the database's own check.
// Once, over either store's CheckSource; `--repair` rewrites what is derived,
// never an interval.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "store/check_source.h"

namespace vurfleet {

// The kinds of fault, in the order they are printed. A new kind is one more
// value here and one more row of kKinds in check.cpp.
enum class FaultKind { kOverlap, kOffScan, kLatest, kFiles, kCounts, kDatabase };
constexpr std::size_t kFaultKinds = 6;

struct CheckFindings {
  std::int64_t machines = 0;
  // Per kind: the first lines (at most the cap), and how many there are.
  std::array<std::vector<std::string>, kFaultKinds> lines;
  std::array<std::int64_t, kFaultKinds> counts{};
  // What the database's own check ran, or why it ran nothing.
  std::vector<std::string> notes;
  // What a repair writes, with the line it says for each.
  CheckRepair repair;
  std::vector<std::string> repair_lines;

  std::int64_t faults() const;
};

// Every check, in the caller's CheckTransaction; `database`: the database's
// own check too. At most `cap` lines a kind.
CheckFindings Check(CheckSource& source, bool database, std::size_t cap = 20);

// The findings, a line each, then the lines beyond the cap counted, the
// notes, and a summary line. Machine names and paths are escaped.
void PrintFindings(const CheckFindings& findings, std::ostream& out);

// A check, and with `repair` what it found derived rewritten and checked
// again (`after`), all in one CheckTransaction. The database's own check
// runs once: its findings stand in `after`.
struct CheckRun {
  CheckFindings found;
  bool repaired = false;
  CheckFindings after;
  // What the run's last check found.
  const CheckFindings& last() const { return repaired ? after : found; }
};
CheckRun RunCheck(CheckSource& source, bool repair, std::size_t cap = 20);
// The findings, what the repair wrote (a line each, at most the cap), and
// the findings after it.
void PrintCheckRun(const CheckRun& run, bool repair, std::ostream& out, std::size_t cap = 20);

}  // namespace vurfleet
