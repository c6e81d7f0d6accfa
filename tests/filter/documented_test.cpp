// The driver's declarations of Windows' values - os/kernel/fltmgr.h, and os/kernel/sim/ntvalues.h,
// which stands in for the platform's headers on the host - against the simulated kernel's own
// table, transcribed from the documentation: one line per constant.
#include <gtest/gtest.h>

#include "support.h"

namespace {

namespace doc = fltsim::doc;
#define SAME(declared, documented) EXPECT_EQ(int64_t(declared), int64_t(documented)) << #declared

TEST(Documented, FilterManagerDeclarations)
{
    SAME(FLTFL_CALLBACK_DATA_IRP_OPERATION, doc::CallbackDataIrpOperation);
    SAME(FLTFL_CALLBACK_DATA_FAST_IO_OPERATION, doc::CallbackDataFastIoOperation);
    SAME(FLTFL_POST_OPERATION_DRAINING, doc::PostOperationDraining);
    SAME(FLT_PREOP_SUCCESS_WITH_CALLBACK, doc::PreopSuccessWithCallback);
    SAME(FLT_PREOP_SUCCESS_NO_CALLBACK, doc::PreopSuccessNoCallback);
    SAME(FLT_PREOP_PENDING, doc::PreopPending);
    SAME(FLT_PREOP_DISALLOW_FASTIO, doc::PreopDisallowFastIo);
    SAME(FLT_PREOP_COMPLETE, doc::PreopComplete);
    SAME(FLT_PREOP_SYNCHRONIZE, doc::PreopSynchronize);
    SAME(FLT_POSTOP_FINISHED_PROCESSING, doc::PostopFinishedProcessing);
    SAME(FLT_POSTOP_MORE_PROCESSING_REQUIRED, doc::PostopMoreProcessingRequired);
    SAME(FLT_SET_CONTEXT_REPLACE_IF_EXISTS, doc::SetContextReplaceIfExists);
    SAME(FLT_SET_CONTEXT_KEEP_IF_EXISTS, doc::SetContextKeepIfExists);
    SAME(FLT_INSTANCE_CONTEXT, doc::InstanceContext);
    SAME(FLT_STREAM_CONTEXT, doc::StreamContext);
    SAME(FLT_CONTEXT_END, doc::ContextEnd);
    SAME(FLT_REGISTRATION_VERSION_0202, doc::RegistrationVersion0202);
    SAME(sizeof(FLT_REGISTRATION), doc::RegistrationSize[FLT_REGISTRATION_VERSION_0202 - 0x0200]);
    SAME(IRP_MJ_CLEANUP, doc::IrpMjCleanup);
    SAME(IRP_MJ_OPERATION_END, doc::IrpMjOperationEnd);
    SAME(FLT_FSTYPE_UNKNOWN, doc::FsTypeUnknown);
    SAME(FLT_FSTYPE_RAW, doc::FsTypeRaw);
    SAME(FLT_FSTYPE_NTFS, doc::FsTypeNtfs);
    SAME(FLT_FSTYPE_FAT, doc::FsTypeFat);
    SAME(FLT_PORT_CONNECT, doc::PortConnect);
    SAME(FLT_PORT_ALL_ACCESS, doc::PortAllAccess);
}

TEST(Documented, KernelDeclarations)
{
    SAME(IRP_MJ_READ, doc::IrpMjRead);
    SAME(IRP_NOCACHE, doc::IrpNocache);
    SAME(IRP_PAGING_IO, doc::IrpPagingIo);
    SAME(IRP_SYNCHRONOUS_PAGING_IO, doc::IrpSynchronousPagingIo);
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
    const SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    EXPECT_EQ(std::memcmp(nt.Value, doc::SecurityNtAuthority, sizeof(nt.Value)), 0) << "SECURITY_NT_AUTHORITY";
    SAME(SECURITY_LOCAL_SYSTEM_RID, doc::SecurityLocalSystemRid);
    SAME(ACCESS_ALLOWED_ACE_TYPE, doc::AccessAllowedAceType);
    SAME(ACCESS_DENIED_ACE_TYPE, doc::AccessDeniedAceType);
    SAME(SE_DACL_PRESENT, doc::SeDaclPresent);
    SAME(SE_DACL_DEFAULTED, doc::SeDaclDefaulted);
    SAME(SE_SELF_RELATIVE, doc::SeSelfRelative);
}

TEST(Documented, StatusDeclarations)
{
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
    SAME(STATUS_FLT_CONTEXT_ALREADY_DEFINED, doc::StatusFltContextAlreadyDefined);
    SAME(STATUS_FLT_DELETING_OBJECT, doc::StatusFltDeletingObject);
    SAME(STATUS_FLT_INSTANCE_ALTITUDE_COLLISION, doc::StatusFltInstanceAltitudeCollision);
}

} // namespace
