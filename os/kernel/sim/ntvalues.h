// The values of the NT kernel's headers that the driver uses, as the host build sees them (the
// Windows build takes them from the platform's headers). The simulated kernel never includes
// this file: it keeps its own documented values (documented.h), which a host test compares
// with these.
#pragma once

#include "ntbase.h"

#define FO_STREAM_FILE 0x00000100
#define FO_CLEANUP_COMPLETE 0x00004000
#define KernelMode ((KPROCESSOR_MODE)0)
#define OBJ_CASE_INSENSITIVE 0x00000040
#define OBJ_KERNEL_HANDLE 0x00000200
#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = nullptr;  \
    } while (0)
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define IRP_MJ_READ 0x03
#define IRP_NOCACHE 0x00000001
#define IRP_PAGING_IO 0x00000002
#define IRP_SYNCHRONOUS_PAGING_IO 0x00000040
#define STANDARD_RIGHTS_ALL 0x001F0000
#define SID_REVISION 1
#define SECURITY_NT_AUTHORITY {0, 0, 0, 0, 0, 5}
#define SECURITY_LOCAL_SYSTEM_RID 0x00000012
#define ACL_REVISION 2
#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SELF_RELATIVE 0x8000
#define SECURITY_DESCRIPTOR_REVISION 1
#define STATUS_SUCCESS ((NTSTATUS)0x00000000)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004)
#define STATUS_ACCESS_VIOLATION ((NTSTATUS)0xC0000005)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000D)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009A)
#define STATUS_FILE_CLOSED ((NTSTATUS)0xC0000128)
#define STATUS_CONNECTION_COUNT_LIMIT ((NTSTATUS)0xC0000246)
#define STATUS_PORT_DISCONNECTED ((NTSTATUS)0xC0000037)
#define STATUS_FLT_DELETING_OBJECT ((NTSTATUS)0xC01C000B)
#define STATUS_FLT_CONTEXT_ALREADY_DEFINED ((NTSTATUS)0xC01C0002)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BB)
#define STATUS_FLT_INSTANCE_ALTITUDE_COLLISION ((NTSTATUS)0xC01C0011)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034)
#define STATUS_INVALID_SECURITY_DESCR ((NTSTATUS)0xC0000079)
#define STATUS_UNKNOWN_REVISION ((NTSTATUS)0xC0000058)
#define STATUS_REVISION_MISMATCH ((NTSTATUS)0xC0000059)
#define STATUS_ALLOTTED_SPACE_EXCEEDED ((NTSTATUS)0xC0000099)
#define STATUS_INVALID_SID ((NTSTATUS)0xC0000078)
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
