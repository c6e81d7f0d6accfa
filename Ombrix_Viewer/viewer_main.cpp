// Ombrix_Viewer: the tray program that shows what the compression service has gained.
//
// One GUI thread: a single-instance check, GDI+ around the message loop, a modeless panel that
// starts hidden, a tray icon that shows it above the tray, and one refresh timer. What the panel
// shows and when it refreshes is decided by the portable code in viewer_panel.cpp; the window
// procedure below only applies those results to the windows.
#include <windows.h>
#include <commctrl.h>
#include <objidl.h>
#include <shellapi.h>
#include <gdiplus.h>

#include "common/module_dir.h"
#include "common/stats_record.h"
#include "resource.h"
#include "viewer_panel.h"

namespace {

UINT const ViewerExitMessage = WM_APP + 36;
UINT const TrayCallbackMessage = WM_APP + 100;
UINT const TrayIconId = 0;
UINT const LinkGetIdealSize = 0x701;  // LM_GETIDEALSIZE (the MinGW headers name it LM_GETIDEALHEIGHT only)
static_assert(LinkGetIdealSize == LM_GETIDEALHEIGHT, "LM_GETIDEALSIZE");
COLORREF const StripColor = RGB(241, 245, 251);
wchar_t const ViewerMutexName[] = L"Tavrix - Ombrix_Viewer";

#ifdef _WIN64
static_assert(sizeof(NOTIFYICONDATAW) == 976, "full tray icon record on x64");
#else
static_assert(sizeof(NOTIFYICONDATAW) == 956, "full tray icon record on x86");
#endif

struct TrayMenuItem {
  UINT command;
  UINT stringId;
};

TrayMenuItem const TrayMenuItems[] = {
    {IDM_EXIT, IDS_EXIT},
    {0, 0},
};

struct ViewerState {
  HWND panel;
  HWND drivesTip;
  HWND rateTip;
  HWND spaceTip;
  NOTIFYICONDATAW trayIcon;
  StatsRecord stats;
};

ViewerState Viewer;
UINT taskbarCreatedMessage;
HBRUSH linkBrush;
PanelMachine Panel;  // KeepOpen and the refresh period; not cleared by InitPanel
HINSTANCE Instance;

// Every text of the panel comes from the string table in the user's language.
void LoadText(UINT id, wchar_t* text, int capacity) {
  if (LoadStringW(Instance, id, text, capacity) == 0) text[0] = 0;
}

wchar_t const* Wide(char16_t const* text) { return reinterpret_cast<wchar_t const*>(text); }

PanelRect ToPanelRect(RECT const& r) { return PanelRect{r.left, r.top, r.right, r.bottom}; }

// ---------------------------------------------------------------------------------------------
// Value tooltips.

HWND CreateValueTip(HWND control, wchar_t const* text) {
  INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_WIN95_CLASSES};
  InitCommonControlsEx(&classes);
  HWND tip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, control, nullptr, Instance,
                             nullptr);
  SetWindowPos(tip, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  TTTOOLINFOW tool = {};
  tool.cbSize = sizeof(tool);
  tool.uFlags = TTF_SUBCLASS;
  tool.hwnd = control;
  tool.uId = 0;
  GetClientRect(control, &tool.rect);
  tool.hinst = Instance;
  tool.lpszText = const_cast<wchar_t*>(text);
  SendMessageW(tip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  SendMessageW(tip, TTM_SETMAXTIPWIDTH, 0, 500);
  return tip;
}

void SetValueTipText(HWND tip, HWND control, wchar_t const* text) {
  TTTOOLINFOW tool = {};
  tool.cbSize = sizeof(tool);
  tool.hwnd = control;
  tool.uId = 0;
  SendMessageW(tip, TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&tool));
  tool.lpszText = const_cast<wchar_t*>(text);
  SendMessageW(tip, TTM_SETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&tool));
}

// ---------------------------------------------------------------------------------------------
// Refresh.

// What FileTimeToLocalFileTime adds to a UTC time now: the current bias, daylight saving included.
std::int64_t CurrentLocalBias() {
  FILETIME now, local;
  GetSystemTimeAsFileTime(&now);
  if (!FileTimeToLocalFileTime(&now, &local)) return 0;
  ULARGE_INTEGER utcValue = {{now.dwLowDateTime, now.dwHighDateTime}};
  ULARGE_INTEGER localValue = {{local.dwLowDateTime, local.dwHighDateTime}};
  return static_cast<std::int64_t>(localValue.QuadPart - utcValue.QuadPart);
}

void RefreshStatus() {
  ReadStatsFile(&Viewer.stats);

  wchar_t calculating[TextCapacity];
  LoadText(IDS_CALCULATING, calculating, TextCapacity);
  static PanelValues values;
  UpdatePanelValues(Viewer.stats, reinterpret_cast<char16_t*>(calculating), &values);
  SetDlgItemTextW(Viewer.panel, IDC_DRIVES, Wide(values.drives));
  SetDlgItemTextW(Viewer.panel, IDC_RATE, Wide(values.rate));
  SetDlgItemTextW(Viewer.panel, IDC_SPACE, Wide(values.space));

  wchar_t notSupported[TextCapacity];
  wchar_t lastUpdated[TextCapacity];
  wchar_t summary[TextCapacity];
  LoadText(IDS_NOT_SUPPORTED, notSupported, TextCapacity);
  LoadText(IDS_LAST_UPDATED, lastUpdated, TextCapacity);
  UpdateSummaryTips(Viewer.stats, reinterpret_cast<char16_t*>(notSupported), reinterpret_cast<char16_t*>(lastUpdated),
                    CurrentLocalBias(), reinterpret_cast<char16_t*>(summary), TextCapacity);
  SetValueTipText(Viewer.spaceTip, GetDlgItem(Viewer.panel, IDC_SPACE), summary);
  SetValueTipText(Viewer.rateTip, GetDlgItem(Viewer.panel, IDC_RATE), summary);
  SetValueTipText(Viewer.drivesTip, GetDlgItem(Viewer.panel, IDC_DRIVES), summary);
}

// ---------------------------------------------------------------------------------------------
// Tray icon.

void ShowTrayBalloon(DWORD infoFlags, wchar_t const* title, wchar_t const* text) {
  NOTIFYICONDATAW& icon = Viewer.trayIcon;
  icon.dwInfoFlags = infoFlags;
  icon.uFlags = NIF_INFO;
  icon.uTimeout = 1000;
  lstrcpynW(icon.szInfoTitle, title, ARRAYSIZE(icon.szInfoTitle));
  lstrcpynW(icon.szInfo, text, ARRAYSIZE(icon.szInfo));
  Shell_NotifyIconW(NIM_MODIFY, &icon);
}

void AddTrayIcon(bool withBalloon) {
  static HICON trayImage = static_cast<HICON>(
      LoadImageW(Instance, MAKEINTRESOURCEW(IDI_TRAY), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
  wchar_t displayName[TextCapacity];
  LoadText(IDS_DISPLAY_NAME, displayName, TextCapacity);

  NOTIFYICONDATAW& icon = Viewer.trayIcon;
  ZeroMemory(&icon, sizeof(icon));
  icon.cbSize = sizeof(icon);
  icon.hWnd = Viewer.panel;
  icon.uID = TrayIconId;
  icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  icon.uCallbackMessage = TrayCallbackMessage;
  icon.hIcon = trayImage;
  lstrcpynW(icon.szTip, displayName, ARRAYSIZE(icon.szTip));
  icon.uVersion = 4;  // kept in the record only: the classic callback form stays in effect
  Shell_NotifyIconW(NIM_ADD, &icon);

  if (withBalloon) {
    wchar_t calculating[TextCapacity];
    LoadText(IDS_CALCULATING, calculating, TextCapacity);
    ShowTrayBalloon(NIIF_INFO, displayName, calculating);
  }
}

void ShowTrayMenu() {
  HMENU menu = CreatePopupMenu();
  POINT cursor = {};
  GetCursorPos(&cursor);
  for (TrayMenuItem const* item = TrayMenuItems; item->command != 0; ++item) {
    wchar_t text[TextCapacity];
    LoadText(item->stringId, text, TextCapacity);
    InsertMenuW(menu, static_cast<UINT>(-1), MF_BYPOSITION | MF_STRING, item->command, text);
  }
  // The menu closes by itself on a click elsewhere only when its owner is in the foreground.
  SetForegroundWindow(Viewer.panel);
  TrackPopupMenu(menu, 0, cursor.x, cursor.y, 0, Viewer.panel, nullptr);
  DestroyMenu(menu);
}

// ---------------------------------------------------------------------------------------------
// Panel placement and drawing.

void ShowPanelAtTray() {
  RECT workArea = {};
  RECT window = {};
  POINT cursor = {};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0);
  GetWindowRect(Viewer.panel, &window);
  GetCursorPos(&cursor);
  PanelPoint corner = ShowPanelAtTrayPosition(ToPanelRect(workArea), ToPanelRect(window), PanelPoint{cursor.x, cursor.y});
  MoveWindow(Viewer.panel, corner.x, corner.y, window.right - window.left, window.bottom - window.top, TRUE);
  ShowWindow(Viewer.panel, SW_SHOW);
  // Becoming the foreground window activates the panel; WM_ACTIVATE then refreshes it.
  SetForegroundWindow(Viewer.panel);
  SetWindowPos(Viewer.panel, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void CenterHelpLink(HWND panel, int linkId) {
  HWND link = GetDlgItem(panel, linkId);
  RECT rect = {};
  GetWindowRect(link, &rect);
  MapWindowPoints(nullptr, panel, reinterpret_cast<POINT*>(&rect), 2);
  SIZE ideal = {};
  SendDlgItemMessageW(panel, linkId, LinkGetIdealSize, 1024, reinterpret_cast<LPARAM>(&ideal));
  if (ideal.cx <= 0 || ideal.cy <= 0) return;  // a link that cannot measure itself keeps its place
  int left = CenteredLinkLeft(rect.left, rect.right, ideal.cx);
  MoveWindow(link, left, rect.top, ideal.cx, ideal.cy, TRUE);
}

void PaintStrip(HWND panel) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(panel, &paint);
  RECT window = {};
  RECT strip = {};
  GetWindowRect(panel, &window);
  GetWindowRect(GetDlgItem(panel, IDC_STRIP), &strip);
  PanelRect band = StripRectangle(ToPanelRect(window), ToPanelRect(strip));
  HBRUSH brush = CreateSolidBrush(StripColor);
  HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
  HGDIOBJ oldBrush = SelectObject(dc, brush);
  Rectangle(dc, band.left, band.top, band.right, band.bottom);
  SelectObject(dc, oldBrush);
  SelectObject(dc, oldPen);
  DeleteObject(brush);
  EndPaint(panel, &paint);
}

// A decoded PNG resource with what it is read from. GDI+ may go back to the stream whenever the
// bitmap is drawn, so the stream and its memory live exactly as long as the bitmap.
struct PngImage {
  Gdiplus::GpBitmap* bitmap;
  IStream* stream;
  HGLOBAL memory;
};

void FreePng(PngImage& png) {
  if (png.bitmap) Gdiplus::DllExports::GdipDisposeImage(png.bitmap);
  if (png.stream) png.stream->Release();
  if (png.memory) GlobalFree(png.memory);
  png = PngImage{};
}

PngImage LoadPngResource(HINSTANCE module, int id) {
  PngImage png = {};
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), L"PNG");
  if (!found) return png;
  DWORD size = SizeofResource(module, found);
  HGLOBAL loaded = LoadResource(module, found);
  void const* bytes = loaded ? LockResource(loaded) : nullptr;
  if (!bytes || size == 0) return png;

  png.memory = GlobalAlloc(GMEM_FIXED, size);
  if (!png.memory) return png;
  CopyMemory(GlobalLock(png.memory), bytes, size);
  GlobalUnlock(png.memory);
  if (CreateStreamOnHGlobal(png.memory, FALSE, &png.stream) != S_OK) {
    FreePng(png);
    return png;
  }
  if (Gdiplus::DllExports::GdipCreateBitmapFromStream(png.stream, &png.bitmap) != Gdiplus::Ok) {
    png.bitmap = nullptr;
    FreePng(png);
  }
  return png;
}

void DrawLogo(DRAWITEMSTRUCT const* item) {
  Gdiplus::GpGraphics* graphics = nullptr;
  if (Gdiplus::DllExports::GdipCreateFromHDC(item->hDC, &graphics) != Gdiplus::Ok) return;
  PngImage logo = LoadPngResource(Instance, IDR_LOGO);
  if (logo.bitmap) {
    Gdiplus::DllExports::GdipDrawImageRectI(graphics, logo.bitmap, 0, 0, item->rcItem.right - item->rcItem.left,
                                            item->rcItem.bottom - item->rcItem.top);
  }
  FreePng(logo);
  Gdiplus::DllExports::GdipDeleteGraphics(graphics);
}

// ---------------------------------------------------------------------------------------------
// Panel life.

void HidePanel() {
  SetTimer(Viewer.panel, RefreshTimer, IdleRefreshInterval, nullptr);
  ShowWindow(Viewer.panel, SW_HIDE);
}

void ApplyPanelActions(PanelActions const& actions) {
  if (actions.hide) {
    HidePanel();  // with the idle period
  } else if (actions.timerPeriod != 0) {
    SetTimer(Viewer.panel, RefreshTimer, actions.timerPeriod, nullptr);
  }
  if (actions.refresh) RefreshStatus();
  if (actions.showAtTray) ShowPanelAtTray();
  if (actions.showMenu) ShowTrayMenu();
}

void OpenHelp() {
  char16_t path[TextCapacity];
  if (!ModuleFilePath(u"HELP.chm", path, TextCapacity)) return;
  ShellExecuteW(nullptr, L"open", Wide(path), nullptr, nullptr, SW_SHOWNORMAL);
}

void InitPanel(HWND panel) {
  ZeroMemory(&Viewer, sizeof(Viewer));
  Viewer.panel = panel;

  struct FixedText {
    int control;
    UINT stringId;
  };
  FixedText const texts[] = {{IDC_TITLE, IDS_DISPLAY_NAME},     {IDC_DRIVES_LABEL, IDS_ACTIVE_DRIVE},
                             {IDC_RATE_LABEL, IDS_COMPRESSION_RATE}, {IDC_SPACE_LABEL, IDS_FREE_SPACE},
                             {IDC_HELP_LINK, IDS_HELP_LINK}};
  wchar_t text[TextCapacity];
  LoadText(IDS_VIEWER_TITLE, text, TextCapacity);
  SetWindowTextW(panel, text);
  for (FixedText const& fixed : texts) {
    LoadText(fixed.stringId, text, TextCapacity);
    SetDlgItemTextW(panel, fixed.control, text);
  }

  Viewer.drivesTip = CreateValueTip(GetDlgItem(panel, IDC_DRIVES), L"Init");
  Viewer.rateTip = CreateValueTip(GetDlgItem(panel, IDC_RATE), L"Init");
  Viewer.spaceTip = CreateValueTip(GetDlgItem(panel, IDC_SPACE), L"Init");
  CenterHelpLink(panel, IDC_HELP_LINK);

  PanelActions start = PanelStep(&Panel, PanelEvent::Init);
  if (start.refresh) RefreshStatus();
  AddTrayIcon(true);
  SetTimer(panel, RefreshTimer, start.timerPeriod, nullptr);
}

void QuitViewer() {
  KillTimer(Viewer.panel, RefreshTimer);
  Shell_NotifyIconW(NIM_DELETE, &Viewer.trayIcon);
  DestroyWindow(Viewer.panel);
  Viewer.panel = nullptr;
  PostQuitMessage(0);
}

INT_PTR CALLBACK StatusPanelProc(HWND panel, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitPanel(panel);
      linkBrush = CreateSolidBrush(StripColor);
      taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
      return 0;
    case WM_ACTIVATE:
      ApplyPanelActions(PanelStep(&Panel, ActivationEvent(wParam)));
      return 0;
    case WM_TIMER:
      ApplyPanelActions(PanelStep(&Panel, PanelEvent::TimerTick));
      return 0;
    case WM_PAINT:
      PaintStrip(panel);
      return 0;
    case WM_GETMINMAXINFO: {
      // Minimum and maximum both at the current size: the sizing border cannot resize.
      RECT window = {};
      GetWindowRect(panel, &window);
      if (window.right > window.left && window.bottom > window.top) {
        MINMAXINFO* limits = reinterpret_cast<MINMAXINFO*>(lParam);
        limits->ptMinTrackSize = POINT{window.right - window.left, window.bottom - window.top};
        limits->ptMaxTrackSize = limits->ptMinTrackSize;
      }
      return 0;
    }
    case WM_DRAWITEM:
      if (wParam == IDC_LOGO) DrawLogo(reinterpret_cast<DRAWITEMSTRUCT const*>(lParam));
      return 0;
    case WM_NOTIFY: {
      NMHDR const* header = reinterpret_cast<NMHDR const*>(lParam);
      if (header->code == static_cast<UINT>(NM_CLICK) && header->idFrom == IDC_HELP_LINK) OpenHelp();
      return 0;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDM_EXIT) {
        QuitViewer();
        return 1;
      }
      if (LOWORD(wParam) == IDC_LOGO) PanelStep(&Panel, PanelEvent::LogoClicked);
      // Everything else, IDOK and IDCANCEL from Enter, Esc and Alt+F4 among them, does nothing.
      return 0;
    case WM_CTLCOLORSTATIC:
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      if (reinterpret_cast<HWND>(lParam) == GetDlgItem(panel, IDC_HELP_LINK))
        return reinterpret_cast<INT_PTR>(linkBrush);
      return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    case WM_CTLCOLORDLG:
      return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    case ViewerExitMessage:
      // Answer the sender at once; the exit runs from the viewer's own message loop.
      PostMessageW(panel, WM_COMMAND, IDM_EXIT, 0);
      return 0;
    case TrayCallbackMessage:
      if (static_cast<UINT>(lParam) == WM_LBUTTONDOWN)
        ApplyPanelActions(PanelStep(&Panel, PanelEvent::TrayLeftDown));
      else if (static_cast<UINT>(lParam) == WM_RBUTTONDOWN)
        ApplyPanelActions(PanelStep(&Panel, PanelEvent::TrayRightDown));
      return 0;
    default:
      if (taskbarCreatedMessage != 0 && message == taskbarCreatedMessage) {
        AddTrayIcon(false);
        return 0;
      }
      return 0;
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  Instance = instance;
  HANDLE mutex = CreateMutexW(nullptr, FALSE, ViewerMutexName);
  if (!mutex) return 0;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return 0;
  }

  Gdiplus::GdiplusStartupInput gdiplusInput;  // version 1, no debug callback, default threads and codecs
  ULONG_PTR gdiplusToken = 0;
  Gdiplus::GdiplusStartup(&gdiplusToken, &gdiplusInput, nullptr);
  InitCommonControls();
  CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_STATUSPANEL), nullptr, StatusPanelProc, 0);

  MSG message;
  for (;;) {
    BOOL result = GetMessageW(&message, nullptr, 0, 0);
    if (result == -1) return -1;
    if (result == 0) break;
    if (Viewer.panel && IsDialogMessageW(Viewer.panel, &message)) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }

  Gdiplus::GdiplusShutdown(gdiplusToken);
  CloseHandle(mutex);
  return 0;
}
