// The simulated process: call gate (counts, hooks, pauses, faults), clock, threads, handles,
// debugger output, version and module queries.
#include "os/sim/machine.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace sim::detail {

namespace {

thread_local std::uint32_t lastError = 0;
thread_local bool dispatcherThread = false;
thread_local bool inEveryCallHook = false;   // the hook's own os:: calls are not points of their own

struct FnInfo {
  std::string_view name;
  bool canFail;
  std::uint32_t defaultError;
};

constexpr std::uint32_t AccessDenied = os::ErrorAccessDenied;
constexpr std::uint32_t ErrorResourceDataNotFound = 1812;

// Indexed by Fn. Every function that can fail has a non-zero default error: CallGate's result 0
// means "no fault".
constexpr FnInfo FnTable[FnCount] = {
    {"GetLastError", false, 0},
    {"Sleep", false, 0},
    {"GetSystemTimeAsFileTime", false, 0},
    {"CreateThread", true, os::ErrorNotEnoughMemory},
    {"WaitForSingleObject", true, os::ErrorInvalidHandle},
    {"CloseHandle", true, os::ErrorInvalidHandle},
    {"GetVersionExW", true, os::ErrorInsufficientBuffer},
    {"GetModuleHandleW", true, ErrorModNotFound},
    {"GetModuleFileNameW", true, AccessDenied},
    {"OutputDebugStringW", true, ErrorInvalidFunction},   // the line is lost
    {"InitCommonControls", false, 0},
    {"StartServiceCtrlDispatcherW", true, os::ErrorFailedServiceControllerConnect},
    {"RegisterServiceCtrlHandlerW", true, ErrorServiceDoesNotExist},
    {"SetServiceStatus", true, os::ErrorInvalidHandle},
    {"RegOpenKeyW", true, AccessDenied},
    {"RegCreateKeyW", true, AccessDenied},
    {"RegQueryValueExW", true, AccessDenied},
    {"RegSetValueExW", true, AccessDenied},
    {"RegCloseKey", true, os::ErrorInvalidHandle},
    {"GetDriveTypeW", true, ErrorNotReady},
    {"GetFileAttributesW", true, AccessDenied},
    {"GetVolumeInformationW", true, ErrorNotReady},
    {"QueryDosDeviceW", true, os::ErrorFileNotFound},
    {"GetDiskFreeSpaceExW", true, ErrorNotReady},
    {"CreateFileW", true, AccessDenied},
    {"ReadFile", true, AccessDenied},
    {"WriteFile", true, ErrorDiskFull},
    {"SetFilePointerEx", true, os::ErrorInvalidHandle},
    {"DeviceIoControl", true, ErrorInvalidFunction},
    {"NtCreateFile", true, static_cast<std::uint32_t>(StatusAccessDenied)},
    {"GetFileSizeEx", true, AccessDenied},
    {"GetFileTime", true, AccessDenied},
    {"GetFinalPathNameByHandleW", true, AccessDenied},
    {"GetCompressedFileSizeW", true, os::ErrorFileNotFound},
    {"GetFileInformationByHandle", true, os::ErrorInvalidHandle},
    {"GetFileInformationByHandleEx", true, os::ErrorInvalidHandle},
    {"GetVolumeInformationByHandleW", true, os::ErrorInvalidHandle},
    {"FilterConnectCommunicationPort", true, HresultFromWin32(os::ErrorFileNotFound)},
    {"FilterSendMessage", true, HresultFromWin32(os::ErrorInvalidHandle)},
    {"SHGetSpecialFolderPathW", true, os::ErrorFileNotFound},
    {"GetTempPathW", true, AccessDenied},
    {"GetSystemDirectoryW", true, AccessDenied},
    {"GetShortPathNameW", true, os::ErrorFileNotFound},
    {"SetCurrentDirectoryW", true, os::ErrorFileNotFound},
    {"WideCharToMultiByte", true, os::ErrorInvalidParameter},
    {"WinExec", true, os::ErrorFileNotFound},   // the result, as WinExec reports it
    {"CreateDirectoryW", true, AccessDenied},
    {"RemoveDirectoryW", true, AccessDenied},
    {"DeleteFileW", true, AccessDenied},
    {"CopyFileW", true, AccessDenied},
    {"MoveFileExW", true, AccessDenied},
    {"FindFirstFileW", true, os::ErrorFileNotFound},
    {"FindNextFileW", true, os::ErrorNoMoreFiles},
    {"FindClose", true, os::ErrorInvalidHandle},
    {"FindResourceW", true, os::ErrorResourceNameNotFound},
    {"LoadResource", true, ErrorResourceDataNotFound},
    {"LockResource", true, ErrorResourceDataNotFound},
    {"SizeofResource", true, ErrorResourceDataNotFound},
    {"LoadStringW", true, os::ErrorResourceNameNotFound},
    {"FindWindowW", true, AccessDenied},
    {"SendMessageTimeoutW", true, AccessDenied},   // as UIPI refuses a message to a higher window
    {"OpenSCManagerW", true, AccessDenied},
    {"OpenServiceW", true, AccessDenied},
    {"CreateServiceW", true, AccessDenied},
    {"ChangeServiceConfigW", true, AccessDenied},
    {"ChangeServiceConfig2W", true, AccessDenied},
    {"ControlService", true, AccessDenied},
    {"QueryServiceStatus", true, AccessDenied},
    {"StartServiceW", true, AccessDenied},
    {"DeleteService", true, AccessDenied},
    {"CloseServiceHandle", true, os::ErrorInvalidHandle},
    {"RegDeleteValueW", true, AccessDenied},
    {"RegDeleteKeyW", true, AccessDenied},
    {"SetupOpenInfFileW", true, os::ErrorFileNotFound},
    {"SetupInstallServicesFromInfSectionW", true, AccessDenied},
    {"SetupCloseInfFile", false, 0},
    {"GetKernelObjectSecurity", true, AccessDenied},
    {"SetEndOfFile", true, AccessDenied},
    {"GetProcAddress", true, 127},   // ERROR_PROC_NOT_FOUND
};

static_assert(FnTable[static_cast<int>(Fn::DeviceIoControl)].name == "DeviceIoControl", "FnTable follows Fn");
static_assert(FnTable[static_cast<int>(Fn::FilterSendMessage)].name == "FilterSendMessage", "FnTable follows Fn");
static_assert(FnTable[static_cast<int>(Fn::FindClose)].name == "FindClose", "FnTable follows Fn");
static_assert(FnTable[static_cast<int>(Fn::CloseServiceHandle)].name == "CloseServiceHandle", "FnTable follows Fn");
static_assert(FnTable[FnCount - 1].name == "GetProcAddress", "FnTable has an entry for every Fn");

// The process image's handle, as GetModuleHandleW(nullptr) gives it.
constexpr os::Handle ImageBase = 0x400000;

CallState& Call(Fn fn) { return M().calls[static_cast<int>(fn)]; }

bool CodeMatches(std::uint32_t filter, std::uint32_t code) { return filter == 0 || filter == code; }

}  // namespace

std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}

std::condition_variable& Changed() {
  static std::condition_variable changed;
  return changed;
}

Machine& M() {
  static Machine* machine = new Machine();   // outlives threads still running at exit
  return *machine;
}

std::uint32_t DefaultError(Fn fn) { return FnTable[static_cast<int>(fn)].defaultError; }
bool CanFail(Fn fn) { return FnTable[static_cast<int>(fn)].canFail; }

bool FindFn(std::string_view name, Fn* fn) {
  for (int i = 0; i < FnCount; ++i) {
    if (FnTable[i].name == name) {
      *fn = static_cast<Fn>(i);
      return true;
    }
  }
  return false;
}

void SetLastError(std::uint32_t error) { lastError = error; }

bool OnDispatcherThread() { return dispatcherThread; }
void SetDispatcherThread(bool dispatcher) { dispatcherThread = dispatcher; }

std::uint32_t CallGate(Fn fn, std::uint32_t controlCode) {
  std::shared_ptr<CallHook> hook;
  std::uint64_t hookNumber = 0;
  bool pause = false;
  std::unique_lock<std::mutex> lock(Mutex());
  CallState& call = Call(fn);
  ++call.count;
  if (controlCode != 0) {
    for (auto& [code, count] : call.codeCounts) {
      if (code != controlCode && code != 0) continue;
      code = controlCode;
      ++count;
      break;
    }
  }
  if (call.hook && CodeMatches(call.hookCode, controlCode)) {
    hook = call.hook;
    hookNumber = ++call.hookCalls;
  }
  if (call.pauseNth != 0 && CodeMatches(call.pauseCode, controlCode) && ++call.pauseSeen == call.pauseNth) {
    call.pauseNth = 0;
    pause = true;
  }
  std::shared_ptr<CallHook> everyHook = inEveryCallHook ? nullptr : M().everyCallHook;
  std::uint64_t everyNumber = everyHook ? ++M().everyCallCount : 0;
  if (M().callWaiters) Changed().notify_all();
  if (hook || everyHook) {
    lock.unlock();
    if (everyHook) {
      inEveryCallHook = true;
      (*everyHook)(everyNumber);
      inEveryCallHook = false;
    }
    if (hook) (*hook)(hookNumber);
    lock.lock();
  }
  if (pause) PauseLocked(lock);

  std::vector<FaultState>& faults = Call(fn).faults;
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (!CodeMatches(it->fault.controlCode, controlCode)) continue;
    std::uint32_t error = it->fault.error ? it->fault.error : DefaultError(fn);
    if (it->fault.nth == EveryCall) return error;
    if (++it->seen == it->fault.nth) {
      faults.erase(it);
      return error;
    }
  }
  return 0;
}

void PauseLocked(std::unique_lock<std::mutex>& lock) {
  Machine& m = M();
  std::uint64_t generation = m.pauseGeneration;
  ++m.paused;
  if (dispatcherThread) ++m.service.dispatcherBlocked;
  Changed().notify_all();
  Changed().wait(lock, [&] { return M().pauseGeneration != generation; });
  if (dispatcherThread) --M().service.dispatcherBlocked;
}

// ---------------------------------------------------------------------------------------------
// Share modes: an open conflicts with an existing one when either side does not share what the
// other one accesses.

bool WantsRead(std::uint32_t access) {
  return (access & (os::GenericRead | GenericAll | GenericExecute | FileReadData | FileExecute)) != 0;
}

bool WantsWrite(std::uint32_t access) {
  return (access & (os::GenericWrite | GenericAll | FileWriteData | FileAppendData)) != 0;
}

// Only opens with data access (read data, execute, write data, append data, delete) take part in
// share-mode checks, as checker and as checked: an open for attributes alone is seen by none.
namespace {
bool HasDataAccess(std::uint32_t access) { return WantsRead(access) || WantsWrite(access) || (access & 0x10000); }
}  // namespace

bool ShareConflict(const OpenCounts& opens, std::uint32_t access, std::uint32_t share) {
  if (!HasDataAccess(access)) return false;
  if (WantsRead(access) && opens.denyRead > 0) return true;
  if (WantsWrite(access) && opens.denyWrite > 0) return true;
  if (!(share & os::FileShareRead) && opens.readers > 0) return true;
  if (!(share & os::FileShareWrite) && opens.writers > 0) return true;
  return false;
}

void AddOpen(OpenCounts& opens, std::uint32_t access, std::uint32_t share) {
  if (!HasDataAccess(access)) return;
  if (WantsRead(access)) ++opens.readers;
  if (WantsWrite(access)) ++opens.writers;
  if (!(share & os::FileShareRead)) ++opens.denyRead;
  if (!(share & os::FileShareWrite)) ++opens.denyWrite;
  if (!(share & os::FileShareDelete)) ++opens.denyDelete;
}

void RemoveOpen(OpenCounts& opens, std::uint32_t access, std::uint32_t share) {
  if (!HasDataAccess(access)) return;
  if (WantsRead(access)) --opens.readers;
  if (WantsWrite(access)) --opens.writers;
  if (!(share & os::FileShareRead)) --opens.denyRead;
  if (!(share & os::FileShareWrite)) --opens.denyWrite;
  if (!(share & os::FileShareDelete)) --opens.denyDelete;
}

// ---------------------------------------------------------------------------------------------
// Handle values look like Windows ones: small multiples of 4, never 0 or -1.

HandleTable::HandleTable() : entries_(HandleCapacity), freeRing_(HandleCapacity) {
  for (std::size_t i = 0; i < HandleCapacity; ++i) freeRing_[i] = static_cast<std::uint32_t>(i);
  count_ = HandleCapacity;
}

os::Handle HandleTable::Allocate(HandleEntry** entry) {
  if (count_ == 0) return os::NullHandle;
  std::uint32_t index = freeRing_[head_];
  head_ = (head_ + 1) % HandleCapacity;
  --count_;
  ++open_;
  *entry = &entries_[index];
  **entry = HandleEntry{};
  return 0x100 + static_cast<os::Handle>(index) * 4;
}

HandleEntry* HandleTable::Find(os::Handle handle) {
  if (handle < 0x100 || (handle & 3) != 0) return nullptr;
  std::size_t index = (handle - 0x100) / 4;
  if (index >= HandleCapacity || entries_[index].kind == HandleKind::Free) return nullptr;
  return &entries_[index];
}

void HandleTable::Release(os::Handle handle) {
  std::size_t index = (handle - 0x100) / 4;
  entries_[index] = HandleEntry{};
  freeRing_[(head_ + count_) % HandleCapacity] = static_cast<std::uint32_t>(index);
  ++count_;
  --open_;
}

// ---------------------------------------------------------------------------------------------

char16_t Fold(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; }

bool EqualFolded(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

std::u16string Folded(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out) c = Fold(c);
  return out;
}

std::size_t Length(const char16_t* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

bool CloseLocked(os::Handle handle) {
  Machine& m = M();
  HandleEntry* entry = m.handles.Find(handle);
  if (!entry) return false;
  switch (entry->kind) {
    case HandleKind::Volume:
      if (Drive* drive = HandleDrive(*entry)) RemoveOpen(drive->volumeOpens, entry->access, entry->share);
      break;
    case HandleKind::VolumeFile:
      if (Drive* drive = HandleDrive(*entry)) RemoveOpen(drive->files[entry->record].opens, entry->access, entry->share);
      break;
    case HandleKind::PlainFile:
      RemoveOpen(entry->file->opens, entry->access, entry->share);
      break;
    case HandleKind::PortConnection:
      if (entry->port->open) --entry->port->connections;
      entry->port->events.push_back(PortEvent{PortEvent::Kind::Disconnect, {}, m.now});
      break;
    case HandleKind::Thread:
    case HandleKind::Find:
    case HandleKind::Free:
      break;
  }
  m.handles.Release(handle);
  return true;
}

}  // namespace sim::detail

// =============================================================================================
// Test API.

namespace sim {

using namespace detail;

void Reset() {
  std::unique_lock<std::mutex> lock(Mutex());
  Machine& m = M();
  // Let leftover threads run to their end before the machine they use goes away.
  m.pauseArmed = false;
  for (CallState& call : m.calls) call.pauseNth = 0;
  ++m.pauseGeneration;
  m.paused = 0;
  Changed().notify_all();
  bool ended = Changed().wait_for(lock, std::chrono::seconds(10), [&] {
    return M().liveThreads == 0 && !M().service.dispatcherRunning;
  });
  if (!ended) std::fprintf(stderr, "sim::Reset: threads of the previous test are still running\n");
  std::size_t live = m.liveThreads;
  m = Machine();
  m.liveThreads = live;
  m.registry[u"hkcu"];
  m.registry[u"hklm"];
  Changed().notify_all();
}

void SetWindowsVersion(std::uint32_t major, std::uint32_t minor, std::uint32_t build) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().major = major;
  M().minor = minor;
  if (build == 0) {
    if (major == 6 && minor == 0) build = 6002;
    else if (major == 6 && minor == 1) build = 7601;
    else if (major == 6 && minor == 2) build = 9200;
    else if (major == 6 && minor == 3) build = 9600;
    else if (major >= 10) build = 19045;
  }
  M().build = build;
}

void SetModulePath(std::u16string_view path) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().modulePath = std::u16string(path);
}

std::size_t OpenHandleCount() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().handles.OpenCount();
}

std::size_t OpenKeyCount() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().openKeys.size();
}

void SetTime(FileTime now) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().now = now;
  SettleServices();
}

FileTime Now() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().now;
}

void AdvanceTime(FileTime delta) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().now += delta;
  SettleServices();
}

void PauseAt(FileTime moment) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().pauseArmed = true;
  M().pauseAt = moment;
}

bool PauseOnCall(std::string_view function, std::uint64_t nth, std::uint32_t controlCode) {
  Fn fn;
  if (!FindFn(function, &fn) || nth == 0) return false;
  std::lock_guard<std::mutex> lock(Mutex());
  CallState& call = M().calls[static_cast<int>(fn)];
  call.pauseNth = nth;
  call.pauseCode = controlCode;
  call.pauseSeen = 0;
  return true;
}

void PauseHere() {
  std::unique_lock<std::mutex> lock(Mutex());
  PauseLocked(lock);
}

bool WaitUntilPaused(std::uint32_t realTimeoutMs) {
  std::unique_lock<std::mutex> lock(Mutex());
  return Changed().wait_for(lock, std::chrono::milliseconds(realTimeoutMs), [] { return M().paused > 0; });
}

bool IsPaused() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().paused > 0;
}

void Resume() {
  std::unique_lock<std::mutex> lock(Mutex());
  // Controls already sent reach the handler first, and the handler runs until it returns or
  // waits, so that "stop, then resume" is deterministic.
  if (!dispatcherThread) {
    Changed().wait_for(lock, std::chrono::seconds(10), [] {
      const ServiceSide& s = M().service;
      if (!s.dispatcherRunning) return true;
      bool queued = !s.controls.empty() && s.handler != nullptr;
      return !queued && (!s.handlerRunning || s.dispatcherBlocked > 0);
    });
  }
  ++M().pauseGeneration;
  M().paused = 0;
  Changed().notify_all();
}

std::uint64_t CallCount(std::string_view function) {
  Fn fn;
  if (!FindFn(function, &fn)) return 0;
  std::lock_guard<std::mutex> lock(Mutex());
  return M().calls[static_cast<int>(fn)].count;
}

std::uint64_t CallCount(std::string_view function, std::uint32_t controlCode) {
  Fn fn;
  if (!FindFn(function, &fn)) return 0;
  std::lock_guard<std::mutex> lock(Mutex());
  for (const auto& [code, count] : M().calls[static_cast<int>(fn)].codeCounts) {
    if (code == controlCode) return count;
  }
  return 0;
}

bool WaitForCallCount(std::string_view function, std::uint64_t count, std::uint32_t realTimeoutMs) {
  Fn fn;
  if (!FindFn(function, &fn)) return false;
  std::unique_lock<std::mutex> lock(Mutex());
  ++M().callWaiters;
  bool reached = Changed().wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                                    [&] { return M().calls[static_cast<int>(fn)].count >= count; });
  --M().callWaiters;
  return reached;
}

bool OnCall(std::string_view function, CallHook hook, std::uint32_t controlCode) {
  Fn fn;
  if (!FindFn(function, &fn)) return false;
  std::lock_guard<std::mutex> lock(Mutex());
  CallState& call = M().calls[static_cast<int>(fn)];
  call.hook = hook ? std::make_shared<CallHook>(std::move(hook)) : nullptr;
  call.hookCode = controlCode;
  call.hookCalls = 0;
  return true;
}

void OnEveryCall(CallHook hook) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().everyCallHook = hook ? std::make_shared<CallHook>(std::move(hook)) : nullptr;
  M().everyCallCount = 0;
}

bool Fail(std::string_view function, Fault fault) {
  Fn fn;
  if (!FindFn(function, &fn) || !CanFail(fn)) return false;
  std::lock_guard<std::mutex> lock(Mutex());
  M().calls[static_cast<int>(fn)].faults.push_back(FaultState{fault, 0});
  return true;
}

void ClearFaults() {
  std::lock_guard<std::mutex> lock(Mutex());
  for (CallState& call : M().calls) call.faults.clear();
}

void ExitProcess() {
  std::lock_guard<std::mutex> lock(Mutex());
  for (std::size_t i = 0; i < HandleCapacity; ++i) CloseLocked(0x100 + i * 4);
  M().openKeys.clear();
  for (auto& [handle, sc] : M().scHandles) {
    if (!sc.manager) {
      auto it = M().services.find(sc.service);
      if (it != M().services.end() && it->second.handles > 0) --it->second.handles;
    }
  }
  M().scHandles.clear();
  M().infs.clear();
  SettleServices();
  Changed().notify_all();
}

std::size_t LiveThreadCount() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().liveThreads;
}

std::vector<std::u16string> DebugLines() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().debugLines;
}

void ClearDebugLines() {
  std::lock_guard<std::mutex> lock(Mutex());
  M().debugLines.clear();
}

}  // namespace sim

// =============================================================================================
// os:: functions of the process.

namespace os {

using namespace sim::detail;

std::uint32_t GetLastError() {
  CallGate(Fn::GetLastError);
  return lastError;
}

void Sleep(std::uint32_t milliseconds) {
  CallGate(Fn::Sleep);
  {
    std::unique_lock<std::mutex> lock(Mutex());
    Machine& m = M();
    FileTime start = m.now;
    FileTime target = start + milliseconds * sim::Millisecond;
    if (m.pauseArmed && target >= m.pauseAt) {
      FileTime moment = m.pauseAt > start ? m.pauseAt : start;
      m.pauseArmed = false;
      m.now = moment;
      PauseLocked(lock);
      M().now += target - moment;
    } else {
      m.now = target;
    }
    SettleServices();
  }
  std::this_thread::yield();
}

void GetSystemTimeAsFileTime(FileTime* now) {
  CallGate(Fn::GetSystemTimeAsFileTime);
  std::lock_guard<std::mutex> lock(Mutex());
  *now = M().now;
}

Handle CreateThread(ThreadFunction function, void* parameter, std::uint32_t* threadId) {
  if (std::uint32_t error = CallGate(Fn::CreateThread)) {
    SetLastError(error);
    return NullHandle;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  Machine& m = M();
  HandleEntry* entry = nullptr;
  Handle handle = m.handles.Allocate(&entry);
  if (handle == NullHandle) {
    SetLastError(ErrorNotEnoughMemory);
    return NullHandle;
  }
  auto record = std::make_shared<ThreadRecord>();
  record->id = m.nextThreadId;
  m.nextThreadId += 4;
  entry->kind = HandleKind::Thread;
  entry->thread = record;
  try {
    std::thread([record, function, parameter] {
      lastError = 0;
      std::uint32_t exitCode = function(parameter);
      std::lock_guard<std::mutex> lock(Mutex());
      record->exitCode = exitCode;
      record->done = true;
      --M().liveThreads;
      Changed().notify_all();
    }).detach();
  } catch (...) {
    m.handles.Release(handle);
    SetLastError(ErrorNotEnoughMemory);
    return NullHandle;
  }
  ++m.liveThreads;
  if (threadId) *threadId = record->id;
  return handle;
}

std::uint32_t WaitForSingleObject(Handle handle, std::uint32_t milliseconds) {
  if (std::uint32_t error = CallGate(Fn::WaitForSingleObject)) {
    SetLastError(error);
    return WaitFailed;
  }
  std::unique_lock<std::mutex> lock(Mutex());
  HandleEntry* entry = M().handles.Find(handle);
  if (!entry || entry->kind != HandleKind::Thread) {
    SetLastError(ErrorInvalidHandle);
    return WaitFailed;
  }
  std::shared_ptr<ThreadRecord> record = entry->thread;
  auto ended = [&] { return record->done; };
  if (dispatcherThread) ++M().service.dispatcherBlocked;
  Changed().notify_all();
  bool signalled = true;
  if (milliseconds == Infinite) {
    Changed().wait(lock, ended);
  } else {
    // Time-outs are real time: the simulated clock only moves with Sleep.
    signalled = Changed().wait_for(lock, std::chrono::milliseconds(milliseconds), ended);
  }
  if (dispatcherThread) --M().service.dispatcherBlocked;
  return signalled ? WaitObject0 : WaitTimeout;
}

bool CloseHandle(Handle handle) {
  if (std::uint32_t error = CallGate(Fn::CloseHandle)) {
    SetLastError(error);
    return false;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  // INVALID_HANDLE_VALUE is also the current-process pseudo handle, which closes successfully.
  if (handle == InvalidHandleValue) return true;
  if (!CloseLocked(handle)) {
    SetLastError(ErrorInvalidHandle);
    return false;
  }
  return true;
}

bool GetVersionExW(OsVersionInfo* info) {
  if (std::uint32_t error = CallGate(Fn::GetVersionExW)) {
    SetLastError(error);
    return false;
  }
  if (!info || info->dwOSVersionInfoSize != sizeof(OsVersionInfo)) {
    SetLastError(ErrorInsufficientBuffer);
    return false;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  const Machine& m = M();
  info->dwMajorVersion = m.major;
  info->dwMinorVersion = m.minor;
  info->dwBuildNumber = m.build;
  info->dwPlatformId = 2;   // VER_PLATFORM_WIN32_NT
  for (char16_t& c : info->szCSDVersion) c = 0;
  if (m.major == 6 && m.minor == 1) {
    std::u16string_view sp = u"Service Pack 1";
    for (std::size_t i = 0; i < sp.size(); ++i) info->szCSDVersion[i] = sp[i];
  }
  return true;
}

Handle GetModuleHandleW(const char16_t* moduleName) {
  if (std::uint32_t error = CallGate(Fn::GetModuleHandleW)) {
    SetLastError(error);
    return NullHandle;
  }
  if (moduleName == nullptr) return ImageBase;
  std::lock_guard<std::mutex> lock(Mutex());
  std::u16string_view path = M().modulePath;
  std::u16string_view file = path.substr(path.find_last_of(u'\\') + 1);
  std::u16string_view name = moduleName;
  if (EqualFolded(name, file) || EqualFolded(name, path)) return ImageBase;
  if (EqualFolded(name, u"ntdll.dll")) return NtdllBase;   // mapped into every process
  SetLastError(ErrorModNotFound);
  return NullHandle;
}

std::uint32_t GetModuleFileNameW(Handle module, char16_t* path, std::uint32_t capacity) {
  if (std::uint32_t error = CallGate(Fn::GetModuleFileNameW)) {
    SetLastError(error);
    return 0;
  }
  if (module != NullHandle && module != ImageBase) {
    SetLastError(ErrorModNotFound);
    return 0;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  const std::u16string& full = M().modulePath;
  if (capacity == 0) {
    SetLastError(ErrorInsufficientBuffer);
    return 0;
  }
  // Too small: the path is cut to capacity - 1 characters and terminated, the result is the
  // capacity and the last error ERROR_INSUFFICIENT_BUFFER.
  if (full.size() + 1 > capacity) {
    full.copy(path, capacity - 1);
    path[capacity - 1] = 0;
    SetLastError(ErrorInsufficientBuffer);
    return capacity;
  }
  full.copy(path, full.size());
  path[full.size()] = 0;
  return static_cast<std::uint32_t>(full.size());
}

void OutputDebugStringW(const char16_t* text) {
  if (CallGate(Fn::OutputDebugStringW)) return;   // nobody received the line
  if (!text) return;
  std::lock_guard<std::mutex> lock(Mutex());
  M().debugLines.emplace_back(text);
}

void InitCommonControls() { CallGate(Fn::InitCommonControls); }

}  // namespace os
