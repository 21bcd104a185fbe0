// Drive letters from the machine's drive table.
#include "platform/posix/machine.h"
#include "platform/posix/win32_posix.h"

DWORD GetLogicalDrives() {
  DWORD mask = 0;
  for (const vur::posix::Drive& drive : vur::posix::Drives())
    mask |= DWORD{1} << (drive.letter - 'A');
  return mask;
}

UINT GetDriveTypeW(LPCWSTR root_path) {
  if (root_path == nullptr || root_path[0] == 0 || root_path[1] != L':' ||
      (root_path[2] != 0 && (root_path[2] != L'\\' || root_path[3] != 0)))
    return DRIVE_NO_ROOT_DIR;
  const vur::posix::Drive* drive = vur::posix::FindDrive(root_path[0]);
  return drive == nullptr ? DRIVE_NO_ROOT_DIR : drive->type;
}
