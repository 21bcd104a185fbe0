#include "output/exposure.h"

namespace vurfleet {
namespace {

Cell OptionalText(const std::string& text) { return text.empty() ? Cell::Empty() : Cell::Text(text); }

}  // namespace

void PrintExposure(const Advisories& advisories, const ExposedEntries& exposed, Format format,
                   std::ostream& out) {
  RowWriter writer(out, format, {"id", "severity", "machine", "path", "version", "status", "since"});
  for (const ExposedEntries::Entry& e : exposed.entries) {
    const Advisory& advisory = advisories.advisories[e.advisory];
    writer.Row({Cell::Text(advisory.id), OptionalText(std::string(SeverityName(advisory.severity))),
                Cell::Text(exposed.machines[e.machine]), Cell::Text(exposed.paths[e.path]),
                Cell::Text(e.version.ToString()),
                Cell::Text(e.verdict == Verdict::kExposed ? "exposed" : "unknown"),
                Cell::Text(FormatTime(e.since))});
  }
  writer.Finish();
}

void PrintExposureSummary(const Advisories& advisories, const Summary& summary, Format format,
                          std::ostream& out) {
  RowWriter writer(out, format, {"id", "severity", "title", "exposed", "unknown", "fixed", "median_days"});
  for (const SummaryRow& row : summary.Rows()) {
    const Advisory& advisory = advisories.advisories[row.advisory];
    writer.Row({Cell::Text(advisory.id), OptionalText(std::string(SeverityName(advisory.severity))),
                OptionalText(advisory.title), Cell::Number(row.exposed), Cell::Number(row.unknown),
                Cell::Number(row.fixed),
                row.median_tenths ? Cell::Text(DaysText(*row.median_tenths)) : Cell::Empty()});
  }
  writer.Finish();
}

void PrintExposureWindows(const Advisories& advisories, const ExposureWindows& windows, Format format,
                          std::ostream& out) {
  RowWriter writer(out, format, {"id", "machine", "from", "until", "days"});
  for (const ExposureWindows::Row& r : windows.rows) {
    writer.Row({Cell::Text(advisories.advisories[r.advisory].id), Cell::Text(windows.machines[r.machine]),
                Cell::Text(FormatTime(r.from)), r.until ? Cell::Text(FormatTime(*r.until)) : Cell::Empty(),
                r.until ? Cell::Text(DaysText(TenthsOfDays(*r.until - r.from))) : Cell::Empty()});
  }
  writer.Finish();
}

}  // namespace vurfleet
