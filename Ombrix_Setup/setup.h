// Ombrix_Setup's process-wide state and the operations the wizard pages call. Portable: the
// install and uninstall actions and the decompression pass run over the OS seam, so the host
// tests run them against the simulated Windows.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/stats_record.h"
#include "common/worker_record.h"
#include "os/os.h"

constexpr std::int32_t ModeInstall = 0;
constexpr std::int32_t ModeUninstall = 1;

constexpr int DirectoryCapacity = 256;

struct InstallerState {
  std::uint8_t decompressChosen;
  char16_t installDirectory[DirectoryCapacity];
  char16_t extractDirectory[DirectoryCapacity];
  std::int32_t mode;
  std::int32_t ntfsType;
  WorkerRecord worker;
  StatsRecord statistics;
};

extern InstallerState Installer;

// Mode initialisation: zero-fills Installer, stores the mode and forms installDirectory (the
// Program Files folder, a backslash and string 501) and extractDirectory (installDirectory
// followed by "\Staging"). Creates neither directory.
void InitInstallerState(std::int32_t mode);

// The install sequence, run once at the install progress page's last tick. True when every step
// the installed system cannot work without succeeded (the program files copied, the driver and
// the service registered); otherwise InstallFailure holds the error of the first that failed.
bool RunInstallSequence();
// Opens the running setup's own file for the copy into the install directory, denying others
// writing and deletion (renaming too), and checks it against the program's seal; the install
// mode does so at start-up. 0 once held, else the error (ERROR_INVALID_IMAGE_HASH: the file is
// not the program that runs). The copy releases it.
std::uint32_t HoldProgramFile();
void ReleaseProgramFile();
// 0, or the platform's error code of the first such step that failed (ERROR_INSTALL_FAILURE when
// it left none); cleared by the mode initialisation. The install finish page reports it.
extern std::uint32_t InstallFailure;
// Set when a file in use (a viewer running in another user's session) was left to be replaced or
// removed at the next system start; the finish page then says the restart completes the work.
// Cleared by the mode initialisation.
extern bool RestartCompletes;

// Uninstall: the start of the worker when decompression was chosen (closes the viewer, removes the
// service, starts DecompressWorker on Installer.worker; thread 0 when it could not be created),
// the uninstall sequence, and a confirmed cancel on the progress page (stop request, wait for the
// worker, the service registered and running again).
void StartUninstallWorker();
void RunUninstallSequence();
void CancelUninstall();

// The delayed commands launched as the uninstall wizard closes.
bool LaunchSelfRemoval();
bool LaunchRestart();

// Registers the compression service (or opens the existing one), turns on its delayed automatic
// start and, when asked, starts it.
bool CreateServiceEntry(const char16_t* serviceName, const char16_t* binaryPath, bool startNow);

// The uninstall worker's thread procedure; its parameter is the WorkerRecord. Returns 1.
std::uint32_t DecompressWorker(void* record);
