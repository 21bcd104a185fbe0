// Patterns of the queries: `*` any run of characters, `?` one character,
// everything else itself, compared without regard to case.
#pragma once

#include <string>
#include <string_view>

namespace vurfleet {

class Glob {
 public:
  // `pattern` must be strict UTF-8.
  explicit Glob(std::string_view pattern);

  // Whether `text` (strict UTF-8, any case) matches the whole pattern.
  bool Matches(std::string_view text) const;
  // Whether `folded` (already FoldCase'd) matches.
  bool MatchesFolded(std::string_view folded) const;

  // The pattern in lower case (FoldCase).
  const std::string& folded() const { return folded_; }
  // Whether the pattern holds no wildcard: it then matches only its own text.
  bool literal() const { return literal_; }
  // The text every match starts with (in lower case).
  std::string LiteralPrefix() const;
  // The same pattern for SQL's LIKE over folded text, with `\` as the
  // escape character: `*` is `%`, `?` is `_`, and `%`, `_`, `\` are escaped.
  std::string LikePattern() const;

 private:
  std::string folded_;
  bool literal_;
};

// The smallest text greater than every text that starts with `prefix`, for
// a range condition; empty when there is none (a prefix of U+10FFFF only).
std::string PrefixEnd(std::string prefix);

}  // namespace vurfleet
