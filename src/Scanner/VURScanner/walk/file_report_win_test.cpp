// Damaged files that make the platform's own version reader fault. Windows
// builds only: on POSIX our own reader answers these files with "<none>".
#include <gtest/gtest.h>

#include <string>

#include "pe_builder.h"
#include "support/emulation.h"
#include "support/scanner_fixture.h"

namespace vur {
namespace {

using test::Narrow;

class DamagedFileTest : public test::ScannerTest {
 protected:
  void WriteDamaged(const std::string& name, test::Damage damage, std::size_t pad = 0) {
    test::PeOptions options;
    test::Bytes block = test::VersionBlock({6, 6, 6, 6});
    block.resize(block.size() + pad, 0);
    options.resources = {{test::kRtVersion, 1, 0x409, block}};
    test::PeLayout layout;
    test::Bytes image = test::BuildPe(options, &layout);
    test::DamageResources(&image, layout, damage);
    test::WriteBytes(machine_.Native(name), image);
  }
  void WriteGood(const std::string& name, const test::Version& version, std::size_t pad = 0) {
    test::PeOptions options;
    test::Bytes block = test::VersionBlock(version);
    block.resize(block.size() + pad, 0);
    options.resources = {{test::kRtVersion, 1, 0x409, block}};
    test::WriteBytes(machine_.Native(name), test::BuildPe(options));
  }
  std::string Report(const std::string& name) {
    std::size_t before = console_.Text().size();
    scanner_->OutputFileInfo(machine_.Wide(name), {L".exe"});
    return console_.Text().substr(before);
  }
  std::string Line(const std::string& name, const std::string& version) {
    return Narrow(machine_.Wide(name)) + " - " + version + "\n";
  }
  std::string Contained(const std::string& name) {
    return "\n# ERROR: Exception in GetFileVersion() " + Narrow(machine_.Wide(name)) + "\n";
  }

  // Bytes of the process's address space that hold views of files, as data
  // or as images (Wine maps a data file's view as an image).
  static unsigned long long MappedBytes() {
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;) {
      if ((region.Type == MEM_MAPPED || region.Type == MEM_IMAGE) && region.State == MEM_COMMIT)
        total += region.RegionSize;
      char* next = static_cast<char*>(region.BaseAddress) + region.RegionSize;
      if (next <= at) break;
      at = next;
    }
    return total;
  }
};

TEST_F(DamagedFileTest, ADataEntryOutsideTheImage) {
  SKIP_WHERE_PAGE_FAULTS_ARE_EMULATED();
  MakeScanner();
  WriteDamaged("outside.exe", test::Damage::kDataEntryOutside);
  WriteGood("good.exe", {1, 2, 3, 4});
  SetLastError(0);
  EXPECT_EQ(Contained("outside.exe"), Report("outside.exe"));
  EXPECT_EQ(0u, GetLastError());
  EXPECT_EQ(Line("good.exe", "1.2.3.4"), Report("good.exe"));
  // The trace shows where the probe was when the platform faulted.
  EXPECT_NE(std::string::npos,
            Log().find("# GetFileVersion() " + Narrow(machine_.Wide("outside.exe")) + " | GFVISW " +
                       Contained("outside.exe")))
      << Log();
}

TEST_F(DamagedFileTest, AHugeDataEntryAtTheEndOfTheFileAfterTheBufferGrew) {
  SKIP_WHERE_PAGE_FAULTS_ARE_EMULATED();
  MakeScanner();
  WriteGood("grow.exe", {2, 0, 0, 0}, 1 << 20);
  WriteDamaged("atend.exe", test::Damage::kHugeDataAtEnd);
  WriteGood("good.exe", {1, 2, 3, 4});
  EXPECT_EQ(Line("grow.exe", "2.0.0.0"), Report("grow.exe"));
  ASSERT_EQ(1048576u, scanner_->buffer()->Capacity());
  EXPECT_EQ(Contained("atend.exe"), Report("atend.exe"));
  EXPECT_EQ(Line("good.exe", "1.2.3.4"), Report("good.exe"));
  EXPECT_NE(std::string::npos,
            Log().find("# GetFileVersion() " + Narrow(machine_.Wide("atend.exe")) + " | GFVISW | GFVIW " +
                       Contained("atend.exe")))
      << Log();
}

TEST_F(DamagedFileTest, AFaultThePlatformCatchesItselfKeepsItsAnswer) {
  SKIP_WHERE_PAGE_FAULTS_ARE_EMULATED();
  MakeScanner();
  WriteDamaged("dir.exe", test::Damage::kDirectoryOutside);
  EXPECT_EQ(Line("dir.exe", "<none>"), Report("dir.exe"));
}

TEST_F(DamagedFileTest, GoodFilesAfterALongRunOfDamagedOnes) {
  SKIP_WHERE_PAGE_FAULTS_ARE_EMULATED();
  MakeScanner();
  WriteGood("grow.exe", {2, 0, 0, 0}, 1 << 20);
  WriteDamaged("outside.exe", test::Damage::kDataEntryOutside);
  WriteDamaged("atend.exe", test::Damage::kHugeDataAtEnd);
  WriteGood("good.exe", {1, 2, 3, 4});
  Report("grow.exe");
  std::string expected;
  std::string got;
  for (int i = 0; i < 150; ++i) {
    expected += Contained("outside.exe") + Contained("atend.exe") + Line("good.exe", "1.2.3.4");
    got += Report("outside.exe") + Report("atend.exe") + Report("good.exe");
  }
  EXPECT_EQ(expected, got);
}

TEST_F(DamagedFileTest, AContainedFaultLeavesNoViewOfTheFileMapped) {
  SKIP_WHERE_PAGE_FAULTS_ARE_EMULATED();
  MakeScanner();
  // 64 MiB: without the view released, 40 faults would map more than a
  // 32-bit process can hold.
  WriteDamaged("big.exe", test::Damage::kDataEntryOutside, 64 << 20);
  WriteGood("good.exe", {1, 2, 3, 4});
  unsigned long long before = MappedBytes();
  for (int i = 0; i < 40; ++i) ASSERT_EQ(Contained("big.exe"), Report("big.exe")) << i;
  EXPECT_LT(MappedBytes(), before + (64ull << 20));
  EXPECT_EQ(Line("good.exe", "1.2.3.4"), Report("good.exe"));
}

}  // namespace
}  // namespace vur
