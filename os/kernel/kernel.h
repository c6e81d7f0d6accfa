// The kernel seam of Ombrix_Filter. The driver's logic calls the Filter Manager, pool, time,
// string and debug routines by their platform names; the driver build links the real ones
// (ntoskrnl.exe, fltmgr.sys), the host build the simulated kernel in os/kernel/sim.
#pragma once

#if defined(_WIN32)
// The MinGW kernel headers define these two themselves; keep intrin.h from defining them again.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntifs.h>
#include <stddef.h>
#define KS_TEXT(s) L##s
#else
#include "sim/ntvalues.h"
#define KS_TEXT(s) u##s
#endif

#include "fltmgr.h"

#ifdef __cplusplus
extern "C" {
#endif

// Copies Length bytes of a buffer that may belong to the calling user-mode process into kernel
// memory, probing it and reading it under exception protection. Returns STATUS_SUCCESS, or the
// exception's status (STATUS_ACCESS_VIOLATION, STATUS_DATATYPE_MISALIGNMENT) with Destination
// partly written.
NTSTATUS NTAPI KsCaptureBuffer(PVOID Destination, const VOID *Source, ULONG Length);

#ifdef __cplusplus
}
#endif
