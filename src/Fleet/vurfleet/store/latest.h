// What a store keeps of each machine's latest scan to load the next one
// fast: its report lines' runs (digest and length) and their ids, in file
// order, as one small blob. Only a cache: a missing or unreadable blob
// makes the next load look every line up, never answer differently.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "history/history.h"
#include "store/load_target.h"

namespace vurfleet {

// Varints: the number of runs, each run's digest (8 bytes) and length, then
// each entry's path id (as a signed difference from the one before) and
// version id.
std::string EncodeLatest(const std::vector<LineRun>& runs, const std::vector<Entry>& entries);
// Nothing when the bytes are not such a blob.
std::optional<LatestRuns> DecodeLatest(std::string_view bytes, bool exact);
// The entries alone, into `entries` (its memory reused); false when the
// bytes are not such a blob.
bool DecodeLatestEntries(std::string_view bytes, std::vector<Entry>* entries);

}  // namespace vurfleet
