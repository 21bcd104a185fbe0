#pragma once

#include <vector>

#include "read/scan.h"
#include "store/store.h"

namespace vurfleet {

// Cuts a scan's report lines into runs where the content says so (after a
// line whose path hashes to a multiple of 8), about 8 lines each, so that a
// line added or removed changes only its own run. Each run's digest mixes
// its paths' hashes and versions into 64 bits. The digests only ever meet
// those of the same machine's latest scan: a collision, as unlikely as
// 2^-64 a run, could at worst take that scan's lines for lines the file
// holds, never another machine's.
std::vector<LineRun> LineRuns(const Scan& scan);

}  // namespace vurfleet
