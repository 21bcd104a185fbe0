// What both stores do alike to answer Holdings: the paths of the names,
// each once and ranked by their text, and each machine's intervals of
// them handed on in path order, then by since, as Holdings promises.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "history/history.h"
#include "query/rows.h"

namespace vurfleet {

class HoldingsOrder {
 public:
  // `paths`: (text, id) of the names' paths, in any order, each once.
  HoldingsOrder(std::vector<std::pair<std::string, PathId>> paths,
                const std::function<void(const HoldingRow&)>& row);

  bool empty() const { return paths_.empty(); }
  std::size_t size() const { return paths_.size(); }
  // The paths' ids as runs of consecutive numbers, (first, last) in
  // order: a name's paths are often interned together, and a run is one
  // seek in an index by path.
  std::vector<std::pair<PathId, PathId>> IdRuns() const;
  // Whether the path is one of them: a test for each interval a store
  // reads, so an array when the ids lie close together.
  bool Holds(PathId path) const { return RankOf(path) != kNone; }

  // One interval of `machine`; a machine's intervals come together.
  void Add(std::string_view machine, PathId path, Time since, std::optional<Time> until,
           const Version& version);
  // Hands on what is held of the last machine.
  void Finish();

 private:
  struct Held {
    std::uint32_t path;
    Time since;
    std::optional<Time> until;
    Version version;
  };

  static constexpr std::uint32_t kNone = UINT32_MAX;
  std::uint32_t RankOf(PathId path) const {
    if (!dense_.empty()) {
      return path >= low_ && static_cast<std::uint64_t>(path - low_) < dense_.size()
                 ? dense_[static_cast<std::size_t>(path - low_)]
                 : kNone;
    }
    const auto it = rank_.find(path);
    return it == rank_.end() ? kNone : it->second;
  }

  std::vector<std::pair<std::string, PathId>> paths_;  // by text
  // Each path's rank among them: by id from low_ when the ids are close
  // together, else in a map.
  PathId low_ = 0;
  std::vector<std::uint32_t> dense_;
  std::unordered_map<PathId, std::uint32_t> rank_;
  const std::function<void(const HoldingRow&)>& row_;
  std::vector<Held> held_;
  HoldingRow out_;
};

}  // namespace vurfleet
