// The fleet's page: one HTML file with its styles inline and its bars as
// inline SVG, no script and nothing fetched (its Content-Security-Policy
// allows inline styles only), readable on a wide screen, a phone and paper.
#pragma once

#include <string>

#include "report/figures.h"

namespace vurfleet {

std::string RenderReport(const ReportFigures& figures, const ReportOptions& options);

}  // namespace vurfleet
