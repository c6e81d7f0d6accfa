// Entry point of the Windows build. Command-line arguments are ignored.
#include "Ombrix_Service/service.h"

int wmain() {
  return ServiceProgramMain();
}
