// The folder listing's internal header: what its files share, and the
// test-only controls of the listing. Nothing outside the listing includes it
// but tests; the rest of the POSIX layer uses listing.h.
//
// The listing is split by what changes for different reasons:
//   find.cpp            FindFirstFileW, FindNextFileW, FindClose: the Win32 surface
//   find_roots.cpp      drive roots and the mount-safe open of a folder
//   find_records.cpp    searches, their reused buffers, getdents64 records
//   find_lookahead.cpp  subfolders listed ahead of the walker, files prefetched
//   find_entries.cpp    a record as WIN32_FIND_DATAW: its name and attributes
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/file_source.h"
#include "platform/posix/machine.h"
#include "platform/posix/win32_posix.h"

// Test-only controls of the listing: the directory read it makes, and the
// way it opens folders. The product never calls them.
namespace vur::posix::find_testing {

// Reads directory records as getdents64 does: bytes, 0 at the end, or -1 with
// errno set.
using DirectoryReader = ssize_t (*)(int fd, void* buffer, std::size_t size);

// Replaces the directory read for the searches opened from now on; nullptr
// restores getdents64.
void SetDirectoryReader(DirectoryReader reader);
// The system's read, for a replacement that changes only some calls.
ssize_t SystemDirectoryRead(int fd, void* buffer, std::size_t size);

// Opens folders with openat and a statx per folder, as on kernels without
// openat2 (or where a sandbox refuses it); false returns to openat2.
void ForceStatxOpen(bool on);

// The number of directory reads made since the process started.
long DirectoryReads();

// Turns reading ahead back on after a run that ran short of descriptors.
void ResumeLookahead();

}  // namespace vur::posix::find_testing

namespace vur::posix::find_internal {

// ---- Drive roots and folder opens (find_roots.cpp)

// Where a folder lies: its device and, where the kernel tells it, its mount.
// A bind mount of the drive's own file system has the same device but
// another mount.
struct Place {
  dev_t device = 0;
  std::uint64_t mount = 0;
  bool has_mount = false;
};

// The root folder of a drive, held open for the run: folders below it are
// opened relative to it, so that RESOLVE_NO_XDEV measures against its mount.
struct DriveRoot {
  std::string folder;         // as the drive table gives it
  std::string base;           // the same without trailing slashes, as NativePath joins it
  int fd = -1;
  Place place;
  bool end_marker = false;    // its listings mark their last record
  bool check_device = false;  // a folder may lie on another device with no mount (subvolumes)
};

// The drive's root, opened anew when `refresh` is set (each listing of the
// root itself, so a walk sees the folder the drive names now). Null with
// errno set when the folder can't be opened.
DriveRoot* RootOf(const Drive& drive, bool refresh);

// Opens a folder below `root` (relative to `dir_fd`, which lies on the
// root's mount). Returns the descriptor, or -1 and *error, a Win32 code.
int OpenFolder(const DriveRoot& root, int dir_fd, const char* relative, bool at_root,
               DWORD* error);

inline bool ShortOfDescriptors(int err) { return err == EMFILE || err == ENFILE; }

// ---- Searches and their records (find_records.cpp)

// As large as glibc's readdir buffer: one read holds a folder of several
// hundred entries.
constexpr std::size_t kReadSize = 32 * 1024;

struct Search {
  int fd = -1;
  std::wstring pattern;
  std::size_t native_length = 0;  // of the folder's native path
  const DriveRoot* root = nullptr;
  find_testing::DirectoryReader reader = nullptr;
  int pending_dots = 0;           // "." and ".." still to deliver
  int record = -1;
  bool at_end = false;
  // The records of the last read (8-byte aligned, as the kernel lays them
  // out), and those not yet delivered.
  std::unique_ptr<std::uint64_t[]> records{new std::uint64_t[kReadSize / sizeof(std::uint64_t)]};
  const char* next = nullptr;
  const char* end = nullptr;
  // The entry delivered last (its record, in `records`).
  const char* last_name = nullptr;
  std::size_t last_length = 0;
  unsigned char last_type = DT_UNKNOWN;
  // What the lookahead holds for the records of the last read: the names of
  // its subfolders and how many of them were looked at, the subfolders
  // listed ahead, in order, and the files being prefetched.
  std::vector<const char*> subfolders;
  std::size_t surveyed = 0;
  struct Ahead {
    const char* name;
    Search* search;
  };
  std::vector<Ahead> ahead;
  struct Prefetch {
    const char* name;
    std::unique_ptr<FileSource> file;
  };
  std::vector<Prefetch> prefetches;
};

// A search of the folder open as `fd`, from the spares when there are any.
Search* NewSearch(int fd, const DriveRoot* root, int pending_dots);
// Ends a search whose descriptor is closed and whose lookahead is dropped.
void EndSearch(Search* search);

// The searches open, in the order opened: the walker's current path.
std::vector<Search*>& OpenSearches();

struct Record {
  const char* name;
  std::size_t length;
  unsigned char type;
};

// The record at `at`, or null when it doesn't fit what was read or its name
// has no end: such a record can't be trusted, nor can anything after it.
// Else returns where the next record starts.
const char* ParseRecord(const char* at, const char* end, Record* record, std::int64_t* offset);

bool IsDots(const Record& record);

// Reads the next records. False with *error set on a failure; at the end
// sets at_end.
bool Refill(Search* search, DWORD* error);

// The next record but "." and "..", or false with *error set
// (ERROR_NO_MORE_FILES at the end).
bool NextRecord(Search* search, Record* record, DWORD* error);

// ---- The lookahead (find_lookahead.cpp)

// Notes the subfolders of the records just read, and starts the prefetch of
// the files among them the probe is likely to be asked for.
void Survey(Search* search);

// Drops what the lookahead holds for the search's records.
void Forget(Search* search);

// Closes a search listed ahead that was never handed over.
void Discard(Search* search);

// Lists ahead the next few subfolders of a search the walker holds.
void FillAhead(Search* search);

// The subfolder listed ahead that the walker asks for now: the entry the
// parent delivered last, under the name the walker gives. Those before it
// were passed by and are dropped. The search is still counted as ahead.
Search* TakeAhead(Search* parent, const std::string& relative);

// The search TakeAhead gave is the walker's own now: it no longer counts as
// listed ahead.
void HandedOver();

// ---- Entries (find_entries.cpp)

// The next entry, or false with *error set (ERROR_NO_MORE_FILES at the end).
bool ReadEntry(Search* search, WIN32_FIND_DATAW* data, DWORD* error);

// Whether DecodeName and EncodeName map each character of the name to
// itself, so that the name's bytes are its characters.
bool IsPlainName(const wchar_t* name, std::size_t length);
bool IsPlainName(const std::wstring& name);

// The search whose entry delivered last is the regular file `path`, or null.
Search* ListedFile(const wchar_t* path);

}  // namespace vur::posix::find_internal
