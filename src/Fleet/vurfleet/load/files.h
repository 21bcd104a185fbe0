// The files a load reads: named ones whatever their names, and every
// *.txt file below a named folder, in name order.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vurfleet {

struct FileToLoad {
  std::string path;   // as it is named in messages
  std::string error;  // set when it is not read: why
  // For a file found below a folder given: that folder as given, and the
  // file's path below it ("site/PC1.txt"). Empty for a file given.
  std::string folder;
  std::string below;
};

// Expands the command line's files and folders. A file or folder given is
// taken as given, a link to it followed. Below a folder:
// - files whose names end in ".txt" in any case, regular files only;
// - a link is not followed, and is named in an entry of its own with an
//   error, whatever it leads to;
// - a folder that can't be listed, and a *.txt that is no regular file
//   (a FIFO, a device), are named in an entry of their own with an error,
//   and the walk goes on with the rest.
// The entries of a folder are sorted by path, errors in their places.
std::vector<FileToLoad> ListFiles(const std::vector<std::string>& arguments);

// The largest file read: a scan with a million report lines is a tenth of it.
constexpr std::size_t kMaxFileBytes = std::size_t{1} << 30;

// Reads a whole file. A file given is opened as given (a FIFO named on the
// command line works too). A file found below a folder is opened from that
// folder one name at a time, following no link, without waiting on a FIFO,
// and read only if it is a regular file. Sets `error` and returns nothing on
// failure, or when the file is larger than kMaxFileBytes; that refusal
// names `what` is read ("no scan is that large").
std::optional<std::string> ReadFileBytes(const FileToLoad& file, std::string* error, const char* what = "scan");

}  // namespace vurfleet
