// The Windows side of the seam: the installer's calls (shell folders, directories and file copies,
// resources, other programs' windows, the service manager, registry removal, SetupAPI). Kept in a
// file of its own so that the service and the viewer do not import shell32 and setupapi.
#include <windows.h>
#include <sddl.h>
#include <setupapi.h>
#include <shlobj.h>

#include <cstring>

#include "os/os.h"
#include "os/win32/convert.h"

namespace os {
namespace {

using namespace win32;

SC_HANDLE Sc(Handle h) { return reinterpret_cast<SC_HANDLE>(h); }
Handle FromSc(SC_HANDLE h) { return reinterpret_cast<Handle>(h); }
HMODULE Module(Handle h) { return reinterpret_cast<HMODULE>(h); }

static_assert(sizeof(FindData) == sizeof(WIN32_FIND_DATAW), "WIN32_FIND_DATAW");
static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS), "SERVICE_STATUS");
static_assert(sizeof(ServiceDelayedAutoStartInfo) == sizeof(SERVICE_DELAYED_AUTO_START_INFO), "delayed start info");
static_assert(sizeof(ServiceDescription) == sizeof(SERVICE_DESCRIPTIONW), "SERVICE_DESCRIPTIONW");

}  // namespace

bool SHGetSpecialFolderPathW(char16_t* path, std::int32_t csidl, bool create) {
  return ::SHGetSpecialFolderPathW(nullptr, W(path), csidl, create ? TRUE : FALSE) != FALSE;
}

std::uint32_t GetTempPathW(std::uint32_t capacity, char16_t* buffer) { return ::GetTempPathW(capacity, W(buffer)); }

std::uint32_t GetSystemDirectoryW(char16_t* buffer, std::uint32_t capacity) {
  return ::GetSystemDirectoryW(W(buffer), capacity);
}

std::uint32_t GetShortPathNameW(const char16_t* longPath, char16_t* shortPath, std::uint32_t capacity) {
  return ::GetShortPathNameW(W(longPath), W(shortPath), capacity);
}

bool SetCurrentDirectoryW(const char16_t* path) { return ::SetCurrentDirectoryW(W(path)) != FALSE; }

std::int32_t WideCharToMultiByte(std::uint32_t codePage, const char16_t* wide, std::int32_t wideLength,
                                 char* multiByte, std::int32_t multiByteCapacity) {
  return ::WideCharToMultiByte(codePage, 0, W(wide), wideLength, multiByte, multiByteCapacity, nullptr, nullptr);
}

std::uint32_t WinExec(const char* commandLine, std::uint32_t show) { return ::WinExec(commandLine, show); }

bool CreateDirectoryW(const char16_t* path, const char16_t* sddl) {
  if (sddl == nullptr) return ::CreateDirectoryW(W(path), nullptr) != FALSE;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(W(sddl), SDDL_REVISION_1, &descriptor, nullptr)) {
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  BOOL created = ::CreateDirectoryW(W(path), &attributes);
  DWORD error = ::GetLastError();
  ::LocalFree(descriptor);
  ::SetLastError(error);
  return created != FALSE;
}

bool RemoveDirectoryW(const char16_t* path) { return ::RemoveDirectoryW(W(path)) != FALSE; }
bool DeleteFileW(const char16_t* path) { return ::DeleteFileW(W(path)) != FALSE; }

bool CopyFileW(const char16_t* existingPath, const char16_t* newPath, bool failIfExists) {
  return ::CopyFileW(W(existingPath), W(newPath), failIfExists ? TRUE : FALSE) != FALSE;
}

bool MoveFileExW(const char16_t* existingPath, const char16_t* newPath, std::uint32_t flags) {
  return ::MoveFileExW(W(existingPath), W(newPath), flags) != FALSE;
}

Handle FindFirstFileW(const char16_t* pattern, FindData* data) {
  return FromH(::FindFirstFileW(W(pattern), reinterpret_cast<WIN32_FIND_DATAW*>(data)));
}

bool FindNextFileW(Handle find, FindData* data) {
  return ::FindNextFileW(H(find), reinterpret_cast<WIN32_FIND_DATAW*>(data)) != FALSE;
}

bool FindClose(Handle find) { return ::FindClose(H(find)) != FALSE; }

Handle FindResourceW(Handle module, std::uint32_t id, const char16_t* type) {
  return reinterpret_cast<Handle>(::FindResourceW(Module(module), MAKEINTRESOURCEW(id), W(type)));
}

Handle LoadResource(Handle module, Handle resourceInfo) {
  return reinterpret_cast<Handle>(::LoadResource(Module(module), reinterpret_cast<HRSRC>(resourceInfo)));
}

const void* LockResource(Handle resourceData) { return ::LockResource(reinterpret_cast<HGLOBAL>(resourceData)); }

std::uint32_t SizeofResource(Handle module, Handle resourceInfo) {
  return ::SizeofResource(Module(module), reinterpret_cast<HRSRC>(resourceInfo));
}

std::int32_t LoadStringW(Handle module, std::uint32_t id, char16_t* buffer, std::int32_t capacity) {
  return ::LoadStringW(reinterpret_cast<HINSTANCE>(module), id, W(buffer), capacity);
}

std::uintptr_t FindWindowW(const char16_t* className, const char16_t* windowName) {
  return reinterpret_cast<std::uintptr_t>(::FindWindowW(W(className), W(windowName)));
}

std::intptr_t SendMessageTimeoutW(std::uintptr_t window, std::uint32_t message, std::uintptr_t wParam,
                                  std::intptr_t lParam, std::uint32_t flags, std::uint32_t timeoutMs,
                                  std::uintptr_t* result) {
  static_assert(sizeof(DWORD_PTR) == sizeof(std::uintptr_t), "DWORD_PTR");
  return ::SendMessageTimeoutW(reinterpret_cast<HWND>(window), message, wParam, lParam, flags, timeoutMs,
                               reinterpret_cast<PDWORD_PTR>(result));
}

Handle OpenSCManagerW(const char16_t* machineName, const char16_t* databaseName, std::uint32_t desiredAccess) {
  return FromSc(::OpenSCManagerW(W(machineName), W(databaseName), desiredAccess));
}

Handle OpenServiceW(Handle manager, const char16_t* serviceName, std::uint32_t desiredAccess) {
  return FromSc(::OpenServiceW(Sc(manager), W(serviceName), desiredAccess));
}

Handle CreateServiceW(Handle manager, const char16_t* serviceName, const char16_t* displayName,
                      std::uint32_t desiredAccess, std::uint32_t serviceType, std::uint32_t startType,
                      std::uint32_t errorControl, const char16_t* binaryPathName, const char16_t* loadOrderGroup,
                      std::uint32_t* tagId, const char16_t* dependencies, const char16_t* serviceStartName,
                      const char16_t* password) {
  static_assert(sizeof(DWORD) == sizeof(std::uint32_t), "DWORD");
  return FromSc(::CreateServiceW(Sc(manager), W(serviceName), W(displayName), desiredAccess, serviceType, startType,
                                 errorControl, W(binaryPathName), W(loadOrderGroup), reinterpret_cast<DWORD*>(tagId),
                                 W(dependencies), W(serviceStartName), W(password)));
}

bool ChangeServiceConfigW(Handle service, std::uint32_t serviceType, std::uint32_t startType,
                          std::uint32_t errorControl, const char16_t* binaryPathName, const char16_t* loadOrderGroup,
                          std::uint32_t* tagId, const char16_t* dependencies, const char16_t* serviceStartName,
                          const char16_t* password, const char16_t* displayName) {
  return ::ChangeServiceConfigW(Sc(service), serviceType, startType, errorControl, W(binaryPathName),
                                W(loadOrderGroup), reinterpret_cast<DWORD*>(tagId), W(dependencies),
                                W(serviceStartName), W(password), W(displayName)) != FALSE;
}

bool ChangeServiceConfig2W(Handle service, std::uint32_t infoLevel, void* info) {
  return ::ChangeServiceConfig2W(Sc(service), infoLevel, info) != FALSE;
}

bool ControlService(Handle service, std::uint32_t control, ServiceStatus* status) {
  SERVICE_STATUS s = {};
  BOOL ok = ::ControlService(Sc(service), control, &s);
  if (status != nullptr) std::memcpy(status, &s, sizeof(s));
  return ok != FALSE;
}

bool QueryServiceStatus(Handle service, ServiceStatus* status) {
  SERVICE_STATUS s = {};
  BOOL ok = ::QueryServiceStatus(Sc(service), &s);
  if (status != nullptr) std::memcpy(status, &s, sizeof(s));
  return ok != FALSE;
}

bool StartServiceW(Handle service, std::uint32_t argc, const char16_t** argv) {
  return ::StartServiceW(Sc(service), argc, reinterpret_cast<LPCWSTR*>(argv)) != FALSE;
}

bool DeleteService(Handle service) { return ::DeleteService(Sc(service)) != FALSE; }
bool CloseServiceHandle(Handle handle) { return ::CloseServiceHandle(Sc(handle)) != FALSE; }

std::int32_t RegDeleteValueW(Key key, const char16_t* valueName) { return ::RegDeleteValueW(K(key), W(valueName)); }
std::int32_t RegDeleteKeyW(Key key, const char16_t* subKey) { return ::RegDeleteKeyW(K(key), W(subKey)); }

Handle SetupOpenInfFileW(const char16_t* fileName, const char16_t* infClass, std::uint32_t infStyle,
                         std::uint32_t* errorLine) {
  static_assert(sizeof(UINT) == sizeof(std::uint32_t), "UINT");
  return FromH(::SetupOpenInfFileW(W(fileName), W(infClass), infStyle, reinterpret_cast<UINT*>(errorLine)));
}

bool SetupInstallServicesFromInfSectionW(Handle inf, const char16_t* sectionName, std::uint32_t flags) {
  return ::SetupInstallServicesFromInfSectionW(H(inf), W(sectionName), flags) != FALSE;
}

void SetupCloseInfFile(Handle inf) { ::SetupCloseInfFile(H(inf)); }

}  // namespace os
