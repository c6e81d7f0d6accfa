// Ombrix_Setup: the elevated install and uninstall wizard.
//
// Start-up: restrict the DLL search, initialise the common controls, refuse a second instance,
// take the mode from the command line, refuse a 64-bit system when installing, initialise the
// installer's state and run the wizard. Exit code 0 when it stops before the wizard, 1 after.
#include <windows.h>

#include "resource.h"
#include "setup.h"
#include "wizard_logic.h"
#include "wizard_window.h"

namespace {

wchar_t const SetupMutexName[] = L"Tavrix - Ombrix Setup";
DWORD const SearchSystem32Only = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
static_assert(SearchSystem32Only == LOAD_LIBRARY_SEARCH_SYSTEM32, "LOAD_LIBRARY_SEARCH_SYSTEM32");

// A setup is often started from a downloads folder that others can write to: no DLL may come
// from the program's own folder or the current directory. Every DLL the program imports is a
// KnownDLL, which the loader takes from the system; this covers what is loaded later, by the
// program (comctl32) and by the system DLLs themselves. SetDefaultDllDirectories exists from
// Windows 8 on and on Windows 7 with its loader update; without it, at least the current
// directory leaves the search.
void RestrictDllSearch() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  void* entry = kernel ? reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")) : nullptr;
  if (entry && reinterpret_cast<SetDefaultDllDirectoriesFunction>(entry)(SearchSystem32Only)) return;
  SetDllDirectoryW(L"");
}

std::int32_t ModeOfThisProcess() {
  const char* arguments = CommandArguments(GetCommandLineA());
  wchar_t wide[CommandLineCapacity];
  int length = MultiByteToWideChar(CP_ACP, 0, arguments, ConvertedArgumentBytes(arguments), wide,
                                   CommandLineCapacity - 1);
  wide[length > 0 ? length : 0] = 0;
  return ModeFromCommandLine(reinterpret_cast<char16_t const*>(wide));
}

void ShowRefusal(HINSTANCE instance) {
  wchar_t text[1024];
  wchar_t caption[256];
  if (LoadStringW(instance, IDS_REFUSE_64BIT, text, ARRAYSIZE(text)) == 0) text[0] = 0;
  if (LoadStringW(instance, IDS_INSTALL_CAPTION, caption, ARRAYSIZE(caption)) == 0) caption[0] = 0;
  MessageBoxW(nullptr, text, caption, MB_OK);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  RestrictDllSearch();
  if (!LoadCommonControls()) return 0;
  InitCommonControlsNow();

  // Kept until the process ends.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, SetupMutexName);
  if (!mutex || GetLastError() == ERROR_ALREADY_EXISTS) return 0;

  std::int32_t mode = ModeOfThisProcess();
  if (mode != ModeUninstall && !IsSystem32Bit()) {
    ShowRefusal(instance);
    return 0;
  }
  InitInstallerState(mode);
  // Held from now on; a failure stops the install sequence, which then reports it.
  if (mode == ModeInstall) HoldProgramFile();
  RunWizard(instance, mode);
  ReleaseWizardResources();
  return 1;
}
