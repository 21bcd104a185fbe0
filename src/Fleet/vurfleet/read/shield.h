// What a finished scan does not prove absent. The scanner names a drive or
// a folder it could not walk whole, and a file it found but could not
// report; entries there stay in the inventory unless the scan reports them
// anew.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vurfleet {

struct Shield {
  // Folded (FoldCase) folder paths ending in a backslash: "d:\", "d:\temp\".
  std::vector<std::string> folders;
  // Folded paths of files the scan met but could not report.
  std::vector<std::string> files;

  bool empty() const { return folders.empty() && files.empty(); }
  // Whether a folded path lies below one of the folders or is one of the
  // files.
  bool Covers(std::string_view folded_path) const;
};

// The shield of a scan's ERROR lines (whole lines, "# ERROR: ..."):
//   "# ERROR: Scanning drive X:\"                  that drive
//   "# ERROR: Exception in ScanFolder( PATH )"     that folder
//   "# ERROR: Exception in GetFileVersion() PATH"  that file
//   "# ERROR: Exception in OutputFileInfo() : PATH" that file
// Other ERROR lines limit nothing: "# ERROR: Using FindNextFileW in
// directory ... after file ..." only says a code was pending at a
// checkpoint, and every run under Wine prints one.
Shield ShieldOf(const std::vector<std::string_view>& error_lines);

}  // namespace vurfleet
