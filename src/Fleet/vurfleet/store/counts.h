// The counts the load keeps: for each file name, and each (file name,
// version), the machines whose inventory now (their open intervals) holds
// it. `programs` and the report read them instead of every machine's
// inventory. They change in the same transaction as the intervals, from
// what each file's write adds to and takes from its machine's inventory
// (FileWrite::came, ::left).
//
// To tell whether a machine still holds a name after one of its paths goes,
// each machine keeps its holds: (name, version, copies), one small blob a
// machine, sorted. The counts follow from the holds of all machines; the
// holds from the open intervals; `check` recounts both.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "history/history.h"
#include "store/load_target.h"

namespace vurfleet {

using NameId = std::int64_t;

// The version of a name's own count: machines holding it at any version.
constexpr VersionId kAnyVersion = -1;
// And of machines holding it at two versions or more: while there are
// none, the machines at a set of versions are their counts' sum.
constexpr VersionId kManyVersions = -2;

struct Held {
  NameId name = 0;
  VersionId version = 0;
  std::int64_t copies = 0;  // open intervals of the machine at this name and version
  friend bool operator==(const Held& a, const Held& b) {
    return a.name == b.name && a.version == b.version && a.copies == b.copies;
  }
};

// Varints: the number of entries, then each entry's name (as a difference
// from the one before), version and copies.
std::string EncodeHolds(const std::vector<Held>& holds);
// Nothing when the bytes are not such a blob, or not sorted and positive.
std::optional<std::vector<Held>> DecodeHolds(std::string_view bytes);

using CountKey = std::pair<NameId, VersionId>;

// Changes to counts by (name, version), gathered as they come and summed
// when read: a load's first files change thousands of counts each.
class CountChanges {
 public:
  void Add(const CountKey& key, std::int64_t change);
  void Add(const CountChanges& other);
  // Summed, in key order (the order both stores write them in, so that no
  // two writers meet in a cycle), none zero.
  std::vector<std::pair<CountKey, std::int64_t>> InKeyOrder() const;
  bool empty() const { return rows_.empty(); }
  void clear() { rows_.clear(); }

 private:
  void Sum();
  std::vector<std::pair<CountKey, std::int64_t>> rows_;
  std::size_t summed_ = 0;  // rows_ had this many when last summed
};

// A machine's holds after `left` goes and `came` comes, each (name,
// version) an open interval; what that does to the counts is added to
// `changes`. A hold that would go below no copies is kept at none (the
// holds were wrong; `check` says so and `--repair` recounts).
void ChangeHolds(std::vector<Held>* holds, const std::vector<std::pair<NameId, VersionId>>& left,
                 const std::vector<std::pair<NameId, VersionId>>& came, CountChanges* changes);

// The counts a machine's holds make, `sign` times (1: a machine added, -1:
// taken out).
void CountHolds(const std::vector<Held>& holds, int sign, CountChanges* changes);

// A machine's holds after `write` (its `left` and `came`), what that does
// to the counts added to `changes`; `names` has the name of each of their
// paths (a path without one is an error of the store's: StoreError).
void ChangeHolds(std::vector<Held>* holds, const FileWrite& write, const std::unordered_map<PathId, NameId>& names,
                 CountChanges* changes);

// The entries of `holds` of the names it holds at two versions or more.
// Each machine keeps them apart too (mixed_holds), a few bytes where its
// holds are kilobytes: with the counts, they give the machines holding a
// name at a version outside any set without every machine's holds.
std::vector<Held> MixedHolds(const std::vector<Held>& holds);

// How many times more than once the counts of `name` at the versions not
// among `shown` (sorted) count the machine whose mixed holds are `mixed`.
std::int64_t CountedAgain(const std::vector<Held>& mixed, NameId name, const std::vector<VersionId>& shown);

// A load's count changes as a store keeps them: a file's until its
// savepoint ends (kept, they join the group's; taken back, they go), the
// group's until its commit writes them with the intervals.
class CountKeeper {
 public:
  CountChanges& file() { return file_; }
  CountChanges& group() { return group_; }
  void EndFile(bool kept) {
    if (kept) group_.Add(file_);
    file_.clear();
  }
  void Clear() { file_.clear(), group_.clear(); }
  // Off while an upgrade moves rows before there are counts: it counts
  // afterwards, once.
  bool on = true;

 private:
  CountChanges file_, group_;
};

// Each path's name, from (path, name) pairs sorted by path: looked up by
// index where the ids are dense, as they are unless the file was tampered
// with, else sought in the sorted list.
class NameOfPath {
 public:
  explicit NameOfPath(std::vector<std::pair<PathId, NameId>> sorted);
  // None for a path not among them.
  std::optional<NameId> operator()(PathId path) const;

 private:
  std::vector<std::pair<PathId, NameId>> sorted_;
  std::vector<std::optional<NameId>> dense_;
};

// The holds and counts of the whole inventory, worked out from its open
// intervals as (machine, name, version), a machine's together.
struct Recount {
  // Takes one open interval.
  void Add(std::int64_t machine, NameId name, VersionId version);
  // Ends the last machine; then `counts` is whole.
  void Finish();

  std::function<void(std::int64_t machine, const std::vector<Held>& holds)> machine_done;
  CountChanges counts;

 private:
  std::optional<std::int64_t> machine_;
  std::vector<CountKey> open_;
};

}  // namespace vurfleet
