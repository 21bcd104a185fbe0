#include "report/html.h"

#include <cstdio>

#include "base/text.h"

namespace vurfleet {
namespace {

bool Hidden(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

}  // namespace

std::string HtmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c;
    if (!NextCodePoint(text, &pos, &c)) {
      ++pos;
      c = 0xFFFD;
    }
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: AppendUtf8(&out, Hidden(c) ? char32_t{0xFFFD} : c);
    }
  }
  return out;
}

std::string Count(std::int64_t value) {
  // In unsigned arithmetic, so that the most negative value has a magnitude.
  const bool negative = value < 0;
  std::uint64_t magnitude =
      negative ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  std::string out;
  for (std::size_t k = 0; k < digits.size(); ++k) {
    if (k > 0 && (digits.size() - k) % 3 == 0) out += ',';
    out += digits[k];
  }
  return negative ? "-" + out : out;
}

namespace {

std::string Fixed(std::int64_t part, std::int64_t whole, int decimals) {
  const double value = whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

}  // namespace

std::string Share(std::int64_t part, std::int64_t whole) { return Fixed(part, whole, 1) + " %"; }

std::string Width(std::int64_t part, std::int64_t whole) { return Fixed(part, whole, 2); }

}  // namespace vurfleet
