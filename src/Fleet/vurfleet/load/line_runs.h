#pragma once

#include <vector>

#include "read/scan.h"
#include "store/store.h"

namespace vurfleet {

// Cuts a scan's report lines into runs where the content says so (after a
// line whose path hashes to a multiple of 8), about 8 lines each, so
// that a line added or removed changes only its own run; each run's digest
// is the first 8 bytes of the SHA-256 of its paths and versions.
std::vector<LineRun> LineRuns(const Scan& scan);

}  // namespace vurfleet
