// The service control manager as a service process sees it: the dispatcher, the handler
// registration and the status reports.
#include "os/sim/machine.h"

#include <chrono>
#include <thread>

namespace sim {

using namespace detail;

namespace {

template <typename Predicate>
bool WaitFor(std::uint32_t realTimeoutMs, Predicate predicate) {
  std::unique_lock<std::mutex> lock(Mutex());
  return Changed().wait_for(lock, std::chrono::milliseconds(realTimeoutMs), predicate);
}

}  // namespace

bool SendServiceControl(std::uint32_t control) {
  std::lock_guard<std::mutex> lock(Mutex());
  ServiceSide& service = M().service;
  if (!service.dispatcherRunning) return false;
  service.controls.push_back(control);
  Changed().notify_all();
  return true;
}

bool ServiceAcceptsControl(std::uint32_t control) {
  std::lock_guard<std::mutex> lock(Mutex());
  const ServiceSide& service = M().service;
  if (!service.dispatcherRunning || service.statuses.empty()) return false;
  const os::ServiceStatus& last = service.statuses.back();
  if (last.dwCurrentState == os::ServiceStopped) return false;
  switch (control) {
    case os::ServiceControlInterrogate:
      return true;
    case os::ServiceControlStop:
      return (last.dwControlsAccepted & os::ServiceAcceptStop) != 0;
    case os::ServiceControlPause:
    case os::ServiceControlContinue:
      return (last.dwControlsAccepted & 0x2) != 0;   // SERVICE_ACCEPT_PAUSE_CONTINUE
    case os::ServiceControlShutdown:
      return (last.dwControlsAccepted & os::ServiceAcceptShutdown) != 0;
    default:
      return false;
  }
}

std::vector<std::uint32_t> HandledControls() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().service.handled;
}

std::u16string ServiceHandlerName() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().service.handlerName;
}

std::vector<os::ServiceStatus> ServiceStatuses() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().service.statuses;
}

bool DispatcherRunning() {
  std::lock_guard<std::mutex> lock(Mutex());
  return M().service.dispatcherRunning;
}

bool WaitForServiceState(std::uint32_t state, std::uint32_t realTimeoutMs) {
  return WaitFor(realTimeoutMs, [state] {
    for (const os::ServiceStatus& status : M().service.statuses) {
      if (status.dwCurrentState == state) return true;
    }
    return false;
  });
}

bool WaitForServiceMainReturn(std::uint32_t realTimeoutMs) {
  return WaitFor(realTimeoutMs, [] { return M().service.mainReturned; });
}

bool WaitForDispatcherReturn(std::uint32_t realTimeoutMs) {
  return WaitFor(realTimeoutMs, [] { return M().service.dispatcherReturned; });
}

void EndDispatcher() {
  std::lock_guard<std::mutex> lock(Mutex());
  M().service.endRequested = true;
  Changed().notify_all();
}

}  // namespace sim

// =============================================================================================
// os:: functions.

namespace os {

using namespace sim::detail;

bool StartServiceCtrlDispatcherW(const ServiceTableEntry* table) {
  if (std::uint32_t error = CallGate(Fn::StartServiceCtrlDispatcherW)) {
    SetLastError(error);
    return false;
  }
  std::unique_lock<std::mutex> lock(Mutex());
  ServiceSide& service = M().service;
  if (service.dispatcherRunning) {
    SetLastError(ErrorServiceAlreadyRunning);
    return false;
  }
  if (!table || !table[0].lpServiceName || !table[0].lpServiceProc) {
    SetLastError(ErrorInvalidParameter);
    return false;
  }
  service = ServiceSide();
  service.dispatcherRunning = true;
  service.serviceName = table[0].lpServiceName;
  service.argv[0] = service.serviceName.data();
  ServiceMainFunction serviceMain = table[0].lpServiceProc;
  char16_t** argv = service.argv;

  // A service of its own process: the SCM starts the table's first entry, whatever its name.
  std::thread mainThread([serviceMain, argv] {
    serviceMain(1, argv);
    std::lock_guard<std::mutex> lock(Mutex());
    M().service.mainReturned = true;
    Changed().notify_all();
  });

  // This thread is now the dispatcher: it runs the handler for each control until the service
  // has stopped.
  SetDispatcherThread(true);
  for (;;) {
    Changed().wait(lock, [] {
      const ServiceSide& s = M().service;
      return (s.mainReturned && (s.stoppedReported || s.endRequested)) || (!s.controls.empty() && s.handler);
    });
    ServiceSide& s = M().service;
    if (s.mainReturned && (s.stoppedReported || s.endRequested)) break;
    std::uint32_t control = s.controls.front();
    s.controls.pop_front();
    HandlerFunction handler = s.handler;
    s.handlerRunning = true;
    lock.unlock();
    handler(control);
    lock.lock();
    M().service.handlerRunning = false;
    M().service.handled.push_back(control);
    Changed().notify_all();
  }
  SetDispatcherThread(false);
  lock.unlock();
  mainThread.join();
  lock.lock();
  M().service.dispatcherRunning = false;
  M().service.dispatcherReturned = true;
  Changed().notify_all();
  return true;
}

Handle RegisterServiceCtrlHandlerW(const char16_t* serviceName, HandlerFunction handler) {
  if (std::uint32_t error = CallGate(Fn::RegisterServiceCtrlHandlerW)) {
    SetLastError(error);
    return NullHandle;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  ServiceSide& service = M().service;
  if (!service.dispatcherRunning) {
    SetLastError(ErrorFailedServiceControllerConnect);
    return NullHandle;
  }
  if (!serviceName || !handler) {
    SetLastError(ErrorInvalidParameter);
    return NullHandle;
  }
  service.handlerName = serviceName;
  service.handler = handler;
  Changed().notify_all();
  return ServiceStatusHandle;
}

bool SetServiceStatus(Handle statusHandle, const ServiceStatus* status) {
  if (std::uint32_t error = CallGate(Fn::SetServiceStatus)) {
    SetLastError(error);
    return false;
  }
  std::lock_guard<std::mutex> lock(Mutex());
  ServiceSide& service = M().service;
  if (statusHandle != ServiceStatusHandle || !service.handler) {
    SetLastError(ErrorInvalidHandle);
    return false;
  }
  if (!status) {
    SetLastError(ErrorInvalidParameter);
    return false;
  }
  service.statuses.push_back(*status);
  if (status->dwCurrentState == ServiceStopped) service.stoppedReported = true;
  Changed().notify_all();
  return true;
}

}  // namespace os
