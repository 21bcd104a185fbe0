// Modules as on 32-bit Windows: Kernel32 with both WOW64 redirection
// functions, which refuse with ERROR_INVALID_FUNCTION.
#include <string>

#include <gtest/gtest.h>

#include "platform/posix/test_hooks.h"

namespace vur::posix {
namespace {

using testing::Op;

constexpr DWORD kSentinel = 0xdeadbeef;
using DisableFn = BOOL (*)(PVOID*);
using RevertFn = BOOL (*)(PVOID);

// Through void (*)(), the cast the core uses, which compilers accept quietly.
template <typename Function>
Function Find(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::Reset(); }
  void TearDown() override { testing::Reset(); }
  static HMODULE Kernel32() { return LoadLibraryW(L"Kernel32.dll"); }
};

TEST_F(ModuleTest, OnlyKernel32Loads) {
  struct Case {
    const wchar_t* name;
    bool loads;
  } cases[] = {
      {L"Kernel32.dll", true}, {L"KERNEL32.DLL", true},      {L"kernel32.dll", true},
      {L"Kernel32", true},     {L"user32.dll", false},       {L"Kernel32.dll.bak", false},
      {L"Kernel3", false},     {L"", false},                 {nullptr, false},
  };
  for (const Case& c : cases) {
    SetLastError(kSentinel);
    HMODULE module = LoadLibraryW(c.name);
    std::string name =
        c.name == nullptr ? "(null)" : ::testing::PrintToString(std::wstring(c.name));
    EXPECT_EQ(module != nullptr, c.loads) << name;
    EXPECT_EQ(GetLastError(), c.loads ? kSentinel : ERROR_MOD_NOT_FOUND) << name;
  }
}

TEST_F(ModuleTest, OnlyTheWow64FunctionsAreFound) {
  struct Case {
    const char* name;
    bool found;
  } cases[] = {
      {"Wow64DisableWow64FsRedirection", true},
      {"Wow64RevertWow64FsRedirection", true},
      {"wow64disablewow64fsredirection", false},  // names are case-sensitive
      {"Wow64EnableWow64FsRedirection", false},
      {"IsWow64Process", false},
      {"", false},
  };
  HMODULE kernel32 = Kernel32();
  ASSERT_NE(kernel32, nullptr);
  for (const Case& c : cases) {
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddress(kernel32, c.name) != nullptr, c.found) << c.name;
    EXPECT_EQ(GetLastError(), c.found ? kSentinel : ERROR_PROC_NOT_FOUND) << c.name;
  }
}

TEST_F(ModuleTest, RedirectionCallsRefuse) {
  HMODULE kernel32 = Kernel32();
  auto disable = Find<DisableFn>(kernel32, "Wow64DisableWow64FsRedirection");
  auto revert = Find<RevertFn>(kernel32, "Wow64RevertWow64FsRedirection");
  ASSERT_TRUE(disable != nullptr && revert != nullptr);
  PVOID old = &old;
  SetLastError(kSentinel);
  EXPECT_FALSE(disable(&old));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(old, &old) << "the old value is left alone";
  SetLastError(kSentinel);
  EXPECT_FALSE(revert(old));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
}

TEST_F(ModuleTest, InjectedFaults) {
  SetLastError(kSentinel);
  testing::InjectFault({Op::kLoadLibrary, L"Kernel32.dll", ERROR_NOT_ENOUGH_MEMORY});
  EXPECT_EQ(Kernel32(), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  testing::InjectFault({Op::kLoadLibrary, L"", ERROR_MORE_DATA, /*succeed=*/true});
  HMODULE kernel32 = Kernel32();
  EXPECT_NE(kernel32, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);

  testing::InjectFault(
      {Op::kGetProcAddress, L"Wow64RevertWow64FsRedirection", ERROR_PROC_NOT_FOUND});
  SetLastError(kSentinel);
  EXPECT_NE(GetProcAddress(kernel32, "Wow64DisableWow64FsRedirection"), nullptr);
  EXPECT_EQ(GetLastError(), kSentinel) << "a fault for the other name";
  EXPECT_EQ(GetProcAddress(kernel32, "Wow64RevertWow64FsRedirection"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

  auto disable = Find<DisableFn>(kernel32, "Wow64DisableWow64FsRedirection");
  auto revert = Find<RevertFn>(kernel32, "Wow64RevertWow64FsRedirection");
  testing::InjectFault({Op::kWow64Disable, L"", ERROR_SUCCESS, /*succeed=*/true});
  testing::InjectFault({Op::kWow64Revert, L"", ERROR_ACCESS_DENIED});
  PVOID old = nullptr;
  SetLastError(kSentinel);
  EXPECT_TRUE(disable(&old));
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_FALSE(revert(old));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(disable(&old)) << "the fault is used up";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
}

}  // namespace
}  // namespace vur::posix
