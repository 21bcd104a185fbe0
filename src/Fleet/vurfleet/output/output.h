// Rows for people and for tools: aligned columns, CSV (RFC 4180, with a
// header row) and JSON Lines (one object a row, keys as the columns).
// Columns show each value as Printable does, aligned by the cells a
// terminal gives it; CSV keeps the text but for the guard against formulas
// (CsvText); JSON keeps it exactly.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace vurfleet {

enum class Format { kColumns, kCsv, kJson };

struct Cell {
  enum class Kind { kText, kNumber, kEmpty };
  static Cell Text(std::string text) { return Cell{std::move(text), Kind::kText}; }
  static Cell Number(std::int64_t value) { return Cell{std::to_string(value), Kind::kNumber}; }
  // No value: empty in columns and CSV, null in JSON.
  static Cell Empty() { return Cell{std::string(), Kind::kEmpty}; }
  std::string text;
  Kind kind;
};

class RowWriter {
 public:
  RowWriter(std::ostream& out, Format format, std::vector<std::string> columns);
  ~RowWriter();
  RowWriter(const RowWriter&) = delete;
  RowWriter& operator=(const RowWriter&) = delete;

  void Row(std::vector<Cell> cells);
  // Writes what is held back. Called by the destructor if not before.
  void Finish();

  // Aligned columns take their widths from the first rows, this many at
  // most, so that memory stays bounded; a longer value later pushes its
  // line out.
  static constexpr std::size_t kMeasuredRows = 10000;

 private:
  void WriteColumns(const std::vector<Cell>& cells);
  void FlushHeld();

  std::ostream& out_;
  Format format_;
  std::vector<std::string> columns_;
  std::vector<std::vector<Cell>> held_;
  std::vector<std::size_t> widths_;
  bool measuring_ = true;
  bool finished_ = false;
};

// One CSV field as RFC 4180 writes it: quoted when it holds a comma, a
// quote, a carriage return or a line feed, with quotes doubled.
std::string CsvField(const std::string& text);

// A text cell of CSV: CsvField of the text, with a `'` before it when it
// begins with `=`, `+`, `-`, `@`, a tab or a carriage return, so that a
// spreadsheet shows it as text instead of evaluating it as a formula.
std::string CsvText(const std::string& text);

}  // namespace vurfleet
