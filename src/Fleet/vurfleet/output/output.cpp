#include "output/output.h"

#include <nlohmann/json.hpp>

#include "base/text.h"

namespace vurfleet {

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string CsvText(const std::string& text) {
  if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) {
    return CsvField("'" + text);
  }
  return CsvField(text);
}

RowWriter::RowWriter(std::ostream& out, Format format, std::vector<std::string> columns)
    : out_(out), format_(format), columns_(std::move(columns)) {
  if (format_ == Format::kCsv) {
    std::string line;
    for (std::size_t k = 0; k < columns_.size(); ++k) {
      if (k > 0) line.push_back(',');
      line += CsvField(columns_[k]);
    }
    out_ << line << "\r\n";
  }
  for (const std::string& name : columns_) widths_.push_back(DisplayWidth(name));
}

RowWriter::~RowWriter() {
  // An exception on the way out (a broken pipe, say) is not worth another.
  try {
    Finish();
  } catch (...) {
  }
}

void RowWriter::Row(std::vector<Cell> cells) {
  switch (format_) {
    case Format::kCsv: {
      std::string line;
      for (std::size_t k = 0; k < cells.size(); ++k) {
        if (k > 0) line.push_back(',');
        const Cell& cell = cells[k];
        line += cell.kind == Cell::Kind::kText ? CsvText(cell.text) : CsvField(cell.text);
      }
      out_ << line << "\r\n";
      return;
    }
    case Format::kJson: {
      nlohmann::ordered_json object = nlohmann::ordered_json::object();
      for (std::size_t k = 0; k < cells.size() && k < columns_.size(); ++k) {
        switch (cells[k].kind) {
          case Cell::Kind::kText: object[columns_[k]] = cells[k].text; break;
          case Cell::Kind::kNumber: object[columns_[k]] = std::stoll(cells[k].text); break;
          case Cell::Kind::kEmpty: object[columns_[k]] = nullptr; break;
        }
      }
      // Text is checked UTF-8 on the way in; anything else is replaced
      // rather than failing the whole output.
      out_ << object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
      return;
    }
    case Format::kColumns:
      // Text from the share reaches a terminal or a journal here: shown
      // with its controls and stray bytes made visible, and measured so.
      for (Cell& cell : cells) {
        if (cell.kind == Cell::Kind::kText) cell.text = Printable(cell.text);
      }
      if (measuring_) {
        for (std::size_t k = 0; k < cells.size() && k < widths_.size(); ++k) {
          widths_[k] = std::max(widths_[k], DisplayWidth(cells[k].text));
        }
        held_.push_back(std::move(cells));
        if (held_.size() >= kMeasuredRows) FlushHeld();
        return;
      }
      WriteColumns(cells);
      return;
  }
}

void RowWriter::FlushHeld() {
  if (!measuring_) return;
  measuring_ = false;
  std::vector<Cell> header;
  for (const std::string& name : columns_) header.push_back(Cell::Text(name));
  WriteColumns(header);
  for (const std::vector<Cell>& cells : held_) WriteColumns(cells);
  held_.clear();
  held_.shrink_to_fit();
}

void RowWriter::WriteColumns(const std::vector<Cell>& cells) {
  std::string line;
  for (std::size_t k = 0; k < cells.size(); ++k) {
    line += cells[k].text;
    if (k + 1 < cells.size()) {
      const std::size_t width = DisplayWidth(cells[k].text);
      const std::size_t target = k < widths_.size() ? widths_[k] : width;
      line.append(target > width ? target - width : 0, ' ');
      line += "  ";
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  out_ << line << '\n';
}

void RowWriter::Finish() {
  if (finished_) return;
  finished_ = true;
  if (format_ == Format::kColumns) FlushHeld();
  out_.flush();
}

}  // namespace vurfleet
