// Drive roots and the mount-safe open of a folder: the listing's guarantee
// that a walk stays on its drive's mount and never goes through a symbolic
// link, at no extra call per folder where the kernel allows it.
//
// - openat2 with RESOLVE_NO_XDEV refuses, inside the kernel's own path walk,
//   every mount point below the drive's root folder, bind mounts and mounts
//   made during the run among them; no statx per folder is needed. Only on
//   file systems with subvolumes (btrfs, bcachefs), whose folders can change
//   device without a mount, does each folder still get a statx. Where the
//   kernel lacks openat2 (before 5.6, or a sandbox refuses it) every folder
//   gets the statx check against the root instead.
// - Each drive's root folder is held open for the run, and folders are opened
//   relative to it or to their parent's search (find.cpp), so that
//   RESOLVE_NO_XDEV measures against the root's mount and the kernel
//   resolves one name, not the whole path.
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/find_internal.h"
#include "platform/posix/machine.h"
#include "platform/posix/win32_posix.h"

namespace vur::posix::find_internal {
namespace {

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

// Stable addresses: searches point at their drive's entry.
std::vector<std::unique_ptr<DriveRoot>>& Roots() {
  static auto* roots = new std::vector<std::unique_ptr<DriveRoot>>();
  return *roots;
}

// The file systems whose end-of-listing offset is known: ext4's htree
// readdir sets it after the last entry, in the 64-bit or the 32-bit form
// (IsEndMarker, find_records.cpp).
bool HasEndMarker(long type) { return type == EXT4_SUPER_MAGIC; }

// Subvolumes of these have a device of their own but no mount of their own.
bool HasSubvolumes(long type) {
  constexpr long kBtrfs = 0x9123683E, kBcachefs = 0xca451a4e;
  return type == kBtrfs || type == kBcachefs;
}

// How folders are opened: openat2 until the kernel refuses it once.
bool g_statx_open = false;
bool g_forced_statx_open = false;

}  // namespace

DriveRoot* RootOf(const Drive& drive, bool refresh) {
  DriveRoot* root = nullptr;
  for (auto& r : Roots())
    if (r->folder == drive.folder) root = r.get();
  if (root != nullptr && root->fd >= 0 && !refresh) return root;
  int fd = open(drive.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  Place place;
  struct statfs fs;
  if (!PlaceOf(fd, "", AT_EMPTY_PATH, &place) || fstatfs(fd, &fs) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return nullptr;
  }
  if (root == nullptr) {
    Roots().push_back(std::make_unique<DriveRoot>());
    root = Roots().back().get();
    root->folder = drive.folder;
    root->base = drive.folder;
    while (root->base.size() > 1 && root->base.back() == '/') root->base.pop_back();
  }
  if (root->fd >= 0) close(root->fd);
  root->fd = fd;
  root->place = place;
  root->end_marker = HasEndMarker(static_cast<long>(fs.f_type));
  root->check_device = HasSubvolumes(static_cast<long>(fs.f_type));
  return root;
}

int OpenFolder(const DriveRoot& root, int dir_fd, const char* relative, bool at_root,
               DWORD* error) {
  // Below the root, a symbolic link is never followed and another file system
  // is never entered: both are refused as Windows refuses its compatibility
  // junctions, so a walk neither loops nor leaves its drive.
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (at_root ? 0 : O_NOFOLLOW);
  int fd = -1;
  bool statx_open = g_statx_open || g_forced_statx_open;
  if (!statx_open) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_NO_XDEV;
    fd = static_cast<int>(syscall(SYS_openat2, dir_fd, relative, &how, sizeof how));
    if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == E2BIG)) {
      g_statx_open = statx_open = true;
    }
  }
  if (statx_open) fd = openat(dir_fd, relative, flags);
  if (fd < 0) {
    int err = errno;
    struct stat st;
    if (err == EXDEV) {
      *error = ERROR_ACCESS_DENIED;
    } else if (!at_root && (err == ELOOP || err == ENOTDIR) &&
               fstatat(dir_fd, relative, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      *error = ERROR_ACCESS_DENIED;
    } else {
      *error = Win32ErrorFromErrno(err, false);
    }
    return -1;
  }
  if (!at_root && (statx_open || root.check_device)) {
    Place place;
    if (!PlaceOf(fd, "", AT_EMPTY_PATH, &place) || !SamePlace(place, root.place)) {
      close(fd);
      *error = ERROR_ACCESS_DENIED;
      return -1;
    }
  }
  return fd;
}

}  // namespace vur::posix::find_internal

void vur::posix::find_testing::ForceStatxOpen(bool on) {
  vur::posix::find_internal::g_forced_statx_open = on;
}
