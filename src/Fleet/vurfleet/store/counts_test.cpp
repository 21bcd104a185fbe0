// The holds' blob and what a machine's changes do to the counts.
#include "store/counts.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace vurfleet {
namespace {

using Keys = std::vector<std::pair<NameId, VersionId>>;

TEST(Counts, HoldsBlobsThatAreNotWholeAreRefused) {
  const std::vector<Held> holds = {{1, 0, 2}, {1, 7, 1}, {300, 2, 1}};
  const std::string blob = EncodeHolds(holds);
  EXPECT_EQ(DecodeHolds(blob), holds);
  EXPECT_EQ(DecodeHolds(EncodeHolds({})), std::vector<Held>{});
  for (const std::string& bad : {blob.substr(0, blob.size() - 1), blob + '\0', std::string("\xff", 1),
                                 EncodeHolds({{1, 7, 1}, {1, 0, 2}}), EncodeHolds({{1, 0, 0}}),
                                 EncodeHolds({{1, 0, 1}, {1, 0, 1}})}) {
    EXPECT_FALSE(DecodeHolds(bad)) << testing::PrintToString(bad);
  }
}

// Name 1 at versions 10 and 11; -1 a name's machines, -2 those holding it
// at two versions or more.
TEST(Counts, AMachineCountsOnceForANameAndEachVersion) {
  struct Case {
    const char* what;
    std::vector<Held> before;
    Keys left, came;
    std::vector<Held> after;
    std::vector<std::pair<CountKey, std::int64_t>> changes;
  };
  const Case cases[] = {
      {"a new name", {}, {}, {{1, 10}}, {{1, 10, 1}}, {{{1, -1}, 1}, {{1, 10}, 1}}},
      {"a second copy at the same version", {{1, 10, 1}}, {}, {{1, 10}}, {{1, 10, 2}}, {}},
      {"a second version", {{1, 10, 1}}, {}, {{1, 11}}, {{1, 10, 1}, {1, 11, 1}}, {{{1, -2}, 1}, {{1, 11}, 1}}},
      {"an upgrade", {{1, 10, 1}}, {{1, 10}}, {{1, 11}}, {{1, 11, 1}}, {{{1, 10}, -1}, {{1, 11}, 1}}},
      {"one of two versions goes", {{1, 10, 1}, {1, 11, 1}}, {{1, 10}}, {}, {{1, 11, 1}},
       {{{1, -2}, -1}, {{1, 10}, -1}}},
      {"the last copy goes", {{1, 10, 2}}, {{1, 10}, {1, 10}}, {}, {}, {{{1, -1}, -1}, {{1, 10}, -1}}},
      {"what is not held goes: nothing", {{2, 10, 1}}, {{1, 10}}, {}, {{2, 10, 1}}, {}},
  };
  for (const Case& c : cases) {
    std::vector<Held> holds = c.before;
    CountChanges changes;
    ChangeHolds(&holds, c.left, c.came, &changes);
    EXPECT_EQ(holds, c.after) << c.what;
    EXPECT_EQ(changes.InKeyOrder(), c.changes) << c.what;
    // The changes are what the holds' whole counts differ by.
    CountChanges whole;
    CountHolds(c.before, -1, &whole);
    CountHolds(holds, 1, &whole);
    EXPECT_EQ(whole.InKeyOrder(), changes.InKeyOrder()) << c.what;
  }
}

// A machine holding name 1 at versions 10, 11 and 12 and name 2 at one:
// counted once for each of name 1's versions not shown, once too many for
// each such version after the first.
TEST(Counts, MixedHoldsTellWhatTheCountsCountTwice) {
  const std::vector<Held> holds = {{1, 10, 1}, {1, 11, 2}, {1, 12, 1}, {2, 10, 1}, {3, 10, 1}, {3, 11, 1}};
  const std::vector<Held> mixed = MixedHolds(holds);
  EXPECT_EQ(mixed, (std::vector<Held>{{1, 10, 1}, {1, 11, 2}, {1, 12, 1}, {3, 10, 1}, {3, 11, 1}}));
  const std::pair<std::vector<VersionId>, std::int64_t> cases[] = {{{}, 2}, {{10}, 1}, {{10, 12}, 0}, {{10, 11, 12}, 0}};
  for (const auto& [shown, again] : cases) EXPECT_EQ(CountedAgain(mixed, 1, shown), again) << shown.size();
  EXPECT_EQ(CountedAgain(mixed, 2, {}), 0);
  EXPECT_EQ(CountedAgain(mixed, 3, {11}), 0);
}

// A group's changes: tens of thousands of keys, each met about fifty times in
// no order, many summing to nothing; summed as a map sums them, whether read
// once at the end or summed on the way (past a million rows).
TEST(Counts, ManyChangesSumAsAMapDoes) {
  std::mt19937_64 random(42);
  CountChanges changes;
  std::map<CountKey, std::int64_t> expected;
  for (int k = 0; k < 1500000; ++k) {
    const CountKey key{static_cast<NameId>(random() % 30000), static_cast<VersionId>(random() % 5) - 2};
    const std::int64_t change = static_cast<std::int64_t>(random() % 3) - 1;
    changes.Add(key, change);
    expected[key] += change;
  }
  std::vector<std::pair<CountKey, std::int64_t>> want;
  for (const auto& row : expected) {
    if (row.second != 0) want.push_back(row);
  }
  EXPECT_EQ(changes.InKeyOrder(), want);
}

}  // namespace
}  // namespace vurfleet
