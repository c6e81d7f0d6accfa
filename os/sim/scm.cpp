// The service control manager as an installer sees it: the services database under
// HKLM\SYSTEM\CurrentControlSet\Services, the run state of each service (running, stop pending,
// stopped, marked for deletion) and the manager and service handles.
#include "os/sim/machine.h"

#include <algorithm>
#include <cstring>

namespace sim::detail {

namespace {

constexpr std::uint32_t ErrorServiceNeverStarted = 1077;
constexpr std::uint32_t ErrorDatabaseDoesNotExist = 1065;
constexpr std::uint32_t RpcServerUnavailable = 1722;
constexpr std::uint32_t ServiceWin32ShareProcess = 0x20;
constexpr std::uint32_t ServiceInteractiveProcess = 0x100;
constexpr char16_t GroupIdentifier = u'+';   // SC_GROUP_IDENTIFIER

std::u16string KeyOf(std::u16string_view name) {
  std::u16string path(sim::ServicesKey);
  path += u'\\';
  path += name;
  return RegPath(os::HkeyLocalMachine, path);
}

bool IsDriver(std::uint32_t type) { return type == os::ServiceKernelDriver || type == os::ServiceFileSystemDriver; }

bool ValidType(std::uint32_t type) {
  if (IsDriver(type)) return true;
  std::uint32_t base = type & ~ServiceInteractiveProcess;
  return base == os::ServiceWin32OwnProcess || base == ServiceWin32ShareProcess;
}

std::uint32_t DwordOf(const std::u16string& key, std::u16string_view name) {
  const RegValue* value = RegGetLocked(key, name);
  std::uint32_t result = 0;
  if (value && value->type == os::RegDword && value->data.size() == 4) std::memcpy(&result, value->data.data(), 4);
  return result;
}

std::u16string TextOf(const std::u16string& key, std::u16string_view name) {
  const RegValue* value = RegGetLocked(key, name);
  if (!value) return std::u16string();
  std::u16string text(value->data.size() / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), value->data.data(), text.size() * 2);
  std::size_t end = text.find(u'\0');
  return end == std::u16string::npos ? text : text.substr(0, end);
}

std::vector<std::u16string> ListOf(const std::u16string& key, std::u16string_view name) {
  std::vector<std::u16string> items;
  const RegValue* value = RegGetLocked(key, name);
  if (!value) return items;
  std::u16string text(value->data.size() / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), value->data.data(), text.size() * 2);
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find(u'\0', start);
    if (end == std::u16string::npos) end = text.size();
    if (end == start) break;
    items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

void DeleteValue(const std::u16string& key, std::u16string_view name) {
  auto it = M().registry.find(key);
  if (it == M().registry.end()) return;
  std::u16string folded = Folded(name);
  if (it->second.values.erase(folded)) {
    auto& order = it->second.order;
    order.erase(std::find(order.begin(), order.end(), folded));
  }
}

// A double-null-terminated list: services, and groups marked with '+'.
void StoreDependencies(const std::u16string& key, const char16_t* list) {
  std::vector<std::u16string> services, groups;
  for (const char16_t* item = list; item && *item; item += Length(item) + 1) {
    if (item[0] == GroupIdentifier) groups.emplace_back(item + 1);
    else services.emplace_back(item);
  }
  DeleteValue(key, u"DependOnService");
  DeleteValue(key, u"DependOnGroup");
  if (!services.empty()) RegSetLocked(key, u"DependOnService", RegMultiValue(services));
  if (!groups.empty()) RegSetLocked(key, u"DependOnGroup", RegMultiValue(groups));
}

bool DisplayNameTaken(std::u16string_view display, std::u16string_view except) {
  for (const auto& [folded, record] : M().services) {
    if (EqualFolded(record.name, except)) continue;
    if (EqualFolded(record.name, display) || EqualFolded(TextOf(KeyOf(record.name), u"DisplayName"), display)) return true;
  }
  return false;
}

// The program CreateProcess would run for a service's command line: a quoted path exactly; an
// unquoted one is cut at each blank in turn and the first existing file wins. ".exe" is added to
// a name without an extension. Empty when there is none.
std::u16string ProgramOf(std::u16string imagePath) {
  const std::u16string root = u"%systemroot%";
  if (imagePath.size() >= root.size() && EqualFolded(std::u16string_view(imagePath).substr(0, root.size()), root))
    imagePath.replace(0, root.size(), u"C:\\Windows");
  auto existing = [](std::u16string candidate) -> std::u16string {
    std::size_t slash = candidate.find_last_of(u'\\');
    std::size_t dot = candidate.find_last_of(u'.');
    if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) candidate += u".exe";
    std::u16string key;
    if (ResolvePlain(candidate, true, &key, nullptr) != 0) return std::u16string();
    const PlainFile* file = PlainAt(key);
    return file && file->kind == PlainKind::File ? file->path : std::u16string();
  };
  if (!imagePath.empty() && imagePath[0] == u'"') {
    std::size_t close = imagePath.find(u'"', 1);
    return existing(imagePath.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1));
  }
  for (std::size_t blank = imagePath.find(u' '); ; blank = imagePath.find(u' ', blank + 1)) {
    std::u16string found = existing(imagePath.substr(0, blank));
    if (!found.empty()) return found;
    if (blank == std::u16string::npos) return std::u16string();
  }
}

bool IsManagerHandle(os::Handle handle) {
  auto it = M().scHandles.find(handle);
  return it != M().scHandles.end() && it->second.manager;
}

ServiceRecord* RecordOf(os::Handle handle, std::uint32_t* error) {
  auto it = M().scHandles.find(handle);
  if (it == M().scHandles.end() || it->second.manager) {
    *error = os::ErrorInvalidHandle;
    return nullptr;
  }
  auto service = M().services.find(it->second.service);
  if (service == M().services.end()) {
    *error = os::ErrorInvalidHandle;
    return nullptr;
  }
  return &service->second;
}

os::Handle NewHandle(const ScHandle& handle) {
  os::Handle value = M().nextScHandle;
  M().nextScHandle += 8;
  M().scHandles[value] = handle;
  if (!handle.manager) ++M().services[handle.service].handles;
  return value;
}

void FillStatus(const ServiceRecord& record, os::ServiceStatus* status) {
  if (!status) return;
  std::uint32_t type = DwordOf(KeyOf(record.name), u"Type");
  *status = os::ServiceStatus{};
  status->dwServiceType = type;
  status->dwCurrentState = record.state;
  if (record.state == os::ServiceRunning && record.acceptsStop)
    status->dwControlsAccepted = IsDriver(type) ? os::ServiceAcceptStop : os::ServiceAcceptStop | os::ServiceAcceptShutdown;
  if (record.state == os::ServiceStopped && record.startCount == 0) status->dwWin32ExitCode = ErrorServiceNeverStarted;
  if (record.state == os::ServiceStopPending) status->dwWaitHint = 2000;
}

void Run(ServiceRecord& record, const std::u16string& program) {
  record.state = os::ServiceRunning;
  record.runningImage = program;
  ++record.startCount;
}

}  // namespace

std::uint32_t CreateServiceLocked(const NewService& spec, std::uint32_t* tag) {
  if (spec.name.empty() || spec.name.size() > 256 || spec.name.find_first_of(u"/\\") != std::u16string::npos)
    return os::ErrorInvalidName;
  if (spec.binary.empty() || !ValidType(spec.type) || spec.start > os::ServiceDisabled || spec.errorControl > 3)
    return os::ErrorInvalidParameter;
  if (!IsDriver(spec.type) && spec.start < os::ServiceAutoStart) return os::ErrorInvalidParameter;
  if (spec.wantsTag && (!IsDriver(spec.type) || spec.group.empty())) return os::ErrorInvalidParameter;
  SettleServices();
  auto existing = M().services.find(Folded(spec.name));
  if (existing != M().services.end())
    return existing->second.marked ? os::ErrorServiceMarkedForDelete : os::ErrorServiceExists;
  std::u16string display = spec.displayName.empty() ? spec.name : spec.displayName;
  if (DisplayNameTaken(display, spec.name)) return os::ErrorDuplicateServiceName;

  std::u16string key = KeyOf(spec.name);
  RegDeleteTreeLocked(key);   // leftovers of a service the manager does not know
  RegSetLocked(key, u"Type", RegDwordValue(spec.type));
  RegSetLocked(key, u"Start", RegDwordValue(spec.start));
  RegSetLocked(key, u"ErrorControl", RegDwordValue(spec.errorControl));
  RegSetLocked(key, u"ImagePath", RegStringValue(os::RegExpandSz, spec.binary));
  RegSetLocked(key, u"DisplayName", RegStringValue(os::RegSz, display));
  if (!spec.group.empty()) RegSetLocked(key, u"Group", RegStringValue(os::RegSz, spec.group));
  StoreDependencies(key, spec.dependencies);
  if (spec.startName && *spec.startName) RegSetLocked(key, u"ObjectName", RegStringValue(os::RegSz, spec.startName));
  else if (!IsDriver(spec.type)) RegSetLocked(key, u"ObjectName", RegStringValue(os::RegSz, u"LocalSystem"));
  if (spec.wantsTag) {
    std::uint32_t value = M().nextTag++;
    RegSetLocked(key, u"Tag", RegDwordValue(value));
    if (tag) *tag = value;
  }
  ServiceRecord record;
  record.name = spec.name;
  M().services[Folded(spec.name)] = record;
  return 0;
}

// ChangeServiceConfigW's part that SetupAPI uses too: null / ServiceNoChange leave a setting.
std::uint32_t ChangeConfigLocked(ServiceRecord& record, std::uint32_t type, std::uint32_t start,
                                 std::uint32_t errorControl, const char16_t* binary, const char16_t* group,
                                 const char16_t* dependencies, const char16_t* startName, const char16_t* display) {
  if (record.marked) return os::ErrorServiceMarkedForDelete;
  std::u16string key = KeyOf(record.name);
  std::uint32_t newType = type == os::ServiceNoChange ? DwordOf(key, u"Type") : type;
  std::uint32_t newStart = start == os::ServiceNoChange ? DwordOf(key, u"Start") : start;
  if (!ValidType(newType) || newStart > os::ServiceDisabled || (errorControl != os::ServiceNoChange && errorControl > 3))
    return os::ErrorInvalidParameter;
  if (!IsDriver(newType) && newStart < os::ServiceAutoStart) return os::ErrorInvalidParameter;
  if (display && *display && DisplayNameTaken(display, record.name)) return os::ErrorDuplicateServiceName;
  if (type != os::ServiceNoChange) RegSetLocked(key, u"Type", RegDwordValue(type));
  if (start != os::ServiceNoChange) RegSetLocked(key, u"Start", RegDwordValue(start));
  if (errorControl != os::ServiceNoChange) RegSetLocked(key, u"ErrorControl", RegDwordValue(errorControl));
  if (binary) RegSetLocked(key, u"ImagePath", RegStringValue(os::RegExpandSz, binary));
  if (group) {
    if (*group) RegSetLocked(key, u"Group", RegStringValue(os::RegSz, group));
    else DeleteValue(key, u"Group");
  }
  if (dependencies) StoreDependencies(key, dependencies);
  if (startName) RegSetLocked(key, u"ObjectName", RegStringValue(os::RegSz, startName));
  if (display && *display) RegSetLocked(key, u"DisplayName", RegStringValue(os::RegSz, display));
  return 0;
}

// STOP as the SCM passes it on. Returns the error, 0 when the stop is under way or done.
std::uint32_t StopLocked(ServiceRecord& record) {
  if (record.state == os::ServiceStopped) return os::ErrorServiceNotActive;
  if (record.state == os::ServiceStopPending) return os::ErrorServiceCannotAcceptCtrl;
  if (!record.acceptsStop) return os::ErrorInvalidServiceControl;
  record.state = os::ServiceStopPending;
  record.stopAt = M().now + static_cast<FileTime>(record.stopDelayMs) * sim::Millisecond;
  SettleServices();
  return 0;
}

std::uint32_t DeleteLocked(ServiceRecord& record) {
  if (record.marked) return os::ErrorServiceMarkedForDelete;
  record.marked = true;
  RegSetLocked(KeyOf(record.name), u"DeleteFlag", RegDwordValue(1));
  return 0;
}

ServiceRecord* ServiceNamed(std::u16string_view name) {
  auto it = M().services.find(Folded(name));
  return it == M().services.end() ? nullptr : &it->second;
}

void SettleServices() {
  Machine& m = M();
  for (auto it = m.services.begin(); it != m.services.end();) {
    ServiceRecord& record = it->second;
    if (record.state == os::ServiceStopPending && m.now >= record.stopAt) {
      record.state = os::ServiceStopped;
      record.runningImage.clear();
    }
    if (record.marked && record.state == os::ServiceStopped && record.handles == 0) {
      RegDeleteTreeLocked(KeyOf(record.name));
      it = m.services.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace sim::detail

// =============================================================================================
// Test API.

namespace sim {

using namespace detail;

void AddService(std::u16string_view name, const ServiceSpec& spec) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (ServiceRecord* old = ServiceNamed(name)) {
    RegDeleteTreeLocked(RegPath(os::HkeyLocalMachine, std::u16string(ServicesKey) + u"\\" + old->name));
    M().services.erase(Folded(name));
  }
  std::u16string dependencies;
  for (const std::u16string& item : spec.dependencies) {
    dependencies += item;
    dependencies += u'\0';
  }
  dependencies += u'\0';
  NewService created;
  created.name = std::u16string(name);
  created.displayName = spec.displayName;
  created.type = spec.type;
  created.start = spec.start;
  created.errorControl = spec.errorControl;
  created.binary = spec.imagePath.empty() ? u"C:\\Windows\\system32\\svchost.exe" : spec.imagePath;
  created.group = spec.group;
  created.dependencies = dependencies.c_str();
  if (CreateServiceLocked(created, nullptr) != 0) return;
  ServiceRecord& record = *ServiceNamed(name);
  record.acceptsStop = spec.acceptsStop;
  record.stopDelayMs = spec.stopDelayMs;
  if (spec.running) Run(record, ProgramOf(created.binary));
}

bool StartService(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(Mutex());
  SettleServices();
  ServiceRecord* record = ServiceNamed(name);
  if (!record) return false;
  if (record->state == os::ServiceStopped) {
    Run(*record, ProgramOf(TextOf(RegPath(os::HkeyLocalMachine, std::u16string(ServicesKey) + u"\\" + record->name),
                                  u"ImagePath")));
  }
  return true;
}

void SetServiceStopDelay(std::u16string_view name, std::uint32_t stopDelayMs) {
  std::lock_guard<std::mutex> lock(Mutex());
  if (ServiceRecord* record = ServiceNamed(name)) record->stopDelayMs = stopDelayMs;
}

void RefuseDelayedAutoStart(bool refuse) {
  std::lock_guard<std::mutex> lock(Mutex());
  M().refuseDelayedAutoStart = refuse;
}

ServiceInfo Service(std::u16string_view name) {
  std::lock_guard<std::mutex> lock(Mutex());
  SettleServices();
  ServiceInfo info;
  ServiceRecord* record = ServiceNamed(name);
  if (!record) return info;
  std::u16string key = RegPath(os::HkeyLocalMachine, std::u16string(ServicesKey) + u"\\" + record->name);
  info.exists = true;
  info.name = record->name;
  info.state = record->state;
  info.markedForDelete = record->marked;
  info.openHandles = record->handles;
  info.startCount = record->startCount;
  info.runningImage = record->runningImage;
  info.type = DwordOf(key, u"Type");
  info.start = DwordOf(key, u"Start");
  info.errorControl = DwordOf(key, u"ErrorControl");
  info.imagePath = TextOf(key, u"ImagePath");
  info.displayName = TextOf(key, u"DisplayName");
  info.group = TextOf(key, u"Group");
  info.objectName = TextOf(key, u"ObjectName");
  info.description = TextOf(key, u"Description");
  info.dependencies = ListOf(key, u"DependOnService");
  if (RegGetLocked(key, u"DelayedAutostart")) info.delayedAutostart = DwordOf(key, u"DelayedAutostart");
  return info;
}

std::vector<std::u16string> ServiceNames() {
  std::lock_guard<std::mutex> lock(Mutex());
  SettleServices();
  std::vector<std::u16string> names;
  for (const auto& [folded, record] : M().services) names.push_back(record.name);
  return names;
}

std::size_t OpenServiceHandleCount() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().scHandles.size();
}

}  // namespace sim

// =============================================================================================
// os:: functions. Failures return 0 / false with the last error set.

namespace os {

using namespace sim::detail;

Handle OpenSCManagerW(const char16_t* machineName, const char16_t* databaseName, std::uint32_t desiredAccess) {
  (void)desiredAccess;
  if (std::uint32_t error = CallGate(Fn::OpenSCManagerW)) {
    SetLastError(error);
    return NullHandle;
  }
  if (machineName && *machineName) {
    SetLastError(RpcServerUnavailable);
    return NullHandle;
  }
  if (databaseName && !EqualFolded(databaseName, u"ServicesActive")) {
    SetLastError(ErrorDatabaseDoesNotExist);
    return NullHandle;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  return NewHandle(ScHandle{true, {}});
}

Handle OpenServiceW(Handle manager, const char16_t* serviceName, std::uint32_t desiredAccess) {
  (void)desiredAccess;
  if (std::uint32_t error = CallGate(Fn::OpenServiceW)) {
    SetLastError(error);
    return NullHandle;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  if (!IsManagerHandle(manager)) {
    SetLastError(ErrorInvalidHandle);
    return NullHandle;
  }
  if (!serviceName || !*serviceName) {
    SetLastError(ErrorInvalidName);
    return NullHandle;
  }
  SettleServices();
  if (!ServiceNamed(serviceName)) {
    SetLastError(ErrorServiceDoesNotExist);
    return NullHandle;
  }
  return NewHandle(ScHandle{false, Folded(serviceName)});
}

Handle CreateServiceW(Handle manager, const char16_t* serviceName, const char16_t* displayName,
                      std::uint32_t desiredAccess, std::uint32_t serviceType, std::uint32_t startType,
                      std::uint32_t errorControl, const char16_t* binaryPathName, const char16_t* loadOrderGroup,
                      std::uint32_t* tagId, const char16_t* dependencies, const char16_t* serviceStartName,
                      const char16_t* password) {
  (void)desiredAccess;
  (void)password;
  if (std::uint32_t error = CallGate(Fn::CreateServiceW)) {
    SetLastError(error);
    return NullHandle;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  if (!IsManagerHandle(manager)) {
    SetLastError(ErrorInvalidHandle);
    return NullHandle;
  }
  NewService spec;
  spec.name = serviceName ? serviceName : u"";
  spec.displayName = displayName ? displayName : u"";
  spec.type = serviceType;
  spec.start = startType;
  spec.errorControl = errorControl;
  spec.binary = binaryPathName ? binaryPathName : u"";
  spec.group = loadOrderGroup ? loadOrderGroup : u"";
  spec.dependencies = dependencies;
  spec.startName = serviceStartName;
  spec.wantsTag = tagId != nullptr;
  if (std::uint32_t error = CreateServiceLocked(spec, tagId)) {
    SetLastError(error);
    return NullHandle;
  }
  SetLastError(ErrorSuccess);
  return NewHandle(ScHandle{false, Folded(spec.name)});
}

bool ChangeServiceConfigW(Handle service, std::uint32_t serviceType, std::uint32_t startType,
                          std::uint32_t errorControl, const char16_t* binaryPathName, const char16_t* loadOrderGroup,
                          std::uint32_t* tagId, const char16_t* dependencies, const char16_t* serviceStartName,
                          const char16_t* password, const char16_t* displayName) {
  (void)tagId;
  (void)password;
  if (std::uint32_t error = CallGate(Fn::ChangeServiceConfigW)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  std::uint32_t error = 0;
  ServiceRecord* record = RecordOf(service, &error);
  if (!record) return Fails(error);
  error = ChangeConfigLocked(*record, serviceType, startType, errorControl, binaryPathName, loadOrderGroup,
                             dependencies, serviceStartName, displayName);
  return error ? Fails(error) : true;
}

bool ChangeServiceConfig2W(Handle service, std::uint32_t infoLevel, void* info) {
  if (std::uint32_t error = CallGate(Fn::ChangeServiceConfig2W)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  std::uint32_t error = 0;
  ServiceRecord* record = RecordOf(service, &error);
  if (!record) return Fails(error);
  if (infoLevel != ServiceConfigDescription && infoLevel != ServiceConfigDelayedAutoStartInfo)
    return Fails(ErrorInvalidLevel);
  if (infoLevel == ServiceConfigDelayedAutoStartInfo && M().refuseDelayedAutoStart) return Fails(ErrorInvalidLevel);
  if (!info) return Fails(ErrorInvalidParameter);
  if (record->marked) return Fails(ErrorServiceMarkedForDelete);
  std::u16string key = KeyOf(record->name);
  if (infoLevel == ServiceConfigDelayedAutoStartInfo) {
    const auto* delayed = static_cast<const ServiceDelayedAutoStartInfo*>(info);
    RegSetLocked(key, u"DelayedAutostart", RegDwordValue(delayed->fDelayedAutostart ? 1 : 0));
  } else {
    const auto* description = static_cast<const ServiceDescription*>(info);
    if (description->lpDescription && *description->lpDescription)
      RegSetLocked(key, u"Description", RegStringValue(RegSz, description->lpDescription));
    else if (description->lpDescription)
      DeleteValue(key, u"Description");
  }
  return true;
}

bool ControlService(Handle service, std::uint32_t control, ServiceStatus* status) {
  if (std::uint32_t error = CallGate(Fn::ControlService)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  SettleServices();
  std::uint32_t error = 0;
  ServiceRecord* record = RecordOf(service, &error);
  if (!record) return Fails(error);
  if (control == ServiceControlStop) {
    error = StopLocked(*record);
  } else if (record->state == ServiceStopped) {
    error = ErrorServiceNotActive;
  } else if (control != ServiceControlInterrogate) {
    error = ErrorInvalidServiceControl;
  }
  // Even a refused control reports the service's status.
  FillStatus(*record, status);
  return error ? Fails(error) : true;
}

bool QueryServiceStatus(Handle service, ServiceStatus* status) {
  if (std::uint32_t error = CallGate(Fn::QueryServiceStatus)) return Fails(error);
  if (!status) return Fails(ErrorInvalidParameter);
  std::lock_guard<std::mutex> lock(Mutex());
  SettleServices();
  std::uint32_t error = 0;
  ServiceRecord* record = RecordOf(service, &error);
  if (!record) return Fails(error);
  FillStatus(*record, status);
  return true;
}

bool StartServiceW(Handle service, std::uint32_t argc, const char16_t** argv) {
  (void)argc;
  (void)argv;
  if (std::uint32_t error = CallGate(Fn::StartServiceW)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  SettleServices();
  std::uint32_t error = 0;
  ServiceRecord* record = RecordOf(service, &error);
  if (!record) return Fails(error);
  if (record->marked) return Fails(ErrorServiceMarkedForDelete);
  std::u16string key = KeyOf(record->name);
  if (DwordOf(key, u"Start") == ServiceDisabled) return Fails(ErrorServiceDisabled);
  if (record->state != ServiceStopped) return Fails(ErrorServiceAlreadyRunning);
  std::u16string program;
  if (!IsDriver(DwordOf(key, u"Type"))) {
    program = ProgramOf(TextOf(key, u"ImagePath"));
    if (program.empty()) return Fails(ErrorFileNotFound);
  }
  Run(*record, program);
  return true;
}

bool DeleteService(Handle service) {
  if (std::uint32_t error = CallGate(Fn::DeleteService)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  std::uint32_t error = 0;
  ServiceRecord* record = RecordOf(service, &error);
  if (!record) return Fails(error);
  error = DeleteLocked(*record);
  return error ? Fails(error) : true;
}

bool CloseServiceHandle(Handle handle) {
  if (std::uint32_t error = CallGate(Fn::CloseServiceHandle)) return Fails(error);
  std::lock_guard<std::mutex> lock(Mutex());
  auto it = M().scHandles.find(handle);
  if (it == M().scHandles.end()) return Fails(ErrorInvalidHandle);
  if (!it->second.manager) {
    if (ServiceRecord* record = ServiceNamed(it->second.service)) --record->handles;
  }
  M().scHandles.erase(it);
  SettleServices();
  return true;
}

}  // namespace os
