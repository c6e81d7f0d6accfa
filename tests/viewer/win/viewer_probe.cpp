// viewer_probe: the Windows side of the viewer's Wine tests. It drives a running Ombrix_Viewer
// the way the installer and the shell do (finding its panel by class and title, tray callbacks,
// ViewerExitMessage) and reads back what the panel shows. Each command prints what it saw and
// exits with 0 on success, 1 on a failed check, 2 on a usage error.
//
//   write-stats PATH VALID RATE SAVED UPDATED [SLOT...]   SLOT = LETTER:ELIGIBLE:NTFS:TYPE:SAVED:RATE
//   write-bytes PATH COUNT VALUE                          COUNT bytes of VALUE (short or long files)
//   hold PATH MS                                          keep PATH open without sharing for MS ms
//   wait-panel                                            until the panel exists (10 s)
//   count N                                               exactly N panels exist
//   expect ID TEXT                                        control ID shows TEXT (within 10 s)
//   expect-title TEXT                                     the panel's own text
//   tray-left | tray-right                                the tray icon's callback for a press
//   wait-visible 0|1                                      until the panel is hidden / shown (10 s)
//   activate-other                                        bring a window of the probe to the front
//   rect ID                                               screen rectangle of control ID (0: panel)
//   client-size                                           the panel's window size in pixels
//   expect-tip TEXT                                       a shown tooltip of the viewer reads TEXT
//                                                         ("\n" in TEXT stands for a line break)
//   window-of-class CLASS                                 a visible top-level window of CLASS exists
//   tray-remove                                           delete the viewer's tray icon, as a shell
//                                                         that restarts loses every icon
//   taskbar-created                                       send the shell's "TaskbarCreated" message
//   exit                                                  send ViewerExitMessage, expect 0 back
//   wait-gone                                             until no panel exists (10 s)
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

UINT const ViewerExitMessage = WM_APP + 36;
UINT const TrayCallbackMessage = WM_APP + 100;
DWORD const PatienceMs = 10000;

HWND FindPanel() { return FindWindowW(L"#32770", L"Ombrix_Viewer"); }

struct PanelCount {
  int count;
};

BOOL CALLBACK CountPanel(HWND window, LPARAM context) {
  wchar_t className[64];
  wchar_t title[64];
  GetClassNameW(window, className, 64);
  GetWindowTextW(window, title, 64);
  if (wcscmp(className, L"#32770") == 0 && wcscmp(title, L"Ombrix_Viewer") == 0)
    ++reinterpret_cast<PanelCount*>(context)->count;
  return TRUE;
}

// Polls `test` every 100 ms until it holds or the patience runs out.
template <typename Test>
bool WaitFor(Test test) {
  for (DWORD waited = 0; waited <= PatienceMs; waited += 100) {
    if (test()) return true;
    Sleep(100);
  }
  return false;
}

HWND RequirePanel() {
  HWND panel = nullptr;
  WaitFor([&] { return (panel = FindPanel()) != nullptr; });
  if (!panel) {
    std::printf("no panel of class #32770 titled Ombrix_Viewer\n");
    std::exit(1);
  }
  return panel;
}

void PrintWide(wchar_t const* text) {
  char utf8[4096];
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
  std::printf("%s", utf8);
}

void Put(std::uint8_t* record, int offset, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) record[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The record is laid out here from its documented offsets, independently of the program's header.
int WriteStats(int argc, wchar_t** argv) {
  if (argc < 7) return 2;
  std::uint8_t record[597] = {};
  Put(record, 0, wcstoull(argv[3], nullptr, 10), 1);
  Put(record, 17, wcstoull(argv[4], nullptr, 10), 4);
  Put(record, 9, static_cast<std::uint64_t>(_wcstoi64(argv[5], nullptr, 10)), 8);
  Put(record, 1, wcstoull(argv[6], nullptr, 10), 8);
  for (int i = 7; i < argc; ++i) {
    wchar_t letter = 0;
    unsigned eligible = 0, ntfs = 0, type = 0, rate = 0;
    long long saved = 0;
    if (swscanf(argv[i], L"%lc:%u:%u:%u:%lld:%u", &letter, &eligible, &ntfs, &type, &saved, &rate) != 6) return 2;
    int slot = letter - L'C';
    if (slot < 0 || slot >= 32) return 2;
    Put(record, 21 + slot, eligible, 1);
    Put(record, 53 + slot, ntfs, 1);
    Put(record, 85 + 4 * slot, type, 4);
    Put(record, 213 + 8 * slot, static_cast<std::uint64_t>(saved), 8);
    Put(record, 469 + 4 * slot, rate, 4);
  }
  HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("cannot create the statistics file (%lu)\n", GetLastError());
    return 1;
  }
  DWORD written = 0;
  BOOL ok = WriteFile(file, record, sizeof(record), &written, nullptr);
  CloseHandle(file);
  return ok && written == sizeof(record) ? 0 : 1;
}

int WriteBytes(wchar_t const* path, DWORD count, BYTE value) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  static std::uint8_t bytes[4096];
  FillMemory(bytes, sizeof(bytes), value);
  DWORD written = 0;
  BOOL ok = count <= sizeof(bytes) && WriteFile(file, bytes, count, &written, nullptr);
  CloseHandle(file);
  return ok ? 0 : 1;
}

int Hold(wchar_t const* path, DWORD ms) {
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::printf("holding\n");
  std::fflush(stdout);
  Sleep(ms);
  CloseHandle(file);
  return 0;
}

int Expect(HWND panel, int control, wchar_t const* expected) {
  wchar_t text[1024] = {};
  bool answered = true;
  bool same = WaitFor([&] {
    // WM_GETTEXT crosses the process boundary; GetDlgItemTextW would too. A viewer that does not
    // answer within a second counts as a failed check, not as a probe that hangs.
    HWND item = control == 0 ? panel : GetDlgItem(panel, control);
    DWORD_PTR copied = 0;
    answered = SendMessageTimeoutW(item, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 1000,
                                   &copied) != 0;
    return answered && wcscmp(text, expected) == 0;
  });
  std::printf("control %d: \"", control);
  PrintWide(text);
  std::printf("\"%s\n", same ? "" : answered ? " (expected something else)" : " (the viewer does not answer)");
  return same ? 0 : 1;
}

struct TipSearch {
  wchar_t text[1024];
  bool found;
};

BOOL CALLBACK FindShownTip(HWND window, LPARAM context) {
  TipSearch* search = reinterpret_cast<TipSearch*>(context);
  wchar_t className[64];
  GetClassNameW(window, className, 64);
  if (_wcsicmp(className, L"tooltips_class32") != 0 || !IsWindowVisible(window)) return TRUE;
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(search->text), SMTO_NORMAL, 1000, &copied);
  search->found = true;
  return FALSE;
}

// The text of the viewer's tooltip that is on screen (the pointer rests on a value).
int ExpectTip(HWND panel, wchar_t const* pattern) {
  wchar_t expected[1024];
  int n = 0;
  for (int i = 0; pattern[i] && n < 1023; ++i) {
    if (pattern[i] == L'\\' && pattern[i + 1] == L'n') {
      expected[n++] = L'\n';
      ++i;
    } else {
      expected[n++] = pattern[i];
    }
  }
  expected[n] = 0;
  DWORD thread = GetWindowThreadProcessId(panel, nullptr);
  TipSearch seen = {};  // the last tooltip seen on screen (it hides again after a while)
  bool same = WaitFor([&] {
    TipSearch search = {};
    EnumThreadWindows(thread, FindShownTip, reinterpret_cast<LPARAM>(&search));
    if (search.found) seen = search;
    return search.found && wcscmp(search.text, expected) == 0;
  });
  std::printf("tooltip %s: \"", seen.found ? "shown" : "not shown");
  PrintWide(seen.text);
  std::printf("\"%s\n", same ? "" : " (expected something else)");
  return same ? 0 : 1;
}

LRESULT CALLBACK ProbeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

// A plain window of the probe takes the activation away from the panel, as a click elsewhere does.
int ActivateOther() {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = ProbeWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"OmbrixViewerProbe";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, L"OmbrixViewerProbe", L"probe", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  SetForegroundWindow(window);
  DWORD start = GetTickCount();
  MSG message;
  while (GetTickCount() - start < 1500) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(20);
  }
  bool foreground = GetForegroundWindow() == window;
  DestroyWindow(window);
  std::printf("probe window %s the foreground\n", foreground ? "was" : "was not");
  return foreground ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::printf("usage: no command\n");
    return 2;
  }
  wchar_t const* command = argv[1];

  if (wcscmp(command, L"write-stats") == 0) return WriteStats(argc, argv);
  if (wcscmp(command, L"write-bytes") == 0 && argc == 5)
    return WriteBytes(argv[2], wcstoul(argv[3], nullptr, 10), static_cast<BYTE>(wcstoul(argv[4], nullptr, 10)));
  if (wcscmp(command, L"hold") == 0 && argc == 4) return Hold(argv[2], wcstoul(argv[3], nullptr, 10));
  if (wcscmp(command, L"activate-other") == 0) return ActivateOther();
  if (wcscmp(command, L"wait-gone") == 0) {
    bool gone = WaitFor([] { return FindPanel() == nullptr; });
    std::printf("panel %s\n", gone ? "gone" : "still there");
    return gone ? 0 : 1;
  }
  if (wcscmp(command, L"window-of-class") == 0 && argc == 3) {
    HWND window = nullptr;
    bool found = WaitFor([&] { return (window = FindWindowW(argv[2], nullptr)) != nullptr && IsWindowVisible(window); });
    std::printf("window of class ");
    PrintWide(argv[2]);
    std::printf(found ? " shown\n" : " not shown\n");
    return found ? 0 : 1;
  }
  if (wcscmp(command, L"count") == 0 && argc == 3) {
    PanelCount counted = {0};
    EnumWindows(CountPanel, reinterpret_cast<LPARAM>(&counted));
    std::printf("%d panel(s)\n", counted.count);
    return counted.count == _wtoi(argv[2]) ? 0 : 1;
  }

  HWND panel = RequirePanel();
  if (wcscmp(command, L"wait-panel") == 0) {
    std::printf("panel found\n");
    return 0;
  }
  if (wcscmp(command, L"expect") == 0 && argc == 4) return Expect(panel, _wtoi(argv[2]), argv[3]);
  if (wcscmp(command, L"expect-title") == 0 && argc == 3) return Expect(panel, 0, argv[2]);
  if (wcscmp(command, L"expect-tip") == 0 && argc == 3) return ExpectTip(panel, argv[2]);
  if (wcscmp(command, L"tray-left") == 0 || wcscmp(command, L"tray-right") == 0) {
    LPARAM press = wcscmp(command, L"tray-left") == 0 ? WM_LBUTTONDOWN : WM_RBUTTONDOWN;
    BOOL posted = PostMessageW(panel, TrayCallbackMessage, 0, press);
    std::printf("tray callback %s\n", posted ? "posted" : "not posted");
    return posted ? 0 : 1;
  }
  if (wcscmp(command, L"wait-visible") == 0 && argc == 3) {
    bool wanted = _wtoi(argv[2]) != 0;
    bool reached = WaitFor([&] { return (IsWindowVisible(panel) != FALSE) == wanted; });
    std::printf("panel %s\n", IsWindowVisible(panel) ? "visible" : "hidden");
    return reached ? 0 : 1;
  }
  if (wcscmp(command, L"rect") == 0 && argc == 3) {
    int control = _wtoi(argv[2]);
    RECT rect = {};
    GetWindowRect(control == 0 ? panel : GetDlgItem(panel, control), &rect);
    std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
    return 0;
  }
  if (wcscmp(command, L"tray-remove") == 0) {
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof(icon);
    icon.hWnd = panel;
    icon.uID = 0;
    BOOL removed = Shell_NotifyIconW(NIM_DELETE, &icon);
    std::printf("tray icon %s\n", removed ? "removed" : "not removed");
    return removed ? 0 : 1;
  }
  if (wcscmp(command, L"taskbar-created") == 0) {
    DWORD_PTR result = 1;
    LRESULT sent = SendMessageTimeoutW(panel, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_NORMAL,
                                       PatienceMs, &result);
    std::printf("TaskbarCreated %s\n", sent != 0 ? "answered" : "not answered");
    return sent != 0 ? 0 : 1;
  }
  if (wcscmp(command, L"exit") == 0) {
    DWORD_PTR result = 1;
    LRESULT sent = SendMessageTimeoutW(panel, ViewerExitMessage, 0, 0, SMTO_NORMAL, PatienceMs, &result);
    std::printf("ViewerExitMessage returned %lu\n", static_cast<unsigned long>(result));
    return sent != 0 && result == 0 ? 0 : 1;
  }
  std::printf("usage: unknown command or wrong number of arguments (%d)\n", argc);
  return 2;
}
