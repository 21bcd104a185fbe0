#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "platform/contained_call.h"
#include "platform/windows/contained_call_internal.h"
#include "support/emulation.h"

namespace vur {
namespace {

// ntdll's memcpy: platform code that faults on a bad source and does not
// catch the fault itself, as the version reader's copy does.
using Copy = void*(__cdecl*)(void*, const void*, std::size_t);
Copy PlatformCopy() {
  return reinterpret_cast<Copy>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "memcpy")));
}

const void* const kUnmapped = reinterpret_cast<const void*>(std::uintptr_t{16});

int FaultingCopy() {
  char target[64];
  PlatformCopy()(target, kUnmapped, sizeof target);
  return 1;
}

void* HandlerChain() {
#if defined(__i386__) || defined(_M_IX86)
  // NtCurrentTeb reads %fs:0x18; GCC 12 takes that for a read of a zero-length
  // array at address 0x18 and warns (-Warray-bounds). The read is sound.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
  return reinterpret_cast<NT_TIB*>(NtCurrentTeb())->ExceptionList;
#pragma GCC diagnostic pop
#else
  return nullptr;  // x86_64 keeps no chain: its handlers are found by the unwind tables
#endif
}

TEST(ContainedCallTest, AFaultInsidePlatformCodeBecomesAPlatformFault) {
  SKIP_WHERE_PAGE_FAULTS_ARE_EMULATED();
  ASSERT_NE(nullptr, PlatformCopy());
  void* chain = HandlerChain();
  SetLastError(0xdeadbeef);
  DWORD code = 0;
  DWORD last_error = 0;
  try {
    ContainFaults(nullptr, [] {
      SetLastError(ERROR_ACCESS_DENIED);  // the abandoned call's code must not survive it
      return FaultingCopy();
    });
  } catch (const PlatformFault& fault) {
    last_error = GetLastError();
    code = fault.code;
  }
  EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), code);
  EXPECT_EQ(0xdeadbeefu, last_error);
  EXPECT_EQ(chain, HandlerChain());
}

TEST(ContainedCallTest, CallsThatReturnGiveTheirResultAndKeepTheirCode) {
  SetLastError(0);
  EXPECT_EQ(7, ContainFaults(nullptr, [] {
              SetLastError(ERROR_MORE_DATA);
              return 7;
            }));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
}

TEST(ContainedCallTest, ALongRunOfFaultsLeavesTheThreadWhole) {
  SKIP_WHERE_PAGE_FAULTS_ARE_EMULATED();
  void* chain = HandlerChain();
  int faults = 0;
  for (int i = 0; i < 2000; ++i) {
    try {
      ContainFaults(nullptr, FaultingCopy);
    } catch (const PlatformFault&) {
      ++faults;
    }
    // A contained call inside another one, which then faults itself.
    try {
      ContainFaults(nullptr, [] {
        try {
          ContainFaults(nullptr, FaultingCopy);
        } catch (const PlatformFault&) {
        }
        return FaultingCopy();
      });
    } catch (const PlatformFault&) {
      ++faults;
    }
  }
  EXPECT_EQ(4000, faults);
  EXPECT_EQ(chain, HandlerChain());
  EXPECT_EQ(42, ContainFaults(nullptr, [] { return 42; }));
  // C++ exceptions still work through the frames that were unwound.
  EXPECT_THROW(throw PlatformFault{1}, PlatformFault);
}

TEST(ContainedCallTest, AFaultThePlatformCatchesItselfStaysItsOwn) {
  SKIP_WHERE_PAGE_FAULTS_ARE_EMULATED();
  // lstrlenW guards its own reads and answers 0 for an unreadable string.
  SetLastError(0);
  EXPECT_EQ(0, ContainFaults(nullptr, [] { return lstrlenW(static_cast<LPCWSTR>(kUnmapped)); }));
}

TEST(ContainedCallTest, OnlyMemoryAndIntegerFaultsOutsideOurImage) {
  const void* own_begin = nullptr;
  const void* own_end = nullptr;
  contained::OwnImage(&own_begin, &own_end);
  const void* ours = reinterpret_cast<const void*>(&FaultingCopy);
  ASSERT_LE(own_begin, ours);
  ASSERT_LT(ours, own_end);
  void* platform = reinterpret_cast<void*>(PlatformCopy());
  struct Case {
    DWORD code;
    DWORD flags;
    void* address;
    bool contained;
  } cases[] = {
      {EXCEPTION_ACCESS_VIOLATION, 0, platform, true},
      {EXCEPTION_IN_PAGE_ERROR, 0, platform, true},
      {EXCEPTION_DATATYPE_MISALIGNMENT, 0, platform, true},
      {EXCEPTION_INT_DIVIDE_BY_ZERO, 0, platform, true},
      {EXCEPTION_ACCESS_VIOLATION, 0, const_cast<void*>(ours), false},  // our own bug
      {EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, platform, false},
      {EXCEPTION_ACCESS_VIOLATION, EXCEPTION_UNWINDING, platform, false},
      {EXCEPTION_STACK_OVERFLOW, 0, platform, false},
      {EXCEPTION_BREAKPOINT, 0, platform, false},
      {EXCEPTION_ILLEGAL_INSTRUCTION, 0, platform, false},
      {0xC0000374, 0, platform, false},  // heap corruption
      {0xE06D7363, 0, platform, false},  // a C++ exception of the other runtime
      {0x20474343, 0, platform, false},  // ours
  };
  for (const Case& c : cases) {
    EXCEPTION_RECORD record{};
    record.ExceptionCode = c.code;
    record.ExceptionFlags = c.flags;
    record.ExceptionAddress = c.address;
    EXPECT_EQ(c.contained, contained::IsContainedFault(record, own_begin, own_end))
        << std::hex << c.code << " flags " << c.flags;
  }
}

TEST(ContainedCallDeathTest, AFaultInOurOwnCodeStillEndsTheProcess) {
  EXPECT_DEATH(ContainFaults(nullptr,
                             [] {
                               volatile int* volatile target = nullptr;
                               *target = 1;
                               return 0;
                             }),
               "");
}

}  // namespace
}  // namespace vur
