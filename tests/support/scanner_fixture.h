// A scanner on a fresh test machine, with a DEBUG log file so tests see every
// message, and a console that tests read back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "run/scanner.h"
#include "support/test_machine.h"

namespace vur::test {

class ScannerTest : public testing::Test {
 protected:
  // Builds the scanner; values set before this call are what it reads.
  Scanner& MakeScanner() {
    if (!machine_.GetValue(L"ScannerLogFile", &ignored_))
      machine_.SetValue(L"ScannerLogFile", machine_.Wide("scan.log"));
    scanner_ = std::make_unique<Scanner>(console_.stream());
    log_start_ = RawLog().size();
    return *scanner_;
  }

  // The log file's text since the scanner was built, with CR LF as LF.
  std::string Log() { return RawLog().substr(log_start_); }
  std::string RawLog() {
    std::string text = ReadFileBytes(machine_.Native("scan.log"));
    std::string out;
    for (char c : text)
      if (c != '\r') out += c;
    return out;
  }

  TestMachine machine_;
  Console console_;
  std::unique_ptr<Scanner> scanner_;
  std::size_t log_start_ = 0;
  std::string ignored_;
};

}  // namespace vur::test
