// The service control manager's dispatcher: ServiceMain on its own thread, controls delivered
// on the dispatcher's thread, return once the service has stopped.
#include <atomic>
#include <thread>

#include "tests/sim/sim_test_util.h"

namespace {

using namespace simtest;

// A minimal service of its own process, written the way a real one is.
struct TestService {
  os::Handle status = os::NullHandle;
  os::Handle worker = os::NullHandle;
  std::atomic<bool> stop{false};
  std::atomic<bool> stopPendingReported{false};
  std::thread::id handlerThread;
  std::thread::id mainThread;
  std::u16string argv0;
};
TestService* service = nullptr;

void Report(std::uint32_t state, std::uint32_t accepted) {
  os::ServiceStatus s{os::ServiceWin32OwnProcess, state, accepted, 0, 0, 0, 0};
  os::SetServiceStatus(service->status, &s);
}

std::uint32_t Worker(void*) {
  while (!service->stop) os::Sleep(1000);
  return 0;
}

void Handler(std::uint32_t control) {
  service->handlerThread = std::this_thread::get_id();
  if (control == os::ServiceControlStop) {
    service->stop = true;
    os::WaitForSingleObject(service->worker, os::Infinite);
    Report(os::ServiceStopPending, 0);
    service->stopPendingReported = true;
  }
}

void Main(std::uint32_t argc, char16_t** argv) {
  service->mainThread = std::this_thread::get_id();
  if (argc > 0) service->argv0 = argv[0];
  service->status = os::RegisterServiceCtrlHandlerW(u"myService", Handler);
  if (!service->status) return;
  Report(os::ServiceStartPending, 0);
  Report(os::ServiceRunning, os::ServiceAcceptStop | os::ServiceAcceptShutdown);
  service->worker = os::CreateThread(Worker, nullptr, nullptr);
  os::WaitForSingleObject(service->worker, os::Infinite);
  os::CloseHandle(service->worker);
  while (!service->stopPendingReported) std::this_thread::yield();   // stopped comes last
  Report(os::ServiceStopped, 0);
}

class Dispatcher : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    service = &state_;
  }
  void TearDown() override {
    if (program_.joinable()) {
      sim::Resume();
      sim::SendServiceControl(os::ServiceControlStop);
      program_.join();
    }
    service = nullptr;
    SimTest::TearDown();
  }
  void Start() {
    program_ = std::thread([this] {
      programThread_ = std::this_thread::get_id();
      const os::ServiceTableEntry table[] = {{u"myService", Main}, {nullptr, nullptr}};
      result_ = os::StartServiceCtrlDispatcherW(table);
      error_ = os::GetLastError();
    });
  }

  TestService state_;
  std::thread program_;
  std::thread::id programThread_;
  bool result_ = false;
  std::uint32_t error_ = 0;
};

TEST_F(Dispatcher, RunsTheServiceAndDeliversControlsOnItsOwnThread) {
  Start();
  ASSERT_TRUE(sim::WaitForServiceState(os::ServiceRunning));
  EXPECT_EQ(sim::ServiceHandlerName(), u"myService");
  EXPECT_EQ(state_.argv0, u"myService");
  EXPECT_TRUE(sim::DispatcherRunning());
  EXPECT_TRUE(sim::ServiceAcceptsControl(os::ServiceControlStop));
  EXPECT_FALSE(sim::ServiceAcceptsControl(os::ServiceControlPause));

  ASSERT_TRUE(sim::SendServiceControl(os::ServiceControlInterrogate));
  ASSERT_TRUE(sim::SendServiceControl(os::ServiceControlStop));
  ASSERT_TRUE(sim::WaitForDispatcherReturn());
  program_.join();
  EXPECT_TRUE(result_);
  EXPECT_EQ(state_.handlerThread, programThread_) << "the handler runs on the dispatcher's thread";
  EXPECT_NE(state_.mainThread, programThread_);
  EXPECT_EQ(sim::HandledControls(),
            (std::vector<std::uint32_t>{os::ServiceControlInterrogate, os::ServiceControlStop}));
  std::vector<std::uint32_t> states;
  for (const os::ServiceStatus& s : sim::ServiceStatuses()) states.push_back(s.dwCurrentState);
  EXPECT_EQ(states, (std::vector<std::uint32_t>{os::ServiceStartPending, os::ServiceRunning, os::ServiceStopPending,
                                                os::ServiceStopped}));
  EXPECT_FALSE(sim::DispatcherRunning());
  EXPECT_FALSE(sim::SendServiceControl(os::ServiceControlStop));
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(Dispatcher, StopThenResumeLetsTheHandlerActFirst) {
  // The worker is paused mid-sleep; the stop must be seen at its very next check.
  sim::PauseAt(sim::Now() + 10 * sim::Minute);
  Start();
  ASSERT_TRUE(sim::WaitUntilPaused());
  const os::FileTime pausedAt = sim::Now();
  ASSERT_TRUE(sim::SendServiceControl(os::ServiceControlStop));
  sim::Resume();
  ASSERT_TRUE(sim::WaitForDispatcherReturn());
  program_.join();
  EXPECT_EQ(sim::Now(), pausedAt) << "the worker saw the stop at its next check, without sleeping again";
}

TEST_F(Dispatcher, NotStartedByTheServiceManager) {
  ASSERT_TRUE(sim::Fail("StartServiceCtrlDispatcherW", {sim::EveryCall, 0, os::ErrorFailedServiceControllerConnect}));
  Start();
  program_.join();
  EXPECT_FALSE(result_);
  EXPECT_EQ(error_, os::ErrorFailedServiceControllerConnect);
  EXPECT_TRUE(sim::ServiceStatuses().empty());
}

TEST_F(Dispatcher, FailedRegistrationLeavesTheDispatcherToTheManager) {
  ASSERT_TRUE(sim::Fail("RegisterServiceCtrlHandlerW"));
  Start();
  ASSERT_TRUE(sim::WaitForServiceMainReturn());
  EXPECT_TRUE(sim::DispatcherRunning()) << "no stopped report yet";
  EXPECT_TRUE(sim::ServiceHandlerName().empty());
  sim::EndDispatcher();
  ASSERT_TRUE(sim::WaitForDispatcherReturn());
  program_.join();
  EXPECT_TRUE(sim::ServiceStatuses().empty());
}

TEST_F(Dispatcher, RegistrationOutsideADispatcherFails) {
  EXPECT_EQ(os::RegisterServiceCtrlHandlerW(u"myService", Handler), os::NullHandle);
  EXPECT_EQ(os::GetLastError(), os::ErrorFailedServiceControllerConnect);
  os::ServiceStatus s{};
  EXPECT_FALSE(os::SetServiceStatus(0x1234, &s));
}

TEST_F(Dispatcher, ExitProcessClosesWhatTheProgramLeftOpen) {
  sim::AddDrive(u'C');
  sim::CreateFilterPort();
  os::Handle port = os::NullHandle;
  ASSERT_EQ(os::FilterConnectCommunicationPort(u"\\OmbrixPort", 0, nullptr, 0, &port), 0);
  OpenVolume();
  os::Key key = 0;
  ASSERT_EQ(os::RegCreateKeyW(os::HkeyCurrentUser, u"Software\\X", &key), 0);
  EXPECT_EQ(sim::OpenHandleCount(), 2u);
  sim::ExitProcess();
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
  EXPECT_EQ(sim::OpenKeyCount(), 0u);
  EXPECT_EQ(sim::PortConnectionCount(), 0u);
  EXPECT_EQ(sim::PortEvents().back().kind, sim::PortEvent::Kind::Disconnect);
}

}  // namespace
