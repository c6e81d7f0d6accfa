// NTFS volumes and their file records: the change journal, opening files by reference number,
// compression and the per-file queries.
#include "os/sim/machine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sim::detail {

namespace {

constexpr std::uint32_t FileDirectoryFile = 0x1;
constexpr std::int32_t StatusNotADirectory = static_cast<std::int32_t>(0xC0000103);
constexpr std::int32_t StatusObjectNameNotFound = static_cast<std::int32_t>(0xC0000034);
constexpr std::int32_t StatusReparsePointNotResolved = static_cast<std::int32_t>(0xC0000280);
constexpr int MaxLinkHops = 31;
constexpr std::uint32_t VolumeNameDos = 0;
constexpr std::uint32_t VolumeNameNt = 2;
constexpr std::uint32_t VolumeNameNone = 4;
constexpr std::uint32_t FileNameOpened = 8;
constexpr std::uint16_t CompressionFormatLznt1 = 2;
constexpr std::int64_t MaxUsn = 0x7FFFFFFFFFFF0000;

std::uint64_t RoundUp(std::uint64_t value, std::uint64_t unit) { return (value + unit - 1) / unit * unit; }

std::uint32_t HashName(std::uint32_t parent, std::u16string_view name) {
  std::uint32_t hash = 2166136261u;
  for (int i = 0; i < 4; ++i) hash = (hash ^ ((parent >> (8 * i)) & 0xFF)) * 16777619u;
  for (char16_t c : name) {
    c = Fold(c);
    hash = (hash ^ (c & 0xFF)) * 16777619u;
    hash = (hash ^ (c >> 8)) * 16777619u;
  }
  return hash;
}

void JournalVersions(const Drive& drive, std::uint16_t* minMajor, std::uint16_t* maxMajor) {
  const Machine& m = M();
  bool win81up = m.major > 6 || (m.major == 6 && m.minor >= 3);
  *minMajor = drive.spec.journalMinMajor ? drive.spec.journalMinMajor : 2;
  *maxMajor = drive.spec.journalMaxMajor ? drive.spec.journalMaxMajor : (win81up ? 3 : 2);
}

// Clusters taken by the file's data when stored uncompressed.
std::uint64_t PlainAllocation(const Drive& drive, const FileNode& node) {
  return node.size <= ResidentLimit ? 0 : RoundUp(node.size, drive.spec.clusterSize);
}

// Clusters taken by the file's data when stored compressed.
std::uint64_t CompressedAllocation(const Drive& drive, std::uint32_t index, const FileNode& node) {
  if (node.size <= ResidentLimit) return 0;
  std::uint64_t cluster = drive.spec.clusterSize;
  double ratio = drive.spec.compressionRatio;
  auto it = drive.overrides.find(index);
  if (it != drive.overrides.end()) {
    if (it->second.compressedSize >= 0) return RoundUp(it->second.compressedSize, cluster);
    if (it->second.ratio >= 0) ratio = it->second.ratio;
  }
  // Each unit of 16 clusters keeps its compressed form only if that frees at least one cluster.
  auto unitClusters = [&](std::uint64_t bytes) {
    std::uint64_t plain = (bytes + cluster - 1) / cluster;
    auto packed = static_cast<std::uint64_t>(std::ceil(static_cast<double>(bytes) * ratio / static_cast<double>(cluster)));
    return std::min(plain, packed);
  };
  std::uint64_t unit = ClustersPerCompressionUnit * cluster;
  std::uint64_t clusters = (node.size / unit) * unitClusters(unit);
  if (node.size % unit) clusters += unitClusters(node.size % unit);
  return clusters * cluster;
}

// The journal records a change of the file: it gets the next USN.
void TouchUsn(Drive& drive, FileNode& node) {
  if (!drive.journal.active) return;
  node.usn = drive.journal.nextUsn;
  drive.journal.nextUsn += static_cast<std::int64_t>(RoundUp(60 + 2 * node.nameLength, 8));
}

template <typename T>
void Put(std::uint8_t* out, std::size_t offset, T value) {
  std::memcpy(out + offset, &value, sizeof(value));
}

template <typename T>
T Get(const void* in, std::size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const std::uint8_t*>(in) + offset, sizeof(value));
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void ChildIndex::Grow(const std::vector<FileNode>& files, const std::vector<char16_t>& names) {
  std::size_t live = 0;
  for (std::uint32_t slot : slots_) live += (slot != Empty && slot != Tombstone);
  std::size_t capacity = 1024;
  while (capacity < (live + 1) * 3) capacity *= 2;
  std::vector<std::uint32_t> old;
  old.swap(slots_);
  slots_.assign(capacity, Empty);
  used_ = 0;
  for (std::uint32_t slot : old) {
    if (slot == Empty || slot == Tombstone) continue;
    const FileNode& node = files[slot - 1];
    std::u16string_view name(names.data() + node.nameOffset, node.nameLength);
    std::size_t mask = slots_.size() - 1;
    std::size_t at = HashName(node.parent, name) & mask;
    while (slots_[at] != Empty) at = (at + 1) & mask;
    slots_[at] = slot;
    ++used_;
  }
}

void ChildIndex::Insert(std::uint32_t parent, std::u16string_view name, std::uint32_t record,
                        const std::vector<FileNode>& files, const std::vector<char16_t>& names) {
  if ((used_ + 1) * 2 > slots_.size()) Grow(files, names);
  std::size_t mask = slots_.size() - 1;
  std::size_t at = HashName(parent, name) & mask;
  while (slots_[at] != Empty && slots_[at] != Tombstone) at = (at + 1) & mask;
  if (slots_[at] == Empty) ++used_;
  slots_[at] = record + 1;
}

void ChildIndex::Erase(std::uint32_t parent, std::u16string_view name, std::uint32_t record) {
  if (slots_.empty()) return;
  std::size_t mask = slots_.size() - 1;
  for (std::size_t at = HashName(parent, name) & mask; slots_[at] != Empty; at = (at + 1) & mask) {
    if (slots_[at] == record + 1) {
      slots_[at] = Tombstone;
      return;
    }
  }
}

std::uint32_t ChildIndex::Find(std::uint32_t parent, std::u16string_view name, const std::vector<FileNode>& files,
                               const std::vector<char16_t>& names) const {
  if (slots_.empty()) return 0;
  std::size_t mask = slots_.size() - 1;
  for (std::size_t at = HashName(parent, name) & mask; slots_[at] != Empty; at = (at + 1) & mask) {
    if (slots_[at] == Tombstone) continue;
    const FileNode& node = files[slots_[at] - 1];
    if (node.parent == parent && EqualFolded(std::u16string_view(names.data() + node.nameOffset, node.nameLength), name))
      return slots_[at] - 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------

std::u16string_view NodeName(const Drive& drive, const FileNode& node) {
  return std::u16string_view(drive.names.data() + node.nameOffset, node.nameLength);
}

std::uint64_t FrnOf(const FileNode& node, std::uint32_t index) {
  return (static_cast<std::uint64_t>(node.sequence) << 48) | index;
}

Drive* HandleDrive(const HandleEntry& entry) {
  if (entry.drive < 0) return nullptr;
  Drive& drive = M().drives[entry.drive];
  return drive.present && drive.generation == entry.generation ? &drive : nullptr;
}

FileNode* FindRecord(Drive& drive, std::uint64_t frn, std::uint32_t* index) {
  std::uint64_t record = frn & 0x0000FFFFFFFFFFFF;
  if (record >= drive.files.size()) return nullptr;
  FileNode& node = drive.files[record];
  if (node.sequence == 0 || node.sequence != (frn >> 48)) return nullptr;
  if (record < FirstUserRecord && record != RootRecord) return nullptr;
  *index = static_cast<std::uint32_t>(record);
  return &node;
}

bool LookupPath(std::u16string_view path, int* driveIndex, std::uint32_t* record) {
  path = StripLongPrefix(path);
  if (path.size() < 3 || path[1] != u':' || path[2] != u'\\') return false;
  int index = DriveIndex(path[0]);
  Drive* drive = PresentDrive(index);
  if (!drive || !drive->ntfs) return false;
  std::uint32_t current = RootRecord;
  std::u16string_view rest = path.substr(3);
  while (!rest.empty()) {
    std::size_t cut = rest.find(u'\\');
    std::u16string_view part = rest.substr(0, cut);
    rest = cut == std::u16string_view::npos ? std::u16string_view() : rest.substr(cut + 1);
    if (part.empty()) continue;
    std::uint32_t child = drive->index.Find(current, part, drive->files, drive->names);
    if (child == 0) return false;
    current = child;
  }
  *driveIndex = index;
  *record = current;
  return true;
}

}  // namespace sim::detail

// =============================================================================================
// Test API.

namespace sim {

using namespace detail;

namespace {

std::uint32_t AddRecord(Drive& drive, std::u16string_view name, std::uint32_t parent, std::uint32_t attributes) {
  auto index = static_cast<std::uint32_t>(drive.files.size());
  FileNode node;
  node.nameOffset = static_cast<std::uint32_t>(drive.names.size());
  node.nameLength = static_cast<std::uint16_t>(name.size());
  node.sequence = 1;
  node.parent = parent;
  node.attributes = attributes;
  node.creation = node.lastAccess = node.lastWrite = M().now;
  drive.names.insert(drive.names.end(), name.begin(), name.end());
  drive.files.push_back(node);
  drive.index.Insert(parent, name, index, drive.files, drive.names);
  TouchUsn(drive, drive.files[index]);
  return index;
}

// Checks a new name under `parent`; returns the parent's record index or 0 when it cannot be added.
std::uint32_t CheckNewChild(Drive* drive, std::u16string_view name, std::uint64_t parentFrn) {
  if (!drive || !drive->ntfs || name.empty() || name.size() > 255) return 0;
  std::uint32_t parent = 0;
  FileNode* node = FindRecord(*drive, parentFrn, &parent);
  if (!node || !(node->attributes & os::FileAttributeDirectory)) return 0;
  if (drive->index.Find(parent, name, drive->files, drive->names) != 0) return 0;
  return parent;
}

FileInfo Describe(const Drive& drive, std::uint32_t index) {
  const FileNode& node = drive.files[index];
  FileInfo info;
  info.exists = true;
  info.name = std::u16string(NodeName(drive, node));
  info.frn = FrnOf(node, index);
  info.parent = FrnOf(drive.files[node.parent], node.parent);
  info.attributes = node.attributes;
  info.size = node.size;
  info.allocated = node.allocated;
  info.creation = node.creation;
  info.lastAccess = node.lastAccess;
  info.lastWrite = node.lastWrite;
  info.usn = node.usn;
  info.writeOpens = node.writeOpens;
  info.recalled = node.recalled;
  return info;
}

template <typename Action>
void WithRecord(char16_t letter, std::uint64_t frn, Action action) {
  std::lock_guard<std::mutex> lock(Mutex());
  Drive* drive = TestDrive(letter);
  std::uint32_t index = 0;
  FileNode* node = drive ? FindRecord(*drive, frn, &index) : nullptr;
  if (node) action(*drive, *node, index);
}

}  // namespace

bool JournalActive(char16_t letter) {
  std::lock_guard<std::mutex> lock(Mutex());
  Drive* drive = TestDrive(letter);
  return drive && drive->journal.active;
}

void SetJournal(char16_t letter, bool active) {
  std::lock_guard<std::mutex> lock(Mutex());
  Drive* drive = TestDrive(letter);
  if (drive && drive->ntfs) drive->journal.active = active;
}

std::int64_t JournalNextUsn(char16_t letter) {
  std::lock_guard<std::mutex> lock(Mutex());
  Drive* drive = TestDrive(letter);
  return drive ? drive->journal.nextUsn : 0;
}

void QueueEnumOutput(char16_t letter, std::vector<std::uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (Drive* drive = TestDrive(letter)) drive->queuedEnum.push_back(std::move(bytes));
}

std::uint64_t AddFile(char16_t letter, const FileSpec& spec) {
  std::lock_guard<std::mutex> lock(Mutex());
  Drive* drive = TestDrive(letter);
  std::uint32_t parent = CheckNewChild(drive, spec.name, spec.parent);
  if (parent == 0) return 0;
  std::uint32_t index = AddRecord(*drive, spec.name, parent, spec.attributes & ~os::FileAttributeDirectory);
  FileNode& node = drive->files[index];
  node.size = spec.size;
  node.securityId = spec.securityId;
  if (spec.creation) node.creation = spec.creation;
  if (spec.lastAccess) node.lastAccess = spec.lastAccess;
  if (spec.lastWrite) node.lastWrite = spec.lastWrite;
  if (spec.compressionRatio >= 0 || spec.compressedSize >= 0)
    drive->overrides[index] = CompressionOverride{spec.compressionRatio, spec.compressedSize};
  node.allocated = (node.attributes & os::FileAttributeCompressed) ? CompressedAllocation(*drive, index, node)
                                                                   : PlainAllocation(*drive, node);
  return FrnOf(node, index);
}

std::uint64_t AddDirectory(char16_t letter, std::u16string_view name, std::uint64_t parentFrn) {
  std::lock_guard<std::mutex> lock(Mutex());
  Drive* drive = TestDrive(letter);
  std::uint32_t parent = CheckNewChild(drive, name, parentFrn);
  if (parent == 0) return 0;
  std::uint32_t index = AddRecord(*drive, name, parent, os::FileAttributeDirectory);
  drive->files[index].securityId = 0x100;
  return FrnOf(drive->files[index], index);
}

void RemoveVolumeFile(char16_t letter, std::uint64_t frn) {
  WithRecord(letter, frn, [](Drive& drive, FileNode& node, std::uint32_t index) {
    if (index == RootRecord) return;
    drive.index.Erase(node.parent, NodeName(drive, node), index);
    node.sequence = 0;
  });
}

FileInfo VolumeFile(char16_t letter, std::uint64_t frn) {
  FileInfo info;
  WithRecord(letter, frn, [&](Drive& drive, FileNode&, std::uint32_t index) { info = Describe(drive, index); });
  return info;
}

FileInfo VolumeFileByPath(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  int drive = -1;
  std::uint32_t record = 0;
  if (!LookupPath(path, &drive, &record)) return FileInfo{};
  return Describe(M().drives[drive], record);
}

void SetLastAccess(char16_t letter, std::uint64_t frn, FileTime lastAccess) {
  WithRecord(letter, frn, [&](Drive&, FileNode& node, std::uint32_t) { node.lastAccess = lastAccess; });
}

void SetFileAttributes(char16_t letter, std::uint64_t frn, std::uint32_t attributes) {
  WithRecord(letter, frn, [&](Drive&, FileNode& node, std::uint32_t) {
    node.attributes = (node.attributes & os::FileAttributeDirectory) | (attributes & ~os::FileAttributeDirectory);
  });
}

void SetFileSize(char16_t letter, std::uint64_t frn, std::uint64_t size) {
  WithRecord(letter, frn, [&](Drive& drive, FileNode& node, std::uint32_t index) {
    node.size = size;
    node.allocated = (node.attributes & os::FileAttributeCompressed) ? CompressedAllocation(drive, index, node)
                                                                     : PlainAllocation(drive, node);
  });
}

void SetReparsePoint(char16_t letter, std::uint64_t frn, std::u16string_view target) {
  WithRecord(letter, frn, [&](Drive& drive, FileNode& node, std::uint32_t index) {
    node.attributes |= os::FileAttributeReparsePoint;
    node.reparse = target.empty() ? ReparseKind::Placeholder : ReparseKind::Link;
    if (!target.empty()) drive.linkTargets[index] = std::u16string(target);
    TouchUsn(drive, node);
  });
}

HoldId HoldOpen(char16_t letter, std::uint64_t frn, std::uint32_t access, std::uint32_t share) {
  HoldId id = 0;
  WithRecord(letter, frn, [&](Drive&, FileNode& node, std::uint32_t index) {
    if (ShareConflict(node.opens, access, share)) return;
    AddOpen(node.opens, access, share);
    Machine& m = M();
    id = m.nextHold++;
    int drive = DriveIndex(letter);
    m.holds[id] = Hold{Hold::Target::VolumeFile, drive, m.drives[drive].generation, index, nullptr, access, share};
  });
  return id;
}

}  // namespace sim

// =============================================================================================
// os:: functions.

namespace os {

using namespace sim::detail;

// ---------------------------------------------------------------------------------------------
// File-system controls.

namespace {

bool QueryJournal(Drive& drive, void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) {
  if (!drive.ntfs) return Fails(ErrorInvalidFunction);
  if (!drive.journal.active) return Fails(ErrorJournalNotActive);
  // USN_JOURNAL_DATA_V0 is 56 bytes; Windows 8 added the V1 tail with the record versions.
  const Machine& m = M();
  bool v1 = m.major > 6 || (m.major == 6 && m.minor >= 2);
  if (!out || outSize < 56) return Fails(ErrorInsufficientBuffer);
  std::uint32_t size = v1 && outSize >= 64 ? 64 : 56;
  auto* bytes = static_cast<std::uint8_t*>(out);
  std::memset(bytes, 0, size);
  const Journal& journal = drive.journal;
  Put<std::uint64_t>(bytes, 0, journal.id);
  Put<std::int64_t>(bytes, 8, journal.firstUsn);
  Put<std::int64_t>(bytes, 16, journal.nextUsn);
  Put<std::int64_t>(bytes, 24, journal.firstUsn);   // LowestValidUsn
  Put<std::int64_t>(bytes, 32, MaxUsn);
  Put<std::uint64_t>(bytes, 40, journal.maximumSize);
  Put<std::uint64_t>(bytes, 48, journal.allocationDelta);
  if (size == 64) {
    std::uint16_t minMajor, maxMajor;
    JournalVersions(drive, &minMajor, &maxMajor);
    Put<std::uint16_t>(bytes, 56, minMajor);
    Put<std::uint16_t>(bytes, 58, maxMajor);
  }
  if (bytesReturned) *bytesReturned = size;
  return true;
}

bool CreateJournal(Drive& drive, const void* in, std::uint32_t inSize, std::uint32_t* bytesReturned) {
  if (!drive.ntfs) return Fails(ErrorInvalidFunction);
  if (!in || inSize < 16) return Fails(ErrorInvalidParameter);
  std::uint64_t maximumSize = Get<std::uint64_t>(in, 0);
  std::uint64_t allocationDelta = Get<std::uint64_t>(in, 8);
  Journal& journal = drive.journal;
  if (!journal.active) {
    journal.active = true;
    journal.id = 0x01D0000000000000ull + M().now / sim::Second;
    journal.firstUsn = journal.nextUsn;
  }
  if (maximumSize) journal.maximumSize = maximumSize;
  if (allocationDelta) journal.allocationDelta = allocationDelta;
  if (bytesReturned) *bytesReturned = 0;
  return true;
}

bool EnumUsnData(Drive& drive, const void* in, std::uint32_t inSize, void* out, std::uint32_t outSize,
                 std::uint32_t* bytesReturned) {
  if (!drive.ntfs) return Fails(ErrorInvalidFunction);
  if (!in || inSize < 24) return Fails(ErrorInvalidParameter);
  if (!drive.journal.active) return Fails(ErrorJournalNotActive);
  auto* bytes = static_cast<std::uint8_t*>(out);
  if (!drive.queuedEnum.empty()) {
    const std::vector<std::uint8_t>& batch = drive.queuedEnum.front();
    std::uint32_t size = static_cast<std::uint32_t>(std::min<std::size_t>(batch.size(), outSize));
    if (size) std::memcpy(bytes, batch.data(), size);
    if (bytesReturned) *bytesReturned = size;
    drive.queuedEnum.pop_front();
    return true;
  }
  std::uint64_t start = Get<std::uint64_t>(in, 0) & 0x0000FFFFFFFFFFFF;
  auto lowUsn = Get<std::int64_t>(in, 8);
  auto highUsn = Get<std::int64_t>(in, 16);

  // Windows 7 knows only MFT_ENUM_DATA_V0 and USN_RECORD_V2. From Windows 8 on, a 32-byte input
  // is MFT_ENUM_DATA_V1, whose version range must meet what the volume supports.
  const Machine& m = M();
  bool win8up = m.major > 6 || (m.major == 6 && m.minor >= 2);
  // Enumeration returns records of version 2 or 3 only.
  std::uint16_t lowestVersion = 2;
  std::uint16_t highestVersion = 2;
  if (win8up && inSize >= 32) {
    auto minMajor = Get<std::uint16_t>(in, 24);
    auto maxMajor = Get<std::uint16_t>(in, 26);
    std::uint16_t volumeMin, volumeMax;
    JournalVersions(drive, &volumeMin, &volumeMax);
    if (minMajor > maxMajor || maxMajor < volumeMin || minMajor > volumeMax) return Fails(ErrorInvalidParameter);
    lowestVersion = std::max<std::uint16_t>({minMajor, volumeMin, 2});
    highestVersion = std::min<std::uint16_t>({maxMajor, volumeMax, 3});
    if (lowestVersion > highestVersion) return Fails(ErrorInvalidParameter);
  }
  if (!out || outSize < 8) return Fails(ErrorInsufficientBuffer);

  using Choice = sim::DriveSpec::EnumRecords;
  std::size_t used = 8;
  std::uint64_t next = start;
  bool any = false;
  for (std::size_t i = std::max<std::uint64_t>(start, FirstUserRecord); i < drive.files.size(); ++i) {
    const FileNode& node = drive.files[i];
    if (node.sequence == 0 || node.usn < lowUsn || node.usn > highUsn) continue;
    std::uint16_t recordVersion = highestVersion;
    if (drive.spec.enumRecords == Choice::Lowest) recordVersion = lowestVersion;
    if (drive.spec.enumRecords == Choice::Alternating) recordVersion = i % 2 ? highestVersion : lowestVersion;
    std::size_t header = recordVersion == 3 ? 76 : 60;
    std::size_t length = (header + 2 * node.nameLength + 7) & ~std::size_t{7};
    if (used + length > outSize) {
      if (!any) return Fails(ErrorInsufficientBuffer);
      break;
    }
    std::uint8_t* record = bytes + used;
    std::memset(record, 0, length);
    const FileNode& parent = drive.files[node.parent];
    Put<std::uint32_t>(record, 0, static_cast<std::uint32_t>(length));
    Put<std::uint16_t>(record, 4, recordVersion);
    Put<std::uint16_t>(record, 6, 0);
    std::size_t at = 8;
    Put<std::uint64_t>(record, at, FrnOf(node, static_cast<std::uint32_t>(i)));   // 128-bit ids: high half 0
    at += recordVersion == 3 ? 16 : 8;
    Put<std::uint64_t>(record, at, FrnOf(parent, node.parent));
    at += recordVersion == 3 ? 16 : 8;
    Put<std::int64_t>(record, at, node.usn);
    Put<std::int64_t>(record, at + 8, static_cast<std::int64_t>(node.lastWrite));   // TimeStamp
    Put<std::uint32_t>(record, at + 16, 0);                                         // Reason
    Put<std::uint32_t>(record, at + 20, 0);                                         // SourceInfo
    Put<std::uint32_t>(record, at + 24, node.securityId);
    Put<std::uint32_t>(record, at + 28, node.attributes);
    Put<std::uint16_t>(record, at + 32, static_cast<std::uint16_t>(2 * node.nameLength));
    Put<std::uint16_t>(record, at + 34, static_cast<std::uint16_t>(header));
    std::memcpy(record + header, drive.names.data() + node.nameOffset, 2 * node.nameLength);
    used += length;
    next = i + 1;
    any = true;
  }
  if (!any) return Fails(ErrorHandleEof);
  Put<std::uint64_t>(bytes, 0, next);
  if (bytesReturned) *bytesReturned = static_cast<std::uint32_t>(used);
  return true;
}

bool GetCompression(const HandleEntry& entry, void* out, std::uint32_t outSize, std::uint32_t* bytesReturned) {
  if (!out || outSize < 2) return Fails(ErrorInsufficientBuffer);
  std::uint16_t format = CompressionFormatNone;
  if (entry.kind == HandleKind::VolumeFile) {
    const FileNode& node = M().drives[entry.drive].files[entry.record];
    if (node.attributes & FileAttributeCompressed) format = CompressionFormatLznt1;   // NTFS reports LZNT1
  }
  Put<std::uint16_t>(static_cast<std::uint8_t*>(out), 0, format);
  if (bytesReturned) *bytesReturned = 2;
  return true;
}

bool SetCompression(const HandleEntry& entry, const void* in, std::uint32_t inSize, std::uint32_t* bytesReturned) {
  if (!in || inSize < 2) return Fails(ErrorInvalidParameter);
  auto format = Get<std::uint16_t>(in, 0);
  if (format > CompressionFormatLznt1) return Fails(ErrorInvalidParameter);
  if (entry.kind != HandleKind::VolumeFile) return Fails(ErrorInvalidFunction);
  // FSCTL_SET_COMPRESSION is defined with FILE_READ_DATA | FILE_WRITE_DATA access.
  if (!Permits(entry.access, FileReadData | FileWriteData)) return false;
  Drive& drive = M().drives[entry.drive];
  FileNode& node = drive.files[entry.record];
  bool compress = format != CompressionFormatNone;
  if (compress == ((node.attributes & FileAttributeCompressed) != 0)) {
    if (bytesReturned) *bytesReturned = 0;
    return true;
  }
  std::uint64_t allocated = compress ? CompressedAllocation(drive, entry.record, node) : PlainAllocation(drive, node);
  if (allocated > node.allocated && allocated - node.allocated > drive.freeBytes) return Fails(ErrorDiskFull);
  ChangeFreeSpace(drive, static_cast<std::int64_t>(node.allocated) - static_cast<std::int64_t>(allocated));
  node.allocated = allocated;
  node.attributes = compress ? node.attributes | FileAttributeCompressed : node.attributes & ~FileAttributeCompressed;
  TouchUsn(drive, node);
  if (bytesReturned) *bytesReturned = 0;
  return true;
}

}  // namespace

bool DeviceIoControl(Handle device, std::uint32_t controlCode, const void* inBuffer, std::uint32_t inSize,
                     void* outBuffer, std::uint32_t outSize, std::uint32_t* bytesReturned) {
  if (std::uint32_t error = CallGate(Fn::DeviceIoControl, controlCode)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(device);
  if (!entry || entry->kind == HandleKind::Thread || entry->kind == HandleKind::PortConnection)
    return Fails(ErrorInvalidHandle);
  if (entry->kind == HandleKind::Volume) {
    Drive* current = HandleDrive(*entry);
    if (!current) return Fails(ErrorInvalidHandle);
    Drive& drive = *current;
    if (!drive.spec.mediaPresent) return Fails(ErrorNotReady);
    switch (controlCode) {
      case FsctlQueryUsnJournal:
        return QueryJournal(drive, outBuffer, outSize, bytesReturned);
      case FsctlCreateUsnJournal:
        return CreateJournal(drive, inBuffer, inSize, bytesReturned);
      case FsctlEnumUsnData:
        return EnumUsnData(drive, inBuffer, inSize, outBuffer, outSize, bytesReturned);
      case FsctlGetCompression:
      case FsctlSetCompression:
        return Fails(ErrorInvalidParameter);
      default:
        return Fails(ErrorInvalidFunction);
    }
  }
  if (entry->kind == HandleKind::VolumeFile) {
    const Drive* drive = HandleDrive(*entry);
    if (!drive) return Fails(ErrorInvalidHandle);
    if (drive->files[entry->record].sequence == 0) return Fails(ErrorFileNotFound);
  }
  switch (controlCode) {
    case FsctlGetCompression:
      return GetCompression(*entry, outBuffer, outSize, bytesReturned);
    case FsctlSetCompression:
      return SetCompression(*entry, inBuffer, inSize, bytesReturned);
    case FsctlQueryUsnJournal:
    case FsctlCreateUsnJournal:
    case FsctlEnumUsnData:
      return Fails(ErrorInvalidParameter);
    default:
      return Fails(ErrorInvalidFunction);
  }
}

// ---------------------------------------------------------------------------------------------
// Opening by file reference number, and per-file queries.

std::int32_t NtCreateFile(Handle* fileHandle, std::uint32_t desiredAccess, const ObjectAttributes* objectAttributes,
                          IoStatusBlock* ioStatus, const std::int64_t* /*allocationSize*/,
                          std::uint32_t /*fileAttributes*/, std::uint32_t shareAccess,
                          std::uint32_t createDisposition, std::uint32_t createOptions, void* /*eaBuffer*/,
                          std::uint32_t /*eaLength*/) {
  if (std::uint32_t error = CallGate(Fn::NtCreateFile)) return static_cast<std::int32_t>(error);
  if (!fileHandle || !objectAttributes || !objectAttributes->ObjectName || !objectAttributes->ObjectName->Buffer)
    return StatusInvalidParameter;
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  constexpr std::uint32_t AttributeRights = 0x80 | 0x100 | 0x100000;   // read, write attributes; synchronize
  ++((MappedFileAccess(desiredAccess) & ~AttributeRights) == 0 ? m.fileOpens.attributesOnly
                                                                : m.fileOpens.beyondAttributes);
  HandleEntry* root = m.handles.Find(objectAttributes->RootDirectory);
  if (!root || root->kind != HandleKind::Volume || !HandleDrive(*root)) return StatusInvalidHandle;
  Drive& drive = m.drives[root->drive];
  if (!drive.ntfs) return StatusInvalidParameter;
  // Only opening by file id is modelled; such an open can only open an existing file.
  if (!(createOptions & FileOpenByFileId) || createDisposition != FileOpen) return StatusInvalidParameter;
  const CountedString& name = *objectAttributes->ObjectName;
  if (name.Length != 8 && name.Length != 16) return StatusInvalidParameter;
  // NTFS reads a 16-byte id as an object id, and no file here has one.
  if (name.Length == 16) return StatusObjectNameNotFound;
  std::uint64_t frn;
  std::memcpy(&frn, name.Buffer, sizeof(frn));
  std::uint32_t index = 0;
  FileNode* node = FindRecord(drive, frn, &index);
  if (!node) return StatusInvalidParameter;
  // A reparse point is followed unless the caller asks for the point itself.
  int driveIndex = root->drive;
  if (!(createOptions & FileOpenReparsePoint)) {
    for (int hops = 0; node->reparse == ReparseKind::Link; ++hops) {
      if (hops == MaxLinkHops) return StatusReparsePointNotResolved;
      const std::u16string& target = m.drives[driveIndex].linkTargets.find(index)->second;
      if (!LookupPath(target, &driveIndex, &index)) return StatusObjectNameNotFound;
      node = &m.drives[driveIndex].files[index];
    }
    if (node->reparse == ReparseKind::Placeholder) node->recalled = true;
  }
  Drive& opened = m.drives[driveIndex];
  bool directory = (node->attributes & FileAttributeDirectory) != 0;
  if (directory && (createOptions & FileNonDirectoryFile)) return StatusFileIsADirectory;
  if (!directory && (createOptions & FileDirectoryFile)) return StatusNotADirectory;
  if ((node->attributes & FileAttributeReadonly) && WantsWrite(desiredAccess)) return StatusAccessDenied;
  std::int32_t status = CheckOplockOnOpen(opened, index, desiredAccess, shareAccess, createOptions,
                                          ShareConflict(node->opens, desiredAccess, shareAccess));
  if (status != StatusSuccess && status != sim::detail::StatusOplockBreakInProgress) return status;
  HandleEntry* entry = nullptr;
  Handle handle = m.handles.Allocate(&entry);
  if (handle == NullHandle) return StatusInsufficientResources;
  entry->kind = HandleKind::VolumeFile;
  entry->drive = driveIndex;
  entry->generation = opened.generation;
  entry->record = index;
  entry->access = desiredAccess;
  entry->share = shareAccess;
  AddOpen(node->opens, desiredAccess, shareAccess);
  if (WantsWrite(desiredAccess)) ++node->writeOpens;
  *fileHandle = handle;
  if (ioStatus) {
    ioStatus->Status = status;
    ioStatus->Information = 1;   // FILE_OPENED
  }
  return status;
}

namespace {

// The file record behind a handle, or nullptr with the last error set.
const FileNode* OpenRecord(const HandleEntry* entry) {
  const Drive* drive = HandleDrive(*entry);
  if (!drive) {
    SetLastError(ErrorInvalidHandle);
    return nullptr;
  }
  if (drive->files[entry->record].sequence == 0) {
    SetLastError(ErrorFileNotFound);
    return nullptr;
  }
  return &drive->files[entry->record];
}

}  // namespace

bool GetFileSizeEx(Handle file, std::int64_t* size) {
  if (std::uint32_t error = CallGate(Fn::GetFileSizeEx)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  if (!entry) return Fails(ErrorInvalidHandle);
  if (!size) return Fails(ErrorInvalidParameter);
  switch (entry->kind) {
    case HandleKind::VolumeFile: {
      const FileNode* node = OpenRecord(entry);
      if (!node) return false;
      *size = static_cast<std::int64_t>(node->size);
      return true;
    }
    case HandleKind::PlainFile:
      *size = static_cast<std::int64_t>(entry->file->bytes.size());
      return true;
    case HandleKind::Volume:
      return Fails(ErrorInvalidFunction);
    default:
      return Fails(ErrorInvalidHandle);
  }
}

bool GetFileTime(Handle file, FileTime* creation, FileTime* lastAccess, FileTime* lastWrite) {
  if (std::uint32_t error = CallGate(Fn::GetFileTime)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  if (!entry) return Fails(ErrorInvalidHandle);
  FileTime times[3];
  // Read through FileBasicInformation, which needs FILE_READ_ATTRIBUTES.
  if ((entry->kind == HandleKind::VolumeFile || entry->kind == HandleKind::PlainFile) && !Permits(entry->access, 0x80))
    return false;
  if (entry->kind == HandleKind::VolumeFile) {
    const FileNode* node = OpenRecord(entry);
    if (!node) return false;
    times[0] = node->creation;
    times[1] = node->lastAccess;
    times[2] = node->lastWrite;
  } else if (entry->kind == HandleKind::PlainFile) {
    times[0] = entry->file->creation;
    times[1] = entry->file->lastAccess;
    times[2] = entry->file->lastWrite;
  } else {
    return Fails(entry->kind == HandleKind::Volume ? ErrorInvalidFunction : ErrorInvalidHandle);
  }
  if (creation) *creation = times[0];
  if (lastAccess) *lastAccess = times[1];
  if (lastWrite) *lastWrite = times[2];
  return true;
}

std::uint32_t GetFinalPathNameByHandleW(Handle file, char16_t* path, std::uint32_t capacity, std::uint32_t flags) {
  if (std::uint32_t error = CallGate(Fn::GetFinalPathNameByHandleW)) {
    SetLastError(error);
    return 0;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  if (!entry || (entry->kind != HandleKind::VolumeFile && entry->kind != HandleKind::PlainFile)) {
    SetLastError(entry ? ErrorInvalidFunction : ErrorInvalidHandle);
    return 0;
  }
  std::uint32_t volumeForm = flags & ~FileNameOpened;
  if (volumeForm != VolumeNameDos && volumeForm != VolumeNameNt && volumeForm != VolumeNameNone) {
    SetLastError(ErrorInvalidParameter);
    return 0;
  }

  // The volume part, then the path below the root ("\dir\name", or "\" for the root itself).
  int driveIndex;
  std::u16string_view plainRest;
  if (entry->kind == HandleKind::PlainFile) {
    driveIndex = DriveIndex(entry->file->path[0]);
    plainRest = std::u16string_view(entry->file->path).substr(2);
  } else {
    driveIndex = entry->drive;
    if (!OpenRecord(entry)) return 0;
  }
  char16_t dosPrefix[] = u"\\\\?\\C:";
  dosPrefix[4] = static_cast<char16_t>(u'A' + driveIndex);
  std::u16string_view prefix;
  if (volumeForm == VolumeNameDos) prefix = dosPrefix;
  else if (volumeForm == VolumeNameNt) prefix = M().drives[driveIndex].spec.device;

  std::size_t restLength = 0;
  const Drive& drive = M().drives[driveIndex];
  if (entry->kind == HandleKind::PlainFile) {
    restLength = plainRest.size();
  } else if (entry->record == RootRecord) {
    restLength = 1;
  } else {
    for (std::uint32_t at = entry->record; at != RootRecord; at = drive.files[at].parent)
      restLength += 1 + drive.files[at].nameLength;
  }
  std::size_t total = prefix.size() + restLength;
  if (!path || capacity < total + 1) return static_cast<std::uint32_t>(total + 1);

  prefix.copy(path, prefix.size());
  if (entry->kind == HandleKind::PlainFile) {
    plainRest.copy(path + prefix.size(), plainRest.size());
  } else if (entry->record == RootRecord) {
    path[prefix.size()] = u'\\';
  } else {
    std::size_t end = total;
    for (std::uint32_t at = entry->record; at != RootRecord; at = drive.files[at].parent) {
      std::u16string_view name = NodeName(drive, drive.files[at]);
      end -= name.size();
      name.copy(path + end, name.size());
      path[--end] = u'\\';
    }
  }
  path[total] = 0;
  return static_cast<std::uint32_t>(total);
}

std::uint32_t GetCompressedFileSizeW(const char16_t* path, std::uint32_t* fileSizeHigh) {
  constexpr std::uint32_t InvalidFileSize = 0xFFFFFFFF;
  if (std::uint32_t error = CallGate(Fn::GetCompressedFileSizeW)) {
    SetLastError(error);
    return InvalidFileSize;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string_view rest;
  Drive* drive = path ? PresentDrive(ParseDrivePath(path, &rest)) : nullptr;
  if (!drive || rest.empty() || rest[0] != u'\\') {
    SetLastError(ErrorPathNotFound);
    return InvalidFileSize;
  }
  std::uint64_t size = 0;
  int found = -1;
  std::uint32_t record = 0;
  if (LookupPath(path, &found, &record)) {
    // A compressed file reports the space its data occupies; any other file, and a compressed
    // one whose data is resident in its record, its size.
    const FileNode& node = M().drives[found].files[record];
    bool packed = (node.attributes & FileAttributeCompressed) && node.size > ResidentLimit;
    if (node.attributes & FileAttributeDirectory) size = 0;
    else size = packed ? node.allocated : node.size;
  } else {
    auto plain = M().plainFiles.find(PlainKey(path));
    if (plain == M().plainFiles.end()) {
      SetLastError(ErrorFileNotFound);
      return InvalidFileSize;
    }
    size = plain->second->bytes.size();
  }
  if (fileSizeHigh) *fileSizeHigh = static_cast<std::uint32_t>(size >> 32);
  SetLastError(ErrorSuccess);
  return static_cast<std::uint32_t>(size);
}

bool GetFileInformationByHandle(Handle file, ByHandleFileInformation* info) {
  if (std::uint32_t error = CallGate(Fn::GetFileInformationByHandle)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  if (entry && entry->kind == HandleKind::PlainFile && info) return PlainFileInformation(*entry, info);
  if (!entry || entry->kind != HandleKind::VolumeFile) return Fails(ErrorInvalidHandle);   // only these are modelled
  if (!info) return Fails(998);   // ERROR_NOACCESS
  if (!Permits(entry->access, 0x80)) return false;   // FILE_READ_ATTRIBUTES, as FileBasicInformation
  const FileNode* node = OpenRecord(entry);
  if (!node) return false;
  ByHandleFileInformation out = {};
  auto split = [](std::uint64_t value, std::uint32_t& high, std::uint32_t& low) {
    high = static_cast<std::uint32_t>(value >> 32);
    low = static_cast<std::uint32_t>(value);
  };
  out.dwFileAttributes = node->attributes;
  split(node->creation, out.ftCreationTime[1], out.ftCreationTime[0]);
  split(node->lastAccess, out.ftLastAccessTime[1], out.ftLastAccessTime[0]);
  split(node->lastWrite, out.ftLastWriteTime[1], out.ftLastWriteTime[0]);
  out.dwVolumeSerialNumber = M().drives[entry->drive].spec.serialNumber;
  split(node->size, out.nFileSizeHigh, out.nFileSizeLow);
  out.nNumberOfLinks = 1;
  split(FrnOf(*node, entry->record), out.nFileIndexHigh, out.nFileIndexLow);
  *info = out;
  return true;
}

bool GetFileInformationByHandleEx(Handle file, std::uint32_t infoClass, void* buffer, std::uint32_t bufferSize) {
  if (std::uint32_t error = CallGate(Fn::GetFileInformationByHandleEx)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  if (!entry || entry->kind != HandleKind::VolumeFile) return Fails(ErrorInvalidHandle);   // only these are modelled
  if (infoClass != FileCompressionInfoClass) return Fails(ErrorInvalidParameter);          // and only this class
  if (!buffer || bufferSize < sizeof(FileCompressionInfo)) return Fails(ErrorBadLength);
  const FileNode* node = OpenRecord(entry);
  if (!node) return false;
  // As GetCompressedFileSizeW: the space taken by compressed data that is not resident, else the size.
  FileCompressionInfo out = {};
  bool compressed = (node->attributes & FileAttributeCompressed) != 0;
  out.CompressedFileSize = static_cast<std::int64_t>(compressed && node->size > ResidentLimit ? node->allocated : node->size);
  if (compressed) {
    out.CompressionFormat = CompressionFormatLznt1;
    out.CompressionUnitShift = 16;
    out.ChunkShift = 12;
    out.ClusterShift = 12;
  }
  std::memcpy(buffer, &out, sizeof(out));
  return true;
}

}  // namespace os
