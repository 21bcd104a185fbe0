#include "load/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

namespace vurfleet {
namespace {

constexpr char kLink[] =
    "a link: not followed (below a folder given, only its own files and folders are read)";
constexpr char kNotRegular[] = "not a regular file: not read";

bool EndsInTxt(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return tail == ".txt";
}

std::string Join(const std::string& folder, const std::string& below) {
  if (below.empty()) return folder;
  if (!folder.empty() && folder.back() == '/') return folder + below;
  return folder + "/" + below;
}

std::string Why(const char* what, int error) {
  return std::string(what) + ": " + std::strerror(error);
}

// Why openat(..., O_NOFOLLOW) failed: a link (ELOOP; with O_DIRECTORY, a
// link answers ENOTDIR), or what the system says.
std::string OpenError(int dir_fd, const std::string& name, int error, const char* what) {
  struct stat info;
  const bool link = error == ELOOP ||
                    (error == ENOTDIR &&
                     fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISLNK(info.st_mode));
  return link ? kLink : Why(what, error);
}

enum class Kind { kLink, kFolder, kFile, kOther };

Kind KindOf(mode_t mode) {
  return S_ISLNK(mode) ? Kind::kLink : S_ISDIR(mode) ? Kind::kFolder : S_ISREG(mode) ? Kind::kFile
                                                                                     : Kind::kOther;
}

struct CloseDir {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Lists the folder open as `fd` (which it takes), `below` the folder given,
// and what lies below it, into `found`. Each folder is opened from its
// parent by name without following a link, so a folder swapped for a link
// during the walk is not entered.
void Walk(int fd, const std::string& folder, const std::string& below,
          std::vector<FileToLoad>* found) {
  const std::unique_ptr<DIR, CloseDir> dir(fdopendir(fd));
  if (dir == nullptr) {
    const int error = errno;
    close(fd);
    found->push_back(FileToLoad{Join(folder, below), Why("cannot list the folder", error), "", ""});
    return;
  }
  std::vector<std::pair<std::string, unsigned char>> entries;
  int list_error = 0;
  while (true) {
    errno = 0;  // null with errno 0 is the end; with errno set, a failure
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) {
      list_error = errno;
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    entries.emplace_back(entry->d_name, entry->d_type);
  }
  if (list_error != 0) {
    found->push_back(
        FileToLoad{Join(folder, below), Why("cannot list the whole folder", list_error), "", ""});
  }
  for (const auto& [name, type] : entries) {
    const std::string relative = below.empty() ? name : below + "/" + name;
    Kind kind = type == DT_LNK ? Kind::kLink : type == DT_DIR ? Kind::kFolder
              : type == DT_REG ? Kind::kFile : Kind::kOther;
    if (type == DT_UNKNOWN) {
      // Some file systems leave the kind to a stat of its own.
      struct stat info;
      if (fstatat(dirfd(dir.get()), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        found->push_back(FileToLoad{Join(folder, relative), Why("cannot read", errno), "", ""});
        continue;
      }
      kind = KindOf(info.st_mode);
    }
    switch (kind) {
      case Kind::kLink:
        found->push_back(FileToLoad{Join(folder, relative), kLink, "", ""});
        break;
      case Kind::kFolder: {
        const int child =
            openat(dirfd(dir.get()), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child < 0) {
          found->push_back(FileToLoad{
              Join(folder, relative),
              OpenError(dirfd(dir.get()), name, errno, "cannot list the folder"), "", ""});
          break;
        }
        Walk(child, folder, relative, found);
        break;
      }
      case Kind::kFile:
        if (EndsInTxt(name)) {
          found->push_back(FileToLoad{Join(folder, relative), "", folder, relative});
        }
        break;
      case Kind::kOther:
        if (EndsInTxt(name)) {
          found->push_back(FileToLoad{Join(folder, relative), kNotRegular, "", ""});
        }
        break;
    }
  }
}

void ListFolder(const std::string& folder, std::vector<FileToLoad>* out) {
  // The folder given is taken as given: a link to it is followed.
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    out->push_back(FileToLoad{folder, Why("cannot list the folder", errno), "", ""});
    return;
  }
  std::vector<FileToLoad> found;
  Walk(fd, folder, "", &found);
  std::sort(found.begin(), found.end(),
            [](const FileToLoad& a, const FileToLoad& b) { return a.path < b.path; });
  for (FileToLoad& f : found) out->push_back(std::move(f));
}

// Opens `below` (names joined by '/') from `folder`, one name at a time,
// following no link; the file itself without waiting on a FIFO. Returns the
// descriptor, or -1 with `error` set.
int OpenBelow(const std::string& folder, const std::string& below, std::string* error) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = Why("cannot open the folder it was found in", errno);
    return -1;
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = below.find('/', start);
    const bool last = slash == std::string::npos;
    const std::string name = below.substr(start, last ? std::string::npos : slash - start);
    const int flags = last ? O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC
                           : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int next = openat(fd, name.c_str(), flags);
    if (next < 0) *error = OpenError(fd, name, errno, "cannot open");
    close(fd);
    if (next < 0) return -1;
    if (last) return next;
    fd = next;
    start = slash + 1;
  }
}

}  // namespace

std::vector<FileToLoad> ListFiles(const std::vector<std::string>& arguments) {
  std::vector<FileToLoad> files;
  for (const std::string& argument : arguments) {
    struct stat info;
    if (stat(argument.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      ListFolder(argument, &files);
    } else {
      files.push_back(FileToLoad{argument, "", "", ""});
    }
  }
  return files;
}

std::optional<std::string> ReadFileBytes(const FileToLoad& file, std::string* error, const char* what) {
  const bool found = !file.folder.empty();
  const int fd = found ? OpenBelow(file.folder, file.below, error)
                       : open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (!found) *error = Why("cannot open", errno);
    return std::nullopt;
  }
  // Closes the file on every way out, an allocation that fails too.
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } const closer{fd};
  const auto fail = [&](std::string why) {
    *error = std::move(why);
    return std::nullopt;
  };
  struct stat info;
  if (fstat(fd, &info) != 0) return fail(Why("cannot read", errno));
  if (S_ISDIR(info.st_mode)) return fail("a folder");
  if (found) {
    // Checked on what was opened: what the walk saw may have changed since.
    if (!S_ISREG(info.st_mode)) return fail(kNotRegular);
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  std::string bytes;
  if (S_ISREG(info.st_mode)) {
    if (static_cast<std::uint64_t>(info.st_size) > kMaxFileBytes) {
      return fail(std::string("larger than 1 GiB: no ") + what + " is that large");
    }
    bytes.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[1 << 16];
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return fail(Why("cannot read", errno));
    }
    if (got == 0) break;
    if (bytes.size() + static_cast<std::size_t>(got) > kMaxFileBytes) {
      return fail(std::string("larger than 1 GiB: no ") + what + " is that large");
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
}

}  // namespace vurfleet
