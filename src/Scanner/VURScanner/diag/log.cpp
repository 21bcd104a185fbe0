#include "diag/log.h"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>

#include "config/settings_key.h"
#include "diag/text.h"

namespace vur {

LogSink::LogSink(std::FILE* console) : console_(console) {
  // The run-time leaves a stream on a character device (a console, NUL)
  // unbuffered, and then writes each message a character at a time: such a
  // console gets a buffer of its own, emptied after each message, so that
  // each message is one write. Files and pipes keep the run-time's
  // buffering.
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

std::size_t LogSink::Format(const char* format, std::va_list args) {
  for (;;) {
    std::va_list attempt;
    va_copy(attempt, args);
    int length = std::vsnprintf(text_.data(), text_.size(), format, attempt);
    va_end(attempt);
    // Some run-times answer a text that does not fit with -1 rather than its
    // length: the area then doubles until it fits.
    if (length >= 0 && static_cast<std::size_t>(length) < text_.size())
      return static_cast<std::size_t>(length);
    text_.resize(length >= 0 ? static_cast<std::size_t>(length) + 1 : text_.size() * 2);
  }
}

void Log(LogSink& sink, LogLevel level, const char* format, ...) {
  const bool to_console = level == LogLevel::kError || level == LogLevel::kInfo;
  std::FILE* file = sink.file();
  auto threshold = static_cast<std::int32_t>(sink.threshold());
  const bool to_file = file != nullptr && static_cast<std::int32_t>(level) >= threshold;
  if (!to_console && !to_file) return;

  va_list args;
  va_start(args, format);
  std::size_t length = sink.Format(format, args);
  va_end(args);
  const char* text = sink.text_.data();
  if (to_console) {
    std::fwrite(text, 1, length, sink.console());
    if (sink.console_buffered_) std::fflush(sink.console());
  }
  if (to_file) {
    std::fwrite(text, 1, length, file);
    // A DEBUG log is complete up to its last line even if the process dies.
    if (threshold <= 0) std::fflush(file);
  }
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
