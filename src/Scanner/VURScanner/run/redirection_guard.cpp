#include "run/redirection_guard.h"

#include "run/scanner.h"

namespace vur {
namespace {

using DisableFunction = BOOL(WINAPI*)(PVOID*);
using RevertFunction = BOOL(WINAPI*)(PVOID);

// Process-wide plain data, zero at start. Each accessor sets its flag before
// it tries, so a load or lookup happens at most once and a null result stays.
HMODULE g_kernel32_module;
bool g_kernel32_tried;
FARPROC g_disable_address;
bool g_disable_tried;
FARPROC g_revert_address;
bool g_revert_tried;
HMODULE g_guard_module;
PVOID g_saved_value;
bool g_redirection_off;

HMODULE Kernel32Module() {
  if (!g_kernel32_tried) {
    g_kernel32_tried = true;
    g_kernel32_module = LoadLibraryW(L"Kernel32.dll");
  }
  return g_kernel32_module;
}

FARPROC DisableAddress() {
  if (!g_disable_tried) {
    g_disable_tried = true;
    g_disable_address = GetProcAddress(Kernel32Module(), "Wow64DisableWow64FsRedirection");
  }
  return g_disable_address;
}

FARPROC RevertAddress() {
  if (!g_revert_tried) {
    g_revert_tried = true;
    g_revert_address = GetProcAddress(Kernel32Module(), "Wow64RevertWow64FsRedirection");
  }
  return g_revert_address;
}

template <typename Function>
Function As(FARPROC address) {
  // Through a plain function pointer type, which every function pointer
  // converts to and from.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

void disableRedirection(Scanner& scanner) {
  LogSink& log = scanner.log();
  Log(log, LogLevel::kDebug, "# disableRedirection\n");
  SetLastError(ERROR_SUCCESS);
  Log(log, LogLevel::kDebug, "# Loading Kernel32 module\n");
  g_guard_module = Kernel32Module();
  if (ReportLastError(log) != 0) return;

  Log(log, LogLevel::kDebug, "# GetProcAddress Wow64DisableWow64FsRedirection\n");
  FARPROC address = DisableAddress();
  if (GetLastError() == ERROR_INVALID_FUNCTION) return;
  if (ReportLastError(log) != 0) return;
  if (address == nullptr) {
    Log(log, LogLevel::kWarn, "# WARN: Got null pointer for Wow64DisableWow64FsRedirection\n");
    return;
  }
  Log(log, LogLevel::kDebug, "# Invoke pointer to Wow64DisableWow64FsRedirection\n");
  if (As<DisableFunction>(address)(&g_saved_value)) {
    Log(log, LogLevel::kDebug, "# Disabled 64-bit filesystem redirection\n");
    g_redirection_off = true;
  } else {
    // 32-bit Windows has the function but nothing to turn off.
    if (GetLastError() == ERROR_INVALID_FUNCTION) SetLastError(ERROR_SUCCESS);
    Log(log, LogLevel::kWarn, "# WARN: Wow64DisableWow64FsRedirection returned 0\n");
  }
  ReportLastError(log);
}

void restoreRedirection(Scanner& scanner) {
  LogSink& log = scanner.log();
  Log(log, LogLevel::kDebug, "# restoreRedirection\n");
  if (!g_redirection_off) return;
  if (g_guard_module == nullptr) {
    Log(log, LogLevel::kError,
        "# ERROR: Unexpected null pointer to Kernel32 module.  This is probably a bug.\n");
    return;
  }
  // The code is not cleared first: a code the walk left pending stops here.
  if (GetLastError() == ERROR_INVALID_FUNCTION) return;
  if (ReportLastError(log) != 0) return;

  Log(log, LogLevel::kDebug, "# GetProcAddress Wow64RevertWow64FsRedirection\n");
  FARPROC address = RevertAddress();
  if (ReportLastError(log) != 0) return;
  if (address == nullptr) {
    Log(log, LogLevel::kWarn, "# WARN: Got null pointer for Wow64RevertWow64FsRedirection\n");
    return;
  }
  Log(log, LogLevel::kDebug, "# Invoke pointer to Wow64RevertWow64FsRedirection\n");
  if (As<RevertFunction>(address)(g_saved_value)) {
    Log(log, LogLevel::kDebug, "# Restored 64-bit filesystem redirection\n");
    g_redirection_off = false;
  } else {
    if (GetLastError() == ERROR_INVALID_FUNCTION) SetLastError(ERROR_SUCCESS);
    Log(log, LogLevel::kWarn, "# WARN: Wow64RevertWow64FsRedirection returned 0\n");
  }
  ReportLastError(log);
}

void ResetRedirectionGuardForTesting() {
  g_kernel32_module = nullptr;
  g_kernel32_tried = false;
  g_disable_address = nullptr;
  g_disable_tried = false;
  g_revert_address = nullptr;
  g_revert_tried = false;
  g_guard_module = nullptr;
  g_saved_value = nullptr;
  g_redirection_off = false;
}

bool RedirectionIsOffForTesting() { return g_redirection_off; }

void ForgetGuardModuleForTesting() { g_guard_module = nullptr; }

}  // namespace vur
