// The scanner: one object owns a scan run from start to end. Run walks every
// fixed drive from A: to Z: and prints one report line per file whose path
// ends in a configured extension.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "diag/growable_buffer.h"
#include "diag/log.h"
#include "platform/win32.h"
#include "run/version.h"

namespace vur {

constexpr char kScannerVersion[] = VUR_VERSION_TEXT;
constexpr std::uint32_t kBufferLimit = 1048576;
constexpr std::size_t kReportTextSize = 4096;

using ExtensionSet = std::set<std::wstring>;

class Scanner {
 public:
  // Builds the log sink (which reads its settings and may open the log
  // file), then the version-resource buffer. `console` is standard output in
  // the product; tests pass their own stream.
  explicit Scanner(std::FILE* console = stdout);
  ~Scanner();
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // One scan run: status "Started", settings, every fixed drive, "Complete".
  void Run();

  // Records the status and the local time in the settings key and on the
  // console. True when the key failed to open or to close.
  bool SetStatus(const char* status);

  // Fills `extensions` from ScannerExtensions, or with ".exe" and ".com".
  void LoadExtensions(ExtensionSet& extensions);
  // Gathers PathExclusions and the default patterns and compiles the rules.
  void LoadExclusions();
  // Whether `rule` matches the whole folder path. May throw.
  static bool IsExcludedBy(const std::wregex& rule, const std::wstring& folder_path);

  // Walks `folder_path` (ending in a backslash) depth first, reporting every
  // file whose path ends in one of `extensions`. A folder reached through a
  // link is not entered when it leads to a folder this walk has entered.
  void ScanFolder(std::wstring folder_path, bool recurse, const ExtensionSet& extensions);
  // Prints the report line of one file when its path ends in an extension.
  // `verbatim`: the platform is asked for the file by the "\\?\" form of its
  // path, so that it takes the name as it stands (one ending in "." or a
  // blank, one with a control character); the line shows the path as given.
  void OutputFileInfo(std::wstring file_path, const ExtensionSet& extensions,
                      bool verbatim = false);
  // The fixed file information of the file's version resource, or null.
  const VS_FIXEDFILEINFO* GetFileVersion(std::wstring file_path);

  LogSink& log() { return log_; }
  const std::vector<std::wstring>& exclusion_patterns() const { return exclusion_patterns_; }
  const std::vector<std::wregex>& exclusion_rules() const { return exclusion_rules_; }
  GrowableBuffer* buffer() { return buffer_; }

 private:
  // A folder's identity on its machine: volume serial number and file index.
  struct FolderId {
    DWORD volume = 0, index_high = 0, index_low = 0;
    bool operator<(const FolderId& o) const {
      if (volume != o.volume) return volume < o.volume;
      if (index_high != o.index_high) return index_high < o.index_high;
      return index_low < o.index_low;
    }
  };
  // A folder of the current path, with its identity once a link below it
  // asked for it.
  struct PathLevel {
    const std::wstring* access_path;
    bool known;
    FolderId id;
  };

  // ScanFolder, with the folder reached by the "\\?\" form of its path when
  // `verbatim`.
  void WalkFolder(std::wstring folder_path, bool verbatim, bool recurse,
                  const ExtensionSet& extensions);
  // Whether the folder a link at `access_path` leads to is one this walk has
  // entered: a folder of the current path, or one entered before whose
  // identity was taken. Records it as entered when not. Only linked folders
  // pay for this: a folder's identity costs an open of it.
  bool LeadsToWalkedFolder(const std::wstring& access_path);

  LogSink log_;
  GrowableBuffer* buffer_ = nullptr;  // owned
  char report_text_[kReportTextSize];
  // The gathered patterns in their sorted order, each replaced by its
  // prepared expression once the rules are compiled.
  std::vector<std::wstring> exclusion_patterns_;
  std::vector<std::wregex> exclusion_rules_;
  // RequiredText of each rule's expression, in the same order.
  std::vector<std::wstring> exclusion_required_;
  // The storage of the last file path, handed back by the report when it is
  // done with it, so that the walker builds the next path without
  // allocating.
  std::wstring spare_path_;
  // The folders of the current path, the drive root first.
  std::vector<PathLevel> walk_path_;
  // Identities of the folders known to have been entered in this run.
  std::set<FolderId> walked_ids_;
};

// Whether the platform must be given a name by the "\\?\" form of its path
// to take it as it stands: a name ending in "." or a blank (which a plain
// path loses) or holding a control character (which a plain path refuses).
bool NeedsVerbatimPath(const wchar_t* name, std::size_t length);

// Default extensions: the set is emptied and given ".exe" and ".com".
void FillDefaultExtensions(ExtensionSet& extensions);

// File-system redirection for 32-bit programs on 64-bit Windows: off for the
// walk, back on after it. Both report problems in the log and never throw.
void disableRedirection(Scanner& scanner);
void restoreRedirection(Scanner& scanner);

}  // namespace vur
