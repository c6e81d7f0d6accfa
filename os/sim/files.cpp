// Plain files and directories (the statistics file, the installer's folders and the like),
// junctions and file links, volume devices opened by name, and the opens held by other programs.
#include "os/sim/machine.h"

#include <algorithm>
#include <cstring>

namespace sim::detail {

namespace {

constexpr std::uint32_t CreateNew = 1;
constexpr std::uint32_t OpenAlways = 4;
constexpr std::uint32_t TruncateExisting = 5;
constexpr std::uint32_t StoredAttributes = 0x1 | 0x2 | 0x4 | 0x20;   // read-only, hidden, system, archive
constexpr std::uint32_t ReparseTagMountPoint = 0xA0000003;
constexpr std::uint32_t ReparseTagSymlink = 0xA000000C;
constexpr int MaxLinkHops = 31;

// "\\.\C:" -> drive index, else -1.
int VolumeDevicePath(std::u16string_view path) {
  if (path.size() != 6 || path.substr(0, 4) != u"\\\\.\\" || path[5] != u':') return -1;
  return DriveIndex(path[4]);
}

// An open that fails, as CreateFileW reports it.
os::Handle Refused(std::uint32_t error) {
  SetLastError(error);
  return os::InvalidHandleValue;
}

// "X:\a\\b\.\c\..\d\" -> drive letter and components {a, b, d}; false unless "X:\...".
bool SplitPlain(std::u16string_view path, char16_t* drive, std::vector<std::u16string_view>* parts) {
  path = StripLongPrefix(path);
  if (path.size() < 3 || path[1] != u':' || path[2] != u'\\' || DriveIndex(path[0]) < 0) return false;
  *drive = path[0] >= u'a' ? static_cast<char16_t>(path[0] - u'a' + u'A') : path[0];
  parts->clear();
  std::u16string_view rest = path.substr(3);
  while (!rest.empty()) {
    std::size_t cut = rest.find(u'\\');
    std::u16string_view part = rest.substr(0, cut);
    rest = cut == std::u16string_view::npos ? std::u16string_view() : rest.substr(cut + 1);
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts->empty()) parts->pop_back();
      continue;
    }
    parts->push_back(part);
  }
  return true;
}

std::u16string Join(const std::u16string& base, std::u16string_view part) {
  std::u16string out = base;
  if (out.back() != u'\\') out += u'\\';
  out += part;
  return out;
}

std::u16string LastComponent(std::u16string_view path) {
  std::size_t cut = path.find_last_of(u'\\');
  return std::u16string(cut == std::u16string_view::npos ? path : path.substr(cut + 1));
}

bool IsRootKey(const std::u16string& key) { return key.size() == 3 && key[1] == u':' && key[2] == u'\\'; }

// The key of the running program's directory.
std::u16string ModuleDirectoryKey() { return ParentKey(PlainKey(M().modulePath)); }

// True when `key` is `ancestor` or lies below it.
bool Within(const std::u16string& key, const std::u16string& ancestor) {
  if (key == ancestor) return true;
  std::u16string prefix = IsRootKey(ancestor) ? ancestor : ancestor + u'\\';
  return key.size() > prefix.size() && key.compare(0, prefix.size(), prefix) == 0;
}

std::size_t Depth(const std::u16string& key) {
  return IsRootKey(key) ? 0 : static_cast<std::size_t>(std::count(key.begin(), key.end(), u'\\'));
}

// Direct children of a directory key: stored entries, and the implicit directory on the way to
// the running program's directory.
std::vector<std::pair<std::u16string, PlainFile*>> Children(const std::u16string& key) {
  std::vector<std::pair<std::u16string, PlainFile*>> out;
  std::u16string prefix = IsRootKey(key) ? key : key + u'\\';
  auto& files = M().plainFiles;
  for (auto it = files.lower_bound(prefix); it != files.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    if (it->first.find(u'\\', prefix.size()) != std::u16string::npos) continue;
    out.emplace_back(LastComponent(it->second->path), it->second.get());
  }
  std::u16string module = ModuleDirectoryKey();
  if (!module.empty() && module != key && Within(module, key)) {
    std::size_t end = module.find(u'\\', prefix.size());
    std::u16string childKey = module.substr(0, end);
    if (!files.count(childKey)) {
      std::u16string path = NormalPath(M().modulePath);
      char16_t drive;
      std::vector<std::u16string_view> parts;
      SplitPlain(path, &drive, &parts);
      out.emplace_back(std::u16string(parts[Depth(key)]), nullptr);
    }
  }
  return out;
}

std::u16string UpperName(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  }
  return out;
}

// Case-insensitive '*' and '?' matching; "*.*" matches every name, as on Windows.
bool Matches(std::u16string_view pattern, std::u16string_view name) {
  if (pattern == u"*.*") pattern = u"*";
  std::size_t p = 0, n = 0, star = std::u16string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || Fold(pattern[p]) == Fold(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      mark = n;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

std::uint32_t AttributesOf(const PlainFile* entry) {
  if (!entry) return os::FileAttributeDirectory;
  switch (entry->kind) {
    case PlainKind::Directory:
      return entry->attributes | os::FileAttributeDirectory | (entry->target.empty() ? 0 : os::FileAttributeReparsePoint);
    case PlainKind::FileLink:
      return entry->attributes | os::FileAttributeReparsePoint;
    case PlainKind::File:
      break;
  }
  return entry->attributes;
}

void Split(FileTime t, std::uint32_t out[2]) {
  out[0] = static_cast<std::uint32_t>(t);
  out[1] = static_cast<std::uint32_t>(t >> 32);
}

os::FindData FindEntry(std::u16string_view name, const PlainFile* entry) {
  os::FindData data{};
  data.dwFileAttributes = AttributesOf(entry);
  if (entry) {
    Split(entry->creation, data.ftCreationTime);
    Split(entry->lastAccess, data.ftLastAccessTime);
    Split(entry->lastWrite, data.ftLastWriteTime);
    if (entry->kind == PlainKind::File) {
      data.nFileSizeHigh = static_cast<std::uint32_t>(entry->bytes.size() >> 32);
      data.nFileSizeLow = static_cast<std::uint32_t>(entry->bytes.size());
    }
    if (!entry->target.empty()) data.dwReserved0 = entry->kind == PlainKind::FileLink ? ReparseTagSymlink : ReparseTagMountPoint;
    std::size_t n = std::min<std::size_t>(entry->shortName.size(), 13);
    entry->shortName.copy(data.cAlternateFileName, n);
  }
  std::size_t n = std::min<std::size_t>(name.size(), 259);
  name.copy(data.cFileName, n);
  return data;
}

std::shared_ptr<PlainFile> NewEntry(PlainKind kind, const std::u16string& path) {
  auto entry = std::make_shared<PlainFile>();
  entry->kind = kind;
  entry->path = path;
  entry->creation = entry->lastAccess = entry->lastWrite = M().now;
  entry->attributes = kind == PlainKind::File ? 0x20 : kind == PlainKind::Directory ? os::FileAttributeDirectory : 0x20;
  return entry;
}

// The error of a missing last component: its directory is missing too, or only the entry.
std::uint32_t MissingError(const std::u16string& key) {
  return PlainDirectoryAt(ParentKey(key)) ? os::ErrorFileNotFound : os::ErrorPathNotFound;
}

bool ValidSddl(std::u16string_view sddl) {
  Security parsed;
  return ParseSddl(sddl, &parsed);
}

}  // namespace

// "X:\\a\\b" with the case of the path, normalised as keys are.
std::u16string NormalPath(std::u16string_view path) {
  char16_t drive;
  std::vector<std::u16string_view> parts;
  if (!SplitPlain(path, &drive, &parts)) return std::u16string();
  std::u16string out{drive, u':', u'\\'};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += u'\\';
    out += parts[i];
  }
  return out;
}

std::u16string PlainKey(std::u16string_view path) {
  char16_t drive;
  std::vector<std::u16string_view> parts;
  if (!SplitPlain(path, &drive, &parts)) return std::u16string();
  std::u16string key;
  key += Fold(drive);
  key += u":\\";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) key += u'\\';
    key += Folded(parts[i]);
  }
  return key;
}

std::u16string ParentKey(const std::u16string& key) {
  if (key.empty() || IsRootKey(key)) return key;
  std::size_t cut = key.find_last_of(u'\\');
  return cut <= 2 ? key.substr(0, 3) : key.substr(0, cut);
}

PlainFile* PlainAt(const std::u16string& key) {
  auto it = M().plainFiles.find(key);
  return it == M().plainFiles.end() ? nullptr : it->second.get();
}

bool PlainDirectoryAt(const std::u16string& key) {
  if (key.empty()) return false;
  if (IsRootKey(key)) return true;
  if (PlainFile* entry = PlainAt(key)) return entry->kind == PlainKind::Directory;
  std::u16string module = ModuleDirectoryKey();
  return !module.empty() && Within(module, key);
}

std::uint32_t ResolvePlain(std::u16string_view path, bool followLast, std::u16string* key, std::u16string* resolved) {
  char16_t drive;
  std::vector<std::u16string_view> parts;
  if (!SplitPlain(path, &drive, &parts)) return os::ErrorPathNotFound;
  std::vector<std::u16string> pending(parts.begin(), parts.end());
  std::u16string storedTarget;
  int hops = 0;
  for (;;) {
    std::u16string currentKey{Fold(drive), u':', u'\\'};
    std::u16string current{drive, u':', u'\\'};
    bool redirected = false;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      std::u16string nextKey = Join(currentKey, Folded(pending[i]));
      std::u16string next = Join(current, pending[i]);
      PlainFile* entry = PlainAt(nextKey);
      bool last = i + 1 == pending.size();
      if (entry && !entry->target.empty() && (!last || followLast)) {
        if (++hops > MaxLinkHops) return os::ErrorCantResolveFilename;
        std::vector<std::u16string_view> targetParts;
        storedTarget = entry->target;
        if (!SplitPlain(storedTarget, &drive, &targetParts)) return os::ErrorPathNotFound;
        std::vector<std::u16string> rest(targetParts.begin(), targetParts.end());
        rest.insert(rest.end(), pending.begin() + static_cast<std::ptrdiff_t>(i) + 1, pending.end());
        pending = std::move(rest);
        redirected = true;
        break;
      }
      currentKey = std::move(nextKey);
      current = std::move(next);
    }
    if (redirected) continue;
    *key = currentKey;
    if (resolved) *resolved = current;
    return 0;
  }
}

bool RunningImage(const std::u16string& key) {
  Machine& m = M();
  if (key.empty()) return false;
  if (key == PlainKey(m.modulePath)) return true;
  if (std::find(m.programs.begin(), m.programs.end(), key) != m.programs.end()) return true;
  for (const auto& [name, service] : m.services) {
    if (service.state != os::ServiceStopped && !service.runningImage.empty() && PlainKey(service.runningImage) == key)
      return true;
  }
  return false;
}

bool PlainFileInformation(const HandleEntry& entry, os::ByHandleFileInformation* info) {
  const PlainFile& file = *entry.file;
  os::ByHandleFileInformation out = {};
  out.dwFileAttributes = AttributesOf(&file);
  Split(file.creation, out.ftCreationTime);
  Split(file.lastAccess, out.ftLastAccessTime);
  Split(file.lastWrite, out.ftLastWriteTime);
  out.nFileSizeHigh = static_cast<std::uint32_t>(file.bytes.size() >> 32);
  out.nFileSizeLow = static_cast<std::uint32_t>(file.bytes.size());
  // Hard links are names of one file: every stored name of this object counts.
  for (const auto& [key, stored] : M().plainFiles) out.nNumberOfLinks += stored.get() == &file ? 1 : 0;
  if (out.nNumberOfLinks == 0) out.nNumberOfLinks = 1;   // a drive root or a directory opened on the way
  *info = out;
  return true;
}

void MakeParents(const std::u16string& path) {
  char16_t drive;
  std::vector<std::u16string_view> parts;
  if (!SplitPlain(path, &drive, &parts) || parts.empty()) return;
  std::u16string key{Fold(drive), u':', u'\\'};
  std::u16string stored{drive, u':', u'\\'};
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    key = Join(key, Folded(parts[i]));
    stored = Join(stored, parts[i]);
    if (PlainDirectoryAt(key)) continue;
    auto dir = NewEntry(PlainKind::Directory, stored);   // replaces a file in the way
    dir->security = NewSecurity(ParentKey(key), true, u"SY");   // folders a test takes for granted
    M().plainFiles[key] = dir;
  }
}

}  // namespace sim::detail

// =============================================================================================
// Test API.

namespace sim {

using namespace detail;

namespace {

// A test's entry at a resolved path, with the parents it needs.
std::shared_ptr<PlainFile> Plant(std::u16string_view path, PlainKind kind, bool followLast) {
  std::u16string key, resolved;
  if (ResolvePlain(path, followLast, &key, &resolved) != 0 || IsRootKey(key)) return nullptr;
  MakeParents(resolved);
  auto entry = NewEntry(kind, resolved);
  entry->security = NewSecurity(ParentKey(key), kind == PlainKind::Directory, AdministratorsOwner);
  M().plainFiles[key] = entry;
  return entry;
}

void Erase(const std::u16string& key) {
  auto& files = M().plainFiles;
  files.erase(key);
  std::u16string prefix = key + u'\\';
  for (auto it = files.lower_bound(prefix); it != files.end() && it->first.compare(0, prefix.size(), prefix) == 0;)
    it = files.erase(it);
}

}  // namespace

void PutFile(std::u16string_view path, std::vector<std::uint8_t> bytes, std::uint32_t attributes) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::shared_ptr<PlainFile> file = Plant(path, PlainKind::File, true);
  if (!file) return;
  file->bytes = std::move(bytes);
  file->attributes = attributes;
}

std::optional<std::vector<std::uint8_t>> FileBytes(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key;
  if (ResolvePlain(path, true, &key, nullptr) != 0) return std::nullopt;
  PlainFile* file = PlainAt(key);
  if (!file || file->kind != PlainKind::File) return std::nullopt;
  return file->bytes;
}

bool FileExists(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key;
  if (ResolvePlain(path, true, &key, nullptr) != 0) return false;
  PlainFile* file = PlainAt(key);
  return file && file->kind == PlainKind::File;
}

void RemoveFile(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key;
  if (ResolvePlain(path, false, &key, nullptr) != 0) return;
  PlainFile* file = PlainAt(key);
  if (file && file->kind != PlainKind::Directory) M().plainFiles.erase(key);
}

void MakeDirectory(std::u16string_view path, const DirectorySpec& spec) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key, resolved;
  if (ResolvePlain(path, true, &key, &resolved) != 0 || IsRootKey(key)) return;
  PlainFile* existing = PlainAt(key);
  std::shared_ptr<PlainFile> dir = existing && existing->kind == PlainKind::Directory ? M().plainFiles[key]
                                                                                      : Plant(path, PlainKind::Directory, true);
  dir->security = NewSecurity(ParentKey(key), true, spec.owner, spec.sddl.empty() ? nullptr : spec.sddl.c_str());
  dir->sddl = spec.sddl;
  dir->attributes = spec.attributes | os::FileAttributeDirectory;
}

void PlantJunction(std::u16string_view path, std::u16string_view target, std::u16string_view owner) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (auto link = Plant(path, PlainKind::Directory, false)) {
    link->target = NormalPath(target);
    link->security.owner = SidOf(owner);
  }
}

void PlantFileLink(std::u16string_view path, std::u16string_view target, std::u16string_view owner) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (auto link = Plant(path, PlainKind::FileLink, false)) {
    link->target = NormalPath(target);
    link->security.owner = SidOf(owner);
  }
}

void PlantHardLink(std::u16string_view path, std::u16string_view existing) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key, existingKey, resolved;
  if (ResolvePlain(existing, true, &existingKey, nullptr) != 0 || ResolvePlain(path, false, &key, &resolved) != 0) return;
  auto it = M().plainFiles.find(existingKey);
  if (it == M().plainFiles.end() || it->second->kind != PlainKind::File) return;
  MakeParents(resolved);
  M().plainFiles[key] = it->second;   // one file, two names
}

void RemoveTree(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key;
  if (ResolvePlain(path, false, &key, nullptr) == 0 && !IsRootKey(key)) Erase(key);
}

namespace {

// The key of the entry at a path (a link there itself, not its target); empty for a bad path or a root.
std::u16string UserEntryKey(std::u16string_view path, std::u16string* resolved = nullptr) {
  std::u16string key;
  if (ResolvePlain(path, false, &key, resolved) != 0 || IsRootKey(key)) return {};
  return key;
}

// Adding an entry to a directory: FILE_ADD_SUBDIRECTORY for a directory, FILE_ADD_FILE otherwise.
bool UserMayAdd(const std::u16string& key, bool directory) {
  return PlainDirectoryAt(ParentKey(key)) &&
         UserGranted(ParentKey(key), directory ? AddSubdirectoryRight : AddFileRight);
}

// Removing or renaming an entry: DELETE on it, or FILE_DELETE_CHILD on its directory.
bool UserMayRemove(const std::u16string& key) {
  return UserGranted(key, DeleteRight) || UserGranted(ParentKey(key), DeleteChildRight);
}

// A new entry the user makes: theirs, with what its directory passes on.
std::shared_ptr<PlainFile> UserEntry(PlainKind kind, const std::u16string& key, const std::u16string& resolved) {
  auto entry = NewEntry(kind, resolved);
  entry->security = NewSecurity(ParentKey(key), kind == PlainKind::Directory, OtherUserOwner);
  return entry;
}

bool Occupied(const std::u16string& key) { return PlainAt(key) || PlainDirectoryAt(key); }

}  // namespace

bool UserRename(std::u16string_view from, std::u16string_view to) {
  std::lock_guard<std::mutex> lock(Mutex());
  auto& files = M().plainFiles;
  std::u16string toPath;
  std::u16string fromKey = UserEntryKey(from), toKey = UserEntryKey(to, &toPath);
  if (fromKey.empty() || toKey.empty() || !PlainAt(fromKey) || Occupied(toKey) || Within(toKey, fromKey)) return false;
  if (fromKey[0] != toKey[0]) return false;   // ERROR_NOT_SAME_DEVICE
  if (!UserMayRemove(fromKey) || !UserMayAdd(toKey, PlainAt(fromKey)->kind == PlainKind::Directory)) return false;
  if (PlainAt(fromKey)->opens.denyDelete > 0) return false;
  std::vector<std::pair<std::u16string, std::shared_ptr<PlainFile>>> moved;
  for (auto it = files.begin(); it != files.end();) {
    if (!Within(it->first, fromKey)) {
      ++it;
      continue;
    }
    // Keys and stored paths have the same length: the rest of the path keeps its case.
    it->second->path = toPath + it->second->path.substr(fromKey.size());
    moved.emplace_back(toKey + it->first.substr(fromKey.size()), it->second);
    it = files.erase(it);
  }
  for (auto& [key, entry] : moved) files[key] = entry;
  return true;
}

bool UserPutFile(std::u16string_view path, std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key, resolved;
  if (ResolvePlain(path, true, &key, &resolved) != 0 || IsRootKey(key)) return false;
  PlainFile* existing = PlainAt(key);
  if (existing && (existing->kind != PlainKind::File || RunningImage(key) || existing->opens.denyWrite > 0)) return false;
  if (existing ? !UserGranted(key, AddFileRight) : !UserMayAdd(key, false)) return false;   // FILE_WRITE_DATA
  if (!existing && PlainDirectoryAt(key)) return false;
  std::shared_ptr<PlainFile> file = existing ? M().plainFiles[key] : UserEntry(PlainKind::File, key, resolved);
  file->bytes = std::move(bytes);
  file->lastWrite = M().now;
  M().plainFiles[key] = file;
  return true;
}

bool UserPlantJunction(std::u16string_view path, std::u16string_view target) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string resolved, key = UserEntryKey(path, &resolved);
  if (key.empty() || Occupied(key) || !UserMayAdd(key, true)) return false;
  auto link = UserEntry(PlainKind::Directory, key, resolved);
  link->target = NormalPath(target);
  M().plainFiles[key] = link;
  return true;
}

bool UserMakeDirectory(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string resolved, key;
  if (ResolvePlain(path, true, &key, &resolved) != 0 || IsRootKey(key) || Occupied(key) || !UserMayAdd(key, true))
    return false;
  M().plainFiles[key] = UserEntry(PlainKind::Directory, key, resolved);
  return true;
}

void AddStandardFolders() {
  const DirectorySpec system{std::u16string(u"NT AUTHORITY\\SYSTEM"), std::u16string(), os::FileAttributeDirectory};
  const DirectorySpec installer{std::u16string(u"NT SERVICE\\TrustedInstaller"), std::u16string(ProgramFilesSddl),
                                os::FileAttributeDirectory};
  MakeDirectory(u"C:\\Program Files", installer);
  MakeDirectory(u"C:\\Windows", installer);
  MakeDirectory(u"C:\\Windows\\system32\\drivers", system);
  MakeDirectory(u"C:\\Windows\\inf", system);
  PutFile(u"C:\\Windows\\system32\\cmd.exe", {'M', 'Z'});
  PutFile(u"C:\\Windows\\system32\\ping.exe", {'M', 'Z'});
  std::u16string temp;
  {
    std::lock_guard<std::mutex> lock(Mutex());
    temp = M().tempPath;
  }
  MakeDirectory(temp, DirectorySpec{std::u16string(OtherUserOwner), std::u16string(), os::FileAttributeDirectory});
  SetShortName(u"C:\\Program Files", u"PROGRA~1");
}

PathInfo Path(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  PathInfo info;
  std::u16string key;
  if (ResolvePlain(path, false, &key, nullptr) != 0) return info;
  PlainFile* entry = PlainAt(key);
  if (!entry) {
    if (PlainDirectoryAt(key)) {
      info.kind = PathInfo::Kind::Directory;
      info.path = NormalPath(path);
      info.attributes = os::FileAttributeDirectory;
    }
    return info;
  }
  info.kind = entry->kind == PlainKind::File        ? PathInfo::Kind::File
              : entry->kind == PlainKind::Directory ? PathInfo::Kind::Directory
                                                    : PathInfo::Kind::FileLink;
  info.path = entry->path;
  info.attributes = AttributesOf(entry);
  info.owner = NameOfSid(entry->security.owner);
  info.sddl = entry->sddl;
  info.target = entry->target;
  info.size = entry->bytes.size();
  return info;
}

std::vector<std::u16string> ListDirectory(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key;
  std::vector<std::u16string> names;
  if (ResolvePlain(path, false, &key, nullptr) != 0 || !PlainDirectoryAt(key)) return names;
  for (auto& [name, entry] : Children(key)) names.push_back(name);
  std::sort(names.begin(), names.end(), [](const std::u16string& a, const std::u16string& b) {
    return UpperName(a) < UpperName(b);
  });
  return names;
}

void SetShortName(std::u16string_view path, std::u16string_view shortName) {
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key;
  if (ResolvePlain(path, false, &key, nullptr) != 0) return;
  if (PlainFile* entry = PlainAt(key)) entry->shortName = std::u16string(shortName);
}

void SetElevated(bool elevated) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().elevated = elevated;
}

void StartProgram(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().programs.push_back(PlainKey(path));
}

void EndProgram(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  auto& programs = M().programs;
  auto it = std::find(programs.begin(), programs.end(), PlainKey(path));
  if (it != programs.end()) programs.erase(it);
}

HoldId HoldOpen(std::u16string_view path, std::uint32_t access, std::uint32_t share) {
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  Hold hold{Hold::Target::PlainFile, -1, 0, 0, nullptr, access, share};
  OpenCounts* opens = nullptr;
  int volume = VolumeDevicePath(path);
  if (volume >= 0) {
    if (!m.drives[volume].present) return 0;
    hold.target = Hold::Target::Volume;
    hold.drive = volume;
    hold.generation = m.drives[volume].generation;
    opens = &m.drives[volume].volumeOpens;
  } else {
    std::u16string key;
    if (ResolvePlain(path, true, &key, nullptr) != 0) return 0;
    auto it = m.plainFiles.find(key);
    if (it == m.plainFiles.end() || it->second->kind != PlainKind::File) return 0;
    hold.file = it->second;
    opens = &it->second->opens;
  }
  if (ShareConflict(*opens, access, share)) return 0;
  AddOpen(*opens, access, share);
  HoldId id = m.nextHold++;
  m.holds[id] = hold;
  return id;
}

void ReleaseHold(HoldId id) {
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  auto it = m.holds.find(id);
  if (it == m.holds.end()) return;
  const Hold& hold = it->second;
  EndOplockOf(id);
  bool current = hold.drive >= 0 && m.drives[hold.drive].generation == hold.generation;
  switch (hold.target) {
    case Hold::Target::VolumeFile:
      if (current) RemoveOpen(m.drives[hold.drive].files[hold.record].opens, hold.access, hold.share);
      break;
    case Hold::Target::Volume:
      if (current) RemoveOpen(m.drives[hold.drive].volumeOpens, hold.access, hold.share);
      break;
    case Hold::Target::PlainFile:
      RemoveOpen(hold.file->opens, hold.access, hold.share);
      break;
  }
  m.holds.erase(it);
}

}  // namespace sim

// =============================================================================================
// os:: functions.

namespace os {

using namespace sim::detail;

Handle CreateFileW(const char16_t* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                   std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  if (std::uint32_t error = CallGate(Fn::CreateFileW)) {
    return Refused(error);
  }
  if (!path) {
    return Refused(ErrorPathNotFound);
  }
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  HandleEntry* entry = nullptr;

  int volume = VolumeDevicePath(path);
  if (volume >= 0) {
    Drive& drive = m.drives[volume];
    if (!drive.present) {
      return Refused(ErrorFileNotFound);
    }
    if (creationDisposition != OpenExisting) {
      return Refused(ErrorAccessDenied);
    }
    if (ShareConflict(drive.volumeOpens, desiredAccess, shareMode)) {
      return Refused(ErrorSharingViolation);
    }
    Handle handle = m.handles.Allocate(&entry);
    if (handle == NullHandle) {
      return Refused(ErrorTooManyOpenFiles);
    }
    entry->kind = HandleKind::Volume;
    entry->drive = volume;
    entry->generation = drive.generation;
    entry->access = desiredAccess;
    entry->share = shareMode;
    AddOpen(drive.volumeOpens, desiredAccess, shareMode);
    SetLastError(ErrorSuccess);
    return handle;
  }

  std::u16string key, resolved;
  bool linkItself = (flagsAndAttributes & OpenReparsePointFlag) != 0;
  if (std::uint32_t error = ResolvePlain(path, !linkItself, &key, &resolved)) {
    return Refused(error);
  }
  auto it = m.plainFiles.find(key);
  bool exists = it != m.plainFiles.end();
  std::shared_ptr<PlainFile> file = exists ? it->second : nullptr;
  bool directory = IsRootKey(key) || (exists && file->kind == PlainKind::Directory) || (!exists && PlainDirectoryAt(key));
  if (directory) {
    // Only with backup semantics, and only to open what is there.
    if ((flagsAndAttributes & BackupSemanticsFlag) == 0) return Refused(ErrorAccessDenied);
    if (creationDisposition != OpenExisting && creationDisposition != OpenAlways) return Refused(ErrorAccessDenied);
    if (WantsWrite(desiredAccess)) return Refused(ErrorAccessDenied);
    if (IsRootKey(key)) {
      file = RootEntry(key);
    } else if (!exists) {   // a directory on the way to the running program: stored from now on
      file = NewEntry(PlainKind::Directory, resolved);
      file->security = SecurityAt(key);
      m.plainFiles[key] = file;
    }
    if (ShareConflict(file->opens, desiredAccess, shareMode)) return Refused(ErrorSharingViolation);
    Handle handle = m.handles.Allocate(&entry);
    if (handle == NullHandle) return Refused(ErrorTooManyOpenFiles);
    entry->kind = HandleKind::PlainFile;
    entry->file = file;
    entry->access = desiredAccess;
    entry->share = shareMode;
    AddOpen(file->opens, desiredAccess, shareMode);
    SetLastError(ErrorSuccess);
    return handle;
  }
  if (exists && file->kind == PlainKind::FileLink && !linkItself) {
    return Refused(ErrorAccessDenied);
  }
  if (exists) {
    if (creationDisposition == CreateNew) {
      return Refused(ErrorFileExists);
    }
    if (ShareConflict(file->opens, desiredAccess, shareMode)) {
      return Refused(ErrorSharingViolation);
    }
    bool writes = WantsWrite(desiredAccess) || creationDisposition == CreateAlways || creationDisposition == TruncateExisting;
    if ((file->attributes & FileAttributeReadonly) && writes) {
      return Refused(ErrorAccessDenied);
    }
    if (writes && RunningImage(key)) {
      return Refused(ErrorSharingViolation);   // the loader maps the image without sharing write
    }
  } else if (creationDisposition == OpenExisting || creationDisposition == TruncateExisting) {
    return Refused(MissingError(key));
  } else if (creationDisposition != CreateNew && creationDisposition != CreateAlways &&
             creationDisposition != OpenAlways) {
    return Refused(ErrorInvalidParameter);
  } else if (!PlainDirectoryAt(ParentKey(key))) {
    return Refused(ErrorPathNotFound);
  }

  Handle handle = m.handles.Allocate(&entry);
  if (handle == NullHandle) {
    return Refused(ErrorTooManyOpenFiles);
  }
  if (!exists) {
    file = NewEntry(PlainKind::File, resolved);
    file->security = NewSecurity(ParentKey(key), false, sim::AdministratorsOwner);
    file->attributes = 0x20 | (flagsAndAttributes & StoredAttributes);
    m.plainFiles[key] = file;
  } else if (creationDisposition == CreateAlways || creationDisposition == TruncateExisting) {
    file->bytes.clear();
    file->lastWrite = m.now;
    if (creationDisposition == CreateAlways) file->attributes = 0x20 | (flagsAndAttributes & StoredAttributes);
  }
  entry->kind = HandleKind::PlainFile;
  entry->file = file;
  entry->access = desiredAccess;
  entry->share = shareMode;
  AddOpen(file->opens, desiredAccess, shareMode);
  bool reportExisting = exists && (creationDisposition == CreateAlways || creationDisposition == OpenAlways);
  SetLastError(reportExisting ? ErrorAlreadyExists : ErrorSuccess);
  return handle;
}
bool ReadFile(Handle file, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead) {
  if (std::uint32_t error = CallGate(Fn::ReadFile)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  if (!entry) return Fails(ErrorInvalidHandle);
  if (entry->kind != HandleKind::PlainFile && entry->kind != HandleKind::VolumeFile)
    return Fails(entry->kind == HandleKind::Volume ? ErrorInvalidParameter : ErrorInvalidHandle);
  if (!WantsRead(entry->access)) return Fails(ErrorAccessDenied);
  if (!buffer && bytesToRead) return Fails(998);   // ERROR_NOACCESS
  std::uint64_t size;
  if (entry->kind == HandleKind::PlainFile) {
    size = entry->file->bytes.size();
  } else {
    Drive* drive = HandleDrive(*entry);
    if (!drive) return Fails(ErrorInvalidHandle);
    size = drive->files[entry->record].size;
  }
  std::uint64_t count = entry->position < size ? std::min<std::uint64_t>(bytesToRead, size - entry->position) : 0;
  if (count) {
    // Contents of file records are not modelled: they read as zeros.
    if (entry->kind == HandleKind::PlainFile) std::memcpy(buffer, entry->file->bytes.data() + entry->position, count);
    else std::memset(buffer, 0, count);
  }
  entry->position += count;
  if (bytesRead) *bytesRead = static_cast<std::uint32_t>(count);
  return true;
}

bool WriteFile(Handle file, const void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten) {
  if (std::uint32_t error = CallGate(Fn::WriteFile)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  if (!entry) return Fails(ErrorInvalidHandle);
  if (entry->kind == HandleKind::VolumeFile) return Fails(ErrorNotSupported);
  if (entry->kind != HandleKind::PlainFile)
    return Fails(entry->kind == HandleKind::Volume ? ErrorInvalidParameter : ErrorInvalidHandle);
  if (!WantsWrite(entry->access)) return Fails(ErrorAccessDenied);
  if (!buffer && bytesToWrite) return Fails(998);   // ERROR_NOACCESS
  std::vector<std::uint8_t>& bytes = entry->file->bytes;
  std::uint64_t end = entry->position + bytesToWrite;
  if (end > bytes.size()) bytes.resize(end);
  if (bytesToWrite) std::memcpy(bytes.data() + entry->position, buffer, bytesToWrite);
  entry->position = end;
  entry->file->lastWrite = M().now;
  if (bytesWritten) *bytesWritten = bytesToWrite;
  return true;
}

bool SetFilePointerEx(Handle file, std::int64_t distance, std::int64_t* newPosition, std::uint32_t moveMethod) {
  if (std::uint32_t error = CallGate(Fn::SetFilePointerEx)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  if (!entry || entry->kind != HandleKind::PlainFile) return Fails(ErrorInvalidHandle);
  std::int64_t base = moveMethod == FileBegin     ? 0
                      : moveMethod == FileCurrent ? std::int64_t(entry->position)
                      : moveMethod == FileEnd     ? std::int64_t(entry->file->bytes.size())
                                                  : -1;
  if (base < 0) return Fails(ErrorInvalidParameter);
  if (base + distance < 0) return Fails(ErrorNegativeSeek);
  entry->position = std::uint64_t(base + distance);
  if (newPosition) *newPosition = base + distance;
  return true;
}

bool SetEndOfFile(Handle file) {
  if (std::uint32_t error = CallGate(Fn::SetEndOfFile)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  if (!entry || entry->kind != HandleKind::PlainFile) return Fails(ErrorInvalidHandle);
  if (!WantsWrite(entry->access)) return Fails(ErrorAccessDenied);
  entry->file->bytes.resize(entry->position);
  entry->file->lastWrite = M().now;
  return true;
}

bool CreateDirectoryW(const char16_t* path, const char16_t* sddl) {
  if (std::uint32_t error = CallGate(Fn::CreateDirectoryW)) return Fails(error);
  if (!path) return Fails(ErrorPathNotFound);
  if (sddl && !ValidSddl(sddl)) return Fails(ErrorInvalidParameter);   // the conversion refuses it
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key, resolved;
  // Links on the way are followed; a link at the path itself is something already there.
  if (std::uint32_t error = ResolvePlain(path, false, &key, &resolved)) return Fails(error);
  if (PlainAt(key) || PlainDirectoryAt(key)) return Fails(ErrorAlreadyExists);
  if (!PlainDirectoryAt(ParentKey(key))) return Fails(ErrorPathNotFound);
  auto dir = NewEntry(PlainKind::Directory, resolved);
  // Made by the elevated installer: Administrators own it.
  dir->security = NewSecurity(ParentKey(key), true, sim::AdministratorsOwner, sddl);
  if (sddl) dir->sddl = sddl;
  M().plainFiles[key] = dir;
  SetLastError(ErrorSuccess);
  return true;
}

bool RemoveDirectoryW(const char16_t* path) {
  if (std::uint32_t error = CallGate(Fn::RemoveDirectoryW)) return Fails(error);
  if (!path) return Fails(ErrorPathNotFound);
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  std::u16string key;
  if (std::uint32_t error = ResolvePlain(path, false, &key, nullptr)) return Fails(error);
  if (IsRootKey(key)) return Fails(ErrorAccessDenied);
  PlainFile* entry = PlainAt(key);
  if (!entry && !PlainDirectoryAt(key)) return Fails(MissingError(key));
  if (entry && entry->kind != PlainKind::Directory) return Fails(ErrorDirectory);
  if (entry && !entry->target.empty()) {   // a junction: only the link goes
    m.plainFiles.erase(key);
    return true;
  }
  // The running program's directory (and the current directory) are in use.
  std::u16string module = ParentKey(PlainKey(m.modulePath));
  std::u16string current = m.currentDirectory.empty() ? module : PlainKey(m.currentDirectory);
  if (Within(module, key) || Within(current, key)) return Fails(ErrorSharingViolation);
  if (!Children(key).empty()) return Fails(ErrorDirNotEmpty);
  m.plainFiles.erase(key);
  return true;
}

bool DeleteFileW(const char16_t* path) {
  if (std::uint32_t error = CallGate(Fn::DeleteFileW)) return Fails(error);
  if (!path) return Fails(ErrorPathNotFound);
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string key;
  // A link at the path is deleted itself, never its target.
  if (std::uint32_t error = ResolvePlain(path, false, &key, nullptr)) return Fails(error);
  PlainFile* entry = PlainAt(key);
  if (!entry) return Fails(PlainDirectoryAt(key) ? ErrorAccessDenied : MissingError(key));
  if (entry->kind == PlainKind::Directory) return Fails(ErrorAccessDenied);
  if (entry->kind == PlainKind::File) {
    if (entry->attributes & FileAttributeReadonly) return Fails(ErrorAccessDenied);
    if (RunningImage(key)) return Fails(ErrorAccessDenied);
    if (entry->opens.denyDelete > 0) return Fails(ErrorSharingViolation);
  }
  M().plainFiles.erase(key);
  return true;
}

bool CopyFileW(const char16_t* existingPath, const char16_t* newPath, bool failIfExists) {
  if (std::uint32_t error = CallGate(Fn::CopyFileW)) return Fails(error);
  if (!existingPath || !newPath) return Fails(ErrorPathNotFound);
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  std::u16string sourceKey, targetKey, targetPath;
  if (std::uint32_t error = ResolvePlain(existingPath, true, &sourceKey, nullptr)) return Fails(error);
  auto source = m.plainFiles.find(sourceKey);
  if (source == m.plainFiles.end()) {
    return Fails(PlainDirectoryAt(sourceKey) ? ErrorAccessDenied : MissingError(sourceKey));
  }
  if (source->second->kind != PlainKind::File) return Fails(ErrorAccessDenied);
  if (ShareConflict(source->second->opens, GenericRead, FileShareRead)) return Fails(ErrorSharingViolation);
  if (std::uint32_t error = ResolvePlain(newPath, true, &targetKey, &targetPath)) return Fails(error);
  if (targetKey == sourceKey) return Fails(ErrorSharingViolation);
  auto target = m.plainFiles.find(targetKey);
  std::shared_ptr<PlainFile> file;
  if (target != m.plainFiles.end()) {
    file = target->second;
    if (file->kind != PlainKind::File) return Fails(ErrorAccessDenied);
    if (failIfExists) return Fails(ErrorFileExists);
    if (file->attributes & FileAttributeReadonly) return Fails(ErrorAccessDenied);
    if (RunningImage(targetKey) || ShareConflict(file->opens, GenericWrite, FileShareRead | FileShareWrite))
      return Fails(ErrorSharingViolation);
  } else {
    if (PlainDirectoryAt(targetKey) || IsRootKey(targetKey)) return Fails(ErrorAccessDenied);
    if (!PlainDirectoryAt(ParentKey(targetKey))) return Fails(ErrorPathNotFound);
    file = NewEntry(PlainKind::File, targetPath);
    file->security = NewSecurity(ParentKey(targetKey), false, sim::AdministratorsOwner);
    m.plainFiles[targetKey] = file;
  }
  const PlainFile& from = *source->second;
  file->bytes = from.bytes;
  file->attributes = from.attributes | 0x20;
  file->lastWrite = from.lastWrite;
  file->lastAccess = m.now;
  SetLastError(ErrorSuccess);
  return true;
}

bool MoveFileExW(const char16_t* existingPath, const char16_t* newPath, std::uint32_t flags) {
  // MoveFileEx's flags, as its documentation gives them.
  constexpr std::uint32_t ReplaceExisting = 0x1, CopyAllowed = 0x2, DelayUntilReboot = 0x4;
  constexpr std::uint32_t ErrorNotSameDevice = 17;
  if (std::uint32_t error = CallGate(Fn::MoveFileExW)) return Fails(error);
  if (!existingPath) return Fails(ErrorPathNotFound);
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  if (flags & DelayUntilReboot) {
    if (flags & CopyAllowed) return Fails(ErrorInvalidParameter);
    if (!m.elevated) return Fails(ErrorAccessDenied);   // the key is writable by administrators only
    std::u16string source = NormalPath(existingPath);
    std::u16string target = newPath ? NormalPath(newPath) : std::u16string();
    if (source.empty() || (newPath && target.empty())) return Fails(ErrorPathNotFound);
    std::u16string key = RegPath(HkeyLocalMachine, sim::SessionManagerKey);
    RegCreatePath(key);
    std::vector<std::u16string> list;
    if (const sim::RegValue* value = RegGetLocked(key, u"PendingFileRenameOperations")) {
      const auto* text = reinterpret_cast<const char16_t*>(value->data.data());
      std::size_t units = value->data.size() / 2;
      for (std::size_t at = 0; at < units;) {
        std::size_t end = at;
        while (end < units && text[end] != 0) ++end;
        if (end == at && (end + 1 >= units || list.size() % 2 == 0)) break;   // the closing null
        list.emplace_back(text + at, end - at);
        at = end + 1;
      }
    }
    list.push_back(u"\\??\\" + source);
    list.push_back(newPath ? ((flags & ReplaceExisting) ? u"!\\??\\" : u"\\??\\") + target : std::u16string());
    // REG_MULTI_SZ: each string and its null, then one more null.
    std::vector<std::uint8_t> bytes;
    for (const std::u16string& item : list) {
      for (char16_t c : item) bytes.insert(bytes.end(), {std::uint8_t(c), std::uint8_t(c >> 8)});
      bytes.insert(bytes.end(), {0, 0});
    }
    bytes.insert(bytes.end(), {0, 0});
    RegSetLocked(key, u"PendingFileRenameOperations", sim::RegValue{RegMultiSz, std::move(bytes)});
    SetLastError(ErrorSuccess);
    return true;
  }
  if (!newPath) return Fails(ErrorInvalidParameter);
  std::u16string sourceKey, targetKey, targetPath;
  if (std::uint32_t error = ResolvePlain(existingPath, false, &sourceKey, nullptr)) return Fails(error);
  auto source = m.plainFiles.find(sourceKey);
  if (source == m.plainFiles.end()) return Fails(MissingError(sourceKey));
  if (source->second->kind != PlainKind::File) return Fails(ErrorAccessDenied);   // files only here
  if (std::uint32_t error = ResolvePlain(newPath, false, &targetKey, &targetPath)) return Fails(error);
  if (Fold(targetKey[0]) != Fold(sourceKey[0]) && !(flags & CopyAllowed)) return Fails(ErrorNotSameDevice);
  if (source->second->opens.denyDelete > 0) return Fails(ErrorSharingViolation);
  if (targetKey == sourceKey) {
    SetLastError(ErrorSuccess);
    return true;
  }
  auto target = m.plainFiles.find(targetKey);
  if (target != m.plainFiles.end()) {
    const PlainFile& existing = *target->second;
    if (!(flags & ReplaceExisting)) return Fails(ErrorAlreadyExists);
    if (existing.kind == PlainKind::Directory || (existing.attributes & FileAttributeReadonly)) return Fails(ErrorAccessDenied);
    if (RunningImage(targetKey)) return Fails(ErrorAccessDenied);
    if (existing.opens.denyDelete > 0) return Fails(ErrorSharingViolation);
  } else if (PlainDirectoryAt(targetKey) || IsRootKey(targetKey)) {
    return Fails(ErrorAlreadyExists);
  } else if (!PlainDirectoryAt(ParentKey(targetKey))) {
    return Fails(ErrorPathNotFound);
  }
  std::shared_ptr<PlainFile> file = source->second;
  m.plainFiles.erase(source);
  file->path = targetPath;
  m.plainFiles[targetKey] = file;
  SetLastError(ErrorSuccess);
  return true;
}

Handle FindFirstFileW(const char16_t* pattern, FindData* data) {
  if (std::uint32_t error = CallGate(Fn::FindFirstFileW)) return Refused(error);
  if (!pattern || !data) return Refused(ErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  std::u16string_view full = StripLongPrefix(pattern);
  std::size_t cut = full.find_last_of(u'\\');
  if (cut == std::u16string_view::npos || cut < 2) return Refused(ErrorPathNotFound);
  std::u16string_view name = full.substr(cut + 1);
  if (name.empty()) return Refused(ErrorFileNotFound);
  std::u16string directory(full.substr(0, cut));
  if (directory.size() == 2) directory += u'\\';   // "C:\*.*"
  std::u16string key;
  if (std::uint32_t error = ResolvePlain(directory, true, &key, nullptr)) return Refused(error);
  if (!PlainDirectoryAt(key)) return Refused(PlainAt(key) ? ErrorDirectory : ErrorPathNotFound);

  auto list = std::make_shared<FindList>();
  if (!IsRootKey(key)) {
    // "." and "..", as NTFS lists them first in every directory but the root.
    if (Matches(name, u".")) list->entries.push_back(FindEntry(u".", PlainAt(key)));
    if (Matches(name, u"..")) list->entries.push_back(FindEntry(u"..", PlainAt(ParentKey(key))));
  }
  auto children = Children(key);
  std::sort(children.begin(), children.end(),
            [](const auto& a, const auto& b) { return UpperName(a.first) < UpperName(b.first); });
  for (const auto& [child, entry] : children) {
    if (Matches(name, child)) list->entries.push_back(FindEntry(child, entry));
  }
  if (list->entries.empty()) return Refused(ErrorFileNotFound);
  HandleEntry* handleEntry = nullptr;
  Handle handle = m.handles.Allocate(&handleEntry);
  if (handle == NullHandle) return Refused(ErrorNotEnoughMemory);
  handleEntry->kind = HandleKind::Find;
  handleEntry->find = list;
  *data = list->entries[0];
  list->next = 1;
  SetLastError(ErrorSuccess);
  return handle;
}

bool FindNextFileW(Handle find, FindData* data) {
  if (std::uint32_t error = CallGate(Fn::FindNextFileW)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(find);
  if (!entry || entry->kind != HandleKind::Find) return Fails(ErrorInvalidHandle);
  FindList& list = *entry->find;
  if (list.next >= list.entries.size()) return Fails(ErrorNoMoreFiles);
  if (!data) return Fails(998);   // ERROR_NOACCESS
  *data = list.entries[list.next++];
  return true;
}

bool FindClose(Handle find) {
  if (std::uint32_t error = CallGate(Fn::FindClose)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(find);
  if (!entry || entry->kind != HandleKind::Find) return Fails(ErrorInvalidHandle);
  M().handles.Release(find);
  return true;
}

}  // namespace os
