// Text for an HTML page: every value from the database goes through
// HtmlText, and every count through Count, so that a hostile name shows as
// text and a figure reads as people write it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vurfleet {

// `text` escaped for an element's content or a quoted attribute: & < > " '
// as references; bytes that are not strict UTF-8, control characters and
// the characters that reorder text (bidirectional embeddings, overrides and
// isolates) as U+FFFD, so that no value can hide or disguise what follows it.
std::string HtmlText(std::string_view text);

// 1234567 as "1,234,567".
std::string Count(std::int64_t value);

// `part` of `whole` as a percentage with one decimal ("33.3 %"); "0.0 %"
// when `whole` is 0.
std::string Share(std::int64_t part, std::int64_t whole);

// The same share as a number 0-100 with two decimals, for a bar's width.
std::string Width(std::int64_t part, std::int64_t whole);

}  // namespace vurfleet
