// A file read for its version resource, and the prefetch that the folder
// listing starts for the files it expects to be probed.
//
// The walk is one thread and each probe waits for its reads, so on a cold
// cache a probe costs two or three disk round trips in a row (the inode, the
// headers, the resource). The listing opens the files it expects to be
// probed as soon as it has read their folder, often several folders before
// the walker gets there, and asks the kernel to read their headers. Each
// later listing call moves the prefetches on without waiting: once the
// headers are in memory, the resource is asked for, and so on. By the time
// the walker probes the file, its pages are usually in memory. With a warm
// cache the prefetch makes the same calls the probe would have made (open,
// fstat, the first read), only earlier, and the probe reuses them. Once a
// prefetch has had to wait, the cache is cold, and the files prefetched from
// then on are read page for page, with no readahead window around each read.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/posix/version_info_reader.h"
#include "platform/posix/win32_posix.h"

namespace vur::posix {

class FileSource : public ByteSource {
 public:
  // User-provided, so that make_unique leaves the two cache blocks
  // uninitialised instead of zeroing 8 KiB per probe.
  FileSource() {}
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() override;

  // 0, or the Win32 code for why the image can't be read.
  DWORD Open(const wchar_t* path);

  std::uint64_t Size() const override { return size_; }

  // Header and directory reads are small and close together: they are served
  // from two cached blocks, so a probe costs a few reads, not one per field.
  bool ReadAt(std::uint64_t offset, void* out, std::size_t n) const override;

  // The errno of the last failed read, 0 when none failed: an I/O error is
  // reported as such rather than as a malformed image.
  int read_errno() const { return read_errno_; }

  // Ends the prefetch: reads wait for the disk again, and no earlier failure
  // is remembered. The cached blocks stay.
  void StopPrefetch();

  // Where the prefetch found the version resource; false when it found none
  // or didn't get that far (the probe then looks for itself).
  bool Located(ResourceLocation* where) const {
    if (located_) *where = where_;
    return located_;
  }

 private:
  friend std::unique_ptr<FileSource> StartPrefetch(int fd);
  friend void AdvancePrefetches();

  static constexpr std::size_t kBlockSize = 2048;
  struct Block {
    std::uint64_t index = UINT64_MAX;
    unsigned char bytes[kBlockSize];
  };

  const Block* CachedBlock(std::uint64_t index) const;
  bool ReadDirect(std::uint64_t offset, void* out, std::size_t n) const;
  // One step of the prefetch; true when nothing is left for it to do.
  bool Advance();

  int fd_ = -1;
  std::uint64_t size_ = 0;
  mutable int read_errno_ = 0;
  mutable Block blocks_[2];
  mutable int next_victim_ = 0;
  // While prefetching, a read of bytes not in memory fails at once, and the
  // kernel is asked to read them.
  mutable bool no_wait_ = false;
  mutable bool would_block_ = false;
  bool waited_ = false;   // some read was left to the kernel

  bool counted_ = false;  // holds one of the prefetch's places
  bool located_ = false;
  ResourceLocation where_;
};

// Notes the file that a probe was asked for: files of the listing whose
// names end as the probed ones do (".exe", say) are prefetched from now on.
// True when its name taught an ending not known before.
bool NoteProbedPath(const wchar_t* path);

// Whether a listed name ends as a probed file's name did.
bool IsLikelyProbed(const char* name, std::size_t length);

// Takes `fd`, a file just opened for reading, and starts its prefetch: null
// (and `fd` closed) when it is not a regular file or too many prefetches are
// under way.
std::unique_ptr<FileSource> StartPrefetch(int fd);

// Whether another prefetch may start now.
bool PrefetchHasRoom();

// Moves every prefetch under way on by a step, without waiting.
void AdvancePrefetches();

// Stops prefetching for the rest of the run (the process is short of file
// descriptors).
void DisablePrefetch();
bool PrefetchDisabled();

namespace prefetch_testing {
// Since the process started: prefetches started, and reads a prefetch left
// to the kernel because the bytes were not in memory.
long Started();
long Deferred();
// Prefetches started since the process started that read exactly what they
// ask for, the cache having been found cold.
long Exact();
// Sets whether the cache counts as cold.
void SetCold(bool cold);
// Prefetches under way now.
int Live();
// Undoes DisablePrefetch.
void Resume();
// Forgets the name endings learnt so far.
void ForgetEndings();
}  // namespace prefetch_testing

}  // namespace vur::posix
