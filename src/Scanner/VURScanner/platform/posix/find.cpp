// Folder listing over opendir/readdir, with the semantics of the Win32 search
// calls: "." and ".." first outside a drive root, ERROR_NO_MORE_FILES at the
// end, and a walk that stays on its drive's mount and never goes through a
// symbolic link.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"
#include "platform/posix/win32_posix.h"

namespace {

using vur::posix::testing::Fault;
using vur::posix::testing::Op;

struct Search {
  DIR* dir = nullptr;
  std::wstring pattern;
  int pending_dots = 0;  // "." and ".." still to deliver
  int record = -1;
};

void FillEntry(const std::wstring& name, DWORD attributes, WIN32_FIND_DATAW* data) {
  std::memset(data, 0, sizeof *data);
  data->dwFileAttributes = attributes;
  std::size_t n = name.size() < MAX_PATH - 1 ? name.size() : MAX_PATH - 1;
  for (std::size_t i = 0; i < n; ++i) data->cFileName[i] = name[i];
  data->cFileName[n] = 0;
}

// Attributes of one entry; false for an entry that vanished while being
// looked at, which is left out.
bool EntryAttributes(int dir_fd, const dirent* entry, DWORD* attributes) {
  unsigned char type = entry->d_type;
  struct stat st;
  if (type == DT_UNKNOWN) {
    if (fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
  }
  if (type == DT_DIR) {
    *attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else if (type == DT_LNK) {
    // Windows lists a link whatever it leads to: a link to nothing, or into a
    // loop, is a file whose open then fails.
    bool to_folder = fstatat(dir_fd, entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    *attributes = to_folder ? FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT
                            : FILE_ATTRIBUTE_ARCHIVE;
  } else {
    *attributes = FILE_ATTRIBUTE_ARCHIVE;
  }
  return true;
}

// The next entry, or false with *error set (ERROR_NO_MORE_FILES at the end).
bool ReadEntry(Search* search, WIN32_FIND_DATAW* data, DWORD* error) {
  if (search->pending_dots > 0) {
    FillEntry(search->pending_dots == 2 ? L"." : L"..", FILE_ATTRIBUTE_DIRECTORY, data);
    --search->pending_dots;
    return true;
  }
  int dir_fd = dirfd(search->dir);
  while (true) {
    errno = 0;  // readdir gives null both at the end and on an error
    const dirent* entry = readdir(search->dir);
    if (entry == nullptr) {
      *error = errno == 0 ? ERROR_NO_MORE_FILES : vur::posix::Win32ErrorFromErrno(errno, false);
      return false;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    DWORD attributes = 0;
    if (!EntryAttributes(dir_fd, entry, &attributes)) continue;
    std::wstring name = vur::posix::DecodeName(entry->d_name, std::strlen(entry->d_name));
    if (name.size() >= MAX_PATH) continue;  // longer than any name this system allows
    FillEntry(name, attributes, data);
    return true;
  }
}

// Where a folder lies: its device and, where the kernel tells it, its mount.
// A bind mount of the drive's own file system has the same device but
// another mount.
struct Place {
  dev_t device = 0;
  std::uint64_t mount = 0;
  bool has_mount = false;
};

bool PlaceOf(int dir_fd, const char* path, int flags, Place* place) {
  struct statx stx;
  if (statx(dir_fd, path, flags, STATX_BASIC_STATS | STATX_MNT_ID, &stx) != 0) return false;
  place->device = makedev(stx.stx_dev_major, stx.stx_dev_minor);
  place->has_mount = (stx.stx_mask & STATX_MNT_ID) != 0;
  place->mount = stx.stx_mnt_id;
  return true;
}

bool SamePlace(const Place& a, const Place& b) {
  if (a.device != b.device) return false;
  return !(a.has_mount && b.has_mount) || a.mount == b.mount;
}

HANDLE Fail(DWORD code) {
  SetLastError(code);
  return INVALID_HANDLE_VALUE;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (pattern == nullptr || data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::wstring text(pattern);
  vur::posix::testing::RecordSearchRequest(text);
  Fault fault;
  bool faulted = vur::posix::testing::TakeFault(Op::kFindFirstFile, text, &fault);
  if (faulted && !fault.succeed) return Fail(fault.code);

  if (text.size() < 4 || text.compare(text.size() - 2, 2, L"\\*") != 0 || text[1] != L':')
    return Fail(ERROR_INVALID_NAME);
  std::wstring folder = text.substr(0, text.size() - 1);
  bool at_root = folder.size() == 3;
  std::string native;
  DWORD error = 0;
  if (!vur::posix::NativePath(folder.c_str(), &native, &error)) return Fail(error);
  const vur::posix::Drive* drive = vur::posix::FindDrive(text[0]);
  Place root_place;
  if (!PlaceOf(AT_FDCWD, drive->folder.c_str(), 0, &root_place))
    return Fail(vur::posix::Win32ErrorFromErrno(errno, false));

  // Below the root, a symbolic link is never followed and another file system
  // is never entered: both are refused as Windows refuses its compatibility
  // junctions, so a walk neither loops nor leaves its drive.
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (at_root ? 0 : O_NOFOLLOW);
  int fd = open(native.c_str(), flags);
  if (fd < 0) {
    int err = errno;
    struct stat st;
    if (!at_root && (err == ELOOP || err == ENOTDIR) && lstat(native.c_str(), &st) == 0 &&
        S_ISLNK(st.st_mode))
      return Fail(ERROR_ACCESS_DENIED);
    return Fail(vur::posix::Win32ErrorFromErrno(err, false));
  }
  Place place;
  if (!PlaceOf(fd, "", AT_EMPTY_PATH, &place) || (!at_root && !SamePlace(place, root_place))) {
    close(fd);
    return Fail(ERROR_ACCESS_DENIED);
  }
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    int err = errno;
    close(fd);
    return Fail(vur::posix::Win32ErrorFromErrno(err, false));
  }
  auto* search = new Search;
  search->dir = dir;
  search->pattern = text;
  search->pending_dots = at_root ? 0 : 2;
  if (!ReadEntry(search, data, &error)) {
    // An empty drive root: Windows reports that no file matched.
    closedir(dir);
    delete search;
    return Fail(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
  }
  search->record = vur::posix::testing::RecordSearchOpened(text);
  if (faulted) SetLastError(fault.code);
  return search;
}

BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  if (find == nullptr || find == INVALID_HANDLE_VALUE || data == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* search = static_cast<Search*>(find);
  Fault fault;
  bool faulted = vur::posix::testing::TakeFault(Op::kFindNextFile, search->pattern, &fault);
  if (faulted && !fault.succeed) {
    SetLastError(fault.code);
    return FALSE;
  }
  DWORD error = 0;
  if (!ReadEntry(search, data, &error)) {
    SetLastError(error);
    return FALSE;
  }
  if (faulted) SetLastError(fault.code);
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  if (find == nullptr || find == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto* search = static_cast<Search*>(find);
  Fault fault;
  bool faulted = vur::posix::testing::TakeFault(Op::kFindClose, search->pattern, &fault);
  int result = closedir(search->dir);
  int err = errno;
  vur::posix::testing::RecordSearchClosed(search->record);
  delete search;
  if (faulted && !fault.succeed) {
    SetLastError(fault.code);
    return FALSE;
  }
  if (result != 0) {
    SetLastError(vur::posix::Win32ErrorFromErrno(err));
    return FALSE;
  }
  if (faulted) SetLastError(fault.code);
  return TRUE;
}
