#include <cwchar>
#include <string>

#include "config/exclusions.h"
#include "diag/text.h"
#include "run/scanner.h"

namespace vur {
namespace {

// Closes a search on every way out of the walk of its folder, exceptions too.
class SearchHandle {
 public:
  explicit SearchHandle(HANDLE handle) : handle_(handle) {}
  ~SearchHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) FindClose(handle_);
  }
  SearchHandle(const SearchHandle&) = delete;
  SearchHandle& operator=(const SearchHandle&) = delete;
  HANDLE get() const { return handle_; }
  // Closes the search now and returns FindClose's result.
  BOOL Close() {
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return FindClose(handle);
  }

 private:
  HANDLE handle_;
};

bool IsDotEntry(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') ||
         (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// Reports a code left pending at a checkpoint, naming the folder and the
// entry handled last. Both texts are shown, so the first conversion is copied
// out of the shared area before the second overwrites it.
void Checkpoint(LogSink& log, const std::wstring& pattern, const wchar_t* previous) {
  if (ReportLastError(log) == 0) return;
  std::string folder_text = ToUtf8(pattern);
  Log(log, LogLevel::kError, "# ERROR: Using FindNextFileW in directory %s after file %s\n",
      folder_text.c_str(), ToUtf8(previous));
}

}  // namespace

void Scanner::ScanFolder(std::wstring folder_path, bool recurse, const ExtensionSet& extensions) {
  try {
    for (std::size_t i = 0; i < exclusion_rules_.size(); ++i) {
      // A path without the text a rule requires can't match it.
      if (!MayHold(folder_path, exclusion_required_[i])) continue;
      if (IsExcludedBy(exclusion_rules_[i], folder_path)) {
        Log(log_, LogLevel::kDebug, "Path excluded from scan: %s", ToUtf8(folder_path));
        return;
      }
    }
  } catch (...) {
    return;  // a rule that can't be evaluated skips the folder
  }

  const std::wstring pattern = folder_path + L"*";
  // A DEBUG line that reaches no log file needs no conversion.
  const bool debug = Logs(log_, LogLevel::kDebug);
  if (debug) Log(log_, LogLevel::kDebug, "# FindFirstFileW(): %s\n", ToUtf8(pattern));
  // Entries are read into the two records in turn, so the entry handled last
  // is still at hand, for the checkpoint's message, when the next one is read.
  WIN32_FIND_DATAW records[2];
  int current = 0;
  WIN32_FIND_DATAW* entry = &records[current];
  const wchar_t* previous = L"<none>";
  SearchHandle search(FindFirstFileW(pattern.c_str(), entry));
  if (search.get() == INVALID_HANDLE_VALUE) {
    Log(log_, LogLevel::kWarn, "# WARN: FindFirstFileW() encountered INVALID_HANDLE_VALUE\n");
    if (GetLastError() == ERROR_ACCESS_DENIED) {
      SetLastError(ERROR_SUCCESS);
      Log(log_, LogLevel::kWarn, "# WARN: ERROR_ACCESS_DENIED for %s\n", ToUtf8(pattern));
    }
    ReportLastError(log_);
    return;
  }

  do {
    Checkpoint(log_, pattern, previous);
    const wchar_t* name = entry->cFileName;
    if (IsDotEntry(name)) continue;  // read over by the next entry; not "handled"
    const std::size_t name_length = std::wcslen(name);
    if ((entry->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      if (recurse) {
        std::wstring subfolder = folder_path + name + L"\\";
        try {
          ScanFolder(subfolder, recurse, extensions);
        } catch (...) {
          Log(log_, LogLevel::kError, "# ERROR: Exception in ScanFolder( %s )\n", ToUtf8(subfolder));
        }
      }
    } else {
      // Built in the storage the report handed back after the last file and
      // moved into the report, which takes its path by value: one copy and
      // no allocation per file, once the storage is large enough.
      std::wstring file_path = std::move(spare_path_);
      file_path.assign(folder_path).append(name, name_length);
      try {
        OutputFileInfo(std::move(file_path), extensions);
      } catch (...) {
        file_path.assign(folder_path).append(name, name_length);
        Log(log_, LogLevel::kError, "# ERROR: Exception in OutputFileInfo() : %s\n",
            ToUtf8(file_path));
      }
    }
    previous = name;
    Checkpoint(log_, pattern, previous);
    current = 1 - current;
    entry = &records[current];
  } while (FindNextFileW(search.get(), entry));

  if (GetLastError() == ERROR_NO_MORE_FILES) SetLastError(ERROR_SUCCESS);
  ReportLastError(log_);

  if (debug) Log(log_, LogLevel::kDebug, "# FindClose()     : %s\n", ToUtf8(pattern));
  if (!search.Close()) {
    Log(log_, LogLevel::kError, "# ERROR: Using FindClose() on %s\n", ToUtf8(pattern));
    ReportLastError(log_);
  }
}

}  // namespace vur
