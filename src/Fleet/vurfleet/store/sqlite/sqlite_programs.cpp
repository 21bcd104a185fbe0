// The most widespread file names, counted in one pass over the entries that
// hold now. SQLite has no hashed aggregation: a GROUP BY over every
// machine's entries (30 million rows at 10 000 machines) sorts them all,
// which takes far longer than reading them once in the table's own order
// (by machine) and counting here. Each machine's rows come together, so a
// stamp of the last machine counted is enough to count a machine once per
// name and once per (name, version).
#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store/sqlite/sqlite_store.h"

namespace vurfleet::sqlite {
namespace {

constexpr std::int64_t kNoMachine = -1;

struct NameCount {
  std::int64_t machines = 0;
  std::int64_t stamp = kNoMachine;
};

struct VersionCount {
  std::uint32_t name;
  std::int64_t version_id;
  std::int64_t machines = 0;
  std::int64_t stamp = kNoMachine;
};

// What each path adds to: its name, and the count of the version it was
// last met at (most paths are at one version on most machines).
struct PathSlot {
  std::uint32_t name = 0;
  std::int64_t last_version = -1;  // no version id is negative: the schema counts from 0
  VersionCount* last_count = nullptr;
};

struct PairHash {
  std::size_t operator()(const std::pair<std::uint32_t, std::int64_t>& key) const {
    std::uint64_t h = (std::uint64_t{key.first} * 0x9E3779B97F4A7C15ULL) ^
                      static_cast<std::uint64_t>(key.second);
    h ^= h >> 29;
    return static_cast<std::size_t>(h * 0xBF58476D1CE4E5B9ULL);
  }
};

}  // namespace

void SqliteStore::Programs(int top, const std::function<void(const ProgramRow&)>& row) {
  if (top <= 0) return;
  std::vector<std::string> names;
  std::unordered_map<std::int64_t, PathSlot> paths;
  {
    std::unordered_map<std::string, std::uint32_t> name_index;
    Statement s(db_, "SELECT id, name_key FROM paths");
    while (s.Step()) {
      const std::string key(s.Text(1));
      auto [it, added] = name_index.try_emplace(key, static_cast<std::uint32_t>(names.size()));
      if (added) names.push_back(key);
      PathSlot& slot = paths[s.Int(0)];
      slot.name = it->second;
    }
  }
  // Entries count only with their machine and version stored, as `find`
  // joins them.
  std::unordered_map<std::int64_t, Version> versions;
  {
    Statement s(db_, "SELECT id, value FROM versions");
    while (s.Step()) {
      versions.emplace(s.Int(0),
                       s.IsNull(1) ? Version::None() : Version::Of(VersionOfValue(s.Int(1))));
    }
  }
  std::unordered_map<std::int64_t, bool> machines;
  {
    Statement s(db_, "SELECT id FROM machines");
    while (s.Step()) machines.emplace(s.Int(0), true);
  }
  std::vector<NameCount> name_counts(names.size());
  // Keyed by name index and version id; node-based, so pointers stay valid.
  std::unordered_map<std::pair<std::uint32_t, std::int64_t>, VersionCount, PairHash> version_counts;
  {
    Statement s(db_, "SELECT machine_id, path_id, version_id FROM intervals WHERE until IS NULL");
    std::int64_t checked_machine = kNoMachine;
    bool machine_known = false;
    while (s.Step()) {
      const std::int64_t machine = s.Int(0);
      if (machine != checked_machine) {
        checked_machine = machine;
        machine_known = machines.count(machine) != 0;
      }
      if (!machine_known) continue;
      const auto found = paths.find(s.Int(1));
      if (found == paths.end()) continue;
      PathSlot& slot = found->second;
      const std::int64_t version = s.Int(2);
      const bool same_version = slot.last_count != nullptr && version == slot.last_version;
      if (!same_version && versions.count(version) == 0) continue;
      NameCount& name = name_counts[slot.name];
      if (name.stamp != machine) name.stamp = machine, ++name.machines;
      if (!same_version) {
        auto it = version_counts.try_emplace({slot.name, version}, VersionCount{slot.name, version})
                      .first;
        slot.last_version = version;
        slot.last_count = &it->second;
      }
      VersionCount& count = *slot.last_count;
      if (count.stamp != machine) count.stamp = machine, ++count.machines;
    }
  }

  std::vector<std::uint32_t> order;
  for (std::uint32_t n = 0; n < names.size(); ++n) {
    if (name_counts[n].machines > 0) order.push_back(n);
  }
  const auto by_spread = [&](std::uint32_t a, std::uint32_t b) {
    if (name_counts[a].machines != name_counts[b].machines) {
      return name_counts[a].machines > name_counts[b].machines;
    }
    return names[a] < names[b];
  };
  const std::size_t kept = std::min<std::size_t>(order.size(), static_cast<std::size_t>(top));
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(kept), order.end(),
                    by_spread);
  order.resize(kept);
  std::vector<std::uint32_t> rank(names.size(), UINT32_MAX);
  for (std::uint32_t r = 0; r < order.size(); ++r) rank[order[r]] = r;

  struct Out {
    std::uint32_t rank;
    Version version;
    std::int64_t machines;
  };
  std::vector<Out> out;
  for (const auto& [key, count] : version_counts) {
    if (rank[count.name] == UINT32_MAX) continue;
    out.push_back({rank[count.name], versions.at(count.version_id), count.machines});
  }
  std::sort(out.begin(), out.end(), [](const Out& a, const Out& b) {
    if (a.rank != b.rank) return a.rank < b.rank;
    if (a.version.is_none() != b.version.is_none()) return b.version.is_none();
    return a.version.value() > b.version.value();
  });
  ProgramRow result;
  for (const Out& o : out) {
    result.name = names[order[o.rank]];
    result.machines = name_counts[order[o.rank]].machines;
    result.version = o.version;
    result.version_machines = o.machines;
    row(result);
  }
}

}  // namespace vurfleet::sqlite
