// What a load takes from the file system: machine names, the files of a
// folder, and how each file is opened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

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

// A folder of its own for one test, removed after it.
class Tree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("vurfleet_files." + std::to_string(getpid()) + "." +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }
  void Write(const std::string& name, const std::string& text) {
    fs::create_directories((root_ / name).parent_path());
    std::ofstream(root_ / name) << text;
  }
  fs::path root_;
};

TEST_F(Tree, EveryTxtBelowAFolderInNameOrderAndNoLinkFollowed) {
  for (const char* name : {"PC2.txt", "PC1.TXT", "b/PC3.2026-12-09.txt", "b/deep/PC4.txt",
                           "desktop.ini", "Thumbs.db", "PC5.txt.bak", "a.txt.d/notes"}) {
    Write(name, "x");
  }
  Write("outside/secret.txt", "db_password=1");
  fs::create_symlink(root_ / "b", root_ / "link-to-b");
  fs::create_symlink(root_ / "PC2.txt", root_ / "PC6.txt");
  fs::create_symlink("/etc/hostname", root_ / "out.txt");
  fs::create_symlink(root_ / "nowhere", root_ / "dangling.txt");
  fs::create_symlink(root_ / "outside", root_ / "b" / "deep" / "away");
  ASSERT_EQ(mkfifo((root_ / "fifo.txt").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo((root_ / "fifo.ini").c_str(), 0600), 0);
  fs::remove_all(root_ / "outside");  // the link below leads nowhere now; it is named all the same

  const std::string link = "a link: not followed";
  struct {
    const char* path;
    std::string error;  // a part of it; "" for a file to read
  } expected[] = {
      {"PC1.TXT", ""},          {"PC2.txt", ""},
      {"PC6.txt", link},        {"b/PC3.2026-12-09.txt", ""},
      {"b/deep/PC4.txt", ""},   {"b/deep/away", link},
      {"dangling.txt", link},   {"fifo.txt", "not a regular file"},
      {"link-to-b", link},      {"out.txt", link},
  };
  const std::vector<FileToLoad> files = ListFiles({root_.string()});
  ASSERT_EQ(files.size(), std::size(expected));
  for (std::size_t i = 0; i < files.size(); ++i) {
    const FileToLoad& f = files[i];
    EXPECT_EQ(f.path, (root_ / expected[i].path).string());
    EXPECT_EQ(f.error.empty(), expected[i].error.empty()) << f.path << ": " << f.error;
    EXPECT_NE(f.error.find(expected[i].error), std::string::npos) << f.path << ": " << f.error;
    // A file to read names the folder it was found in, and its path below it.
    EXPECT_EQ(f.folder, f.error.empty() ? root_.string() : "") << f.path;
    if (f.error.empty()) {
      EXPECT_EQ(f.below, expected[i].path);
    }
  }
  // A folder given with a slash at its end names its files the same way.
  EXPECT_EQ(ListFiles({root_.string() + "/"})[0].path, (root_ / "PC1.TXT").string());
  // A file or folder given is taken as given, whatever its name or kind.
  EXPECT_EQ(ListFiles({(root_ / "desktop.ini").string()}).size(), 1u);
  const std::vector<FileToLoad> through_link = ListFiles({(root_ / "link-to-b").string()});
  ASSERT_EQ(through_link.size(), 3u);
  EXPECT_EQ(through_link[0].path, (root_ / "link-to-b" / "PC3.2026-12-09.txt").string());
}

TEST_F(Tree, AFileFoundIsOpenedFollowingNoLink) {
  Write("site/PC1.txt", "found");
  Write("elsewhere/PC1.txt", "db_password=1");
  ASSERT_EQ(mkfifo((root_ / "fifo.txt").c_str(), 0600), 0);
  const auto found = [&](const std::string& below) {
    return FileToLoad{(root_ / below).string(), "", root_.string(), below};
  };
  const auto given = [&](const std::string& path) {
    return FileToLoad{(root_ / path).string(), "", "", ""};
  };
  std::string error;
  EXPECT_EQ(ReadFileBytes(found("site/PC1.txt"), &error), "found");

  // What the walk saw is swapped before the file is read: a folder for a
  // link to another, a file for a link and for a FIFO (read without
  // waiting for a writer). Nothing of the other place is read.
  fs::rename(root_ / "site", root_ / "site.old");
  fs::create_symlink(root_ / "elsewhere", root_ / "site");
  fs::create_symlink(root_ / "elsewhere" / "PC1.txt", root_ / "PC2.txt");
  struct {
    FileToLoad file;
    std::optional<std::string> bytes;
    const char* error;  // a part of it
  } cases[] = {
      {found("site/PC1.txt"), std::nullopt, "a link: not followed"},
      {found("PC2.txt"), std::nullopt, "a link: not followed"},
      {found("fifo.txt"), std::nullopt, "not a regular file"},
      {found("missing/PC1.txt"), std::nullopt, "cannot open: No such file"},
      {found("site.old/PC1.txt"), "found", ""},
      // Given on the command line: as given, links followed.
      {given("site/PC1.txt"), "db_password=1", ""},
      {given("PC2.txt"), "db_password=1", ""},
      {given("missing.txt"), std::nullopt, "cannot open: No such file"},
      {given("site.old"), std::nullopt, "a folder"},
  };
  for (const auto& c : cases) {
    error.clear();
    EXPECT_EQ(ReadFileBytes(c.file, &error), c.bytes) << c.file.path;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.file.path << ": " << error;
  }

  // A FIFO given on the command line is read as the file it is.
  std::thread writer([&] { std::ofstream(root_ / "fifo.txt") << "through a FIFO"; });
  EXPECT_EQ(ReadFileBytes(given("fifo.txt"), &error), "through a FIFO");
  writer.join();
}

}  // namespace
}  // namespace vurfleet
