// The wizard's decisions: the mode from the command line, the system check against the simulated
// registry, the page tables and what each page shows, the progress ticks, the sheet layout, the
// cancel confirmation and the restart prompt.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "Ombrix_Setup/resource.h"
#include "Ombrix_Setup/wizard_logic.h"
#include "os/sim/sim.h"

namespace {

std::string Ascii(const char16_t* text) {
  std::string out;
  for (; *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
  return out;
}

// The start-up's path from GetCommandLineA to the mode. The code page conversion of the window
// code is stood in for by widening bytes, which is what every ANSI code page does for ASCII.
std::int32_t ModeOf(const std::string& commandLine) {
  const char* arguments = CommandArguments(commandLine.c_str());
  int bytes = ConvertedArgumentBytes(arguments);
  EXPECT_LT(bytes, CommandLineCapacity);
  char16_t wide[CommandLineCapacity];
  for (int i = 0; i < bytes; ++i) wide[i] = static_cast<unsigned char>(arguments[i]);
  wide[bytes] = 0;
  return ModeFromCommandLine(wide);
}

const std::string Program = "\"C:\\Program Files\\Ombrix\\Ombrix_Setup.exe\"";

TEST(CommandLine, ProgramNameIsSkippedQuotedOrNot) {
  EXPECT_STREQ(CommandArguments("\"C:\\Program Files\\Ombrix\\Ombrix_Setup.exe\" -UNINSTALL"), "-UNINSTALL");
  EXPECT_STREQ(CommandArguments("\"C:\\Program Files\\Ombrix\\Ombrix_Setup.exe\"-UNINSTALL"), "-UNINSTALL");
  EXPECT_STREQ(CommandArguments("setup.exe \t  -UNINSTALL x"), "-UNINSTALL x");
  EXPECT_STREQ(CommandArguments("C:\\Users\\b\xC3\xA9\\setup.exe -UNINSTALL"), "-UNINSTALL");
  EXPECT_STREQ(CommandArguments("setup.exe"), "");
  EXPECT_STREQ(CommandArguments("\"unterminated quote -UNINSTALL"), "");
  EXPECT_STREQ(CommandArguments(""), "");
}

TEST(CommandLine, FirstWordExactlyUninstallSelectsUninstall) {
  EXPECT_EQ(ModeOf(Program + " -UNINSTALL"), 1);
  EXPECT_EQ(ModeOf(Program + "   -UNINSTALL"), 1);
  EXPECT_EQ(ModeOf(Program + " -UNINSTALL more words here"), 1);
  EXPECT_EQ(ModeOf("Ombrix_Setup.exe -UNINSTALL"), 1);

  EXPECT_EQ(ModeOf(Program + " -uninstall"), 0);
  EXPECT_EQ(ModeOf(Program + " -Uninstall"), 0);
  EXPECT_EQ(ModeOf(Program + " -UNINSTAL"), 0);
  EXPECT_EQ(ModeOf(Program + " -UNINSTALLX"), 0);
  EXPECT_EQ(ModeOf(Program + " /UNINSTALL"), 0);
  EXPECT_EQ(ModeOf(Program + " x -UNINSTALL"), 0);
  EXPECT_EQ(ModeOf(Program + " -UNINSTALL\tx"), 0);  // only blanks separate words
  EXPECT_EQ(ModeOf(Program), 0);
  EXPECT_EQ(ModeOf(Program + " "), 0);
  EXPECT_EQ(ModeOf(""), 0);
}

TEST(CommandLine, LongLinesSettleOnlyTheFirstWord) {
  std::string tail(300, 'a');
  EXPECT_EQ(ModeOf(Program + " -UNINSTALL " + tail), 1);
  EXPECT_EQ(ModeOf(Program + std::string(100, ' ') + "-UNINSTALL " + tail), 1);
  EXPECT_EQ(ModeOf(Program + " -UNINSTALL" + tail), 0);
  EXPECT_EQ(ModeOf(Program + " " + tail + " -UNINSTALL"), 0);
  EXPECT_EQ(ConvertedArgumentBytes(tail.c_str()), CommandLineCapacity - 1);
  EXPECT_EQ(ConvertedArgumentBytes("-UNINSTALL"), 10);

  // Blanks before the first word of an already converted line are skipped too.
  EXPECT_EQ(ModeFromCommandLine(u"   -UNINSTALL"), 1);
  EXPECT_EQ(ModeFromCommandLine(u""), 0);
}

// ---------------------------------------------------------------------------------------------
// System check.

const char16_t EnvironmentKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";

class SystemCheck : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
  void TearDown() override { EXPECT_EQ(sim::OpenKeyCount(), 0u) << "the environment key was left open"; }

  static void SetArchitecture(std::u16string_view value) {
    sim::SetRegString(os::HkeyLocalMachine, EnvironmentKey, u"PROCESSOR_ARCHITECTURE", value);
  }
  static void SetRawArchitecture(std::uint32_t type, std::vector<std::uint8_t> bytes) {
    sim::SetRegValue(os::HkeyLocalMachine, EnvironmentKey, u"PROCESSOR_ARCHITECTURE", sim::RegValue{type, bytes});
  }
};

TEST_F(SystemCheck, OnlyValuesWithinX86CountAs32Bit) {
  SetArchitecture(u"x86");
  EXPECT_TRUE(IsSystem32Bit());
  char16_t value[65];
  ASSERT_TRUE(ReadProcessorArchitecture(value));
  EXPECT_EQ(Ascii(value), "x86");

  SetArchitecture(u"86");  // occurs within "x86"
  EXPECT_TRUE(IsSystem32Bit());

  for (const char16_t* other : {u"AMD64", u"ARM64", u"IA64", u"X86", u"x86 ", u"x64"}) {
    SetArchitecture(other);
    EXPECT_FALSE(IsSystem32Bit()) << Ascii(other);
  }
}

TEST_F(SystemCheck, ValueWithoutTerminatorIsReadByItsLength) {
  SetRawArchitecture(os::RegSz, {'x', 0, '8', 0, '6', 0});
  EXPECT_TRUE(IsSystem32Bit());
  char16_t dirty[65];
  std::fill(std::begin(dirty), std::end(dirty), u'Z');  // what the buffer held before the read
  ASSERT_TRUE(ReadProcessorArchitecture(dirty));
  EXPECT_EQ(Ascii(dirty), "x86");
  // 128 bytes of text and no terminator: read whole, terminated after the 64th character.
  std::vector<std::uint8_t> full;
  for (int i = 0; i < 64; ++i) full.insert(full.end(), {'8', 0});
  SetRawArchitecture(os::RegSz, full);
  char16_t value[65];
  ASSERT_TRUE(ReadProcessorArchitecture(value));
  EXPECT_EQ(Ascii(value), std::string(64, '8'));
  EXPECT_FALSE(IsSystem32Bit());
}

TEST_F(SystemCheck, UnreadableValueCountsAs64Bit) {
  EXPECT_FALSE(IsSystem32Bit()) << "no key";
  sim::CreateRegKey(os::HkeyLocalMachine, EnvironmentKey);
  EXPECT_FALSE(IsSystem32Bit()) << "no value";
  SetArchitecture(u"");
  EXPECT_FALSE(IsSystem32Bit()) << "empty value";
  SetRawArchitecture(os::RegDword, {0x86, 0, 0, 0});
  EXPECT_FALSE(IsSystem32Bit()) << "not text";
  SetArchitecture(std::u16string(64, u'x') + u"86");  // 132 bytes with its terminator: too long
  EXPECT_FALSE(IsSystem32Bit()) << "longer than 128 bytes";

  SetArchitecture(u"x86");
  ASSERT_TRUE(sim::Fail("RegQueryValueExW", {}));
  EXPECT_FALSE(IsSystem32Bit()) << "query failed";
  sim::ClearFaults();
  ASSERT_TRUE(sim::Fail("RegOpenKeyW", {}));
  EXPECT_FALSE(IsSystem32Bit()) << "open failed";
  sim::ClearFaults();
  EXPECT_TRUE(IsSystem32Bit());
}

// ---------------------------------------------------------------------------------------------
// Page tables and what the pages show.

TEST(PageTables, ThreePagesPerModeEndedByDialogZero) {
  struct Row {
    std::uint32_t title, dialog;
    PageHandler handler;
  };
  auto rows = [](const PageEntry* table) {
    std::vector<Row> out;
    for (; table->dialogId != 0; ++table) out.push_back({table->titleId, table->dialogId, table->handler});
    return out;
  };
  std::vector<Row> install = rows(PageTable(0));
  ASSERT_EQ(install.size(), 3u);
  std::vector<Row> expectedInstall = {{504, 151, PageHandler::InstallWelcome},
                                      {504, 152, PageHandler::InstallProgress},
                                      {504, 153, PageHandler::InstallFinish}};
  std::vector<Row> uninstall = rows(PageTable(1));
  ASSERT_EQ(uninstall.size(), 3u);
  std::vector<Row> expectedUninstall = {{512, 151, PageHandler::UninstallWelcome},
                                        {512, 152, PageHandler::UninstallProgress},
                                        {512, 153, PageHandler::UninstallFinish}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(install[i].title, expectedInstall[i].title);
    EXPECT_EQ(install[i].dialog, expectedInstall[i].dialog);
    EXPECT_EQ(install[i].handler, expectedInstall[i].handler);
    EXPECT_EQ(uninstall[i].title, expectedUninstall[i].title);
    EXPECT_EQ(uninstall[i].dialog, expectedUninstall[i].dialog);
    EXPECT_EQ(uninstall[i].handler, expectedUninstall[i].handler);
  }
  EXPECT_EQ(PageTable(1), UninstallPages);
  EXPECT_EQ(PageTable(0), InstallPages);
  EXPECT_EQ(PageTable(7), InstallPages);
}

std::string Texts(PageHandler handler) {
  std::string out;
  for (const ItemText* t = LookOf(handler).texts; t->control != 0; ++t)
    out += std::to_string(t->control) + "<" + std::to_string(t->stringId) + " ";
  return out;
}

std::string Hidden(PageHandler handler) {
  std::string out;
  for (const std::uint32_t* c = LookOf(handler).hidden; *c != 0; ++c) out += std::to_string(*c) + " ";
  return out;
}

TEST(PageLooks, TextsHiddenControlsAndPictures) {
  EXPECT_EQ(Texts(PageHandler::InstallWelcome), "204<505 207<506 ");
  EXPECT_EQ(Hidden(PageHandler::InstallWelcome), "208 214 ");
  EXPECT_EQ(Texts(PageHandler::UninstallWelcome), "204<513 207<514 208<515 214<521 ");
  EXPECT_EQ(Hidden(PageHandler::UninstallWelcome), "");
  EXPECT_EQ(Texts(PageHandler::InstallProgress), "205<507 209<508 ");
  EXPECT_EQ(Hidden(PageHandler::InstallProgress), "213 ");
  EXPECT_EQ(Texts(PageHandler::UninstallProgress), "205<516 209<517 ");
  EXPECT_EQ(Hidden(PageHandler::UninstallProgress), "211 ");
  EXPECT_EQ(Texts(PageHandler::InstallFinish), "206<509 212<510 ");
  EXPECT_EQ(Texts(PageHandler::UninstallFinish), "206<518 212<519 ");

  for (PageHandler welcome : {PageHandler::InstallWelcome, PageHandler::UninstallWelcome}) {
    EXPECT_EQ(LookOf(welcome).pictureControl, 201u);
    EXPECT_EQ(LookOf(welcome).bitmapId, 1001u);
  }
  for (PageHandler progress : {PageHandler::InstallProgress, PageHandler::UninstallProgress}) {
    EXPECT_EQ(LookOf(progress).pictureControl, 202u);
    EXPECT_EQ(LookOf(progress).bitmapId, 1002u);
  }
  for (PageHandler finish : {PageHandler::InstallFinish, PageHandler::UninstallFinish}) {
    EXPECT_EQ(LookOf(finish).pictureControl, 203u);
    EXPECT_EQ(LookOf(finish).bitmapId, 1002u);
  }
}

TEST(PageLooks, HeadingsAndButtonsOnActivation) {
  struct Expected {
    PageHandler handler;
    std::uint32_t heading;
    std::int32_t points;
    bool back, next, cancel;
    std::uint32_t buttons;
    std::uint32_t focus;
  };
  // The focus goes to a button the page shows: Next, Cancel (IDCANCEL) or Finish.
  const Expected rows[] = {
      {PageHandler::InstallWelcome, 204, 12, true, false, false, 0x2, 0x3024},
      {PageHandler::InstallProgress, 205, 10, true, true, false, 0, 2},
      {PageHandler::InstallFinish, 206, 10, true, false, true, 0x4, 0x3025},
      {PageHandler::UninstallWelcome, 204, 12, true, false, false, 0x2, 0x3024},
      {PageHandler::UninstallProgress, 205, 10, true, true, false, 0, 2},
      {PageHandler::UninstallFinish, 206, 10, true, false, true, 0x4, 0x3025},
  };
  for (const Expected& row : rows) {
    const PageLook& look = LookOf(row.handler);
    SCOPED_TRACE(static_cast<int>(row.handler));
    EXPECT_EQ(look.headingControl, row.heading);
    EXPECT_EQ(look.headingPoints, row.points);
    EXPECT_EQ(look.hideBack, row.back);
    EXPECT_EQ(look.hideNext, row.next);
    EXPECT_EQ(look.hideCancel, row.cancel);
    EXPECT_EQ(look.wizardButtons, row.buttons);
    EXPECT_EQ(look.focusButton, row.focus);
  }
}

TEST(PageLooks, WelcomePagesAreWhiteWithColouredTitleAndRedWarning) {
  const std::uint32_t title = 34 | (55 << 8) | (113 << 16);
  const std::uint32_t red = 0x0000FF;
  for (PageHandler welcome : {PageHandler::InstallWelcome, PageHandler::UninstallWelcome}) {
    EXPECT_TRUE(LookOf(welcome).whiteBackground);
    StaticLook t = StaticLookOf(welcome, IDC_WELCOME_TITLE);
    EXPECT_TRUE(t.custom && t.coloured);
    EXPECT_EQ(t.textColour, title);
    StaticLook body = StaticLookOf(welcome, IDC_WELCOME_BODY);
    EXPECT_TRUE(body.custom);
    EXPECT_FALSE(body.coloured);
    EXPECT_TRUE(StaticLookOf(welcome, IDC_DECOMPRESS).custom);  // the check box sits on white too
  }
  StaticLook warning = StaticLookOf(PageHandler::UninstallWelcome, IDC_WELCOME_SECOND_BODY);
  EXPECT_TRUE(warning.coloured);
  EXPECT_EQ(warning.textColour, red);
  EXPECT_FALSE(StaticLookOf(PageHandler::InstallWelcome, IDC_WELCOME_SECOND_BODY).coloured);

  EXPECT_FALSE(StaticLookOf(PageHandler::UninstallWelcome, IDC_WELCOME_BODY).overPicture);

  // Banner pages: only the header is drawn transparent, over the banner; the rest keeps the
  // defaults.
  for (PageHandler page : {PageHandler::InstallProgress, PageHandler::UninstallProgress}) {
    EXPECT_FALSE(LookOf(page).whiteBackground);
    StaticLook header = StaticLookOf(page, IDC_PROGRESS_HEADER);
    EXPECT_TRUE(header.custom && header.overPicture);
    EXPECT_FALSE(header.coloured);
    EXPECT_FALSE(StaticLookOf(page, IDC_PROGRESS_BODY).custom);
    EXPECT_FALSE(StaticLookOf(page, IDC_PROGRESS_PERCENT).custom);
  }
  for (PageHandler page : {PageHandler::InstallFinish, PageHandler::UninstallFinish}) {
    EXPECT_TRUE(StaticLookOf(page, IDC_FINISH_HEADER).overPicture);
    EXPECT_FALSE(StaticLookOf(page, IDC_FINISH_BODY).custom);
  }
}

// ---------------------------------------------------------------------------------------------
// Progress ticks.

TEST(InstallTicks, LabelCountsTenthsWhileTheBarLeadsByTwoThenTheSequenceRunsOnce) {
  InstallProgress progress = StartInstallProgress();
  std::vector<std::string> labels;
  std::vector<int> bars;
  int finishes = 0;
  for (int tick = 1; tick <= 10; ++tick) {
    InstallTickActions a = InstallTick(&progress);
    ASSERT_TRUE(a.update) << tick;
    labels.push_back(Ascii(a.label));
    bars.push_back(a.barPosition);
    if (a.finish) {
      ++finishes;
      EXPECT_EQ(tick, 10) << "the sequence runs at the tenth tick only";
    }
  }
  EXPECT_EQ(finishes, 1);
  EXPECT_EQ(labels, (std::vector<std::string>{"10%", "20%", "30%", "40%", "50%", "60%", "70%", "80%", "90%",
                                              "100%"}));
  EXPECT_EQ(bars, (std::vector<int>{3, 4, 5, 6, 7, 8, 9, 10, 10, 10}));
  EXPECT_GE(bars.front(), ProgressRangeMin);

  // A tick that arrives while or after the sequence runs changes nothing and runs nothing.
  InstallTickActions late = InstallTick(&progress);
  EXPECT_FALSE(late.update);
  EXPECT_FALSE(late.finish);
}

TEST(InstallTicks, TimerAndRange) {
  EXPECT_EQ(ProgressTimer, 1000u);
  EXPECT_EQ(ProgressPeriod, 300u);
  EXPECT_EQ(ProgressRangeMin, 1);
  EXPECT_EQ(ProgressRangeMax, 10);
}

// Ticks until the page finishes, or -1 when it has not after `limit` ticks; `doneAt` is the tick
// from which the worker reports done (0 = never).
int FinishingTick(UninstallProgress progress, int doneAt, int limit, bool* showedName = nullptr) {
  bool shown = false;
  int finishedAt = -1;
  for (int tick = 1; tick <= limit; ++tick) {
    UninstallTickActions a = UninstallTick(&progress, doneAt != 0 && tick >= doneAt ? 1 : 0);
    shown = shown || a.showCurrentName;
    if (a.finish) {
      EXPECT_EQ(finishedAt, -1) << "the uninstall sequence runs once";
      finishedAt = tick;
    }
  }
  if (showedName) *showedName = shown;
  return finishedAt;
}

TEST(UninstallTicks, WithoutDecompressionTheSequenceRunsOnceAtTheTwelfthTick) {
  bool shown = true;
  EXPECT_EQ(FinishingTick(StartUninstallProgress(false, 0), 0, 40, &shown), 12);
  EXPECT_FALSE(shown);
  // Chosen, but the thread field is 0: no worker will ever report done, so the page goes on.
  EXPECT_EQ(FinishingTick(StartUninstallProgress(true, 0), 0, 40, &shown), 12);
  EXPECT_FALSE(shown);
}

TEST(UninstallTicks, WithDecompressionThePagePollsUntilTheWorkerIsDone) {
  const os::Handle thread = 0x1234;
  bool shown = false;
  EXPECT_EQ(FinishingTick(StartUninstallProgress(true, thread), 30, 60, &shown), 30);
  EXPECT_TRUE(shown);
  EXPECT_EQ(FinishingTick(StartUninstallProgress(true, thread), 0, 200), -1);
  // Done during the counting ticks: the sequence still waits for the twelfth.
  EXPECT_EQ(FinishingTick(StartUninstallProgress(true, thread), 1, 40), 12);

  UninstallProgress progress = StartUninstallProgress(true, thread);
  for (int tick = 1; tick <= 11; ++tick) EXPECT_TRUE(UninstallTick(&progress, 0).showCurrentName);
  EXPECT_TRUE(UninstallTick(&progress, 1).finish);
  UninstallTickActions late = UninstallTick(&progress, 1);
  EXPECT_FALSE(late.finish);
  EXPECT_FALSE(late.showCurrentName);
}

// ---------------------------------------------------------------------------------------------
// Cancel confirmation and restart prompt.

TEST(Prompts, CancelTextsAndCaptionsPerMode) {
  CancelPrompt install = CancelPromptFor(0);
  EXPECT_TRUE(install.ask);
  EXPECT_EQ(install.textId, 511u);
  EXPECT_EQ(install.captionId, 504u);
  CancelPrompt uninstall = CancelPromptFor(1);
  EXPECT_TRUE(uninstall.ask);
  EXPECT_EQ(uninstall.textId, 520u);
  EXPECT_EQ(uninstall.captionId, 512u);
  EXPECT_FALSE(CancelPromptFor(2).ask);
  EXPECT_FALSE(CancelPromptFor(-1).ask);
}

TEST(Prompts, RestartPromptRemovesTheUninstalledDirectoryWhateverTheAnswer) {
  EXPECT_EQ(RestartCaptionFor(0), 504u);
  EXPECT_EQ(RestartCaptionFor(1), 512u);
  // Files left for the restart: the finish page says the restart completes the work.
  EXPECT_EQ(RestartFinishBodyFor(0, true), 522u);
  EXPECT_EQ(RestartFinishBodyFor(1, true), 523u);
  EXPECT_EQ(RestartFinishBodyFor(0, false), 0u);
  EXPECT_EQ(RestartFinishBodyFor(1, false), 0u);

  FinishActions a = FinishActionsFor(1, false);
  EXPECT_TRUE(a.selfRemoval);
  EXPECT_FALSE(a.restart);
  a = FinishActionsFor(1, true);
  EXPECT_TRUE(a.selfRemoval);
  EXPECT_TRUE(a.restart);
  a = FinishActionsFor(0, true);
  EXPECT_FALSE(a.selfRemoval);
  EXPECT_TRUE(a.restart);
  a = FinishActionsFor(0, false);
  EXPECT_FALSE(a.selfRemoval);
  EXPECT_FALSE(a.restart);
}

// ---------------------------------------------------------------------------------------------
// Sheet layout.

TEST(Layout, PageFillsTheClientAreaAndTheSheetIsCentred) {
  // A sheet with a 3-pixel frame and a 19-pixel caption, client 497 x 377, separator at 327.
  LayoutRect sheet = {-3, -22, 500, 380};
  LayoutRect separator = {7, 327, 490, 329};
  LayoutRect page = {0, 0, 426, 257};
  SheetLayout layout = LayoutSheet(page, sheet, separator, 1024, 768);
  EXPECT_EQ(layout.width, 432);   // 426 + 2 x 3
  EXPECT_EQ(layout.height, 332);  // caption 22 + page 257 + the strip of 53 from the separator down
  EXPECT_EQ(layout.x, 296);
  EXPECT_EQ(layout.y, 218);
  EXPECT_EQ(layout.dx, 432 - 503);
  EXPECT_EQ(layout.dy, 332 - 402);
}

TEST(Layout, CentringRoundsTowardZeroOnSmallScreens) {
  LayoutRect sheet = {-3, -22, 500, 380};
  LayoutRect separator = {7, 327, 490, 329};
  LayoutRect page = {0, 0, 426, 257};
  SheetLayout layout = LayoutSheet(page, sheet, separator, 401, 301);
  EXPECT_EQ(layout.x, -15);  // -31 / 2
  EXPECT_EQ(layout.y, -15);
  // Nothing changes once the sheet has its size: a second page of the same size moves nothing.
  LayoutRect resized = {-3, -22, 429, 310};
  LayoutRect movedSeparator = {7 + layout.dx, 327 + layout.dy, 490 + layout.dx, 329 + layout.dy};
  SheetLayout again = LayoutSheet(page, resized, movedSeparator, 401, 301);
  EXPECT_EQ(again.width, layout.width);
  EXPECT_EQ(again.height, layout.height);
  EXPECT_EQ(again.dx, 0);
  EXPECT_EQ(again.dy, 0);
}

TEST(Layout, SystemMenuClearedInBothTemplateForms) {
  const std::uint32_t style = 0x80000000 | 0x00C00000 | 0x00080000 | 0x80;  // popup, caption, sysmenu, modal frame
  const std::uint32_t expected = style & ~0x00080000u;

  unsigned char classic[18] = {};
  std::memcpy(classic, &style, 4);
  classic[8] = 3;  // cdit
  ClearSystemMenu(classic);
  std::uint32_t after;
  std::memcpy(&after, classic, 4);
  EXPECT_EQ(after, expected);
  EXPECT_EQ(classic[8], 3);

  unsigned char extended[26] = {1, 0, 0xFF, 0xFF, 7, 0, 0, 0, 0x10, 0, 0, 0};
  std::memcpy(extended + 12, &style, 4);
  ClearSystemMenu(extended);
  std::memcpy(&after, extended + 12, 4);
  EXPECT_EQ(after, expected);
  const unsigned char header[12] = {1, 0, 0xFF, 0xFF, 7, 0, 0, 0, 0x10, 0, 0, 0};
  EXPECT_EQ(std::memcmp(extended, header, 12), 0) << "version, signature, help id and extended style unchanged";
}

}  // namespace
