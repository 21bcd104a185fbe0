#include "report/render.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "query/query.h"
#include "report/exposure_section.h"
#include "report/licenses_section.h"
#include "report/html.h"

namespace vurfleet {
namespace {

constexpr const char* kStyle = R"css(
:root{--ok:#2e7d32;--incomplete:#e0a100;--stale:#c62828;--bar:#1a73e8;--none:#80868b;--track:#e8eaed;--muted:#5f6368;--line:#dadce0}
*{box-sizing:border-box}
body{margin:0;font:15px/1.45 system-ui,"Segoe UI",Roboto,"Helvetica Neue","DejaVu Sans",Arial,sans-serif;color:#202124;background:#f4f5f7}
main{max-width:1200px;margin:0 auto;padding:24px}
h1{font-size:26px;margin:0 0 6px}
h2{font-size:19px;margin:0 0 12px}
h3{font-size:16px;margin:0 0 6px;display:flex;flex-wrap:wrap;justify-content:space-between;gap:4px 12px}
.meta{color:var(--muted);margin:2px 0}
.meta b{color:#202124;font-weight:600}
section{background:#fff;border:1px solid var(--line);border-radius:8px;padding:16px 20px;margin:18px 0}
.figures{display:grid;grid-template-columns:repeat(auto-fit,minmax(10em,1fr));gap:12px;margin:0 0 14px}
.figure{border-left:5px solid var(--muted);padding:2px 10px}
.figure b{display:block;font-size:28px;font-weight:600;font-variant-numeric:tabular-nums}
.figure.ok{border-color:var(--ok)}.figure.incomplete{border-color:var(--incomplete)}.figure.stale{border-color:var(--stale)}
.figure.added{border-color:var(--ok)}.figure.removed{border-color:var(--stale)}.figure.upgraded{border-color:var(--bar)}.figure.downgraded{border-color:var(--incomplete)}.figure.changed{border-color:var(--none)}
svg.bar{display:block;width:100%;height:14px}
svg.fleet{height:22px;margin-bottom:6px}
.legend{color:var(--muted);font-size:13px;margin:0 0 12px}
.programs{display:grid;grid-template-columns:repeat(2,minmax(0,1fr));gap:14px 28px}
.program{break-inside:avoid;min-width:0}
.program .held{color:var(--muted);font-weight:normal;white-space:nowrap}
.name{font-family:ui-monospace,"DejaVu Sans Mono",Menlo,Consolas,monospace;overflow-wrap:anywhere}
table{border-collapse:collapse;width:100%}
.versions th{font-weight:normal;text-align:left;white-space:nowrap;padding:1px 10px 1px 0;width:1%;font-family:ui-monospace,"DejaVu Sans Mono",Menlo,Consolas,monospace;font-size:13px}
.versions td{padding:1px 0 1px 8px}
.versions td.barcell{width:60%;padding-left:0}
td.n,th.n,.rows th.n{text-align:right;font-variant-numeric:tabular-nums;white-space:nowrap}
.rows{font-size:14px}
.rows th{text-align:left;color:var(--muted);font-weight:600;border-bottom:2px solid var(--line);padding:4px 8px}
.rows td{border-bottom:1px solid #eceef1;padding:3px 8px;vertical-align:top}
.rows .path{font-family:ui-monospace,"DejaVu Sans Mono",Menlo,Consolas,monospace;font-size:13px;overflow-wrap:anywhere}
.rows td.when{white-space:nowrap;font-variant-numeric:tabular-nums}
.wide{overflow-x:auto}
.list{max-height:24em;overflow-y:auto;border-bottom:1px solid var(--line)}
.none{color:var(--muted);font-style:italic}
h4{font-size:15px;margin:14px 0 6px}
p.empty{color:var(--muted);margin:6px 0}
tr.more td{color:var(--muted);font-style:italic;padding-top:4px}
@media (max-width:720px){
 main{padding:10px}
 section{padding:12px}
 h1{font-size:21px}
 .programs{grid-template-columns:minmax(0,1fr)}
 .figure b{font-size:22px}
 .versions td.barcell{width:40%}
}
@media print{
 body{background:#fff;font-size:10pt}
 main{max-width:none;padding:0}
 section{border:none;border-radius:0;padding:0;margin:0 0 14pt}
 h2{break-after:avoid}
 .rows tr,.program{break-inside:avoid}
 svg.bar{print-color-adjust:exact;-webkit-print-color-adjust:exact}
 .wide,.list{overflow:visible;max-height:none;border:none}
}
)css";

void Append(std::string& out, std::initializer_list<std::string_view> parts) {
  for (std::string_view p : parts) out.append(p);
}

// A bar of segments (width in percent, colour), on a grey track.
std::string Bar(const char* extra_class, const std::string& label,
                std::initializer_list<std::pair<std::string, const char*>> segments) {
  std::string out = std::string("<svg class=\"bar") + extra_class +
                    "\" viewBox=\"0 0 100 10\" preserveAspectRatio=\"none\" role=\"img\" "
                    "aria-label=\"" + label + "\"><rect width=\"100\" height=\"10\" fill=\"#e8eaed\"/>";
  double x = 0;
  for (const auto& [width, colour] : segments) {
    char at[32];
    std::snprintf(at, sizeof at, "%.2f", x);
    Append(out, {"<rect x=\"", at, "\" width=\"", width, "\" height=\"10\" fill=\"", colour, "\"/>"});
    x += std::strtod(width.c_str(), nullptr);
  }
  out += "</svg>";
  return out;
}

// The row after a bounded table's last: "and N more WHAT". None when
// nothing is left out.
void More(std::string& out, const char* table, int columns, std::int64_t more, const char* what) {
  if (more <= 0) return;
  Append(out, {"<tfoot><tr class=\"more\" id=\"", table, "-more\"><td colspan=\"",
               std::to_string(columns), "\">and ", Count(more), " more ", what,
               "</td></tr></tfoot>"});
}

std::string VersionLabel(const Version& version) {
  return version.is_none() ? "<span class=\"none\" title=\"no version in the file\">&lt;none&gt;</span>"
                           : version.ToString();
}

std::string Day(Time time) { return FormatTime(time).substr(0, 10); }

void Fleet(std::string& out, const ReportFigures& f, const ReportOptions& o) {
  const std::int64_t total = f.ok + f.incomplete + f.stale;
  out += "<section id=\"fleet\"><h2>The fleet</h2><div class=\"figures\">";
  Append(out, {"<div class=\"figure\"><b id=\"machines-total\">", Count(total),
               "</b>machines</div><div class=\"figure ok\"><b id=\"machines-ok\">", Count(f.ok),
               "</b>scanned in full within ", std::to_string(o.stale_days),
               " days</div><div class=\"figure incomplete\"><b id=\"machines-incomplete\">",
               Count(f.incomplete),
               "</b>last scan did not finish</div><div class=\"figure stale\"><b id=\"machines-stale\">",
               Count(f.stale), "</b>no scan for more than ", std::to_string(o.stale_days),
               " days</div></div>"});
  out += Bar(" fleet", Share(f.ok, total) + " up to date",
             {{Width(f.ok, total), "#2e7d32"},
              {Width(f.incomplete, total), "#e0a100"},
              {Width(f.stale, total), "#c62828"}});
  Append(out, {"<p class=\"legend\">Up to date ", Share(f.ok, total), " · not finished ",
               Share(f.incomplete, total), " · stale ", Share(f.stale, total), "</p>"});
  const auto list = [&](const char* id, const char* title, const std::vector<MachineRow>& rows,
                        std::int64_t total) {
    Append(out, {"<h4>", title, " (", Count(total), ")</h4>"});
    if (rows.empty()) {
      out += "<p class=\"empty\">None.</p>";
      return;
    }
    Append(out, {"<div class=\"wide list\"><table class=\"rows\" id=\"", id,
                 "\"><thead><tr><th>Machine</th><th>Last scan started</th><th>Finished</th>"
                 "<th class=\"n\">Files</th><th class=\"n\">Errors</th></tr></thead><tbody>"});
    for (const MachineRow& m : rows) {
      Append(out, {"<tr><td class=\"name\">", HtmlText(m.machine), "</td><td class=\"when\">",
                   FormatTime(m.last_started), "</td><td class=\"when\">",
                   m.last_completed ? FormatTime(*m.last_completed) : "not finished",
                   "</td><td class=\"n\">", Count(m.files), "</td><td class=\"n\">", Count(m.errors),
                   "</td></tr>"});
    }
    out += "</tbody>";
    More(out, id, 5, total - static_cast<std::int64_t>(rows.size()), "machines");
    out += "</table></div>";
  };
  list("list-incomplete", "Machines whose last scan did not finish", f.incomplete_machines,
       f.incomplete);
  list("list-stale", "Machines not scanned recently", f.stale_machines, f.stale);
  out += "</section>";
}

void Programs(std::string& out, const ReportFigures& f, const ReportOptions& o) {
  const std::int64_t total = f.ok + f.incomplete + f.stale;
  Append(out, {"<section id=\"programs\"><h2>The most widespread programs</h2><p class=\"legend\">The ",
               Count(static_cast<std::int64_t>(f.programs.size())),
               " file names held by the most machines (of ", Count(o.top),
               " asked for); each version's bar is its share of the name's machines, newest "
               "first. A name shows its ", std::to_string(kShownVersions),
               " versions held by the most machines; the row after them counts the other versions "
               "and the machines holding at least one of those, each machine once (it may hold a "
               "version shown as well).</p>"});
  if (f.programs.empty()) out += "<p class=\"empty\">No programs are stored.</p>";
  out += "<div class=\"programs\">";
  for (const ProgramFigures& p : f.programs) {
    const std::string name = HtmlText(p.name);
    Append(out, {"<article class=\"program\" data-name=\"", name, "\"><h3><span class=\"name\">", name,
                 "</span><span class=\"held\"><span class=\"machines\">", Count(p.machines),
                 "</span> machines · ", Share(p.machines, total),
                 " of the fleet</span></h3><table class=\"versions\"><tbody>"});
    for (const ProgramFigures::Held& h : p.versions) {
      const std::string share = Share(h.machines, p.machines);
      Append(out, {"<tr><th class=\"version\">", VersionLabel(h.version), "</th><td class=\"barcell\">",
                   Bar("", share, {{Width(h.machines, p.machines), h.version.is_none() ? "#80868b" : "#1a73e8"}}),
                   "</td><td class=\"n count\">", Count(h.machines), "</td><td class=\"n share\">", share,
                   "</td></tr>"});
    }
    out += "</tbody>";
    if (p.more_versions > 0) {
      Append(out, {"<tfoot><tr class=\"more\"><td colspan=\"4\">and ", Count(p.more_versions),
                   " more versions, ", Count(p.more_machines), " machines</td></tr></tfoot>"});
    }
    out += "</table></article>";
  }
  out += "</div></section>";
}

void Changes(std::string& out, const ReportFigures& f, const ReportOptions& o) {
  Append(out, {"<section id=\"changes\"><h2>Changes in the last ", std::to_string(o.recent_days),
               " days</h2><p class=\"legend\">Scans that started from ", FormatTime(f.changes_since),
               " to ", FormatTime(o.now), ": <b id=\"changes-total\">", Count(f.changes),
               "</b> changes.</p><div class=\"figures\">"});
  static constexpr std::array<const char*, 5> kWords = {"added", "removed", "upgraded", "downgraded",
                                                        "changed to or from no version"};
  for (std::size_t k = 0; k < kChangeKinds.size(); ++k) {
    Append(out, {"<div class=\"figure ", kChangeKinds[k], "\"><b id=\"changes-", kChangeKinds[k], "\">",
                 Count(f.change_counts[k]), "</b>", kWords[k], "</div>"});
  }
  out += "</div>";
  if (f.newest_changes.empty()) {
    out += "<p class=\"empty\">Nothing changed.</p></section>";
    return;
  }
  Append(out, {"<h4>The newest ", Count(static_cast<std::int64_t>(f.newest_changes.size())),
               "</h4><div class=\"wide\"><table class=\"rows\" id=\"list-changes\"><thead><tr>"
               "<th>Scan</th><th>Machine</th><th>Change</th><th>Path</th><th>Before</th><th>After</th>"
               "</tr></thead><tbody>"});
  for (const ChangeRow& c : f.newest_changes) {
    Append(out, {"<tr><td class=\"when\">", FormatTime(c.scan), "</td><td class=\"name\">",
                 HtmlText(c.machine), "</td><td>", ChangeKind(c), "</td><td class=\"path\">",
                 HtmlText(c.path), "</td><td>", c.old_version ? VersionLabel(*c.old_version) : "",
                 "</td><td>", c.new_version ? VersionLabel(*c.new_version) : "", "</td></tr>"});
  }
  out += "</tbody>";
  More(out, "list-changes", 6, f.changes - static_cast<std::int64_t>(f.newest_changes.size()), "changes");
  out += "</table></div></section>";
}

}  // namespace

std::string RenderReport(const ReportFigures& f, const ReportOptions& o) {
  const std::string database = HtmlText(o.database);
  std::string out;
  out.reserve(64 * 1024);
  Append(out, {"<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
               "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
               "style-src 'unsafe-inline'\"><meta name=\"viewport\" content=\"width=device-width, "
               "initial-scale=1\"><title>Fleet inventory: ", database, ", ", Day(o.now),
               "</title><style>", kStyle, f.exposure ? kExposureStyle : "", f.licenses ? kLicensesStyle : "",
               "</style></head><body><main><header><h1>Fleet inventory, ",
               Day(o.now), "</h1><p class=\"meta\">From <b class=\"name\" id=\"database\">", database,
               "</b>, made ", FormatTime(o.made), "; status as of ", FormatTime(o.now),
               ".</p><p class=\"meta\">Newest scan held: <b id=\"newest-scan\">",
               f.newest_scan ? FormatTime(*f.newest_scan) : "none", "</b></p></header>"});
  if (f.exposure) RenderExposure(out, *f.exposure);
  if (f.licenses) RenderLicenses(out, *f.licenses);
  Fleet(out, f, o);
  Programs(out, f, o);
  Changes(out, f, o);
  out += "</main></body></html>\n";
  return out;
}

}  // namespace vurfleet
