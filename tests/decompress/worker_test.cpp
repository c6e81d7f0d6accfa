// The uninstall worker over the drive letters: which drives it restores, what a cancel leaves
// behind (the service registered and running again), and the wizard reading the current name
// while the worker runs.
#include <set>

#include "Ombrix_Setup/setup.h"
#include "Ombrix_Setup/setup_actions.h"
#include "tests/decompress/decompress_fixture.h"

namespace {

using namespace decompress_test;

const std::u16string ServiceImage = u"C:\\Program Files\\Ombrix\\Ombrix_Service.exe";

class WorkerTest : public DecompressTest {
 protected:
  void SetUp() override {
    DecompressTest::SetUp();
    InitInstallerState(ModeUninstall);
    sim::PutFile(ServiceImage, {'M', 'Z'});
  }
  std::uint32_t RunWorker() { return DecompressWorker(&Installer.worker); }
  WorkerRecord& worker = Installer.worker;
};

TEST_F(WorkerTest, OnlyFixedNtfsDrivesWithoutTheCompressedAttributeAreOpened) {
  sim::AddDrive(u'C');
  auto onC = sim::AddFile(u'C', File(u"c.txt", 1 << 20));
  sim::DriveSpec removable;
  removable.type = os::DriveRemovable;
  sim::DriveSpec remote;
  remote.type = os::DriveRemote;
  sim::DriveSpec optical;
  optical.type = os::DriveCdrom;
  sim::DriveSpec fat;
  fat.fileSystem = u"FAT32";
  sim::DriveSpec lower;
  lower.fileSystem = u"ntfs";
  sim::DriveSpec packed;
  packed.attributes = os::FileAttributeDirectory | os::FileAttributeCompressed;
  std::vector<std::pair<char16_t, std::uint64_t>> untouched;
  char16_t letter = u'D';
  for (const auto* spec : {&removable, &remote, &optical, &fat, &lower, &packed}) {
    sim::AddDrive(letter, *spec);
    if (spec->fileSystem == u"NTFS") untouched.push_back({letter, sim::AddFile(letter, File(u"x.txt", 1 << 20))});
    ++letter;
  }
  sim::AddDrive(u'Z');
  auto onZ = sim::AddFile(u'Z', File(u"z.txt", 1 << 20));

  EXPECT_EQ(RunWorker(), 1u);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"NTFSTYPE_WIN7", "----- C: Decompress Start \n",
                                                "----- C: Decompress End \n", "----- Z: Decompress Start \n",
                                                "----- Z: Decompress End \n"}));
  EXPECT_EQ(Installer.ntfsType, NTFSTYPE_WIN7);
  EXPECT_FALSE(IsCompressed(u'C', onC));
  EXPECT_FALSE(IsCompressed(u'Z', onZ));
  for (auto [drive, frn] : untouched) EXPECT_TRUE(IsCompressed(drive, frn)) << char(drive);
  EXPECT_EQ(worker.done.load(), 1u);
  EXPECT_FALSE(sim::Service(u"Ombrix_Service").exists) << "without a cancel the service stays removed";
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(WorkerTest, CompressedCurrentDirectoryHidesNoDrive) {
  // Started from a compressed Downloads folder: "C:" alone would name that folder.
  sim::AddDrive(u'C');
  const char16_t* downloads = u"C:\\Users\\user\\Downloads";
  sim::MakeDirectory(downloads, {u"user", u"", os::FileAttributeDirectory | os::FileAttributeCompressed});
  ASSERT_TRUE(os::SetCurrentDirectoryW(downloads));
  auto file = sim::AddFile(u'C', File(u"c.txt", 1 << 20));

  EXPECT_EQ(RunWorker(), 1u);
  EXPECT_FALSE(IsCompressed(u'C', file));
  // The install decides the active drives the same way.
  sim::DirectorySpec admins;
  admins.owner = sim::AdministratorsOwner;
  sim::MakeDirectory(Installer.installDirectory, admins);
  ASSERT_TRUE(WriteInitialStatistics());
  EXPECT_EQ(+Installer.statistics.DriveNtfs[0], 1);
}

TEST_F(WorkerTest, BelowWindowsSevenEachVolumeLogsOnlyStartAndEnd) {
  sim::SetWindowsVersion(6, 0);
  sim::AddDrive(u'C');
  sim::AddDrive(u'E');
  auto file = sim::AddFile(u'C', File(u"doc.txt", 1 << 20));
  EXPECT_EQ(RunWorker(), 1u);
  EXPECT_EQ(Installer.ntfsType, NTFSTYPE_NONE);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"----- C: Decompress Start \n", "----- C: Decompress End \n",
                                                "----- E: Decompress Start \n", "----- E: Decompress End \n"}));
  EXPECT_TRUE(IsCompressed(u'C', file));
}

TEST_F(WorkerTest, CancelFinishesTheFileInHandThenPutsTheServiceBack) {
  sim::AddDrive(u'C');
  sim::AddDrive(u'D');
  auto first = sim::AddFile(u'C', File(u"one.txt", 1 << 20));
  auto second = sim::AddFile(u'C', File(u"two.txt", 1 << 20));
  auto third = sim::AddFile(u'C', File(u"three.txt", 1 << 20));
  auto onD = sim::AddFile(u'D', File(u"d.txt", 1 << 20));
  sim::OnCall(
      "DeviceIoControl", [&](std::uint64_t call) { if (call == 2) worker.stopRequest = 1; }, os::FsctlSetCompression);

  EXPECT_EQ(RunWorker(), 1u);
  sim::OnCall("DeviceIoControl", nullptr, os::FsctlSetCompression);
  EXPECT_FALSE(IsCompressed(u'C', first));
  EXPECT_FALSE(IsCompressed(u'C', second));
  EXPECT_TRUE(IsCompressed(u'C', third));
  EXPECT_TRUE(IsCompressed(u'D', onD));
  EXPECT_EQ(Lines(), (std::vector<std::string>{"NTFSTYPE_WIN7", "----- C: Decompress Start \n",
                                                "----- C: Decompress End \n"}));
  EXPECT_EQ(sim::CallCount("GetDriveTypeW"), 1u) << "no later letter is examined";
  sim::ServiceInfo service = sim::Service(u"Ombrix_Service");
  ASSERT_TRUE(service.exists);
  EXPECT_EQ(service.state, os::ServiceRunning);
  EXPECT_EQ(service.runningImage, ServiceImage);
  EXPECT_EQ(worker.done.load(), 1u);
  EXPECT_EQ(sim::OpenServiceHandleCount(), 0u);
}

TEST_F(WorkerTest, CancelSeenAfterTheLastLetterStillPutsTheServiceBack) {
  sim::AddDrive(u'Z');
  // The request arrives while Z:'s volume is closed: no record is left to see it.
  sim::OnCall("CloseHandle", [&](std::uint64_t) { worker.stopRequest = 1; });
  EXPECT_EQ(RunWorker(), 1u);
  sim::OnCall("CloseHandle", nullptr);
  EXPECT_EQ(sim::Service(u"Ombrix_Service").state, os::ServiceRunning);
  EXPECT_EQ(worker.done.load(), 1u);
}

TEST_F(WorkerTest, TheWizardReadsOnlyWholeNamesWhileTheWorkerRuns) {
  sim::SetWindowsVersion(10, 0);
  sim::AddDrive(u'C');
  std::set<std::u16string> names = {u""};
  std::u16string last;
  for (int i = 0; i < 400; ++i) {
    last = std::u16string(1 + i % 97, char16_t(u'a' + i % 26)) + u".txt";
    sim::AddFile(u'C', File(last, 4096));
    names.insert(last);
  }
  os::Handle thread = os::CreateThread(DecompressWorker, &worker, nullptr);
  ASSERT_NE(thread, os::NullHandle);
  int reads = 0;
  int torn = 0;
  while (worker.done.load(std::memory_order_acquire) == 0 || reads == 0) {
    char16_t name[CurrentNameCapacity];
    if (!ReadCurrentName(worker, name, CurrentNameCapacity)) continue;
    if (names.count(name) == 0) ++torn;
    ++reads;
  }
  EXPECT_EQ(os::WaitForSingleObject(thread, 10'000), os::WaitObject0);
  os::CloseHandle(thread);
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  char16_t shown[CurrentNameCapacity];
  EXPECT_TRUE(ReadCurrentName(worker, shown, CurrentNameCapacity));
  EXPECT_EQ(Narrow(shown), Narrow(last)) << "the last record's name stays on show";
}

}  // namespace
