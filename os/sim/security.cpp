// Security of the plain file store: owners, DACLs and their inheritance, the access check of the
// unprivileged user, and the self-relative security descriptors GetKernelObjectSecurity returns.
//
// Facts from Microsoft's documentation: the well-known SIDs ("Well-known SIDs", [MS-DTYP] 2.4.2.4),
// the SDDL ACE strings and aliases ("ACE Strings", "SID Strings", "Access Rights" of SDDL), the
// file access rights and their generic mapping ("File Security and Access Rights", FILE_GENERIC_*),
// the inheritance of ACEs by new files and directories ("ACE Inheritance Rules", "Automatic
// Propagation of Inheritable ACEs": CREATOR OWNER replaced by the new object's owner, generic
// rights mapped in the effective copy, an inherit-only copy kept for the next level), the order of
// the access check ("How DACLs Control Access to an Object"), what deleting, renaming and creating
// entries need (DELETE on the entry or FILE_DELETE_CHILD on its directory; FILE_ADD_FILE or
// FILE_ADD_SUBDIRECTORY on the target directory), and the self-relative layouts of [MS-DTYP]
// 2.4.6 SECURITY_DESCRIPTOR, 2.4.5 ACL, 2.4.4.1 ACE_HEADER, 2.4.4.2 ACCESS_ALLOWED_ACE, 2.4.2 SID.
// The default descriptors of a drive root and of Program Files are those of a Windows 10 install.
#include "os/sim/machine.h"

#include <algorithm>
#include <cstring>

namespace sim::detail {

static_assert(BackupSemanticsFlag == os::FileFlagBackupSemantics && OpenReparsePointFlag == os::FileFlagOpenReparsePoint,
              "os.h's CreateFileW flags");
static_assert(AddFileRight == os::FileAddFile && AddSubdirectoryRight == os::FileAddSubdirectory &&
                  DeleteChildRight == os::FileDeleteChild && DeleteRight == os::AccessDelete &&
                  ReadControlRight == os::ReadControl,
              "os.h's access rights");
static_assert(OwnerInformation == os::OwnerSecurityInformation && DaclInformation == os::DaclSecurityInformation,
              "os.h's SECURITY_INFORMATION bits");

namespace {

constexpr std::uint8_t AllowedAce = 0, DeniedAce = 1;
constexpr std::uint8_t ObjectInherit = 0x1, ContainerInherit = 0x2, NoPropagate = 0x4, InheritOnly = 0x8,
                       Inherited = 0x10;

// Rights ([MS-DTYP] 2.4.3, "File Security and Access Rights").
constexpr std::uint32_t WriteDacRight = 0x40000;

constexpr char16_t SystemSid[] = u"S-1-5-18";
constexpr char16_t AdministratorsSid[] = u"S-1-5-32-544";
constexpr char16_t UsersSid[] = u"S-1-5-32-545";
constexpr char16_t AuthenticatedUsersSid[] = u"S-1-5-11";
constexpr char16_t EveryoneSid[] = u"S-1-1-0";
constexpr char16_t InteractiveSid[] = u"S-1-5-4";
constexpr char16_t CreatorOwnerSid[] = u"S-1-3-0";
constexpr char16_t CreatorGroupSid[] = u"S-1-3-1";
constexpr char16_t AllAppPackagesSid[] = u"S-1-15-2-1";
constexpr char16_t TrustedInstallerSid[] = u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// The unprivileged user of sim.h, a local account of the machine.
constexpr char16_t UserSid[] = u"S-1-5-21-1004336348-1177238915-682003330-1001";
// Wine's one user, owner of every file it reports (wineserver's token).
constexpr char16_t WineUserSid[] = u"S-1-5-21-0-0-0-1000";

struct Alias {
  std::u16string_view name;
  std::u16string_view sid;
};
constexpr Alias Aliases[] = {
    {u"SY", SystemSid},
    {u"BA", AdministratorsSid},
    {u"BU", UsersSid},
    {u"AU", AuthenticatedUsersSid},
    {u"WD", EveryoneSid},
    {u"IU", InteractiveSid},
    {u"CO", CreatorOwnerSid},
    {u"CG", CreatorGroupSid},
    {u"AC", AllAppPackagesSid},
    {u"NT AUTHORITY\\SYSTEM", SystemSid},
    {u"BUILTIN\\Administrators", AdministratorsSid},
    {u"BUILTIN\\Users", UsersSid},
    {u"NT AUTHORITY\\Authenticated Users", AuthenticatedUsersSid},
    {u"NT SERVICE\\TrustedInstaller", TrustedInstallerSid},
    {u"DESKTOP\\user", UserSid},
};

// The two-letter names of SDDL's access rights and ACE flags.
struct Named {
  std::u16string_view name;
  std::uint32_t bits;
};
constexpr Named Rights[] = {
    {u"FA", FileAllAccess},     {u"FR", FileGenericRead},   {u"FW", FileGenericWrite}, {u"FX", FileGenericExecute},
    {u"GA", GenericAll},        {u"GR", GenericReadRight},  {u"GW", GenericWriteRight}, {u"GX", GenericExecute},
    {u"SD", DeleteRight},       {u"RC", ReadControlRight},  {u"WD", WriteDacRight},    {u"WO", 0x80000},
};
constexpr Named Flags[] = {{u"OI", ObjectInherit}, {u"CI", ContainerInherit}, {u"NP", NoPropagate},
                           {u"IO", InheritOnly},   {u"ID", Inherited}};

// The bits of a run of two-letter names ("OICI", "FAWD"); false for a name not in the table.
template <std::size_t N>
bool ParseNames(std::u16string_view text, const Named (&table)[N], std::uint32_t* bits) {
  *bits = 0;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const Named* end = table + N;
    const Named* it = std::find_if(table, end, [&](const Named& n) { return n.name == text.substr(i, 2); });
    if (it == end) return false;
    *bits |= it->bits;
  }
  return true;
}

bool ParseMask(std::u16string_view text, std::uint32_t* mask) {
  *mask = 0;
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    for (char16_t c : text.substr(2)) {
      int digit = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10
                  : c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
      if (digit < 0) return false;
      *mask = *mask << 4 | std::uint32_t(digit);
    }
    return true;
  }
  return ParseNames(text, Rights, mask);
}

// "A;OICI;FA;;;SY"
bool ParseAce(std::u16string_view text, Ace* ace) {
  std::u16string_view fields[6];
  for (int i = 0; i < 6; ++i) {
    std::size_t cut = text.find(u';');
    if ((cut == std::u16string_view::npos) != (i == 5)) return false;
    fields[i] = text.substr(0, cut);
    text = cut == std::u16string_view::npos ? std::u16string_view() : text.substr(cut + 1);
  }
  if (fields[0] != u"A" && fields[0] != u"D") return false;
  ace->type = fields[0] == u"A" ? AllowedAce : DeniedAce;
  std::uint32_t flags = 0;
  if (!ParseNames(fields[1], Flags, &flags)) return false;
  ace->flags = std::uint8_t(flags);
  if (!ParseMask(fields[2], &ace->mask) || !fields[3].empty() || !fields[4].empty()) return false;
  ace->sid = SidOf(fields[5]);
  return !ace->sid.empty();
}

// The ACEs a new object takes from its parent's DACL.
std::vector<Ace> InheritedAces(const Security& parent, bool container, const std::u16string& owner) {
  std::vector<Ace> out;
  for (const Ace& ace : parent.dacl) {
    bool toObject = container ? (ace.flags & ContainerInherit) != 0 : (ace.flags & ObjectInherit) != 0;
    bool passOn = container && (ace.flags & NoPropagate) == 0 &&
                  (ace.flags & (ObjectInherit | ContainerInherit)) != 0;
    bool creator = ace.sid == CreatorOwnerSid || ace.sid == CreatorGroupSid;
    if (toObject) {
      // The effective copy: no inheritance flags, generic rights mapped, the creator replaced.
      Ace effective{ace.type, Inherited, MappedFileAccess(ace.mask), creator ? owner : ace.sid};
      out.push_back(effective);
    }
    if (passOn && (toObject ? (creator || (ace.mask & 0xF0000000) != 0) : true)) {
      // Kept for the next level: inherit-only when it does not (or not as it stands) apply here.
      Ace next = ace;
      next.flags = std::uint8_t((ace.flags & (ObjectInherit | ContainerInherit)) | InheritOnly | Inherited);
      out.push_back(next);
    } else if (passOn) {
      out.back().flags = std::uint8_t(Inherited | (ace.flags & (ObjectInherit | ContainerInherit)));
    }
  }
  return out;
}

void PutSid(std::vector<std::uint8_t>& out, const std::u16string& sid) {
  // "S-1-<authority>-<sub>-<sub>..." -> revision, count, 6-byte big-endian authority, subauthorities.
  std::vector<std::uint64_t> parts;
  std::uint64_t value = 0;
  for (std::size_t i = 2; i <= sid.size(); ++i) {
    if (i == sid.size() || sid[i] == u'-') {
      parts.push_back(value);
      value = 0;
    } else {
      value = value * 10 + std::uint64_t(sid[i] - u'0');
    }
  }
  out.push_back(std::uint8_t(parts[0]));
  out.push_back(std::uint8_t(parts.size() - 2));
  for (int shift = 40; shift >= 0; shift -= 8) out.push_back(std::uint8_t(parts[1] >> shift));
  for (std::size_t i = 2; i < parts.size(); ++i) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(std::uint8_t(parts[i] >> shift));
  }
}

void Put16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  out[at] = std::uint8_t(value);
  out[at + 1] = std::uint8_t(value >> 8);
}
void Put32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + std::size_t(i)] = std::uint8_t(value >> (8 * i));
}

// What Wine 8 reports for every file and directory: its user as owner, and a DACL made from the
// Unix mode (SYSTEM and the user full access, Everyone read and execute for mode 755).
Security WineSecurity() {
  Security wine;
  wine.owner = WineUserSid;
  wine.dacl = {{AllowedAce, ObjectInherit | ContainerInherit, FileAllAccess, SystemSid},
               {AllowedAce, ObjectInherit | ContainerInherit, FileAllAccess, WineUserSid},
               {AllowedAce, ObjectInherit | ContainerInherit, FileGenericRead | FileGenericExecute, EveryoneSid}};
  return wine;
}

}  // namespace

std::u16string SidOf(std::u16string_view nameOrSid) {
  if (nameOrSid.substr(0, 2) == u"S-") return std::u16string(nameOrSid);
  for (const Alias& alias : Aliases) {
    if (alias.name == nameOrSid) return std::u16string(alias.sid);
  }
  return {};
}

std::u16string NameOfSid(const std::u16string& sid) {
  for (const Alias& alias : Aliases) {
    if (alias.sid == sid && alias.name.size() > 2) return std::u16string(alias.name);
  }
  return sid;
}

bool ParseSddl(std::u16string_view sddl, Security* out) {
  *out = Security{};
  bool sawDacl = false;
  while (!sddl.empty()) {
    if (sddl.size() < 2 || sddl[1] != u':') return false;
    char16_t part = sddl[0];
    sddl.remove_prefix(2);
    if (part == u'O' || part == u'G') {
      std::size_t cut = sddl.find(u':');
      std::u16string_view text = sddl.substr(0, cut == std::u16string_view::npos ? sddl.size() : cut - 1);
      sddl.remove_prefix(text.size());
      std::u16string sid = SidOf(text);
      if (sid.empty()) return false;
      if (part == u'O') out->owner = sid;
      continue;
    }
    if (part != u'D' || sawDacl) return false;   // a SACL is not modelled
    sawDacl = true;
    while (!sddl.empty() && sddl[0] != u'(') {
      if (sddl.substr(0, 1) == u"P") out->protectedDacl = true;
      else if (sddl.substr(0, 2) == u"AI" || sddl.substr(0, 2) == u"AR") sddl.remove_prefix(1);
      else return false;   // NO_ACCESS and others are not modelled
      sddl.remove_prefix(1);
    }
    while (!sddl.empty() && sddl[0] == u'(') {
      std::size_t close = sddl.find(u')');
      if (close == std::u16string_view::npos) return false;
      Ace ace;
      if (!ParseAce(sddl.substr(1, close - 1), &ace)) return false;
      out->dacl.push_back(ace);
      sddl.remove_prefix(close + 1);
    }
  }
  return true;
}

Security NewSecurity(const std::u16string& parentKey, bool container, std::u16string_view owner, const char16_t* sddl) {
  Security security;
  if (sddl && !ParseSddl(sddl, &security)) security = Security{};
  if (security.owner.empty()) security.owner = SidOf(owner);
  if (!security.protectedDacl) {
    std::vector<Ace> inherited = InheritedAces(SecurityAt(parentKey), container, security.owner);
    security.dacl.insert(security.dacl.end(), inherited.begin(), inherited.end());
  }
  return security;
}

std::shared_ptr<PlainFile> RootEntry(const std::u16string& key) {
  auto& roots = M().roots;
  auto it = roots.find(key);
  if (it != roots.end()) return it->second;
  auto root = std::make_shared<PlainFile>();
  root->kind = PlainKind::Directory;
  root->path = std::u16string{static_cast<char16_t>(key[0] - u'a' + u'A'), u':', u'\\'};
  root->attributes = os::FileAttributeDirectory;
  // A new system drive's root: users may add folders and modify what they create in them.
  ParseSddl(u"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
            u"D:(A;OICIIO;0x1301bf;;;AU)(A;;0x4;;;AU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
            &root->security);
  roots[key] = root;
  return root;
}

Security SecurityAt(const std::u16string& key) {
  if (M().wineSecurity) return WineSecurity();
  if (key.size() == 3) return RootEntry(key)->security;
  if (const PlainFile* entry = PlainAt(key)) return entry->security;
  // A directory nobody stored (on the way to the running program): SYSTEM made it.
  Security implicit;
  implicit.owner = SystemSid;
  implicit.dacl = InheritedAces(SecurityAt(ParentKey(key)), true, implicit.owner);
  return implicit;
}

bool UserGranted(const std::u16string& key, std::uint32_t rights) {
  Security security = SecurityAt(key);
  // The owner may rewrite the DACL, so nothing is out of their reach.
  if (security.owner == UserSid || !security.daclPresent) return true;
  const std::u16string_view token[] = {UserSid, EveryoneSid, AuthenticatedUsersSid, UsersSid, InteractiveSid};
  std::uint32_t granted = 0;
  for (const Ace& ace : security.dacl) {
    if (ace.flags & InheritOnly) continue;
    bool mine = false;
    for (std::u16string_view sid : token) mine = mine || ace.sid == sid;
    if (!mine) continue;
    std::uint32_t mask = MappedFileAccess(ace.mask);
    if (ace.type == DeniedAce && (mask & rights & ~granted) != 0) return false;
    if (ace.type == AllowedAce) granted |= mask;
  }
  return (rights & ~granted) == 0;
}

std::vector<std::uint8_t> SelfRelativeDescriptor(const Security& security, std::uint32_t requested) {
  constexpr std::uint16_t SeDaclPresent = 0x4, SeDaclProtected = 0x1000, SeSelfRelative = 0x8000;
  std::vector<std::uint8_t> out(20, 0);
  out[0] = 1;   // revision
  std::uint32_t control = SeSelfRelative;
  if (requested & OwnerInformation) {
    Put32(out, 4, std::uint32_t(out.size()));
    PutSid(out, security.owner);
  }
  if ((requested & DaclInformation) && security.daclPresent) {
    control |= SeDaclPresent | (security.protectedDacl ? SeDaclProtected : 0);
    std::size_t acl = out.size();
    Put32(out, 16, std::uint32_t(acl));
    out.resize(acl + 8, 0);
    out[acl] = 2;   // ACL_REVISION
    for (const Ace& ace : security.dacl) {
      std::size_t at = out.size();
      out.resize(at + 8, 0);
      out[at] = ace.type;
      out[at + 1] = ace.flags;
      Put32(out, at + 4, ace.mask);
      PutSid(out, ace.sid);
      Put16(out, at + 2, std::uint32_t(out.size() - at));
    }
    Put16(out, acl + 2, std::uint32_t(out.size() - acl));
    Put16(out, acl + 4, std::uint32_t(security.dacl.size()));
  }
  Put16(out, 2, control);
  return out;
}

}  // namespace sim::detail

// =============================================================================================
// Test API.

namespace sim {

using namespace detail;

void SetSecurity(std::u16string_view path, std::u16string_view sddl) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key;
  if (ResolvePlain(path, false, &key, nullptr) != 0) return;
  std::shared_ptr<PlainFile> entry = key.size() == 3 ? RootEntry(key) : nullptr;
  if (!entry) {
    auto it = M().plainFiles.find(key);
    if (it == M().plainFiles.end()) return;
    entry = it->second;
  }
  Security security;
  if (!ParseSddl(sddl, &security)) return;
  if (security.owner.empty()) security.owner = entry->security.owner;
  entry->security = security;
  entry->sddl = std::u16string(sddl);
}

bool UserMay(std::u16string_view path, std::uint32_t rights) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key;
  return ResolvePlain(path, false, &key, nullptr) == 0 && UserGranted(key, rights);
}

void EmulateWine(bool security, bool exportsVersion) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().wineSecurity = security;
  M().wineExport = exportsVersion;
}

}  // namespace sim

// =============================================================================================
// os:: functions.

namespace os {

using namespace sim::detail;

bool GetKernelObjectSecurity(Handle object, std::uint32_t requested, void* descriptor, std::uint32_t size,
                             std::uint32_t* needed) {
  if (std::uint32_t error = CallGate(Fn::GetKernelObjectSecurity)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(object);
  if (!entry || entry->kind != HandleKind::PlainFile) return Fails(ErrorInvalidHandle);
  if ((entry->access & ReadControlRight) == 0) return Fails(ErrorAccessDenied);
  Security security = M().wineSecurity ? WineSecurity() : entry->file->security;
  std::vector<std::uint8_t> bytes = SelfRelativeDescriptor(security, requested);
  if (needed) *needed = std::uint32_t(bytes.size());
  if (!descriptor || size < bytes.size()) return Fails(ErrorInsufficientBuffer);
  std::memcpy(descriptor, bytes.data(), bytes.size());
  return true;
}

std::uintptr_t GetProcAddress(Handle module, const char* name) {
  if (std::uint32_t error = CallGate(Fn::GetProcAddress)) {
    SetLastError(error);
    return 0;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  // Only Wine's ntdll has this export.
  if (module == NtdllBase && name && std::strcmp(name, "wine_get_version") == 0 && M().wineExport) return 0x77001000;
  SetLastError(127);   // ERROR_PROC_NOT_FOUND
  return 0;
}

}  // namespace os
