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

void AddChanges(const CountChanges& from, CountChanges* into) {
  for (const auto& [key, change] : from) {
    if (change == 0) continue;
    auto& sum = (*into)[key];
    sum += change;
    if (sum == 0) into->erase(key);
  }
}

namespace {

// A name's copies at each version, before and after.
struct NameCopies {
  std::int64_t before = 0, after = 0;
};

}  // namespace

void ChangeHolds(std::vector<Held>* holds, const std::vector<std::pair<NameId, VersionId>>& left,
                 const std::vector<std::pair<NameId, VersionId>>& came, CountChanges* changes) {
  std::map<std::pair<NameId, VersionId>, std::int64_t> delta;
  for (const auto& key : left) --delta[key];
  for (const auto& key : came) ++delta[key];
  std::vector<Held> out;
  out.reserve(holds->size() + came.size());
  std::map<NameId, NameCopies> names;
  auto d = delta.begin();
  const auto take = [&](Held h, std::int64_t change) {
    const std::int64_t after = std::max<std::int64_t>(0, h.copies + change);
    if (change != 0) {
      if ((h.copies > 0) != (after > 0)) (*changes)[{h.name, h.version}] += after > 0 ? 1 : -1;
      NameCopies& n = names[h.name];
      n.before += h.copies;
      n.after += after;
    }
    h.copies = after;
    if (h.copies > 0) out.push_back(h);
  };
  for (const Held& h : *holds) {
    for (; d != delta.end() && d->first < std::make_pair(h.name, h.version); ++d) {
      take(Held{d->first.first, d->first.second, 0}, d->second);
    }
    if (d != delta.end() && d->first == std::make_pair(h.name, h.version)) {
      take(h, d->second);
      ++d;
    } else {
      out.push_back(h);
    }
  }
  for (; d != delta.end(); ++d) take(Held{d->first.first, d->first.second, 0}, d->second);
  // A name counts its machine while any version of it is held: its other
  // versions' copies, untouched, count on both sides.
  for (auto& [name, copies] : names) {
    const auto first = std::lower_bound(out.begin(), out.end(), name,
                                        [](const Held& h, NameId n) { return h.name < n; });
    const bool after = first != out.end() && first->name == name;
    std::int64_t untouched = 0;
    for (auto h = first; h != out.end() && h->name == name; ++h) untouched += h->copies;
    untouched -= copies.after;
    const bool before = copies.before + untouched > 0;
    if (before != after) (*changes)[{name, kAnyVersion}] += after ? 1 : -1;
  }
  for (auto it = changes->begin(); it != changes->end();) it = it->second == 0 ? changes->erase(it) : std::next(it);
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

void CountHolds(const std::vector<Held>& holds, int sign, CountChanges* changes) {
  for (std::size_t k = 0; k < holds.size(); ++k) {
    if (k == 0 || holds[k].name != holds[k - 1].name) (*changes)[{holds[k].name, kAnyVersion}] += sign;
    (*changes)[{holds[k].name, holds[k].version}] += sign;
  }
  for (auto it = changes->begin(); it != changes->end();) it = it->second == 0 ? changes->erase(it) : std::next(it);
}

void Recount::Add(std::int64_t machine, NameId name, VersionId version) {
  if (machine_ && *machine_ != machine) Finish();
  machine_ = machine;
  ++open_[{name, version}];
}

void Recount::Finish() {
  if (!machine_) return;
  std::vector<Held> holds;
  holds.reserve(open_.size());
  for (const auto& [key, copies] : open_) holds.push_back(Held{key.first, key.second, copies});
  CountHolds(holds, 1, &counts);
  if (machine_done) machine_done(*machine_, holds);
  machine_.reset();
  open_.clear();
}

}  // namespace vurfleet
