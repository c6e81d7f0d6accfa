// Ombrix_Filter: the minifilter's entry points and its driver-wide state.
#pragma once

#include "kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

// Every pool allocation of the driver is non-paged and tagged "Scan" (S, c, a, n in memory order).
#define FILTER_POOL_TAG ((ULONG)'S' | ((ULONG)'c' << 8) | ((ULONG)'a' << 16) | ((ULONG)'n' << 24))

enum {
    VolumeTableCapacity = 32,     // entries in VolumeTable
    VolumeEntryBufferSize = 1024, // bytes of pool behind each entry
    VolumeEntryCapacity = 512,    // capacity recorded in each entry, in bytes
    VolumeNumberMaxDigits = 7,    // what the 8-unit number text holds besides its terminator
    // Characters of a volume name an instance keeps: "\Device\HarddiskVolume" and 7 digits fit;
    // a longer name cannot be on any list.
    VolumeNameCapacity = 32,
};

// One hour in 100-ns units: a stored last-access time at most this old is left alone.
#define LastAccessRefreshInterval 36000000000LL

// The pool type of every allocation, chosen at driver entry: NonPagedPoolNx from Windows 8 (6.2)
// on, NonPagedPool before (Windows 7 does not know the other).
#define FILTER_POOL_TYPE (FilterState.PoolType)

// What the driver remembers about one stream (a stream context, shared by every file object
// of the stream). All fields are read and written with atomic operations: readers come at up to
// DISPATCH_LEVEL on any thread. Times are kept coarse (StreamClockShift) so that they fit 32
// bits, which x86 reads and writes atomically.
typedef struct STREAM_CONTEXT {
    ULONG Generation;       // VolumeTable generation the verdict was reached under; 0: none yet
    ULONG QuietUntil;       // coarse system time before which reads need no check
    LONG Pending;           // a read was seen that could not be checked on the spot
    LONG Busy;              // a check of this stream is running
    LONG WorkQueued;        // a work item for this stream is queued or running
    PFILE_OBJECT WorkFile;  // the file object the queued work item checks through (referenced)
    PFLT_GENERIC_WORKITEM WorkItem;
} STREAM_CONTEXT;

// What the driver keeps about the volume of one instance (an instance context), from instance
// setup to teardown. Every instance is on FilterState.Instances, so that a new list reaches it.
typedef struct INSTANCE_CONTEXT {
    struct INSTANCE_CONTEXT *Next; // under TableLock
    LONG Watched;                  // the volume is on the current list: written under TableLock
                                   // held exclusively, read with atomic loads anywhere
    USHORT NameLength;             // bytes of Name; 0 when the name did not fit
    WCHAR Name[VolumeNameCapacity]; // the volume's name as the Filter Manager reports it
} INSTANCE_CONTEXT;

// The watched volumes: entry i is "Device\HarddiskVolume<n>", NUL-terminated, on its own
// VolumeEntryBufferSize-byte buffer.
typedef struct VOLUME_TABLE {
    ULONG Count;
    UNICODE_STRING Entries[VolumeTableCapacity];
} VOLUME_TABLE;

typedef struct FILTER_STATE {
    PFLT_FILTER FilterHandle;
    PFLT_PORT ServerPort;
    PFLT_PORT ClientPort;   // read by the read callbacks on any thread: atomic loads and stores only
    ULONG_PTR Connection;   // the connected client's cookie, 0 while none: under TableLock
    ULONG_PTR LastConnection; // the cookie given to the last connection (never 0): under TableLock
    EX_PUSH_LOCK TableLock; // guards VolumeTable (see filter.cpp)
    VOLUME_TABLE VolumeTable;
    INSTANCE_CONTEXT *Instances; // every instance's context (one reference each), under TableLock
    POOL_TYPE PoolType;
    ULONG TableGeneration;  // changes with every table published; never 0
    LONG Stopping;          // unload has begun: no new deferred work, queued work does nothing
    LONG WorkCount;         // queued work items, plus one while the driver accepts new ones
    KEVENT WorkDone;        // signalled when WorkCount drops to 0; unload waits for it
} FILTER_STATE;

extern FILTER_STATE FilterState;
extern const FLT_REGISTRATION FilterRegistration;

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS FLTAPI FilterUnload(FLT_FILTER_UNLOAD_FLAGS Flags);
NTSTATUS FLTAPI OnPortConnect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext,
                              ULONG SizeOfContext, PVOID *ConnectionCookie);
VOID FLTAPI OnPortDisconnect(PVOID ConnectionCookie);
NTSTATUS FLTAPI OnPortMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength,
                              PVOID OutputBuffer, ULONG OutputBufferLength,
                              PULONG ReturnOutputBufferLength);
NTSTATUS FLTAPI OnInstanceSetup(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_SETUP_FLAGS Flags,
                                ULONG VolumeDeviceType, FLT_FILESYSTEM_TYPE VolumeFilesystemType);
VOID FLTAPI OnInstanceTeardownComplete(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_TEARDOWN_FLAGS Reason);
FLT_PREOP_CALLBACK_STATUS FLTAPI OnPreRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                           PVOID *CompletionContext);
FLT_PREOP_CALLBACK_STATUS FLTAPI OnPreCleanup(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                              PVOID *CompletionContext);
FLT_POSTOP_CALLBACK_STATUS FLTAPI OnPostRead(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                             PVOID CompletionContext, FLT_POST_OPERATION_FLAGS Flags);

#ifdef __cplusplus
}
#endif
