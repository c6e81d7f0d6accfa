// The uninstall start: when the user chose to have compressed files restored, the viewer is
// closed, the service removed (it must not compress while the pass decompresses) and the worker
// thread started on the shared record.
#include <cstring>

#include "Ombrix_Setup/setup.h"
#include "Ombrix_Setup/setup_actions.h"

void StartUninstallWorker() {
  WorkerRecord& worker = Installer.worker;
  worker.thread = os::NullHandle;
  // The worker registers the service again from the install directory on a cancel: it runs only
  // once the directory has passed the install's check, held until the uninstallation ends.
  if (std::uint32_t error = HoldInstallDirectory(false)) {
    NoteInstallFailure(error);
    return;
  }
  CloseViewer(ViewerName);
  RemoveService(ServiceName);
  worker.stopRequest.store(0);
  worker.done.store(0);
  worker.nameSequence.store(0);
  std::memset(worker.currentName, 0, sizeof(worker.currentName));
  worker.thread = os::CreateThread(DecompressWorker, &worker, nullptr);
}
