// The load, once, above the stores: one scan file of one machine into the
// machine's stored history, through a store's named operations
// (store/load_target.h). The checks (these bytes stored already, another
// copy of the run), the choice between appending a latest scan and working
// a history out again, and the rows to write are all here; the rules of
// history are history/'s.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store/load_target.h"
#include "store/store.h"

namespace vurfleet {

// Loads `file` in the target's group (LoadTarget::BeginGroup), in a
// savepoint of its own, with three calls into the target at most (what is
// stored for the file, ids for its lines, the rows to write): a file that is not stored (already loaded, a copy
// that adds nothing, a conflict) or that fails leaves nothing behind, and
// the rest of the group stands. Throws what the target throws.
LoadResult LoadFile(LoadTarget& target, const ScanFile& file);

// The stored scans as the history takes them: a finished scan's shield is
// made of its ERROR lines, read as they were when it was loaded.
std::vector<StoredScan> ShieldedScans(const std::vector<StoredScanLines>& scans);

// LoadFile in a group of its own, tried again while the target asks
// (RetryError): what a caller with one file, or a test, needs.
LoadResult LoadAlone(LoadTarget& target, const ScanFile& file);

// Takes out what should not be there, in a group of its own: the machine's
// scan that started at `scan`, its history worked out again as if that scan
// had never been loaded; or, without `scan`, the machine whole. A machine
// left without scans is taken out whole. `machine` is compared without
// regard to case.
ForgetResult Forget(LoadTarget& target, const std::string& machine, std::optional<Time> scan);

}  // namespace vurfleet
