#include "config/settings_key.h"
#include "diag/text.h"
#include "run/scanner.h"

namespace vur {

void FillDefaultExtensions(ExtensionSet& extensions) {
  extensions.clear();
  extensions.insert(L".exe");
  extensions.insert(L".com");
}

void Scanner::LoadExtensions(ExtensionSet& extensions) {
  SettingsKey key(log_, kSettingsReadWrite);
  if (!key.is_open()) {
    FillDefaultExtensions(extensions);
    return;
  }
  std::vector<std::wstring> texts;
  if (ReadListValue(key.get(), L"ScannerExtensions", &texts) != ERROR_SUCCESS) {
    Log(log_, LogLevel::kDebug, "# Using default file extensions.\n");
    FillDefaultExtensions(extensions);
  } else {
    // The list replaces the defaults entirely, even when it holds no text.
    Log(log_, LogLevel::kDebug, "# File extensions were specified in registry.\n");
    for (const std::wstring& text : texts) {
      if (text.empty()) continue;
      Log(log_, LogLevel::kDebug, "# Including file etension %s.\n", ToUtf8(text));
      extensions.insert(text);
    }
  }
  key.Close();
}

}  // namespace vur
