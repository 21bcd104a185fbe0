// The advisories file: a CSV file (RFC 4180, a header row) kept by the
// security team, one row a rule. Columns: id and name (required), path,
// affected_from, fixed, severity, published, title, url. Rows that share
// an id are rules of one advisory and carry the same severity, title, url
// and published.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/glob.h"
#include "base/version.h"
#include "read/scan.h"

namespace vurfleet {

// In the order the forms list them: most severe first, none last.
enum class Severity : std::uint8_t { kCritical, kHigh, kMedium, kLow, kNone };

// "critical", "high", "medium", "low", or "" for kNone.
std::string_view SeverityName(Severity severity);

struct Advisory {
  std::string id;
  Severity severity = Severity::kNone;
  std::string published;  // "YYYY-MM-DD" or empty
  std::string title;
  std::string url;
  int line = 0;  // its first row
};

// One row: an entry matches it when its file name matches `name`, its path
// matches `path` (if given) and its version lies in [affected_from, fixed),
// a missing bound being open. With neither bound, the file's presence is
// the finding, whatever its version.
struct AdvisoryRule {
  std::uint32_t advisory;  // into Advisories::advisories
  Glob name;
  std::optional<Glob> path;
  std::optional<Version> affected_from;
  std::optional<Version> fixed;
  int line;
};

struct Advisories {
  std::vector<Advisory> advisories;  // in the order their ids first appear
  std::vector<AdvisoryRule> rules;   // in file order
};

// The file's bytes (UTF-8, with or without its mark, or UTF-16LE with its
// mark) read whole, or the first fault, with its line: a file that is not
// text or not CSV, a missing `id` or `name` column or an unknown one, a
// row whose field count is not the header's, a missing id or name, a name
// with a backslash, a version that doesn't parse, `fixed` at or below
// `affected_from`, an unknown severity, a date that is none, a control
// character in any field, rows of one id that disagree on severity, title,
// url or published, ids that differ only in case, and a file without a
// row of advisories.
// More than kMaxAdvisoryRules rows are refused: memory grows with the
// rules kept and the text, and the cli refuses a file over
// kMaxAdvisoriesBytes before reading it.
std::variant<Advisories, Refusal> ReadAdvisories(std::string bytes);

// The bounds of an advisories file: a rule takes about 100 bytes of a file
// and 300 of memory, so a file at its bound holds some 600 000 rules.
inline constexpr std::size_t kMaxAdvisoriesBytes = std::size_t{64} << 20;
inline constexpr std::size_t kMaxAdvisoryRules = 1000000;

// The advisories whose id matches `id`, with their rules only.
Advisories SelectAdvisories(const Advisories& all, const Glob& id);

}  // namespace vurfleet
