// The service process as the service manager sees it: status reports, controls, the hourly
// schedule on the simulated clock, and stops at every moment of the worker's life.
#include <chrono>
#include <thread>

#include "tests/service/service_fixture.h"

namespace {

using namespace testutil;

const std::u16string ExplorerKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced";

class ServiceHost : public ServiceTest {
 protected:
  void Start() {
    main_ = std::thread([this] { exitCode_ = ServiceProgramMain(); });
    ASSERT_TRUE(sim::WaitForServiceState(os::ServiceRunning));
  }
  // Sends a stop and lets the service finish; returns the simulated time the stop took.
  void StopAndJoin() {
    ASSERT_TRUE(sim::SendServiceControl(os::ServiceControlStop));
    if (sim::IsPaused()) sim::Resume();
    ASSERT_TRUE(sim::WaitForDispatcherReturn());
    main_.join();
  }
  void TearDown() override {
    if (main_.joinable()) {
      sim::Resume();
      sim::SendServiceControl(os::ServiceControlStop);
      main_.join();
    }
    ServiceTest::TearDown();
  }
  std::vector<std::uint32_t> States() {
    std::vector<std::uint32_t> states;
    for (const auto& s : sim::ServiceStatuses()) states.push_back(s.dwCurrentState);
    return states;
  }

  std::thread main_;
  int exitCode_ = -1;
};

TEST_F(ServiceHost, StopDuringTheFirstHourEndsWithinOneSimulatedSecond) {
  sim::AddDrive(u'C');
  const sim::FileTime stopAt = sim::Now() + 30 * sim::Minute;
  sim::PauseAt(stopAt);
  // A handler slow to report (real time) must not make the stop take longer on the service's clock.
  sim::OnCall("SetServiceStatus", [](std::uint64_t) { std::this_thread::sleep_for(std::chrono::milliseconds(30)); });
  Start();
  ASSERT_TRUE(sim::WaitUntilPaused());
  StopAndJoin();
  EXPECT_LE(sim::Now() - stopAt, sim::Second);
  EXPECT_EQ(exitCode_, 0);
  EXPECT_FALSE(sim::FileExists(StatsPath)) << "no cycle ran, so the service wrote no file";
  EXPECT_FALSE(HasLine(u"----- Compress Filter Thread Start"));
  EXPECT_EQ(States(), (std::vector<std::uint32_t>{os::ServiceStartPending, os::ServiceRunning,
                                                  os::ServiceStopPending, os::ServiceStopped}));
  EXPECT_EQ(sim::ServiceHandlerName(), u"myService");
  auto lines = sim::DebugLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], u"Ombrix Running ...");
  EXPECT_EQ(lines[1], u"NTFSTYPE_WIN7");
  EXPECT_EQ(lines[2], u"Not find VarnFilter Service");
  EXPECT_EQ(lines[3], u"Ombrix Stop");
  EXPECT_EQ(sim::LiveThreadCount(), 0u);
}

// A stop that reaches the handler while ServiceMain or the starting worker is at any of its steps
// ends in the same order, and nothing reaches the filter after the stop-pending report.
TEST_F(ServiceHost, StopAtEveryStepEndsInOrderWithNothingSentAfterIt) {
  struct Step {
    const char* function;
    std::uint64_t nth;
    bool workerBegan;   // the worker has claimed its run before the stop arrives
  } steps[] = {
      {"CreateThread", 1, false},          // running reported, no worker yet
      {"WaitForSingleObject", 1, true},    // ServiceMain about to wait; the worker runs on meanwhile
      {"GetVersionExW", 1, true},          // the worker classifies the Windows version
      {"FilterConnectCommunicationPort", 1, true},
      {"FilterSendMessage", 1, true},
      {"Sleep", 1, true},                  // the first second of the hour
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.function);
    sim::Reset();
    ResetServiceState();
    sim::AddDrive(u'C');
    sim::CreateFilterPort();
    std::size_t portEventsAtStopPending = ~std::size_t(0);
    sim::OnCall("SetServiceStatus", [&](std::uint64_t call) {
      if (call == 3) portEventsAtStopPending = sim::PortEvents().size();
    });
    ASSERT_TRUE(sim::PauseOnCall(step.function, step.nth));
    main_ = std::thread([this] { exitCode_ = ServiceProgramMain(); });
    ASSERT_TRUE(sim::WaitUntilPaused());
    ASSERT_TRUE(sim::ServiceAcceptsControl(os::ServiceControlStop)) << "the SCM would pass the stop on";
    StopAndJoin();
    sim::OnCall("SetServiceStatus", nullptr);

    EXPECT_EQ(States(), (std::vector<std::uint32_t>{os::ServiceStartPending, os::ServiceRunning,
                                                    os::ServiceStopPending, os::ServiceStopped}));
    EXPECT_EQ(sim::PortEvents().size(), portEventsAtStopPending) << "nothing reached the filter after the stop";
    if (!step.workerBegan) {
      EXPECT_TRUE(sim::PortEvents().empty());
      EXPECT_FALSE(HasLine(u"NTFSTYPE_WIN7")) << "a worker stopped before it began does nothing";
    }
    EXPECT_EQ(CountLines(u"Ombrix Stop"), 1);
    EXPECT_EQ(sim::LiveThreadCount(), 0u);
  }
}

TEST_F(ServiceHost, RunningStatusAcceptsStopAndShutdownOnly) {
  Start();
  auto statuses = sim::ServiceStatuses();
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(statuses[0].dwControlsAccepted, 0u);
  EXPECT_EQ(statuses[1].dwControlsAccepted, 5u);
  EXPECT_EQ(statuses[1].dwServiceType, 0x10u);
  StopAndJoin();
  EXPECT_EQ(sim::ServiceStatuses().back().dwControlsAccepted, 0u);
}

TEST_F(ServiceHost, FirstCycleComesAfterAnHourAndTheNextAnHourAfterItEnded) {
  sim::AddDrive(u'C');
  sim::CreateFilterPort();
  const sim::FileTime started = sim::Now();
  sim::PauseAt(started + 2 * sim::Hour + 30 * sim::Minute);
  Start();
  ASSERT_TRUE(sim::WaitUntilPaused());
  EXPECT_EQ(CountLines(u"----- Compress Filter Thread Start"), 2);
  StatsRecord record = ReadStats();
  EXPECT_EQ(+record.Valid, 1);
  EXPECT_GE(StatsUpdatedAt(record), started + 2 * sim::Hour);
  // Connect at start, then per cycle: disconnect before, connect and send after.
  auto events = sim::PortEvents();
  std::vector<sim::PortEvent::Kind> kinds;
  for (const auto& e : events) kinds.push_back(e.kind);
  using K = sim::PortEvent::Kind;
  EXPECT_EQ(kinds, (std::vector<K>{K::Connect, K::Message, K::Disconnect, K::Connect, K::Message, K::Disconnect,
                                   K::Connect, K::Message}));
  EXPECT_EQ(events[2].time, started + sim::Hour);
  StopAndJoin();
  EXPECT_EQ(sim::PortConnectionCount(), 1u) << "the connection stays open until the process ends";
  sim::ExitProcess();
  EXPECT_EQ(sim::PortConnectionCount(), 0u);
}

TEST_F(ServiceHost, StopMidCycleLeavesFileAndRecordAndDoesNotReconnect) {
  sim::AddDrive(u'C');
  sim::CreateFilterPort();
  for (int i = 0; i < 20; ++i) sim::AddFile(u'C', Stale(u"f" + std::u16string(1, char16_t(u'a' + i)) + u".txt", 9000));
  sim::PauseAt(sim::Now() + 90 * sim::Minute);   // after the first cycle
  Start();
  ASSERT_TRUE(sim::WaitUntilPaused());
  auto before = sim::FileBytes(StatsPath);
  ASSERT_TRUE(before.has_value());
  StatsRecord published = Service.Published;
  std::size_t eventsBefore = sim::PortEvents().size();

  // Stop while the second cycle's pass opens its fifth file.
  std::uint64_t opened = sim::CallCount("NtCreateFile");
  ASSERT_TRUE(sim::PauseOnCall("NtCreateFile", 5));
  sim::Resume();
  ASSERT_TRUE(sim::WaitUntilPaused());
  EXPECT_EQ(sim::CallCount("NtCreateFile"), opened + 5);
  StopAndJoin();

  EXPECT_EQ(*sim::FileBytes(StatsPath), *before);
  EXPECT_EQ(std::memcmp(&Service.Published, &published, sizeof(published)), 0);
  auto events = sim::PortEvents();
  ASSERT_EQ(events.size(), eventsBefore + 1);
  EXPECT_EQ(events.back().kind, sim::PortEvent::Kind::Disconnect) << "closed before the cycle, never reopened";
  EXPECT_EQ(CountLines(u"----- Compress Filter Thread End\n"), 2);
  EXPECT_EQ(CountLines(u"----- Compress Filter Thread Start"), 2);
  int totals = 0;
  for (const auto& line : sim::DebugLines()) totals += line.rfind(u"Total = ", 0) == 0;
  EXPECT_EQ(totals, 1) << "only the completed first cycle totals";
  int drives = 0;
  for (const auto& line : sim::DebugLines()) drives += line.rfind(u"C: = ", 0) == 0;
  EXPECT_EQ(drives, 1) << "the aborted pass's drive gets no line";
  EXPECT_EQ(CountLines(u"Ombrix Stop"), 1);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(ServiceHost, PauseContinueAndInterrogateReportNothing) {
  Start();
  std::size_t reports = sim::ServiceStatuses().size();
  for (std::uint32_t control : {os::ServiceControlPause, os::ServiceControlContinue, os::ServiceControlInterrogate}) {
    ASSERT_TRUE(sim::SendServiceControl(control));
  }
  while (sim::HandledControls().size() < 3) std::this_thread::yield();
  EXPECT_EQ(sim::ServiceStatuses().size(), reports);
  StopAndJoin();
}

TEST_F(ServiceHost, ShutdownStopsLikeStop) {
  Start();
  ASSERT_TRUE(sim::SendServiceControl(os::ServiceControlShutdown));
  ASSERT_TRUE(sim::WaitForDispatcherReturn());
  main_.join();
  EXPECT_EQ(States().back(), os::ServiceStopped);
  EXPECT_TRUE(HasLine(u"Ombrix Stop"));
}

TEST_F(ServiceHost, ExplorerColourSettingIsKeptAtZero) {
  // Missing: created with 0.
  Start();
  StopAndJoin();
  EXPECT_EQ(sim::GetRegDword(os::HkeyCurrentUser, ExplorerKey, u"ShowCompColor"), 0u);

  // Already 0: not written again.
  sim::Reset();
  sim::SetRegDword(os::HkeyCurrentUser, ExplorerKey, u"ShowCompColor", 0);
  Start();
  StopAndJoin();
  EXPECT_EQ(sim::CallCount("RegSetValueExW"), 0u);

  // 1: rewritten to 0.
  sim::Reset();
  sim::SetRegDword(os::HkeyCurrentUser, ExplorerKey, u"ShowCompColor", 1);
  Start();
  StopAndJoin();
  EXPECT_EQ(sim::GetRegDword(os::HkeyCurrentUser, ExplorerKey, u"ShowCompColor"), 0u);
  EXPECT_EQ(sim::OpenKeyCount(), 0u);
}

TEST_F(ServiceHost, RegistryFailuresDoNotStopTheService) {
  sim::Fail("RegOpenKeyW");
  sim::Fail("RegCreateKeyW");
  Start();
  StopAndJoin();
  EXPECT_EQ(States().back(), os::ServiceStopped);
}

TEST_F(ServiceHost, StartedOutsideTheServiceManagerReturnsTheDispatcherError) {
  sim::Fail("StartServiceCtrlDispatcherW", {sim::EveryCall, 0, os::ErrorFailedServiceControllerConnect});
  EXPECT_EQ(ServiceProgramMain(), int(os::ErrorFailedServiceControllerConnect));
  EXPECT_TRUE(sim::DebugLines().empty());
}

TEST_F(ServiceHost, FailedHandlerRegistrationReportsNothing) {
  sim::Fail("RegisterServiceCtrlHandlerW");
  main_ = std::thread([this] { exitCode_ = ServiceProgramMain(); });
  ASSERT_TRUE(sim::WaitForServiceMainReturn());
  sim::EndDispatcher();
  main_.join();
  EXPECT_TRUE(sim::ServiceStatuses().empty());
  EXPECT_EQ(sim::LiveThreadCount(), 0u);
}

TEST_F(ServiceHost, WorkerThatCannotStartStopsAtOnce) {
  sim::Fail("CreateThread");
  main_ = std::thread([this] { exitCode_ = ServiceProgramMain(); });
  ASSERT_TRUE(sim::WaitForDispatcherReturn());
  main_.join();
  EXPECT_EQ(States(), (std::vector<std::uint32_t>{os::ServiceStartPending, os::ServiceRunning, os::ServiceStopped}));
  EXPECT_TRUE(HasLine(u"Ombrix Stop"));
}

// A user's own file under an oplock or lease whose break the user never acknowledges. Selecting
// it breaks nothing; only the open to change it asks for a break, and that open does not wait:
// the file is left as it is, the cycle finishes and reconnects the filter, and a stop that comes
// while the pass is at the file ends the service.
struct OplockCase {
  sim::OplockLevel level;
  bool recentlyUsed;   // a compressed file to restore, else a stale one to compress
};

class OplockedFile : public ServiceHost, public ::testing::WithParamInterface<OplockCase> {};

std::string CaseName(const ::testing::TestParamInfo<OplockCase>& info) {
  static const char* const levels[] = {"Level1", "Batch", "Filter", "Level2", "Read", "ReadHandle", "ReadWrite",
                                       "ReadWriteHandle"};
  return std::string(levels[int(info.param.level)]) + (info.param.recentlyUsed ? "OnRecentFile" : "OnStaleFile");
}

TEST_P(OplockedFile, NeverStallsTheCycleOrAStop) {
  sim::AddDrive(u'C');
  sim::CreateFilterPort();
  auto spec = [&](std::u16string name) {
    return GetParam().recentlyUsed ? Recent(std::move(name), 1 << 20, 0x20 | os::FileAttributeCompressed)
                                   : Stale(std::move(name), 1 << 20);
  };
  auto mine = sim::AddFile(u'C', spec(u"mine.txt"));
  auto other = sim::AddFile(u'C', spec(u"other.txt"));
  sim::HoldId hold = sim::HoldOpen(u'C', mine, os::GenericRead | os::GenericWrite, os::FileShareRead | os::FileShareWrite);
  ASSERT_TRUE(sim::GrantOplock(hold, GetParam().level));
  const sim::FileInfo before = sim::VolumeFile(u'C', mine);

  sim::PauseAt(sim::Now() + 90 * sim::Minute);   // after the first cycle
  Start();
  ASSERT_TRUE(sim::WaitUntilPaused());
  EXPECT_TRUE(sim::FileExists(StatsPath)) << "the first cycle completed";
  EXPECT_EQ(sim::PortConnectionCount(), 1u) << "and connected the filter again";
  EXPECT_NE(sim::VolumeFile(u'C', other).compressed(), before.compressed()) << "the other file was handled";

  // The second cycle: the stop arrives as the pass opens the user's file to change it.
  ASSERT_TRUE(sim::PauseOnCall("NtCreateFile", 2));
  sim::Resume();
  ASSERT_TRUE(sim::WaitUntilPaused());
  StopAndJoin();
  EXPECT_EQ(States().back(), os::ServiceStopped);
  EXPECT_EQ(CountLines(u"----- Compress Filter Thread End\n"), 2);
  EXPECT_EQ(sim::PortConnectionCount(), 0u) << "the stopped cycle did not connect the filter again";

  EXPECT_TRUE(sim::OplockWaits().empty()) << Narrow(sim::OplockWaits().front());
  const sim::FileInfo after = sim::VolumeFile(u'C', mine);
  EXPECT_EQ(after.compressed(), before.compressed());
  EXPECT_EQ(after.allocated, before.allocated);
  EXPECT_EQ(after.usn, before.usn);
  EXPECT_EQ(after.lastAccess, before.lastAccess);
  EXPECT_TRUE(sim::Oplock(u'C', mine).held);
  sim::ReleaseHold(hold);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    UserOplocks, OplockedFile,
    ::testing::Values(OplockCase{sim::OplockLevel::Batch, false}, OplockCase{sim::OplockLevel::Batch, true},
                      OplockCase{sim::OplockLevel::Level1, false}, OplockCase{sim::OplockLevel::Filter, true},
                      OplockCase{sim::OplockLevel::ReadWriteHandle, false},
                      OplockCase{sim::OplockLevel::ReadWriteHandle, true}),
    CaseName);

}  // namespace
