// FindFirstFileW, FindNextFileW and FindClose on POSIX. Folder listing with
// the semantics of the Win32 search calls: "." and ".." first outside a drive
// root, ERROR_NO_MORE_FILES at the end, and a walk that stays on its drive's
// mount and never goes through a symbolic link.
//
// It is built for the walk's speed: a folder usually costs one openat2, one
// getdents64 and one close. This file holds the calls themselves and the
// choice of the folder a listing is opened relative to. The rest of the
// listing lives beside it, one concern a file: the mount-safe folder open,
// the records and their buffers, the lookahead, the entries;
// find_internal.h, which they share, says which file owns what.
//
// A subfolder of the search opened last is opened relative to it: the kernel
// resolves one name, not the whole path, and the folder opened is the one
// that listing showed, even when a folder above it was renamed or swapped for
// a link meanwhile.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/file_source.h"
#include "platform/posix/find_internal.h"
#include "platform/posix/listing.h"
#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"
#include "platform/posix/win32_posix.h"

namespace {

using vur::posix::testing::Fault;
using vur::posix::testing::Op;
using vur::posix::find_internal::Discard;
using vur::posix::find_internal::DriveRoot;
using vur::posix::find_internal::EndSearch;
using vur::posix::find_internal::FillAhead;
using vur::posix::find_internal::Forget;
using vur::posix::find_internal::HandedOver;
using vur::posix::find_internal::IsPlainName;
using vur::posix::find_internal::NewSearch;
using vur::posix::find_internal::OpenFolder;
using vur::posix::find_internal::OpenSearches;
using vur::posix::find_internal::ReadEntry;
using vur::posix::find_internal::RootOf;
using vur::posix::find_internal::Search;
using vur::posix::find_internal::ShortOfDescriptors;
using vur::posix::find_internal::TakeAhead;

HANDLE Fail(DWORD code) {
  SetLastError(code);
  return INVALID_HANDLE_VALUE;
}

// Whether `folder` is a subfolder of `parent`'s folder, one name deeper:
// then *name is that name.
bool IsChildOf(const Search& parent, const std::wstring& folder, std::wstring* name) {
  std::size_t base = parent.pattern.size() - 1;  // the parent's folder, with its backslash
  if (folder.size() <= base + 1 || folder.compare(0, base, parent.pattern, 0, base) != 0)
    return false;
  std::size_t length = folder.size() - 1 - base;
  if (folder.find(L'\\', base) != folder.size() - 1) return false;
  name->assign(folder, base, length);
  return *name != L"." && *name != L"..";
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (pattern == nullptr || data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::wstring text(pattern);
  vur::posix::testing::RecordSearchRequest(text);
  Fault fault;
  bool faulted = vur::posix::testing::TakeFault(Op::kFindFirstFile, text, &fault);
  if (faulted && !fault.succeed) return Fail(fault.code);
  // "\\?\X:\folder\*" names the folder "X:\folder\*" does: nothing here
  // trims a name ending in "." or a blank.
  if (vur::posix::SkipVerbatimPrefix(pattern) != pattern) text.erase(0, 4);
  vur::posix::AdvancePrefetches();

  if (text.size() < 4 || text.compare(text.size() - 2, 2, L"\\*") != 0 || text[1] != L':')
    return Fail(ERROR_INVALID_NAME);
  std::wstring folder = text.substr(0, text.size() - 1);
  bool at_root = folder.size() == 3;

  // The folder relative to a folder already open: its parent's search, when
  // the walker is listing that parent, or else the drive's root.
  const DriveRoot* root = nullptr;
  int dir_fd = -1;
  std::string relative;
  std::size_t native_length = 0;
  std::wstring name;
  Search* parent = OpenSearches().empty() ? nullptr : OpenSearches().back();
  Search* search = nullptr;  // listed ahead
  bool child = !at_root && parent != nullptr && IsChildOf(*parent, folder, &name);
  if (child) {
    root = parent->root;
    dir_fd = parent->fd;
    relative = IsPlainName(name) ? std::string(name.begin(), name.end())
                                 : vur::posix::EncodeName(name.data(), name.size());
    native_length = parent->native_length + 1 + relative.size();
    search = TakeAhead(parent, relative);
  } else {
    std::string native;
    DWORD error = 0;
    if (!vur::posix::NativePath(folder.c_str(), &native, &error)) return Fail(error);
    const vur::posix::Drive* drive = vur::posix::FindDrive(text[0]);
    root = RootOf(*drive, at_root);
    if (root == nullptr) return Fail(vur::posix::Win32ErrorFromErrno(errno, false));
    dir_fd = root->fd;
    native_length = native.size();
    relative = native.size() > root->base.size()
                   ? native.substr(root->base.size() + (root->base == "/" ? 0 : 1))
                   : ".";
  }
  // The limit the kernel puts on a whole path, though the open names less.
  if (native_length >= PATH_MAX) {
    if (search != nullptr) Discard(search);
    return Fail(ERROR_FILENAME_EXCED_RANGE);
  }

  DWORD error = 0;
  if (search != nullptr) {
    HandedOver();
  } else {
    int fd = OpenFolder(*root, dir_fd, relative.c_str(), at_root, &error);
    // What the lookahead holds open must never cost the walker a folder.
    if (fd < 0 && ShortOfDescriptors(errno) && vur::posix::ReleaseLookahead())
      fd = OpenFolder(*root, dir_fd, relative.c_str(), at_root, &error);
    if (fd < 0) return Fail(error);
    search = NewSearch(fd, root, at_root ? 0 : 2);
  }
  search->pattern = std::move(text);
  search->native_length = native_length;
  if (!ReadEntry(search, data, &error)) {
    // An empty drive root: Windows reports that no file matched.
    Forget(search);
    close(search->fd);
    EndSearch(search);
    return Fail(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
  }
  OpenSearches().push_back(search);
  search->record = vur::posix::testing::RecordSearchOpened(search->pattern);
  // What the walker reads next: this folder's subfolders, then the parent's.
  FillAhead(search);
  if (child) FillAhead(parent);
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
  bool faulted = vur::posix::testing::Armed() &&
                 vur::posix::testing::TakeFault(Op::kFindNextFile, search->pattern, &fault);
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
  bool faulted = vur::posix::testing::Armed() &&
                 vur::posix::testing::TakeFault(Op::kFindClose, search->pattern, &fault);
  Forget(search);
  int result = close(search->fd);
  int err = errno;
  std::vector<Search*>& open = OpenSearches();
  for (std::size_t i = open.size(); i-- > 0;) {
    if (open[i] == search) {
      open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  vur::posix::testing::RecordSearchClosed(search->record);
  EndSearch(search);
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
