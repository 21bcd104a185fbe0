// The text exposition format a metrics collector reads: families of gauges,
// each its "# HELP" and "# TYPE" lines, then one sample a line.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace vurfleet {

// A label's name (a constant of ours) and its value (any bytes).
struct Label {
  std::string_view name;
  std::string_view value;
};

// `value` as a label's value between its quotes: backslash, double quote
// and line feed escaped as the format requires. Text that is not strict
// UTF-8 is first shown as the terminal output shows it (Printable), so
// that the file is always UTF-8.
std::string LabelValue(std::string_view value);

// The file's text, family by family. A family's samples follow its Family
// call, before the next family's.
class Exposition {
 public:
  // `name` and `help` are constants of ours: names of [a-z_], help with
  // neither backslash nor line feed.
  void Family(std::string_view name, std::string_view help);
  void Sample(std::string_view name, std::initializer_list<Label> labels, std::int64_t value);
  // A value written as given: a decimal number such as "12.5".
  void Sample(std::string_view name, std::initializer_list<Label> labels, std::string_view value);

  const std::string& text() const { return text_; }

 private:
  void Start(std::string_view name, std::initializer_list<Label> labels);

  std::string text_;
};

}  // namespace vurfleet
