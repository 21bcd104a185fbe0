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

namespace {

bool IsAsciiAlnum(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

wchar_t AsciiLower(wchar_t c) { return c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c; }

// The end of the bracket expression that starts at e[i] ('['), or npos when
// its end is not plain to see: a ']' right after "[" or "[^" is read
// differently by different grammars, so such a class is not vouched for.
std::size_t ClassEnd(const std::wstring& e, std::size_t i) {
  std::size_t j = i + 1;
  if (j < e.size() && e[j] == L'^') ++j;
  if (j < e.size() && e[j] == L']') return std::wstring::npos;
  for (; j < e.size(); ++j) {
    if (e[j] == L'\\') {
      ++j;
    } else if (e[j] == L'[' && j + 1 < e.size() && (e[j + 1] == L':' || e[j + 1] == L'.' || e[j + 1] == L'=')) {
      return std::wstring::npos;  // [:alpha:] and its kin
    } else if (e[j] == L']') {
      return j;
    }
  }
  return std::wstring::npos;
}

// The ')' that closes the group starting at e[i] ('('), or npos.
std::size_t GroupEnd(const std::wstring& e, std::size_t i) {
  int depth = 0;
  for (std::size_t j = i; j < e.size(); ++j) {
    if (e[j] == L'\\') {
      ++j;
    } else if (e[j] == L'[') {
      j = ClassEnd(e, j);
      if (j == std::wstring::npos) return j;
    } else if (e[j] == L'(') {
      ++depth;
    } else if (e[j] == L')' && --depth == 0) {
      return j;
    }
  }
  return std::wstring::npos;
}

}  // namespace

// The expression is read at its top level as a sequence of atoms, each
// perhaps quantified. A literal atom with no quantifier must appear in every
// match, so a run of them is required text; anything else (a class, a group,
// ".", an assertion, an escape that names a class or a code) ends the run,
// and a quantifier takes its atom back out of the run. Whatever the reading
// can't be sure of gives no required text at all.
std::wstring RequiredText(const std::wstring& e) {
  std::wstring best, run;
  auto end_run = [&] {
    if (run.size() > best.size()) best = run;
    run.clear();
  };
  bool last_was_literal = false;
  for (std::size_t i = 0; i < e.size(); ++i) {
    wchar_t c = e[i];
    bool literal = false;
    wchar_t value = c;
    switch (c) {
      case L'|':
        return L"";
      case L')':
      case L']':
      case L'}':
        return L"";  // unbalanced: not for this reading to vouch for
      case L'*':
      case L'+':
      case L'?':
      case L'{':
        if (last_was_literal && !run.empty()) run.pop_back();
        if (c == L'{') {
          std::size_t close = e.find(L'}', i);
          if (close == std::wstring::npos) return L"";
          i = close;
        }
        if (i + 1 < e.size() && e[i + 1] == L'?') ++i;  // lazy
        end_run();
        last_was_literal = false;
        continue;
      case L'\\':
        if (i + 1 >= e.size()) return L"";
        value = e[++i];
        // "\\", "\.", "\[" and the like stand for the character itself;
        // letters and digits name classes, assertions, codes or
        // back-references.
        literal = !IsAsciiAlnum(value) && value < 0x80 && value >= 0x20;
        // The characters that belong to the escape are no literals:
        // \xHH, \uHHHH, \cX, and every digit of a back-reference.
        if (value == L'x') i += 2;
        if (value == L'u') i += 4;
        if (value == L'c') i += 1;
        if (value >= L'0' && value <= L'9')
          while (i + 1 < e.size() && e[i + 1] >= L'0' && e[i + 1] <= L'9') ++i;
        break;
      case L'[': {
        std::size_t close = ClassEnd(e, i);
        if (close == std::wstring::npos) return L"";
        i = close;
        break;
      }
      case L'(': {
        std::size_t close = GroupEnd(e, i);
        if (close == std::wstring::npos) return L"";
        i = close;
        break;
      }
      case L'.':
      case L'^':
      case L'$':
        break;
      default:
        literal = c >= 0x20 && c < 0x7F;
    }
    if (literal) {
      run.push_back(AsciiLower(value));
    } else {
      end_run();
    }
    last_was_literal = literal;
  }
  end_run();
  return best;
}

bool MayHold(const std::wstring& text, const std::wstring& required) {
  if (required.empty() || required.size() > text.size()) return required.size() <= text.size();
  // One pass: a start is tried only where the first character matches.
  const wchar_t first = required[0];
  const std::size_t last_start = text.size() - required.size();
  for (std::size_t start = 0; start < text.size(); ++start) {
    wchar_t c = text[start];
    if (static_cast<unsigned long>(c) >= 0x80) return true;  // case folding beyond ASCII is the library's
    if (start > last_start || AsciiLower(c) != first) continue;
    std::size_t k = 1;
    while (k < required.size() && AsciiLower(text[start + k]) == required[k]) ++k;
    if (k == required.size()) return true;
  }
  return false;
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
      exclusion_required_.push_back(RequiredText(pattern));
    } catch (...) {
      Log(log_, LogLevel::kDebug, "Invalid Path Exclusion: %s", ToUtf8(pattern));
    }
  }
}

bool Scanner::IsExcludedBy(const std::wregex& rule, const std::wstring& folder_path) {
  return std::regex_match(folder_path, rule);
}

}  // namespace vur
