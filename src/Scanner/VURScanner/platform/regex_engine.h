// How exclusion rules are compiled, beyond the grammar and case-blindness
// the rules ask for.
#pragma once

#include <regex>

namespace vur {

// libstdc++ can match with a breadth-first engine (any expression without
// back-references): time linear in the folder path and a stack depth that
// does not grow with it. Its default depth-first engine recurses once per
// character, and an expression with nested repetition such as "(.*\\)*Cache"
// takes time exponential in the path's depth. Other libraries keep their
// default engine; the Windows builds reserve a large stack for them.
#if defined(__GLIBCXX__)
constexpr std::regex_constants::syntax_option_type kRegexEngine = std::regex_constants::__polynomial;
#else
constexpr std::regex_constants::syntax_option_type kRegexEngine{};
#endif

// The options every exclusion rule is compiled with.
constexpr std::regex_constants::syntax_option_type kExclusionRuleOptions =
    std::regex_constants::ECMAScript | std::regex_constants::icase | kRegexEngine;

}  // namespace vur
