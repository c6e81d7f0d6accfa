// The steps of the install and uninstall sequences and the helpers they share. Internal to
// Ombrix_Setup: the wizard calls the sequences declared in setup.h, the host tests call the steps
// one by one.
#pragma once

#include <cstdint>

#include "Ombrix_Setup/setup.h"

// Names the installer registers, looks for and removes.
constexpr char16_t ServiceName[] = u"Ombrix_Service";
constexpr char16_t FilterName[] = u"Ombrix_Filter";
constexpr char16_t ViewerName[] = u"Ombrix_Viewer";
constexpr char16_t ViewerWindowClass[] = u"#32770";
constexpr char16_t ProductFallback[] = u"Ombrix";   // string 501, the same in every language

constexpr std::uint32_t ViewerExitMessage = os::WmApp + 0x24;   // 0x8024
constexpr int CloseViewerAttempts = 10;
constexpr std::uint32_t CloseViewerPauseMs = 1000;
// How long one attempt waits for the window to take the exit message.
constexpr std::uint32_t CloseViewerAnswerMs = 2000;
constexpr std::uint32_t AfterServiceRemovalPauseMs = 1000;

// An old service asked to stop is given this long to stop and leave the service database before
// its files are replaced and the new one is registered.
constexpr std::uint32_t ServiceGoneTimeoutMs = 30'000;
constexpr std::uint32_t ServicePollMs = 250;
// Its process may still run, holding its file, after the service has left the database.
constexpr std::uint32_t ImageReleaseTimeoutMs = 30'000;

// The extraction directory: a fresh directory inside the install directory, Administrators and
// SYSTEM only, inherited by the files written into it, so nothing another user runs can change
// what the installer copies and registers from it.
constexpr char16_t StagingName[] = u"Staging";
constexpr char16_t ExtractDirectorySddl[] = u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// Names tried after the usual one is taken: extractDirectory + "." + 1 .. this.
constexpr int ExtractDirectoryAlternatives = 999;

constexpr char16_t SessionManagerKey[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// The install directory, when the setup makes it: owned by Administrators, SYSTEM and
// Administrators full control, Users read and execute, nothing inherited from above.
constexpr char16_t InstallDirectorySddl[] = u"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

constexpr char16_t UninstallKeyBase[] = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr char16_t RunKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char16_t FileSystemKey[] = u"SYSTEM\\CurrentControlSet\\Control\\FileSystem";
constexpr char16_t ExplorerAdvancedKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced";
constexpr char16_t Publisher[] = u"TAVRIX";
constexpr char16_t DisplayVersion[] = u"1.0.0.6";

constexpr int PathCapacity = 1024;

// A program file's replacement waiting beside it for the next system start: its name followed
// by this.
constexpr char16_t PendingSuffix[] = u".new";
constexpr int ModulePathCapacity = 512;

// ---------------------------------------------------------------------------------------------
// Shared helpers (setup_state.cpp).

// True while extractDirectory names a directory this process created (and has not removed).
// Only then is anything read from it, copied out of it or deleted in it; the mode
// initialisation clears it.
extern bool ExtractDirectoryOwned;

// String 501 (the product name), or its known text when the resource can't be read.
void LoadProductName(char16_t (&name)[DirectoryCapacity]);
// The running program's full path; false (and empty) when it can't be read whole.
bool GetProgramPath(char16_t (&path)[ModulePathCapacity]);
// The file name and extension part of a path (what follows the last backslash).
const char16_t* FileNamePart(const char16_t* path);
// FormatWide that reports whether the whole text fit (a text that fills the buffer to its last
// unit counts as cut short).
bool FormatFits(char16_t* target, int capacity, const char16_t* format, ...);
// "%s\%s" into a path buffer; false when it does not fit.
bool JoinPath(char16_t (&target)[PathCapacity], const char16_t* directory, const char16_t* name);
// A directory the actions may create, fill or empty: an absolute path below a drive root
// ("X:\something"), never empty, a bare root or relative.
// Little-endian fields of the binary layouts the setup reads (PE headers, security descriptors).
inline std::uint16_t Read16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }
inline std::uint32_t Read32(const std::uint8_t* p) { return std::uint32_t(Read16(p)) | std::uint32_t(Read16(p + 2)) << 16; }

bool IsUsableDirectory(const char16_t* path);
// The path exists and is a junction, symbolic link or other reparse point.
bool IsReparsePoint(const char16_t* path);
// Writes a REG_SZ value with the text's length in characters times two (no terminator).
bool WriteRegString(os::Key root, const char16_t* keyPath, const char16_t* name, const char16_t* text);
bool WriteRegDword(os::Key root, const char16_t* keyPath, const char16_t* name, std::uint32_t value);
// Encloses a path in double quotes (unchanged when it already starts with one).
bool QuotePath(char16_t (&target)[PathCapacity], const char16_t* path);
// "%s\%s.exe" with installDirectory and the service's name; false without an install directory.
bool FormServicePath(char16_t (&path)[PathCapacity]);
// Opens the filter's INF in the extraction directory (only one this process created). On a
// failure of SetupOpenInfFileW writes "SetupOpenInfFile() error : %d %d" (error line, last error).
bool OpenExtractedInf(const char16_t* filterName, os::Handle* inf);
// Waits, up to `timeoutMs`, until the service no longer exists. True when it is gone (or was
// never there).
bool WaitForServiceGone(const char16_t* serviceName, std::uint32_t timeoutMs);
// Waits, up to `timeoutMs`, while the file is in use by a running program (it can't be opened for
// writing: a sharing violation). True when it is free or does not exist.
bool WaitForImageReleased(const char16_t* path, std::uint32_t timeoutMs);
// An error that says a file is in use by a running program: its open shares no write or delete
// (ERROR_SHARING_VIOLATION), or it is a running program's image (ERROR_ACCESS_DENIED).
bool InUseError(std::uint32_t error);
// Copies `from` beside `to` (`to` followed by PendingSuffix) and has the copy replace `to` at the
// next system start; sets RestartCompletes. 0, or the error of the step that failed (the copy is
// then removed). ReplacePendingAtRestart does the second step for a copy already written.
std::uint32_t ReplaceAtRestart(const char16_t* from, const char16_t* to);
std::uint32_t ReplacePendingAtRestart(const char16_t* pending, const char16_t* to);
// True when the system is to delete the file at its next start (an uninstallation left it there
// in use), or when the pending list is too long to tell.
bool RemovedAtRestart(const char16_t* path);
// Keeps the first failure of a step the installed system needs (0 = ERROR_INSTALL_FAILURE).
void NoteInstallFailure(std::uint32_t error);

// ---------------------------------------------------------------------------------------------
// The install directory (install_directory.cpp).

// Opens the install directory and every folder above it up to the drive's root and keeps them
// open, not shared for deletion, until released. With `create`, a missing install directory is
// made first (InstallDirectorySddl). 0 when the directory is no reparse point, is owned by SYSTEM,
// Administrators or TrustedInstaller and gives no other account the right to write into it,
// delete it or change its permissions or owner (nor passes such a right on), and no folder above
// it has another owner or gives another account the right to delete or rename its entries (or
// itself), or to change its permissions or owner. Otherwise nothing is held and the result is
// TRUST_E_SUBJECT_NOT_TRUSTED, or the error of the open or query that failed.
std::uint32_t HoldInstallDirectory(bool create);
bool InstallDirectoryHeld();
void ReleaseInstallDirectory();

// ---------------------------------------------------------------------------------------------
// Install steps (install_actions.cpp), in the order the install sequence runs them.

bool CloseViewer(const char16_t* windowTitle);
bool RemoveService(const char16_t* serviceName);
bool WriteResourceFile(std::uint32_t resourceId, const char16_t* path);
// Creates the install directory when missing and a fresh extraction directory inside it
// (extractDirectory, or a sibling when that name is taken; the one created is kept in
// extractDirectory), and writes the five resources into it.
bool ExtractResources();
bool CopyProgramFiles();
bool WriteUninstallEntry();
bool WriteInitialStatistics();
bool InstallFilterDriver(const char16_t* filterName);
bool WriteSystemSettings();
// Deletes the directory's files that match the pattern (never through a link). With
// removeInUseAtRestart, a file in use (other than the running program's own) and then the
// directory are recorded for removal at the next system start, and RestartCompletes is set.
bool ClearDirectory(const char16_t* directory, const char16_t* pattern, bool removeInUseAtRestart = false);
bool ClearExtractDirectory();

// ---------------------------------------------------------------------------------------------
// Uninstall steps (uninstall_actions.cpp).

bool UninstallFilterDriver(const char16_t* filterName);
bool RemoveLogonStart();
bool RemoveProgramFiles();
bool RemoveUninstallEntry();
// After a cancelled uninstallation: the compression service registered and running.
bool EnsureServiceRunning();
