// The per-thread last-error code.
#include "platform/posix/win32_posix.h"

namespace {
thread_local DWORD g_last_error = 0;
}  // namespace

DWORD GetLastError() { return g_last_error; }
void SetLastError(DWORD code) { g_last_error = code; }
