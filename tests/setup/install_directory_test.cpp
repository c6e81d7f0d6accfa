// The install directory and the folders above it, as others may have left them: made in advance
// by the user, writable by users, passing write on to what it holds, a junction, Program Files
// on a drive where users may create and change folders, a folder above owned by the user, and
// Wine's way of reporting security. Afterwards either nothing was installed (nothing changed at
// all) and the user was told, or every installed file is the carried one and the user can change
// none of them.
#include "setup_fixture.h"

#include <functional>

namespace setuptest {
namespace {

const std::u16string DataProgramFiles = u"D:\\Program Files";
const std::u16string Documents = u"C:\\Users\\admin\\Documents";
constexpr std::uint32_t AnyChange = os::FileAddFile | os::FileAddSubdirectory | os::FileDeleteChild |
                                    os::AccessDelete | os::WriteDac | os::WriteOwner;

// Program Files moved to D:, made there by an administrator: it takes what D:'s root passes on,
// so authenticated users may modify (and rename) it.
void ProgramFilesOnDataDrive() {
  sim::AddDrive(u'D');
  MoveProgramFiles(DataProgramFiles);
}

struct DirectoryCase {
  const char* name;
  std::function<void()> arrange;
  bool installs;
};

void PrintTo(const DirectoryCase& c, std::ostream* out) { *out << c.name; }

class InstallDirectoryTest : public SetupTest, public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(InstallDirectoryTest, InstallsOnlyWhereNobodyElseCanChangeIt) {
  GetParam().arrange();
  const std::u16string directory = Installer.installDirectory;
  const bool existed = sim::Path(directory).exists();
  const std::vector<std::u16string> before = sim::ListDirectory(directory);
  sim::Window viewer = AddRunningViewer();

  bool installed = RunInstallSequence();

  ExpectNothingLeftOpen();
  const std::u16string names[] = {u"Ombrix_Setup.exe", u"Ombrix_Service.exe", u"Ombrix_Viewer.exe", u"HELP.chm"};
  if (!GetParam().installs) {
    EXPECT_FALSE(installed);
    EXPECT_EQ(InstallFailure, os::TrustESubjectNotTrusted);
    // Stopped before its first change: the directory as it was, nothing else touched.
    EXPECT_EQ(sim::Path(directory).exists(), existed);
    EXPECT_EQ(sim::ListDirectory(directory), before);
    EXPECT_TRUE(sim::WindowExists(viewer));
    EXPECT_TRUE(sim::ServiceNames().empty());
    EXPECT_FALSE(sim::FileExists(DriverFile));
    EXPECT_FALSE(sim::RegKeyExists(os::HkeyLocalMachine, UninstallKey));
    EXPECT_FALSE(sim::GetRegString(os::HkeyLocalMachine, RunKeyPath, u"Ombrix_Viewer").has_value());
    return;
  }
  ASSERT_TRUE(installed) << InstallFailure;
  EXPECT_FALSE(sim::UserMay(directory, os::FileAddFile)) << "nobody else adds to it";
  EXPECT_FALSE(sim::UserMay(directory, os::FileAddSubdirectory));
  EXPECT_FALSE(sim::UserMay(directory, os::AccessDelete));
  EXPECT_FALSE(sim::UserMay(directory, os::WriteDac));
  EXPECT_FALSE(sim::UserRename(directory, directory + u".moved"));
  for (const std::u16string& name : names) {
    const std::u16string path = directory + u"\\" + name;
    EXPECT_EQ(Text(sim::FileBytes(path)), Payload(Narrow(name), 1));
    EXPECT_FALSE(sim::UserMay(path, os::FileAddFile)) << Narrow(name);
    EXPECT_FALSE(sim::UserMay(path, AnyChange & ~os::FileAddFile)) << Narrow(name);
    EXPECT_FALSE(sim::UserPutFile(path, Bytes("planted"))) << Narrow(name);
  }
  EXPECT_FALSE(sim::UserPutFile(directory + u"\\Ombrix.ini", Bytes("planted")));
  EXPECT_EQ(sim::ServiceNames(), (std::vector<std::u16string>{u"Ombrix_Filter", u"Ombrix_Service"}));
}

INSTANTIATE_TEST_SUITE_P(
    Directories, InstallDirectoryTest,
    ::testing::Values(
        // Made by the setup: protected, SYSTEM and Administrators full control, Users read and
        // execute. An earlier Ombrix's directory, made with what Program Files passes on, is used.
        DirectoryCase{"MadeUnderProgramFiles", [] {}, true},
        DirectoryCase{"EarlierOmbrixUnderProgramFiles",
                      [] {
                        sim::MakeDirectory(InstallDir, AdminDirectory());
                        sim::PutFile(InstallDir + u"\\Ombrix_Viewer.exe", Bytes("Ombrix_Viewer.exe v0"));
                      },
                      true},
        // A Program Files that passes modify on to what users create below it: the directory the
        // setup makes inherits nothing.
        DirectoryCase{"MadeUnderAFolderPassingModifyOn",
                      [] {
                        sim::AddDrive(u'D');
                        MoveProgramFiles(DataProgramFiles, {std::u16string(sim::TrustedInstallerOwner),
                                                            std::u16string(sim::ProgramFilesSddl) + u"(A;OICIIO;0x1301bf;;;AU)"});
                      },
                      true},
        DirectoryCase{"MadeInAdvanceByTheUser", [] { sim::MakeDirectory(InstallDir); }, false},
        DirectoryCase{"UsersMayWriteIntoIt",
                      [] { sim::MakeDirectory(InstallDir, {std::u16string(sim::AdministratorsOwner), u"D:(A;;0x1301bf;;;AU)"}); },
                      false},
        // Nothing may be written to it, but what the setup puts into it would be writable.
        DirectoryCase{"PassesWriteOnToFiles",
                      [] {
                        sim::MakeDirectory(InstallDir, {std::u16string(sim::AdministratorsOwner),
                                                        u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OIIO;FW;;;BU)"});
                      },
                      false},
        DirectoryCase{"JunctionAtItsName",
                      [] {
                        sim::MakeDirectory(Documents, AdminDirectory());
                        sim::PlantJunction(InstallDir, Documents, sim::AdministratorsOwner);
                      },
                      false},
        DirectoryCase{"ProgramFilesOnADataDrive", ProgramFilesOnDataDrive, false},
        DirectoryCase{"UserMadeItOnTheDataDrive",
                      [] {
                        ProgramFilesOnDataDrive();
                        ASSERT_TRUE(sim::UserMakeDirectory(Installer.installDirectory));
                      },
                      false},
        // Program Files as on C:, but the root lets users delete what is in it (modify and
        // FILE_DELETE_CHILD).
        DirectoryCase{"RootLetsUsersDeleteEntries",
                      [] {
                        sim::AddDrive(u'D');
                        sim::SetSecurity(u"D:\\", u"O:BAD:(A;OICI;0x1301ff;;;AU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
                        MoveProgramFiles(DataProgramFiles, {std::u16string(sim::TrustedInstallerOwner),
                                                            std::u16string(sim::ProgramFilesSddl)});
                      },
                      false},
        DirectoryCase{"FolderAboveOwnedByTheUser",
                      [] {
                        // Program Files' access list, but the user's folder.
                        std::u16string_view dacl = sim::ProgramFilesSddl.substr(sim::ProgramFilesSddl.find(u"D:P"));
                        MoveProgramFiles(u"C:\\Apps", {std::u16string(sim::OtherUserOwner), std::u16string(dacl)});
                      },
                      false},
        // Wine names its one user as every file's owner and gives it full control; only where
        // ntdll is Wine's does that user count as trusted.
        DirectoryCase{"Wine", [] { sim::EmulateWine(true, true); }, true},
        DirectoryCase{"WineSecurityOnWindows", [] { sim::EmulateWine(true, false); }, false}),
    [](const ::testing::TestParamInfo<DirectoryCase>& info) { return std::string(info.param.name); });

// An earlier version installed into a directory the user made: the uninstaller and the
// decompression worker do not use it either, nothing is removed and the user is told.
TEST_F(SetupTest, UninstallLeavesADirectoryOthersCanChange) {
  sim::MakeDirectory(InstallDir);
  for (const char16_t* name : {u"Ombrix_Setup.exe", u"Ombrix_Service.exe", u"Ombrix_Viewer.exe", u"HELP.chm"}) {
    sim::PutFile(InstallDir + u"\\" + name, Bytes(Payload(Narrow(name), 1)));
  }
  sim::AddService(u"Ombrix_Service", {os::ServiceWin32OwnProcess, os::ServiceAutoStart, os::ServiceErrorIgnore,
                                      QuotedServicePath});
  sim::SetRegString(os::HkeyLocalMachine, UninstallKey, u"DisplayName", u"Ombrix");
  sim::Window viewer = AddRunningViewer();
  sim::SetModulePath(InstalledSetup);
  InitInstallerState(ModeUninstall);
  Installer.decompressChosen = 1;

  StartUninstallWorker();
  EXPECT_EQ(Installer.worker.thread, os::NullHandle);
  EXPECT_TRUE(sim::WindowExists(viewer));
  EXPECT_FALSE(sim::Service(u"Ombrix_Service").markedForDelete);
  RunUninstallSequence();
  CancelUninstall();

  EXPECT_EQ(InstallFailure, os::TrustESubjectNotTrusted);
  EXPECT_EQ(InstalledFiles().size(), 4u);
  EXPECT_TRUE(sim::Service(u"Ombrix_Service").exists);
  EXPECT_EQ(sim::Service(u"Ombrix_Service").startCount, 0u);
  EXPECT_TRUE(sim::RegKeyExists(os::HkeyLocalMachine, UninstallKey));
  ExpectNothingLeftOpen();
}

}  // namespace
}  // namespace setuptest
