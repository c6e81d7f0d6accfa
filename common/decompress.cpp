#include "common/decompress.h"

#include <cstring>

#include "common/debug_log.h"
#include "common/volume.h"

namespace {

// True when the volume may take more decompressed data. A volume whose free space cannot be read
// is treated as full: decompressing without knowing the space could fill it. Only a value that was
// actually reported is logged.
bool RoomToDecompress(const char16_t* drive) {
  std::uint64_t available = 0, total = 0, totalFree = 0;
  if (!os::GetDiskFreeSpaceExW(drive, &available, &total, &totalFree)) return false;
  if (available >= FreeSpaceFloor) return true;
  DebugLog(u"%s Disk near full", drive);
  DebugLog(u"%s , Free = %I64d , SetSize = %I64d", drive, std::int64_t(available), std::int64_t(FreeSpaceFloor));
  return false;
}

}  // namespace

bool DecompressVolume(const char16_t* drive, std::int32_t ntfsType, WorkerRecord& record) {
  os::Handle volume = OpenVolume(drive);
  if (volume == os::InvalidHandleValue) return false;
  DebugLog(u"----- %s Decompress Start \n", drive);

  // About 12 KiB, on the worker's stack: nothing is allocated per volume or per file.
  EnumContext context;
  std::memset(&context, 0, sizeof(context));
  context.Volume = volume;
  context.NtfsType = ntfsType;
  if (!ReadJournal(context)) {
    os::CloseHandle(volume);
    return false;
  }

  // Only the few compressed candidates cost system calls: the record tests come first, and the
  // free space, which only a decompression changes, is asked before each one.
  while (NextFileRecord(context)) {
    FileCandidate& file = context.Current;
    SetCurrentName(record, file.Name);
    if (record.stopRequest.load(std::memory_order_acquire) != 0) break;
    if (!IsCompressedCandidate(file)) continue;
    if (!RoomToDecompress(drive)) break;
    if (!OpenSelectedFile(file)) continue;
    DecompressFile(file);
    os::CloseHandle(file.File);
    file.File = os::NullHandle;
  }

  os::CloseHandle(volume);
  DebugLog(u"----- %s Decompress End \n", drive);
  return true;
}
