// Where the drive table comes from: the lines of a drives file, or, without
// one, the mount table, /proc/self/mountinfo.
#include "platform/posix/machine.h"

#include <sys/stat.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace vur::posix {
namespace {

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

}  // namespace

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

}  // namespace vur::posix
