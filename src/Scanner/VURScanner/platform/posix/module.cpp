// Module loading as on 32-bit Windows: Kernel32 has the WOW64 redirection
// functions, and they refuse with ERROR_INVALID_FUNCTION because there is no
// redirection to turn off.
#include <cstring>
#include <string>

#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"
#include "platform/posix/win32_posix.h"

namespace {

using vur::posix::testing::Fault;
using vur::posix::testing::Op;

HINSTANCE__* const kKernel32 = reinterpret_cast<HINSTANCE__*>(static_cast<ULONG_PTR>(0x7c800000));

BOOL Refuse(Op op) {
  Fault fault;
  if (vur::posix::testing::TakeFault(op, L"", &fault)) {
    SetLastError(fault.code);
    return fault.succeed ? TRUE : FALSE;
  }
  SetLastError(ERROR_INVALID_FUNCTION);
  return FALSE;
}

BOOL WINAPI Wow64DisableWow64FsRedirection(PVOID* /*old_value*/) {
  return Refuse(Op::kWow64Disable);
}
BOOL WINAPI Wow64RevertWow64FsRedirection(PVOID /*old_value*/) {
  return Refuse(Op::kWow64Revert);
}

bool EqualsIgnoringCase(const std::wstring& a, const wchar_t* b) {
  return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b, -1) == CSTR_EQUAL;
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR name) {
  std::wstring text = name == nullptr ? std::wstring() : std::wstring(name);
  Fault fault;
  if (vur::posix::testing::TakeFault(Op::kLoadLibrary, text, &fault)) {
    SetLastError(fault.code);
    return fault.succeed ? kKernel32 : nullptr;
  }
  if (EqualsIgnoringCase(text, L"Kernel32.dll") || EqualsIgnoringCase(text, L"Kernel32"))
    return kKernel32;
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  std::string text = name == nullptr ? "" : name;
  FARPROC found = nullptr;
  if (module == kKernel32 && text == "Wow64DisableWow64FsRedirection") {
    found = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&Wow64DisableWow64FsRedirection));
  } else if (module == kKernel32 && text == "Wow64RevertWow64FsRedirection") {
    found = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&Wow64RevertWow64FsRedirection));
  }
  Fault fault;
  if (vur::posix::testing::TakeFault(Op::kGetProcAddress, vur::posix::DecodeUtf8(text.data(), text.size()),
                                     &fault)) {
    SetLastError(fault.code);
    return fault.succeed ? found : nullptr;
  }
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (found == nullptr) SetLastError(ERROR_PROC_NOT_FOUND);
  return found;
}
