// The names of paths the load has met, kept in a bounded table.
#include "store/id_cache.h"

#include <gtest/gtest.h>

namespace vurfleet {
namespace {

// Far more paths than the table holds, their ids spread as a database's
// are: a name asked for is the one given, or not known, never another's;
// the latest are known; a rolled-back file that added rows forgets them all.
TEST(IdCache, NamesOfPathsAreRightOrNotKnown) {
  IdCache cache;
  constexpr PathId kPaths = 700000;
  for (PathId path = 1; path <= kPaths; ++path) cache.AddNameOf(path * 3, path % 1000);
  cache.AddNameOf(7, 1);
  cache.AddNameOf(7, 2);  // a name given again replaces the first
  int known = 0;
  for (PathId path = 1; path <= kPaths; ++path) {
    if (const auto name = cache.NameOf(path * 3)) {
      ASSERT_EQ(*name, path % 1000) << path;
      ++known;
    }
    ASSERT_FALSE(cache.NameOf(path * 3 + 2)) << path;
  }
  EXPECT_GT(known, 100000);
  EXPECT_EQ(cache.NameOf(kPaths * 3), kPaths % 1000);
  EXPECT_EQ(cache.NameOf(7), 2);
  cache.BeginFile();
  cache.NoteAdded();
  cache.EndFile(false);
  EXPECT_FALSE(cache.NameOf(kPaths * 3));
}

}  // namespace
}  // namespace vurfleet
