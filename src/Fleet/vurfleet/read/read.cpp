#include "read/read.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "base/text.h"

#include "read/decode.h"

namespace vurfleet {
namespace {

constexpr std::string_view kStarted = "# Started";
constexpr std::string_view kComplete = "# Complete";
constexpr std::string_view kError = "# ERROR: ";
constexpr std::string_view kStampExample = "Tue, 08 Dec 2026 04:03:56 -0700";
// The longest path Windows allows, in UTF-16 units. The longest lines the
// scanner prints name a folder and a file in it ("# ERROR: Using
// FindNextFileW in directory ... after file ..."); none comes near twice that.
constexpr std::size_t kLongestPath = 32767;
constexpr std::size_t kLongestLine = 2 * 32768;

enum class Expect { kStarted, kStartStamp, kBody, kCompleteStamp, kAfter };

// An excerpt of a line for a refusal, which reaches a terminal or a journal:
// its controls shown as Printable shows them.
std::string Quoted(std::string_view text) {
  constexpr std::size_t kShown = 60;
  if (text.size() <= kShown) return "'" + Printable(text) + "'";
  // Cut on a character boundary.
  std::size_t end = kShown;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return "'" + Printable(text.substr(0, end)) + "...'";
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// UTF-16 code units of strict UTF-8 text: one a character, two for one
// beyond U+FFFF (a four-byte sequence).
std::size_t Utf16Units(std::string_view text) {
  std::size_t units = 0;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    units += (byte & 0xC0) != 0x80;
    units += byte >= 0xF0;
  }
  return units;
}

// Whether `text` holds more than `limit` UTF-16 units. A UTF-16 unit takes
// at least one byte of UTF-8, so only a text of more bytes is counted.
bool LongerThan(std::string_view text, std::size_t limit) {
  return text.size() > limit && Utf16Units(text) > limit;
}

// What the scanner prints as a path: a drive's ("C:\...") or a share's
// ("\\server\...").
bool IsWindowsPath(std::string_view path) {
  if (StartsWith(path, "\\\\")) return true;
  if (path.size() < 3) return false;
  const char drive = path[0];
  return ((drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z')) && path[1] == ':' &&
         path[2] == '\\';
}

// The report lines read so far, by path: an index into the scan's reports.
// It grows with the report lines, not with the lines of the file, so a file
// of blank lines costs nothing here. Open addressing, at most half full.
class PathIndex {
 public:
  explicit PathIndex(const std::vector<ReportLine>& reports) : reports_(reports) {}

  // The index of the report line with this path, or -1.
  std::int64_t Find(std::string_view path) const {
    if (slots_.empty()) return -1;
    const std::uint64_t hash = Hash(path);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.index_plus_one == 0) return -1;
      if (slot.hash == static_cast<std::uint32_t>(hash) &&
          reports_[slot.index_plus_one - 1].path == path) {
        return slot.index_plus_one - 1;
      }
    }
  }

  // Adds reports_[index], whose path is not yet held.
  void Insert(std::size_t index) {
    if ((size_ + 1) * 2 > slots_.size()) Grow();
    Place(Slot{static_cast<std::uint32_t>(Hash(reports_[index].path)),
               static_cast<std::uint32_t>(index + 1)});
    ++size_;
  }

 private:
  struct Slot {
    std::uint32_t hash = 0;            // the low bits of the path's hash
    std::uint32_t index_plus_one = 0;  // 0: empty
  };

  static std::uint64_t Hash(std::string_view path) { return std::hash<std::string_view>{}(path); }

  void Place(Slot slot) {
    // The low bits of the hash choose the slot, so the kept 32 bits suffice
    // to place it again in a table of up to 2^32 slots.
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = slot.hash & mask;
    while (slots_[i].index_plus_one != 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }

  void Grow() {
    std::vector<Slot> old(slots_.empty() ? 64 : slots_.size() * 2);
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.index_plus_one != 0) Place(slot);
    }
  }

  const std::vector<ReportLine>& reports_;
  std::vector<Slot> slots_;  // a power of two
  std::size_t size_ = 0;
};

}  // namespace

std::variant<Scan, Refusal> ReadScan(std::string bytes) {
  if (bytes.empty()) return Refusal{1, "empty file"};
  Decoded decoded = Decode(std::move(bytes));
  if (decoded.bad_line != 0) return Refusal{decoded.bad_line, decoded.why};
  const std::string_view text = decoded.text;
  if (text.empty()) return Refusal{1, "empty file"};

  Scan scan;
  scan.holder = decoded.holder;
  Expect expect = Expect::kStarted;
  int complete_line = 0;
  // Where each path was reported, to refuse one path given two versions.
  PathIndex index_of(scan.reports);
  std::vector<int> line_of;

  int line_number = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    ++line_number;
    const char* start = text.data() + pos;
    const void* lf = std::memchr(start, '\n', text.size() - pos);
    const bool terminated = lf != nullptr;
    std::size_t length = terminated ? static_cast<const char*>(lf) - start : text.size() - pos;
    pos += length + (terminated ? 1 : 0);
    std::string_view line(start, length);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (!terminated) {
      // A write in progress, unless this is the stamp that ends the run: a
      // stamp has a fixed length, so a cut one never reads as a stamp.
      const bool completes = expect == Expect::kCompleteStamp && !decoded.cut_in_character &&
                             StartsWith(line, "# ") && ParseStamp(line.substr(2)).has_value();
      if (!completes) {
        if (expect == Expect::kCompleteStamp) expect = Expect::kBody;  // not finished yet
        scan.unterminated_tail = true;
        break;
      }
    }

    switch (expect) {
      case Expect::kStartStamp:
      case Expect::kCompleteStamp: {
        const bool start = expect == Expect::kStartStamp;
        const std::optional<Time> stamp =
            StartsWith(line, "# ") ? ParseStamp(line.substr(2)) : std::nullopt;
        if (!stamp) {
          return Refusal{line_number, std::string("'") + (start ? "# Started" : "# Complete") +
                                          "' is not followed by a time stamp such as '# " +
                                          std::string(kStampExample) + "': " + Quoted(line)};
        }
        if (start) {
          scan.started = *stamp;
          expect = Expect::kBody;
        } else {
          scan.completed = *stamp;
          expect = Expect::kAfter;
        }
        continue;
      }
      default:
        break;
    }

    if (line.empty()) continue;
    if (line[0] == '#') {
      if (LongerThan(line, kLongestLine)) {
        return Refusal{line_number, "a line longer than any the scanner prints (" +
                                        std::to_string(kLongestLine) +
                                        " UTF-16 units): " + Quoted(line)};
      }
      if (StartsWith(line, kError)) {
        scan.errors.push_back(ErrorLine{line_number, line});
      } else if (line == kStarted) {
        if (expect != Expect::kStarted) {
          return Refusal{line_number, "a second '# Started' (line " +
                                          std::to_string(scan.started_line) +
                                          "): a file holds one run"};
        }
        scan.started_line = line_number;
        expect = Expect::kStartStamp;
      } else if (line == kComplete) {
        if (expect == Expect::kStarted) {
          return Refusal{line_number, "'# Complete' before '# Started'"};
        }
        if (expect == Expect::kAfter) {
          return Refusal{line_number, "a second '# Complete' (line " +
                                          std::to_string(complete_line) +
                                          "): a file holds one run"};
        }
        complete_line = line_number;
        expect = Expect::kCompleteStamp;
      } else if (StartsWith(line, kStarted) || StartsWith(line, kComplete)) {
        // The scanner prints these two alone on their lines. Passed over as
        // a comment, such a line would leave the refusal to a later line.
        return Refusal{line_number, std::string("a line that begins as '") +
                                        (StartsWith(line, kStarted) ? "# Started" : "# Complete") +
                                        "' but holds more: " + Quoted(line)};
      }
      continue;
    }

    // A report line.
    if (expect == Expect::kStarted) {
      return Refusal{line_number, "a report line before '# Started': " + Quoted(line)};
    }
    if (expect == Expect::kAfter) {
      return Refusal{line_number, "a report line after '# Complete': " + Quoted(line)};
    }
    const std::size_t dash = line.rfind(" - ");
    if (dash == std::string_view::npos) {
      return Refusal{line_number, "a report line without ' - ' before its version: " +
                                      Quoted(line)};
    }
    const std::string_view path = line.substr(0, dash);
    const std::string_view version_text = line.substr(dash + 3);
    const std::optional<Version> version = Version::ParseReported(version_text);
    if (!version) {
      return Refusal{line_number, "a report line whose version is neither <none> nor four "
                                  "numbers 0-65535: " + Quoted(version_text)};
    }
    if (path.empty()) return Refusal{line_number, "a report line without a path"};
    if (!IsWindowsPath(path)) {
      return Refusal{line_number, "a report line whose path is not a Windows path (X:\\... or "
                                  "\\\\...): " + Quoted(path)};
    }
    if (LongerThan(path, kLongestPath)) {
      return Refusal{line_number, "a report line whose path is longer than Windows allows (" +
                                      std::to_string(kLongestPath) + " UTF-16 units): " +
                                      Quoted(path)};
    }
    ++scan.report_lines;
    if (const std::int64_t found = index_of.Find(path); found >= 0) {
      const std::size_t earlier = static_cast<std::size_t>(found);
      if (scan.reports[earlier].version != *version) {
        return Refusal{line_number, "the path of line " + std::to_string(line_of[earlier]) +
                                        " again, with another version: " + Quoted(path)};
      }
      continue;  // the same line again: nothing new
    }
    scan.reports.push_back(ReportLine{path, *version});
    index_of.Insert(scan.reports.size() - 1);
    line_of.push_back(line_number);
  }

  if (expect == Expect::kStarted) return Refusal{1, "no '# Started' line: not a scan"};
  if (expect == Expect::kStartStamp) {
    return Refusal{scan.started_line + 1, "'# Started' is not followed by a time stamp such as '# " +
                                              std::string(kStampExample) + "'"};
  }
  // "# Complete" without its stamp yet: the run was still being written.
  if (expect == Expect::kCompleteStamp || decoded.cut_in_character) scan.unterminated_tail = true;
  return scan;
}

}  // namespace vurfleet
