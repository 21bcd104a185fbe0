// `vurfleet exposure`: advisories held against the fleet's history (the
// command: AddExposure in cli/command.h), and the advisories file it and
// `report --advisories` read.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "exposure/advisories.h"

namespace vurfleet {

// The advisories file at `path`, read whole; a file that can't be read or
// is no advisories file is said on `err` ("vurfleet: FILE:LINE: why") and
// gives nothing.
std::optional<Advisories> ReadAdvisoriesFile(const std::string& path, std::ostream& err);

}  // namespace vurfleet
