// GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW on POSIX:
// the file's own resource directory, read with pread (headers and the version
// resource only, so a 2 GB file costs what a 20 KB one does).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/posix/listing.h"
#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"
#include "platform/posix/version_info_reader.h"

namespace vur::posix {
namespace {

class FileSource : public ByteSource {
 public:
  // User-provided, so that make_unique leaves the two cache blocks
  // uninitialised instead of zeroing 8 KiB per probe.
  FileSource() {}
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() override {
    if (fd_ >= 0) close(fd_);
  }

  // 0, or the Win32 code for why the image can't be read.
  DWORD Open(const wchar_t* path);

  std::uint64_t Size() const override { return size_; }

  // Header and directory reads are small and close together: they are served
  // from two cached blocks, so a probe costs a few reads, not one per field.
  bool ReadAt(std::uint64_t offset, void* out, std::size_t n) const override {
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

  // The errno of the last failed read, 0 when none failed: an I/O error is
  // reported as such rather than as a malformed image.
  int read_errno() const { return read_errno_; }

 private:
  static constexpr std::size_t kBlockSize = 4096;
  struct Block {
    std::uint64_t index = UINT64_MAX;
    unsigned char bytes[kBlockSize];
  };

  const Block* CachedBlock(std::uint64_t index) const {
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

  bool ReadDirect(std::uint64_t offset, void* out, std::size_t n) const {
    auto* p = static_cast<char*>(out);
    while (n > 0) {
      ssize_t got = pread(fd_, p, n, static_cast<off_t>(offset));
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

  int fd_ = -1;
  std::uint64_t size_ = 0;
  mutable int read_errno_ = 0;
  mutable Block blocks_[2];
  mutable int next_victim_ = 0;
};

// The file a successful GetFileVersionInfoSizeW located, kept open for the
// GetFileVersionInfoW call that follows it on the same path, which then
// neither reopens the file nor walks its directory again.
struct LocatedFile {
  std::wstring path;
  std::unique_ptr<FileSource> file;
  ResourceLocation where;
};
thread_local LocatedFile g_last_located;

// ENOENT says nothing about which part of the path is missing; Windows does:
// 2 when the folder exists, 3 when it doesn't.
DWORD MissingPathError(const std::string& native) {
  std::string::size_type slash = native.find_last_of('/');
  std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
  struct stat st;
  bool folder_exists = stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return Win32ErrorFromErrno(ENOENT, folder_exists);
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

DWORD Locate(const wchar_t* path, FileSource* file, ResourceLocation* where) {
  DWORD error = file->Open(path);
  if (error != 0) return error;
  error = LocateVersionResource(*file, where);
  if (error != 0 && file->read_errno() != 0) return Win32ErrorFromErrno(file->read_errno(), true);
  return error;
}

bool IsRootSubBlock(const wchar_t* sub_block) {
  for (; *sub_block != L'\0'; ++sub_block) {
    if (*sub_block != L'\\') return false;
  }
  return true;
}

}  // namespace
}  // namespace vur::posix

using vur::posix::testing::Fault;
using vur::posix::testing::Op;
using vur::posix::testing::Armed;
using vur::posix::testing::TakeFault;

DWORD GetFileVersionInfoSizeW(LPCWSTR path, LPDWORD handle) {
  if (handle != nullptr) *handle = 0;
  Fault fault{};
  bool faulted =
      Armed() && TakeFault(Op::kGetFileVersionInfoSize, path ? path : L"", &fault);
  if (faulted && !fault.succeed) {
    SetLastError(fault.code);
    return 0;
  }
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  vur::posix::LocatedFile& last = vur::posix::g_last_located;
  last.file = std::make_unique<vur::posix::FileSource>();
  DWORD error = vur::posix::Locate(path, last.file.get(), &last.where);
  if (error != 0) {
    last.file.reset();
    SetLastError(error);
    return 0;
  }
  DWORD size = 0;
  vur::posix::VersionInfoSize(last.where, &size);  // LocateVersionResource checked that it fits
  last.path = path;
  SetLastError(faulted ? fault.code : ERROR_SUCCESS);
  return size;
}

BOOL GetFileVersionInfoW(LPCWSTR path, DWORD /*handle*/, DWORD length, LPVOID data) {
  Fault fault{};
  bool faulted = Armed() && TakeFault(Op::kGetFileVersionInfo, path ? path : L"", &fault);
  if (faulted && !fault.succeed) {
    SetLastError(fault.code);
    return FALSE;
  }
  if (path == nullptr || data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Below 2 bytes the copy could not hold its own length word, and
  // VerQueryValueW, which gets no size, would read past it.
  if (length < 2) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  // The file the size call just located, or the file opened anew.
  vur::posix::LocatedFile located;
  DWORD error = 0;
  if (vur::posix::g_last_located.file && vur::posix::g_last_located.path == path) {
    located = std::move(vur::posix::g_last_located);
  } else {
    located.file = std::make_unique<vur::posix::FileSource>();
    error = vur::posix::Locate(path, located.file.get(), &located.where);
  }
  vur::posix::g_last_located = vur::posix::LocatedFile();
  std::size_t copied = 0;
  const vur::posix::FileSource& file = *located.file;
  if (error == 0 && !vur::posix::ReadVersionResource(file, located.where, data, length, &copied)) {
    error = file.read_errno() != 0 ? vur::posix::Win32ErrorFromErrno(file.read_errno(), true)
                                   : ERROR_RESOURCE_DATA_NOT_FOUND;
  }
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  if (faulted) SetLastError(fault.code);
  return TRUE;
}

BOOL VerQueryValueW(LPCVOID block, LPCWSTR sub_block, LPVOID* buffer, PUINT length) {
  Fault fault{};
  bool faulted =
      Armed() && TakeFault(Op::kVerQueryValue, sub_block ? sub_block : L"", &fault);
  if (faulted && !fault.succeed) {
    SetLastError(fault.code);
    return FALSE;
  }
  if (block == nullptr || sub_block == nullptr || buffer == nullptr || length == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Only the root's fixed part is needed by the scanner; named sub-blocks
  // report the code Windows gives for a missing one.
  if (!vur::posix::IsRootSubBlock(sub_block)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  const void* value = nullptr;
  UINT value_length = 0;
  vur::posix::QueryRootValue(block, &value, &value_length);
  *buffer = const_cast<void*>(value);
  *length = value_length;
  if (faulted) SetLastError(fault.code);
  return TRUE;
}
