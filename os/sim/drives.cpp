// Drive letters: what the drive and volume queries report for each letter, and the free space
// of its volume.
#include "os/sim/machine.h"

#include <algorithm>
#include <string>

namespace sim::detail {

namespace {

constexpr std::uint32_t NtfsFlags = 0x03E700FF;   // case, unicode, ACLs, compression, sparse, USN journal...
constexpr std::uint32_t FatFlags = 0x00000006;    // case-preserved, unicode names
constexpr std::uint32_t RootAttributes = os::FileAttributeDirectory | os::FileAttributeSystem | 0x2;   // and hidden

}  // namespace

int DriveIndex(char16_t letter) {
  letter = Fold(letter);
  return (letter >= u'a' && letter <= u'z') ? letter - u'a' : -1;
}

// "\\?\" is accepted in front of any drive path.
std::u16string_view StripLongPrefix(std::u16string_view path) {
  if (path.size() >= 4 && path.substr(0, 4) == u"\\\\?\\") return path.substr(4);
  return path;
}

// "X:..." -> drive index and what follows the colon; -1 when the path does not start that way.
int ParseDrivePath(const char16_t* text, std::u16string_view* rest) {
  if (!text) return -1;
  std::u16string_view path = StripLongPrefix(text);
  if (path.size() < 2 || path[1] != u':') return -1;
  int drive = DriveIndex(path[0]);
  if (drive >= 0 && rest) *rest = path.substr(2);
  return drive;
}

Drive* PresentDrive(int index) {
  if (index < 0) return nullptr;
  Drive& drive = M().drives[index];
  return drive.present ? &drive : nullptr;
}

bool Fails(std::uint32_t error) {
  SetLastError(error);
  return false;
}

void ChangeFreeSpace(Drive& drive, std::int64_t delta) {
  auto apply = [delta](std::uint64_t value, std::uint64_t limit) {
    std::int64_t result = static_cast<std::int64_t>(value) + delta;
    if (result < 0) return std::uint64_t{0};
    return std::min(static_cast<std::uint64_t>(result), limit);
  };
  drive.freeBytes = apply(drive.freeBytes, drive.spec.totalBytes);
  drive.available = drive.availableSet ? apply(drive.available, drive.freeBytes) : drive.freeBytes;
}

Drive* TestDrive(char16_t letter) { return PresentDrive(DriveIndex(letter)); }

}  // namespace sim::detail

// =============================================================================================
// Test API.

namespace sim {

using namespace detail;

namespace {

std::u16string DefaultDevice(char16_t letter, std::uint32_t type) {
  if (type == os::DriveCdrom) return u"\\Device\\CdRom0";
  if (type == os::DriveRemote) return std::u16string(u"\\Device\\LanmanRedirector\\;") + letter + u":0\\server\\share";
  if (type == os::DriveRamdisk) return u"\\Device\\Ramdisk";
  std::string digits = std::to_string(Fold(letter) - u'a');
  return u"\\Device\\HarddiskVolume" + std::u16string(digits.begin(), digits.end());
}

// Empties a drive slot; the new generation tells handles opened on what was there that it is gone.
Drive& ClearDrive(int index) {
  Drive& drive = M().drives[index];
  std::uint32_t generation = drive.generation + 1;
  drive = Drive();
  drive.generation = generation;
  return drive;
}

}  // namespace

void AddDrive(char16_t letter, const DriveSpec& spec) {
  int index = DriveIndex(letter);
  if (index < 0) return;
  std::lock_guard<std::mutex> lock(Mutex());
  Drive& drive = ClearDrive(index);
  drive.present = true;
  drive.spec = spec;
  if (drive.spec.device.empty()) drive.spec.device = DefaultDevice(static_cast<char16_t>(u'A' + index), spec.type);
  if (drive.spec.serialNumber == 0) drive.spec.serialNumber = 0x1C2D3E00u + static_cast<std::uint32_t>(index);
  if (drive.spec.clusterSize == 0) drive.spec.clusterSize = 4096;
  drive.ntfs = spec.fileSystem == u"NTFS";
  if (drive.spec.fileSystemFlags == 0) drive.spec.fileSystemFlags = drive.ntfs ? NtfsFlags : FatFlags;
  drive.freeBytes = spec.freeBytes;
  drive.availableSet = spec.freeBytesAvailable.has_value();
  drive.available = spec.freeBytesAvailable.value_or(spec.freeBytes);
  if (drive.ntfs) {
    // Records below FirstUserRecord belong to the file system; of them only the root is visible.
    drive.files.resize(FirstUserRecord);
    drive.files[RootRecord].sequence = RootRecord;
    drive.files[RootRecord].parent = RootRecord;
    drive.files[RootRecord].attributes = spec.attributes | RootAttributes;
    drive.files[RootRecord].creation = drive.files[RootRecord].lastAccess = drive.files[RootRecord].lastWrite = M().now;
    drive.journal.active = spec.journal;
    drive.journal.id = 0x01D0000000000000ull + M().now / Second;
  }
}

void RemoveDrive(char16_t letter) {
  int index = DriveIndex(letter);
  if (index < 0) return;
  std::lock_guard<std::mutex> lock(Mutex());
  ClearDrive(index);
}

void SetFreeBytes(char16_t letter, std::uint64_t freeBytes, std::optional<std::uint64_t> available) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Drive* drive = TestDrive(letter)) {
    drive->freeBytes = freeBytes;
    drive->availableSet = available.has_value();
    drive->available = available.value_or(freeBytes);
  }
}

std::uint64_t FreeBytes(char16_t letter) {
  std::lock_guard<std::mutex> lock(Mutex());
  Drive* drive = TestDrive(letter);
  return drive ? drive->freeBytes : 0;
}

std::uint64_t FreeBytesAvailable(char16_t letter) {
  std::lock_guard<std::mutex> lock(Mutex());
  Drive* drive = TestDrive(letter);
  return drive ? drive->available : 0;
}

void SetDriveAttributes(char16_t letter, std::uint32_t attributes) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Drive* drive = TestDrive(letter)) {
    drive->spec.attributes = attributes;
    if (drive->ntfs) drive->files[RootRecord].attributes = attributes | RootAttributes;
  }
}

void SetCompressionRatio(char16_t letter, double ratio) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Drive* drive = TestDrive(letter)) drive->spec.compressionRatio = ratio;
}

}  // namespace sim

// =============================================================================================
// os:: functions.

namespace os {

using namespace sim::detail;

std::uint32_t GetDriveTypeW(const char16_t* rootPath) {
  if (std::uint32_t error = CallGate(Fn::GetDriveTypeW)) {
    SetLastError(error);
    return DriveUnknown;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string_view rest;
  int index = rootPath ? ParseDrivePath(rootPath, &rest) : DriveIndex(u'C');
  if (index < 0 || !(rest.empty() || rest == u"\\")) return DriveNoRootDir;
  Drive* drive = PresentDrive(index);
  return drive ? drive->spec.type : DriveNoRootDir;
}

std::uint32_t GetFileAttributesW(const char16_t* path) {
  if (std::uint32_t error = CallGate(Fn::GetFileAttributesW)) {
    SetLastError(error);
    return InvalidFileAttributes;
  }
  std::unique_lock<std::mutex> lock(Mutex());
  std::u16string_view rest;
  int index = ParseDrivePath(path, &rest);
  if (index < 0) {
    SetLastError(path ? ErrorPathNotFound : ErrorInvalidParameter);
    return InvalidFileAttributes;
  }
  // "C:" alone is drive-relative: the current directory when it lies on that drive, else the
  // drive's root (this process sets no per-drive "=C:" variables).
  std::u16string relative;
  if (rest.empty()) {
    const Machine& m = M();
    relative = m.currentDirectory;
    if (relative.empty()) {
      relative = NormalPath(m.modulePath);
      relative.resize(std::max<std::size_t>(relative.find_last_of(u'\\'), 3));
    }
    if (DriveIndex(relative[0]) != index) relative = std::u16string{static_cast<char16_t>(u'A' + index), u':', u'\\'};
    path = relative.c_str();
    ParseDrivePath(path, &rest);
  }
  // The plain store: a link is reported itself (directory or not, with the reparse attribute).
  std::u16string key;
  bool plain = rest.size() > 1 && ResolvePlain(path, false, &key, nullptr) == 0;
  if (plain) {
    if (PlainFile* entry = PlainAt(key)) {
      std::uint32_t attributes = entry->attributes;
      if (entry->kind == PlainKind::Directory) attributes |= FileAttributeDirectory;
      if (!entry->target.empty()) attributes |= FileAttributeReparsePoint;
      return attributes;
    }
  }
  Drive* drive = PresentDrive(index);
  if (!drive && plain && PlainDirectoryAt(key)) return FileAttributeDirectory;
  if (!drive) {
    SetLastError(ErrorPathNotFound);
    return InvalidFileAttributes;
  }
  if (!drive->spec.mediaPresent) {
    SetLastError(ErrorNotReady);
    return InvalidFileAttributes;
  }
  if (rest == u"\\") return drive->ntfs ? drive->files[RootRecord].attributes : drive->spec.attributes | FileAttributeDirectory;
  int found = -1;
  std::uint32_t record = 0;
  if (LookupPath(path, &found, &record)) return M().drives[found].files[record].attributes;
  if (plain && PlainDirectoryAt(key)) return FileAttributeDirectory;   // the running program's directory
  SetLastError(plain && !PlainDirectoryAt(ParentKey(key)) ? ErrorPathNotFound : ErrorFileNotFound);
  return InvalidFileAttributes;
}

namespace {

// What GetVolumeInformationW and GetVolumeInformationByHandleW report of a drive (Mutex() held).
bool DescribeVolume(const Drive* drive, char16_t* volumeName, std::uint32_t volumeNameCapacity,
                    std::uint32_t* serialNumber, std::uint32_t* maximumComponentLength, std::uint32_t* fileSystemFlags,
                    char16_t* fileSystemName, std::uint32_t fileSystemNameCapacity) {
  if (!drive->spec.mediaPresent) return Fails(ErrorNotReady);
  const sim::DriveSpec& spec = drive->spec;
  if (volumeName && spec.label.size() + 1 > volumeNameCapacity) return Fails(ErrorBadLength);
  if (fileSystemName && spec.fileSystem.size() + 1 > fileSystemNameCapacity) return Fails(ErrorBadLength);
  if (volumeName) {
    spec.label.copy(volumeName, spec.label.size());
    volumeName[spec.label.size()] = 0;
  }
  if (fileSystemName) {
    spec.fileSystem.copy(fileSystemName, spec.fileSystem.size());
    fileSystemName[spec.fileSystem.size()] = 0;
  }
  if (serialNumber) *serialNumber = spec.serialNumber;
  if (maximumComponentLength) *maximumComponentLength = 255;
  if (fileSystemFlags) *fileSystemFlags = spec.fileSystemFlags;
  return true;
}

}  // namespace

bool GetVolumeInformationW(const char16_t* rootPath, char16_t* volumeName, std::uint32_t volumeNameCapacity,
                           std::uint32_t* serialNumber, std::uint32_t* maximumComponentLength,
                           std::uint32_t* fileSystemFlags, char16_t* fileSystemName,
                           std::uint32_t fileSystemNameCapacity) {
  if (std::uint32_t error = CallGate(Fn::GetVolumeInformationW)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string_view rest = u"\\";
  int index = rootPath ? ParseDrivePath(rootPath, &rest) : DriveIndex(u'C');
  if (index < 0 || rest.empty()) return Fails(ErrorInvalidName);   // the trailing backslash is required
  if (rest != u"\\") return Fails(144);                             // ERROR_DIR_NOT_ROOT
  Drive* drive = PresentDrive(index);
  if (!drive) return Fails(ErrorPathNotFound);
  return DescribeVolume(drive, volumeName, volumeNameCapacity, serialNumber, maximumComponentLength, fileSystemFlags,
                        fileSystemName, fileSystemNameCapacity);
}

bool GetVolumeInformationByHandleW(Handle file, char16_t* volumeName, std::uint32_t volumeNameCapacity,
                                   std::uint32_t* serialNumber, std::uint32_t* maximumComponentLength,
                                   std::uint32_t* fileSystemFlags, char16_t* fileSystemName,
                                   std::uint32_t fileSystemNameCapacity) {
  if (std::uint32_t error = CallGate(Fn::GetVolumeInformationByHandleW)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  bool onVolume = entry && (entry->kind == HandleKind::Volume || entry->kind == HandleKind::VolumeFile);
  const Drive* drive = onVolume ? HandleDrive(*entry) : nullptr;   // plain files are not modelled
  if (!drive) return Fails(ErrorInvalidHandle);
  return DescribeVolume(drive, volumeName, volumeNameCapacity, serialNumber, maximumComponentLength, fileSystemFlags,
                        fileSystemName, fileSystemNameCapacity);
}

std::uint32_t QueryDosDeviceW(const char16_t* deviceName, char16_t* targetPath, std::uint32_t capacity) {
  if (std::uint32_t error = CallGate(Fn::QueryDosDeviceW)) {
    SetLastError(error);
    return 0;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  // The result is a list of strings, each ending in NUL, and one more NUL after the last.
  char16_t names[26 * 3 + 1];
  std::u16string_view target;
  if (deviceName == nullptr) {
    std::size_t n = 0;
    for (int i = 0; i < 26; ++i) {
      if (!M().drives[i].present) continue;
      names[n++] = static_cast<char16_t>(u'A' + i);
      names[n++] = u':';
      names[n++] = 0;
    }
    if (n == 0) names[n++] = 0;
    target = std::u16string_view(names, n - 1);   // the final NUL is added below
  } else {
    std::u16string_view name = deviceName;
    Drive* drive = name.size() == 2 && name[1] == u':' ? PresentDrive(DriveIndex(name[0])) : nullptr;
    if (!drive) {
      SetLastError(ErrorFileNotFound);
      return 0;
    }
    target = drive->spec.device;
  }
  std::size_t needed = target.size() + 2;
  if (!targetPath || needed > capacity) {
    SetLastError(ErrorInsufficientBuffer);
    return 0;
  }
  target.copy(targetPath, target.size());
  targetPath[target.size()] = 0;
  targetPath[target.size() + 1] = 0;
  return static_cast<std::uint32_t>(needed);
}

bool GetDiskFreeSpaceExW(const char16_t* directory, std::uint64_t* freeBytesAvailableToCaller,
                         std::uint64_t* totalBytes, std::uint64_t* totalFreeBytes) {
  if (std::uint32_t error = CallGate(Fn::GetDiskFreeSpaceExW)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  int index = directory ? ParseDrivePath(directory, nullptr) : DriveIndex(u'C');
  Drive* drive = PresentDrive(index);
  if (!drive) return Fails(ErrorPathNotFound);
  if (!drive->spec.mediaPresent) return Fails(ErrorNotReady);
  if (freeBytesAvailableToCaller) *freeBytesAvailableToCaller = drive->available;
  if (totalBytes) *totalBytes = drive->spec.totalBytes;
  if (totalFreeBytes) *totalFreeBytes = drive->freeBytes;
  return true;
}

}  // namespace os
