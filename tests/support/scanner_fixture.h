// A scanner on a fresh test machine whose log, at DEBUG, goes to a stream the
// test reads back, and whose console is another such stream.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "run/scanner.h"
#include "support/test_machine.h"

namespace vur::test {

class ScannerTest : public testing::Test {
 protected:
  ~ScannerTest() override { ResetScanner(); }

  // Builds the scanner; values set before this call are what it reads. With
  // `real_log_file` the scanner opens "scan.log" in the scratch folder itself
  // (which Windows then holds unshared until the scanner is gone).
  Scanner& MakeScanner(bool real_log_file = false) {
    ResetScanner();
    if (real_log_file) machine_.SetValue(L"ScannerLogFile", machine_.Wide("scan.log"));
    SetLastError(0);
    scanner_ = std::make_unique<Scanner>(console_.stream());
    if (!real_log_file) {
      scanner_->log().SetThreshold(LogLevel::kDebug);
      scanner_->log().SetFile(log_.stream());
    }
    log_start_ = log_.Text().size();
    return *scanner_;
  }

  void ResetScanner() {
    if (scanner_ && scanner_->log().file() == log_.stream()) scanner_->log().SetFile(nullptr);
    scanner_.reset();
  }

  // What the scanner logged since it was built (its own stream).
  std::string Log() { return log_.Text().substr(log_start_); }
  // The whole log file of a scanner built with `real_log_file`, CR LF as LF.
  std::string RawLog() {
    std::string text = ReadFileBytes(machine_.Native("scan.log"));
    std::string out;
    for (char c : text)
      if (c != '\r') out += c;
    return out;
  }

  TestMachine machine_;
  Console console_, log_;
  std::unique_ptr<Scanner> scanner_;
  std::size_t log_start_ = 0;
};

}  // namespace vur::test
