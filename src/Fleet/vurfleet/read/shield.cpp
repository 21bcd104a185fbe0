#include "read/shield.h"

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

}  // namespace

bool Shield::Covers(std::string_view path) const {
  for (const std::string& folder : folders) {
    if (StartsWith(path, folder)) return true;
  }
  for (const std::string& file : files) {
    if (path == file) return true;
  }
  return false;
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
      if (!drive.empty()) shield.folders.push_back(Folder(drive));
    } else if (StartsWith(line, kFolder) && line.size() >= kFolder.size() + kFolderEnd.size() &&
               line.compare(line.size() - kFolderEnd.size(), kFolderEnd.size(), kFolderEnd) == 0) {
      const std::string_view folder =
          line.substr(kFolder.size(), line.size() - kFolder.size() - kFolderEnd.size());
      if (!folder.empty()) shield.folders.push_back(Folder(folder));
    } else if (StartsWith(line, kVersion) && line.size() > kVersion.size()) {
      shield.files.push_back(FoldCase(line.substr(kVersion.size())));
    } else if (StartsWith(line, kOutput) && line.size() > kOutput.size()) {
      shield.files.push_back(FoldCase(line.substr(kOutput.size())));
    }
  }
  return shield;
}

}  // namespace vurfleet
