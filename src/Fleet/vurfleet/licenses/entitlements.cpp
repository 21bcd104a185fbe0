#include "licenses/entitlements.h"

#include "exposure/rules_file.h"

namespace vurfleet {
namespace {

enum Column {
  kPool, kName, kPath, kVersionFrom, kVersionBelow, kSeats, kRule, kPeriodFrom, kPeriodUntil, kTitle, kUrl
};
const RuleColumns kColumns{
    {"pool", "name", "path", "version_from", "version_below", "seats", "rule", "period_from",
     "period_until", "title", "url"},
    {kPool, kName, kSeats, kRule, kPeriodFrom, kPeriodUntil},
    "pool, name, path, version_from, version_below, seats, rule, period_from, period_until, title, url"};

std::optional<std::int64_t> SeatsOf(const std::string& text) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::int64_t seats = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    seats = seats * 10 + (c - '0');
  }
  return seats;
}

}  // namespace

std::string_view CountRuleName(CountRule rule) { return rule == CountRule::kPeak ? "peak" : "snapshot"; }

std::variant<Entitlements, Refusal> ReadEntitlements(std::string bytes) {
  Entitlements out;
  RuleKeys pools(kColumns,
                 {{kSeats, true}, {kRule, true}, {kPeriodFrom, true}, {kPeriodUntil, true}, {kTitle, false},
                  {kUrl, false}},
                 "pool");
  const auto row = [&](const RuleRow& r) -> std::optional<Refusal> {
    const int line = r.line;
    const std::string& name = r[kPool];
    if (name.empty()) return Refusal{line, "no pool"};
    std::optional<RuleMatch> match;
    if (std::optional<Refusal> refused =
            ReadRuleMatch(r, kColumns, kName, kPath, kVersionFrom, kVersionBelow, &match)) {
      return refused;
    }
    const std::optional<std::int64_t> seats = SeatsOf(r[kSeats]);
    if (!seats) {
      return Refusal{line, "seats " + Quoted(r[kSeats]) + " is no whole number from 0 to " +
                               std::to_string(kMaxSeats)};
    }
    CountRule rule;
    if (r[kRule] == "peak") {
      rule = CountRule::kPeak;
    } else if (r[kRule] == "snapshot") {
      rule = CountRule::kSnapshot;
    } else {
      return Refusal{line, "unknown rule " + Quoted(r[kRule]) + ": give peak or snapshot"};
    }
    Time period[2];
    for (const Column c : {kPeriodFrom, kPeriodUntil}) {
      if (!IsDate(r[c])) {
        return Refusal{line, std::string(kColumns.names[c]) + " " + Quoted(r[c]) +
                                 " is no date: give YYYY-MM-DD"};
      }
      period[c == kPeriodUntil] = *ParseTimeArgument(r[c]);
    }
    if (period[1] <= period[0]) {
      return Refusal{line, "period_until " + Quoted(r[kPeriodUntil]) + " is not after period_from " +
                               Quoted(r[kPeriodFrom])};
    }
    RuleKeys::Added added;
    if (std::optional<Refusal> refused = pools.Add(r, name, &added)) return refused;
    if (added.fresh) {
      out.pools.push_back(Pool{name, *seats, rule, period[0], period[1], r[kTitle], r[kUrl], line});
      out.rules.advisories.push_back(Advisory{name, Severity::kNone, "", r[kTitle], r[kUrl], line});
    }
    out.rules.rules.push_back(AdvisoryRule{added.index, std::move(match->name), std::move(match->path),
                                           match->from, match->below, line});
    return std::nullopt;
  };
  if (std::optional<Refusal> refused = ReadRuleRows(
          std::move(bytes), kColumns,
          RuleFileLimits{kMaxEntitlementRules, "entitlements", "no pool: the header is the only row"}, row)) {
    return std::move(*refused);
  }
  return out;
}

Entitlements SelectPools(const Entitlements& all, const Glob& pool) {
  Entitlements out;
  out.rules = SelectAdvisories(all.rules, pool);
  for (const Pool& p : all.pools) {
    if (pool.Matches(p.name)) out.pools.push_back(p);
  }
  return out;
}

}  // namespace vurfleet
