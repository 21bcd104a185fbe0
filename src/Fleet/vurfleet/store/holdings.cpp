#include "store/holdings.h"

#include <algorithm>

namespace vurfleet {

HoldingsOrder::HoldingsOrder(std::vector<std::pair<std::string, PathId>> paths,
                             const std::function<void(const HoldingRow&)>& row)
    : paths_(std::move(paths)), row_(row) {
  std::sort(paths_.begin(), paths_.end());
  for (std::uint32_t k = 0; k < paths_.size(); ++k) rank_.emplace(paths_[k].second, k);
}

std::string HoldingsOrder::IdList() const {
  std::string ids;
  for (std::size_t k = 0; k < paths_.size(); ++k) {
    if (k > 0) ids += ',';
    ids += std::to_string(paths_[k].second);
  }
  return ids;
}

void HoldingsOrder::Add(std::string_view machine, PathId path, Time since, std::optional<Time> until,
                        const Version& version) {
  const auto rank = rank_.find(path);
  if (rank == rank_.end()) return;
  if (machine != out_.machine) {
    Finish();
    out_.machine.assign(machine);
  }
  held_.push_back(Held{rank->second, since, until, version});
}

void HoldingsOrder::Finish() {
  std::sort(held_.begin(), held_.end(), [](const Held& a, const Held& b) {
    return a.path != b.path ? a.path < b.path : a.since < b.since;
  });
  for (const Held& h : held_) {
    out_.path = paths_[h.path].first;
    out_.version = h.version;
    out_.since = h.since;
    out_.until = h.until;
    row_(out_);
  }
  held_.clear();
}

}  // namespace vurfleet
