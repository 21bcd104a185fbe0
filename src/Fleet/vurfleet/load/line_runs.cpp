#include "load/line_runs.h"

#include <functional>

namespace vurfleet {
namespace {

// splitmix64's finalizer: every bit of the input reaches every bit.
std::uint64_t Mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

std::vector<LineRun> LineRuns(const Scan& scan) {
  std::vector<LineRun> runs;
  const std::uint32_t count = static_cast<std::uint32_t>(scan.reports.size());
  std::uint32_t first = 0;
  std::uint64_t digest = 0x9E3779B97F4A7C15ULL;
  for (std::uint32_t k = 0; k < count; ++k) {
    const ReportLine& line = scan.reports[k];
    const std::uint64_t path = std::hash<std::string_view>{}(line.path);
    digest = Mix(digest + path);
    digest = Mix(digest + line.version.value() + (line.version.is_none() ? 0x5BD1E995ULL : 0));
    if ((path & 7) == 0 || k + 1 == count) {
      runs.push_back(LineRun{first, k + 1 - first, digest});
      first = k + 1;
      digest = 0x9E3779B97F4A7C15ULL;
    }
  }
  return runs;
}

}  // namespace vurfleet
