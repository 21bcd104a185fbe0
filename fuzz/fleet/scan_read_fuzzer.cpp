// Any bytes as a collected scan file: the reader must answer with a scan or
// a refusal, never crash, and a scan's views must lie inside its text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "read/read.h"
#include "read/shield.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::variant<vurfleet::Scan, vurfleet::Refusal> result =
      vurfleet::ReadScan(std::string(reinterpret_cast<const char*>(data), size));
  if (auto* scan = std::get_if<vurfleet::Scan>(&result)) {
    const std::string& text = *scan->holder;
    const auto inside = [&](std::string_view view) {
      return view.data() >= text.data() && view.data() + view.size() <= text.data() + text.size();
    };
    std::vector<std::string_view> errors;
    for (const auto& line : scan->reports) {
      if (!inside(line.path) || line.path.empty()) __builtin_trap();
    }
    for (const auto& e : scan->errors) {
      if (!inside(e.text)) __builtin_trap();
      errors.push_back(e.text);
    }
    const vurfleet::Shield shield = vurfleet::ShieldOf(errors);
    for (const auto& line : scan->reports) shield.Covers(line.path);
  } else if (std::get<vurfleet::Refusal>(result).line < 1) {
    __builtin_trap();
  }
  return 0;
}
