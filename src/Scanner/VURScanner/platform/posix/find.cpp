// Folder listing with the semantics of the Win32 search calls: "." and ".."
// first outside a drive root, ERROR_NO_MORE_FILES at the end, and a walk that
// stays on its drive's mount and never goes through a symbolic link.
//
// It is built for the walk's speed: a folder usually costs one openat2, one
// getdents64 and one close.
// - The records are read with getdents64 straight into the search's own
//   buffer of one read's size; ended searches are kept for reuse, so memory
//   grows with the depth of the walk (and the few folders listed ahead),
//   never with the size of a folder, and a walk allocates nothing per folder.
// - Subfolders are listed a few at a time ahead of the walker, and the files
//   it will probably probe are prefetched (see "The lookahead" below), so
//   that on a cold cache the probes' disk reads overlap the walk's.
// - openat2 with RESOLVE_NO_XDEV refuses, inside the kernel's own path walk,
//   every mount point below the drive's root folder, bind mounts and mounts
//   made during the run among them; no statx per folder is needed. Only on
//   file systems with subvolumes (btrfs, bcachefs), whose folders can change
//   device without a mount, does each folder still get a statx. Where the
//   kernel lacks openat2 (before 5.6, or a sandbox refuses it) every folder
//   gets the statx check against the root instead.
// - A subfolder of the search opened last is opened relative to it: the
//   kernel resolves one name, not the whole path, and the folder opened is
//   the one that listing showed, even when a folder above it was renamed or
//   swapped for a link meanwhile.
// - The ext4 driver gives the last record of a listing an end-of-directory
//   offset, so a read that holds it needs no second read to learn that
//   nothing follows. A read cut short for any other reason (a signal, say)
//   lacks the mark, and the next read is made as usual. Other file systems
//   always get that read.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
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

// As large as glibc's readdir buffer: one read holds a folder of several
// hundred entries.
constexpr std::size_t kReadSize = 32 * 1024;

// A getdents64 record: 8-byte inode, 8-byte offset, 2-byte length, 1-byte
// type, then the name and its NUL.
constexpr std::size_t kRecordHeader = 19;

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

// Stable addresses: searches point at their drive's entry.
std::vector<std::unique_ptr<DriveRoot>>& Roots() {
  static auto* roots = new std::vector<std::unique_ptr<DriveRoot>>();
  return *roots;
}

// The file systems whose end-of-listing offset is known: ext4's htree
// readdir sets it after the last entry, in the 64-bit or the 32-bit form.
bool HasEndMarker(long type) { return type == EXT4_SUPER_MAGIC; }
bool IsEndMarker(std::int64_t offset) { return offset == INT64_MAX || offset == INT32_MAX; }

// Subvolumes of these have a device of their own but no mount of their own.
bool HasSubvolumes(long type) {
  constexpr long kBtrfs = 0x9123683E, kBcachefs = 0xca451a4e;
  return type == kBtrfs || type == kBcachefs;
}

// The drive's root, opened anew when `refresh` is set (each listing of the
// root itself, so a walk sees the folder the drive names now). Null with
// errno set when the folder can't be opened.
DriveRoot* RootOf(const vur::posix::Drive& drive, bool refresh) {
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

// How folders are opened: openat2 until the kernel refuses it once.
bool g_statx_open = false;
bool g_forced_statx_open = false;
long g_reads = 0;

// Opens a folder below `root` (relative to `dir_fd`, which lies on the
// root's mount). Returns the descriptor, or -1 and *error, a Win32 code.
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
      *error = vur::posix::Win32ErrorFromErrno(err, false);
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

vur::posix::find_testing::DirectoryReader g_reader = nullptr;

struct Search {
  int fd = -1;
  std::wstring pattern;
  std::size_t native_length = 0;  // of the folder's native path
  const DriveRoot* root = nullptr;
  vur::posix::find_testing::DirectoryReader reader = nullptr;
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
    std::unique_ptr<vur::posix::FileSource> file;
  };
  std::vector<Prefetch> prefetches;
};

// Searches are made and ended once per folder: ended ones are kept for
// reuse, with their buffers, so a walk allocates nothing per folder.
std::vector<Search*>& SpareSearches() {
  static auto* spare = new std::vector<Search*>();
  return *spare;
}

Search* NewSearch(int fd, const DriveRoot* root, int pending_dots) {
  Search* search;
  if (SpareSearches().empty()) {
    search = new Search;
  } else {
    search = SpareSearches().back();
    SpareSearches().pop_back();
  }
  search->fd = fd;
  search->root = root;
  search->reader = g_reader;
  search->pending_dots = pending_dots;
  return search;
}

// Ends a search whose descriptor is closed and whose lookahead is dropped.
void EndSearch(Search* search) {
  constexpr std::size_t kSpares = 64;
  if (SpareSearches().size() >= kSpares) {
    delete search;
    return;
  }
  search->fd = -1;
  search->pattern.clear();
  search->native_length = 0;
  search->record = -1;
  search->at_end = false;
  search->next = search->end = nullptr;
  search->last_name = nullptr;
  search->last_length = 0;
  search->last_type = DT_UNKNOWN;
  SpareSearches().push_back(search);
}


// The searches open, in the order opened: the walker's current path.
std::vector<Search*>& OpenSearches() {
  static auto* open = new std::vector<Search*>();
  return *open;
}

struct Record {
  const char* name;
  std::size_t length;
  unsigned char type;
};

// The record at `at`, or null when it doesn't fit what was read or its name
// has no end: such a record can't be trusted, nor can anything after it.
// Else returns where the next record starts.
const char* ParseRecord(const char* at, const char* end, Record* record, std::int64_t* offset) {
  std::size_t left = static_cast<std::size_t>(end - at);
  if (left <= kRecordHeader) return nullptr;
  std::uint16_t length = 0;
  std::memcpy(offset, at + 8, sizeof *offset);
  std::memcpy(&length, at + 16, sizeof length);
  const char* name = at + kRecordHeader;
  if (length <= kRecordHeader || length > left) return nullptr;
  const void* nul = std::memchr(name, '\0', length - kRecordHeader);
  if (nul == nullptr) return nullptr;
  record->name = name;
  record->length = static_cast<std::size_t>(static_cast<const char*>(nul) - name);
  record->type = static_cast<unsigned char>(at[18]);
  return at + length;
}

bool IsDots(const Record& record) {
  return record.length == 0 ||
         (record.name[0] == '.' && (record.length == 1 || (record.length == 2 && record.name[1] == '.')));
}

// The lookahead. Once a folder's records are read, its subfolders are listed
// ahead of the walker, a few at a time, in the order the walker will take
// them, and the files among its records that the probe is likely to be asked
// for are opened and prefetched (file_source.h). A subfolder listed ahead is
// opened as the walker's own open would open it, and when the walker asks
// for it, the search is handed over; one that the walker passes by (an
// excluded folder) is dropped. A listing made ahead is a little older when
// the walker reads it, as any listing is by the time its last entry is used.
constexpr std::size_t kAheadPerFolder = 6;
constexpr int kMaxAhead = 32;
int g_ahead = 0;              // searches listed ahead and not yet handed over
bool g_lookahead_off = false;  // the process ran short of descriptors

bool ShortOfDescriptors(int err) { return err == EMFILE || err == ENFILE; }

void Discard(Search* search);

// Drops what the lookahead holds for the search's records.
void Forget(Search* search) {
  for (const Search::Ahead& ahead : search->ahead) Discard(ahead.search);
  search->ahead.clear();
  search->prefetches.clear();
  search->subfolders.clear();
  search->surveyed = 0;
}

// Closes a search listed ahead that was never handed over.
void Discard(Search* search) {
  Forget(search);
  close(search->fd);
  EndSearch(search);
  --g_ahead;
}

// Starts the prefetch of the record's file when the probe is likely to be
// asked for it.
void Prefetch(Search* search, const Record& record) {
  if (record.type != DT_REG || !vur::posix::PrefetchHasRoom() ||
      !vur::posix::IsLikelyProbed(record.name, record.length))
    return;
  int fd = openat(search->fd, record.name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0 && ShortOfDescriptors(errno)) vur::posix::DisablePrefetch();
  if (fd < 0) return;
  std::unique_ptr<vur::posix::FileSource> file = vur::posix::StartPrefetch(fd);
  if (file != nullptr) search->prefetches.push_back({record.name, std::move(file)});
}

// Notes the subfolders of the records just read, and starts the prefetch of
// the files among them the probe is likely to be asked for.
void Survey(Search* search) {
  if (g_lookahead_off) return;
  Record record;
  std::int64_t offset = 0;
  for (const char* at = search->next; at != search->end;) {
    at = ParseRecord(at, search->end, &record, &offset);
    if (at == nullptr) break;
    if (record.type == DT_DIR) {
      if (!IsDots(record)) search->subfolders.push_back(record.name);
    } else {
      Prefetch(search, record);
    }
  }
}

// Looks again at the records of the last read not yet delivered, for files
// whose prefetch a name ending learnt since then calls for.
void Resurvey(Search* search) {
  Record record;
  std::int64_t offset = 0;
  for (const char* at = search->next; at != nullptr && at != search->end;) {
    at = ParseRecord(at, search->end, &record, &offset);
    if (at == nullptr) break;
    bool prefetched = false;
    for (const Search::Prefetch& prefetch : search->prefetches)
      prefetched = prefetched || prefetch.name == record.name;
    if (!prefetched) Prefetch(search, record);
  }
}

bool Refill(Search* search, DWORD* error);

// Lists the subfolder `name` of `parent` ahead of the walker: null when it
// can't be opened or read, which the walker's own open will then find out.
Search* ListAhead(Search* parent, const char* name) {
  DWORD error = 0;
  int fd = OpenFolder(*parent->root, parent->fd, name, /*at_root=*/false, &error);
  if (fd < 0) {
    if (ShortOfDescriptors(errno)) g_lookahead_off = true;
    return nullptr;
  }
  Search* search = NewSearch(fd, parent->root, 2);
  ++g_ahead;
  if (!Refill(search, &error)) {
    Discard(search);
    return nullptr;
  }
  return search;
}

// Makes room for one more search listed ahead by dropping the one the walker
// needs last: the farthest ahead of the shallowest folder that has any.
bool MakeRoom(const Search* keep) {
  for (Search* search : OpenSearches()) {
    if (search == keep || search->ahead.empty()) continue;
    Discard(search->ahead.back().search);
    search->ahead.pop_back();
    return true;
  }
  return false;
}

// Lists ahead the next few subfolders of a search the walker holds.
void FillAhead(Search* search) {
  while (!g_lookahead_off && search->ahead.size() < kAheadPerFolder &&
         search->surveyed < search->subfolders.size()) {
    if (g_ahead >= kMaxAhead && !MakeRoom(search)) return;
    const char* name = search->subfolders[search->surveyed++];
    // One the walker has come to already, it has opened itself (its parent's
    // records were read after the walker's own open of the parent).
    if (search->last_name != nullptr && name <= search->last_name) continue;
    Search* ahead = ListAhead(search, name);
    if (ahead != nullptr) search->ahead.push_back({name, ahead});
  }
}

// The subfolder listed ahead that the walker asks for now: the entry the
// parent delivered last, under the name the walker gives. Those before it
// were passed by and are dropped. The search is still counted as ahead.
Search* TakeAhead(Search* parent, const std::string& relative) {
  std::vector<Search::Ahead>& ahead = parent->ahead;
  if (parent->last_name == nullptr) return nullptr;
  std::size_t passed = 0;
  while (passed < ahead.size() && ahead[passed].name < parent->last_name)
    Discard(ahead[passed++].search);
  Search* taken = nullptr;
  if (passed < ahead.size() && ahead[passed].name == parent->last_name &&
      relative == ahead[passed].name)
    taken = ahead[passed++].search;
  ahead.erase(ahead.begin(), ahead.begin() + static_cast<std::ptrdiff_t>(passed));
  return taken;
}

// Reads the next records. False with *error set on a failure; at the end
// sets at_end.
bool Refill(Search* search, DWORD* error) {
  Forget(search);  // it points into the records about to be replaced
  search->last_name = nullptr;
  char* buffer = reinterpret_cast<char*>(search->records.get());
  ssize_t got;
  do {
    ++g_reads;
    got = search->reader != nullptr ? search->reader(search->fd, buffer, kReadSize)
                                    : syscall(SYS_getdents64, search->fd, buffer, kReadSize);
  } while (got < 0 && errno == EINTR);
  search->next = search->end = nullptr;
  if (got < 0) {
    *error = vur::posix::Win32ErrorFromErrno(errno, false);
    return false;
  }
  if (static_cast<std::size_t>(got) > kReadSize) {
    *error = ERROR_INVALID_DATA;
    return false;
  }
  if (got == 0) {
    search->at_end = true;
    return true;
  }
  search->next = buffer;
  search->end = buffer + got;
  Survey(search);
  return true;
}

// The next record but "." and "..", or false with *error set
// (ERROR_NO_MORE_FILES at the end).
bool NextRecord(Search* search, Record* record, DWORD* error) {
  while (true) {
    if (search->next == search->end) {
      if (search->at_end) {
        *error = ERROR_NO_MORE_FILES;
        return false;
      }
      if (!Refill(search, error)) return false;
      if (search->at_end) {
        *error = ERROR_NO_MORE_FILES;
        return false;
      }
    }
    std::int64_t offset = 0;
    const char* next = ParseRecord(search->next, search->end, record, &offset);
    if (next == nullptr) {
      search->next = search->end = nullptr;
      *error = ERROR_INVALID_DATA;
      return false;
    }
    search->next = next;
    if (next == search->end && search->root->end_marker && IsEndMarker(offset))
      search->at_end = true;
    if (IsDots(*record)) continue;
    return true;
  }
}

// Fills the record: `name` (null when cFileName holds it already) and its
// terminator; what follows the terminator is left as it was, as Windows
// leaves it.
void FillEntry(const wchar_t* name, std::size_t length, DWORD attributes, WIN32_FIND_DATAW* data) {
  data->dwFileAttributes = attributes;
  data->ftCreationTime = data->ftLastAccessTime = data->ftLastWriteTime = FILETIME{0, 0};
  data->nFileSizeHigh = data->nFileSizeLow = 0;
  data->dwReserved0 = data->dwReserved1 = 0;
  if (name != nullptr) {
    for (std::size_t i = 0; i < length; ++i) data->cFileName[i] = name[i];
    data->cFileName[length] = 0;
  }
  data->cAlternateFileName[0] = 0;
}

// Bytes that DecodeName and EncodeName map to themselves wherever they stand
// in a name. Most names are made of them only, and are then copied as they
// are, without building a wide string. The table is taken from DecodeName
// and EncodeName themselves, once, so it can't drift from their rules.
struct PlainBytes {
  unsigned char plain[256] = {};  // 1 for a plain byte; bytes from 0x80 up never are
  PlainBytes() {
    for (int b = 0x20; b < 0x7F; ++b) {
      char c = static_cast<char>(b);
      const std::string contexts[] = {std::string(1, c), std::string("a") + c,
                                      std::string(1, c) + "a", std::string("a") + c + "a",
                                      std::string(3, c)};
      bool same = true;
      for (const std::string& text : contexts) {
        std::wstring wide = vur::posix::DecodeName(text.data(), text.size());
        same = same && wide == std::wstring(text.begin(), text.end()) &&
               vur::posix::EncodeName(wide.data(), wide.size()) == text;
      }
      plain[b] = same;
    }
  }
};

const PlainBytes* g_plain = nullptr;

const PlainBytes& Plain() {
  if (g_plain == nullptr) g_plain = new PlainBytes();
  return *g_plain;
}

// Copies a name made of plain bytes into `out` with its terminator; false,
// with `out` left unspecified, when the name holds any other byte.
bool CopyPlainName(const char* bytes, std::size_t length, wchar_t* out) {
  const unsigned char* plain = Plain().plain;
  // Copied whatever the bytes are, and judged once at the end: no branch per
  // byte on the common path.
  unsigned char all_plain = 1;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    all_plain &= plain[c];
    out[i] = c;
  }
  out[length] = 0;
  return all_plain != 0;
}

bool IsPlainName(const wchar_t* name, std::size_t length) {
  const unsigned char* plain = Plain().plain;
  for (std::size_t i = 0; i < length; ++i)
    if (name[i] < 0 || name[i] >= 0x80 || !plain[name[i]]) return false;
  return true;
}

bool IsPlainName(const std::wstring& name) { return IsPlainName(name.data(), name.size()); }

// Attributes of one entry; false for an entry that vanished while being
// looked at, which is left out.
bool EntryAttributes(int dir_fd, const Record& entry, DWORD* attributes) {
  unsigned char type = entry.type;
  struct stat st;
  if (type == DT_UNKNOWN) {
    if (fstatat(dir_fd, entry.name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
  }
  if (type == DT_DIR) {
    *attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else if (type == DT_LNK) {
    // Windows lists a link whatever it leads to: a link to nothing, or into a
    // loop, is a file whose open then fails.
    bool to_folder = fstatat(dir_fd, entry.name, &st, 0) == 0 && S_ISDIR(st.st_mode);
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
    FillEntry(search->pending_dots == 2 ? L"." : L"..", search->pending_dots == 2 ? 1 : 2,
              FILE_ATTRIBUTE_DIRECTORY, data);
    --search->pending_dots;
    return true;
  }
  search->last_name = nullptr;
  Record record;
  while (NextRecord(search, &record, error)) {
    DWORD attributes = 0;
    if (!EntryAttributes(search->fd, record, &attributes)) continue;
    if (record.length >= MAX_PATH) continue;  // longer than any name this system allows
    if (CopyPlainName(record.name, record.length, data->cFileName)) {
      FillEntry(nullptr, record.length, attributes, data);
    } else {
      std::wstring name = vur::posix::DecodeName(record.name, record.length);
      if (name.size() >= MAX_PATH) continue;
      FillEntry(name.data(), name.size(), attributes, data);
    }
    search->last_name = record.name;
    search->last_length = record.length;
    search->last_type = record.type;
    return true;
  }
  return false;
}

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

namespace {

// The search whose entry delivered last is the regular file `path`, or null.
Search* ListedFile(const wchar_t* path) {
  if (path == nullptr || OpenSearches().empty()) return nullptr;
  Search* search = OpenSearches().back();
  if (search->last_name == nullptr || search->last_type != DT_REG) return nullptr;
  std::size_t base = search->pattern.size() - 1;  // the folder, with its backslash
  std::size_t length = std::wcslen(path);
  if (length <= base || search->pattern.compare(0, base, path, base) != 0) return nullptr;
  const wchar_t* name = path + base;
  std::size_t name_length = length - base;
  if (std::wmemchr(name, L'\\', name_length) != nullptr) return nullptr;  // a path below the folder
  if (IsPlainName(name, name_length)) {
    if (name_length != search->last_length) return nullptr;
    for (std::size_t i = 0; i < name_length; ++i)
      if (static_cast<unsigned char>(search->last_name[i]) != static_cast<wchar_t>(name[i]))
        return nullptr;
  } else {
    std::string bytes = vur::posix::EncodeName(name, name_length);
    if (bytes.size() != search->last_length ||
        std::memcmp(bytes.data(), search->last_name, bytes.size()) != 0)
      return nullptr;
  }
  return search;
}

}  // namespace

int vur::posix::OpenListedFile(const wchar_t* path, int flags) {
  const Search* search = ListedFile(path);
  return search == nullptr ? -1 : openat(search->fd, search->last_name, flags | O_NOFOLLOW);
}

bool vur::posix::ReleaseLookahead() {
  bool released = false;
  for (Search* search : OpenSearches()) {
    released = released || !search->ahead.empty() || !search->prefetches.empty();
    for (const Search::Ahead& ahead : search->ahead) Discard(ahead.search);
    search->ahead.clear();
    search->prefetches.clear();
  }
  g_lookahead_off = true;
  DisablePrefetch();
  return released;
}

void vur::posix::PrefetchNewlyLikelyFiles() {
  if (g_lookahead_off) return;
  for (Search* search : OpenSearches()) {
    Resurvey(search);
    for (const Search::Ahead& ahead : search->ahead) Resurvey(ahead.search);
  }
}

std::unique_ptr<vur::posix::FileSource> vur::posix::TakeListedSource(const wchar_t* path) {
  Search* search = ListedFile(path);
  if (search == nullptr) return nullptr;
  for (Search::Prefetch& prefetch : search->prefetches)
    if (prefetch.name == search->last_name) return std::move(prefetch.file);
  return nullptr;
}

namespace vur::posix::find_testing {

void SetDirectoryReader(DirectoryReader reader) { g_reader = reader; }
ssize_t SystemDirectoryRead(int fd, void* buffer, std::size_t size) {
  return syscall(SYS_getdents64, fd, buffer, size);
}
void ForceStatxOpen(bool on) { g_forced_statx_open = on; }
long DirectoryReads() { return g_reads; }
void ResumeLookahead() {
  g_lookahead_off = false;
  vur::posix::prefetch_testing::Resume();
}

}  // namespace vur::posix::find_testing

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  if (pattern == nullptr || data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::wstring text(pattern);
  vur::posix::testing::RecordSearchRequest(text);
  Fault fault;
  bool faulted = vur::posix::testing::TakeFault(Op::kFindFirstFile, text, &fault);
  if (faulted && !fault.succeed) return Fail(fault.code);
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
    --g_ahead;  // handed over
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
