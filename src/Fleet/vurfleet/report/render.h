// The fleet's page: one HTML file with its styles inline and its bars as
// inline SVG, no script and nothing fetched (its Content-Security-Policy
// allows inline styles only), readable on a wide screen, a phone and paper.
#pragma once

#include <string>

#include "report/figures.h"

namespace vurfleet {

std::string RenderReport(const ReportFigures& figures, const ReportOptions& options);

// Writes `text` to `path`:
// - a regular file, or none yet: through a temporary file beside it,
//   renamed over it once written whole, so that a failed write leaves no
//   half page (and an older page, if any, in place);
// - a link: followed to the end of its chain, and the page there replaced
//   (or made) as above; the links stay as they are;
// - anything else (a device such as /dev/null, a FIFO, a terminal): written
//   in place, as a shell's ">" would.
// A folder is refused. Throws std::runtime_error naming `path` and the
// system's reason.
void WriteFileWhole(const std::string& path, const std::string& text);

}  // namespace vurfleet
