#include <gtest/gtest.h>

#include <string>

#include "pe_builder.h"
#include "support/scanner_fixture.h"

namespace vur {
namespace {

using test::Narrow;

class FileReportTest : public test::ScannerTest {
 protected:
  void WritePe(const std::string& name, const test::Version& version) {
    test::WriteBytes(machine_.Native(name), test::BuildPeWithVersion(version));
  }
  // The report of one file: its console output.
  std::string Report(const std::string& name, const ExtensionSet& extensions) {
    std::size_t before = console_.Text().size();
    scanner_->OutputFileInfo(machine_.Wide(name), extensions);
    return console_.Text().substr(before);
  }
  std::string Line(const std::string& name, const std::string& version) {
    return Narrow(machine_.Wide(name)) + " - " + version + "\n";
  }
  const ExtensionSet kDefaults = {L".com", L".exe"};
};

TEST_F(FileReportTest, ExtensionIsACaseBlindEndingOfTheWholePath) {
  MakeScanner();
  for (const char* name : {"APP.EXE", "app.exe.bak", "app.dll", "notepadexe", "x.Com"})
    WritePe(name, {1, 2, 3, 4});
  EXPECT_EQ(Line("APP.EXE", "1.2.3.4"), Report("APP.EXE", kDefaults));
  EXPECT_EQ(Line("x.Com", "1.2.3.4"), Report("x.Com", kDefaults));
  EXPECT_EQ("", Report("app.exe.bak", kDefaults));
  EXPECT_EQ("", Report("app.dll", kDefaults));
  EXPECT_EQ("", Report("notepadexe", kDefaults));
  EXPECT_EQ(Line("notepadexe", "1.2.3.4"), Report("notepadexe", {L"exe"}));
  EXPECT_EQ("", Report("APP.EXE", {}));
  // Two entries that both match still give one line.
  EXPECT_EQ(Line("APP.EXE", "1.2.3.4"), Report("APP.EXE", {L".EXE", L".exe"}));
  // An entry as long as the path never matches.
  std::wstring whole = machine_.Wide("APP.EXE");
  std::size_t before = console_.Text().size();
  scanner_->OutputFileInfo(whole, {whole});
  EXPECT_EQ(before, console_.Text().size());
}

TEST_F(FileReportTest, VersionsAndTheirTraceLine) {
  MakeScanner();
  WritePe("win.exe", {6, 1, 7600, 16385});
  WritePe("zero.exe", {0, 0, 0, 0});
  machine_.WriteFile("text.exe", "not a program\n");
  EXPECT_EQ(Line("win.exe", "6.1.7600.16385"), Report("win.exe", kDefaults));
  EXPECT_EQ(Line("zero.exe", "0.0.0.0"), Report("zero.exe", kDefaults));
  EXPECT_EQ(Line("text.exe", "<none>"), Report("text.exe", kDefaults));
  EXPECT_EQ(0u, GetLastError());
  std::string log = Log();
  std::string win = Narrow(machine_.Wide("win.exe"));
  EXPECT_NE(std::string::npos,
            log.find("# GetFileVersion() " + win + " | GFVISW | GFVIW | VQVW | len=52\n" + win +
                     " - 6.1.7600.16385\n"))
      << log;
  std::string text = Narrow(machine_.Wide("text.exe"));
  // Windows says 1812 or 1813 here depending on the file; both end the probe
  // quietly with "<none>".
  bool quiet = log.find("# GetFileVersion() " + text + " | GFVISW | ERROR_RESOURCE_DATA_NOT_FOUND\n") !=
                   std::string::npos ||
               log.find("# GetFileVersion() " + text + " | GFVISW | ERROR_RESOURCE_TYPE_NOT_FOUND\n") !=
                   std::string::npos;
  EXPECT_TRUE(quiet) << log;
}

TEST_F(FileReportTest, MalformedRootBlocksGiveNoVersion) {
  MakeScanner();
  // Root blocks that are too short, or are not the fixed file information.
  struct Case {
    const char* name;
    test::Bytes block;
  } cases[] = {
      {"short.exe", test::Bytes{4, 0}},
      {"len51.exe", [] {
         test::Bytes b = test::VersionBlock({1, 2, 3, 4});
         test::Put16(&b, 2, 51);
         return b;
       }()},
      {"badsig.exe", [] {
         test::Bytes b = test::VersionBlock({1, 2, 3, 4});
         test::Put32(&b, 40, 0x12345678);  // the signature follows the 40-byte header
         return b;
       }()},
  };
  for (const Case& c : cases) {
    test::PeOptions options;
    options.resources = {{test::kRtVersion, 1, 0x409, c.block}};
    test::WriteBytes(machine_.Native(c.name), test::BuildPe(options));
    EXPECT_EQ(Line(c.name, "<none>"), Report(c.name, kDefaults)) << c.name;
  }
}

// A file whose data entry states fewer bytes than its version block holds,
// listed right after a good file of another version: the platform copies
// only the stated bytes and reports success, so a buffer that kept the good
// file's block would lend it that file's version. Cut before the fixed
// information's signature, there is no version; from the signature on, the
// words that were not copied read as zeros; from 56 bytes on, the file's own
// version is whole. The same on every build, through Wine's reader and ours.
TEST_F(FileReportTest, ACutShortResourceNeverBorrowsTheFileBeforeIt) {
  MakeScanner();
  struct Case {
    std::uint32_t entry_size;
    const char* expected;
  } cases[] = {{0, "<none>"},    {2, "<none>"},    {6, "<none>"},     {20, "<none>"},
               {38, "<none>"},   {40, "<none>"},   {44, "0.0.0.0"},   {48, "0.0.0.0"},
               {52, "3.4.0.0"},  {56, "3.4.5.6"},  {64, "3.4.5.6"},   {91, "3.4.5.6"}};
  WritePe("good.exe", {1, 2, 3, 4});
  for (const Case& c : cases) {
    std::string name = "cut" + std::to_string(c.entry_size) + ".exe";
    test::PeLayout layout;
    test::Bytes image = test::BuildPeWithVersion({3, 4, 5, 6}, false, &layout);
    test::Put32(&image, layout.version_data_entry + 4, c.entry_size);
    test::WriteBytes(machine_.Native(name), image);
    EXPECT_EQ(Line("good.exe", "1.2.3.4"), Report("good.exe", kDefaults));
    EXPECT_EQ(Line(name, c.expected), Report(name, kDefaults)) << "data entry of " << c.entry_size;
  }
  // After a resource that grew the buffer, too: the bytes past the size the
  // small file's size call states are the big file's, and are never read.
  test::Bytes block = test::VersionBlock({9, 8, 7, 6});
  block.resize(48 * 1024, 0);
  test::PeOptions options;
  options.resources = {{test::kRtVersion, 1, 0x409, block}};
  test::WriteBytes(machine_.Native("big.exe"), test::BuildPe(options));
  EXPECT_EQ(Line("big.exe", "9.8.7.6"), Report("big.exe", kDefaults));
  EXPECT_EQ(Line("cut0.exe", "<none>"), Report("cut0.exe", kDefaults));
  EXPECT_EQ(Line("cut40.exe", "<none>"), Report("cut40.exe", kDefaults));
  EXPECT_EQ(0u, GetLastError());
}

TEST_F(FileReportTest, ResourceLargerThanTheBufferIsReadCutShort) {
  MakeScanner();
  test::Bytes block = test::VersionBlock({9, 8, 7, 6});
  block.resize(1536 * 1024, 0);  // the root's length word still says the real size
  test::PeOptions options;
  options.resources = {{test::kRtVersion, 1, 0x409, block}};
  test::WriteBytes(machine_.Native("big.exe"), test::BuildPe(options));
  EXPECT_EQ(Line("big.exe", "9.8.7.6"), Report("big.exe", kDefaults));
  EXPECT_EQ(1048576u, scanner_->buffer()->Capacity());
  EXPECT_NE(std::string::npos, Log().find("\n#GrowToFit expanding buffer to 1048576\n"));
}

TEST_F(FileReportTest, MissingFileIsReportedWithItsCode) {
  MakeScanner();
  EXPECT_EQ("\n# ERROR: GetLastError returned 0x2\n" + Line("gone.exe", "<none>"),
            Report("gone.exe", kDefaults));
  EXPECT_EQ(0u, GetLastError());
}

TEST_F(FileReportTest, PathTooLongForTheReportBufferIsPrintedWhole) {
  MakeScanner();
  // Longer than any path Linux opens, so the probe fails; the line must
  // still carry the whole path.
  std::string relative;
  for (int i = 0; i < 22; ++i) relative += std::string(200, static_cast<char>('a' + i)) + "/";
  std::string name = relative + "long.exe";
  std::string expected = Line(name, "<none>");
  ASSERT_GT(expected.size(), 4200u);
  std::string report = Report(name, kDefaults);
  ASSERT_GE(report.size(), expected.size());
  EXPECT_EQ(expected, report.substr(report.size() - expected.size()));
  EXPECT_EQ(0u, GetLastError());
}

}  // namespace
}  // namespace vur
