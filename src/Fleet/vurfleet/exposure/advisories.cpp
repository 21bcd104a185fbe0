#include "exposure/advisories.h"

#include "exposure/rules_file.h"

namespace vurfleet {
namespace {

enum Column { kId, kName, kPath, kAffectedFrom, kFixed, kSeverity, kPublished, kTitle, kUrl };
const RuleColumns kColumns{
    {"id", "name", "path", "affected_from", "fixed", "severity", "published", "title", "url"},
    {kId, kName},
    "id, name, path, affected_from, fixed, severity, published, title, url"};

std::optional<Severity> SeverityOf(std::string_view text) {
  for (const Severity s : {Severity::kCritical, Severity::kHigh, Severity::kMedium, Severity::kLow,
                           Severity::kNone}) {
    if (SeverityName(s) == text) return s;
  }
  return std::nullopt;
}

}  // namespace

std::string_view SeverityName(Severity severity) {
  switch (severity) {
    case Severity::kCritical: return "critical";
    case Severity::kHigh: return "high";
    case Severity::kMedium: return "medium";
    case Severity::kLow: return "low";
    case Severity::kNone: break;
  }
  return "";
}

std::variant<Advisories, Refusal> ReadAdvisories(std::string bytes) {
  Advisories out;
  RuleKeys ids(kColumns, {{kSeverity, true}, {kTitle, false}, {kUrl, false}, {kPublished, false}}, "id");
  const auto row = [&](const RuleRow& r) -> std::optional<Refusal> {
    const int line = r.line;
    const std::string& id = r[kId];
    if (id.empty()) return Refusal{line, "no id"};
    std::optional<RuleMatch> match;
    if (std::optional<Refusal> refused = ReadRuleMatch(r, kColumns, kName, kPath, kAffectedFrom, kFixed, &match)) {
      return refused;
    }
    const std::optional<Severity> severity = SeverityOf(r[kSeverity]);
    if (!severity) {
      return Refusal{line, "unknown severity " + Quoted(r[kSeverity]) +
                               ": give critical, high, medium or low, or leave it empty"};
    }
    if (!r[kPublished].empty() && !IsDate(r[kPublished])) {
      return Refusal{line, "published " + Quoted(r[kPublished]) + " is no date: give YYYY-MM-DD"};
    }
    RuleKeys::Added added;
    if (std::optional<Refusal> refused = ids.Add(r, id, &added)) return refused;
    if (added.fresh) out.advisories.push_back(Advisory{id, *severity, r[kPublished], r[kTitle], r[kUrl], line});
    out.rules.push_back(AdvisoryRule{added.index, std::move(match->name), std::move(match->path),
                                     match->from, match->below, line});
    return std::nullopt;
  };
  if (std::optional<Refusal> refused = ReadRuleRows(
          std::move(bytes), kColumns,
          RuleFileLimits{kMaxAdvisoryRules, "advisories", "no advisory: the header is the only row"}, row)) {
    return std::move(*refused);
  }
  return out;
}

Advisories SelectAdvisories(const Advisories& all, const Glob& id) {
  Advisories out;
  std::vector<std::uint32_t> renumbered(all.advisories.size(), UINT32_MAX);
  for (std::size_t a = 0; a < all.advisories.size(); ++a) {
    if (!id.Matches(all.advisories[a].id)) continue;
    renumbered[a] = static_cast<std::uint32_t>(out.advisories.size());
    out.advisories.push_back(all.advisories[a]);
  }
  for (const AdvisoryRule& rule : all.rules) {
    if (renumbered[rule.advisory] == UINT32_MAX) continue;
    out.rules.push_back(rule);
    out.rules.back().advisory = renumbered[rule.advisory];
  }
  return out;
}

}  // namespace vurfleet
