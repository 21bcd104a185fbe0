#include "config/exclusions.h"

#include <set>
#include <utility>

#include "config/settings_key.h"
#include "diag/text.h"
#include "platform/regex_engine.h"
#include "run/scanner.h"

namespace vur {

// "$" in an expression is an end-of-text assertion, so the recycle bin's own
// dollar sign is written as a bracket expression, as the wildcard table does.
const wchar_t* const kDefaultExclusions[3] = {
    L"m/.:\\\\[$]Recycle.Bin\\\\/",
    L"m/.:\\\\RECYCLED\\\\/",
    L"m/.:\\\\RECYCLER\\\\/",
};

namespace {

// Wildcard characters to expression text, in this order: backslashes are
// doubled before any escape is written, and brackets are escaped before the
// bracket expressions of the later steps are written.
const std::pair<const wchar_t*, const wchar_t*> kWildcardSteps[] = {
    {L"\\", L"\\\\"}, {L"*", L".*"},  {L"?", L"."},    {L"[", L"\\["},
    {L"]", L"\\]"},   {L"^", L"[\\^]"}, {L"$", L"[$]"}, {L"+", L"[+]"},
    {L"(", L"\\("},   {L")", L"\\)"},  {L"{", L"\\{"},  {L"}", L"\\}"},
};

}  // namespace

std::wstring ReplaceAll(const std::wstring& text, const std::wstring& from, const std::wstring& to) {
  std::wstring copy = text;
  if (from.empty()) return copy;
  std::size_t position = copy.find(from, 0);
  while (position != std::wstring::npos) {
    copy.replace(position, from.size(), to);
    position = copy.find(from, position + to.size());
  }
  return copy;
}

std::wregex ExclusionFormTest() {
  return std::wregex(L"^m/.*/$", std::regex_constants::ECMAScript | kRegexEngine);
}

std::wregex CompileExclusion(const std::wstring& expression) {
  try {
    return std::wregex(expression, kExclusionRuleOptions);
  } catch (const std::regex_error& error) {
    // Only back-references make the breadth-first engine refuse a valid
    // expression; they need the default engine.
    if (kRegexEngine == std::regex_constants::syntax_option_type{} ||
        error.code() != std::regex_constants::error_complexity)
      throw;
  }
  return std::wregex(expression, std::regex_constants::ECMAScript | std::regex_constants::icase);
}

std::wstring PrepareExclusion(const std::wstring& pattern, const std::wregex& form_test) {
  std::wstring expression;
  if (std::regex_match(pattern, form_test)) {
    expression = pattern.substr(2, pattern.size() - 3);
  } else {
    expression = pattern;
    for (const auto& step : kWildcardSteps) expression = ReplaceAll(expression, step.first, step.second);
  }
  if (!expression.empty() && expression.back() != L'\\') expression += L"\\\\";
  return expression;
}

void Scanner::LoadExclusions() {
  std::set<std::wstring> patterns;
  SettingsKey key(log_, kSettingsReadWrite, "# ERROR: Failed to open QIM VUR registry key.\n");
  if (key.is_open()) {
    std::vector<std::wstring> texts;
    if (ReadListValue(key.get(), L"PathExclusions", &texts) != ERROR_SUCCESS) {
      Log(log_, LogLevel::kDebug, "# No local exclusions found.\n");
    } else {
      Log(log_, LogLevel::kDebug, "# Path exclusions were specified in registry.\n");
      for (const std::wstring& text : texts) {
        if (text.empty()) continue;
        Log(log_, LogLevel::kDebug, "# Found path exclusions %s.\n", ToUtf8(text));
        patterns.insert(text);
      }
    }
    key.Close();
  }
  for (const wchar_t* pattern : kDefaultExclusions) patterns.insert(pattern);
  exclusion_patterns_.assign(patterns.begin(), patterns.end());

  const std::wregex form_test = ExclusionFormTest();
  for (std::wstring& pattern : exclusion_patterns_) {
    pattern = PrepareExclusion(pattern, form_test);
    try {
      // "m//" leaves nothing to match: it is reported like a pattern that
      // does not compile.
      if (pattern.empty()) throw std::regex_error(std::regex_constants::error_space);
      exclusion_rules_.push_back(CompileExclusion(pattern));
    } catch (...) {
      Log(log_, LogLevel::kDebug, "Invalid Path Exclusion: %s", ToUtf8(pattern));
    }
  }
}

bool Scanner::IsExcludedBy(const std::wregex& rule, const std::wstring& folder_path) {
  return std::regex_match(folder_path, rule);
}

}  // namespace vur
