#include "diag/log.h"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>

#include "config/settings_key.h"
#include "diag/text.h"

namespace vur {

LogSink::LogSink(std::FILE* console) : console_(console) {
  // The Windows run-time leaves a stream on a character device (a console,
  // NUL) unbuffered, and its formatted output then writes a message a
  // character at a time, one system call each. Such a console gets a buffer,
  // emptied after each message, so that each message is one write. Files and
  // pipes keep the run-time's buffering, which already writes whole buffers.
  if (_isatty(_fileno(console))) {
    console_buffered_ = std::setvbuf(console, nullptr, _IOFBF, kConsoleBuffer) == 0;
  }
  SetUp();
}

LogSink::~LogSink() { Close(); }

void LogSink::Close() {
  if (file_ == nullptr) return;
  std::fflush(file_);
  std::fclose(file_);
  file_ = nullptr;
}

void LogSink::SetUp() {
  threshold_ = LogLevel::kError;
  file_ = nullptr;

  SettingsKey key(*this, KEY_READ);
  if (!key.is_open()) return;

  auto file_area = std::make_unique<ValueArea>();
  DWORD bytes = 0;
  if (ReadValue(key.get(), L"ScannerLogFile", file_area.get(), &bytes) != ERROR_SUCCESS) {
    Log(*this, LogLevel::kDebug, "# Could not read registry value \"ScannerLogFile\"");
    key.Close();
    return;
  }
  // A log file without a level logs everything.
  SetThreshold(LogLevel::kDebug);

  auto level_area = std::make_unique<ValueArea>();
  std::wstring level_word;
  if (ReadValue(key.get(), L"ScannerLogLevel", level_area.get(), &bytes) != ERROR_SUCCESS) {
    Log(*this, LogLevel::kDebug, "# Could not read registry value \"ScannerLogLevel\"");
  } else {
    // Whole words only, case and blanks significant: anything else is ERROR.
    level_word = FirstText(*level_area);
    if (level_word == L"DEBUG") {
      SetThreshold(LogLevel::kDebug);
    } else if (level_word == L"WARN") {
      SetThreshold(LogLevel::kWarn);
    } else if (level_word == L"INFO") {
      SetThreshold(LogLevel::kInfo);
    } else if (level_word == L"NONE") {
      SetThreshold(LogLevel::kNone);
    } else {
      SetThreshold(LogLevel::kError);
    }
  }
  if (!key.Close()) return;
  if (level_word == L"NONE") return;  // no file is created or truncated

  // The value need not hold a NUL: the path is bounded by the area.
  std::wstring path = FirstText(*file_area);
  if (path.empty()) {
    Log(*this, LogLevel::kWarn, "# The value \"ScannerLogFile\" was empty.\n");
    return;
  }
  ReportLastError(*this);
  std::FILE* file = _wfsopen(path.c_str(), L"w", _SH_DENYRW);
  if (file == nullptr) {
    Log(*this, LogLevel::kError, "# ERROR: Could not open log file for writing: %s\n",
        ToUtf8(path));
    ReportLastError(*this);
    return;
  }
  SetFile(file);
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    Log(*this, LogLevel::kDebug, "# Overwriting log file %s\n", ToUtf8(path));
    SetLastError(ERROR_SUCCESS);
  }
  Log(*this, LogLevel::kDebug, "# Opened log file %s\n", ToUtf8(path));
}

void Log(LogSink& sink, LogLevel level, const char* format, ...) {
  // Output that fails (a log file on a full disk) leaves a code pending on
  // Windows, which the next checkpoint would report, or the redirection
  // guard take for a failed call of its own. A log leaves nothing behind.
  const DWORD saved_error = GetLastError();
  auto value = static_cast<std::int32_t>(level);
  if (level == LogLevel::kError || level == LogLevel::kInfo) {
    va_list args;
    va_start(args, format);
    std::vfprintf(sink.console(), format, args);
    va_end(args);
    if (sink.console_buffered_) std::fflush(sink.console());
  }
  std::FILE* file = sink.file();
  auto threshold = static_cast<std::int32_t>(sink.threshold());
  if (file != nullptr && value >= threshold) {
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    // A DEBUG log is complete up to its last line even if the process dies.
    if (threshold <= 0) std::fflush(file);
  }
  SetLastError(saved_error);
}

DWORD ReportLastError(LogSink& sink) {
  DWORD code = GetLastError();
  if (code != 0) {
    Log(sink, LogLevel::kError, "\n# ERROR: GetLastError returned 0x%x\n",
        static_cast<unsigned>(code));
    SetLastError(ERROR_SUCCESS);
  }
  return code;
}

}  // namespace vur
