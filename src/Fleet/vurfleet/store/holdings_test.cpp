// HoldingsOrder: a machine's rows of the paths asked for, by path text then
// since, with their path's place, each path once; ids close together and
// far apart alike.
#include <gtest/gtest.h>

#include "store/holdings.h"

namespace vurfleet {
namespace {

TEST(HoldingsOrder, ByPathTextThenSinceWhateverTheIds) {
  for (const PathId far : {PathId{3}, PathId{1} << 40}) {
    std::string text;
    const std::function<void(const HoldingRow&)> row = [&](const HoldingRow& r) {
      text += r.machine + " " + r.path + " " + std::to_string(r.since) + " " + std::to_string(r.path_place) + "\n";
    };
    HoldingsOrder order(row);
    // A path given twice (two patterns of the name) is ranked once.
    for (const auto& [path, id] : std::vector<std::pair<const char*, PathId>>{
             {"C:\\b.exe", 2}, {"C:\\a.exe", far}, {"C:\\c.exe", 1}, {"C:\\b.exe", 2}}) {
      order.AddPath(path, id);
    }
    order.Rank();
    EXPECT_EQ(order.size(), 3u);
    EXPECT_TRUE(order.Holds(far) && !order.Holds(4) && !order.Holds(-1));
    using Runs = std::vector<std::pair<PathId, PathId>>;
    EXPECT_EQ(order.IdRuns(), (far == 3 ? Runs{{1, 3}} : Runs{{1, 2}, {far, far}}));
    // PC1's rows out of order and one of a path not asked for; then PC2's.
    for (const auto& [machine, path, since] : std::vector<std::tuple<const char*, PathId, Time>>{
             {"PC1", 1, 20}, {"PC1", 2, 30}, {"PC1", 1, 10}, {"PC1", 4, 10}, {"PC2", far, 5}, {"PC2", 1, 5}}) {
      order.Add(machine, path, since, std::nullopt, Version::None());
    }
    order.Finish();
    EXPECT_EQ(text, "PC1 C:\\b.exe 30 1\nPC1 C:\\c.exe 10 2\nPC1 C:\\c.exe 20 2\nPC2 C:\\a.exe 5 0\nPC2 C:\\c.exe 5 2\n")
        << far;
  }
}

}  // namespace
}  // namespace vurfleet
