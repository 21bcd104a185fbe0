#include "report/licenses_section.h"

#include <algorithm>

#include "licenses/gather.h"
#include "report/html.h"

namespace vurfleet {
namespace {

void Append(std::string& out, std::initializer_list<std::string_view> parts) {
  for (std::string_view p : parts) out.append(p);
}

// The chart's size in SVG units; the bars share its width.
constexpr int kChartWidth = 240;
constexpr int kChartHeight = 48;

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

// The days' highest counts as bars, over the seats in red, with the seats
// as a line. Drawn only: the figures are said in text beside it.
void Chart(std::string& out, const LicenseFigures::Row& r) {
  if (r.days.empty()) return;
  std::int64_t top = std::max<std::int64_t>(r.pool.seats, 1);
  for (const PoolDay& d : r.days) top = std::max(top, d.max);
  const double width = static_cast<double>(kChartWidth) / static_cast<double>(std::max<std::size_t>(r.days.size(), 1));
  const auto y = [&](std::int64_t count) {
    return kChartHeight - static_cast<double>(count) * kChartHeight / static_cast<double>(top);
  };
  Append(out, {"<svg class=\"chart\" aria-hidden=\"true\" width=\"", std::to_string(kChartWidth), "\" height=\"",
               std::to_string(kChartHeight), "\" viewBox=\"0 0 ", std::to_string(kChartWidth), " ",
               std::to_string(kChartHeight), "\">"});
  for (std::size_t k = 0; k < r.days.size(); ++k) {
    const PoolDay& d = r.days[k];
    if (d.max == 0) continue;
    Append(out, {"<rect class=\"", d.max > r.pool.seats ? "over" : "within", "\" x=\"",
                 Number(width * static_cast<double>(k)), "\" y=\"", Number(y(d.max)), "\" width=\"",
                 Number(std::max(width, 0.5)), "\" height=\"", Number(kChartHeight - y(d.max)), "\"/>"});
  }
  Append(out, {"<line class=\"seats\" x1=\"0\" x2=\"", std::to_string(kChartWidth), "\" y1=\"",
               Number(y(r.pool.seats)), "\" y2=\"", Number(y(r.pool.seats)), "\"/></svg>"});
}

// The chart's figures in words, for a screen reader and for print.
std::string ChartText(const LicenseFigures::Row& r) {
  if (r.days.empty()) return "The period has not begun.";
  const auto highest = std::max_element(r.days.begin(), r.days.end(),
                                        [](const PoolDay& a, const PoolDay& b) { return a.max < b.max; });
  return "Days " + FormatDay(r.days.front().day) + " to " + FormatDay(r.days.back().day) +
         ": the highest count " + Count(highest->max) + " on " + FormatDay(highest->day) + "; " +
         "over the seats (" + Count(r.pool.seats) + ") on " + Count(r.figures.days_over) + " of " +
         Count(static_cast<std::int64_t>(r.days.size())) + " days.";
}

}  // namespace

const char* const kLicensesStyle = R"css(
.pool .title{color:var(--muted);overflow-wrap:anywhere}
.chart{display:block;background:var(--track)}
.chart .within{fill:var(--bar)}.chart .over{fill:var(--stale)}
.chart .seats{stroke:#202124;stroke-width:1;stroke-dasharray:3 2}
.chart-text{color:var(--muted);font-size:12px;max-width:240px}
)css";

LicenseFigures GatherLicenses(Store& store, const Entitlements& entitlements, Time at,
                              std::int64_t stale_days) {
  LicenseFigures f;
  f.at = at;
  f.stale_days = stale_days;
  LicenseOptions options;
  options.at = at;
  options.stale_days = stale_days;
  const TrueUp trueup = GatherTrueUp(store, entitlements, options);
  const std::vector<PoolRow> rows = trueup.Rows();
  const std::vector<PoolDay> days = trueup.Days();
  if (rows.size() > kShownPools) f.more_pools = static_cast<std::int64_t>(rows.size() - kShownPools);
  std::vector<std::vector<PoolDay>> by_pool(entitlements.pools.size());
  for (const PoolDay& d : days) by_pool[d.pool].push_back(d);
  for (const PoolRow& row : rows) {
    if (f.rows.size() == kShownPools) break;
    const std::vector<std::string>& stale = trueup.stale_machines(row.pool);
    f.rows.push_back(LicenseFigures::Row{
        entitlements.pools[row.pool], row, std::move(by_pool[row.pool]),
        std::vector<std::string>(stale.begin(), stale.begin() + static_cast<std::ptrdiff_t>(
                                                                    std::min(stale.size(), kListedStale)))});
  }
  return f;
}

void RenderLicenses(std::string& out, const LicenseFigures& f) {
  Append(out, {"<section id=\"licenses\"><h2>Licenses</h2><p class=\"legend\">As of ", FormatTime(f.at),
               ". A machine holds a pool while its inventory holds an entry a rule of the pool counts; "
               "a machine whose last scan started more than ", Count(f.stale_days),
               " days before is stale and counts no more. Peak: the highest count of the period so far; "
               "due: what the pool's rule counts (its peak, or its snapshot) beyond the seats; days "
               "over: days whose count exceeded the seats at some moment.</p>"});
  if (f.rows.empty()) {
    out += "<p class=\"empty\">No pool.</p></section>";
    return;
  }
  out += "<div class=\"wide\"><table class=\"rows\" id=\"licenses-pools\"><thead><tr>"
         "<th>Pool</th><th>Rule</th><th class=\"n\">Now</th><th class=\"n\">Peak</th><th>Peak at</th>"
         "<th class=\"n\">Seats</th><th class=\"n\">Due</th><th class=\"n\">Days over</th>"
         "<th>Highest count each day</th></tr></thead><tbody>";
  for (const LicenseFigures::Row& r : f.rows) {
    const Pool& p = r.pool;
    Append(out, {"<tr class=\"pool\" data-id=\"", HtmlText(p.name), "\"><td><span class=\"name\">",
                 HtmlText(p.name), "</span>"});
    if (!p.title.empty()) Append(out, {"<div class=\"title\">", HtmlText(p.title), "</div>"});
    Append(out, {"</td><td>", CountRuleName(p.rule), "</td><td class=\"n now\">", Count(r.figures.now),
                 "</td><td class=\"n peak\">", Count(r.figures.peak), "</td><td class=\"when peak-at\">",
                 r.figures.peak_at ? FormatTime(*r.figures.peak_at) : "", "</td><td class=\"n seats\">",
                 Count(p.seats), "</td><td class=\"n due\">", Count(r.figures.due),
                 "</td><td class=\"n days-over\">", Count(r.figures.days_over), "</td><td>"});
    Chart(out, r);
    Append(out, {"<div class=\"chart-text\">", ChartText(r), "</div></td></tr>"});
  }
  out += "</tbody>";
  if (f.more_pools > 0) {
    Append(out, {"<tfoot><tr class=\"more\" id=\"licenses-more\"><td colspan=\"9\">and ", Count(f.more_pools),
                 " more pools</td></tr></tfoot>"});
  }
  out += "</table></div>";
  int list = 0;
  for (const LicenseFigures::Row& r : f.rows) {
    if (r.stale.empty()) continue;
    const std::string number = std::to_string(++list);
    Append(out, {"<h4>Stale machines holding <span class=\"name\">", HtmlText(r.pool.name), "</span> (",
                 Count(r.figures.stale), ")</h4><div class=\"wide list\"><table class=\"rows\" id=\"licenses-stale-",
                 number, "\" data-id=\"", HtmlText(r.pool.name),
                 "\"><thead><tr><th>Machine</th></tr></thead><tbody>"});
    for (const std::string& machine : r.stale) {
      Append(out, {"<tr><td class=\"name\">", HtmlText(machine), "</td></tr>"});
    }
    out += "</tbody></table></div>";
    const std::int64_t more = r.figures.stale - static_cast<std::int64_t>(r.stale.size());
    if (more > 0) {
      Append(out, {"<p class=\"legend\" id=\"licenses-stale-", number, "-more\">and ", Count(more), " more</p>"});
    }
  }
  out += "</section>";
}

}  // namespace vurfleet
