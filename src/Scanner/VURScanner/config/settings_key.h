// The settings key, HKEY_LOCAL_MACHINE\Software\Tolvek\QIM\VUR: every reader
// and writer opens it (creating it when missing) and closes it again within
// one call, and reads its values into a fixed area.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "diag/log.h"
#include "platform/win32.h"

namespace vur {

constexpr char kSettingsKeyPath[] = "Software\\Tolvek\\QIM\\VUR";
// The loaders ask for read and write access together.
constexpr REGSAM kSettingsReadWrite = KEY_READ | KEY_WRITE;
// Values are read into an area of this many wide units, zero-filled first.
constexpr std::size_t kValueAreaUnits = 4096;

constexpr char kOpenFailedMessage[] = "# ERROR: Failed to open QIM VUR regkey.\n";
constexpr char kCloseFailedMessage[] = "# ERROR: Failed to close QIM VUR regkey.\n";

// An open settings key. The constructor opens it and logs `open_failure` at
// ERROR when it can't; Close (or the destructor) closes it and logs a failure.
class SettingsKey {
 public:
  SettingsKey(LogSink& log, REGSAM access, const char* open_failure = kOpenFailedMessage);
  ~SettingsKey();
  SettingsKey(const SettingsKey&) = delete;
  SettingsKey& operator=(const SettingsKey&) = delete;

  bool is_open() const { return key_ != nullptr; }
  HKEY get() const { return key_; }
  // Closes the key once; false (after logging) when the platform refused.
  bool Close();

 private:
  LogSink* log_;
  HKEY key_ = nullptr;
};

// A zero-filled area for one value.
struct ValueArea {
  wchar_t units[kValueAreaUnits] = {};
};

// Reads a value into `area`; returns the platform's status and, on success,
// the data's length in bytes.
LSTATUS ReadValue(HKEY key, const wchar_t* name, ValueArea* area, DWORD* bytes);

// Reads a list value: texts ended by NUL, the last one by the end of the area
// when it has no NUL. `texts` receives them in order, empty ones too. The
// value's type is not asked for.
LSTATUS ReadListValue(HKEY key, const wchar_t* name, std::vector<std::wstring>* texts);

// Splits the first `bytes` bytes of an area into its texts, as ReadListValue.
void SplitList(const ValueArea& area, DWORD bytes, std::vector<std::wstring>* texts);

// The text at the start of the area: up to its first NUL, or all of it.
std::wstring FirstText(const ValueArea& area);

}  // namespace vur
