#include "common/volume.h"

#include <cstring>

#include "common/debug_log.h"

constexpr char16_t ExcludedExtensions[] =
    u".dmg,.gz,.gzip,.iso,.lha,.lzh,.lzma,.rar,.rpm,.split,.swm,.tar,.taz,.tbz,.tbz2,.tgz,.tpz,.wim,.xar,.z,"
    u".zip,.gif,.avi,.rm,.rmvb,.mov,.wmv,.mpg,.mlv,.mpe,.mpeg,.mp4,";

namespace {

// The excluded extensions as numbers: the characters after the dot, one byte each, the first in
// the lowest byte. The list holds ASCII only, a dot starts every entry and a comma ends it, so a
// probe (one dot, then the extension, then a comma) occurs in the list exactly when its
// extension, without any comma of its own, is one of these numbers.
constexpr int ExcludedCount = [] {
  int count = 0;
  for (char16_t c : ExcludedExtensions) count += c == u',';
  return count;
}();
constexpr int ExcludedKeyUnits = 8;   // characters a key holds; every entry is shorter

struct ExcludedKeys {
  std::uint64_t keys[ExcludedCount];
};

constexpr ExcludedKeys MakeExcludedKeys() {
  ExcludedKeys table{};
  int entry = 0;
  int shift = 0;
  for (const char16_t* c = ExcludedExtensions; *c != 0; ++c) {
    if (*c == u'.') {
      shift = 0;
    } else if (*c == u',') {
      ++entry;
    } else {
      table.keys[entry] |= std::uint64_t(*c) << shift;
      shift += 8;
    }
  }
  return table;
}
constexpr ExcludedKeys Excluded = MakeExcludedKeys();

// The keys in a table of 64 slots that a multiplicative hash fills without collisions (the
// multiplier is searched for at compile time); an empty slot holds 0, which is no key.
constexpr int ExcludedSlotBits = 6;

constexpr int SlotOf(std::uint64_t key, std::uint64_t multiplier) {
  return int((key * multiplier) >> (64 - ExcludedSlotBits));
}

constexpr std::uint64_t FindMultiplier() {
  for (std::uint64_t multiplier = 0x9E3779B97F4A7C15ull;; multiplier += 0x5851F42D4C957F2Eull) {
    bool used[1 << ExcludedSlotBits] = {};
    bool clash = false;
    for (std::uint64_t key : Excluded.keys) {
      int slot = SlotOf(key, multiplier | 1);
      clash = clash || used[slot];
      used[slot] = true;
    }
    if (!clash) return multiplier | 1;
  }
}
constexpr std::uint64_t ExcludedMultiplier = FindMultiplier();

struct ExcludedTable {
  std::uint64_t slots[1 << ExcludedSlotBits];
};

constexpr ExcludedTable MakeExcludedTable() {
  ExcludedTable table{};
  for (std::uint64_t key : Excluded.keys) table.slots[SlotOf(key, ExcludedMultiplier)] = key;
  return table;
}
constexpr ExcludedTable ExcludedSlots = MakeExcludedTable();

constexpr bool ListIsPlain() {
  int units = 0;
  bool inEntry = false;
  for (const char16_t* c = ExcludedExtensions; *c != 0; ++c) {
    if (*c == u'.') {
      if (inEntry) return false;   // a dot inside an entry
      inEntry = true;
      units = 0;
    } else if (*c == u',') {
      if (!inEntry || units == 0) return false;
      inEntry = false;
    } else {
      if (!inEntry || *c == 0 || *c > 0x7F) return false;
      if (++units >= ExcludedKeyUnits) return false;
    }
  }
  return !inEntry;
}
static_assert(ListIsPlain(), "the extension keys rely on dot-led, comma-ended, short ASCII entries");

template <typename T>
T ReadAt(const std::uint8_t* bytes, std::uint32_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof(T));
  return value;
}

bool Refill(EnumContext& context) {
  void* input;
  std::uint64_t* start;
  if (context.NtfsType == NTFSTYPE_WIN7) {
    input = &context.ShortInput;
    start = &context.ShortInput.Data.StartFileReferenceNumber;
  } else if (context.NtfsType == NTFSTYPE_WIN8_0 || context.NtfsType == NTFSTYPE_WIN8_1_UP) {
    input = &context.LongInput;
    start = &context.LongInput.StartFileReferenceNumber;
  } else {
    return false;
  }
  if (context.LastBatch) return false;
  std::uint32_t returned = 0;
  if (!os::DeviceIoControl(context.Volume, os::FsctlEnumUsnData, input, EnumInputLength, context.Output,
                           EnumOutputSize, &returned)) {
    return false;
  }
  // A batch without a single record (or a nonsensical count) ends the enumeration: the next
  // start number would not move on, and there is nothing to read.
  if (returned <= sizeof(std::uint64_t) || returned > EnumOutputSize) return false;
  // A next start that does not move on would fetch the same batch again, for ever: its records
  // are handed out, and the enumeration ends after them.
  std::uint64_t next = ReadAt<std::uint64_t>(context.Output, 0);
  if (next <= *start) context.LastBatch = 1;
  else *start = next;
  context.Cursor = sizeof(std::uint64_t);
  context.Remaining = std::int32_t(returned - sizeof(std::uint64_t));
  return true;
}

}  // namespace

std::int32_t QueryNtfsType() {
  os::OsVersionInfo info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  if (!os::GetVersionExW(&info)) return NTFSTYPE_NONE;
  if (info.dwMajorVersion < 6) return NTFSTYPE_NONE;
  if (info.dwMajorVersion == 6 && info.dwMinorVersion == 0) return NTFSTYPE_NONE;
  if (info.dwMajorVersion == 6 && info.dwMinorVersion == 1) {
    DebugLog(u"NTFSTYPE_WIN7");
    return NTFSTYPE_WIN7;
  }
  if (info.dwMajorVersion == 6 && info.dwMinorVersion == 2) {
    DebugLog(u"NTFSTYPE_WIN8_0");
    return NTFSTYPE_WIN8_0;
  }
  DebugLog(u"NTFSTYPE_WIN8_1_UP");
  return NTFSTYPE_WIN8_1_UP;
}

os::Handle OpenVolume(const char16_t* drive) {
  char16_t path[260];
  FormatWide(path, 260, u"\\\\.\\%s", drive);
  return os::CreateFileW(path, os::GenericRead | os::GenericWrite, os::FileShareRead | os::FileShareWrite,
                         os::OpenExisting, os::FileAttributeReadonly);
}

bool QueryJournal(EnumContext& context) {
  if (!ReadJournal(context)) {
    DebugLog(u"USN Error");
    std::uint8_t create[CreateJournalDataSize] = {};   // default maximum size and delta
    std::uint32_t returned = 0;
    os::DeviceIoControl(context.Volume, os::FsctlCreateUsnJournal, create, sizeof(create), nullptr, 0, &returned);
    return false;
  }
  return true;
}

bool ReadJournal(EnumContext& context) {
  alignas(8) std::uint8_t journal[JournalDataSize] = {};
  std::uint32_t returned = 0;
  if (!os::DeviceIoControl(context.Volume, os::FsctlQueryUsnJournal, nullptr, 0, journal, JournalDataSize,
                           &returned)) {
    return false;
  }
  std::int64_t nextUsn = ReadAt<std::int64_t>(journal, JournalNextUsn);
  std::uint32_t serial = 0;
  if (os::GetVolumeInformationByHandleW(context.Volume, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
    context.VolumeSerial = serial;
    context.VolumeSerialKnown = 1;
  }
  if (context.NtfsType == NTFSTYPE_WIN7) {
    context.ShortInput.Data.HighUsn = nextUsn;
  } else if (context.NtfsType == NTFSTYPE_WIN8_0 || context.NtfsType == NTFSTYPE_WIN8_1_UP) {
    context.LongInput.HighUsn = nextUsn;
    context.LongInput.MinMajorVersion = ReadAt<std::uint16_t>(journal, JournalMinMajor);
    context.LongInput.MaxMajorVersion = ReadAt<std::uint16_t>(journal, JournalMaxMajor);
  }
  return true;
}

bool NextFileRecord(EnumContext& context) {
  for (;;) {
    if (context.Remaining == 0 && !Refill(context)) return false;

    // The batch comes from the file system, but it is read defensively all the same: a record
    // that does not fit what is left of the batch, or whose name runs past the record, ends the
    // enumeration rather than leading the reader outside the buffer or round in a circle.
    const std::uint8_t* record = context.Output + context.Cursor;
    if (context.Remaining < std::int32_t(RecordCommonHeader)) return false;
    std::uint32_t recordLength = ReadAt<std::uint32_t>(record, 0);
    if (recordLength < RecordCommonHeader || recordLength > std::uint32_t(context.Remaining)) return false;

    // Each record says its own layout: a file system may answer the long input with version 2
    // records, or mix them with version 3. Any other version is not a layout we know; its length
    // still says where the next record starts.
    std::uint16_t major = ReadAt<std::uint16_t>(record, RecordMajorVersion);
    context.Remaining -= std::int32_t(recordLength);
    context.Cursor += recordLength;
    if (major != 2 && major != 3) continue;
    const RecordLayout& layout = major == 3 ? LayoutV3 : LayoutV2;
    if (recordLength < layout.name) return false;
    std::uint32_t nameBytes = ReadAt<std::uint16_t>(record, layout.nameLength);
    if (layout.name + nameBytes > recordLength) return false;

    // Every field of the candidate is set here, so only the name's terminator needs clearing;
    // what lies in the name field after it is never read.
    FileCandidate& current = context.Current;
    current.Volume = context.Volume;
    current.VolumeSerial = context.VolumeSerial;
    current.VolumeSerialKnown = context.VolumeSerialKnown;
    current.FileReferenceNumber = ReadAt<std::uint64_t>(record, RecordFileReference);
    current.Attributes = ReadAt<std::uint32_t>(record, layout.attributes);
    current.File = os::NullHandle;
    current.Size = 0;
    current.RecentlyUsed = 0;
    current.Compressed = 0;
    std::uint32_t units = nameBytes / 2;   // at most (4096 - 8 - 60) / 2, always fits the name field
    std::memcpy(current.Name, record + layout.name, units * sizeof(char16_t));
    current.Name[units] = 0;
    current.NameLength = units;
    return true;
  }
}

namespace {

// Four UTF-16 units at a time: a 64-bit word holds four 16-bit lanes.
constexpr std::uint64_t LaneOnes = 0x0001000100010001ull;
constexpr std::uint64_t LaneHigh = 0x8000800080008000ull;

// Non-zero in its lane high bits exactly when some lane of the word is zero (the borrow of a zero
// lane may mark the lane above it too, which does not matter for "some").
inline std::uint64_t SomeZeroLane(std::uint64_t word) { return (word - LaneOnes) & ~word; }

}  // namespace

// Runs for nearly every record, so it reads the name four units per step and touches nothing
// but the extension character by character.
bool IsExcludedName(const char16_t* name, std::size_t length) {
  // Look for a NUL and for a dot. The name ends at its first NUL (a file system never puts one
  // inside a name); without any dot the probe is ",", which is in the list.
  constexpr std::uint64_t Dots = u'.' * LaneOnes;
  std::uint64_t zeros = 0;
  std::uint64_t dots = 0;
  std::size_t whole = length / 4;
  for (std::size_t w = 0; w < whole; ++w) {
    std::uint64_t word;
    std::memcpy(&word, name + 4 * w, sizeof(word));
    zeros |= SomeZeroLane(word);
    dots |= SomeZeroLane(word ^ Dots);
  }
  for (std::size_t i = 4 * whole; i < length; ++i) {
    zeros |= name[i] == 0 ? LaneHigh : 0;
    dots |= name[i] == u'.' ? LaneHigh : 0;
  }
  if ((zeros & LaneHigh) != 0) {
    std::size_t end = 0;
    while (name[end] != 0) ++end;
    length = end;
  } else if ((dots & LaneHigh) == 0) {
    return true;
  }
  // The extension runs from the last dot. One of 256 units or more counts as empty, so the file
  // is out then too: the dot is looked for among the last 255 units only.
  std::size_t window = length < 255 ? length : 255;
  std::size_t units = 0;   // after the dot
  while (units < window && name[length - 1 - units] != u'.') ++units;
  if (units == window) return true;
  // Longer extensions, and any with a character outside ASCII, are in no entry; the entries are
  // lower case, so the extension is lowered (A to Z only) as its key is formed.
  if (units == 0 || units >= ExcludedKeyUnits) return false;
  const char16_t* extension = name + length - units;
  std::uint64_t key = 0;
  for (std::size_t i = 0; i < units; ++i) {
    char16_t unit = extension[i];
    if (unit > 0x7F) return false;
    if (char16_t(unit - u'A') < 26) unit = char16_t(unit + (u'a' - u'A'));
    key |= std::uint64_t(unit) << (8 * i);
  }
  return ExcludedSlots.slots[SlotOf(key, ExcludedMultiplier)] == key;
}

bool IsEligibleRecord(FileCandidate& candidate) {
  if (candidate.Attributes &
      (os::FileAttributeDirectory | os::FileAttributeSystem | os::FileAttributeReparsePoint)) {
    return false;
  }
  // The extension test does not depend on case. Only a name that passes it is lowered in place:
  // a rejected candidate is overwritten by the next record unseen.
  if (IsExcludedName(candidate.Name, candidate.NameLength)) return false;
  for (char16_t* c = candidate.Name; *c != 0; ++c) {
    if (char16_t(*c - u'A') < 26) *c = char16_t(*c + (u'a' - u'A'));
  }
  return true;
}

namespace {

// Whether an open handle reached a plain file (no reparse point, no directory) on the pass's
// volume, no larger than MaxFileSize; its size in *size. Nothing is asked through a path.
bool IsPlainFileOnVolume(os::Handle file, const FileCandidate& candidate, std::int64_t* size) {
  os::ByHandleFileInformation info = {};
  return os::GetFileInformationByHandle(file, &info) &&
         (info.dwFileAttributes & (os::FileAttributeReparsePoint | os::FileAttributeDirectory)) == 0 &&
         candidate.VolumeSerialKnown && info.dwVolumeSerialNumber == candidate.VolumeSerial &&
         os::GetFileSizeEx(file, size) && *size <= MaxFileSize;
}

// Opens a file record of the volume by its number, never following a reparse point; the handle
// variable is written by the call only when it succeeds, and *status is what the call returned.
os::Handle OpenById(os::Handle volume, std::uint64_t fileReferenceNumber, std::uint32_t access, std::uint32_t share,
                    std::uint32_t options, std::int32_t* status) {
  os::CountedString name;
  name.Length = sizeof(fileReferenceNumber);
  name.MaximumLength = sizeof(fileReferenceNumber);
  name.Buffer = reinterpret_cast<const char16_t*>(&fileReferenceNumber);
  os::ObjectAttributes attributes{volume, &name, os::ObjCaseInsensitive};
  os::IoStatusBlock io = {};
  os::Handle file = os::NullHandle;
  *status = os::NtCreateFile(&file, access, &attributes, &io, nullptr, os::FileAttributeNormal, share, os::FileOpen,
                             os::FileOpenByFileId | os::FileNonDirectoryFile | os::FileOpenReparsePoint | options,
                             nullptr, 0);
  return file;
}

}  // namespace

bool OpenSelectedFile(FileCandidate& candidate) {
  candidate.File = OpenFileById(candidate.Volume, candidate.FileReferenceNumber);
  if (candidate.File == os::NullHandle) return false;
  // The record may have become a reparse point since it was enumerated: what the handle refers
  // to decides.
  if (!IsPlainFileOnVolume(candidate.File, candidate, &candidate.Size)) {
    os::CloseHandle(candidate.File);
    candidate.File = os::NullHandle;
    return false;
  }
  return true;
}

bool OpenEligibleFile(FileCandidate& candidate) {
  return IsEligibleRecord(candidate) && OpenSelectedFile(candidate);
}

bool SelectFile(FileCandidate& candidate) {
  if (!OpenEligibleFile(candidate)) return false;
  candidate.RecentlyUsed = IsStale(candidate.File) ? 0 : 1;
  candidate.Compressed = (candidate.Attributes & os::FileAttributeCompressed) ? 1 : 0;
  return true;
}

bool IsCompressedCandidate(FileCandidate& candidate) {
  // Most records are not compressed: they are passed over before anything else is looked at.
  if ((candidate.Attributes & os::FileAttributeCompressed) == 0) return false;
  if (!IsEligibleRecord(candidate)) return false;
  candidate.Compressed = 1;
  return true;
}

os::Handle OpenFileById(os::Handle volume, std::uint64_t fileReferenceNumber) {
  std::int32_t status = 0;
  return OpenById(volume, fileReferenceNumber, os::FileReadAttributes | os::Synchronize,
                  os::FileShareRead | os::FileShareWrite | os::FileShareDelete, 0, &status);
}

os::Handle OpenFileForChange(const FileCandidate& candidate) {
  std::int32_t status = 0;
  os::Handle file = OpenById(candidate.Volume, candidate.FileReferenceNumber, os::FileGenericReadWrite,
                             os::FileShareRead | os::FileShareWrite, os::FileCompleteIfOplocked, &status);
  if (file == os::NullHandle) return os::NullHandle;
  // An oplock break in progress (another program has yet to let go of its caching) leaves the
  // file to the next cycle, as does a file that has changed its nature since it was selected.
  std::int64_t size = 0;
  if (status != os::StatusSuccess || !IsPlainFileOnVolume(file, candidate, &size)) {
    os::CloseHandle(file);
    return os::NullHandle;
  }
  return file;
}

bool IsStale(os::Handle file) {
  os::FileTime lastAccess = 0;
  // Without a last-access time there is no evidence that the file is unused: leave it be.
  if (!os::GetFileTime(file, nullptr, &lastAccess, nullptr)) return false;
  os::FileTime now = 0;
  os::GetSystemTimeAsFileTime(&now);
  std::uint64_t ageMs = (now - lastAccess) / 10000;   // a time in the future wraps to a huge age
  return ageMs > StaleAge;
}

namespace {

std::uint16_t CurrentCompression(os::Handle file) {
  std::uint16_t format = os::CompressionFormatNone;
  std::uint32_t returned = 0;
  os::DeviceIoControl(file, os::FsctlGetCompression, nullptr, 0, &format, sizeof(format), &returned);
  return format;
}

// The one change the passes make to a file, through an open for reading and writing made for it
// alone and closed again at once.
bool SetCompression(const FileCandidate& file, std::uint16_t format) {
  os::Handle writable = OpenFileForChange(file);
  if (writable == os::NullHandle) return false;
  std::uint32_t returned = 0;
  bool done = os::DeviceIoControl(writable, os::FsctlSetCompression, &format, sizeof(format), nullptr, 0, &returned);
  os::CloseHandle(writable);
  return done;
}

}  // namespace

bool CompressFile(const FileCandidate& file) {
  if (CurrentCompression(file.File) != os::CompressionFormatNone) return true;
  return SetCompression(file, os::CompressionFormatDefault);
}

bool DecompressFile(const FileCandidate& file) {
  if (CurrentCompression(file.File) == os::CompressionFormatNone) return true;
  return SetCompression(file, os::CompressionFormatNone);
}
