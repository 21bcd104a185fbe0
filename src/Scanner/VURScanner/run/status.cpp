#include <cstring>
#include <ctime>

#include "config/settings_key.h"
#include "run/scanner.h"

namespace vur {

bool Scanner::SetStatus(const char* status) {
  std::time_t now = std::time(nullptr);
  char time_text[128] = "";
  // The tail " -0700" is fixed text that collectors expect; the clock part is
  // local wall-clock time whatever the zone.
  const std::tm* local = std::localtime(&now);
  if (local == nullptr || std::strftime(time_text, sizeof time_text,
                                        "%a, %d %b %Y %H:%M:%S -0700", local) == 0) {
    time_text[0] = '\0';
  }
  Log(log_, LogLevel::kInfo, "# %s\n", status);
  Log(log_, LogLevel::kInfo, "# %s\n", time_text);

  SettingsKey key(log_, KEY_WRITE);
  if (!key.is_open()) return true;
  if (RegSetValueExA(key.get(), "ScannerStatus", 0, REG_SZ, reinterpret_cast<const BYTE*>(status),
                     static_cast<DWORD>(std::strlen(status) + 1)) != ERROR_SUCCESS) {
    Log(log_, LogLevel::kError, "# ERROR: Failed to set value of VURScannerStatus to %s\n", status);
  }
  if (RegSetValueExA(key.get(), "ScannerStatusTime", 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(time_text),
                     static_cast<DWORD>(std::strlen(time_text) + 1)) != ERROR_SUCCESS) {
    Log(log_, LogLevel::kError, "# ERROR: Failed to set value of VURScannerStatusTime to %s\n",
        time_text);
  }
  return !key.Close();
}

}  // namespace vur
