// Shared set-up of the installer tests: a fresh simulated Windows with the folders of a new
// machine, the setup program started from a downloads folder whose path has blanks, its five
// "DRIVER" resources (the real INF of the tree, made-up payloads that carry a version mark) and
// string 501; readers for what the install leaves behind.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "Ombrix_Setup/program_seal.h"
#include "Ombrix_Setup/resource.h"
#include "Ombrix_Setup/setup.h"
#include "Ombrix_Setup/setup_actions.h"
#include "os/sim/sim.h"

namespace setuptest {

inline const std::u16string DownloadedSetup = u"C:\\Users\\user\\Downloads\\Ombrix Setup 1.0\\Ombrix_Setup.exe";
inline const std::u16string InstallDir = u"C:\\Program Files\\Ombrix";
inline const std::u16string InstalledSetup = InstallDir + u"\\Ombrix_Setup.exe";
inline const std::u16string ExtractDir = InstallDir + u"\\Staging";
inline const std::u16string DriverFile = u"C:\\Windows\\system32\\drivers\\Ombrix_Filter.sys";
inline const std::u16string UninstallKey = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ombrix";
inline const std::u16string UninstallList = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
inline const std::u16string RunKeyPath = u"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline const std::u16string FileSystemKeyPath = u"SYSTEM\\CurrentControlSet\\Control\\FileSystem";
inline const std::u16string ExplorerKeyPath = u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced";
inline const std::u16string FilterKey = std::u16string(sim::ServicesKey) + u"\\Ombrix_Filter";
inline const std::u16string QuotedServicePath = u"\"C:\\Program Files\\Ombrix\\Ombrix_Service.exe\"";

inline std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

inline std::string Text(const std::optional<std::vector<std::uint8_t>>& bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<missing>");
}

inline std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 128 ? char(c) : '?';
  return out;
}

// The payload of a resource file in a given version: "<name> v<version>".
inline std::string Payload(const std::string& name, int version) {
  return name + " v" + std::to_string(version);
}

inline std::vector<std::uint8_t> FilterInf() {
  std::ifstream in(OMBRIX_FILTER_INF, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A directory an administrator made (where a non-elevated user can't plant anything).
inline sim::DirectorySpec AdminDirectory() {
  sim::DirectorySpec spec;
  spec.owner = sim::AdministratorsOwner;
  return spec;
}

// Program Files moved to `path` (on a drive already added), made there as `spec` says; the
// installer set up again to install below it.
inline void MoveProgramFiles(const std::u16string& path, const sim::DirectorySpec& spec = AdminDirectory()) {
  sim::MakeDirectory(path, spec);
  sim::SetFolderPath(os::CsidlProgramFiles, path);
  InitInstallerState(ModeInstall);
}

// The seal a build of the setup with these bytes carries.
inline void SealSetup(const std::vector<std::uint8_t>& bytes) {
  SetupSeal.coveredSize = std::uint32_t(bytes.size());
  for (int i = 0; i < SealSkips; ++i) SetupSeal.skipOffset[i] = SetupSeal.skipSize[i] = 0;
  Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  hash.Finish(SetupSeal.digest);
}

// The setup program and its resources in the given version.
inline void SetPayload(int version) {
  sim::SetResource(IDR_DRIVER_INF, u"DRIVER", FilterInf());
  sim::SetResource(IDR_DRIVER_SYS, u"DRIVER", Bytes(Payload("Ombrix_Filter.sys", version)));
  sim::SetResource(IDR_SERVICE_EXE, u"DRIVER", Bytes(Payload("Ombrix_Service.exe", version)));
  sim::SetResource(IDR_VIEWER_EXE, u"DRIVER", Bytes(Payload("Ombrix_Viewer.exe", version)));
  sim::SetResource(IDR_HELP_CHM, u"DRIVER", Bytes(Payload("HELP.chm", version)));
  sim::PutFile(DownloadedSetup, Bytes(Payload("Ombrix_Setup.exe", version)));
  SealSetup(Bytes(Payload("Ombrix_Setup.exe", version)));
}

// The part of the install directory's listing a test compares.
inline std::vector<std::u16string> InstalledFiles() { return sim::ListDirectory(InstallDir); }

inline std::u16string RegText(os::Key root, const std::u16string& key, const std::u16string& name) {
  return sim::GetRegString(root, key, name).value_or(u"<missing>");
}

// The installed viewer, running: it exits when asked with its exit message.
inline sim::Window AddRunningViewer() {
  sim::StartProgram(InstallDir + u"\\Ombrix_Viewer.exe");
  return sim::AddWindow(u"#32770", u"Ombrix_Viewer",
                        [](sim::Window window, std::uint32_t message, std::uintptr_t, std::intptr_t) {
                          if (message == 0x8024) {
                            sim::RemoveWindow(window);
                            sim::EndProgram(InstallDir + u"\\Ombrix_Viewer.exe");
                          }
                          return std::intptr_t(0);
                        });
}

// PendingFileRenameOperations as MoveFileExW recorded it: source, target ("" = delete), ...
inline std::vector<std::u16string> PendingRenames() {
  std::vector<std::u16string> items;
  std::optional<sim::RegValue> value =
      sim::GetRegValue(os::HkeyLocalMachine, sim::SessionManagerKey, u"PendingFileRenameOperations");
  if (!value) return items;
  EXPECT_EQ(value->type, os::RegMultiSz);
  std::u16string item;
  // Each string ends with a null, and one more null ends the list.
  for (std::size_t at = 0; at + 3 < value->data.size(); at += 2) {
    char16_t c = char16_t(value->data[at] | value->data[at + 1] << 8);
    if (c != 0) item += c;
    else items.push_back(std::exchange(item, u""));
  }
  return items;
}

// The installed viewer running in another user's session: its window is on that user's desktop,
// out of CloseViewer's reach, and its process keeps its file open without sharing delete.
inline sim::HoldId RunViewerInOtherSession() {
  sim::StartProgram(InstallDir + u"\\Ombrix_Viewer.exe");
  return sim::HoldOpen(InstallDir + u"\\Ombrix_Viewer.exe", os::GenericRead, os::FileShareRead);
}

class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::Reset();
    sim::AddStandardFolders();
    sim::AddDrive(u'C');
    sim::MakeDirectory(u"C:\\Users\\user\\Downloads");   // the installing user's own
    sim::SetModulePath(DownloadedSetup);
    sim::SetString(IDS_PRODUCT, u"Ombrix");
    SetPayload(1);
    InitInstallerState(ModeInstall);
  }
  void TearDown() override { sim::Reset(); }

  // Nothing the steps opened is left open.
  static void ExpectNothingLeftOpen() {
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
    EXPECT_EQ(sim::OpenKeyCount(), 0u);
    EXPECT_EQ(sim::OpenServiceHandleCount(), 0u);
    EXPECT_EQ(sim::OpenInfCount(), 0u);
  }

  // An installation of the given version, as the install wizard runs it.
  static bool Install(int version) {
    SetPayload(version);
    sim::SetModulePath(DownloadedSetup);
    InitInstallerState(ModeInstall);
    return RunInstallSequence();
  }
};

}  // namespace setuptest
