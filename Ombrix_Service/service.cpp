#include "Ombrix_Service/service.h"

#include <cstring>
#include <thread>

#include "common/debug_log.h"
#include "common/volume.h"

ServiceState Service;

namespace {

constexpr char16_t ServiceName[] = u"myService";
constexpr char16_t ExplorerKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Advanced";
constexpr char16_t ShowCompColor[] = u"ShowCompColor";

}  // namespace

void ResetServiceState() {
  Service.StatusHandle = os::NullHandle;
  Service.StopRequested = false;
  Service.StopPendingReported = false;
  Service.WorkerGate = WorkerGateOpen;
  Service.FilterPort = os::NullHandle;
  Service.Control.WorkerThread = os::NullHandle;
  Service.Control.AbortRequested = false;
  Service.Control.QuotaReached = 0;
  Service.Control.CycleSaved = 0;
  std::memset(&Service.Published, 0, sizeof(Service.Published));
  std::memset(&Service.Work, 0, sizeof(Service.Work));
  Service.NtfsType = NTFSTYPE_NONE;
}

namespace {

// Explorer shows compressed files in the normal colour: "ShowCompColor" is kept at 0.
void EnforceExplorerSetting() {
  std::uint32_t value = 1;
  std::uint32_t size = sizeof(value);
  std::int32_t read = 1;
  os::Key key = 0;
  if (os::RegOpenKeyW(os::HkeyCurrentUser, ExplorerKey, &key) == os::ErrorSuccess) {
    read = os::RegQueryValueExW(key, ShowCompColor, nullptr, &value, &size);
    os::RegCloseKey(key);
  }
  if (read == os::ErrorSuccess && value == 0) return;
  if (os::RegCreateKeyW(os::HkeyCurrentUser, ExplorerKey, &key) == os::ErrorSuccess) {
    std::uint32_t zero = 0;
    os::RegSetValueExW(key, ShowCompColor, os::RegDword, &zero, sizeof(zero));
    os::RegCloseKey(key);
  }
}

}  // namespace

int ServiceProgramMain() {
  static char16_t name[] = u"myService";
  const os::ServiceTableEntry table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  os::InitCommonControls();
  if (!os::StartServiceCtrlDispatcherW(table)) return int(os::GetLastError());
  return 0;
}

void ServiceMain(std::uint32_t, char16_t**) {
  ResetServiceState();
  EnforceExplorerSetting();

  Service.StatusHandle = os::RegisterServiceCtrlHandlerW(ServiceName, ServiceCtrlHandler);
  if (Service.StatusHandle == os::NullHandle) return;

  ReportStatus(2);
  DebugLog(u"Ombrix Running ...");
  // PassControl is cleared before the running report: from then on a stop may set its flags.
  Service.StopRequested = false;
  Service.Control.AbortRequested = false;
  Service.Control.QuotaReached = 0;
  Service.Control.CycleSaved = 0;
  ReportStatus(4);

  std::uint32_t threadId = 0;
  os::Handle worker = os::CreateThread(WorkerThread, &Service.Control, &threadId);
  Service.Control.WorkerThread = worker;
  if (worker != os::NullHandle) {
    os::WaitForSingleObject(worker, os::Infinite);
  } else {
    int open = WorkerGateOpen;
    Service.WorkerGate.compare_exchange_strong(open, WorkerGateNone);
  }

  DebugLog(u"Ombrix Stop");
  // A worker ends only after a stop request, and the handler reports stop pending once it has
  // seen the worker end (or closed the gate before the worker began); the stopped report must
  // be the last one, so let the handler finish first. Without a worker no stop is waited for.
  if (Service.WorkerGate != WorkerGateNone) {
    while (!Service.StopPendingReported) std::this_thread::yield();
  }
  if (worker != os::NullHandle) os::CloseHandle(worker);
  ReportStatus(1);
}

void ServiceCtrlHandler(std::uint32_t control) {
  if (control != os::ServiceControlStop && control != os::ServiceControlShutdown) return;
  Service.StopRequested = true;
  Service.Control.AbortRequested = true;
  if (Service.StopPendingReported) return;   // a second stop or shutdown: all done already
  int gate = WorkerGateOpen;
  if (!Service.WorkerGate.compare_exchange_strong(gate, WorkerGateClosed)) {
    // Closed: an earlier stop did all of this. None: no worker, ServiceMain reports stopped.
    if (gate != WorkerGateClaimed) return;
    // The worker publishes its claim only once its handle is stored.
    os::WaitForSingleObject(Service.Control.WorkerThread, os::Infinite);
  }
  ReportStatus(3);
  Service.StopPendingReported = true;
}

void ReportStatus(int kind) {
  static const std::uint32_t states[] = {0, os::ServiceStopped, os::ServiceStartPending, os::ServiceStopPending,
                                         os::ServiceRunning};
  os::ServiceStatus status = {};
  status.dwServiceType = os::ServiceWin32OwnProcess;
  status.dwCurrentState = states[kind];
  status.dwControlsAccepted = kind == 4 ? os::ServiceAcceptStop | os::ServiceAcceptShutdown : 0;
  os::SetServiceStatus(Service.StatusHandle, &status);
}

std::uint32_t WorkerThread(void*) {
  // Claim the gate, once ServiceMain has stored this thread's handle for the handler to wait on;
  // a stop that came first has closed it, and nothing is done.
  while (Service.Control.WorkerThread == os::NullHandle) std::this_thread::yield();
  int gate = WorkerGateOpen;
  if (!Service.WorkerGate.compare_exchange_strong(gate, WorkerGateClaimed)) return 0;

  Service.NtfsType = QueryNtfsType();
  if (!Service.StopRequested) ConnectFilter();
  std::uint32_t waited = 0;
  while (!Service.StopRequested) {
    if (waited < CycleInterval) {
      waited += CycleStep;
      os::Sleep(CycleStep);
      continue;
    }
    // The filter forgets the volume list when the connection closes, so the cycle's own reads
    // never count as use.
    if (Service.FilterPort != os::NullHandle) {
      os::CloseHandle(Service.FilterPort);
      Service.FilterPort = os::NullHandle;
    }
    RunCycle();
    waited = 0;
  }
  return 0;
}
