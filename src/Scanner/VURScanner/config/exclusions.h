// Path exclusion patterns: "m/EXPRESSION/" or a wildcard path with * and ?.
// Each becomes a case-insensitive ECMAScript expression that must match a
// whole folder path, trailing backslash included.
#pragma once

#include <regex>
#include <string>

namespace vur {

// The recycle-bin folders directly under a drive root; always in force.
extern const wchar_t* const kDefaultExclusions[3];

// Every occurrence of `from` replaced by `to`; inserted text is not examined
// again.
std::wstring ReplaceAll(const std::wstring& text, const std::wstring& from, const std::wstring& to);

// The expression of an exclusion pattern: the text between "m/" and the last
// "/" of an expression pattern, or the wildcard pattern turned into an
// expression; then two backslashes are appended unless it ends in one.
// `form_test` is the compiled "^m/.*/$". An empty expression stays empty.
std::wstring PrepareExclusion(const std::wstring& pattern, const std::wregex& form_test);

// The pattern-form test, compiled with letter case significant.
std::wregex ExclusionFormTest();

// Compiles a prepared expression into a rule: ECMAScript, case ignored.
// Throws std::regex_error when the expression breaks the grammar.
std::wregex CompileExclusion(const std::wstring& expression);

// A text that every text the expression matches holds, letter case aside:
// the longest run of ASCII characters that the expression requires one after
// the other, in lower case. Empty when it finds none it can vouch for (a
// top-level alternation, say), which holds for any text. For the expression
// of "D:\Temp\*" it is "d:\temp\".
std::wstring RequiredText(const std::wstring& expression);

// False only when `text` can't be matched by an expression whose required
// text is `required`: `text` is all ASCII and doesn't hold `required` in any
// letter case. Matching a rule is much dearer than this test.
bool MayHold(const std::wstring& text, const std::wstring& required);

}  // namespace vur
