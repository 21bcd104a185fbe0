#include "load/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace vurfleet {
namespace {

namespace fs = std::filesystem;

bool EndsInTxt(const std::string& name) {
  if (name.size() < 4) return false;
  std::string tail = name.substr(name.size() - 4);
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return tail == ".txt";
}

void ListFolder(const std::string& folder, std::vector<FileToLoad>* out) {
  std::vector<FileToLoad> found;
  std::error_code error;
  fs::recursive_directory_iterator it(folder, fs::directory_options::none, error);
  const fs::recursive_directory_iterator end;
  if (error) {
    out->push_back(FileToLoad{folder, "cannot list the folder: " + error.message()});
    return;
  }
  for (; it != end; it.increment(error)) {
    if (error) break;
    const fs::directory_entry& entry = *it;
    std::error_code kind_error;
    // is_regular_file follows a link to a file; links to folders are not
    // entered (directory_options::none).
    if (!entry.is_regular_file(kind_error)) continue;
    const std::string name = entry.path().filename().string();
    if (EndsInTxt(name)) found.push_back(FileToLoad{entry.path().string(), ""});
  }
  std::sort(found.begin(), found.end(),
            [](const FileToLoad& a, const FileToLoad& b) { return a.path < b.path; });
  for (FileToLoad& f : found) out->push_back(std::move(f));
  if (error) {
    out->push_back(FileToLoad{folder, "cannot list the whole folder: " + error.message()});
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
      files.push_back(FileToLoad{argument, ""});
    }
  }
  return files;
}

std::optional<std::string> ReadFileBytes(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::string("cannot open: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::string bytes;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    close(fd);
    *error = "a folder";
    return std::nullopt;
  }
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    if (static_cast<std::uint64_t>(info.st_size) > kMaxFileBytes) {
      close(fd);
      *error = "larger than 1 GiB: no scan is that large";
      return std::nullopt;
    }
    bytes.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[1 << 16];
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      *error = std::string("cannot read: ") + std::strerror(errno);
      close(fd);
      return std::nullopt;
    }
    if (got == 0) break;
    if (bytes.size() + static_cast<std::size_t>(got) > kMaxFileBytes) {
      *error = "larger than 1 GiB: no scan is that large";
      close(fd);
      return std::nullopt;
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return bytes;
}

}  // namespace vurfleet
