// The files a load reads: named ones whatever their names, and every
// *.txt file below a named folder, in name order.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vurfleet {

struct FileToLoad {
  std::string path;   // as it will be named in messages
  std::string error;  // set when the folder could not be listed here
};

// Expands the command line's files and folders. A folder's files are those
// whose names end in ".txt" in any case, regular files (or links to them)
// only, found below it without following links to folders, sorted by path.
std::vector<FileToLoad> ListFiles(const std::vector<std::string>& arguments);

// The largest file read: a scan with a million report lines is a tenth of it.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

// Reads a whole file (any kind a name can open: a FIFO named on the command
// line works too). Sets `error` and returns nothing on failure, or when the
// file is larger than kMaxFileBytes.
std::optional<std::string> ReadFileBytes(const std::string& path, std::string* error);

}  // namespace vurfleet
