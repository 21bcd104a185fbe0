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
  explicit HoldingsOrder(const std::function<void(const HoldingRow&)>& row) : row_(row) {}

  // A path of the names, in any order; one given again is kept once. The
  // texts share one buffer: the names may have a path on every machine.
  void AddPath(std::string_view text, PathId id);
  // Room for `paths` more paths of `bytes` of text in all: a buffer grown
  // step by step is copied, and its fresh pages cost.
  void Reserve(std::size_t paths, std::size_t bytes) {
    paths_.reserve(paths_.size() + paths);
    texts_.reserve(texts_.size() + bytes);
  }
  // After the paths: ranks them by their text.
  void Rank();

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

  struct Path {
    std::size_t at, length;  // in texts_
    PathId id;
  };
  std::string_view TextOf(const Path& path) const { return std::string_view(texts_).substr(path.at, path.length); }

  std::string texts_;
  std::vector<Path> paths_;  // by text once ranked
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
