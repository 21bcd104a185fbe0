// The exit codes of vurfleet, named once; `--help` and the manual page list
// them (kExitCodesHelp).
#pragma once

namespace vurfleet {

constexpr int kExitOk = 0;        // all well
constexpr int kExitRefused = 1;   // something refused (a scan file), not found (forget), or a fault found (check)
constexpr int kExitUsage = 2;     // a usage error, or a file refused whole (advisories, the page)
constexpr int kExitDatabase = 3;  // the database failed, or memory ran out

inline constexpr const char* kExitCodesHelp =
    "Exit codes: 0 all well; 1 something refused (a scan file), not found (forget), or a fault "
    "found (check); "
    "2 a usage error, or a file refused whole (advisories) or not written (the page); "
    "3 the database failed (can't be opened, read or written), or memory ran out.";

}  // namespace vurfleet
