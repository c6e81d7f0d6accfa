// Filter Manager declarations used by Ombrix_Filter.
//
// MinGW ships no fltKernel.h, so the types, constants and routines the driver uses are declared
// here from their documented layouts. Only what the driver touches is declared; where a structure
// is only ever allocated by the Filter Manager, members after the last one we read are left out
// and its size is not relied on. Every offset we rely on is checked below for x86 and x64.
//
// The same declarations serve the host build, where the platform's base types and values come
// from sim/ntbase.h and sim/ntvalues.h and the routines are implemented by the simulated Filter
// Manager, which takes none of the values declared here (it has its own, sim/documented.h).
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define FLTAPI NTAPI

typedef struct _FLT_FILTER *PFLT_FILTER;
typedef struct _FLT_VOLUME *PFLT_VOLUME;
typedef struct _FLT_INSTANCE *PFLT_INSTANCE;
typedef struct _FLT_PORT *PFLT_PORT;
typedef struct _FLT_GENERIC_WORKITEM *PFLT_GENERIC_WORKITEM;
typedef PVOID PFLT_CONTEXT;
typedef struct _FLT_CONTEXT_REGISTRATION FLT_CONTEXT_REGISTRATION;
typedef struct _FLT_CALLBACK_DATA FLT_CALLBACK_DATA, *PFLT_CALLBACK_DATA;
typedef struct _FLT_RELATED_OBJECTS FLT_RELATED_OBJECTS, *PFLT_RELATED_OBJECTS;
typedef const struct _FLT_RELATED_OBJECTS *PCFLT_RELATED_OBJECTS;

typedef ULONG FLT_REGISTRATION_FLAGS;
typedef ULONG FLT_OPERATION_REGISTRATION_FLAGS;
typedef ULONG FLT_POST_OPERATION_FLAGS;
typedef ULONG FLT_FILTER_UNLOAD_FLAGS;
typedef USHORT FLT_CONTEXT_TYPE;
typedef USHORT FLT_CONTEXT_REGISTRATION_FLAGS;
typedef ULONG FLT_CALLBACK_DATA_FLAGS;
typedef ULONG FLT_INSTANCE_SETUP_FLAGS;
typedef ULONG FLT_INSTANCE_TEARDOWN_FLAGS;

typedef enum _FLT_FILESYSTEM_TYPE {
    FLT_FSTYPE_UNKNOWN,
    FLT_FSTYPE_RAW,
    FLT_FSTYPE_NTFS,
    FLT_FSTYPE_FAT
} FLT_FILESYSTEM_TYPE;

#define FLT_REGISTRATION_VERSION_0202 0x0202
#define FLT_INSTANCE_CONTEXT 0x0002
#define FLT_STREAM_CONTEXT 0x0008
#define FLT_CONTEXT_END 0xffff
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_OPERATION_END ((UCHAR)0x80)
#define FLT_PORT_CONNECT 0x0001
#define FLT_PORT_ALL_ACCESS (FLT_PORT_CONNECT | STANDARD_RIGHTS_ALL)
#define FLTFL_POST_OPERATION_DRAINING 0x00000001
#define FLTFL_CALLBACK_DATA_IRP_OPERATION 0x00000001
#define FLTFL_CALLBACK_DATA_FAST_IO_OPERATION 0x00000002

typedef enum _FLT_PREOP_CALLBACK_STATUS {
    FLT_PREOP_SUCCESS_WITH_CALLBACK,
    FLT_PREOP_SUCCESS_NO_CALLBACK,
    FLT_PREOP_PENDING,
    FLT_PREOP_DISALLOW_FASTIO,
    FLT_PREOP_COMPLETE,
    FLT_PREOP_SYNCHRONIZE
} FLT_PREOP_CALLBACK_STATUS;

typedef enum _FLT_SET_CONTEXT_OPERATION {
    FLT_SET_CONTEXT_REPLACE_IF_EXISTS,
    FLT_SET_CONTEXT_KEEP_IF_EXISTS
} FLT_SET_CONTEXT_OPERATION;

typedef enum _FLT_POSTOP_CALLBACK_STATUS {
    FLT_POSTOP_FINISHED_PROCESSING,
    FLT_POSTOP_MORE_PROCESSING_REQUIRED
} FLT_POSTOP_CALLBACK_STATUS;

typedef FLT_PREOP_CALLBACK_STATUS(FLTAPI *PFLT_PRE_OPERATION_CALLBACK)(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID *CompletionContext);
typedef FLT_POSTOP_CALLBACK_STATUS(FLTAPI *PFLT_POST_OPERATION_CALLBACK)(
    PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
    FLT_POST_OPERATION_FLAGS Flags);
typedef VOID(FLTAPI *PFLT_GENERIC_WORKITEM_ROUTINE)(PFLT_GENERIC_WORKITEM FltWorkItem, PVOID FltObject,
                                                    PVOID Context);
typedef NTSTATUS(FLTAPI *PFLT_FILTER_UNLOAD_CALLBACK)(FLT_FILTER_UNLOAD_FLAGS Flags);
typedef NTSTATUS(FLTAPI *PFLT_INSTANCE_SETUP_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects, FLT_INSTANCE_SETUP_FLAGS Flags,
                                                       ULONG VolumeDeviceType, FLT_FILESYSTEM_TYPE VolumeFilesystemType);
typedef VOID(FLTAPI *PFLT_INSTANCE_TEARDOWN_CALLBACK)(PCFLT_RELATED_OBJECTS FltObjects,
                                                      FLT_INSTANCE_TEARDOWN_FLAGS Reason);
typedef NTSTATUS(FLTAPI *PFLT_CONNECT_NOTIFY)(
    PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext, ULONG SizeOfContext,
    PVOID *ConnectionPortCookie);
typedef VOID(FLTAPI *PFLT_DISCONNECT_NOTIFY)(PVOID ConnectionCookie);
typedef NTSTATUS(FLTAPI *PFLT_MESSAGE_NOTIFY)(
    PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
    ULONG OutputBufferLength, PULONG ReturnOutputBufferLength);

// The callbacks the driver leaves empty are only ever null here: a generic pointer type keeps
// the record's layout without declaring signatures that are never called.
typedef PVOID PFLT_UNUSED_CALLBACK;

struct _FLT_CONTEXT_REGISTRATION {
    FLT_CONTEXT_TYPE ContextType;
    FLT_CONTEXT_REGISTRATION_FLAGS Flags;
    PFLT_UNUSED_CALLBACK ContextCleanupCallback;
    SIZE_T Size;
    ULONG PoolTag;
    PFLT_UNUSED_CALLBACK ContextAllocateCallback;
    PFLT_UNUSED_CALLBACK ContextFreeCallback;
    PVOID Reserved1;
};

typedef struct _FLT_OPERATION_REGISTRATION {
    UCHAR MajorFunction;
    FLT_OPERATION_REGISTRATION_FLAGS Flags;
    PFLT_PRE_OPERATION_CALLBACK PreOperation;
    PFLT_POST_OPERATION_CALLBACK PostOperation;
    PVOID Reserved1;
} FLT_OPERATION_REGISTRATION;

// Layout of registration version 0x0202 (the transaction and normalize-ex callbacks are its last
// members; later versions append more).
typedef struct _FLT_REGISTRATION {
    USHORT Size;
    USHORT Version;
    FLT_REGISTRATION_FLAGS Flags;
    const FLT_CONTEXT_REGISTRATION *ContextRegistration;
    const FLT_OPERATION_REGISTRATION *OperationRegistration;
    PFLT_FILTER_UNLOAD_CALLBACK FilterUnloadCallback;
    PFLT_INSTANCE_SETUP_CALLBACK InstanceSetupCallback;
    PFLT_UNUSED_CALLBACK InstanceQueryTeardownCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownStartCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownCompleteCallback;
    PFLT_UNUSED_CALLBACK GenerateFileNameCallback;
    PFLT_UNUSED_CALLBACK NormalizeNameComponentCallback;
    PFLT_UNUSED_CALLBACK NormalizeContextCleanupCallback;
    PFLT_UNUSED_CALLBACK TransactionNotificationCallback;
    PFLT_UNUSED_CALLBACK NormalizeNameComponentExCallback;
} FLT_REGISTRATION;

// Only the read parameters are declared: the Filter Manager allocates the block, and the driver
// reads nothing past the parameters' start. Key is pointer-aligned as the platform declares it
// (POINTER_ALIGNMENT: 8 bytes on x64, none on x86).
#if defined(_WIN64) || !defined(_WIN32)
#define FLT_POINTER_ALIGNMENT __attribute__((aligned(8)))
#else
#define FLT_POINTER_ALIGNMENT
#endif
typedef struct _FLT_READ_PARAMETERS {
    ULONG Length;
    ULONG FLT_POINTER_ALIGNMENT Key;
    LARGE_INTEGER ByteOffset;
    PVOID ReadBuffer;
    PVOID MdlAddress;
} FLT_READ_PARAMETERS;

typedef struct _FLT_IO_PARAMETER_BLOCK {
    ULONG IrpFlags;
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR OperationFlags;
    UCHAR Reserved;
    PFILE_OBJECT TargetFileObject;
    PFLT_INSTANCE TargetInstance;
    union {
        FLT_READ_PARAMETERS Read;
    } Parameters;
} FLT_IO_PARAMETER_BLOCK, *PFLT_IO_PARAMETER_BLOCK;

struct _FLT_CALLBACK_DATA {
    FLT_CALLBACK_DATA_FLAGS Flags;
    PETHREAD Thread;
    PFLT_IO_PARAMETER_BLOCK Iopb;
    IO_STATUS_BLOCK IoStatus;
    PVOID TagData;
    union {
        struct {
            LIST_ENTRY QueueLinks;
            PVOID QueueContext[2];
        } Queue;
        PVOID FilterContext[4];
    } Context;
    KPROCESSOR_MODE RequestorMode;
};

struct _FLT_RELATED_OBJECTS {
    USHORT Size;
    USHORT TransactionContext;
    PFLT_FILTER Filter;
    PFLT_VOLUME Volume;
    PFLT_INSTANCE Instance;
    PFILE_OBJECT FileObject;
    PVOID Transaction;
};

NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION *Registration,
                                  PFLT_FILTER *RetFilter);
NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter);
VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter);
NTSTATUS FLTAPI FltCreateCommunicationPort(PFLT_FILTER Filter, PFLT_PORT *ServerPort,
                                           POBJECT_ATTRIBUTES ObjectAttributes,
                                           PVOID ServerPortCookie,
                                           PFLT_CONNECT_NOTIFY ConnectNotifyCallback,
                                           PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
                                           PFLT_MESSAGE_NOTIFY MessageNotifyCallback,
                                           LONG MaxConnections);
VOID FLTAPI FltCloseCommunicationPort(PFLT_PORT ServerPort);
VOID FLTAPI FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT *ClientPort);
NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                        PVOID FileInformation, ULONG Length,
                                        FILE_INFORMATION_CLASS FileInformationClass,
                                        PULONG LengthReturned);
NTSTATUS FLTAPI FltSetInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                      PVOID FileInformation, ULONG Length,
                                      FILE_INFORMATION_CLASS FileInformationClass);
BOOLEAN FLTAPI FltIsOperationSynchronous(PFLT_CALLBACK_DATA CallbackData);
NTSTATUS FLTAPI FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType, SIZE_T ContextSize,
                                   POOL_TYPE PoolType, PFLT_CONTEXT *ReturnedContext);
NTSTATUS FLTAPI FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                    PFLT_CONTEXT *OldContext);
NTSTATUS FLTAPI FltGetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT *Context);
NTSTATUS FLTAPI FltSetInstanceContext(PFLT_INSTANCE Instance, FLT_SET_CONTEXT_OPERATION Operation,
                                      PFLT_CONTEXT NewContext, PFLT_CONTEXT *OldContext);
NTSTATUS FLTAPI FltGetInstanceContext(PFLT_INSTANCE Instance, PFLT_CONTEXT *Context);
NTSTATUS FLTAPI FltGetVolumeName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeName, PULONG BufferSizeNeeded);
VOID FLTAPI FltReferenceContext(PFLT_CONTEXT Context);
VOID FLTAPI FltReleaseContext(PFLT_CONTEXT Context);
PFLT_GENERIC_WORKITEM FLTAPI FltAllocateGenericWorkItem(VOID);
VOID FLTAPI FltFreeGenericWorkItem(PFLT_GENERIC_WORKITEM FltWorkItem);
NTSTATUS FLTAPI FltQueueGenericWorkItem(PFLT_GENERIC_WORKITEM FltWorkItem, PVOID FltObject,
                                        PFLT_GENERIC_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                                        PVOID Context);
NTSTATUS FLTAPI FltObjectReference(PVOID FltObject);
VOID FLTAPI FltObjectDereference(PVOID FltObject);
VOID FLTAPI FltInitializePushLock(PEX_PUSH_LOCK PushLock);
VOID FLTAPI FltDeletePushLock(PEX_PUSH_LOCK PushLock);
VOID FLTAPI FltAcquirePushLockExclusive(PEX_PUSH_LOCK PushLock);
VOID FLTAPI FltAcquirePushLockShared(PEX_PUSH_LOCK PushLock);
VOID FLTAPI FltReleasePushLock(PEX_PUSH_LOCK PushLock);

#ifdef __cplusplus
}
#endif

// Layout checks against the documented structures, for both Windows targets. The host build
// uses the same declarations with its own base types and is not an ABI anyone else sees.
#if defined(_WIN32)
#ifdef __cplusplus
#define FLT_LAYOUT_CHECK(expr) static_assert(expr, #expr)
#else
#define FLT_LAYOUT_CHECK(expr) _Static_assert(expr, #expr)
#endif
#if defined(_WIN64)
FLT_LAYOUT_CHECK(sizeof(FLT_REGISTRATION) == 104);
FLT_LAYOUT_CHECK(offsetof(FLT_REGISTRATION, ContextRegistration) == 8);
FLT_LAYOUT_CHECK(offsetof(FLT_REGISTRATION, OperationRegistration) == 16);
FLT_LAYOUT_CHECK(offsetof(FLT_REGISTRATION, FilterUnloadCallback) == 24);
FLT_LAYOUT_CHECK(offsetof(FLT_REGISTRATION, TransactionNotificationCallback) == 88);
FLT_LAYOUT_CHECK(offsetof(FLT_REGISTRATION, NormalizeNameComponentExCallback) == 96);
FLT_LAYOUT_CHECK(sizeof(FLT_OPERATION_REGISTRATION) == 32);
FLT_LAYOUT_CHECK(offsetof(FLT_OPERATION_REGISTRATION, Flags) == 4);
FLT_LAYOUT_CHECK(offsetof(FLT_OPERATION_REGISTRATION, PreOperation) == 8);
FLT_LAYOUT_CHECK(offsetof(FLT_OPERATION_REGISTRATION, PostOperation) == 16);
FLT_LAYOUT_CHECK(sizeof(FLT_CONTEXT_REGISTRATION) == 56);
FLT_LAYOUT_CHECK(offsetof(FLT_CONTEXT_REGISTRATION, Size) == 16);
FLT_LAYOUT_CHECK(offsetof(FLT_CONTEXT_REGISTRATION, PoolTag) == 24);
FLT_LAYOUT_CHECK(offsetof(FLT_CALLBACK_DATA, Flags) == 0);
FLT_LAYOUT_CHECK(offsetof(FLT_CALLBACK_DATA, Iopb) == 16);
FLT_LAYOUT_CHECK(offsetof(FLT_CALLBACK_DATA, IoStatus) == 24);
FLT_LAYOUT_CHECK(offsetof(FLT_CALLBACK_DATA, RequestorMode) == 80);
FLT_LAYOUT_CHECK(offsetof(FLT_IO_PARAMETER_BLOCK, MajorFunction) == 4);
FLT_LAYOUT_CHECK(offsetof(FLT_IO_PARAMETER_BLOCK, TargetFileObject) == 8);
FLT_LAYOUT_CHECK(offsetof(FLT_IO_PARAMETER_BLOCK, TargetInstance) == 16);
FLT_LAYOUT_CHECK(offsetof(FLT_IO_PARAMETER_BLOCK, Parameters) == 24);
FLT_LAYOUT_CHECK(offsetof(FLT_READ_PARAMETERS, Key) == 8);
FLT_LAYOUT_CHECK(offsetof(FLT_READ_PARAMETERS, ByteOffset) == 16);
FLT_LAYOUT_CHECK(offsetof(FLT_READ_PARAMETERS, ReadBuffer) == 24);
FLT_LAYOUT_CHECK(offsetof(FLT_READ_PARAMETERS, MdlAddress) == 32);
FLT_LAYOUT_CHECK(sizeof(FLT_RELATED_OBJECTS) == 48);
FLT_LAYOUT_CHECK(offsetof(FLT_RELATED_OBJECTS, Instance) == 24);
FLT_LAYOUT_CHECK(offsetof(FLT_RELATED_OBJECTS, FileObject) == 32);
#else
FLT_LAYOUT_CHECK(sizeof(FLT_REGISTRATION) == 56);
FLT_LAYOUT_CHECK(offsetof(FLT_REGISTRATION, ContextRegistration) == 8);
FLT_LAYOUT_CHECK(offsetof(FLT_REGISTRATION, OperationRegistration) == 12);
FLT_LAYOUT_CHECK(offsetof(FLT_REGISTRATION, FilterUnloadCallback) == 16);
FLT_LAYOUT_CHECK(offsetof(FLT_REGISTRATION, TransactionNotificationCallback) == 48);
FLT_LAYOUT_CHECK(offsetof(FLT_REGISTRATION, NormalizeNameComponentExCallback) == 52);
FLT_LAYOUT_CHECK(sizeof(FLT_OPERATION_REGISTRATION) == 20);
FLT_LAYOUT_CHECK(offsetof(FLT_OPERATION_REGISTRATION, Flags) == 4);
FLT_LAYOUT_CHECK(offsetof(FLT_OPERATION_REGISTRATION, PreOperation) == 8);
FLT_LAYOUT_CHECK(offsetof(FLT_OPERATION_REGISTRATION, PostOperation) == 12);
FLT_LAYOUT_CHECK(sizeof(FLT_CONTEXT_REGISTRATION) == 28);
FLT_LAYOUT_CHECK(offsetof(FLT_CONTEXT_REGISTRATION, Size) == 8);
FLT_LAYOUT_CHECK(offsetof(FLT_CONTEXT_REGISTRATION, PoolTag) == 12);
FLT_LAYOUT_CHECK(offsetof(FLT_CALLBACK_DATA, Flags) == 0);
FLT_LAYOUT_CHECK(offsetof(FLT_CALLBACK_DATA, Iopb) == 8);
FLT_LAYOUT_CHECK(offsetof(FLT_CALLBACK_DATA, IoStatus) == 12);
FLT_LAYOUT_CHECK(offsetof(FLT_CALLBACK_DATA, RequestorMode) == 40);
FLT_LAYOUT_CHECK(offsetof(FLT_IO_PARAMETER_BLOCK, MajorFunction) == 4);
FLT_LAYOUT_CHECK(offsetof(FLT_IO_PARAMETER_BLOCK, TargetFileObject) == 8);
FLT_LAYOUT_CHECK(offsetof(FLT_IO_PARAMETER_BLOCK, TargetInstance) == 12);
FLT_LAYOUT_CHECK(offsetof(FLT_IO_PARAMETER_BLOCK, Parameters) == 16);
FLT_LAYOUT_CHECK(offsetof(FLT_READ_PARAMETERS, Key) == 4);
FLT_LAYOUT_CHECK(offsetof(FLT_READ_PARAMETERS, ByteOffset) == 8);
FLT_LAYOUT_CHECK(offsetof(FLT_READ_PARAMETERS, ReadBuffer) == 16);
FLT_LAYOUT_CHECK(offsetof(FLT_READ_PARAMETERS, MdlAddress) == 20);
FLT_LAYOUT_CHECK(sizeof(FLT_RELATED_OBJECTS) == 24);
FLT_LAYOUT_CHECK(offsetof(FLT_RELATED_OBJECTS, Instance) == 12);
FLT_LAYOUT_CHECK(offsetof(FLT_RELATED_OBJECTS, FileObject) == 16);
#endif
FLT_LAYOUT_CHECK(sizeof(FILE_BASIC_INFORMATION) == 40);
FLT_LAYOUT_CHECK(offsetof(FILE_BASIC_INFORMATION, LastAccessTime) == 8);
FLT_LAYOUT_CHECK(offsetof(FILE_BASIC_INFORMATION, FileAttributes) == 32);
FLT_LAYOUT_CHECK(FLT_PORT_ALL_ACCESS == 0x1F0001);
#undef FLT_LAYOUT_CHECK
#endif
