// The Windows side of the OS seam: each function converts types and forwards to one real call.
#include <windows.h>
#include <winternl.h>

#include <cstring>

#include "os/os.h"
#include "os/win32/convert.h"

namespace os {
namespace {

using namespace win32;

static_assert(sizeof(OsVersionInfo) == sizeof(OSVERSIONINFOW), "OSVERSIONINFOW");
static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS), "SERVICE_STATUS");
static_assert(sizeof(OBJECT_ATTRIBUTES) == (sizeof(void*) == 8 ? 48 : 24), "OBJECT_ATTRIBUTES");
static_assert(sizeof(FILETIME) == sizeof(FileTime), "FILETIME");
static_assert(sizeof(ByHandleFileInformation) == sizeof(BY_HANDLE_FILE_INFORMATION), "BY_HANDLE_FILE_INFORMATION");
static_assert(sizeof(FileCompressionInfo) == sizeof(FILE_COMPRESSION_INFO), "FILE_COMPRESSION_INFO");
static_assert(FileCompressionInfoClass == static_cast<std::uint32_t>(::FileCompressionInfo), "FileCompressionInfo");

FileTime FromFileTime(const FILETIME& t) {
  return (FileTime(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

// The service table and the thread start take stdcall functions; these trampolines call the
// portable ones.
ServiceMainFunction serviceMain;
HandlerFunction serviceHandler;

void WINAPI ServiceMainTrampoline(DWORD argc, LPWSTR* argv) {
  serviceMain(argc, reinterpret_cast<char16_t**>(argv));
}

void WINAPI HandlerTrampoline(DWORD control) { serviceHandler(control); }

struct ThreadStart {
  ThreadFunction function;
  void* parameter;
};

DWORD WINAPI ThreadTrampoline(LPVOID raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  return start.function(start.parameter);
}

}  // namespace

std::uint32_t GetLastError() { return ::GetLastError(); }
void Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

void GetSystemTimeAsFileTime(FileTime* now) {
  FILETIME t;
  ::GetSystemTimeAsFileTime(&t);
  *now = FromFileTime(t);
}

Handle CreateThread(ThreadFunction function, void* parameter, std::uint32_t* threadId) {
  auto* start = new ThreadStart{function, parameter};
  DWORD id = 0;
  HANDLE thread = ::CreateThread(nullptr, 0, ThreadTrampoline, start, 0, &id);
  if (thread == nullptr) delete start;
  if (threadId != nullptr) *threadId = id;
  return FromH(thread);
}

std::uint32_t WaitForSingleObject(Handle handle, std::uint32_t milliseconds) {
  return ::WaitForSingleObject(H(handle), milliseconds);
}

bool CloseHandle(Handle handle) { return ::CloseHandle(H(handle)) != FALSE; }

bool GetVersionExW(OsVersionInfo* info) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(info)) != FALSE;
#pragma GCC diagnostic pop
}

Handle GetModuleHandleW(const char16_t* moduleName) { return FromH(::GetModuleHandleW(W(moduleName))); }

std::uint32_t GetModuleFileNameW(Handle module, char16_t* path, std::uint32_t capacity) {
  return ::GetModuleFileNameW(reinterpret_cast<HMODULE>(module), W(path), capacity);
}

void OutputDebugStringW(const char16_t* text) { ::OutputDebugStringW(W(text)); }

bool StartServiceCtrlDispatcherW(const ServiceTableEntry* table) {
  // The service runs in its own process: one entry and the terminator.
  serviceMain = table[0].lpServiceProc;
  SERVICE_TABLE_ENTRYW entries[2] = {
      {const_cast<LPWSTR>(W(table[0].lpServiceName)), ServiceMainTrampoline}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(entries) != FALSE;
}

Handle RegisterServiceCtrlHandlerW(const char16_t* serviceName, HandlerFunction handler) {
  serviceHandler = handler;
  return reinterpret_cast<Handle>(::RegisterServiceCtrlHandlerW(W(serviceName), HandlerTrampoline));
}

bool SetServiceStatus(Handle statusHandle, const ServiceStatus* status) {
  SERVICE_STATUS s;
  std::memcpy(&s, status, sizeof(s));
  return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(statusHandle), &s) != FALSE;
}

std::int32_t RegOpenKeyW(Key key, const char16_t* subKey, Key* result) {
  HKEY opened = nullptr;
  LSTATUS status = ::RegOpenKeyW(K(key), W(subKey), &opened);
  if (status == ERROR_SUCCESS) *result = reinterpret_cast<Key>(opened);
  return status;
}

std::int32_t RegCreateKeyW(Key key, const char16_t* subKey, Key* result) {
  HKEY created = nullptr;
  LSTATUS status = ::RegCreateKeyW(K(key), W(subKey), &created);
  if (status == ERROR_SUCCESS) *result = reinterpret_cast<Key>(created);
  return status;
}

std::int32_t RegQueryValueExW(Key key, const char16_t* valueName, std::uint32_t* type, void* data,
                              std::uint32_t* dataSize) {
  DWORD t = 0;
  DWORD size = dataSize != nullptr ? *dataSize : 0;
  LSTATUS status = ::RegQueryValueExW(K(key), W(valueName), nullptr, &t, static_cast<BYTE*>(data),
                                      dataSize != nullptr ? &size : nullptr);
  if (type != nullptr) *type = t;
  if (dataSize != nullptr) *dataSize = size;
  return status;
}

std::int32_t RegSetValueExW(Key key, const char16_t* valueName, std::uint32_t type, const void* data,
                            std::uint32_t dataSize) {
  return ::RegSetValueExW(K(key), W(valueName), 0, type, static_cast<const BYTE*>(data), dataSize);
}

std::int32_t RegCloseKey(Key key) { return ::RegCloseKey(K(key)); }

std::uint32_t GetDriveTypeW(const char16_t* rootPath) { return ::GetDriveTypeW(W(rootPath)); }
std::uint32_t GetFileAttributesW(const char16_t* path) { return ::GetFileAttributesW(W(path)); }

bool GetVolumeInformationW(const char16_t* rootPath, char16_t* volumeName, std::uint32_t volumeNameCapacity,
                           std::uint32_t* serialNumber, std::uint32_t* maximumComponentLength,
                           std::uint32_t* fileSystemFlags, char16_t* fileSystemName,
                           std::uint32_t fileSystemNameCapacity) {
  static_assert(sizeof(DWORD) == sizeof(std::uint32_t), "DWORD");
  return ::GetVolumeInformationW(W(rootPath), W(volumeName), volumeNameCapacity,
                                 reinterpret_cast<DWORD*>(serialNumber),
                                 reinterpret_cast<DWORD*>(maximumComponentLength),
                                 reinterpret_cast<DWORD*>(fileSystemFlags), W(fileSystemName),
                                 fileSystemNameCapacity) != FALSE;
}

std::uint32_t QueryDosDeviceW(const char16_t* deviceName, char16_t* targetPath, std::uint32_t capacity) {
  return ::QueryDosDeviceW(W(deviceName), W(targetPath), capacity);
}

bool GetDiskFreeSpaceExW(const char16_t* directory, std::uint64_t* freeBytesAvailableToCaller,
                         std::uint64_t* totalBytes, std::uint64_t* totalFreeBytes) {
  ULARGE_INTEGER available = {}, total = {}, totalFree = {};
  if (!::GetDiskFreeSpaceExW(W(directory), &available, &total, &totalFree)) return false;
  if (freeBytesAvailableToCaller != nullptr) *freeBytesAvailableToCaller = available.QuadPart;
  if (totalBytes != nullptr) *totalBytes = total.QuadPart;
  if (totalFreeBytes != nullptr) *totalFreeBytes = totalFree.QuadPart;
  return true;
}

Handle CreateFileW(const char16_t* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                   std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  return FromH(::CreateFileW(W(path), desiredAccess, shareMode, nullptr, creationDisposition, flagsAndAttributes,
                             nullptr));
}

bool ReadFile(Handle file, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead) {
  DWORD done = 0;
  BOOL ok = ::ReadFile(H(file), buffer, bytesToRead, &done, nullptr);
  if (bytesRead != nullptr) *bytesRead = done;
  return ok != FALSE;
}

bool WriteFile(Handle file, const void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten) {
  DWORD done = 0;
  BOOL ok = ::WriteFile(H(file), buffer, bytesToWrite, &done, nullptr);
  if (bytesWritten != nullptr) *bytesWritten = done;
  return ok != FALSE;
}

bool SetFilePointerEx(Handle file, std::int64_t distance, std::int64_t* newPosition, std::uint32_t moveMethod) {
  LARGE_INTEGER move = {}, moved = {};
  move.QuadPart = distance;
  BOOL ok = ::SetFilePointerEx(H(file), move, &moved, moveMethod);
  if (ok && newPosition != nullptr) *newPosition = moved.QuadPart;
  return ok != FALSE;
}

bool DeviceIoControl(Handle device, std::uint32_t controlCode, const void* inBuffer, std::uint32_t inSize,
                     void* outBuffer, std::uint32_t outSize, std::uint32_t* bytesReturned) {
  DWORD done = 0;
  BOOL ok = ::DeviceIoControl(H(device), controlCode, const_cast<void*>(inBuffer), inSize, outBuffer, outSize, &done,
                              nullptr);
  if (bytesReturned != nullptr) *bytesReturned = done;
  return ok != FALSE;
}

std::int32_t NtCreateFile(Handle* fileHandle, std::uint32_t desiredAccess, const ObjectAttributes* objectAttributes,
                          IoStatusBlock* ioStatus, const std::int64_t* allocationSize, std::uint32_t fileAttributes,
                          std::uint32_t shareAccess, std::uint32_t createDisposition, std::uint32_t createOptions,
                          void* eaBuffer, std::uint32_t eaLength) {
  UNICODE_STRING name;
  name.Length = objectAttributes->ObjectName->Length;
  name.MaximumLength = objectAttributes->ObjectName->MaximumLength;
  name.Buffer = const_cast<PWSTR>(W(objectAttributes->ObjectName->Buffer));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, objectAttributes->Attributes, H(objectAttributes->RootDirectory),
                             nullptr);
  IO_STATUS_BLOCK status = {};
  LARGE_INTEGER allocation = {};
  if (allocationSize != nullptr) allocation.QuadPart = *allocationSize;
  HANDLE file = H(*fileHandle);
  NTSTATUS result = ::NtCreateFile(&file, desiredAccess, &attributes, &status,
                                   allocationSize != nullptr ? &allocation : nullptr, fileAttributes, shareAccess,
                                   createDisposition, createOptions, eaBuffer, eaLength);
  *fileHandle = FromH(file);
  if (ioStatus != nullptr) {
    ioStatus->Status = status.Status;
    ioStatus->Information = status.Information;
  }
  return result;
}

bool GetFileSizeEx(Handle file, std::int64_t* size) {
  LARGE_INTEGER s = {};
  if (!::GetFileSizeEx(H(file), &s)) return false;
  *size = s.QuadPart;
  return true;
}

bool GetFileTime(Handle file, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite) {
  FILETIME c = {}, a = {}, w = {};
  if (!::GetFileTime(H(file), creation ? &c : nullptr, lastAccess ? &a : nullptr, lastWrite ? &w : nullptr)) {
    return false;
  }
  if (creation != nullptr) *creation = FromFileTime(c);
  if (lastAccess != nullptr) *lastAccess = FromFileTime(a);
  if (lastWrite != nullptr) *lastWrite = FromFileTime(w);
  return true;
}

std::uint32_t GetFinalPathNameByHandleW(Handle file, char16_t* path, std::uint32_t capacity, std::uint32_t flags) {
  return ::GetFinalPathNameByHandleW(H(file), W(path), capacity, flags);
}

std::uint32_t GetCompressedFileSizeW(const char16_t* path, std::uint32_t* fileSizeHigh) {
  DWORD high = 0;
  DWORD low = ::GetCompressedFileSizeW(W(path), &high);
  if (fileSizeHigh != nullptr) *fileSizeHigh = high;
  return low;
}

bool GetFileInformationByHandle(Handle file, ByHandleFileInformation* info) {
  return ::GetFileInformationByHandle(H(file), reinterpret_cast<BY_HANDLE_FILE_INFORMATION*>(info)) != FALSE;
}

bool GetFileInformationByHandleEx(Handle file, std::uint32_t infoClass, void* buffer, std::uint32_t bufferSize) {
  return ::GetFileInformationByHandleEx(H(file), static_cast<FILE_INFO_BY_HANDLE_CLASS>(infoClass), buffer,
                                        bufferSize) != FALSE;
}

bool GetVolumeInformationByHandleW(Handle file, char16_t* volumeName, std::uint32_t volumeNameCapacity,
                                   std::uint32_t* serialNumber, std::uint32_t* maximumComponentLength,
                                   std::uint32_t* fileSystemFlags, char16_t* fileSystemName,
                                   std::uint32_t fileSystemNameCapacity) {
  return ::GetVolumeInformationByHandleW(H(file), W(volumeName), volumeNameCapacity,
                                         reinterpret_cast<DWORD*>(serialNumber),
                                         reinterpret_cast<DWORD*>(maximumComponentLength),
                                         reinterpret_cast<DWORD*>(fileSystemFlags), W(fileSystemName),
                                         fileSystemNameCapacity) != FALSE;
}

// ---------------------------------------------------------------------------------------------

bool GetKernelObjectSecurity(Handle object, std::uint32_t requested, void* descriptor, std::uint32_t size,
                             std::uint32_t* needed) {
  return ::GetKernelObjectSecurity(H(object), requested, descriptor, size, reinterpret_cast<DWORD*>(needed)) !=
         FALSE;
}

bool SetEndOfFile(Handle file) { return ::SetEndOfFile(H(file)) != FALSE; }

std::uintptr_t GetProcAddress(Handle module, const char* name) {
  return reinterpret_cast<std::uintptr_t>(::GetProcAddress(reinterpret_cast<HMODULE>(module), name));
}

}  // namespace os
