#pragma once

constexpr int ModuleDirectoryCapacity = 1024;

// The directory of the running executable, without a trailing backslash ("C:\Program Files\Ombrix").
// Returns false, with an empty path, when the executable's path cannot be read whole.
bool GetModuleDirectory(char16_t (&path)[ModuleDirectoryCapacity]);
