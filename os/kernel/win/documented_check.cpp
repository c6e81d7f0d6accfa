// Compiled with the driver for Windows, linked nowhere: the simulated kernel's documented values
// (sim/documented.h) against the platform's own headers, wherever MinGW-w64 defines them. The
// Filter Manager's values have no MinGW header (no fltKernel.h); the host test compares those
// with the driver's declarations instead.
#include "kernel.h"
#include "sim/documented.h"

namespace doc = fltsim::doc;
#define SAME(platform, documented) static_assert((long long)(platform) == (long long)(documented), #platform)

SAME(IRP_MJ_READ, doc::IrpMjRead);
SAME(IRP_MJ_CLEANUP, doc::IrpMjCleanup);
SAME(IRP_NOCACHE, doc::IrpNocache);
SAME(IRP_PAGING_IO, doc::IrpPagingIo);
SAME(IRP_SYNCHRONOUS_API, doc::IrpSynchronousApi);
SAME(IRP_SYNCHRONOUS_PAGING_IO, doc::IrpSynchronousPagingIo);
SAME(FO_SYNCHRONOUS_IO, doc::FoSynchronousIo);
SAME(FO_STREAM_FILE, doc::FoStreamFile);
SAME(FO_CLEANUP_COMPLETE, doc::FoCleanupComplete);
SAME(PASSIVE_LEVEL, doc::PassiveLevel);
SAME(APC_LEVEL, doc::ApcLevel);
SAME(DISPATCH_LEVEL, doc::DispatchLevel);
SAME(NonPagedPool, doc::PoolNonPaged);
SAME(PagedPool, doc::PoolPaged);
SAME(NonPagedPoolNx, doc::PoolNonPagedNx);
SAME(FileBasicInformation, doc::InfoClassFileBasic);
SAME(sizeof(FILE_BASIC_INFORMATION), doc::FileBasicInformationSize);
SAME(sizeof(RTL_OSVERSIONINFOW), doc::OsVersionInfoSize);
SAME(FILE_DEVICE_DISK_FILE_SYSTEM, doc::FileDeviceDiskFileSystem);
SAME(OBJ_CASE_INSENSITIVE, doc::ObjCaseInsensitive);
SAME(OBJ_KERNEL_HANDLE, doc::ObjKernelHandle);
SAME(STANDARD_RIGHTS_ALL, doc::StandardRightsAll);
SAME(NotificationEvent, doc::EventNotification);
SAME(SynchronizationEvent, doc::EventSynchronization);
SAME(Executive, doc::WaitExecutive);
SAME(KernelMode, doc::ModeKernel);
SAME(CriticalWorkQueue, doc::WorkQueueCritical);
SAME(DelayedWorkQueue, doc::WorkQueueDelayed);
SAME(SECURITY_DESCRIPTOR_REVISION, doc::SecurityDescriptorRevision);
SAME(ACL_REVISION, doc::AclRevision);
SAME(SID_REVISION, doc::SidRevision);
SAME(SECURITY_LOCAL_SYSTEM_RID, doc::SecurityLocalSystemRid);
SAME(ACCESS_ALLOWED_ACE_TYPE, doc::AccessAllowedAceType);
SAME(ACCESS_DENIED_ACE_TYPE, doc::AccessDeniedAceType);
SAME(SE_DACL_PRESENT, doc::SeDaclPresent);
SAME(SE_DACL_DEFAULTED, doc::SeDaclDefaulted);
SAME(SE_SELF_RELATIVE, doc::SeSelfRelative);
SAME(STATUS_SUCCESS, doc::StatusSuccess);
SAME(STATUS_BUFFER_OVERFLOW, doc::StatusBufferOverflow);
SAME(STATUS_UNSUCCESSFUL, doc::StatusUnsuccessful);
SAME(STATUS_INFO_LENGTH_MISMATCH, doc::StatusInfoLengthMismatch);
SAME(STATUS_ACCESS_VIOLATION, doc::StatusAccessViolation);
SAME(STATUS_INVALID_PARAMETER, doc::StatusInvalidParameter);
SAME(STATUS_ACCESS_DENIED, doc::StatusAccessDenied);
SAME(STATUS_BUFFER_TOO_SMALL, doc::StatusBufferTooSmall);
SAME(STATUS_OBJECT_NAME_NOT_FOUND, doc::StatusObjectNameNotFound);
SAME(STATUS_OBJECT_NAME_COLLISION, doc::StatusObjectNameCollision);
SAME(STATUS_PORT_DISCONNECTED, doc::StatusPortDisconnected);
SAME(STATUS_UNKNOWN_REVISION, doc::StatusUnknownRevision);
SAME(STATUS_REVISION_MISMATCH, doc::StatusRevisionMismatch);
SAME(STATUS_INVALID_SID, doc::StatusInvalidSid);
SAME(STATUS_INVALID_SECURITY_DESCR, doc::StatusInvalidSecurityDescr);
SAME(STATUS_ALLOTTED_SPACE_EXCEEDED, doc::StatusAllottedSpaceExceeded);
SAME(STATUS_INSUFFICIENT_RESOURCES, doc::StatusInsufficientResources);
SAME(STATUS_NOT_SUPPORTED, doc::StatusNotSupported);
SAME(STATUS_FILE_CLOSED, doc::StatusFileClosed);
SAME(STATUS_NOT_FOUND, doc::StatusNotFound);
SAME(STATUS_CONNECTION_COUNT_LIMIT, doc::StatusConnectionCountLimit);
SAME(STATUS_VOLUME_DISMOUNTED, doc::StatusVolumeDismounted);
SAME(STATUS_FLT_CONTEXT_ALREADY_DEFINED, doc::StatusFltContextAlreadyDefined);
SAME(STATUS_FLT_DELETING_OBJECT, doc::StatusFltDeletingObject);
SAME(STATUS_FLT_INSTANCE_ALTITUDE_COLLISION, doc::StatusFltInstanceAltitudeCollision);
