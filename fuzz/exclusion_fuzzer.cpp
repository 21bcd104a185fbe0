// libFuzzer target for exclusion patterns: any text is prepared, compiled as
// the loader compiles it, and matched against a few short folder paths. A
// pattern may fail to compile and nothing may crash. Where the expression has
// at most one repetition, the engine the rules use must also agree with the
// library's default, backtracking engine; with nested ones ("(.*)*") that
// engine takes exponential time even on short paths, which is why the rules
// don't use it. Every path a rule matches must also pass the walker's
// pre-test, MayHold with the expression's RequiredText.
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
  std::size_t repetitions = 0;
  for (wchar_t c : expression) repetitions += c == L'*' || c == L'+' || c == L'{' || c == L'?';
  const bool compare = repetitions <= 1;
  // A back-reference sends the rule to the backtracking engine too; with
  // nested repetitions it is slow by nature, which is no fault to find here.
  bool back_reference = false;
  for (std::size_t i = 0; i + 1 < expression.size(); ++i)
    back_reference |= expression[i] == L'\\' && expression[i + 1] >= L'1' && expression[i + 1] <= L'9';
  if (back_reference && !compare) return 0;
  std::wregex rule, reference;
  try {
    rule = vur::CompileExclusion(expression);
    if (compare)
      reference = std::wregex(expression, std::regex_constants::ECMAScript | std::regex_constants::icase);
  } catch (const std::regex_error&) {
    return 0;
  }
  const std::wstring required = vur::RequiredText(expression);
  for (const wchar_t* path : {L"D:\\", L"D:\\Temp\\", L"C:\\a\\Cache\\", L"E:\\$R\\x\\"}) {
    std::wstring text(path);
    bool matched = std::regex_match(text, rule);
    if (matched && !vur::MayHold(text, required)) __builtin_trap();
    if (compare && matched != std::regex_match(text, reference)) __builtin_trap();
  }
  return 0;
}
