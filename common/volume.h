// Volume and file routines shared by the service's volume pass and the installer's decompression
// pass: Windows-version class, change-journal enumeration, file selection and compression control.
#pragma once

#include <cstdint>

#include "os/os.h"

// Class of the Windows version; selects the change-journal structures.
enum : std::int32_t {
  NTFSTYPE_NONE = 0,       // below 6.1, or the version query failed: nothing is enumerated
  NTFSTYPE_WIN7 = 1,       // MFT_ENUM_DATA_V0 in, USN_RECORD_V2 out
  NTFSTYPE_WIN8_0 = 2,     // MFT_ENUM_DATA_V1 in, USN_RECORD_V2 out
  NTFSTYPE_WIN8_1_UP = 3,  // MFT_ENUM_DATA_V1 in, USN_RECORD_V3 out
};

constexpr std::uint64_t StaleAge = 2592000000ull;        // ms (30 days); stale when strictly older
constexpr std::int64_t MaxFileSize = 0x40000000;          // larger files are skipped
constexpr std::uint64_t RestoreFreeSpace = 0x80000000ull; // free bytes needed to decompress
constexpr std::int64_t CycleQuota = 0x20000000;           // new savings after which a cycle compresses no more
constexpr std::uint32_t EnumOutputSize = 4096;
constexpr std::uint32_t EnumInputLength = 32;
constexpr int CandidateNameCapacity = 4096;

// Extensions never compressed: dot, lower-case extension, comma; the last entry ends in a comma too.
extern const char16_t ExcludedExtensions[];

struct MftEnumDataV0 {
  std::uint64_t StartFileReferenceNumber;
  std::int64_t LowUsn;
  std::int64_t HighUsn;
};
static_assert(sizeof(MftEnumDataV0) == 24, "MFT_ENUM_DATA_V0");

struct MftEnumDataV1 {
  std::uint64_t StartFileReferenceNumber;
  std::int64_t LowUsn;
  std::int64_t HighUsn;
  std::uint16_t MinMajorVersion;
  std::uint16_t MaxMajorVersion;
};
static_assert(sizeof(MftEnumDataV1) == 32, "MFT_ENUM_DATA_V1");

// Both input forms are passed with a length of 32 bytes, so the short form carries zero padding
// after its 24 bytes: the file system never reads past what we own.
struct ShortEnumInput {
  MftEnumDataV0 Data;
  std::uint8_t Padding[EnumInputLength - sizeof(MftEnumDataV0)];
};
static_assert(sizeof(ShortEnumInput) == EnumInputLength, "short input is passed with length 32");

// The file most recently handed out by NextFileRecord.
struct FileCandidate {
  os::Handle Volume;
  char16_t Name[CandidateNameCapacity];   // the file's own name, no directory part
  std::uint32_t Attributes;               // at enumeration time
  std::uint64_t FileReferenceNumber;
  os::Handle File;                        // open while the file is being handled
  std::int64_t Size;
  std::uint8_t RecentlyUsed;
  std::uint8_t Compressed;                // attribute bit 0x800 at enumeration time
};

// The state of one enumeration over one volume.
struct EnumContext {
  os::Handle Volume;
  std::int32_t NtfsType;
  ShortEnumInput ShortInput;
  MftEnumDataV1 LongInput;
  alignas(8) std::uint8_t Output[EnumOutputSize];
  std::uint32_t Cursor;      // offset of the next record in Output
  std::int32_t Remaining;    // bytes of records from Cursor to the end of the valid output
  FileCandidate Current;
};

// Classifies the Windows version and writes the class's diagnostic line.
std::int32_t QueryNtfsType();

// Opens "\\.\C:" for the given two-character drive name; InvalidHandleValue on failure.
os::Handle OpenVolume(const char16_t* drive);

// Reads the change journal into the enumeration input; on failure logs "USN Error", asks for the
// journal to be created and returns false.
bool QueryJournal(EnumContext& context);
// The same query without the failure's line and without creating a journal (the installer's
// decompression pass leaves a volume without a journal as it found it).
bool ReadJournal(EnumContext& context);

// Hands out the next file record into context.Current; false when no record is left or the
// enumeration output is malformed.
bool NextFileRecord(EnumContext& context);

// The tests that the service's and the installer's selections share: not a directory or system
// file, an extension outside ExcludedExtensions (the name is lowered in place), the file opened
// by its number and no larger than MaxFileSize. True with the file open (candidate.File); false
// with no handle left open.
bool OpenEligibleFile(FileCandidate& candidate);
// The service's selection: OpenEligibleFile, then the last-access and compression facts.
// True when the candidate is to be handled; the file is then open (candidate.File).
bool SelectFile(FileCandidate& candidate);
// The installer's selection: OpenEligibleFile, and the enumeration's attributes carry the
// compressed bit. True with the file open; false with no handle left open.
bool SelectCompressedFile(FileCandidate& candidate);

os::Handle OpenFileById(os::Handle volume, std::uint64_t fileReferenceNumber);
bool IsStale(os::Handle file);
bool CompressFile(os::Handle file);
bool DecompressFile(os::Handle file);
