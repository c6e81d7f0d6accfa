// The uninstall worker: the decompression pass over the eligible drives C: to Z:, one volume at a
// time, and on a cancel the compression service put back as it was before the uninstall began.
#include "common/debug_log.h"
#include "common/decompress.h"
#include "common/drive.h"
#include "common/volume.h"
#include "Ombrix_Setup/setup.h"
#include "Ombrix_Setup/setup_actions.h"

namespace {

// The same tests as the service's cycle, in this order: the drive name does not report the
// compressed attribute (an absent drive does), the file system is NTFS, the drive is fixed.
bool DriveToDecompress(const char16_t* name) {
  if (HasCompressedAttribute(name)) return false;
  if (!IsNtfs(name)) return false;
  return os::GetDriveTypeW(name) == os::DriveFixed;
}

}  // namespace

std::uint32_t DecompressWorker(void* parameter) {
  WorkerRecord& record = *static_cast<WorkerRecord*>(parameter);
  Installer.ntfsType = QueryNtfsType();

  for (char16_t letter = u'C'; letter <= u'Z'; ++letter) {
    char16_t name[3];
    FormatWide(name, 3, u"%c:", letter);
    if (DriveToDecompress(name)) DecompressVolume(name, Installer.ntfsType, record);

    if (record.stopRequest.load(std::memory_order_acquire) == 1) {
      // A cancelled uninstallation ends with the service registered and running again ("%s\%s.exe"
      // in the install directory; never a path without one).
      char16_t path[PathCapacity];
      if (FormServicePath(path)) CreateServiceEntry(ServiceName, path, true);
      break;
    }
  }

  record.done.store(1, std::memory_order_release);
  return 1;
}
