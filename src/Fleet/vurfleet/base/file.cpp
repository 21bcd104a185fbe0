#include "base/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>

namespace vurfleet {
namespace {

std::string Why(const char* what, int error) { return std::string(what) + ": " + std::strerror(error); }

}  // namespace

std::optional<std::string> ReadOpenFile(int fd, std::size_t limit, const char* too_large,
                                        std::string* error) {
  const auto fail = [&](std::string why) {
    *error = std::move(why);
    return std::nullopt;
  };
  struct stat info;
  if (fstat(fd, &info) != 0) return fail(Why("cannot read", errno));
  if (S_ISDIR(info.st_mode)) return fail("a folder");
  std::string bytes;
  if (S_ISREG(info.st_mode)) {
    if (static_cast<std::uint64_t>(info.st_size) > limit) return fail(too_large);
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
    // A file that grows while read, or a FIFO, is held to the bound too.
    if (bytes.size() + static_cast<std::size_t>(got) > limit) return fail(too_large);
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
}

std::optional<std::string> ReadFileWhole(const std::string& path, std::size_t limit,
                                         const char* too_large, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Why("cannot open", errno);
    return std::nullopt;
  }
  // Closes the file on every way out, an allocation that fails too.
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } const closer{fd};
  return ReadOpenFile(fd, limit, too_large, error);
}

namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& what, int error) {
  throw std::runtime_error(path + ": " + what + ": " + std::strerror(error));
}

void WriteAll(int fd, const std::string& text, const std::function<void(int)>& fail) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(n < 0 ? errno : EIO);
    written += static_cast<std::size_t>(n);
  }
}

// Writes `text` over what `path` opens as it is: a device, a FIFO, a
// terminal. Nothing is made or renamed beside it.
void WriteInPlace(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) Fail(path, "can't open", errno);
  WriteAll(fd, text, [&](int error) {
    close(fd);
    Fail(path, "can't write", error);
  });
  if (close(fd) != 0) Fail(path, "can't write", errno);
}

// Writes `text` to a temporary file beside `target` and renames it over
// `target`. `path` is the name given, for messages.
void ReplaceWhole(const std::string& path, const std::string& target, const std::string& text) {
  std::string temp = target + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) Fail(path, "can't make a file beside it", errno);
  const auto discard = [&](int error) {
    unlink(temp.c_str());
    Fail(path, "can't write", error);
  };
  // mkstemp makes the file 0600; the file is read by others as any file is.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  WriteAll(fd, text, [&](int error) {
    close(fd);
    discard(error);
  });
  const int synced = fsync(fd) == 0 ? 0 : errno;
  const int closed = close(fd) == 0 ? 0 : errno;
  if (synced != 0 || closed != 0) discard(synced != 0 ? synced : closed);
  if (rename(temp.c_str(), target.c_str()) != 0) {
    const int error = errno;
    unlink(temp.c_str());
    Fail(path, "can't replace", error);
  }
}

// Where a link to nothing leads: the name at the end of its chain of links,
// which does not exist. Throws when the chain is too long.
std::string EndOfLinks(const std::string& path) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return at;
    std::string target(PATH_MAX, '\0');
    const ssize_t n = readlink(at.c_str(), target.data(), target.size());
    if (n < 0) Fail(path, "can't follow the link", errno);
    target.resize(static_cast<std::size_t>(n));
    const std::size_t slash = at.rfind('/');
    at = target[0] == '/' || slash == std::string::npos ? target : at.substr(0, slash + 1) + target;
  }
  Fail(path, "can't follow the link", ELOOP);
}

}  // namespace

void WriteFileWhole(const std::string& path, const std::string& text) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) Fail(path, "can't replace", EISDIR);
    if (!S_ISREG(info.st_mode)) return WriteInPlace(path, text);
    // A file, perhaps through links (/dev/stdout of a shell's "> page.html"
    // too): that file is replaced, the links stay.
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) Fail(path, "can't follow the link", errno);
    const std::string target = real;
    std::free(real);
    return ReplaceWhole(path, target, text);
  }
  if (errno != ENOENT) Fail(path, "can't write", errno);
  // No file yet, or a link to none: the file is made where the links end.
  ReplaceWhole(path, EndOfLinks(path), text);
}

}  // namespace vurfleet
