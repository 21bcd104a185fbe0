#include "store/postgres/pg_expected.h"

#include <algorithm>
#include <unordered_set>

#include "store/latest.h"
#include "store/stored.h"

namespace vurfleet::pg {

void ExpectedFiles::Fetch(Connection& conn, const std::vector<const ScanFile*>& files) {
  Clear();
  std::vector<std::string> names, shas;
  std::vector<Time> starts;
  for (const ScanFile* file : files) {
    names.push_back(MachineName(file->machine));
    shas.push_back(HexBytes(file->sha256));
    starts.push_back(file->scan->started);
    sha256s_.insert(file->sha256);
    starts_.insert(file->scan->started);
  }
  for (const std::string& name : names) machines_.emplace(name, std::nullopt);
  Result m = conn.Exec("SELECT id, name, first_started, last_started, files FROM machines WHERE name = ANY ($1)",
                       {TextArray(names)});
  std::vector<MachineId> ids;
  for (int k = 0; k < m.rows(); ++k) {
    const StoredMachine machine{m.Int(k, 0), std::string(m.Text(k, 1)), m.Int(k, 2), m.Int(k, 3), m.Int(k, 4)};
    machines_[machine.name] = machine;
    runs_[machine.id];
    latest_[machine.id] = std::nullopt;
    ids.push_back(machine.id);
  }
  if (ids.empty()) return;
  const std::string id_array = IntArray(ids, [](MachineId id) { return id; });
  Result r = conn.Exec(
      "SELECT machine_id, id, completed IS NOT NULL, report_lines, error_lines, sha256, file, started "
      "FROM scans WHERE machine_id = ANY ($1::bigint[]) "
      "AND (started = ANY ($2::bigint[]) OR sha256 = ANY ($3::bytea[]))",
      {id_array, IntArray(starts, [](Time t) { return t; }), TextArray(shas)});
  for (int k = 0; k < r.rows(); ++k) {
    runs_[r.Int(k, 0)].push_back(KnownRun{
        StoredRun{r.Int(k, 1), RunCopy{r.Bool(k, 2), static_cast<int>(r.Int(k, 3)), static_cast<int>(r.Int(k, 4)),
                                      r.Bytes(k, 5)},
                  std::string(r.Text(k, 6))},
        r.Int(k, 7)});
  }
  Result l = conn.Exec("SELECT machine_id, exact, runs FROM latest WHERE machine_id = ANY ($1::bigint[])",
                       {id_array});
  for (int k = 0; k < l.rows(); ++k) latest_[l.Int(k, 0)] = DecodeLatest(l.Bytes(k, 2), l.Bool(k, 1));
}

std::optional<std::optional<StoredMachine>> ExpectedFiles::Machine(const std::string& name) const {
  if (const auto known = machines_.find(name); known != machines_.end()) return known->second;
  return std::nullopt;
}

std::optional<std::optional<std::pair<Time, std::string>>> ExpectedFiles::Bytes(MachineId machine,
                                                                                const std::string& sha256) const {
  const auto runs = runs_.find(machine);
  if (runs == runs_.end() || sha256s_.count(sha256) == 0) return std::nullopt;
  for (const KnownRun& r : runs->second) {
    if (r.run.copy.sha256 == sha256) return std::make_optional(std::make_pair(r.started, r.run.file));
  }
  return std::optional<std::pair<Time, std::string>>();
}

std::optional<std::optional<StoredRun>> ExpectedFiles::Run(MachineId machine, Time started) const {
  const auto runs = runs_.find(machine);
  if (runs == runs_.end() || starts_.count(started) == 0) return std::nullopt;
  for (const KnownRun& r : runs->second) {
    if (r.started == started) return std::make_optional(r.run);
  }
  return std::optional<StoredRun>();
}

std::optional<std::optional<LatestRuns>> ExpectedFiles::Latest(MachineId machine) const {
  if (const auto known = latest_.find(machine); known != latest_.end()) return known->second;
  return std::nullopt;
}

void ExpectedFiles::LinesToIntern(const std::vector<const ScanFile*>& files, std::vector<std::string_view>* paths,
                                  std::vector<std::uint64_t>* values) const {
  std::unordered_set<std::string_view> seen_paths;
  std::unordered_set<std::uint64_t> seen_values;
  for (const ScanFile* file : files) {
    std::unordered_set<std::uint64_t> held;
    if (const auto m = machines_.find(MachineName(file->machine)); m != machines_.end() && m->second) {
      if (const auto latest = latest_.find(m->second->id); latest != latest_.end() && latest->second) {
        for (const LineRun& run : latest->second->runs) held.insert(run.digest);
      }
    }
    const std::vector<ReportLine>& lines = file->scan->reports;
    std::vector<bool> repeated(lines.size(), false);
    for (const LineRun& run : file->runs) {
      if (held.count(run.digest) == 0 || run.first > lines.size() || run.count > lines.size() - run.first) continue;
      std::fill_n(repeated.begin() + run.first, run.count, true);
    }
    for (std::size_t k = 0; k < lines.size(); ++k) {
      if (repeated[k]) continue;
      if (seen_paths.insert(lines[k].path).second) paths->push_back(lines[k].path);
      if (!lines[k].version.is_none() && seen_values.insert(lines[k].version.value()).second) {
        values->push_back(lines[k].version.value());
      }
    }
  }
}

void ExpectedFiles::Wrote(const FileWrite& write, MachineId machine, std::int64_t scan_id) {
  if (write.machine == 0) {
    if (machines_.count(write.name) == 0) return;  // not one of the group's
    runs_[machine];
    latest_[machine] = std::nullopt;
  }
  for (auto& [name, known] : machines_) {
    if (name == write.name) {
      known = StoredMachine{machine, write.name, write.first_started, write.last_started, write.files};
    }
  }
  if (const auto runs = runs_.find(machine); runs != runs_.end()) {
    std::vector<KnownRun>& list = runs->second;
    if (write.deleted_scan) {
      list.erase(std::remove_if(list.begin(), list.end(),
                                [&](const KnownRun& r) { return r.run.scan_id == *write.deleted_scan; }),
                 list.end());
    }
    if (write.scan) {
      const ScanRow& scan = *write.scan;
      list.push_back(KnownRun{StoredRun{scan_id,
                                   RunCopy{scan.completed.has_value(), static_cast<int>(scan.report_lines),
                                           static_cast<int>(scan.errors.size()), scan.sha256},
                                   scan.file},
                         scan.started});
    }
  }
  if (const auto known = latest_.find(machine); known != latest_.end()) {
    switch (write.latest_write) {
      case LatestWrite::kLeave: break;
      case LatestWrite::kForget: known->second.reset(); break;
      case LatestWrite::kFlag:
        if (known->second) known->second->exact = write.latest.exact;
        break;
      case LatestWrite::kWhole: known->second = write.latest; break;
    }
  }
}

}  // namespace vurfleet::pg
