// libFuzzer target for exclusion patterns: any text is prepared, compiled as
// the loader compiles it, and matched against a few short folder paths. A
// pattern may fail to compile; nothing may crash; and the engine the rules
// use must agree with the library's default engine on every match. Paths
// stay short so that the default engine's backtracking ends.
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>

#include "config/exclusions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 256) return 0;
  std::wstring pattern;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    pattern += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
  static const std::wregex form = vur::ExclusionFormTest();
  std::wstring expression = vur::PrepareExclusion(pattern, form);
  if (expression.empty()) return 0;
  std::wregex rule, reference;
  try {
    rule = vur::CompileExclusion(expression);
    reference = std::wregex(expression, std::regex_constants::ECMAScript | std::regex_constants::icase);
  } catch (const std::regex_error&) {
    return 0;
  }
  for (const wchar_t* path : {L"D:\\", L"D:\\Temp\\", L"C:\\a\\Cache\\", L"E:\\$R\\x\\"}) {
    std::wstring text(path);
    if (std::regex_match(text, rule) != std::regex_match(text, reference)) __builtin_trap();
  }
  return 0;
}
