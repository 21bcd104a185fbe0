// The true-up: how many machines held each pool of the entitlements over
// its contract period, from each machine's history. Pure: the intervals
// and the scans' starts come from the store (licenses/gather.h), a machine
// at a time, judged as the advisories are (exposure/exposure.h).
//
// A machine holds a pool at T when its inventory at T (after its last scan
// that started at or before T) holds an entry a rule of the pool counts. It
// is stale at T when that scan started more than `stale_days` days before
// T, to the second; a stale machine, or one before its first scan, counts
// neither as holding nor as unknown. The count at T is the machines that
// hold the pool and are not stale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "exposure/exposure.h"
#include "licenses/entitlements.h"

namespace vurfleet {

struct LicenseOptions {
  Time at = 0;                  // the period so far ends here; `now` is the count here
  std::int64_t stale_days = 30;
};

// One pool's figures (the default form).
struct PoolRow {
  std::uint32_t pool;          // into Entitlements::pools
  std::int64_t now = 0;        // the count at `at`
  std::int64_t unknown = 0;    // machines not stale at `at` with an unknown entry and none counted
  std::int64_t stale = 0;      // machines stale at `at` whose last scan held the pool
  std::int64_t peak = 0;       // the highest count of the period so far
  std::optional<Time> peak_at; // its first second; none before the period begins
  std::int64_t counted = 0;    // what the pool's rule counts
  std::int64_t due = 0;        // max(0, counted - seats)
  std::int64_t days_over = 0;  // days of the period so far with a count above the seats
};

// One pool's day of the period so far (--days).
struct PoolDay {
  std::uint32_t pool;
  Time day;          // its midnight
  std::int64_t max;  // the highest count during the day, within the period so far
};

enum class EntryStatus : std::uint8_t { kCounted, kUnknown, kStale };

// An entry at `at` (--machines): counted or unknown on a machine not stale,
// or counted by a stale machine's last scan.
struct PoolEntry {
  std::uint32_t pool;
  std::uint32_t machine;  // into LicenseEntries::machines
  std::uint32_t row;      // into LicenseEntries::rows
  EntryStatus status;
  Time last_scan;
};

struct LicenseEntries {
  std::vector<std::string> machines;
  std::vector<HoldingRow> rows;   // the entries' intervals
  std::vector<PoolEntry> entries; // by pool name, machine, path
};

// The whole fleet's true-up, machine by machine (in name order).
class TrueUp {
 public:
  TrueUp(const Entitlements& entitlements, const LicenseOptions& options, bool keep_entries = false);

  // One machine: the starts of its scans (ascending), its intervals of the
  // pools' names (as Store::Holdings gives them) and their judgement
  // against entitlements.rules.
  void Add(const std::string& machine, const std::vector<Time>& scans, const std::vector<HoldingRow>& rows,
           const MachineExposure& exposure);

  // Puts the counts' changes in time order and the entries by pool name,
  // machine and path: once, after the last Add and before what follows.
  void Finish();

  // One row a pool: most due first, then by pool name.
  std::vector<PoolRow> Rows() const;
  // One row a pool and day of its period so far: by pool name, then day.
  std::vector<PoolDay> Days() const;
  // The entries at `at`, when asked for.
  const LicenseEntries& entries() const { return entries_; }

  // The machines that are stale at `at` and whose last scan held the pool,
  // in name order, for the page's bounded list.
  const std::vector<std::string>& stale_machines(std::uint32_t pool) const { return stale_lists_[pool]; }

 private:
  // The count's changes: +1 where a machine starts counting, -1 where it stops.
  using Events = std::vector<std::pair<Time, std::int32_t>>;
  struct Period {
    Time from, end;  // the period so far: [from, end); empty before it begins
  };
  Period PeriodOf(std::uint32_t pool) const;
  static std::int64_t CountAt(const Events& events, Time at);

  const Entitlements& entitlements_;
  LicenseOptions options_;
  bool keep_entries_;
  std::vector<Events> events_;  // in time order once finished
  std::vector<PoolRow> now_;  // now, unknown, stale
  std::vector<std::vector<std::string>> stale_lists_;
  LicenseEntries entries_;
  std::vector<std::uint32_t> rank_;  // each pool's rank by name
};

// The day's midnight of `time`.
Time DayOf(Time time);

// "YYYY-MM-DD".
std::string FormatDay(Time day);

}  // namespace vurfleet
