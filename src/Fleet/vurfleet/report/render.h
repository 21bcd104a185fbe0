// The fleet's page: one HTML file with its styles inline and its bars as
// inline SVG, no script and nothing fetched (its Content-Security-Policy
// allows inline styles only), readable on a wide screen, a phone and paper.
#pragma once

#include <string>

#include "report/figures.h"

namespace vurfleet {

std::string RenderReport(const ReportFigures& figures, const ReportOptions& options);

// Writes `text` to `path` through a temporary file beside it, renamed over
// `path` once written whole, so that a failed write leaves no half page
// (and an older page, if any, in place). Throws std::runtime_error naming
// the file and the system's reason.
void WriteFileWhole(const std::string& path, const std::string& text);

}  // namespace vurfleet
