#include "output/licenses.h"

namespace vurfleet {
namespace {

Cell OptionalText(const std::string& text) { return text.empty() ? Cell::Empty() : Cell::Text(text); }

const char* StatusName(EntryStatus status) {
  switch (status) {
    case EntryStatus::kCounted: return "counted";
    case EntryStatus::kUnknown: return "unknown";
    case EntryStatus::kStale: break;
  }
  return "stale";
}

}  // namespace

void PrintLicenses(const Entitlements& entitlements, const std::vector<PoolRow>& rows, Format format,
                   std::ostream& out) {
  RowWriter writer(out, format,
                   {"pool", "title", "rule", "seats", "now", "unknown", "stale", "peak", "peak_at", "counted",
                    "due", "days_over"});
  for (const PoolRow& row : rows) {
    const Pool& pool = entitlements.pools[row.pool];
    writer.Row({Cell::Text(pool.name), OptionalText(pool.title), Cell::Text(std::string(CountRuleName(pool.rule))),
                Cell::Number(pool.seats), Cell::Number(row.now), Cell::Number(row.unknown),
                Cell::Number(row.stale), Cell::Number(row.peak),
                row.peak_at ? Cell::Text(FormatTime(*row.peak_at)) : Cell::Empty(), Cell::Number(row.counted),
                Cell::Number(row.due), Cell::Number(row.days_over)});
  }
  writer.Finish();
}

void PrintLicenseMachines(const Entitlements& entitlements, const LicenseEntries& entries, Format format,
                          std::ostream& out) {
  RowWriter writer(out, format, {"pool", "machine", "path", "version", "status", "since", "last_scan"});
  for (const PoolEntry& e : entries.entries) {
    const HoldingRow& row = entries.rows[e.row];
    writer.Row({Cell::Text(entitlements.pools[e.pool].name), Cell::Text(entries.machines[e.machine]),
                Cell::Text(row.path), Cell::Text(row.version.ToString()), Cell::Text(StatusName(e.status)),
                Cell::Text(FormatTime(row.since)), Cell::Text(FormatTime(e.last_scan))});
  }
  writer.Finish();
}

void PrintLicenseDays(const Entitlements& entitlements, const std::vector<PoolDay>& days, Format format,
                      std::ostream& out) {
  RowWriter writer(out, format, {"pool", "day", "max", "seats"});
  for (const PoolDay& d : days) {
    const Pool& pool = entitlements.pools[d.pool];
    writer.Row({Cell::Text(pool.name), Cell::Text(FormatDay(d.day)), Cell::Number(d.max), Cell::Number(pool.seats)});
  }
  writer.Finish();
}

}  // namespace vurfleet
