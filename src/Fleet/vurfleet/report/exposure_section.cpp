#include "report/exposure_section.h"

#include "exposure/gather.h"
#include "report/html.h"

namespace vurfleet {
namespace {

void Append(std::string& out, std::initializer_list<std::string_view> parts) {
  for (std::string_view p : parts) out.append(p);
}

// A link only to a web page; any other scheme (javascript:, data:, file:)
// is shown as text and never followed.
bool IsWebAddress(std::string_view url) {
  const auto starts = [&](std::string_view scheme) {
    if (url.size() <= scheme.size()) return false;
    for (std::size_t k = 0; k < scheme.size(); ++k) {
      const char c = url[k];
      if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c) != scheme[k]) return false;
    }
    return true;
  };
  return starts("https://") || starts("http://");
}

std::string Address(const std::string& url) {
  const std::string text = HtmlText(url);
  if (!IsWebAddress(url)) return "<span class=\"url\">" + text + "</span>";
  return "<a class=\"url\" href=\"" + text + "\" rel=\"noreferrer\">" + text + "</a>";
}

}  // namespace

const char* const kExposureStyle = R"css(
.figure.exposed{border-color:var(--stale)}
.sev{display:inline-block;border-radius:4px;padding:0 6px;font-size:12px;font-weight:600;color:#fff;background:var(--none)}
.sev.critical{background:#8e0000}.sev.high{background:var(--stale)}.sev.medium{background:var(--incomplete);color:#202124}.sev.low{background:var(--bar)}
.advisory .title{color:var(--muted);overflow-wrap:anywhere}
.url{font-size:13px;overflow-wrap:anywhere}
)css";

ExposureFigures GatherExposure(Store& store, const Advisories& advisories, Time at,
                               std::int64_t machines) {
  ExposureFigures f;
  f.at = at;
  f.machines = machines;
  const Summary summary = GatherSummary(store, advisories, at, kListedMachines);
  f.exposed_machines = summary.exposed_machines();
  std::size_t lists = 0;
  const std::vector<SummaryRow> rows = summary.Rows();
  if (rows.size() > kShownAdvisories) {
    f.more_advisories = static_cast<std::int64_t>(rows.size() - kShownAdvisories);
    f.more_machines = summary.MachinesExposedBeyond(rows, kShownAdvisories);
  }
  for (const SummaryRow& row : rows) {
    if (f.rows.size() == kShownAdvisories) break;
    ExposureFigures::Row r{advisories.advisories[row.advisory], row, {}};
    if (row.exposed > 0 && lists < kListedAdvisories) {
      r.listed = summary.listed(row.advisory);
      ++lists;
    }
    f.rows.push_back(std::move(r));
  }
  return f;
}

void RenderExposure(std::string& out, const ExposureFigures& f) {
  Append(out, {"<section id=\"exposure\"><h2>Exposure</h2><div class=\"figures\">"
               "<div class=\"figure exposed\"><b id=\"exposure-machines\">", Count(f.exposed_machines),
               "</b>machines exposed to at least one advisory</div><div class=\"figure\">"
               "<b id=\"exposure-share\">", Share(f.exposed_machines, f.machines), "</b>of ",
               Count(f.machines), " machines</div></div><p class=\"legend\">As of ", FormatTime(f.at),
               ": each machine's inventory after its last scan by then. Exposed: an entry's version is "
               "affected; else unknown: a file without a version where the advisory bounds "
               "versions; else fixed: a window of exposure has closed. Each machine counts once. "
               "Days to fix: the median length of the windows that closed, leaving out those "
               "closed by a scan where the file lost its version.</p>"});
  if (f.rows.empty()) {
    out += "<p class=\"empty\">No advisory.</p></section>";
    return;
  }
  out += "<div class=\"wide\"><table class=\"rows\" id=\"exposure-advisories\"><thead><tr>"
         "<th>Advisory</th><th>Severity</th><th class=\"n\">Exposed</th><th class=\"n\">Unknown</th>"
         "<th class=\"n\">Fixed</th><th class=\"n\">Median days to fix</th><th>Published</th>"
         "</tr></thead><tbody>";
  for (const ExposureFigures::Row& r : f.rows) {
    const Advisory& a = r.advisory;
    const std::string severity(SeverityName(a.severity));
    Append(out, {"<tr class=\"advisory\" data-id=\"", HtmlText(a.id), "\"><td><span class=\"name\">",
                 HtmlText(a.id), "</span>"});
    if (!a.title.empty()) Append(out, {"<div class=\"title\">", HtmlText(a.title), "</div>"});
    if (!a.url.empty()) Append(out, {"<div>", Address(a.url), "</div>"});
    Append(out, {"</td><td>",
                 severity.empty() ? std::string() : "<span class=\"sev " + severity + "\">" + severity + "</span>",
                 "</td><td class=\"n\">", Count(r.figures.exposed), "</td><td class=\"n\">",
                 Count(r.figures.unknown), "</td><td class=\"n\">", Count(r.figures.fixed),
                 "</td><td class=\"n\">",
                 r.figures.median_tenths ? DaysText(*r.figures.median_tenths) : "",
                 "</td><td class=\"when\">", HtmlText(a.published), "</td></tr>"});
  }
  out += "</tbody>";
  if (f.more_advisories > 0) {
    Append(out, {"<tfoot><tr class=\"more\" id=\"exposure-more\"><td colspan=\"7\">and ",
                 Count(f.more_advisories), " more advisories, ", Count(f.more_machines),
                 " machines exposed to one of them</td></tr></tfoot>"});
  }
  out += "</table></div>";
  int list = 0;
  for (const ExposureFigures::Row& r : f.rows) {
    if (r.listed.empty()) continue;
    const std::string number = std::to_string(++list);
    Append(out, {"<h4>Exposed to <span class=\"name\">", HtmlText(r.advisory.id), "</span> (",
                 Count(r.figures.exposed), ")</h4><div class=\"wide list\"><table class=\"rows\" id=\"exposed-",
                 number, "\" data-id=\"", HtmlText(r.advisory.id),
                 "\"><thead><tr><th>Machine</th><th>Exposed since</th></tr></thead><tbody>"});
    for (const Summary::Listed& m : r.listed) {
      Append(out, {"<tr><td class=\"name\">", HtmlText(m.machine), "</td><td class=\"when\">",
                   FormatTime(m.since), "</td></tr>"});
    }
    out += "</tbody></table></div>";
    const std::int64_t more = r.figures.exposed - static_cast<std::int64_t>(r.listed.size());
    if (more > 0) {
      Append(out, {"<p class=\"legend\" id=\"exposed-", number, "-more\">and ", Count(more), " more</p>"});
    }
  }
  out += "</section>";
}

}  // namespace vurfleet
