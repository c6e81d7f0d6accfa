// The install sequence against the simulated Windows: what a first installation leaves on the
// machine, the registry values byte for byte, the first statistics record, installations over
// earlier ones, traps at the extraction directory's name, and a failure of each step.
#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "setup_fixture.h"

namespace setuptest {
namespace {

using ::testing::ElementsAre;

class InstallTest : public SetupTest {};

TEST_F(InstallTest, FirstInstallationPutsFilesAndRegistersDriverAndService) {
  EXPECT_TRUE(RunInstallSequence());

  EXPECT_THAT(InstalledFiles(), ElementsAre(u"HELP.chm", u"Ombrix.ini", u"Ombrix_Service.exe", u"Ombrix_Setup.exe",
                                            u"Ombrix_Viewer.exe"));
  EXPECT_EQ(Text(sim::FileBytes(InstalledSetup)), "Ombrix_Setup.exe v1");
  EXPECT_EQ(Text(sim::FileBytes(InstallDir + u"\\Ombrix_Service.exe")), "Ombrix_Service.exe v1");
  EXPECT_EQ(Text(sim::FileBytes(InstallDir + u"\\Ombrix_Viewer.exe")), "Ombrix_Viewer.exe v1");
  EXPECT_EQ(Text(sim::FileBytes(InstallDir + u"\\HELP.chm")), "HELP.chm v1");
  EXPECT_EQ(Text(sim::FileBytes(DriverFile)), "Ombrix_Filter.sys v1");
  // The extraction directory is gone, and nothing was put into the temporary folder.
  EXPECT_FALSE(sim::Path(ExtractDir).exists());
  EXPECT_TRUE(sim::ListDirectory(sim::DefaultTempPath).empty());

  // The compression service: own process, automatic and delayed, errors ignored, local system,
  // its path quoted, not started.
  sim::ServiceInfo service = sim::Service(u"Ombrix_Service");
  ASSERT_TRUE(service.exists);
  EXPECT_EQ(service.type, os::ServiceWin32OwnProcess);
  EXPECT_EQ(service.start, os::ServiceAutoStart);
  EXPECT_EQ(service.errorControl, os::ServiceErrorIgnore);
  EXPECT_EQ(service.imagePath, QuotedServicePath);
  EXPECT_EQ(service.displayName, u"Ombrix_Service");
  EXPECT_EQ(service.objectName, u"LocalSystem");
  EXPECT_TRUE(service.group.empty());
  EXPECT_TRUE(service.dependencies.empty());
  EXPECT_EQ(service.delayedAutostart, std::optional<std::uint32_t>(1));
  EXPECT_EQ(service.state, os::ServiceStopped);
  EXPECT_EQ(service.startCount, 0u);
  EXPECT_FALSE(service.markedForDelete);

  // The filter driver's service as the INF describes it, not started either.
  sim::ServiceInfo filter = sim::Service(u"Ombrix_Filter");
  ASSERT_TRUE(filter.exists);
  EXPECT_EQ(filter.type, os::ServiceFileSystemDriver);
  EXPECT_EQ(filter.start, os::ServiceSystemStart);
  EXPECT_EQ(filter.errorControl, os::ServiceErrorNormal);
  EXPECT_EQ(filter.group, u"FSFilter Content Screener");
  EXPECT_THAT(filter.dependencies, ElementsAre(u"FltMgr"));
  EXPECT_EQ(filter.displayName, u"Ombrix_Filter");
  EXPECT_EQ(filter.description, u"Ombrix_Filter mini-filter driver");
  EXPECT_NE(filter.imagePath.find(u"drivers\\Ombrix_Filter.sys"), std::u16string::npos) << Narrow(filter.imagePath);
  EXPECT_EQ(filter.startCount, 0u);
  EXPECT_EQ(RegText(os::HkeyLocalMachine, FilterKey + u"\\Instances", u"DefaultInstance"), u"Ombrix_Filter Instance");
  const std::u16string instance = FilterKey + u"\\Instances\\Ombrix_Filter Instance";
  auto altitude = sim::GetRegValue(os::HkeyLocalMachine, instance, u"Altitude");
  ASSERT_TRUE(altitude);
  EXPECT_EQ(altitude->type, os::RegSz);
  EXPECT_EQ(RegText(os::HkeyLocalMachine, instance, u"Altitude"), u"265000");
  auto flags = sim::GetRegValue(os::HkeyLocalMachine, instance, u"Flags");
  ASSERT_TRUE(flags);
  EXPECT_EQ(flags->type, os::RegDword);
  EXPECT_EQ(sim::GetRegDword(os::HkeyLocalMachine, instance, u"Flags"), std::optional<std::uint32_t>(0));

  // Nothing was wrong, so nothing was said; no viewer was running, so nothing was sent.
  EXPECT_TRUE(sim::DebugLines().empty());
  EXPECT_TRUE(sim::SentMessages().empty());
  ExpectNothingLeftOpen();
}

// Every REG_SZ is passed without its terminator; Windows stores the null that follows the
// counted text anyway, so the stored length is the text's bytes plus two.
void ExpectString(os::Key root, const std::u16string& key, const std::u16string& name, const std::u16string& text) {
  auto value = sim::GetRegValue(root, key, name);
  ASSERT_TRUE(value) << Narrow(name);
  EXPECT_EQ(value->type, os::RegSz) << Narrow(name);
  std::vector<std::uint8_t> expected(text.size() * 2 + 2, 0);
  std::memcpy(expected.data(), text.data(), text.size() * 2);
  EXPECT_EQ(value->data, expected) << Narrow(name);
  EXPECT_EQ(RegText(root, key, name), text);
}

void ExpectDword(os::Key root, const std::u16string& key, const std::u16string& name, std::uint32_t number) {
  auto value = sim::GetRegValue(root, key, name);
  ASSERT_TRUE(value) << Narrow(name);
  EXPECT_EQ(value->type, os::RegDword) << Narrow(name);
  EXPECT_EQ(value->data.size(), 4u) << Narrow(name);
  EXPECT_EQ(sim::GetRegDword(root, key, name), std::optional<std::uint32_t>(number)) << Narrow(name);
}

TEST_F(InstallTest, RegistryValuesHaveTheirTypesLengthsAndOrder) {
  RunInstallSequence();

  EXPECT_THAT(sim::RegValueNames(os::HkeyLocalMachine, UninstallKey),
              ElementsAre(u"DisplayName", u"UninstallString", u"DisplayIcon", u"Publisher", u"DisplayVersion"));
  ExpectString(os::HkeyLocalMachine, UninstallKey, u"DisplayName", u"Ombrix");
  // The copy in the install directory, under the name the downloaded program had.
  ExpectString(os::HkeyLocalMachine, UninstallKey, u"UninstallString",
               u"\"C:\\Program Files\\Ombrix\\Ombrix_Setup.exe\" -UNINSTALL");
  ExpectString(os::HkeyLocalMachine, UninstallKey, u"DisplayIcon", u"\"C:\\Program Files\\Ombrix\\Ombrix_Setup.exe\"");
  ExpectString(os::HkeyLocalMachine, UninstallKey, u"Publisher", u"TAVRIX");
  ExpectString(os::HkeyLocalMachine, UninstallKey, u"DisplayVersion", u"1.0.0.6");

  ExpectDword(os::HkeyLocalMachine, FileSystemKeyPath, u"NtfsDisableLastAccessUpdate", 1);
  ExpectString(os::HkeyLocalMachine, RunKeyPath, u"Ombrix_Viewer", u"\"C:\\Program Files\\Ombrix\\Ombrix_Viewer.exe\"");
  ExpectDword(os::HkeyCurrentUser, ExplorerKeyPath, u"ShowCompColor", 0);
}

TEST_F(InstallTest, ShowCompColorIsWrittenOnlyWhenNotAlreadyZero) {
  // Already 0 (as 4 bytes of another type, so a rewrite would show): left as it is.
  sim::SetRegValue(os::HkeyCurrentUser, ExplorerKeyPath, u"ShowCompColor", {os::RegBinary, {0, 0, 0, 0}});
  EXPECT_TRUE(WriteSystemSettings());
  EXPECT_EQ(sim::GetRegValue(os::HkeyCurrentUser, ExplorerKeyPath, u"ShowCompColor")->type, os::RegBinary);

  // 1, or more than 4 bytes (it can't be read as 4), or missing: written as a 32-bit 0.
  sim::SetRegDword(os::HkeyCurrentUser, ExplorerKeyPath, u"ShowCompColor", 1);
  EXPECT_TRUE(WriteSystemSettings());
  ExpectDword(os::HkeyCurrentUser, ExplorerKeyPath, u"ShowCompColor", 0);

  sim::SetRegValue(os::HkeyCurrentUser, ExplorerKeyPath, u"ShowCompColor", {os::RegBinary, std::vector<std::uint8_t>(8, 0)});
  EXPECT_TRUE(WriteSystemSettings());
  ExpectDword(os::HkeyCurrentUser, ExplorerKeyPath, u"ShowCompColor", 0);

  sim::DeleteRegKey(os::HkeyCurrentUser, ExplorerKeyPath);
  EXPECT_TRUE(WriteSystemSettings());
  ExpectDword(os::HkeyCurrentUser, ExplorerKeyPath, u"ShowCompColor", 0);
  ExpectNothingLeftOpen();
}

TEST_F(InstallTest, StatisticsRecordDescribesEveryDriveLetter) {
  sim::DriveSpec fat;
  fat.fileSystem = u"FAT32";
  sim::AddDrive(u'D', fat);
  sim::DriveSpec optical;
  optical.type = os::DriveCdrom;
  optical.fileSystem = u"CDFS";
  sim::AddDrive(u'E', optical);
  // F: absent.
  sim::DriveSpec compressed;
  compressed.attributes = os::FileAttributeDirectory | os::FileAttributeCompressed;
  sim::AddDrive(u'G', compressed);
  sim::DriveSpec removable;
  removable.type = os::DriveRemovable;
  sim::AddDrive(u'H', removable);
  sim::DriveSpec network;
  network.type = os::DriveRemote;
  sim::AddDrive(u'Z', network);
  sim::MakeDirectory(InstallDir, AdminDirectory());
  sim::AdvanceTime(5 * sim::Day);
  const os::FileTime now = sim::Now();

  EXPECT_TRUE(WriteInitialStatistics());

  auto bytes = sim::FileBytes(InstallDir + u"\\Ombrix.ini");
  ASSERT_TRUE(bytes);
  ASSERT_EQ(bytes->size(), 597u);
  StatsRecord record;
  std::memcpy(&record, bytes->data(), sizeof(record));
  EXPECT_EQ(std::memcmp(&record, &Installer.statistics, sizeof(record)), 0);
  EXPECT_EQ(record.Valid, 1);
  EXPECT_EQ(StatsUpdatedAt(record), now);
  EXPECT_EQ(std::int64_t(record.TotalSaved), 0);   // copies: the record is packed
  EXPECT_EQ(std::uint32_t(record.TotalRate), 0u);

  struct Slot {
    char16_t letter;
    std::uint8_t eligible, ntfs;
    std::uint32_t type;
  };
  const Slot expected[] = {
      {u'C', 1, 1, os::DriveFixed},       // fixed NTFS
      {u'D', 1, 0, os::DriveFixed},       // fixed FAT32
      {u'E', 0, 0, os::DriveCdrom},       // optical
      {u'F', 0, 0, os::DriveNoRootDir},   // absent: the attribute query fails
      {u'G', 1, 0, os::DriveFixed},       // fixed NTFS whose drive name reports compression
      {u'H', 0, 1, os::DriveRemovable},   // removable NTFS: not eligible, still NTFS
      {u'Z', 0, 1, os::DriveRemote},
  };
  for (int slot = 0; slot < StatsDriveSlots; ++slot) {
    std::uint8_t eligible = 0, ntfs = 0;
    std::uint32_t type = slot < StatsDriveLetters ? os::DriveNoRootDir : 0;
    for (const Slot& s : expected) {
      if (s.letter - u'C' == slot) {
        eligible = s.eligible;
        ntfs = s.ntfs;
        type = s.type;
      }
    }
    SCOPED_TRACE(slot);
    // Read at the record's byte offsets.
    EXPECT_EQ((*bytes)[21 + slot], eligible);
    EXPECT_EQ((*bytes)[53 + slot], ntfs);
    std::uint32_t storedType;
    std::memcpy(&storedType, bytes->data() + 85 + 4 * slot, 4);
    EXPECT_EQ(storedType, type);
    EXPECT_EQ(std::int64_t(record.DriveSaved[slot]), 0);
    EXPECT_EQ(std::uint32_t(record.DriveRate[slot]), 0u);
  }
  ExpectNothingLeftOpen();
}

TEST_F(InstallTest, SecondInstallationReplacesFilesAndKeepsOneEntry) {
  ASSERT_TRUE(Install(1));
  // The first installation's service has run since; the viewer of the first installation runs.
  ASSERT_TRUE(sim::StartService(u"Ombrix_Service"));
  sim::SetServiceStopDelay(u"Ombrix_Service", 4000);
  // The service's process runs its file on for a while after the service has left the database.
  const std::u16string serviceFile = InstallDir + u"\\Ombrix_Service.exe";
  sim::StartProgram(serviceFile);
  const os::FileTime exitAt = sim::Now() + 9 * sim::Second;
  sim::OnCall("Sleep", [&](std::uint64_t) {
    if (sim::Now() >= exitAt) sim::EndProgram(serviceFile);
  });
  sim::Window viewer = AddRunningViewer();

  EXPECT_TRUE(Install(2));
  EXPECT_EQ(InstallFailure, 0u);

  EXPECT_FALSE(sim::WindowExists(viewer));
  ASSERT_EQ(sim::SentMessages().size(), 1u);
  EXPECT_EQ(sim::SentMessages()[0].message, 0x8024u);
  EXPECT_EQ(sim::SentMessages()[0].wParam, 0u);
  EXPECT_EQ(sim::SentMessages()[0].lParam, 0);
  EXPECT_THAT(InstalledFiles(), ElementsAre(u"HELP.chm", u"Ombrix.ini", u"Ombrix_Service.exe", u"Ombrix_Setup.exe",
                                            u"Ombrix_Viewer.exe"));
  for (const char* name : {"Ombrix_Setup.exe", "Ombrix_Service.exe", "Ombrix_Viewer.exe", "HELP.chm"}) {
    std::u16string path = InstallDir + u"\\";
    for (const char* c = name; *c != 0; ++c) path += char16_t(*c);
    EXPECT_EQ(Text(sim::FileBytes(path)), Payload(name, 2));
  }
  EXPECT_EQ(Text(sim::FileBytes(DriverFile)), "Ombrix_Filter.sys v2");
  EXPECT_EQ(sim::RegSubkeys(os::HkeyLocalMachine, UninstallList).size(), 1u);
  EXPECT_TRUE(sim::RegKeyExists(os::HkeyLocalMachine, UninstallKey));
  EXPECT_EQ(sim::RegValueNames(os::HkeyLocalMachine, UninstallKey).size(), 5u);

  // The old service stopped and went; the new one is registered once, not running.
  sim::ServiceInfo service = sim::Service(u"Ombrix_Service");
  ASSERT_TRUE(service.exists);
  EXPECT_FALSE(service.markedForDelete);
  EXPECT_EQ(service.state, os::ServiceStopped);
  EXPECT_EQ(service.imagePath, QuotedServicePath);
  EXPECT_EQ(service.delayedAutostart, std::optional<std::uint32_t>(1));
  EXPECT_TRUE(sim::Service(u"Ombrix_Filter").exists);
  EXPECT_FALSE(sim::Path(ExtractDir).exists());
  ExpectNothingLeftOpen();
}

TEST_F(InstallTest, InstallationOverEarlierVersionWithUnquotedPathMendsIt) {
  // An earlier version registered the service unquoted, and it runs. A program planted at the
  // first blank of that path would be what the service manager starts.
  sim::ServiceSpec old;
  old.start = os::ServiceAutoStart;
  old.imagePath = u"C:\\Program Files\\Ombrix\\Ombrix_Service.exe";
  old.running = true;
  old.stopDelayMs = 2500;
  sim::MakeDirectory(InstallDir, AdminDirectory());
  sim::PutFile(InstallDir + u"\\Ombrix_Service.exe", Bytes("old service"));
  sim::AddService(u"Ombrix_Service", old);
  sim::PutFile(u"C:\\Program.exe", Bytes("planted"));

  RunInstallSequence();

  sim::ServiceInfo service = sim::Service(u"Ombrix_Service");
  ASSERT_TRUE(service.exists);
  EXPECT_FALSE(service.markedForDelete);
  EXPECT_EQ(service.imagePath, QuotedServicePath);
  // The running image was waited for, so it could be replaced.
  EXPECT_EQ(Text(sim::FileBytes(InstallDir + u"\\Ombrix_Service.exe")), "Ombrix_Service.exe v1");
  ASSERT_TRUE(sim::StartService(u"Ombrix_Service"));
  EXPECT_EQ(sim::Service(u"Ombrix_Service").runningImage, InstallDir + u"\\Ombrix_Service.exe");
}

TEST_F(InstallTest, ExistingServiceThatCouldNotBeRemovedGetsItsPathMended) {
  sim::ServiceSpec old;
  old.start = os::ServiceDemandStart;
  old.imagePath = u"C:\\Program Files\\Ombrix\\Ombrix_Service.exe";
  sim::AddService(u"Ombrix_Service", old);
  // RemoveService can't open the service manager; the later registration finds the old entry.
  sim::Fail("OpenSCManagerW", {1});

  RunInstallSequence();

  sim::ServiceInfo service = sim::Service(u"Ombrix_Service");
  ASSERT_TRUE(service.exists);
  EXPECT_EQ(service.imagePath, QuotedServicePath);
  EXPECT_EQ(service.start, os::ServiceDemandStart);   // its other settings stay
  EXPECT_EQ(service.delayedAutostart, std::optional<std::uint32_t>(1));
  ExpectNothingLeftOpen();
}

TEST_F(InstallTest, OldServiceThatNeverStopsIsWaitedForBoundedly) {
  sim::ServiceSpec old;
  old.start = os::ServiceAutoStart;
  old.imagePath = QuotedServicePath;
  old.running = true;
  old.acceptsStop = false;
  sim::AddService(u"Ombrix_Service", old);
  const os::FileTime start = sim::Now();

  // The wait gives up after its bound (simulated time) and the rest of the installation goes on,
  // but the service can't be registered again while the old one stays: the user is told.
  EXPECT_FALSE(RunInstallSequence());
  EXPECT_EQ(InstallFailure, os::ErrorServiceMarkedForDelete);
  os::FileTime waited = sim::Now() - start;
  EXPECT_GE(waited, 30 * sim::Second);
  EXPECT_LT(waited, 40 * sim::Second);
  EXPECT_EQ(RegText(os::HkeyLocalMachine, UninstallKey, u"DisplayName"), u"Ombrix");
  EXPECT_TRUE(sim::Service(u"Ombrix_Filter").exists);
  EXPECT_TRUE(sim::FileExists(InstallDir + u"\\Ombrix.ini"));
  ExpectNothingLeftOpen();
}

TEST_F(InstallTest, ServiceFileThatStaysInUseIsWaitedForBoundedlyThenReplacedAtRestart) {
  ASSERT_TRUE(Install(1));
  // Another process runs the installed service's file and never ends.
  sim::StartProgram(InstallDir + u"\\Ombrix_Service.exe");
  const os::FileTime start = sim::Now();

  EXPECT_TRUE(Install(2));

  EXPECT_EQ(InstallFailure, 0u);
  EXPECT_TRUE(RestartCompletes);
  EXPECT_EQ(Text(sim::FileBytes(InstallDir + u"\\Ombrix_Service.exe")), "Ombrix_Service.exe v1");
  EXPECT_EQ(Text(sim::FileBytes(InstallDir + u"\\Ombrix_Service.exe.new")), "Ombrix_Service.exe v2");
  EXPECT_THAT(PendingRenames(), ElementsAre(u"\\??\\" + InstallDir + u"\\Ombrix_Service.exe.new",
                                            u"!\\??\\" + InstallDir + u"\\Ombrix_Service.exe"));
  EXPECT_GE(sim::Now() - start, 30 * sim::Second);
  EXPECT_LT(sim::Now() - start, 40 * sim::Second);
  ExpectNothingLeftOpen();
}

// A viewer in another user's session has its window on that user's desktop: nothing closes it,
// and its file stays in use throughout the upgrade.
TEST_F(InstallTest, ViewerInAnotherSessionIsReplacedAtRestart) {
  ASSERT_TRUE(Install(1));
  sim::HoldId viewer = RunViewerInOtherSession();
  ASSERT_NE(viewer, 0u);

  EXPECT_TRUE(Install(2));

  EXPECT_EQ(InstallFailure, 0u);
  EXPECT_TRUE(RestartCompletes);
  const std::u16string viewerFile = InstallDir + u"\\Ombrix_Viewer.exe";
  EXPECT_EQ(Text(sim::FileBytes(viewerFile)), "Ombrix_Viewer.exe v1");
  // The whole new file waits beside the old one, where only administrators may change it, and
  // takes its place at the next restart.
  EXPECT_EQ(Text(sim::FileBytes(viewerFile + u".new")), "Ombrix_Viewer.exe v2");
  EXPECT_FALSE(sim::UserPutFile(viewerFile + u".new", Bytes("planted")));
  EXPECT_THAT(PendingRenames(),
              ElementsAre(u"\\??\\" + viewerFile + u".new", u"!\\??\\" + viewerFile));
  // The files not in use are replaced at once.
  EXPECT_EQ(Text(sim::FileBytes(InstalledSetup)), "Ombrix_Setup.exe v2");
  EXPECT_EQ(Text(sim::FileBytes(InstallDir + u"\\Ombrix_Service.exe")), "Ombrix_Service.exe v2");
  sim::ReleaseHold(viewer);
  ExpectNothingLeftOpen();
}

// Bytes appended to a sealed setup file leave its seal intact: the copy takes the sealed bytes,
// and a certificate table that follows them, and nothing else.
TEST_F(InstallTest, SealedBytesWithATailInstallOnlyWhatTheSealCovers) {
  const std::string sealed = Payload("Ombrix_Setup.exe", 1);
  sim::PutFile(DownloadedSetup, Bytes(sealed + "MZ appended program"));
  EXPECT_TRUE(RunInstallSequence());
  EXPECT_EQ(Text(sim::FileBytes(InstalledSetup)), sealed);
  EXPECT_TRUE(PendingRenames().empty());

  // A signed setup: a PE32 file sealed with its certificate table entry left out of the digest,
  // padded to 8 bytes, its certificate table appended, and more bytes after that.
  constexpr std::size_t Entry = 0x98 + 96 + 4 * 8;   // optional header at 0x98, entry 4
  std::vector<std::uint8_t> program(4093, 0x90);
  std::memcpy(program.data(), "MZ", 2);
  std::memcpy(program.data() + 0x3C, "\x80\0\0\0", 4);
  std::memcpy(program.data() + 0x80, "PE\0\0", 4);
  program[0x98] = 0x0B, program[0x99] = 0x01;
  std::memset(program.data() + Entry, 0, 8);
  SealSetup(program);
  SetupSeal.skipOffset[0] = std::uint32_t(Entry), SetupSeal.skipSize[0] = 8;
  // WIN_CERTIFICATE: length 12, revision 0x0200, type 2 (PKCS #7), 4 bytes, padded to 16.
  auto signedWith = [&](std::uint32_t size, std::uint8_t revision, std::uint8_t padding) {
    std::vector<std::uint8_t> file = program;
    const std::uint32_t entry[2] = {4096, size};
    std::memcpy(file.data() + Entry, entry, 8);
    file.resize(4096, padding);
    file.insert(file.end(), {12, 0, 0, 0, 0x00, revision, 0x02, 0x00, 's', 'i', 'g', '!', 0, 0, 0, 0});
    file.insert(file.end(), {'t', 'a', 'i', 'l'});
    sim::PutFile(DownloadedSetup, file);
    InitInstallerState(ModeInstall);
    EXPECT_TRUE(RunInstallSequence());
    return file;
  };

  std::vector<std::uint8_t> file = signedWith(16, 0x02, 0);
  EXPECT_EQ(sim::FileBytes(InstalledSetup), std::vector<std::uint8_t>(file.begin(), file.begin() + 4096 + 16));
  // An entry that claims the tail as well, a table that is no certificate table, or something
  // other than padding before it: the sealed bytes alone, with the entry cleared.
  for (const auto& [size, revision, padding] : {std::tuple<std::uint32_t, std::uint8_t, std::uint8_t>{16 + 4, 0x02, 0},
                                                {16, 0x01, 0}, {16, 0x02, 'x'}}) {
    signedWith(size, revision, padding);
    EXPECT_EQ(sim::FileBytes(InstalledSetup), program) << size << " " << int(revision) << " " << int(padding);
  }
  EXPECT_FALSE(sim::FileExists(InstalledSetup + u".new"));
  ExpectNothingLeftOpen();
}

TEST_F(InstallTest, ViewerThatDoesNotExitIsAskedTenTimes) {
  sim::AddWindow(u"#32770", u"Ombrix_Viewer");
  sim::AddWindow(u"#32770", u"Another window");
  const os::FileTime start = sim::Now();
  EXPECT_FALSE(CloseViewer(u"Ombrix_Viewer"));
  auto sent = sim::SentMessages();
  ASSERT_EQ(sent.size(), 10u);
  for (const auto& message : sent) EXPECT_EQ(message.message, 0x8024u);
  EXPECT_EQ(sim::Now() - start, 10 * sim::Second);
}

// Another program's window of the viewer's class and title that never answers.
TEST_F(InstallTest, WindowThatNeverAnswersHoldsNeitherInstallNorUninstallUp) {
  sim::HangWindow(sim::AddWindow(u"#32770", u"Ombrix_Viewer"));
  EXPECT_TRUE(RunInstallSequence());
  EXPECT_EQ(sim::SentMessages().size(), 10u);

  sim::SetModulePath(InstalledSetup);
  InitInstallerState(ModeUninstall);
  RunUninstallSequence();
  EXPECT_EQ(sim::SentMessages().size(), 20u);
  EXPECT_FALSE(sim::RegKeyExists(os::HkeyLocalMachine, UninstallKey));
}

// ---------------------------------------------------------------------------------------------
// The extraction directory's name already taken.

class ExtractionTrapTest : public SetupTest {
 protected:
  // Records, when the INF is opened, which directory the installer extracted into and how it
  // is protected.
  void WatchExtraction() {
    sim::OnCall("SetupOpenInfFileW", [this](std::uint64_t) {
      used = Installer.extractDirectory;
      info = sim::Path(used);
    });
  }
  std::u16string used;
  sim::PathInfo info;
};

TEST_F(ExtractionTrapTest, FreshDirectoryIsForAdministratorsAndSystemOnly) {
  WatchExtraction();
  RunInstallSequence();
  EXPECT_EQ(used, ExtractDir);
  EXPECT_TRUE(info.directory());
  EXPECT_EQ(info.sddl, u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  EXPECT_EQ(info.owner, sim::AdministratorsOwner);
  EXPECT_FALSE(info.reparse());
}

TEST_F(ExtractionTrapTest, DirectoryAnotherUserMadeIsNeverUsed) {
  // A directory at the name that this run did not make (another user's, as in a folder they
  // could write to), with a driver and a service program and an INF that would register them.
  sim::MakeDirectory(ExtractDir);
  sim::PutFile(ExtractDir + u"\\Ombrix_Filter.inf", Bytes("[Version]\r\nSignature=\"$Windows NT$\"\r\n"));
  sim::PutFile(ExtractDir + u"\\Ombrix_Filter.sys", Bytes("planted driver"));
  sim::PutFile(ExtractDir + u"\\Ombrix_Service.exe", Bytes("planted service"));
  sim::MakeDirectory(ExtractDir + u".1");   // the first alternative is taken too
  WatchExtraction();

  EXPECT_TRUE(RunInstallSequence());

  EXPECT_EQ(used, ExtractDir + u".2");
  EXPECT_EQ(info.sddl, u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  EXPECT_EQ(Text(sim::FileBytes(InstallDir + u"\\Ombrix_Service.exe")), "Ombrix_Service.exe v1");
  EXPECT_EQ(Text(sim::FileBytes(DriverFile)), "Ombrix_Filter.sys v1");
  // The planted directories are as they were: not written into, not emptied.
  EXPECT_THAT(sim::ListDirectory(ExtractDir),
              ElementsAre(u"Ombrix_Filter.inf", u"Ombrix_Filter.sys", u"Ombrix_Service.exe"));
  EXPECT_EQ(Text(sim::FileBytes(ExtractDir + u"\\Ombrix_Service.exe")), "planted service");
  EXPECT_TRUE(sim::ListDirectory(ExtractDir + u".1").empty());
  EXPECT_FALSE(sim::Path(ExtractDir + u".2").exists());
}

TEST_F(ExtractionTrapTest, FileOrJunctionAtTheNameIsNeverWrittenThrough) {
  // A file at the name, and the first alternative a junction into a folder of the victim's.
  sim::PutFile(ExtractDir, Bytes("a file"));
  sim::MakeDirectory(u"C:\\Users\\admin\\Documents", AdminDirectory());
  sim::PutFile(u"C:\\Users\\admin\\Documents\\report.doc", Bytes("report"));
  sim::PlantJunction(ExtractDir + u".1", u"C:\\Users\\admin\\Documents");
  WatchExtraction();

  EXPECT_TRUE(RunInstallSequence());

  EXPECT_EQ(used, ExtractDir + u".2");
  EXPECT_EQ(Text(sim::FileBytes(ExtractDir)), "a file");
  EXPECT_TRUE(sim::Path(ExtractDir + u".1").reparse());
  EXPECT_THAT(sim::ListDirectory(u"C:\\Users\\admin\\Documents"), ElementsAre(u"report.doc"));
  EXPECT_EQ(Text(sim::FileBytes(InstallDir + u"\\Ombrix_Viewer.exe")), "Ombrix_Viewer.exe v1");
}

TEST_F(ExtractionTrapTest, WithoutADirectoryOfItsOwnNothingIsTakenFromTheName) {
  // The fresh directory can't be made at all: the planted one is still not used.
  sim::MakeDirectory(ExtractDir);
  sim::PutFile(ExtractDir + u"\\Ombrix_Filter.inf", FilterInf());
  sim::PutFile(ExtractDir + u"\\Ombrix_Filter.sys", Bytes("planted driver"));
  sim::PutFile(ExtractDir + u"\\Ombrix_Viewer.exe", Bytes("planted viewer"));
  // The install directory is there and the usual name taken; making the first alternative is
  // refused.
  sim::Fail("CreateDirectoryW", {2, 0, os::ErrorAccessDenied});

  EXPECT_FALSE(RunInstallSequence());

  EXPECT_FALSE(sim::FileExists(DriverFile));
  EXPECT_FALSE(sim::Service(u"Ombrix_Filter").exists);
  EXPECT_FALSE(sim::FileExists(InstallDir + u"\\Ombrix_Viewer.exe"));
  EXPECT_EQ(sim::ListDirectory(ExtractDir).size(), 3u);
}

TEST_F(ExtractionTrapTest, ClearingSkipsLinksAndNeverEntersAJunction) {
  const std::u16string work = u"C:\\Work";
  sim::MakeDirectory(work, AdminDirectory());
  sim::MakeDirectory(u"C:\\Victim");
  sim::PutFile(u"C:\\Victim\\precious.txt", Bytes("precious"));
  sim::PutFile(work + u"\\a.txt", Bytes("a"));
  sim::PutFile(work + u"\\b.dat", Bytes("b"));
  sim::MakeDirectory(work + u"\\sub");
  sim::PutFile(work + u"\\sub\\c.txt", Bytes("c"));
  sim::PlantFileLink(work + u"\\link.txt", u"C:\\Victim\\precious.txt");
  sim::PlantJunction(work + u"\\into", u"C:\\Victim");
  sim::PlantJunction(u"C:\\Junction", u"C:\\Victim");

  EXPECT_TRUE(ClearDirectory(work.c_str(), u"*.*"));
  EXPECT_THAT(sim::ListDirectory(work), ElementsAre(u"into", u"link.txt", u"sub"));
  EXPECT_TRUE(sim::FileExists(work + u"\\sub\\c.txt"));

  EXPECT_FALSE(ClearDirectory(u"C:\\Junction", u"*.*"));
  EXPECT_THAT(sim::ListDirectory(u"C:\\Victim"), ElementsAre(u"precious.txt"));
  // No empty, root or relative directory is ever cleared.
  sim::PutFile(u"C:\\root.txt", Bytes("r"));
  EXPECT_FALSE(ClearDirectory(u"", u"*.*"));
  EXPECT_FALSE(ClearDirectory(u"C:\\", u"*.*"));
  EXPECT_FALSE(ClearDirectory(u"Ombrix", u"*.*"));
  EXPECT_TRUE(sim::FileExists(u"C:\\root.txt"));
  ExpectNothingLeftOpen();
}

// ---------------------------------------------------------------------------------------------
// A failure of each step leaves its own part undone and the others done.

std::map<std::string, bool> InstalledParts() {
  std::map<std::string, bool> parts;
  auto has = [](const std::u16string& name, const std::string& payload) {
    return Text(sim::FileBytes(InstallDir + u"\\" + name)) == payload;
  };
  parts["setup copy"] = has(u"Ombrix_Setup.exe", "Ombrix_Setup.exe v1");
  parts["viewer"] = has(u"Ombrix_Viewer.exe", "Ombrix_Viewer.exe v1");
  parts["service file"] = has(u"Ombrix_Service.exe", "Ombrix_Service.exe v1");
  parts["help"] = has(u"HELP.chm", "HELP.chm v1");
  auto stats = sim::FileBytes(InstallDir + u"\\Ombrix.ini");
  parts["statistics"] = stats && stats->size() == 597 && (*stats)[0] == 1;
  parts["driver file"] = Text(sim::FileBytes(DriverFile)) == "Ombrix_Filter.sys v1";
  parts["driver service"] = sim::Service(u"Ombrix_Filter").exists &&
                            sim::GetRegString(os::HkeyLocalMachine, FilterKey + u"\\Instances\\Ombrix_Filter Instance",
                                              u"Altitude") == std::u16string(u"265000");
  parts["service"] = sim::Service(u"Ombrix_Service").exists;
  parts["uninstall entry"] = sim::RegValueNames(os::HkeyLocalMachine, UninstallKey).size() == 5;
  parts["last access"] =
      sim::GetRegDword(os::HkeyLocalMachine, FileSystemKeyPath, u"NtfsDisableLastAccessUpdate") == std::optional<std::uint32_t>(1);
  parts["run value"] = sim::GetRegString(os::HkeyLocalMachine, RunKeyPath, u"Ombrix_Viewer").has_value();
  parts["show comp color"] =
      sim::GetRegDword(os::HkeyCurrentUser, ExplorerKeyPath, u"ShowCompColor") == std::optional<std::uint32_t>(0);
  parts["extraction removed"] = !sim::Path(ExtractDir).exists();
  return parts;
}

struct StepFault {
  const char* step;
  const char* function;
  std::uint64_t nth;
  std::vector<std::string> undone;
  bool complete;   // the installed system can work; otherwise the user is told
};

void PrintTo(const StepFault& fault, std::ostream* out) { *out << fault.step; }

class StepFaultTest : public SetupTest, public ::testing::WithParamInterface<StepFault> {};

TEST_P(StepFaultTest, OnlyTheFailingStepsPartIsUndone) {
  const StepFault& fault = GetParam();
  ASSERT_TRUE(sim::Fail(fault.function, {fault.nth}));
  EXPECT_EQ(RunInstallSequence(), fault.complete);
  EXPECT_EQ(InstallFailure == 0, fault.complete) << InstallFailure;
  sim::ClearFaults();
  std::map<std::string, bool> parts = InstalledParts();
  for (const auto& [part, done] : parts) {
    bool undone = std::find(fault.undone.begin(), fault.undone.end(), part) != fault.undone.end();
    EXPECT_EQ(done, !undone) << part;
  }
  ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, StepFaultTest,
    ::testing::Values(
        // Extraction: the directory can't be made inside the install directory, so nothing is
        // unpacked.
        StepFault{"ExtractDirectory", "CreateDirectoryW", 2,
                  {"viewer", "service file", "help", "driver file", "driver service"}, false},
        // One resource missing: the driver, then the viewer.
        StepFault{"DriverResource", "FindResourceW", 2, {"driver file", "driver service"}, false},
        StepFault{"ViewerResource", "FindResourceW", 3, {"viewer"}, false},
        StepFault{"CopySetup", "CreateFileW", 12, {"setup copy"}, false},
        // The setup's own file can't be held: nothing is installed.
        StepFault{"OwnFile", "CreateFileW", 1,
                  {"setup copy", "viewer", "service file", "help", "statistics", "driver file", "driver service",
                   "service", "uninstall entry", "last access", "run value", "show comp color"},
                  false},
        // No install directory: nothing is installed.
        StepFault{"InstallDirectory", "CreateDirectoryW", sim::EveryCall,
                  {"setup copy", "viewer", "service file", "help", "statistics", "driver file", "driver service",
                   "service", "uninstall entry", "last access", "run value", "show comp color"},
                  false},
        StepFault{"UninstallEntry", "RegCreateKeyW", 1, {"uninstall entry"}, true},
        StepFault{"Statistics", "CreateFileW", 13, {"statistics"}, true},
        StepFault{"OpenInf", "SetupOpenInfFileW", 1, {"driver file", "driver service"}, false},
        StepFault{"CopyDriver", "CopyFileW", 4, {"driver file", "driver service"}, false},
        StepFault{"DriverServices", "SetupInstallServicesFromInfSectionW", 1, {"driver service"}, false},
        StepFault{"Service", "CreateServiceW", 1, {"service"}, false},
        StepFault{"LastAccess", "RegCreateKeyW", 6, {"last access"}, true},
        StepFault{"RunValue", "RegCreateKeyW", 7, {"run value"}, true},
        StepFault{"ShowCompColor", "RegSetValueExW", 8, {"show comp color"}, true},
        StepFault{"RemoveExtraction", "RemoveDirectoryW", 1, {"extraction removed"}, true}),
    [](const ::testing::TestParamInfo<StepFault>& info) { return std::string(info.param.step); });

TEST_F(InstallTest, InfThatCannotBeOpenedIsReported) {
  // A missing file, and an INF whose first line stands before any section.
  sim::Fail("SetupOpenInfFileW", {1, 0, os::ErrorFileNotFound});
  EXPECT_FALSE(InstallFilterDriver(u"Ombrix_Filter"));   // no extraction directory yet either
  EXPECT_TRUE(sim::DebugLines().empty());

  EXPECT_FALSE(ExtractResources()) << "not before the install directory is checked and held";
  ASSERT_EQ(HoldInstallDirectory(true), 0u);
  ASSERT_TRUE(ExtractResources());
  EXPECT_FALSE(InstallFilterDriver(u"Ombrix_Filter"));
  EXPECT_THAT(sim::DebugLines(), ElementsAre(u"SetupOpenInfFile() error : 0 2"));
  sim::ClearDebugLines();

  sim::PutFile(std::u16string(Installer.extractDirectory) + u"\\Ombrix_Filter.inf", Bytes("x = 1\r\n[Version]\r\n"));
  EXPECT_FALSE(InstallFilterDriver(u"Ombrix_Filter"));
  EXPECT_THAT(sim::DebugLines(), ElementsAre(u"SetupOpenInfFile() error : 1 " +
                                             std::u16string(u"-536870912")));   // ERROR_EXPECTED_SECTION_NAME
  EXPECT_FALSE(sim::FileExists(DriverFile));
  EXPECT_TRUE(ClearExtractDirectory());
  ReleaseInstallDirectory();
  ExpectNothingLeftOpen();
}

TEST_F(InstallTest, StateInitialisationFormsBothDirectoriesAndCreatesNeither) {
  Installer.decompressChosen = 1;
  Installer.worker.done.store(1);
  InitInstallerState(ModeUninstall);
  EXPECT_EQ(Installer.mode, ModeUninstall);
  EXPECT_EQ(Installer.decompressChosen, 0);
  EXPECT_EQ(Installer.worker.done.load(), 0u);
  EXPECT_EQ(std::u16string(Installer.installDirectory), InstallDir);
  EXPECT_EQ(std::u16string(Installer.extractDirectory), ExtractDir);
  EXPECT_FALSE(sim::Path(InstallDir).exists());
  EXPECT_FALSE(sim::Path(ExtractDir).exists());

  // A product name that can't be loaded is not an empty one: the directories still end in it.
  sim::SetString(IDS_PRODUCT, u"");
  sim::SetFolderPath(os::CsidlProgramFiles, u"D:\\Programs");
  InitInstallerState(ModeInstall);
  EXPECT_EQ(std::u16string(Installer.installDirectory), u"D:\\Programs\\Ombrix");
  EXPECT_EQ(std::u16string(Installer.extractDirectory), u"D:\\Programs\\Ombrix\\Staging");

  // A Program Files folder that can't be read leaves the install directory empty, and no step
  // acts on it.
  sim::Fail("SHGetSpecialFolderPathW", {1});
  InitInstallerState(ModeInstall);
  EXPECT_EQ(Installer.installDirectory[0], 0);
  EXPECT_EQ(Installer.extractDirectory[0], 0);
  sim::PutFile(u"C:\\Ombrix_Viewer.exe", Bytes("root"));
  EXPECT_FALSE(ExtractResources());
  EXPECT_FALSE(CopyProgramFiles());
  EXPECT_FALSE(WriteUninstallEntry());
  EXPECT_FALSE(RemoveProgramFiles());
  EXPECT_TRUE(sim::FileExists(u"C:\\Ombrix_Viewer.exe"));
}

}  // namespace
}  // namespace setuptest
