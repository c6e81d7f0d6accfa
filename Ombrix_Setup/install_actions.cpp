// The install sequence and its steps: the viewer closed and the old service removed, the
// resources unpacked, the program files copied, the uninstall entry, the first statistics
// record, the filter driver from its INF, the compression service and the system settings.
#include <cstring>

#include "Ombrix_Setup/program_seal.h"
#include "Ombrix_Setup/resource.h"
#include "Ombrix_Setup/setup.h"
#include "Ombrix_Setup/setup_actions.h"
#include "common/debug_log.h"
#include "common/drive.h"
#include "common/wide_string.h"

namespace {

constexpr char16_t ResourceType[] = u"DRIVER";
constexpr char16_t InstallServicesSection[] = u"DefaultInstall.Services";
constexpr char16_t StatisticsFileName[] = u"Ombrix.ini";

// The files unpacked into the extraction directory, in the order they are written.
struct ResourceFile {
  std::uint32_t id;
  const char16_t* format;   // applied to the directory followed by a backslash, and the name
  const char16_t* name;
};
constexpr ResourceFile ResourceFiles[] = {
    {IDR_DRIVER_INF, u"%s%s.inf", FilterName},
    {IDR_DRIVER_SYS, u"%s%s.sys", FilterName},
    {IDR_VIEWER_EXE, u"%s%s.exe", ViewerName},
    {IDR_SERVICE_EXE, u"%s%s.exe", ServiceName},
    {IDR_HELP_CHM, u"%s%s.chm", u"HELP"},
};

// The extraction directory is always one this run has just created, readable and writable by
// Administrators and SYSTEM only. Whatever already stands at the usual name (what an interrupted
// run left, a file, a junction) is left alone and a fresh sibling name is used instead.
bool CreateFreshExtractDirectory() {
  ExtractDirectoryOwned = false;
  // Only inside an install directory that has passed its check and is held.
  if (!IsUsableDirectory(Installer.extractDirectory) || !InstallDirectoryHeld()) return false;
  char16_t base[DirectoryCapacity];
  WideCopy(base, DirectoryCapacity, Installer.extractDirectory);
  if (os::CreateDirectoryW(base, ExtractDirectorySddl)) {
    ExtractDirectoryOwned = true;
    return true;
  }
  if (os::GetLastError() != os::ErrorAlreadyExists) return false;
  for (int counter = 1; counter <= ExtractDirectoryAlternatives; ++counter) {
    char16_t candidate[PathCapacity];
    if (FormatWide(candidate, PathCapacity, u"%s.%d", base, counter) >= std::size_t(DirectoryCapacity)) return false;
    if (os::CreateDirectoryW(candidate, ExtractDirectorySddl)) {
      WideCopy(Installer.extractDirectory, DirectoryCapacity, candidate);
      ExtractDirectoryOwned = true;
      return true;
    }
    if (os::GetLastError() != os::ErrorAlreadyExists) return false;
  }
  return false;
}

}  // namespace

bool CloseViewer(const char16_t* windowTitle) {
  for (int attempt = 0; attempt < CloseViewerAttempts; ++attempt) {
    std::uintptr_t window = os::FindWindowW(ViewerWindowClass, windowTitle);
    if (window == 0) return true;
    // Any program can own a window of that class and title: one that never answers must not
    // hold the installation up.
    std::uintptr_t answer = 0;
    os::SendMessageTimeoutW(window, ViewerExitMessage, 0, 0, os::SmtoAbortIfHung, CloseViewerAnswerMs, &answer);
    os::Sleep(CloseViewerPauseMs);
  }
  return false;
}

bool RemoveService(const char16_t* serviceName) {
  os::Handle manager = os::OpenSCManagerW(nullptr, nullptr, os::ScManagerAllAccess);
  if (manager == os::NullHandle) return false;
  os::Handle service = os::OpenServiceW(manager, serviceName, os::ServiceAllAccess);
  if (service == os::NullHandle) {
    os::CloseServiceHandle(manager);
    return false;
  }
  os::ServiceStatus status = {};
  os::ControlService(service, os::ServiceControlStop, &status);
  os::DeleteService(service);
  os::CloseServiceHandle(service);
  os::CloseServiceHandle(manager);
  return true;
}

bool WriteResourceFile(std::uint32_t resourceId, const char16_t* path) {
  os::Handle info = os::FindResourceW(os::NullHandle, resourceId, ResourceType);
  if (info == os::NullHandle) return false;
  os::Handle loaded = os::LoadResource(os::NullHandle, info);
  const void* bytes = loaded == os::NullHandle ? nullptr : os::LockResource(loaded);
  if (bytes == nullptr) return false;
  std::uint32_t size = os::SizeofResource(os::NullHandle, info);

  os::Handle file = os::CreateFileW(path, os::GenericWrite, 0, os::CreateAlways, os::FileAttributeNormal);
  if (file == os::InvalidHandleValue) return false;
  std::uint32_t written = 0;
  bool ok = os::WriteFile(file, bytes, size, &written) && written == size;
  os::CloseHandle(file);
  return ok;
}

bool ExtractResources() {
  if (!CreateFreshExtractDirectory()) return false;
  char16_t directory[PathCapacity];
  FormatWide(directory, PathCapacity, u"%s\\", Installer.extractDirectory);
  bool all = true;
  for (const ResourceFile& resource : ResourceFiles) {
    char16_t path[PathCapacity];
    if (!FormatFits(path, PathCapacity, resource.format, directory, resource.name)) {
      all = false;
      continue;
    }
    if (!WriteResourceFile(resource.id, path)) all = false;
  }
  return all;
}

namespace {

// The setup program's own file while held: shared for reading only, so that nobody can write,
// replace, rename or delete it until its copy is made.
os::Handle ProgramFile = os::InvalidHandleValue;
constexpr std::uint32_t ProgramChunk = 64 * 1024;
std::uint8_t ProgramBuffer[ProgramChunk];

bool RewindProgramFile() { return os::SetFilePointerEx(ProgramFile, 0, nullptr, os::FileBegin); }

std::uint32_t ProgramFileSealed() {
  if (!RewindProgramFile()) return os::GetLastError();
  SealDigest digest(SetupSeal);
  std::uint32_t read = 0;
  do {
    if (!os::ReadFile(ProgramFile, ProgramBuffer, ProgramChunk, &read)) return os::GetLastError();
    digest.Update(ProgramBuffer, read);
  } while (read != 0);
  return digest.Matches() ? 0 : os::ErrorInvalidImageHash;
}

// The extent of the held file that its copy takes: the sealed bytes, and the certificate table
// that code signing appends where one follows them (its place and size are in the PE header's
// certificate table entry, which the seal leaves out). Anything else after the sealed bytes is
// not part of the program and stays behind.
struct ProgramExtent {
  std::uint32_t size;            // bytes copied from offset 0
  std::uint32_t entryOffset;     // the certificate table entry, 0 when the file is no PE file
  bool withSignature;
};

bool ReadHeldAt(std::uint32_t offset, std::uint32_t size, std::uint32_t* read) {
  return os::SetFilePointerEx(ProgramFile, offset, nullptr, os::FileBegin) &&
         os::ReadFile(ProgramFile, ProgramBuffer, size, read);
}

// WIN_CERTIFICATE entries (dwLength, wRevision 0x0200, wCertificateType) fill the table exactly,
// each at an 8-byte boundary.
bool IsCertificateTable(std::uint32_t offset, std::uint32_t size) {
  constexpr std::uint32_t Revision2 = 0x0200;
  for (std::uint32_t at = 0; at < size;) {
    std::uint32_t read = 0;
    if (size - at < 8 || !ReadHeldAt(offset + at, 8, &read) || read != 8) return false;
    std::uint32_t length = Read32(ProgramBuffer);
    std::uint32_t revision = Read16(ProgramBuffer + 4);
    if (length < 8 || length > size - at || revision != Revision2) return false;
    at += (length + 7) & ~7u;
  }
  return true;
}

ProgramExtent HeldProgramExtent() {
  const std::uint32_t sealed = SetupSeal.coveredSize;
  ProgramExtent extent = {sealed, 0, false};
  std::uint32_t read = 0;
  if (!ReadHeldAt(0, 4096, &read) || read < 0x40 || ProgramBuffer[0] != 'M' || ProgramBuffer[1] != 'Z') return extent;
  std::uint32_t pe = Read32(ProgramBuffer + 0x3C);
  if (pe > read - 26 || std::memcmp(ProgramBuffer + pe, "PE\0\0", 4) != 0) return extent;
  std::uint32_t magic = Read16(ProgramBuffer + pe + 24);
  std::uint32_t directories = pe + 24 + (magic == 0x20B ? 112 : 96);
  std::uint32_t entry = directories + 4 * 8;
  if ((magic != 0x10B && magic != 0x20B) || entry + 8 > read || entry + 8 > sealed) return extent;
  extent.entryOffset = entry;
  std::uint32_t offset = Read32(ProgramBuffer + entry);
  std::uint32_t size = Read32(ProgramBuffer + entry + 4);
  // Signing pads the file to an 8-byte boundary and appends the table there.
  std::uint32_t aligned = (sealed + 7) & ~7u;
  if (size == 0 || offset != aligned || aligned < sealed || size > 0xFFFFFFFFu - offset) return extent;
  if (aligned > sealed && (!ReadHeldAt(sealed, aligned - sealed, &read) || read != aligned - sealed)) return extent;
  for (std::uint32_t i = 0; i < aligned - sealed; ++i) {
    if (ProgramBuffer[i] != 0) return extent;
  }
  if (!IsCertificateTable(offset, size)) return extent;
  extent.size = offset + size;
  extent.withSignature = true;
  return extent;
}

// Writes the held program's extent to `staged`, opened by nobody else from its creation until
// it has been read back and checked against the seal. Without a signature the copy's certificate
// table entry is cleared, so that it points at nothing (the seal leaves that entry out).
std::uint32_t WriteCheckedProgramCopy(const char16_t* staged) {
  ProgramExtent extent = HeldProgramExtent();
  if (!RewindProgramFile()) return os::GetLastError();
  os::Handle out = os::CreateFileW(staged, os::GenericRead | os::GenericWrite, 0, os::CreateAlways, os::FileAttributeNormal);
  if (out == os::InvalidHandleValue) return os::GetLastError();
  std::uint32_t error = 0, read = 0, written = 0;
  for (std::uint32_t done = 0; error == 0 && done < extent.size; done += read) {
    std::uint32_t want = extent.size - done < ProgramChunk ? extent.size - done : ProgramChunk;
    if (!os::ReadFile(ProgramFile, ProgramBuffer, want, &read)) {
      error = os::GetLastError();
      break;
    }
    if (read == 0) {
      error = os::ErrorHandleEof;   // the held file is shorter than its seal says
      break;
    }
    if (!extent.withSignature && extent.entryOffset != 0) {
      for (std::uint32_t at = extent.entryOffset; at < extent.entryOffset + 8; ++at) {
        if (at >= done && at < done + read) ProgramBuffer[at - done] = 0;
      }
    }
    if (!os::WriteFile(out, ProgramBuffer, read, &written)) error = os::GetLastError();
    else if (written != read) error = os::ErrorInstallFailure;
  }
  // The copy read back: what goes into place is what the seal covers.
  if (error == 0) {
    SealDigest digest(SetupSeal);
    std::uint64_t total = 0;
    if (!os::SetFilePointerEx(out, 0, nullptr, os::FileBegin)) error = os::GetLastError();
    do {
      if (error != 0 || !os::ReadFile(out, ProgramBuffer, ProgramChunk, &read)) {
        if (error == 0) error = os::GetLastError();
        break;
      }
      digest.Update(ProgramBuffer, read);
      total += read;
    } while (read != 0);
    if (error == 0 && (!digest.Matches() || total != extent.size)) error = os::ErrorInvalidImageHash;
  }
  os::CloseHandle(out);
  if (error != 0) os::DeleteFileW(staged);
  return error;
}

// The checked copy put in place of `copy`; one that is in use is replaced at the next restart.
std::uint32_t InstallProgramCopy(const char16_t* copy) {
  char16_t staged[PathCapacity];
  if (!FormatFits(staged, PathCapacity, u"%s%s", copy, PendingSuffix)) return os::ErrorFilenameExcedRange;
  if (std::uint32_t error = WriteCheckedProgramCopy(staged)) return error;
  if (os::MoveFileExW(staged, copy, os::MovefileReplaceExisting)) return 0;
  std::uint32_t error = os::GetLastError();
  if (InUseError(error)) return ReplacePendingAtRestart(staged, copy);
  os::DeleteFileW(staged);
  return error;
}

bool SameAsciiPath(const char16_t* a, const char16_t* b) {
  auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c; };
  for (; *a != 0 && fold(*a) == fold(*b); ++a, ++b) {
  }
  return *a == 0 && *b == 0;
}

// The setup's own copy, from its held and sealed file, never by its path again.
void CopySetupProgram(const char16_t* target) {
  char16_t program[ModulePathCapacity];
  char16_t copy[PathCapacity];
  if (std::uint32_t error = HoldProgramFile()) {
    NoteInstallFailure(error);
  } else if (GetProgramPath(program) && JoinPath(copy, target, FileNamePart(program)) &&
             !SameAsciiPath(program, copy)) {   // the installed copy started again has nothing to copy
    if (std::uint32_t error = InstallProgramCopy(copy)) NoteInstallFailure(error);
  }
}

}  // namespace

std::uint32_t HoldProgramFile() {
  if (ProgramFile != os::InvalidHandleValue) return 0;
  char16_t program[ModulePathCapacity];
  if (!GetProgramPath(program)) return os::GetLastError();
  ProgramFile = os::CreateFileW(program, os::GenericRead, os::FileShareRead, os::OpenExisting, os::FileAttributeNormal);
  if (ProgramFile == os::InvalidHandleValue) return os::GetLastError();
  // Opened after the program started: what was at its name then may have been moved away and
  // another file put there. Only the sealed file is the program that runs.
  std::uint32_t error = ProgramFileSealed();
  if (error != 0) ReleaseProgramFile();
  return error;
}

void ReleaseProgramFile() {
  if (ProgramFile == os::InvalidHandleValue) return;
  os::CloseHandle(ProgramFile);
  ProgramFile = os::InvalidHandleValue;
}

bool CopyProgramFiles() {
  const char16_t* target = Installer.installDirectory;
  bool ready = IsUsableDirectory(target) && InstallDirectoryHeld();
  if (ready) CopySetupProgram(target);
  ReleaseProgramFile();
  if (!ready) return false;

  const char16_t* source = Installer.extractDirectory;
  if (!ExtractDirectoryOwned) return true;
  char16_t pattern[PathCapacity];
  if (!JoinPath(pattern, source, u"*.*")) return true;
  os::FindData entry = {};
  os::Handle find = os::FindFirstFileW(pattern, &entry);
  if (find == os::InvalidHandleValue) return true;
  do {
    if ((entry.dwFileAttributes & (os::FileAttributeDirectory | os::FileAttributeReparsePoint)) != 0) continue;
    // The driver files go to the drivers folder through the INF step, not to the install directory.
    if (WideContains(entry.cFileName, FilterName)) continue;
    char16_t from[PathCapacity];
    char16_t to[PathCapacity];
    if (!JoinPath(from, source, entry.cFileName) || !JoinPath(to, target, entry.cFileName)) continue;
    // A viewer running in another user's session keeps its file in use, out of CloseViewer's
    // reach: the file is replaced at the next restart, which the install asks for anyway. So is
    // one an uninstallation left for the system to delete then, or the deletion would undo it.
    std::uint32_t error = os::CopyFileW(from, to, false) ? 0 : os::GetLastError();
    if ((error == 0 && RemovedAtRestart(to)) || InUseError(error)) error = ReplaceAtRestart(from, to);
    if (error != 0) NoteInstallFailure(error);
  } while (os::FindNextFileW(find, &entry));
  os::FindClose(find);
  return true;
}

bool WriteUninstallEntry() {
  if (!IsUsableDirectory(Installer.installDirectory)) return false;
  char16_t program[ModulePathCapacity];
  // Without the program's own name the command line would start nothing: write no entry.
  if (!GetProgramPath(program)) return false;
  const char16_t* name = FileNamePart(program);

  char16_t product[DirectoryCapacity];
  LoadProductName(product);
  char16_t key[PathCapacity];
  char16_t uninstall[PathCapacity];
  char16_t icon[PathCapacity];
  if (!FormatFits(key, PathCapacity, u"%s%s", UninstallKeyBase, product)) return false;
  if (!FormatFits(uninstall, PathCapacity, u"\"%s\\%s\" -UNINSTALL", Installer.installDirectory, name)) {
    return false;
  }
  if (!FormatFits(icon, PathCapacity, u"\"%s\\%s\"", Installer.installDirectory, name)) {
    return false;
  }

  bool all = WriteRegString(os::HkeyLocalMachine, key, u"DisplayName", product);
  all = WriteRegString(os::HkeyLocalMachine, key, u"UninstallString", uninstall) && all;
  all = WriteRegString(os::HkeyLocalMachine, key, u"DisplayIcon", icon) && all;
  all = WriteRegString(os::HkeyLocalMachine, key, u"Publisher", Publisher) && all;
  all = WriteRegString(os::HkeyLocalMachine, key, u"DisplayVersion", DisplayVersion) && all;
  return all;
}

bool WriteInitialStatistics() {
  StatsRecord& record = Installer.statistics;
  std::memset(&record, 0, sizeof(record));
  record.Valid = 1;
  os::FileTime now = 0;
  os::GetSystemTimeAsFileTime(&now);
  SetStatsUpdatedAt(record, now);
  for (int slot = 0; slot < StatsDriveLetters; ++slot) {
    char16_t drive[4];
    FormatWide(drive, 4, u"%c:", int(u'C' + slot));
    record.DriveEligible[slot] = IsFixedDrive(drive) ? 1 : 0;
    record.DriveNtfs[slot] = (!HasCompressedAttribute(drive) && IsNtfs(drive) == 1) ? 1 : 0;
    record.DriveType[slot] = os::GetDriveTypeW(drive);
  }

  if (!IsUsableDirectory(Installer.installDirectory)) return false;
  char16_t path[PathCapacity];
  if (!JoinPath(path, Installer.installDirectory, StatisticsFileName)) return false;
  os::Handle file = os::CreateFileW(path, os::GenericWrite, 0, os::CreateAlways, os::FileAttributeNormal);
  if (file == os::InvalidHandleValue) return false;
  std::uint32_t written = 0;
  bool ok = os::WriteFile(file, &record, sizeof(record), &written) && written == sizeof(record);
  os::CloseHandle(file);
  return ok;
}

bool InstallFilterDriver(const char16_t* filterName) {
  os::Handle inf = os::InvalidHandleValue;
  if (!OpenExtractedInf(filterName, &inf)) return false;

  char16_t system[PathCapacity] = {};
  char16_t source[PathCapacity];
  char16_t target[PathCapacity];
  std::uint32_t systemLength = os::GetSystemDirectoryW(system, PathCapacity);
  bool copied = systemLength > 0 && systemLength < std::uint32_t(PathCapacity) &&
                FormatFits(source, PathCapacity, u"%s\\%s.sys", Installer.extractDirectory, filterName) &&
                FormatFits(target, PathCapacity, u"%s\\drivers\\%s.sys", system, filterName) &&
                os::CopyFileW(source, target, false);
  if (!copied) {
    os::SetupCloseInfFile(inf);
    return false;
  }
  bool installed = os::SetupInstallServicesFromInfSectionW(inf, InstallServicesSection, os::SpsvcinstTagToFront);
  os::SetupCloseInfFile(inf);
  return installed;
}

bool CreateServiceEntry(const char16_t* serviceName, const char16_t* binaryPath, bool startNow) {
  // Registered quoted: unquoted, a path with blanks ("C:\Program Files\...") would let a program
  // planted at an earlier blank ("C:\Program.exe") run as the local system account.
  char16_t quoted[PathCapacity];
  if (!QuotePath(quoted, binaryPath)) return false;
  os::Handle manager = os::OpenSCManagerW(nullptr, nullptr, os::ScManagerAllAccess);
  if (manager == os::NullHandle) return false;
  os::Handle service = os::CreateServiceW(manager, serviceName, serviceName, os::ServiceAllAccess,
                                          os::ServiceWin32OwnProcess, os::ServiceAutoStart, os::ServiceErrorIgnore,
                                          quoted, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (service == os::NullHandle) {
    if (os::GetLastError() != os::ErrorServiceExists) {
      os::CloseServiceHandle(manager);
      return false;
    }
    service = os::OpenServiceW(manager, serviceName, os::ServiceAllAccess);
    if (service == os::NullHandle) {
      os::CloseServiceHandle(manager);
      return false;
    }
    // The existing service keeps its settings, except that a path an earlier version registered
    // unquoted is mended.
    os::ChangeServiceConfigW(service, os::ServiceNoChange, os::ServiceNoChange, os::ServiceNoChange, quoted, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  os::ServiceDelayedAutoStartInfo delayed = {1};
  os::ChangeServiceConfig2W(service, os::ServiceConfigDelayedAutoStartInfo, &delayed);
  if (startNow) os::StartServiceW(service, 0, nullptr);
  os::CloseServiceHandle(service);
  os::CloseServiceHandle(manager);
  return true;
}

bool WriteSystemSettings() {
  bool all = WriteRegDword(os::HkeyLocalMachine, FileSystemKey, u"NtfsDisableLastAccessUpdate", 1);

  char16_t viewer[PathCapacity];
  char16_t quoted[PathCapacity];
  if (IsUsableDirectory(Installer.installDirectory) &&
      FormatFits(viewer, PathCapacity, u"%s\\%s.exe", Installer.installDirectory, ViewerName) &&
      QuotePath(quoted, viewer)) {
    all = WriteRegString(os::HkeyLocalMachine, RunKey, ViewerName, quoted) && all;
  } else {
    all = false;
  }

  std::uint32_t value = 1;
  std::uint32_t size = sizeof(value);
  std::int32_t read = 1;
  os::Key key = 0;
  if (os::RegOpenKeyW(os::HkeyCurrentUser, ExplorerAdvancedKey, &key) == os::ErrorSuccess) {
    read = os::RegQueryValueExW(key, u"ShowCompColor", nullptr, &value, &size);
    os::RegCloseKey(key);
  }
  if (read != os::ErrorSuccess || value != 0) {
    all = WriteRegDword(os::HkeyCurrentUser, ExplorerAdvancedKey, u"ShowCompColor", 0) && all;
  }
  return all;
}

bool ClearDirectory(const char16_t* directory, const char16_t* pattern, bool removeInUseAtRestart) {
  if (!IsUsableDirectory(directory)) return false;
  // A junction or link here would make the deletions land wherever it points.
  std::uint32_t attributes = os::GetFileAttributesW(directory);
  if (attributes == os::InvalidFileAttributes || (attributes & os::FileAttributeDirectory) == 0 ||
      (attributes & os::FileAttributeReparsePoint) != 0) {
    return false;
  }
  char16_t search[PathCapacity];
  if (!JoinPath(search, directory, pattern)) return false;
  char16_t program[ModulePathCapacity];
  if (!GetProgramPath(program)) program[0] = 0;
  os::FindData entry = {};
  os::Handle find = os::FindFirstFileW(search, &entry);
  if (find == os::InvalidHandleValue) return os::GetLastError() == os::ErrorFileNotFound;
  bool leftForRestart = false;
  do {
    if ((entry.dwFileAttributes & (os::FileAttributeDirectory | os::FileAttributeReparsePoint)) != 0) continue;
    char16_t path[PathCapacity];
    if (!JoinPath(path, directory, entry.cFileName) || os::DeleteFileW(path)) continue;
    // A file another session's program keeps in use goes at the next restart; the running
    // setup's own file is left to the self-removal command.
    if (removeInUseAtRestart && InUseError(os::GetLastError()) && !SameAsciiPath(path, program) &&
        os::MoveFileExW(path, nullptr, os::MovefileDelayUntilReboot)) {
      leftForRestart = true;
    }
  } while (os::FindNextFileW(find, &entry));
  os::FindClose(find);
  // After its files, the directory itself (the system removes it then only if it is empty).
  if (leftForRestart) {
    RestartCompletes = true;
    os::MoveFileExW(directory, nullptr, os::MovefileDelayUntilReboot);
  }
  return true;
}

bool ClearExtractDirectory() {
  const char16_t* directory = Installer.extractDirectory;
  if (!ExtractDirectoryOwned || IsReparsePoint(directory)) return false;
  ClearDirectory(directory, u"*.*");
  if (!os::RemoveDirectoryW(directory)) return false;
  ExtractDirectoryOwned = false;
  return true;
}

bool RunInstallSequence() {
  // A setup whose own file is not the one that runs installs nothing.
  if (std::uint32_t error = HoldProgramFile()) {
    NoteInstallFailure(error);
    return false;
  }
  // Before the first change: an install directory others could change (or one above it) is
  // left as it is, and the user is told.
  if (std::uint32_t error = HoldInstallDirectory(true)) {
    ReleaseProgramFile();
    NoteInstallFailure(error);
    return false;
  }
  CloseViewer(ViewerName);
  RemoveService(ServiceName);
  os::Sleep(AfterServiceRemovalPauseMs);
  // The old service may still be running its executable and stays in the database until it
  // has stopped, and its process holds the file a while longer: replacing the files or
  // registering before then would fail.
  bool gone = WaitForServiceGone(ServiceName, ServiceGoneTimeoutMs);
  char16_t servicePath[PathCapacity];
  bool servicePathFormed = FormServicePath(servicePath);
  if (gone && servicePathFormed) WaitForImageReleased(servicePath, ImageReleaseTimeoutMs);
  // Failures of the steps the installed system can't work without are reported to the user.
  if (!ExtractResources()) NoteInstallFailure(os::GetLastError());
  if (!CopyProgramFiles()) NoteInstallFailure(os::GetLastError());
  WriteUninstallEntry();
  WriteInitialStatistics();
  if (!InstallFilterDriver(FilterName)) NoteInstallFailure(os::GetLastError());
  if (!servicePathFormed || !CreateServiceEntry(ServiceName, servicePath, false)) {
    NoteInstallFailure(os::GetLastError());
  }
  WriteSystemSettings();
  ClearExtractDirectory();
  ReleaseInstallDirectory();
  return InstallFailure == 0;
}
