#include "config/settings_key.h"

#include <memory>

namespace vur {

SettingsKey::SettingsKey(LogSink& log, REGSAM access, const char* open_failure) : log_(&log) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr,
                                   REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    Log(*log_, LogLevel::kError, "%s", open_failure);
    return;
  }
  key_ = key;
}

SettingsKey::~SettingsKey() { Close(); }

bool SettingsKey::Close() {
  if (key_ == nullptr) return true;
  LSTATUS status = RegCloseKey(key_);
  key_ = nullptr;  // never used again, whatever the status
  if (status != ERROR_SUCCESS) {
    Log(*log_, LogLevel::kError, "%s", kCloseFailedMessage);
    return false;
  }
  return true;
}

LSTATUS ReadValue(HKEY key, const wchar_t* name, ValueArea* area, DWORD* bytes) {
  DWORD size = sizeof area->units;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, nullptr,
                                    reinterpret_cast<LPBYTE>(area->units), &size);
  if (status == ERROR_SUCCESS) *bytes = size;
  return status;
}

LSTATUS ReadListValue(HKEY key, const wchar_t* name, std::vector<std::wstring>* texts) {
  auto area = std::make_unique<ValueArea>();
  DWORD bytes = 0;
  LSTATUS status = ReadValue(key, name, area.get(), &bytes);
  if (status != ERROR_SUCCESS) return status;
  SplitList(*area, bytes, texts);
  return ERROR_SUCCESS;
}

void SplitList(const ValueArea& area, DWORD bytes, std::vector<std::wstring>* texts) {
  if (bytes > sizeof area.units) bytes = sizeof area.units;
  // Each text runs to its NUL, or to the end of the area; an empty text in
  // the middle does not end the list.
  std::size_t position = 0;
  while (position * sizeof(wchar_t) < bytes) {
    std::size_t length = 0;
    while (position + length < kValueAreaUnits && area.units[position + length] != 0) ++length;
    texts->emplace_back(area.units + position, length);
    position += length + 1;
  }
}

std::wstring FirstText(const ValueArea& area) {
  std::size_t length = 0;
  while (length < kValueAreaUnits && area.units[length] != 0) ++length;
  return std::wstring(area.units, length);
}

}  // namespace vur
