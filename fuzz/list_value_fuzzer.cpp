// libFuzzer target for reading a list value: arbitrary data in the value
// area, with an arbitrary byte count, split into texts.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "config/settings_key.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  DWORD bytes = 0;
  std::memcpy(&bytes, data, 4);  // any count, also one larger than the area
  auto area = std::make_unique<vur::ValueArea>();
  std::size_t copy = size - 4 < sizeof area->units ? size - 4 : sizeof area->units;
  std::memcpy(area->units, data + 4, copy);
  std::vector<std::wstring> texts;
  vur::SplitList(*area, bytes, &texts);
  std::size_t units = 0;
  for (const std::wstring& text : texts) units += text.size() + 1;
  if (units > vur::kValueAreaUnits + 1) __builtin_trap();
  vur::FirstText(*area);
  return 0;
}
