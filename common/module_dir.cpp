#include "common/module_dir.h"

#include "os/os.h"

bool GetModuleDirectory(char16_t (&path)[ModuleDirectoryCapacity]) {
  path[0] = 0;
  char16_t module[ModuleDirectoryCapacity] = {};
  std::uint32_t length = os::GetModuleFileNameW(os::GetModuleHandleW(nullptr), module, ModuleDirectoryCapacity);
  // A result that fills the buffer was cut short: a directory taken from it would be wrong.
  if (length == 0 || length >= ModuleDirectoryCapacity) return false;

  // Keep the drive and the directory: everything up to the last path separator.
  std::uint32_t end = 0;
  for (std::uint32_t i = 0; i < length; ++i) {
    if (module[i] == u'\\' || module[i] == u'/') end = i + 1;
  }
  if (end == 0 && length >= 2 && module[1] == u':') end = 2;  // "C:name"
  for (std::uint32_t i = 0; i < end; ++i) path[i] = module[i];
  path[end] = 0;
  if (end > 0 && path[end - 1] == u'\\') path[end - 1] = 0;
  return true;
}
