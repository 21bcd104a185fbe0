// Reading and writing a file whole: one home for every command that reads
// a file given (scans, advisories) or writes one (the page).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vurfleet {

// Reads the file open as `fd` to its end. A folder is refused ("a folder").
// More than `limit` bytes is refused with `too_large` as the reason, before
// reading when the file says its size. Sets `error` and returns nothing on
// failure; `fd` stays open.
std::optional<std::string> ReadOpenFile(int fd, std::size_t limit, const char* too_large,
                                        std::string* error);

// Opens `path` as given (a link followed, a FIFO waited on) and reads it as
// ReadOpenFile does. A file that can't be opened: "cannot open: why".
std::optional<std::string> ReadFileWhole(const std::string& path, std::size_t limit,
                                         const char* too_large, std::string* error);

// Writes `text` to `path`:
// - a regular file, or none yet: through a temporary file beside it,
//   renamed over it once written whole, so that a failed write leaves no
//   half file (and an older one, if any, in place);
// - a link: followed to the end of its chain, and the file there replaced
//   (or made) as above; the links stay as they are;
// - anything else (a device such as /dev/null, a FIFO, a terminal): written
//   in place, as a shell's ">" would.
// A folder is refused. Throws std::runtime_error naming `path` and the
// system's reason.
void WriteFileWhole(const std::string& path, const std::string& text);

}  // namespace vurfleet
