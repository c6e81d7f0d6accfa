// The status panel's logic: reading Ombrix.ini from the simulated machine, every text the panel
// and its tooltips show, the placement above the tray and the Hidden / Shown / KeptOpen states.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "os/sim/sim.h"
#include "viewer_panel.h"

namespace {

std::string Ascii(const char16_t* text) {
  std::string out;
  for (; *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
  return out;
}

std::string Size(std::int64_t bytes) {
  char16_t text[TextCapacity];
  FormatSize(bytes, text, TextCapacity);
  return Ascii(text);
}

std::string Rate(std::uint32_t rate) {
  char16_t text[TextCapacity];
  FormatRate(rate, text, TextCapacity);
  return Ascii(text);
}

// A FILETIME for a UTC calendar time, through the C library rather than the code under test.
os::FileTime FileTimeOf(int year, int month, int day, int hour, int minute) {
  std::tm parts = {};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  std::int64_t unixSeconds = timegm(&parts);
  return static_cast<os::FileTime>((unixSeconds + 11644473600LL) * 10000000LL);
}

constexpr std::int64_t HourBias = 36000000000LL;  // one hour in 100-ns units

void SetSlot(StatsRecord& r, char letter, int eligible, int ntfs, std::uint32_t type, std::int64_t saved = 0,
             std::uint32_t rate = 0) {
  int slot = letter - 'C';
  r.DriveEligible[slot] = static_cast<std::uint8_t>(eligible);
  r.DriveNtfs[slot] = static_cast<std::uint8_t>(ntfs);
  r.DriveType[slot] = type;
  r.DriveSaved[slot] = saved;
  r.DriveRate[slot] = rate;
}

std::string Summary(const StatsRecord& r, std::int64_t bias = 0, std::size_t capacity = TextCapacity) {
  std::vector<char16_t> text(capacity + 1, u'#');
  UpdateSummaryTips(r, u"Not Supported", u"Last Updated:", bias, text.data(), capacity);
  EXPECT_EQ(text[capacity], u'#') << "wrote past the buffer";
  return Ascii(text.data());
}

TEST(FormatRate, HundredthsWithTwoDigits) {
  EXPECT_EQ(Rate(0), "0.00");
  EXPECT_EQ(Rate(5), "0.05");
  EXPECT_EQ(Rate(250), "2.50");
  EXPECT_EQ(Rate(1234), "12.34");
  EXPECT_EQ(Rate(10000), "100.00");
  EXPECT_EQ(Rate(UINT32_MAX), "42949672.95");
}

TEST(FormatSize, MegabytesUpToOneGibibyteThenGigabytesTruncated) {
  EXPECT_EQ(Size(0), "0.000 MB");
  EXPECT_EQ(Size(999999), "0.953 MB");
  EXPECT_EQ(Size(1572864), "1.500 MB");
  EXPECT_EQ(Size(734003200), "700.000 MB");
  EXPECT_EQ(Size(1073741824), "1024.000 MB");
  EXPECT_EQ(Size(1073741825), "1.000 GB");
  EXPECT_EQ(Size(1610612736), "1.500 GB");
  EXPECT_EQ(Size(5492165909), "5.114 GB");
  EXPECT_EQ(Size(1048575), "0.999 MB");  // never rounded up
  EXPECT_EQ(Size(INT64_MAX), "8589934591.999 GB");
}

TEST(FormatSize, NegativeCountsCarryOneMinusSign) {
  EXPECT_EQ(Size(-1572864), "-1.500 MB");
  EXPECT_EQ(Size(-1), "-0.000 MB");
  EXPECT_EQ(Size(-1610612736), "-1.500 GB");
  EXPECT_EQ(Size(INT64_MIN), "-8589934592.000 GB");
}

TEST(FormatSize, CutsAtTheEndOfASmallBuffer) {
  char16_t text[6];
  std::memset(text, 0x55, sizeof(text));
  FormatSize(1610612736, text, 5);
  EXPECT_EQ(Ascii(text), "1.50");
  EXPECT_EQ(text[5], 0x5555);
  FormatRate(1234, text, 1);
  EXPECT_EQ(text[0], 0);
}

TEST(UpdatePanelValues, ListsActiveFixedDrivesAndFormatsTheTotals) {
  StatsRecord r = {};
  r.Valid = 1;
  r.TotalRate = 1234;
  r.TotalSaved = 1610612736;
  SetSlot(r, 'C', 1, 1, os::DriveFixed);
  SetSlot(r, 'D', 1, 0, os::DriveFixed);     // FAT: listed in the summary only
  SetSlot(r, 'E', 1, 1, os::DriveFixed);
  SetSlot(r, 'F', 1, 1, os::DriveRemovable);  // never shown, even with both flags
  SetSlot(r, 'G', 1, 1, os::DriveRemote);
  r.DriveEligible[30] = r.DriveNtfs[30] = 1;  // slots past Z stay out (type 0)
  PanelValues v;
  UpdatePanelValues(r, u"Calculating...", &v);
  EXPECT_EQ(Ascii(v.drives), "[C: E: ]");
  EXPECT_EQ(Ascii(v.rate), "12.34 %");
  EXPECT_EQ(Ascii(v.space), "1.500 GB");
}

TEST(UpdatePanelValues, NoDataShowsCalculatingButStillTheDriveList) {
  StatsRecord r = {};
  PanelValues v;
  UpdatePanelValues(r, u"Calculating...", &v);
  EXPECT_EQ(Ascii(v.drives), "[]");
  EXPECT_EQ(Ascii(v.rate), "Calculating...");
  EXPECT_EQ(Ascii(v.space), "Calculating...");

  SetSlot(r, 'D', 1, 1, os::DriveFixed);
  r.TotalRate = 99;
  UpdatePanelValues(r, u"Kalkulation\u2026", &v);
  EXPECT_EQ(Ascii(v.drives), "[D: ]");
  EXPECT_EQ(std::u16string(v.rate), u"Kalkulation\u2026");
}

TEST(UpdatePanelValues, InstallersFirstRecordShowsZeroes) {
  StatsRecord r = {};
  r.Valid = 1;
  SetSlot(r, 'C', 1, 1, os::DriveFixed);
  PanelValues v;
  UpdatePanelValues(r, u"Calculating...", &v);
  EXPECT_EQ(Ascii(v.drives), "[C: ]");
  EXPECT_EQ(Ascii(v.rate), "0.00 %");
  EXPECT_EQ(Ascii(v.space), "0.000 MB");
}

TEST(UpdateSummaryTips, OneLinePerFixedDriveThenTheLocalUpdateTime) {
  StatsRecord r = {};
  r.Valid = 1;
  SetSlot(r, 'C', 1, 1, os::DriveFixed, 1610612736, 1234);
  SetSlot(r, 'D', 1, 0, os::DriveFixed, 5, 5);
  SetSlot(r, 'E', 1, 1, os::DriveFixed, 999999, 5);
  SetSlot(r, 'F', 1, 1, os::DriveRemovable, 1, 1);
  SetStatsUpdatedAt(r, FileTimeOf(2026, 12, 6, 9, 5));
  EXPECT_EQ(Summary(r),
            "C : [12.34%] [1.500 GB] \n"
            "D : Not Supported \n"
            "E : [0.05%] [0.953 MB] \n"
            "Last Updated: 12/6 09:05 ");
}

TEST(UpdateSummaryTips, EmptyWhileNoData) {
  StatsRecord r = {};
  SetSlot(r, 'C', 1, 1, os::DriveFixed, 1, 1);
  SetStatsUpdatedAt(r, FileTimeOf(2026, 12, 6, 9, 5));
  EXPECT_EQ(Summary(r), "");
}

TEST(UpdateSummaryTips, AppliesTheCurrentBiasAcrossDayAndYear) {
  StatsRecord r = {};
  r.Valid = 1;
  SetStatsUpdatedAt(r, FileTimeOf(2026, 12, 6, 21, 7));
  EXPECT_EQ(Summary(r, 8 * HourBias), "Last Updated: 12/7 05:07 ");
  SetStatsUpdatedAt(r, FileTimeOf(2027, 1, 1, 3, 0));
  EXPECT_EQ(Summary(r, -5 * HourBias), "Last Updated: 12/31 22:00 ");
  SetStatsUpdatedAt(r, FileTimeOf(2028, 2, 28, 20, 30));
  EXPECT_EQ(Summary(r, 5 * HourBias + HourBias / 2), "Last Updated: 2/29 02:00 ");
}

TEST(UpdateSummaryTips, CalendarAgreesWithTheCLibraryOverCenturies) {
  StatsRecord r = {};
  r.Valid = 1;
  // Every 13th day and a moving minute from 1601 to 2400: leap years, century rules, month ends.
  int checked = 0;
  for (std::int64_t day = 0; day < 292000; day += 13) {
    os::FileTime t = static_cast<os::FileTime>(day) * 864000000000ULL + static_cast<os::FileTime>(day % 1440) * 600000000ULL;
    std::time_t unixSeconds = static_cast<std::time_t>(t / 10000000ULL) - 11644473600LL;
    std::tm parts = {};
    ASSERT_NE(gmtime_r(&unixSeconds, &parts), nullptr);
    char expected[64];
    std::snprintf(expected, sizeof(expected), "Last Updated: %d/%d %02d:%02d ", parts.tm_mon + 1, parts.tm_mday,
                  parts.tm_hour, parts.tm_min);
    SetStatsUpdatedAt(r, t);
    ASSERT_EQ(Summary(r), expected) << "day " << day;
    ++checked;
  }
  EXPECT_GT(checked, 20000);
}

TEST(UpdateSummaryTips, TimeOutsideTheCalendarShowsNoDate) {
  StatsRecord r = {};
  r.Valid = 1;
  SetStatsUpdatedAt(r, 0xFFFFFFFFFFFFFFFFULL);
  EXPECT_EQ(Summary(r), "Last Updated: ");
  SetStatsUpdatedAt(r, 0);
  EXPECT_EQ(Summary(r, -HourBias), "Last Updated: ");
  EXPECT_EQ(Summary(r, HourBias), "Last Updated: 1/1 01:00 ");
}

TEST(UpdateSummaryTips, LongSummaryStaysInsideItsBufferWithWholeLines) {
  // The viewer walks all 32 slots; a damaged file that marks every one as an active fixed drive
  // with extreme values makes a summary longer than the tooltip's buffer.
  StatsRecord r = {};
  r.Valid = 1;
  for (int slot = 0; slot < StatsDriveSlots; ++slot)
    SetSlot(r, static_cast<char>('C' + slot), 1, 1, os::DriveFixed, INT64_MIN, UINT32_MAX);
  std::string full = Summary(r, 0, 4096);
  EXPECT_GT(full.size(), 1023u);
  std::string cut = Summary(r);
  EXPECT_LT(cut.size(), 1024u);
  EXPECT_GT(cut.size(), 900u);
  // Whole drive lines from the start while they fit, and the update time in any case.
  const std::string time = "Last Updated: 1/1 00:00 ";
  ASSERT_GT(cut.size(), time.size());
  EXPECT_EQ(cut.substr(cut.size() - time.size()), time);
  std::string lines = cut.substr(0, cut.size() - time.size());
  EXPECT_EQ(full.compare(0, lines.size(), lines), 0);
  EXPECT_EQ(lines.back(), '\n');
  EXPECT_EQ(Summary(r, 0, time.size() + 1), time);
  EXPECT_EQ(Summary(r, 0, 10), "");
}

class ReadStatsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    sim::SetModulePath(u"C:\\Apps\\Tool\\Ombrix_Viewer.exe");
  }
  void TearDown() override { EXPECT_EQ(sim::OpenHandleCount(), 0u); }

  static std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t value) {
    return std::vector<std::uint8_t>(count, value);
  }

  // The record with guard bytes behind it, to see that nothing past the 597th byte is written.
  struct Guarded {
    StatsRecord stats;
    std::uint8_t guard[64];
  };
};

TEST_F(ReadStatsFileTest, ReadsTheWholeRecordFromTheViewersDirectory) {
  StatsRecord written = {};
  written.Valid = 1;
  written.TotalRate = 250;
  written.TotalSaved = 1048576;
  SetSlot(written, 'D', 1, 1, os::DriveFixed, 1048576, 250);
  const auto* p = reinterpret_cast<const std::uint8_t*>(&written);
  sim::PutFile(u"C:\\Apps\\Tool\\Ombrix.ini", std::vector<std::uint8_t>(p, p + sizeof(written)));
  sim::PutFile(u"C:\\Ombrix.ini", Bytes(597, 0xEE));  // another directory's file is not read

  StatsRecord copy = {};
  ReadStatsFile(&copy);
  EXPECT_EQ(std::memcmp(&copy, &written, sizeof(copy)), 0);
  EXPECT_EQ(+copy.DriveType[1], os::DriveFixed);
}

TEST_F(ReadStatsFileTest, MissingOrBusyFileKeepsTheCopy) {
  Guarded copy;
  std::memset(&copy, 0x11, sizeof(copy));
  ReadStatsFile(&copy.stats);
  EXPECT_EQ(+copy.stats.Valid, 0x11);

  sim::PutFile(u"C:\\Apps\\Tool\\Ombrix.ini", Bytes(597, 0x22));
  sim::HoldId hold = sim::HoldOpen(u"C:\\Apps\\Tool\\Ombrix.ini", os::GenericWrite, 0);
  ReadStatsFile(&copy.stats);
  EXPECT_EQ(+copy.stats.Valid, 0x11);
  sim::ReleaseHold(hold);

  ReadStatsFile(&copy.stats);
  EXPECT_EQ(+copy.stats.Valid, 0x22);
  EXPECT_EQ(+copy.stats.DriveRate[31], 0x22222222u);
}

TEST_F(ReadStatsFileTest, ShortFileReplacesOnlyItsLeadingBytes) {
  Guarded copy;
  std::memset(&copy, 0x11, sizeof(copy));
  sim::PutFile(u"C:\\Apps\\Tool\\Ombrix.ini", Bytes(10, 0x22));
  ReadStatsFile(&copy.stats);
  const auto* b = reinterpret_cast<const std::uint8_t*>(&copy);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(b[i], 0x22) << i;
  for (std::size_t i = 10; i < sizeof(copy); ++i) ASSERT_EQ(b[i], 0x11) << i;

  // A zero-length file leaves a fresh reader at no data.
  StatsRecord fresh = {};
  sim::PutFile(u"C:\\Apps\\Tool\\Ombrix.ini", {});
  ReadStatsFile(&fresh);
  EXPECT_EQ(+fresh.Valid, 0);
}

TEST_F(ReadStatsFileTest, LongerFileIsReadOnlyUpToTheRecordSize) {
  Guarded copy;
  std::memset(&copy, 0x11, sizeof(copy));
  sim::PutFile(u"C:\\Apps\\Tool\\Ombrix.ini", Bytes(700, 0x22));
  ReadStatsFile(&copy.stats);
  EXPECT_EQ(+copy.stats.DriveRate[31], 0x22222222u);
  for (std::uint8_t g : copy.guard) ASSERT_EQ(g, 0x11);
}

TEST_F(ReadStatsFileTest, PathTooLongForTheBufferOpensNothing) {
  // The directory fills the buffer so that the file name would be cut to "\Ombrix."; a file of
  // exactly that name must not be read in its place.
  std::u16string directory = u"C:\\" + std::u16string(1012, u'd');
  ASSERT_EQ(directory.size(), 1015u);
  sim::SetModulePath(directory + u"\\Ombrix_Viewer.exe");
  sim::PutFile(directory + u"\\Ombrix.", Bytes(597, 0x22));
  sim::PutFile(directory + u"\\Ombrix.ini", Bytes(597, 0x22));
  StatsRecord copy = {};
  ReadStatsFile(&copy);
  EXPECT_EQ(+copy.Valid, 0);

  char16_t path[TextCapacity];
  EXPECT_FALSE(ModuleFilePath(u"Ombrix.ini", path, TextCapacity));
  sim::SetModulePath(u"C:\\Apps\\Tool\\Ombrix_Viewer.exe");
  ASSERT_TRUE(ModuleFilePath(u"HELP.chm", path, TextCapacity));
  EXPECT_EQ(std::u16string(path), u"C:\\Apps\\Tool\\HELP.chm");
}

TEST(ShowPanelAtTray, RightEdgeFiveFromTheWorkAreaOrCentredOnTheCursor) {
  PanelRect window = {10, 10, 261, 184};  // 251 x 174
  PanelRect workArea = {0, 0, 1920, 1040};
  PanelPoint p = ShowPanelAtTrayPosition(workArea, window, {1880, 1060});
  EXPECT_EQ(p.x, 1920 - 251 - 5);
  EXPECT_EQ(p.y, 1040 - 174 - 5);
  p = ShowPanelAtTrayPosition(workArea, window, {1000, 1060});
  EXPECT_EQ(p.x, 1000 - 125);  // half the width, truncated
  // Taskbar at the left: the panel may reach past the work area's left edge.
  PanelRect leftBar = {60, 0, 1920, 1080};
  p = ShowPanelAtTrayPosition(leftBar, window, {30, 900});
  EXPECT_EQ(p.x, -95);
  EXPECT_EQ(p.y, 1080 - 174 - 5);
}

TEST(PanelDrawing, StripFromTheMarkerOffsetsAndLinkCentring) {
  PanelRect window = {100, 200, 351, 374};
  PanelRect marker = {104, 312, 347, 370};
  PanelRect band = StripRectangle(window, marker);
  EXPECT_EQ(band.left, -6);
  EXPECT_EQ(band.top, 110);
  EXPECT_EQ(band.right, 251);
  EXPECT_EQ(band.bottom, 174);

  EXPECT_EQ(CenteredLinkLeft(8, 210, 30), 8 + 86);
  EXPECT_EQ(CenteredLinkLeft(8, 210, 31), 8 + 85);
  EXPECT_EQ(CenteredLinkLeft(5, 100, 120), 5 - 12);  // wider than its place: truncated toward zero
}

TEST(PanelStates, ShowHideAndKeepOpenWithTheirTimerPeriods) {
  PanelMachine m = {};
  PanelActions a = PanelStep(&m, PanelEvent::Init);
  EXPECT_TRUE(a.refresh);
  EXPECT_EQ(m.timerPeriod, IdleRefreshInterval);
  EXPECT_EQ(PanelStateOf(m), PanelState::Hidden);

  a = PanelStep(&m, PanelEvent::TrayLeftDown);
  EXPECT_TRUE(a.showAtTray);
  a = PanelStep(&m, PanelEvent::Activated);
  EXPECT_TRUE(a.refresh);
  EXPECT_EQ(m.timerPeriod, ActiveRefreshInterval);
  EXPECT_EQ(PanelStateOf(m), PanelState::Shown);

  a = PanelStep(&m, PanelEvent::Deactivated);  // a click elsewhere
  EXPECT_TRUE(a.hide);
  EXPECT_FALSE(a.refresh);
  EXPECT_EQ(m.timerPeriod, IdleRefreshInterval);
  EXPECT_EQ(PanelStateOf(m), PanelState::Hidden);

  PanelStep(&m, PanelEvent::TrayLeftDown);
  PanelStep(&m, PanelEvent::Activated);
  PanelStep(&m, PanelEvent::LogoClicked);
  EXPECT_EQ(PanelStateOf(m), PanelState::KeptOpen);
  a = PanelStep(&m, PanelEvent::Deactivated);
  EXPECT_FALSE(a.hide);
  EXPECT_EQ(a.timerPeriod, 0u);
  EXPECT_EQ(m.timerPeriod, ActiveRefreshInterval);
  EXPECT_EQ(PanelStateOf(m), PanelState::KeptOpen);
  EXPECT_TRUE(PanelStep(&m, PanelEvent::TimerTick).refresh);

  a = PanelStep(&m, PanelEvent::TrayRightDown);  // the menu, nothing else
  EXPECT_TRUE(a.showMenu);
  EXPECT_FALSE(a.hide || a.showAtTray || a.refresh);
  EXPECT_EQ(PanelStateOf(m), PanelState::KeptOpen);

  a = PanelStep(&m, PanelEvent::TrayLeftDown);  // the next left press hides a kept panel
  EXPECT_TRUE(a.hide);
  EXPECT_FALSE(a.showAtTray);
  EXPECT_EQ(m.KeepOpen, 0);
  EXPECT_EQ(m.timerPeriod, IdleRefreshInterval);
  EXPECT_EQ(PanelStateOf(m), PanelState::Hidden);
}

TEST(PanelStates, OnlyExactlyActiveCountsAsActivation) {
  EXPECT_EQ(ActivationEvent(1), PanelEvent::Activated);             // WA_ACTIVE
  EXPECT_EQ(ActivationEvent(0), PanelEvent::Deactivated);           // WA_INACTIVE
  EXPECT_EQ(ActivationEvent(2), PanelEvent::Deactivated);           // WA_CLICKACTIVE
  EXPECT_EQ(ActivationEvent(0x10001), PanelEvent::Deactivated);     // active but minimized
}

}  // namespace
