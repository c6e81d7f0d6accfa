// uninstall_launcher: starts the uninstaller the way the system's list of programs does: it reads
// UninstallString from HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Ombrix and passes
// it, unchanged, as the command line of CreateProcessW (no application name, no shell, inherited
// current directory). Starting it through "wine start" or cmd would re-quote the line.
//
// Usage: uninstall_launcher.exe [--command LINE]
//   prints "command <line>", "pid <id>", then waits for the process and prints "exit <code>".
//   --command starts LINE instead of the registered one (the same CreateProcessW call).
// Exits with 0 once the started process has ended, 1 when there is nothing to start.
#include <windows.h>

#include <cstdio>
#include <string>

#include "write_utf8.h"

namespace {

void Say(std::wstring const& line) { WriteUtf8(GetStdHandle(STD_OUTPUT_HANDLE), line + L"\n"); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring line;
  if (argc >= 3 && std::wstring(argv[1]) == L"--command") {
    line = argv[2];
  } else {
    wchar_t value[2048] = {};
    DWORD size = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ombrix", 0, KEY_READ,
                      &key) != ERROR_SUCCESS) {
      Say(L"no uninstall entry");
      return 1;
    }
    LONG const status = RegQueryValueExW(key, L"UninstallString", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
      Say(L"no UninstallString");
      return 1;
    }
    line = value;
  }
  Say(L"command " + line);

  std::wstring buffer = line;   // CreateProcessW may write into its command line
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    Say(L"CreateProcessW failed, error " + std::to_wstring(GetLastError()));
    return 1;
  }
  Say(L"pid " + std::to_wstring(process.dwProcessId));
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  Say(L"exit " + std::to_wstring(code));
  return 0;
}
