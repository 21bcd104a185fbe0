// A listed record as the Win32 search calls give it: its name decoded into
// WIN32_FIND_DATAW, its attributes from the record's type, and, the other
// way round, a path matched against the entry delivered last.
//
// Names are decoded as DecodeName (machine.h) decodes them, so that every
// Linux name can be listed, printed and opened again. Most names are plain
// ASCII and take a copy loop with no branch per byte instead; the table that
// decides which bytes are plain is taken from DecodeName and EncodeName
// themselves, so the fast path can't disagree with them. Attributes cost no
// call unless the file system leaves the record's type unknown, or the entry
// is a symbolic link.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "platform/posix/find_internal.h"
#include "platform/posix/listing.h"
#include "platform/posix/machine.h"
#include "platform/posix/win32_posix.h"

namespace vur::posix::find_internal {
namespace {

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
        std::wstring wide = DecodeName(text.data(), text.size());
        same = same && wide == std::wstring(text.begin(), text.end()) &&
               EncodeName(wide.data(), wide.size()) == text;
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

}  // namespace

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
      std::wstring name = DecodeName(record.name, record.length);
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

bool IsPlainName(const wchar_t* name, std::size_t length) {
  const unsigned char* plain = Plain().plain;
  for (std::size_t i = 0; i < length; ++i)
    if (name[i] < 0 || name[i] >= 0x80 || !plain[name[i]]) return false;
  return true;
}

bool IsPlainName(const std::wstring& name) { return IsPlainName(name.data(), name.size()); }

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
    std::string bytes = EncodeName(name, name_length);
    if (bytes.size() != search->last_length ||
        std::memcmp(bytes.data(), search->last_name, bytes.size()) != 0)
      return nullptr;
  }
  return search;
}

}  // namespace vur::posix::find_internal

int vur::posix::OpenListedFile(const wchar_t* path, int flags) {
  const find_internal::Search* search = find_internal::ListedFile(path);
  return search == nullptr ? -1 : openat(search->fd, search->last_name, flags | O_NOFOLLOW);
}
