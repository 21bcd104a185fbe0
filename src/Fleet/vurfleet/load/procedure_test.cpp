// The load procedure over a store in memory that implements the same named
// operations as the real ones: scans loaded in any order, copies in place
// of copies, and files taken back, give the history of start order, on a
// target that keeps the latest scan's runs (as the SQLite store does) and on
// one that does not (as the PostgreSQL store does).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "load/line_runs.h"
#include "load/procedure.h"
#include "load/procedure_test.h"
#include "base/text.h"
#include "read/shield.h"

namespace vurfleet {

void PrintTo(const Interval& i, std::ostream* out);
void PrintTo(const Kept& k, std::ostream* out);

namespace {

using procedure_test::MemoryTarget;

// A scan of the random fleet: path p is "D:\Gn\Fm.EXE" (n = p % 3, m = p % 20:
// two paths share each name), at
// version 1.0.0.v, or <none> for v = 0; a shield of D:\G1\ covers 1, 4, ...
struct RandomScan {
  std::string text;  // what the reports' views point into
  Scan scan;
  std::string sha256;
};

std::unique_ptr<RandomScan> MakeRandomScan(std::mt19937& random, Time start) {
  auto made = std::make_unique<RandomScan>();
  std::vector<std::pair<int, int>> lines;
  for (int p = 1; p <= 40; ++p) {
    if (random() % 3 != 0) lines.emplace_back(p, static_cast<int>(random() % 3));
  }
  std::shuffle(lines.begin(), lines.end(), random);  // file order need not be path order
  std::string error;
  switch (random() % 6) {
    case 0: error = "# ERROR: Exception in ScanFolder( D:\\G" + std::to_string(random() % 3) + " )"; break;
    case 1: error = "# ERROR: Exception in GetFileVersion() D:\\G1\\F" + std::to_string(1 + 3 * (random() % 13)) + ".EXE";
            break;
    default: break;
  }
  for (const auto& [p, v] : lines) {
    made->text += "D:\\G" + std::to_string(p % 3) + "\\F" + std::to_string(p % 20) + ".EXE" + '\n';
  }
  made->text += error;
  std::size_t at = 0;
  for (const auto& [p, v] : lines) {
    const std::size_t end = made->text.find('\n', at);
    made->scan.reports.push_back(ReportLine{std::string_view(made->text).substr(at, end - at),
                                            v == 0 ? Version::None() : Version::FromParts(1, 0, 0, v)});
    at = end + 1;
  }
  if (!error.empty()) made->scan.errors.push_back(ErrorLine{2, std::string_view(made->text).substr(at)});
  made->scan.started = start;
  if (random() % 4 != 0) made->scan.completed = start + 60;
  made->scan.report_lines = static_cast<int>(lines.size());
  made->sha256 = std::to_string(start) + "/" + std::to_string(random());
  return made;
}

LoadResult Load(LoadTarget& target, const RandomScan& s, const std::string& machine = "PC1") {
  return LoadAlone(target, ScanFile{machine, "f" + std::to_string(s.scan.started), s.sha256, &s.scan,
                                    LineRuns(s.scan)});
}

// The history of the scans in start order, through the procedure.
std::vector<std::string> InStartOrder(bool keeps_latest, const std::vector<std::unique_ptr<RandomScan>>& scans) {
  std::vector<const RandomScan*> order;
  for (const auto& s : scans) order.push_back(s.get());
  std::sort(order.begin(), order.end(),
            [](const RandomScan* a, const RandomScan* b) { return a->scan.started < b->scan.started; });
  MemoryTarget target(keeps_latest);
  for (const RandomScan* s : order) Load(target, *s);
  return target.Texts("PC1");
}

class ProcedureTest : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Targets, ProcedureTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "keeps_latest" : "open_intervals";
                         });

// In start order, the procedure gives what Build gives from the scans'
// entries: the append path (and with runs, the path of AppendUnrepeated)
// is the rule of history.
TEST_P(ProcedureTest, InStartOrderItIsBuild) {
  for (unsigned seed = 1; seed <= 150; ++seed) {
    std::mt19937 random(seed);
    std::vector<std::unique_ptr<RandomScan>> scans;
    const int count = 1 + static_cast<int>(random() % 7);
    for (int k = 0; k < count; ++k) scans.push_back(MakeRandomScan(random, 1000 + 10 * k));

    MemoryTarget target(GetParam());
    std::vector<ScanInput> inputs;
    for (const auto& s : scans) {
      Load(target, *s);
      ScanInput input;
      input.start = s->scan.started;
      input.finished = s->scan.finished();
      std::vector<std::string_view> texts;
      for (const ErrorLine& e : s->scan.errors) texts.push_back(e.text);
      input.shield = ShieldOf(texts);
      std::vector<std::string_view> paths;
      std::vector<std::uint64_t> values;
      for (const ReportLine& line : s->scan.reports) paths.push_back(line.path);
      std::vector<PathId> ids;
      std::vector<VersionId> none;
      target.Intern(paths, {}, &ids, &none);  // the ids the load gave
      for (std::size_t k = 0; k < ids.size(); ++k) {
        const Version& v = s->scan.reports[k].version;
        std::vector<VersionId> version(1, 0);
        if (!v.is_none()) target.Intern({}, {v.value()}, &none, &version);
        input.reported.push_back(Entry{ids[k], version[0]});
      }
      std::sort(input.reported.begin(), input.reported.end(), ByPath);
      inputs.push_back(std::move(input));
    }
    const MachineHistory expected = Build(inputs, [&](PathId p) { return target.PathKey(p); });
    const MachineHistory loaded = target.HistoryOf("PC1");
    EXPECT_EQ(loaded.intervals, expected.intervals) << "seed " << seed;
    EXPECT_EQ(loaded.kept, expected.kept) << "seed " << seed;
  }
}

TEST_P(ProcedureTest, AnyOrderOfLoadingGivesTheHistoryOfStartOrder) {
  for (unsigned seed = 1; seed <= 200; ++seed) {
    std::mt19937 random(seed);
    std::vector<std::unique_ptr<RandomScan>> scans;
    const int count = 1 + static_cast<int>(random() % 7);
    for (int k = 0; k < count; ++k) scans.push_back(MakeRandomScan(random, 1000 + 10 * k));
    std::vector<std::size_t> order(scans.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::shuffle(order.begin(), order.end(), random);

    MemoryTarget target(GetParam());
    for (std::size_t k : order) Load(target, *scans[k]);
    EXPECT_EQ(target.Texts("PC1"), InStartOrder(GetParam(), scans)) << "seed " << seed;
  }
}

TEST_P(ProcedureTest, ACopyTakesThePlaceOfTheUnfinishedOne) {
  for (unsigned seed = 1; seed <= 100; ++seed) {
    std::mt19937 random(seed);
    std::vector<std::unique_ptr<RandomScan>> scans;
    for (int k = 0; k < 4; ++k) scans.push_back(MakeRandomScan(random, 1000 + 10 * k));
    for (auto& s : scans) s->scan.completed = s->scan.started + 60;  // all finished
    const std::size_t replaced = random() % scans.size();
    RandomScan early = *scans[replaced];  // read while it was being written
    early.scan.completed.reset();
    if (!early.scan.reports.empty()) early.scan.reports.pop_back(), --early.scan.report_lines;
    early.sha256 += "/early";

    MemoryTarget target(GetParam());
    for (std::size_t k = 0; k < scans.size(); ++k) Load(target, k == replaced ? early : *scans[k]);
    EXPECT_EQ(Load(target, *scans[replaced]).status, LoadStatus::kReplaced) << "seed " << seed;
    EXPECT_EQ(Load(target, early).status, LoadStatus::kKeptStored) << "seed " << seed;
    EXPECT_EQ(target.Texts("PC1"), InStartOrder(GetParam(), scans)) << "seed " << seed;
    EXPECT_EQ(target.scans(), scans.size());
  }
}

// A fleet's usual week: each scan finished, without a shield, a few
// entries changed from the last. A target that keeps the latest scan's runs
// finds the changes in the runs that did not repeat (AppendUnrepeated), and
// never reads the open intervals; the history is the same.
TEST(Procedure, FewChangesFromScanToScanAreFoundInTheRunsThatChanged) {
  std::mt19937 random(9);
  std::vector<int> version(200);
  for (int& v : version) v = 1 + static_cast<int>(random() % 5);
  std::vector<std::unique_ptr<RandomScan>> scans;
  for (int k = 0; k < 12; ++k) {
    for (int c = 0; c < 3; ++c) version[random() % version.size()] = static_cast<int>(random() % 6);
    auto made = std::make_unique<RandomScan>();
    std::vector<int> held;
    for (int p = 0; p < static_cast<int>(version.size()); ++p) {
      if (version[p] == 0) continue;  // not there this week
      held.push_back(p);
      made->text += "C:\\App\\F" + std::to_string(p) + ".EXE\n";
    }
    std::size_t at = 0;
    for (const int p : held) {
      const std::size_t end = made->text.find('\n', at);
      made->scan.reports.push_back(ReportLine{std::string_view(made->text).substr(at, end - at),
                                              Version::FromParts(1, 0, 0, static_cast<unsigned>(version[p]))});
      at = end + 1;
    }
    made->scan.started = 1000 + 100 * k;
    made->scan.completed = made->scan.started + 60;
    made->scan.report_lines = static_cast<int>(held.size());
    made->sha256 = std::to_string(k);
    scans.push_back(std::move(made));
  }
  MemoryTarget runs(true), intervals(false);
  for (const auto& s : scans) {
    Load(runs, *s);
    Load(intervals, *s);
  }
  EXPECT_EQ(runs.Texts("PC1"), intervals.Texts("PC1"));
  EXPECT_EQ(runs.open_entries_reads, 0);
  EXPECT_EQ(intervals.open_entries_reads, 11);
  EXPECT_GT(runs.Texts("PC1").size(), 200u);  // changes were recorded
}

// A file that fails in its savepoint leaves nothing, and the next load
// goes on from what the group had.
TEST_P(ProcedureTest, AFileTakenBackLeavesNothing) {
  std::mt19937 random(5);
  std::vector<std::unique_ptr<RandomScan>> scans;
  for (int k = 0; k < 3; ++k) scans.push_back(MakeRandomScan(random, 1000 + 10 * k));
  MemoryTarget target(GetParam());
  target.BeginGroup({"PC1"});
  LoadFile(target, ScanFile{"PC1", "a", scans[0]->sha256, &scans[0]->scan, LineRuns(scans[0]->scan)});
  target.BeginFile(FileQuestion{"GHOST", "g", 1, false});
  std::vector<PathId> path_ids;
  std::vector<VersionId> version_ids;
  target.Intern({"C:\\GHOST.EXE"}, {7}, &path_ids, &version_ids);
  target.EndFile(nullptr);
  EXPECT_FALSE(target.HasPath("C:\\GHOST.EXE"));
  LoadFile(target, ScanFile{"PC1", "b", scans[1]->sha256, &scans[1]->scan, LineRuns(scans[1]->scan)});
  target.CommitGroup();
  Load(target, *scans[2]);
  EXPECT_EQ(target.Texts("PC1"), InStartOrder(GetParam(), scans));
  EXPECT_EQ(target.scans(), 3u);
}

// A scan of "C:\A\Fn.EXE" at version 1.0.0.v for each (n, v) of `lines`.
std::unique_ptr<RandomScan> Listed(Time start, bool finished, const std::vector<std::pair<int, int>>& lines,
                                   const std::string& error = "") {
  auto made = std::make_unique<RandomScan>();
  for (const auto& [n, v] : lines) made->text += "C:\\A\\F" + std::to_string(n) + ".EXE\n";
  made->text += error;
  std::size_t at = 0;
  for (const auto& [n, v] : lines) {
    const std::size_t end = made->text.find('\n', at);
    made->scan.reports.push_back(ReportLine{std::string_view(made->text).substr(at, end - at),
                                            Version::FromParts(1, 0, 0, static_cast<unsigned>(v))});
    at = end + 1;
  }
  if (!error.empty()) made->scan.errors.push_back(ErrorLine{9, std::string_view(made->text).substr(at)});
  made->scan.started = start;
  if (finished) made->scan.completed = start + 60;
  made->scan.report_lines = static_cast<int>(lines.size());
  made->sha256 = std::to_string(start) + (finished ? "f" : "u") + std::to_string(lines.size()) + error;
  return made;
}

// Walked as a file from the load to the store, each case calls the target
// three times at most: what is stored, ids for its new lines, the writes.
TEST_P(ProcedureTest, AFileCallsTheTargetThreeTimesAtMost) {
  const std::vector<std::pair<int, int>> week{{1, 1}, {2, 1}, {3, 1}, {4, 1}};
  const std::vector<std::pair<int, int>> changed{{1, 1}, {2, 2}, {3, 1}, {5, 1}};
  const auto a = Listed(1000, true, week);
  const auto same = Listed(2000, true, week);
  const auto b = Listed(2000, true, changed);
  const auto late = Listed(1500, true, changed);
  const auto early = Listed(2000, false, {{1, 1}});
  const auto shielded = Listed(2000, true, {{1, 1}}, "# ERROR: Exception in ScanFolder( C:\\A )");
  struct Case {
    const char* name;
    std::vector<const RandomScan*> before;
    const RandomScan* file;
    LoadStatus status;
  };
  const Case cases[] = {
      {"first scan", {}, a.get(), LoadStatus::kLoaded},
      {"unchanged", {a.get()}, same.get(), LoadStatus::kLoaded},
      {"changed", {a.get()}, b.get(), LoadStatus::kLoaded},
      {"late", {a.get(), b.get()}, late.get(), LoadStatus::kLoaded},
      {"copy", {a.get(), early.get()}, b.get(), LoadStatus::kReplaced},
      {"already loaded", {a.get(), b.get()}, b.get(), LoadStatus::kAlreadyLoaded},
      {"kept stored", {a.get(), b.get()}, early.get(), LoadStatus::kKeptStored},
      {"shielded", {a.get()}, shielded.get(), LoadStatus::kLoaded},
      {"late before a shielded", {a.get(), shielded.get()}, late.get(), LoadStatus::kLoaded},
  };
  for (const Case& c : cases) {
    MemoryTarget target(GetParam());
    for (const RandomScan* s : c.before) Load(target, *s);
    target.most_calls = 0;
    EXPECT_EQ(Load(target, *c.file).status, c.status) << c.name;
    EXPECT_LE(target.most_calls, 3) << c.name;
    std::vector<std::unique_ptr<RandomScan>> all;
    for (const RandomScan* s : c.before) all.push_back(std::make_unique<RandomScan>(*s));
    if (c.status == LoadStatus::kLoaded) {
      all.push_back(std::make_unique<RandomScan>(*c.file));
      EXPECT_EQ(target.Texts("PC1"), InStartOrder(GetParam(), all)) << c.name;
    }
  }
}

}  // namespace
}  // namespace vurfleet
