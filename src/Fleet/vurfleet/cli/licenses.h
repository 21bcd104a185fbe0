// `vurfleet licenses`: the true-up of the entitlements against the fleet's
// history (the command: AddLicenses in cli/command.h), and the
// entitlements file it and `report --entitlements` read.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "licenses/entitlements.h"

namespace vurfleet {

// The entitlements file at `path`, read whole; a file that can't be read or
// is no entitlements file is said on `err` ("vurfleet: FILE:LINE: why") and
// gives nothing.
std::optional<Entitlements> ReadEntitlementsFile(const std::string& path, std::ostream& err);

}  // namespace vurfleet
