// Internals of the POSIX layer shared by its parts: the machine root, the
// drive table, path mapping and the errno table (machine.cpp); the sources of
// the drive table (drive_sources.cpp); text and name coding (name_coding.cpp).
#pragma once

#include <string>
#include <vector>

#include "platform/posix/win32_posix.h"

namespace vur::posix {

// ---------------------------------------------------------------------------
// machine.cpp

// $VURSCANNER_ROOT, or /var/lib/vurscanner.
std::string MachineRoot();

// Reads a regular file whole: 0, or an errno value. Anything else (a FIFO, a
// device, a socket, a folder) gives EINVAL without being opened for reading,
// and nothing blocks. More than `max_bytes` gives EFBIG.
int ReadRegularFile(const std::string& path, std::string* bytes, std::size_t max_bytes);

struct Drive {
  char letter = 0;       // 'A'..'Z'
  UINT type = DRIVE_UNKNOWN;
  std::string folder;    // native folder of the drive's root
};

// The machine's drives, loaded once per process (ResetMachine drops them).
// Problems in the drives file are reported on standard error, once.
const std::vector<Drive>& Drives();
const Drive* FindDrive(wchar_t letter);

// Maps "X:\a\b" to the drive's native folder plus "/a/b", resolving "." and
// ".." without leaving the drive's folder. The form "\\?\X:\a\b", with
// which Windows programs keep names ending in "." or a blank from being
// trimmed, names the same path: nothing is trimmed here either. Returns false and
// sets *error (a Win32 code) when the path has no drive or the drive no folder.
// A path without a drive prefix is returned as a native path when
// `allow_native` is set.
bool NativePath(const wchar_t* path, std::string* native, DWORD* error, bool allow_native = false);

// What Windows says for a path that ENOENT refused: ERROR_FILE_NOT_FOUND when
// the folder holding `native` exists, ERROR_PATH_NOT_FOUND when it doesn't.
DWORD MissingPathError(const std::string& native);

// The errno-to-Win32 table. `for_file`: ENOENT is ERROR_FILE_NOT_FOUND, else
// ERROR_PATH_NOT_FOUND (the folder part of a path is missing).
DWORD Win32ErrorFromErrno(int err, bool for_file = true);

// The path after a "\\?\" prefix, or the path itself.
const wchar_t* SkipVerbatimPrefix(const wchar_t* path);

// Drops the cached drive table, so a test may point VURSCANNER_ROOT elsewhere.
void ResetMachine();

// ---------------------------------------------------------------------------
// drive_sources.cpp

// Parses the text of a drives file. Bad lines are described in `errors`.
std::vector<Drive> ParseDrivesFile(const std::string& text, std::vector<std::string>* errors);
// Derives drives from /proc/self/mountinfo text: C: is "/", then each further
// disk, network, optical or RAM file system in mount order, once.
std::vector<Drive> DrivesFromMountInfo(const std::string& text);

// ---------------------------------------------------------------------------
// name_coding.cpp

// UTF-8 bytes to wide text; each invalid byte b becomes U+DC00 + b, so any
// bytes round-trip through EncodeUtf8. For texts that are not file names:
// registry data, value and function names.
std::wstring DecodeUtf8(const char* bytes, std::size_t length);
// The inverse: U+DC80..U+DCFF become their bytes, all else UTF-8 (a lone
// surrogate or a value past U+10FFFF becomes U+FFFD).
std::string EncodeUtf8(const wchar_t* text, std::size_t length);

// A Linux file name as Windows can hold it. On top of DecodeUtf8, each
// character that Windows forbids in a name (U+0001..U+001F and " * : < > ? \ |)
// becomes U+F000 plus its code, as Cygwin and WSL map them, so a listed name
// can neither break a report line nor pose as a path separator. A name that
// already holds one of those U+F0xx stand-ins has the stand-in's bytes
// escaped like invalid UTF-8, so every name round-trips through EncodeName.
constexpr char32_t kForbiddenBase = 0xF000;
std::wstring DecodeName(const char* bytes, std::size_t length);
// The inverse, used wherever a Windows path becomes a native one: stand-ins
// become the characters they stand for.
std::string EncodeName(const wchar_t* text, std::size_t length);

}  // namespace vur::posix
