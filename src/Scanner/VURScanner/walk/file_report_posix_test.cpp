// The file report where the POSIX layer's version reader gives the code
// Windows gives; under Wine every "no version" case reads as 1812.
#include <gtest/gtest.h>

#include <string>

#include "pe_builder.h"
#include "platform/posix/test_hooks.h"
#include "support/scanner_fixture.h"

namespace vur {
namespace {

class FileReportPosixTest : public test::ScannerTest {};

TEST_F(FileReportPosixTest, ResourcesWithoutAVersionEndTheProbeQuietly) {
  Scanner& scanner = MakeScanner();
  test::PeOptions options;
  options.resources = {{test::kRtRcdata, 1, 0x409, {1, 2, 3, 4}}};
  test::WriteBytes(machine_.Native("rcdata.exe"), test::BuildPe(options));
  std::wstring path = machine_.Wide("rcdata.exe");
  std::string text = test::Narrow(path);
  scanner.OutputFileInfo(path, {L".exe"});
  EXPECT_EQ(text + " - <none>\n", console_.Text());
  EXPECT_EQ("# GetFileVersion() " + text + " | GFVISW | ERROR_RESOURCE_TYPE_NOT_FOUND\n" + text +
                " - <none>\n",
            Log());
  EXPECT_EQ(0u, GetLastError());
}

// Whatever makes the platform copy less than the buffer's capacity, the probe
// reads nothing that the copy did not bring: here the layer's reader copies
// only a few bytes of a whole resource and reports success, after a file that
// filled the buffer with a good block.
TEST_F(FileReportPosixTest, AShortCopyAfterAFullOneGivesNoBorrowedVersion) {
  namespace hooks = posix::testing;
  Scanner& scanner = MakeScanner();
  test::WriteBytes(machine_.Native("good.exe"), test::BuildPeWithVersion({1, 2, 3, 4}));
  test::WriteBytes(machine_.Native("next.exe"), test::BuildPeWithVersion({3, 4, 5, 6}));
  std::wstring good = machine_.Wide("good.exe"), next = machine_.Wide("next.exe");
  for (long copied : {0L, 2L, 20L, 40L}) {
    scanner.OutputFileInfo(good, {L".exe"});
    hooks::Fault fault{hooks::Op::kGetFileVersionInfo, next};
    fault.copy_at_most = copied;
    hooks::InjectFault(fault);
    std::size_t before = console_.Text().size();
    scanner.OutputFileInfo(next, {L".exe"});
    EXPECT_EQ(test::Narrow(next) + " - <none>\n", console_.Text().substr(before))
        << copied << " bytes copied";
  }
  // A copy that brings the version words whole gives them.
  hooks::Fault fault{hooks::Op::kGetFileVersionInfo, next};
  fault.copy_at_most = 56;
  hooks::InjectFault(fault);
  std::size_t before = console_.Text().size();
  scanner.OutputFileInfo(next, {L".exe"});
  EXPECT_EQ(test::Narrow(next) + " - 3.4.5.6\n", console_.Text().substr(before));
  EXPECT_EQ(0u, GetLastError());
}

}  // namespace
}  // namespace vur
