#include "history/copies.h"

#include <tuple>

namespace vurfleet {

CopyVerdict CompareCopies(const RunCopy& stored, const RunCopy& incoming) {
  if (stored.finished) return incoming.finished ? CopyVerdict::kConflict : CopyVerdict::kKeepStored;
  if (incoming.finished) return CopyVerdict::kReplaceStored;
  const auto rank = [](const RunCopy& c) {
    return std::tie(c.report_lines, c.error_lines, c.sha256);
  };
  return rank(stored) < rank(incoming) ? CopyVerdict::kReplaceStored : CopyVerdict::kKeepStored;
}

}  // namespace vurfleet
