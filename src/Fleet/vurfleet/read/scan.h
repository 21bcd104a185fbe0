// One run of the scanner as read from the file that collected its output.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/time.h"
#include "base/version.h"

namespace vurfleet {

struct ReportLine {
  std::string_view path;
  Version version;
};

struct ErrorLine {
  int line;
  std::string_view text;  // the whole line, "# ERROR: ..."
};

struct Scan {
  Time started = 0;
  int started_line = 0;     // the line "# Started"
  std::optional<Time> completed;  // the stamp after "# Complete": the run finished
  // In file order. A line repeated word for word is kept once.
  std::vector<ReportLine> reports;
  std::vector<ErrorLine> errors;
  int report_lines = 0;     // as read, repeats included
  // The file ends in the middle of the output, as one still being written
  // does: its last line had no line end and was not read, or "# Complete"
  // had no stamp yet.
  bool unterminated_tail = false;
  // What the views point into.
  std::shared_ptr<const std::string> holder;

  bool finished() const { return completed.has_value(); }
};

// Why a file is no scan, and where.
struct Refusal {
  int line;
  std::string why;
};

}  // namespace vurfleet
