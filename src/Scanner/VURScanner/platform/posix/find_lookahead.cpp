// The lookahead: what the listing does ahead of the walker so that, on a cold
// cache, the probes' disk reads overlap the walk's, while a warm walk makes
// no call it would not have made anyway.
//
// Once a folder's records are read, its subfolders are listed ahead of the
// walker, a few at a time, in the order the walker will take them, and the
// files among its records that the probe is likely to be asked for are
// opened and prefetched (file_source.h). A subfolder listed ahead is opened
// as the walker's own open would open it, and when the walker asks for it,
// the search is handed over; one that the walker passes by (an excluded
// folder) is dropped. A listing made ahead is a little older when the walker
// reads it, as any listing is by the time its last entry is used.
//
// What the lookahead holds open never costs the walker or a probe a file
// descriptor: an open that fails for want of them releases it all and stops
// reading ahead for the rest of the run.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/posix/file_source.h"
#include "platform/posix/find_internal.h"
#include "platform/posix/listing.h"
#include "platform/posix/win32_posix.h"

namespace vur::posix::find_internal {
namespace {

constexpr std::size_t kAheadPerFolder = 6;
constexpr int kMaxAhead = 32;
int g_ahead = 0;              // searches listed ahead and not yet handed over
bool g_lookahead_off = false;  // the process ran short of descriptors

// Starts the prefetch of the record's file when the probe is likely to be
// asked for it.
void Prefetch(Search* search, const Record& record) {
  if (record.type != DT_REG || !PrefetchHasRoom() || !IsLikelyProbed(record.name, record.length))
    return;
  int fd = openat(search->fd, record.name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0 && ShortOfDescriptors(errno)) DisablePrefetch();
  if (fd < 0) return;
  std::unique_ptr<FileSource> file = StartPrefetch(fd);
  if (file != nullptr) search->prefetches.push_back({record.name, std::move(file)});
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

}  // namespace

void Forget(Search* search) {
  for (const Search::Ahead& ahead : search->ahead) Discard(ahead.search);
  search->ahead.clear();
  search->prefetches.clear();
  search->subfolders.clear();
  search->surveyed = 0;
}

void Discard(Search* search) {
  Forget(search);
  close(search->fd);
  EndSearch(search);
  --g_ahead;
}

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

void HandedOver() { --g_ahead; }

}  // namespace vur::posix::find_internal

namespace fi = vur::posix::find_internal;

bool vur::posix::ReleaseLookahead() {
  bool released = false;
  for (fi::Search* search : fi::OpenSearches()) {
    released = released || !search->ahead.empty() || !search->prefetches.empty();
    for (const fi::Search::Ahead& ahead : search->ahead) fi::Discard(ahead.search);
    search->ahead.clear();
    search->prefetches.clear();
  }
  fi::g_lookahead_off = true;
  DisablePrefetch();
  return released;
}

void vur::posix::PrefetchNewlyLikelyFiles() {
  if (fi::g_lookahead_off) return;
  for (fi::Search* search : fi::OpenSearches()) {
    fi::Resurvey(search);
    for (const fi::Search::Ahead& ahead : search->ahead) fi::Resurvey(ahead.search);
  }
}

std::unique_ptr<vur::posix::FileSource> vur::posix::TakeListedSource(const wchar_t* path) {
  fi::Search* search = fi::ListedFile(path);
  if (search == nullptr) return nullptr;
  for (fi::Search::Prefetch& prefetch : search->prefetches)
    if (prefetch.name == search->last_name) return std::move(prefetch.file);
  return nullptr;
}

void vur::posix::find_testing::ResumeLookahead() {
  fi::g_lookahead_off = false;
  vur::posix::prefetch_testing::Resume();
}
