// The uninstall sequence, a confirmed cancel and the delayed commands against the simulated
// Windows, starting from a machine that the install sequence set up.
#include <atomic>
#include <chrono>
#include <thread>

#include "setup_fixture.h"

namespace setuptest {
namespace {

using ::testing::ElementsAre;

// The system's own programs by their full paths, cmd without AutoRun (/D) and without a second
// command processor.
const std::string SelfRemovalLine =
    "C:\\Windows\\system32\\Cmd.exe /D /C C:\\Windows\\system32\\Ping.exe 1.0.0.0 -w 500 "
    "& rd \"C:\\PROGRA~1\\Ombrix\" /q /s";
const std::string RestartLine =
    "C:\\Windows\\system32\\Cmd.exe /D /C C:\\Windows\\system32\\Ping.exe 1.0.0.0 -w 1000 "
    "& C:\\Windows\\system32\\Shutdown.exe -r -t 0";

class UninstallTest : public SetupTest {
 protected:
  // Installed, then booted: the service and the driver run, the viewer runs in the session. The
  // uninstall entry starts the installed copy of the setup.
  void SetUp() override {
    SetupTest::SetUp();
    ASSERT_TRUE(Install(1));
    ASSERT_TRUE(sim::StartService(u"Ombrix_Service"));
    ASSERT_TRUE(sim::StartService(u"Ombrix_Filter"));
    sim::SetServiceStopDelay(u"Ombrix_Service", 3000);
    viewer = AddRunningViewer();
    StartFrom(InstalledSetup);
  }

  static void StartFrom(const std::u16string& program) {
    sim::SetModulePath(program);
    InitInstallerState(ModeUninstall);
  }

  // What the uninstall start does before its thread runs: viewer closed, service removed.
  static void RemoveForDecompression() {
    Installer.decompressChosen = 1;
    CloseViewer(u"Ombrix_Viewer");
    RemoveService(u"Ombrix_Service");
  }

  static void StartWorker(os::ThreadFunction function) {
    Installer.worker.thread = os::CreateThread(function, &Installer.worker, nullptr);
    ASSERT_NE(Installer.worker.thread, os::NullHandle);
  }

  // The uninstall start never closes the worker's handle; the test does, before counting.
  static void CloseWorkerHandle() {
    if (Installer.worker.thread != os::NullHandle) os::CloseHandle(Installer.worker.thread);
    Installer.worker.thread = os::NullHandle;
  }

  static void ExpectServiceRunningAgain() {
    sim::ServiceInfo service = sim::Service(u"Ombrix_Service");
    ASSERT_TRUE(service.exists);
    EXPECT_FALSE(service.markedForDelete);
    EXPECT_EQ(service.state, os::ServiceRunning);
    EXPECT_EQ(service.imagePath, QuotedServicePath);
    EXPECT_EQ(service.runningImage, InstallDir + u"\\Ombrix_Service.exe");
  }

  sim::Window viewer = 0;
};

TEST_F(UninstallTest, SequenceRemovesEverythingButWhatIsMeantToStay) {
  RunUninstallSequence();

  EXPECT_FALSE(sim::WindowExists(viewer));
  EXPECT_FALSE(sim::Service(u"Ombrix_Service").exists);
  EXPECT_FALSE(sim::Service(u"Ombrix_Filter").exists);
  EXPECT_FALSE(sim::RegKeyExists(os::HkeyLocalMachine, FilterKey));
  EXPECT_FALSE(sim::GetRegValue(os::HkeyLocalMachine, RunKeyPath, u"Ombrix_Viewer"));
  EXPECT_FALSE(sim::RegKeyExists(os::HkeyLocalMachine, UninstallKey));
  EXPECT_TRUE(sim::RegKeyExists(os::HkeyLocalMachine, UninstallList));
  // The running setup's own file stays for the self-removal; the service had stopped before its
  // file was deleted.
  EXPECT_THAT(InstalledFiles(), ElementsAre(u"Ombrix_Setup.exe"));
  EXPECT_FALSE(RestartCompletes);
  EXPECT_TRUE(PendingRenames().empty());
  EXPECT_FALSE(sim::Path(ExtractDir).exists());
  EXPECT_TRUE(sim::ListDirectory(sim::DefaultTempPath).empty());
  // What stays after uninstallation.
  EXPECT_EQ(sim::GetRegDword(os::HkeyLocalMachine, FileSystemKeyPath, u"NtfsDisableLastAccessUpdate"),
            std::optional<std::uint32_t>(1));
  EXPECT_EQ(sim::GetRegDword(os::HkeyCurrentUser, ExplorerKeyPath, u"ShowCompColor"), std::optional<std::uint32_t>(0));
  EXPECT_TRUE(sim::FileExists(DriverFile));
  EXPECT_TRUE(sim::DebugLines().empty());
  EXPECT_TRUE(sim::LaunchedCommands().empty());
  ExpectNothingLeftOpen();
}

// The viewer of another user's session keeps its file: it goes at the next restart, and the
// install directory after it.
TEST_F(UninstallTest, ViewerInAnotherSessionIsRemovedAtRestart) {
  sim::HoldId other = RunViewerInOtherSession();
  ASSERT_NE(other, 0u);

  RunUninstallSequence();

  EXPECT_TRUE(RestartCompletes);
  EXPECT_THAT(InstalledFiles(), ElementsAre(u"Ombrix_Setup.exe", u"Ombrix_Viewer.exe"));
  std::vector<std::u16string> renames = {u"\\??\\" + InstallDir + u"\\Ombrix_Viewer.exe", u"", u"\\??\\" + InstallDir, u""};
  EXPECT_EQ(PendingRenames(), renames);
  EXPECT_FALSE(sim::RegKeyExists(os::HkeyLocalMachine, UninstallKey));
  EXPECT_FALSE(sim::Service(u"Ombrix_Service").exists);

  // That user logs off and Ombrix is installed again before the restart: the viewer the restart
  // deletes is put back after the deletion.
  sim::ReleaseHold(other);
  sim::EndProgram(InstallDir + u"\\Ombrix_Viewer.exe");
  EXPECT_TRUE(Install(2));
  EXPECT_TRUE(RestartCompletes);
  EXPECT_EQ(Text(sim::FileBytes(InstallDir + u"\\Ombrix_Viewer.exe")), "Ombrix_Viewer.exe v2");
  renames.insert(renames.end(), {u"\\??\\" + InstallDir + u"\\Ombrix_Viewer.exe.new",
                                 u"!\\??\\" + InstallDir + u"\\Ombrix_Viewer.exe"});
  EXPECT_EQ(PendingRenames(), renames);
  EXPECT_EQ(Text(sim::FileBytes(InstallDir + u"\\Ombrix_Viewer.exe.new")), "Ombrix_Viewer.exe v2");
  ExpectNothingLeftOpen();
}

TEST_F(UninstallTest, SequenceGoesOnWhenThingsAreAlreadyGone) {
  RunUninstallSequence();
  // A second run finds nothing to remove and still removes nothing it should not.
  sim::PutFile(InstallDir + u"\\stray.txt", Bytes("stray"));
  RunUninstallSequence();
  EXPECT_THAT(InstalledFiles(), ElementsAre(u"Ombrix_Setup.exe"));
  EXPECT_FALSE(RemoveLogonStart());
  EXPECT_FALSE(RemoveUninstallEntry());
  EXPECT_FALSE(RemoveService(u"Ombrix_Service"));
  ExpectNothingLeftOpen();
}

TEST_F(UninstallTest, PlantedExtractionDirectoryCannotChooseWhatIsUninstalled) {
  // A directory this run did not make at the extraction name, with an INF that would delete a
  // service of the system's.
  sim::AddService(u"Precious", {});
  sim::MakeDirectory(ExtractDir);
  sim::PutFile(ExtractDir + u"\\Ombrix_Filter.inf",
               Bytes("[Version]\r\nSignature = \"$Windows NT$\"\r\n\r\n[DefaultUninstall.Services]\r\n"
                     "DelService = Precious,0x200\r\n"));

  RunUninstallSequence();

  EXPECT_TRUE(sim::Service(u"Precious").exists);
  EXPECT_FALSE(sim::Service(u"Ombrix_Filter").exists);
  EXPECT_THAT(sim::ListDirectory(ExtractDir), ElementsAre(u"Ombrix_Filter.inf"));
  EXPECT_FALSE(sim::Path(ExtractDir + u".1").exists());
}

TEST_F(UninstallTest, CopyStartedElsewhereRemovesOnlyTheInstallDirectory) {
  const std::u16string elsewhere = u"C:\\Users\\user\\Desktop\\Ombrix copy";
  sim::MakeDirectory(elsewhere);
  sim::PutFile(elsewhere + u"\\Ombrix_Setup.exe", Bytes("copy"));
  sim::PutFile(elsewhere + u"\\notes.txt", Bytes("notes"));
  StartFrom(elsewhere + u"\\Ombrix_Setup.exe");

  RunUninstallSequence();
  EXPECT_TRUE(LaunchSelfRemoval());

  EXPECT_THAT(sim::ListDirectory(elsewhere), ElementsAre(u"notes.txt", u"Ombrix_Setup.exe"));
  EXPECT_TRUE(InstalledFiles().empty());
  auto commands = sim::LaunchedCommands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].commandLine, SelfRemovalLine);
  EXPECT_EQ(commands[0].show, os::SwHide);
  EXPECT_EQ(commands[0].currentDirectory, sim::SystemDirectory);
}

TEST_F(UninstallTest, DelayedCommandsAreExactAndHidden) {
  // Started from a stick whose root may hold a shutdown.bat: nothing runs from there.
  StartFrom(u"E:\\Ombrix_Setup.exe");
  EXPECT_TRUE(LaunchSelfRemoval());
  EXPECT_TRUE(LaunchRestart());
  auto commands = sim::LaunchedCommands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0].commandLine, SelfRemovalLine);
  EXPECT_EQ(commands[1].commandLine, RestartLine);
  for (const auto& command : commands) {
    EXPECT_EQ(command.show, os::SwHide);
    // From the system directory, never from the program's drive or the directory being removed.
    EXPECT_EQ(command.currentDirectory, sim::SystemDirectory);
  }

  // Without a short form the long path is used, still quoted.
  sim::Fail("GetShortPathNameW", {1});
  EXPECT_TRUE(LaunchSelfRemoval());
  EXPECT_EQ(sim::LaunchedCommands().back().commandLine,
            "C:\\Windows\\system32\\Cmd.exe /D /C C:\\Windows\\system32\\Ping.exe 1.0.0.0 -w 500 "
            "& rd \"C:\\Program Files\\Ombrix\" /q /s");
  // A command that could not be started is reported; so is one that would start elsewhere.
  sim::Fail("WinExec", {1});
  EXPECT_FALSE(LaunchRestart());
  sim::Fail("SetCurrentDirectoryW", {1});
  EXPECT_FALSE(LaunchRestart());
  EXPECT_EQ(sim::LaunchedCommands().size(), 3u);
}

TEST_F(UninstallTest, InstallDirectoryReplacedByJunctionIsNeitherEmptiedNorRemoved) {
  const std::u16string documents = u"C:\\Users\\admin\\Documents";
  sim::MakeDirectory(documents, AdminDirectory());
  sim::PutFile(documents + u"\\thesis.doc", Bytes("thesis"));
  StartFrom(DownloadedSetup);
  sim::RemoveTree(InstallDir);
  sim::PlantJunction(InstallDir, documents, sim::AdministratorsOwner);

  RunUninstallSequence();

  EXPECT_THAT(sim::ListDirectory(documents), ElementsAre(u"thesis.doc"));
  EXPECT_FALSE(RemoveProgramFiles());
  EXPECT_FALSE(LaunchSelfRemoval());
  EXPECT_TRUE(sim::LaunchedCommands().empty());
  // Nothing else was removed either, and the user is told why.
  EXPECT_EQ(InstallFailure, os::TrustESubjectNotTrusted);
  EXPECT_TRUE(sim::RegKeyExists(os::HkeyLocalMachine, UninstallKey));
  EXPECT_TRUE(sim::Service(u"Ombrix_Filter").exists);
  ExpectNothingLeftOpen();
}

// ---------------------------------------------------------------------------------------------
// A confirmed cancel on the uninstall progress page.

TEST_F(UninstallTest, CancelWithoutDecompressionLeavesEverythingAsItWas) {
  // The service was stopped by hand before the uninstallation began: it stays stopped.
  os::Handle manager = os::OpenSCManagerW(nullptr, nullptr, os::ScManagerAllAccess);
  os::Handle service = os::OpenServiceW(manager, u"Ombrix_Service", os::ServiceAllAccess);
  os::ServiceStatus status = {};
  os::ControlService(service, os::ServiceControlStop, &status);
  os::CloseServiceHandle(service);
  os::CloseServiceHandle(manager);
  os::Sleep(5000);
  ASSERT_EQ(sim::Service(u"Ombrix_Service").state, os::ServiceStopped);

  CancelUninstall();

  EXPECT_EQ(Installer.worker.stopRequest.load(), 1u);
  sim::ServiceInfo after = sim::Service(u"Ombrix_Service");
  EXPECT_TRUE(after.exists);
  EXPECT_EQ(after.state, os::ServiceStopped);
  EXPECT_EQ(after.startCount, 1u);
  EXPECT_TRUE(sim::WindowExists(viewer));
  EXPECT_EQ(InstalledFiles().size(), 5u);
  ExpectNothingLeftOpen();
}

// The worker had walked the drives and finished during the counting ticks: it never saw the
// stop request.
std::uint32_t FinishedWorker(void* parameter) {
  static_cast<WorkerRecord*>(parameter)->done.store(1);
  return 1;
}

// The worker sees the stop request and registers the service again, as the decompression
// worker does.
std::uint32_t StoppingWorker(void* parameter) {
  WorkerRecord& record = *static_cast<WorkerRecord*>(parameter);
  while (record.stopRequest.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  char16_t path[PathCapacity];
  FormServicePath(path);
  CreateServiceEntry(u"Ombrix_Service", path, true);
  record.done.store(1);
  return 1;
}

TEST_F(UninstallTest, CancelAfterTheWorkerFinishedPutsTheServiceBack) {
  RemoveForDecompression();
  StartWorker(FinishedWorker);
  CancelUninstall();
  ExpectServiceRunningAgain();
  EXPECT_EQ(Installer.worker.done.load(), 1u);
  // Nothing of the uninstall sequence ran.
  EXPECT_TRUE(sim::Service(u"Ombrix_Filter").exists);
  EXPECT_TRUE(sim::RegKeyExists(os::HkeyLocalMachine, UninstallKey));
  EXPECT_EQ(InstalledFiles().size(), 5u);
  CloseWorkerHandle();
  ExpectNothingLeftOpen();
}

TEST_F(UninstallTest, CancelWhileTheOldServiceIsStillStoppingPutsTheServiceBack) {
  // The worker's own registration comes while the removed service is still stopping, and is
  // refused; the cancel waits for the old entry to go and registers the service itself.
  sim::SetServiceStopDelay(u"Ombrix_Service", 6000);
  RemoveForDecompression();
  StartWorker(StoppingWorker);
  CancelUninstall();
  ExpectServiceRunningAgain();
  CloseWorkerHandle();
  ExpectNothingLeftOpen();
}

TEST_F(UninstallTest, CancelAfterTheWorkerRegisteredTheServiceLeavesItRunning) {
  sim::SetServiceStopDelay(u"Ombrix_Service", 0);
  RemoveForDecompression();
  StartWorker(StoppingWorker);
  CancelUninstall();
  ExpectServiceRunningAgain();
  EXPECT_EQ(sim::Service(u"Ombrix_Service").startCount, 1u);
}

TEST_F(UninstallTest, CancelWithoutAWorkerThreadPutsTheServiceBack) {
  // The thread could not be created: there is nothing to wait for, but the service was removed.
  RemoveForDecompression();
  CancelUninstall();
  ExpectServiceRunningAgain();
}

// The real uninstall start and worker: with decompression chosen the worker walks the drives
// (C: has nothing compressed), the sequence then removes everything; a cancel in its place,
// whether the worker saw the stop request or had already finished, puts the service back.
TEST_F(UninstallTest, UninstallStartRunsTheWorkerThenTheSequenceOrACancel) {
  Installer.decompressChosen = 1;
  StartUninstallWorker();
  ASSERT_NE(Installer.worker.thread, os::NullHandle);
  EXPECT_FALSE(sim::WindowExists(viewer));
  EXPECT_TRUE(sim::Service(u"Ombrix_Service").markedForDelete);
  EXPECT_EQ(os::WaitForSingleObject(Installer.worker.thread, os::Infinite), os::WaitObject0);
  EXPECT_EQ(Installer.worker.done.load(), 1u);
  RunUninstallSequence();
  EXPECT_FALSE(sim::Service(u"Ombrix_Service").exists);
  EXPECT_FALSE(sim::RegKeyExists(os::HkeyLocalMachine, UninstallKey));
  EXPECT_THAT(InstalledFiles(), ElementsAre(u"Ombrix_Setup.exe"));

  ASSERT_TRUE(Install(1));
  ASSERT_TRUE(sim::StartService(u"Ombrix_Service"));
  StartFrom(InstalledSetup);
  Installer.decompressChosen = 1;
  StartUninstallWorker();
  CancelUninstall();
  EXPECT_EQ(Installer.worker.done.load(), 1u);
  ExpectServiceRunningAgain();
  EXPECT_TRUE(sim::RegKeyExists(os::HkeyLocalMachine, UninstallKey));
}

}  // namespace
}  // namespace setuptest
