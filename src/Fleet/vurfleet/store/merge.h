// The upgrade's merge: two stored machines that the case rule makes one
// name become one machine, over the named operations of a load
// (store/load_target.h), in the caller's transaction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/load_target.h"

namespace vurfleet {

struct MachineMerge {
  std::int64_t scans = 0;  // the merged machine's, after
  // Copies of one run (the same start) that both machines held: the one
  // dropped, and the file of the one that stands.
  struct Dropped {
    ScanFacts copy;
    std::string standing;
  };
  std::vector<Dropped> dropped;
};

// Makes `from`'s scans `into`'s and takes `from` out (names as stored). `into`'s history is
// worked out again from all the scans, as a late scan's is: what each
// scan reported is recovered from its own machine's history (Replay), and
// the whole is built in start order. Of two copies of one run the one
// CompareCopies prefers stands (`into`'s, of two finished copies or of two
// unfinished ones alike) and the
// other is deleted. What was kept of `into`'s latest scan is dropped: the
// next load reads the open intervals instead. Memory is that of every
// scan's inventory of the two machines.
MachineMerge MergeMachines(LoadTarget& target, const std::string& into, const std::string& from);

// Stored machines that are one name under the case rule: the name as it is
// kept now, and the machines as stored, the one that stays first (the one
// stored under that name, else the first by name).
struct SameName {
  std::string name;
  std::vector<std::pair<MachineId, std::string>> machines;
};
// The groups of two or more among `machines` (id, name as stored).
std::vector<SameName> SameNames(const std::vector<std::pair<MachineId, std::string>>& machines);

// Merges each group into its first machine, and says what was done, a line
// each ("DB: upgraded to schema 2: merged the machines ..."), or
// "DB: upgraded to schema 2" when nothing was merged.
std::vector<std::string> MergeSameNames(LoadTarget& target, const std::vector<SameName>& groups,
                                        const std::string& db, int schema);

// What the next load does to an inventory of an older schema, for the
// readers' refusal: "the next vurfleet load upgrades it to schema 2" and
// the machines it merges.
std::string NextLoadUpgrades(const std::vector<SameName>& groups, int schema);

}  // namespace vurfleet
