#include "run/scanner.h"

#include "diag/text.h"

namespace vur {

Scanner::Scanner(std::FILE* console) : log_(console) {
  buffer_ = new GrowableBuffer(kBufferLimit, log_);
}

Scanner::~Scanner() {
  // The buffer goes first; the log sink, which closes the file, goes last.
  delete buffer_;
  buffer_ = nullptr;
}

void Scanner::Run() {
  Log(log_, LogLevel::kDebug, "# VURScanner version %s\n", kScannerVersion);
  SetStatus("Started");

  ExtensionSet extensions;
  LoadExtensions(extensions);

  // Read once: a drive attached during the run is not scanned.
  DWORD drives = GetLogicalDrives();
  disableRedirection(*this);
  LoadExclusions();

  for (int i = 0; i < 26; ++i) {
    if ((drives & (DWORD{1} << i)) == 0) continue;
    const wchar_t root[] = {static_cast<wchar_t>(L'A' + i), L':', L'\\', L'\0'};
    if (GetDriveTypeW(root) == DRIVE_FIXED) {
      try {
        Log(log_, LogLevel::kDebug, "# Preparing to scan drive %s\n", ToUtf8(root));
        ScanFolder(root, true, extensions);
      } catch (...) {
        Log(log_, LogLevel::kError, "# ERROR: Scanning drive %s\n", ToUtf8(root));
      }
    } else {
      Log(log_, LogLevel::kDebug, "# Skipping drive %s\n", ToUtf8(root));
    }
  }

  restoreRedirection(*this);
  SetStatus("Complete");
}

}  // namespace vur
