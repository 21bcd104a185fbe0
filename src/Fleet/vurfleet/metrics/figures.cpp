#include "metrics/figures.h"

#include <string>

#include "query/query.h"

namespace vurfleet {

MachineStates GatherMachineStates(Store& store, Time now, int stale_days) {
  MachineStates states;
  store.Machines([&](const MachineRow& row) {
    const std::string status = MachineStatus(row, now, stale_days);
    ++(status == "stale" ? states.stale : status == "incomplete" ? states.incomplete : states.ok);
    if (!states.last_started || row.last_started > *states.last_started) states.last_started = row.last_started;
  });
  return states;
}

void WriteMachines(Exposition& out, const MachineStates& states) {
  out.Family("vurfleet_machines", "Machines by the status of their last scan, as vurfleet machines shows it.");
  out.Sample("vurfleet_machines", {{"state", "ok"}}, states.ok);
  out.Sample("vurfleet_machines", {{"state", "incomplete"}}, states.incomplete);
  out.Sample("vurfleet_machines", {{"state", "stale"}}, states.stale);
  if (!states.last_started) return;
  // Scans state their machine's wall clock without a zone: read as UTC.
  out.Family("vurfleet_last_scan_timestamp_seconds",
             "Start of the newest scan stored, the machine's wall clock read as UTC.");
  out.Sample("vurfleet_last_scan_timestamp_seconds", {}, *states.last_started);
}

void WriteLoad(Exposition& out, const std::optional<LoadFigures>& load) {
  if (!load) return;
  out.Family("vurfleet_load_files", "Files of the last vurfleet load, by what became of them.");
  out.Sample("vurfleet_load_files", {{"result", "stored"}}, load->stored);
  out.Sample("vurfleet_load_files", {{"result", "already_loaded"}}, load->already_loaded);
  out.Sample("vurfleet_load_files", {{"result", "refused"}}, load->refused);
  out.Family("vurfleet_load_finished_timestamp_seconds", "When the last vurfleet load ended.");
  out.Sample("vurfleet_load_finished_timestamp_seconds", {}, load->finished);
}

void WriteExposure(Exposition& out, const Advisories& advisories, const Summary& summary) {
  const std::vector<SummaryRow> rows = summary.Rows();
  const auto id = [&](const SummaryRow& row) { return std::string_view(advisories.advisories[row.advisory].id); };
  const auto severity = [&](const SummaryRow& row) {
    return SeverityName(advisories.advisories[row.advisory].severity);
  };
  out.Family("vurfleet_advisory_info", "Each advisory of the file given, with its severity and title.");
  for (const SummaryRow& row : rows) {
    out.Sample("vurfleet_advisory_info",
               {{"id", id(row)}, {"severity", severity(row)}, {"title", advisories.advisories[row.advisory].title}},
               1);
  }
  out.Family("vurfleet_exposed_machines", "Machines exposed to the advisory, as vurfleet exposure --summary counts them.");
  for (const SummaryRow& row : rows) {
    out.Sample("vurfleet_exposed_machines", {{"id", id(row)}, {"severity", severity(row)}}, row.exposed);
  }
  out.Family("vurfleet_unknown_machines",
             "Machines whose exposure to the advisory can't be judged (a file without its version).");
  for (const SummaryRow& row : rows) {
    out.Sample("vurfleet_unknown_machines", {{"id", id(row)}, {"severity", severity(row)}}, row.unknown);
  }
  // In seconds, the unit collectors expect of a time: the summary's median
  // days, to their tenth, times 86 400.
  out.Family("vurfleet_exposure_median_seconds",
             "Median time from exposed to fixed, of the windows closed: exposure --summary's days in seconds.");
  for (const SummaryRow& row : rows) {
    if (row.median_tenths) out.Sample("vurfleet_exposure_median_seconds", {{"id", id(row)}}, *row.median_tenths * 8640);
  }
}

void WriteLicenses(Exposition& out, const Entitlements& entitlements, const std::vector<PoolRow>& rows) {
  struct Family {
    const char* name;
    const char* help;
    std::int64_t (*value)(const Pool&, const PoolRow&);
  };
  static const Family kFamilies[] = {
      {"vurfleet_license_installs", "Machines holding the pool now, as vurfleet licenses counts them.",
       [](const Pool&, const PoolRow& r) { return r.now; }},
      {"vurfleet_license_peak", "The most machines holding the pool at once in its period so far.",
       [](const Pool&, const PoolRow& r) { return r.peak; }},
      {"vurfleet_license_seats", "The seats bought for the pool.", [](const Pool& p, const PoolRow&) { return p.seats; }},
      {"vurfleet_license_due", "Seats owed beyond those bought, by the pool's rule (peak or snapshot).",
       [](const Pool&, const PoolRow& r) { return r.due; }},
  };
  for (const Family& family : kFamilies) {
    out.Family(family.name, family.help);
    for (const PoolRow& row : rows) {
      const Pool& pool = entitlements.pools[row.pool];
      out.Sample(family.name, {{"pool", pool.name}}, family.value(pool, row));
    }
  }
}

}  // namespace vurfleet
