#include "output/print.h"

#include "query/query.h"

namespace vurfleet {
namespace {

Cell OptionalVersion(const std::optional<Version>& version) {
  return version ? Cell::Text(version->ToString()) : Cell::Empty();
}

}  // namespace

void PrintFind(Store& store, const FindQuery& query, Format format, std::ostream& out) {
  RowWriter writer(out, format, {"machine", "path", "version", "since"});
  store.Find(query, [&](const FindRow& row) {
    writer.Row({Cell::Text(row.machine), Cell::Text(row.path), Cell::Text(row.version.ToString()),
                Cell::Text(FormatTime(row.since))});
  });
  writer.Finish();
}

void PrintChanges(Store& store, const ChangesQuery& query, Format format, std::ostream& out) {
  RowWriter writer(out, format, {"machine", "scan", "change", "path", "old", "new"});
  store.Changes(query, [&](const ChangeRow& row) {
    writer.Row({Cell::Text(row.machine), Cell::Text(FormatTime(row.scan)),
                Cell::Text(ChangeKind(row)), Cell::Text(row.path), OptionalVersion(row.old_version),
                OptionalVersion(row.new_version)});
  });
  writer.Finish();
}

void PrintMachines(Store& store, Time now, int stale_days, Format format, std::ostream& out) {
  RowWriter writer(out, format,
                   {"machine", "last_started", "last_completed", "status", "files", "errors"});
  store.Machines([&](const MachineRow& row) {
    writer.Row({Cell::Text(row.machine), Cell::Text(FormatTime(row.last_started)),
                row.last_completed ? Cell::Text(FormatTime(*row.last_completed)) : Cell::Empty(),
                Cell::Text(MachineStatus(row, now, stale_days)), Cell::Number(row.files),
                Cell::Number(row.errors)});
  });
  writer.Finish();
}

void PrintPrograms(Store& store, int top, Format format, std::ostream& out) {
  RowWriter writer(out, format, {"name", "machines", "version", "version_machines"});
  store.Programs(top, [&](const ProgramRow& row) {
    writer.Row({Cell::Text(row.name), Cell::Number(row.machines), Cell::Text(row.version.ToString()),
                Cell::Number(row.version_machines)});
  });
  writer.Finish();
}

}  // namespace vurfleet
