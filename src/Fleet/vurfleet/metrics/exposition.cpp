#include "metrics/exposition.h"

#include "base/text.h"

namespace vurfleet {

std::string LabelValue(std::string_view value) {
  const std::string shown = IsUtf8(value) ? std::string(value) : Printable(value);
  std::string out;
  out.reserve(shown.size());
  for (const char c : shown) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void Exposition::Family(std::string_view name, std::string_view help) {
  text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
  text_.append("# TYPE ").append(name).append(" gauge\n");
}

void Exposition::Start(std::string_view name, std::initializer_list<Label> labels) {
  text_.append(name);
  if (labels.size() > 0) {
    char separator = '{';
    for (const Label& label : labels) {
      text_ += separator;
      text_.append(label.name).append("=\"").append(LabelValue(label.value)).append("\"");
      separator = ',';
    }
    text_ += '}';
  }
  text_ += ' ';
}

void Exposition::Sample(std::string_view name, std::initializer_list<Label> labels, std::int64_t value) {
  Start(name, labels);
  text_.append(std::to_string(value)).append("\n");
}

void Exposition::Sample(std::string_view name, std::initializer_list<Label> labels, std::string_view value) {
  Start(name, labels);
  text_.append(value).append("\n");
}

}  // namespace vurfleet
