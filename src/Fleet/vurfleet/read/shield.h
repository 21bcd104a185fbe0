// What a finished scan does not prove absent. The scanner names a drive or
// a folder it could not walk whole, and a file it found but could not
// report; entries there stay in the inventory unless the scan reports them
// anew.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vurfleet {

// Orders folded paths as bytes, and counts its comparisons (ShieldComparisons).
struct FoldedPathLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

struct Shield {
  // Folded (FoldCase) folder paths ending in a backslash: "d:\", "d:\temp\".
  std::set<std::string, FoldedPathLess> folders;
  // Folded paths of files the scan met but could not report.
  std::set<std::string, FoldedPathLess> files;

  bool empty() const { return folders.empty() && files.empty(); }
  // Whether a folded path lies below one of the folders or is one of the
  // files. Looks up each folder the path lies in, and the path itself: its
  // depth times a logarithm of the folders' count in comparisons.
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

// The comparisons of folded paths made on this thread so far, by ShieldOf
// and Covers: what the tests bound and the benchmark reports.
std::uint64_t ShieldComparisons();

}  // namespace vurfleet
