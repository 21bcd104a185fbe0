// Any bytes as an advisories file: the reader must answer with advisories
// or a refusal, never crash, and advisories it accepts must keep its
// promises (every rule of a known advisory, bounds in order); they are
// then held against a few entries.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "exposure/advisories.h"
#include "exposure/exposure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vurfleet;
  std::variant<Advisories, Refusal> result =
      ReadAdvisories(std::string(reinterpret_cast<const char*>(data), size));
  if (const Refusal* refusal = std::get_if<Refusal>(&result)) {
    if (refusal->line < 1 || refusal->why.empty()) __builtin_trap();
    return 0;
  }
  const Advisories& advisories = std::get<Advisories>(result);
  if (advisories.rules.empty()) __builtin_trap();
  for (const AdvisoryRule& rule : advisories.rules) {
    if (rule.advisory >= advisories.advisories.size()) __builtin_trap();
    if (rule.affected_from && rule.fixed && rule.fixed->value() <= rule.affected_from->value()) {
      __builtin_trap();
    }
  }
  for (const Advisory& advisory : advisories.advisories) {
    if (advisory.id.empty()) __builtin_trap();
  }
  RuleMatcher matcher(advisories);
  std::vector<HoldingRow> rows;
  for (const Glob& name : matcher.names()) {
    const std::string file = "C:\\Program Files\\" + name.folded();
    rows.push_back(HoldingRow{"PC1", file, Version::None(), 10, 20});
    rows.push_back(HoldingRow{"PC1", file, Version::FromParts(1, 2, 3, 4), 20, std::nullopt});
  }
  const MachineExposure exposure = JudgeMachine(rows, advisories, matcher);
  Summary summary(advisories, 15, 1);
  summary.Add("PC1", exposure, rows);
  summary.Rows();
  EntriesAt(exposure, rows, 25);
  return 0;
}
