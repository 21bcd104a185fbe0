// The log sink: every line the scanner prints, report or diagnostic, passes
// through Log. ERROR and INFO messages are always echoed to the console; a
// message reaches the log file when one is open and its level is at least the
// threshold. The sink adds nothing to a message: each format carries its
// whole text, line ends included.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/compiler.h"
#include "platform/win32.h"

namespace vur {

// Levels of messages and of the threshold, compared as signed numbers. INFO
// ranks above ERROR; NONE is only a threshold.
enum class LogLevel : std::int32_t {
  kDebug = 0,
  kWarn = 1,
  kError = 2,
  kInfo = 3,
  kNone = 4,
};

class LogSink {
 public:
  // Reads ScannerLogFile and ScannerLogLevel from the settings key and may
  // open the log file; failures are logged and leave the sink without a file.
  // `console` receives the echoed messages (standard output in the product).
  explicit LogSink(std::FILE* console = stdout);
  ~LogSink();
  LogSink(const LogSink&) = delete;
  LogSink& operator=(const LogSink&) = delete;

  void SetThreshold(LogLevel level) { threshold_ = level; }
  void SetFile(std::FILE* file) { file_ = file; }
  // Flushes and closes the log file, if one is open.
  void Close();

  LogLevel threshold() const { return threshold_; }
  std::FILE* file() const { return file_; }
  std::FILE* console() const { return console_; }

 private:
  friend void Log(LogSink& sink, LogLevel level, const char* format, ...);
  void SetUp();

  LogLevel threshold_ = LogLevel::kError;
  std::FILE* file_ = nullptr;
  std::FILE* console_;
  // Whether the console is a device that the sink buffers and empties after
  // each message; a longer message is written whole, in pieces of this size.
  bool console_buffered_ = false;
  static constexpr std::size_t kConsoleBuffer = 64 * 1024;
};

// Formats one message to the console (ERROR and INFO only) and to the log
// file (level at least the threshold). A message reaches a console that is a
// character device in one write, and a DEBUG log file likewise (it is
// flushed after each message); otherwise the streams' buffering applies.
// Output errors are ignored.
void Log(LogSink& sink, LogLevel level, const char* format, ...) VUR_PRINTF_FORMAT(3, 4);

// Whether a message at `level` reaches the console or the log file, so a
// caller can skip building texts for a message that goes nowhere.
inline bool Logs(const LogSink& sink, LogLevel level) {
  return level == LogLevel::kError || level == LogLevel::kInfo ||
         (sink.file() != nullptr &&
          static_cast<std::int32_t>(level) >= static_cast<std::int32_t>(sink.threshold()));
}

// Logs the thread's pending last-error code at ERROR, if any, and clears it.
// Returns the code, 0 when none was pending.
DWORD ReportLastError(LogSink& sink);

}  // namespace vur
