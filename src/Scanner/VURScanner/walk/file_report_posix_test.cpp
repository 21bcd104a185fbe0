// The file report where the POSIX layer's version reader gives the code
// Windows gives; under Wine every "no version" case reads as 1812.
#include <gtest/gtest.h>

#include <string>

#include "pe_builder.h"
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

}  // namespace
}  // namespace vur
