// The entitlements file: a CSV file (RFC 4180, a header row) kept by whoever
// buys the software, one row a rule. Columns: pool, name, seats, rule,
// period_from and period_until (required), path, version_from,
// version_below, title, url. Rows that share a pool are its rules and
// carry the same seats, rule, period, title and url. Read by the reader of
// the advisories file (exposure/rules_file.h).
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "base/time.h"
#include "exposure/advisories.h"

namespace vurfleet {

enum class CountRule : std::uint8_t { kPeak, kSnapshot };

// "peak" or "snapshot".
std::string_view CountRuleName(CountRule rule);

struct Pool {
  std::string name;
  std::int64_t seats = 0;
  CountRule rule = CountRule::kPeak;
  Time from = 0;   // the period: [from, until), midnights
  Time until = 0;
  std::string title;
  std::string url;
  int line = 0;  // its first row
};

// The pools, and their rules as the matching of advisories takes them:
// `rules.advisories[k]` is pool k (its id the pool's name), each rule's
// [affected_from, fixed) the row's [version_from, version_below). A file
// that a rule counts is "exposed" to it; one it can't judge, "unknown".
struct Entitlements {
  std::vector<Pool> pools;  // in the order they first appear
  Advisories rules;
};

// The file's bytes read whole, or the first fault with its line: those of
// the advisories file (text, CSV, columns, field counts, control
// characters, name, versions), and a missing pool, seats that are not a
// whole number from 0, an unknown rule, a period date that is none or
// missing, period_until at or before period_from, rows of one pool that
// disagree on seats, rule, period, title or url, and pools that differ only
// in case.
std::variant<Entitlements, Refusal> ReadEntitlements(std::string bytes);

// The bounds of the file, as the advisories file's.
inline constexpr std::size_t kMaxEntitlementsBytes = kMaxAdvisoriesBytes;
inline constexpr std::size_t kMaxEntitlementRules = kMaxAdvisoryRules;
// The most seats a pool may have: a number no spreadsheet rounds.
inline constexpr std::int64_t kMaxSeats = 999999999999;

// The pools whose name matches `pool`, with their rules only.
Entitlements SelectPools(const Entitlements& all, const Glob& pool);

}  // namespace vurfleet
