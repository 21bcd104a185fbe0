// Advisories held against a machine's history: which of its stored
// intervals are exposed to an advisory or can't be judged, its windows of
// exposure, and the fleet's summary. Pure: the intervals come from the
// store (Store::Holdings), a machine at a time.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "exposure/advisories.h"
#include "query/rows.h"

namespace vurfleet {

// What a rule says of one entry: nothing, exposed, or unknown (the rule
// bounds versions and the file has none).
enum class Verdict : std::uint8_t { kNone, kUnknown, kExposed };

// The rule's verdict on a file at `version` whose name and path it matches.
Verdict Judge(const AdvisoryRule& rule, const Version& version);

// The rules whose name and path match a path, remembered by path: a fleet
// holds the same paths on many machines. Bounded: forgets all when full.
// Rules whose name has no wildcard are found by the file's name key, so a
// path costs a look-up and the wildcard rules, not every rule.
class RuleMatcher {
 public:
  explicit RuleMatcher(const Advisories& advisories);
  const std::vector<std::uint32_t>& RulesFor(const std::string& path);
  // The same, remembered by the row's path_place when it has one: every
  // path of the answer, however many, at four bytes each.
  const std::vector<std::uint32_t>& RulesFor(const HoldingRow& row);
  // The distinct name patterns of the rules, for Store::Holdings.
  const std::vector<Glob>& names() const { return names_; }

 private:
  std::vector<std::uint32_t> Matching(const std::string& path) const;

  const Advisories& advisories_;
  std::vector<Glob> names_;
  std::unordered_map<std::string, std::vector<std::uint32_t>> by_name_;  // literal names, folded
  std::vector<std::uint32_t> wildcards_;                                 // rules whose name has one
  std::unordered_map<std::string, std::vector<std::uint32_t>> cache_;
  // By path_place: an index into lists_, each list of rules once.
  std::vector<std::uint32_t> by_place_;
  std::vector<std::vector<std::uint32_t>> lists_;
  std::map<std::vector<std::uint32_t>, std::uint32_t> list_index_;
  static constexpr std::size_t kRemembered = 1 << 16;
};

// An interval of a machine's history judged against one advisory: the
// verdict of the advisory's rules together (exposed when any rule says
// so, else unknown when any says so).
struct Finding {
  std::uint32_t advisory;
  std::uint32_t row;  // into the machine's rows
  Verdict verdict;    // kExposed or kUnknown
};

// A maximal run of a machine's scans after each of which it held an entry
// exposed to the advisory: from the start of the first, up to the start
// of the first scan after which none is (none while it lasts).
struct Window {
  std::uint32_t advisory;
  Time from;
  std::optional<Time> until;
};

struct MachineExposure {
  std::vector<Finding> findings;  // by row, then advisory
  std::vector<Window> windows;    // by advisory, then from
};

// Judges one machine's intervals (ordered by path, then since, as
// Store::Holdings gives them). Windows are the unions of the exposed
// intervals: intervals end and begin at scan starts, so intervals that
// adjoin (one version replacing another, both affected) make one window.
MachineExposure JudgeMachine(const std::vector<HoldingRow>& rows, const Advisories& advisories,
                             RuleMatcher& matcher);

// Whether the interval or window [since, until) holds at `at`: as `find
// --at` reads it, after the machine's last scan that started by then.
inline bool HoldsAt(Time since, const std::optional<Time>& until, Time at) {
  return since <= at && (!until || at < *until);
}

// One row of the exposure at a time: an entry exposed or unknown.
struct ExposedEntry {
  std::uint32_t advisory;
  std::uint32_t row;
  Verdict verdict;
  // Exposed: the from of the machine's window open at the time; unknown:
  // the entry's own since.
  Time since;
};
// The machine's entries exposed or unknown at `at`, by row then advisory.
std::vector<ExposedEntry> EntriesAt(const MachineExposure& exposure,
                                    const std::vector<HoldingRow>& rows, Time at);

// One advisory's figures at a time. `median_tenths`: the median length, in
// tenths of a day, of the windows closed by then.
//
// The three counts part the machines: a machine is exposed (an exposed
// entry at the time), else unknown (an unknown entry), else fixed (a window
// of it closed by then). A window closed by a scan where an unknown entry
// begins (the file lost its version) is no fix and no length of the
// median; its machine counts as fixed once it holds neither entry.
struct SummaryRow {
  std::uint32_t advisory;
  std::int64_t exposed = 0;
  std::int64_t unknown = 0;
  std::int64_t fixed = 0;
  std::optional<std::int64_t> median_tenths;
};

// The fleet's summary, machine by machine. It also keeps, for each
// advisory, the first `listed` machines exposed at the time (machines come
// in name order), with the from of their open window.
class Summary {
 public:
  Summary(const Advisories& advisories, Time at, std::size_t listed = 0);
  void Add(const std::string& machine, const MachineExposure& exposure,
           const std::vector<HoldingRow>& rows);

  // One row per advisory, most severe first, then most exposed machines,
  // then by id.
  std::vector<SummaryRow> Rows() const;
  // Machines exposed to at least one advisory at the time.
  std::int64_t exposed_machines() const { return exposed_machines_; }
  // Machines exposed at the time to one of the advisories of `rows` (as
  // Rows gives them) past the first `shown`, each machine once.
  std::int64_t MachinesExposedBeyond(const std::vector<SummaryRow>& rows, std::size_t shown) const;
  struct Listed {
    std::string machine;
    Time since;
  };
  const std::vector<Listed>& listed(std::uint32_t advisory) const { return lists_[advisory]; }

 private:
  const Advisories& advisories_;
  Time at_;
  std::size_t listed_;
  std::vector<SummaryRow> rows_;
  std::vector<std::vector<std::int64_t>> closed_;  // seconds of each window closed by then
  std::vector<std::vector<Listed>> lists_;
  std::int64_t exposed_machines_ = 0;
  // Each exposed machine's advisories at the time, UINT32_MAX after each.
  std::vector<std::uint32_t> exposed_by_machine_;
};

// Days with one decimal, from tenths: "12.5".
std::string DaysText(std::int64_t tenths);
// A length in seconds as tenths of a day, rounded half up.
std::int64_t TenthsOfDays(std::int64_t seconds);

// The advisories' order in the default form (severity, then id) and in
// --windows (id): each advisory's rank.
std::vector<std::uint32_t> RankBySeverityThenId(const Advisories& advisories);
std::vector<std::uint32_t> RankById(const Advisories& advisories);

}  // namespace vurfleet
