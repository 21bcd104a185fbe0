// Reading one collected file: bytes in, one scan or one refusal out. Pure:
// no file, no clock, no database.
#pragma once

#include <string>
#include <variant>

#include "read/scan.h"

namespace vurfleet {

// Reads a run's standard output as collected (see Decode for encodings).
//
// - "# Started" is followed by its stamp; "# Complete" with its own stamp
//   means the run finished. A file holds one run: a second "# Started" or
//   "# Complete" is refused.
// - A report line is every line that is neither empty nor begins with "#":
//   the path before its last " - ", and "<none>" or four parts after it. It
//   must come between the start and the end of the run. A path given twice
//   with two versions is refused; the same line twice is kept once.
// - "# ERROR: " lines are kept wherever they stand.
// - A last line without a line end is a write still in progress and is not
//   read, unless it is the stamp that completes the run.
std::variant<Scan, Refusal> ReadScan(std::string bytes);

}  // namespace vurfleet
