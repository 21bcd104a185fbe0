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
//   "# Complete" is refused, and so is a line that begins as one of them
//   but holds more ("# Started " with a blank after it).
// - A report line is every line that is neither empty nor begins with "#":
//   the path before its last " - ", and "<none>" or four parts after it. It
//   must come between the start and the end of the run. The path is a
//   Windows path ("X:\..." or "\\...") of at most 32 767 UTF-16 units. A
//   path given twice with two versions is refused; the same line twice is
//   kept once.
// - "# ERROR: " lines are kept wherever they stand. A "#" line of more than
//   65 536 UTF-16 units is refused: the scanner prints none so long.
// - Memory grows with the report lines and the text, never with the count
//   of empty lines.
// - A last line without a line end is a write still in progress and is not
//   read, unless it is the stamp that completes the run.
std::variant<Scan, Refusal> ReadScan(std::string bytes);

}  // namespace vurfleet
