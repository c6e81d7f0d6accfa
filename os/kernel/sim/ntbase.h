// Base types and kernel run-time routines of the NT kernel, as the host build sees them (the
// value macros are in ntvalues.h). Names and layouts follow the platform's headers (with 32-bit
// ULONG and 16-bit WCHAR), so the driver's source compiles unchanged against the simulated kernel.
#pragma once

#include <cstddef>
#include <cstdint>

#define NTAPI
#define VOID void
#define TRUE 1
#define FALSE 0

typedef int32_t NTSTATUS;
typedef uint8_t UCHAR;
typedef char CCHAR;
typedef uint16_t USHORT;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint8_t BOOLEAN;
typedef void *PVOID;
typedef char16_t WCHAR;
typedef WCHAR *PWCH, *PWSTR;
typedef const WCHAR *PCWSTR;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR;
typedef ULONG *PULONG;
typedef UCHAR KIRQL;
typedef ULONG ACCESS_MASK;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG_PTR EX_PUSH_LOCK, *PEX_PUSH_LOCK;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef PVOID HANDLE;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    } u;
    ULONG_PTR Information;
} IO_STATUS_BLOCK;

// Of the file object only Flags is the platform's (the driver reads it); the rest is the
// simulation's bookkeeping.
typedef struct _FILE_OBJECT {
    ULONG Flags;
    void *SimStream;
    long References; // taken by the driver (ObReferenceObject)
} FILE_OBJECT, *PFILE_OBJECT;
typedef ULONG LOGICAL;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _ETHREAD *PETHREAD;
typedef struct _IRP *PIRP;
typedef intptr_t LONG_PTR;

typedef struct _KEVENT {
    LONG Signaled;
} KEVENT, *PKEVENT, *PRKEVENT;
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
typedef LONG KPRIORITY;

typedef enum _WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1 } WORK_QUEUE_TYPE;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;

typedef struct _FILE_BASIC_INFORMATION {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    ULONG FileAttributes;
} FILE_BASIC_INFORMATION, *PFILE_BASIC_INFORMATION;

typedef enum _FILE_INFORMATION_CLASS { FileBasicInformation = 4 } FILE_INFORMATION_CLASS;

// Security descriptors in absolute form, ACLs and SIDs, laid out as the platform lays them out.
typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY;
typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[1];
} SID, *PSID;
typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;
typedef struct _ACE_HEADER {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;
} ACE_HEADER;
typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE;
typedef USHORT SECURITY_DESCRIPTOR_CONTROL;
typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR;

typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)

extern "C" {
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
BOOLEAN NTAPI KeAreAllApcsDisabled(VOID);
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
ULONG DbgPrint(const char *Format, ...);
PIRP NTAPI IoGetTopLevelIrp(VOID);
LONG_PTR NTAPI ObfReferenceObject(PVOID Object);
LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout);
LOGICAL NTAPI FsRtlIsPagingFile(PFILE_OBJECT FileObject);
NTSTATUS NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW VersionInformation);
NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision);
NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent, PACL Dacl,
                                            BOOLEAN DaclDefaulted);
ULONG NTAPI RtlLengthSid(PSID Sid);
}
