// The installing user's own unelevated programs against the staging directory: before every call
// of the install and the uninstall sequence the user moves it away and puts a directory of their
// own at its name, replaces its files, or moves it away for a junction into a folder of theirs;
// or they move the running setup out of their downloads folder and put their own in its place.
// With Program Files on a data drive whose root lets authenticated users modify what they create,
// they also move the whole install directory away for one of theirs, or replace installed files.
// What ends up installed and registered must still be what the setup carries, and nobody else
// can change it (or the installer says that it failed and leaves the rest out), and nothing
// outside the staging and install directories may be deleted.
#include "setup_fixture.h"

namespace setuptest {
namespace {

const std::u16string PlantedDir = u"C:\\Users\\user\\Planted";
const std::u16string OwnStaging = std::u16string(sim::DefaultTempPath) + u"Own";
const std::u16string DataOwnStaging = u"D:\\Own";
const std::u16string DataOwnInstall = u"D:\\OwnOmbrix";
const std::u16string PlantedNames[] = {u"Ombrix_Filter.inf", u"Ombrix_Filter.sys", u"Ombrix_Service.exe",
                                       u"Ombrix_Viewer.exe", u"HELP.chm"};

// The user's own files; the INF registers their driver from either services section.
std::vector<std::uint8_t> PlantedBytes(const std::u16string& name) {
  if (name != u"Ombrix_Filter.inf") return Bytes("planted " + Narrow(name));
  return Bytes("[Version]\r\nSignature = \"$Windows NT$\"\r\n"
               "[DefaultInstall.Services]\r\nAddService = Planted,,Planted.Service\r\n"
               "[DefaultUninstall.Services]\r\nAddService = Planted,,Planted.Service\r\n"
               "[Planted.Service]\r\nServiceType = 1\r\nStartType = 0\r\nErrorControl = 1\r\n"
               "ServiceBinary = C:\\Users\\user\\Planted\\Ombrix_Filter.sys\r\n");
}

enum class Attack {
  MoveAndReplaceDirectory,
  ReplaceFiles,
  JunctionToOwnFolder,
  SwapSetupProgram,
  MoveAndReplaceInstallDirectory,
  ReplaceInstalledFiles
};

// What the user does at one point, to whatever the installer's staging directory is then.
void Act(Attack attack) {
  if (attack == Attack::SwapSetupProgram) {
    if (sim::UserRename(DownloadedSetup, DownloadedSetup + u".moved")) sim::UserPutFile(DownloadedSetup, Bytes("planted"));
    return;
  }
  const std::u16string staging = Installer.extractDirectory;
  const std::u16string install = Installer.installDirectory;
  if (staging.empty()) return;
  const bool dataDrive = install[0] == u'D';
  if (attack == Attack::MoveAndReplaceInstallDirectory) {
    if (sim::UserRename(install, install + u".moved")) sim::UserRename(DataOwnInstall, install);
    return;
  }
  if (attack == Attack::ReplaceFiles || attack == Attack::ReplaceInstalledFiles) {
    const std::u16string& dir = attack == Attack::ReplaceFiles ? staging : install;
    for (const std::u16string& name : PlantedNames) sim::UserPutFile(dir + u"\\" + name, PlantedBytes(name));
    if (attack == Attack::ReplaceInstalledFiles) sim::UserPutFile(install + u"\\Ombrix_Setup.exe", Bytes("planted setup"));
    return;
  }
  sim::UserRename(staging, staging + u".moved");
  if (attack == Attack::MoveAndReplaceDirectory) sim::UserRename(dataDrive ? DataOwnStaging : OwnStaging, staging);
  else sim::UserPlantJunction(staging, PlantedDir);
}

struct AttackCase {
  const char* name;
  std::int32_t mode;
  Attack attack;
  // Program Files on D:, made by an administrator under D:'s usual root; or the install directory
  // made in advance by the user.
  enum class Directory { Default, DataDrive, MadeByUser } directory = Directory::Default;
};

void PrintTo(const AttackCase& c, std::ostream* out) { *out << c.name; }

class StagingAttackTest : public SetupTest, public ::testing::WithParamInterface<AttackCase> {
 protected:
  // A fresh machine with the user's folders of their own files; in uninstall mode installed
  // first (unattacked) and the installed copy started.
  void Prepare() {
    SetupTest::SetUp();
    for (const std::u16string& dir : {PlantedDir, OwnStaging}) {
      sim::MakeDirectory(dir);
      for (const std::u16string& name : PlantedNames) sim::PutFile(dir + u"\\" + name, PlantedBytes(name));
    }
    if (GetParam().directory == AttackCase::Directory::MadeByUser) sim::MakeDirectory(InstallDir);
    if (GetParam().directory == AttackCase::Directory::DataDrive) {
      sim::AddDrive(u'D');
      MoveProgramFiles(u"D:\\Program Files");
      for (const std::u16string& dir : {DataOwnStaging, DataOwnInstall, DataOwnInstall + u"\\Staging"}) {
        ASSERT_TRUE(sim::UserMakeDirectory(dir));
        for (const std::u16string& name : PlantedNames) ASSERT_TRUE(sim::UserPutFile(dir + u"\\" + name, PlantedBytes(name)));
      }
    }
    if (GetParam().mode == ModeUninstall) {
      ASSERT_TRUE(Install(1));
      sim::SetModulePath(InstalledSetup);
      InitInstallerState(ModeUninstall);
    }
  }

  static void RunSequence() {
    if (Installer.mode == ModeInstall) RunInstallSequence();
    else RunUninstallSequence();
  }

  // What is wrong on the machine after the sequence ran; empty when nothing is.
  static std::string Damage() {
    std::string out;
    const bool told = InstallFailure != 0;
    auto expect = [&out, told](const std::u16string& path, const std::vector<std::uint8_t>& bytes) {
      std::string found = Text(sim::FileBytes(path));
      if (found != Text(bytes) && !(told && found == "<missing>")) out += Narrow(path) + " is \"" + found.substr(0, 24) + "\"; ";
    };
    expect(DriverFile, Bytes(Payload("Ombrix_Filter.sys", 1)));
    const std::u16string install = Installer.installDirectory;
    if (Installer.mode == ModeInstall) {
      for (const char16_t* name : {u"Ombrix_Setup.exe", u"Ombrix_Service.exe", u"Ombrix_Viewer.exe", u"HELP.chm"}) {
        const std::u16string path = install + u"\\" + name;
        expect(path, Bytes(Payload(Narrow(name), 1)));
        // Nobody else can change what was installed, nor rename it away.
        constexpr std::uint32_t change = os::FileAddFile | os::AccessDelete | os::WriteDac | os::WriteOwner;
        if (sim::FileExists(path) && (sim::UserMay(path, change) || sim::UserMay(install, os::FileDeleteChild)))
          out += Narrow(path) + " can be changed by the user; ";
      }
    }
    // Installed: the compression service and the filter; uninstalled: neither.
    std::vector<std::u16string> expected;
    if (Installer.mode == ModeInstall) expected = {u"Ombrix_Filter", u"Ombrix_Service"};
    std::vector<std::u16string> services = sim::ServiceNames();
    auto absent = [&services](const std::u16string& name) {
      return std::find(services.begin(), services.end(), name) == services.end();
    };
    if (told) expected.erase(std::remove_if(expected.begin(), expected.end(), absent), expected.end());
    if (services != expected) {
      out += "services:";
      for (const std::u16string& name : services) out += " " + Narrow(name);
      out += "; ";
    }
    for (const std::u16string& name : PlantedNames) expect(PlantedDir + u"\\" + name, PlantedBytes(name));
    if (install[0] == u'D') {
      for (const std::u16string& name : PlantedNames) expect(DataOwnInstall + u"\\Staging\\" + name, PlantedBytes(name));
    }
    expect(u"C:\\Windows\\system32\\cmd.exe", Bytes("MZ"));
    return out;
  }
};

TEST_P(StagingAttackTest, WhatIsInstalledIsWhatTheSetupCarries) {
  // The calls the sequence makes when left alone: the user acts before each of them in turn.
  Prepare();
  std::uint64_t calls = 0;
  sim::OnEveryCall([&calls](std::uint64_t) { ++calls; });
  RunSequence();
  ASSERT_GT(calls, 5u);

  std::vector<std::string> damaged;
  for (std::uint64_t point = 1; point <= calls; ++point) {
    Prepare();
    sim::OnEveryCall([point, attack = GetParam().attack](std::uint64_t call) {
      if (call == point) Act(attack);
    });
    RunSequence();
    sim::OnEveryCall({});
    std::string damage = Damage();
    if (!damage.empty()) damaged.push_back("before call " + std::to_string(point) + ": " + damage);
  }
  EXPECT_TRUE(damaged.empty()) << damaged.size() << " of " << calls << " points, first " << damaged.front();
}

INSTANTIATE_TEST_SUITE_P(
    InstallAndUninstall, StagingAttackTest,
    ::testing::Values(AttackCase{"InstallMoveAndReplace", ModeInstall, Attack::MoveAndReplaceDirectory},
                      AttackCase{"InstallReplaceFiles", ModeInstall, Attack::ReplaceFiles},
                      AttackCase{"InstallJunction", ModeInstall, Attack::JunctionToOwnFolder},
                      AttackCase{"InstallSwapSetup", ModeInstall, Attack::SwapSetupProgram},
                      AttackCase{"UninstallMoveAndReplace", ModeUninstall, Attack::MoveAndReplaceDirectory},
                      AttackCase{"UninstallReplaceFiles", ModeUninstall, Attack::ReplaceFiles},
                      AttackCase{"UninstallJunction", ModeUninstall, Attack::JunctionToOwnFolder},
                      AttackCase{"UserMadeDirectoryMoveAndReplaceStaging", ModeInstall, Attack::MoveAndReplaceDirectory,
                                 AttackCase::Directory::MadeByUser},
                      AttackCase{"DataDriveMoveAndReplaceInstallDirectory", ModeInstall,
                                 Attack::MoveAndReplaceInstallDirectory, AttackCase::Directory::DataDrive},
                      AttackCase{"DataDriveReplaceInstalledFiles", ModeInstall, Attack::ReplaceInstalledFiles,
                                 AttackCase::Directory::DataDrive}),
    [](const ::testing::TestParamInfo<AttackCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace setuptest
