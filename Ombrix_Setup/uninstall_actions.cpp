// The uninstall sequence and its steps, a confirmed cancel of the uninstallation, and the two
// delayed commands launched as the wizard closes.
#include "Ombrix_Setup/setup.h"
#include "Ombrix_Setup/setup_actions.h"
#include "common/debug_log.h"
#include "common/wide_string.h"

namespace {

constexpr char16_t UninstallServicesSection[] = u"DefaultUninstall.Services";
constexpr int CommandCapacity = 1024;
constexpr int SystemDirectoryCapacity = 260;

// Only the system's own programs run, started by their full paths: cmd without the user's AutoRun
// commands (/D) and without a second command processor (a FOR /F would start one, and that one
// runs AutoRun), so nothing planted in the current directory or the user's registry runs with
// the installer's rights. The ping run is the delay.
constexpr char16_t SelfRemovalFormat[] = u"%s /D /C %s 1.0.0.0 -w 500 & rd \"%s\" /q /s";
constexpr char16_t RestartFormat[] = u"%s /D /C %s 1.0.0.0 -w 1000 & %s -r -t 0";

// The system directory and its command processor, ping and shutdown tools.
struct ToolPaths {
  char16_t system[SystemDirectoryCapacity];
  char16_t commandProcessor[PathCapacity];
  char16_t ping[PathCapacity];
  char16_t shutdown[PathCapacity];
};

bool FormToolPaths(ToolPaths* tools) {
  std::uint32_t length = os::GetSystemDirectoryW(tools->system, SystemDirectoryCapacity);
  if (length == 0 || length >= std::uint32_t(SystemDirectoryCapacity)) return false;
  return FormatFits(tools->commandProcessor, PathCapacity, u"%s\\Cmd.exe", tools->system) &&
         FormatFits(tools->ping, PathCapacity, u"%s\\Ping.exe", tools->system) &&
         FormatFits(tools->shutdown, PathCapacity, u"%s\\Shutdown.exe", tools->system);
}

// Starts the command line hidden, from the system directory (never from inside the directory the
// command is about to remove), without waiting.
bool LaunchHidden(const char16_t* commandLine, const ToolPaths& tools) {
  if (!os::SetCurrentDirectoryW(tools.system)) return false;
  char line[CommandCapacity];
  std::int32_t length = os::WideCharToMultiByte(os::CpAcp, commandLine, -1, line, CommandCapacity);
  if (length <= 0) return false;
  return os::WinExec(line, os::SwHide) > 31;
}

// A character the command processor would read as part of a command even inside quotes.
bool HasCommandCharacter(const char16_t* path) {
  for (const char16_t* p = path; *p != 0; ++p) {
    if (*p == u'"' || *p == u'%' || *p == u'!' || *p < 0x20) return true;
  }
  return false;
}

// Nothing is removed from a directory that is not where the install put Ombrix: the install
// directory only, and never through a junction or link standing in its place.
bool InstallDirectoryRemovable() {
  const char16_t* directory = Installer.installDirectory;
  return IsUsableDirectory(directory) && !IsReparsePoint(directory);
}

}  // namespace

bool UninstallFilterDriver(const char16_t* filterName) {
  os::Handle inf = os::InvalidHandleValue;
  if (!OpenExtractedInf(filterName, &inf)) return false;
  bool removed = os::SetupInstallServicesFromInfSectionW(inf, UninstallServicesSection, os::SpsvcinstTagToFront);
  os::SetupCloseInfFile(inf);
  return removed;
}

bool RemoveLogonStart() {
  os::Key key = 0;
  if (os::RegCreateKeyW(os::HkeyLocalMachine, RunKey, &key) != os::ErrorSuccess) return false;
  bool removed = os::RegDeleteValueW(key, ViewerName) == os::ErrorSuccess;
  os::RegCloseKey(key);
  return removed;
}

bool RemoveProgramFiles() {
  // The running program may have been started from anywhere; only the install directory's files
  // are Ombrix's.
  if (!InstallDirectoryRemovable()) return false;
  return ClearDirectory(Installer.installDirectory, u"*.*", true);
}

bool RemoveUninstallEntry() {
  char16_t product[DirectoryCapacity];
  LoadProductName(product);
  char16_t key[PathCapacity];
  if (!FormatFits(key, PathCapacity, u"%s%s", UninstallKeyBase, product)) return false;
  return os::RegDeleteKeyW(os::HkeyLocalMachine, key) == os::ErrorSuccess;
}

void RunUninstallSequence() {
  // The same check as the install's (the worker's start may have made it already); a directory
  // others could change is left as it is, with everything else, and the user is told.
  if (std::uint32_t error = HoldInstallDirectory(false)) {
    NoteInstallFailure(error);
    return;
  }
  CloseViewer(ViewerName);
  RemoveService(ServiceName);
  // Its executable is in use until it has stopped, and the files are removed below.
  WaitForServiceGone(ServiceName, ServiceGoneTimeoutMs);
  ExtractResources();
  UninstallFilterDriver(FilterName);
  ClearExtractDirectory();
  RemoveLogonStart();
  RemoveProgramFiles();
  RemoveUninstallEntry();
  ReleaseInstallDirectory();
}

bool EnsureServiceRunning() {
  char16_t path[PathCapacity];
  char16_t quoted[PathCapacity];
  if (!FormServicePath(path) || !QuotePath(quoted, path)) return false;
  for (std::uint32_t waited = 0;; waited += ServicePollMs) {
    os::Handle manager = os::OpenSCManagerW(nullptr, nullptr, os::ScManagerAllAccess);
    if (manager == os::NullHandle) return false;
    os::Handle service = os::OpenServiceW(manager, ServiceName, os::ServiceAllAccess);
    if (service == os::NullHandle) {
      std::uint32_t error = os::GetLastError();
      os::CloseServiceHandle(manager);
      if (error != os::ErrorServiceDoesNotExist) return false;
      return CreateServiceEntry(ServiceName, path, true);
    }
    // The entry the uninstall start removed is still there, on its way out, when the worker's
    // re-registration was refused or the worker finished before the stop request: wait until it
    // has gone, then register the service again. Changing the configuration tells the two apart
    // and mends an unquoted path on the way.
    bool marked = !os::ChangeServiceConfigW(service, os::ServiceNoChange, os::ServiceNoChange, os::ServiceNoChange,
                                            quoted, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) &&
                  os::GetLastError() == os::ErrorServiceMarkedForDelete;
    if (marked) {
      os::CloseServiceHandle(service);
      os::CloseServiceHandle(manager);
      if (waited >= ServiceGoneTimeoutMs) return false;
      os::Sleep(ServicePollMs);
      continue;
    }
    os::ServiceStatus status = {};
    bool running = os::QueryServiceStatus(service, &status) &&
                   (status.dwCurrentState == os::ServiceRunning || status.dwCurrentState == os::ServiceStartPending);
    if (!running) {
      running = os::StartServiceW(service, 0, nullptr) || os::GetLastError() == os::ErrorServiceAlreadyRunning;
    }
    os::CloseServiceHandle(service);
    os::CloseServiceHandle(manager);
    return running;
  }
}

void CancelUninstall() {
  WorkerRecord& worker = Installer.worker;
  worker.stopRequest.store(1);
  if (worker.thread != os::NullHandle) os::WaitForSingleObject(worker.thread, os::Infinite);
  // The uninstall start (run only when decompression was chosen) removed the service. The worker
  // registers it again when it sees the stop request, but it may have finished before that, or
  // not have started at all: make sure the uninstallation ends with the service as it was.
  // From the install directory only when it passes the install's check.
  if (Installer.decompressChosen != 0 && HoldInstallDirectory(false) == 0) EnsureServiceRunning();
  ReleaseInstallDirectory();
}

bool LaunchSelfRemoval() {
  if (!InstallDirectoryRemovable() || HasCommandCharacter(Installer.installDirectory)) return false;
  ToolPaths tools;
  if (!FormToolPaths(&tools)) return false;
  // The short form keeps the line within the ANSI code page.
  char16_t directory[PathCapacity] = {};
  std::uint32_t length = os::GetShortPathNameW(Installer.installDirectory, directory, PathCapacity);
  if (length == 0 || length >= std::uint32_t(PathCapacity) || HasCommandCharacter(directory)) {
    WideCopy(directory, PathCapacity, Installer.installDirectory);
  }
  char16_t command[CommandCapacity];
  if (!FormatFits(command, CommandCapacity, SelfRemovalFormat, tools.commandProcessor, tools.ping, directory)) {
    return false;
  }
  return LaunchHidden(command, tools);
}

bool LaunchRestart() {
  ToolPaths tools;
  if (!FormToolPaths(&tools)) return false;
  char16_t command[CommandCapacity];
  if (!FormatFits(command, CommandCapacity, RestartFormat, tools.commandProcessor, tools.ping, tools.shutdown)) {
    return false;
  }
  return LaunchHidden(command, tools);
}
