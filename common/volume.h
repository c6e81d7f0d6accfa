// Volume and file routines shared by the service's volume pass and the installer's decompression
// pass: Windows-version class, change-journal enumeration, file selection and compression control.
#pragma once

#include <cstddef>
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

// The change-journal records, read as bytes from the DeviceIoControl buffers. The Windows build
// checks the version-2 and version-0 parts against the platform's headers; MinGW-w64 lacks the
// later versions, which come from Microsoft's pages named beside them.

// Offsets within USN_RECORD_V2 and USN_RECORD_V3; every record starts with RecordLength (4 bytes)
// and MajorVersion (2 bytes), which say how to read the rest.
struct RecordLayout {
  std::uint32_t attributes;
  std::uint32_t nameLength;
  std::uint32_t name;   // also the size of the fixed part
};
constexpr RecordLayout LayoutV2{52, 56, 60};
// Not in MinGW: "USN_RECORD_V3 structure (winioctl.h)"; its FileReferenceNumber and
// ParentFileReferenceNumber are 16-byte FILE_ID_128 values, which move the rest on by 16 bytes.
constexpr RecordLayout LayoutV3{68, 72, 76};
constexpr std::uint32_t RecordMajorVersion = 4;
constexpr std::uint32_t RecordCommonHeader = 8;    // RecordLength, MajorVersion, MinorVersion
constexpr std::uint32_t RecordFileReference = 8;   // its low 64 bits in version 3

// USN_JOURNAL_DATA_V1, the output of FSCTL_QUERY_USN_JOURNAL. Not in MinGW beyond its first
// version (USN_JOURNAL_DATA_V0, 56 bytes): "USN_JOURNAL_DATA_V1 structure (winioctl.h)" adds
// MinSupportedMajorVersion and MaxSupportedMajorVersion (WORDs) at 56 and 58; 64 bytes in all.
constexpr std::uint32_t JournalDataSize = 64;
constexpr std::uint32_t JournalNextUsn = 16;
constexpr std::uint32_t JournalMinMajor = 56;
constexpr std::uint32_t JournalMaxMajor = 58;

// CREATE_USN_JOURNAL_DATA, the input of FSCTL_CREATE_USN_JOURNAL: MaximumSize, AllocationDelta.
constexpr std::uint32_t CreateJournalDataSize = 16;

struct MftEnumDataV0 {
  std::uint64_t StartFileReferenceNumber;
  std::int64_t LowUsn;
  std::int64_t HighUsn;
};
static_assert(sizeof(MftEnumDataV0) == 24, "MFT_ENUM_DATA_V0");

// Not in MinGW: "MFT_ENUM_DATA_V1 structure (winioctl.h)", MFT_ENUM_DATA_V0 followed by the
// lowest and highest record version the caller reads.
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
  std::uint32_t VolumeSerial;             // of the pass's volume; an opened file must be on it
  std::uint8_t VolumeSerialKnown;         // 0: no file passes the volume check
  char16_t Name[CandidateNameCapacity];   // the file's own name, no directory part
  std::uint32_t NameLength;               // units copied from the record (the NUL follows them)
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
  std::uint32_t VolumeSerial;
  std::uint8_t VolumeSerialKnown;   // 0 until read: no file then passes the volume check
  std::uint8_t LastBatch;           // the batch in Output did not move the start on
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

// Hands out the next file record into context.Current, read in the layout its own MajorVersion
// names (2 or 3; records of other versions are passed over); false when no record is left or the
// enumeration output is malformed.
bool NextFileRecord(EnumContext& context);

// Whether the name's extension keeps the file from being handled, exactly as the probe rule
// decides on the name lowered to ASCII lower case: no dot at all, an extension of 256 units or
// more, or one whose probe (the extension and a comma) occurs in ExcludedExtensions. The name
// ends at its first NUL, which lies at `length` at the latest.
bool IsExcludedName(const char16_t* name, std::size_t length);

// True when the candidate is to be handled; the file is then open (candidate.File).
bool SelectFile(FileCandidate& candidate);

// Opens a file record by its number for its attributes only (read attributes, synchronize),
// never following a reparse point: the open breaks no other program's oplock, is checked against
// no share mode, and so never waits. The size, the times, the identity and the compression state
// are all read through it. NullHandle when the file cannot be opened.
os::Handle OpenFileById(os::Handle volume, std::uint64_t fileReferenceNumber);
// Opens the candidate for reading and writing, for a compression change only, without waiting
// for another program: an open that reports an oplock break in progress is closed untouched
// (left to the next cycle), as is one that no longer reaches a plain file of at most
// MaxFileSize on the pass's volume. NullHandle then.
os::Handle OpenFileForChange(const FileCandidate& candidate);
bool IsStale(os::Handle file);
// Read the compression state through candidate.File; only a file whose state is to change is
// opened with OpenFileForChange, for the one FSCTL_SET_COMPRESSION.
bool CompressFile(const FileCandidate& file);
bool DecompressFile(const FileCandidate& file);

// What the installer's decompression pass uses besides the routines above.

// QueryJournal's query without the failure's line and without creating a journal: the
// decompression pass leaves a volume without a journal as it found it. Also reads the volume's
// serial number, against which every opened file is checked.
bool ReadJournal(EnumContext& context);

// The tests on the record alone, which cost no system call: not a directory, system file or
// reparse point (a link or a placeholder is never opened), and an extension outside
// ExcludedExtensions. A name that passes is lowered in place.
bool IsEligibleRecord(FileCandidate& candidate);

// Opens the candidate with OpenFileById and checks through the handle that it is no reparse
// point, lies on the pass's volume and is no larger than MaxFileSize. True with the file open
// for its attributes (candidate.File); false with no handle left open and the file untouched.
bool OpenSelectedFile(FileCandidate& candidate);

// The tests that SelectFile and the installer's selection share: IsEligibleRecord, then
// OpenSelectedFile.
bool OpenEligibleFile(FileCandidate& candidate);

// The installer's selection on the record alone: the attributes as the enumeration delivered
// them carry the compressed bit (no last-access rule), tested first, and IsEligibleRecord. The
// file is then opened with OpenSelectedFile.
bool IsCompressedCandidate(FileCandidate& candidate);
