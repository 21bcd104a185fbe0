// The registry as a folder tree under $VURSCANNER_ROOT/registry/: a key is a
// folder, a value is a file named after it holding its data.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/machine.h"
#include "platform/posix/test_hooks.h"
#include "platform/posix/win32_posix.h"

struct HKEY__ {
  std::string folder;
  REGSAM sam;
};

namespace {

using vur::posix::testing::Fault;
using vur::posix::testing::Op;

constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
// Larger values are refused as too large for any caller's area.
constexpr std::size_t kMaxValueFileBytes = 16u << 20;

std::wstring Widen(const char* text) {
  return text == nullptr ? std::wstring() : vur::posix::DecodeUtf8(text, std::strlen(text));
}

// A value or key element must be a plain name: no empty, ".", ".." or "/".
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

LSTATUS MakeFolders(const std::string& path) {
  std::size_t pos = 1;
  while (true) {
    std::size_t slash = path.find('/', pos);
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
      return static_cast<LSTATUS>(vur::posix::Win32ErrorFromErrno(errno, false));
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

// A value file that is not a regular file (a FIFO, a device, a folder) is
// no value: it is neither opened for reading nor waited on.
bool ReadValueFile(const std::string& path, std::string* bytes, LSTATUS* status) {
  int err = vur::posix::ReadRegularFile(path, bytes, kMaxValueFileBytes);
  switch (err) {
    case 0: return true;
    case EACCES:
    case EPERM: *status = ERROR_ACCESS_DENIED; break;
    case EFBIG: *status = ERROR_MORE_DATA; break;
    case ENOENT:
    case ENOTDIR:
    case EINVAL: *status = ERROR_FILE_NOT_FOUND; break;
    default: *status = static_cast<LSTATUS>(vur::posix::Win32ErrorFromErrno(err)); break;
  }
  return false;
}

// Temporary files of a write in progress are ".tmp.PID.N.NAME" beside the
// value NAME. They are never values, and those of a process that has gone
// (killed during a write) are removed at the next write of NAME.
constexpr char kTempPrefix[] = ".tmp.";

bool IsTempName(const std::string& file_name) {
  return file_name.compare(0, sizeof kTempPrefix - 1, kTempPrefix) == 0;
}

// The PID of a temporary file of `value`, or 0 when `file_name` is none.
pid_t TempOwner(const std::string& file_name, const std::string& value) {
  if (!IsTempName(file_name)) return 0;
  const char* p = file_name.c_str() + sizeof kTempPrefix - 1;
  char* end = nullptr;
  long pid = std::strtol(p, &end, 10);
  if (end == p || *end != '.' || pid <= 0) return 0;
  p = end + 1;
  std::strtoul(p, &end, 10);
  if (end == p || *end != '.' || std::strcmp(end + 1, value.c_str()) != 0) return 0;
  return static_cast<pid_t>(pid);
}

void RemoveStaleTemps(const std::string& folder, const std::string& value) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    pid_t owner = TempOwner(entry->d_name, value);
    if (owner == 0 || owner == getpid()) continue;
    if (kill(owner, 0) == 0 || errno != ESRCH) continue;  // its writer may still be at work
    unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

bool WriteAll(int fd, const BYTE* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD /*reserved*/, LPSTR /*klass*/,
                        DWORD /*options*/, REGSAM sam, const void* /*security*/, PHKEY result,
                        LPDWORD disposition) {
  vur::posix::testing::RecordKeyOpen(sub_key, sam);
  if (result == nullptr || sub_key == nullptr) return ERROR_INVALID_PARAMETER;
  if (key != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  Fault fault;
  if (vur::posix::testing::TakeFault(Op::kRegCreateKey, Widen(sub_key), &fault) && !fault.succeed)
    return static_cast<LSTATUS>(fault.code);

  std::string folder = vur::posix::MachineRoot() + "/registry/HKEY_LOCAL_MACHINE";
  std::string sub(sub_key);
  std::size_t start = 0;
  while (start <= sub.size()) {
    std::size_t end = sub.find('\\', start);
    if (end == std::string::npos) end = sub.size();
    std::string element = sub.substr(start, end - start);
    if (!element.empty()) {
      if (!IsPlainName(element)) return ERROR_INVALID_PARAMETER;
      folder += "/" + element;
    }
    start = end + 1;
  }
  struct stat st;
  bool existed = stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (!existed) {
    LSTATUS status = MakeFolders(folder);
    if (status != ERROR_SUCCESS) return status;
  }
  if ((sam & kWriteRights) != 0 && access(folder.c_str(), W_OK | X_OK) != 0)
    return ERROR_ACCESS_DENIED;
  if ((sam & KEY_QUERY_VALUE) != 0 && access(folder.c_str(), R_OK | X_OK) != 0)
    return ERROR_ACCESS_DENIED;
  *result = new HKEY__{folder, sam};
  if (disposition != nullptr) *disposition = existed ? 2 : 1;
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD /*reserved*/, LPDWORD type, LPBYTE data,
                         LPDWORD size) {
  if (key == nullptr || key == HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  std::wstring wide_name = name == nullptr ? std::wstring() : std::wstring(name);
  Fault fault;
  if (vur::posix::testing::TakeFault(Op::kRegQueryValue, wide_name, &fault) && !fault.succeed)
    return static_cast<LSTATUS>(fault.code);
  if ((key->sam & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  std::string file_name = vur::posix::EncodeUtf8(wide_name.data(), wide_name.size());
  if (!IsPlainName(file_name) || IsTempName(file_name)) return ERROR_FILE_NOT_FOUND;

  std::string bytes;
  LSTATUS status = ERROR_SUCCESS;
  if (!ReadValueFile(key->folder + "/" + file_name, &bytes, &status)) return status;
  if (bytes.size() >= 2 && bytes.compare(bytes.size() - 2, 2, "\r\n") == 0) {
    bytes.resize(bytes.size() - 2);
  } else if (!bytes.empty() && bytes.back() == '\n') {
    bytes.pop_back();
  }
  std::wstring text = vur::posix::DecodeUtf8(bytes.data(), bytes.size());
  DWORD needed = static_cast<DWORD>(text.size() * sizeof(WCHAR));
  if (type != nullptr) *type = REG_SZ;  // the tree stores no types
  if (data == nullptr) {
    if (size != nullptr) *size = needed;
    return ERROR_SUCCESS;
  }
  if (needed > *size) {
    *size = needed;
    return ERROR_MORE_DATA;
  }
  if (needed > 0) std::memcpy(data, text.data(), needed);
  *size = needed;
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR name, DWORD /*reserved*/, DWORD /*type*/,
                       const BYTE* data, DWORD size) {
  if (key == nullptr || key == HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  if (data == nullptr && size > 0) return ERROR_INVALID_PARAMETER;
  Fault fault;
  if (vur::posix::testing::TakeFault(Op::kRegSetValue, Widen(name), &fault) && !fault.succeed)
    return static_cast<LSTATUS>(fault.code);
  if ((key->sam & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  std::string file_name = name == nullptr ? "" : name;
  if (!IsPlainName(file_name) || IsTempName(file_name)) return ERROR_INVALID_PARAMETER;
  RemoveStaleTemps(key->folder, file_name);

  // Write a temporary file beside the value and rename it over the value, so
  // a reader or a crash sees the old data or the new, never a torn value.
  static std::atomic<unsigned> counter{0};
  std::string target = key->folder + "/" + file_name;
  std::string temp = key->folder + "/" + kTempPrefix + std::to_string(getpid()) + "." +
                     std::to_string(counter++) + "." + file_name;
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return static_cast<LSTATUS>(vur::posix::Win32ErrorFromErrno(errno));
  bool ok = WriteAll(fd, data, size) && fsync(fd) == 0;
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    return static_cast<LSTATUS>(vur::posix::Win32ErrorFromErrno(saved));
  }
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) {
  if (key == nullptr || key == HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  std::wstring none;
  Fault fault;
  bool fail = vur::posix::testing::TakeFault(Op::kRegCloseKey, none, &fault) && !fault.succeed;
  delete key;  // the handle is gone whatever the status
  return fail ? static_cast<LSTATUS>(fault.code) : ERROR_SUCCESS;
}
