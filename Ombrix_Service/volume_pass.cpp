#include <cstring>

#include "Ombrix_Service/service.h"
#include "common/debug_log.h"
#include "common/volume.h"

namespace {

constexpr std::int64_t MeasureUnit = 4096;

std::int64_t RoundUp(std::int64_t size) {
  return (size + MeasureUnit - 1) / MeasureUnit * MeasureUnit;
}

struct PassTotals {
  std::int64_t volumeTotal;   // saved by every measured file
  std::int64_t newSavings;    // saved by files this pass compressed
  std::int64_t records;
};

// Compares the file's size with the space allocated to its data, both in 4 KiB units. The space
// is asked through the open handle: a path could lead somewhere else by now.
void MeasureFile(const FileCandidate& file, PassControl& control, PassTotals& totals) {
  std::uint64_t compressed = 0xFFFFFFFFull;   // what an unreadable size yields
  os::FileCompressionInfo info = {};
  if (os::GetFileInformationByHandleEx(file.File, os::FileCompressionInfoClass, &info, sizeof(info))) {
    compressed = std::uint64_t(info.CompressedFileSize);
  }
  std::int64_t size = RoundUp(file.Size);
  std::int64_t allocated = RoundUp(std::int64_t(compressed));
  if (size <= allocated) return;

  std::int64_t saving = size - allocated;
  totals.volumeTotal += saving;
  if (!file.Compressed) {
    totals.newSavings += saving;
    if (control.CycleSaved + totals.newSavings > CycleQuota) control.QuotaReached = 1;
  }
}

bool EnoughSpaceToRestore(const char16_t* drive) {
  std::uint64_t available = 0, total = 0, totalFree = 0;
  if (!os::GetDiskFreeSpaceExW(drive, &available, &total, &totalFree)) return false;
  return available >= RestoreFreeSpace;
}

void HandleFile(const char16_t* drive, const FileCandidate& file, PassControl& control, PassTotals& totals) {
  if (!file.RecentlyUsed) {
    if (!file.Compressed) {
      if (control.QuotaReached) return;
      CompressFile(file);
    }
    MeasureFile(file, control, totals);
  } else if (file.Compressed) {
    if (EnoughSpaceToRestore(drive)) {
      DecompressFile(file);
    } else {
      MeasureFile(file, control, totals);
    }
  }
}

// The pass's state is large (an 8 KiB name buffer and a 4 KiB batch); it lives on the
// worker's stack, so nothing is allocated per volume or per file.
std::int64_t RunPass(const char16_t* drive, PassControl& control, EnumContext& context, PassTotals& totals) {
  while (NextFileRecord(context)) {
    if (control.AbortRequested) break;
    ++totals.records;
    FileCandidate& file = context.Current;
    if (!SelectFile(file)) continue;
    HandleFile(drive, file, control, totals);
    os::CloseHandle(file.File);
    file.File = os::NullHandle;
  }
  return totals.volumeTotal;
}

}  // namespace

std::int64_t CompressVolume(const char16_t* drive, PassControl& control) {
  os::FileTime start = 0;
  os::GetSystemTimeAsFileTime(&start);
  os::Handle volume = OpenVolume(drive);
  if (volume == os::InvalidHandleValue) return 0;
  DebugLog(u"----- %s Compress Start \n", drive);

  EnumContext context;
  std::memset(&context, 0, sizeof(context));
  context.Volume = volume;
  context.NtfsType = Service.NtfsType;
  if (!QueryJournal(context)) {
    os::CloseHandle(volume);
    return 0;
  }

  PassTotals totals = {0, 0, 0};
  RunPass(drive, control, context, totals);
  os::CloseHandle(volume);

  os::FileTime end = 0;
  os::GetSystemTimeAsFileTime(&end);
  std::int32_t elapsedMs = std::int32_t(std::int64_t(end - start) / 10000);
  DebugLog(u"----- %s Compress End = Compress Time = %d (ms)  Total Save = %I64d (MB) , This Time Save = %I64d (MB), "
           u"Total FileCount = %I64d \n",
           drive, elapsedMs, totals.volumeTotal / 1048576, totals.newSavings / 1048576, totals.records);
  control.CycleSaved += totals.newSavings;
  return totals.volumeTotal;
}
