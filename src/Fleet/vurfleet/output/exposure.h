// The exposure of the fleet as the command line prints it: the figures
// come gathered (exposure/gather.h); this only prints them.
#pragma once

#include <ostream>

#include "exposure/gather.h"
#include "output/output.h"

namespace vurfleet {

// Columns id, severity, machine, path, version, status, since.
void PrintExposure(const Advisories& advisories, const ExposedEntries& exposed, Format format,
                   std::ostream& out);

// Columns id, severity, title, exposed, unknown, fixed, median_days.
void PrintExposureSummary(const Advisories& advisories, const Summary& summary, Format format,
                          std::ostream& out);

// Columns id, machine, from, until, days.
void PrintExposureWindows(const Advisories& advisories, const ExposureWindows& windows, Format format,
                          std::ostream& out);

}  // namespace vurfleet
