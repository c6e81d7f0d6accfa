#include "common/volume.h"

#include <cstring>

#include "common/debug_log.h"
#include "common/wide_string.h"

const char16_t ExcludedExtensions[] =
    u".dmg,.gz,.gzip,.iso,.lha,.lzh,.lzma,.rar,.rpm,.split,.swm,.tar,.taz,.tbz,.tbz2,.tgz,.tpz,.wim,.xar,.z,"
    u".zip,.gif,.avi,.rm,.rmvb,.mov,.wmv,.mpg,.mlv,.mpe,.mpeg,.mp4,";

namespace {

// Offsets within USN_RECORD_V2 and USN_RECORD_V3.
struct RecordLayout {
  std::uint32_t attributes;
  std::uint32_t nameLength;
  std::uint32_t name;   // also the size of the fixed part
};
constexpr RecordLayout LayoutV2{52, 56, 60};
constexpr RecordLayout LayoutV3{68, 72, 76};

constexpr std::uint32_t JournalDataSize = 64;
constexpr std::uint32_t JournalNextUsn = 16;
constexpr std::uint32_t JournalMinMajor = 56;
constexpr std::uint32_t JournalMaxMajor = 58;

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
  std::uint32_t returned = 0;
  if (!os::DeviceIoControl(context.Volume, os::FsctlEnumUsnData, input, EnumInputLength, context.Output,
                           EnumOutputSize, &returned)) {
    return false;
  }
  // A batch without a single record (or a nonsensical count) ends the enumeration: the next
  // start number would not move on, and there is nothing to read.
  if (returned <= sizeof(std::uint64_t) || returned > EnumOutputSize) return false;
  *start = ReadAt<std::uint64_t>(context.Output, 0);
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
    std::uint8_t create[16] = {};   // CREATE_USN_JOURNAL_DATA: default maximum size and delta
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
  if (context.Remaining == 0 && !Refill(context)) return false;

  // The batch comes from the file system, but it is read defensively all the same: a record that
  // does not fit what is left of the batch, or whose name runs past the record, ends the
  // enumeration rather than leading the reader outside the buffer or round in a circle.
  const RecordLayout& layout = context.NtfsType == NTFSTYPE_WIN8_1_UP ? LayoutV3 : LayoutV2;
  const std::uint8_t* record = context.Output + context.Cursor;
  if (context.Remaining < std::int32_t(layout.name)) return false;
  std::uint32_t recordLength = ReadAt<std::uint32_t>(record, 0);
  if (recordLength < layout.name || recordLength > std::uint32_t(context.Remaining)) return false;
  std::uint32_t nameBytes = ReadAt<std::uint16_t>(record, layout.nameLength);
  if (layout.name + nameBytes > recordLength) return false;

  FileCandidate& current = context.Current;
  std::memset(&current, 0, sizeof(current));
  current.FileReferenceNumber = ReadAt<std::uint64_t>(record, 8);
  current.Attributes = ReadAt<std::uint32_t>(record, layout.attributes);
  std::uint32_t units = nameBytes / 2;   // at most (4096 - 8 - 60) / 2, always fits the name field
  std::memcpy(current.Name, record + layout.name, units * sizeof(char16_t));
  current.Name[units] = 0;
  current.Volume = context.Volume;

  context.Remaining -= std::int32_t(recordLength);
  context.Cursor += recordLength;
  return true;
}

bool OpenEligibleFile(FileCandidate& candidate) {
  if (candidate.Attributes & (os::FileAttributeDirectory | os::FileAttributeSystem)) return false;

  std::size_t length = 0;
  std::size_t lastDot = 0;
  bool hasDot = false;
  for (char16_t* c = candidate.Name; *c != 0; ++c, ++length) {
    if (*c >= u'A' && *c <= u'Z') *c = char16_t(*c - u'A' + u'a');
    if (*c == u'.') {
      lastDot = length;
      hasDot = true;
    }
  }

  // The probe is the extension (dot included) and a comma; no dot gives just ",", which is in
  // the list, so files without an extension are never handled.
  char16_t probe[258];
  std::size_t extensionLength = hasDot ? length - lastDot : 0;
  if (extensionLength >= 256) extensionLength = 0;
  std::memcpy(probe, candidate.Name + lastDot, extensionLength * sizeof(char16_t));
  probe[extensionLength] = u',';
  probe[extensionLength + 1] = 0;
  if (WideContains(ExcludedExtensions, probe)) return false;

  candidate.File = OpenFileById(candidate.Volume, candidate.FileReferenceNumber);
  if (candidate.File == os::NullHandle) return false;

  if (!os::GetFileSizeEx(candidate.File, &candidate.Size) || candidate.Size > MaxFileSize) {
    os::CloseHandle(candidate.File);
    candidate.File = os::NullHandle;
    return false;
  }
  return true;
}

bool SelectFile(FileCandidate& candidate) {
  if (!OpenEligibleFile(candidate)) return false;
  candidate.RecentlyUsed = IsStale(candidate.File) ? 0 : 1;
  candidate.Compressed = (candidate.Attributes & os::FileAttributeCompressed) ? 1 : 0;
  return true;
}

bool SelectCompressedFile(FileCandidate& candidate) {
  if (!OpenEligibleFile(candidate)) return false;
  // The attributes as the enumeration delivered them: there is no last-access rule here.
  if ((candidate.Attributes & os::FileAttributeCompressed) == 0) {
    os::CloseHandle(candidate.File);
    candidate.File = os::NullHandle;
    return false;
  }
  candidate.Compressed = 1;
  return true;
}

os::Handle OpenFileById(os::Handle volume, std::uint64_t fileReferenceNumber) {
  os::CountedString name;
  name.Length = sizeof(fileReferenceNumber);
  name.MaximumLength = sizeof(fileReferenceNumber);
  name.Buffer = reinterpret_cast<const char16_t*>(&fileReferenceNumber);
  os::ObjectAttributes attributes{volume, &name, os::ObjCaseInsensitive};
  os::IoStatusBlock status = {};
  os::Handle file = os::NullHandle;   // written by the call only when it succeeds
  os::NtCreateFile(&file, os::FileGenericReadWrite, &attributes, &status, nullptr, os::FileAttributeNormal,
                   os::FileShareRead | os::FileShareWrite, os::FileOpen,
                   os::FileOpenByFileId | os::FileNonDirectoryFile, nullptr, 0);
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

bool SetCompression(os::Handle file, std::uint16_t format) {
  std::uint32_t returned = 0;
  return os::DeviceIoControl(file, os::FsctlSetCompression, &format, sizeof(format), nullptr, 0, &returned);
}

}  // namespace

bool CompressFile(os::Handle file) {
  if (CurrentCompression(file) != os::CompressionFormatNone) return true;
  return SetCompression(file, os::CompressionFormatDefault);
}

bool DecompressFile(os::Handle file) {
  if (CurrentCompression(file) == os::CompressionFormatNone) return true;
  return SetCompression(file, os::CompressionFormatNone);
}
