// Test-only control of the POSIX layer: inject a failure into the next
// matching call, and record which searches were opened and closed and which
// registry keys were asked for with which access. Called only
// by tests; the product never touches it.
#pragma once

#include <string>
#include <vector>

#include "platform/posix/win32_posix.h"

namespace vur::posix::testing {

enum class Op {
  kRegCreateKey,   // target: the sub-key path as given (narrow, widened)
  kRegQueryValue,  // target: the value name
  kRegSetValue,    // target: the value name
  kRegCloseKey,
  kFindFirstFile,  // target: the search pattern
  kFindNextFile,   // target: the search pattern of the open search
  kFindClose,      // target: the search pattern of the open search
  kLoadLibrary,    // target: the module name
  kGetProcAddress, // target: the function name
  kWow64Disable,
  kWow64Revert,
  kGetFileVersionInfoSize,  // target: the path
  kGetFileVersionInfo,      // target: the path
  kVerQueryValue,
  kOpenFile,       // _wfsopen; target: the path
  kCompareString,  // target: the first text as compared
  kCreateFile,     // target: the path
};

struct Fault {
  Op op;
  std::wstring target;        // empty: any target
  DWORD code = 0;             // last-error code, or the registry status
  bool succeed = false;       // the call succeeds but leaves `code` pending
  int skip = 0;               // matching calls to let pass first
  int times = 1;              // how many matching calls fail
  bool raise = false;         // the call throws std::runtime_error instead, to
                              // reach the callers' exception handlers
  // GetFileVersionInfoW only, when 0 or more: the call succeeds but copies
  // at most this many bytes, as a platform's reader may for a damaged file
  // (`succeed` then also leaves `code` pending).
  long copy_at_most = -1;
};

// Arms a fault. The first armed fault that matches a call applies to it.
void InjectFault(const Fault& fault);
// Drops every armed fault and the recording, drops the cached machine, and
// starts recording searches and key opens (the product, which never calls
// this, records none).
void Reset();

struct SearchRecord {
  std::wstring pattern;
  bool closed = false;
};
// Every search FindFirstFileW opened since the last Reset, in order.
std::vector<SearchRecord> Searches();
// Every pattern FindFirstFileW was asked for, opened or not.
std::vector<std::wstring> SearchRequests();

struct KeyOpenRecord {
  std::wstring sub_key;
  REGSAM access;
};
// Every RegCreateKeyExA call since the last Reset, in order, with the access
// mask it asked for, whether or not the key then opened.
std::vector<KeyOpenRecord> KeyOpens();

// Whether any fault is armed: lets hot paths skip building a target. A plain
// flag, read inline, since the listing and the extension test ask per entry.
extern bool g_armed;
inline bool Armed() { return g_armed; }
// Used by the layer: the fault for this call, if one is armed. Returns true and
// fills *fault when the call is to fail (or succeed leaving a code); throws
// when the fault says so.
bool TakeFault(Op op, const std::wstring& target, Fault* fault);
void RecordSearchRequest(const std::wstring& pattern);
int RecordSearchOpened(const std::wstring& pattern);
void RecordSearchClosed(int id);
void RecordKeyOpen(const char* sub_key, REGSAM access);

}  // namespace vur::posix::testing
