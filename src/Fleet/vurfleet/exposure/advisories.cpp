#include "exposure/advisories.h"

#include <csv.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <unordered_map>

#include "base/text.h"
#include "base/time.h"
#include "read/decode.h"

namespace vurfleet {
namespace {

enum Column { kId, kName, kPath, kAffectedFrom, kFixed, kSeverity, kPublished, kTitle, kUrl, kColumns };
constexpr std::array<std::string_view, kColumns> kColumnNames = {
    "id", "name", "path", "affected_from", "fixed", "severity", "published", "title", "url"};
constexpr const char* kColumnList =
    "id, name, path, affected_from, fixed, severity, published, title, url";

std::string Quoted(std::string_view text) {
  constexpr std::size_t kShown = 60;
  if (text.size() <= kShown) return "'" + std::string(text) + "'";
  std::size_t end = kShown;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return "'" + std::string(text.substr(0, end)) + "...'";
}

// The records of the text, each with the line it starts on, handed on one
// at a time so that memory holds one record, not the file's. libcsv is fed
// one line at a time, so that a fault is known by its line; a record ends
// at a line end outside quotes (the decoded text has no lone carriage
// return), and an empty line between records is none.
class Records {
 public:
  struct Record {
    int line;
    std::vector<std::string> fields;
  };
  // Takes a record; fills the refusal and returns false to stop.
  using Handler = std::function<bool(Record&, Refusal*)>;

  Records() { csv_init(&parser_, CSV_STRICT | CSV_STRICT_FINI | CSV_APPEND_NULL); }
  ~Records() { csv_free(&parser_); }
  Records(const Records&) = delete;
  Records& operator=(const Records&) = delete;

  // Parses `text`, handing on each record; on a fault, fills `refusal` and
  // returns false.
  bool Parse(std::string_view text, const Handler& handler, Refusal* refusal) {
    handler_ = &handler;
    refusal_ = refusal;
    // Spaces are part of a field (RFC 4180); libcsv trims them by default.
    csv_set_space_func(&parser_, [](unsigned char) { return 0; });
    int line = 0;
    std::size_t pos = 0;
    bool open = false;  // a record is under way
    while (pos < text.size()) {
      ++line;
      std::size_t end = text.find('\n', pos);
      end = end == std::string_view::npos ? text.size() : end + 1;
      const std::string_view piece = text.substr(pos, end - pos);
      pos = end;
      const bool blank = piece == "\n" || piece == "\r\n" || piece == "\r";
      if (!open && !blank) start_ = line;
      const std::size_t ended = records_;
      if (csv_parse(&parser_, piece.data(), piece.size(), &Records::Field, &Records::End, this) !=
          piece.size()) {
        *refusal = Refusal{line, "not CSV (RFC 4180): a quote inside a field that is not quoted, "
                                 "or text after a closing quote"};
        return false;
      }
      if (stopped_) return false;
      open = records_ == ended ? (open || !blank) : false;
    }
    if (csv_fini(&parser_, &Records::Field, &Records::End, this) != 0) {
      *refusal = Refusal{start_, "not CSV (RFC 4180): a quoted field that does not end"};
      return false;
    }
    return !stopped_;
  }

  std::size_t count() const { return records_; }

 private:
  static void Field(void* bytes, std::size_t size, void* self) {
    Records* r = static_cast<Records*>(self);
    if (!r->stopped_) r->record_.fields.emplace_back(static_cast<const char*>(bytes), size);
  }
  static void End(int, void* self) {
    Records* r = static_cast<Records*>(self);
    ++r->records_;
    if (!r->stopped_) {
      r->record_.line = r->start_;
      r->stopped_ = !(*r->handler_)(r->record_, r->refusal_);
    }
    r->record_.fields.clear();
  }

  csv_parser parser_;
  int start_ = 1;
  Record record_{0, {}};
  std::size_t records_ = 0;
  bool stopped_ = false;
  const Handler* handler_ = nullptr;
  Refusal* refusal_ = nullptr;
};

std::optional<Severity> SeverityOf(std::string_view text) {
  for (const Severity s : {Severity::kCritical, Severity::kHigh, Severity::kMedium, Severity::kLow,
                           Severity::kNone}) {
    if (SeverityName(s) == text) return s;
  }
  return std::nullopt;
}

bool IsDate(std::string_view text) {
  return text.size() == 10 && ParseTimeArgument(text).has_value();
}

// The first control character of `text` (strict UTF-8), or 0.
char32_t ControlIn(std::string_view text) {
  std::size_t pos = 0;
  char32_t c;
  while (pos < text.size() && NextCodePoint(text, &pos, &c)) {
    if (IsControl(c)) return c;
  }
  return 0;
}

}  // namespace

std::string_view SeverityName(Severity severity) {
  switch (severity) {
    case Severity::kCritical: return "critical";
    case Severity::kHigh: return "high";
    case Severity::kMedium: return "medium";
    case Severity::kLow: return "low";
    case Severity::kNone: break;
  }
  return "";
}

namespace {

// The rows after the header, each checked and kept as it comes.
class Reader {
 public:
  std::optional<Refusal> Take(const Records::Record& record) {
    if (!header_) {
      header_ = record;
      return Header();
    }
    if (out_.rules.size() >= kMaxAdvisoryRules) {
      return Refusal{record.line, "more than " + std::to_string(kMaxAdvisoryRules) +
                                      " rules: an advisories file holds at most that many rows"};
    }
    return Row(record);
  }
  bool has_header() const { return header_.has_value(); }
  int header_line() const { return header_->line; }
  Advisories& out() { return out_; }

 private:
  std::optional<Refusal> Header() {
    const Records::Record& header = *header_;
    // Which column each field is.
    at_.fill(-1);
    for (std::size_t k = 0; k < header.fields.size(); ++k) {
      const std::string& name = header.fields[k];
      std::size_t c = 0;
      while (c < kColumns && kColumnNames[c] != name) ++c;
      if (c == kColumns) {
        return Refusal{header.line, "unknown column " + Printable(Quoted(name)) + " (the columns are " +
                                        kColumnList + ")"};
      }
      if (at_[c] >= 0) return Refusal{header.line, "the column '" + name + "' twice"};
      at_[c] = static_cast<int>(k);
    }
    for (const Column required : {kId, kName}) {
      if (at_[required] < 0) {
        return Refusal{header.line, "no '" + std::string(kColumnNames[required]) +
                                        "' column (the columns are " + kColumnList + ")"};
      }
    }
    return std::nullopt;
  }

  std::optional<Refusal> Row(const Records::Record& record) {
    const Records::Record& header = *header_;
    Advisories& out = out_;
    const int line = record.line;
    if (record.fields.size() != header.fields.size()) {
      return Refusal{line, std::to_string(record.fields.size()) + " fields; the header has " +
                               std::to_string(header.fields.size())};
    }
    for (std::size_t k = 0; k < record.fields.size(); ++k) {
      if (const char32_t c = ControlIn(record.fields[k])) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
        return Refusal{line, std::string("the control character ") + code + " in '" + header.fields[k] +
                                 "'"};
      }
    }
    const auto field = [&](Column c) -> const std::string& {
      static const std::string kEmpty;
      return at_[c] < 0 ? kEmpty : record.fields[static_cast<std::size_t>(at_[c])];
    };

    const std::string& id = field(kId);
    if (id.empty()) return Refusal{line, "no id"};
    const std::string& name = field(kName);
    if (name.empty()) return Refusal{line, "no name"};
    if (name.find('\\') != std::string::npos) {
      return Refusal{line, "the name " + Quoted(name) +
                               " holds a backslash, which no file name does: give the folders in 'path'"};
    }
    std::optional<Version> bounds[2];
    for (const Column c : {kAffectedFrom, kFixed}) {
      const std::string& text = field(c);
      if (text.empty()) continue;
      const std::optional<Version> version = Version::ParseArgument(text);
      if (!version) {
        return Refusal{line, std::string(kColumnNames[c]) + " " + Quoted(text) +
                                 " is no version: give 1 to 4 numbers 0-65535 separated by dots"};
      }
      bounds[c == kFixed] = version;
    }
    if (bounds[0] && bounds[1] && bounds[1]->value() <= bounds[0]->value()) {
      return Refusal{line, "fixed " + Quoted(field(kFixed)) + " is not above affected_from " +
                               Quoted(field(kAffectedFrom))};
    }
    const std::optional<Severity> severity = SeverityOf(field(kSeverity));
    if (!severity) {
      return Refusal{line, "unknown severity " + Quoted(field(kSeverity)) +
                               ": give critical, high, medium or low, or leave it empty"};
    }
    if (!field(kPublished).empty() && !IsDate(field(kPublished))) {
      return Refusal{line, "published " + Quoted(field(kPublished)) + " is no date: give YYYY-MM-DD"};
    }

    Advisory advisory{id, *severity, field(kPublished), field(kTitle), field(kUrl), line};
    const auto [known, added] = by_id_.emplace(id, static_cast<std::uint32_t>(out.advisories.size()));
    if (added) {
      const auto [folded, fresh] = by_folded_id_.emplace(FoldCase(id), known->second);
      if (!fresh) {
        const Advisory& other = out.advisories[folded->second];
        return Refusal{line, "the id " + Quoted(id) + " differs only in case from " + Quoted(other.id) +
                                 " on line " + std::to_string(other.line)};
      }
      out.advisories.push_back(std::move(advisory));
    } else {
      // Rows of one id must say the same of it.
      const Advisory& first = out.advisories[known->second];
      const std::pair<Column, std::pair<const std::string*, const std::string*>> texts[] = {
          {kTitle, {&first.title, &advisory.title}},
          {kUrl, {&first.url, &advisory.url}},
          {kPublished, {&first.published, &advisory.published}}};
      const std::string first_severity(SeverityName(first.severity));
      const std::string this_severity(SeverityName(advisory.severity));
      if (first_severity != this_severity) {
        return Refusal{line, "the id " + Quoted(id) + " has severity " + Quoted(first_severity) +
                                 " on line " + std::to_string(first.line) + " and " +
                                 Quoted(this_severity) + " here"};
      }
      for (const auto& [column, pair] : texts) {
        if (*pair.first != *pair.second) {
          return Refusal{line, "the id " + Quoted(id) + " has another " +
                                   std::string(kColumnNames[column]) + " on line " +
                                   std::to_string(first.line) + ": " + Quoted(*pair.first) +
                                   ", here " + Quoted(*pair.second)};
        }
      }
    }
    AdvisoryRule rule{known->second, Glob(name), std::nullopt, bounds[0], bounds[1], line};
    if (!field(kPath).empty()) rule.path.emplace(field(kPath));
    out.rules.push_back(std::move(rule));
    return std::nullopt;
  }

  std::optional<Records::Record> header_;
  std::array<int, kColumns> at_;
  Advisories out_;
  std::unordered_map<std::string, std::uint32_t> by_id_;
  std::unordered_map<std::string, std::uint32_t> by_folded_id_;
};

}  // namespace

std::variant<Advisories, Refusal> ReadAdvisories(std::string bytes) {
  if (bytes.empty()) return Refusal{1, "empty file: no header row"};
  const Decoded decoded = Decode(std::move(bytes));
  if (decoded.bad_line != 0) return Refusal{decoded.bad_line, decoded.why};
  if (decoded.cut_in_character) {
    return Refusal{static_cast<int>(std::count(decoded.text.begin(), decoded.text.end(), '\n')) + 1,
                   "not text: the file ends inside a character"};
  }
  Reader reader;
  Records parsed;
  Refusal refusal;
  const auto take = [&](Records::Record& record, Refusal* why) {
    std::optional<Refusal> refused = reader.Take(record);
    if (refused) *why = std::move(*refused);
    return !refused;
  };
  if (!parsed.Parse(decoded.text, take, &refusal)) return refusal;
  if (!reader.has_header()) return Refusal{1, "empty file: no header row"};
  if (parsed.count() == 1) {
    return Refusal{reader.header_line(), "no advisory: the header is the only row"};
  }
  return std::move(reader.out());
}

Advisories SelectAdvisories(const Advisories& all, const Glob& id) {
  Advisories out;
  std::vector<std::uint32_t> renumbered(all.advisories.size(), UINT32_MAX);
  for (std::size_t a = 0; a < all.advisories.size(); ++a) {
    if (!id.Matches(all.advisories[a].id)) continue;
    renumbered[a] = static_cast<std::uint32_t>(out.advisories.size());
    out.advisories.push_back(all.advisories[a]);
  }
  for (const AdvisoryRule& rule : all.rules) {
    if (renumbered[rule.advisory] == UINT32_MAX) continue;
    out.rules.push_back(rule);
    out.rules.back().advisory = renumbered[rule.advisory];
  }
  return out;
}

}  // namespace vurfleet
