// Plain files (the statistics file and the like), volume devices opened by name, and the
// opens held by other programs.
#include "os/sim/machine.h"

#include <algorithm>
#include <cstring>

namespace sim::detail {

namespace {

constexpr std::uint32_t CreateNew = 1;
constexpr std::uint32_t OpenAlways = 4;
constexpr std::uint32_t TruncateExisting = 5;
constexpr std::uint32_t StoredAttributes = 0x1 | 0x2 | 0x4 | 0x20;   // read-only, hidden, system, archive

// "\\.\C:" -> drive index, else -1.
int VolumeDevicePath(std::u16string_view path) {
  if (path.size() != 6 || path.substr(0, 4) != u"\\\\.\\" || path[5] != u':') return -1;
  return DriveIndex(path[4]);
}

std::u16string StoredPath(std::u16string_view path) { return std::u16string(StripLongPrefix(path)); }

// An open that fails, as CreateFileW reports it.
os::Handle Refused(std::uint32_t error) {
  SetLastError(error);
  return os::InvalidHandleValue;
}

}  // namespace

std::u16string PlainKey(std::u16string_view path) {
  std::u16string key = StoredPath(path);
  if (key.size() < 4 || key[1] != u':' || key[2] != u'\\' || DriveIndex(key[0]) < 0) return std::u16string();
  for (char16_t& c : key) c = Fold(c);
  return key;
}

}  // namespace sim::detail

// =============================================================================================
// Test API.

namespace sim {

using namespace detail;

void PutFile(std::u16string_view path, std::vector<std::uint8_t> bytes, std::uint32_t attributes) {
  std::u16string key = PlainKey(path);
  if (key.empty()) return;
  std::lock_guard<std::mutex> lock(Mutex());
  auto file = std::make_shared<PlainFile>();
  file->path = StoredPath(path);
  file->bytes = std::move(bytes);
  file->attributes = attributes;
  file->creation = file->lastAccess = file->lastWrite = M().now;
  M().plainFiles[key] = file;
}

std::optional<std::vector<std::uint8_t>> FileBytes(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  auto it = M().plainFiles.find(PlainKey(path));
  if (it == M().plainFiles.end()) return std::nullopt;
  return it->second->bytes;
}

bool FileExists(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().plainFiles.count(PlainKey(path)) != 0;
}

void RemoveFile(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().plainFiles.erase(PlainKey(path));
}

HoldId HoldOpen(std::u16string_view path, std::uint32_t access, std::uint32_t share) {
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  Hold hold{Hold::Target::PlainFile, -1, 0, 0, nullptr, access, share};
  OpenCounts* opens = nullptr;
  int volume = VolumeDevicePath(path);
  if (volume >= 0) {
    if (!m.drives[volume].present) return 0;
    hold.target = Hold::Target::Volume;
    hold.drive = volume;
    hold.generation = m.drives[volume].generation;
    opens = &m.drives[volume].volumeOpens;
  } else {
    auto it = m.plainFiles.find(PlainKey(path));
    if (it == m.plainFiles.end()) return 0;
    hold.file = it->second;
    opens = &it->second->opens;
  }
  if (ShareConflict(*opens, access, share)) return 0;
  AddOpen(*opens, access, share);
  HoldId id = m.nextHold++;
  m.holds[id] = hold;
  return id;
}

void ReleaseHold(HoldId id) {
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  auto it = m.holds.find(id);
  if (it == m.holds.end()) return;
  const Hold& hold = it->second;
  bool current = hold.drive >= 0 && m.drives[hold.drive].generation == hold.generation;
  switch (hold.target) {
    case Hold::Target::VolumeFile:
      if (current) RemoveOpen(m.drives[hold.drive].files[hold.record].opens, hold.access, hold.share);
      break;
    case Hold::Target::Volume:
      if (current) RemoveOpen(m.drives[hold.drive].volumeOpens, hold.access, hold.share);
      break;
    case Hold::Target::PlainFile:
      RemoveOpen(hold.file->opens, hold.access, hold.share);
      break;
  }
  m.holds.erase(it);
}

}  // namespace sim

// =============================================================================================
// os:: functions.

namespace os {

using namespace sim::detail;

Handle CreateFileW(const char16_t* path, std::uint32_t desiredAccess, std::uint32_t shareMode,
                   std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  if (std::uint32_t error = CallGate(Fn::CreateFileW)) {
    return Refused(error);
  }
  if (!path) {
    return Refused(ErrorPathNotFound);
  }
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  HandleEntry* entry = nullptr;

  int volume = VolumeDevicePath(path);
  if (volume >= 0) {
    Drive& drive = m.drives[volume];
    if (!drive.present) {
      return Refused(ErrorFileNotFound);
    }
    if (creationDisposition != OpenExisting) {
      return Refused(ErrorAccessDenied);
    }
    if (ShareConflict(drive.volumeOpens, desiredAccess, shareMode)) {
      return Refused(ErrorSharingViolation);
    }
    Handle handle = m.handles.Allocate(&entry);
    if (handle == NullHandle) {
      return Refused(ErrorTooManyOpenFiles);
    }
    entry->kind = HandleKind::Volume;
    entry->drive = volume;
    entry->generation = drive.generation;
    entry->access = desiredAccess;
    entry->share = shareMode;
    AddOpen(drive.volumeOpens, desiredAccess, shareMode);
    SetLastError(ErrorSuccess);
    return handle;
  }

  std::u16string key = PlainKey(path);
  if (key.empty()) {
    return Refused(ErrorPathNotFound);
  }
  auto it = m.plainFiles.find(key);
  bool exists = it != m.plainFiles.end();
  std::shared_ptr<PlainFile> file = exists ? it->second : nullptr;
  if (exists) {
    if (creationDisposition == CreateNew) {
      return Refused(ErrorFileExists);
    }
    if (ShareConflict(file->opens, desiredAccess, shareMode)) {
      return Refused(ErrorSharingViolation);
    }
    if ((file->attributes & FileAttributeReadonly) &&
        (WantsWrite(desiredAccess) || creationDisposition == CreateAlways || creationDisposition == TruncateExisting)) {
      return Refused(ErrorAccessDenied);
    }
  } else if (creationDisposition == OpenExisting || creationDisposition == TruncateExisting) {
    return Refused(ErrorFileNotFound);
  } else if (creationDisposition != CreateNew && creationDisposition != CreateAlways &&
             creationDisposition != OpenAlways) {
    return Refused(ErrorInvalidParameter);
  }

  Handle handle = m.handles.Allocate(&entry);
  if (handle == NullHandle) {
    return Refused(ErrorTooManyOpenFiles);
  }
  if (!exists) {
    file = std::make_shared<PlainFile>();
    file->path = StoredPath(path);
    file->creation = file->lastAccess = file->lastWrite = m.now;
    file->attributes = 0x20 | (flagsAndAttributes & StoredAttributes);
    m.plainFiles[key] = file;
  } else if (creationDisposition == CreateAlways || creationDisposition == TruncateExisting) {
    file->bytes.clear();
    file->lastWrite = m.now;
    if (creationDisposition == CreateAlways) file->attributes = 0x20 | (flagsAndAttributes & StoredAttributes);
  }
  entry->kind = HandleKind::PlainFile;
  entry->file = file;
  entry->access = desiredAccess;
  entry->share = shareMode;
  AddOpen(file->opens, desiredAccess, shareMode);
  bool reportExisting = exists && (creationDisposition == CreateAlways || creationDisposition == OpenAlways);
  SetLastError(reportExisting ? ErrorAlreadyExists : ErrorSuccess);
  return handle;
}

bool ReadFile(Handle file, void* buffer, std::uint32_t bytesToRead, std::uint32_t* bytesRead) {
  if (std::uint32_t error = CallGate(Fn::ReadFile)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  if (!entry) return Fails(ErrorInvalidHandle);
  if (entry->kind != HandleKind::PlainFile && entry->kind != HandleKind::VolumeFile)
    return Fails(entry->kind == HandleKind::Volume ? ErrorInvalidParameter : ErrorInvalidHandle);
  if (!WantsRead(entry->access)) return Fails(ErrorAccessDenied);
  if (!buffer && bytesToRead) return Fails(998);   // ERROR_NOACCESS
  std::uint64_t size;
  if (entry->kind == HandleKind::PlainFile) {
    size = entry->file->bytes.size();
  } else {
    Drive* drive = HandleDrive(*entry);
    if (!drive) return Fails(ErrorInvalidHandle);
    size = drive->files[entry->record].size;
  }
  std::uint64_t count = entry->position < size ? std::min<std::uint64_t>(bytesToRead, size - entry->position) : 0;
  if (count) {
    // Contents of file records are not modelled: they read as zeros.
    if (entry->kind == HandleKind::PlainFile) std::memcpy(buffer, entry->file->bytes.data() + entry->position, count);
    else std::memset(buffer, 0, count);
  }
  entry->position += count;
  if (bytesRead) *bytesRead = static_cast<std::uint32_t>(count);
  return true;
}

bool WriteFile(Handle file, const void* buffer, std::uint32_t bytesToWrite, std::uint32_t* bytesWritten) {
  if (std::uint32_t error = CallGate(Fn::WriteFile)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(file);
  if (!entry) return Fails(ErrorInvalidHandle);
  if (entry->kind == HandleKind::VolumeFile) return Fails(ErrorNotSupported);
  if (entry->kind != HandleKind::PlainFile)
    return Fails(entry->kind == HandleKind::Volume ? ErrorInvalidParameter : ErrorInvalidHandle);
  if (!WantsWrite(entry->access)) return Fails(ErrorAccessDenied);
  if (!buffer && bytesToWrite) return Fails(998);   // ERROR_NOACCESS
  std::vector<std::uint8_t>& bytes = entry->file->bytes;
  std::uint64_t end = entry->position + bytesToWrite;
  if (end > bytes.size()) bytes.resize(end);
  if (bytesToWrite) std::memcpy(bytes.data() + entry->position, buffer, bytesToWrite);
  entry->position = end;
  entry->file->lastWrite = M().now;
  if (bytesWritten) *bytesWritten = bytesToWrite;
  return true;
}

}  // namespace os
