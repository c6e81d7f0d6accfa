#include "common/drive.h"

#include "common/debug_log.h"
#include "common/wide_string.h"
#include "os/os.h"

bool IsFixedDrive(const char16_t* name) {
  return os::GetDriveTypeW(name) == os::DriveFixed;
}

int IsNtfs(const char16_t* name) {
  char16_t root[16];
  FormatWide(root, 16, u"%s\\", name);
  char16_t fileSystem[260] = {};
  if (!os::GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 260)) return 0;
  return WideEqual(fileSystem, u"NTFS") ? 1 : 0;
}

bool HasCompressedAttribute(const char16_t* name) {
  // The root, "C:\": the bare "C:" names the process's current directory on that drive, which
  // says nothing about the drive.
  char16_t root[16];
  FormatWide(root, 16, u"%s\\", name);
  return (os::GetFileAttributesW(root) & os::FileAttributeCompressed) != 0;
}
