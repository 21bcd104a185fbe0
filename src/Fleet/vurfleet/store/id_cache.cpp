#include "store/id_cache.h"

namespace vurfleet {
namespace {

// Ids kept in memory at most: some 30 MiB, whatever the fleet.
constexpr std::size_t kCachedPaths = 1 << 18;
constexpr std::size_t kCachedVersions = 1 << 16;

std::string_view KeyOf(const std::uint64_t& value) {
  return std::string_view(reinterpret_cast<const char*>(&value), sizeof value);
}

// A path's first slot in a table of `slots` (a power of two).
std::size_t SlotOf(PathId path, std::size_t slots) {
  return static_cast<std::size_t>((static_cast<std::uint64_t>(path) * 0x9E3779B97F4A7C15ull) >> 32) & (slots - 1);
}

}  // namespace

IdCache::IdCache() : paths_(kCachedPaths), versions_(kCachedVersions), names_(kCachedPaths) {}

std::optional<std::int64_t> IdCache::NameOf(PathId path) const {
  if (name_of_.empty()) return std::nullopt;
  for (std::size_t at = SlotOf(path, name_of_.size());; at = (at + 1) & (name_of_.size() - 1)) {
    if (name_of_[at].path == path) return name_of_[at].name;
    if (name_of_[at].path == kFree) return std::nullopt;
  }
}

std::vector<PathId> IdCache::NamesOf(const std::vector<const std::vector<Entry>*>& entries,
                                     std::unordered_map<PathId, std::int64_t>* names) const {
  std::vector<PathId> unknown;
  for (const std::vector<Entry>* list : entries) {
    for (const Entry& e : *list) {
      if (const auto name = NameOf(e.path)) {
        names->emplace(e.path, *name);
      } else {
        unknown.push_back(e.path);
      }
    }
  }
  return unknown;
}

void IdCache::AddNameOf(PathId path, std::int64_t name) {
  if (path < 0) return;  // never an id
  if (name_of_.empty() || names_held_ >= kCachedPaths) {
    name_of_.assign(2 * kCachedPaths, NameSlot{});
    names_held_ = 0;
  }
  std::size_t at = SlotOf(path, name_of_.size());
  while (name_of_[at].path != kFree && name_of_[at].path != path) at = (at + 1) & (name_of_.size() - 1);
  if (name_of_[at].path == kFree) ++names_held_;
  name_of_[at] = {path, name};
}

void IdCache::AddName(std::string_view key, std::int64_t id, bool added) {
  if (added) NoteAdded();
  if (!names_.Find(key)) names_.Insert(key, id);
}

void IdCache::FindPaths(const std::vector<std::string_view>& paths, std::vector<PathId>* ids) const {
  paths_.FindMany(paths, ids);
}

void IdCache::FindVersions(const std::vector<std::uint64_t>& values, std::vector<VersionId>* ids) const {
  std::vector<std::string_view> keys;
  keys.reserve(values.size());
  for (const std::uint64_t& value : values) keys.push_back(KeyOf(value));
  versions_.FindMany(keys, ids);
}

void IdCache::AddPath(std::string_view path, PathId id, bool added) {
  if (added) NoteAdded();
  if (!paths_.Find(path)) paths_.Insert(path, id);
}

void IdCache::AddVersion(std::uint64_t value, VersionId id, bool added) {
  if (added) NoteAdded();
  if (!versions_.Find(KeyOf(value))) versions_.Insert(KeyOf(value), id);
}

void IdCache::EndFile(bool kept) {
  if (!kept && added_in_file_) Clear();
  added_in_file_ = false;
}

void IdCache::EndGroup(bool committed) {
  if (!committed && added_in_group_) Clear();
  added_in_group_ = added_in_file_ = false;
}

void IdCache::Clear() {
  paths_.Clear();
  versions_.Clear();
  names_.Clear();
  name_of_.clear();
  names_held_ = 0;
}

}  // namespace vurfleet
