// The two ends of the port together: the bytes the service sends after it has looked at the
// drives are what the driver receives, and they make it watch exactly those volumes.
#include <gtest/gtest.h>

#include <cstring>

#include "Ombrix_Service/service.h"
#include "filter.h"
#include "os/sim/sim.h"
#include "sim/fltsim.h"

namespace {

constexpr LONGLONG Hour = 36000000000LL;
constexpr LONGLONG Now = 1000 * Hour;

class ServiceToFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    ResetServiceState();
    fltsim::Reset();
    fltsim::SetSystemTime(Now);
    ASSERT_EQ(fltsim::LoadDriver(), STATUS_SUCCESS);
  }
  void TearDown() override {
    fltsim::UnloadDriver();
    EXPECT_EQ(fltsim::PoolOutstanding(FILTER_POOL_TAG), 0u);
    EXPECT_TRUE(fltsim::Violations().empty());
    sim::Reset();
  }

  // What the service sent over its connection, delivered to the driver by a client of its own.
  int Deliver() {
    auto messages = sim::PortMessages();
    EXPECT_EQ(messages.size(), 1u);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    int client = fltsim::Connect(OMBRIX_PORT_NAME, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!messages.empty()) {
      EXPECT_EQ(fltsim::SendMessage(client, messages[0].data(), ULONG(messages[0].size())), STATUS_SUCCESS);
    }
    return client;
  }

  static bool Refreshed(const char16_t* name) {
    fltsim::FileTimes times;
    times.lastAccess = Now - 2 * Hour;
    PFILE_OBJECT file = fltsim::AddFile(name, times);
    fltsim::Read(file);
    return fltsim::Times(file).lastAccess == Now;
  }
};

TEST_F(ServiceToFilter, ActiveDrivesOfTheServiceAreTheVolumesTheFilterRefreshes) {
  sim::DriveSpec c;
  c.device = u"\\Device\\HarddiskVolume2";
  sim::AddDrive(u'C', c);
  sim::DriveSpec optical;
  optical.type = os::DriveCdrom;
  optical.fileSystem = u"CDFS";
  optical.device = u"\\Device\\CdRom0";
  sim::AddDrive(u'D', optical);
  sim::DriveSpec e;
  e.device = u"\\Device\\HarddiskVolume5";
  sim::AddDrive(u'E', e);
  sim::CreateFilterPort();
  ASSERT_TRUE(ConnectFilter());

  int client = Deliver();
  EXPECT_TRUE(Refreshed(u"\\Device\\HarddiskVolume2\\Users\\ada\\report.txt"));
  EXPECT_TRUE(Refreshed(u"\\Device\\HarddiskVolume5\\data.db"));
  EXPECT_FALSE(Refreshed(u"\\Device\\HarddiskVolume3\\other.txt"));
  EXPECT_FALSE(Refreshed(u"\\Device\\CdRom0\\setup.exe"));

  // The service closes its connection before a cycle: the filter forgets the list.
  fltsim::CloseClient(client);
  EXPECT_FALSE(Refreshed(u"\\Device\\HarddiskVolume2\\Users\\ada\\later.txt"));
}

TEST_F(ServiceToFilter, NoEligibleDriveMeansAnEmptyListAndNoRefresh) {
  sim::DriveSpec fat;
  fat.fileSystem = u"FAT32";
  fat.device = u"\\Device\\HarddiskVolume2";
  sim::AddDrive(u'C', fat);
  sim::CreateFilterPort();
  ASSERT_TRUE(ConnectFilter());
  int client = Deliver();
  EXPECT_FALSE(Refreshed(u"\\Device\\HarddiskVolume2\\a.txt"));
  fltsim::CloseClient(client);
}

}  // namespace
