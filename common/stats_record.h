// The statistics record: the 597 bytes of Ombrix.ini, written by the service (after every completed
// cycle) and the installer (once), read whole by the viewer. No header, no padding, little-endian,
// most fields unaligned. Entry i of the per-drive arrays belongs to drive letter C + i; entries 24
// to 31 are always 0.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int StatsDriveSlots = 32;
constexpr int StatsDriveLetters = 24;   // C to Z

#pragma pack(push, 1)
struct StatsRecord {
  std::uint8_t Valid;                              // 1 when the record holds results
  std::uint32_t UpdatedAtLow;                      // FILETIME (UTC) the record was made
  std::uint32_t UpdatedAtHigh;
  std::int64_t TotalSaved;                         // bytes saved on all active drives
  std::uint32_t TotalRate;                         // hundredths of a percent of the used space
  std::uint8_t DriveEligible[StatsDriveSlots];     // fixed drive
  std::uint8_t DriveNtfs[StatsDriveSlots];         // NTFS and the drive name not compressed
  std::uint32_t DriveType[StatsDriveSlots];        // GetDriveTypeW result
  std::int64_t DriveSaved[StatsDriveSlots];
  std::uint32_t DriveRate[StatsDriveSlots];
};
#pragma pack(pop)

static_assert(sizeof(StatsRecord) == 597, "the statistics record is 597 bytes");
static_assert(offsetof(StatsRecord, Valid) == 0, "Valid");
static_assert(offsetof(StatsRecord, UpdatedAtLow) == 1, "UpdatedAt");
static_assert(offsetof(StatsRecord, UpdatedAtHigh) == 5, "UpdatedAt high part");
static_assert(offsetof(StatsRecord, TotalSaved) == 9, "TotalSaved");
static_assert(offsetof(StatsRecord, TotalRate) == 17, "TotalRate");
static_assert(offsetof(StatsRecord, DriveEligible) == 21, "DriveEligible");
static_assert(offsetof(StatsRecord, DriveNtfs) == 53, "DriveNtfs");
static_assert(offsetof(StatsRecord, DriveType) == 85, "DriveType");
static_assert(offsetof(StatsRecord, DriveSaved) == 213, "DriveSaved");
static_assert(offsetof(StatsRecord, DriveRate) == 469, "DriveRate");

inline std::uint64_t StatsUpdatedAt(const StatsRecord& record) {
  return (std::uint64_t(record.UpdatedAtHigh) << 32) | record.UpdatedAtLow;
}

inline void SetStatsUpdatedAt(StatsRecord& record, std::uint64_t fileTime) {
  record.UpdatedAtLow = std::uint32_t(fileTime);
  record.UpdatedAtHigh = std::uint32_t(fileTime >> 32);
}

// A drive counts as active when it is fixed and NTFS (readers also require drive type 3).
inline bool StatsDriveActive(const StatsRecord& record, int index) {
  return record.DriveEligible[index] == 1 && record.DriveNtfs[index] == 1;
}
