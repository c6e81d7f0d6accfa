// Oplocks and leases that other programs hold on file records, and the access rights an open
// grants: which opens break an oplock, which of them wait for the holder's acknowledgement, what
// FILE_COMPLETE_IF_OPLOCKED changes, and which operations a handle's access permits.
#include "os/sim/machine.h"

namespace sim::detail {

namespace {

// Access rights (winnt.h values, as Microsoft documents them).
constexpr std::uint32_t ReadEa = 0x8;
constexpr std::uint32_t ReadAttributes = 0x80;
constexpr std::uint32_t WriteAttributes = 0x100;
constexpr std::uint32_t SynchronizeAccess = 0x100000;
constexpr std::uint32_t ShareRead = 0x1;
constexpr std::int32_t StatusDone = 0;   // STATUS_SUCCESS

constexpr std::uint32_t CompleteIfOplocked = 0x100;   // FILE_COMPLETE_IF_OPLOCKED
constexpr std::int32_t StatusCancelled = static_cast<std::int32_t>(0xC0000120);

// Nothing but attributes and synchronisation: such an open breaks no oplock.
bool AttributesOnly(std::uint32_t access) {
  return (MappedFileAccess(access) & ~(ReadAttributes | WriteAttributes | SynchronizeAccess)) == 0;
}

// A filter oplock lets readers in that share reading.
bool BreaksFilter(std::uint32_t access, std::uint32_t share) {
  constexpr std::uint32_t Reading = FileReadData | ReadAttributes | ReadEa | ReadControlRight | FileExecute | SynchronizeAccess;
  return (MappedFileAccess(access) & ~Reading) != 0 || !(share & ShareRead);
}

bool Exclusive(OplockLevel level) {
  return level == OplockLevel::Level1 || level == OplockLevel::Batch || level == OplockLevel::Filter ||
         level == OplockLevel::ReadWrite || level == OplockLevel::ReadWriteHandle;
}

// The holder is told to break and never answers.
void SendBreak(OplockRecord& oplock) {
  if (!oplock.breaking) ++oplock.breaks;
  oplock.breaking = true;
}

std::int32_t Wait(const Drive& drive, std::uint32_t record, std::uint32_t createOptions, std::int32_t whenNotWaiting) {
  if (createOptions & CompleteIfOplocked) return whenNotWaiting;
  std::u16string what = u"NtCreateFile ";
  what += static_cast<char16_t>(u'A' + (&drive - M().drives.data()));
  what += u":";
  std::u16string path;
  for (std::uint32_t at = record; at != RootRecord; at = drive.files[at].parent)
    path = u"\\" + std::u16string(NodeName(drive, drive.files[at])) + path;
  M().oplockWaits.push_back(what + path);
  return StatusCancelled;
}

}  // namespace

std::uint32_t MappedFileAccess(std::uint32_t access) {
  std::uint32_t mapped = access & 0x0FFFFFFF;
  if (access & GenericReadRight) mapped |= FileGenericRead;
  if (access & GenericWriteRight) mapped |= FileGenericWrite;
  if (access & GenericExecute) mapped |= FileGenericExecute;
  if (access & GenericAll) mapped |= FileAllAccess;
  return mapped;
}

bool Permits(std::uint32_t access, std::uint32_t needed) {
  if ((MappedFileAccess(access) & needed) == needed) return true;
  return Fails(5);   // ERROR_ACCESS_DENIED
}

std::int32_t CheckOplockOnOpen(Drive& drive, std::uint32_t record, std::uint32_t desiredAccess,
                               std::uint32_t shareAccess, std::uint32_t createOptions, bool sharingViolation) {
  auto it = drive.oplocks.find(record);
  if (it == drive.oplocks.end() || AttributesOnly(desiredAccess)) {
    return sharingViolation ? StatusSharingViolation : StatusDone;
  }
  OplockRecord& oplock = it->second;
  OplockLevel level = oplock.level;
  if (sharingViolation) {
    // The holder may be caching a handle it would close: it is asked to, and the open waits.
    bool closable = level == OplockLevel::Batch || level == OplockLevel::Filter || level == OplockLevel::ReadHandle ||
                    level == OplockLevel::ReadWriteHandle;
    if (!closable) return StatusSharingViolation;
    SendBreak(oplock);
    return Wait(drive, record, createOptions, StatusSharingViolation);
  }
  bool breaks = level == OplockLevel::Level1 || level == OplockLevel::Batch || level == OplockLevel::ReadWrite ||
                level == OplockLevel::ReadWriteHandle ||
                (level == OplockLevel::Filter && BreaksFilter(desiredAccess, shareAccess));
  if (!breaks && !oplock.breaking) return StatusDone;
  SendBreak(oplock);
  return Wait(drive, record, createOptions, StatusOplockBreakInProgress);
}

void EndOplockOf(HoldId hold) {
  for (Drive& drive : M().drives) {
    for (auto it = drive.oplocks.begin(); it != drive.oplocks.end(); ++it) {
      if (it->second.holder == hold) {
        drive.oplocks.erase(it);
        return;
      }
    }
  }
}

}  // namespace sim::detail

// =============================================================================================
// Test API.

namespace sim {

using namespace detail;

bool GrantOplock(HoldId id, OplockLevel level) {
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  auto hold = m.holds.find(id);
  if (hold == m.holds.end() || hold->second.target != Hold::Target::VolumeFile) return false;
  Drive& drive = m.drives[hold->second.drive];
  if (!drive.present || drive.generation != hold->second.generation) return false;
  if (drive.oplocks.count(hold->second.record)) return false;
  if (Exclusive(level)) {
    // No other open of the file may read or write its data.
    const OpenCounts& opens = drive.files[hold->second.record].opens;
    std::uint32_t own = (WantsRead(hold->second.access) ? 1 : 0) + (WantsWrite(hold->second.access) ? 1 : 0);
    if (opens.readers + opens.writers > own) return false;
  }
  drive.oplocks[hold->second.record] = OplockRecord{id, level, false, 0};
  return true;
}

OplockInfo Oplock(char16_t letter, std::uint64_t frn) {
  std::lock_guard<std::mutex> lock(Mutex());
  OplockInfo info;
  Drive* drive = TestDrive(letter);
  std::uint32_t index = 0;
  if (!drive || !FindRecord(*drive, frn, &index)) return info;
  auto it = drive->oplocks.find(index);
  if (it == drive->oplocks.end()) return info;
  info.held = true;
  info.level = it->second.level;
  info.breaking = it->second.breaking;
  info.breaks = it->second.breaks;
  return info;
}

std::vector<std::u16string> OplockWaits() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().oplockWaits;
}

FileOpenCounts FileOpens() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().fileOpens;
}

}  // namespace sim
