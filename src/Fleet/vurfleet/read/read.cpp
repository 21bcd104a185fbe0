#include "read/read.h"

#include <cstring>
#include <algorithm>

#include "base/id_table.h"
#include "base/text.h"

#include "read/decode.h"

namespace vurfleet {
namespace {

constexpr std::string_view kStarted = "# Started";
constexpr std::string_view kComplete = "# Complete";
constexpr std::string_view kError = "# ERROR: ";
constexpr std::string_view kStampExample = "Tue, 08 Dec 2026 04:03:56 -0700";

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
  IdTable index_of(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
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
    ++scan.report_lines;
    if (const std::optional<std::int64_t> found = index_of.Find(path)) {
      const std::size_t earlier = static_cast<std::size_t>(*found);
      if (scan.reports[earlier].version != *version) {
        return Refusal{line_number, "the path of line " + std::to_string(line_of[earlier]) +
                                        " again, with another version: " + Quoted(path)};
      }
      continue;  // the same line again: nothing new
    }
    index_of.Insert(path, static_cast<std::int64_t>(scan.reports.size()));
    scan.reports.push_back(ReportLine{path, *version});
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
