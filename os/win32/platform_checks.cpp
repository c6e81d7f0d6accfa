// Compile-time checks of the portable declarations against the platform's own headers.
//
// The portable code and the simulated Windows never see <windows.h>; they use the values and
// layouts of os/os.h and of the shared volume routines. A wrong one would pass every host test
// (the simulation keeps its own transcription, but a value both got wrong agrees with itself),
// so each value and layout the MinGW-w64 headers also define is compared with theirs here, in
// every Windows build. What those headers lack is named, with the page it comes from, beside
// its declaration.
//
// One line a fact. No code: this file only has to compile.
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>
#include <winioctl.h>
#include <setupapi.h>
#include <shlobj.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstddef>

#include "Ombrix_Setup/wizard_logic.h"
#include "Ombrix_Viewer/viewer_panel.h"
#include "common/volume.h"
#include "os/os.h"

namespace {

// ---------------------------------------------------------------------------------------------
// os/os.h: constants.

// Error codes (winerror.h; the SetupAPI ones in setupapi.h).
static_assert(os::ErrorSuccess == ERROR_SUCCESS);
static_assert(os::ErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(os::ErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(os::ErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(os::ErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(os::ErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(os::ErrorHandleEof == ERROR_HANDLE_EOF);
static_assert(os::ErrorNotSupported == ERROR_NOT_SUPPORTED);
static_assert(os::ErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(os::ErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(os::ErrorMoreData == ERROR_MORE_DATA);
static_assert(os::ErrorFailedServiceControllerConnect == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
static_assert(os::ErrorJournalNotActive == ERROR_JOURNAL_NOT_ACTIVE);
static_assert(os::ErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(os::ErrorNoMoreFiles == ERROR_NO_MORE_FILES);
static_assert(os::ErrorFileExists == ERROR_FILE_EXISTS);
static_assert(os::ErrorDirNotEmpty == ERROR_DIR_NOT_EMPTY);
static_assert(os::ErrorAlreadyExists == ERROR_ALREADY_EXISTS);
static_assert(os::ErrorResourceTypeNotFound == ERROR_RESOURCE_TYPE_NOT_FOUND);
static_assert(os::ErrorResourceNameNotFound == ERROR_RESOURCE_NAME_NOT_FOUND);
static_assert(os::ErrorServiceAlreadyRunning == ERROR_SERVICE_ALREADY_RUNNING);
static_assert(os::ErrorServiceDisabled == ERROR_SERVICE_DISABLED);
static_assert(os::ErrorServiceDoesNotExist == ERROR_SERVICE_DOES_NOT_EXIST);
static_assert(os::ErrorServiceCannotAcceptCtrl == ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
static_assert(os::ErrorServiceNotActive == ERROR_SERVICE_NOT_ACTIVE);
static_assert(os::ErrorServiceMarkedForDelete == ERROR_SERVICE_MARKED_FOR_DELETE);
static_assert(os::ErrorServiceExists == ERROR_SERVICE_EXISTS);
static_assert(os::ErrorInvalidLevel == ERROR_INVALID_LEVEL);
static_assert(os::ErrorDirectory == ERROR_DIRECTORY);
static_assert(os::ErrorInvalidName == ERROR_INVALID_NAME);
static_assert(os::ErrorInvalidServiceControl == ERROR_INVALID_SERVICE_CONTROL);
static_assert(os::ErrorDuplicateServiceName == ERROR_DUPLICATE_SERVICE_NAME);
static_assert(os::ErrorInvalidWindowHandle == ERROR_INVALID_WINDOW_HANDLE);
static_assert(os::ErrorCantResolveFilename == ERROR_CANT_RESOLVE_FILENAME);
static_assert(os::ErrorSuccessRebootRequired == ERROR_SUCCESS_REBOOT_REQUIRED);
static_assert(os::ErrorTimeout == ERROR_TIMEOUT);
static_assert(os::ErrorInstallFailure == ERROR_INSTALL_FAILURE);
static_assert(os::ErrorNegativeSeek == ERROR_NEGATIVE_SEEK);
static_assert(os::ErrorExpectedSectionName == ERROR_EXPECTED_SECTION_NAME);
static_assert(os::ErrorBadSectionNameLine == ERROR_BAD_SECTION_NAME_LINE);
static_assert(os::ErrorWrongInfStyle == ERROR_WRONG_INF_STYLE);
static_assert(os::ErrorSectionNotFound == ERROR_SECTION_NOT_FOUND);
static_assert(os::ErrorBadServiceInstallSect == ERROR_BAD_SERVICE_INSTALLSECT);

// File attributes, drive types, access masks, share modes, dispositions, seeks.
static_assert(os::InvalidFileAttributes == INVALID_FILE_ATTRIBUTES);
static_assert(os::FileAttributeReadonly == FILE_ATTRIBUTE_READONLY);
static_assert(os::FileAttributeHidden == FILE_ATTRIBUTE_HIDDEN);
static_assert(os::FileAttributeSystem == FILE_ATTRIBUTE_SYSTEM);
static_assert(os::FileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY);
static_assert(os::FileAttributeArchive == FILE_ATTRIBUTE_ARCHIVE);
static_assert(os::FileAttributeNormal == FILE_ATTRIBUTE_NORMAL);
static_assert(os::FileAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT);
static_assert(os::FileAttributeCompressed == FILE_ATTRIBUTE_COMPRESSED);
static_assert(os::DriveUnknown == DRIVE_UNKNOWN);
static_assert(os::DriveNoRootDir == DRIVE_NO_ROOT_DIR);
static_assert(os::DriveRemovable == DRIVE_REMOVABLE);
static_assert(os::DriveFixed == DRIVE_FIXED);
static_assert(os::DriveRemote == DRIVE_REMOTE);
static_assert(os::DriveCdrom == DRIVE_CDROM);
static_assert(os::DriveRamdisk == DRIVE_RAMDISK);
static_assert(os::GenericRead == GENERIC_READ);
static_assert(os::GenericWrite == GENERIC_WRITE);
static_assert(os::FileShareRead == FILE_SHARE_READ);
static_assert(os::FileShareWrite == FILE_SHARE_WRITE);
static_assert(os::FileShareDelete == FILE_SHARE_DELETE);
static_assert(os::CreateNew == CREATE_NEW);
static_assert(os::CreateAlways == CREATE_ALWAYS);
static_assert(os::OpenExisting == OPEN_EXISTING);
static_assert(os::OpenAlways == OPEN_ALWAYS);
static_assert(os::TruncateExisting == TRUNCATE_EXISTING);
static_assert(os::FileBegin == FILE_BEGIN);
static_assert(os::FileCurrent == FILE_CURRENT);
static_assert(os::FileEnd == FILE_END);

// Control codes and compression formats (winioctl.h, winnt.h).
static_assert(os::FsctlQueryUsnJournal == FSCTL_QUERY_USN_JOURNAL);
static_assert(os::FsctlCreateUsnJournal == FSCTL_CREATE_USN_JOURNAL);
static_assert(os::FsctlEnumUsnData == FSCTL_ENUM_USN_DATA);
static_assert(os::FsctlGetCompression == FSCTL_GET_COMPRESSION);
static_assert(os::FsctlSetCompression == FSCTL_SET_COMPRESSION);
static_assert(os::CompressionFormatNone == COMPRESSION_FORMAT_NONE);
static_assert(os::CompressionFormatDefault == COMPRESSION_FORMAT_DEFAULT);
static_assert(os::FileCompressionInfoClass == static_cast<std::uint32_t>(FileCompressionInfo));

// NtCreateFile (ntstatus.h, winternl.h, winnt.h).
static_assert(os::StatusSuccess == STATUS_SUCCESS);
static_assert(os::ObjCaseInsensitive == OBJ_CASE_INSENSITIVE);
static_assert(os::FileOpen == FILE_OPEN);
static_assert(os::FileNonDirectoryFile == FILE_NON_DIRECTORY_FILE);
static_assert(os::FileOpenByFileId == FILE_OPEN_BY_FILE_ID);
static_assert(os::FileOpenReparsePoint == FILE_OPEN_REPARSE_POINT);
static_assert(os::FileGenericReadWrite == (FILE_GENERIC_READ | FILE_GENERIC_WRITE));
static_assert(os::FileListDirectory == FILE_LIST_DIRECTORY);
static_assert(os::FileFlagBackupSemantics == FILE_FLAG_BACKUP_SEMANTICS);
static_assert(os::FileFlagOpenReparsePoint == FILE_FLAG_OPEN_REPARSE_POINT);
static_assert(os::FileAddFile == FILE_ADD_FILE);
static_assert(os::FileAddSubdirectory == FILE_ADD_SUBDIRECTORY);
static_assert(os::FileWriteEa == FILE_WRITE_EA);
static_assert(os::FileDeleteChild == FILE_DELETE_CHILD);
static_assert(os::FileWriteAttributes == FILE_WRITE_ATTRIBUTES);
static_assert(os::AccessDelete == DELETE);
static_assert(os::ReadControl == READ_CONTROL);
static_assert(os::WriteDac == WRITE_DAC);
static_assert(os::WriteOwner == WRITE_OWNER);
static_assert(os::GenericAll == GENERIC_ALL);
static_assert(os::OwnerSecurityInformation == OWNER_SECURITY_INFORMATION);
static_assert(os::DaclSecurityInformation == DACL_SECURITY_INFORMATION);
static_assert(os::TrustESubjectNotTrusted == static_cast<std::uint32_t>(TRUST_E_SUBJECT_NOT_TRUSTED));
static_assert(os::MovefileReplaceExisting == MOVEFILE_REPLACE_EXISTING);
static_assert(os::MovefileDelayUntilReboot == MOVEFILE_DELAY_UNTIL_REBOOT);
static_assert(os::ErrorFilenameExcedRange == ERROR_FILENAME_EXCED_RANGE);
static_assert(os::FileReadAttributes == FILE_READ_ATTRIBUTES);
static_assert(os::Synchronize == SYNCHRONIZE);
static_assert(os::FileCompleteIfOplocked == FILE_COMPLETE_IF_OPLOCKED);
static_assert(os::StatusOplockBreakInProgress == STATUS_OPLOCK_BREAK_IN_PROGRESS);

// Registry value types, waits.
static_assert(os::RegSz == REG_SZ);
static_assert(os::RegExpandSz == REG_EXPAND_SZ);
static_assert(os::RegBinary == REG_BINARY);
static_assert(os::RegDword == REG_DWORD);
static_assert(os::RegMultiSz == REG_MULTI_SZ);
static_assert(os::Infinite == INFINITE);
static_assert(os::WaitObject0 == WAIT_OBJECT_0);
static_assert(os::WaitTimeout == WAIT_TIMEOUT);
static_assert(os::WaitFailed == WAIT_FAILED);

// Services (winsvc.h, winnt.h).
static_assert(os::ScManagerAllAccess == SC_MANAGER_ALL_ACCESS);
static_assert(os::ServiceAllAccess == SERVICE_ALL_ACCESS);
static_assert(os::ServiceKernelDriver == SERVICE_KERNEL_DRIVER);
static_assert(os::ServiceFileSystemDriver == SERVICE_FILE_SYSTEM_DRIVER);
static_assert(os::ServiceWin32OwnProcess == SERVICE_WIN32_OWN_PROCESS);
static_assert(os::ServiceBootStart == SERVICE_BOOT_START);
static_assert(os::ServiceSystemStart == SERVICE_SYSTEM_START);
static_assert(os::ServiceAutoStart == SERVICE_AUTO_START);
static_assert(os::ServiceDemandStart == SERVICE_DEMAND_START);
static_assert(os::ServiceDisabled == SERVICE_DISABLED);
static_assert(os::ServiceErrorIgnore == SERVICE_ERROR_IGNORE);
static_assert(os::ServiceErrorNormal == SERVICE_ERROR_NORMAL);
static_assert(os::ServiceNoChange == SERVICE_NO_CHANGE);
static_assert(os::ServiceConfigDescription == SERVICE_CONFIG_DESCRIPTION);
static_assert(os::ServiceConfigDelayedAutoStartInfo == SERVICE_CONFIG_DELAYED_AUTO_START_INFO);
static_assert(os::ServiceStopped == SERVICE_STOPPED);
static_assert(os::ServiceStartPending == SERVICE_START_PENDING);
static_assert(os::ServiceStopPending == SERVICE_STOP_PENDING);
static_assert(os::ServiceRunning == SERVICE_RUNNING);
static_assert(os::ServiceAcceptStop == SERVICE_ACCEPT_STOP);
static_assert(os::ServiceAcceptPauseContinue == SERVICE_ACCEPT_PAUSE_CONTINUE);
static_assert(os::ServiceAcceptShutdown == SERVICE_ACCEPT_SHUTDOWN);
static_assert(os::ServiceControlStop == SERVICE_CONTROL_STOP);
static_assert(os::ServiceControlPause == SERVICE_CONTROL_PAUSE);
static_assert(os::ServiceControlContinue == SERVICE_CONTROL_CONTINUE);
static_assert(os::ServiceControlInterrogate == SERVICE_CONTROL_INTERROGATE);
static_assert(os::ServiceControlShutdown == SERVICE_CONTROL_SHUTDOWN);

// SetupAPI, shell folders, windows, code pages.
static_assert(os::InfStyleWin4 == INF_STYLE_WIN4);
static_assert(os::SpsvcinstTagToFront == SPSVCINST_TAGTOFRONT);
static_assert(os::SpsvcinstStopService == SPSVCINST_STOPSERVICE);
static_assert(os::CsidlWindows == CSIDL_WINDOWS);
static_assert(os::CsidlSystem == CSIDL_SYSTEM);
static_assert(os::CsidlProgramFiles == CSIDL_PROGRAM_FILES);
static_assert(os::WmApp == WM_APP);
static_assert(os::SmtoAbortIfHung == SMTO_ABORTIFHUNG);
static_assert(os::SwHide == SW_HIDE);
static_assert(os::CpAcp == CP_ACP);

// ---------------------------------------------------------------------------------------------
// os/os.h: records. Each member sits where the platform's does and has its size; the record has
// the platform's size. The FILETIME members are pairs of 32-bit halves on our side.
#define SAME_SIZE(ours, theirs) static_assert(sizeof(ours) == sizeof(theirs), #theirs)
#define SAME_MEMBER(ours, theirs, member)                                                         \
  static_assert(offsetof(ours, member) == offsetof(theirs, member) &&                             \
                    sizeof(ours::member) == sizeof(theirs::member),                               \
                #theirs "." #member)

static_assert(sizeof(os::Handle) == sizeof(HANDLE));
static_assert(sizeof(os::Key) == sizeof(HKEY));
static_assert(sizeof(os::FileTime) == sizeof(FILETIME));

SAME_SIZE(os::OsVersionInfo, OSVERSIONINFOW);
SAME_MEMBER(os::OsVersionInfo, OSVERSIONINFOW, dwOSVersionInfoSize);
SAME_MEMBER(os::OsVersionInfo, OSVERSIONINFOW, dwMajorVersion);
SAME_MEMBER(os::OsVersionInfo, OSVERSIONINFOW, dwMinorVersion);
SAME_MEMBER(os::OsVersionInfo, OSVERSIONINFOW, dwBuildNumber);
SAME_MEMBER(os::OsVersionInfo, OSVERSIONINFOW, dwPlatformId);
SAME_MEMBER(os::OsVersionInfo, OSVERSIONINFOW, szCSDVersion);

SAME_SIZE(os::ServiceStatus, SERVICE_STATUS);
SAME_MEMBER(os::ServiceStatus, SERVICE_STATUS, dwServiceType);
SAME_MEMBER(os::ServiceStatus, SERVICE_STATUS, dwCurrentState);
SAME_MEMBER(os::ServiceStatus, SERVICE_STATUS, dwControlsAccepted);
SAME_MEMBER(os::ServiceStatus, SERVICE_STATUS, dwWin32ExitCode);
SAME_MEMBER(os::ServiceStatus, SERVICE_STATUS, dwServiceSpecificExitCode);
SAME_MEMBER(os::ServiceStatus, SERVICE_STATUS, dwCheckPoint);
SAME_MEMBER(os::ServiceStatus, SERVICE_STATUS, dwWaitHint);

SAME_SIZE(os::FindData, WIN32_FIND_DATAW);
SAME_MEMBER(os::FindData, WIN32_FIND_DATAW, dwFileAttributes);
SAME_MEMBER(os::FindData, WIN32_FIND_DATAW, ftCreationTime);
SAME_MEMBER(os::FindData, WIN32_FIND_DATAW, ftLastAccessTime);
SAME_MEMBER(os::FindData, WIN32_FIND_DATAW, ftLastWriteTime);
SAME_MEMBER(os::FindData, WIN32_FIND_DATAW, nFileSizeHigh);
SAME_MEMBER(os::FindData, WIN32_FIND_DATAW, nFileSizeLow);
SAME_MEMBER(os::FindData, WIN32_FIND_DATAW, dwReserved0);
SAME_MEMBER(os::FindData, WIN32_FIND_DATAW, dwReserved1);
SAME_MEMBER(os::FindData, WIN32_FIND_DATAW, cFileName);
SAME_MEMBER(os::FindData, WIN32_FIND_DATAW, cAlternateFileName);

SAME_SIZE(os::ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION);
SAME_MEMBER(os::ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION, dwFileAttributes);
SAME_MEMBER(os::ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION, ftCreationTime);
SAME_MEMBER(os::ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION, ftLastAccessTime);
SAME_MEMBER(os::ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION, ftLastWriteTime);
SAME_MEMBER(os::ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION, dwVolumeSerialNumber);
SAME_MEMBER(os::ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION, nFileSizeHigh);
SAME_MEMBER(os::ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION, nFileSizeLow);
SAME_MEMBER(os::ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION, nNumberOfLinks);
SAME_MEMBER(os::ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION, nFileIndexHigh);
SAME_MEMBER(os::ByHandleFileInformation, BY_HANDLE_FILE_INFORMATION, nFileIndexLow);

SAME_SIZE(os::FileCompressionInfo, FILE_COMPRESSION_INFO);
SAME_MEMBER(os::FileCompressionInfo, FILE_COMPRESSION_INFO, CompressedFileSize);
SAME_MEMBER(os::FileCompressionInfo, FILE_COMPRESSION_INFO, CompressionFormat);
SAME_MEMBER(os::FileCompressionInfo, FILE_COMPRESSION_INFO, CompressionUnitShift);
SAME_MEMBER(os::FileCompressionInfo, FILE_COMPRESSION_INFO, ChunkShift);
SAME_MEMBER(os::FileCompressionInfo, FILE_COMPRESSION_INFO, ClusterShift);
SAME_MEMBER(os::FileCompressionInfo, FILE_COMPRESSION_INFO, Reserved);

SAME_SIZE(os::ServiceDelayedAutoStartInfo, SERVICE_DELAYED_AUTO_START_INFO);
SAME_MEMBER(os::ServiceDelayedAutoStartInfo, SERVICE_DELAYED_AUTO_START_INFO, fDelayedAutostart);
SAME_SIZE(os::ServiceDescription, SERVICE_DESCRIPTIONW);
SAME_MEMBER(os::ServiceDescription, SERVICE_DESCRIPTIONW, lpDescription);
SAME_SIZE(os::ServiceTableEntry, SERVICE_TABLE_ENTRYW);
SAME_MEMBER(os::ServiceTableEntry, SERVICE_TABLE_ENTRYW, lpServiceName);
SAME_MEMBER(os::ServiceTableEntry, SERVICE_TABLE_ENTRYW, lpServiceProc);

SAME_SIZE(os::CountedString, UNICODE_STRING);
SAME_MEMBER(os::CountedString, UNICODE_STRING, Length);
SAME_MEMBER(os::CountedString, UNICODE_STRING, MaximumLength);
SAME_MEMBER(os::CountedString, UNICODE_STRING, Buffer);
SAME_SIZE(os::IoStatusBlock, IO_STATUS_BLOCK);
SAME_MEMBER(os::IoStatusBlock, IO_STATUS_BLOCK, Status);
SAME_MEMBER(os::IoStatusBlock, IO_STATUS_BLOCK, Information);

// ---------------------------------------------------------------------------------------------
// common/volume.h: the change-journal records that DeviceIoControl carries across the seam as
// bytes. MinGW declares the first versions only (MFT_ENUM_DATA, USN_RECORD, USN_JOURNAL_DATA);
// each later version keeps them as its start.
SAME_SIZE(MftEnumDataV0, MFT_ENUM_DATA);
SAME_MEMBER(MftEnumDataV0, MFT_ENUM_DATA, StartFileReferenceNumber);
SAME_MEMBER(MftEnumDataV0, MFT_ENUM_DATA, LowUsn);
SAME_MEMBER(MftEnumDataV0, MFT_ENUM_DATA, HighUsn);
SAME_MEMBER(MftEnumDataV1, MFT_ENUM_DATA, StartFileReferenceNumber);
SAME_MEMBER(MftEnumDataV1, MFT_ENUM_DATA, LowUsn);
SAME_MEMBER(MftEnumDataV1, MFT_ENUM_DATA, HighUsn);
static_assert(offsetof(MftEnumDataV1, MinMajorVersion) == sizeof(MFT_ENUM_DATA));

static_assert(CreateJournalDataSize == sizeof(CREATE_USN_JOURNAL_DATA));
static_assert(JournalNextUsn == offsetof(USN_JOURNAL_DATA, NextUsn));
static_assert(JournalMinMajor == sizeof(USN_JOURNAL_DATA));   // USN_JOURNAL_DATA_V1 goes on from here

static_assert(RecordMajorVersion == offsetof(USN_RECORD, MajorVersion));
static_assert(RecordCommonHeader == offsetof(USN_RECORD, FileReferenceNumber));
static_assert(RecordFileReference == offsetof(USN_RECORD, FileReferenceNumber));
static_assert(LayoutV2.attributes == offsetof(USN_RECORD, FileAttributes));
static_assert(LayoutV2.nameLength == offsetof(USN_RECORD, FileNameLength));
static_assert(LayoutV2.name == offsetof(USN_RECORD, FileName));

// ---------------------------------------------------------------------------------------------
// Ombrix_Setup/wizard_logic.h: the wizard's property-sheet values.
static_assert(WizardButtonNext == PSWIZB_NEXT);
static_assert(WizardButtonFinish == PSWIZB_FINISH);
static_assert(SheetCancelButton == IDCANCEL);
static_assert(WindowStyleSysMenu == WS_SYSMENU);

// Ombrix_Viewer/viewer_panel.h: the activation state the panel refreshes on.
static_assert(WaActive == WA_ACTIVE);

}  // namespace
