// Runs the installer's seam calls on a real Windows (Wine) and prints one line per call:
// "<label> <result> <last error>", so that a script can hold the simulated Windows' rules
// against the real ones. Argument: a scratch directory that does not exist yet, and the INF.
#include <cstdio>
#include <cwchar>
#include <string>

#include "os/os.h"

namespace {

void Line(const char* label, long long result) {
  std::printf("%s %lld %u\n", label, result, static_cast<unsigned>(os::GetLastError()));
}

std::u16string U(const wchar_t* s) { return std::u16string(s, s + std::wcslen(s)); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  std::u16string dir = U(argv[1]);
  std::u16string inf = U(argv[2]);
  std::u16string a = dir + u"\\a.txt", b = dir + u"\\b.txt", missing = dir + u"\\none\\x";

  Line("CreateDirectoryW", os::CreateDirectoryW(dir.c_str(), u"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"));
  Line("CreateDirectoryW-again", os::CreateDirectoryW(dir.c_str(), nullptr));
  Line("CreateDirectoryW-noparent", os::CreateDirectoryW(missing.c_str(), nullptr));
  Line("CreateDirectoryW-badsddl", os::CreateDirectoryW((dir + u"2").c_str(), u"not sddl"));
  // A directory through its handle: security, attributes; only with backup semantics.
  constexpr std::uint32_t Query = os::ReadControl | os::FileReadAttributes | os::Synchronize;
  constexpr std::uint32_t Folder = os::FileFlagBackupSemantics | os::FileFlagOpenReparsePoint;
  Line("CreateFileW-directory", os::CreateFileW(dir.c_str(), Query, os::FileShareRead, os::OpenExisting, 0) !=
                                    os::InvalidHandleValue);
  os::Handle folder = os::CreateFileW(dir.c_str(), Query, os::FileShareRead | os::FileShareWrite, os::OpenExisting, Folder);
  Line("CreateFileW-folder", folder != os::InvalidHandleValue);
  std::uint8_t descriptor[4096];
  std::uint32_t needed = 0;
  constexpr std::uint32_t Both = os::OwnerSecurityInformation | os::DaclSecurityInformation;
  Line("GetKernelObjectSecurity-small", os::GetKernelObjectSecurity(folder, Both, descriptor, 8, &needed));
  Line("GetKernelObjectSecurity", os::GetKernelObjectSecurity(folder, Both, descriptor, sizeof(descriptor), &needed));
  Line("GetKernelObjectSecurity-selfrelative", needed >= 20 && (descriptor[3] & 0x80) != 0);
  os::ByHandleFileInformation info = {};
  os::GetFileInformationByHandle(folder, &info);
  Line("GetFileInformationByHandle-folder", info.dwFileAttributes & (os::FileAttributeDirectory | os::FileAttributeReparsePoint));
  os::CloseHandle(folder);
  Line("GetProcAddress-wine", os::GetProcAddress(os::GetModuleHandleW(u"ntdll.dll"), "wine_get_version") != 0);

  os::Handle file = os::CreateFileW(a.c_str(), os::GenericWrite, 0, os::OpenAlways,
                                    os::FileAttributeNormal | os::FileFlagOpenReparsePoint);
  std::uint32_t written = 0;
  os::WriteFile(file, "hi!", 3, &written);
  os::SetFilePointerEx(file, 2, nullptr, os::FileBegin);
  Line("SetEndOfFile", os::SetEndOfFile(file));
  os::GetFileInformationByHandle(file, &info);
  Line("GetFileInformationByHandle-file", std::int64_t(info.nNumberOfLinks) * 1000 + info.nFileSizeLow);
  Line("DeleteFileW-open", os::DeleteFileW(a.c_str()));
  os::CloseHandle(file);
  Line("CopyFileW", os::CopyFileW(a.c_str(), b.c_str(), false));
  Line("CopyFileW-exists", os::CopyFileW(a.c_str(), b.c_str(), true));
  Line("CopyFileW-missing", os::CopyFileW(missing.c_str(), b.c_str(), false));
  os::FindData data;
  os::Handle find = os::FindFirstFileW((dir + u"\\*.*").c_str(), &data);
  std::string names;
  if (find != os::InvalidHandleValue) {
    do {
      for (const char16_t* c = data.cFileName; *c; ++c) names += static_cast<char>(*c);
      names += '/';
    } while (os::FindNextFileW(find, &data));
    Line("FindNextFileW-end", 0);
    os::FindClose(find);
  }
  std::printf("FindNames %s\n", names.c_str());
  Line("RemoveDirectoryW-nonempty", os::RemoveDirectoryW(dir.c_str()));
  Line("DeleteFileW", os::DeleteFileW(a.c_str()));
  Line("DeleteFileW-missing", os::DeleteFileW(a.c_str()));
  os::DeleteFileW(b.c_str());
  Line("RemoveDirectoryW", os::RemoveDirectoryW(dir.c_str()));
  Line("RemoveDirectoryW-missing", os::RemoveDirectoryW(dir.c_str()));

  os::Key key = 0;
  os::RegCreateKeyW(os::HkeyCurrentUser, u"Software\\SeamProbe\\Sub", &key);
  os::RegCloseKey(key);
  os::RegCreateKeyW(os::HkeyCurrentUser, u"Software\\SeamProbe", &key);
  os::RegSetValueExW(key, u"V", os::RegSz, u"Ombrix", 12);
  std::uint32_t type = 0, size = 64;
  char buffer[64];
  os::RegQueryValueExW(key, u"V", &type, buffer, &size);
  Line("RegSetValueExW-12-stored", size);
  Line("RegDeleteValueW", os::RegDeleteValueW(key, u"V"));
  Line("RegDeleteValueW-again", os::RegDeleteValueW(key, u"V"));
  os::RegCloseKey(key);
  Line("RegDeleteKeyW-subkeys", os::RegDeleteKeyW(os::HkeyCurrentUser, u"Software\\SeamProbe"));
  Line("RegDeleteKeyW-leaf", os::RegDeleteKeyW(os::HkeyCurrentUser, u"Software\\SeamProbe\\Sub"));

  os::Handle manager = os::OpenSCManagerW(nullptr, nullptr, os::ScManagerAllAccess);
  Line("OpenSCManagerW", manager != 0);
  os::Handle service = os::CreateServiceW(manager, u"SeamProbe", u"SeamProbe", os::ServiceAllAccess,
                                          os::ServiceWin32OwnProcess, os::ServiceAutoStart, os::ServiceErrorIgnore,
                                          u"\"C:\\x y\\probe.exe\"", nullptr, nullptr, nullptr, nullptr, nullptr);
  Line("CreateServiceW", service != 0);
  Line("CreateServiceW-again",
       os::CreateServiceW(manager, u"SeamProbe", u"SeamProbe", os::ServiceAllAccess, os::ServiceWin32OwnProcess,
                          os::ServiceAutoStart, os::ServiceErrorIgnore, u"x", nullptr, nullptr, nullptr, nullptr,
                          nullptr) != 0);
  os::ServiceStatus status{};
  Line("ControlService-stopped", os::ControlService(service, os::ServiceControlStop, &status));
  Line("DeleteService", os::DeleteService(service));
  Line("DeleteService-again", os::DeleteService(service));
  os::CloseServiceHandle(service);
  Line("OpenServiceW-deleted", os::OpenServiceW(manager, u"SeamProbe", os::ServiceAllAccess) != 0);
  os::CloseServiceHandle(manager);

  std::uint32_t line = 0;
  os::Handle handle = os::SetupOpenInfFileW(inf.c_str(), nullptr, os::InfStyleWin4, &line);
  Line("SetupOpenInfFileW", handle != os::InvalidHandleValue);
  Line("SetupInstall-missing", os::SetupInstallServicesFromInfSectionW(handle, u"Nope.Services", os::SpsvcinstTagToFront));
  Line("SetupInstall", os::SetupInstallServicesFromInfSectionW(handle, u"DefaultInstall.Services", os::SpsvcinstTagToFront));
  os::SetupCloseInfFile(handle);
  Line("SetupOpenInfFileW-missing",
       os::SetupOpenInfFileW(missing.c_str(), nullptr, os::InfStyleWin4, &line) != os::InvalidHandleValue);
  return 0;
}
