// Any bytes as a collected scan file: the reader must answer with a scan or
// a refusal, never crash, a scan's views must lie inside its text, and each
// path it reports must be a Windows path of at most 32 767 UTF-16 units.
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
    const auto windows_path = [](std::string_view path) {
      if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') return true;
      return path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') &&
             path[1] == ':' && path[2] == '\\';
    };
    const auto utf16_units = [](std::string_view text) {
      std::size_t units = 0;
      for (const char c : text) {
        units += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        units += static_cast<unsigned char>(c) >= 0xF0;
      }
      return units;
    };
    for (const auto& line : scan->reports) {
      if (!inside(line.path) || !windows_path(line.path)) __builtin_trap();
      if (utf16_units(line.path) > 32767) __builtin_trap();
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
