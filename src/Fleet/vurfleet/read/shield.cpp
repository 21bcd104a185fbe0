#include "read/shield.h"

#include <cstdint>

#include "base/text.h"

namespace vurfleet {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::string Folder(std::string_view path) {
  std::string folded = FoldCase(path);
  if (folded.empty() || folded.back() != '\\') folded.push_back('\\');
  return folded;
}

thread_local std::uint64_t comparisons = 0;

}  // namespace

bool FoldedPathLess::operator()(std::string_view a, std::string_view b) const {
  ++comparisons;
  return a < b;
}

std::uint64_t ShieldComparisons() { return comparisons; }

bool Shield::Covers(std::string_view path) const {
  // A folder ends in a backslash, so the path lies below it exactly when
  // the path's part up to one of its backslashes is that folder.
  if (!folders.empty()) {
    for (std::size_t end = path.find('\\'); end != std::string_view::npos;
         end = path.find('\\', end + 1)) {
      if (folders.find(path.substr(0, end + 1)) != folders.end()) return true;
    }
  }
  return !files.empty() && files.find(path) != files.end();
}

Shield ShieldOf(const std::vector<std::string_view>& error_lines) {
  constexpr std::string_view kDrive = "# ERROR: Scanning drive ";
  constexpr std::string_view kFolder = "# ERROR: Exception in ScanFolder( ";
  constexpr std::string_view kFolderEnd = " )";
  constexpr std::string_view kVersion = "# ERROR: Exception in GetFileVersion() ";
  constexpr std::string_view kOutput = "# ERROR: Exception in OutputFileInfo() : ";
  Shield shield;
  for (std::string_view line : error_lines) {
    if (StartsWith(line, kDrive)) {
      const std::string_view drive = line.substr(kDrive.size());
      if (!drive.empty()) shield.folders.insert(Folder(drive));
    } else if (StartsWith(line, kFolder) && line.size() >= kFolder.size() + kFolderEnd.size() &&
               line.compare(line.size() - kFolderEnd.size(), kFolderEnd.size(), kFolderEnd) == 0) {
      const std::string_view folder =
          line.substr(kFolder.size(), line.size() - kFolder.size() - kFolderEnd.size());
      if (!folder.empty()) shield.folders.insert(Folder(folder));
    } else if (StartsWith(line, kVersion) && line.size() > kVersion.size()) {
      shield.files.insert(FoldCase(line.substr(kVersion.size())));
    } else if (StartsWith(line, kOutput) && line.size() > kOutput.size()) {
      shield.files.insert(FoldCase(line.substr(kOutput.size())));
    }
  }
  return shield;
}

}  // namespace vurfleet
