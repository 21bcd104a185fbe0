// HoldingsOrder: the rows of the paths asked for, a machine at a time, by
// path text then since, each with its path's place; other paths' rows
// dropped. Ids close together and far apart are looked up apart.
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
    HoldingsOrder order({{"C:\\b.exe", 2}, {"C:\\a.exe", far}, {"C:\\c.exe", 1}}, row);
    EXPECT_TRUE(order.Holds(far));
    EXPECT_FALSE(order.Holds(4));
    EXPECT_FALSE(order.Holds(-1));
    const Version v = Version::None();
    order.Add("PC1", 1, 20, std::nullopt, v);
    order.Add("PC1", 2, 30, 40, v);
    order.Add("PC1", 1, 10, 20, v);
    order.Add("PC1", 4, 10, std::nullopt, v);  // not asked for
    order.Add("PC2", far, 5, std::nullopt, v);
    order.Add("PC2", 1, 5, std::nullopt, v);
    order.Finish();
    EXPECT_EQ(text,
              "PC1 C:\\b.exe 30 1\n"
              "PC1 C:\\c.exe 10 2\n"
              "PC1 C:\\c.exe 20 2\n"
              "PC2 C:\\a.exe 5 0\n"
              "PC2 C:\\c.exe 5 2\n")
        << "far id " << far;
  }
}

}  // namespace
}  // namespace vurfleet
