#include "store/counts.h"

#include <algorithm>

#include "base/varint.h"

namespace vurfleet {

std::string EncodeHolds(const std::vector<Held>& holds) {
  std::string out;
  out.reserve(holds.size() * 5 + 4);
  PutVarint(&out, holds.size());
  NameId previous = 0;
  for (const Held& h : holds) {
    PutVarint(&out, ZigZag(h.name - previous));
    PutVarint(&out, ZigZag(h.version));
    PutVarint(&out, static_cast<std::uint64_t>(h.copies));
    previous = h.name;
  }
  return out;
}

std::optional<std::vector<Held>> DecodeHolds(std::string_view bytes) {
  std::size_t pos = 0;
  std::uint64_t count = 0;
  if (!GetVarint(bytes, &pos, &count) || count > bytes.size()) return std::nullopt;
  std::vector<Held> holds;
  holds.reserve(static_cast<std::size_t>(count));
  NameId previous = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    std::uint64_t name = 0, version = 0, copies = 0;
    if (!GetVarint(bytes, &pos, &name) || !GetVarint(bytes, &pos, &version) || !GetVarint(bytes, &pos, &copies)) {
      return std::nullopt;
    }
    Held h{previous + UnZigZag(name), UnZigZag(version), static_cast<std::int64_t>(copies)};
    if (h.copies <= 0 || h.version < 0 ||
        (!holds.empty() && std::make_pair(holds.back().name, holds.back().version) >= std::make_pair(h.name, h.version))) {
      return std::nullopt;
    }
    holds.push_back(h);
    previous = h.name;
  }
  if (pos != bytes.size()) return std::nullopt;
  return holds;
}

void CountChanges::Add(const CountKey& key, std::int64_t change) {
  rows_.emplace_back(key, change);
  // Summed now and then, so that a recount of the whole fleet holds about
  // one row a count.
  if (rows_.size() >= 2 * summed_ + (1 << 20)) Sum();
}

void CountChanges::Add(const CountChanges& other) {
  rows_.insert(rows_.end(), other.rows_.begin(), other.rows_.end());
  if (rows_.size() >= 2 * summed_ + (1 << 20)) Sum();
}

namespace {

std::uint64_t HashOf(const CountKey& key) {
  std::uint64_t h = static_cast<std::uint64_t>(key.first) * 0x9E3779B97F4A7C15ull ^
                    static_cast<std::uint64_t>(key.second) * 0xC2B2AE3D27D4EB4Full;
  return h ^ (h >> 31);
}

// `rows` summed by key, in key order, none zero: summed in a flat table,
// then only the distinct keys sorted (a group's rows name each of its keys
// once a file, hundreds of times).
std::vector<std::pair<CountKey, std::int64_t>> Summed(const std::vector<std::pair<CountKey, std::int64_t>>& rows) {
  std::vector<std::pair<CountKey, std::int64_t>> sums;
  std::vector<std::uint32_t> slots;  // 1 + the key's place in `sums`; 0: free
  std::size_t mask = 0;
  const auto place = [&](std::size_t k) {
    std::size_t at = HashOf(sums[k].first) & mask;
    while (slots[at] != 0) at = (at + 1) & mask;
    slots[at] = static_cast<std::uint32_t>(k + 1);
  };
  const auto grow = [&] {
    slots.assign(std::max<std::size_t>(1 << 12, 2 * (mask + 1)), 0);
    mask = slots.size() - 1;
    for (std::size_t k = 0; k < sums.size(); ++k) place(k);
  };
  grow();
  for (const auto& [key, change] : rows) {
    std::size_t at = HashOf(key) & mask;
    while (slots[at] != 0 && sums[slots[at] - 1].first != key) at = (at + 1) & mask;
    if (slots[at] != 0) {
      sums[slots[at] - 1].second += change;
      continue;
    }
    sums.emplace_back(key, change);
    slots[at] = static_cast<std::uint32_t>(sums.size());
    if (2 * sums.size() > mask + 1) grow();
  }
  sums.erase(std::remove_if(sums.begin(), sums.end(), [](const auto& row) { return row.second == 0; }), sums.end());
  std::sort(sums.begin(), sums.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return sums;
}

}  // namespace

void CountChanges::Sum() {
  rows_ = Summed(rows_);
  summed_ = rows_.size();
}

std::vector<std::pair<CountKey, std::int64_t>> CountChanges::InKeyOrder() const { return Summed(rows_); }

namespace {

void Count(CountChanges* changes, const CountKey& key, std::int64_t change) { changes->Add(key, change); }

}  // namespace

void ChangeHolds(std::vector<Held>* holds, const std::vector<std::pair<NameId, VersionId>>& left,
                 const std::vector<std::pair<NameId, VersionId>>& came, CountChanges* changes) {
  // The changes of copies by key, sorted, one a key.
  std::vector<std::pair<CountKey, std::int64_t>> delta;
  delta.reserve(left.size() + came.size());
  for (const auto& key : left) delta.emplace_back(key, -1);
  for (const auto& key : came) delta.emplace_back(key, 1);
  std::sort(delta.begin(), delta.end());
  std::size_t runs = 0;
  for (std::size_t k = 0; k < delta.size(); ++k) {
    if (runs > 0 && delta[runs - 1].first == delta[k].first) {
      delta[runs - 1].second += delta[k].second;
    } else {
      delta[runs++] = delta[k];
    }
  }
  delta.resize(runs);

  // Both sorted by (name, version): one pass, a name at a time.
  std::vector<Held> out;
  out.reserve(holds->size() + came.size());
  const std::vector<Held>& in = *holds;
  std::size_t h = 0, d = 0;
  while (h < in.size() || d < delta.size()) {
    const NameId name = d == delta.size() || (h < in.size() && in[h].name < delta[d].first.first)
                            ? in[h].name
                            : delta[d].first.first;
    std::int64_t before = 0, after = 0, versions_before = 0, versions_after = 0;
    bool touched = false;
    while ((h < in.size() && in[h].name == name) || (d < delta.size() && delta[d].first.first == name)) {
      Held held{name, 0, 0};
      std::int64_t change = 0;
      const bool from_in = h < in.size() && in[h].name == name &&
                           (d == delta.size() || delta[d].first.first != name || in[h].version <= delta[d].first.second);
      if (from_in) {
        held = in[h++];
        if (d < delta.size() && delta[d].first == CountKey{name, held.version}) change = delta[d++].second;
      } else {
        held.version = delta[d].first.second;
        change = delta[d++].second;
      }
      const std::int64_t now = std::max<std::int64_t>(0, held.copies + change);
      if (change != 0) {
        touched = true;
        if ((held.copies > 0) != (now > 0)) Count(changes, {name, held.version}, now > 0 ? 1 : -1);
      }
      before += held.copies;
      after += now;
      versions_before += held.copies > 0 ? 1 : 0;
      versions_after += now > 0 ? 1 : 0;
      held.copies = now;
      if (now > 0) out.push_back(held);
    }
    // A name counts its machine while any version of it is held.
    if (touched && (before > 0) != (after > 0)) Count(changes, {name, kAnyVersion}, after > 0 ? 1 : -1);
    if (touched && (versions_before > 1) != (versions_after > 1)) {
      Count(changes, {name, kManyVersions}, versions_after > 1 ? 1 : -1);
    }
  }
  *holds = std::move(out);
}

void ChangeHolds(std::vector<Held>* holds, const FileWrite& write, const std::unordered_map<PathId, NameId>& names,
                 CountChanges* changes) {
  const auto keys = [&](const std::vector<Entry>& entries) {
    std::vector<std::pair<NameId, VersionId>> out;
    out.reserve(entries.size());
    for (const Entry& e : entries) {
      const auto name = names.find(e.path);
      if (name == names.end()) throw StoreError("a path of the inventory has no name stored");
      out.emplace_back(name->second, e.version);
    }
    return out;
  };
  ChangeHolds(holds, keys(write.left), keys(write.came), changes);
}

std::vector<Held> MixedHolds(const std::vector<Held>& holds) {
  std::vector<Held> mixed;
  for (std::size_t k = 0; k < holds.size();) {
    std::size_t end = k + 1;
    while (end < holds.size() && holds[end].name == holds[k].name) ++end;
    if (end - k > 1) mixed.insert(mixed.end(), holds.begin() + static_cast<std::ptrdiff_t>(k),
                                  holds.begin() + static_cast<std::ptrdiff_t>(end));
    k = end;
  }
  return mixed;
}

std::int64_t CountedAgain(const std::vector<Held>& mixed, NameId name, const std::vector<VersionId>& shown) {
  auto h = std::lower_bound(mixed.begin(), mixed.end(), name, [](const Held& a, NameId n) { return a.name < n; });
  std::int64_t beyond = 0;
  for (; h != mixed.end() && h->name == name; ++h) {
    if (!std::binary_search(shown.begin(), shown.end(), h->version)) ++beyond;
  }
  return std::max<std::int64_t>(0, beyond - 1);
}

void CountHolds(const std::vector<Held>& holds, int sign, CountChanges* changes) {
  for (std::size_t k = 0; k < holds.size(); ++k) {
    const bool first = k == 0 || holds[k].name != holds[k - 1].name;
    if (first) Count(changes, {holds[k].name, kAnyVersion}, sign);
    // The name's second version.
    if (!first && (k < 2 || holds[k - 2].name != holds[k].name)) Count(changes, {holds[k].name, kManyVersions}, sign);
    Count(changes, {holds[k].name, holds[k].version}, sign);
  }
}

void Recount::Add(std::int64_t machine, NameId name, VersionId version) {
  if (machine_ && *machine_ != machine) Finish();
  machine_ = machine;
  open_.emplace_back(name, version);
}

void Recount::Finish() {
  if (!machine_) return;
  std::sort(open_.begin(), open_.end());
  std::vector<Held> holds;
  for (const CountKey& key : open_) {
    if (!holds.empty() && holds.back().name == key.first && holds.back().version == key.second) {
      ++holds.back().copies;
    } else {
      holds.push_back(Held{key.first, key.second, 1});
    }
  }
  CountHolds(holds, 1, &counts);
  if (machine_done) machine_done(*machine_, holds);
  machine_.reset();
  open_.clear();
}

NameOfPath::NameOfPath(std::vector<std::pair<PathId, NameId>> sorted) : sorted_(std::move(sorted)) {
  if (!sorted_.empty() && sorted_.front().first >= 0 &&
      sorted_.back().first < 2 * static_cast<PathId>(sorted_.size()) + 1024) {
    dense_.resize(static_cast<std::size_t>(sorted_.back().first) + 1);
    for (const auto& [path, name] : sorted_) dense_[static_cast<std::size_t>(path)] = name;
    sorted_.clear();
  }
}

std::optional<NameId> NameOfPath::operator()(PathId path) const {
  if (sorted_.empty()) {
    return path >= 0 && path < static_cast<PathId>(dense_.size()) ? dense_[static_cast<std::size_t>(path)]
                                                                  : std::nullopt;
  }
  const auto it = std::lower_bound(sorted_.begin(), sorted_.end(), std::make_pair(path, INT64_MIN));
  return it != sorted_.end() && it->first == path ? std::optional<NameId>(it->second) : std::nullopt;
}

}  // namespace vurfleet
