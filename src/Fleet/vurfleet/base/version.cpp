#include "base/version.h"

#include <cstdio>

namespace vurfleet {
namespace {

// Parses dot-separated decimal parts, each of 1 to 5 digits and at most
// 65535, into `parts`; returns how many there were, or 0 on any flaw.
int ParseParts(std::string_view text, int max_parts, unsigned* parts) {
  int count = 0;
  std::size_t pos = 0;
  while (true) {
    if (count == max_parts) return 0;
    std::size_t digits = 0;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (++digits > 5) return 0;
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    if (digits == 0 || value > 65535) return 0;
    parts[count++] = value;
    if (pos == text.size()) return count;
    if (text[pos] != '.') return 0;
    ++pos;
  }
}

}  // namespace

Version Version::FromParts(unsigned a, unsigned b, unsigned c, unsigned d) {
  return Of((std::uint64_t{a} << 48) | (std::uint64_t{b} << 32) | (std::uint64_t{c} << 16) | d);
}

std::optional<Version> Version::ParseReported(std::string_view text) {
  if (text == "<none>") return None();
  unsigned parts[4];
  if (ParseParts(text, 4, parts) != 4) return std::nullopt;
  return FromParts(parts[0], parts[1], parts[2], parts[3]);
}

std::optional<Version> Version::ParseArgument(std::string_view text) {
  unsigned parts[4] = {0, 0, 0, 0};
  if (ParseParts(text, 4, parts) == 0) return std::nullopt;
  return FromParts(parts[0], parts[1], parts[2], parts[3]);
}

std::string Version::ToString() const {
  if (none_) return "<none>";
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(value_ >> 48),
                static_cast<unsigned>((value_ >> 32) & 0xFFFF),
                static_cast<unsigned>((value_ >> 16) & 0xFFFF),
                static_cast<unsigned>(value_ & 0xFFFF));
  return text;
}

}  // namespace vurfleet
