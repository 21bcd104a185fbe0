// How values are kept in the tables of both stores: one home for each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/file_name.h"
#include "base/text.h"
#include "base/version.h"

namespace vurfleet {

// A version's stored number: its 64 bits with the top one flipped, so that
// the databases' signed order is the versions' order. <none> has none.
inline std::int64_t StoredVersion(std::uint64_t version) {
  return static_cast<std::int64_t>(version ^ (std::uint64_t{1} << 63));
}
inline Version VersionOfStored(std::int64_t value) {
  return Version::Of(static_cast<std::uint64_t>(value) ^ (std::uint64_t{1} << 63));
}

// A machine's name as stored and shown: in upper case, the same whichever
// spelling came first.
inline std::string MachineName(std::string_view name) { return UpperCase(name); }

}  // namespace vurfleet
