// The run-time library's shared-mode open, for the log file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

  bool created = true;
  int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = open(native.c_str(), O_WRONLY | O_CLOEXEC);
  }
  if (fd < 0) {
    int err = errno;
    return Fail(vur::posix::Win32ErrorFromErrno(err, err != ENOENT), err);
  }
  // The lock comes before the truncation, so a file held by another scanner
  // is left as it is.
  if (share_flag != _SH_DENYNO && flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return Fail(ERROR_SHARING_VIOLATION, EACCES);
  }
  if (!created && ftruncate(fd, 0) != 0) {
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
