// Searches, their buffers and the getdents64 records read into them: the
// part of the listing that makes a folder cost one read where it can.
//
// - The records are read with getdents64 straight into the search's own
//   buffer of one read's size; ended searches are kept for reuse, so memory
//   grows with the depth of the walk (and the few folders listed ahead),
//   never with the size of a folder, and a walk allocates nothing per folder.
// - Records are parsed here, and every length in them is checked against
//   what was read: a record that doesn't fit ends the listing with
//   ERROR_INVALID_DATA rather than be read past.
// - The ext4 driver gives the last record of a listing an end-of-directory
//   offset, so a read that holds it needs no second read to learn that
//   nothing follows. A read cut short for any other reason (a signal, say)
//   lacks the mark, and the next read is made as usual. Other file systems
//   always get that read.
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/posix/find_internal.h"
#include "platform/posix/machine.h"
#include "platform/posix/win32_posix.h"

namespace vur::posix::find_internal {
namespace {

// A getdents64 record: 8-byte inode, 8-byte offset, 2-byte length, 1-byte
// type, then the name and its NUL.
constexpr std::size_t kRecordHeader = 19;

// The offset ext4's htree readdir gives the last entry, in the 64-bit or the
// 32-bit form, on the file systems HasEndMarker (find_roots.cpp) names.
bool IsEndMarker(std::int64_t offset) { return offset == INT64_MAX || offset == INT32_MAX; }

find_testing::DirectoryReader g_reader = nullptr;
long g_reads = 0;

// Searches are made and ended once per folder: ended ones are kept for
// reuse, with their buffers, so a walk allocates nothing per folder.
std::vector<Search*>& SpareSearches() {
  static auto* spare = new std::vector<Search*>();
  return *spare;
}

}  // namespace

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

std::vector<Search*>& OpenSearches() {
  static auto* open = new std::vector<Search*>();
  return *open;
}

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
    *error = Win32ErrorFromErrno(errno, false);
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

}  // namespace vur::posix::find_internal

namespace vur::posix::find_testing {

void SetDirectoryReader(DirectoryReader reader) { find_internal::g_reader = reader; }
ssize_t SystemDirectoryRead(int fd, void* buffer, std::size_t size) {
  return syscall(SYS_getdents64, fd, buffer, size);
}
long DirectoryReads() { return find_internal::g_reads; }

}  // namespace vur::posix::find_testing
