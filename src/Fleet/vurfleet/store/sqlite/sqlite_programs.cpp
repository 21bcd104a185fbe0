// The most widespread file names, counted in one pass over each machine's
// inventory. SQLite has no hashed aggregation: a GROUP BY over every
// machine's entries (30 million rows at 10 000 machines) sorts them all,
// and even handing each row out costs seconds; each machine's latest scan's
// entries, one blob a machine, are read in a fraction of that. A machine's
// entries come together, so a stamp of the last machine counted is enough
// to count a machine once per name and once per (name, version).
#include <algorithm>
#include <string>
#include <climits>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store/latest.h"
#include "store/sqlite/sqlite_store.h"
#include "store/stored.h"

namespace vurfleet::sqlite {
namespace {

// Machines are stamped by their place in the walk, which fits 32 bits and
// keeps the counts small enough for the cache.
constexpr std::uint32_t kNoMachine = UINT32_MAX;

struct VersionCount {
  std::int64_t version_id;
  std::uint32_t machines = 0;
  std::uint32_t stamp = kNoMachine;
};

struct NameCount {
  std::uint32_t machines = 0;
  std::uint32_t stamp = kNoMachine;
  struct Held {
    std::int64_t version_id;
    std::uint32_t pool;  // its VersionCount
  };
  std::vector<Held> versions;  // searched in place while few
  // Where each version is, once there are many (a name that every user's
  // profile holds at versions of its own).
  std::unique_ptr<std::unordered_map<std::int64_t, std::uint32_t>> index;
  static constexpr std::size_t kSearched = 16;

  // The pool index of the version's count; UINT32_MAX when there is none.
  std::uint32_t Find(std::int64_t version_id) const {
    if (!index) {
      for (const Held& h : versions) {
        if (h.version_id == version_id) return h.pool;
      }
      return UINT32_MAX;
    }
    const auto it = index->find(version_id);
    return it == index->end() ? UINT32_MAX : it->second;
  }
  std::uint32_t Add(std::int64_t version_id, std::vector<VersionCount>& pool) {
    const auto at = static_cast<std::uint32_t>(pool.size());
    pool.push_back(VersionCount{version_id});
    versions.push_back(Held{version_id, at});
    if (index) {
      index->emplace(version_id, at);
    } else if (versions.size() > kSearched) {
      index = std::make_unique<std::unordered_map<std::int64_t, std::uint32_t>>();
      for (const Held& h : versions) index->emplace(h.version_id, h.pool);
    }
    return at;
  }
};

// What each path adds to: its name, and the count of the version it was
// last met at (most paths are at one version on most machines), so that
// the common entry costs a look at its path, its name and that count.
struct PathSlot {
  std::uint32_t name = UINT32_MAX;  // UINT32_MAX: no such path
  std::uint32_t held = UINT32_MAX;  // into the pool; UINT32_MAX: none yet
  std::int64_t version = 0;         // the version of `held`
};

// Rows keyed by a table's INTEGER PRIMARY KEY: a vector when the ids are
// dense, as the store assigns them; a hash table when a damaged database
// holds ids far apart. The vector is sized from the ids the table held when
// counted, and an id past it (a row the count did not see) goes to the hash
// table: no id read from the database is ever trusted as an index.
template <typename T>
class ById {
 public:
  struct Ids {
    std::int64_t count, min, max;
  };
  explicit ById(Ids ids) {
    if (ids.min >= 0 && ids.max >= 0 && ids.max <= 4 * ids.count + 4096) {
      vector_.resize(static_cast<std::size_t>(ids.max) + 1);
    }
  }
  T& Add(std::int64_t id) { return InVector(id) ? vector_[static_cast<std::size_t>(id)] : map_[id]; }
  T* Find(std::int64_t id) {
    if (InVector(id)) return &vector_[static_cast<std::size_t>(id)];
    const auto it = map_.find(id);
    return it == map_.end() ? nullptr : &it->second;
  }

 private:
  bool InVector(std::int64_t id) const {
    return id >= 0 && static_cast<std::uint64_t>(id) < vector_.size();
  }
  std::vector<T> vector_;
  std::unordered_map<std::int64_t, T> map_;
};

template <typename T>
ById<T> ForTable(Db& db, const char* table) {
  Statement s(db, (std::string("SELECT count(*), coalesce(min(id), 0), coalesce(max(id), -1) FROM ") +
                   table).c_str());
  s.Step();
  return ById<T>(typename ById<T>::Ids{s.Int(0), s.Int(1), s.Int(2)});
}

}  // namespace

void SqliteStore::Programs(int top, const std::function<void(const ProgramRow&)>& row) {
  if (top <= 0) return;
  ReadScope snapshot(db_);
  // Paths in name order (the index's order), so that each name is a run;
  // then the names numbered in the order of their first path, so that the
  // names most machines hold, met by the first loads, sit together in memory.
  std::vector<std::string> names;
  std::vector<std::int64_t> first_path;
  ById<PathSlot> paths = ForTable<PathSlot>(db_, "paths");
  {
    std::vector<std::pair<std::int64_t, std::uint32_t>> named;  // path id, name in byte order
    Statement s(db_, "SELECT id, name_key FROM paths ORDER BY name_key");
    while (s.Step()) {
      if (names.empty() || names.back() != s.Text(1)) {
        names.emplace_back(s.Text(1));
        first_path.push_back(s.Int(0));
      }
      first_path.back() = std::min(first_path.back(), s.Int(0));
      named.emplace_back(s.Int(0), static_cast<std::uint32_t>(names.size() - 1));
    }
    std::vector<std::uint32_t> by_first(names.size());
    for (std::uint32_t n = 0; n < by_first.size(); ++n) by_first[n] = n;
    std::sort(by_first.begin(), by_first.end(),
              [&](std::uint32_t a, std::uint32_t b) { return first_path[a] < first_path[b]; });
    std::vector<std::uint32_t> renumbered(names.size());
    std::vector<std::string> reordered(names.size());
    for (std::uint32_t k = 0; k < by_first.size(); ++k) {
      renumbered[by_first[k]] = k;
      reordered[k] = std::move(names[by_first[k]]);
    }
    names = std::move(reordered);
    for (const auto& [id, name] : named) paths.Add(id).name = renumbered[name];
  }
  // Entries count only with their version stored, as `find` joins them
  // (and with their machine: the walk below is over the machines).
  struct Known {
    bool known = false;
    Version version;
  };
  ById<Known> versions = ForTable<Known>(db_, "versions");
  {
    Statement s(db_, "SELECT id, value FROM versions");
    while (s.Step()) {
      versions.Add(s.Int(0)) =
          Known{true, s.IsNull(1) ? Version::None() : VersionOfStored(s.Int(1))};
    }
  }


  std::vector<NameCount> counts(names.size());
  std::vector<VersionCount> pool;
  // One entry of `machine`'s inventory now.
  const auto count = [&](std::uint32_t machine, std::int64_t path, std::int64_t version) {
    PathSlot* slot = paths.Find(path);
    if (slot == nullptr || slot->name == UINT32_MAX) return;
    NameCount& name = counts[slot->name];
    if (slot->held == UINT32_MAX || slot->version != version) {
      std::uint32_t held = name.Find(version);
      if (held == UINT32_MAX) {
        const Known* known = versions.Find(version);
        if (known == nullptr || !known->known) return;
        held = name.Add(version, pool);
      }
      slot->held = held;
      slot->version = version;
    }
    if (name.stamp != machine) name.stamp = machine, ++name.machines;
    VersionCount& held = pool[slot->held];
    if (held.stamp != machine) held.stamp = machine, ++held.machines;
  };
  // Each machine's inventory from its latest scan's entries where they are
  // all of it (as the next load takes them too), else from its open
  // intervals. A blob that can't be read, or whose entries are not as many
  // as the machine's files, is passed over for the intervals.
  Statement each(db_,
                 "SELECT m.id, m.files, l.exact, l.runs FROM machines m "
                 "LEFT JOIN latest l ON l.machine_id = m.id ORDER BY m.id");
  Statement open(db_, "SELECT path_id, version_id FROM intervals WHERE machine_id = ?1 AND until IS NULL");
  std::vector<Entry> entries;
  for (std::uint32_t machine = 0; each.Step(); ++machine) {
    if (!each.IsNull(2) && each.Int(2) != 0 && DecodeLatestEntries(each.Blob(3), &entries) &&
        static_cast<std::int64_t>(entries.size()) == each.Int(1)) {
      for (const Entry& e : entries) count(machine, e.path, e.version);
      continue;
    }
    open.Reset();
    open.Bind(1, each.Int(0));
    while (open.Step()) count(machine, open.Int(0), open.Int(1));
  }

  std::vector<std::uint32_t> order;
  for (std::uint32_t n = 0; n < names.size(); ++n) {
    if (counts[n].machines > 0) order.push_back(n);
  }
  const std::size_t kept = std::min<std::size_t>(order.size(), static_cast<std::size_t>(top));
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(kept), order.end(),
                    [&](std::uint32_t a, std::uint32_t b) {
                      return counts[a].machines != counts[b].machines
                                 ? counts[a].machines > counts[b].machines
                                 : names[a] < names[b];
                    });
  order.resize(kept);
  ProgramRow result;
  for (const std::uint32_t n : order) {
    struct Held {
      Version version;
      std::int64_t machines;
    };
    std::vector<Held> held;
    for (const NameCount::Held& k : counts[n].versions) {
      const VersionCount& v = pool[k.pool];
      if (v.machines > 0) held.push_back({versions.Find(v.version_id)->version, v.machines});
    }
    std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) {
      if (a.version.is_none() != b.version.is_none()) return b.version.is_none();
      return a.version.value() > b.version.value();
    });
    result.name = names[n];
    result.machines = counts[n].machines;
    for (const Held& h : held) {
      result.version = h.version;
      result.version_machines = h.machines;
      row(result);
    }
  }
}

}  // namespace vurfleet::sqlite
