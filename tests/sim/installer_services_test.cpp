// The installer's machine, services side: the service manager's database in the registry, the
// run state and deletion of services, the program an ImagePath really starts, SetupAPI's INF
// reading and its services sections, and the faults of the installer's calls.
#include "tests/sim/sim_test_util.h"

#include <fstream>
#include <iterator>

namespace {

using namespace simtest;

const char16_t* const ServiceKey = u"SYSTEM\\CurrentControlSet\\Services\\Ombrix_Service";
const char16_t* const FilterKey = u"SYSTEM\\CurrentControlSet\\Services\\Ombrix_Filter";
const char16_t* const Quoted = u"\"C:\\Program Files\\Ombrix\\Ombrix_Service.exe\"";

class Services : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim::SetModulePath(u"C:\\Users\\user\\Downloads\\Ombrix_Setup.exe");
    sim::AddStandardFolders();
    sim::PutFile(u"C:\\Program Files\\Ombrix\\Ombrix_Service.exe", {'M', 'Z'});
    manager_ = os::OpenSCManagerW(nullptr, nullptr, os::ScManagerAllAccess);
    ASSERT_NE(manager_, os::NullHandle);
  }
  void TearDown() override {
    if (manager_) os::CloseServiceHandle(manager_);
    SimTest::TearDown();
  }
  os::Handle Create(const char16_t* binary = Quoted) {
    return os::CreateServiceW(manager_, u"Ombrix_Service", u"Ombrix_Service", os::ServiceAllAccess,
                              os::ServiceWin32OwnProcess, os::ServiceAutoStart, os::ServiceErrorIgnore, binary, nullptr,
                              nullptr, nullptr, nullptr, nullptr);
  }
  os::Handle manager_ = os::NullHandle;
};

TEST_F(Services, CreationStoresTheConfigurationWhereWindowsKeepsIt) {
  os::Handle service = Create();
  ASSERT_NE(service, os::NullHandle);
  EXPECT_EQ(sim::GetRegDword(os::HkeyLocalMachine, ServiceKey, u"Type"), 0x10u);
  EXPECT_EQ(sim::GetRegDword(os::HkeyLocalMachine, ServiceKey, u"Start"), 2u);
  EXPECT_EQ(sim::GetRegDword(os::HkeyLocalMachine, ServiceKey, u"ErrorControl"), 0u);
  EXPECT_EQ(sim::GetRegValue(os::HkeyLocalMachine, ServiceKey, u"ImagePath")->type, os::RegExpandSz);
  EXPECT_EQ(sim::GetRegString(os::HkeyLocalMachine, ServiceKey, u"ImagePath"), Quoted);
  EXPECT_EQ(sim::GetRegString(os::HkeyLocalMachine, ServiceKey, u"DisplayName"), u"Ombrix_Service");
  EXPECT_EQ(sim::GetRegString(os::HkeyLocalMachine, ServiceKey, u"ObjectName"), u"LocalSystem");
  EXPECT_FALSE(sim::GetRegValue(os::HkeyLocalMachine, ServiceKey, u"Group"));
  EXPECT_FALSE(sim::GetRegValue(os::HkeyLocalMachine, ServiceKey, u"DelayedAutostart"));

  os::ServiceDelayedAutoStartInfo delayed{1};
  ASSERT_TRUE(os::ChangeServiceConfig2W(service, os::ServiceConfigDelayedAutoStartInfo, &delayed));
  EXPECT_EQ(sim::Service(u"ombrix_service").delayedAutostart, 1u);
  EXPECT_EQ(Create(), os::NullHandle);
  EXPECT_EQ(os::GetLastError(), os::ErrorServiceExists);
  EXPECT_EQ(os::CreateServiceW(manager_, u"Other", u"Ombrix_Service", os::ServiceAllAccess, os::ServiceWin32OwnProcess,
                               os::ServiceAutoStart, os::ServiceErrorIgnore, Quoted, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
            os::NullHandle);
  EXPECT_EQ(os::GetLastError(), os::ErrorDuplicateServiceName);
  os::CloseServiceHandle(service);

  // Wine's manager refuses the delayed start and stores nothing.
  sim::RefuseDelayedAutoStart(true);
  sim::AddService(u"Ombrix_Service", sim::ServiceSpec{});
  service = os::OpenServiceW(manager_, u"Ombrix_Service", os::ServiceAllAccess);
  EXPECT_FALSE(os::ChangeServiceConfig2W(service, os::ServiceConfigDelayedAutoStartInfo, &delayed));
  EXPECT_EQ(os::GetLastError(), os::ErrorInvalidLevel);
  EXPECT_FALSE(sim::Service(u"Ombrix_Service").delayedAutostart);
  os::CloseServiceHandle(service);
  EXPECT_EQ(sim::OpenServiceHandleCount(), 1u) << "the manager only";
}

TEST_F(Services, ADeletedServiceStaysUntilItHasStoppedAndItsLastHandleIsClosed) {
  sim::AddService(u"Ombrix_Service", sim::ServiceSpec{os::ServiceWin32OwnProcess, os::ServiceAutoStart,
                                                       os::ServiceErrorIgnore, Quoted, {}, {}, {}, true, true, 3000});
  EXPECT_EQ(sim::Service(u"Ombrix_Service").runningImage, u"C:\\Program Files\\Ombrix\\Ombrix_Service.exe");
  EXPECT_FALSE(os::DeleteFileW(u"C:\\Program Files\\Ombrix\\Ombrix_Service.exe")) << "its image runs";
  os::Handle service = os::OpenServiceW(manager_, u"Ombrix_Service", os::ServiceAllAccess);
  ASSERT_NE(service, os::NullHandle);
  os::ServiceStatus status{};
  ASSERT_TRUE(os::ControlService(service, os::ServiceControlStop, &status));
  EXPECT_EQ(status.dwCurrentState, os::ServiceStopPending);
  EXPECT_FALSE(os::ControlService(service, os::ServiceControlStop, &status));
  EXPECT_EQ(os::GetLastError(), os::ErrorServiceCannotAcceptCtrl);
  ASSERT_TRUE(os::DeleteService(service));
  EXPECT_EQ(sim::GetRegDword(os::HkeyLocalMachine, ServiceKey, u"DeleteFlag"), 1u);
  EXPECT_FALSE(os::DeleteService(service));
  EXPECT_EQ(os::GetLastError(), os::ErrorServiceMarkedForDelete);
  EXPECT_FALSE(os::StartServiceW(service, 0, nullptr));
  EXPECT_EQ(os::GetLastError(), os::ErrorServiceMarkedForDelete);
  os::CloseServiceHandle(service);

  EXPECT_EQ(Create(), os::NullHandle) << "still stopping";
  EXPECT_EQ(os::GetLastError(), os::ErrorServiceMarkedForDelete);
  os::Sleep(2999);
  EXPECT_TRUE(sim::Service(u"Ombrix_Service").markedForDelete);
  os::Sleep(1);
  EXPECT_FALSE(sim::Service(u"Ombrix_Service").exists);
  EXPECT_FALSE(sim::RegKeyExists(os::HkeyLocalMachine, ServiceKey));
  EXPECT_TRUE(os::DeleteFileW(u"C:\\Program Files\\Ombrix\\Ombrix_Service.exe"));

  // A stopped service marked for deletion goes with its last handle.
  sim::AddService(u"Ombrix_Service");
  os::Handle first = os::OpenServiceW(manager_, u"Ombrix_Service", os::ServiceAllAccess);
  os::Handle second = os::OpenServiceW(manager_, u"Ombrix_Service", os::ServiceAllAccess);
  EXPECT_FALSE(os::ControlService(first, os::ServiceControlStop, &status));
  EXPECT_EQ(os::GetLastError(), os::ErrorServiceNotActive);
  ASSERT_TRUE(os::DeleteService(first));
  os::CloseServiceHandle(first);
  EXPECT_TRUE(sim::Service(u"Ombrix_Service").exists);
  os::CloseServiceHandle(second);
  EXPECT_FALSE(sim::Service(u"Ombrix_Service").exists);
  EXPECT_EQ(os::OpenServiceW(manager_, u"Ombrix_Service", os::ServiceAllAccess), os::NullHandle);
  EXPECT_EQ(os::GetLastError(), os::ErrorServiceDoesNotExist);
}

TEST_F(Services, StartingRunsTheProgramTheImagePathNames) {
  // Unquoted, the path is cut at its blanks and a program planted there runs first.
  os::Handle service = Create(u"C:\\Program Files\\Ombrix\\Ombrix_Service.exe");
  sim::PutFile(u"C:\\Program.exe", {'M', 'Z'});
  ASSERT_TRUE(os::StartServiceW(service, 0, nullptr));
  EXPECT_EQ(sim::Service(u"Ombrix_Service").runningImage, u"C:\\Program.exe");
  EXPECT_FALSE(os::StartServiceW(service, 0, nullptr));
  EXPECT_EQ(os::GetLastError(), os::ErrorServiceAlreadyRunning);
  os::ServiceStatus status{};
  ASSERT_TRUE(os::ControlService(service, os::ServiceControlStop, &status));
  EXPECT_EQ(status.dwCurrentState, os::ServiceStopped) << "no stop delay";

  ASSERT_TRUE(os::ChangeServiceConfigW(service, os::ServiceNoChange, os::ServiceNoChange, os::ServiceNoChange, Quoted,
                                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(os::StartServiceW(service, 0, nullptr));
  EXPECT_EQ(sim::Service(u"Ombrix_Service").runningImage, u"C:\\Program Files\\Ombrix\\Ombrix_Service.exe");
  ASSERT_TRUE(os::QueryServiceStatus(service, &status));
  EXPECT_EQ(status.dwCurrentState, os::ServiceRunning);
  EXPECT_EQ(status.dwControlsAccepted, os::ServiceAcceptStop | os::ServiceAcceptShutdown);
  os::ControlService(service, os::ServiceControlStop, &status);

  sim::RemoveFile(u"C:\\Program Files\\Ombrix\\Ombrix_Service.exe");
  EXPECT_FALSE(os::StartServiceW(service, 0, nullptr));
  EXPECT_EQ(os::GetLastError(), os::ErrorFileNotFound);
  ASSERT_TRUE(os::ChangeServiceConfigW(service, os::ServiceNoChange, os::ServiceDisabled, os::ServiceNoChange, nullptr,
                                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_FALSE(os::StartServiceW(service, 0, nullptr));
  EXPECT_EQ(os::GetLastError(), os::ErrorServiceDisabled);
  os::CloseServiceHandle(service);
}

std::vector<std::uint8_t> FilterInf() {
  std::ifstream in(OMBRIX_SOURCE_DIR "/Ombrix_Filter/Ombrix_Filter.inf", std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::uint8_t> Text(std::string_view text) { return std::vector<std::uint8_t>(text.begin(), text.end()); }

const char16_t* const InfPath = u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\Ombrix_Filter.inf";

TEST_F(Services, TheFilterInfInstallsTheDriverServiceWithItsInstanceKeys) {
  std::vector<std::uint8_t> inf = FilterInf();
  ASSERT_GT(inf.size(), 2000u);
  sim::PutFile(InfPath, inf);
  std::uint32_t line = 0;
  os::Handle handle = os::SetupOpenInfFileW(InfPath, nullptr, os::InfStyleWin4, &line);
  ASSERT_NE(handle, os::InvalidHandleValue);
  EXPECT_FALSE(os::SetupInstallServicesFromInfSectionW(handle, u"Missing.Services", os::SpsvcinstTagToFront));
  EXPECT_EQ(os::GetLastError(), os::ErrorSectionNotFound);
  ASSERT_TRUE(os::SetupInstallServicesFromInfSectionW(handle, u"DefaultInstall.Services", os::SpsvcinstTagToFront));
  os::SetupCloseInfFile(handle);
  EXPECT_EQ(sim::OpenInfCount(), 0u);

  sim::ServiceInfo filter = sim::Service(u"Ombrix_Filter");
  ASSERT_TRUE(filter.exists);
  EXPECT_EQ(filter.type, os::ServiceFileSystemDriver);
  EXPECT_EQ(filter.start, os::ServiceSystemStart);
  EXPECT_EQ(filter.errorControl, os::ServiceErrorNormal);
  EXPECT_EQ(filter.group, u"FSFilter Content Screener");
  EXPECT_EQ(filter.dependencies, (std::vector<std::u16string>{u"FltMgr"}));
  EXPECT_EQ(filter.imagePath, u"system32\\drivers\\Ombrix_Filter.sys");
  EXPECT_EQ(filter.displayName, u"Ombrix_Filter");
  EXPECT_EQ(filter.description, u"Ombrix_Filter mini-filter driver");
  EXPECT_EQ(filter.objectName, u"") << "drivers have no account";
  EXPECT_EQ(filter.state, os::ServiceStopped) << "installing starts nothing";
  std::u16string instances = std::u16string(FilterKey) + u"\\Instances";
  EXPECT_EQ(sim::GetRegString(os::HkeyLocalMachine, instances, u"DefaultInstance"), u"Ombrix_Filter Instance");
  EXPECT_EQ(sim::RegSubkeys(os::HkeyLocalMachine, instances), (std::vector<std::u16string>{u"ombrix_filter instance"}));
  std::u16string instance = instances + u"\\Ombrix_Filter Instance";
  EXPECT_EQ(sim::GetRegValue(os::HkeyLocalMachine, instance, u"Altitude")->type, os::RegSz);
  EXPECT_EQ(sim::GetRegString(os::HkeyLocalMachine, instance, u"Altitude"), u"265000");
  EXPECT_EQ(sim::GetRegDword(os::HkeyLocalMachine, instance, u"Flags"), 0u);
  EXPECT_EQ(sim::RegValueNames(os::HkeyLocalMachine, instance), (std::vector<std::u16string>{u"Altitude", u"Flags"}));

  // Uninstalling: 0x200 stops the running driver first; it stays, marked, until it has stopped.
  sim::StartService(u"Ombrix_Filter");
  sim::SetServiceStopDelay(u"Ombrix_Filter", 500);
  handle = os::SetupOpenInfFileW(InfPath, nullptr, os::InfStyleWin4, &line);
  ASSERT_TRUE(os::SetupInstallServicesFromInfSectionW(handle, u"DefaultUninstall.Services", os::SpsvcinstTagToFront));
  EXPECT_EQ(os::GetLastError(), os::ErrorSuccessRebootRequired);
  os::SetupCloseInfFile(handle);
  filter = sim::Service(u"Ombrix_Filter");
  EXPECT_EQ(filter.state, os::ServiceStopPending);
  EXPECT_TRUE(filter.markedForDelete);
  os::Sleep(500);
  EXPECT_FALSE(sim::Service(u"Ombrix_Filter").exists);
  EXPECT_FALSE(sim::RegKeyExists(os::HkeyLocalMachine, FilterKey));
}

TEST_F(Services, InfSyntaxQuotesAndRefusals) {
  std::uint32_t line = 0;
  EXPECT_EQ(os::SetupOpenInfFileW(InfPath, nullptr, os::InfStyleWin4, &line), os::InvalidHandleValue);
  EXPECT_EQ(os::GetLastError(), os::ErrorPathNotFound);
  sim::MakeDirectory(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix");
  EXPECT_EQ(os::SetupOpenInfFileW(InfPath, nullptr, os::InfStyleWin4, &line), os::InvalidHandleValue);
  EXPECT_EQ(os::GetLastError(), os::ErrorFileNotFound);
  sim::PutFile(InfPath, Text("; header\r\nSignature = x\r\n[Version]\r\n"));
  EXPECT_EQ(os::SetupOpenInfFileW(InfPath, nullptr, os::InfStyleWin4, &line), os::InvalidHandleValue);
  EXPECT_EQ(os::GetLastError(), os::ErrorExpectedSectionName);
  EXPECT_EQ(line, 2u);
  sim::PutFile(InfPath, Text("[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n[Broken\r\n"));
  EXPECT_EQ(os::SetupOpenInfFileW(InfPath, nullptr, os::InfStyleWin4, &line), os::InvalidHandleValue);
  EXPECT_EQ(os::GetLastError(), os::ErrorBadSectionNameLine);
  EXPECT_EQ(line, 4u);
  sim::PutFile(InfPath, Text("[Version]\r\nSignature=\"$Unknown$\"\r\n"));
  EXPECT_EQ(os::SetupOpenInfFileW(InfPath, nullptr, os::InfStyleWin4, &line), os::InvalidHandleValue);
  EXPECT_EQ(os::GetLastError(), os::ErrorWrongInfStyle);

  // Quoted pieces, "" inside quotes, a continued line, %% and a section without ServiceBinary.
  sim::PutFile(InfPath, Text("[version]\nsignature = \"$Chicago$\"\n[S.Services]\nAddService = X,,X.Svc\n"
                             "[X.Svc]\nDisplayName = \"say \"\"hi\"\"\" \\\n  100%% ; note\nServiceType = 1\n"
                             "StartType = 3\nErrorControl = 1\nServiceBinary = %12%\\x.sys\n"
                             "[Bad.Services]\nAddService = Y,,Y.Svc\n[Y.Svc]\nServiceType = 1\n"));
  os::Handle handle = os::SetupOpenInfFileW(InfPath, nullptr, os::InfStyleWin4, &line);
  ASSERT_NE(handle, os::InvalidHandleValue);
  ASSERT_TRUE(os::SetupInstallServicesFromInfSectionW(handle, u"s.services", 0));
  EXPECT_EQ(sim::Service(u"X").displayName, u"say \"hi\" 100%");
  EXPECT_EQ(sim::Service(u"X").imagePath, u"system32\\drivers\\x.sys");
  EXPECT_FALSE(os::SetupInstallServicesFromInfSectionW(handle, u"Bad.Services", 0));
  EXPECT_EQ(os::GetLastError(), os::ErrorBadServiceInstallSect);
  EXPECT_FALSE(sim::Service(u"Y").exists);
  os::SetupCloseInfFile(handle);
}

TEST(InstallerFaults, EachCallFailsWithTheErrorTheRealCallGives) {
  sim::Reset();
  sim::AddStandardFolders();
  sim::PutFile(u"C:\\Windows\\inf\\a.inf", Text("[Version]\nSignature=\"$Windows NT$\"\n"));
  struct Case {
    const char* name;
    std::function<bool()> fails;   // true when the call reported failure
    std::uint32_t error;           // the last error (or result) it reports
  };
  char16_t buffer[260];
  os::FindData data;
  std::vector<Case> cases = {
      {"CreateDirectoryW", [] { return !os::CreateDirectoryW(u"C:\\x", nullptr); }, os::ErrorAccessDenied},
      {"CopyFileW", [] { return !os::CopyFileW(u"C:\\Windows\\inf\\a.inf", u"C:\\a.inf", false); }, os::ErrorAccessDenied},
      {"SetupOpenInfFileW",
       [] { return os::SetupOpenInfFileW(u"C:\\Windows\\inf\\a.inf", nullptr, os::InfStyleWin4, nullptr) == os::InvalidHandleValue; },
       os::ErrorFileNotFound},
      {"DeleteFileW", [] { return !os::DeleteFileW(u"C:\\Windows\\inf\\a.inf"); }, os::ErrorAccessDenied},
      {"FindFirstFileW", [&] { return os::FindFirstFileW(u"C:\\*.*", &data) == os::InvalidHandleValue; },
       os::ErrorFileNotFound},
      {"GetTempPathW", [&] { return os::GetTempPathW(260, buffer) == 0; }, os::ErrorAccessDenied},
      {"OpenSCManagerW", [] { return os::OpenSCManagerW(nullptr, nullptr, os::ScManagerAllAccess) == 0; },
       os::ErrorAccessDenied},
      {"SendMessageTimeoutW",
       [] {
         sim::Window window = sim::AddWindow(u"c", u"t", [](sim::Window, std::uint32_t, std::uintptr_t, std::intptr_t) {
           return std::intptr_t{1};
         });
         return os::SendMessageTimeoutW(window, 1, 0, 0, 0, 100, nullptr) == 0;
       },
       os::ErrorAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::uint64_t before = sim::CallCount(c.name);
    ASSERT_TRUE(sim::Fail(c.name, sim::Fault{1}));
    EXPECT_TRUE(c.fails());
    EXPECT_EQ(os::GetLastError(), c.error);
    EXPECT_FALSE(c.fails()) << "only the first call fails";
    EXPECT_EQ(sim::CallCount(c.name), before + 2);
  }
  // Results that carry the error themselves.
  ASSERT_TRUE(sim::Fail("WinExec", sim::Fault{1}));
  EXPECT_EQ(os::WinExec("cmd", os::SwHide), os::ErrorFileNotFound);
  EXPECT_TRUE(sim::LaunchedCommands().empty());
  ASSERT_TRUE(sim::Fail("RegDeleteKeyW", sim::Fault{1, 0, 1018}));
  EXPECT_EQ(os::RegDeleteKeyW(os::HkeyLocalMachine, u"SOFTWARE"), 1018);
  EXPECT_FALSE(sim::Fail("SetupCloseInfFile")) << "cannot fail";
}

}  // namespace
