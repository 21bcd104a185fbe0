// Benchmarks: a whole walk against `find` over the same generated tree, and
// the per-folder and per-file hot paths (exclusion test, extension test).
//   build/linux/vur_bench --benchmark_min_time=1
// With --make-tree DIR FILES it only writes the tree of bench/vs_find.sh.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_tree.h"
#include "config/exclusions.h"
#include "pe_builder.h"
#include "platform/posix/test_hooks.h"
#include "run/scanner.h"

namespace {

// 40 folders of 25 subfolders of 20 files: 21,000 entries, one file in ten a
// program with a version, one in ten a text file named .exe.
struct Tree {
  std::string root;
  Tree() {
    char pattern[] = "/tmp/vurbench.XXXXXX";
    root = mkdtemp(pattern);
    std::string drive = root + "/d";
    auto pe = vur::test::BuildPeWithVersion({10, 0, 19041, 1});
    for (int a = 0; a < 40; ++a) {
      for (int b = 0; b < 25; ++b) {
        std::string folder = drive + "/dir" + std::to_string(a) + "/sub" + std::to_string(b);
        std::filesystem::create_directories(folder);
        for (int f = 0; f < 20; ++f) {
          std::string name = folder + "/file" + std::to_string(f);
          if (f == 0) {
            vur::test::WriteBytes(name + ".exe", pe);
          } else if (f == 1) {
            std::ofstream(name + ".exe") << "text";
          } else {
            std::ofstream(name + ".txt") << "data";
          }
        }
      }
    }
    std::ofstream(root + "/drives") << "D: fixed " << drive << "\n";
    setenv("VURSCANNER_ROOT", root.c_str(), 1);
    vur::posix::testing::Reset();
  }
  ~Tree() { std::filesystem::remove_all(root); }
};

Tree& SharedTree() {
  static Tree tree;
  return tree;
}

void BM_ScanTree(benchmark::State& state) {
  SharedTree();
  std::FILE* null_out = std::fopen("/dev/null", "w");
  for (auto _ : state) {
    vur::Scanner scanner(null_out);
    scanner.LoadExclusions();
    scanner.ScanFolder(L"D:\\", true, {L".com", L".exe"});
  }
  std::fclose(null_out);
  state.SetItemsProcessed(state.iterations() * 21000);
}
BENCHMARK(BM_ScanTree)->Unit(benchmark::kMillisecond);

// The same tree listed by find, which neither tests names nor reads files.
void BM_FindTree(benchmark::State& state) {
  std::string command = "find " + SharedTree().root + "/d -name '*.exe' > /dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) state.SkipWithError("find failed");
  }
  state.SetItemsProcessed(state.iterations() * 21000);
}
BENCHMARK(BM_FindTree)->Unit(benchmark::kMillisecond);

void BM_ExclusionTestDefaults(benchmark::State& state) {
  const std::wregex form = vur::ExclusionFormTest();
  std::vector<std::wregex> rules;
  for (const wchar_t* pattern : vur::kDefaultExclusions)
    rules.push_back(vur::CompileExclusion(vur::PrepareExclusion(pattern, form)));
  std::wstring path = L"C:\\Program Files\\Common Files\\Microsoft Shared\\ink\\fsdefinitions\\";
  for (auto _ : state) {
    for (const std::wregex& rule : rules) benchmark::DoNotOptimize(vur::Scanner::IsExcludedBy(rule, path));
  }
}
BENCHMARK(BM_ExclusionTestDefaults);

// What the walker pays per folder for the default rules: the pre-test turns
// the path away before any expression is matched.
void BM_ExclusionPreTestDefaults(benchmark::State& state) {
  const std::wregex form = vur::ExclusionFormTest();
  std::vector<std::wstring> required;
  for (const wchar_t* pattern : vur::kDefaultExclusions)
    required.push_back(vur::RequiredText(vur::PrepareExclusion(pattern, form)));
  std::wstring path = L"C:\\Program Files\\Common Files\\Microsoft Shared\\ink\\fsdefinitions\\";
  for (auto _ : state) {
    for (const std::wstring& text : required) benchmark::DoNotOptimize(vur::MayHold(path, text));
  }
}
BENCHMARK(BM_ExclusionPreTestDefaults);

void BM_ExtensionTestNoMatch(benchmark::State& state) {
  SharedTree();
  std::FILE* null_out = std::fopen("/dev/null", "w");
  vur::Scanner scanner(null_out);
  vur::ExtensionSet extensions = {L".com", L".exe"};
  std::wstring path = L"D:\\dir1\\sub2\\readme-of-a-long-name.txt";
  for (auto _ : state) scanner.OutputFileInfo(path, extensions);
  std::fclose(null_out);
}
BENCHMARK(BM_ExtensionTestNoMatch);

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--make-tree") {
    if (argc != 4) {
      std::fprintf(stderr, "usage: %s --make-tree DIR FILES\n", argv[0]);
      return 2;
    }
    vur::bench::TreeSummary summary;
    if (vur::bench::MakeTree(argv[2], std::atol(argv[3]), &summary) != 0) return 1;
    std::printf("files %ld folders %ld images %ld candidates %ld sources %ld\n", summary.files,
                summary.folders, summary.images, summary.candidates, summary.sources);
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
