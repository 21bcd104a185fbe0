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
#include "base/text.h"
#include "read/shield.h"

namespace vurfleet {

void PrintTo(const Interval& i, std::ostream* out);
void PrintTo(const Kept& k, std::ostream* out);

namespace {

// A store in memory. Groups and savepoints copy the whole state, which a
// test's few rows afford.
class MemoryTarget : public LoadTarget {
 public:
  explicit MemoryTarget(bool keeps_latest) : keeps_latest_(keeps_latest) {}

  struct StoredScanRow {
    MachineId machine;
    ScanRow row;
    std::vector<std::string> errors;
  };
  struct State {
    std::vector<StoredMachine> machines;
    std::map<std::int64_t, StoredScanRow> scans;
    std::map<std::string, PathId> paths;
    std::map<std::uint64_t, VersionId> versions;
    std::map<std::tuple<MachineId, PathId, Time>, Interval> intervals;
    std::set<std::tuple<MachineId, Time, PathId>> kept;
    std::map<MachineId, LatestRuns> latest;
    std::int64_t next_id = 1;
  };

  void BeginGroup(const std::vector<std::string>&) override {
    ASSERT_FALSE(in_group_);
    in_group_ = true;
    group_ = state_;
  }
  void CommitGroup() override { in_group_ = false; }
  void AbandonGroup() override {
    if (in_group_) state_ = group_;
    in_group_ = false;
  }
  void BeginFile() override { file_ = state_; }
  void EndFile(bool keep) override {
    if (!keep) state_ = file_;
  }

  std::optional<StoredMachine> FindMachine(const std::string& name) override {
    for (const StoredMachine& m : state_.machines) {
      if (m.name == name) return m;
    }
    return std::nullopt;
  }
  MachineId AddMachine(const std::string& name, Time started) override {
    state_.machines.push_back(StoredMachine{state_.next_id++, name, started, started, 0});
    return state_.machines.back().id;
  }
  void UpdateMachine(MachineId machine, Time first, Time last, std::int64_t files) override {
    for (StoredMachine& m : state_.machines) {
      if (m.id == machine) m.first_started = first, m.last_started = last, m.files = files;
    }
  }
  std::optional<std::pair<Time, std::string>> FindBytes(MachineId machine, const std::string& sha256) override {
    for (const auto& [id, s] : state_.scans) {
      if (s.machine == machine && s.row.sha256 == sha256) return std::make_pair(s.row.started, s.row.file);
    }
    return std::nullopt;
  }
  std::optional<StoredRun> FindRun(MachineId machine, Time started) override {
    for (const auto& [id, s] : state_.scans) {
      if (s.machine == machine && s.row.started == started) {
        return StoredRun{id,
                         RunCopy{s.row.completed.has_value(), static_cast<int>(s.row.report_lines),
                                 static_cast<int>(s.errors.size()), s.row.sha256},
                         s.row.file};
      }
    }
    return std::nullopt;
  }
  std::vector<ScanFacts> ListScans(MachineId machine) override {
    std::vector<ScanFacts> out;
    for (const auto& [id, s] : state_.scans) {
      if (s.machine == machine) {
        out.push_back(ScanFacts{id, s.row.started, s.row.file, s.row.completed.has_value(), s.row.report_lines,
                                static_cast<std::int64_t>(s.errors.size())});
      }
    }
    std::sort(out.begin(), out.end(), [](const ScanFacts& a, const ScanFacts& b) { return a.started < b.started; });
    return out;
  }
  void InternPaths(const std::vector<std::string_view>& paths, std::vector<PathId>* ids) override {
    ids->clear();
    for (const std::string_view path : paths) {
      const auto [at, added] = state_.paths.emplace(std::string(path), state_.next_id);
      if (added) ++state_.next_id;
      ids->push_back(at->second);
    }
  }
  void InternVersions(const std::vector<std::uint64_t>& values, std::vector<VersionId>* ids) override {
    ids->clear();
    for (const std::uint64_t value : values) {
      const auto [at, added] = state_.versions.emplace(value, state_.next_id);
      if (added) ++state_.next_id;
      ids->push_back(at->second);
    }
  }
  std::string PathKey(PathId path) override {
    for (const auto& [text, id] : state_.paths) {
      if (id == path) return FoldCase(text);
    }
    return std::string();
  }
  std::optional<LatestRuns> ReadLatest(MachineId machine) override {
    const auto found = state_.latest.find(machine);
    if (!keeps_latest_ || found == state_.latest.end()) return std::nullopt;
    return found->second;
  }
  void WriteLatest(MachineId machine, const LatestRuns* latest) override {
    if (latest == nullptr) {
      state_.latest.erase(machine);
    } else if (keeps_latest_) {
      state_.latest[machine] = *latest;
    }
  }
  std::vector<Entry> OpenEntries(MachineId machine) override {
    ++open_entries_reads;
    std::vector<Entry> out;
    for (const auto& [key, i] : state_.intervals) {
      if (std::get<0>(key) == machine && !i.until) out.push_back(Entry{i.path, i.version});
    }
    return out;  // in path order: the map's
  }
  MachineHistory StoredHistory(MachineId machine) override { return HistoryOf(machine); }
  std::vector<StoredScan> StoredScans(MachineId machine) override {
    std::vector<StoredScan> out;
    for (const auto& [id, s] : state_.scans) {
      if (s.machine != machine) continue;
      std::vector<std::string_view> texts(s.errors.begin(), s.errors.end());
      out.push_back(StoredScan{s.row.started, s.row.completed.has_value(),
                               s.row.completed ? ShieldOf(texts) : Shield{}});
    }
    std::sort(out.begin(), out.end(), [](const StoredScan& a, const StoredScan& b) { return a.start < b.start; });
    return out;
  }
  void CloseIntervals(MachineId machine, const std::vector<PathId>& paths, Time until) override {
    for (auto& [key, i] : state_.intervals) {
      if (std::get<0>(key) == machine && !i.until &&
          std::find(paths.begin(), paths.end(), i.path) != paths.end()) {
        i.until = until;
      }
    }
  }
  void AddIntervals(MachineId machine, const std::vector<Interval>& rows) override {
    for (const Interval& i : rows) {
      EXPECT_TRUE(state_.intervals.emplace(std::make_tuple(machine, i.path, i.since), i).second)
          << "an interval added twice";
    }
  }
  void WriteChanges(MachineId machine, const HistoryChanges& c) override {
    for (const Interval& i : c.erase) state_.intervals.erase(std::make_tuple(machine, i.path, i.since));
    for (const Interval& i : c.write) state_.intervals.insert_or_assign(std::make_tuple(machine, i.path, i.since), i);
    for (const Kept& k : c.kept_erase) state_.kept.erase(std::make_tuple(machine, k.scan, k.path));
    for (const Kept& k : c.kept_write) state_.kept.insert(std::make_tuple(machine, k.scan, k.path));
  }
  void AddScan(MachineId machine, const ScanRow& scan) override {
    StoredScanRow row{machine, scan, {}};
    for (const auto& [line, text] : scan.errors) row.errors.emplace_back(text);
    row.row.errors.clear();
    state_.scans.emplace(state_.next_id++, std::move(row));
  }
  void DeleteScan(std::int64_t scan_id) override { state_.scans.erase(scan_id); }
  void MoveScans(MachineId from, MachineId into) override {
    for (auto& [id, row] : state_.scans) row.machine = row.machine == from ? into : row.machine;
  }
  void DeleteMachine(MachineId machine) override {
    for (auto it = state_.scans.begin(); it != state_.scans.end();) {
      it = it->second.machine == machine ? state_.scans.erase(it) : std::next(it);
    }
    for (auto it = state_.intervals.begin(); it != state_.intervals.end();) {
      it = std::get<0>(it->first) == machine ? state_.intervals.erase(it) : std::next(it);
    }
    for (auto it = state_.kept.begin(); it != state_.kept.end();) {
      it = std::get<0>(*it) == machine ? state_.kept.erase(it) : std::next(it);
    }
    state_.latest.erase(machine);
    state_.machines.erase(std::remove_if(state_.machines.begin(), state_.machines.end(),
                                         [&](const StoredMachine& m) { return m.id == machine; }),
                          state_.machines.end());
  }

  MachineHistory HistoryOf(MachineId machine) const {
    MachineHistory h;
    for (const auto& [key, i] : state_.intervals) {
      if (std::get<0>(key) == machine) h.intervals.push_back(i);
    }
    for (const auto& [m, scan, path] : state_.kept) {
      if (m == machine) h.kept.push_back(Kept{scan, path});
    }
    return h;
  }
  MachineHistory HistoryOf(const std::string& name) const {
    for (const StoredMachine& m : state_.machines) {
      if (m.name == name) return HistoryOf(m.id);
    }
    return {};
  }
  std::int64_t FilesOf(const std::string& name) const {
    for (const StoredMachine& m : state_.machines) {
      if (m.name == name) return m.files;
    }
    return -1;
  }
  std::size_t scans() const { return state_.scans.size(); }

  // The machine's history by its texts, so that two targets that gave
  // other ids compare: "PATH VERSION [since, until) opened", "kept PATH at
  // scan", sorted.
  std::vector<std::string> Texts(const std::string& name) const {
    std::map<PathId, std::string> path;
    for (const auto& [text, id] : state_.paths) path[id] = text;
    std::map<VersionId, std::string> version{{0, "<none>"}};
    for (const auto& [value, id] : state_.versions) version[id] = Version::Of(value).ToString();
    const MachineHistory h = HistoryOf(name);
    std::vector<std::string> out;
    for (const Interval& i : h.intervals) {
      out.push_back(path[i.path] + " " + version[i.version] + " [" + std::to_string(i.since) + ", " +
                    (i.until ? std::to_string(*i.until) : "-") + ")" + (i.opened ? " opened" : ""));
    }
    for (const Kept& k : h.kept) out.push_back("kept " + path[k.path] + " at " + std::to_string(k.scan));
    std::sort(out.begin(), out.end());
    return out;
  }

  int open_entries_reads = 0;

 private:
  bool keeps_latest_;
  State state_, group_, file_;
  bool in_group_ = false;
};

// A scan of the random fleet: path p is "D:\Gn\Fp.EXE" (n = p % 3), at
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
    made->text += "D:\\G" + std::to_string(p % 3) + "\\F" + std::to_string(p) + ".EXE" + '\n';
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
      target.InternPaths(paths, &ids);  // the ids the load gave
      for (std::size_t k = 0; k < ids.size(); ++k) {
        const Version& v = s->scan.reports[k].version;
        std::vector<VersionId> version(1, 0);
        if (!v.is_none()) target.InternVersions({v.value()}, &version);
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
  target.BeginFile();
  target.AddMachine("GHOST", 1);
  target.EndFile(false);
  EXPECT_FALSE(target.FindMachine("GHOST"));
  LoadFile(target, ScanFile{"PC1", "b", scans[1]->sha256, &scans[1]->scan, LineRuns(scans[1]->scan)});
  target.CommitGroup();
  Load(target, *scans[2]);
  EXPECT_EQ(target.Texts("PC1"), InStartOrder(GetParam(), scans));
  EXPECT_EQ(target.scans(), 3u);
}

}  // namespace
}  // namespace vurfleet
