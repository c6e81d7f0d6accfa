// setup_driver: drives a running Ombrix_Setup wizard from outside, the way a user would, and
// reads back what it shows. Each command prints what it saw (UTF-8) and exits with 0 on success,
// 1 when what it waited for did not happen, 2 on a usage error.
//
//   wait-sheet SECS            until a wizard sheet is shown; prints "sheet <title>"
//   count                      prints the number of wizard sheets shown
//   page                       prints the current page: "page <welcome|progress|finish>", then
//                              "<control id> <text>" for each text control of the page, the check
//                              box state, the progress bar position and the wizard buttons shown
//   wait-page NAME SECS        until the current page is NAME, then prints it as "page" does
//   press next|finish|cancel   posts PSM_PRESSBUTTON to the sheet (returns at once: a cancel may
//                              open a confirmation that the caller answers with "answer")
//   click ID                   posts BM_CLICK to the sheet's button ID (0x3024 Next, 0x3025
//                              Finish, 2 Cancel)
//   tick ID                    clicks check box ID of the current page, expects it checked after
//   wait-box SECS [CAPTION]    until a message box is shown (with that caption when given);
//                              prints "box <caption>", "text <text>" and "buttons <ids>"
//   answer yes|no|ok [CAPTION] clicks that button of the shown message box
//   wait-gone SECS             until neither a sheet nor a message box of the setup is shown
//   rect sheet|box [CAPTION]   screen rectangle "left top right bottom" of the sheet or the box
//   regdump KEY                every value under the HKLM or HKCU key KEY and its subkeys, one per
//                              line: "<subkey or .> TAB <name> TAB <type> TAB <bytes> TAB <data>";
//                              exits 1 when the key does not exist; backslashes in data stay single
//   temp                       prints GetTempPathW (where the setup makes its extraction directory)
//
// Texts are printed with line feed, carriage return, tab and backslash written as \n \r \t \\.
// A message box counts as the setup's when it is a top-level dialog with a Yes, No or OK button
// that is not a wizard sheet and not the viewer's panel.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "write_utf8.h"

namespace {

int const NextButton = 0x3024;
int const FinishButton = 0x3025;
UINT const SendPatienceMs = 2000;

// Backslashes are doubled in texts, kept single in registry data (paths).
std::wstring Escape(std::wstring const& text, bool doubleBackslash = true) {
  std::wstring out;
  for (wchar_t c : text) {
    switch (c) {
    case L'\\': out += doubleBackslash ? L"\\\\" : L"\\"; break;
    case L'\n': out += L"\\n"; break;
    case L'\r': out += L"\\r"; break;
    case L'\t': out += L"\\t"; break;
    default: out += c; break;
    }
  }
  return out;
}

// One line on stdout, written at once (the tests read it while the wizard goes on).
void Say(std::wstring const& line) { WriteUtf8(GetStdHandle(STD_OUTPUT_HANDLE), line + L"\n"); }

[[noreturn]] void Fail(std::wstring const& why) {
  Say(why);
  std::exit(1);
}

std::wstring ClassOf(HWND window) {
  wchar_t name[128] = {};
  GetClassNameW(window, name, 128);
  return name;
}

// The text the system keeps for the window; sends nothing, so a busy wizard thread cannot block it.
std::wstring TextOf(HWND window) {
  wchar_t text[4096] = {};
  InternalGetWindowText(window, text, 4096);
  return text;
}

bool IsSheet(HWND window) {
  return IsWindowVisible(window) && ClassOf(window) == L"#32770" && GetDlgItem(window, NextButton) &&
         GetDlgItem(window, FinishButton);
}

bool IsBox(HWND window, wchar_t const* caption) {
  if (!IsWindowVisible(window) || ClassOf(window) != L"#32770" || IsSheet(window)) return false;
  if (TextOf(window) == L"Ombrix_Viewer") return false;
  if (!GetDlgItem(window, IDYES) && !GetDlgItem(window, IDNO) && !GetDlgItem(window, IDOK)) return false;
  return caption == nullptr || TextOf(window) == caption;
}

struct Search {
  wchar_t const* caption;
  bool box;
  std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<Search*>(context);
  if (search->box ? IsBox(window, search->caption) : IsSheet(window)) search->found.push_back(window);
  return TRUE;
}

std::vector<HWND> Sheets() {
  Search search{nullptr, false, {}};
  EnumWindows(Collect, LPARAM(&search));
  return search.found;
}

HWND FindSheet() {
  std::vector<HWND> const sheets = Sheets();
  return sheets.empty() ? nullptr : sheets.front();
}

HWND FindBox(wchar_t const* caption) {
  Search search{caption, true, {}};
  EnumWindows(Collect, LPARAM(&search));
  return search.found.empty() ? nullptr : search.found.front();
}

template <typename Test>
bool WaitFor(DWORD patienceMs, Test test) {
  ULONGLONG const deadline = GetTickCount64() + patienceMs;
  for (;;) {
    if (test()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(50);
  }
}

HWND RequireSheet() {
  HWND sheet = nullptr;
  if (!WaitFor(5000, [&] { return (sheet = FindSheet()) != nullptr; })) Fail(L"no wizard sheet is shown");
  return sheet;
}

bool SendWithin(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR* result) {
  return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, SendPatienceMs, result) != 0;
}

// The page the sheet shows: its current page window, told apart by the header control it has.
HWND CurrentPage(HWND sheet) {
  DWORD_PTR page = 0;
  if (SendWithin(sheet, PSM_GETCURRENTPAGEHWND, 0, 0, &page) && page) return HWND(page);
  return nullptr;
}

wchar_t const* PageName(HWND page) {
  if (!page) return L"none";
  if (GetDlgItem(page, 204)) return L"welcome";
  if (GetDlgItem(page, 205)) return L"progress";
  if (GetDlgItem(page, 206)) return L"finish";
  return L"unknown";
}

void PrintPage(HWND sheet, HWND page) {
  Say(std::wstring(L"page ") + PageName(page));
  Say(L"title " + Escape(TextOf(sheet)));
  static int const textIds[] = {204, 205, 206, 207, 208, 209, 211, 212, 213, 214};
  for (int id : textIds) {
    HWND control = GetDlgItem(page, id);
    if (!control) continue;
    std::wstring line = std::to_wstring(id) + (IsWindowVisible(control) ? L" " : L" (hidden) ");
    Say(line + Escape(TextOf(control)));
  }
  if (HWND box = GetDlgItem(page, 214)) {
    DWORD_PTR state = 0;
    if (SendWithin(box, BM_GETCHECK, 0, 0, &state)) Say(state == BST_CHECKED ? L"check 214 checked" : L"check 214 unchecked");
  }
  if (HWND bar = GetDlgItem(page, 210)) {
    DWORD_PTR position = 0;
    if (SendWithin(bar, PBM_GETPOS, 0, 0, &position)) Say(L"bar " + std::to_wstring(position));
  }
  struct Button {
    int id;
    wchar_t const* name;
  };
  static Button const buttons[] = {{0x3023, L"back"}, {NextButton, L"next"}, {FinishButton, L"finish"}, {IDCANCEL, L"cancel"}};
  std::wstring shown = L"buttons";
  for (Button const& button : buttons) {
    HWND control = GetDlgItem(sheet, button.id);
    if (control && IsWindowVisible(control)) {
      shown += L" ";
      shown += button.name;
      if (!IsWindowEnabled(control)) shown += L"(disabled)";
    }
  }
  Say(shown);
}

std::wstring BoxText(HWND box) {
  // The message text is the box's longest static text (Windows and Wine give it id 0xFFFF).
  if (HWND text = GetDlgItem(box, 0xFFFF)) {
    std::wstring const value = TextOf(text);
    if (!value.empty()) return value;
  }
  std::wstring best;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) == L"Static" && TextOf(child).size() > best.size()) best = TextOf(child);
  }
  return best;
}

void PrintRect(HWND window) {
  RECT rect = {};
  GetWindowRect(window, &rect);
  Say(std::to_wstring(rect.left) + L" " + std::to_wstring(rect.top) + L" " + std::to_wstring(rect.right) + L" " +
      std::to_wstring(rect.bottom));
}

DWORD Seconds(wchar_t const* text) { return DWORD(_wtoi(text)) * 1000; }

// ---- registry dump

void DumpValues(HKEY key, std::wstring const& where) {
  for (DWORD index = 0;; ++index) {
    wchar_t name[512];
    DWORD nameLength = 512;
    DWORD type = 0;
    BYTE data[8192];
    DWORD size = sizeof(data);
    LONG const status = RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) continue;
    std::wstring text;
    wchar_t const* typeName = L"other";
    auto const* chars = reinterpret_cast<wchar_t const*>(data);
    size_t const count = size / sizeof(wchar_t);
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      typeName = type == REG_SZ ? L"REG_SZ" : L"REG_EXPAND_SZ";
      for (size_t i = 0; i < count && chars[i]; ++i) text += chars[i];
      break;
    case REG_MULTI_SZ:
      typeName = L"REG_MULTI_SZ";
      // The strings joined by "|", up to the empty string that ends the list.
      for (size_t i = 0; i < count && chars[i]; ++i) {
        if (!text.empty()) text += L'|';
        while (i < count && chars[i]) text += chars[i++];
      }
      break;
    case REG_DWORD:
      typeName = L"REG_DWORD";
      text = std::to_wstring(size >= 4 ? *reinterpret_cast<DWORD const*>(data) : 0);
      break;
    default: {
      typeName = L"REG_BINARY";
      wchar_t hex[4];
      for (DWORD i = 0; i < size; ++i) {
        swprintf(hex, 4, L"%02x", data[i]);
        text += hex;
      }
    }
    }
    Say(where + L"\t" + name + L"\t" + typeName + L"\t" + std::to_wstring(size) + L"\t" + Escape(text, false));
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[512];
    DWORD nameLength = 512;
    LONG const status = RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) break;
    HKEY sub = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    DumpValues(sub, where == L"." ? std::wstring(name) : where + L"\\" + name);
    RegCloseKey(sub);
  }
}

int RegDump(std::wstring const& path) {
  HKEY root = nullptr;
  std::wstring rest;
  if (path.rfind(L"HKLM\\", 0) == 0) {
    root = HKEY_LOCAL_MACHINE;
    rest = path.substr(5);
  } else if (path.rfind(L"HKCU\\", 0) == 0) {
    root = HKEY_CURRENT_USER;
    rest = path.substr(5);
  } else {
    Say(L"usage: regdump HKLM\\... | HKCU\\...");
    return 2;
  }
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, rest.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    Say(L"no key " + path);
    return 1;
  }
  DumpValues(key, L".");
  RegCloseKey(key);
  return 0;
}

int Usage() {
  Say(L"usage: setup_driver wait-sheet|count|page|wait-page|press|click|tick|wait-box|answer|wait-gone|rect|regdump|temp ...");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  std::wstring const command = argv[1];
  wchar_t const* arg2 = argc > 2 ? argv[2] : nullptr;
  wchar_t const* arg3 = argc > 3 ? argv[3] : nullptr;

  if (command == L"wait-sheet" && arg2) {
    HWND sheet = nullptr;
    if (!WaitFor(Seconds(arg2), [&] { return (sheet = FindSheet()) != nullptr; })) Fail(L"no wizard sheet is shown");
    Say(L"sheet " + Escape(TextOf(sheet)));
    return 0;
  }
  if (command == L"count") {
    Say(std::to_wstring(Sheets().size()));
    return 0;
  }
  if (command == L"page") {
    HWND sheet = RequireSheet();
    PrintPage(sheet, CurrentPage(sheet));
    return 0;
  }
  if (command == L"wait-page" && arg3) {
    HWND sheet = RequireSheet();
    HWND page = nullptr;
    bool const reached = WaitFor(Seconds(arg3), [&] {
      if (!IsWindow(sheet)) return false;
      page = CurrentPage(sheet);
      return page && std::wstring(PageName(page)) == arg2 && IsWindowVisible(page);
    });
    if (!reached) Fail(std::wstring(L"the wizard is not on page ") + arg2 + L" but on " + PageName(page));
    Sleep(300);   // the page sets its buttons with posted messages as it becomes active
    PrintPage(sheet, page);
    return 0;
  }
  if (command == L"press" && arg2) {
    HWND sheet = RequireSheet();
    std::wstring const which = arg2;
    int button = which == L"next" ? PSBTN_NEXT : which == L"finish" ? PSBTN_FINISH : which == L"cancel" ? PSBTN_CANCEL : -1;
    if (button < 0) return Usage();
    PostMessageW(sheet, PSM_PRESSBUTTON, WPARAM(button), 0);
    Say(L"pressed " + which);
    return 0;
  }
  if (command == L"click" && arg2) {
    HWND sheet = RequireSheet();
    HWND button = GetDlgItem(sheet, int(wcstol(arg2, nullptr, 0)));
    if (!button) Fail(std::wstring(L"the sheet has no button ") + arg2);
    PostMessageW(button, BM_CLICK, 0, 0);
    Say(std::wstring(L"clicked ") + arg2);
    return 0;
  }
  if (command == L"tick" && arg2) {
    HWND sheet = RequireSheet();
    HWND page = CurrentPage(sheet);
    HWND box = page ? GetDlgItem(page, _wtoi(arg2)) : nullptr;
    if (!box || !IsWindowVisible(box)) Fail(std::wstring(L"no check box ") + arg2 + L" shown on the current page");
    DWORD_PTR result = 0;
    SendWithin(box, BM_CLICK, 0, 0, &result);
    DWORD_PTR state = 0;
    if (!SendWithin(box, BM_GETCHECK, 0, 0, &state) || state != BST_CHECKED) Fail(L"the check box is not checked after a click");
    Say(std::wstring(L"checked ") + arg2);
    return 0;
  }
  if (command == L"wait-box" && arg2) {
    HWND box = nullptr;
    if (!WaitFor(Seconds(arg2), [&] { return (box = FindBox(arg3)) != nullptr; })) Fail(L"no message box is shown");
    Sleep(200);   // the box fills in its text as it opens
    Say(L"box " + Escape(TextOf(box)));
    Say(L"text " + Escape(BoxText(box)));
    std::wstring buttons = L"buttons";
    if (GetDlgItem(box, IDOK)) buttons += L" ok";
    if (GetDlgItem(box, IDYES)) buttons += L" yes";
    if (GetDlgItem(box, IDNO)) buttons += L" no";
    Say(buttons);
    return 0;
  }
  if (command == L"answer" && arg2) {
    std::wstring const which = arg2;
    int id = which == L"yes" ? IDYES : which == L"no" ? IDNO : which == L"ok" ? IDOK : 0;
    if (!id) return Usage();
    HWND box = nullptr;
    if (!WaitFor(5000, [&] { return (box = FindBox(arg3)) != nullptr; })) Fail(L"no message box is shown");
    HWND button = GetDlgItem(box, id);
    if (!button) Fail(L"the message box has no " + which + L" button");
    PostMessageW(button, BM_CLICK, 0, 0);
    if (!WaitFor(5000, [&] { return !IsWindow(box) || !IsWindowVisible(box); })) Fail(L"the message box stayed open");
    Say(L"answered " + which);
    return 0;
  }
  if (command == L"wait-gone" && arg2) {
    if (!WaitFor(Seconds(arg2), [] { return !FindSheet() && !FindBox(nullptr); })) Fail(L"the wizard is still shown");
    Say(L"gone");
    return 0;
  }
  if (command == L"rect" && arg2) {
    if (std::wstring(arg2) == L"box") {
      HWND box = nullptr;
      if (!WaitFor(5000, [&] { return (box = FindBox(arg3)) != nullptr; })) Fail(L"no message box is shown");
      PrintRect(box);
    } else {
      PrintRect(RequireSheet());
    }
    return 0;
  }
  if (command == L"regdump" && arg2) return RegDump(arg2);
  if (command == L"temp") {
    wchar_t path[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, path);
    Say(path);
    return 0;
  }
  return Usage();
}
