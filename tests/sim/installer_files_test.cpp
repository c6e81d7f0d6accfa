// The installer's machine, files side: directories and their refusals, junctions and links,
// directory listings, copies and deletions of files in use, folders, code page, launched
// commands, resources, other programs' windows and the registry's removal calls and REG_SZ quirk.
#include "tests/sim/sim_test_util.h"

namespace {

using namespace simtest;

const char16_t* const Temp = u"C:\\Users\\user\\AppData\\Local\\Temp";
const char16_t* const Extract = u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix";
const char16_t* const Drivers = u"C:\\Windows\\system32\\drivers";

class Directories : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim::SetModulePath(u"C:\\Users\\user\\Downloads\\My Setup\\Ombrix_Setup.exe");
    sim::AddStandardFolders();
  }
};

os::Handle Create(const char16_t* path) {
  return os::CreateFileW(path, os::GenericWrite, 0, os::CreateAlways, os::FileAttributeNormal);
}

bool Write(const char16_t* path, std::uint8_t byte) {
  os::Handle file = Create(path);
  if (file == os::InvalidHandleValue) return false;
  std::uint32_t written = 0;
  bool ok = os::WriteFile(file, &byte, 1, &written);
  os::CloseHandle(file);
  return ok;
}

TEST_F(Directories, CreateAndRemoveRefuseAsWindowsDoes) {
  EXPECT_FALSE(os::CreateDirectoryW(u"C:\\Users\\user\\AppData\\Local\\Temp\\no\\Ombrix", nullptr));
  EXPECT_EQ(os::GetLastError(), os::ErrorPathNotFound);
  EXPECT_FALSE(Write(u"C:\\Program Files\\Ombrix\\x.exe", 1)) << "no file without its directory";
  EXPECT_EQ(os::GetLastError(), os::ErrorPathNotFound);

  const char16_t* sddl = u"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
  ASSERT_TRUE(os::CreateDirectoryW(Extract, sddl));
  sim::PathInfo made = sim::Path(Extract);
  EXPECT_TRUE(made.directory());
  EXPECT_EQ(made.sddl, sddl);
  EXPECT_EQ(made.owner, sim::AdministratorsOwner);
  EXPECT_EQ(os::GetFileAttributesW(Extract), os::FileAttributeDirectory);
  EXPECT_FALSE(os::CreateDirectoryW(Extract, nullptr));
  EXPECT_EQ(os::GetLastError(), os::ErrorAlreadyExists);
  EXPECT_FALSE(os::CreateDirectoryW(u"C:\\Users\\user\\AppData\\Local\\Temp\\x", u"not sddl"));
  EXPECT_EQ(os::GetLastError(), os::ErrorInvalidParameter);

  // A plain file where the directory should be.
  sim::PutFile(u"C:\\Program Files\\Ombrix", {1});
  EXPECT_FALSE(os::CreateDirectoryW(u"C:\\Program Files\\Ombrix", nullptr));
  EXPECT_EQ(os::GetLastError(), os::ErrorAlreadyExists);
  EXPECT_FALSE(Write(u"C:\\Program Files\\Ombrix\\x.exe", 1));
  EXPECT_EQ(os::GetLastError(), os::ErrorPathNotFound);
  EXPECT_FALSE(os::RemoveDirectoryW(u"C:\\Program Files\\Ombrix"));
  EXPECT_EQ(os::GetLastError(), os::ErrorDirectory);

  ASSERT_TRUE(Write(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\a.inf", 7));
  EXPECT_FALSE(os::RemoveDirectoryW(Extract));
  EXPECT_EQ(os::GetLastError(), os::ErrorDirNotEmpty);
  ASSERT_TRUE(os::DeleteFileW(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\a.inf"));
  EXPECT_TRUE(os::RemoveDirectoryW(Extract));
  EXPECT_FALSE(sim::Path(Extract).exists());
  EXPECT_FALSE(os::RemoveDirectoryW(Extract));
  EXPECT_EQ(os::GetLastError(), os::ErrorFileNotFound);

  // The running program's directory is in use.
  EXPECT_FALSE(os::RemoveDirectoryW(u"C:\\Users\\user\\Downloads\\My Setup"));
  EXPECT_EQ(os::GetLastError(), os::ErrorSharingViolation);
}

TEST_F(Directories, AJunctionRedirectsWritesAndIsRemovedAsALink) {
  sim::PutFile(u"C:\\Windows\\system32\\config.sys", {9});
  sim::PlantJunction(Extract, u"C:\\Windows\\system32");
  EXPECT_EQ(os::GetFileAttributesW(Extract), os::FileAttributeDirectory | os::FileAttributeReparsePoint);
  EXPECT_FALSE(os::CreateDirectoryW(Extract, nullptr));
  EXPECT_EQ(os::GetLastError(), os::ErrorAlreadyExists);

  // What is written through the junction lands in its target: that is the danger.
  ASSERT_TRUE(Write(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\Ombrix_Filter.sys", 5));
  EXPECT_EQ(sim::FileBytes(u"C:\\Windows\\system32\\Ombrix_Filter.sys"), (std::vector<std::uint8_t>{5}));
  EXPECT_TRUE(sim::ListDirectory(Extract).empty()) << "the link itself holds nothing";
  EXPECT_TRUE(os::DeleteFileW(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\config.sys"));
  EXPECT_FALSE(sim::FileExists(u"C:\\Windows\\system32\\config.sys"));

  EXPECT_FALSE(os::DeleteFileW(Extract));
  EXPECT_EQ(os::GetLastError(), os::ErrorAccessDenied);
  ASSERT_TRUE(os::RemoveDirectoryW(Extract)) << "a junction goes even when its target is not empty";
  EXPECT_FALSE(sim::Path(Extract).exists());
  EXPECT_TRUE(sim::FileExists(u"C:\\Windows\\system32\\Ombrix_Filter.sys"));

  // A file link: opening follows it, deleting removes the link only.
  sim::PlantFileLink(u"C:\\Users\\user\\AppData\\Local\\Temp\\HELP.chm", u"C:\\Windows\\system32\\Ombrix_Filter.sys");
  EXPECT_EQ(sim::FileBytes(u"C:\\Users\\user\\AppData\\Local\\Temp\\HELP.chm"), (std::vector<std::uint8_t>{5}));
  ASSERT_TRUE(os::DeleteFileW(u"C:\\Users\\user\\AppData\\Local\\Temp\\HELP.chm"));
  EXPECT_TRUE(sim::FileExists(u"C:\\Windows\\system32\\Ombrix_Filter.sys"));

  sim::PlantJunction(u"C:\\Users\\user\\AppData\\Local\\Temp\\loop", u"C:\\Users\\user\\AppData\\Local\\Temp\\loop");
  EXPECT_FALSE(Write(u"C:\\Users\\user\\AppData\\Local\\Temp\\loop\\x", 1));
  EXPECT_EQ(os::GetLastError(), os::ErrorCantResolveFilename);
}

TEST_F(Directories, AnotherUserChangesTheirTempFolderOnly) {
  // The administrators' own directory in the user's temporary folder: the user can't write into
  // it, but may move it away and put a directory of theirs, or a junction, at its name.
  const std::u16string moved = std::u16string(Temp) + u"\\moved", own = std::u16string(Temp) + u"\\own",
                       inf = std::u16string(Extract) + u"\\a.inf";
  ASSERT_TRUE(os::CreateDirectoryW(Extract, u"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"));
  ASSERT_TRUE(Write(inf.c_str(), 7));
  EXPECT_FALSE(sim::UserPutFile(inf, {1}));
  ASSERT_TRUE(sim::UserRename(Extract, moved));
  EXPECT_EQ(sim::FileBytes(moved + u"\\a.inf"), (std::vector<std::uint8_t>{7}));
  EXPECT_FALSE(sim::Path(Extract).exists());
  sim::MakeDirectory(own);
  ASSERT_TRUE(sim::UserPutFile(own + u"\\a.inf", {2})) << "in a directory the user made";
  ASSERT_TRUE(sim::UserRename(own, Extract));
  EXPECT_EQ(sim::FileBytes(inf), (std::vector<std::uint8_t>{2}));
  EXPECT_FALSE(sim::UserPlantJunction(Extract, Drivers)) << "something is there already";
  ASSERT_TRUE(sim::UserPlantJunction(own, Drivers));
  EXPECT_FALSE(sim::UserPutFile(own + u"\\x.sys", {1})) << "the junction's target decides";

  // An open that does not share delete keeps a file from being moved, one that does not share
  // writing from being replaced.
  os::Handle held = os::CreateFileW(inf.c_str(), os::GenericRead, os::FileShareRead, os::OpenExisting, 0);
  EXPECT_FALSE(sim::UserRename(inf, moved + u"2"));
  EXPECT_FALSE(sim::UserPutFile(inf, {3}));
  os::CloseHandle(held);
  EXPECT_TRUE(sim::UserPutFile(inf, {3}));

  // Nothing under Program Files or the system folder, made by SYSTEM or by the installer.
  ASSERT_TRUE(os::CreateDirectoryW(u"C:\\Program Files\\Ombrix", nullptr));
  EXPECT_FALSE(sim::UserPlantJunction(u"C:\\Program Files\\Ombrix\\x", Temp));
  EXPECT_FALSE(sim::UserRename(u"C:\\Program Files\\Ombrix", moved + u"2"));
  EXPECT_FALSE(sim::UserRename(moved, u"C:\\Program Files\\Ombrix\\moved")) << "the target directory decides too";
  EXPECT_FALSE(sim::UserPutFile(u"C:\\Windows\\system32\\cmd.exe", {1}));
  EXPECT_EQ(sim::FileBytes(u"C:\\Windows\\system32\\cmd.exe"), (std::vector<std::uint8_t>{'M', 'Z'}));
}

// Security as Windows keeps it: what a new directory takes from its parent, what the other user
// may do there, the self-relative descriptor read through a directory handle ([MS-DTYP] 2.4.6,
// 2.4.5, 2.4.4.2, 2.4.2), and links as a handle sees them.
TEST_F(Directories, SecurityIsInheritedCheckedAndReadThroughAHandle) {
  constexpr std::uint32_t Read = 0x1200a9;
  // Program Files passes on read and execute to Users; D:'s root lets users add folders and
  // modify (so rename) what is below, but not delete others' entries.
  ASSERT_TRUE(os::CreateDirectoryW(u"C:\\Program Files\\B", nullptr));
  EXPECT_TRUE(sim::UserMay(u"C:\\Program Files\\B", Read));
  EXPECT_FALSE(sim::UserMay(u"C:\\Program Files\\B", os::FileAddFile));
  EXPECT_FALSE(sim::UserMay(u"C:\\Program Files", os::FileAddSubdirectory));
  EXPECT_TRUE(sim::UserMay(u"D:\\", os::FileAddSubdirectory));
  EXPECT_FALSE(sim::UserMay(u"D:\\", os::FileAddFile | os::FileDeleteChild));
  ASSERT_TRUE(os::CreateDirectoryW(u"D:\\Data", nullptr));
  EXPECT_TRUE(sim::UserMay(u"D:\\Data", os::FileAddFile | os::AccessDelete));
  EXPECT_FALSE(sim::UserMay(u"D:\\Data", os::FileDeleteChild));
  EXPECT_FALSE(sim::UserMay(u"D:\\Data", os::WriteDac));

  ASSERT_TRUE(os::CreateDirectoryW(u"C:\\Program Files\\A", u"O:SYD:P(A;OICI;FA;;;BA)"));
  constexpr std::uint32_t Query = os::ReadControl | os::FileReadAttributes;
  constexpr std::uint32_t Flags = os::FileFlagBackupSemantics | os::FileFlagOpenReparsePoint;
  EXPECT_EQ(os::CreateFileW(u"C:\\Program Files\\A", Query, os::FileShareRead, os::OpenExisting, 0), os::InvalidHandleValue);
  os::Handle folder = os::CreateFileW(u"C:\\Program Files\\A", Query, os::FileShareRead, os::OpenExisting, Flags);
  ASSERT_NE(folder, os::InvalidHandleValue);
  EXPECT_FALSE(sim::UserRename(u"C:\\Program Files\\A", u"C:\\Program Files\\A2"));
  std::uint8_t bytes[80] = {};
  std::uint32_t needed = 0;
  constexpr std::uint32_t Both = os::OwnerSecurityInformation | os::DaclSecurityInformation;
  EXPECT_FALSE(os::GetKernelObjectSecurity(folder, Both, bytes, 10, &needed));
  EXPECT_EQ(os::GetLastError(), os::ErrorInsufficientBuffer);
  ASSERT_TRUE(os::GetKernelObjectSecurity(folder, Both, bytes, sizeof(bytes), &needed));
  const std::vector<std::uint8_t> expected = {
      1, 0, 0x04, 0x90, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0, 0,   // self-relative, DACL present, protected
      1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,                                   // S-1-5-18
      2, 0, 32, 0, 1, 0, 0, 0,                                               // ACL: 32 bytes, 1 ACE
      0, 3, 24, 0, 0xff, 0x01, 0x1f, 0,                                      // allowed, OI|CI, FILE_ALL_ACCESS
      1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};                   // S-1-5-32-544
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + needed), expected);
  os::ByHandleFileInformation info = {};
  ASSERT_TRUE(os::GetFileInformationByHandle(folder, &info));
  EXPECT_EQ(info.dwFileAttributes, os::FileAttributeDirectory);
  os::CloseHandle(folder);
  folder = os::CreateFileW(u"C:\\Program Files\\A", os::FileReadAttributes, 0, os::OpenExisting, Flags);
  EXPECT_FALSE(os::GetKernelObjectSecurity(folder, Both, bytes, sizeof(bytes), &needed)) << "no READ_CONTROL";
  os::CloseHandle(folder);

  // A link opened itself shows as a reparse point; a second name of a file as a second link.
  ASSERT_TRUE(Write(u"C:\\Program Files\\A\\x.ini", 1));
  sim::PlantHardLink(u"C:\\Program Files\\A\\y.ini", u"C:\\Program Files\\A\\x.ini");
  sim::PlantFileLink(u"C:\\Program Files\\A\\z.ini", u"C:\\Program Files\\A\\x.ini");
  for (const char16_t* name : {u"C:\\Program Files\\A\\x.ini", u"C:\\Program Files\\A\\z.ini"}) {
    os::Handle file = os::CreateFileW(name, os::GenericWrite, 0, os::OpenAlways, os::FileFlagOpenReparsePoint);
    ASSERT_NE(file, os::InvalidHandleValue);
    ASSERT_TRUE(os::GetFileInformationByHandle(file, &info));
    os::CloseHandle(file);
    if (std::u16string_view(name).find(u"x.ini") != std::u16string_view::npos) EXPECT_EQ(info.nNumberOfLinks, 2u);
    else EXPECT_NE(info.dwFileAttributes & os::FileAttributeReparsePoint, 0u);
  }
}

TEST_F(Directories, EveryCallHookNumbersCallsOfAllFunctions) {
  std::vector<std::uint64_t> seen;
  sim::OnEveryCall([&seen](std::uint64_t number) {
    seen.push_back(number);
    os::GetLastError();   // the hook's own calls are no points of their own
  });
  os::GetFileAttributesW(Temp);
  os::CreateDirectoryW(Extract, nullptr);
  sim::OnEveryCall({});
  os::GetLastError();
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{1, 2}));
}

TEST_F(Directories, FindListsDotEntriesThenNamesWithTheirAttributes) {
  sim::MakeDirectory(Extract);
  sim::PutFile(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\Ombrix_Viewer.exe", {1, 2, 3});
  sim::PutFile(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\HELP.chm", {1});
  sim::MakeDirectory(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\sub");
  sim::PlantJunction(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\link", Drivers);

  os::FindData data{};
  os::Handle find = os::FindFirstFileW(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\*.*", &data);
  ASSERT_NE(find, os::InvalidHandleValue);
  std::vector<std::u16string> names;
  std::vector<std::uint32_t> attributes;
  do {
    names.emplace_back(data.cFileName);
    attributes.push_back(data.dwFileAttributes);
    if (names.back() == u"Ombrix_Viewer.exe") {
      EXPECT_EQ(data.nFileSizeLow, 3u);
    }
    if (names.back() == u"link") {
      EXPECT_EQ(data.dwReserved0, 0xA0000003u) << "IO_REPARSE_TAG_MOUNT_POINT";
    }
  } while (os::FindNextFileW(find, &data));
  EXPECT_EQ(os::GetLastError(), os::ErrorNoMoreFiles);
  EXPECT_TRUE(os::FindClose(find));
  EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"HELP.chm", u"link", u"Ombrix_Viewer.exe", u"sub"}));
  EXPECT_EQ(attributes, (std::vector<std::uint32_t>{0x10, 0x10, 0x20, 0x410, 0x20, 0x10}));
  EXPECT_EQ(sim::OpenHandleCount(), 0u);

  find = os::FindFirstFileW(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\*.exe", &data);
  ASSERT_NE(find, os::InvalidHandleValue);
  EXPECT_EQ(std::u16string(data.cFileName), u"Ombrix_Viewer.exe");
  EXPECT_FALSE(os::FindNextFileW(find, &data));
  os::FindClose(find);
  EXPECT_EQ(os::FindFirstFileW(u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix\\*.inf", &data), os::InvalidHandleValue);
  EXPECT_EQ(os::GetLastError(), os::ErrorFileNotFound);
  EXPECT_EQ(os::FindFirstFileW(u"C:\\Nowhere\\*.*", &data), os::InvalidHandleValue);
  EXPECT_EQ(os::GetLastError(), os::ErrorPathNotFound);
  // A root has no dot entries.
  find = os::FindFirstFileW(u"C:\\*.*", &data);
  ASSERT_NE(find, os::InvalidHandleValue);
  EXPECT_EQ(std::u16string(data.cFileName), u"Program Files");
  os::FindClose(find);
}

TEST_F(Directories, CopyAndDeleteRefuseFilesInUse) {
  const char16_t* source = u"C:\\Users\\user\\AppData\\Local\\Temp\\Ombrix_Viewer.exe";
  const char16_t* target = u"C:\\Program Files\\Ombrix_Viewer.exe";
  EXPECT_FALSE(os::CopyFileW(source, target, false));
  EXPECT_EQ(os::GetLastError(), os::ErrorFileNotFound);
  sim::PutFile(source, {1, 2});
  ASSERT_TRUE(os::CopyFileW(source, target, false));
  EXPECT_EQ(sim::FileBytes(target), (std::vector<std::uint8_t>{1, 2}));
  EXPECT_FALSE(os::CopyFileW(source, target, true));
  EXPECT_EQ(os::GetLastError(), os::ErrorFileExists);
  EXPECT_FALSE(os::CopyFileW(source, u"C:\\Program Files\\Ombrix\\x.exe", false));
  EXPECT_EQ(os::GetLastError(), os::ErrorPathNotFound);

  sim::PutFile(source, {3});
  sim::HoldId reader = sim::HoldOpen(target, os::GenericRead, os::FileShareRead);
  EXPECT_FALSE(os::CopyFileW(source, target, false)) << "the holder does not share writing";
  EXPECT_EQ(os::GetLastError(), os::ErrorSharingViolation);
  EXPECT_FALSE(os::DeleteFileW(target));
  EXPECT_EQ(os::GetLastError(), os::ErrorSharingViolation);
  sim::ReleaseHold(reader);
  sim::HoldId sharing = sim::HoldOpen(target, os::GenericRead, os::FileShareRead | os::FileShareWrite | os::FileShareDelete);
  EXPECT_TRUE(os::CopyFileW(source, target, false));
  EXPECT_EQ(sim::FileBytes(target), (std::vector<std::uint8_t>{3}));
  sim::ReleaseHold(sharing);

  // Running programs' images.
  sim::StartProgram(target);
  EXPECT_FALSE(os::CopyFileW(source, target, false));
  EXPECT_EQ(os::GetLastError(), os::ErrorSharingViolation);
  EXPECT_FALSE(os::DeleteFileW(target));
  EXPECT_EQ(os::GetLastError(), os::ErrorAccessDenied);
  sim::EndProgram(target);
  EXPECT_TRUE(os::DeleteFileW(target));
  sim::PutFile(u"C:\\Users\\user\\Downloads\\My Setup\\Ombrix_Setup.exe", {4});
  EXPECT_FALSE(os::DeleteFileW(u"C:\\Users\\user\\Downloads\\My Setup\\Ombrix_Setup.exe"));
  EXPECT_EQ(os::GetLastError(), os::ErrorAccessDenied);
  EXPECT_TRUE(os::CopyFileW(u"C:\\Users\\user\\Downloads\\My Setup\\Ombrix_Setup.exe", target, false))
      << "a running image can be read";

  EXPECT_FALSE(os::DeleteFileW(u"C:\\Program Files\\gone.exe"));
  EXPECT_EQ(os::GetLastError(), os::ErrorFileNotFound);
  EXPECT_FALSE(os::DeleteFileW(u"C:\\Nowhere\\gone.exe"));
  EXPECT_EQ(os::GetLastError(), os::ErrorPathNotFound);
  EXPECT_FALSE(os::DeleteFileW(u"C:\\Program Files"));
  EXPECT_EQ(os::GetLastError(), os::ErrorAccessDenied);
}

// MoveFileEx: a rename on its drive, onto an existing file only when asked, refused while the
// file it replaces is open without delete sharing or is running; delayed until the restart, it
// only records the pair as Windows does, and only for an administrator.
TEST_F(Directories, MoveRenamesOrRecordsForTheRestart) {
  const char16_t* staged = u"C:\\Program Files\\a.exe.new";
  const char16_t* target = u"C:\\Program Files\\a.exe";
  sim::PutFile(staged, {1});
  sim::PutFile(target, {2});
  auto refused = [&](const char16_t* to, std::uint32_t flags) { return os::MoveFileExW(staged, to, flags) ? 0 : os::GetLastError(); };
  EXPECT_EQ(refused(target, 0), os::ErrorAlreadyExists);
  EXPECT_EQ(refused(u"D:\\a.exe", 0), 17u);   // ERROR_NOT_SAME_DEVICE
  EXPECT_EQ(refused(nullptr, 0), os::ErrorInvalidParameter);
  sim::HoldId holder = sim::HoldOpen(target, os::GenericRead, os::FileShareRead | os::FileShareWrite);
  EXPECT_EQ(refused(target, os::MovefileReplaceExisting), os::ErrorSharingViolation);
  sim::ReleaseHold(holder);
  sim::StartProgram(target);
  EXPECT_EQ(refused(target, os::MovefileReplaceExisting), os::ErrorAccessDenied);

  // Recorded, not done; a deletion has an empty target; the list grows pair by pair.
  EXPECT_EQ(refused(target, os::MovefileDelayUntilReboot | os::MovefileReplaceExisting), 0u);
  EXPECT_EQ(refused(nullptr, os::MovefileDelayUntilReboot), 0u);
  EXPECT_EQ(sim::FileBytes(target), (std::vector<std::uint8_t>{2}));
  const std::u16string text = std::u16string(u"\\??\\C:\\Program Files\\a.exe.new") + u'\0' +
                              u"!\\??\\C:\\Program Files\\a.exe" + u'\0' +
                              u"\\??\\C:\\Program Files\\a.exe.new" + u'\0' + u'\0' + u'\0';
  std::optional<sim::RegValue> pending =
      sim::GetRegValue(os::HkeyLocalMachine, sim::SessionManagerKey, u"PendingFileRenameOperations");
  ASSERT_TRUE(pending);
  EXPECT_EQ(pending->type, os::RegMultiSz);
  EXPECT_EQ(pending->data, std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                     reinterpret_cast<const std::uint8_t*>(text.data() + text.size())));
  sim::SetElevated(false);
  EXPECT_EQ(refused(target, os::MovefileDelayUntilReboot), os::ErrorAccessDenied);

  // Not running any more: the file takes the other's place and name at once.
  sim::EndProgram(target);
  EXPECT_EQ(refused(target, os::MovefileReplaceExisting), 0u);
  EXPECT_EQ(sim::FileBytes(target), (std::vector<std::uint8_t>{1}));
  EXPECT_FALSE(sim::FileExists(staged));
}

TEST_F(Directories, FoldersShortNamesAndLaunchedCommands) {
  char16_t path[260] = {};
  ASSERT_TRUE(os::SHGetSpecialFolderPathW(path, os::CsidlProgramFiles, false));
  EXPECT_EQ(std::u16string(path), u"C:\\Program Files");
  EXPECT_EQ(os::GetTempPathW(260, path), 33u);
  EXPECT_EQ(std::u16string(path), sim::DefaultTempPath);
  EXPECT_EQ(os::GetTempPathW(10, path), 34u) << "too small: the size needed, terminator included";
  EXPECT_EQ(os::GetSystemDirectoryW(path, 260), 19u);
  EXPECT_EQ(std::u16string(path), u"C:\\Windows\\system32");

  std::u16string dir = u"C:\\Program Files\\";
  dir.copy(path, dir.size());
  path[dir.size()] = 0;
  EXPECT_EQ(os::GetShortPathNameW(path, path, 260), 12u) << "in place";
  EXPECT_EQ(std::u16string(path), u"C:\\PROGRA~1\\");
  EXPECT_EQ(os::GetShortPathNameW(u"C:\\Program Files\\Ombrix\\", path, 260), 0u);
  EXPECT_EQ(os::GetLastError(), os::ErrorFileNotFound);

  EXPECT_FALSE(os::SetCurrentDirectoryW(u"D:\\Missing\\"));
  EXPECT_EQ(os::GetLastError(), os::ErrorFileNotFound);
  ASSERT_TRUE(os::SetCurrentDirectoryW(u"C:\\"));
  EXPECT_EQ(os::WinExec("C:\\Windows\\system32\\Cmd.exe /C rd \"C:\\PROGRA~1\\Ombrix\" /q /s", os::SwHide), 33u);
  std::vector<sim::LaunchedCommand> launched = sim::LaunchedCommands();
  ASSERT_EQ(launched.size(), 1u);
  EXPECT_EQ(launched[0].commandLine, "C:\\Windows\\system32\\Cmd.exe /C rd \"C:\\PROGRA~1\\Ombrix\" /q /s");
  EXPECT_EQ(launched[0].show, os::SwHide);
  EXPECT_EQ(launched[0].currentDirectory, u"C:\\");
}

TEST(CodePage, AnsiConversionReplacesWhatTheCodePageLacks) {
  sim::Reset();
  char out[16] = {};
  EXPECT_EQ(os::WideCharToMultiByte(os::CpAcp, u"d\u00e9j\u00e0 \u20ac\u0101", -1, out, 16), 8);
  EXPECT_EQ(std::string(out, 8), std::string("d\xe9j\xe0 \x80?\0", 8)) << "Windows-1252, terminator counted";
  EXPECT_EQ(os::WideCharToMultiByte(os::CpAcp, u"abc", 3, nullptr, 0), 3) << "size only";
  EXPECT_EQ(os::WideCharToMultiByte(os::CpAcp, u"abcdef", -1, out, 4), 0);
  EXPECT_EQ(os::GetLastError(), os::ErrorInsufficientBuffer);
  sim::SetAnsiCodePage(20127);
  EXPECT_EQ(os::WideCharToMultiByte(os::CpAcp, u"\u00e9", 1, out, 16), 1);
  EXPECT_EQ(out[0], '?');
}

TEST(Resources, FoundLoadedAndStringsCutAsWindowsDoes) {
  sim::Reset();
  sim::SetResource(101, u"DRIVER", {1, 2, 3});
  sim::SetString(501, u"Ombrix");
  EXPECT_EQ(os::FindResourceW(os::NullHandle, 101, u"BITMAP"), os::NullHandle);
  EXPECT_EQ(os::GetLastError(), os::ErrorResourceTypeNotFound);
  EXPECT_EQ(os::FindResourceW(os::NullHandle, 102, u"DRIVER"), os::NullHandle);
  EXPECT_EQ(os::GetLastError(), os::ErrorResourceNameNotFound);
  os::Handle info = os::FindResourceW(os::GetModuleHandleW(nullptr), 101, u"driver");
  ASSERT_NE(info, os::NullHandle);
  const auto* bytes = static_cast<const std::uint8_t*>(os::LockResource(os::LoadResource(os::NullHandle, info)));
  ASSERT_NE(bytes, nullptr);
  ASSERT_EQ(os::SizeofResource(os::NullHandle, info), 3u);
  EXPECT_EQ(bytes[2], 3);

  char16_t text[8] = {u'x', u'x', u'x', u'x', u'x', u'x', u'x', u'x'};
  EXPECT_EQ(os::LoadStringW(os::NullHandle, 501, text, 4), 3);
  EXPECT_EQ(std::u16string(text), u"Omb");
  EXPECT_EQ(os::LoadStringW(os::NullHandle, 501, text, 8), 6);
  EXPECT_EQ(std::u16string(text), u"Ombrix");
  const char16_t* pointer = nullptr;
  EXPECT_EQ(os::LoadStringW(os::NullHandle, 501, reinterpret_cast<char16_t*>(&pointer), 0), 6);
  EXPECT_EQ(std::u16string(pointer, 6), u"Ombrix");
  EXPECT_EQ(os::LoadStringW(os::NullHandle, 599, text, 8), 0);
  EXPECT_EQ(text[0], 0);
}

TEST(Windows, SendMessageRunsTheProcedureWhichMayCloseItsWindow) {
  sim::Reset();
  sim::AddWindow(u"Shell_TrayWnd", u"");
  sim::Window viewer = sim::AddWindow(u"#32770", u"Ombrix_Viewer", [](sim::Window self, std::uint32_t message,
                                                                      std::uintptr_t, std::intptr_t) -> std::intptr_t {
    if (message == 0x8024) sim::RemoveWindow(self);
    return 7;
  });
  auto send = [](sim::Window window, std::uint32_t message, std::uint32_t flags, std::uint32_t timeoutMs) {
    std::uintptr_t answer = 0;
    return os::SendMessageTimeoutW(window, message, 0, 0, flags, timeoutMs, &answer) != 0 ? int(answer) : -1;
  };
  EXPECT_EQ(os::FindWindowW(u"#32770", u"ombrix_viewer"), viewer);
  EXPECT_EQ(os::FindWindowW(u"#32770", u"Other"), 0u);
  EXPECT_EQ(send(viewer, 0x10, 0, 1000), 7);
  EXPECT_TRUE(sim::WindowExists(viewer));

  // A window whose thread does not answer: at once when asked to abort, else after the time-out.
  sim::HangWindow(viewer);
  os::FileTime start = sim::Now();
  EXPECT_EQ(send(viewer, 0x10, os::SmtoAbortIfHung, 2000) + send(viewer, 0x10, 0, 2000), -2);
  EXPECT_EQ(os::GetLastError(), os::ErrorTimeout);
  EXPECT_EQ(sim::Now(), start + 2 * sim::Second);
  sim::HangWindow(viewer, false);

  send(viewer, 0x8024, 0, 1000);
  EXPECT_FALSE(sim::WindowExists(viewer));
  EXPECT_EQ(os::FindWindowW(u"#32770", u"Ombrix_Viewer"), 0u);
  EXPECT_EQ(send(viewer, 0x8024, 0, 1000), -1);
  EXPECT_EQ(os::GetLastError(), os::ErrorInvalidWindowHandle);
  ASSERT_EQ(sim::SentMessages().size(), 4u) << "a message to a window that is gone reaches nobody";
  EXPECT_EQ(sim::SentMessages()[3].message, 0x8024u);
}

const char16_t* const Uninstall = u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ombrix";

TEST(RegistryRemoval, StringsGainTheirTerminatorAndKeysGoOnlyWithoutSubkeys) {
  sim::Reset();
  os::Key key = 0;
  ASSERT_EQ(os::RegCreateKeyW(os::HkeyLocalMachine, Uninstall, &key), 0);
  const char16_t name[] = u"Ombrix";
  ASSERT_EQ(os::RegSetValueExW(key, u"DisplayName", os::RegSz, name, 12), 0);
  EXPECT_EQ(sim::GetRegValue(os::HkeyLocalMachine, Uninstall, u"DisplayName")->data.size(), 14u)
      << "the null after the counted text is stored too";
  const char16_t longer[] = u"OmbrixX";
  ASSERT_EQ(os::RegSetValueExW(key, u"Publisher", os::RegSz, longer, 12), 0);
  EXPECT_EQ(sim::GetRegValue(os::HkeyLocalMachine, Uninstall, u"Publisher")->data.size(), 12u);
  ASSERT_EQ(os::RegSetValueExW(key, u"DisplayIcon", os::RegBinary, name, 12), 0);
  EXPECT_EQ(sim::GetRegValue(os::HkeyLocalMachine, Uninstall, u"DisplayIcon")->data.size(), 12u);
  EXPECT_EQ(sim::RegValueNames(os::HkeyLocalMachine, Uninstall),
            (std::vector<std::u16string>{u"DisplayName", u"Publisher", u"DisplayIcon"}));

  EXPECT_EQ(os::RegDeleteValueW(key, u"Publisher"), 0);
  EXPECT_EQ(os::RegDeleteValueW(key, u"Publisher"), static_cast<std::int32_t>(os::ErrorFileNotFound));
  EXPECT_FALSE(sim::GetRegValue(os::HkeyLocalMachine, Uninstall, u"Publisher"));
  os::RegCloseKey(key);

  sim::CreateRegKey(os::HkeyLocalMachine, std::u16string(Uninstall) + u"\\Sub");
  EXPECT_EQ(os::RegDeleteKeyW(os::HkeyLocalMachine, Uninstall), static_cast<std::int32_t>(os::ErrorAccessDenied));
  EXPECT_TRUE(sim::RegKeyExists(os::HkeyLocalMachine, Uninstall));
  sim::DeleteRegKey(os::HkeyLocalMachine, std::u16string(Uninstall) + u"\\Sub");
  EXPECT_EQ(os::RegDeleteKeyW(os::HkeyLocalMachine, Uninstall), 0);
  EXPECT_FALSE(sim::RegKeyExists(os::HkeyLocalMachine, Uninstall));
  EXPECT_TRUE(sim::RegKeyExists(os::HkeyLocalMachine, u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"));
  EXPECT_EQ(os::RegDeleteKeyW(os::HkeyLocalMachine, Uninstall), static_cast<std::int32_t>(os::ErrorFileNotFound));
}

}  // namespace
