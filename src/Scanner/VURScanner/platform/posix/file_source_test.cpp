// The prefetch on a cold page cache: once one prefetch has had to leave a
// read to the disk, the files prefetched after it are read page for page,
// without the kernel's readahead window around each read.
#include "platform/posix/file_source.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pe_builder.h"
#include "support/test_machine.h"

namespace vur::posix {
namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kPages = 16;

// Which of the file's first kPages pages are in the page cache.
std::vector<bool> CachedPages(const std::string& path) {
  std::vector<bool> cached;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return cached;
  void* map = mmap(nullptr, kPages * kPage, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return cached;
  unsigned char vec[kPages];
  if (mincore(map, kPages * kPage, vec) == 0)
    for (unsigned char v : vec) cached.push_back((v & 1) != 0);
  munmap(map, kPages * kPage);
  return cached;
}

// Writes a file of kPages pages that starts as a DOS image and is no PE
// image, so the prefetch reads its first page only, and drops it from the
// page cache. False when the pages stay cached (a file system in memory).
bool WriteDropped(const std::string& path) {
  test::Bytes bytes(kPages * kPage, 0x41);
  bytes[0] = 'M';
  bytes[1] = 'Z';
  if (!test::WriteBytes(path, bytes)) return false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  fsync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
  std::vector<bool> cached = CachedPages(path);
  return cached.size() == kPages && std::find(cached.begin(), cached.end(), true) == cached.end();
}

// Starts the prefetch of `path` and moves it on until its first page is in
// memory.
std::unique_ptr<FileSource> PrefetchAndWait(const std::string& path) {
  auto file = StartPrefetch(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  for (int i = 0; i < 2000 && !CachedPages(path).at(0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    AdvancePrefetches();
  }
  return file;
}

TEST(FilePrefetchTest, ReadsExactlyOnceTheCacheIsFoundCold) {
  test::TestMachine machine;
  std::string first = machine.Native("first.exe"), second = machine.Native("second.exe");
  if (!WriteDropped(first) || !WriteDropped(second))
    GTEST_SKIP() << "this file system keeps the pages in memory";
  prefetch_testing::SetCold(false);

  long deferred = prefetch_testing::Deferred(), exact = prefetch_testing::Exact();
  auto a = PrefetchAndWait(first);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(prefetch_testing::Deferred(), deferred + 1) << "the first page was not in memory";
  EXPECT_EQ(prefetch_testing::Exact(), exact) << "nothing had been found cold before";
  std::vector<bool> read_ahead = CachedPages(first);
  ASSERT_TRUE(read_ahead.at(0));
  if (!read_ahead.at(1)) GTEST_SKIP() << "the kernel reads nothing ahead on this device";

  auto b = PrefetchAndWait(second);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(prefetch_testing::Exact(), exact + 1);
  std::vector<bool> exactly = CachedPages(second);
  ASSERT_TRUE(exactly.at(0));
  for (std::size_t page = 1; page < kPages; ++page) EXPECT_FALSE(exactly[page]) << "page " << page;
  prefetch_testing::SetCold(false);
}

}  // namespace
}  // namespace vur::posix
