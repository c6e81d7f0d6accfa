// The OS seam of the user-mode programs.
//
// Every operating-system call that the service, the shared volume routines and the installer's
// actions make goes through these free functions. Each has the shape of the Windows call it
// stands for: the same inputs, the same raw output buffers and the same success and failure
// results. The Windows build links os/win32 (a few lines per call, forwarding to the real API);
// the host build links os/sim, a simulated Windows that tests set up and inspect.
//
// Portable code includes this header, never <windows.h>. Strings are UTF-16 (char16_t).
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {

// ---------------------------------------------------------------------------------------------
// Types. Handles and registry keys are opaque pointer-sized values.
using Handle = std::uintptr_t;
using Key = std::uintptr_t;

// The platform defines these four as pointers (casts, never constant expressions), so the
// Windows build cannot compare them at compile time: the handle values are the documented 0 and
// -1, and the two keys are only names here, which os/win32/convert.h turns into the platform's.
constexpr Handle NullHandle = 0;
constexpr Handle InvalidHandleValue = ~Handle(0);   // INVALID_HANDLE_VALUE

constexpr Key HkeyCurrentUser = 0x80000001;
constexpr Key HkeyLocalMachine = 0x80000002;

// 100-ns intervals since 1 January 1601, UTC (a FILETIME read as one 64-bit number).
using FileTime = std::uint64_t;

// ---------------------------------------------------------------------------------------------
// Constants of the Windows API used by the portable code. os/win32/platform_checks.cpp compares
// each with the platform's header in every Windows build; the few MinGW-w64 lacks say so below,
// with the page of Microsoft's documentation they come from.
constexpr std::uint32_t ErrorSuccess = 0;
constexpr std::uint32_t ErrorFileNotFound = 2;
constexpr std::uint32_t ErrorAccessDenied = 5;
constexpr std::uint32_t ErrorInvalidHandle = 6;
constexpr std::uint32_t ErrorNotEnoughMemory = 8;
constexpr std::uint32_t ErrorSharingViolation = 32;
constexpr std::uint32_t ErrorHandleEof = 38;
constexpr std::uint32_t ErrorNotSupported = 50;
constexpr std::uint32_t ErrorInvalidParameter = 87;
constexpr std::uint32_t ErrorInsufficientBuffer = 122;
constexpr std::uint32_t ErrorMoreData = 234;
constexpr std::uint32_t ErrorFailedServiceControllerConnect = 1063;
constexpr std::uint32_t ErrorJournalNotActive = 1179;

constexpr std::uint32_t InvalidFileAttributes = 0xFFFFFFFF;
constexpr std::uint32_t FileAttributeReadonly = 0x1;
constexpr std::uint32_t FileAttributeSystem = 0x4;
constexpr std::uint32_t FileAttributeDirectory = 0x10;
constexpr std::uint32_t FileAttributeNormal = 0x80;
constexpr std::uint32_t FileAttributeCompressed = 0x800;

constexpr std::uint32_t DriveUnknown = 0;
constexpr std::uint32_t DriveNoRootDir = 1;
constexpr std::uint32_t DriveRemovable = 2;
constexpr std::uint32_t DriveFixed = 3;
constexpr std::uint32_t DriveRemote = 4;
constexpr std::uint32_t DriveCdrom = 5;
constexpr std::uint32_t DriveRamdisk = 6;

constexpr std::uint32_t GenericRead = 0x80000000;
constexpr std::uint32_t GenericWrite = 0x40000000;
constexpr std::uint32_t FileShareRead = 0x1;
constexpr std::uint32_t FileShareWrite = 0x2;
constexpr std::uint32_t CreateAlways = 2;
constexpr std::uint32_t OpenExisting = 3;

constexpr std::uint32_t FsctlQueryUsnJournal = 0x000900F4;
constexpr std::uint32_t FsctlCreateUsnJournal = 0x000900E7;
constexpr std::uint32_t FsctlEnumUsnData = 0x000900B3;
constexpr std::uint32_t FsctlGetCompression = 0x0009003C;
constexpr std::uint32_t FsctlSetCompression = 0x0009C040;
constexpr std::uint16_t CompressionFormatNone = 0;
constexpr std::uint16_t CompressionFormatDefault = 1;

// NtCreateFile arguments and results.
constexpr std::int32_t StatusSuccess = 0;
constexpr std::uint32_t ObjCaseInsensitive = 0x40;
constexpr std::uint32_t FileOpen = 1;
constexpr std::uint32_t FileNonDirectoryFile = 0x40;
constexpr std::uint32_t FileOpenByFileId = 0x2000;
constexpr std::uint32_t FileOpenReparsePoint = 0x00200000;   // open a reparse point itself, never its target
constexpr std::uint32_t FileGenericReadWrite = 0x0012019F;
// Selecting a file opens it for its attributes only: such an open breaks no oplock and takes
// part in no share-mode check, so it never waits on, nor stands in the way of, another program.
constexpr std::uint32_t FileReadAttributes = 0x00000080;
constexpr std::uint32_t Synchronize = 0x00100000;
// An open that would have to wait for another program to acknowledge an oplock break completes
// at once with the success code StatusOplockBreakInProgress instead.
constexpr std::uint32_t FileCompleteIfOplocked = 0x00000100;
constexpr std::int32_t StatusOplockBreakInProgress = 0x00000108;

constexpr std::uint32_t RegDword = 4;
constexpr std::uint32_t RegSz = 1;

constexpr std::uint32_t Infinite = 0xFFFFFFFF;
constexpr std::uint32_t WaitObject0 = 0;
constexpr std::uint32_t WaitTimeout = 258;
constexpr std::uint32_t WaitFailed = 0xFFFFFFFF;

constexpr std::uint32_t ServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t ServiceStopped = 1;
constexpr std::uint32_t ServiceStartPending = 2;
constexpr std::uint32_t ServiceStopPending = 3;
constexpr std::uint32_t ServiceRunning = 4;
constexpr std::uint32_t ServiceAcceptStop = 0x1;
constexpr std::uint32_t ServiceAcceptShutdown = 0x4;
constexpr std::uint32_t ServiceControlStop = 1;
constexpr std::uint32_t ServiceControlPause = 2;
constexpr std::uint32_t ServiceControlContinue = 3;
constexpr std::uint32_t ServiceControlInterrogate = 4;
constexpr std::uint32_t ServiceControlShutdown = 5;

// Installer: files and directories, services, windows, resources, SetupAPI.
constexpr std::uint32_t ErrorPathNotFound = 3;
constexpr std::uint32_t ErrorNoMoreFiles = 18;
constexpr std::uint32_t ErrorFileExists = 80;
constexpr std::uint32_t ErrorDirNotEmpty = 145;
constexpr std::uint32_t ErrorAlreadyExists = 183;
constexpr std::uint32_t ErrorResourceTypeNotFound = 1813;
constexpr std::uint32_t ErrorResourceNameNotFound = 1814;
constexpr std::uint32_t ErrorServiceAlreadyRunning = 1056;
constexpr std::uint32_t ErrorServiceDisabled = 1058;
constexpr std::uint32_t ErrorServiceDoesNotExist = 1060;
constexpr std::uint32_t ErrorServiceCannotAcceptCtrl = 1061;
constexpr std::uint32_t ErrorServiceNotActive = 1062;
constexpr std::uint32_t ErrorServiceMarkedForDelete = 1072;
constexpr std::uint32_t ErrorServiceExists = 1073;
constexpr std::uint32_t ErrorInvalidLevel = 124;

constexpr std::uint32_t FileAttributeHidden = 0x2;
constexpr std::uint32_t FileAttributeArchive = 0x20;
constexpr std::uint32_t FileAttributeReparsePoint = 0x400;
constexpr std::uint32_t CreateNew = 1;
constexpr std::uint32_t OpenAlways = 4;
constexpr std::uint32_t TruncateExisting = 5;

constexpr std::int32_t CsidlProgramFiles = 0x26;

constexpr std::uint32_t ScManagerAllAccess = 0xF003F;
constexpr std::uint32_t ServiceAllAccess = 0xF01FF;
constexpr std::uint32_t ServiceKernelDriver = 0x1;
constexpr std::uint32_t ServiceFileSystemDriver = 0x2;
constexpr std::uint32_t ServiceBootStart = 0;
constexpr std::uint32_t ServiceSystemStart = 1;
constexpr std::uint32_t ServiceAutoStart = 2;
constexpr std::uint32_t ServiceDemandStart = 3;
constexpr std::uint32_t ServiceDisabled = 4;
constexpr std::uint32_t ServiceErrorIgnore = 0;
constexpr std::uint32_t ServiceErrorNormal = 1;
constexpr std::uint32_t ServiceNoChange = 0xFFFFFFFF;
constexpr std::uint32_t ServiceConfigDelayedAutoStartInfo = 3;

constexpr std::uint32_t InfStyleWin4 = 2;
constexpr std::uint32_t SpsvcinstTagToFront = 0x1;
constexpr std::uint32_t SpsvcinstStopService = 0x200;

constexpr std::uint32_t ErrorDirectory = 267;              // a file where a directory is expected
constexpr std::uint32_t ErrorInvalidName = 123;
constexpr std::uint32_t ErrorFilenameExcedRange = 206;   // a name or path too long
constexpr std::uint32_t ErrorInvalidServiceControl = 1052;
constexpr std::uint32_t ErrorDuplicateServiceName = 1078;
constexpr std::uint32_t ErrorInvalidWindowHandle = 1400;
constexpr std::uint32_t ErrorCantResolveFilename = 1921;
constexpr std::uint32_t ErrorSuccessRebootRequired = 3010;
constexpr std::uint32_t ErrorExpectedSectionName = 0xE0000000;
constexpr std::uint32_t ErrorBadSectionNameLine = 0xE0000001;
constexpr std::uint32_t ErrorWrongInfStyle = 0xE0000100;
constexpr std::uint32_t ErrorSectionNotFound = 0xE0000101;
constexpr std::uint32_t ErrorBadServiceInstallSect = 0xE0000217;

constexpr std::uint32_t FileShareDelete = 0x4;
constexpr std::uint32_t RegExpandSz = 2;
constexpr std::uint32_t RegBinary = 3;
constexpr std::uint32_t RegMultiSz = 7;
constexpr std::int32_t CsidlWindows = 0x24;
constexpr std::int32_t CsidlSystem = 0x25;
constexpr std::uint32_t ServiceConfigDescription = 1;
constexpr std::uint32_t ServiceAcceptPauseContinue = 0x2;

constexpr std::uint32_t WmApp = 0x8000;
constexpr std::uint32_t SmtoAbortIfHung = 0x2;
constexpr std::uint32_t ErrorTimeout = 1460;
constexpr std::uint32_t ErrorInstallFailure = 1603;
// Not in MinGW-w64: ERROR_INVALID_IMAGE_HASH, "System Error Codes (500-999)". A file is not the
// one its signature names.
constexpr std::uint32_t ErrorInvalidImageHash = 577;
constexpr std::uint32_t SwHide = 0;
constexpr std::uint32_t CpAcp = 0;

// ---------------------------------------------------------------------------------------------
// Records whose layout is the platform's (sizes and member offsets checked against the platform's
// headers in os/win32/platform_checks.cpp).

// OSVERSIONINFOW: 276 bytes.
struct OsVersionInfo {
  std::uint32_t dwOSVersionInfoSize;
  std::uint32_t dwMajorVersion;
  std::uint32_t dwMinorVersion;
  std::uint32_t dwBuildNumber;
  std::uint32_t dwPlatformId;
  char16_t szCSDVersion[128];
};
static_assert(sizeof(OsVersionInfo) == 276, "OSVERSIONINFOW is 276 bytes");

// SERVICE_STATUS.
struct ServiceStatus {
  std::uint32_t dwServiceType;
  std::uint32_t dwCurrentState;
  std::uint32_t dwControlsAccepted;
  std::uint32_t dwWin32ExitCode;
  std::uint32_t dwServiceSpecificExitCode;
  std::uint32_t dwCheckPoint;
  std::uint32_t dwWaitHint;
};

// WIN32_FIND_DATAW: 592 bytes; the FILETIMEs are pairs of 32-bit halves (4-byte aligned).
struct FindData {
  std::uint32_t dwFileAttributes;
  std::uint32_t ftCreationTime[2];
  std::uint32_t ftLastAccessTime[2];
  std::uint32_t ftLastWriteTime[2];
  std::uint32_t nFileSizeHigh;
  std::uint32_t nFileSizeLow;
  std::uint32_t dwReserved0;
  std::uint32_t dwReserved1;
  char16_t cFileName[260];
  char16_t cAlternateFileName[14];
};
static_assert(sizeof(FindData) == 592, "WIN32_FIND_DATAW is 592 bytes");

// BY_HANDLE_FILE_INFORMATION: 52 bytes; FILETIMEs and 64-bit numbers as pairs of 32-bit halves.
struct ByHandleFileInformation {
  std::uint32_t dwFileAttributes;
  std::uint32_t ftCreationTime[2];
  std::uint32_t ftLastAccessTime[2];
  std::uint32_t ftLastWriteTime[2];
  std::uint32_t dwVolumeSerialNumber;
  std::uint32_t nFileSizeHigh;
  std::uint32_t nFileSizeLow;
  std::uint32_t nNumberOfLinks;
  std::uint32_t nFileIndexHigh;
  std::uint32_t nFileIndexLow;
};
static_assert(sizeof(ByHandleFileInformation) == 52, "BY_HANDLE_FILE_INFORMATION is 52 bytes");

// FILE_COMPRESSION_INFO, the FileCompressionInfo class of GetFileInformationByHandleEx.
constexpr std::uint32_t FileCompressionInfoClass = 8;
struct FileCompressionInfo {
  std::int64_t CompressedFileSize;   // the space the file's data takes
  std::uint16_t CompressionFormat;
  std::uint8_t CompressionUnitShift;
  std::uint8_t ChunkShift;
  std::uint8_t ClusterShift;
  std::uint8_t Reserved[3];
};
static_assert(sizeof(FileCompressionInfo) == 16, "FILE_COMPRESSION_INFO is 16 bytes");

// SERVICE_DELAYED_AUTO_START_INFO.
struct ServiceDelayedAutoStartInfo {
  std::int32_t fDelayedAutostart;
};

// SERVICE_DESCRIPTIONW.
struct ServiceDescription {
  char16_t* lpDescription;
};

using ServiceMainFunction = void (*)(std::uint32_t argc, char16_t** argv);
using HandlerFunction = void (*)(std::uint32_t control);
using ThreadFunction = std::uint32_t (*)(void* parameter);

// SERVICE_TABLE_ENTRYW; the table ends with an entry whose two members are null.
struct ServiceTableEntry {
  const char16_t* lpServiceName;
  ServiceMainFunction lpServiceProc;
};

// UNICODE_STRING: a counted string, lengths in bytes.
struct CountedString {
  std::uint16_t Length;
  std::uint16_t MaximumLength;
  const char16_t* Buffer;
};

// The members of OBJECT_ATTRIBUTES the callers set; the Windows side builds the real record
// (its Length field is the platform structure's own size).
struct ObjectAttributes {
  Handle RootDirectory;
  const CountedString* ObjectName;
  std::uint32_t Attributes;
};

struct IoStatusBlock {
  std::int32_t Status;
  std::uintptr_t Information;
};

// ---------------------------------------------------------------------------------------------
// Process, threads, time.
std::uint32_t GetLastError();
void Sleep(std::uint32_t milliseconds);
void GetSystemTimeAsFileTime(FileTime* now);
Handle CreateThread(ThreadFunction function, void* parameter, std::uint32_t* threadId);
std::uint32_t WaitForSingleObject(Handle handle, std::uint32_t milliseconds);
bool CloseHandle(Handle handle);
bool GetVersionExW(OsVersionInfo* info);
Handle GetModuleHandleW(const char16_t* moduleName);
std::uint32_t GetModuleFileNameW(Handle module, char16_t* path, std::uint32_t capacity);
void OutputDebugStringW(const char16_t* text);
void InitCommonControls();

// Service control manager, service side.
bool StartServiceCtrlDispatcherW(const ServiceTableEntry* table);
Handle RegisterServiceCtrlHandlerW(const char16_t* serviceName, HandlerFunction handler);
bool SetServiceStatus(Handle statusHandle, const ServiceStatus* status);

// Registry.
std::int32_t RegOpenKeyW(Key key, const char16_t* subKey, Key* result);
std::int32_t RegCreateKeyW(Key key, const char16_t* subKey, Key* result);
std::int32_t RegQueryValueExW(Key key, const char16_t* valueName, std::uint32_t* type, void* data,
                              std::uint32_t* dataSize);
std::int32_t RegSetValueExW(Key key, const char16_t* valueName, std::uint32_t type, const void* data,
                            std::uint32_t dataSize);
std::int32_t RegCloseKey(Key key);

// Drives and volumes.
std::uint32_t GetDriveTypeW(const char16_t* rootPath);
std::uint32_t GetFileAttributesW(const char16_t* path);
bool GetVolumeInformationW(const char16_t* rootPath, char16_t* volumeName, std::uint32_t volumeNameCapacity,
                           std::uint32_t* serialNumber, std::uint32_t* maximumComponentLength,
                           std::uint32_t* fileSystemFlags, char16_t* fileSystemName,
                           std::uint32_t fileSystemNameCapacity);
std::uint32_t QueryDosDeviceW(const char16_t* deviceName, char16_t* targetPath, std::uint32_t capacity);
bool GetDiskFreeSpaceExW(const char16_t* directory, std::uint64_t* freeBytesAvailableToCaller,
                         std::uint64_t* totalBytes, std::uint64_t* totalFreeBytes);

// Files and devices. CreateFileW passes no security attributes and no template.
Handle CreateFileW(const char16_t* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                   std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes);
bool ReadFile(Handle file, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead);
bool WriteFile(Handle file, const void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten);
constexpr std::uint32_t FileBegin = 0;
constexpr std::uint32_t FileCurrent = 1;
constexpr std::uint32_t FileEnd = 2;
constexpr std::uint32_t ErrorNegativeSeek = 131;
bool SetFilePointerEx(Handle file, std::int64_t distance, std::int64_t* newPosition, std::uint32_t moveMethod);
bool DeviceIoControl(Handle device, std::uint32_t controlCode, const void* inBuffer, std::uint32_t inSize,
                     void* outBuffer, std::uint32_t outSize, std::uint32_t* bytesReturned);
std::int32_t NtCreateFile(Handle* fileHandle, std::uint32_t desiredAccess, const ObjectAttributes* objectAttributes,
                          IoStatusBlock* ioStatus, const std::int64_t* allocationSize, std::uint32_t fileAttributes,
                          std::uint32_t shareAccess, std::uint32_t createDisposition, std::uint32_t createOptions,
                          void* eaBuffer, std::uint32_t eaLength);
bool GetFileSizeEx(Handle file, std::int64_t* size);
bool GetFileTime(Handle file, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite);
std::uint32_t GetFinalPathNameByHandleW(Handle file, char16_t* path, std::uint32_t capacity, std::uint32_t flags);
std::uint32_t GetCompressedFileSizeW(const char16_t* path, std::uint32_t* fileSizeHigh);
// Queries through an open handle: what the handle itself refers to, whatever path led there.
bool GetFileInformationByHandle(Handle file, ByHandleFileInformation* info);
bool GetFileInformationByHandleEx(Handle file, std::uint32_t infoClass, void* buffer, std::uint32_t bufferSize);
bool GetVolumeInformationByHandleW(Handle file, char16_t* volumeName, std::uint32_t volumeNameCapacity,
                                   std::uint32_t* serialNumber, std::uint32_t* maximumComponentLength,
                                   std::uint32_t* fileSystemFlags, char16_t* fileSystemName,
                                   std::uint32_t fileSystemNameCapacity);

// Filter manager, user-mode library. Results are HRESULTs (S_OK = 0).
std::int32_t FilterConnectCommunicationPort(const char16_t* portName, std::uint32_t options, const void* context,
                                            std::uint16_t contextSize, Handle* port);
std::int32_t FilterSendMessage(Handle port, const void* inBuffer, std::uint32_t inSize, void* outBuffer,
                               std::uint32_t outSize, std::uint32_t* bytesReturned);

// ---------------------------------------------------------------------------------------------
// Security of files and directories, read through an open handle.

// CreateFileW flags: open a directory (backup semantics) and open a link itself, never its target.
constexpr std::uint32_t FileFlagBackupSemantics = 0x02000000;
constexpr std::uint32_t FileFlagOpenReparsePoint = 0x00200000;
// Access rights (ACCESS_MASK bits of files and directories, and the standard and generic ones).
constexpr std::uint32_t FileListDirectory = 0x1;         // FILE_READ_DATA on a file
constexpr std::uint32_t FileAddFile = 0x2;               // FILE_WRITE_DATA on a file
constexpr std::uint32_t FileAddSubdirectory = 0x4;       // FILE_APPEND_DATA on a file
constexpr std::uint32_t FileWriteEa = 0x10;
constexpr std::uint32_t FileDeleteChild = 0x40;
constexpr std::uint32_t FileWriteAttributes = 0x100;
constexpr std::uint32_t AccessDelete = 0x00010000;       // DELETE
constexpr std::uint32_t ReadControl = 0x00020000;
constexpr std::uint32_t WriteDac = 0x00040000;
constexpr std::uint32_t WriteOwner = 0x00080000;
constexpr std::uint32_t GenericAll = 0x10000000;
// SECURITY_INFORMATION bits.
constexpr std::uint32_t OwnerSecurityInformation = 0x1;
constexpr std::uint32_t DaclSecurityInformation = 0x4;
// An HRESULT with a system text: "The subject is not trusted for the specified action."
constexpr std::uint32_t TrustESubjectNotTrusted = 0x800B0004;

// GetKernelObjectSecurity: the object's security descriptor in self-relative form, as its bytes
// (layouts: [MS-DTYP] 2.4.6 SECURITY_DESCRIPTOR, 2.4.5 ACL, 2.4.4 ACEs, 2.4.2 SID). The handle
// needs READ_CONTROL. A buffer too small fails with ERROR_INSUFFICIENT_BUFFER and *needed set.
bool GetKernelObjectSecurity(Handle object, std::uint32_t requested, void* descriptor, std::uint32_t size,
                             std::uint32_t* needed);
// SetEndOfFile: the file ends at the handle's current position.
bool SetEndOfFile(Handle file);
// GetProcAddress: non-zero when the module exports the name.
std::uintptr_t GetProcAddress(Handle module, const char* name);

// ---------------------------------------------------------------------------------------------
// Installer calls.

// Folders and the process.
bool SHGetSpecialFolderPathW(char16_t* path, std::int32_t csidl, bool create);
std::uint32_t GetTempPathW(std::uint32_t capacity, char16_t* buffer);
std::uint32_t GetSystemDirectoryW(char16_t* buffer, std::uint32_t capacity);
std::uint32_t GetShortPathNameW(const char16_t* longPath, char16_t* shortPath, std::uint32_t capacity);
bool SetCurrentDirectoryW(const char16_t* path);
std::int32_t WideCharToMultiByte(std::uint32_t codePage, const char16_t* wide, std::int32_t wideLength,
                                 char* multiByte, std::int32_t multiByteCapacity);
// WinExec: greater than 31 on success.
std::uint32_t WinExec(const char* commandLine, std::uint32_t show);

// Directories and files. `sddl`, when not null, is the security descriptor of the new directory
// in the security descriptor definition language (the Windows side converts it and passes it
// as the SECURITY_ATTRIBUTES); null = the default security of the parent.
bool CreateDirectoryW(const char16_t* path, const char16_t* sddl);
bool RemoveDirectoryW(const char16_t* path);
bool DeleteFileW(const char16_t* path);
bool CopyFileW(const char16_t* existingPath, const char16_t* newPath, bool failIfExists);
// MoveFileExW. With MovefileDelayUntilReboot the move (or, with newPath null, the deletion) is
// recorded for the next system start (administrators and LocalSystem only).
constexpr std::uint32_t MovefileReplaceExisting = 0x1;
constexpr std::uint32_t MovefileDelayUntilReboot = 0x4;
bool MoveFileExW(const char16_t* existingPath, const char16_t* newPath, std::uint32_t flags);
Handle FindFirstFileW(const char16_t* pattern, FindData* data);
bool FindNextFileW(Handle find, FindData* data);
bool FindClose(Handle find);

// Resources of the running program (module null = the program itself).
Handle FindResourceW(Handle module, std::uint32_t id, const char16_t* type);
Handle LoadResource(Handle module, Handle resourceInfo);
const void* LockResource(Handle resourceData);
std::uint32_t SizeofResource(Handle module, Handle resourceInfo);
std::int32_t LoadStringW(Handle module, std::uint32_t id, char16_t* buffer, std::int32_t capacity);

// Windows of other programs. Window handles are opaque values; 0 = none.
std::uintptr_t FindWindowW(const char16_t* className, const char16_t* windowName);
// SendMessageTimeoutW: non-zero when the window's procedure answered in time (its answer in
// *result); 0 when the call failed or timed out (ERROR_TIMEOUT).
std::intptr_t SendMessageTimeoutW(std::uintptr_t window, std::uint32_t message, std::uintptr_t wParam,
                                  std::intptr_t lParam, std::uint32_t flags, std::uint32_t timeoutMs,
                                  std::uintptr_t* result);

// Service control manager, creating and removing services. Service handles are opaque values;
// 0 = failure (GetLastError says why).
Handle OpenSCManagerW(const char16_t* machineName, const char16_t* databaseName, std::uint32_t desiredAccess);
Handle OpenServiceW(Handle manager, const char16_t* serviceName, std::uint32_t desiredAccess);
Handle CreateServiceW(Handle manager, const char16_t* serviceName, const char16_t* displayName,
                      std::uint32_t desiredAccess, std::uint32_t serviceType, std::uint32_t startType,
                      std::uint32_t errorControl, const char16_t* binaryPathName, const char16_t* loadOrderGroup,
                      std::uint32_t* tagId, const char16_t* dependencies, const char16_t* serviceStartName,
                      const char16_t* password);
bool ChangeServiceConfigW(Handle service, std::uint32_t serviceType, std::uint32_t startType,
                          std::uint32_t errorControl, const char16_t* binaryPathName, const char16_t* loadOrderGroup,
                          std::uint32_t* tagId, const char16_t* dependencies, const char16_t* serviceStartName,
                          const char16_t* password, const char16_t* displayName);
bool ChangeServiceConfig2W(Handle service, std::uint32_t infoLevel, void* info);
bool ControlService(Handle service, std::uint32_t control, ServiceStatus* status);
bool QueryServiceStatus(Handle service, ServiceStatus* status);
bool StartServiceW(Handle service, std::uint32_t argc, const char16_t** argv);
bool DeleteService(Handle service);
bool CloseServiceHandle(Handle handle);

// Registry, removing.
std::int32_t RegDeleteValueW(Key key, const char16_t* valueName);
std::int32_t RegDeleteKeyW(Key key, const char16_t* subKey);

// SetupAPI: the services sections of an INF file. SetupOpenInfFileW returns InvalidHandleValue
// on failure, with the line of the error in *errorLine.
Handle SetupOpenInfFileW(const char16_t* fileName, const char16_t* infClass, std::uint32_t infStyle,
                         std::uint32_t* errorLine);
bool SetupInstallServicesFromInfSectionW(Handle inf, const char16_t* sectionName, std::uint32_t flags);
void SetupCloseInfFile(Handle inf);

}  // namespace os
