// What the files of rules kept beside the fleet share (the advisories file,
// the entitlements file): CSV (RFC 4180, a header row) of named columns,
// one rule a row, each naming files by a name pattern, a path pattern and
// a range of versions. One reader: the text's decoding, the CSV, the
// header, the field counts and control characters, the match columns and
// the rows of one key that must agree.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/glob.h"
#include "base/version.h"
#include "read/scan.h"

namespace vurfleet {

// The columns a file may have, and those it must.
struct RuleColumns {
  std::vector<std::string_view> names;
  std::vector<std::size_t> required;  // into names
  const char* list;                   // the names, as messages give them
};

// One row after the header: its fields by column, "" for a column the
// file lacks.
struct RuleRow {
  int line;
  const std::vector<std::string>* fields;
  const std::vector<int>* at;  // each column's field, or -1
  const std::string& operator[](std::size_t column) const;
};

struct RuleFileLimits {
  std::size_t max_rows;
  const char* kind;  // "advisories": "more than N rules: an advisories file ..."
  const char* none;  // the refusal of a file with a header alone
};

// Reads `bytes` (UTF-8, with or without its mark, or UTF-16LE with its
// mark) and hands each row to `row`, in file order; the first refusal, of
// the file or of `row`, ends the reading: a file that is not text or not
// CSV, a missing required column or an unknown or repeated one, a row
// whose field count is not the header's, a control character in any field,
// more than `limits.max_rows` rows, and a file without a row.
std::optional<Refusal> ReadRuleRows(std::string bytes, const RuleColumns& columns,
                                    const RuleFileLimits& limits,
                                    const std::function<std::optional<Refusal>(const RuleRow&)>& row);

// `text` quoted for a message, cut after 60 bytes.
std::string Quoted(std::string_view text);

// Whether `text` is a date, YYYY-MM-DD.
bool IsDate(std::string_view text);

// The match of a row: its file name pattern, its path pattern and its
// versions' bounds [from, below), read from the columns given (by index),
// or the refusal: no name, a name with a backslash, a bound that is no
// version, `below` at or below `from`.
struct RuleMatch {
  Glob name;
  std::optional<Glob> path;
  std::optional<Version> from;
  std::optional<Version> below;
};
std::optional<Refusal> ReadRuleMatch(const RuleRow& row, const RuleColumns& columns, std::size_t name,
                                     std::size_t path, std::size_t from, std::size_t below,
                                     std::optional<RuleMatch>* match);

// The keys of a file (an advisory's id, a pool), each kept once by its
// first row, refusing keys that differ only in case, and rows of one key
// whose own columns disagree with its first row's.
class RuleKeys {
 public:
  struct Added {
    std::uint32_t index;  // in order of first appearance
    bool fresh;           // the key's first row
  };
  // A column of the key's own, whose field every row of it repeats. A
  // disagreement is said "has C 'a' on line N and 'b' here" when `brief`,
  // else "has another C on line N: 'a', here 'b'".
  struct Own {
    std::size_t column;
    bool brief;
  };
  // `noun`: the key's name in messages ("id", "pool").
  RuleKeys(const RuleColumns& columns, std::vector<Own> own, const char* noun);
  std::optional<Refusal> Add(const RuleRow& row, const std::string& key, Added* added);

 private:
  struct First {
    std::string key;
    int line;
    std::vector<std::string> own;
  };
  const RuleColumns& columns_;
  std::vector<Own> own_;
  const char* noun_;
  std::vector<First> firsts_;
  std::unordered_map<std::string, std::uint32_t> by_key_;
  std::unordered_map<std::string, std::uint32_t> by_folded_;
};

}  // namespace vurfleet
