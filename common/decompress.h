// The installer's decompression pass over one volume, on the service's own volume routines: every
// compressed file of the kinds the service compresses gets its NTFS compression cleared, while the
// volume keeps at least FreeSpaceFloor bytes free.
#pragma once

#include <cstdint>

#include "common/worker_record.h"

// A volume's pass stops when the bytes free to the caller fall below this.
constexpr std::uint64_t FreeSpaceFloor = 2147483648ull;

// One volume, drive name "C:". ntfsType is the Windows-version class the worker determined; the
// record's stop request is read before every file record, and its current name is rewritten with
// the name of each record before the record is examined. The free space is read before each file
// that is to be decompressed (only a decompression lowers it), so a full volume ends its pass at
// its next compressed candidate. True when the volume was opened and its journal read. Only the
// lines "----- %s Decompress Start \n", "%s Disk near full",
// "%s , Free = %I64d , SetSize = %I64d" and "----- %s Decompress End \n" are written; a volume
// without a change journal is left without one.
bool DecompressVolume(const char16_t* drive, std::int32_t ntfsType, WorkerRecord& record);
