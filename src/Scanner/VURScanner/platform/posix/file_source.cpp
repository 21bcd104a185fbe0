#include "platform/posix/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/listing.h"
#include "platform/posix/machine.h"

namespace vur::posix {
namespace {

// Prefetches under way at once: enough to cover the folders the listing
// reads ahead, few enough to leave the walker its descriptors.
constexpr int kMaxPrefetches = 64;
// The most of a version resource asked for ahead: the probe reads only the
// fixed part near its start, and a hostile size must not start a huge read.
constexpr std::uint64_t kMaxDataAhead = 64 * 1024;

int g_prefetches = 0;
long g_started = 0, g_deferred = 0, g_exact = 0;
bool g_disabled = false;
bool g_no_wait_unsupported = false;  // the file system refuses RWF_NOWAIT
// Some prefetch has had to leave a read to the disk: the cache is cold. The
// files prefetched from then on are read exactly, page for page. Otherwise
// the kernel reads ahead 16 KiB and more at each header and resource, pages
// the probe never reads, and those reads hold up the walk's own. With a warm
// cache this never happens, and costs no call.
bool g_cold = false;

// Whether an RWF_NOWAIT read that misses the page cache starts the read of
// what it missed, as Linux does since 5.9. Before that only the advice
// asks for it; after it, the advice would be a second walk of the same
// pages.
bool MissedReadsReadAhead() {
  static const bool reads_ahead = [] {
    struct utsname name;
    int major = 0, minor = 0;
    return uname(&name) == 0 && std::sscanf(name.release, "%d.%d", &major, &minor) == 2 &&
           (major > 5 || (major == 5 && minor >= 9));
  }();
  return reads_ahead;
}

// The prefetches waiting for the disk, oldest first.
std::vector<FileSource*>& Waiting() {
  static auto* waiting = new std::vector<FileSource*>();
  return *waiting;
}

void StopWaiting(FileSource* file) {
  std::vector<FileSource*>& waiting = Waiting();
  waiting.erase(std::remove(waiting.begin(), waiting.end(), file), waiting.end());
}

// The endings of the names probed so far, lowercased, the dot included:
// ".exe", ".com". A handful is plenty; more are not learnt.
struct Ending {
  char text[8];
  std::size_t length;
};
Ending g_endings[8];
std::size_t g_ending_count = 0;
bool g_last_bytes[256] = {};  // the last bytes of those endings, in either case

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

FileSource::~FileSource() {
  StopPrefetch();
  if (fd_ >= 0) close(fd_);
}

DWORD FileSource::Open(const wchar_t* path) {
  // A regular file the listing has just delivered is opened through its
  // folder, with no lookup of the whole path and no stat.
  fd_ = OpenListedFile(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  std::string native;
  DWORD error = 0;
  if (fd_ < 0 && !NativePath(path, &native, &error)) return error;
  // Devices, sockets and FIFOs are not opened at all: opening some devices
  // has effects of its own. O_NONBLOCK covers one swapped in meanwhile.
  struct stat before;
  if (fd_ < 0 && stat(native.c_str(), &before) == 0 && !S_ISREG(before.st_mode) &&
      !S_ISDIR(before.st_mode))
    return ERROR_RESOURCE_DATA_NOT_FOUND;
  if (fd_ < 0) fd_ = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  // What the listing holds open ahead must never cost a probe its file.
  if (fd_ < 0 && (errno == EMFILE || errno == ENFILE) && ReleaseLookahead())
    fd_ = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) {
    int err = errno;
    if (err == ENOENT) return MissingPathError(native);
    return Win32ErrorFromErrno(err, true);
  }
  struct stat st;
  if (fstat(fd_, &st) != 0) return Win32ErrorFromErrno(errno, true);
  if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  if (!S_ISREG(st.st_mode)) return ERROR_RESOURCE_DATA_NOT_FOUND;
  size_ = static_cast<std::uint64_t>(st.st_size);
  return 0;
}

bool FileSource::ReadAt(std::uint64_t offset, void* out, std::size_t n) const {
  if (offset > size_ || n > size_ - offset) return false;
  std::uint64_t block = offset / kBlockSize;
  if (n <= kBlockSize && (offset + n - 1) / kBlockSize == block) {
    const Block* cached = CachedBlock(block);
    if (cached == nullptr) return false;
    std::memcpy(out, cached->bytes + (offset - block * kBlockSize), n);
    return true;
  }
  return ReadDirect(offset, out, n);
}

const FileSource::Block* FileSource::CachedBlock(std::uint64_t index) const {
  for (const Block& b : blocks_)
    if (b.index == index) return &b;
  Block& b = blocks_[next_victim_];
  next_victim_ = (next_victim_ + 1) % 2;
  std::uint64_t start = index * kBlockSize;
  std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, size_ - start));
  b.index = UINT64_MAX;
  if (!ReadDirect(start, b.bytes, length)) return nullptr;
  b.index = index;
  return &b;
}

bool FileSource::ReadDirect(std::uint64_t offset, void* out, std::size_t n) const {
  auto* p = static_cast<char*>(out);
  while (n > 0) {
    ssize_t got;
    if (no_wait_) {
      // Only what is in memory; the rest is asked for, and read later.
      struct iovec part = {p, n};
      got = preadv2(fd_, &part, 1, static_cast<off_t>(offset), RWF_NOWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EOPNOTSUPP)) {
        bool refused = errno == EOPNOTSUPP;
        g_no_wait_unsupported = g_no_wait_unsupported || refused;
        g_cold = true;
        if (refused || !MissedReadsReadAhead())
          posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(n), POSIX_FADV_WILLNEED);
        would_block_ = true;
        ++g_deferred;
        return false;
      }
    } else {
      got = pread(fd_, p, n, static_cast<off_t>(offset));
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      read_errno_ = errno;
      return false;
    }
    if (got == 0) return false;  // the file shrank under us
    p += got;
    n -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool FileSource::Advance() {
  if (g_no_wait_unsupported) return true;  // the headers were asked for; nothing more is known
  would_block_ = false;
  read_errno_ = 0;
  ResourceLocation where;
  DWORD error = LocateVersionResource(*this, &where);
  if (would_block_) {
    waited_ = true;
    return false;
  }
  located_ = error == 0;
  where_ = where;
  // Pages that were not in memory suggest the resource isn't either.
  if (error == 0 && waited_) {
    std::uint64_t length = std::min(where.size, kMaxDataAhead);
    posix_fadvise(fd_, static_cast<off_t>(where.offset), static_cast<off_t>(length),
                  POSIX_FADV_WILLNEED);
  }
  return true;
}

void FileSource::StopPrefetch() {
  if (!counted_) return;
  counted_ = false;
  --g_prefetches;
  no_wait_ = would_block_ = false;
  read_errno_ = 0;
  StopWaiting(this);
}

bool NoteProbedPath(const wchar_t* path) {
  const wchar_t* name = path;
  for (const wchar_t* c = path; *c != L'\0'; ++c)
    if (*c == L'\\') name = c + 1;
  const wchar_t* dot = nullptr;
  for (const wchar_t* c = name; *c != L'\0'; ++c)
    if (*c == L'.') dot = c;
  if (dot == nullptr || g_ending_count == sizeof g_endings / sizeof g_endings[0]) return false;
  Ending ending{};
  for (const wchar_t* c = dot; *c != L'\0'; ++c) {
    if (*c <= 0 || *c >= 0x80 || ending.length == sizeof ending.text) return false;
    ending.text[ending.length++] = Lower(static_cast<char>(*c));
  }
  for (std::size_t i = 0; i < g_ending_count; ++i)
    if (g_endings[i].length == ending.length &&
        std::memcmp(g_endings[i].text, ending.text, ending.length) == 0)
      return false;
  g_endings[g_ending_count++] = ending;
  char last = ending.text[ending.length - 1];
  g_last_bytes[static_cast<unsigned char>(last)] = true;
  if (last >= 'a' && last <= 'z') g_last_bytes[static_cast<unsigned char>(last - 'a' + 'A')] = true;
  return true;
}

bool IsLikelyProbed(const char* name, std::size_t length) {
  // Most names end in a byte no probed name ended in.
  if (length == 0 || !g_last_bytes[static_cast<unsigned char>(name[length - 1])]) return false;
  for (std::size_t i = 0; i < g_ending_count; ++i) {
    const Ending& ending = g_endings[i];
    if (length <= ending.length) continue;
    const char* tail = name + (length - ending.length);
    std::size_t k = 0;
    while (k < ending.length && Lower(tail[k]) == ending.text[k]) ++k;
    if (k == ending.length) return true;
  }
  return false;
}

bool PrefetchHasRoom() { return !g_disabled && g_prefetches < kMaxPrefetches; }

std::unique_ptr<FileSource> StartPrefetch(int fd) {
  struct stat st;
  if (!PrefetchHasRoom() || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  auto file = std::make_unique<FileSource>();
  file->fd_ = fd;
  file->size_ = static_cast<std::uint64_t>(st.st_size);
  file->counted_ = true;
  ++g_prefetches;
  ++g_started;
  if (g_cold && posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM) == 0) ++g_exact;
  file->no_wait_ = true;
  if (!file->Advance()) Waiting().push_back(file.get());
  return file;
}

void AdvancePrefetches() {
  std::vector<FileSource*>& waiting = Waiting();
  std::size_t kept = 0;
  for (FileSource* file : waiting)
    if (!file->Advance()) waiting[kept++] = file;
  waiting.resize(kept);
}

void DisablePrefetch() { g_disabled = true; }
bool PrefetchDisabled() { return g_disabled; }

long prefetch_testing::Started() { return g_started; }
long prefetch_testing::Deferred() { return g_deferred; }
long prefetch_testing::Exact() { return g_exact; }
void prefetch_testing::SetCold(bool cold) { g_cold = cold; }
int prefetch_testing::Live() { return g_prefetches; }
void prefetch_testing::Resume() { g_disabled = false; }
void prefetch_testing::ForgetEndings() {
  g_ending_count = 0;
  std::fill(std::begin(g_last_bytes), std::end(g_last_bytes), false);
}

}  // namespace vur::posix
