// The installing user's own unelevated programs against the staging directory: at every point
// between two calls of the install and the uninstall sequence the user renames it and puts a
// directory of their own there, replaces its files, or moves it away for a junction into a
// folder of theirs. What ends up installed and registered must still be what the setup carries,
// and nothing outside the staging and install directories may be deleted.
#include <sstream>

#include "setup_fixture.h"

namespace setuptest {
namespace {

const std::u16string PlantedDir = u"C:\\Users\\user\\Planted";
const char* const PlantedNames[] = {"Ombrix_Filter.inf", "Ombrix_Filter.sys", "Ombrix_Service.exe",
                                    "Ombrix_Viewer.exe", "HELP.chm"};

// An INF that registers the user's own driver from either services section.
const std::string PlantedInf =
    "[Version]\r\nSignature = \"$Windows NT$\"\r\n"
    "[DefaultInstall.Services]\r\nAddService = Planted,,Planted.Service\r\n"
    "[DefaultUninstall.Services]\r\nAddService = Planted,,Planted.Service\r\n"
    "[Planted.Service]\r\nServiceType = 1\r\nStartType = 0\r\nErrorControl = 1\r\n"
    "ServiceBinary = C:\\Users\\user\\Planted\\Ombrix_Filter.sys\r\n";

std::vector<std::uint8_t> PlantedBytes(const std::string& name) {
  return name == "Ombrix_Filter.inf" ? Bytes(PlantedInf) : Bytes("planted " + name);
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

enum class Attack { RenameAndReplaceDirectory, ReplaceFiles, JunctionToOwnFolder };

// What the user does at one point, on whatever the installer's staging directory is then.
void Act(Attack attack) {
  const std::u16string staging = Installer.extractDirectory;
  if (staging.empty()) return;
  switch (attack) {
    case Attack::RenameAndReplaceDirectory:
      sim::UserRename(staging, staging + u".moved");
      if (!sim::UserMakeDirectory(staging)) return;
      for (const char* name : PlantedNames) sim::UserPutFile(staging + u"\\" + Wide(name), PlantedBytes(name));
      return;
    case Attack::ReplaceFiles:
      for (const char* name : PlantedNames) sim::UserPutFile(staging + u"\\" + Wide(name), PlantedBytes(name));
      return;
    case Attack::JunctionToOwnFolder:
      sim::UserRename(staging, staging + u".moved");
      sim::UserPlantJunction(staging, PlantedDir);
      return;
  }
}

struct AttackCase {
  const char* name;
  std::int32_t mode;
  Attack attack;
};

void PrintTo(const AttackCase& c, std::ostream* out) { *out << c.name; }

class StagingAttackTest : public SetupTest, public ::testing::WithParamInterface<AttackCase> {
 protected:
  // A fresh machine with the user's folder of planted files; in uninstall mode installed first
  // (unattacked) and the installed copy started.
  void Prepare() {
    SetupTest::SetUp();
    sim::MakeDirectory(PlantedDir);
    for (const char* name : PlantedNames) sim::PutFile(PlantedDir + u"\\" + Wide(name), PlantedBytes(name));
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
    std::ostringstream out;
    auto expect = [&out](const std::u16string& path, const std::string& bytes) {
      std::string found = Text(sim::FileBytes(path));
      if (found != bytes) out << Narrow(path) << " is \"" << found.substr(0, 24) << "\"; ";
    };
    expect(DriverFile, Payload("Ombrix_Filter.sys", 1));
    std::vector<std::u16string> services = sim::ServiceNames();
    if (Installer.mode == ModeInstall) {
      for (const char* name : {"Ombrix_Service.exe", "Ombrix_Viewer.exe", "HELP.chm"}) {
        expect(InstallDir + u"\\" + Wide(name), Payload(name, 1));
      }
      std::u16string image = sim::Service(u"Ombrix_Filter").imagePath;
      if (image.find(u"drivers\\Ombrix_Filter.sys") == std::u16string::npos) out << "filter image " << Narrow(image) << "; ";
      if (services.size() != 2) out << services.size() << " services; ";
    } else if (!services.empty()) {
      out << "services left: " << Narrow(services[0]) << "; ";
    }
    for (const char* name : PlantedNames) expect(PlantedDir + u"\\" + Wide(name), Text(PlantedBytes(name)));
    expect(u"C:\\Windows\\system32\\cmd.exe", "MZ");
    return out.str();
  }
};

TEST_P(StagingAttackTest, WhatIsInstalledIsWhatTheSetupCarries) {
  // The calls the sequence makes when left alone: the user acts before each of them in turn.
  Prepare();
  std::uint64_t calls = 0;
  sim::OnEveryCall([&calls](std::uint64_t) { ++calls; });
  RunSequence();
  ASSERT_GT(calls, 20u);

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
  EXPECT_TRUE(damaged.empty()) << damaged.size() << " of " << calls << " points, first: " << damaged.front();
}

INSTANTIATE_TEST_SUITE_P(
    InstallAndUninstall, StagingAttackTest,
    ::testing::Values(AttackCase{"InstallRename", ModeInstall, Attack::RenameAndReplaceDirectory},
                      AttackCase{"InstallReplaceFiles", ModeInstall, Attack::ReplaceFiles},
                      AttackCase{"InstallJunction", ModeInstall, Attack::JunctionToOwnFolder},
                      AttackCase{"UninstallRename", ModeUninstall, Attack::RenameAndReplaceDirectory},
                      AttackCase{"UninstallReplaceFiles", ModeUninstall, Attack::ReplaceFiles},
                      AttackCase{"UninstallJunction", ModeUninstall, Attack::JunctionToOwnFolder}),
    [](const ::testing::TestParamInfo<AttackCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace setuptest
