// The machine the POSIX layer describes: its root folder, its drive table,
// the mapping of drive paths to native paths, and the errno table. Where the
// drives come from is drive_sources.cpp; how names are coded, name_coding.cpp.
#include "platform/posix/machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace vur::posix {
namespace {

std::unique_ptr<std::vector<Drive>> g_drives;

std::vector<Drive> LoadDrives() {
  std::string root = MachineRoot();
  std::string path = root + "/drives";
  std::string text;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    // A drives file that exists but can't be read gives no drives rather
    // than the whole system's: the user meant to name the drives.
    int err = ReadRegularFile(path, &text, std::string::npos);
    if (err != 0) {
      std::fprintf(stderr, "%s: %s; the machine has no drives\n", path.c_str(),
                   err == EINVAL ? "not a regular file" : std::strerror(err));
      return {};
    }
    std::vector<std::string> errors;
    std::vector<Drive> drives = ParseDrivesFile(text, &errors);
    for (const std::string& error : errors) std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    return drives;
  }
  if (ReadRegularFile("/proc/self/mountinfo", &text, std::string::npos) == 0)
    return DrivesFromMountInfo(text);
  return {{'C', DRIVE_FIXED, "/"}};
}

}  // namespace

int ReadRegularFile(const std::string& path, std::string* bytes, std::size_t max_bytes) {
  // The type is checked before the open, so no device is opened at all
  // (opening some has effects of its own), and the open doesn't block, so a
  // FIFO swapped in meanwhile can't hang the caller; fstat then confirms.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  }
  bytes->clear();
  char chunk[8192];
  while (err == 0) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      break;
    }
    if (n == 0) break;
    bytes->append(chunk, static_cast<std::size_t>(n));
    if (bytes->size() > max_bytes) err = EFBIG;
  }
  close(fd);
  return err;
}

std::string MachineRoot() {
  const char* root = std::getenv("VURSCANNER_ROOT");
  if (root != nullptr && *root != '\0') return root;
  return "/var/lib/vurscanner";
}

const std::vector<Drive>& Drives() {
  if (!g_drives) g_drives = std::make_unique<std::vector<Drive>>(LoadDrives());
  return *g_drives;
}

const Drive* FindDrive(wchar_t letter) {
  if (letter >= L'a' && letter <= L'z') letter = letter - L'a' + L'A';
  for (const Drive& drive : Drives())
    if (drive.letter == letter) return &drive;
  return nullptr;
}

void ResetMachine() { g_drives.reset(); }

const wchar_t* SkipVerbatimPrefix(const wchar_t* path) {
  if (path != nullptr && path[0] == L'\\' && path[1] == L'\\' && path[2] == L'?' && path[3] == L'\\')
    return path + 4;
  return path;
}

bool NativePath(const wchar_t* path, std::string* native, DWORD* error, bool allow_native) {
  if (path == nullptr) {
    *error = ERROR_INVALID_PARAMETER;
    return false;
  }
  path = SkipVerbatimPrefix(path);
  std::size_t length = 0;
  while (path[length] != 0) ++length;
  bool has_drive = length >= 2 && path[1] == L':' &&
                   ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
  if (!has_drive) {
    if (allow_native && length > 0) {
      *native = EncodeName(path, length);
      return true;
    }
    *error = length == 0 ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME;
    return false;
  }
  const Drive* drive = FindDrive(path[0]);
  if (drive == nullptr || drive->folder.empty()) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  if (length > 2 && path[2] != L'\\') {
    *error = ERROR_INVALID_NAME;  // "X:name", relative to a drive's current folder
    return false;
  }
  // "." and ".." are resolved here, as Windows resolves them before the file
  // system sees the path: ".." at the drive root stays at the root, so no
  // path leaves its drive's folder.
  std::vector<std::string> elements;
  std::size_t i = 2;
  while (i < length) {
    while (i < length && path[i] == L'\\') ++i;
    std::size_t end = i;
    while (end < length && path[end] != L'\\') ++end;
    std::string element = EncodeName(path + i, end - i);
    if (element == "..") {
      if (!elements.empty()) elements.pop_back();
    } else if (!element.empty() && element != ".") {
      elements.push_back(element);
    }
    i = end;
  }
  std::string out = drive->folder;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  for (const std::string& element : elements) {
    if (out.back() != '/') out.push_back('/');
    out += element;
  }
  *native = out;
  return true;
}

DWORD MissingPathError(const std::string& native) {
  std::string::size_type slash = native.find_last_of('/');
  std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
  struct stat st;
  bool folder_exists = stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return Win32ErrorFromErrno(ENOENT, folder_exists);
}

DWORD Win32ErrorFromErrno(int err, bool for_file) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return for_file ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EBUSY: return ERROR_BUSY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EIO: return ERROR_IO_DEVICE;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace vur::posix
