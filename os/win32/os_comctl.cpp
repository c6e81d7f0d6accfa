// The Windows side of the seam's common-controls call, apart from the rest: a program that never
// calls it gets no import of comctl32.
#include <windows.h>
#include <commctrl.h>

#include "os/os.h"

namespace os {

void InitCommonControls() { ::InitCommonControls(); }

}  // namespace os
