// The simulated clock, pauses at a moment or a call, hooks, threads and the per-thread last error.
#include <atomic>
#include <thread>

#include "tests/sim/sim_test_util.h"

namespace {

using namespace simtest;

class Clock : public SimTest {};

os::FileTime SystemTime() {
  os::FileTime now = 0;
  os::GetSystemTimeAsFileTime(&now);
  return now;
}

TEST_F(Clock, SleepAdvancesTheClockWithoutWaiting) {
  EXPECT_EQ(SystemTime(), sim::DefaultStartTime);
  for (int i = 0; i < 3600; ++i) os::Sleep(1000);   // an hour, in steps of a second
  EXPECT_EQ(SystemTime(), sim::DefaultStartTime + sim::Hour);
  sim::SetTime(42);
  os::Sleep(0);
  EXPECT_EQ(SystemTime(), 42u);
  sim::AdvanceTime(sim::Day);
  EXPECT_EQ(sim::Now(), 42 + sim::Day);
}

// A worker that sleeps in one-second steps until told to stop, like the service's.
std::atomic<bool> stopFlag{false};
std::uint32_t SecondSleeper(void*) {
  while (!stopFlag) os::Sleep(1000);
  return 7;
}

TEST_F(Clock, PauseAtStopsTheSleeperExactlyAtTheMoment) {
  stopFlag = false;
  const os::FileTime moment = sim::Now() + 30 * sim::Minute + 500 * sim::Millisecond;
  sim::PauseAt(moment);
  std::uint32_t id = 0;
  os::Handle thread = os::CreateThread(SecondSleeper, nullptr, &id);
  ASSERT_NE(thread, os::NullHandle);
  EXPECT_NE(id, 0u);
  ASSERT_TRUE(sim::WaitUntilPaused());
  EXPECT_EQ(sim::Now(), moment) << "advanced to the moment, not past it";
  EXPECT_EQ(os::WaitForSingleObject(thread, 0), os::WaitTimeout);
  stopFlag = true;
  sim::Resume();
  EXPECT_EQ(os::WaitForSingleObject(thread, os::Infinite), os::WaitObject0);
  EXPECT_EQ(sim::Now(), moment + 500 * sim::Millisecond) << "the paused sleep finishes its second";
  EXPECT_EQ(sim::LiveThreadCount(), 0u);
  EXPECT_TRUE(os::CloseHandle(thread));
  EXPECT_EQ(os::WaitForSingleObject(thread, 0), os::WaitFailed);
}

TEST_F(Clock, PauseOnTheNthCallAndCountCalls) {
  sim::AddDrive(u'C');
  ASSERT_TRUE(sim::PauseOnCall("GetDriveTypeW", 3));
  std::atomic<int> done{0};
  std::thread caller([&] {
    for (int i = 0; i < 5; ++i) {
      os::GetDriveTypeW(u"C:");
      ++done;
    }
  });
  ASSERT_TRUE(sim::WaitUntilPaused());
  EXPECT_EQ(done.load(), 2) << "paused on entry to the third call";
  EXPECT_EQ(sim::CallCount("GetDriveTypeW"), 3u);
  sim::Resume();
  EXPECT_TRUE(sim::WaitForCallCount("GetDriveTypeW", 5));
  EXPECT_FALSE(sim::WaitForCallCount("GetDriveTypeW", 6, 50)) << "there is no sixth call";
  caller.join();
  EXPECT_EQ(done.load(), 5);
  EXPECT_FALSE(sim::IsPaused());
  EXPECT_FALSE(sim::PauseOnCall("NoSuchCall", 1));
}

TEST_F(Clock, HooksRunOnTheCallingThreadAndMayUseTheSeam) {
  sim::AddDrive(u'C');
  std::vector<std::uint64_t> numbers;
  std::thread::id hookThread;
  ASSERT_TRUE(sim::OnCall(
      "DeviceIoControl",
      [&](std::uint64_t n) {
        numbers.push_back(n);
        hookThread = std::this_thread::get_id();
        os::Sleep(5000);   // a hook may call into the seam
      },
      os::FsctlQueryUsnJournal));
  os::Handle volume = OpenVolume();
  std::uint8_t out[64];
  std::uint32_t returned = 0;
  os::DeviceIoControl(volume, os::FsctlQueryUsnJournal, nullptr, 0, out, 64, &returned);
  os::DeviceIoControl(volume, os::FsctlGetCompression, nullptr, 0, out, 2, &returned);
  os::DeviceIoControl(volume, os::FsctlQueryUsnJournal, nullptr, 0, out, 64, &returned);
  EXPECT_EQ(numbers, (std::vector<std::uint64_t>{1, 2})) << "only the filtered control code";
  EXPECT_EQ(hookThread, std::this_thread::get_id());
  EXPECT_EQ(sim::Now(), sim::DefaultStartTime + 10 * sim::Second);
  ASSERT_TRUE(sim::OnCall("DeviceIoControl", nullptr));
  os::DeviceIoControl(volume, os::FsctlQueryUsnJournal, nullptr, 0, out, 64, &returned);
  EXPECT_EQ(numbers.size(), 2u);
  os::CloseHandle(volume);
}

std::uint32_t SetsItsOwnError(void* parameter) {
  auto* seen = static_cast<std::uint32_t*>(parameter);
  os::GetDriveTypeW(nullptr);
  os::CloseHandle(0x9990);   // fails: ERROR_INVALID_HANDLE on this thread only
  *seen = os::GetLastError();
  return 0;
}

TEST_F(Clock, LastErrorBelongsToEachThread) {
  os::GetModuleHandleW(u"nothere.dll");
  const std::uint32_t mine = os::GetLastError();
  EXPECT_EQ(mine, 126u);
  std::uint32_t theirs = 0;
  os::Handle thread = os::CreateThread(SetsItsOwnError, &theirs, nullptr);
  ASSERT_EQ(os::WaitForSingleObject(thread, os::Infinite), os::WaitObject0);
  os::CloseHandle(thread);
  EXPECT_EQ(theirs, os::ErrorInvalidHandle);
  EXPECT_EQ(os::GetLastError(), mine);
}

TEST_F(Clock, ModuleQueriesReportTheExecutable) {
  os::Handle module = os::GetModuleHandleW(nullptr);
  ASSERT_NE(module, os::NullHandle);
  char16_t path[260];
  const std::u16string full(sim::DefaultModulePath);
  ASSERT_EQ(os::GetModuleFileNameW(module, path, 260), full.size());
  EXPECT_EQ(std::u16string(path), full);
  // Too small: cut, terminated, the capacity returned, ERROR_INSUFFICIENT_BUFFER.
  char16_t small[8];
  EXPECT_EQ(os::GetModuleFileNameW(module, small, 8), 8u);
  EXPECT_EQ(std::u16string(small), full.substr(0, 7));
  EXPECT_EQ(os::GetLastError(), os::ErrorInsufficientBuffer);
  EXPECT_EQ(os::GetModuleHandleW(u"OMBRIX_SERVICE.EXE"), module);

  sim::SetModulePath(u"D:\\x\\y.exe");
  ASSERT_EQ(os::GetModuleFileNameW(os::NullHandle, path, 260), 10u);
  EXPECT_EQ(std::u16string(path), u"D:\\x\\y.exe");

  os::OsVersionInfo info{};
  EXPECT_FALSE(os::GetVersionExW(&info)) << "the size field must be set";
  info.dwOSVersionInfoSize = sizeof(info);
  ASSERT_TRUE(os::GetVersionExW(&info));
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  sim::SetWindowsVersion(10, 0);
  ASSERT_TRUE(os::GetVersionExW(&info));
  EXPECT_EQ(info.dwMajorVersion, 10u);
  EXPECT_EQ(info.dwBuildNumber, 19045u);
}

TEST_F(Clock, DebugLinesAreCapturedInOrder) {
  os::OutputDebugStringW(u"one");
  os::OutputDebugStringW(u"two\n");
  EXPECT_EQ(sim::DebugLines(), (std::vector<std::u16string>{u"one", u"two\n"}));
  sim::ClearDebugLines();
  EXPECT_TRUE(sim::DebugLines().empty());
}

}  // namespace
