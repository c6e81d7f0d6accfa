#include "wizard_logic.h"

#include <cstring>

#include "common/debug_log.h"
#include "common/wide_string.h"
#include "resource.h"

// ---------------------------------------------------------------------------------------------
// Mode and system check.

const char* CommandArguments(const char* commandLine) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(commandLine);
  if (*p == '"') {
    ++p;
    while (*p != 0 && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p > ' ') ++p;
  }
  while (*p != 0 && *p <= ' ') ++p;
  return reinterpret_cast<const char*>(p);
}

int ConvertedArgumentBytes(const char* arguments) {
  int n = 0;
  while (n < CommandLineCapacity - 1 && arguments[n] != 0) ++n;
  return n;
}

std::int32_t ModeFromCommandLine(const char16_t* arguments) {
  // Words are separated by blanks only, as wcstok_s with " " splits them.
  const char16_t* word = arguments;
  while (*word == u' ') ++word;
  static const char16_t Uninstall[] = u"-UNINSTALL";
  std::size_t i = 0;
  while (Uninstall[i] != 0 && word[i] == Uninstall[i]) ++i;
  bool exact = Uninstall[i] == 0 && (word[i] == 0 || word[i] == u' ');
  return exact ? 1 : 0;
}

bool ReadProcessorArchitecture(char16_t (&value)[65]) {
  constexpr std::uint32_t RegExpandSz = 2;
  value[0] = 0;
  os::Key key = 0;
  if (os::RegOpenKeyW(os::HkeyLocalMachine, u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment\\",
                      &key) != 0)
    return false;
  std::uint32_t type = 0;
  std::uint32_t size = 128;
  std::int32_t result = os::RegQueryValueExW(key, u"PROCESSOR_ARCHITECTURE", &type, value, &size);
  os::RegCloseKey(key);
  if (result != 0 || (type != os::RegSz && type != RegExpandSz) || size > 128) {
    value[0] = 0;
    return false;
  }
  // The stored text need not carry its terminator.
  value[size / 2] = 0;
  return value[0] != 0;
}

bool IsSystem32Bit() {
  char16_t value[65];
  if (!ReadProcessorArchitecture(value)) return false;
  return WideContains(u"x86", value);
}

// ---------------------------------------------------------------------------------------------
// Page tables.

const PageEntry InstallPages[4] = {
    {IDS_INSTALL_CAPTION, IDD_WELCOME, PageHandler::InstallWelcome},
    {IDS_INSTALL_CAPTION, IDD_PROGRESS, PageHandler::InstallProgress},
    {IDS_INSTALL_CAPTION, IDD_FINISH, PageHandler::InstallFinish},
    {0, 0, PageHandler::InstallWelcome},
};

const PageEntry UninstallPages[4] = {
    {IDS_UNINSTALL_CAPTION, IDD_WELCOME, PageHandler::UninstallWelcome},
    {IDS_UNINSTALL_CAPTION, IDD_PROGRESS, PageHandler::UninstallProgress},
    {IDS_UNINSTALL_CAPTION, IDD_FINISH, PageHandler::UninstallFinish},
    {0, 0, PageHandler::InstallWelcome},
};

const PageEntry* PageTable(std::int32_t mode) { return mode == 1 ? UninstallPages : InstallPages; }

namespace {

// Indexed by PageHandler. The progress pages hide the label the other mode uses, so no
// placeholder text of the shared dialog shows.
const PageLook PageLooks[PageHandlerCount] = {
    // install welcome
    {IDC_SIDE_PICTURE, IDB_SIDE,
     {{IDC_WELCOME_TITLE, IDS_INSTALL_WELCOME_TITLE}, {IDC_WELCOME_BODY, IDS_INSTALL_WELCOME_BODY}, {0, 0}},
     {IDC_WELCOME_SECOND_BODY, IDC_DECOMPRESS, 0},
     IDC_WELCOME_TITLE, 12, true, false, false, WizardButtonNext, SheetNextButton, true},
    // install progress
    {IDC_PROGRESS_BANNER, IDB_BANNER,
     {{IDC_PROGRESS_HEADER, IDS_INSTALL_PROGRESS_HEADER}, {IDC_PROGRESS_BODY, IDS_INSTALL_PROGRESS_BODY}, {0, 0}},
     {IDC_CURRENT_FILE, 0},
     IDC_PROGRESS_HEADER, 10, true, true, false, 0, SheetCancelButton, false},
    // install finish
    {IDC_FINISH_BANNER, IDB_BANNER,
     {{IDC_FINISH_HEADER, IDS_INSTALL_FINISH_HEADER}, {IDC_FINISH_BODY, IDS_INSTALL_FINISH_BODY}, {0, 0}},
     {0},
     IDC_FINISH_HEADER, 10, true, false, true, WizardButtonFinish, SheetFinishButton, false},
    // uninstall welcome
    {IDC_SIDE_PICTURE, IDB_SIDE,
     {{IDC_WELCOME_TITLE, IDS_UNINSTALL_WELCOME_TITLE},
      {IDC_WELCOME_BODY, IDS_UNINSTALL_WELCOME_BODY},
      {IDC_WELCOME_SECOND_BODY, IDS_UNINSTALL_WELCOME_SECOND_BODY},
      {IDC_DECOMPRESS, IDS_DECOMPRESS_CHOICE},
      {0, 0}},
     {0},
     IDC_WELCOME_TITLE, 12, true, false, false, WizardButtonNext, SheetNextButton, true},
    // uninstall progress
    {IDC_PROGRESS_BANNER, IDB_BANNER,
     {{IDC_PROGRESS_HEADER, IDS_UNINSTALL_PROGRESS_HEADER}, {IDC_PROGRESS_BODY, IDS_UNINSTALL_PROGRESS_BODY}, {0, 0}},
     {IDC_PROGRESS_PERCENT, 0},
     IDC_PROGRESS_HEADER, 10, true, true, false, 0, SheetCancelButton, false},
    // uninstall finish
    {IDC_FINISH_BANNER, IDB_BANNER,
     {{IDC_FINISH_HEADER, IDS_UNINSTALL_FINISH_HEADER}, {IDC_FINISH_BODY, IDS_UNINSTALL_FINISH_BODY}, {0, 0}},
     {0},
     IDC_FINISH_HEADER, 10, true, false, true, WizardButtonFinish, SheetFinishButton, false},
};

constexpr std::uint32_t TitleColour = Rgb(34, 55, 113);
constexpr std::uint32_t WarningColour = Rgb(255, 0, 0);

}  // namespace

const PageLook& LookOf(PageHandler handler) { return PageLooks[static_cast<int>(handler)]; }

StaticLook StaticLookOf(PageHandler handler, std::uint32_t control) {
  const PageLook& look = LookOf(handler);
  if (look.whiteBackground) {
    if (control == IDC_WELCOME_TITLE) return {true, false, true, TitleColour};
    if (handler == PageHandler::UninstallWelcome && control == IDC_WELCOME_SECOND_BODY)
      return {true, false, true, WarningColour};
    return {true, false, false, 0};
  }
  // The header's rectangle reaches over the banner's artwork; a white box there would cut into it.
  if (control == look.headingControl) return {true, true, false, 0};
  return {false, false, false, 0};
}

// ---------------------------------------------------------------------------------------------
// Install progress.

InstallProgress StartInstallProgress() { return InstallProgress{0, InstallTickTotal, false}; }

InstallTickActions InstallTick(InstallProgress* progress) {
  InstallTickActions actions = {};
  // A tick that arrives after the last one (the sequence is running or has run) changes nothing.
  if (progress->finished) return actions;
  ++progress->count;
  actions.update = true;
  if (progress->count < progress->total) {
    FormatWide(actions.label, PercentCapacity, u"%d%%", progress->count * 100 / progress->total);
    actions.barPosition = progress->count + 2 > ProgressRangeMax ? ProgressRangeMax : progress->count + 2;
  } else {
    FormatWide(actions.label, PercentCapacity, u"100%%");
    actions.barPosition = ProgressRangeMax;
    actions.finish = true;
    progress->finished = true;
  }
  return actions;
}

// ---------------------------------------------------------------------------------------------
// Uninstall progress.

UninstallProgress StartUninstallProgress(bool decompressChosen, os::Handle thread) {
  return UninstallProgress{0, decompressChosen && thread != os::NullHandle, false};
}

UninstallTickActions UninstallTick(UninstallProgress* progress, std::uint32_t workerDone) {
  UninstallTickActions actions = {};
  if (progress->finished) return actions;
  actions.showCurrentName = progress->decompressing;
  if (progress->count < UninstallCountingTicks) {
    ++progress->count;
    return actions;
  }
  if (!progress->decompressing || workerDone != 0) {
    progress->finished = true;
    actions.finish = true;
  }
  return actions;
}

// ---------------------------------------------------------------------------------------------
// Cancel confirmation and the restart prompt.

CancelPrompt CancelPromptFor(std::int32_t mode) {
  if (mode == 0) return {true, IDS_INSTALL_CANCEL, IDS_INSTALL_CAPTION};
  if (mode == 1) return {true, IDS_UNINSTALL_CANCEL, IDS_UNINSTALL_CAPTION};
  return {false, 0, 0};
}

std::uint32_t RestartCaptionFor(std::int32_t mode) { return mode == 1 ? IDS_UNINSTALL_CAPTION : IDS_INSTALL_CAPTION; }

FinishActions FinishActionsFor(std::int32_t mode, bool answeredYes) { return FinishActions{mode == 1, answeredYes}; }

FinishReport InstallFinishReport(std::uint32_t failure) {
  if (failure == 0) return FinishReport{false, 0, 0};
  return FinishReport{true, os::ErrorInstallFailure, failure};
}

std::uint32_t RestartFinishBodyFor(std::int32_t mode, bool restartCompletes) {
  if (!restartCompletes) return 0;
  return mode == 0 ? IDS_INSTALL_FINISH_RESTART : mode == 1 ? IDS_UNINSTALL_FINISH_RESTART : 0;
}

// ---------------------------------------------------------------------------------------------
// Sheet layout.

SheetLayout LayoutSheet(const LayoutRect& page, const LayoutRect& sheet, const LayoutRect& separator,
                        std::int32_t screenWidth, std::int32_t screenHeight) {
  SheetLayout layout = {};
  std::int32_t pageWidth = page.right - page.left;
  std::int32_t pageHeight = page.bottom - page.top;
  layout.width = pageWidth - 2 * sheet.left;
  layout.height = pageHeight + (sheet.bottom - separator.top) - sheet.top;
  layout.x = (screenWidth - layout.width) / 2;
  layout.y = (screenHeight - layout.height) / 2;
  layout.dx = layout.width - (sheet.right - sheet.left);
  layout.dy = layout.height - (sheet.bottom - sheet.top);
  return layout;
}

void ClearSystemMenu(void* dialogTemplate) {
  unsigned char* bytes = static_cast<unsigned char*>(dialogTemplate);
  std::uint16_t signature;
  std::memcpy(&signature, bytes + 2, sizeof(signature));
  std::size_t offset = signature == 0xFFFF ? 12 : 0;
  std::uint32_t style;
  std::memcpy(&style, bytes + offset, sizeof(style));
  style &= ~WindowStyleSysMenu;
  std::memcpy(bytes + offset, &style, sizeof(style));
}
