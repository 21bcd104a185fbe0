// A machine's history: the rules of absence and presence, and the same
// history whatever order the scans arrive in.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "history/copies.h"
#include "history/history.h"

namespace vurfleet {

// How failures show rows.
void PrintTo(const Interval& i, std::ostream* out) {
  *out << "{path " << i.path << " v" << i.version << " [" << i.since << ", "
       << (i.until ? std::to_string(*i.until) : "-") << ")" << (i.opened ? " opened" : "") << "}";
}
void PrintTo(const Kept& k, std::ostream* out) { *out << "{kept " << k.path << " at " << k.scan << "}"; }

namespace {

// Path p is "d:\gN\fP.exe" with N = p % 3, so a shield of "d:\g1\" covers
// paths 1, 4, 7, ...
std::string KeyOf(PathId p) {
  return "d:\\g" + std::to_string(p % 3) + "\\f" + std::to_string(p) + ".exe";
}
const PathKeys kKeys = KeyOf;

ScanInput MakeScan(Time start, bool finished, std::vector<Entry> reported, Shield shield = {}) {
  std::sort(reported.begin(), reported.end(), ByPath);
  return ScanInput{start, finished, std::move(reported), std::move(shield)};
}

Shield Folder(const std::string& folder) { return Shield{{folder}, {}}; }

std::string Show(const std::vector<Entry>& entries) {
  std::string text;
  for (const Entry& e : entries) text += std::to_string(e.path) + ":" + std::to_string(e.version) + " ";
  return text;
}

TEST(Apply, PresenceAndAbsence) {
  const std::vector<Entry> before = {{1, 10}, {2, 10}, {4, 10}};
  struct {
    const char* what;
    ScanInput scan;
    std::vector<Entry> after;
    std::vector<PathId> kept;
  } cases[] = {
      {"a finished scan gives the inventory",
       MakeScan(5, true, {{2, 20}, {3, 10}}), {{2, 20}, {3, 10}}, {}},
      {"an unfinished scan proves presence only",
       MakeScan(5, false, {{2, 20}, {3, 10}}), {{1, 10}, {2, 20}, {3, 10}, {4, 10}}, {1, 4}},
      {"below a folder not walked whole, entries stay",
       MakeScan(5, true, {{2, 20}}, Folder("d:\\g1\\")), {{1, 10}, {2, 20}, {4, 10}}, {1, 4}},
      {"reported anew below it, the new version holds",
       MakeScan(5, true, {{1, 30}}, Folder("d:\\g1\\")), {{1, 30}, {4, 10}}, {4}},
      {"a file found but not reported stays",
       MakeScan(5, true, {}, Shield{{}, {"d:\\g2\\f2.exe"}}), {{2, 10}}, {2}},
      {"a finished scan that reports nothing empties the inventory",
       MakeScan(5, true, {}), {}, {}},
  };
  for (const auto& c : cases) {
    std::vector<PathId> kept;
    const std::vector<Entry> after = Apply(before, c.scan, kKeys, &kept);
    EXPECT_EQ(Show(after), Show(c.after)) << c.what;
    EXPECT_EQ(kept, c.kept) << c.what;
  }
}

TEST(Build, IntervalsGrowWithChangesNotScans) {
  std::vector<ScanInput> scans;
  for (Time t = 100; t < 110; ++t) scans.push_back(MakeScan(t, true, {{1, 10}, {2, 10}}));
  scans.push_back(MakeScan(110, true, {{1, 11}, {3, 10}}));  // 1 upgraded, 2 removed, 3 added
  scans.push_back(MakeScan(111, false, {{3, 12}}));          // unfinished: 1 stays
  const MachineHistory history = Build(scans, kKeys);
  const std::vector<Interval> expected = {
      {1, 10, 100, 110, false},
      {1, 11, 110, std::nullopt, true},
      {2, 10, 100, 110, false},
      {3, 10, 110, 111, true},
      {3, 12, 111, std::nullopt, true},
  };
  EXPECT_EQ(history.intervals, expected);
  EXPECT_EQ(history.kept, (std::vector<Kept>{{111, 1}}));
}

TEST(Replay, RecoversWhatEachScanReported) {
  const std::vector<ScanInput> scans = {
      MakeScan(1, true, {{1, 10}, {2, 10}, {4, 10}}),
      MakeScan(2, false, {{2, 11}}),
      MakeScan(3, true, {{2, 11}, {5, 10}}, Folder("d:\\g1\\")),
      MakeScan(4, true, {{1, 10}}),
  };
  std::vector<StoredScan> stored;
  for (const ScanInput& s : scans) stored.push_back(StoredScan{s.start, s.finished, s.shield});
  const std::vector<std::vector<Entry>> reported = Replay(Build(scans, kKeys), stored);
  ASSERT_EQ(reported.size(), scans.size());
  for (std::size_t k = 0; k < scans.size(); ++k) {
    EXPECT_EQ(Show(reported[k]), Show(scans[k].reported)) << "scan " << k;
  }
}

// A random scan of 12 paths, some shielded. (The procedure's tests load
// such scans in any order: load/procedure_test.cpp.)
ScanInput RandomScan(std::mt19937& random, Time start) {
  std::vector<Entry> reported;
  for (PathId p = 1; p <= 12; ++p) {
    if (random() % 3 != 0) reported.push_back(Entry{p, static_cast<VersionId>(random() % 3)});
  }
  Shield shield;
  switch (random() % 6) {
    case 0: shield.folders.insert("d:\\g" + std::to_string(random() % 3) + "\\"); break;
    case 1: shield.files.insert(KeyOf(static_cast<PathId>(1 + random() % 12))); break;
    default: break;
  }
  return MakeScan(start, random() % 4 != 0, std::move(reported), std::move(shield));
}

TEST(Without, AScanForgottenIsAsIfNeverLoaded) {
  for (unsigned seed = 1; seed <= 300; ++seed) {
    std::mt19937 random(seed);
    std::vector<ScanInput> scans;
    const int count = 1 + static_cast<int>(random() % 7);
    for (int k = 0; k < count; ++k) scans.push_back(RandomScan(random, 1000 + 10 * k));
    std::vector<StoredScan> stored;
    for (const ScanInput& s : scans) stored.push_back(StoredScan{s.start, s.finished, s.shield});
    const std::size_t removed = random() % scans.size();

    std::vector<ScanInput> rest = scans;
    rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(removed));
    const MachineHistory expected = Build(rest, kKeys);
    const MachineHistory forgotten = Without(Build(scans, kKeys), stored, scans[removed].start, kKeys);
    EXPECT_EQ(forgotten.intervals, expected.intervals) << "seed " << seed;
    EXPECT_EQ(forgotten.kept, expected.kept) << "seed " << seed;
  }
}

TEST(Diff, WritesOnlyWhatDiffers) {
  const MachineHistory a{{{1, 10, 1, std::nullopt, false}, {2, 10, 1, 5, false}}, {{3, 2}}};
  MachineHistory b = a;
  EXPECT_TRUE(Diff(a, b).empty());
  b.intervals[0].until = 7;
  b.intervals.push_back({3, 10, 7, std::nullopt, true});
  b.intervals.erase(b.intervals.begin() + 1);
  b.kept = {{7, 2}};
  const HistoryChanges c = Diff(a, b);
  EXPECT_EQ(c.erase, (std::vector<Interval>{{2, 10, 1, 5, false}}));
  EXPECT_EQ(c.write, (std::vector<Interval>{{1, 10, 1, 7, false}, {3, 10, 7, std::nullopt, true}}));
  EXPECT_EQ(c.kept_erase, (std::vector<Kept>{{3, 2}}));
  EXPECT_EQ(c.kept_write, (std::vector<Kept>{{7, 2}}));
}

TEST(Copies, WhichCopyOfARunStands) {
  const RunCopy finished{true, 10, 1, "a"}, finished_other{true, 10, 1, "b"};
  const RunCopy half{false, 5, 0, "c"}, more{false, 8, 0, "d"}, same_count{false, 5, 0, "e"};
  EXPECT_EQ(CompareCopies(half, finished), CopyVerdict::kReplaceStored);
  EXPECT_EQ(CompareCopies(finished, half), CopyVerdict::kKeepStored);
  EXPECT_EQ(CompareCopies(finished, finished_other), CopyVerdict::kConflict);
  EXPECT_EQ(CompareCopies(half, more), CopyVerdict::kReplaceStored);
  EXPECT_EQ(CompareCopies(more, half), CopyVerdict::kKeepStored);
  // Equal counts: the order of loading must not decide.
  EXPECT_NE(CompareCopies(half, same_count), CompareCopies(same_count, half));
}

}  // namespace
}  // namespace vurfleet
