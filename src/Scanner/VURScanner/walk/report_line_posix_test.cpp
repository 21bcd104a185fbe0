// The report line of a path too long for the report buffer, with a code the
// probe left pending: the code must outlive the conversion of the path.
#include <gtest/gtest.h>

#include <string>

#include "pe_builder.h"
#include "platform/posix/test_hooks.h"
#include "support/scanner_fixture.h"

namespace vur {
namespace {

using posix::testing::Fault;
using posix::testing::Op;

class ReportLineTest : public test::ScannerTest {};

TEST_F(ReportLineTest, LongPathKeepsTheCodeThatTheProbeLeftPending) {
  MakeScanner();
  test::WriteBytes(machine_.Native("x.exe"), test::BuildPeWithVersion({1, 2, 3, 4}));
  // "a\..\" repeated resolves to the drive root, so the file is found while
  // the path's UTF-8 form is far longer than the report buffer.
  std::wstring path = machine_.Root();
  while (path.size() < 6000) path += L"a\\..\\";
  path += L"x.exe";
  std::string expected_line = test::Narrow(path) + " - <none>\n";

  // GetFileVersionInfoW fails and leaves its code for the walker's checkpoint.
  posix::testing::InjectFault(Fault{Op::kGetFileVersionInfo, path, 0x4d2});
  std::size_t before = console_.Text().size();
  scanner_->OutputFileInfo(path, {L".exe"});
  EXPECT_EQ(expected_line, console_.Text().substr(before));
  EXPECT_EQ(0x4d2u, GetLastError());
  EXPECT_NE(std::string::npos, Log().find("| GFVIW | returned false\n " + expected_line));

  // The same path with nothing pending: a version, and no code made up.
  SetLastError(0);
  before = console_.Text().size();
  scanner_->OutputFileInfo(path, {L".exe"});
  EXPECT_EQ(test::Narrow(path) + " - 1.2.3.4\n", console_.Text().substr(before));
  EXPECT_EQ(0u, GetLastError());
}

}  // namespace
}  // namespace vur
