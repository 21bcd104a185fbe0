#include "query/query.h"

namespace vurfleet {

std::string ChangeKind(const ChangeRow& change) {
  if (!change.old_version) return "added";
  if (!change.new_version) return "removed";
  const Version& before = *change.old_version;
  const Version& after = *change.new_version;
  if (before.is_none() || after.is_none()) return "changed";
  return after.value() > before.value() ? "upgraded" : "downgraded";
}

std::string MachineStatus(const MachineRow& machine, Time now, int stale_days) {
  if (now - machine.last_started > static_cast<Time>(stale_days) * 86400) return "stale";
  if (!machine.last_completed) return "incomplete";
  return "ok";
}

}  // namespace vurfleet
