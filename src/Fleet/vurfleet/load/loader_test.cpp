// What a load takes from the file system: machine names and the files of a
// folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "load/files.h"
#include "load/loader.h"

namespace vurfleet {
namespace {

namespace fs = std::filesystem;

TEST(MachineName, FromTheFileName) {
  EXPECT_EQ(MachineOfFileName("PC042.txt"), "PC042");
  EXPECT_EQ(MachineOfFileName("PC042.2026-12-09.txt"), "PC042");
  EXPECT_EQ(MachineOfFileName("PC042"), "PC042");
  EXPECT_EQ(MachineOfFileName(".txt"), std::nullopt);
  EXPECT_EQ(MachineOfFileName(""), std::nullopt);
}

TEST(MachineName, OnlyWhatACompputerNameHolds) {
  for (const char* good : {"PC042", "pc-042", "build_7", "\xC3\x84RGER", "\xD0\x9F\xD0\x9A"}) {
    EXPECT_TRUE(IsMachineName(good)) << good;
  }
  for (const char* bad : {"", "-PC", "PC 42", "PC\t42", "=1+1", "a/b", "PC\n", "a\\b",
                          "\xE2\x80\xA8", "\xC3", "\xEF\x80\x8A",
                          "1234567890123456789012345678901234567890123456789012345678901234"}) {
    EXPECT_FALSE(IsMachineName(bad)) << bad;
  }
}

TEST(ListFiles, EveryTxtBelowAFolderInNameOrder) {
  const fs::path root = fs::temp_directory_path() / ("vurfleet_list." + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "b" / "deep");
  fs::create_directories(root / "a.txt.d");
  for (const char* name : {"PC2.txt", "PC1.TXT", "b/PC3.2026-12-09.txt", "b/deep/PC4.txt",
                           "desktop.ini", "Thumbs.db", "PC5.txt.bak"}) {
    std::ofstream(root / name) << "x";
  }
  fs::create_symlink(root / "b", root / "link-to-b");   // not followed
  fs::create_symlink(root / "PC2.txt", root / "PC6.txt");  // a link to a file is a file
  std::vector<std::string> got;
  for (const FileToLoad& f : ListFiles({root.string()})) {
    EXPECT_EQ(f.error, "");
    got.push_back(fs::path(f.path).lexically_relative(root).string());
  }
  EXPECT_EQ(got, (std::vector<std::string>{"PC1.TXT", "PC2.txt", "PC6.txt", "b/PC3.2026-12-09.txt",
                                           "b/deep/PC4.txt"}));
  // A file named is taken whatever its name.
  EXPECT_EQ(ListFiles({(root / "desktop.ini").string()}).size(), 1u);
  std::string error;
  EXPECT_FALSE(ReadFileBytes((root / "missing.txt").string(), &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);
  EXPECT_EQ(ReadFileBytes((root / "PC2.txt").string(), &error), "x");
  fs::remove_all(root);
}

}  // namespace
}  // namespace vurfleet
