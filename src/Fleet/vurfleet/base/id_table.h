// Byte strings to ids in one flat table and one arena of text: a lookup
// costs a hash and about two cache misses. Bounded: the table is emptied
// when full, so memory stays flat however many keys pass through it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vurfleet {

class IdTable {
 public:
  explicit IdTable(std::size_t max_entries);

  std::optional<std::int64_t> Find(std::string_view key) const;
  // Finds many keys at once, `out[i]` the id of `keys[i]` or -1. Each
  // key's slot and text are fetched from memory ahead of its turn, so the
  // misses of many lookups overlap instead of following one another.
  void FindMany(const std::vector<std::string_view>& keys, std::vector<std::int64_t>* out) const;
  // Adds a key not yet held. Empties the table first when it is full.
  void Insert(std::string_view key, std::int64_t id);
  void Clear();
  std::size_t size() const { return size_; }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::int64_t id = 0;
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    bool used = false;
  };
  static std::uint64_t Hash(std::string_view key);
  std::optional<std::int64_t> Find(std::string_view key, std::uint64_t hash) const;  // slots_ not empty
  void Allocate();  // on the first insert: an unused table costs nothing

  std::size_t max_entries_;
  std::vector<Slot> slots_;  // a power of two, at most half full
  std::string arena_;
  std::size_t size_ = 0;
};

}  // namespace vurfleet
