// `vurfleet load`: files and folders in, one line per file out.
#pragma once

#include <chrono>
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

constexpr Time kClockTolerance = 2 * 86400;

// A load commits files in groups: as many as are read within kGroupWait of
// the group's first, up to kGroupFiles files and kGroupLines report lines,
// whichever comes first. One commit (and, on PostgreSQL, one flush of the
// server's log) then serves many files, and a group holds SQLite's write
// lock for a second or so at most.
constexpr std::size_t kGroupFiles = 100;
constexpr std::size_t kGroupLines = 300000;
constexpr std::chrono::milliseconds kGroupWait{1000};

struct LoadOptions {
  std::optional<std::string> machine;  // --machine: every file is this machine's
  // This machine's clock (--now stands in for it): a scan that started more
  // than kClockTolerance after it is refused. Stamps are wall-clock times and
  // two machines' zones differ by up to 26 hours.
  Time now = 0;
  // Files a group holds at most (--group): fewer say each file's line
  // sooner, more load faster.
  std::size_t group_files = kGroupFiles;
};

// Loads each file named, and every *.txt file below each folder named, in
// groups of files, one transaction a group and one savepoint a file: a file
// refused or in conflict is taken back alone, and the rest of its group
// stands. Each file gets one line on `out`, or a refusal "vurfleet:
// FILE:LINE: why" on `err` and the other files still load; the lines are
// written once the file's group has committed, never before, so a line that
// says a file is stored is true. Returns 0 when every file is stored (or was
// already), 1 when some file was refused. A load that ends keeps its
// figures in the store (Store::NoteLoad). A failing store throws StoreError
// naming the file in flight and ends the load; the groups committed stay.
int LoadAll(Store& store, const std::vector<std::string>& arguments, const LoadOptions& options,
            std::ostream& out, std::ostream& err);

}  // namespace vurfleet
