// The run-time library's shared-mode open, for the log file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"
#include "platform/posix/win32_posix.h"

namespace {

FILE* Fail(DWORD code, int err) {
  SetLastError(code);
  errno = err;
  return nullptr;
}

// /dev/null, which Windows programs know as NUL.
bool IsNullDevice(const struct stat& st) {
  return S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 && minor(st.st_rdev) == 3;
}

}  // namespace

FILE* _wfsopen(const wchar_t* path, const wchar_t* mode, int share_flag) {
  if (path == nullptr || mode == nullptr) return Fail(ERROR_INVALID_PARAMETER, EINVAL);
  std::wstring wide_path(path);
  vur::posix::testing::Fault fault;
  bool faulted =
      vur::posix::testing::TakeFault(vur::posix::testing::Op::kOpenFile, wide_path, &fault);
  if (faulted && !fault.succeed) return Fail(fault.code, EACCES);
  // Only what the log needs: a new or truncated file for writing.
  if (std::wstring(mode) != L"w" && std::wstring(mode) != L"wt")
    return Fail(ERROR_INVALID_PARAMETER, EINVAL);
  std::string native;
  DWORD error = 0;
  if (!vur::posix::NativePath(path, &native, &error, /*allow_native=*/true))
    return Fail(error, ENOENT);

  // Only a regular file, or the null device, is a log file. Anything else is
  // refused before it is opened, so that a FIFO can't block the run (an open
  // for writing waits for a reader) and no device is written to. The opens
  // don't block either, for a FIFO swapped in between the checks.
  struct stat st;
  bool exists = stat(native.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode) && !IsNullDevice(st)) {
    return Fail(ERROR_ACCESS_DENIED, S_ISDIR(st.st_mode) ? EISDIR : EACCES);
  }
  constexpr int kFlags = O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  bool created = true;
  int fd = open(native.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = open(native.c_str(), kFlags);
  }
  if (fd < 0) {
    int err = errno;
    if (err == ENXIO) return Fail(ERROR_ACCESS_DENIED, EACCES);  // a FIFO without a reader
    return Fail(vur::posix::Win32ErrorFromErrno(err, err != ENOENT), err);
  }
  bool null_device = false;
  if (fstat(fd, &st) != 0 || (!S_ISREG(st.st_mode) && !(null_device = IsNullDevice(st)))) {
    close(fd);
    return Fail(ERROR_ACCESS_DENIED, EACCES);
  }
  fcntl(fd, F_SETFL, O_WRONLY);  // ordinary blocking writes from here on
  // The lock comes before the truncation, so a file held by another scanner
  // is left as it is. The null device is shared by everyone and never held.
  if (!null_device && share_flag != _SH_DENYNO && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return Fail(ERROR_SHARING_VIOLATION, EACCES);
  }
  if (!created && !null_device && ftruncate(fd, 0) != 0) {
    int err = errno;
    close(fd);
    return Fail(vur::posix::Win32ErrorFromErrno(err), err);
  }
  FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    int err = errno;
    close(fd);
    return Fail(vur::posix::Win32ErrorFromErrno(err), err);
  }
  SetLastError(faulted ? fault.code : created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
  return stream;
}

int _fileno(FILE* stream) { return fileno(stream); }

int _isatty(int fd) { return isatty(fd); }
