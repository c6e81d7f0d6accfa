// Every OS call the cycle makes can fail; none of those failures may end the cycle halfway,
// leak a handle or leave the service unable to run the next cycle normally.
#include "tests/service/service_fixture.h"

namespace {

using namespace testutil;

const char* const CycleCalls[] = {
    "GetDriveTypeW",     "GetFileAttributesW",         "GetVolumeInformationW",  "QueryDosDeviceW",
    "GetDiskFreeSpaceExW", "CreateFileW",              "WriteFile",              "DeviceIoControl",
    "NtCreateFile",      "GetFileSizeEx",              "GetFileTime",            "GetFileInformationByHandleEx",
    "GetFileInformationByHandle", "GetVolumeInformationByHandleW", "CloseHandle",           "GetModuleFileNameW",     "GetModuleHandleW",
    "FilterConnectCommunicationPort", "FilterSendMessage", "OutputDebugStringW",
};

class CycleFaults : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    sim::AddDrive(u'C');
    sim::AddDrive(u'D');
    sim::CreateFilterPort();
    for (int i = 0; i < 6; ++i) {
      std::u16string n(1, char16_t(u'a' + i));
      sim::AddFile(u'C', Stale(n + u".txt", 20000));
      sim::AddFile(u'D', Recent(n + u".doc", 20000, 0x20 | os::FileAttributeCompressed));
    }
  }
  void Disconnect() {
    if (Service.FilterPort != os::NullHandle) os::CloseHandle(Service.FilterPort);
    Service.FilterPort = os::NullHandle;
  }
};

TEST_F(CycleFaults, EveryCallFailingAlwaysLeavesTheCycleRunning) {
  for (const char* call : CycleCalls) {
    SCOPED_TRACE(call);
    std::size_t handles = sim::OpenHandleCount();
    ASSERT_TRUE(sim::Fail(call)) << call;
    RunCycle();
    Disconnect();
    sim::ClearFaults();
    if (std::string(call) != "OutputDebugStringW") {
      EXPECT_EQ(sim::DebugLines().back(), u"----- Compress Filter Thread End\n");
    }
    if (std::string(call) != "CloseHandle") {
      EXPECT_EQ(sim::OpenHandleCount(), handles);
    }
    // The next cycle runs normally.
    sim::ClearDebugLines();
    RunCycle();
    Disconnect();
    EXPECT_TRUE(HasLineStartingWith(u"----- D: Compress End")) << call;
    EXPECT_EQ(+ReadStats().Valid, 1);
  }
}

TEST_F(CycleFaults, SingleFailuresAnywhereInTheCycleAreAbsorbed) {
  for (const char* call : CycleCalls) {
    for (std::uint64_t nth : {1, 2, 5}) {
      SCOPED_TRACE(std::string(call) + " #" + std::to_string(nth));
      std::size_t handles = sim::OpenHandleCount();
      ASSERT_TRUE(sim::Fail(call, {nth}));
      RunCycle();
      Disconnect();
      sim::ClearFaults();
      if (std::string(call) != "CloseHandle") {
        EXPECT_EQ(sim::OpenHandleCount(), handles);
      }
    }
  }
  sim::ClearDebugLines();
  RunCycle();
  EXPECT_EQ(sim::DebugLines().back(), u"----- Compress Filter Thread End\n");
}

TEST_F(CycleFaults, FailedCompressionSavesNothing) {
  sim::Fail("DeviceIoControl", {sim::EveryCall, os::FsctlSetCompression});
  std::int64_t saved = CompressVolume(u"C:", Service.Control);
  EXPECT_EQ(saved, 0);
  EXPECT_EQ(Service.Control.CycleSaved, 0);
}

TEST_F(CycleFaults, UnreadableCompressedSizeOrFileIdentityCountsNothing) {
  // Without the file's own information, or the volume's serial to check it against, no file is
  // handled; without the compressed size, none is counted.
  for (const char* call : {"GetFileInformationByHandleEx", "GetFileInformationByHandle", "GetVolumeInformationByHandleW"}) {
    SCOPED_TRACE(call);
    sim::Fail(call);
    EXPECT_EQ(CompressVolume(u"C:", Service.Control), 0);
    sim::ClearFaults();
  }
  EXPECT_GT(CompressVolume(u"C:", Service.Control), 0);
}

}  // namespace
