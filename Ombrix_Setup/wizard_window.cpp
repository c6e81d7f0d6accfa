// The wizard: a property sheet in wizard style with three pages per mode. The sheet callback
// takes the window menu away and subclasses the sheet so that its layout follows the pages; the
// page handlers set texts, fonts, colours and buttons from the page's look, and the progress
// pages run the install or uninstall sequence from their timers.
#include "wizard_window.h"

#include <commctrl.h>
#include <prsht.h>

#include "common/debug_log.h"
#include "resource.h"
#include "setup.h"
#include "wizard_logic.h"

namespace {

int const BackButton = SheetBackButton;
int const NextButton = SheetNextButton;
int const FinishButton = SheetFinishButton;
int const SeparatorLine = SheetSeparator;
int const CancelButton = SheetCancelButton;
wchar_t const OldProcProperty[] = L"OLDPROC";
wchar_t const PageFace[] = L"Microsoft JhengHei";
int const TextCapacity = 1024;
int const TitleCapacity = 256;

// comctl32, loaded at run time.
using InitCommonControlsFunction = void(WINAPI*)();
using CreatePageFunction = HPROPSHEETPAGE(WINAPI*)(LPCPROPSHEETPAGEW);
using PropertySheetFunction = INT_PTR(WINAPI*)(LPCPROPSHEETHEADERW);
InitCommonControlsFunction initCommonControls;
CreatePageFunction createPropertySheetPage;
PropertySheetFunction propertySheet;

HINSTANCE Instance;

// Fonts are made once per face, size and weight and kept until the wizard has closed.
struct CachedFont {
  int points;
  bool bold;
  HFONT font;
};
CachedFont Fonts[4];

// The progress pages' state; a page is created once per wizard.
InstallProgress installProgress;
UninstallProgress uninstallProgress;
bool finishPrompted;

template <typename Function>
Function Entry(HMODULE module, char const* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

wchar_t const* Wide(char16_t const* text) { return reinterpret_cast<wchar_t const*>(text); }

LayoutRect RectIn(HWND window, HWND reference) {
  RECT rect = {};
  GetWindowRect(window, &rect);
  MapWindowPoints(HWND_DESKTOP, reference, reinterpret_cast<POINT*>(&rect), 2);
  return LayoutRect{rect.left, rect.top, rect.right, rect.bottom};
}

// ---------------------------------------------------------------------------------------------
// Operations the pages share.

void SetItemText(HWND page, int control, UINT stringId) {
  wchar_t text[TextCapacity];
  if (LoadStringW(Instance, stringId, text, TextCapacity) == 0) text[0] = 0;
  SetDlgItemTextW(page, control, text);
}

void SetItemFont(HWND page, int control, wchar_t const* face, int points, bool bold) {
  HFONT font = nullptr;
  for (CachedFont& cached : Fonts) {
    if (cached.font && cached.points == points && cached.bold == bold) {
      font = cached.font;
      break;
    }
  }
  if (!font) {
    HDC screen = GetDC(nullptr);
    LOGFONTW description = {};
    description.lfHeight = -MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), 72);
    description.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    description.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(description.lfFaceName, face, LF_FACESIZE);
    ReleaseDC(nullptr, screen);
    font = CreateFontIndirectW(&description);
    for (CachedFont& cached : Fonts) {
      if (!cached.font) {
        cached = CachedFont{points, bold, font};
        break;
      }
    }
  }
  SendDlgItemMessageW(page, control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void PaintPicture(HWND page, int placeholderId, UINT bitmapId) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(page, &paint);
  HWND placeholder = GetDlgItem(page, placeholderId);
  HBITMAP bitmap = static_cast<HBITMAP>(
      LoadImageW(Instance, MAKEINTRESOURCEW(bitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (placeholder && bitmap) {
    LayoutRect target = RectIn(placeholder, page);
    EnableWindow(placeholder, FALSE);
    ShowWindow(placeholder, SW_HIDE);
    BITMAP size = {};
    GetObjectW(bitmap, sizeof(size), &size);
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchBlt(dc, target.left, target.top, target.right - target.left, target.bottom - target.top, memory, 0, 0,
               size.bmWidth, size.bmHeight, SRCCOPY);
    SelectObject(memory, previous);
    DeleteDC(memory);
  }
  if (bitmap) DeleteObject(bitmap);
  EndPaint(page, &paint);
}

// Position 0, 0 of the sheet's client area, at the template's size in the page's own units.
void MovePageToOrigin(HWND page) {
  RECT size = {0, 0, PageWidthUnits, PageHeightUnits};
  MapDialogRect(page, &size);
  SetWindowPos(page, nullptr, 0, 0, size.right, size.bottom, SWP_NOZORDER | SWP_NOACTIVATE);
}

// True when the cancel may go on; false with the refusal stored as the page's answer.
bool ConfirmCancel(HWND page, std::int32_t mode) {
  CancelPrompt prompt = CancelPromptFor(mode);
  if (!prompt.ask) return true;
  wchar_t text[TextCapacity];
  wchar_t caption[TitleCapacity];
  if (LoadStringW(Instance, prompt.textId, text, TextCapacity) == 0) text[0] = 0;
  if (LoadStringW(Instance, prompt.captionId, caption, TitleCapacity) == 0) caption[0] = 0;
  if (MessageBoxW(page, text, caption, MB_ICONQUESTION | MB_YESNO) == IDYES) return true;
  SetWindowLongPtrW(page, DWLP_MSGRESULT, 1);
  return false;
}

// The answer of a page to a notification: stored for the sheet, and the message counts as handled.
INT_PTR Answer(HWND page, LONG_PTR result) {
  SetWindowLongPtrW(page, DWLP_MSGRESULT, result);
  return TRUE;
}

void ShowSheetButton(HWND sheet, int id, bool hide) {
  if (hide) ShowWindow(GetDlgItem(sheet, id), SW_HIDE);
}

void PressNext(HWND page) { PostMessageW(GetParent(page), PSM_PRESSBUTTON, PSBTN_NEXT, 0); }

// Finish pages: the restart prompt on Finish and on Escape, then the delayed commands. The wizard
// closes in every case.
void RestartPrompt(HWND page) {
  if (finishPrompted) return;
  finishPrompted = true;
  wchar_t text[TextCapacity];
  wchar_t caption[TitleCapacity];
  if (LoadStringW(Instance, IDS_RESTART_PROMPT, text, TextCapacity) == 0) text[0] = 0;
  if (LoadStringW(Instance, RestartCaptionFor(Installer.mode), caption, TitleCapacity) == 0) caption[0] = 0;
  bool yes = MessageBoxW(page, text, caption, MB_ICONQUESTION | MB_YESNO) == IDYES;
  FinishActions actions = FinishActionsFor(Installer.mode, yes);
  if (actions.selfRemoval) LaunchSelfRemoval();
  if (actions.restart) LaunchRestart();
}

// ---------------------------------------------------------------------------------------------
// What every page does: texts at creation, its picture, colours, and font and buttons when it
// becomes active. Returns true when the message was handled, with the dialog result in *result.

bool HandlePageCommon(PageHandler handler, HWND page, UINT message, WPARAM wParam, LPARAM lParam, INT_PTR* result) {
  PageLook const& look = LookOf(handler);
  switch (message) {
    case WM_INITDIALOG:
      for (ItemText const* item = look.texts; item->control != 0; ++item)
        SetItemText(page, static_cast<int>(item->control), item->stringId);
      for (std::uint32_t const* control = look.hidden; *control != 0; ++control)
        ShowWindow(GetDlgItem(page, static_cast<int>(*control)), SW_HIDE);
      *result = TRUE;
      return false;  // the page's own handler may add to its creation
    case WM_PAINT:
      PaintPicture(page, static_cast<int>(look.pictureControl), look.bitmapId);
      *result = TRUE;
      return true;
    case WM_CTLCOLORDLG:
      if (!look.whiteBackground) return false;
      *result = reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
      return true;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      StaticLook drawn = StaticLookOf(handler, static_cast<std::uint32_t>(GetDlgCtrlID(reinterpret_cast<HWND>(lParam))));
      if (!drawn.custom) return false;
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkMode(dc, TRANSPARENT);
      if (drawn.coloured) SetTextColor(dc, drawn.textColour);
      *result = reinterpret_cast<INT_PTR>(GetStockObject(drawn.overPicture ? NULL_BRUSH : WHITE_BRUSH));
      return true;
    }
    case WM_NOTIFY: {
      NMHDR const* header = reinterpret_cast<NMHDR const*>(lParam);
      if (header->code != static_cast<UINT>(PSN_SETACTIVE)) return false;
      HWND sheet = GetParent(page);
      MovePageToOrigin(page);
      SetItemFont(page, static_cast<int>(look.headingControl), PageFace, look.headingPoints, true);
      ShowSheetButton(sheet, BackButton, look.hideBack);
      ShowSheetButton(sheet, NextButton, look.hideNext);
      ShowSheetButton(sheet, CancelButton, look.hideCancel);
      if (look.wizardButtons != 0) PostMessageW(sheet, PSM_SETWIZBUTTONS, 0, look.wizardButtons);
      // After the button state: the Finish button exists only once PSM_SETWIZBUTTONS has shown it.
      PostMessageW(sheet, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(sheet, static_cast<int>(look.focusButton))),
                   TRUE);
      *result = Answer(page, 0);
      return true;
    }
    default:
      return false;
  }
}

UINT NotificationOf(UINT message, LPARAM lParam) {
  if (message != WM_NOTIFY) return 0;
  return reinterpret_cast<NMHDR const*>(lParam)->code;
}

// ---------------------------------------------------------------------------------------------
// The six page handlers.

INT_PTR WelcomePage(PageHandler handler, HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result = FALSE;
  if (HandlePageCommon(handler, page, message, wParam, lParam, &result)) return result;
  switch (NotificationOf(message, lParam)) {
    case static_cast<UINT>(PSN_WIZNEXT):
      if (handler == PageHandler::UninstallWelcome)
        Installer.decompressChosen = IsDlgButtonChecked(page, IDC_DECOMPRESS) == BST_CHECKED ? 1 : 0;
      return Answer(page, 0);
    case static_cast<UINT>(PSN_QUERYCANCEL):
      return Answer(page, ConfirmCancel(page, Installer.mode) ? FALSE : TRUE);
    default:
      return result;
  }
}

INT_PTR CALLBACK InstallWelcomeProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  return WelcomePage(PageHandler::InstallWelcome, page, message, wParam, lParam);
}

INT_PTR CALLBACK UninstallWelcomeProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  return WelcomePage(PageHandler::UninstallWelcome, page, message, wParam, lParam);
}

void StartProgressTimer(HWND page) { SetTimer(page, ProgressTimer, ProgressPeriod, nullptr); }

INT_PTR CALLBACK InstallProgressProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result = FALSE;
  if (HandlePageCommon(PageHandler::InstallProgress, page, message, wParam, lParam, &result)) return result;
  if (message == WM_INITDIALOG) {
    char16_t label[PercentCapacity];
    FormatWide(label, PercentCapacity, u"0%%");
    SetDlgItemTextW(page, IDC_PROGRESS_PERCENT, Wide(label));
    SendDlgItemMessageW(page, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(ProgressRangeMin, ProgressRangeMax));
    installProgress = StartInstallProgress();
    StartProgressTimer(page);
    return result;
  }
  if (message == WM_TIMER && wParam == ProgressTimer) {
    InstallTickActions tick = InstallTick(&installProgress);
    if (!tick.update) return TRUE;
    SendDlgItemMessageW(page, IDC_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(tick.barPosition), 0);
    SetDlgItemTextW(page, IDC_PROGRESS_PERCENT, Wide(tick.label));
    if (tick.finish) {
      KillTimer(page, ProgressTimer);
      UpdateWindow(page);  // "100%" shows while the sequence runs on this thread
      RunInstallSequence();
      PressNext(page);
    }
    return TRUE;
  }
  if (NotificationOf(message, lParam) == static_cast<UINT>(PSN_QUERYCANCEL)) {
    // Once the sequence has run, the page is about to move on by itself.
    if (installProgress.finished) return Answer(page, TRUE);
    KillTimer(page, ProgressTimer);
    if (ConfirmCancel(page, ModeInstall)) return Answer(page, FALSE);
    StartProgressTimer(page);
    return TRUE;
  }
  return result;
}

INT_PTR CALLBACK UninstallProgressProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result = FALSE;
  if (HandlePageCommon(PageHandler::UninstallProgress, page, message, wParam, lParam, &result)) return result;
  if (message == WM_INITDIALOG) {
    HWND bar = GetDlgItem(page, IDC_PROGRESS_BAR);
    SetWindowLongPtrW(bar, GWL_STYLE, GetWindowLongPtrW(bar, GWL_STYLE) | PBS_MARQUEE);
    SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
    StartProgressTimer(page);
    if (Installer.decompressChosen) StartUninstallWorker();
    uninstallProgress = StartUninstallProgress(Installer.decompressChosen != 0, Installer.worker.thread);
    if (!uninstallProgress.decompressing) ShowWindow(GetDlgItem(page, IDC_CURRENT_FILE), SW_HIDE);
    return result;
  }
  if (message == WM_TIMER && wParam == ProgressTimer) {
    UninstallTickActions tick = UninstallTick(&uninstallProgress, Installer.worker.done.load());
    if (tick.showCurrentName) {
      char16_t name[CurrentNameCapacity];
      if (ReadCurrentName(Installer.worker, name, CurrentNameCapacity)) {
        SetDlgItemTextW(page, IDC_CURRENT_FILE, Wide(name));
      }
    }
    if (tick.finish) {
      KillTimer(page, ProgressTimer);
      RunUninstallSequence();
      PressNext(page);
    }
    return TRUE;
  }
  if (NotificationOf(message, lParam) == static_cast<UINT>(PSN_QUERYCANCEL)) {
    if (uninstallProgress.finished) return Answer(page, TRUE);
    KillTimer(page, ProgressTimer);
    if (!ConfirmCancel(page, ModeUninstall)) {
      StartProgressTimer(page);
      return TRUE;
    }
    CancelUninstall();  // stop request, wait for the worker, the service back
    return Answer(page, FALSE);
  }
  return result;
}

// The system's text for an error code, without its line end; the code itself when it has none.
void SetSystemText(HWND page, int control, DWORD error) {
  wchar_t text[TextCapacity];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                TextCapacity, nullptr);
  while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) --length;
  if (length == 0) length = static_cast<DWORD>(wsprintfW(text, L"0x%08X", error));
  text[length] = 0;
  SetDlgItemTextW(page, control, text);
}

INT_PTR FinishPage(PageHandler handler, HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result = FALSE;
  if (HandlePageCommon(handler, page, message, wParam, lParam, &result)) return result;
  // An uninstallation refused for its directory reports like a failed install.
  if (message == WM_INITDIALOG) {
    FinishReport report = InstallFinishReport(InstallFailure);
    std::int32_t mode = handler == PageHandler::InstallFinish ? ModeInstall : ModeUninstall;
    if (report.failed) {
      SetSystemText(page, IDC_FINISH_HEADER, report.headerError);
      SetSystemText(page, IDC_FINISH_BODY, report.bodyError);
    } else if (UINT body = RestartFinishBodyFor(mode, RestartCompletes)) {
      SetItemText(page, IDC_FINISH_BODY, body);
    }
    return result;
  }
  UINT code = NotificationOf(message, lParam);
  if (code == static_cast<UINT>(PSN_WIZFINISH) || code == static_cast<UINT>(PSN_QUERYCANCEL)) {
    RestartPrompt(page);
    return Answer(page, FALSE);
  }
  return result;
}

INT_PTR CALLBACK InstallFinishProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  return FinishPage(PageHandler::InstallFinish, page, message, wParam, lParam);
}

INT_PTR CALLBACK UninstallFinishProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  return FinishPage(PageHandler::UninstallFinish, page, message, wParam, lParam);
}

// Indexed by PageHandler.
DLGPROC const PageProcs[PageHandlerCount] = {InstallWelcomeProc,   InstallProgressProc,   InstallFinishProc,
                                             UninstallWelcomeProc, UninstallProgressProc, UninstallFinishProc};

// ---------------------------------------------------------------------------------------------
// The sheet.

int const StripControls[] = {SeparatorLine, BackButton, NextButton, CancelButton, FinishButton};

void MoveBy(HWND sheet, int id, int dx, int dy) {
  HWND control = GetDlgItem(sheet, id);
  if (!control) return;
  LayoutRect rect = RectIn(control, sheet);
  MoveWindow(control, rect.left + dx, rect.top + dy, rect.right - rect.left, rect.bottom - rect.top, TRUE);
}

// The page fills the client area from its top-left corner, the strip with the buttons keeps its
// height below it, and the sheet is centred on the screen.
void LayoutSheetWindow(HWND sheet) {
  HWND separator = GetDlgItem(sheet, SeparatorLine);
  if (!separator) return;
  for (HWND child = GetWindow(sheet, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if ((GetWindowLongW(child, GWL_STYLE) & DS_CONTROL) == 0) continue;
    MovePageToOrigin(child);
    SheetLayout layout = LayoutSheet(RectIn(child, child), RectIn(sheet, sheet), RectIn(separator, sheet),
                                     GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    MoveWindow(sheet, layout.x, layout.y, layout.width, layout.height, TRUE);
    for (int id : StripControls) MoveBy(sheet, id, layout.dx, layout.dy);
  }
}

LRESULT CALLBACK SheetLayoutProc(HWND sheet, UINT message, WPARAM wParam, LPARAM lParam) {
  WNDPROC previous = reinterpret_cast<WNDPROC>(GetPropW(sheet, OldProcProperty));
  if (message == WM_SHOWWINDOW) LayoutSheetWindow(sheet);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(sheet, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
    RemovePropW(sheet, OldProcProperty);
  }
  return CallWindowProcW(previous, sheet, message, wParam, lParam);
}

int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM lParam) {
  if (message == PSCB_PRECREATE && lParam) {
    ClearSystemMenu(reinterpret_cast<void*>(lParam));  // no window menu, no close box
  } else if (message == PSCB_INITIALIZED) {
    SetPropW(sheet, OldProcProperty, reinterpret_cast<HANDLE>(GetWindowLongPtrW(sheet, GWLP_WNDPROC)));
    SetWindowLongPtrW(sheet, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SheetLayoutProc));
  }
  return 0;
}

}  // namespace

bool LoadCommonControls() {
  HMODULE module = LoadLibraryW(L"comctl32.dll");
  if (!module) return false;
  initCommonControls = Entry<InitCommonControlsFunction>(module, "InitCommonControls");
  createPropertySheetPage = Entry<CreatePageFunction>(module, "CreatePropertySheetPageW");
  propertySheet = Entry<PropertySheetFunction>(module, "PropertySheetW");
  return initCommonControls && createPropertySheetPage && propertySheet;
}

void InitCommonControlsNow() { initCommonControls(); }

void RunWizard(HINSTANCE instance, std::int32_t mode) {
  Instance = instance;
  finishPrompted = false;
  static wchar_t titles[3][TitleCapacity];
  HPROPSHEETPAGE pages[3] = {};
  UINT count = 0;
  for (PageEntry const* entry = PageTable(mode); entry->dialogId != 0 && count < 3; ++entry) {
    if (LoadStringW(instance, entry->titleId, titles[count], TitleCapacity) == 0) titles[count][0] = 0;
    PROPSHEETPAGEW page = {};
    page.dwSize = sizeof(page);
    page.dwFlags = PSP_USETITLE | PSP_USEHEADERTITLE;
    page.hInstance = instance;
    page.pszTemplate = MAKEINTRESOURCEW(entry->dialogId);
    page.pfnDlgProc = PageProcs[static_cast<int>(entry->handler)];
    page.pszTitle = titles[count];
    page.pszHeaderTitle = MAKEINTRESOURCEW(entry->titleId);
    HPROPSHEETPAGE created = createPropertySheetPage(&page);
    if (created) pages[count++] = created;
  }
  if (count == 0) return;

  HICON icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_SETUP), IMAGE_ICON, 0, 0, 0));
  PROPSHEETHEADERW sheet = {};
  sheet.dwSize = sizeof(sheet);
  sheet.dwFlags = PSH_WIZARD | PSH_USEHICON | PSH_USECALLBACK;
  sheet.hwndParent = nullptr;
  sheet.hInstance = instance;
  sheet.hIcon = icon;
  sheet.pszCaption = MAKEINTRESOURCEW(IDS_PRODUCT);
  sheet.nPages = count;
  sheet.nStartPage = 0;
  sheet.phpage = pages;
  sheet.pfnCallback = SheetCallback;
  propertySheet(&sheet);
  if (icon) DestroyIcon(icon);
}

void ReleaseWizardResources() {
  for (CachedFont& cached : Fonts) {
    if (cached.font) DeleteObject(cached.font);
    cached = CachedFont{};
  }
}
