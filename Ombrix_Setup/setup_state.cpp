// The installer's process-wide state and the helpers its install and uninstall steps share.
#include <cstdarg>
#include <cstring>

#include "Ombrix_Setup/resource.h"
#include "Ombrix_Setup/setup.h"
#include "Ombrix_Setup/setup_actions.h"
#include "common/debug_log.h"
#include "common/wide_string.h"

InstallerState Installer;
bool ExtractDirectoryOwned = false;
std::uint32_t InstallFailure = 0;
bool RestartCompletes = false;

namespace {

// SHGetSpecialFolderPathW and GetTempPathW write up to MAX_PATH characters.
constexpr int MaxPath = 260;

void ResetWorkerRecord(WorkerRecord& record) {
  record.thread = os::NullHandle;
  record.stopRequest.store(0);
  record.done.store(0);
  record.nameSequence.store(0);
  std::memset(record.currentName, 0, sizeof(record.currentName));
}

}  // namespace

void LoadProductName(char16_t (&name)[DirectoryCapacity]) {
  name[0] = 0;
  std::int32_t length = os::LoadStringW(os::NullHandle, IDS_PRODUCT, name, DirectoryCapacity);
  // Every directory and key the installer touches ends in this name: an empty one would make
  // the install directory the Program Files folder itself.
  if (length <= 0 || length >= DirectoryCapacity || name[0] == 0) WideCopy(name, DirectoryCapacity, ProductFallback);
}

void InitInstallerState(std::int32_t mode) {
  Installer.decompressChosen = 0;
  std::memset(Installer.installDirectory, 0, sizeof(Installer.installDirectory));
  std::memset(Installer.extractDirectory, 0, sizeof(Installer.extractDirectory));
  Installer.mode = mode;
  Installer.ntfsType = 0;
  ResetWorkerRecord(Installer.worker);
  ExtractDirectoryOwned = false;
  ReleaseInstallDirectory();
  InstallFailure = 0;
  RestartCompletes = false;
  std::memset(&Installer.statistics, 0, sizeof(Installer.statistics));
  if (mode != ModeInstall && mode != ModeUninstall) return;

  char16_t product[DirectoryCapacity];
  LoadProductName(product);

  // A directory that would not fit whole stays empty: the steps then refuse to act on it
  // rather than on a shortened path.
  char16_t folder[MaxPath + 1] = {};
  char16_t formed[PathCapacity];
  if (os::SHGetSpecialFolderPathW(folder, os::CsidlProgramFiles, false) && folder[0] != 0) {
    std::size_t length = FormatWide(formed, PathCapacity, u"%s\\%s", folder, product);
    if (length < DirectoryCapacity) WideCopy(Installer.installDirectory, DirectoryCapacity, formed);
  }
  // Staged inside the install directory, not in the installing user's temporary folder: there
  // the user's own unelevated programs may rename the directory and put theirs in its place
  // between two steps, so that their files would be copied, registered and handed to SetupAPI.
  // Under Program Files only administrators and SYSTEM can add, rename or remove entries.
  if (Installer.installDirectory[0] != 0) {
    std::size_t length = FormatWide(formed, PathCapacity, u"%s\\%s", Installer.installDirectory, StagingName);
    if (length < DirectoryCapacity) WideCopy(Installer.extractDirectory, DirectoryCapacity, formed);
  }
}

bool GetProgramPath(char16_t (&path)[ModulePathCapacity]) {
  std::uint32_t length = os::GetModuleFileNameW(os::NullHandle, path, ModulePathCapacity);
  if (length == 0 || length >= ModulePathCapacity) {
    path[0] = 0;
    return false;
  }
  path[length] = 0;
  return true;
}

const char16_t* FileNamePart(const char16_t* path) {
  const char16_t* name = path;
  for (const char16_t* p = path; *p != 0; ++p) {
    if (*p == u'\\' || *p == u'/' || *p == u':') name = p + 1;
  }
  return name;
}

bool FormatFits(char16_t* target, int capacity, const char16_t* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::size_t length = FormatWide(target, std::size_t(capacity), format, args);
  va_end(args);
  return length + 1 < std::size_t(capacity);
}

bool JoinPath(char16_t (&target)[PathCapacity], const char16_t* directory, const char16_t* name) {
  return FormatFits(target, PathCapacity, u"%s\\%s", directory, name);
}

bool IsUsableDirectory(const char16_t* path) {
  if (path == nullptr) return false;
  std::size_t length = WideLength(path);
  if (length < 4) return false;
  char16_t letter = char16_t(path[0] | 0x20);
  if (letter < u'a' || letter > u'z' || path[1] != u':' || path[2] != u'\\') return false;
  return path[3] != u'\\';
}

bool IsReparsePoint(const char16_t* path) {
  std::uint32_t attributes = os::GetFileAttributesW(path);
  return attributes != os::InvalidFileAttributes && (attributes & os::FileAttributeReparsePoint) != 0;
}

bool WriteRegString(os::Key root, const char16_t* keyPath, const char16_t* name, const char16_t* text) {
  os::Key key = 0;
  if (os::RegCreateKeyW(root, keyPath, &key) != os::ErrorSuccess) return false;
  std::uint32_t size = std::uint32_t(WideLength(text) * sizeof(char16_t));
  bool written = os::RegSetValueExW(key, name, os::RegSz, text, size) == os::ErrorSuccess;
  os::RegCloseKey(key);
  return written;
}

bool WriteRegDword(os::Key root, const char16_t* keyPath, const char16_t* name, std::uint32_t value) {
  os::Key key = 0;
  if (os::RegCreateKeyW(root, keyPath, &key) != os::ErrorSuccess) return false;
  bool written = os::RegSetValueExW(key, name, os::RegDword, &value, sizeof(value)) == os::ErrorSuccess;
  os::RegCloseKey(key);
  return written;
}

bool QuotePath(char16_t (&target)[PathCapacity], const char16_t* path) {
  if (path[0] == u'"') return WideCopy(target, PathCapacity, path) == WideLength(path);
  return FormatFits(target, PathCapacity, u"\"%s\"", path);
}

bool WaitForServiceGone(const char16_t* serviceName, std::uint32_t timeoutMs) {
  for (std::uint32_t waited = 0;; waited += ServicePollMs) {
    os::Handle manager = os::OpenSCManagerW(nullptr, nullptr, os::ScManagerAllAccess);
    if (manager == os::NullHandle) return false;
    os::Handle service = os::OpenServiceW(manager, serviceName, os::ServiceAllAccess);
    bool gone = service == os::NullHandle && os::GetLastError() == os::ErrorServiceDoesNotExist;
    // A service marked for deletion leaves the database once it has stopped and the last
    // handle to it is closed; ours is closed before the next look.
    if (service != os::NullHandle) os::CloseServiceHandle(service);
    os::CloseServiceHandle(manager);
    if (gone) return true;
    if (waited >= timeoutMs) return false;
    os::Sleep(ServicePollMs);
  }
}

bool WaitForImageReleased(const char16_t* path, std::uint32_t timeoutMs) {
  for (std::uint32_t waited = 0;; waited += ServicePollMs) {
    // Opened for writing and closed untouched; refused while a process runs the file.
    constexpr std::uint32_t ShareAll = os::FileShareRead | os::FileShareWrite | os::FileShareDelete;
    os::Handle file = os::CreateFileW(path, os::GenericWrite, ShareAll, os::OpenExisting, os::FileAttributeNormal);
    if (file != os::InvalidHandleValue) {
      os::CloseHandle(file);
      return true;
    }
    std::uint32_t error = os::GetLastError();
    if (error == os::ErrorFileNotFound || error == os::ErrorPathNotFound) return true;
    if (error != os::ErrorSharingViolation || waited >= timeoutMs) return false;
    os::Sleep(ServicePollMs);
  }
}

bool InUseError(std::uint32_t error) {
  return error == os::ErrorSharingViolation || error == os::ErrorAccessDenied;
}

std::uint32_t ReplaceAtRestart(const char16_t* from, const char16_t* to) {
  // The copy waits beside its target: in the install directory, where only administrators and
  // SYSTEM may add, change or rename entries, on the same volume, and inheriting the directory's
  // access (users may read and run it). Written whole before the move is recorded.
  char16_t pending[PathCapacity];
  if (!FormatFits(pending, PathCapacity, u"%s%s", to, PendingSuffix)) return os::ErrorFilenameExcedRange;
  if (!os::CopyFileW(from, pending, false)) return os::GetLastError();
  return ReplacePendingAtRestart(pending, to);
}

std::uint32_t ReplacePendingAtRestart(const char16_t* pending, const char16_t* to) {
  if (!os::MoveFileExW(pending, to, os::MovefileDelayUntilReboot | os::MovefileReplaceExisting)) {
    std::uint32_t error = os::GetLastError();
    os::DeleteFileW(pending);
    return error;
  }
  RestartCompletes = true;
  return 0;
}

bool RemovedAtRestart(const char16_t* path) {
  // Pairs of strings: "\??\" and the source, then the target, empty for a deletion.
  static char16_t pending[32 * 1024];
  std::uint32_t size = sizeof(pending) - 2 * sizeof(char16_t);
  std::uint32_t type = 0;
  os::Key key = 0;
  if (os::RegOpenKeyW(os::HkeyLocalMachine, SessionManagerKey, &key) != os::ErrorSuccess) return false;
  std::int32_t read = os::RegQueryValueExW(key, u"PendingFileRenameOperations", &type, pending, &size);
  os::RegCloseKey(key);
  if (read == std::int32_t(os::ErrorMoreData)) return true;   // too long to look through: assume so
  if (read != os::ErrorSuccess || type != os::RegMultiSz) return false;
  std::size_t units = size / sizeof(char16_t);
  pending[units] = pending[units + 1] = 0;
  auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; };
  for (std::size_t at = 0; at < units && pending[at] != 0;) {
    const char16_t* source = pending + at;
    at += WideLength(source) + 1;
    const char16_t* target = pending + (at < units ? at : units);
    at += WideLength(target) + 1;
    if (target[0] != 0) continue;
    const char16_t* a = source[0] == u'\\' && source[1] == u'?' && source[2] == u'?' && source[3] == u'\\' ? source + 4 : source;
    const char16_t* b = path;
    for (; *a != 0 && fold(*a) == fold(*b); ++a, ++b) {
    }
    if (*a == 0 && *b == 0) return true;
  }
  return false;
}

void NoteInstallFailure(std::uint32_t error) {
  if (InstallFailure == 0) InstallFailure = error != 0 ? error : os::ErrorInstallFailure;
}

bool FormServicePath(char16_t (&path)[PathCapacity]) {
  if (!IsUsableDirectory(Installer.installDirectory)) return false;
  return FormatFits(path, PathCapacity, u"%s\\%s.exe", Installer.installDirectory, ServiceName);
}

bool OpenExtractedInf(const char16_t* filterName, os::Handle* inf) {
  *inf = os::InvalidHandleValue;
  // An INF from a directory this run did not create could name any driver: it is never opened.
  char16_t infPath[PathCapacity];
  if (!ExtractDirectoryOwned ||
      !FormatFits(infPath, PathCapacity, u"%s\\%s.inf", Installer.extractDirectory, filterName)) {
    return false;
  }
  std::uint32_t errorLine = 0;
  *inf = os::SetupOpenInfFileW(infPath, nullptr, os::InfStyleWin4, &errorLine);
  if (*inf != os::InvalidHandleValue) return true;
  std::uint32_t error = os::GetLastError();
  DebugLog(u"SetupOpenInfFile() error : %d %d", std::int32_t(errorLine), std::int32_t(error));
  return false;
}
