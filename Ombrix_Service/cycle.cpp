#include <cstring>

#include "Ombrix_Service/service.h"
#include "common/debug_log.h"
#include "common/drive.h"

namespace {

std::uint32_t RateOf(std::int64_t saved, std::uint64_t used) {
  if (used == 0) return 0;
  return std::uint32_t(std::uint64_t(saved) * 10000 / used);
}

}  // namespace

// One compression cycle over the drive letters C: to Z:. A completed cycle publishes its record,
// writes the statistics file and reconnects to the filter; a cycle ended by a stop does neither.
void RunCycle() {
  PassControl& control = Service.Control;
  StatsRecord& work = Service.Work;
  std::memset(&work, 0, sizeof(work));
  control.QuotaReached = 0;
  control.CycleSaved = 0;
  DebugLog(u"----- Compress Filter Thread Start");

  std::uint64_t usedSum = 0;
  for (int i = 0; i < StatsDriveLetters; ++i) {
    if (control.AbortRequested) break;
    char16_t name[4];
    FormatWide(name, 4, u"%c:", int(u'C' + i));

    work.DriveEligible[i] = IsFixedDrive(name) ? 1 : 0;
    if (!HasCompressedAttribute(name) && IsNtfs(name)) work.DriveNtfs[i] = 1;
    work.DriveType[i] = os::GetDriveTypeW(name);

    if (work.DriveEligible[i] == 1 && work.DriveNtfs[i] == 1) {
      std::int64_t saved = CompressVolume(name, control);
      if (control.AbortRequested) continue;
      work.DriveSaved[i] = saved;
      std::uint64_t available = 0, total = 0, totalFree = 0;
      os::GetDiskFreeSpaceExW(name, &available, &total, &totalFree);
      std::uint64_t used = total - totalFree;
      work.DriveRate[i] = RateOf(saved, used);
      DebugLog(u"%s = %d , %I64d , %I64d", name, std::int32_t(work.DriveRate[i]), saved, std::int64_t(used));
      usedSum += used;
    } else {
      work.DriveSaved[i] = 0;
    }
  }

  if (!control.AbortRequested) {
    work.TotalSaved = 0;
    for (int j = 0; j < StatsDriveSlots; ++j) {
      if (StatsDriveActive(work, j)) work.TotalSaved += work.DriveSaved[j];
    }
    work.TotalRate = RateOf(work.TotalSaved, usedSum);
    DebugLog(u"Total = %d , %I64d , %I64d", std::int32_t(work.TotalRate), work.TotalSaved, std::int64_t(usedSum));

    os::FileTime now = 0;
    os::GetSystemTimeAsFileTime(&now);
    SetStatsUpdatedAt(work, now);
    work.Valid = 1;
    std::memcpy(&Service.Published, &work, sizeof(work));
    WriteStatsFile();
    ConnectFilter();
  }
  DebugLog(u"----- Compress Filter Thread End\n");
}
