// The status panel's logic: reading the statistics file, formatting what the panel and its
// tooltips show, placing the panel above the tray and the panel's Hidden / Shown / KeptOpen
// states. Portable: the window code (viewer_main.cpp) only applies the results.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/stats_record.h"

// Text buffers of the panel: every formatted text fits into this many UTF-16 units, the
// terminating zero included.
constexpr std::size_t TextCapacity = 1024;

constexpr std::uint32_t RefreshTimer = 1000;
constexpr std::uint32_t ActiveRefreshInterval = 60000;
constexpr std::uint32_t IdleRefreshInterval = 3600000;
constexpr int PlacementMargin = 5;

// ---------------------------------------------------------------------------------------------
// Statistics file.

// Reads Ombrix.ini from the viewer's directory over the copy: at most sizeof(StatsRecord)
// bytes from its first byte. A missing or busy file leaves the copy as it was; a shorter one
// replaces only its leading bytes.
void ReadStatsFile(StatsRecord* stats);

// "<viewer's directory>\<name>" into path; false, with nothing to open, when the directory is
// unknown or the whole path does not fit.
bool ModuleFilePath(const char16_t* name, char16_t* path, std::size_t capacity);

// ---------------------------------------------------------------------------------------------
// Formatting. Every routine writes a zero-terminated text into `out` of `capacity` units and
// never past it; a text that does not fit is cut at the end of the buffer.

// Hundredths of a percent as "12.34".
void FormatRate(std::uint32_t rate, char16_t* out, std::size_t capacity);

// Bytes as "1.500 GB" (above 2^30 bytes) or "700.000 MB", truncated, never rounded up.
// Negative counts keep the same unit rule on their magnitude and carry one minus sign in front.
void FormatSize(std::int64_t bytes, char16_t* out, std::size_t capacity);

// The texts of the three value controls.
struct PanelValues {
  char16_t drives[TextCapacity];  // control 503: "[C: E: ]"
  char16_t rate[TextCapacity];    // control 505: "12.34 %" or the no-data text
  char16_t space[TextCapacity];   // control 507: "1.500 GB" or the no-data text
};

// The slot predicates of the panel: listed is a fixed drive, active also eligible and NTFS.
bool IsListedSlot(const StatsRecord& stats, int slot);
bool IsActiveSlot(const StatsRecord& stats, int slot);

// Fills the values from the record. `calculating` is string 1004, shown for the rate and the
// free space while Valid is 0; the drive list is built whatever Valid holds.
void UpdatePanelValues(const StatsRecord& stats, const char16_t* calculating, PanelValues* values);

// The summary shown by all three value tooltips: one line per listed slot, then the time of the
// last update in local time. `localBias` is what the platform adds to a UTC file time to make
// it local, in 100-ns units (+8 h for a computer at UTC+8). Empty while Valid is 0.
void UpdateSummaryTips(const StatsRecord& stats, const char16_t* notSupported, const char16_t* lastUpdated,
                       std::int64_t localBias, char16_t* summary, std::size_t capacity);

// ---------------------------------------------------------------------------------------------
// Placement above the tray.

struct PanelRect {
  std::int32_t left, top, right, bottom;
};

struct PanelPoint {
  std::int32_t x, y;
};

// Top-left corner of the panel of the given window rectangle for a press at `cursor`: centred on
// the cursor but at most up to the margin from the work area's right edge, and the margin above
// its bottom. The left edge is deliberately not clamped to the work area.
PanelPoint ShowPanelAtTrayPosition(const PanelRect& workArea, const PanelRect& window, const PanelPoint& cursor);

// The light band behind the bottom row, in the panel's client coordinates, from the panel's and
// the strip marker's (control 508) window rectangles. The marker's offsets are measured from the
// panel's outer corner, border included, and the band reaches the right and bottom edges.
PanelRect StripRectangle(const PanelRect& window, const PanelRect& strip);

// New left edge of the help link, centred in the rectangle it had for its ideal width.
std::int32_t CenteredLinkLeft(std::int32_t left, std::int32_t right, std::int32_t idealWidth);

// ---------------------------------------------------------------------------------------------
// The panel's life: Hidden, Shown and KeptOpen.

enum class PanelState { Hidden, Shown, KeptOpen };

enum class PanelEvent {
  Init,            // WM_INITDIALOG
  Activated,       // WM_ACTIVATE with exactly WA_ACTIVE
  Deactivated,     // any other WM_ACTIVATE (inactive, click-activated, minimized)
  TimerTick,       // WM_TIMER
  LogoClicked,     // command 511
  TrayLeftDown,    // tray callback with WM_LBUTTONDOWN
  TrayRightDown,   // tray callback with WM_RBUTTONDOWN
};

// What the window code does for one event, in this order: set the timer (when timerPeriod is
// not 0), refresh, hide, show at the tray, open the tray menu.
struct PanelActions {
  std::uint32_t timerPeriod;
  bool refresh;
  bool hide;
  bool showAtTray;
  bool showMenu;
};

struct PanelMachine {
  std::int32_t KeepOpen;      // 1 after a click on the logo; the panel then stays when inactive
  bool visible;
  std::uint32_t timerPeriod;  // period of RefreshTimer as last set, 0 before the first
};

PanelActions PanelStep(PanelMachine* machine, PanelEvent event);
PanelState PanelStateOf(const PanelMachine& machine);

constexpr std::uintptr_t WaActive = 1;   // WA_ACTIVE

// Extended parsing of the activation's wParam: only WA_ACTIVE in the whole value counts as an
// activation that refreshes.
PanelEvent ActivationEvent(std::uintptr_t wParam);
