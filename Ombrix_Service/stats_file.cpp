#include "Ombrix_Service/service.h"
#include "common/debug_log.h"
#include "common/module_dir.h"

void WriteStatsFile() {
  char16_t directory[ModuleDirectoryCapacity];
  if (!GetModuleDirectory(directory)) return;
  char16_t path[ModuleDirectoryCapacity + 16];
  FormatWide(path, ModuleDirectoryCapacity + 16, u"%s\\Ombrix.ini", directory);
  // No sharing: a reader holding the file makes this fail, and the next cycle writes again. The
  // service runs as LocalSystem: it writes only a plain file with this one name, never through a
  // link put at its name (a file link or junction is opened itself, a hard link shows as a second
  // name), so nothing is truncated before that is known.
  os::Handle file = os::CreateFileW(path, os::GenericWrite, 0, os::OpenAlways,
                                    os::FileAttributeNormal | os::FileFlagOpenReparsePoint);
  if (file == os::InvalidHandleValue) return;
  os::ByHandleFileInformation info = {};
  if (os::GetFileInformationByHandle(file, &info) && (info.dwFileAttributes & os::FileAttributeReparsePoint) == 0 &&
      info.nNumberOfLinks == 1) {
    std::uint32_t written = 0;
    if (os::WriteFile(file, &Service.Published, sizeof(Service.Published), &written)) os::SetEndOfFile(file);
  }
  os::CloseHandle(file);
}
