#include "base/id_table.h"

#include <functional>

namespace vurfleet {

IdTable::IdTable(std::size_t max_entries) : max_entries_(max_entries) {}

void IdTable::Allocate() {
  std::size_t capacity = 1024;
  while (capacity < max_entries_ * 2) capacity *= 2;
  slots_.resize(capacity);
}

std::uint64_t IdTable::Hash(std::string_view key) {
  return std::hash<std::string_view>{}(key);
}

std::optional<std::int64_t> IdTable::Find(std::string_view key) const {
  if (slots_.empty()) return std::nullopt;
  return Find(key, Hash(key));
}

std::optional<std::int64_t> IdTable::Find(std::string_view key, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (!slot.used) return std::nullopt;
    if (slot.hash == hash && slot.length == key.size() &&
        arena_.compare(slot.offset, slot.length, key) == 0) {
      return slot.id;
    }
  }
}

void IdTable::FindMany(const std::vector<std::string_view>& keys,
                       std::vector<std::int64_t>* out) const {
  constexpr std::size_t kSlotsAhead = 16;  // fetch a key's slot this many keys ahead
  constexpr std::size_t kTextAhead = 8;    // and its text this many
  const std::size_t n = keys.size();
  out->assign(n, -1);
  if (slots_.empty()) return;
  const std::size_t mask = slots_.size() - 1;
  std::vector<std::uint64_t> hashes(n);
  for (std::size_t i = 0; i < n; ++i) hashes[i] = Hash(keys[i]);
  for (std::size_t i = 0; i < n + kSlotsAhead; ++i) {
    if (i < n) __builtin_prefetch(&slots_[hashes[i] & mask]);
    if (i >= kTextAhead && i - kTextAhead < n) {
      const Slot& slot = slots_[hashes[i - kTextAhead] & mask];
      if (slot.used) __builtin_prefetch(arena_.data() + slot.offset);
    }
    if (i >= kSlotsAhead) {
      const std::size_t k = i - kSlotsAhead;
      const std::optional<std::int64_t> id = Find(keys[k], hashes[k]);
      if (id) (*out)[k] = *id;
    }
  }
}

void IdTable::Insert(std::string_view key, std::int64_t id) {
  // The arena's offsets are 32-bit: a cache is emptied before it passes 4 GiB.
  if (slots_.empty()) Allocate();
  if (size_ >= max_entries_ || arena_.size() + key.size() > 0xFFFFFFFFu) Clear();
  const std::uint64_t hash = Hash(key);
  const std::size_t mask = slots_.size() - 1;
  std::size_t i = hash & mask;
  while (slots_[i].used) i = (i + 1) & mask;
  slots_[i] = Slot{hash, id, static_cast<std::uint32_t>(arena_.size()),
                   static_cast<std::uint32_t>(key.size()), true};
  arena_.append(key);
  ++size_;
}

void IdTable::Clear() {
  for (Slot& slot : slots_) slot.used = false;
  arena_.clear();
  size_ = 0;
}

}  // namespace vurfleet
