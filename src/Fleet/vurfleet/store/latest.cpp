#include "store/latest.h"

#include <cstring>

#include "base/varint.h"

namespace vurfleet {

std::string EncodeLatest(const std::vector<LineRun>& runs, const std::vector<Entry>& entries) {
  std::string out;
  out.reserve(runs.size() * 10 + entries.size() * 4);
  PutVarint(&out, runs.size());
  for (const LineRun& run : runs) {
    char digest[8];
    std::memcpy(digest, &run.digest, 8);
    out.append(digest, 8);
    PutVarint(&out, run.count);
  }
  std::int64_t previous = 0;
  for (const Entry& e : entries) {
    PutVarint(&out, ZigZag(e.path - previous));
    PutVarint(&out, static_cast<std::uint64_t>(e.version));
    previous = e.path;
  }
  return out;
}

// The runs (into `runs` unless null), then the entries.
static bool Decode(std::string_view bytes, std::vector<LineRun>* runs, std::vector<Entry>* entries) {
  std::size_t pos = 0;
  std::uint64_t count = 0;
  if (!GetVarint(bytes, &pos, &count) || count > bytes.size()) return false;
  std::uint64_t lines = 0;
  for (std::uint64_t k = 0; k < count; ++k) {
    LineRun run{static_cast<std::uint32_t>(lines), 0, 0};
    std::uint64_t length = 0;
    if (pos + 8 > bytes.size()) return false;
    std::memcpy(&run.digest, bytes.data() + pos, 8);
    pos += 8;
    if (!GetVarint(bytes, &pos, &length) || length == 0 || length > bytes.size()) return false;
    run.count = static_cast<std::uint32_t>(length);
    lines += length;
    if (runs != nullptr) runs->push_back(run);
  }
  if (lines > bytes.size()) return false;  // each entry takes two bytes at least
  entries->clear();
  entries->reserve(static_cast<std::size_t>(lines));
  std::int64_t previous = 0;
  for (std::uint64_t k = 0; k < lines; ++k) {
    std::uint64_t delta = 0, version = 0;
    if (!GetVarint(bytes, &pos, &delta) || !GetVarint(bytes, &pos, &version)) return false;
    // In unsigned arithmetic: a damaged blob may hold any difference.
    previous = static_cast<std::int64_t>(static_cast<std::uint64_t>(previous) +
                                         static_cast<std::uint64_t>(UnZigZag(delta)));
    entries->push_back(Entry{previous, static_cast<VersionId>(version)});
  }
  return pos == bytes.size();
}

std::optional<LatestRuns> DecodeLatest(std::string_view bytes, bool exact) {
  LatestRuns latest;
  latest.exact = exact;
  if (!Decode(bytes, &latest.runs, &latest.entries)) return std::nullopt;
  return latest;
}

bool DecodeLatestEntries(std::string_view bytes, std::vector<Entry>* entries) {
  return Decode(bytes, nullptr, entries);
}

}  // namespace vurfleet
