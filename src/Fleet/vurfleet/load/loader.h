// `vurfleet load`: files and folders in, one line per file out.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

namespace vurfleet {

// The machine a file belongs to: its name up to its first dot
// ("PC042.2026-12-09.txt" is PC042's). Nothing when that is empty.
std::optional<std::string> MachineOfFileName(std::string_view file_name);

// Whether `name` can be a computer's name: 1 to 63 bytes of letters
// (non-ASCII ones too), digits, '-' and '_', not starting with '-'. Keeps
// names that would break a line or a spreadsheet cell out of the store.
bool IsMachineName(std::string_view name);

struct LoadOptions {
  std::optional<std::string> machine;  // --machine: every file is this machine's
  // This machine's clock (--now stands in for it): a scan that started more
  // than kClockTolerance after it is refused. Stamps are wall-clock times and
  // two machines' zones differ by up to 26 hours.
  Time now = 0;
};

constexpr Time kClockTolerance = 2 * 86400;

// Loads each file named, and every *.txt file below each folder named, one
// transaction a file. Each file gets one line on `out`; each refusal one
// line "vurfleet: FILE:LINE: why" on `err`, and the other files still load.
// Returns 0 when every file is stored (or was already), 1 when some file was
// refused. A failing store throws StoreError and ends the load; what was
// committed stays.
int LoadAll(Store& store, const std::vector<std::string>& arguments, const LoadOptions& options,
            std::ostream& out, std::ostream& err);

}  // namespace vurfleet
