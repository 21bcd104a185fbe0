#include "exposure/exposure.h"

#include <algorithm>
#include <numeric>
#include <unordered_set>

#include "base/file_name.h"
#include "base/text.h"

namespace vurfleet {
namespace {

// A window's end as a number, none being later than every time.
Time EndOf(const std::optional<Time>& until) { return until.value_or(INT64_MAX); }

}  // namespace

Verdict Judge(const AdvisoryRule& rule, const Version& version) {
  if (!rule.affected_from && !rule.fixed) return Verdict::kExposed;  // presence is the finding
  if (version.is_none()) return Verdict::kUnknown;
  if (rule.affected_from && version.value() < rule.affected_from->value()) return Verdict::kNone;
  if (rule.fixed && version.value() >= rule.fixed->value()) return Verdict::kNone;
  return Verdict::kExposed;
}

RuleMatcher::RuleMatcher(const Advisories& advisories) : advisories_(advisories) {
  std::unordered_set<std::string> known;
  for (std::uint32_t r = 0; r < advisories.rules.size(); ++r) {
    const Glob& name = advisories.rules[r].name;
    if (known.insert(name.folded()).second) names_.push_back(name);
    if (name.literal()) {
      by_name_[name.folded()].push_back(r);
    } else {
      wildcards_.push_back(r);
    }
  }
}

const std::vector<std::uint32_t>& RuleMatcher::RulesFor(const std::string& path) {
  const auto it = cache_.find(path);
  if (it != cache_.end()) return it->second;
  if (cache_.size() >= kRemembered) cache_.clear();
  return cache_.emplace(path, Matching(path)).first->second;
}

std::vector<std::uint32_t> RuleMatcher::Matching(const std::string& path) const {
  const std::string folded = FoldCase(path);
  const std::string_view name = FileNameOf(folded);
  const auto matches = [&](std::uint32_t r) {
    const AdvisoryRule& rule = advisories_.rules[r];
    return !rule.path || rule.path->MatchesFolded(folded);
  };
  std::vector<std::uint32_t> rules;
  const auto literal = by_name_.find(std::string(name));
  if (literal != by_name_.end()) {
    for (const std::uint32_t r : literal->second) {
      if (matches(r)) rules.push_back(r);
    }
  }
  const std::size_t literals = rules.size();
  for (const std::uint32_t r : wildcards_) {
    if (advisories_.rules[r].name.MatchesFolded(name) && matches(r)) rules.push_back(r);
  }
  // In file order, as a walk over every rule would give them.
  std::inplace_merge(rules.begin(), rules.begin() + static_cast<std::ptrdiff_t>(literals), rules.end());
  return rules;
}

const std::vector<std::uint32_t>& RuleMatcher::RulesFor(const HoldingRow& row) {
  if (row.path_place == HoldingRow::kNoPlace) return RulesFor(row.path);
  constexpr std::uint32_t kUnseen = UINT32_MAX;
  if (row.path_place >= by_place_.size()) by_place_.resize(std::size_t{row.path_place} + 1, kUnseen);
  std::uint32_t& list = by_place_[row.path_place];
  if (list == kUnseen) {
    std::vector<std::uint32_t> rules = Matching(row.path);
    const auto [it, added] = list_index_.emplace(rules, static_cast<std::uint32_t>(lists_.size()));
    if (added) lists_.push_back(std::move(rules));
    list = it->second;
  }
  return lists_[list];
}

MachineExposure JudgeMachine(const std::vector<HoldingRow>& rows, const Advisories& advisories,
                             RuleMatcher& matcher) {
  MachineExposure out;
  struct Exposed {
    std::uint32_t advisory;
    Time since;
    std::optional<Time> until;
  };
  std::vector<Exposed> exposed;
  std::vector<std::pair<std::uint32_t, Verdict>> verdicts;  // of one row, by advisory
  for (std::uint32_t k = 0; k < rows.size(); ++k) {
    const HoldingRow& row = rows[k];
    const std::vector<std::uint32_t>& rules = matcher.RulesFor(row);
    if (rules.empty()) continue;
    verdicts.clear();
    for (const std::uint32_t r : rules) {
      const AdvisoryRule& rule = advisories.rules[r];
      const Verdict v = Judge(rule, row.version);
      if (v == Verdict::kNone) continue;
      const auto it = std::find_if(verdicts.begin(), verdicts.end(),
                                   [&](const auto& p) { return p.first == rule.advisory; });
      if (it == verdicts.end()) {
        verdicts.emplace_back(rule.advisory, v);
      } else if (v > it->second) {
        it->second = v;
      }
    }
    std::sort(verdicts.begin(), verdicts.end());
    for (const auto& [advisory, verdict] : verdicts) {
      out.findings.push_back(Finding{advisory, k, verdict});
      if (verdict == Verdict::kExposed) exposed.push_back(Exposed{advisory, row.since, row.until});
    }
  }
  // Each advisory's exposed intervals, by start, joined where they meet or
  // overlap: two paths at once, or one version after another.
  std::sort(exposed.begin(), exposed.end(), [](const Exposed& a, const Exposed& b) {
    return a.advisory != b.advisory ? a.advisory < b.advisory : a.since < b.since;
  });
  for (const Exposed& e : exposed) {
    if (!out.windows.empty()) {
      Window& last = out.windows.back();
      if (last.advisory == e.advisory && e.since <= EndOf(last.until)) {
        if (EndOf(e.until) > EndOf(last.until)) last.until = e.until;
        continue;
      }
    }
    out.windows.push_back(Window{e.advisory, e.since, e.until});
  }
  return out;
}

namespace {

// The advisory's window of `exposure` that holds at `at`, if any.
const Window* WindowAt(const MachineExposure& exposure, std::uint32_t advisory, Time at) {
  const auto first = std::lower_bound(
      exposure.windows.begin(), exposure.windows.end(), advisory,
      [](const Window& w, std::uint32_t a) { return w.advisory < a; });
  for (auto it = first; it != exposure.windows.end() && it->advisory == advisory; ++it) {
    if (HoldsAt(it->from, it->until, at)) return &*it;
  }
  return nullptr;
}

}  // namespace

std::vector<ExposedEntry> EntriesAt(const MachineExposure& exposure,
                                    const std::vector<HoldingRow>& rows, Time at) {
  std::vector<ExposedEntry> out;
  for (const Finding& f : exposure.findings) {
    const HoldingRow& row = rows[f.row];
    if (!HoldsAt(row.since, row.until, at)) continue;
    Time since = row.since;
    if (f.verdict == Verdict::kExposed) {
      // An exposed interval that holds lies inside the window that does.
      const Window* window = WindowAt(exposure, f.advisory, at);
      if (window != nullptr) since = window->from;
    }
    out.push_back(ExposedEntry{f.advisory, f.row, f.verdict, since});
  }
  return out;
}

Summary::Summary(const Advisories& advisories, Time at, std::size_t listed)
    : advisories_(advisories),
      at_(at),
      listed_(listed),
      rows_(advisories.advisories.size()),
      closed_(advisories.advisories.size()),
      lists_(advisories.advisories.size()) {
  for (std::uint32_t a = 0; a < rows_.size(); ++a) rows_[a].advisory = a;
}

void Summary::Add(const std::string& machine, const MachineExposure& exposure,
                  const std::vector<HoldingRow>& rows) {
  // The machine's unknown entries, by advisory: one held at the time makes
  // it unknown, and one that begins where a window closes makes that close
  // no fix.
  struct Unknown {
    std::uint32_t advisory;
    Time since;
    std::optional<Time> until;
  };
  std::vector<Unknown> unknowns;
  for (const Finding& f : exposure.findings) {
    if (f.verdict == Verdict::kUnknown) {
      unknowns.push_back(Unknown{f.advisory, rows[f.row].since, rows[f.row].until});
    }
  }
  std::sort(unknowns.begin(), unknowns.end(), [](const Unknown& a, const Unknown& b) {
    return a.advisory != b.advisory ? a.advisory < b.advisory : a.since < b.since;
  });
  // Whether an unknown entry of the advisory begins at `since`: a search,
  // as a machine may hold many such entries and have many windows.
  const auto unknown_from = [&](std::uint32_t advisory, Time since) {
    return std::binary_search(unknowns.begin(), unknowns.end(), Unknown{advisory, since, std::nullopt},
                              [](const Unknown& a, const Unknown& b) {
                                return a.advisory != b.advisory ? a.advisory < b.advisory : a.since < b.since;
                              });
  };
  // Whether an unknown entry of the advisory holds at the time.
  const auto unknown_now = [&](std::uint32_t advisory) {
    auto it = std::lower_bound(unknowns.begin(), unknowns.end(), advisory,
                               [](const Unknown& u, std::uint32_t a) { return u.advisory < a; });
    for (; it != unknowns.end() && it->advisory == advisory; ++it) {
      if (HoldsAt(it->since, it->until, at_)) return true;
    }
    return false;
  };

  // Each advisory the machine has a window or an unknown entry for is one
  // state at the time: exposed, else unknown, else fixed (a window closed).
  std::vector<std::uint32_t> exposed_now;
  const std::vector<Window>& windows = exposure.windows;
  std::size_t k = 0;
  const auto each_advisory = [&](std::uint32_t a) {
    const Window* open = nullptr;
    bool closed = false;
    for (; k < windows.size() && windows[k].advisory == a; ++k) {
      const Window& w = windows[k];
      if (w.from > at_) continue;
      if (HoldsAt(w.from, w.until, at_)) {
        open = &w;
      } else {
        closed = true;
        // A window closed by the scan where the file lost its version (an
        // unknown entry begins there) is no fix, and has no length to fix in.
        if (!unknown_from(a, *w.until)) closed_[a].push_back(*w.until - w.from);
      }
    }
    if (open != nullptr) {
      exposed_now.push_back(a);
      ++rows_[a].exposed;
      if (lists_[a].size() < listed_) lists_[a].push_back(Listed{machine, open->from});
    } else if (unknown_now(a)) {
      ++rows_[a].unknown;
    } else if (closed) {
      ++rows_[a].fixed;
    }
  };
  // Advisories in order, from the windows and the unknown entries both.
  std::size_t u = 0;
  while (k < windows.size() || u < unknowns.size()) {
    const std::uint32_t a = std::min(k < windows.size() ? windows[k].advisory : UINT32_MAX,
                                     u < unknowns.size() ? unknowns[u].advisory : UINT32_MAX);
    each_advisory(a);
    while (u < unknowns.size() && unknowns[u].advisory == a) ++u;
  }
  if (!exposed_now.empty()) {
    ++exposed_machines_;
    exposed_by_machine_.insert(exposed_by_machine_.end(), exposed_now.begin(), exposed_now.end());
    exposed_by_machine_.push_back(UINT32_MAX);  // the machine's end
  }
}

std::int64_t Summary::MachinesExposedBeyond(const std::vector<SummaryRow>& rows,
                                            std::size_t shown) const {
  if (rows.size() <= shown) return 0;
  std::vector<bool> hidden(rows_.size(), false);
  for (std::size_t k = shown; k < rows.size(); ++k) hidden[rows[k].advisory] = true;
  std::int64_t machines = 0;
  bool counted = false;
  for (const std::uint32_t a : exposed_by_machine_) {
    if (a == UINT32_MAX) {
      counted = false;
    } else if (!counted && hidden[a]) {
      counted = true;
      ++machines;
    }
  }
  return machines;
}

std::vector<SummaryRow> Summary::Rows() const {
  std::vector<SummaryRow> out = rows_;
  for (SummaryRow& row : out) {
    std::vector<std::int64_t> lengths = closed_[row.advisory];
    if (lengths.empty()) continue;
    const std::size_t middle = lengths.size() / 2;
    std::nth_element(lengths.begin(), lengths.begin() + static_cast<std::ptrdiff_t>(middle), lengths.end());
    const std::int64_t upper = lengths[middle];
    if (lengths.size() % 2 == 1) {
      row.median_tenths = TenthsOfDays(upper);
    } else {
      const std::int64_t lower =
          *std::max_element(lengths.begin(), lengths.begin() + static_cast<std::ptrdiff_t>(middle));
      // The mean of the two, rounded as one length is.
      row.median_tenths = ((lower + upper) * 10 + 86400) / 172800;
    }
  }
  std::sort(out.begin(), out.end(), [&](const SummaryRow& a, const SummaryRow& b) {
    const Advisory& x = advisories_.advisories[a.advisory];
    const Advisory& y = advisories_.advisories[b.advisory];
    if (x.severity != y.severity) return x.severity < y.severity;
    if (a.exposed != b.exposed) return a.exposed > b.exposed;
    return x.id < y.id;
  });
  return out;
}

std::int64_t TenthsOfDays(std::int64_t seconds) { return (seconds * 10 + 43200) / 86400; }

std::string DaysText(std::int64_t tenths) {
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

namespace {

std::vector<std::uint32_t> Ranks(const Advisories& advisories, bool severity_first) {
  std::vector<std::uint32_t> order(advisories.advisories.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    const Advisory& x = advisories.advisories[a];
    const Advisory& y = advisories.advisories[b];
    if (severity_first && x.severity != y.severity) return x.severity < y.severity;
    return x.id < y.id;
  });
  std::vector<std::uint32_t> rank(order.size());
  for (std::uint32_t k = 0; k < order.size(); ++k) rank[order[k]] = k;
  return rank;
}

}  // namespace

std::vector<std::uint32_t> RankBySeverityThenId(const Advisories& advisories) {
  return Ranks(advisories, true);
}

std::vector<std::uint32_t> RankById(const Advisories& advisories) { return Ranks(advisories, false); }

}  // namespace vurfleet
