// A finished scan's ERROR lines against the paths before it: the case of a
// scan that could walk none of n folders after a scan that reported a file
// in each. ShieldOf reads the n lines; Covers looks up n paths. The target:
// 100 000 against 100 000 within a second, all of it.
//   build/linux/vurfleet_bench --benchmark_min_time=1
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "read/shield.h"

namespace {

struct Case {
  std::vector<std::string> lines;  // "# ERROR: Exception in ScanFolder( ... )"
  std::vector<std::string> paths;  // folded, one below each folder
  explicit Case(int n) {
    for (int i = 0; i < n; ++i) {
      const std::string folder =
          "D:\\Sites\\Site" + std::to_string(i % 100) + "\\Folder" + std::to_string(i);
      lines.push_back("# ERROR: Exception in ScanFolder( " + folder + " )");
      paths.push_back(vurfleet::FoldCase(folder) + "\\bin\\program" + std::to_string(i) + ".exe");
    }
  }
};

void BM_ShieldOfAndCovers(benchmark::State& state) {
  const Case c(static_cast<int>(state.range(0)));
  const std::vector<std::string_view> lines(c.lines.begin(), c.lines.end());
  std::size_t covered = 0;
  const std::uint64_t before = vurfleet::ShieldComparisons();
  for (auto _ : state) {
    const vurfleet::Shield shield = vurfleet::ShieldOf(lines);
    for (const std::string& path : c.paths) covered += shield.Covers(path);
  }
  benchmark::DoNotOptimize(covered);
  state.counters["comparisons"] = benchmark::Counter(
      static_cast<double>(vurfleet::ShieldComparisons() - before) /
      static_cast<double>(state.iterations()));
}
BENCHMARK(BM_ShieldOfAndCovers)->Arg(10000)->Arg(30000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_CoversOnly(benchmark::State& state) {
  const Case c(static_cast<int>(state.range(0)));
  const vurfleet::Shield shield =
      vurfleet::ShieldOf(std::vector<std::string_view>(c.lines.begin(), c.lines.end()));
  std::size_t covered = 0;
  for (auto _ : state) {
    for (const std::string& path : c.paths) covered += shield.Covers(path);
  }
  benchmark::DoNotOptimize(covered);
}
BENCHMARK(BM_CoversOnly)->Arg(10000)->Arg(30000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
