// The wizard's decisions: the mode from the command line, the system check, the two page tables
// and what each page shows, the progress pages' tick arithmetic, the sheet layout, the cancel
// confirmation and the restart prompt. Portable: the window code (wizard_window.cpp,
// setup_main.cpp) only applies these results to the windows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/os.h"

// ---------------------------------------------------------------------------------------------
// Mode and system check.

// The converted command line holds at most this many characters, the terminator included.
constexpr int CommandLineCapacity = 64;

// The arguments of a full process command line (GetCommandLineA), as WinMain receives them: the
// program name (quoted or up to the first blank or tab) and the blanks after it skipped. The
// result points into commandLine.
const char* CommandArguments(const char* commandLine);

// How many bytes of the arguments are converted to wide characters: the leading blanks and at
// most CommandLineCapacity - 1 bytes of the line. A wide character comes from at least one byte,
// so the conversion always fits into CommandLineCapacity units.
int ConvertedArgumentBytes(const char* arguments);

// 1 (uninstall) when the first blank-separated word of the converted arguments is exactly
// "-UNINSTALL" (case matters), 0 (install) for anything else, an empty line included.
std::int32_t ModeFromCommandLine(const char16_t* arguments);

// "PROCESSOR_ARCHITECTURE" of the system environment, at most 128 bytes, terminated. False when
// the key or the value cannot be read, the value is not text, or it is empty.
bool ReadProcessorArchitecture(char16_t (&value)[65]);

// True when the system is 32-bit: the architecture value occurs within "x86". A value that
// cannot be read counts as 64-bit, so the installer refuses rather than put its 32-bit driver
// and service on a system it cannot identify.
bool IsSystem32Bit();

// ---------------------------------------------------------------------------------------------
// Page tables.

enum class PageHandler : std::uint8_t {
  InstallWelcome,
  InstallProgress,
  InstallFinish,
  UninstallWelcome,
  UninstallProgress,
  UninstallFinish,
};
constexpr int PageHandlerCount = 6;

struct PageEntry {
  std::uint32_t titleId;   // the page title and header title
  std::uint32_t dialogId;  // 0 ends the table
  PageHandler handler;
};

extern const PageEntry InstallPages[4];
extern const PageEntry UninstallPages[4];

// The table of a mode: uninstall for 1, install for anything else.
const PageEntry* PageTable(std::int32_t mode);

// ---------------------------------------------------------------------------------------------
// What a page shows. Control id lists end with 0.

// PSM_SETWIZBUTTONS flags.
constexpr std::uint32_t WizardButtonNext = 0x2;    // PSWIZB_NEXT
constexpr std::uint32_t WizardButtonFinish = 0x4;  // PSWIZB_FINISH

// Buttons of the sheet window. The wizard's own control ids: neither MinGW-w64 nor the Win32
// reference declares them (MFC's afxres.h names the three buttons ID_WIZBACK, ID_WIZNEXT and
// ID_WIZFINISH; the separator line is the id after them), so no compile-time check covers them;
// the Wine runs of the setup press them.
constexpr std::uint32_t SheetBackButton = 0x3023;
constexpr std::uint32_t SheetNextButton = 0x3024;
constexpr std::uint32_t SheetFinishButton = 0x3025;
constexpr std::uint32_t SheetSeparator = 0x3026;
constexpr std::uint32_t SheetCancelButton = 2;  // IDCANCEL

struct ItemText {
  std::uint32_t control;
  std::uint32_t stringId;
};

struct PageLook {
  std::uint32_t pictureControl;  // the placeholder the bitmap is drawn into
  std::uint32_t bitmapId;
  ItemText texts[5];             // set on creation
  std::uint32_t hidden[3];       // hidden on creation
  std::uint32_t headingControl;  // gets the heading font on activation
  std::int32_t headingPoints;    // bold, "Microsoft JhengHei"
  bool hideBack, hideNext, hideCancel;  // on activation
  std::uint32_t wizardButtons;   // posted with PSM_SETWIZBUTTONS on activation; 0 = none
  std::uint32_t focusButton;     // the sheet button that takes the focus on activation, so the
                                 // keyboard (Enter, Escape) never stays on a hidden button
  bool whiteBackground;          // the page itself is white and every static is drawn on white
};

const PageLook& LookOf(PageHandler handler);

// Colours are COLORREF values: 0x00bbggrr.
constexpr std::uint32_t Rgb(std::uint32_t red, std::uint32_t green, std::uint32_t blue) {
  return red | (green << 8) | (blue << 16);
}

// How a static control (or check box) of a page is drawn. Controls that are not custom are left
// to the default handling.
struct StaticLook {
  bool custom;            // transparent text on a white brush
  bool overPicture;       // custom, on a banner: no background at all, the picture shows through
  bool coloured;          // text in textColour, else the default text colour
  std::uint32_t textColour;
};

StaticLook StaticLookOf(PageHandler handler, std::uint32_t control);

// ---------------------------------------------------------------------------------------------
// Install progress: ten ticks of 300 ms, the bar two steps ahead of the label, the install
// sequence at the last tick.

constexpr std::uint32_t ProgressTimer = 1000;
constexpr std::uint32_t ProgressPeriod = 300;
constexpr std::int32_t InstallTickTotal = 10;
constexpr std::int32_t ProgressRangeMin = 1;
constexpr std::int32_t ProgressRangeMax = 10;
constexpr int PercentCapacity = 8;

struct InstallProgress {
  std::int32_t count;
  std::int32_t total;
  bool finished;  // the last tick has been handled
};

InstallProgress StartInstallProgress();

struct InstallTickActions {
  bool update;          // set the bar and the label; false: the tick is ignored
  std::int32_t barPosition;
  char16_t label[PercentCapacity];
  bool finish;          // stop the timer, run the install sequence, press Next
};

InstallTickActions InstallTick(InstallProgress* progress);

// ---------------------------------------------------------------------------------------------
// Uninstall progress: eleven counting ticks, then the uninstall sequence once the worker is done
// (or no decompression runs).

constexpr std::int32_t UninstallCountingTicks = 11;

struct UninstallProgress {
  std::int32_t count;
  bool decompressing;  // decompression chosen and its worker thread exists
  bool finished;
};

// `thread` is the worker record's thread after the uninstall start; a worker that could not be
// created (0) never reports done, so the page goes on as if decompression had not been chosen.
UninstallProgress StartUninstallProgress(bool decompressChosen, os::Handle thread);

struct UninstallTickActions {
  bool showCurrentName;  // label 213 <- the worker record's current name
  bool finish;           // stop the timer, run the uninstall sequence, press Next
};

UninstallTickActions UninstallTick(UninstallProgress* progress, std::uint32_t workerDone);

// ---------------------------------------------------------------------------------------------
// Cancel confirmation and the restart prompt.

struct CancelPrompt {
  bool ask;  // false: the cancel goes on without a question
  std::uint32_t textId;
  std::uint32_t captionId;
};

CancelPrompt CancelPromptFor(std::int32_t mode);

// The caption of the restart prompt: 504 for install, 512 for uninstall.
std::uint32_t RestartCaptionFor(std::int32_t mode);

struct FinishActions {
  bool selfRemoval;
  bool restart;
};

// Uninstall removes its directory whatever the answer; Yes restarts in both modes.
FinishActions FinishActionsFor(std::int32_t mode, bool answeredYes);

// The install finish page after a step the installed system needs has failed (`failure` its
// error, 0 = none): instead of the success texts, the header says the installation failed and
// the body why, both in the system's own words (its message texts for these error codes).
struct FinishReport {
  bool failed;
  std::uint32_t headerError;  // ERROR_INSTALL_FAILURE
  std::uint32_t bodyError;
};

FinishReport InstallFinishReport(std::uint32_t failure);

// The finish body when files in use are left for the next restart (522 install, 523 uninstall);
// 0 when the page's own body stands.
std::uint32_t RestartFinishBodyFor(std::int32_t mode, bool restartCompletes);

// ---------------------------------------------------------------------------------------------
// Sheet layout.

// The size of every page's dialog template, in the page's own dialog units. The sheet sizes its
// pages in the units of its own font; pages in another font would lose their right and bottom
// parts, so each page is given its template's size in its own units before the layout.
constexpr std::int32_t PageWidthUnits = 284;
constexpr std::int32_t PageHeightUnits = 158;

struct LayoutRect {
  std::int32_t left, top, right, bottom;
};

struct SheetLayout {
  std::int32_t x, y;           // new top-left corner on the screen
  std::int32_t width, height;  // new window size
  std::int32_t dx, dy;         // how far the separator and the buttons move
};

// `page`: the page's window rectangle in its own client coordinates; `sheet`: the sheet's window
// rectangle in the sheet's client coordinates (left and top negative); `separator`: the line
// above the buttons in the sheet's client coordinates. The page then fills the client area from
// its top-left corner and the strip below the separator keeps its height; the sheet is centred.
SheetLayout LayoutSheet(const LayoutRect& page, const LayoutRect& sheet, const LayoutRect& separator,
                        std::int32_t screenWidth, std::int32_t screenHeight);

constexpr std::uint32_t WindowStyleSysMenu = 0x00080000;   // WS_SYSMENU

// Clears WS_SYSMENU in a dialog template as the property sheet hands it over before creating the
// sheet: DLGTEMPLATE (style at offset 0) or DLGTEMPLATEEX (signature 0xFFFF at offset 2, style
// at offset 12).
void ClearSystemMenu(void* dialogTemplate);
