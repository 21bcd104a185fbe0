// Tests whose checks depend on the exception code a page fault raises.
//
// The 32-bit tests may run under qemu-user (tests/qemu_i386.sh, which sets
// VUR_I386_EMULATED=1). qemu hands Wine trap number -1 for a page fault, so
// every fault of the process arrives as EXCEPTION_ILLEGAL_INSTRUCTION: neither
// our containment nor a guard of the platform's own (ntdll's resource lookup,
// lstrlenW) sees the access violation it waits for, and the fault ends the
// process. Such a test starts with SKIP_WHERE_PAGE_FAULTS_ARE_EMULATED(); under
// the emulator it is skipped, counted so by GoogleTest, whose output then
// shows one line naming the test and saying why. Everything else runs there
// as anywhere.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace vur::test {

inline bool PageFaultsEmulated() {
#if defined(__i386__) || defined(_M_IX86)
  const char* value = std::getenv("VUR_I386_EMULATED");
  return value != nullptr && std::strcmp(value, "1") == 0;
#else
  return false;  // only 32-bit programs run under the emulator
#endif
}

// "SKIP Suite.Test: why". GoogleTest's brief output shows a skip's message
// under its source line but does not name the test.
inline std::string WhyPageFaultTestIsSkipped() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  return std::string("SKIP ") + test->test_suite_name() + "." + test->name() +
         ": under qemu-user every page fault arrives as EXCEPTION_ILLEGAL_INSTRUCTION "
         "(0xC000001D), not as the access violation this test depends on";
}

}  // namespace vur::test

#define SKIP_WHERE_PAGE_FAULTS_ARE_EMULATED()                              \
  do {                                                                     \
    if (::vur::test::PageFaultsEmulated())                                 \
      GTEST_SKIP() << ::vur::test::WhyPageFaultTestIsSkipped();            \
  } while (0)
