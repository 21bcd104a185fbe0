// The file-name rule: the file name of a Windows path, and the key by which
// name patterns (`--name`, an advisory's name) match it.
#pragma once

#include <string>
#include <string_view>

#include "base/text.h"

namespace vurfleet {

// A path's file name: what follows its last backslash.
inline std::string_view FileNameOf(std::string_view path) {
  const std::size_t slash = path.rfind('\\');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The key name patterns match: the file name, folded (FoldCase).
inline std::string NameKey(std::string_view path) { return FoldCase(FileNameOf(path)); }

}  // namespace vurfleet
