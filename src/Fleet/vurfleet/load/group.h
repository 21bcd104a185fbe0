// A group of the load in a transaction of its own, tried again while the
// database asks: one loop for the loader and forget.
#pragma once

#include <string>
#include <vector>

#include "store/load_target.h"

namespace vurfleet {

// Times a group is tried when the database asks (RetryError: a lock held
// too long, a deadlock) before the error ends the load.
constexpr int kGroupAttempts = 10;

// Runs `work` in a group with `machines` locked, and commits it; again,
// from the start, while the target asks, up to kGroupAttempts times. Any
// error rolls the group back and is thrown on.
template <typename Work>
auto InGroup(LoadTarget& target, const std::vector<std::string>& machines, Work work) {
  for (int attempt = 1;; ++attempt) {
    try {
      target.BeginGroup(machines);
      auto result = work();
      target.CommitGroup();
      return result;
    } catch (const RetryError&) {
      target.AbandonGroup();
      if (attempt == kGroupAttempts) throw;
    } catch (...) {
      target.AbandonGroup();
      throw;
    }
  }
}

}  // namespace vurfleet
