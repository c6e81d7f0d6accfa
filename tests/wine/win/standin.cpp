// standin: the tests' replacement for the system directory's ping.exe and shutdown.exe, so that
// the uninstaller's delayed commands run for real without sending a packet or restarting
// anything. The same program is copied under both names and behaves after the name it runs as.
//
// Every start appends "<name> TAB start TAB <tick ms> TAB <arguments> TAB <whole command line> TAB
// <current directory>" to C:\ombrix-standins.log, and "<name> TAB end TAB <tick ms> TAB
// <arguments>" before it exits, each line in one write.
//
// As ping.exe it answers as ping does for an address that never replies: a header line, then one
// "Request timed out." line per request (-n, default 4), each after waiting the -w time (default
// 4000 ms); exit code 1. As shutdown.exe it only records its arguments; exit code 0.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>

#include "write_utf8.h"

namespace {

wchar_t const LogPath[] = L"C:\\ombrix-standins.log";

void Record(std::wstring const& line) {
  HANDLE const file = CreateFileW(LogPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  WriteUtf8(file, line + L"\n");
  CloseHandle(file);
}

void Print(std::wstring const& line) { WriteUtf8(GetStdHandle(STD_OUTPUT_HANDLE), line + L"\r\n"); }

// The command line after the program's own name, as the program was started.
std::wstring Arguments() {
  wchar_t const* line = GetCommandLineW();
  if (*line == L'"') {
    ++line;
    while (*line && *line != L'"') ++line;
    if (*line) ++line;
  } else {
    while (*line && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  // Blanks at the end separate no further argument (cmd passes the blank before a "&" on).
  std::wstring arguments = line;
  while (!arguments.empty() && (arguments.back() == L' ' || arguments.back() == L'\t')) arguments.pop_back();
  return arguments;
}

std::wstring OwnName() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name = path;
  size_t const slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name = name.substr(slash + 1);
  for (wchar_t& c : name) c = wchar_t(towlower(c));
  size_t const dot = name.rfind(L'.');
  return dot == std::wstring::npos ? name : name.substr(0, dot);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring const name = OwnName();
  wchar_t directory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, directory);
  Record(name + L"\tstart\t" + std::to_wstring(GetTickCount64()) + L"\t" + Arguments() + L"\t" + GetCommandLineW() +
         L"\t" + directory);
  int code = 0;
  if (name == L"ping") {
    DWORD waitMs = 4000;
    int count = 4;
    wchar_t const* target = L"";
    for (int i = 1; i < argc; ++i) {
      if ((!wcscmp(argv[i], L"-w") || !wcscmp(argv[i], L"/w")) && i + 1 < argc) {
        waitMs = DWORD(_wtoi(argv[++i]));
      } else if ((!wcscmp(argv[i], L"-n") || !wcscmp(argv[i], L"/n")) && i + 1 < argc) {
        count = _wtoi(argv[++i]);
      } else {
        target = argv[i];
      }
    }
    Print(std::wstring(L"Pinging ") + target + L" with 32 bytes of data:");
    for (int i = 0; i < count; ++i) {
      Sleep(waitMs);
      Print(L"Request timed out.");
    }
    code = 1;
  }
  Record(name + L"\tend\t" + std::to_wstring(GetTickCount64()) + L"\t" + Arguments());
  return code;
}
