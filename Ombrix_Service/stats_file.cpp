#include "Ombrix_Service/service.h"
#include "common/debug_log.h"
#include "common/module_dir.h"

void WriteStatsFile() {
  char16_t directory[ModuleDirectoryCapacity];
  if (!GetModuleDirectory(directory)) return;
  char16_t path[ModuleDirectoryCapacity + 16];
  FormatWide(path, ModuleDirectoryCapacity + 16, u"%s\\Ombrix.ini", directory);
  // No sharing: a reader holding the file makes this fail, and the next cycle writes again.
  os::Handle file = os::CreateFileW(path, os::GenericWrite, 0, os::CreateAlways, os::FileAttributeNormal);
  if (file == os::InvalidHandleValue) return;
  std::uint32_t written = 0;
  os::WriteFile(file, &Service.Published, sizeof(Service.Published), &written);
  os::CloseHandle(file);
}
