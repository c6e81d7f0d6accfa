// The simulated machine's state, shared by the os/sim sources (not for tests: they use sim.h).
//
// One mutex guards the whole machine. Every os:: function enters through CallGate (call counts,
// hooks, pauses and injected faults) and then works under the lock. The calls of a volume pass
// must not allocate: handles come from a preallocated table, file records sit in vectors, names
// in one pool per volume, and paths are looked up through an open-addressing index with
// string views.
#pragma once

#include "os/os.h"
#include "os/sim/sim.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sim::detail {

// ---------------------------------------------------------------------------------------------
// Win32 values used by the simulation only.
constexpr std::uint32_t ErrorInvalidFunction = 1;
constexpr std::uint32_t ErrorPathNotFound = 3;
constexpr std::uint32_t ErrorTooManyOpenFiles = 4;
constexpr std::uint32_t ErrorNotReady = 21;
constexpr std::uint32_t ErrorBadLength = 24;
constexpr std::uint32_t ErrorFileExists = 80;
constexpr std::uint32_t ErrorDiskFull = 112;
constexpr std::uint32_t ErrorInvalidName = 123;
constexpr std::uint32_t ErrorModNotFound = 126;
constexpr std::uint32_t ErrorAlreadyExists = 183;
constexpr std::uint32_t ErrorKeyDeleted = 1018;
constexpr std::uint32_t ErrorServiceAlreadyRunning = 1056;
constexpr std::uint32_t ErrorServiceDoesNotExist = 1060;
constexpr std::uint32_t ErrorConnectionCountLimit = 1238;
constexpr std::uint32_t ErrorPipeNotConnected = 233;

constexpr std::int32_t StatusInvalidHandle = static_cast<std::int32_t>(0xC0000008);
constexpr std::int32_t StatusInvalidParameter = static_cast<std::int32_t>(0xC000000D);
constexpr std::int32_t StatusAccessDenied = static_cast<std::int32_t>(0xC0000022);
constexpr std::int32_t StatusSharingViolation = static_cast<std::int32_t>(0xC0000043);
constexpr std::int32_t StatusInsufficientResources = static_cast<std::int32_t>(0xC000009A);
constexpr std::int32_t StatusFileIsADirectory = static_cast<std::int32_t>(0xC00000BA);
constexpr std::int32_t StatusOplockBreakInProgress = 0x00000108;   // a success code

constexpr std::uint32_t HresultFromWin32(std::uint32_t error) { return error ? 0x80070000u | (error & 0xFFFF) : 0; }

constexpr std::uint32_t FileReadData = 0x1;
constexpr std::uint32_t FileWriteData = 0x2;
constexpr std::uint32_t FileAppendData = 0x4;
constexpr std::uint32_t FileExecute = 0x20;
constexpr std::uint32_t GenericReadRight = 0x80000000, GenericWriteRight = 0x40000000, GenericExecute = 0x20000000,
                        GenericAll = 0x10000000;
constexpr std::uint32_t FileGenericRead = 0x120089, FileGenericWrite = 0x120116, FileGenericExecute = 0x1200A0,
                        FileAllAccess = 0x1F01FF;
// CreateFileW flags, file access rights and SECURITY_INFORMATION bits (security.cpp checks them
// against os.h).
constexpr std::uint32_t BackupSemanticsFlag = 0x02000000;
constexpr std::uint32_t OpenReparsePointFlag = 0x00200000;
constexpr std::uint32_t AddFileRight = 0x2;            // FILE_ADD_FILE, FILE_WRITE_DATA
constexpr std::uint32_t AddSubdirectoryRight = 0x4;    // FILE_ADD_SUBDIRECTORY, FILE_APPEND_DATA
constexpr std::uint32_t DeleteChildRight = 0x40;       // FILE_DELETE_CHILD
constexpr std::uint32_t DeleteRight = 0x10000;         // DELETE
constexpr std::uint32_t ReadControlRight = 0x20000;    // READ_CONTROL
constexpr std::uint32_t OwnerInformation = 0x1;
constexpr std::uint32_t DaclInformation = 0x4;

// ---------------------------------------------------------------------------------------------
// The os:: functions, for counting, hooks and faults.
enum class Fn : int {
  GetLastError, Sleep, GetSystemTimeAsFileTime, CreateThread, WaitForSingleObject, CloseHandle,
  GetVersionExW, GetModuleHandleW, GetModuleFileNameW, OutputDebugStringW, InitCommonControls,
  StartServiceCtrlDispatcherW, RegisterServiceCtrlHandlerW, SetServiceStatus,
  RegOpenKeyW, RegCreateKeyW, RegQueryValueExW, RegSetValueExW, RegCloseKey,
  GetDriveTypeW, GetFileAttributesW, GetVolumeInformationW, QueryDosDeviceW, GetDiskFreeSpaceExW,
  CreateFileW, ReadFile, WriteFile, SetFilePointerEx, DeviceIoControl, NtCreateFile, GetFileSizeEx, GetFileTime,
  GetFinalPathNameByHandleW, GetCompressedFileSizeW,
  GetFileInformationByHandle, GetFileInformationByHandleEx, GetVolumeInformationByHandleW,
  FilterConnectCommunicationPort, FilterSendMessage,
  SHGetSpecialFolderPathW, GetTempPathW, GetSystemDirectoryW, GetShortPathNameW, SetCurrentDirectoryW,
  WideCharToMultiByte, WinExec,
  CreateDirectoryW, RemoveDirectoryW, DeleteFileW, CopyFileW, MoveFileExW, FindFirstFileW, FindNextFileW, FindClose,
  FindResourceW, LoadResource, LockResource, SizeofResource, LoadStringW,
  FindWindowW, SendMessageTimeoutW,
  OpenSCManagerW, OpenServiceW, CreateServiceW, ChangeServiceConfigW, ChangeServiceConfig2W, ControlService,
  QueryServiceStatus, StartServiceW, DeleteService, CloseServiceHandle,
  RegDeleteValueW, RegDeleteKeyW,
  SetupOpenInfFileW, SetupInstallServicesFromInfSectionW, SetupCloseInfFile,
  GetKernelObjectSecurity, SetEndOfFile, GetProcAddress,
  Count
};
constexpr int FnCount = static_cast<int>(Fn::Count);

// The error an injected fault reports when the test gave none.
std::uint32_t DefaultError(Fn fn);
bool CanFail(Fn fn);
bool FindFn(std::string_view name, Fn* fn);

// Entry of every os:: function: counts the call, runs its hook, takes an armed pause, and
// returns the error of an injected fault (0 when the call is to proceed).
std::uint32_t CallGate(Fn fn, std::uint32_t controlCode = 0);

// Per-thread last error.
void SetLastError(std::uint32_t error);

// Closes a kernel handle of any kind (Mutex() held); false when it is not open.
bool CloseLocked(os::Handle handle);

// True on the thread that runs StartServiceCtrlDispatcherW.
bool OnDispatcherThread();
void SetDispatcherThread(bool dispatcher);

// ---------------------------------------------------------------------------------------------
// Opens of one object, for share-mode checks (handles and test holds alike).
struct OpenCounts {
  std::uint32_t readers = 0;
  std::uint32_t writers = 0;
  std::uint32_t denyRead = 0;    // opens that do not share read
  std::uint32_t denyWrite = 0;   // opens that do not share write
  std::uint32_t denyDelete = 0;  // opens that do not share delete
};
bool WantsRead(std::uint32_t access);
bool WantsWrite(std::uint32_t access);
bool ShareConflict(const OpenCounts& opens, std::uint32_t access, std::uint32_t share);
void AddOpen(OpenCounts& opens, std::uint32_t access, std::uint32_t share);
void RemoveOpen(OpenCounts& opens, std::uint32_t access, std::uint32_t share);

// ---------------------------------------------------------------------------------------------
// Volumes.
constexpr std::uint32_t FirstUserRecord = 64;   // records below are the file system's own
constexpr std::uint32_t RootRecord = 5;
// Data this small stays inside the file record: it takes no clusters and is never compressed.
constexpr std::uint64_t ResidentLimit = 700;
// NTFS compresses in units of 16 clusters; a unit that would not save a cluster stays as it is.
constexpr std::uint64_t ClustersPerCompressionUnit = 16;

// A record that is a reparse point: a file symbolic link or junction (its target in
// Drive::linkTargets), or a cloud placeholder whose data an ordinary open fetches.
enum class ReparseKind : std::uint8_t { None, Link, Placeholder };

struct FileNode {
  std::uint32_t nameOffset = 0;   // into Drive::names
  std::uint16_t nameLength = 0;   // UTF-16 units
  std::uint16_t sequence = 0;     // 0: free record
  std::uint32_t parent = 0;       // record index
  std::uint32_t attributes = 0;
  std::uint32_t securityId = 0;
  std::uint64_t size = 0;
  std::uint64_t allocated = 0;
  FileTime creation = 0;
  FileTime lastAccess = 0;
  FileTime lastWrite = 0;
  std::int64_t usn = 0;
  OpenCounts opens;
  ReparseKind reparse = ReparseKind::None;
  bool recalled = false;          // a placeholder whose data was fetched by an open
  std::uint32_t writeOpens = 0;   // opens that asked for write access
};

struct CompressionOverride {
  double ratio = -1;
  std::int64_t compressedSize = -1;
};

// Open addressing over (parent, case-folded name) -> record index, so that path lookups need
// neither allocation nor a scan of the directory.
class ChildIndex {
 public:
  void Insert(std::uint32_t parent, std::u16string_view name, std::uint32_t record,
              const std::vector<FileNode>& files, const std::vector<char16_t>& names);
  void Erase(std::uint32_t parent, std::u16string_view name, std::uint32_t record);
  // Returns the record index or 0 when absent.
  std::uint32_t Find(std::uint32_t parent, std::u16string_view name, const std::vector<FileNode>& files,
                     const std::vector<char16_t>& names) const;

 private:
  static constexpr std::uint32_t Empty = 0;
  static constexpr std::uint32_t Tombstone = 0xFFFFFFFF;
  void Grow(const std::vector<FileNode>& files, const std::vector<char16_t>& names);
  std::vector<std::uint32_t> slots_;   // record index + 1, Empty or Tombstone
  std::size_t used_ = 0;               // live entries and tombstones
};

struct Journal {
  bool active = false;
  std::uint64_t id = 0;
  std::int64_t firstUsn = 0;
  std::int64_t nextUsn = 0;
  std::uint64_t maximumSize = 32ull << 20;
  std::uint64_t allocationDelta = 4ull << 20;
};

// An oplock or lease another program (a HoldOpen) holds on a file record.
struct OplockRecord {
  HoldId holder = 0;
  OplockLevel level = OplockLevel::Level2;
  bool breaking = false;
  std::uint32_t breaks = 0;
};

struct Drive {
  bool present = false;
  std::uint32_t generation = 0;   // changes when the drive is added or removed: older handles go stale
  DriveSpec spec;
  std::uint64_t freeBytes = 0;
  std::uint64_t available = 0;
  bool availableSet = false;
  bool ntfs = false;
  std::vector<FileNode> files;
  std::vector<char16_t> names;
  ChildIndex index;
  std::unordered_map<std::uint32_t, CompressionOverride> overrides;
  std::unordered_map<std::uint32_t, std::u16string> linkTargets;
  Journal journal;
  std::deque<std::vector<std::uint8_t>> queuedEnum;
  OpenCounts volumeOpens;
  std::unordered_map<std::uint32_t, OplockRecord> oplocks;   // by record index
};

struct HandleEntry;

// File access as granted: the generic rights mapped to the file rights they stand for.
std::uint32_t MappedFileAccess(std::uint32_t access);
// False, with ERROR_ACCESS_DENIED as the last error, unless the handle's access grants every
// right in `needed`.
bool Permits(std::uint32_t access, std::uint32_t needed);

std::u16string_view NodeName(const Drive& drive, const FileNode& node);
// "\\?\" is accepted in front of any drive path.
std::u16string_view StripLongPrefix(std::u16string_view path);
// "X:..." -> drive index and what follows the colon; -1 when the path does not start that way.
int ParseDrivePath(const char16_t* text, std::u16string_view* rest);
// The drive of that index when present, else nullptr.
Drive* PresentDrive(int index);
Drive* TestDrive(char16_t letter);
// Sets the last error and returns false: the failure of a BOOL call.
bool Fails(std::uint32_t error);
// The drive behind a volume or file-record handle, or nullptr when that drive has since been
// removed or replaced.
Drive* HandleDrive(const HandleEntry& entry);
// Index of the drive for "C", "c"; -1 otherwise.
int DriveIndex(char16_t letter);
// The record of an FRN on the drive, or nullptr (free record, wrong sequence, metafile).
FileNode* FindRecord(Drive& drive, std::uint64_t frn, std::uint32_t* index);
std::uint64_t FrnOf(const FileNode& node, std::uint32_t index);
// "C:\a\b", "\\?\C:\a\b" -> drive and record; false when not found.
bool LookupPath(std::u16string_view path, int* drive, std::uint32_t* record);
void ChangeFreeSpace(Drive& drive, std::int64_t delta);

// ---------------------------------------------------------------------------------------------
// Security of plain files and directories (security.cpp): owner and DACL, SIDs as strings.
struct Ace {
  std::uint8_t type = 0;    // ACCESS_ALLOWED_ACE_TYPE 0, ACCESS_DENIED_ACE_TYPE 1
  std::uint8_t flags = 0;   // OBJECT_INHERIT 0x1, CONTAINER_INHERIT 0x2, NO_PROPAGATE 0x4, INHERIT_ONLY 0x8, INHERITED 0x10
  std::uint32_t mask = 0;
  std::u16string sid;
};
struct Security {
  std::u16string owner;
  bool daclPresent = true;
  bool protectedDacl = false;
  std::vector<Ace> dacl;
};

// ---------------------------------------------------------------------------------------------
// Plain files.
enum class PlainKind : std::uint8_t { File, Directory, FileLink };

struct PlainFile {
  PlainKind kind = PlainKind::File;
  std::u16string path;
  Security security;
  std::u16string sddl;         // as given to CreateDirectoryW or MakeDirectory
  std::u16string target;       // junction (a Directory with a target) or file link
  std::u16string shortName;    // 8.3 name of the last component; empty = none
  std::vector<std::uint8_t> bytes;
  std::uint32_t attributes = 0x20;
  FileTime creation = 0;
  FileTime lastAccess = 0;
  FileTime lastWrite = 0;
  OpenCounts opens;
};
// Case-folded key of a plain file path ("\\?\" removed); empty when the path is not "X:\...".
std::u16string PlainKey(std::u16string_view path);

// Resolves a plain path through the junctions and file links on its way. `followLast` also
// follows a link at the last component. On success the key and the stored form of the resolved
// path; the error otherwise (ERROR_PATH_NOT_FOUND for a bad path, ERROR_CANT_RESOLVE_FILENAME
// for a loop). The last component need not exist.
std::uint32_t ResolvePlain(std::u16string_view path, bool followLast, std::u16string* key, std::u16string* resolved);
// The entry stored under a key, or nullptr.
PlainFile* PlainAt(const std::u16string& key);
// True when a directory exists at the key: a drive root, a stored directory (a junction counts),
// or the running program's directory or one of its parents.
bool PlainDirectoryAt(const std::u16string& key);
// The key of the directory holding a key ("c:\\a\\b" -> "c:\\a", "c:\\a" -> "c:\\").
std::u16string ParentKey(const std::u16string& key);
// The image of a running program: the module, StartProgram's, a running service's binary.
bool RunningImage(const std::u16string& key);
// GetFileInformationByHandle of a plain file or directory handle (Mutex() held).
struct HandleEntry;
bool PlainFileInformation(const HandleEntry& entry, os::ByHandleFileInformation* info);
// Creates the missing parent directories of a plain path (test set-up).
void MakeParents(const std::u16string& path);
// "X:\\a\\b" with the case of the path, normalised as keys are; empty unless "X:\\...".
std::u16string NormalPath(std::u16string_view path);

// Security (security.cpp; Mutex() held). Owners and trustees are SIDs ("S-1-5-18"); the names
// of sim.h and SDDL aliases are accepted wherever a SID is taken.
std::u16string SidOf(std::u16string_view nameOrSid);
std::u16string NameOfSid(const std::u16string& sid);
// A new object's security: an SDDL descriptor (null = none), its DACL completed by what the
// parent directory passes on unless protected, as CreateDirectoryW and CreateFileW make it.
bool ParseSddl(std::u16string_view sddl, Security* out);
Security NewSecurity(const std::u16string& parentKey, bool container, std::u16string_view owner,
                     const char16_t* sddl = nullptr);
// The security of what is at a key: stored entries, drive roots and the implicit directories.
Security SecurityAt(const std::u16string& key);
// The stored object of a drive root (made on first use, with the security of a new system drive).
std::shared_ptr<PlainFile> RootEntry(const std::u16string& key);
// The access check for the unprivileged user of sim.h: true when the DACL (or ownership) grants
// every right asked for.
bool UserGranted(const std::u16string& key, std::uint32_t rights);

// ---------------------------------------------------------------------------------------------
// Threads, ports, handles.
struct ThreadRecord {
  bool done = false;
  std::uint32_t exitCode = 259;   // STILL_ACTIVE
  std::uint32_t id = 0;
};

struct Port {
  std::u16string name;
  bool open = true;
  std::uint32_t maxConnections = 1;
  std::uint32_t connections = 0;
  std::vector<std::uint8_t> reply;
  std::vector<PortEvent> events;
};

enum class HandleKind : std::uint8_t { Free, Volume, VolumeFile, PlainFile, Thread, PortConnection, Find };

struct FindList {
  std::vector<os::FindData> entries;
  std::size_t next = 0;
};

struct HandleEntry {
  HandleKind kind = HandleKind::Free;
  int drive = -1;                    // Volume, VolumeFile
  std::uint32_t generation = 0;      // the drive's generation when opened
  std::uint32_t record = 0;          // VolumeFile
  std::uint32_t access = 0;
  std::uint32_t share = 0;
  std::uint64_t position = 0;        // PlainFile, VolumeFile
  std::shared_ptr<PlainFile> file;
  std::shared_ptr<ThreadRecord> thread;
  std::shared_ptr<Port> port;
  std::shared_ptr<FindList> find;
};

constexpr std::size_t HandleCapacity = 16384;
constexpr os::Handle NtdllBase = 0x77000000;   // GetModuleHandleW(u"ntdll.dll")

class HandleTable {
 public:
  HandleTable();
  // Returns NullHandle when the table is full.
  os::Handle Allocate(HandleEntry** entry);
  HandleEntry* Find(os::Handle handle);
  void Release(os::Handle handle);
  std::size_t OpenCount() const { return open_; }

 private:
  std::vector<HandleEntry> entries_;
  std::vector<std::uint32_t> freeRing_;   // FIFO reuse, so a stale handle is not reused at once
  std::size_t head_ = 0;
  std::size_t count_ = 0;                 // free entries in the ring
  std::size_t open_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Registry.
struct RegKey {
  std::map<std::u16string, std::pair<std::u16string, RegValue>> values;   // folded name -> (name, value)
  std::vector<std::u16string> order;   // folded names in the order first written
};

// ---------------------------------------------------------------------------------------------
// Service control manager.
struct ServiceSide {
  bool dispatcherRunning = false;
  bool mainReturned = false;
  bool stoppedReported = false;
  bool endRequested = false;
  bool dispatcherReturned = false;
  bool handlerRunning = false;
  std::uint32_t dispatcherBlocked = 0;   // the dispatcher thread waits in WaitForSingleObject or a pause
  os::HandlerFunction handler = nullptr;
  std::u16string handlerName;
  std::u16string serviceName;
  char16_t* argv[2] = {nullptr, nullptr};
  std::deque<std::uint32_t> controls;
  std::vector<std::uint32_t> handled;
  std::vector<os::ServiceStatus> statuses;
};
constexpr os::Handle ServiceStatusHandle = 0x5E5E0001;

// ---------------------------------------------------------------------------------------------
struct FaultState {
  Fault fault;
  std::uint64_t seen = 0;
};

struct CallState {
  std::uint64_t count = 0;
  // DeviceIoControl: calls per control code (the first few codes seen; a fixed table, so that
  // counting never allocates).
  std::array<std::pair<std::uint32_t, std::uint64_t>, 8> codeCounts{};
  std::shared_ptr<CallHook> hook;
  std::uint32_t hookCode = 0;
  std::uint64_t hookCalls = 0;
  std::uint64_t pauseNth = 0;     // 0: no pause armed
  std::uint32_t pauseCode = 0;
  std::uint64_t pauseSeen = 0;
  std::vector<FaultState> faults;
};

struct Hold {
  enum class Target { VolumeFile, PlainFile, Volume } target;
  int drive = -1;
  std::uint32_t generation = 0;
  std::uint32_t record = 0;
  std::shared_ptr<PlainFile> file;
  std::uint32_t access = 0;
  std::uint32_t share = 0;
};

// The oplock rules of an open of a file record (Mutex() held), after its share-mode check gave
// `sharingViolation`: the status the open ends with (StatusSuccess, StatusOplockBreakInProgress
// with a handle; a sharing violation or StatusCancelled for a wait without end, without one).
std::int32_t CheckOplockOnOpen(Drive& drive, std::uint32_t record, std::uint32_t desiredAccess,
                               std::uint32_t shareAccess, std::uint32_t createOptions, bool sharingViolation);
// The holder closes its open: its oplock ends.
void EndOplockOf(HoldId hold);

// ---------------------------------------------------------------------------------------------
// The installer's machine: resources, windows, services, INF files.
struct Resource {
  std::uint32_t id = 0;
  std::u16string type;   // folded
  std::shared_ptr<std::vector<std::uint8_t>> bytes;   // kept alive: callers hold pointers into it
};

struct WindowRecord {
  std::u16string className;
  std::u16string title;
  std::shared_ptr<WindowProc> procedure;
  bool hung = false;
};

struct ServiceRecord {
  std::u16string name;   // as created
  std::uint32_t state = os::ServiceStopped;
  bool marked = false;
  bool acceptsStop = true;
  std::size_t handles = 0;
  std::uint32_t stopDelayMs = 0;
  FileTime stopAt = 0;
  std::uint32_t startCount = 0;
  std::u16string runningImage;   // stored form of the running program's path
};

struct ScHandle {
  bool manager = false;
  std::u16string service;   // folded name
};

struct InfLine {
  std::u16string key;                  // substituted, as written (case kept)
  std::vector<std::u16string> fields;  // substituted, quotes removed
  std::uint32_t line = 0;
};
struct InfSection {
  std::u16string name;
  std::vector<InfLine> lines;
};
struct InfFile {
  std::vector<InfSection> sections;
};

struct Machine {
  // Clock and pauses.
  FileTime now = DefaultStartTime;
  bool pauseArmed = false;
  FileTime pauseAt = 0;
  std::uint64_t pauseGeneration = 0;
  std::uint32_t paused = 0;

  // Process.
  std::uint32_t major = 6, minor = 1, build = 7601;
  std::u16string modulePath{DefaultModulePath};
  std::vector<std::u16string> debugLines;
  std::array<CallState, FnCount> calls;
  std::shared_ptr<CallHook> everyCallHook;
  std::uint64_t everyCallCount = 0;
  std::uint32_t callWaiters = 0;   // tests in WaitForCallCount: only then does each call notify
  HandleTable handles;
  std::uint32_t nextThreadId = 0x1000;
  std::size_t liveThreads = 0;

  std::array<Drive, 26> drives;
  std::map<std::u16string, std::shared_ptr<PlainFile>> plainFiles;
  std::map<std::u16string, std::shared_ptr<PlainFile>> roots;   // drive roots, made on first use
  bool wineSecurity = false;   // every object reports Wine's security (see sim::EmulateWine)
  bool wineExport = false;
  std::map<HoldId, Hold> holds;
  HoldId nextHold = 1;
  std::vector<std::u16string> oplockWaits;
  FileOpenCounts fileOpens;

  std::map<std::u16string, RegKey> registry;   // folded full path ("hkcu\software\...")
  std::map<os::Key, std::u16string> openKeys;
  os::Key nextKey = 0x2000;

  ServiceSide service;
  std::map<std::u16string, std::shared_ptr<Port>> ports;   // folded name

  // Installer calls.
  std::map<std::int32_t, std::u16string> folders;
  std::u16string tempPath{DefaultTempPath};
  std::u16string currentDirectory;   // empty = the module's directory
  std::uint32_t ansiCodePage = 1252;
  std::vector<LaunchedCommand> launched;
  std::vector<std::u16string> programs;   // keys of running programs' images
  bool elevated = true;                    // the process runs as an administrator
  std::vector<Resource> resources;
  std::map<std::uint32_t, std::u16string> strings;
  std::map<Window, WindowRecord> windows;
  Window nextWindow = 0x10010;
  std::vector<SentMessage> sent;
  std::map<std::u16string, ServiceRecord> services;   // folded name
  std::map<os::Handle, ScHandle> scHandles;
  os::Handle nextScHandle = 0x00A00000;
  bool refuseDelayedAutoStart = false;
  std::uint32_t nextTag = 1;
  std::map<os::Handle, std::shared_ptr<InfFile>> infs;
  os::Handle nextInf = 0x00B00000;
};

// The service manager's lazy clock: services whose stop delay has run out stop, and stopped
// services marked for deletion without open handles disappear (Mutex() held).
void SettleServices();
// Everything the SCM's CreateService and SetupAPI's AddService share.
struct NewService {
  std::u16string name;
  std::u16string displayName;
  std::uint32_t type = os::ServiceWin32OwnProcess;
  std::uint32_t start = os::ServiceDemandStart;
  std::uint32_t errorControl = os::ServiceErrorNormal;
  std::u16string binary;
  std::u16string group;
  const char16_t* dependencies = nullptr;   // double-null-terminated
  const char16_t* startName = nullptr;
  bool wantsTag = false;
};

// The service manager's operations on a record (Mutex() held); each returns the error, 0 = done.
std::uint32_t CreateServiceLocked(const NewService& spec, std::uint32_t* tag);
std::uint32_t ChangeConfigLocked(ServiceRecord& record, std::uint32_t type, std::uint32_t start,
                                 std::uint32_t errorControl, const char16_t* binary, const char16_t* group,
                                 const char16_t* dependencies, const char16_t* startName, const char16_t* display);
std::uint32_t StopLocked(ServiceRecord& record);
std::uint32_t DeleteLocked(ServiceRecord& record);
ServiceRecord* ServiceNamed(std::u16string_view name);
// Registry helpers of the simulation (Mutex() held). Paths are full folded key paths
// ("hklm\\system\\...").
std::u16string RegPath(os::Key root, std::u16string_view path);
void RegCreatePath(const std::u16string& path);
void RegSetLocked(const std::u16string& path, std::u16string_view name, RegValue value);
const RegValue* RegGetLocked(const std::u16string& path, std::u16string_view name);
void RegDeleteTreeLocked(const std::u16string& path);
// Values as the SCM and SetupAPI store them (strings with their terminator).
RegValue RegStringValue(std::uint32_t type, std::u16string_view text);
RegValue RegMultiValue(const std::vector<std::u16string>& items);
RegValue RegDwordValue(std::uint32_t value);

std::mutex& Mutex();
std::condition_variable& Changed();
Machine& M();   // call with Mutex() held

// Blocks the calling thread as paused until Resume(); `lock` holds Mutex().
void PauseLocked(std::unique_lock<std::mutex>& lock);

// Case folding of the simulation: ASCII letters only, as far as tests need.
char16_t Fold(char16_t c);
bool EqualFolded(std::u16string_view a, std::u16string_view b);
std::u16string Folded(std::u16string_view s);
std::size_t Length(const char16_t* s);

}  // namespace sim::detail
