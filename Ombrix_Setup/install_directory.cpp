// The install directory is used only when no account but SYSTEM, Administrators and
// TrustedInstaller can change it or what the setup puts into it: everything there runs as
// LocalSystem (the service), elevated (the setup, from Programs and Features) or in every user's
// session (the viewer). The directory and every folder above it are opened, checked through their
// handles and kept open, not shared for deletion, so that none of them can be renamed or
// replaced between the check and the last use.
#include <cstring>

#include "Ombrix_Setup/setup.h"
#include "Ombrix_Setup/setup_actions.h"

namespace {

constexpr int MaxHeldFolders = 64;
os::Handle HeldFolders[MaxHeldFolders];
int HeldCount = 0;
bool InstallDirectoryChecked = false;

// The security descriptor, read by handle: self-relative, owner and DACL only. Large enough for
// any DACL (an ACL is at most 64 KiB).
constexpr std::uint32_t DescriptorCapacity = 20 + 68 + 65536;
alignas(4) std::uint8_t Descriptor[DescriptorCapacity];

// Layouts of [MS-DTYP]: 2.4.6 SECURITY_DESCRIPTOR (self-relative), 2.4.5 ACL, 2.4.4.1 ACE_HEADER,
// 2.4.4.2 ACCESS_ALLOWED_ACE, 2.4.2 SID.
constexpr std::uint16_t SeDaclPresent = 0x0004;
constexpr std::uint16_t SeSelfRelative = 0x8000;
constexpr std::uint8_t AccessAllowedAceType = 0x0;
constexpr std::uint8_t ObjectInheritAce = 0x1, ContainerInheritAce = 0x2, InheritOnlyAce = 0x8;
// ACE types that only deny: ACCESS_DENIED, _OBJECT, _CALLBACK, _CALLBACK_OBJECT.
bool DeniesOnly(std::uint8_t type) { return type == 0x1 || type == 0x6 || type == 0xA || type == 0xC; }

// What another account must not hold on the install directory: writing into it (adding files or
// folders, extended attributes, attributes, which include making it a junction), deleting or
// renaming it or its entries, changing its permissions or owner. Also, through the ACEs it passes
// on, on the files and folders the setup puts into it.
constexpr std::uint32_t DirectoryWriteRights = os::FileAddFile | os::FileAddSubdirectory | os::FileWriteEa |
                                               os::FileDeleteChild | os::FileWriteAttributes | os::AccessDelete |
                                               os::WriteDac | os::WriteOwner | os::GenericAll | os::GenericWrite;
// What another account must not hold on a folder above it: deleting or renaming its entries, or
// the folder itself (a root has no name to lose), changing its permissions or owner.
constexpr std::uint32_t FolderRenameRights =
    os::FileDeleteChild | os::AccessDelete | os::WriteDac | os::WriteOwner | os::GenericAll;
constexpr std::uint32_t RootRenameRights = os::FileDeleteChild | os::WriteDac | os::WriteOwner | os::GenericAll;


// A SID as its authority and subauthorities.
struct WellKnownSid {
  std::uint8_t authority;
  std::uint8_t count;
  std::uint32_t sub[5];
};
constexpr WellKnownSid LocalSystem = {5, 1, {18}};
constexpr WellKnownSid Administrators = {5, 2, {32, 544}};
constexpr WellKnownSid TrustedInstaller = {5, 6, {80, 956008885, 3418522649, 1831038044, 1853292631}};
constexpr std::uint32_t TrustedInstallerLast = 2271478464;
constexpr WellKnownSid CreatorOwner = {3, 1, {0}};
// Wine's one user: on Wine every process of the prefix runs under it, with every right.
constexpr WellKnownSid WineUser = {5, 5, {21, 0, 0, 0, 1000}};

// The length of the SID at `p` within `end`, 0 when it does not fit.
std::size_t SidLength(const std::uint8_t* p, const std::uint8_t* end) {
  if (end - p < 8 || p[0] != 1) return 0;
  std::size_t length = 8 + 4 * std::size_t(p[1]);
  return std::size_t(end - p) >= length ? length : 0;
}

bool SidIs(const std::uint8_t* sid, const WellKnownSid& known, std::uint32_t sixth = 0) {
  std::uint8_t count = sid[1];
  if (count != known.count) return false;
  for (int i = 2; i < 7; ++i) {
    if (sid[i] != 0) return false;
  }
  if (sid[7] != known.authority) return false;
  for (int i = 0; i < count; ++i) {
    std::uint32_t expected = i < 5 ? known.sub[i] : sixth;
    if (Read32(sid + 8 + 4 * i) != expected) return false;
  }
  return true;
}

bool RunsOnWine() {
  os::Handle ntdll = os::GetModuleHandleW(u"ntdll.dll");
  return ntdll != os::NullHandle && os::GetProcAddress(ntdll, "wine_get_version") != 0;
}

// SYSTEM, Administrators, TrustedInstaller; on Wine also its user, which every process there is.
bool TrustedSid(const std::uint8_t* sid, bool wine) {
  return SidIs(sid, LocalSystem) || SidIs(sid, Administrators) ||
         SidIs(sid, TrustedInstaller, TrustedInstallerLast) || (wine && SidIs(sid, WineUser));
}

enum class FolderRole { InstallDirectory, Above, Root };

// True when the descriptor's owner is trusted and its DACL gives no other account any of the
// rights the folder's role forbids.
bool DescriptorTrusted(const std::uint8_t* sd, std::uint32_t size, FolderRole role, bool wine) {
  const std::uint8_t* end = sd + size;
  if (size < 20 || sd[0] != 1 || (Read16(sd + 2) & SeSelfRelative) == 0) return false;
  std::uint32_t ownerOffset = Read32(sd + 4), daclOffset = Read32(sd + 16);
  if (ownerOffset == 0 || ownerOffset >= size || SidLength(sd + ownerOffset, end) == 0) return false;
  if (!TrustedSid(sd + ownerOffset, wine)) return false;
  // No DACL grants everyone everything.
  if ((Read16(sd + 2) & SeDaclPresent) == 0 || daclOffset == 0 || daclOffset > size - 8) return false;
  const std::uint8_t* acl = sd + daclOffset;
  std::uint16_t aclSize = Read16(acl + 2), count = Read16(acl + 4);
  if (aclSize < 8 || aclSize > end - acl) return false;
  const std::uint8_t* aclEnd = acl + aclSize;
  const std::uint8_t* ace = acl + 8;
  std::uint32_t forbidden = role == FolderRole::InstallDirectory ? DirectoryWriteRights
                            : role == FolderRole::Above          ? FolderRenameRights
                                                                 : RootRenameRights;
  for (std::uint16_t i = 0; i < count; ++i) {
    if (aclEnd - ace < 4) return false;
    std::uint8_t type = ace[0], flags = ace[1];
    std::uint16_t aceSize = Read16(ace + 2);
    if (aceSize < 4 || aceSize > aclEnd - ace) return false;
    const std::uint8_t* next = ace + aceSize;
    if (!DeniesOnly(type)) {
      // An allowing ACE of a kind not read here (object, callback) could grant anything.
      if (type != AccessAllowedAceType || aceSize < 8 || SidLength(ace + 8, next) == 0) return false;
      std::uint32_t mask = Read32(ace + 4);
      const std::uint8_t* trustee = ace + 8;
      bool applies = (flags & InheritOnlyAce) == 0;
      // Inherited by what the setup creates inside; CREATOR OWNER then becomes the setup itself.
      bool passesOn = role == FolderRole::InstallDirectory && (flags & (ObjectInheritAce | ContainerInheritAce)) != 0;
      bool creator = SidIs(trustee, CreatorOwner);
      if (!TrustedSid(trustee, wine) && !creator && (mask & forbidden) != 0 && (applies || passesOn)) return false;
    }
    ace = next;
  }
  return true;
}

// Opens a folder itself (never through a junction at its name), for reading its security and
// attributes, sharing reading and writing but not deletion: while open, nobody can rename or
// delete it. The listing right is what makes the share mode count: an open with no data access
// takes part in no share-mode check, and would pin nothing.
os::Handle OpenFolder(const char16_t* path) {
  return os::CreateFileW(path, os::FileListDirectory | os::ReadControl | os::FileReadAttributes | os::Synchronize,
                         os::FileShareRead | os::FileShareWrite, os::OpenExisting,
                         os::FileFlagBackupSemantics | os::FileFlagOpenReparsePoint);
}

// 0 when the open folder is a plain directory (no reparse point) whose security its role allows.
std::uint32_t CheckFolder(os::Handle folder, FolderRole role, bool wine) {
  os::ByHandleFileInformation info = {};
  if (!os::GetFileInformationByHandle(folder, &info)) return os::GetLastError();
  if ((info.dwFileAttributes & os::FileAttributeDirectory) == 0) return os::ErrorDirectory;
  if ((info.dwFileAttributes & os::FileAttributeReparsePoint) != 0) return os::TrustESubjectNotTrusted;
  std::uint32_t needed = 0;
  if (!os::GetKernelObjectSecurity(folder, os::OwnerSecurityInformation | os::DaclSecurityInformation, Descriptor,
                                   DescriptorCapacity, &needed)) {
    return os::GetLastError();
  }
  std::uint32_t size = needed != 0 && needed <= DescriptorCapacity ? needed : DescriptorCapacity;
  return DescriptorTrusted(Descriptor, size, role, wine) ? 0 : os::TrustESubjectNotTrusted;
}

// Opens, keeps and checks one folder; 0 when it passes.
std::uint32_t HoldFolder(const char16_t* path, FolderRole role, bool wine) {
  if (HeldCount == MaxHeldFolders) return os::ErrorInvalidName;
  os::Handle folder = OpenFolder(path);
  if (folder == os::InvalidHandleValue) return os::GetLastError();
  HeldFolders[HeldCount++] = folder;
  return CheckFolder(folder, role, wine);
}

std::uint32_t HoldAll(bool create) {
  const char16_t* directory = Installer.installDirectory;
  if (!IsUsableDirectory(directory)) return os::ErrorPathNotFound;
  bool wine = RunsOnWine();
  // The root, then each folder below it, then the directory itself.
  char16_t folder[DirectoryCapacity];
  std::size_t length = 0;
  for (const char16_t* p = directory; *p != 0; ++p, ++length) {
    if (*p != u'\\' || p[1] == 0) continue;
    std::memcpy(folder, directory, (length + 1) * sizeof(char16_t));
    folder[length == 2 ? length + 1 : length] = 0;   // "X:\" keeps its backslash
    if (std::uint32_t error = HoldFolder(folder, length == 2 ? FolderRole::Root : FolderRole::Above, wine)) {
      return error;
    }
  }
  os::Handle probe = OpenFolder(directory);
  if (probe == os::InvalidHandleValue) {
    std::uint32_t error = os::GetLastError();
    if (!create || (error != os::ErrorFileNotFound && error != os::ErrorPathNotFound)) return error;
    // Made with its final, protected access list; what someone else put there meanwhile is
    // checked as found.
    if (!os::CreateDirectoryW(directory, InstallDirectorySddl) && os::GetLastError() != os::ErrorAlreadyExists) {
      return os::GetLastError();
    }
  } else {
    os::CloseHandle(probe);
  }
  return HoldFolder(directory, FolderRole::InstallDirectory, wine);
}

}  // namespace

std::uint32_t HoldInstallDirectory(bool create) {
  if (InstallDirectoryChecked) return 0;
  std::uint32_t error = HoldAll(create);
  if (error != 0) {
    ReleaseInstallDirectory();
    return error;
  }
  InstallDirectoryChecked = true;
  return 0;
}

bool InstallDirectoryHeld() { return InstallDirectoryChecked; }

void ReleaseInstallDirectory() {
  while (HeldCount > 0) os::CloseHandle(HeldFolders[--HeldCount]);
  InstallDirectoryChecked = false;
}
