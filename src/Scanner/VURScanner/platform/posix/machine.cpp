// The machine the POSIX layer describes: its root folder, its drives, and the
// mapping of drive paths to native paths.
#include "platform/posix/machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

namespace vur::posix {
namespace {

std::unique_ptr<std::vector<Drive>> g_drives;

bool ReadWholeFile(const std::string& path, std::string* text) {
  return ReadRegularFile(path, text, std::string::npos) == 0;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

UINT TypeFromWord(const std::string& word, bool* ok) {
  *ok = true;
  if (word == "fixed") return DRIVE_FIXED;
  if (word == "removable") return DRIVE_REMOVABLE;
  if (word == "remote") return DRIVE_REMOTE;
  if (word == "cdrom") return DRIVE_CDROM;
  if (word == "ramdisk") return DRIVE_RAMDISK;
  if (word == "unknown") return DRIVE_UNKNOWN;
  *ok = false;
  return DRIVE_UNKNOWN;
}

// Type of a drive by the file system type named in mountinfo. Pseudo file
// systems give DRIVE_NO_ROOT_DIR: they get no letter.
UINT TypeFromFsType(const std::string& fs) {
  static const std::set<std::string> kDisk = {
      "ext2", "ext3", "ext4", "xfs", "btrfs", "jfs", "reiserfs", "vfat", "msdos", "exfat",
      "ntfs", "ntfs3", "fuseblk", "f2fs", "hfs", "hfsplus", "zfs", "ufs", "nilfs2",
      "bcachefs", "overlay", "fuse.bindfs", "9p", "virtiofs"};
  static const std::set<std::string> kRemote = {"nfs", "nfs4", "cifs", "smb3", "smbfs",
                                                "fuse.sshfs", "afs", "ceph", "glusterfs"};
  static const std::set<std::string> kOptical = {"iso9660", "udf", "squashfs"};
  static const std::set<std::string> kRam = {"tmpfs", "ramfs"};
  if (kDisk.count(fs)) return DRIVE_FIXED;
  if (kRemote.count(fs)) return DRIVE_REMOTE;
  if (kOptical.count(fs)) return DRIVE_CDROM;
  if (kRam.count(fs)) return DRIVE_RAMDISK;
  return DRIVE_NO_ROOT_DIR;
}

// mountinfo escapes blanks and a few other bytes as \ooo.
bool IsOctal(char c) { return c >= '0' && c <= '7'; }

std::string UnescapeMountField(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) && IsOctal(field[i + 2]) &&
        IsOctal(field[i + 3])) {
      int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      out.push_back(static_cast<char>(value));
      i += 3;
      continue;
    }
    out.push_back(field[i]);
  }
  return out;
}

struct Mount {
  std::string device, point, fs;
};

// The mounts of /proc/self/mountinfo text, in mount order.
std::vector<Mount> ParseMountInfo(const std::string& text) {
  std::vector<Mount> mounts;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, mount_root, point, field;
    if (!(fields >> id >> parent >> device >> mount_root >> point)) continue;
    while (fields >> field && field != "-") {
    }
    std::string fs;
    fields >> fs;
    mounts.push_back({device, UnescapeMountField(point), fs});
  }
  return mounts;
}

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
  if (ReadWholeFile("/proc/self/mountinfo", &text)) return DrivesFromMountInfo(text);
  return {{'C', DRIVE_FIXED, "/"}};
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
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

std::vector<Drive> ParseDrivesFile(const std::string& text, std::vector<std::string>* errors) {
  std::vector<Drive> drives;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  bool seen[26] = {};
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    // LETTER: TYPE FOLDER, where FOLDER is the rest of the line.
    std::istringstream fields(line.substr(start));
    std::string letter_field, type_word;
    fields >> letter_field >> type_word;
    std::string folder;
    std::getline(fields, folder);
    std::size_t folder_start = folder.find_first_not_of(" \t");
    folder = folder_start == std::string::npos ? "" : folder.substr(folder_start);
    bool trailing_blanks = false;
    while (!folder.empty() && (folder.back() == ' ' || folder.back() == '\t')) {
      folder.pop_back();
      trailing_blanks = true;
    }
    char letter = letter_field.size() == 2 && letter_field[1] == ':' ? letter_field[0] : 0;
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    std::string where = "line " + std::to_string(number) + ": ";
    if (letter < 'A' || letter > 'Z') {
      errors->push_back(where + "expected a drive letter and a colon, such as C:");
      continue;
    }
    if (folder.empty() || folder[0] != '/') {
      errors->push_back(where + "expected TYPE and an absolute FOLDER after " + letter_field);
      continue;
    }
    if (seen[letter - 'A']) {
      errors->push_back(where + "drive " + letter_field + " is given twice");
      continue;
    }
    Drive drive;
    drive.letter = letter;
    drive.folder = folder;
    bool known = false;
    if (type_word == "auto") {
      // Derive the type from the file system that holds the folder.
      std::string mounts;
      drive.type = DRIVE_FIXED;
      if (ReadWholeFile("/proc/self/mountinfo", &mounts)) {
        std::size_t best = 0;
        for (const Mount& m : ParseMountInfo(mounts)) {
          const std::string& point = m.point;
          bool covers = point == "/" || folder == point ||
                        (folder.size() > point.size() && folder.compare(0, point.size(), point) == 0 &&
                         folder[point.size()] == '/');
          if (covers && point.size() >= best) {
            best = point.size();
            UINT t = TypeFromFsType(m.fs);
            drive.type = t == DRIVE_NO_ROOT_DIR ? DRIVE_UNKNOWN : t;
          }
        }
      }
      known = true;
    } else {
      drive.type = TypeFromWord(type_word, &known);
    }
    if (!known) {
      errors->push_back(where + "unknown drive type '" + type_word + "'");
      continue;
    }
    // Windows trims blanks at the end of a path too; a folder that isn't
    // there makes a drive without a root, as Windows reports one. Both are
    // said, since the line was probably meant otherwise.
    if (trailing_blanks)
      errors->push_back(where + "blanks after the folder " + folder + " are ignored");
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
      errors->push_back(where + "folder " + folder + " does not exist; drive " + letter_field +
                        " has no root");
      drive.type = DRIVE_NO_ROOT_DIR;
    } else if (!S_ISDIR(st.st_mode)) {
      errors->push_back(where + folder + " is not a folder; drive " + letter_field + " has no root");
      drive.type = DRIVE_NO_ROOT_DIR;
    }
    seen[letter - 'A'] = true;
    drives.push_back(drive);
  }
  return drives;
}

std::vector<Drive> DrivesFromMountInfo(const std::string& text) {
  std::vector<Mount> mounts = ParseMountInfo(text);
  std::vector<Drive> drives;
  drives.push_back({'C', DRIVE_FIXED, "/"});
  std::set<std::string> lettered;
  for (const Mount& m : mounts)
    if (m.point == "/") lettered.insert(m.device);
  char next = 'D';
  for (const Mount& m : mounts) {
    if (next > 'Z') break;
    if (m.point == "/") continue;
    UINT type = TypeFromFsType(m.fs);
    if (type == DRIVE_NO_ROOT_DIR) continue;
    if (lettered.count(m.device)) continue;  // a second mount of a lettered file system
    if (!IsDir(m.point)) continue;           // a mount of a single file
    lettered.insert(m.device);
    drives.push_back({next++, type, m.point});
  }
  return drives;
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

namespace {

// Characters Windows forbids in a file name, which a Linux name may hold.
bool IsForbiddenInName(char32_t c) {
  return (c >= 0x01 && c <= 0x1F) || c == '"' || c == '*' || c == ':' || c == '<' || c == '>' ||
         c == '?' || c == '\\' || c == '|';
}

// The UTF-8 sequence at b[i] (length bytes in all), or false when it is not
// valid UTF-8: *value is the code point and *size its length in bytes.
bool DecodeSequence(const unsigned char* b, std::size_t length, std::size_t i, char32_t* value,
                    std::size_t* size) {
  unsigned char c = b[i];
  if (c < 0x80) {
    *value = c;
    *size = 1;
    return true;
  }
  int extra = 0;
  char32_t v = 0, minimum = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    extra = 1, v = c & 0x1F, minimum = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    extra = 2, v = c & 0x0F, minimum = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    extra = 3, v = c & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (i + extra >= length) return false;
  for (int k = 1; k <= extra; ++k) {
    if ((b[i + k] & 0xC0) != 0x80) return false;
    v = (v << 6) | (b[i + k] & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if (v < minimum || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
  *value = v;
  *size = static_cast<std::size_t>(extra) + 1;
  return true;
}

std::wstring Decode(const char* bytes, std::size_t length, bool map_forbidden) {
  std::wstring out;
  out.reserve(length);
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  std::size_t i = 0;
  while (i < length) {
    char32_t value = 0;
    std::size_t size = 0;
    bool ok = DecodeSequence(b, length, i, &value, &size);
    // A name that already holds one of the stand-ins is escaped byte by byte,
    // so the stand-in and the character it stands for stay distinct.
    if (ok && map_forbidden && value >= kForbiddenBase && value < kForbiddenBase + 0x80 &&
        IsForbiddenInName(value - kForbiddenBase)) {
      ok = false;
    }
    if (!ok) {
      for (std::size_t k = 0; k < (size == 0 ? 1 : size); ++k)
        out.push_back(static_cast<wchar_t>(0xDC00 + b[i + k]));
      i += size == 0 ? 1 : size;
      continue;
    }
    if (map_forbidden && IsForbiddenInName(value)) value += kForbiddenBase;
    out.push_back(static_cast<wchar_t>(value));
    i += size;
  }
  return out;
}

std::string Encode(const wchar_t* text, std::size_t length, bool map_forbidden) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    char32_t c = static_cast<char32_t>(text[i]);
    if (c >= 0xDC80 && c <= 0xDCFF) {
      out.push_back(static_cast<char>(c - 0xDC00));
    } else if (map_forbidden && c >= kForbiddenBase && c < kForbiddenBase + 0x80 &&
               IsForbiddenInName(c - kForbiddenBase)) {
      out.push_back(static_cast<char>(c - kForbiddenBase));
    } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      AppendUtf8(0xFFFD, &out);
    } else {
      AppendUtf8(c, &out);
    }
  }
  return out;
}

}  // namespace

std::wstring DecodeUtf8(const char* bytes, std::size_t length) {
  return Decode(bytes, length, false);
}

std::string EncodeUtf8(const wchar_t* text, std::size_t length) {
  return Encode(text, length, false);
}

std::wstring DecodeName(const char* bytes, std::size_t length) {
  return Decode(bytes, length, true);
}

std::string EncodeName(const wchar_t* text, std::size_t length) {
  return Encode(text, length, true);
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
