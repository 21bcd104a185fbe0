// CreateFileW, GetFileInformationByHandle and CloseHandle: what a file or
// folder is, so that the walker can tell whether a linked folder leads to one
// it has already entered.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"
#include "platform/posix/win32_posix.h"

namespace {

// A handle is one of these; the tag tells it from the listing's searches and
// from garbage.
struct FileHandle {
  static constexpr std::uint32_t kTag = 0x46494c45;  // "FILE"
  std::uint32_t tag = kTag;
  int fd = -1;
};

FileHandle* AsFile(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  auto* file = static_cast<FileHandle*>(handle);
  return file->tag == FileHandle::kTag ? file : nullptr;
}

HANDLE Fail(DWORD code) {
  SetLastError(code);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD /*share*/, LPSECURITY_ATTRIBUTES /*security*/,
                   DWORD disposition, DWORD flags, HANDLE /*template_file*/) {
  if (path == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  vur::posix::testing::Fault fault;
  bool faulted = vur::posix::testing::Armed() &&
                 vur::posix::testing::TakeFault(vur::posix::testing::Op::kCreateFile, path, &fault);
  if (faulted && !fault.succeed) return Fail(fault.code);
  if (disposition != OPEN_EXISTING || (access & ~(GENERIC_READ | FILE_READ_ATTRIBUTES)) != 0)
    return Fail(ERROR_INVALID_PARAMETER);
  std::string native;
  DWORD error = 0;
  if (!vur::posix::NativePath(path, &native, &error)) return Fail(error);
  // O_PATH: the file is not read, so a FIFO can't block and a device is not
  // opened; the descriptor serves fstat alone.
  int fd = open(native.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    return Fail(err == ENOENT ? vur::posix::MissingPathError(native)
                              : vur::posix::Win32ErrorFromErrno(err));
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    return Fail(vur::posix::Win32ErrorFromErrno(err));
  }
  if (S_ISDIR(st.st_mode) && (flags & FILE_FLAG_BACKUP_SEMANTICS) == 0) {
    close(fd);
    return Fail(ERROR_ACCESS_DENIED);
  }
  auto* file = new FileHandle;
  file->fd = fd;
  if (faulted) SetLastError(fault.code);
  return file;
}

BOOL GetFileInformationByHandle(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
  FileHandle* file = AsFile(handle);
  if (file == nullptr || info == nullptr) {
    SetLastError(file == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st;
  if (fstat(file->fd, &st) != 0) {
    SetLastError(vur::posix::Win32ErrorFromErrno(errno));
    return FALSE;
  }
  *info = BY_HANDLE_FILE_INFORMATION{};
  info->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  auto device = static_cast<std::uint64_t>(st.st_dev);
  info->dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
  auto size = static_cast<std::uint64_t>(st.st_size);
  info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(size);
  info->nNumberOfLinks = static_cast<DWORD>(st.st_nlink);
  auto inode = static_cast<std::uint64_t>(st.st_ino);
  info->nFileIndexHigh = static_cast<DWORD>(inode >> 32);
  info->nFileIndexLow = static_cast<DWORD>(inode);
  return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
  FileHandle* file = AsFile(handle);
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  int rc = close(file->fd);
  file->tag = 0;
  delete file;
  if (rc != 0 && errno != EINTR) {
    SetLastError(vur::posix::Win32ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}
