// Ids of paths and versions a store's connection has met, in memory,
// bounded so that memory stays flat however many pass through it. An id
// that a transaction added is right only once the transaction commits: when
// a file's savepoint or a group is taken back after it added ids, the cache
// forgets everything, so that no id of a rolled-back row is ever used.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/id_table.h"
#include "history/history.h"

namespace vurfleet {

class IdCache {
 public:
  IdCache();

  // `ids[k]` the id of `paths[k]`, or -1; many lookups overlap in memory.
  void FindPaths(const std::vector<std::string_view>& paths, std::vector<PathId>* ids) const;
  void FindVersions(const std::vector<std::uint64_t>& values, std::vector<VersionId>* ids) const;
  std::optional<PathId> FindPath(std::string_view path) const { return paths_.Find(path); }
  // Keeps an id the database gave; `added`: a row this transaction added.
  void AddPath(std::string_view path, PathId id, bool added);
  void AddVersion(std::uint64_t value, VersionId id, bool added);
  // The name (store/counts.h) of a path met, by the path's id; and names' ids
  // by their folded text.
  std::optional<std::int64_t> NameOf(PathId path) const;
  // The names of the paths of `entries` the cache holds, into `names`;
  // returns the paths whose names it does not hold.
  std::vector<PathId> NamesOf(const std::vector<const std::vector<Entry>*>& entries,
                              std::unordered_map<PathId, std::int64_t>* names) const;
  void AddNameOf(PathId path, std::int64_t name);
  std::optional<std::int64_t> FindName(std::string_view key) const { return names_.Find(key); }
  void AddName(std::string_view key, std::int64_t id, bool added);

  // A file's savepoint begins, or ends: taken back, the cache forgets
  // everything if the file added a row.
  void BeginFile() { added_in_file_ = false; }
  void EndFile(bool kept);
  // The group's transaction ends: committed, its rows' ids stand; rolled
  // back, the cache forgets everything if the group added a row.
  void EndGroup(bool committed);
  // A row was added whose id the cache does not hold (a statement that
  // adds many): a rollback then empties the cache all the same.
  void NoteAdded() { added_in_file_ = added_in_group_ = true; }

 private:
  void Clear();

  IdTable paths_;
  IdTable versions_;  // keyed by the version's 8 bytes
  IdTable names_;
  // Paths' names in one flat table (a node per path would be a cache miss
  // per lookup, and a file looks up every path it changes), at most half
  // full; emptied when it would be fuller. Empty until the first name.
  struct NameSlot {
    PathId path = kFree;
    std::int64_t name = 0;
  };
  static constexpr PathId kFree = -1;
  std::vector<NameSlot> name_of_;
  std::size_t names_held_ = 0;
  bool added_in_file_ = false;
  bool added_in_group_ = false;
};

}  // namespace vurfleet
