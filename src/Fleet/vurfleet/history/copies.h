// Two files that hold the same run (the same machine and start): the share
// was read while the run was still being written, or the file was copied.
// Which copy stands must not depend on the order they are loaded in.
#pragma once

#include <string>

namespace vurfleet {

struct RunCopy {
  bool finished = false;
  int report_lines = 0;
  int error_lines = 0;
  std::string sha256;  // of the file's bytes
};

enum class CopyVerdict {
  kReplaceStored,  // the new copy is further along: it takes the stored one's place
  kKeepStored,     // the stored copy is further along: the new one adds nothing
  kConflict,       // both finished, with different bytes: the new one is refused
};

// A finished copy is never replaced. A finished copy replaces an unfinished
// one, and an unfinished copy is an earlier view of a finished one. Of two
// unfinished copies the one with more report lines stands (then more ERROR
// lines, then the greater SHA-256, so that any order of loading gives the
// same answer).
CopyVerdict CompareCopies(const RunCopy& stored, const RunCopy& incoming);

}  // namespace vurfleet
