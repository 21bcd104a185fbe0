#include "exposure/rules_file.h"

#include <csv.h>

#include <algorithm>
#include <cstdio>

#include "base/text.h"
#include "base/time.h"
#include "read/decode.h"

namespace vurfleet {
namespace {

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

// The first control character of `text` (strict UTF-8), or 0.
char32_t ControlIn(std::string_view text) {
  std::size_t pos = 0;
  char32_t c;
  while (pos < text.size() && NextCodePoint(text, &pos, &c)) {
    if (IsControl(c)) return c;
  }
  return 0;
}

// The header, then each row checked for its form and handed on.
class Reader {
 public:
  Reader(const RuleColumns& columns, const RuleFileLimits& limits,
         const std::function<std::optional<Refusal>(const RuleRow&)>& row)
      : columns_(columns), limits_(limits), row_(row), at_(columns.names.size(), -1) {}

  std::optional<Refusal> Take(const Records::Record& record) {
    if (!header_) {
      header_ = record;
      return Header();
    }
    if (rows_ >= limits_.max_rows) {
      return Refusal{record.line, "more than " + std::to_string(limits_.max_rows) + " rules: an " +
                                      limits_.kind + " file holds at most that many rows"};
    }
    ++rows_;
    return Row(record);
  }
  bool has_header() const { return header_.has_value(); }
  int header_line() const { return header_->line; }

 private:
  std::optional<Refusal> Header() {
    const Records::Record& header = *header_;
    for (std::size_t k = 0; k < header.fields.size(); ++k) {
      const std::string& name = header.fields[k];
      const auto c = std::find(columns_.names.begin(), columns_.names.end(), name);
      if (c == columns_.names.end()) {
        return Refusal{header.line, "unknown column " + Printable(Quoted(name)) + " (the columns are " +
                                        columns_.list + ")"};
      }
      int& at = at_[static_cast<std::size_t>(c - columns_.names.begin())];
      if (at >= 0) return Refusal{header.line, "the column '" + name + "' twice"};
      at = static_cast<int>(k);
    }
    for (const std::size_t required : columns_.required) {
      if (at_[required] < 0) {
        return Refusal{header.line, "no '" + std::string(columns_.names[required]) +
                                        "' column (the columns are " + columns_.list + ")"};
      }
    }
    return std::nullopt;
  }

  std::optional<Refusal> Row(const Records::Record& record) {
    const Records::Record& header = *header_;
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
    return row_(RuleRow{line, &record.fields, &at_});
  }

  const RuleColumns& columns_;
  const RuleFileLimits& limits_;
  const std::function<std::optional<Refusal>(const RuleRow&)>& row_;
  std::optional<Records::Record> header_;
  std::vector<int> at_;
  std::size_t rows_ = 0;
};

}  // namespace

const std::string& RuleRow::operator[](std::size_t column) const {
  static const std::string kEmpty;
  const int k = (*at)[column];
  return k < 0 ? kEmpty : (*fields)[static_cast<std::size_t>(k)];
}

std::string Quoted(std::string_view text) {
  constexpr std::size_t kShown = 60;
  if (text.size() <= kShown) return "'" + std::string(text) + "'";
  std::size_t end = kShown;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return "'" + std::string(text.substr(0, end)) + "...'";
}

bool IsDate(std::string_view text) {
  return text.size() == 10 && ParseTimeArgument(text).has_value();
}

std::optional<Refusal> ReadRuleRows(std::string bytes, const RuleColumns& columns,
                                    const RuleFileLimits& limits,
                                    const std::function<std::optional<Refusal>(const RuleRow&)>& row) {
  if (bytes.empty()) return Refusal{1, "empty file: no header row"};
  const Decoded decoded = Decode(std::move(bytes));
  if (decoded.bad_line != 0) return Refusal{decoded.bad_line, decoded.why};
  if (decoded.cut_in_character) {
    return Refusal{static_cast<int>(std::count(decoded.text.begin(), decoded.text.end(), '\n')) + 1,
                   "not text: the file ends inside a character"};
  }
  Reader reader(columns, limits, row);
  Records parsed;
  Refusal refusal;
  const auto take = [&](Records::Record& record, Refusal* why) {
    std::optional<Refusal> refused = reader.Take(record);
    if (refused) *why = std::move(*refused);
    return !refused;
  };
  if (!parsed.Parse(decoded.text, take, &refusal)) return refusal;
  if (!reader.has_header()) return Refusal{1, "empty file: no header row"};
  if (parsed.count() == 1) return Refusal{reader.header_line(), limits.none};
  return std::nullopt;
}

std::optional<Refusal> ReadRuleMatch(const RuleRow& row, const RuleColumns& columns, std::size_t name_column,
                                     std::size_t path, std::size_t from, std::size_t below,
                                     std::optional<RuleMatch>* match) {
  const int line = row.line;
  const std::string& name = row[name_column];
  if (name.empty()) return Refusal{line, "no name"};
  if (name.find('\\') != std::string::npos) {
    return Refusal{line, "the name " + Quoted(name) +
                             " holds a backslash, which no file name does: give the folders in 'path'"};
  }
  std::optional<Version> bounds[2];
  for (const std::size_t c : {from, below}) {
    const std::string& text = row[c];
    if (text.empty()) continue;
    const std::optional<Version> version = Version::ParseArgument(text);
    if (!version) {
      return Refusal{line, std::string(columns.names[c]) + " " + Quoted(text) +
                               " is no version: give 1 to 4 numbers 0-65535 separated by dots"};
    }
    bounds[c == below] = version;
  }
  if (bounds[0] && bounds[1] && bounds[1]->value() <= bounds[0]->value()) {
    return Refusal{line, std::string(columns.names[below]) + " " + Quoted(row[below]) + " is not above " +
                             std::string(columns.names[from]) + " " + Quoted(row[from])};
  }
  match->emplace(RuleMatch{Glob(name), std::nullopt, bounds[0], bounds[1]});
  if (!row[path].empty()) (*match)->path.emplace(row[path]);
  return std::nullopt;
}

RuleKeys::RuleKeys(const RuleColumns& columns, std::vector<Own> own, const char* noun)
    : columns_(columns), own_(std::move(own)), noun_(noun) {}

std::optional<Refusal> RuleKeys::Add(const RuleRow& row, const std::string& key, Added* added) {
  const auto [known, fresh] = by_key_.emplace(key, static_cast<std::uint32_t>(firsts_.size()));
  *added = Added{known->second, fresh};
  const std::string said = std::string("the ") + noun_ + " " + Quoted(key);
  if (fresh) {
    const auto [folded, unseen] = by_folded_.emplace(FoldCase(key), known->second);
    if (!unseen) {
      const First& other = firsts_[folded->second];
      return Refusal{row.line, said + " differs only in case from " + Quoted(other.key) + " on line " +
                                   std::to_string(other.line)};
    }
    First first{key, row.line, {}};
    for (const Own& own : own_) first.own.push_back(row[own.column]);
    firsts_.push_back(std::move(first));
    return std::nullopt;
  }
  // Rows of one key must say the same of it.
  const First& first = firsts_[known->second];
  for (std::size_t k = 0; k < own_.size(); ++k) {
    const std::string& here = row[own_[k].column];
    if (here == first.own[k]) continue;
    const std::string column(columns_.names[own_[k].column]);
    if (own_[k].brief) {
      return Refusal{row.line, said + " has " + column + " " + Quoted(first.own[k]) + " on line " +
                                   std::to_string(first.line) + " and " + Quoted(here) + " here"};
    }
    return Refusal{row.line, said + " has another " + column + " on line " + std::to_string(first.line) +
                                 ": " + Quoted(first.own[k]) + ", here " + Quoted(here)};
  }
  return std::nullopt;
}

}  // namespace vurfleet
