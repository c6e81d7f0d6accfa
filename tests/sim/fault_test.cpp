// Injected faults: every function that can fail does so in its own way (result and error
// channel), on every call or only the n-th, and for DeviceIoControl only for one control code.
#include <functional>

#include "tests/sim/sim_test_util.h"

namespace {

using namespace simtest;

struct Outcome {
  bool ok;
  std::uint32_t error;   // last error, or the code returned for the Reg*, Nt* and Filter* calls
};

struct Case {
  const char* function;
  std::function<Outcome()> call;
};

class Faults : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim::AddDrive(u'C');
    frn_ = sim::AddFile(u'C', File(u"a.txt", 100000));
    sim::PutFile(u"C:\\f.bin", {1, 2, 3});
    sim::CreateRegKey(os::HkeyCurrentUser, u"Software\\K");
    sim::SetRegDword(os::HkeyCurrentUser, u"Software\\K", u"v", 1);
    sim::CreateFilterPort();
    volume_ = OpenVolume();
    ASSERT_EQ(OpenById(volume_, frn_, &file_), os::StatusSuccess);
    plain_ = os::CreateFileW(u"C:\\f.bin", os::GenericRead | os::GenericWrite, 0, os::OpenExisting, 0);
    ASSERT_EQ(os::FilterConnectCommunicationPort(u"\\OmbrixPort", 0, nullptr, 0, &port_), 0);
  }

  std::vector<Case> Cases() {
    auto win32 = [](bool ok) { return Outcome{ok, ok ? 0u : os::GetLastError()}; };
    auto code = [](std::int32_t result) { return Outcome{result == 0, static_cast<std::uint32_t>(result)}; };
    return {
        {"CreateThread", [=] {
           os::Handle t = os::CreateThread([](void*) -> std::uint32_t { return 0; }, nullptr, nullptr);
           if (t) {
             os::WaitForSingleObject(t, os::Infinite);
             os::CloseHandle(t);
           }
           return win32(t != os::NullHandle);
         }},
        {"WaitForSingleObject", [=] {
           os::Handle t = os::CreateThread([](void*) -> std::uint32_t { return 0; }, nullptr, nullptr);
           std::uint32_t r = os::WaitForSingleObject(t, os::Infinite);
           Outcome o = win32(r == os::WaitObject0);
           if (r != os::WaitObject0) {
             EXPECT_EQ(r, os::WaitFailed);
             os::WaitForSingleObject(t, os::Infinite);
           }
           os::CloseHandle(t);
           return o;
         }},
        {"CloseHandle", [=] {
           os::Handle v = OpenVolume();
           bool ok = os::CloseHandle(v);
           Outcome o = win32(ok);
           if (!ok) os::CloseHandle(v);
           return o;
         }},
        {"GetVersionExW", [=] {
           os::OsVersionInfo info{};
           info.dwOSVersionInfoSize = sizeof(info);
           return win32(os::GetVersionExW(&info));
         }},
        {"GetModuleHandleW", [=] { return win32(os::GetModuleHandleW(nullptr) != os::NullHandle); }},
        {"GetModuleFileNameW", [=] {
           char16_t p[260];
           return win32(os::GetModuleFileNameW(os::NullHandle, p, 260) != 0);
         }},
        {"RegOpenKeyW", [=] {
           os::Key k = 0;
           Outcome o = code(os::RegOpenKeyW(os::HkeyCurrentUser, u"Software\\K", &k));
           if (o.ok) os::RegCloseKey(k);
           return o;
         }},
        {"RegCreateKeyW", [=] {
           os::Key k = 0;
           Outcome o = code(os::RegCreateKeyW(os::HkeyCurrentUser, u"Software\\K", &k));
           if (o.ok) os::RegCloseKey(k);
           return o;
         }},
        {"RegQueryValueExW", [=] {
           os::Key k = 0;
           os::RegOpenKeyW(os::HkeyCurrentUser, u"Software\\K", &k);
           std::uint32_t v = 0, size = 4;
           Outcome o = code(os::RegQueryValueExW(k, u"v", nullptr, &v, &size));
           os::RegCloseKey(k);
           return o;
         }},
        {"RegSetValueExW", [=] {
           std::uint32_t v = 0;
           return code(os::RegSetValueExW(os::HkeyCurrentUser, u"x", os::RegDword, &v, 4));
         }},
        {"RegCloseKey", [=] { return code(os::RegCloseKey(os::HkeyCurrentUser)); }},
        {"GetDriveTypeW", [=] {
           std::uint32_t type = os::GetDriveTypeW(u"C:");
           return Outcome{type == os::DriveFixed, type};
         }},
        {"GetFileAttributesW", [=] { return win32(os::GetFileAttributesW(u"C:") != os::InvalidFileAttributes); }},
        {"GetVolumeInformationW", [=] {
           char16_t fs[260];
           return win32(os::GetVolumeInformationW(u"C:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 260));
         }},
        {"QueryDosDeviceW", [=] {
           char16_t d[64];
           return win32(os::QueryDosDeviceW(u"C:", d, 64) != 0);
         }},
        {"GetDiskFreeSpaceExW", [=] {
           std::uint64_t free = 0;
           return win32(os::GetDiskFreeSpaceExW(u"C:", &free, nullptr, nullptr));
         }},
        {"CreateFileW", [=] {
           os::Handle h = os::CreateFileW(u"C:\\new.bin", os::GenericWrite, 0, os::CreateAlways, 0);
           Outcome o = win32(h != os::InvalidHandleValue);
           if (o.ok) os::CloseHandle(h);
           return o;
         }},
        {"ReadFile", [=] {
           std::uint8_t b[4];
           std::uint32_t n = 0;
           return win32(os::ReadFile(plain_, b, 4, &n));
         }},
        {"WriteFile", [=] {
           std::uint32_t n = 0;
           return win32(os::WriteFile(plain_, "x", 1, &n));
         }},
        {"DeviceIoControl", [=] {
           std::uint16_t format = 0;
           std::uint32_t n = 0;
           return win32(os::DeviceIoControl(file_, os::FsctlGetCompression, nullptr, 0, &format, 2, &n));
         }},
        {"NtCreateFile", [=] {
           os::Handle f = 0x4321;
           std::int32_t status = OpenById(volume_, frn_, &f);
           if (status == 0) {
             os::CloseHandle(f);
           } else {
             EXPECT_EQ(f, 0x4321u) << "written only on success";
           }
           return code(status);
         }},
        {"GetFileSizeEx", [=] {
           std::int64_t size = 0;
           return win32(os::GetFileSizeEx(file_, &size));
         }},
        {"GetFileTime", [=] {
           os::FileTime t = 0;
           return win32(os::GetFileTime(file_, nullptr, &t, nullptr));
         }},
        {"GetFinalPathNameByHandleW", [=] {
           char16_t p[64];
           return win32(os::GetFinalPathNameByHandleW(file_, p, 64, 0) != 0);
         }},
        {"GetCompressedFileSizeW", [=] {
           std::uint32_t high = 0;
           return win32(os::GetCompressedFileSizeW(u"C:\\a.txt", &high) != 0xFFFFFFFF);
         }},
        {"FilterConnectCommunicationPort", [=] {
           os::Handle p = os::NullHandle;
           sim::CreateFilterPort(u"\\Other");
           Outcome o = code(os::FilterConnectCommunicationPort(u"\\Other", 0, nullptr, 0, &p));
           if (o.ok) {
             os::CloseHandle(p);
           } else {
             EXPECT_EQ(p, os::InvalidHandleValue);
           }
           return o;
         }},
        {"FilterSendMessage", [=] {
           std::uint8_t m[128] = {};
           std::uint32_t n = 0;
           return code(os::FilterSendMessage(port_, m, 128, nullptr, 0, &n));
         }},
    };
  }

  std::uint64_t frn_ = 0;
  os::Handle volume_ = os::NullHandle, file_ = os::NullHandle, plain_ = os::NullHandle, port_ = os::NullHandle;
};

TEST_F(Faults, EveryFunctionFailsOnDemandAndOnlyWhileTold) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.function);
    ASSERT_TRUE(c.call().ok) << "works without a fault";
    ASSERT_TRUE(sim::Fail(c.function));
    Outcome failed = c.call();
    EXPECT_FALSE(failed.ok);
    if (std::string(c.function) != "GetDriveTypeW") {
      EXPECT_NE(failed.error, 0u);
    }
    sim::ClearFaults();
    EXPECT_TRUE(c.call().ok);

    // Only the second call, with the error given.
    const std::uint32_t error = std::string(c.function) == "NtCreateFile"            ? 0xC0000022u
                                : std::string(c.function).rfind("Filter", 0) == 0 ? 0x80070005u
                                                                                  : 1234u;
    ASSERT_TRUE(sim::Fail(c.function, {2, 0, error}));
    EXPECT_TRUE(c.call().ok);
    Outcome second = c.call();
    EXPECT_FALSE(second.ok);
    if (std::string(c.function) != "GetDriveTypeW") {
      EXPECT_EQ(second.error, error);
    }
    EXPECT_TRUE(c.call().ok);
    sim::ClearFaults();
  }
}

TEST_F(Faults, ControlCodeFilterAndDefaultErrors) {
  ASSERT_TRUE(sim::Fail("DeviceIoControl", {sim::EveryCall, os::FsctlSetCompression, 0}));
  std::uint16_t format = 1;
  std::uint32_t n = 0;
  EXPECT_FALSE(os::DeviceIoControl(file_, os::FsctlSetCompression, &format, 2, nullptr, 0, &n));
  EXPECT_TRUE(os::DeviceIoControl(file_, os::FsctlGetCompression, nullptr, 0, &format, 2, &n));
  EXPECT_EQ(format, 0) << "the failed call changed nothing";
  EXPECT_FALSE(sim::VolumeFile(u'C', frn_).compressed());

  sim::ClearFaults();
  ASSERT_TRUE(sim::Fail("StartServiceCtrlDispatcherW"));
  const os::ServiceTableEntry table[] = {{u"x", [](std::uint32_t, char16_t**) {}}, {nullptr, nullptr}};
  EXPECT_FALSE(os::StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(os::GetLastError(), os::ErrorFailedServiceControllerConnect);

  ASSERT_TRUE(sim::Fail("OutputDebugStringW", {1}));
  os::OutputDebugStringW(u"lost");
  os::OutputDebugStringW(u"kept");
  EXPECT_EQ(sim::DebugLines(), std::vector<std::u16string>{u"kept"});
}

TEST_F(Faults, CallsThatCannotFailAreRefused) {
  for (const char* name : {"GetLastError", "Sleep", "GetSystemTimeAsFileTime", "InitCommonControls", "NoSuchCall"})
    EXPECT_FALSE(sim::Fail(name)) << name;
}

}  // namespace
