#include "licenses/licenses.h"

#include <algorithm>
#include <climits>
#include <numeric>

namespace vurfleet {
namespace {

constexpr Time kDay = 86400;

}  // namespace

Time DayOf(Time time) {
  // Floor, not truncation: a stamp before 1970 still falls in its own day.
  const Time q = time / kDay;
  return (q * kDay > time ? q - 1 : q) * kDay;
}

std::string FormatDay(Time day) { return FormatTime(day).substr(0, 10); }

TrueUp::TrueUp(const Entitlements& entitlements, const LicenseOptions& options, bool keep_entries)
    : entitlements_(entitlements),
      options_(options),
      keep_entries_(keep_entries),
      events_(entitlements.pools.size()),
      now_(entitlements.pools.size()),
      stale_lists_(entitlements.pools.size()),
      rank_(entitlements.pools.size()) {
  std::vector<std::uint32_t> by_name(entitlements.pools.size());
  std::iota(by_name.begin(), by_name.end(), 0u);
  std::sort(by_name.begin(), by_name.end(), [&](std::uint32_t a, std::uint32_t b) {
    return entitlements.pools[a].name < entitlements.pools[b].name;
  });
  for (std::uint32_t k = 0; k < by_name.size(); ++k) rank_[by_name[k]] = k;
  for (std::uint32_t p = 0; p < now_.size(); ++p) now_[p].pool = p;
}

void TrueUp::Add(const std::string& machine, const std::vector<Time>& scans,
                 const std::vector<HoldingRow>& rows, const MachineExposure& exposure) {
  if (scans.empty()) return;
  const Time at = options_.at;
  // A scan's inventory counts from its start up to the next scan's, or up to
  // the last second it is not stale: `stale_days` days after it, included.
  const Time fresh = options_.stale_days * kDay + 1;

  // The machine counts for a pool over the seconds that lie both in a
  // window where it holds the pool and in a scan's fresh time. Windows begin
  // and end at scan starts; consecutive scans' spans are joined.
  for (const Window& w : exposure.windows) {
    Events& events = events_[w.advisory];
    bool open = false;
    Time from = 0, to = 0;
    for (auto k = std::lower_bound(scans.begin(), scans.end(), w.from);
         k != scans.end() && (!w.until || *k < *w.until); ++k) {
      Time stop = *k + fresh;
      if (k + 1 != scans.end()) stop = std::min(stop, *(k + 1));
      if (w.until) stop = std::min(stop, *w.until);
      if (open && *k == to) {
        to = stop;
        continue;
      }
      if (open) {
        events.emplace_back(from, 1);
        events.emplace_back(to, -1);
      }
      open = true;
      from = *k;
      to = stop;
    }
    if (open) {
      events.emplace_back(from, 1);
      events.emplace_back(to, -1);
    }
  }

  // The machine at `at`: before its first scan it is not counted at all.
  const auto after = std::upper_bound(scans.begin(), scans.end(), at);
  if (after == scans.begin()) return;
  const Time last = *(after - 1);
  const bool stale = at - last >= fresh;
  std::vector<std::uint8_t> seen(entitlements_.pools.size(), 0);  // 1 counted, 2 unknown
  std::uint32_t m = 0;
  bool named = false;
  for (const Finding& f : exposure.findings) {
    const HoldingRow& row = rows[f.row];
    if (!HoldsAt(row.since, row.until, at)) continue;
    const bool counted = f.verdict == Verdict::kExposed;
    seen[f.advisory] |= counted ? 1 : 2;
    if (!keep_entries_ || (stale && !counted)) continue;
    if (!named) {
      m = static_cast<std::uint32_t>(entries_.machines.size());
      entries_.machines.push_back(machine);
      named = true;
    }
    entries_.entries.push_back(PoolEntry{
        f.advisory, m, static_cast<std::uint32_t>(entries_.rows.size()),
        stale ? EntryStatus::kStale : counted ? EntryStatus::kCounted : EntryStatus::kUnknown, last});
    entries_.rows.push_back(row);
  }
  for (std::uint32_t p = 0; p < seen.size(); ++p) {
    if (stale && (seen[p] & 1)) {
      ++now_[p].stale;
      stale_lists_[p].push_back(machine);
    } else if (!stale && seen[p] == 2) {
      ++now_[p].unknown;
    }
  }
}

void TrueUp::Finish() {
  for (Events& e : events_) std::sort(e.begin(), e.end());
  // Entries come by machine, then row (path); stable keeps that order.
  std::stable_sort(entries_.entries.begin(), entries_.entries.end(),
                   [&](const PoolEntry& a, const PoolEntry& b) { return rank_[a.pool] < rank_[b.pool]; });
}

TrueUp::Period TrueUp::PeriodOf(std::uint32_t pool) const {
  const Pool& p = entitlements_.pools[pool];
  const Time end = options_.at == LLONG_MAX ? p.until : std::min(p.until, options_.at + 1);
  return Period{p.from, std::max(p.from, end)};
}

std::int64_t TrueUp::CountAt(const Events& events, Time at) {
  std::int64_t count = 0;
  for (const auto& [time, delta] : events) {
    if (time > at) break;
    count += delta;
  }
  return count;
}

namespace {

// Walks a pool's sorted events through time, one instant at a time.
class Sweep {
 public:
  explicit Sweep(const std::vector<std::pair<Time, std::int32_t>>& events) : events_(events) {}
  // The count at `time`, taking every event up to it; times only increase.
  std::int64_t To(Time time) {
    while (next_ < events_.size() && events_[next_].first <= time) count_ += events_[next_++].second;
    return count_;
  }
  // The time of the next event, if it lies before `end`.
  std::optional<Time> NextBefore(Time end) const {
    if (next_ < events_.size() && events_[next_].first < end) return events_[next_].first;
    return std::nullopt;
  }

 private:
  const std::vector<std::pair<Time, std::int32_t>>& events_;
  std::size_t next_ = 0;
  std::int64_t count_ = 0;
};

// Each day of [from, end) with the highest count during it.
template <typename Each>
void EachDay(const std::vector<std::pair<Time, std::int32_t>>& events, Time from, Time end, const Each& each) {
  Sweep sweep(events);
  for (Time day = DayOf(from); day < end; day += kDay) {
    const Time first = std::max(day, from);
    const Time last = std::min(day + kDay, end);
    std::int64_t max = sweep.To(first);
    while (const std::optional<Time> t = sweep.NextBefore(last)) max = std::max(max, sweep.To(*t));
    each(day, max);
  }
}

}  // namespace

std::vector<PoolRow> TrueUp::Rows() const {
  const std::vector<Events>& events = events_;
  std::vector<PoolRow> rows = now_;
  for (PoolRow& row : rows) {
    const Pool& pool = entitlements_.pools[row.pool];
    const Events& e = events[row.pool];
    row.now = CountAt(e, options_.at);
    const Period period = PeriodOf(row.pool);
    if (period.from >= period.end) continue;  // not begun: nothing counted yet
    Sweep sweep(e);
    row.peak = sweep.To(period.from);
    row.peak_at = period.from;
    while (const std::optional<Time> t = sweep.NextBefore(period.end)) {
      const std::int64_t count = sweep.To(*t);
      if (count > row.peak) {
        row.peak = count;
        row.peak_at = *t;
      }
    }
    row.counted = pool.rule == CountRule::kPeak ? row.peak
                                                 : CountAt(e, std::min(pool.until - 1, options_.at));
    row.due = std::max<std::int64_t>(0, row.counted - pool.seats);
    EachDay(e, period.from, period.end, [&](Time, std::int64_t max) { row.days_over += max > pool.seats; });
  }
  std::sort(rows.begin(), rows.end(), [&](const PoolRow& a, const PoolRow& b) {
    return a.due != b.due ? a.due > b.due : rank_[a.pool] < rank_[b.pool];
  });
  return rows;
}

std::vector<PoolDay> TrueUp::Days() const {
  const std::vector<Events>& events = events_;
  std::vector<std::uint32_t> order(entitlements_.pools.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return rank_[a] < rank_[b]; });
  std::vector<PoolDay> days;
  for (const std::uint32_t p : order) {
    const Period period = PeriodOf(p);
    EachDay(events[p], period.from, period.end,
            [&](Time day, std::int64_t max) { days.push_back(PoolDay{p, day, max}); });
  }
  return days;
}

}  // namespace vurfleet
