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

// The "\\?\" form of a path: the platform then takes every name in it as it
// stands. Windows trims a trailing "." or blank from each name of a plain
// path (so "sub." would list its twin "sub") and refuses control characters.
std::wstring Verbatim(const std::wstring& path) { return L"\\\\?\\" + path; }

// Keeps the current path's record of its folders in step with the walk, on
// every way out of a folder, exceptions too.
template <typename Levels>
class PathLevelGuard {
 public:
  PathLevelGuard(Levels& levels, typename Levels::value_type level) : levels_(levels) {
    levels_.push_back(level);
  }
  ~PathLevelGuard() { levels_.pop_back(); }
  PathLevelGuard(const PathLevelGuard&) = delete;
  PathLevelGuard& operator=(const PathLevelGuard&) = delete;

 private:
  Levels& levels_;
};

}  // namespace

void Scanner::ScanFolder(std::wstring folder_path, bool recurse, const ExtensionSet& extensions) {
  WalkFolder(std::move(folder_path), false, recurse, extensions);
}

void Scanner::WalkFolder(std::wstring folder_path, bool verbatim, bool recurse,
                         const ExtensionSet& extensions) {
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

  // Messages name the folder as listed; the platform may be asked for it by
  // its verbatim form.
  const std::wstring pattern = folder_path + L"*";
  const std::wstring access_path = verbatim ? Verbatim(folder_path) : std::wstring();
  const std::wstring& folder_access = verbatim ? access_path : folder_path;
  PathLevelGuard level(walk_path_, PathLevel{&folder_access, false, FolderId{}});
  // A DEBUG line that reaches no log file needs no conversion.
  const bool debug = Logs(log_, LogLevel::kDebug);
  if (debug) Log(log_, LogLevel::kDebug, "# FindFirstFileW(): %s\n", ToUtf8(pattern));
  // Entries are read into the two records in turn, so the entry handled last
  // is still at hand, for the checkpoint's message, when the next one is read.
  WIN32_FIND_DATAW records[2];
  int current = 0;
  WIN32_FIND_DATAW* entry = &records[current];
  const wchar_t* previous = L"<none>";
  SearchHandle search(
      FindFirstFileW(verbatim ? Verbatim(pattern).c_str() : pattern.c_str(), entry));
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
    const DWORD attributes = entry->dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      if (recurse) {
        // A folder the platform would trim or refuse by its plain path is
        // reached by the verbatim form, and so is everything below it. (A
        // file's name is judged by the report, for the files it probes.)
        const bool entry_verbatim = verbatim || NeedsVerbatimPath(name, name_length);
        std::wstring subfolder = folder_path + name + L"\\";
        try {
          if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
              LeadsToWalkedFolder(entry_verbatim ? Verbatim(subfolder) : subfolder)) {
            // Its files are reported under the path they were met by.
            Log(log_, LogLevel::kWarn,
                "# WARN: Not entering %s: it is a link to a folder this scan has entered\n",
                ToUtf8(subfolder));
          } else {
            WalkFolder(subfolder, entry_verbatim, recurse, extensions);
          }
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
        OutputFileInfo(std::move(file_path), extensions, verbatim);
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

namespace vur {
namespace {

// The identity of the folder at `access_path` (with its trailing backslash),
// or false when the platform can't tell it. A link is followed to its
// target. The thread's last-error code is left as it was: a folder that
// can't be opened here is listed, and its error reported, as any other.
bool ReadFolderId(const std::wstring& access_path, DWORD* volume, DWORD* high, DWORD* low) {
  DWORD saved = GetLastError();
  // Without its backslash, but for a drive root, which needs it.
  std::wstring path = access_path;
  if (path.size() > 1 && path.back() == L'\\' && path[path.size() - 2] != L':') path.pop_back();
  HANDLE folder = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  bool known = false;
  if (folder != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(folder, &info)) {
      *volume = info.dwVolumeSerialNumber;
      *high = info.nFileIndexHigh;
      *low = info.nFileIndexLow;
      known = true;
    }
    CloseHandle(folder);
  }
  SetLastError(saved);
  return known;
}

}  // namespace

bool Scanner::LeadsToWalkedFolder(const std::wstring& access_path) {
  FolderId target;
  if (!ReadFolderId(access_path, &target.volume, &target.index_high, &target.index_low))
    return false;  // unknown: walked as any folder, and the path's length bounds it
  // The current path's folders, each asked once while it is on the path.
  for (PathLevel& level : walk_path_) {
    if (level.known) continue;
    level.known = true;
    if (ReadFolderId(*level.access_path, &level.id.volume, &level.id.index_high,
                     &level.id.index_low)) {
      walked_ids_.insert(level.id);
    }
  }
  return !walked_ids_.insert(target).second;
}

}  // namespace vur
