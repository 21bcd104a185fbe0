#include "base/glob.h"

#include <vector>

#include "base/text.h"

namespace vurfleet {

Glob::Glob(std::string_view pattern) : folded_(FoldCase(pattern)) {
  literal_ = folded_.find_first_of("*?") == std::string::npos;
}

bool Glob::Matches(std::string_view text) const { return MatchesFolded(FoldCase(text)); }

bool Glob::MatchesFolded(std::string_view text) const {
  // Iterative matching with one backtrack point, the last `*`: linear in
  // practice and never recursive, whatever the pattern.
  const std::string_view p = folded_;
  std::size_t pi = 0, ti = 0;
  std::size_t star_p = std::string_view::npos, star_t = 0;
  while (ti < text.size()) {
    if (pi < p.size() && p[pi] == '*') {
      star_p = pi++;
      star_t = ti;
      continue;
    }
    if (pi < p.size() && p[pi] == '?') {
      // One code point of the text.
      std::size_t next = ti;
      char32_t c;
      if (!NextCodePoint(text, &next, &c)) next = ti + 1;
      ti = next;
      ++pi;
      continue;
    }
    if (pi < p.size() && p[pi] == text[ti]) {
      ++pi;
      ++ti;
      continue;
    }
    if (star_p == std::string_view::npos) return false;
    // Let the last star take one more code point.
    pi = star_p + 1;
    std::size_t next = star_t;
    char32_t c;
    if (!NextCodePoint(text, &next, &c)) next = star_t + 1;
    star_t = next;
    ti = star_t;
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

std::string Glob::LiteralPrefix() const {
  return folded_.substr(0, folded_.find_first_of("*?"));
}

std::string Glob::LikePattern() const {
  std::string out;
  out.reserve(folded_.size() + 4);
  for (const char c : folded_) {
    switch (c) {
      case '*': out.push_back('%'); break;
      case '?': out.push_back('_'); break;
      case '%': case '_': case '\\': out.push_back('\\'); out.push_back(c); break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string PrefixEnd(std::string prefix) {
  // Raise the last byte that can be raised and drop what follows: in byte
  // order (SQLite's BINARY, PostgreSQL's "C") that is just past the prefix.
  while (!prefix.empty()) {
    unsigned char last = static_cast<unsigned char>(prefix.back());
    if (last < 0xFF) {
      prefix.back() = static_cast<char>(last + 1);
      return prefix;
    }
    prefix.pop_back();
  }
  return prefix;
}

}  // namespace vurfleet
