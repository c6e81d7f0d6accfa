// The uninstall start: when the user chose to have compressed files restored, the viewer is
// closed, the service removed (it must not compress while the pass decompresses) and the worker
// thread started on the shared record.
#include <cstring>

#include "Ombrix_Setup/setup.h"
#include "Ombrix_Setup/setup_actions.h"

void StartUninstallWorker() {
  CloseViewer(ViewerName);
  RemoveService(ServiceName);
  WorkerRecord& worker = Installer.worker;
  worker.thread = os::NullHandle;
  worker.stopRequest.store(0);
  worker.done.store(0);
  worker.nameSequence.store(0);
  std::memset(worker.currentName, 0, sizeof(worker.currentName));
  worker.thread = os::CreateThread(DecompressWorker, &worker, nullptr);
}
