// The simulated Windows behind the OS seam, as host tests see it.
//
// os/sim implements every function of os/os.h against one in-process machine: drive letters with
// their volumes, NTFS file records and change journals, a plain file store, the registry, the
// service control manager's dispatcher, threads, a simulated clock, the debugger output and the
// filter manager's communication ports. Tests build the machine with the functions below, let the
// code under test run against it through os::, then look at the machine again.
//
// Everything here is thread-safe. Functions that wait take a real-time limit in milliseconds; it
// is only a safety net against a hung test (they return false when it runs out), never a way of
// measuring the code under test.
#pragma once

#include "os/os.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using os::FileTime;

// ---------------------------------------------------------------------------------------------
// The machine as a whole.

// Back to a fresh, empty machine: no drives, files, registry keys, ports, faults, hooks or
// pauses; clock at DefaultStartTime; Windows 6.1; the default module path. Releases any paused
// thread and waits for threads started through os::CreateThread to end.
void Reset();

// GetVersionExW: major.minor (default 6.1, build 7601). The version also decides which
// change-journal structures the volumes accept and return (see "Change journal" below).
void SetWindowsVersion(std::uint32_t major, std::uint32_t minor, std::uint32_t build = 0);

// GetModuleFileNameW of the process (module null or the handle from GetModuleHandleW(nullptr)).
constexpr std::u16string_view DefaultModulePath = u"C:\\Program Files\\Ombrix\\Ombrix_Service.exe";
void SetModulePath(std::u16string_view path);

// Kernel handles (files, volumes, threads, port connections) currently open in the process.
std::size_t OpenHandleCount();
// The process ends: the kernel closes every handle still open (a port connection is then
// disconnected) and every registry key. Call it after the program's entry point returned.
void ExitProcess();
// Registry keys opened or created through os:: and not closed yet.
std::size_t OpenKeyCount();

// ---------------------------------------------------------------------------------------------
// Clock. Sleep advances the simulated clock by its argument instead of waiting.

constexpr FileTime Millisecond = 10'000;
constexpr FileTime Second = 1'000 * Millisecond;
constexpr FileTime Minute = 60 * Second;
constexpr FileTime Hour = 60 * Minute;
constexpr FileTime Day = 24 * Hour;
constexpr FileTime DefaultStartTime = 134'116'992'000'000'000;   // 1 January 2026, 00:00 UTC

void SetTime(FileTime now);
FileTime Now();
void AdvanceTime(FileTime delta);

// Arms a one-shot pause: the first Sleep that would reach or pass `moment` advances the clock to
// exactly `moment` and blocks its thread there until Resume(); the clock then advances by the
// rest of that sleep.
void PauseAt(FileTime moment);
// Arms a one-shot pause on the nth call (1-based, counted from now) of the named os:: function,
// taken on entry before the call does anything. For DeviceIoControl, `controlCode` (non-zero)
// counts only calls with that code.
bool PauseOnCall(std::string_view function, std::uint64_t nth, std::uint32_t controlCode = 0);
// Blocks the calling thread as paused until Resume() (for use inside hooks).
void PauseHere();
// Waits until some thread is paused. False when `realTimeoutMs` ran out first.
bool WaitUntilPaused(std::uint32_t realTimeoutMs = 10'000);
bool IsPaused();
// Releases every paused thread. Armed pauses that have not triggered stay armed. Service
// controls already sent are delivered first: Resume waits until the handler has run, or is
// itself waiting (WaitForSingleObject) or paused, so "SendServiceControl, then Resume" always
// lets the handler act before the released threads go on.
void Resume();

// ---------------------------------------------------------------------------------------------
// Calls: counting, hooks and faults. `function` is the os:: name ("DeviceIoControl").

std::uint64_t CallCount(std::string_view function);
// DeviceIoControl calls with that control code (the first eight codes used are counted).
std::uint64_t CallCount(std::string_view function, std::uint32_t controlCode);
// Waits until the function has been entered `count` times in total since Reset.
bool WaitForCallCount(std::string_view function, std::uint64_t count, std::uint32_t realTimeoutMs = 10'000);

// Runs `hook` on the calling thread on entry to every call of the function (for DeviceIoControl
// optionally only calls with `controlCode`), before faults are applied and outside the
// simulation's lock, so a hook may call any sim:: or os:: function. The argument is the number of
// the call (1-based, counted from when the hook was set). One hook per function; an empty hook
// removes it. False for an unknown function name.
using CallHook = std::function<void(std::uint64_t callNumber)>;
bool OnCall(std::string_view function, CallHook hook, std::uint32_t controlCode = 0);
// The same on entry to every os:: call whatever its function (before that function's own hook),
// numbered across all of them: a point between any two calls of the code under test.
void OnEveryCall(CallHook hook);

// Makes calls fail the way the real call reports failure: false/0/null/INVALID_HANDLE_VALUE with
// the last error set, the error code as the result of the Reg* functions, an NTSTATUS from
// NtCreateFile, an HRESULT from the Filter* functions, WAIT_FAILED, DRIVE_UNKNOWN from
// GetDriveTypeW. A failed OutputDebugStringW loses its line. Output buffers and handles are left
// as the real call leaves them on failure (FilterConnectCommunicationPort writes
// INVALID_HANDLE_VALUE). GetLastError, Sleep, GetSystemTimeAsFileTime and InitCommonControls
// cannot fail: Fail returns false for them and for unknown names.
constexpr std::uint64_t EveryCall = 0;
struct Fault {
  std::uint64_t nth = EveryCall;   // 1-based among matching calls counted from now; EveryCall = all
  std::uint32_t controlCode = 0;   // DeviceIoControl only: 0 = any control code
  std::uint32_t error = 0;         // 0 = the usual error of that call (access denied and the like)
};
bool Fail(std::string_view function, Fault fault = {});
void ClearFaults();

// ---------------------------------------------------------------------------------------------
// Drives and volumes.

constexpr std::uint64_t GiB = 1ull << 30;

struct DriveSpec {
  std::uint32_t type = os::DriveFixed;
  std::u16string fileSystem = u"NTFS";       // GetVolumeInformationW's file-system name
  std::u16string device;                     // QueryDosDeviceW target; empty = "\Device\HarddiskVolumeN"
                                             // with N = letter - 'A' (C: -> 2); "\Device\CdRom0" for optical
  std::u16string label;
  std::uint32_t serialNumber = 0;            // 0 = made up from the letter
  std::uint32_t fileSystemFlags = 0;         // 0 = the usual flags of the file system
  std::uint64_t totalBytes = 256 * GiB;
  std::uint64_t freeBytes = 128 * GiB;
  std::optional<std::uint64_t> freeBytesAvailable;   // to the caller; unset = freeBytes
  // GetFileAttributesW of the root "C:\" (an NTFS root adds system and hidden). "C:" alone is
  // drive-relative, as on Windows: the current directory when it lies on that drive, else the root.
  std::uint32_t attributes = os::FileAttributeDirectory;
  bool mediaPresent = true;                  // false: an empty optical or card drive (not ready)
  std::uint32_t clusterSize = 4096;
  bool journal = true;                       // NTFS only: a change journal is active
  std::uint16_t journalMinMajor = 0;         // 0 = what this Windows version reports
  std::uint16_t journalMaxMajor = 0;
  // Which record versions FSCTL_ENUM_USN_DATA returns when the asked range allows both 2 and 3
  // (documented as "USN_RECORD_V2 or USN_RECORD_V3"): the highest, the lowest, or both in turn
  // (version 2 for records of even index, 3 for odd).
  enum class EnumRecords { Highest, Lowest, Alternating };
  EnumRecords enumRecords = EnumRecords::Highest;
  double compressionRatio = 0.5;             // allocated / size of a file after compression
};

// Adds (or replaces) the drive. An NTFS drive starts with an empty root directory.
void AddDrive(char16_t letter, const DriveSpec& spec = {});
void RemoveDrive(char16_t letter);
// Volume free space (free bytes available to the caller moves with it unless given).
void SetFreeBytes(char16_t letter, std::uint64_t freeBytes, std::optional<std::uint64_t> available = {});
std::uint64_t FreeBytes(char16_t letter);
std::uint64_t FreeBytesAvailable(char16_t letter);
void SetDriveAttributes(char16_t letter, std::uint32_t attributes);
void SetCompressionRatio(char16_t letter, double ratio);

// Change journal. The volume device (CreateFileW of "\\.\C:") answers FSCTL_QUERY_USN_JOURNAL
// with USN_JOURNAL_DATA_V0 (56 bytes) on Windows 7 and V1 (64 bytes, the supported record
// versions at bytes 56 and 58) from Windows 8 on: versions 2..2 before Windows 8.1, 2..3 from it
// on, unless the DriveSpec says otherwise (a journal may report 4, the range-tracking records of
// its read, which enumeration never returns). FSCTL_ENUM_USN_DATA reads MFT_ENUM_DATA_V0 on
// Windows 7; from Windows 8 on a 32-byte input is MFT_ENUM_DATA_V1, whose version range must be
// ordered, meet the volume's and include 2 or 3 (else ERROR_INVALID_PARAMETER). Records are
// USN_RECORD_V2 or USN_RECORD_V3 as the range (cut to the volume's and to 2..3) allows,
// DriveSpec::enumRecords choosing where it allows both. A batch holds the next start number (8 bytes) and then the records in ascending FRN
// from the start number whose USN lies in [LowUsn, HighUsn], as many as fit; TimeStamp is the
// file's last write time, Reason and SourceInfo are 0. Nothing left: ERROR_HANDLE_EOF. Each change
// the journal records (a file added, its compression changed) gives the file the next USN.
bool JournalActive(char16_t letter);
void SetJournal(char16_t letter, bool active);
std::int64_t JournalNextUsn(char16_t letter);
// The next FSCTL_ENUM_USN_DATA calls on this volume (one batch per call, in order) succeed with
// exactly these bytes (cut to the caller's output size) instead of the real records.
void QueueEnumOutput(char16_t letter, std::vector<std::uint8_t> bytes);

// ---------------------------------------------------------------------------------------------
// NTFS file records. A file reference number (FRN) is the record's index in the low 48 bits and
// its sequence number in the high 16. The root directory (RootFrn) is not enumerated.

constexpr std::uint64_t RootFrn = 0x0005000000000005;

struct FileSpec {
  std::u16string name;
  std::uint64_t parent = RootFrn;
  std::uint32_t attributes = 0x20;           // FILE_ATTRIBUTE_ARCHIVE; add 0x800 for a compressed file
  std::uint64_t size = 0;
  FileTime creation = 0;                     // 0 = the clock's time when added (all three)
  FileTime lastAccess = 0;
  FileTime lastWrite = 0;
  double compressionRatio = -1;              // < 0 = the volume's ratio
  std::int64_t compressedSize = -1;          // >= 0: allocated bytes once compressed (cluster-rounded)
  std::uint32_t securityId = 0x100;
};

// Returns the new file's FRN. Volumes of 1,000,000 files are fine: records live in vectors.
// Returns 0 when the parent is not a directory of the volume or the name is empty, longer than
// 255 units or already taken in that directory (names are unique per directory, ignoring case).
// Allocation follows NTFS: data of up to 700 bytes stays in the file record (no clusters, and
// compression changes nothing); larger data takes whole clusters, and compressed data takes
// ceil(bytes x ratio) per unit of 16 clusters, except in units where that saves no cluster.
std::uint64_t AddFile(char16_t letter, const FileSpec& spec);
std::uint64_t AddDirectory(char16_t letter, std::u16string_view name, std::uint64_t parent = RootFrn);
void RemoveVolumeFile(char16_t letter, std::uint64_t frn);

struct FileInfo {
  bool exists = false;
  std::u16string name;
  std::uint64_t frn = 0;
  std::uint64_t parent = 0;
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  std::uint64_t allocated = 0;               // clusters in bytes; GetCompressedFileSizeW and the
                                             // FileCompressionInfo class of GetFileInformationByHandleEx
                                             // (the only class modelled) report this for a compressed
                                             // file that is not resident
  FileTime creation = 0;
  FileTime lastAccess = 0;
  FileTime lastWrite = 0;
  std::int64_t usn = 0;
  std::uint32_t writeOpens = 0;              // opens of the record itself that asked for write access
  bool recalled = false;                     // a placeholder's data was fetched
  bool compressed() const { return (attributes & os::FileAttributeCompressed) != 0; }
};
FileInfo VolumeFile(char16_t letter, std::uint64_t frn);
// "C:\dir\name" (or "\\?\C:\dir\name") of a file record; not found -> exists false.
FileInfo VolumeFileByPath(std::u16string_view path);
void SetLastAccess(char16_t letter, std::uint64_t frn, FileTime lastAccess);
void SetFileAttributes(char16_t letter, std::uint64_t frn, std::uint32_t attributes);
void SetFileSize(char16_t letter, std::uint64_t frn, std::uint64_t size);
// Makes the record a reparse point (attribute 0x400), as its owner may at any time, its number
// unchanged: with a target ("D:\dirile") a file symbolic link (or, on a directory, a junction);
// with an empty target a cloud placeholder. NtCreateFile follows a link to its target, record by
// record through further links (at most 31), unless FILE_OPEN_REPARSE_POINT is given; a target
// that is not a file record of an NTFS volume fails with STATUS_OBJECT_NAME_NOT_FOUND (shares
// and the plain store are not reached this way). Opening a placeholder without that option
// fetches its data (FileInfo::recalled).
void SetReparsePoint(char16_t letter, std::uint64_t frn, std::u16string_view target);
// GetFileInformationByHandle and GetVolumeInformationByHandleW describe what a handle reached
// (a followed link: the target and its volume); the serial number is the DriveSpec's.

// Another program holding a file open with the given access (GENERIC_READ/GENERIC_WRITE) and
// share mode, until released. Opens that conflict fail with a sharing violation. Returns 0 when
// the file does not exist or the hold itself conflicts with the opens already there.
using HoldId = std::uint32_t;
HoldId HoldOpen(char16_t letter, std::uint64_t frn, std::uint32_t access, std::uint32_t share);
// A plain file by path, or a volume device ("\\.\C:").
HoldId HoldOpen(std::u16string_view path, std::uint32_t access, std::uint32_t share);
void ReleaseHold(HoldId hold);

// ---------------------------------------------------------------------------------------------
// Plain files and directories, stored by full path ("C:\Program Files\Ombrix\Ombrix.ini",
// case-insensitive), apart from the NTFS records above. Any "X:\..." path can be used, whether
// or not the drive exists; every drive root exists. A directory exists when it was created
// (CreateDirectoryW, MakeDirectory, PlantJunction) or made on the way by PutFile, and the
// running program's directory (SetModulePath) with its parents always exists. Files can only be
// created (CreateFileW, CopyFileW) in an existing directory: ERROR_PATH_NOT_FOUND otherwise.
//
// Junctions: a directory that is a reparse point redirects every path through it to its target,
// as NTFS does: "C:\Temp\Ombrix\x.inf" with "C:\Temp\Ombrix" a junction to "C:\Windows" is
// "C:\Windows\x.inf" for CreateFileW, CopyFileW, FindFirstFileW, CreateDirectoryW and the
// rest. RemoveDirectoryW on the junction removes the link only; DeleteFileW on a file symbolic
// link removes the link only. A chain of more than 31 links fails (ERROR_CANT_RESOLVE_FILENAME).
//
// CreateFileW of a directory fails with ERROR_ACCESS_DENIED; relative paths are not resolved.
//
// In use: files opened by handles or HoldOpen refuse what their share modes refuse; CopyFileW
// onto a file needs every open of it to share writing (ERROR_SHARING_VIOLATION). DeleteFileW
// needs every open to share delete (os::FileShareDelete; ERROR_SHARING_VIOLATION otherwise), and
// refuses the image of a running program with ERROR_ACCESS_DENIED: the module path, a program
// started with StartProgram, and the binary of a running own-process service (writing or copying
// onto one is a sharing violation).

void PutFile(std::u16string_view path, std::vector<std::uint8_t> bytes, std::uint32_t attributes = 0x20);
std::optional<std::vector<std::uint8_t>> FileBytes(std::u16string_view path);   // files only
bool FileExists(std::u16string_view path);                                      // files only
void RemoveFile(std::u16string_view path);                                       // a file or a link

// Owners and trustees: these names, SDDL aliases (SY, BA, BU, AU, WD, CO...) or SIDs ("S-1-5-18").
// Directories and files the installer creates (an elevated process) are owned by Administrators.
constexpr std::u16string_view AdministratorsOwner = u"BUILTIN\\Administrators";
constexpr std::u16string_view TrustedInstallerOwner = u"NT SERVICE\\TrustedInstaller";
constexpr std::u16string_view OtherUserOwner = u"DESKTOP\\user";
// The descriptor of a Windows 10 "C:\Program Files" (owner TrustedInstaller, protected: SYSTEM and
// Administrators modify and full control below, Users and app packages read and execute, CREATOR
// OWNER full control below).
constexpr std::u16string_view ProgramFilesSddl =
    u"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
    u"D:P(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
    u"(A;CIIO;GA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
    u"(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
    u"(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)";

// Security: every stored file and directory has an owner and a DACL. A new one takes the ACEs its
// directory passes on (CREATOR OWNER becoming its owner, generic rights mapped) after those of its
// own descriptor, unless that is protected ("D:P"). A drive root has the descriptor of a new
// Windows 10 system drive (owner TrustedInstaller; Authenticated Users may add folders and modify
// what is below them, SYSTEM and Administrators full control, Users read and execute).
// GetKernelObjectSecurity returns it in self-relative form through a handle with READ_CONTROL.
// CreateFileW opens a directory (or a root) with FILE_FLAG_BACKUP_SEMANTICS, for reading only;
// FILE_FLAG_OPEN_REPARSE_POINT opens a junction or file link itself. GetFileInformationByHandle
// reports a plain file's attributes and its number of names (PlantHardLink).
struct DirectorySpec {
  std::u16string owner{OtherUserOwner};   // another user made it (a test planting a trap)
  std::u16string sddl;                    // empty = only what the parent passes on
  std::uint32_t attributes = os::FileAttributeDirectory;
};
// Creates the directory with that spec; missing parents are made too, owned by SYSTEM.
void MakeDirectory(std::u16string_view path, const DirectorySpec& spec = {});
// A directory junction at `path` (its parent is created) pointing at `target` (which need not
// exist). FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT.
void PlantJunction(std::u16string_view path, std::u16string_view target,
                   std::u16string_view owner = OtherUserOwner);
// A file symbolic link (FILE_ATTRIBUTE_REPARSE_POINT, not a directory): opening it opens the target.
void PlantFileLink(std::u16string_view path, std::u16string_view target,
                   std::u16string_view owner = OtherUserOwner);
// Removes a file, link or directory with everything under it (not through links).
void RemoveTree(std::u16string_view path);
// The directories a fresh Windows has: "C:\Program Files" (short name PROGRA~1),
// "C:\Windows\system32\drivers", "C:\Windows\inf", the temporary folder (GetTempPathW),
// and "C:\Windows\system32\cmd.exe" and "ping.exe" as files.
void AddStandardFolders();

struct PathInfo {
  enum class Kind { None, File, Directory, FileLink } kind = Kind::None;
  std::u16string path;            // as stored (case kept)
  std::uint32_t attributes = 0;
  std::u16string owner;
  std::u16string sddl;            // the SDDL given to CreateDirectoryW (or the DirectorySpec)
  std::u16string target;          // junctions and file links
  std::uint64_t size = 0;
  bool exists() const { return kind != Kind::None; }
  bool directory() const { return kind == Kind::Directory; }
  bool reparse() const { return !target.empty(); }
};
// What is stored at the path itself (links are not followed).
PathInfo Path(std::u16string_view path);
// Direct entries of a directory (links not followed), sorted, without "." and "..".
std::vector<std::u16string> ListDirectory(std::u16string_view path);

// Another, unprivileged user of the machine acting beside the code under test (the installing
// user's own programs under UAC): their SID, Everyone, Authenticated Users, Users and Interactive.
// They get what the DACLs grant them (everything where they are the owner): creating an entry
// needs FILE_ADD_FILE or FILE_ADD_SUBDIRECTORY on its directory, replacing a file's data
// FILE_WRITE_DATA on it, a rename DELETE on the entry or FILE_DELETE_CHILD on its directory and the
// right to add to the target directory on the same drive. A rename is refused while an open of the
// entry does not share delete (a running program's file can be renamed, as on Windows); a file is
// replaced only where every open shares writing. Each returns false, changing nothing, when
// refused.
bool UserRename(std::u16string_view from, std::u16string_view to);
bool UserPutFile(std::u16string_view path, std::vector<std::uint8_t> bytes);
bool UserPlantJunction(std::u16string_view path, std::u16string_view target);
bool UserMakeDirectory(std::u16string_view path);
// The access check for that user: true when the DACL of what is at the path grants every right
// (a mask of file access rights).
bool UserMay(std::u16string_view path, std::uint32_t rights);
// Replaces the security of a stored entry or a drive root ("D:\") with an SDDL descriptor (the
// owner kept when it names none).
void SetSecurity(std::u16string_view path, std::u16string_view sddl);
// A second name of an existing file (a hard link), made beforehand.
void PlantHardLink(std::u16string_view path, std::u16string_view existing);
// Wine 8: GetKernelObjectSecurity reports its one user (S-1-5-21-0-0-0-1000) as the owner of
// everything, with SYSTEM and that user full control and Everyone read and execute, whatever a
// descriptor given at creation said; ntdll exports "wine_get_version" (GetProcAddress).
void EmulateWine(bool security, bool exportsVersion);

// GetShortPathNameW: the 8.3 name of one stored path's last component (e.g. "C:\Program Files"
// -> "PROGRA~1"). Components without one keep their long name.
void SetShortName(std::u16string_view path, std::u16string_view shortName);

// MoveFileExW renames a file within its drive (ERROR_NOT_SAME_DEVICE across drives), onto an
// existing file only with MOVEFILE_REPLACE_EXISTING (else ERROR_ALREADY_EXISTS); it needs every
// open of the file moved, and of a file it replaces, to share delete (ERROR_SHARING_VIOLATION),
// and refuses to replace a running program's image (ERROR_ACCESS_DENIED). With
// MOVEFILE_DELAY_UNTIL_REBOOT it changes no file: it appends the pair Windows records to
// HKEY_LOCAL_MACHINE "SYSTEM\CurrentControlSet\Control\Session Manager"
// "PendingFileRenameOperations" (REG_MULTI_SZ): "\??\" and the source's full path, then "\??\"
// and the target's (after a "!" with MOVEFILE_REPLACE_EXISTING) or, when the target is null, an
// empty string (a deletion). That needs an administrator (ERROR_ACCESS_DENIED otherwise, see
// SetElevated); a null target without the flag is ERROR_INVALID_PARAMETER.
constexpr std::u16string_view SessionManagerKey = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
// The process runs elevated (the default) or as a standard user.
void SetElevated(bool elevated);

// Images of running programs (DeleteFileW refuses them, writes are sharing violations).
void StartProgram(std::u16string_view path);
void EndProgram(std::u16string_view path);

// ---------------------------------------------------------------------------------------------
// Folders, code page, launched commands.

constexpr std::u16string_view DefaultTempPath = u"C:\\Users\\user\\AppData\\Local\\Temp\\";
constexpr std::u16string_view SystemDirectory = u"C:\\Windows\\system32";
// SHGetSpecialFolderPathW: CSIDL_PROGRAM_FILES "C:\Program Files", CSIDL_WINDOWS "C:\Windows",
// CSIDL_SYSTEM "C:\Windows\system32" unless set here; other ids fail.
void SetFolderPath(std::int32_t csidl, std::u16string_view path);
void SetTempPath(std::u16string_view path);   // GetTempPathW, ends in a backslash
// The current directory (SetCurrentDirectoryW); starts as the module's directory.
std::u16string CurrentDirectory();
// CP_ACP: 1252 (Windows-1252, the default) or 20127 (US-ASCII). Characters the code page lacks
// become '?'.
void SetAnsiCodePage(std::uint32_t codePage);

struct LaunchedCommand {
  std::string commandLine;        // the bytes given to WinExec
  std::uint32_t show = 0;
  std::u16string currentDirectory;
  FileTime time = 0;
};
std::vector<LaunchedCommand> LaunchedCommands();

// ---------------------------------------------------------------------------------------------
// Resources of the running program (FindResourceW and the rest with module null or
// GetModuleHandleW(nullptr)). Types are names ("DRIVER", case-insensitive) or "#N" for numeric
// types. LoadStringW reads the string table: it returns the length copied, cuts the text to
// capacity - 1 characters and terminates it; capacity 0 stores a read-only pointer to the
// (unterminated) text in the buffer and returns its full length; missing or empty strings give 0.

void SetResource(std::uint32_t id, std::u16string_view type, std::vector<std::uint8_t> bytes);
void SetString(std::uint32_t id, std::u16string_view text);

// ---------------------------------------------------------------------------------------------
// Top-level windows of other programs. FindWindowW matches class and title (each null = any,
// case-insensitive). SendMessageTimeoutW runs the window's procedure on the caller's thread,
// outside the simulation's lock (so it may call RemoveWindow, AdvanceTime, EndProgram...), stores
// its result and returns 1; a window without procedure answers 0. A removed window's handle fails
// with ERROR_INVALID_WINDOW_HANDLE. A hung window (HangWindow) never answers: with
// SMTO_ABORTIFHUNG the call fails at once, otherwise after its time-out of simulated time, both
// with ERROR_TIMEOUT.

using Window = std::uintptr_t;
using WindowProc = std::function<std::intptr_t(Window window, std::uint32_t message, std::uintptr_t wParam,
                                               std::intptr_t lParam)>;
Window AddWindow(std::u16string_view className, std::u16string_view title, WindowProc procedure = {});
void RemoveWindow(Window window);
bool WindowExists(Window window);
void HangWindow(Window window, bool hung = true);

struct SentMessage {
  Window window;
  std::uint32_t message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
  FileTime time;
};
std::vector<SentMessage> SentMessages();

// ---------------------------------------------------------------------------------------------
// Registry. Roots are os::HkeyCurrentUser and os::HkeyLocalMachine; paths like
// "Software\Microsoft\Windows"; names case-insensitive. An empty value name is the default value.

struct RegValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};
void CreateRegKey(os::Key root, std::u16string_view path);
void DeleteRegKey(os::Key root, std::u16string_view path);   // with its subkeys
bool RegKeyExists(os::Key root, std::u16string_view path);
void SetRegValue(os::Key root, std::u16string_view path, std::u16string_view name, RegValue value);
void SetRegDword(os::Key root, std::u16string_view path, std::u16string_view name, std::uint32_t value);
void SetRegString(os::Key root, std::u16string_view path, std::u16string_view name, std::u16string_view value);
std::optional<RegValue> GetRegValue(os::Key root, std::u16string_view path, std::u16string_view name);
std::optional<std::uint32_t> GetRegDword(os::Key root, std::u16string_view path, std::u16string_view name);
// REG_SZ, REG_EXPAND_SZ: the text up to the first null; REG_MULTI_SZ: the list.
std::optional<std::u16string> GetRegString(os::Key root, std::u16string_view path, std::u16string_view name);
std::optional<std::vector<std::u16string>> GetRegMultiString(os::Key root, std::u16string_view path,
                                                            std::u16string_view name);
// Value names of a key in the order they were first written, and its direct subkeys (sorted,
// lower-case as the simulation keeps key names).
std::vector<std::u16string> RegValueNames(os::Key root, std::u16string_view path);
std::vector<std::u16string> RegSubkeys(os::Key root, std::u16string_view path);
// RegSetValueExW behaves as Windows NT: a REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ whose count
// leaves out the terminator while the character after the counted text is a null is stored with
// that terminator (count + 2 bytes). RegDeleteKeyW refuses a key with subkeys (ERROR_ACCESS_DENIED).

// ---------------------------------------------------------------------------------------------
// Service control manager, the installer's side: creating, configuring, starting, stopping and
// deleting services. The configuration lives where Windows keeps it, under
// HKEY_LOCAL_MACHINE "SYSTEM\CurrentControlSet\Services\<name>": Type, Start, ErrorControl
// (REG_DWORD), ImagePath (REG_EXPAND_SZ), DisplayName, Group, ObjectName ("LocalSystem" for
// own-process services without an account), DependOnService, DependOnGroup (REG_MULTI_SZ),
// Description, DelayedAutostart (REG_DWORD, ChangeServiceConfig2W level 3), DeleteFlag (1 once
// deleted) and Tag (drivers in a group). SetupAPI registers a driver binary inside the Windows
// directory relative to it ("system32\drivers\Ombrix_Filter.sys"). The manager also keeps the run state: a deleted service
// is marked for deletion and disappears, key included, once it is stopped and its last handle is
// closed; until then CreateServiceW of that name fails with ERROR_SERVICE_MARKED_FOR_DELETE.
// A STOP sent to a running service leaves it STOP_PENDING for its stop delay of simulated time
// (os::Sleep, AdvanceTime); then it is stopped. StartServiceW of an own-process service runs the
// program the SCM would: a quoted ImagePath names it exactly; an unquoted one with blanks is
// tried at each blank in turn ("C:\Program.exe", "C:\Program Files\Ombrix\Ombrix_Service.exe"
// ...), and the first existing file runs; none -> ERROR_FILE_NOT_FOUND. Drivers start without
// such a check.

constexpr std::u16string_view ServicesKey = u"SYSTEM\\CurrentControlSet\\Services";

struct ServiceSpec {
  std::uint32_t type = os::ServiceWin32OwnProcess;
  std::uint32_t start = os::ServiceDemandStart;
  std::uint32_t errorControl = os::ServiceErrorNormal;
  std::u16string imagePath;
  std::u16string displayName;                // empty = the name
  std::u16string group;
  std::vector<std::u16string> dependencies;
  bool running = false;
  bool acceptsStop = true;
  std::uint32_t stopDelayMs = 0;             // simulated time from STOP to stopped
};
void AddService(std::u16string_view name, const ServiceSpec& spec = {});
// As the system would start it (no check of the binary); false for an unknown service.
bool StartService(std::u16string_view name);
void SetServiceStopDelay(std::u16string_view name, std::uint32_t stopDelayMs);
// Wine 8's service manager: ChangeServiceConfig2W with SERVICE_CONFIG_DELAYED_AUTO_START_INFO
// fails with ERROR_INVALID_LEVEL and stores nothing.
void RefuseDelayedAutoStart(bool refuse);

struct ServiceInfo {
  bool exists = false;
  std::u16string name;
  std::uint32_t state = 0;                   // os::ServiceStopped, ServiceStopPending, ServiceRunning
  bool markedForDelete = false;
  std::size_t openHandles = 0;
  std::uint32_t startCount = 0;              // StartServiceW and StartService calls that started it
  std::u16string runningImage;               // the program that runs (own-process services)
  // The configuration as stored in the registry:
  std::uint32_t type = 0;
  std::uint32_t start = 0;
  std::uint32_t errorControl = 0;
  std::u16string imagePath;
  std::u16string displayName;
  std::u16string group;
  std::u16string objectName;
  std::u16string description;
  std::vector<std::u16string> dependencies;   // DependOnService
  std::optional<std::uint32_t> delayedAutostart;
};
ServiceInfo Service(std::u16string_view name);
std::vector<std::u16string> ServiceNames();
// Service manager and service handles not closed yet.
std::size_t OpenServiceHandleCount();

// ---------------------------------------------------------------------------------------------
// Service control manager, service side. The test runs the program's entry point on a thread of
// its own; os::StartServiceCtrlDispatcherW starts the first table entry's ServiceMain on a new
// thread (argv = the entry's name) and becomes the dispatcher: it runs the registered handler for
// each control sent below, on its own thread, and returns true once the service has reported
// SERVICE_STOPPED and its ServiceMain has returned. Make it fail with
// Fail("StartServiceCtrlDispatcherW", {EveryCall, 0, os::ErrorFailedServiceControllerConnect}).

// Queues a control for the dispatcher and returns at once. False when no dispatcher runs. Unlike
// the real SCM, the accepted-controls mask is not checked, so every control reaches the handler;
// ServiceAcceptsControl says what the SCM would have let through.
bool SendServiceControl(std::uint32_t control);
bool ServiceAcceptsControl(std::uint32_t control);
// Controls the handler has finished running, in order.
std::vector<std::uint32_t> HandledControls();
// The name given to RegisterServiceCtrlHandlerW (empty when it was not called or failed). Outside
// a running dispatcher the registration fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
std::u16string ServiceHandlerName();
// Every SetServiceStatus report, in order.
std::vector<os::ServiceStatus> ServiceStatuses();
bool DispatcherRunning();
bool WaitForServiceState(std::uint32_t state, std::uint32_t realTimeoutMs = 10'000);
bool WaitForServiceMainReturn(std::uint32_t realTimeoutMs = 10'000);
bool WaitForDispatcherReturn(std::uint32_t realTimeoutMs = 10'000);
// The SCM gives up on a service that never reports SERVICE_STOPPED: its dispatcher returns true
// as soon as ServiceMain has returned.
void EndDispatcher();

// Threads started through os::CreateThread that have not ended.
std::size_t LiveThreadCount();

// ---------------------------------------------------------------------------------------------
// Debugger output: every os::OutputDebugStringW text, in order.

std::vector<std::u16string> DebugLines();
void ClearDebugLines();

// ---------------------------------------------------------------------------------------------
// SetupAPI. SetupOpenInfFileW reads the INF from the plain file store (ASCII/ANSI, or UTF-16
// with its byte-order mark): sections, "key = value, value" lines, ; comments, quoted strings
// (a quoted and an unquoted piece next to each other form one field), a backslash at a line's
// end continuing it, %strkey% from [Strings], %% for a percent sign and the directory ids %10%
// (Windows), %11% (system32) and %12% (drivers). A missing file fails with
// ERROR_FILE_NOT_FOUND, a line before the first section or an unclosed section name with
// ERROR_EXPECTED_SECTION_NAME / ERROR_BAD_SECTION_NAME_LINE and its line in *errorLine, an INF
// without the "$Windows NT$" or "$Chicago$" signature with ERROR_WRONG_INF_STYLE.
// SetupInstallServicesFromInfSectionW runs the AddService and DelService lines of the section
// against the service control manager above (a missing section: ERROR_SECTION_NOT_FOUND):
// AddService = name, flags, section creates the service from the section's ServiceType,
// StartType, ErrorControl, ServiceBinary, LoadOrderGroup, Dependencies, DisplayName,
// Description and StartName (or reconfigures an existing one) and applies its AddReg sections
// (HKR = the service key); DelService = name, flags stops the service first with 0x200 and
// deletes it. A service that stays until it stops makes the call succeed with last error
// ERROR_SUCCESS_REBOOT_REQUIRED.

// Open INF handles (SetupOpenInfFileW not yet closed).
std::size_t OpenInfCount();

// ---------------------------------------------------------------------------------------------
// Filter communication ports (the kernel side as the user-mode library sees it).

constexpr std::u16string_view OmbrixPortName = u"\\OmbrixPort";

void CreateFilterPort(std::u16string_view name = OmbrixPortName, std::uint32_t maxConnections = 1);
// Closes the server port; connected clients' sends fail from then on.
void RemoveFilterPort(std::u16string_view name = OmbrixPortName);
// Reply bytes written to the caller's output buffer by each FilterSendMessage (default none).
void SetPortReply(std::u16string_view name, std::vector<std::uint8_t> reply);

struct PortEvent {
  enum class Kind { Connect, Message, Disconnect };
  Kind kind;
  std::vector<std::uint8_t> bytes;   // the connection context or the message
  FileTime time;
};
std::vector<PortEvent> PortEvents(std::u16string_view name = OmbrixPortName);
std::vector<std::vector<std::uint8_t>> PortMessages(std::u16string_view name = OmbrixPortName);
std::size_t PortConnectionCount(std::u16string_view name = OmbrixPortName);

// ---------------------------------------------------------------------------------------------
// Oplocks and leases of other programs on file records, as Microsoft documents them for NTFS
// ("Checking the Oplock State of an IRP_MJ_CREATE operation", [MS-FSA] 2.1.4.12 and 2.1.5.1.2).
// An open whose desired access holds nothing but read attributes, write attributes and
// synchronize breaks none of them and takes part in no share-mode check ([MS-FSA] 2.1.5.1.2.2:
// only read data, execute, write data, append data and delete do). Any other open of the file by
// another program (every open through os:: is one):
// - level 1, batch, read-write and read-write-handle: breaks it (to level 2, read, read-handle)
//   and waits for the holder's acknowledgement;
// - filter: breaks it to none and waits, when the open asks for more than reading (read data,
//   read attributes, read EA, read control, execute, synchronize) or does not share reading;
// - level 2, read, read-handle: not broken by an open of an existing file (FILE_OPEN);
// - a sharing violation with a batch, filter or handle-caching (read-handle, read-write-handle)
//   holder: the holder is asked to close, and the open waits for it, then fails with the
//   sharing violation if the holder's open is still there.
// While a break is unacknowledged every such open waits again. With FILE_COMPLETE_IF_OPLOCKED
// nothing waits: an open that would wait completes with STATUS_OPLOCK_BREAK_IN_PROGRESS (a
// success code, with the handle), or STATUS_SHARING_VIOLATION after a break for a sharing
// violation. The holder here never acknowledges a break (a hostile user): an open that would
// wait for it is recorded in OplockWaits and fails with STATUS_CANCELLED instead of blocking
// for ever, so the test that made it ends and can fail. Closing the holder (ReleaseHold) ends the
// oplock.
enum class OplockLevel { Level1, Batch, Filter, Level2, Read, ReadHandle, ReadWrite, ReadWriteHandle };
// Grants the oplock or lease to the program behind a HoldOpen of a file record. False when the
// hold is no such hold, the file already has one, or (exclusive kinds: level 1, batch, filter,
// read-write, read-write-handle) another open of the file has data access.
bool GrantOplock(HoldId hold, OplockLevel level);
struct OplockInfo {
  bool held = false;
  OplockLevel level = OplockLevel::Level2;
  bool breaking = false;       // a break was sent and is not acknowledged
  std::uint32_t breaks = 0;    // break notifications sent to the holder
};
OplockInfo Oplock(char16_t letter, std::uint64_t frn);
// "NtCreateFile C:\dir\name" (the file's path): each open that Windows would have kept waiting for an
// acknowledgement that never comes.
std::vector<std::u16string> OplockWaits();

// NtCreateFile calls since Reset: attribute-only opens (nothing beyond read attributes, write
// attributes and synchronize) and the others.
struct FileOpenCounts {
  std::uint64_t attributesOnly = 0;
  std::uint64_t beyondAttributes = 0;
};
FileOpenCounts FileOpens();

}  // namespace sim
