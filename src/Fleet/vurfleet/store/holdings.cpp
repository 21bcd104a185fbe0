#include "store/holdings.h"

#include <algorithm>

namespace vurfleet {

void HoldingsOrder::AddPath(std::string_view text, PathId id) {
  paths_.push_back(Path{texts_.size(), text.size(), id});
  texts_.append(text);
}

void HoldingsOrder::Rank() {
  std::sort(paths_.begin(), paths_.end(), [&](const Path& a, const Path& b) {
    const int c = TextOf(a).compare(TextOf(b));
    return c != 0 ? c < 0 : a.id < b.id;
  });
  // A path given twice: the same text, side by side.
  paths_.erase(std::unique(paths_.begin(), paths_.end(), [](const Path& a, const Path& b) { return a.id == b.id; }),
               paths_.end());
  if (paths_.empty()) return;
  PathId low = paths_[0].id, high = low;
  for (const Path& p : paths_) {
    low = std::min(low, p.id);
    high = std::max(high, p.id);
  }
  // An array of at most 16 entries a path, or 1 MiB: a store reads many
  // intervals of other paths, and each is tested.
  const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
  if (span < 16 * paths_.size() + (1 << 18)) {
    low_ = low;
    dense_.assign(static_cast<std::size_t>(span) + 1, kNone);
    for (std::uint32_t k = 0; k < paths_.size(); ++k) dense_[static_cast<std::size_t>(paths_[k].id - low)] = k;
  } else {
    for (std::uint32_t k = 0; k < paths_.size(); ++k) rank_.emplace(paths_[k].id, k);
  }
}

std::vector<std::pair<PathId, PathId>> HoldingsOrder::IdRuns() const {
  std::vector<PathId> ids;
  ids.reserve(paths_.size());
  for (const Path& p : paths_) ids.push_back(p.id);
  std::sort(ids.begin(), ids.end());
  std::vector<std::pair<PathId, PathId>> runs;
  for (const PathId id : ids) {
    if (!runs.empty() && runs.back().second < INT64_MAX && id == runs.back().second + 1) {
      runs.back().second = id;
    } else {
      runs.emplace_back(id, id);
    }
  }
  return runs;
}

void HoldingsOrder::Add(std::string_view machine, PathId path, Time since, std::optional<Time> until,
                        const Version& version) {
  const std::uint32_t rank = RankOf(path);
  if (rank == kNone) return;
  if (machine != out_.machine) {
    Finish();
    out_.machine.assign(machine);
  }
  held_.push_back(Held{rank, since, until, version});
}

void HoldingsOrder::Finish() {
  std::sort(held_.begin(), held_.end(), [](const Held& a, const Held& b) {
    return a.path != b.path ? a.path < b.path : a.since < b.since;
  });
  for (const Held& h : held_) {
    out_.path.assign(TextOf(paths_[h.path]));
    out_.path_place = h.path;
    out_.version = h.version;
    out_.since = h.since;
    out_.until = h.until;
    row_(out_);
  }
  held_.clear();
}

}  // namespace vurfleet
